// End-to-end tests of the command line and the input source, on the real
// binary in a fresh temporary directory.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_util.h"

namespace {

struct command_case {
  const char* intent;
  std::vector<std::string> args;
  std::string err;  // expected standard error after the banner
  int status;
};

TEST(CommandLineEndToEnd, RefusedCommandLinesPrintUsage) {
  const std::string range = "Argument of -a must be in range [1,9223372036].\n";
  const command_case cases[] = {
      {"no positional argument", {}, USAGE, 1},
      {"three positional arguments", {"a", "b", "c"}, USAGE, 1},
      {"-a zero", {"-a", "0", "x"}, range + USAGE, 1},
      {"-a beyond its range", {"-a", "9223372037", "x"}, range + USAGE, 1},
      {"-c negative",
       {"-c", "-2", "x"},
       "Argument of -c must be nonnegative.\n" + std::string(USAGE),
       1},
      {"-i of 2^31 is negative once narrowed",
       {"-i", "2147483648", "x"},
       "Number of discarded samples must be non-negative.\n" + std::string(USAGE),
       1},
      {"-o with a dash",
       {"-o", "my-results.dat", "x"},
       "Error: File option needs filename argument.\n\n" + std::string(USAGE),
       1},
      {"-o after the data file",
       {"x", "-o", "a-b"},
       "Error: File option needs filename argument.\n\n" + std::string(USAGE),
       1},
  };
  scoped_temp_dir dir;
  for (const command_case& c : cases) {
    run_result r = run_varbloc(c.args, dir.path());
    EXPECT_EQ(r.err, BANNER + c.err) << c.intent;
    EXPECT_EQ(r.status, c.status) << c.intent;
    EXPECT_EQ(r.out, "") << c.intent;
  }
}

TEST(CommandLineEndToEnd, UnknownOptionGetsGetoptMessageThenUsage) {
  scoped_temp_dir dir;
  run_result r = run_varbloc({"-z", "x"}, dir.path());
  EXPECT_EQ(r.status, 1);
  ASSERT_EQ(r.err.rfind(BANNER, 0), 0u);
  EXPECT_NE(r.err.find("invalid option -- 'z'\n" + std::string(USAGE)), std::string::npos) << r.err;
}

TEST(CommandLineEndToEnd, MissingInputIsFatal1) {
  scoped_temp_dir dir;
  const std::string long_name(400, 'n');
  const std::vector<std::string> names = {"nothing.dat", "stdin", "nothing.gz", "a b;$(x).gz",
                                          long_name};
  for (const std::string& name : names) {
    run_result r = run_varbloc({name}, dir.path());
    EXPECT_EQ(r.err, BANNER + std::string("\nFatal error 1: Cannot open input file ") + name +
                         ".\nProgram halted.\n\n")
        << name;
    EXPECT_EQ(r.status, 255) << name;
    EXPECT_EQ(r.out, "") << name;
  }
}

TEST(CommandLineEndToEnd, StdinIsAnnounced) {
  scoped_temp_dir dir;
  run_result r = run_varbloc({"STDIN"}, dir.path(), "");
  EXPECT_EQ(r.err.rfind(BANNER + std::string("Reading from standard input.\n"), 0), 0u) << r.err;
}

}  // namespace
