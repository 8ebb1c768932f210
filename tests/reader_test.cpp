// In-process tests of the reader: line chunks across read blocks, and a
// store that fills up, which would take gigabytes of input end to end.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "library.h"
#include "line_reader.h"
#include "program/discarded_read.h"
#include "reader.h"
#include "test_util.h"

namespace {

// Reads `bytes` from a pipe written in pieces of `piece` bytes and returns the
// chunks the line reader hands out, first byte peeked and skipped like '#'.
std::vector<std::string> chunks_of(const std::string& bytes, size_t piece) {
  int ends[2];
  EXPECT_EQ(pipe(ends), 0);
  std::thread writer([&] {
    for (size_t at = 0; at < bytes.size(); at += piece) {
      size_t count = std::min(piece, bytes.size() - at);
      EXPECT_EQ(write(ends[1], bytes.data() + at, count), static_cast<ssize_t>(count));
    }
    close(ends[1]);
  });
  input_source input = {ends[0], 0, "pipe", read, nullptr};
  line_reader reader;
  line_reader_open(&reader, &input);
  std::vector<std::string> chunks;
  const char* chunk;
  size_t length;
  while (peek_byte(&reader) >= 0) {
    if (!next_chunk(&reader, &chunk, &length)) break;
    chunks.emplace_back(chunk, length);
  }
  line_reader_close(&reader);
  writer.join();
  close(ends[0]);
  return chunks;
}

TEST(LineReaderTest, ChunksAreLinesOrFullBuffers) {
  std::string long_line(3 * MAX_CHUNK + 17, 'x');
  std::string bytes;
  std::vector<std::string> expected;
  for (int i = 0; i < 40000; i++) {  // about 1.5 MB: crosses several read blocks
    std::string line = std::to_string(i * 7919) + " " + std::to_string(i) + "\n";
    bytes += line;
    expected.push_back(line);
  }
  bytes += long_line + "\n";
  for (size_t at = 0; at < long_line.size(); at += MAX_CHUNK) {
    expected.push_back(long_line.substr(at, MAX_CHUNK));
  }
  expected.back() += "\n";
  bytes += std::string("no newline\0here", 15);
  expected.push_back(std::string("no newline\0here", 15));
  for (size_t piece : {size_t{1} << 20, size_t{4093}, size_t{65536}}) {
    EXPECT_EQ(chunks_of(bytes, piece), expected) << "pieces of " << piece;
  }
}

// Options out of range are refused before the input is opened (the file
// named here does not exist): the core's own check, whatever the front end.
TEST(ReaderTest, OptionsOutOfRangeAreFatal4) {
  struct range_case {
    int32_t skip_columns;
    int32_t discard;
    uint64_t budget;
    option_fault fault;
    const char* message;
  };
  const range_case cases[] = {
      {-1, 0, DEFAULT_ALLOC_BUDGET, SKIP_COLUMNS_NEGATIVE,
       "skip_columns must be at least 0, not -1"},
      {0, INT32_MIN, DEFAULT_ALLOC_BUDGET, DISCARD_NEGATIVE,
       "discard must be at least 0, not -2147483648"},
      {0, 0, 0, BUDGET_ZERO, "budget must be at least 1 byte"},
      {0, 0, 1, OPTIONS_IN_RANGE, "Cannot open input file missing.dat"},
  };
  for (const range_case& c : cases) {
    read_options options;
    options.input_name = "missing.dat";
    options.skip_columns = c.skip_columns;
    options.discard_count = c.discard;
    options.alloc_budget = c.budget;
    EXPECT_EQ(check_read_options(options), c.fault) << c.message;
    try {
      run_analysis(options, DISCARD_COUNT, false, nullptr);
      ADD_FAILURE() << "no error: " << c.message;
    } catch (const varbloc_error& error) {
      EXPECT_EQ(error.code(),
                c.fault == OPTIONS_IN_RANGE ? ERROR_CANNOT_OPEN_INPUT : ERROR_OPTION_OUT_OF_RANGE);
      EXPECT_STREQ(error.what(), c.message);
    }
  }
}

TEST(ReaderTest, FullStoreIsFatal200) {
  scoped_temp_dir dir;
  write_file(dir.file("data"), "1 2\n3 4\n5 6\n7 8\n");
  const std::string path = dir.file("data");
  read_options options;
  options.input_name = path.c_str();
  options.alloc_budget = 8 * 2 * 3;  // 3 samples fit
  std::string text;
  const run_hooks hooks = collect_text(&text);
  EXPECT_TRUE(throws_fatal([&] { read_data_file(options, &hooks); }, -200,
                           "Cannot handle more than 3 lines"));
  EXPECT_EQ(text,
            "Reading file...\nFound 2 columns in first data line.\n"
            "Storage per column set to 3 entries (0 MB total)\n"
            "If this is insufficient, use -a or analyze data in sets of fewer columns via -c\n\n");
}

}  // namespace

namespace {

// Hands out the first part of the data, then fails as a disk or network
// file system can.
ssize_t read_then_fail(int, void* buffer, size_t count) {
  static const char data[] = "1 2\n3 4\n5 6\n";
  static size_t offset = 0;
  if (offset == sizeof data - 1) {
    errno = EIO;
    return -1;
  }
  size_t n = std::min(count, sizeof data - 1 - offset);
  memcpy(buffer, data + offset, n);
  offset += n;
  return static_cast<ssize_t>(n);
}

TEST(ReaderTest, ReadErrorMidwayIsFatal60NotTheEnd) {
  read_options options;
  options.input_name = "flaky.dat";
  std::string text;
  const run_hooks hooks = collect_text(&text);
  input_source input = {-1, 0, "flaky.dat", read_then_fail, nullptr};
  EXPECT_TRUE(throws_fatal([&] { read_samples(options, &input, &hooks); }, -60,
                           "Read error in input file flaky.dat"));
  EXPECT_EQ(text, "Reading file...\nFound 2 columns in first data line.\n");
}

}  // namespace

namespace {

// Open descriptors of this process.
int open_descriptors() {
  int count = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    (void)entry;
    count++;
  }
  return count;
}

// Whether this process has no child, running or unreaped.
bool no_child_process() {
  return waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD;
}

// Runs that end early or with an error release their input, stop their
// decompressor and free their memory (a process that reads many files, the
// Python module or the fuzzer, would otherwise run out of descriptors, keep
// processes and leak; the sanitizer build checks the memory), and report what
// the program prints.
TEST(ReaderTest, EveryEndReleasesTheInput) {
  scoped_temp_dir dir;
  const std::string many_lines = [] {
    std::string lines;
    for (int k = 0; k < 200000; k++) lines += "1.5 2.5\n";
    return lines;
  }();
  struct end_case {
    std::string data;
    bool compressed;
    uint64_t budget;
    bool early;
    int code;  // of a fatal end, else 0
    std::string message, text;
  };
  const std::string found = "Reading file...\nFound 2 columns in first data line.\n";
  const end_case cases[] = {
      {"\n1\n", false, DEFAULT_ALLOC_BUDGET, true, 0, "",
       "Reading file...\n\nNo columns found in first data line. Terminating.\n\n"},
      {"# only\n", false, DEFAULT_ALLOC_BUDGET, true, 0, "",
       "Reading file...\nComment:  only\n\nNo samples read (discarded 0 samples). "
       "Terminating.\n\n"},
      {"1 2\nx 2\n", false, DEFAULT_ALLOC_BUDGET, false, -70,
       "Non-numerical data in line 2 column 0 (columns count from 0)", found},
      {"1 2\n3 4\n", false, DEFAULT_ALLOC_BUDGET, false, 0, "",
       found + "\nRead 2 samples (discarded first 0 samples).\n"},
      // The decompressor is still writing when the run ends.
      {many_lines + "1 x\n" + many_lines, true, DEFAULT_ALLOC_BUDGET, false, -70,
       "Non-numerical data in line 200001 column 1 (columns count from 0)", found},
      {"\n" + many_lines, true, DEFAULT_ALLOC_BUDGET, true, 0, "",
       "Reading file...\n\nNo columns found in first data line. Terminating.\n\n"},
      {many_lines, true, 8 * 2 * 150000, false, -200, "Cannot handle more than 150000 lines",
       found + "Storage per column set to 150000 entries (2 MB total)\nIf this is insufficient, "
               "use -a or analyze data in sets of fewer columns via -c\n\n"},
      {"1 2\n", false, 7, false, -300,
       "Could not allocate storage array (0 entries per column -> 0 MB)", found},
  };
  const int before = open_descriptors();
  for (const end_case& c : cases) {
    const std::string path = dir.file(c.compressed ? "data.gz" : "data");
    write_file(dir.file("data"), c.data);
    if (c.compressed) {
      ASSERT_EQ(run_program("/bin/sh", {"-c", "gzip -f data"}, dir.path()).status, 0);
    }
    read_options options;
    options.input_name = path.c_str();
    options.alloc_budget = c.budget;
    std::string text;
    const run_hooks hooks = collect_text(&text);
    if (c.code != 0) {
      EXPECT_TRUE(throws_fatal([&] { read_data_file(options, &hooks); }, c.code, c.message));
    } else {
      sample_set set = read_data_file(options, &hooks);
      EXPECT_EQ(set.ended_early, c.early) << c.text;
    }
    EXPECT_EQ(text, c.text) << c.message;
    EXPECT_EQ(open_descriptors(), before) << c.text;
    EXPECT_TRUE(no_child_process()) << c.text;
  }
}

}  // namespace

namespace {

// How the decompressor ended is known once its output was read to the end,
// also when the last line then ends the run; a decompressor stopped before
// the end gives none (the record of a whole read is tested end to end).
TEST(ReaderTest, DecompressorStatusOfAReadToItsEnd) {
  scoped_temp_dir dir;
  std::string lines;
  for (int k = 0; k < 100000; k++) lines += std::to_string(k) + " 7\n";
  struct status_case {
    const char* intent;
    std::string text;  // compressed into data.gz
    std::optional<int> status;
  };
  const status_case cases[] = {
      {"last line short and unended, as a cut leaves it: error 100", lines + "5", 0},
      {"bad first line: error 70, gzip still writing", "1 x\n" + lines, std::nullopt},
  };
  const std::string path = dir.file("data.gz");
  for (const status_case& c : cases) {
    write_file(dir.file("data"), c.text);
    ASSERT_EQ(run_program("/bin/sh", {"-c", "gzip -f data"}, dir.path()).status, 0);
    read_options options;
    options.input_name = path.c_str();
    read_progress progress;
    EXPECT_THROW(read_data_file(options, nullptr, &progress), varbloc_error) << c.intent;
    EXPECT_EQ(progress.decompressor_status, c.status) << c.intent;
  }
}

}  // namespace

namespace {

void hold(void* context, const report_event& event) {
  hold_event(static_cast<std::vector<held_event>*>(context), event);
}

}  // namespace

// A whole read's events, told as a read that discarded `start` more lines,
// are those of that read itself: the column-count messages after the
// comments before its first line, the read count of the samples kept.
TEST(DiscardedReadTest, WholeReadToldAsTheReadWithDiscards) {
  struct told_case {
    const char* what;
    std::string text;
    int32_t skip_columns;
    std::optional<int32_t> column_count;
    int32_t discard;  // the -i of both reads
    int32_t start;
  };
  const std::string rows = "1 2\n3 4\n5 6\n7 8\n9 10\n";
  const told_case cases[] = {
      {"comments before and after the start", "# a\n1 2\n# b\n3 4\n5 6\n# c\n7 8\n", 0, {}, 0, 2},
      {"a comment right at the start", "1 2\n3 4\n# at\n5 6\n7 8\n", 0, {}, 0, 2},
      {"columns skipped", "# a\n0 1 2\n# b\n0 3 4\n0 5 6\n", 1, {}, 0, 1},
      {"the count given", "# a\n" + rows, 0, 2, 0, 3},
      {"after -i", "# a\n" + rows + "# z\n", 0, {}, 1, 2},
      {"nothing more discarded", "# a\n" + rows, 0, {}, 0, 0},
  };
  scoped_temp_dir dir;
  for (const told_case& c : cases) {
    write_file(dir.file("d.dat"), c.text);
    const std::string path = dir.file("d.dat");
    read_options options;
    options.input_name = path.c_str();
    options.skip_columns = c.skip_columns;
    options.column_count = c.column_count;
    options.discard_count = c.discard;
    std::vector<held_event> held;
    const run_hooks holding = {hold, nullptr, &held};
    const sample_set whole = read_data_file(options, &holding);
    std::string told;
    for (const held_event& event :
         events_as_discarded(held, whole.samples, whole.discarded, c.start)) {
      told += event.text;
    }
    options.discard_count = c.discard + c.start;
    std::string expected;
    const run_hooks collecting = collect_text(&expected);
    read_data_file(options, &collecting);
    EXPECT_EQ(told, expected) << c.what;
  }
}
