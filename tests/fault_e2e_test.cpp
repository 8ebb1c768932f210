// End-to-end fault tests: an analysis file that cannot be written, runs that
// share one analysis file, and the column limit on both sides of 2048.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <nlohmann/json.hpp>

#include <sstream>
#include <string>
#include <vector>

#include "test_util.h"

extern char** environ;

namespace {

const std::string DATA = "1 2\n2 5\n4 4\n";

TEST(FaultEndToEnd, AnalysisFileProblems) {
  scoped_temp_dir dir;
  write_file(dir.file("data.txt"), DATA);
  run_result good = run_varbloc({"-o", "good.dat", "data.txt"}, dir.path());
  ASSERT_EQ(good.status, 0);
  const std::string before = good.err.substr(0, good.err.size() - 1);  // without the final "\n"

  struct output_case {
    const char* intent;
    std::string path;
    std::string tail;  // what follows the summary
    int status;
  };
  const output_case cases[] = {
      {"missing directory", "missing/ana.dat",
       "\nCannot write in directory missing. Skipping creation of analysis file.\n\n", 0},
      {"directory as the file", ".",
       "\nCannot open . for writing. Skipping creation of analysis file.\n\n", 0},
      {"path too long", std::string(1025, 'p'),
       "\nPathname too long. Skipping creation of analysis file.\n\n", 0},
  };
  for (const output_case& c : cases) {
    run_result r = run_varbloc({"-o", c.path, "data.txt"}, dir.path());
    EXPECT_EQ(r.err, before + c.tail) << c.intent;
    EXPECT_EQ(r.status, c.status) << c.intent;
  }
}

TEST(FaultEndToEnd, FullDiskIsFatal120) {
  // The directory test comes first: only where /dev is writable (as root) is
  // the write itself reached.
  if (access("/dev", W_OK) != 0) GTEST_SKIP() << "/dev is not writable for this user";
  scoped_temp_dir dir;
  write_file(dir.file("data.txt"), DATA);
  run_result r = run_varbloc({"-o", "/dev/full", "data.txt"}, dir.path());
  EXPECT_EQ(r.err.substr(r.err.rfind("samples)\n") + 9),
            "\nFatal error 120: Could not write analysis file /dev/full.\nProgram halted.\n\n");
  EXPECT_EQ(r.status, 136);
}

// 30 samples of 2048 columns: the analysis line (69,632 bytes) is far longer
// than a stdio buffer or a pipe's atomic write.
std::string wide_data() {
  std::string text;
  for (int line = 0; line < 30; line++) {
    for (int c = 0; c < 2048; c++) {
      text += (c ? " " : "") + std::to_string((line * 7919 + c * 104729) % 1000) + ".5";
    }
    text += "\n";
  }
  return text;
}

// Starts `runs` varbloc processes at once in `cwd`, all appending to
// `output`, and returns how many of them ended with status 0.
int run_at_once(int runs, const std::string& cwd, const std::string& output) {
  std::string program = VARBLOC_BINARY;
  std::vector<char*> argv = {&program[0],
                             const_cast<char*>("-o"),
                             const_cast<char*>(output.c_str()),
                             const_cast<char*>("--json"),
                             const_cast<char*>("records.jsonl"),
                             const_cast<char*>("data.txt"),
                             nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
  std::vector<pid_t> children;
  for (int r = 0; r < runs; r++) {
    pid_t child;
    if (posix_spawn(&child, program.c_str(), &actions, nullptr, argv.data(), environ) == 0) {
      children.push_back(child);
    }
  }
  posix_spawn_file_actions_destroy(&actions);
  int succeeded = 0;
  for (pid_t child : children) {
    int status = 0;
    waitpid(child, &status, 0);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) succeeded++;
  }
  return succeeded;
}

TEST(FaultEndToEnd, ParallelRunsAppendWholeLines) {
  // Without a lock and one write per line, about a third of such runs came
  // out as pieces of several runs glued together. Under AddressSanitizer a run
  // of 2048 columns takes seconds (the store's shadow memory): one round.
#if defined(__SANITIZE_ADDRESS__)
  constexpr int RUNS = 16, ROUNDS = 1;
#else
  constexpr int RUNS = 16, ROUNDS = 3;
#endif
  scoped_temp_dir dir;
  write_file(dir.file("data.txt"), wide_data());
  for (int round = 0; round < ROUNDS; round++) {
    ASSERT_EQ(run_at_once(RUNS, dir.path(), "shared.dat"), RUNS) << "round " << round;
  }
  std::istringstream lines(read_file(dir.file("shared.dat")));
  std::string line, field;
  int line_count = 0;
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    int field_count = 0;
    while (fields >> field) field_count++;
    EXPECT_EQ(field_count, 2 * 2048) << "line " << line_count;
    line_count++;
  }
  EXPECT_EQ(line_count, RUNS * ROUNDS);
  // The JSON records of the same runs, appended the same way: each whole.
  std::istringstream records(read_file(dir.file("records.jsonl")));
  int record_count = 0;
  while (std::getline(records, line)) {
    const nlohmann::json record = nlohmann::json::parse(line, nullptr, false);
    ASSERT_FALSE(record.is_discarded()) << "record " << record_count << " is not JSON";
    EXPECT_EQ(record["status"], "ok");
    EXPECT_EQ(record["columns"].size(), 2048u);
    record_count++;
  }
  EXPECT_EQ(record_count, RUNS * ROUNDS);
}

TEST(FaultEndToEnd, FailedAppendLeavesTheFileAsItWas) {
  scoped_temp_dir dir;
  write_file(dir.file("data.txt"), wide_data());
  ASSERT_EQ(run_varbloc({"-o", "one.dat", "data.txt"}, dir.path()).status, 0);
  std::string earlier;
  for (int run = 0; run < 12; run++) earlier += read_file(dir.file("one.dat"));
  write_file(dir.file("ana.dat"), earlier);
  // Room for standard error (about 290 kB) and 4 kB of the new line, as
  // `ulimit -f` in a shell sets it: the write stops part way, and the next
  // one would raise SIGXFSZ.
  run_setup limited;
  limited.file_size_limit = static_cast<long long>(earlier.size()) + 4096;
  run_result r = run_varbloc({"data.txt"}, dir.path(), "", limited);
  EXPECT_EQ(r.status, 136);
  // The message follows the summary's last row (30 samples: none decorrelated).
  EXPECT_EQ(r.err.substr(r.err.rfind(" ***\n") + 5),
            "\nFatal error 120: Could not write analysis file ana.dat.\nProgram halted.\n\n");
  EXPECT_TRUE(read_file(dir.file("ana.dat")) == earlier) << "the file changed";
}

TEST(FaultEndToEnd, UnwritableOutputDirectory) {
  // Root may write into read-only directories: as root the run is made as an
  // unprivileged user.
  std::string problem = unprivileged_user_problem();
  if (!problem.empty()) GTEST_SKIP() << problem;
  scoped_temp_dir dir;
  open_to_unprivileged_user(dir.path());
  write_file(dir.file("data.txt"), DATA);
  mkdir(dir.file("locked").c_str(), 0555);
  run_setup as_user;
  as_user.as_nobody = true;
  run_result r = run_varbloc({"-o", "locked/ana.dat", "data.txt"}, dir.path(), "", as_user);
  EXPECT_NE(r.err.find("\nCannot write in directory locked. Skipping creation of analysis "
                       "file.\n\n"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(r.status, 0);
  EXPECT_FALSE(file_exists(dir.file("locked/ana.dat")));
}

TEST(FaultEndToEnd, ColumnLimit) {
  struct limit_case {
    int fields;
    std::string messages;  // after "Found ..."
  };
  const std::string storage =
      "Storage per column set to 122070 entries (1999 MB total)\n"
      "If this is insufficient, use -a or analyze data in sets of fewer columns via -c\n\n";
  const limit_case cases[] = {
      {2048, storage},
      {2049, "Too many columns. Using first 2048.\n" + storage},
  };
  for (const limit_case& c : cases) {
    scoped_temp_dir dir;
    std::string line;
    for (int p = 0; p < c.fields; p++) line += (p ? " " : "") + std::to_string(p);
    write_file(dir.file("wide.txt"), line + "\n" + line + "\n");
    run_result r = run_varbloc({"wide.txt"}, dir.path());
    std::string found =
        "Found " + std::to_string(c.fields) + " columns in first data line.\n" + c.messages;
    EXPECT_NE(r.err.find("Reading file...\n" + found + "\nRead 2 samples"), std::string::npos)
        << c.fields;
    EXPECT_NE(r.err.find("\ncol 2047: "), std::string::npos) << c.fields;
    EXPECT_EQ(r.err.find("\ncol 2048: "), std::string::npos) << c.fields;
    EXPECT_EQ(r.status, 0) << c.fields;
  }
}

}  // namespace
