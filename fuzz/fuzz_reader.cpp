// libFuzzer target, differential: arbitrary bytes as the input stream of a
// whole run, read, checked and analysed by the same code main uses, up to
// the analysis file, twice: with the in-place line path and with every line
// through the general rules (in_place_lines_enabled, a switch of fuzzing
// builds only). Both runs must write the same standard error bytes and the
// same analysis file, end with the same fatal code or status, and store the
// same samples bit for bit.
// The first four bytes choose the run's settings: whether a column count is
// given and which, whether lines are gathered before store writes, -c, -i
// and the storage budget (small, so a full store is reachable). A fatal error
// throws and ends only the one run.
#include <sys/mman.h>  // memfd_create
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "analysis/analysis_file.h"
#include "analysis/general_error_routines_v3.h"
#include "analysis/level_report.h"
#include "command_line.h"
#include "input_source.h"
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
struct run_outcome {
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

run_outcome run_once(const run_settings& settings, const uint8_t* text, size_t length) {
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

  run_outcome outcome;
  outcome.fatal = false;
  input_source input = {fd, 0, "fuzz", read, &PRINT_HOOKS};
  reader_state* reader = reader_create(&settings, &input, &PRINT_HOOKS);
  try {
    // The rest of the program's run: the analysis and the final newline.
    if (read_samples(reader)) {
      const blocking_result result = collect_additional_data(
          reader->samples_read, reader->store, reader->column_count, reader->column_sum);
      const std::string report = format_report(result);
      fwrite(report.data(), 1, report.size(), stderr);
      std::string message;
      write_analysis_file(result.column_count, result.mean.data(), result.final_error.data(),
                          settings.output_path, &message);
      fwrite(message.data(), 1, message.size(), stderr);
      fputs("\n", stderr);
    }
    outcome.status = 0;
  } catch (const varbloc_error& error) {
    const std::string frame = fatal_frame(error.code(), error.what());
    fwrite(frame.data(), 1, frame.size(), stderr);
    outcome.fatal = true;
    outcome.status = error.code();
  }
  fflush(stderr);
  if (dup2(saved_stderr, STDERR_FILENO) < 0) abort();
  close(saved_stderr);

  outcome.standard_error = contents_of(error_fd);
  close(error_fd);
  outcome.analysis_file = file_contents(g_output_path.c_str());
  outcome.samples = reader->samples_read;
  if (reader->store != nullptr) {
    for (int32_t c = 0; c < reader->column_count; c++) {
      outcome.samples_bits.append(reinterpret_cast<const char*>(reader->store[c]),
                                  sizeof(double) * static_cast<size_t>(reader->samples_read));
    }
  }
  // Fatal errors and early ends leave the input open; left open, the
  // descriptors would run out after some thousand inputs.
  abandon_input(&input);
  reader_destroy(reader);
  return outcome;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  setup_once();
  if (size < 4) return 0;
  const uint8_t flags = data[0];
  std::string column_count = std::to_string(static_cast<int>(data[1]) - 8);
  run_settings settings;
  settings.alloc_budget = 8 * (64 + 512 * static_cast<uint64_t>(flags >> 4));
  settings.skip_columns = data[2] % 8;
  settings.discard_count = data[3] % 16;
  settings.output_path = g_output_path.c_str();
  settings.input_name = "fuzz";
  settings.column_count_argument = (flags & 1) ? column_count.c_str() : nullptr;
  settings.json_path = nullptr;

  // Half the inputs gather lines before store writes whatever the width.
  gather_columns = (flags & 2) ? 0 : GATHER_COLUMNS;
  in_place_lines_enabled = true;
  const run_outcome in_place = run_once(settings, data + 4, size - 4);
  in_place_lines_enabled = false;
  const run_outcome general = run_once(settings, data + 4, size - 4);
  in_place_lines_enabled = true;

  if (in_place.standard_error != general.standard_error) abort();
  if (in_place.analysis_file != general.analysis_file) abort();
  if (in_place.fatal != general.fatal || in_place.status != general.status) abort();
  if (in_place.samples != general.samples || in_place.samples_bits != general.samples_bits) {
    abort();
  }
  return 0;
}
