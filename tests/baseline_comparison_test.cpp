// The fast program against the straightforward baseline build (line reads,
// strtok, sscanf, a working copy, one pass per level): on generated files of
// plain and unusual number forms both must write the same standard error and
// the same analysis file, byte for byte.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_util.h"

namespace {

struct comparison_case {
  const char* intent;
  std::vector<std::string> generator;  // program and arguments writing the data
  std::vector<std::string> options;    // varbloc arguments before the file name
  std::vector<std::string> after;      // after the file name
};

void expect_same_output(const comparison_case& c) {
  scoped_temp_dir dir;
  std::vector<std::string> generator_args(c.generator.begin() + 1, c.generator.end());
  run_result generated = run_program(c.generator[0], generator_args, dir.path());
  ASSERT_EQ(generated.status, 0) << c.intent << generated.err;
  write_file(dir.file("data.txt"), generated.out);

  std::vector<std::string> args = c.options;
  args.push_back("../data.txt");
  args.insert(args.end(), c.after.begin(), c.after.end());
  run_program("/bin/mkdir", {"fast", "base"}, dir.path());
  run_result fast = run_program(VARBLOC_BINARY, args, dir.file("fast"));
  run_result base = run_program(BASELINE_BINARY, args, dir.file("base"));
  EXPECT_EQ(fast.status, base.status) << c.intent;
  EXPECT_EQ(fast.err, base.err) << c.intent;
  EXPECT_EQ(read_file(dir.file("fast/ana.dat")), read_file(dir.file("base/ana.dat"))) << c.intent;
  EXPECT_NE(fast.err.find("Summary of error"), std::string::npos) << c.intent << fast.err;
}

TEST(BaselineComparison, UnusualNumberForms) {
  const std::vector<comparison_case> cases = {
      {"3 columns", {GENERATE_UNUSUAL, "4000", "3", "1"}, {}, {}},
      {"5 columns, given count", {GENERATE_UNUSUAL, "3000", "5", "2"}, {}, {"5"}},
      {"skipped column and discarded samples",
       {GENERATE_UNUSUAL, "3000", "4", "3"},
       {"-c", "1", "-i", "100"},
       {}},
      {"one column, 60,000 lines", {GENERATE_UNUSUAL, "60000", "1", "4"}, {}, {}},
  };
  for (const comparison_case& c : cases) expect_same_output(c);
}

TEST(BaselineComparison, BenchmarkShapes) {
  // The benchmark files' formats, small: fixed, %.17g with tabs, exponent.
  const std::vector<comparison_case> cases = {
      {"4 columns %.10f", {GENERATE_AR1, "120000", "4", "%.10f", "space", "7", "50000"}, {}, {}},
      {"4 columns %.17g tab", {GENERATE_AR1, "120000", "4", "%.17g", "tab", "8", "50000"}, {}, {}},
      {"1 column %.12e", {GENERATE_AR1, "200000", "1", "%.12e", "space", "9", "50000"}, {}, {}},
  };
  for (const comparison_case& c : cases) expect_same_output(c);
}

}  // namespace
