// varbloc: blocking error analysis of correlated samples. The program is the
// core library plus this entry, which wires the command line to it and
// prints what the library reports.
#include <cstdio>
#include <new>  // bad_alloc
#include <string>

#include "library.h"

namespace {

// Every message of a run goes to standard error as it arises, so it keeps its
// place among the decompressor's own messages.
void print_event(void* /*context*/, const report_event& event) {
  fwrite(event.text, 1, event.length, stderr);
}

void print_text(const std::string& text) {
  fwrite(text.data(), 1, text.size(), stderr);
}

// The whole run after the command line; returns the exit status.
int run(const run_settings& settings) {
  const run_hooks hooks = {print_event, nullptr, nullptr};
  sample_set samples = read_data_file(settings, &hooks);
  if (samples.ended_early) return 0;
  const blocking_result result = analyse_samples(samples, &hooks);
  print_text(render_report(result));
  std::string message;
  write_analysis_file(result.column_count, result.mean.data(), result.final_error.data(),
                      settings.output_path, &message);
  print_text(message);
  fputs("\n", stderr);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  print_banner();
  run_settings settings;
  if (!parse_command_line(argc, argv, &settings)) {
    usage_info();
    return 1;
  }
  int code = 0;
  std::string message;
  try {
    return run(settings);
  } catch (const varbloc_error& error) {
    code = error.code();
    message = error.what();
  } catch (const std::bad_alloc&) {
    code = -99;
    message = "Alloc: Virtual memory exhausted";
  }
  print_text(fatal_frame(code, message.c_str()));
  return fatal_exit_status(code);
}
