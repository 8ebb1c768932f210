// In-process tests of the reader: line chunks across read blocks, and a
// store that fills up, which would take gigabytes of input end to end.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "line_reader.h"
#include "reader.h"
#include "test_util.h"

namespace {

using testing::ExitedWithCode;

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
  input_source input = {ends[0], 0, "pipe", read};
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

TEST(ReaderTest, FullStoreIsFatal200) {
  scoped_temp_dir dir;
  write_file(dir.file("data"), "1 2\n3 4\n5 6\n7 8\n");
  // room for 3 samples
  run_settings settings = {8 * 2 * 3, 0, 0, "ana.dat", "data", nullptr, nullptr};
  EXPECT_EXIT(
      {
        input_source input;
        open_input(dir.file("data").c_str(), &input);
        read_and_analyse(reader_create(&settings, &input));
      },
      ExitedWithCode(56),
      "^Reading file...\nFound 2 columns in first data line.\n"
      "Storage per column set to 3 entries \\(0 MB total\\)\n"
      "If this is insufficient, use -a or analyze data in sets of fewer columns via -c\n\n"
      "\nFatal error 200: Cannot handle more than 3 lines.\nProgram halted.\n\n$");
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
  run_settings settings = {DEFAULT_ALLOC_BUDGET, 0, 0, "ana.dat", "flaky.dat", nullptr, nullptr};
  input_source input = {-1, 0, "flaky.dat", read_then_fail};
  EXPECT_EXIT(read_and_analyse(reader_create(&settings, &input)), ExitedWithCode(196),
              "^Reading file...\nFound 2 columns in first data line.\n"
              "\nFatal error 60: Read error in input file flaky.dat.\nProgram halted.\n\n$");
}

}  // namespace

namespace {

// An early end (here: no columns on the first line) returns with the input
// still open; the caller closes it, and close_input marks it closed. Callers
// that run many inputs in one process (the fuzzer) depend on both.
TEST(ReaderTest, EarlyEndLeavesTheInputToTheCaller) {
  scoped_temp_dir dir;
  write_file(dir.file("data"), "\n1\n");
  run_settings settings = {DEFAULT_ALLOC_BUDGET, 0, 0, "ana.dat", "data", nullptr, nullptr};
  input_source input;
  open_input(dir.file("data").c_str(), &input);
  reader_state* reader = reader_create(&settings, &input);
  testing::internal::CaptureStderr();
  EXPECT_EQ(read_and_analyse(reader), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Reading file...\n\nNo columns found in first data line. Terminating.\n\n");
  reader_destroy(reader);
  ASSERT_GE(input.fd, 0);
  int fd = input.fd;
  close_input(&input);
  EXPECT_EQ(input.fd, -1);
  EXPECT_EQ(fcntl(fd, F_GETFD), -1);  // really closed
}

}  // namespace
