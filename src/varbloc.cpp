// varbloc: blocking error analysis of correlated samples. The program is the
// core library plus this entry, which wires the command line to it, prints
// what the library reports and, with --json, records how the run ended.
#include <signal.h>  // sigaction, SIGINT, SIGTERM

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "library.h"
#include "program/command_line.h"
#include "program/discarded_read.h"
#include "program/follow.h"
#include "program/json_record.h"

namespace {

// Set by SIGINT or SIGTERM while a followed input is read: the read ends
// there and the report of what was read follows. The program's one piece of
// state outside main, as a signal handler can reach nothing else.
volatile sig_atomic_t stop_signal = 0;

void note_stop_signal(int) {
  stop_signal = 1;
}

// With --follow, SIGINT and SIGTERM end the read instead of the program. No
// SA_RESTART: a read waiting on a pipe returns, and the stop is seen.
void catch_stop_signals() {
  struct sigaction action = {};
  action.sa_handler = note_stop_signal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

// Every message of a run goes to standard error as it arises, so it keeps its
// place among the decompressor's own messages; the record keeps the warnings
// and the text of an early end.
void print_event(void* context, const report_event& event) {
  fwrite(event.text, 1, event.length, stderr);
  run_record* record = static_cast<run_record*>(context);
  if (event.kind == REPORT_WARNING) {
    tally_warning(&record->warnings, event);
  } else if (event.kind == REPORT_EARLY_END) {
    record->message = std::string(event.text, event.length);
  }
}

void print_text(const std::string& text) {
  fwrite(text.data(), 1, text.size(), stderr);
}

// A printed text without its leading and trailing newlines.
std::string without_newlines(const std::string& text) {
  const size_t first = text.find_first_not_of('\n');
  if (first == std::string::npos) return std::string();
  return text.substr(first, text.find_last_not_of('\n') - first + 1);
}

// The events of a --discard=auto read, held until its start is known.
void hold(void* context, const report_event& event) {
  hold_event(static_cast<std::vector<held_event>*>(context), event);
}

void tell(const std::vector<held_event>& events, run_record* record) {
  for (const held_event& event : events) print_event(record, event_of(event));
}

// The line after the read count that names the start --discard=auto found.
std::string equilibration_line(int64_t start, int32_t column) {
  char label[LABEL_SIZE];
  if (start == 0) return "Equilibration: no samples to discard.\n";
  return "Equilibration: discarding first " + std::to_string(start) + " samples (set by " +
         column_label(column, label) + ").\n";
}

// The report of an analysed run: the tables, the automatic estimate's with
// --auto, the analysis file's line, and the result kept for the record.
void report_result(const run_settings& settings, const blocking_result& result,
                   const equilibration_table* equilibration, run_record* record) {
  if (settings.json_path != nullptr) {  // only a record holds the result's JSON
    record->result = result_json(result, equilibration);
  }
  print_text(render_report(result));
  if (settings.automatic) print_text(render_automatic(result));
  std::string skipped;
  const analysis_file_outcome outcome =
      append_analysis_file(result, settings.output_path, &skipped);
  print_text(skipped);
  if (outcome == ANALYSIS_FILE_WRITTEN) {
    record->status = STATUS_OK;
  } else {
    record->status = STATUS_NO_ANALYSIS_FILE;
    record->message = without_newlines(skipped);
  }
  fputs("\n", stderr);
}

// How far the read got, into the record.
void note_read(const read_progress& progress, bool reading_started, run_record* record) {
  record->reading_started = reading_started;
  record->samples = progress.samples;
  record->discarded = progress.discarded;
  record->decompressor_status = progress.decompressor_status;
}

// A run that ended without an analysis, its message among the events told
// now: status 0.
int end_early(const std::vector<held_event>& held, run_record* record) {
  tell(held, record);
  record->status = STATUS_EARLY_END;
  record->message = without_newlines(record->message.value_or(""));
  return 0;
}

// A fatal error's frame, and the record of how far the read got; returns the
// exit status.
int report_failure(const run_failure& failure, const read_progress& progress, run_record* record) {
  print_text(fatal_frame(failure.code, failure.message.c_str()));
  record->status = STATUS_ERROR;
  record->code = error_number(failure.code);
  record->message = failure.message;
  record->place = failure.place;
  note_read(progress, progress.reading, record);
  return fatal_exit_status(failure.code);
}

// What a followed run's hooks see: its settings, and whether its targets
// were met.
struct follow_context {
  const run_settings* settings;
  bool targets_met;
};

bool stop_following(void* context) {
  return stop_signal != 0 || static_cast<follow_context*>(context)->targets_met;
}

void print_running(void* context, const column_state* states, int32_t column_count) {
  follow_context* follow = static_cast<follow_context*>(context);
  const blocking_result result = state_result(states, column_count);
  print_text(running_lines(result));
  fflush(stderr);
  if (targets_met(result, follow->settings->targets)) follow->targets_met = true;
}

// Tells the held events of a read of `samples` after `discarded` lines as a
// read that discarded `start` more would have told them, then the
// equilibration line, and counts the start as discarded in the record.
void tell_equilibrated(std::vector<held_event>* held, int64_t samples, int32_t discarded,
                       int64_t start, int32_t start_column, run_record* record) {
  const int32_t first = static_cast<int32_t>(start);
  const std::vector<held_event> told = events_as_discarded(*held, samples, discarded, first);
  held->clear();  // told once, here
  tell(told, record);
  print_text(equilibration_line(first, start_column));
  record->discard = first;
  record->samples -= first;
  record->discarded += first;
}

// A run with --stream and --discard=auto: the file read twice, for the
// start and then for the analysis from there; the events of the first read
// told as run() tells them.
int run_streamed_equilibrated(const run_settings& settings, run_record* record) {
  std::vector<held_event> held;
  const run_hooks holding = {hold, nullptr, &held};
  read_progress progress;
  run_failure failure{};
  try {
    equilibrated_stream streamed = stream_equilibrated(settings, &holding, &progress);
    note_read(progress, true, record);
    if (streamed.read.ended_early) return end_early(held, record);
    tell_equilibrated(&held, streamed.read.samples, streamed.read.discarded, streamed.start,
                      streamed.start_column, record);
    const blocking_result result =
        state_result(streamed.states.data(), static_cast<int32_t>(streamed.states.size()));
    report_result(settings, result, &streamed.equilibration, record);
    return 0;
  } catch (...) {
    failure = current_failure();
  }
  tell(held, record);  // a read that failed tells its events as they came
  return report_failure(failure, progress, record);
}

// A run with --stream or --follow: the read feeds each column's state, and
// the report comes from the states. Returns the exit status.
int run_streamed(const run_settings& settings, run_record* record) {
  record->stream_end = STREAM_END_INPUT;
  if (settings.discard_auto) return run_streamed_equilibrated(settings, record);
  const run_hooks hooks = {print_event, nullptr, record};
  read_progress progress;
  run_failure failure{};
  follow_context context = {&settings, false};
  const follow_hooks follow = {stop_following, print_running, &context, settings.follow_seconds};
  try {
    std::vector<column_state> states;
    const stream_outcome read =
        stream_data_file(settings, &states, &hooks, settings.follow ? &follow : nullptr, &progress);
    note_read(progress, true, record);
    if (read.stopped)
      record->stream_end = stop_signal != 0 ? STREAM_END_SIGNAL : STREAM_END_TARGETS;
    if (read.ended_early) return end_early({}, record);
    const blocking_result result = state_result(states.data(), read.column_count);
    report_result(settings, result, nullptr, record);
    const bool targets_given = settings.targets.error || settings.targets.relative;
    if (targets_given && !targets_met(result, settings.targets)) return EXIT_TARGETS_NOT_MET;
    return 0;
  } catch (...) {
    failure = current_failure();
  }
  return report_failure(failure, progress, record);
}

// The whole run after the command line; returns the exit status. A fatal
// error's frame is printed here too, so that the record comes after it.
int run(const run_settings& settings, run_record* record) {
  const run_hooks hooks = {print_event, nullptr, record};
  // --discard=auto holds the read's events back until it knows the start.
  std::vector<held_event> held;
  const run_hooks holding = {hold, nullptr, &held};
  read_progress progress;
  run_failure failure{};
  try {
    // The record holds the automatic estimate whether or not it is printed.
    const bool automatic = settings.automatic || settings.json_path != nullptr;
    const run_outcome whole_run =
        run_analysis(settings, settings.discard_auto ? DISCARD_EQUILIBRATED : DISCARD_COUNT,
                     automatic, settings.discard_auto ? &holding : &hooks, &progress);
    note_read(progress, true, record);
    if (!whole_run.result) return end_early(held, record);
    if (settings.discard_auto) {
      tell_equilibrated(&held, whole_run.read.samples, whole_run.read.discarded, whole_run.start,
                        whole_run.start_column, record);
    }
    report_result(settings, *whole_run.result,
                  whole_run.equilibration ? &*whole_run.equilibration : nullptr, record);
    return 0;
  } catch (...) {
    failure = current_failure();
  }
  tell(held, record);  // a read that failed tells its events as they came
  const int status = report_failure(failure, progress, record);
  // The store held every sample; a streamed run holds none.
  if (failure.code == ERROR_TOO_MANY_LINES || failure.code == ERROR_STORAGE_NOT_ALLOCATED) {
    print_text(STREAM_HINT);
  }
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  long_options taken;
  long_option_request request = take_long_options(&argc, argv, &taken);
  if (request == SHOW_HELP) print_help();
  if (request == SHOW_VERSION) print_version();
  if (request != RUN_AS_USUAL) return 0;
  print_banner();
  run_settings settings;
  if (!settle_command_line(argc, argv, taken, &settings)) return 1;

  run_record record;
  record.input = settings.input_name;
  record.budget = settings.alloc_budget;
  record.skip_columns = settings.skip_columns;
  record.discard = settings.discard_count;
  record.discard_auto = settings.discard_auto;
  record.analysis_file = settings.output_path;
  record.column_count = settings.column_count;
  record.stream = settings.stream;
  if (settings.follow) catch_stop_signals();
  int status = settings.stream ? run_streamed(settings, &record) : run(settings, &record);

  // The record comes last, after the analysis file's append has finished, so
  // that the two files' locks are never held at once.
  if (settings.json_path != nullptr) {
    note_decompressor_failure(&record);
    std::string reason;
    if (!write_run_record(settings.json_path, record, &reason)) {
      fprintf(stderr, "varbloc: cannot write record to %s: %s\n", settings.json_path,
              reason.c_str());
      if (status == 0) status = EXIT_RECORD_NOT_WRITTEN;
    }
  }
  return status;
}
