// End-to-end fault tests: an analysis file that cannot be written, and the
// column limit on both sides of 2048.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "test_util.h"

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

TEST(FaultEndToEnd, UnwritableOutputDirectory) {
  // Root may write into read-only directories: as root the run is made as an
  // unprivileged user.
  std::string problem = unprivileged_user_problem(VARBLOC_BINARY);
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
