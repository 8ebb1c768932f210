// Tests of the analysis file: the appended line, the paths that are skipped
// with their message, and the failed write that ends the run.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include "analysis/analysis_file.h"
#include "analysis/general_error_routines_v3.h"
#include "analysis/level_report.h"
#include "read_limits.h"  // MAX_COLUMNS
#include "test_util.h"

namespace {

// The summary of two columns, which every case prints before the file's message.
const char* const SUMMARY_LABELS[] = {"col  0", "col  1"};
const double SUMMARY_MEAN[] = {1.0, 2.0}, SUMMARY_ERROR[] = {0.5, 0.25};
const double SUMMARY_CORRELATION[] = {0.05, -0.818182};
const column_decision SUMMARY_DECISION[] = {{true, 0, 120}, {false, 2, 12}};
const char* const SUMMARY_TEXT =
    "\nSummary of error and correlation analysis (initial sample size 120)\n\n"
    "col  0:     1.0000000000 +/-     0.5000000000   (correlation  0.050000 with 120 samples)\n"
    "col  1:     2.0000000000 +/-     0.2500000000   (correlation -0.818182 with 12 samples)"
    " *** not decorrelated ***\n";
const char* const SUMMARY_LINE =
    "    1.0000000000     0.5000000000     2.0000000000     0.2500000000\n";

// The summary of the two summary columns and their analysis file at `path`;
// returns the text the program prints for both.
std::string summary_to(const std::string& path) {
  std::string text, message;
  write_summary(&text, 120, 2, SUMMARY_MEAN, SUMMARY_ERROR, SUMMARY_CORRELATION, SUMMARY_DECISION,
                SUMMARY_LABELS);
  const analysis_file_outcome outcome =
      write_analysis_file(2, SUMMARY_MEAN, SUMMARY_ERROR, path.c_str(), &message);
  EXPECT_EQ(outcome == ANALYSIS_FILE_SKIPPED, !message.empty()) << path;
  return text + message;
}

TEST(AnalysisFileTest, AppendsOneLinePerRun) {
  scoped_temp_dir dir;
  write_file(dir.file("kept.dat"), "earlier run\n");
  // A path of exactly 1024 characters is still accepted: nest directories.
  std::string deep = dir.path();
  while (1024 - deep.size() - 1 > 250) {
    deep += "/" + std::string(200, 'd');
    ASSERT_EQ(mkdir(deep.c_str(), 0700), 0) << deep;
  }
  std::string longest = deep + "/" + std::string(1024 - deep.size() - 1, 'f');
  ASSERT_EQ(longest.size(), 1024u);
  struct append_case {
    std::string path;
    int runs;
    std::string before;
  };
  const append_case cases[] = {{dir.file("new.dat"), 1, ""},
                               {dir.file("twice.dat"), 2, ""},
                               {dir.file("kept.dat"), 1, "earlier run\n"},
                               {longest, 1, ""}};
  for (const append_case& c : cases) {
    std::string want = c.before;
    for (int run = 0; run < c.runs; run++) {
      EXPECT_EQ(summary_to(c.path), SUMMARY_TEXT) << c.path;
      want += SUMMARY_LINE;
    }
    EXPECT_EQ(read_file(c.path), want) << c.path;
  }
  // A bare file name goes to the current directory.
  char previous[4096];
  ASSERT_NE(getcwd(previous, sizeof previous), nullptr);
  ASSERT_EQ(chdir(dir.path().c_str()), 0);
  EXPECT_EQ(summary_to("bare.dat"), SUMMARY_TEXT);
  ASSERT_EQ(chdir(previous), 0);
  EXPECT_EQ(read_file(dir.file("bare.dat")), SUMMARY_LINE);
}

TEST(AnalysisFileTest, ExtremeValuesKeepTheirWholeText) {
  // The line is formatted in memory before it is written: the longest texts
  // "%16.10f" can give (the largest doubles, 321 characters) must fit, over
  // the full column count.
  const double big = std::numeric_limits<double>::max();
  const double inf = std::numeric_limits<double>::infinity();
  const double extremes[] = {-big, big, inf, -inf, std::nan(""), 0.0, -0.0, 1e-300};
  constexpr int32_t SIZE = sizeof extremes / sizeof extremes[0];
  std::vector<double> mean(MAX_COLUMNS), error(MAX_COLUMNS);
  std::string want;
  char field[1000];
  for (int32_t c = 0; c < MAX_COLUMNS; c++) {
    // The first columns try every extreme; the rest are all of the longest.
    mean[c] = c < SIZE ? extremes[c] : -big;
    error[c] = c < SIZE ? extremes[(c + 1) % SIZE] : -big;
    snprintf(field, sizeof field, c == 0 ? "%16.10f %16.10f" : " %16.10f %16.10f", mean[c],
             error[c]);
    want += field;
  }
  want += "\n";
  scoped_temp_dir dir;
  std::string message;
  EXPECT_EQ(write_analysis_file(MAX_COLUMNS, mean.data(), error.data(), dir.file("ana.dat").c_str(),
                                &message),
            ANALYSIS_FILE_WRITTEN);
  EXPECT_TRUE(read_file(dir.file("ana.dat")) == want);
  EXPECT_EQ(read_file(dir.file("ana.dat")).size(), want.size());
}

TEST(AnalysisFileTest, ProblemsAreReportedAndTheFileSkipped) {
  scoped_temp_dir dir;
  ASSERT_EQ(mkdir(dir.file("sub").c_str(), 0700), 0);
  std::string too_long = dir.path();
  while (too_long.size() < 1025) too_long += "/" + std::string(200, 'b');
  too_long.resize(1025);
  struct skip_case {
    std::string path, message;
  };
  const skip_case cases[] = {
      {too_long, "\nPathname too long. Skipping creation of analysis file.\n"},
      {dir.file("missing/ana.dat"), "\nCannot write in directory " + dir.file("missing") +
                                        ". Skipping creation of analysis file.\n"},
      // A directory passes the permission test but will not open for appending.
      {dir.file("sub"),
       "\nCannot open " + dir.file("sub") + " for writing. Skipping creation of analysis file.\n"},
  };
  for (const skip_case& c : cases)
    EXPECT_EQ(summary_to(c.path), SUMMARY_TEXT + c.message) << c.path;
  EXPECT_FALSE(file_exists(dir.file("missing")));
}

// As summary_to, in a child process that runs in `cwd` and, when the tests
// run as root, as an unprivileged user (root may write anywhere).
std::string summary_as_user(const std::string& path, const std::string& cwd) {
  scoped_temp_dir io;
  std::string captured = io.file("stderr");
  fflush(stderr);
  pid_t child = fork();
  if (child == 0) {
    int fd = open(captured.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0 || dup2(fd, 2) < 0) _exit(2);
    if (running_as_root() && !become_nobody()) _exit(3);
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(4);
    const std::string text = summary_to(path);
    fwrite(text.data(), 1, text.size(), stderr);
    fflush(stderr);
    _exit(0);
  }
  int status = -1;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << path << ": status " << status;
  return read_file(captured);
}

TEST(AnalysisFileTest, PermissionProblemsAreReportedAndTheFileSkipped) {
  std::string problem = unprivileged_user_problem();
  if (!problem.empty()) GTEST_SKIP() << problem;
  scoped_temp_dir dir;
  open_to_unprivileged_user(dir.path());
  ASSERT_EQ(mkdir(dir.file("locked").c_str(), 0555), 0);
  write_file(dir.file("read-only.dat"), "");
  ASSERT_EQ(chmod(dir.file("read-only.dat").c_str(), 0444), 0);
  struct permission_case {
    std::string cwd, path, message;
  };
  const permission_case cases[] = {
      {"", dir.file("locked/ana.dat"),
       "\nCannot write in directory " + dir.file("locked") +
           ". Skipping creation of analysis file.\n"},
      {dir.file("locked"), "ana.dat",
       "\nCannot write in current directory. Skipping creation of analysis file.\n"},
      {"", dir.file("read-only.dat"),
       "\nCannot open " + dir.file("read-only.dat") +
           " for writing. Skipping creation of analysis file.\n"},
  };
  for (const permission_case& c : cases) {
    EXPECT_EQ(summary_as_user(c.path, c.cwd), SUMMARY_TEXT + c.message) << c.path;
  }
  EXPECT_FALSE(file_exists(dir.file("locked/ana.dat")));
  EXPECT_EQ(read_file(dir.file("read-only.dat")), "");
}

TEST(AnalysisFileTest, FailedWriteIsFatal120) {
  if (access("/dev", W_OK) != 0) GTEST_SKIP() << "/dev is not writable: the file is skipped";
  EXPECT_TRUE(throws_fatal([] { summary_to("/dev/full"); }, -120,
                           "Could not write analysis file /dev/full"));
}

}  // namespace
