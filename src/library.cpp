#include "library.h"

#include <time.h>  // clock_gettime

#include <cstdint>  // INT32_MAX
#include <cstdlib>  // free

#include "analysis/equilibration_grid.h"
#include "input_source.h"
#include "reader.h"
#include "storage.h"

void store_release_deleter::operator()(sample_store* store) const {
  store_release(store);
  free(store);
}

namespace {

// Closes an input that is still open when a run unwinds or ends early.
struct input_guard {
  input_source* input;
  ~input_guard() { abandon_input(input); }
};

// Runs `work` with numbers read and printed as in the C locale. Every entry
// point below goes through here, and nothing behind them sets the locale.
template <typename Work>
auto in_c_locale(Work work) {
  c_numeric_locale numbers_as_in_c;
  return work();
}

}  // namespace

const char* varbloc_version() {
  return VARBLOC_VERSION;
}

option_fault check_read_options(const read_options& options) {
  if (options.skip_columns < 0) return SKIP_COLUMNS_NEGATIVE;
  if (options.discard_count < 0) return DISCARD_NEGATIVE;
  if (options.alloc_budget == 0) return BUDGET_ZERO;
  return OPTIONS_IN_RANGE;
}

namespace {

// Ends the run with error 4 for options out of range.
void refuse_options_out_of_range(const read_options& options) {
  switch (check_read_options(options)) {
    case SKIP_COLUMNS_NEGATIVE:
      fatal_format(ERROR_OPTION_OUT_OF_RANGE, "skip_columns must be at least 0, not %d",
                   options.skip_columns);
    case DISCARD_NEGATIVE:
      fatal_format(ERROR_OPTION_OUT_OF_RANGE, "discard must be at least 0, not %d",
                   options.discard_count);
    case BUDGET_ZERO:
      fatal(ERROR_OPTION_OUT_OF_RANGE, "budget must be at least 1 byte");
    case OPTIONS_IN_RANGE:
      break;
  }
}

// Opens the input the options name, or takes the caller's.
void open_options_input(const read_options& options, input_source* input, const run_hooks* hooks) {
  if (options.input_bytes != nullptr || options.input_descriptor >= 0) {
    use_caller_input(options.input_name, options.input_descriptor, options.input_bytes, input,
                     hooks);
  } else {
    open_input(options.input_name, input, hooks);
  }
}

// Seconds on the monotonic clock.
double now_seconds() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
}

// The empty states of column_count chains that start with the read.
void start_chains(std::vector<column_state>* states, int32_t column_count) {
  states->resize(static_cast<size_t>(column_count));
  for (column_state& state : *states) state_start(&state, 0);
}

// A streamed read's destination: the states it feeds, and a follow's
// running answer.
struct stream_feed {
  std::vector<column_state>* states;
  const follow_hooks* follow;
  double next_running;  // when the running answer is next due
};

void feed_states(void* context, const double* const* rows, int32_t column_count, int32_t count) {
  stream_feed* feed = static_cast<stream_feed*>(context);
  std::vector<column_state>& states = *feed->states;
  if (states.empty()) start_chains(&states, column_count);
  for (int32_t c = 0; c < column_count; c++) state_add(&states[c], rows[c], count);
  const follow_hooks* follow = feed->follow;
  if (follow == nullptr || follow->running == nullptr || states[0].count == 0) return;
  const double now = now_seconds();
  if (now < feed->next_running) return;
  feed->next_running = now + follow->interval_seconds;
  follow->running(follow->context, states.data(), column_count);
}

bool stop_following(void* context) {
  const follow_hooks* follow = static_cast<const follow_hooks*>(context);
  return follow->stop != nullptr && follow->stop(follow->context);
}

// Runs read(&input) on the input the options name, opened before and
// closed after, in the C locale; then polls for an interruption.
template <typename Read>
auto with_options_input(const read_options& options, const run_hooks* hooks, Read read) {
  return in_c_locale([&] {
    input_source input;
    input.fd = -1;
    input.decompressor = 0;
    input_guard guard{&input};
    open_options_input(options, &input, hooks);
    auto outcome = read(&input);
    check_interrupted(hooks);
    return outcome;
  });
}

}  // namespace

sample_set read_data_file(const read_options& options, const run_hooks* hooks,
                          read_progress* progress) {
  refuse_options_out_of_range(options);
  return with_options_input(options, hooks, [&](input_source* input) {
    return read_samples(options, input, hooks, progress);
  });
}

namespace {

// Reads the input the options name into `sink`, followed with `follow`.
stream_outcome stream_read(const read_options& options, const sample_sink& sink,
                           const run_hooks* hooks, const follow_hooks* follow,
                           read_progress* progress) {
  return with_options_input(options, hooks, [&](input_source* input) {
    input_follow followed = {stop_following, const_cast<follow_hooks*>(follow), nullptr, nullptr,
                             false};
    if (follow != nullptr) input->follow = &followed;
    read_progress own_progress;
    read_progress& read = progress != nullptr ? *progress : own_progress;
    const sample_set set = read_samples(options, input, hooks, &read, reader_paths{}, &sink);
    input->follow = nullptr;  // `followed` ends here
    stream_outcome outcome;
    outcome.column_count = set.column_count;
    outcome.samples = read.samples;
    outcome.discarded = read.discarded;
    outcome.ended_early = set.ended_early;
    outcome.stopped = followed.stopped;
    outcome.decompressor_status = read.decompressor_status;
    return outcome;
  });
}

// The first read of an equilibrated stream: every column's grid.
void feed_grids(void* context, const double* const* rows, int32_t column_count, int32_t count) {
  std::vector<equilibration_grid>& grids = *static_cast<std::vector<equilibration_grid>*>(context);
  if (grids.empty()) {
    grids.resize(static_cast<size_t>(column_count));
    for (equilibration_grid& grid : grids) grid_start(&grid);
  }
  for (int32_t c = 0; c < column_count; c++) grid_add(&grids[c], rows[c], count);
}

// The second read: each column's state from the latest start, and from its
// own start.
struct split_feed {
  int64_t handed;  // samples of each column handed so far
  const equilibrated_stream* outcome;
  std::vector<column_state>* latest;
  std::vector<column_state>* own;
};

// Adds the samples x[0..count), the chain's samples from `at` on, that lie
// at or after `start`.
void add_from(column_state* state, const double* x, int64_t at, int32_t count, int64_t start) {
  const int64_t skip = start > at ? start - at : 0;
  if (skip < count) state_add(state, x + skip, count - skip);
}

void feed_split(void* context, const double* const* rows, int32_t column_count, int32_t count) {
  split_feed* feed = static_cast<split_feed*>(context);
  if (feed->latest->empty()) {
    start_chains(feed->latest, column_count);
    start_chains(feed->own, column_count);
  }
  const equilibration_table& table = feed->outcome->equilibration;
  for (int32_t c = 0; c < column_count; c++) {
    add_from(&(*feed->latest)[c], rows[c], feed->handed, count, feed->outcome->start);
    add_from(&(*feed->own)[c], rows[c], feed->handed, count, table.column[c].start);
  }
  feed->handed += count;
}

void ignore_event(void*, const report_event&) {}

}  // namespace

stream_outcome stream_data_file(const read_options& options, std::vector<column_state>* states,
                                const run_hooks* hooks, const follow_hooks* follow,
                                read_progress* progress) {
  refuse_options_out_of_range(options);
  read_options taken = options;
  if (!states->empty()) {
    const int32_t chains = static_cast<int32_t>(states->size());
    if (options.column_count.has_value() &&
        *options.column_count - options.skip_columns != chains) {
      fatal_format(ERROR_OPTION_OUT_OF_RANGE,
                   "the input goes on with %d chains, so it must give %d columns, not %d", chains,
                   chains, *options.column_count - options.skip_columns);
    }
    taken.column_count = chains + options.skip_columns;
  }
  stream_feed feed = {states, follow,
                      follow != nullptr ? now_seconds() + follow->interval_seconds : 0.0};
  return stream_read(taken, sample_sink{feed_states, &feed}, hooks, follow, progress);
}

equilibrated_stream stream_equilibrated(const read_options& options, const run_hooks* hooks,
                                        read_progress* progress) {
  refuse_options_out_of_range(options);
  equilibrated_stream outcome;
  std::vector<equilibration_grid> grids;
  outcome.read = stream_read(options, sample_sink{feed_grids, &grids}, hooks, nullptr, progress);
  if (outcome.read.ended_early || grids.empty()) return outcome;
  const int32_t column_count = outcome.read.column_count;
  outcome.equilibration =
      in_c_locale([&] { return grid_search(grids.data(), column_count, hooks); });
  grids = std::vector<equilibration_grid>();
  outcome.start_column = latest_start_column(outcome.equilibration);
  outcome.start = outcome.equilibration.column[outcome.start_column].start;
  if (outcome.start > INT32_MAX) {
    fatal_format(ERROR_OPTION_OUT_OF_RANGE,
                 "The equilibrated part starts after sample %lld, more than a run can discard",
                 static_cast<long long>(outcome.start));
  }

  // The same lines again, their events told once already.
  read_options again = options;
  again.column_count = column_count + options.skip_columns;
  const run_hooks quiet = {ignore_event, hooks != nullptr ? hooks->interrupted : nullptr,
                           hooks != nullptr ? hooks->context : nullptr};
  std::vector<column_state> own;
  split_feed feed = {0, &outcome, &outcome.states, &own};
  const stream_outcome second =
      stream_read(again, sample_sink{feed_split, &feed}, &quiet, nullptr, nullptr);
  if (second.samples != outcome.read.samples) {
    fatal_format(ERROR_READ_FAILED,
                 "Read error in input file %s: it changed between the equilibration search "
                 "and the analysis",
                 options.input_name);
  }
  for (int32_t c = 0; c < column_count; c++) {
    equilibration_column& column = outcome.equilibration.column[c];
    if (column.reason != ESTIMATE_OK) continue;
    const blocking_result rest = in_c_locale([&] { return state_result(&own[c], 1); });
    column.tau = rest.automatic[0].tau;
    column.ess = rest.automatic[0].ess;
  }
  return outcome;
}

double* take_samples(sample_set* set) {
  if (set->store == nullptr || set->samples <= 0) return nullptr;
  double* samples = store_compact(set->store.get(), set->samples);
  set->store.reset();
  set->columns = nullptr;
  set->column_sums.clear();
  set->samples = 0;
  set->column_count = 0;
  return samples;
}

namespace {

// The analysis of the samples from `start` on. `sums`, when given, are the
// sums of every sample, which serve only the analysis from the first; from
// any other start the driver forms the rest's own, in sample order as the
// reader does.
blocking_result analyse_from(int64_t n, const double* const* columns, int32_t column_count,
                             const double* sums, const run_hooks* hooks, bool automatic,
                             int64_t start) {
  if (start == 0) {
    return in_c_locale(
        [&] { return collect_additional_data(n, columns, column_count, sums, hooks, automatic); });
  }
  std::vector<const double*> rest(static_cast<size_t>(column_count));
  for (int32_t c = 0; c < column_count; c++) rest[c] = columns[c] + start;
  return analyse_series(n - start, rest.data(), column_count, hooks, automatic);
}

// Settles the start as `discard` says and analyses from there.
void analyse_from_start(int64_t n, const double* const* columns, int32_t column_count,
                        const double* sums, discard_mode discard, bool automatic,
                        const run_hooks* hooks, run_outcome* outcome) {
  if (discard == DISCARD_EQUILIBRATED) {
    outcome->equilibration = find_equilibration(n, columns, column_count, hooks);
    outcome->start_column = latest_start_column(*outcome->equilibration);
    outcome->start = outcome->equilibration->column[outcome->start_column].start;
  }
  outcome->result = analyse_from(n, columns, column_count, sums, hooks, automatic, outcome->start);
}

}  // namespace

run_outcome run_analysis(const read_options& options, discard_mode discard, bool automatic,
                         const run_hooks* hooks, read_progress* progress) {
  run_outcome outcome;
  outcome.read = read_data_file(options, hooks, progress);
  sample_set& set = outcome.read;
  if (set.ended_early) return outcome;
  analyse_from_start(set.samples, set.columns, set.column_count, set.column_sums.data(), discard,
                     automatic, hooks, &outcome);
  set.store.reset();
  set.columns = nullptr;
  set.column_sums.clear();
  return outcome;
}

run_outcome analyse_columns(int64_t n, const double* const* columns, int32_t column_count,
                            discard_mode discard, bool automatic, const run_hooks* hooks) {
  run_outcome outcome;
  analyse_from_start(n, columns, column_count, nullptr, discard, automatic, hooks, &outcome);
  return outcome;
}

blocking_result analyse_samples(const sample_set& set, const run_hooks* hooks, bool automatic,
                                int64_t start) {
  return analyse_from(set.samples, set.columns, set.column_count, set.column_sums.data(), hooks,
                      automatic, start);
}

blocking_result analyse_series(int64_t n, const double* const* columns, int32_t column_count,
                               const run_hooks* hooks, bool automatic) {
  return in_c_locale(
      [&] { return collect_additional_data(n, columns, column_count, nullptr, hooks, automatic); });
}

equilibration_table find_equilibration(int64_t n, const double* const* columns,
                                       int32_t column_count, const run_hooks* hooks) {
  return search_equilibration(n, columns, column_count, hooks);
}

std::string render_report(const blocking_result& result) {
  return in_c_locale([&] { return format_report(result); });
}

std::string render_automatic(const blocking_result& result) {
  return in_c_locale([&] { return format_automatic(result); });
}

analysis_file_outcome append_analysis_file(const blocking_result& result, const char* path,
                                           std::string* message) {
  return in_c_locale([&] {
    return write_analysis_file(result.column_count, result.mean.data(), result.final_error.data(),
                               path, message);
  });
}
