// End-to-end tests of streamed runs: --stream gives the report of the run in
// memory, --follow keeps reading a growing input and ends on its target, on
// a signal or at the end of a pipe, with the full report.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>    // exp
#include <csignal>  // kill, SIGINT, SIGTERM
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "test_util.h"

namespace {

// Samples of an AR(1) chain: `count` lines of `columns` columns.
std::string ar1_text(int count, int columns, const char* seed, const char* phis = "0.9,0.5") {
  return run_program(
             GENERATE_AR1,
             {std::to_string(count), std::to_string(columns), "%.12e", "space", seed, "0", phis},
             ".")
      .out;
}

// `text` with every `name` replaced by `other`.
std::string with_name(std::string text, const std::string& name, const std::string& other) {
  for (size_t at = text.find(name); at != std::string::npos; at = text.find(name, at)) {
    text.replace(at, name.size(), other);
    at += other.size();
  }
  return text;
}

struct stream_case {
  const char* intent;
  std::string data;
  std::vector<std::string> args;  // "d" names the data file
};

TEST(StreamEndToEnd, StreamedRunPrintsTheReportOfTheRunInMemory) {
  const std::string example = read_file(EXAMPLES_DIR "/ar1.dat");
  // Long enough for several of the reader's windows; a bad line far down.
  std::string chain = ar1_text(300000, 2, "11");
  std::string bad = chain;
  bad.insert(bad.find('\n', bad.size() / 2 + 1) + 1, "0.5 x\n");
  const stream_case cases[] = {
      {"the shipped example", example, {"d"}},
      {"the shipped example with --auto", example, {"--auto", "d"}},
      {"columns skipped, counted, discarded", example, {"-c", "1", "-i", "777", "d", "2"}},
      {"another analysis file", example, {"-o", "r.dat", "--auto", "d"}},
      {"several windows", chain, {"--auto", "d"}},
      {"a bad line deep in", bad, {"d"}},
      {"nothing to analyse", "# only a comment\n", {"d"}},
  };
  for (const stream_case& c : cases) {
    scoped_temp_dir memory, streamed;
    write_file(memory.file("d"), c.data);
    write_file(streamed.file("d"), c.data);
    std::vector<std::string> args = c.args;
    args.insert(args.begin(), "--stream");
    const run_result want = run_varbloc(c.args, memory.path());
    const run_result got = run_varbloc(args, streamed.path());
    EXPECT_EQ(want.err, got.err) << c.intent;
    EXPECT_EQ(want.out, got.out) << c.intent;
    EXPECT_EQ(want.status, got.status) << c.intent;
    for (const char* file : {"ana.dat", "r.dat"}) {
      EXPECT_EQ(file_exists(memory.file(file)), file_exists(streamed.file(file))) << c.intent;
      if (file_exists(memory.file(file))) {
        EXPECT_EQ(read_file(memory.file(file)), read_file(streamed.file(file))) << c.intent;
      }
    }
  }
}

TEST(StreamEndToEnd, StoreTooSmallHintsAtStreamWhichNeedsNone) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the address sanitizer reserves more address space than the limit";
#endif
  scoped_temp_dir dir;
  std::string lines;
  for (int i = 0; i < 3000000; i++) lines += std::to_string(i % 97) + "\n";
  write_file(dir.file("d"), lines);
  run_setup small;
  small.address_space_limit = 24LL << 20;  // the store's 24 MB do not fit
  const run_result memory = run_varbloc({"d"}, dir.path(), "", small);
  EXPECT_NE(memory.err.find("Program halted.\n\nHint: --stream analyses an input of any length "
                            "in constant memory.\n"),
            std::string::npos)
      << memory.err;
  EXPECT_EQ(memory.status, 56);  // fatal error 200's
  const run_result streamed = run_varbloc({"--stream", "d"}, dir.path(), "", small);
  EXPECT_EQ(streamed.status, 0) << streamed.err;
  EXPECT_NE(streamed.err.find("Summary of error"), std::string::npos) << streamed.err;
}

TEST(StreamEndToEnd, EquilibratedStreamIsTheRunFromItsStart) {
  // The start comes from the grid search (within a grid block of the search
  // in memory); from there on the report is that of -i with that start.
  scoped_temp_dir dir;
  std::string chain;
  double x = 0;
  for (int t = 0; t < 60000; t++) {
    x = 0.9 * x + ((t * 7919) % 2003 - 1001) / 1001.0;
    chain += std::to_string(x + 20 * std::exp(-t / 2000.0)) + " " + std::to_string(t % 13) + "\n";
  }
  write_file(dir.file("d"), chain);
  const run_result streamed =
      run_varbloc({"--stream", "--discard=auto", "--auto", "-o", "s.dat", "d"}, dir.path());
  ASSERT_EQ(streamed.status, 0) << streamed.err;
  const std::string said = "Equilibration: discarding first ";
  const size_t at = streamed.err.find(said);
  ASSERT_NE(at, std::string::npos) << streamed.err;
  const long start = std::stol(streamed.err.substr(at + said.size()));
  EXPECT_GT(start, 2000);
  std::string without = streamed.err;
  without.erase(at, without.find('\n', at) + 1 - at);
  const run_result from_start =
      run_varbloc({"-i", std::to_string(start), "--auto", "-o", "i.dat", "d"}, dir.path());
  EXPECT_EQ(without, with_name(from_start.err, "i.dat", "s.dat"));
  EXPECT_EQ(read_file(dir.file("s.dat")), read_file(dir.file("i.dat")));
}

// Appends `parts` pieces of `text` to `path`, one every `pause`.
void grow(const std::string& path, const std::string& text, int parts,
          std::chrono::milliseconds pause) {
  const size_t piece = text.size() / static_cast<size_t>(parts);
  size_t at = 0;
  for (int k = 0; k < parts; k++) {
    size_t end = k + 1 == parts ? text.size() : text.find('\n', at + piece) + 1;
    FILE* file = fopen(path.c_str(), "a");
    ASSERT_NE(file, nullptr);
    fwrite(text.data() + at, 1, end - at, file);
    fclose(file);
    at = end;
    std::this_thread::sleep_for(pause);
  }
}

size_t occurrences(const std::string& text, const std::string& what) {
  size_t count = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) count++;
  return count;
}

TEST(StreamEndToEnd, FollowedFileEndsAtItsTargetWithTheReport) {
  scoped_temp_dir dir;
  // Independent samples of spread 1: the error falls below 0.02 after about
  // 2500 samples, well before the writer has written all 40000.
  const std::string chain = ar1_text(40000, 1, "12", "0");
  write_file(dir.file("d"), "");
  run_setup setup;
  setup.while_running = [&](int) {
    grow(dir.file("d"), chain, 20, std::chrono::milliseconds(100));
  };
  setup.kill_after_seconds = 30;
  const run_result r = run_varbloc(
      {"--follow=0.2", "--target-error", "0.02", "--json", "r.json", "d"}, dir.path(), "", setup);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_GE(occurrences(r.err, "Running col  0: "), 1u) << r.err;
  EXPECT_EQ(occurrences(r.err, "Summary of error and correlation analysis"), 1u) << r.err;
  const std::string record = read_file(dir.file("r.json"));
  EXPECT_NE(record.find("\"streamed\":true,\"stream_end\":\"targets met\""), std::string::npos)
      << record;
  EXPECT_EQ(occurrences(read_file(dir.file("ana.dat")), "\n"), 1u);
  // The run ended before the writer did.
  EXPECT_EQ(record.find("\"samples\":40000,"), std::string::npos) << record;
}

TEST(StreamEndToEnd, SignalEndsAFollowWithTheReport) {
  for (int signal : {SIGINT, SIGTERM}) {
    scoped_temp_dir dir;
    write_file(dir.file("d"), ar1_text(5000, 2, "13"));
    run_setup setup;
    setup.while_running = [&](int pid) {
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
      kill(pid, signal);
    };
    setup.kill_after_seconds = 20;
    const run_result r = run_varbloc(
        {"--follow", "--target-relative", "1e-9", "--json", "r.json", "d"}, dir.path(), "", setup);
    // The targets were not met: the report is whole, the status says so.
    EXPECT_EQ(r.status, 5) << signal << r.err;
    EXPECT_NE(r.err.find("Read 5000 samples"), std::string::npos) << signal << r.err;
    EXPECT_NE(r.err.find("Summary of error"), std::string::npos) << signal << r.err;
    EXPECT_EQ(occurrences(read_file(dir.file("ana.dat")), "\n"), 1u) << signal;
    EXPECT_NE(read_file(dir.file("r.json")).find("\"stream_end\":\"signal\""), std::string::npos)
        << signal;
  }
}

TEST(StreamEndToEnd, PipeClosedBeforeTheTargetEndsWithStatus5) {
  scoped_temp_dir dir;
  const std::string chain = ar1_text(3000, 1, "14", "0.5");
  write_file(dir.file("d"), chain);
  run_setup setup;
  setup.kill_after_seconds = 20;
  const std::string varbloc = VARBLOC_BINARY;
  const run_result r =
      run_program("/bin/sh", {"-c", "cat d | '" + varbloc + "' --follow --target-error 1e-9 STDIN"},
                  dir.path(), "", setup);
  EXPECT_EQ(r.status, 5) << r.err;
  // The report is that of the same samples in memory.
  scoped_temp_dir memory;
  write_file(memory.file("d"), chain);
  const run_result want = run_varbloc({"d"}, memory.path());
  const std::string summary = want.err.substr(want.err.find("Summary"));
  EXPECT_NE(r.err.find(summary), std::string::npos) << r.err;
  EXPECT_EQ(read_file(dir.file("ana.dat")), read_file(memory.file("ana.dat")));
}

}  // namespace
