// libFuzzer target, differential: arbitrary bytes as the input stream of a
// whole run, read, checked and analysed by the same code main uses, up to
// the analysis file, twice: with the in-place line path and with every line
// through the general rules (the reader's paths chosen by the target). Both runs must write the
// same standard error bytes and the same analysis file, end with the same fatal code or status, and
// store the same samples bit for bit. The first four bytes choose the run's settings: whether a
// column count is given and which, whether lines are gathered before store writes, -c, -i and the
// storage budget (small, so a full store is reachable). A fatal error throws and ends only the one
// run.
#include <sys/mman.h>  // memfd_create
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "input_source.h"
#include "library.h"
#include "reader.h"
#include "support/error.h"
#include "support/report.h"

namespace {

std::string g_output_path;

// Messages go to standard error as the program prints them.
void print_event(void* /*context*/, const report_event& event) {
  fwrite(event.text, 1, event.length, stderr);
}
const run_hooks PRINT_HOOKS = {print_event, nullptr, nullptr};

void setup_once() {
  if (!g_output_path.empty()) return;
  char directory[] = "/tmp/varbloc-fuzz-XXXXXX";
  if (mkdtemp(directory) == nullptr) abort();
  g_output_path = std::string(directory) + "/ana.dat";
}

// Everything a run leaves behind that the two ways of reading must share.
struct read_outcome {
  std::string standard_error;
  std::string analysis_file;
  int status;  // the ordinary end's status, or the fatal code
  bool fatal;
  int32_t samples;
  std::string samples_bits;  // the stored samples, row by row
};

// The whole contents of a descriptor's file, read from its start.
std::string contents_of(int fd) {
  std::string text;
  if (lseek(fd, 0, SEEK_SET) != 0) abort();
  char block[4096];
  ssize_t count;
  while ((count = read(fd, block, sizeof block)) > 0) text.append(block, count);
  return text;
}

std::string file_contents(const char* path) {
  FILE* file = fopen(path, "rb");
  if (file == nullptr) return "(none)";
  std::string text;
  char block[4096];
  size_t count;
  while ((count = fread(block, 1, sizeof block, file)) > 0) text.append(block, count);
  fclose(file);
  return text;
}

read_outcome run_once(const read_options& options, const reader_paths& paths, const uint8_t* text,
                      size_t length) {
  unlink(g_output_path.c_str());
  int fd = memfd_create("varbloc-fuzz", 0);
  int error_fd = memfd_create("varbloc-fuzz-stderr", 0);
  if (fd < 0 || error_fd < 0) abort();
  if (write(fd, text, length) != static_cast<ssize_t>(length) || lseek(fd, 0, SEEK_SET) != 0) {
    abort();
  }
  // Standard error goes to a file of its own for the run.
  fflush(stderr);
  const int saved_stderr = dup(STDERR_FILENO);
  if (saved_stderr < 0 || dup2(error_fd, STDERR_FILENO) < 0) abort();

  read_outcome outcome;
  outcome.fatal = false;
  input_source input = {fd, 0, "fuzz", read, &PRINT_HOOKS};
  read_progress progress;
  try {
    sample_set set = read_samples(options, &input, &PRINT_HOOKS, &progress, paths);
    // The rest of the program's run: the analysis and the final newline.
    if (!set.ended_early) {
      const blocking_result result = analyse_samples(set, nullptr);
      const std::string report = render_report(result);
      fwrite(report.data(), 1, report.size(), stderr);
      std::string message;
      append_analysis_file(result, g_output_path.c_str(), &message);
      fwrite(message.data(), 1, message.size(), stderr);
      fputs("\n", stderr);
      for (int32_t c = 0; c < set.column_count; c++) {
        outcome.samples_bits.append(reinterpret_cast<const char*>(set.columns[c]),
                                    sizeof(double) * static_cast<size_t>(set.samples));
      }
    }
    outcome.status = 0;
  } catch (const varbloc_error& error) {
    const std::string frame = fatal_frame(error.code(), error.what());
    fwrite(frame.data(), 1, frame.size(), stderr);
    outcome.fatal = true;
    outcome.status = error.code();
  }
  outcome.samples = progress.samples;
  fflush(stderr);
  if (dup2(saved_stderr, STDERR_FILENO) < 0) abort();
  close(saved_stderr);

  outcome.standard_error = contents_of(error_fd);
  close(error_fd);
  outcome.analysis_file = file_contents(g_output_path.c_str());
  // Fatal errors and early ends leave the input open; left open, the
  // descriptors would run out after some thousand inputs.
  abandon_input(&input);
  return outcome;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  setup_once();
  if (size < 4) return 0;
  const uint8_t flags = data[0];
  read_options options;
  options.alloc_budget = 8 * (64 + 512 * static_cast<uint64_t>(flags >> 4));
  options.skip_columns = data[2] % 8;
  options.discard_count = data[3] % 16;
  options.input_name = "fuzz";
  if (flags & 1) options.column_count = static_cast<int32_t>(data[1]) - 8;

  reader_paths paths;
  // Half the inputs gather lines before store writes whatever the width.
  paths.gather_columns = (flags & 2) ? 0 : GATHER_COLUMNS;
  paths.in_place_lines = true;
  const read_outcome in_place = run_once(options, paths, data + 4, size - 4);
  paths.in_place_lines = false;
  const read_outcome general = run_once(options, paths, data + 4, size - 4);

  if (in_place.standard_error != general.standard_error) abort();
  if (in_place.analysis_file != general.analysis_file) abort();
  if (in_place.fatal != general.fatal || in_place.status != general.status) abort();
  if (in_place.samples != general.samples || in_place.samples_bits != general.samples_bits) {
    abort();
  }
  return 0;
}
