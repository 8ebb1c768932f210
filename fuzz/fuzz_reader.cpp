// libFuzzer target: arbitrary bytes as the input stream of a whole run, read,
// checked and analysed by the same code main uses, up to the analysis file.
// The first four bytes choose the run's settings: whether a column count is
// given and which, -c, -i and the storage budget (small, so a full store is
// reachable). Fatal errors throw in this build and end only the one input.
#include <sys/mman.h>  // memfd_create
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "command_line.h"
#include "input_source.h"
#include "reader.h"
#include "support/error.h"

namespace {

std::string g_output_path;

void setup_once() {
  if (!g_output_path.empty()) return;
  char directory[] = "/tmp/varbloc-fuzz-XXXXXX";
  if (mkdtemp(directory) == nullptr) abort();
  g_output_path = std::string(directory) + "/ana.dat";
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
  unlink(g_output_path.c_str());

  int fd = memfd_create("varbloc-fuzz", 0);
  if (fd < 0) abort();
  const uint8_t* text = data + 4;
  size_t length = size - 4;
  if (write(fd, text, length) != static_cast<ssize_t>(length) || lseek(fd, 0, SEEK_SET) != 0) {
    abort();
  }
  input_source input = {fd, 0, "fuzz", read};
  reader_state* reader = reader_create(&settings, &input);
  try {
    read_and_analyse(reader);
  } catch (const fatal_exit&) {
  }
  // Fatal errors and early ends leave the input open; left open, the
  // descriptors would run out after some thousand inputs.
  if (input.fd >= 0) close_input(&input);
  reader_destroy(reader);
  return 0;
}
