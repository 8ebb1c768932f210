// The fast program against the straightforward baseline build (line reads,
// strtok, sscanf, a working copy, one pass per level): on generated files of
// plain and unusual number forms both must write the same standard error and
// the same analysis file, byte for byte.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "line_reader.h"  // MAX_CHUNK
#include "test_util.h"

namespace {

struct comparison_case {
  const char* intent;
  std::vector<std::string> generator;  // program and arguments writing the data
  std::vector<std::string> options;    // varbloc arguments before the file name
  std::vector<std::string> after;      // after the file name
};

// Runs both programs on `data` with the same arguments and expects the same
// status, standard error and analysis file. Returns the standard error.
std::string expect_same_output_on(const std::string& data, const std::vector<std::string>& options,
                                  const std::vector<std::string>& after,
                                  const std::string& intent) {
  scoped_temp_dir dir;
  write_file(dir.file("data.txt"), data);
  std::vector<std::string> args = options;
  args.push_back("../data.txt");
  args.insert(args.end(), after.begin(), after.end());
  run_program("/bin/mkdir", {"fast", "base"}, dir.path());
  run_result fast = run_program(VARBLOC_BINARY, args, dir.file("fast"));
  run_result base = run_program(BASELINE_BINARY, args, dir.file("base"));
  EXPECT_EQ(fast.status, base.status) << intent;
  EXPECT_EQ(fast.err, base.err) << intent;
  EXPECT_EQ(read_file(dir.file("fast/ana.dat")), read_file(dir.file("base/ana.dat"))) << intent;
  return fast.err;
}

bool has_summary(const std::string& err) {
  return err.find("Summary of error") != std::string::npos;
}

void expect_same_output(const comparison_case& c) {
  scoped_temp_dir dir;
  std::vector<std::string> generator_args(c.generator.begin() + 1, c.generator.end());
  run_result generated = run_program(c.generator[0], generator_args, dir.path());
  ASSERT_EQ(generated.status, 0) << c.intent << generated.err;
  EXPECT_TRUE(has_summary(expect_same_output_on(generated.out, c.options, c.after, c.intent)))
      << c.intent;
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

// Lines the in-place reading of plain lines must leave to the general rules,
// placed after ordinary lines (where that reading is active). Lines a run goes
// on after are read one after another in one file, once after two lines and
// once after a megabyte of lines (so that they fall at another place in the
// read block), and once with a skipped column; lines that end the run get a
// file each.
TEST(BaselineComparison, LinesAfterPlainLines) {
  using namespace std::string_literals;
  std::vector<std::string> ongoing = {
      "5 6\r\n",
      "5 6\r \n",
      "5 6\0junk\n"s,
      "5 6 \0\n"s,
      "5 6 7\n",
      "+5 6\n",
      "5e 6\n",
      "0x1p3 6\n",
      "inf -nan\n",
      "5junk 6\n",
      "# a comment\n",
      "# 5 6\n",
      "\x1a"
      "5 6\n"s,
      "\t5\t\t6\t\n",
      "-.5 .5\n",
      "1e400 1e-400\n",
      "00000000000000000000001.5 2\n",
  };
  std::vector<std::string> ending = {"5\n", "5\r6\n", "5\0 6\n"s, "- 6\n", "   \n",
                                     "\n",  "\r\n",   "\0\n"s,    "5 6\r", "5 6"};
  // The longest line that is one chunk, and one byte more (fatal error 40).
  const std::string longest = "1" + std::string(MAX_CHUNK - 4, ' ') + "2\n";
  ongoing.push_back(longest);
  ending.push_back(" " + longest);
  std::string megabyte;
  for (int i = 0; megabyte.size() < (size_t{1} << 20) - 7; i++) {
    megabyte += std::to_string(i % 97) + "." + std::to_string(i % 13) + " -" +
                std::to_string(i % 89) + ".25\n";
  }
  std::string lines;
  std::string lines_with_skipped_column;
  for (const std::string& line : ongoing) {
    lines += line + "7 8\n9 10\n";
    // Comments and control-Z are known by a line's first byte; a dropped
    // control-Z leaves the rest of its line.
    std::string skipped = line[0] == '#'      ? line
                          : line == longest   ? "x 1" + line.substr(3)  // the same length
                          : line[0] == '\x1a' ? std::string(1, '\x1a') + "x " + line.substr(1)
                                              : "x " + line;
    lines_with_skipped_column += skipped + "y 7 8\nz 9 10\n";
  }
  EXPECT_TRUE(has_summary(expect_same_output_on("1 2\n3 4\n" + lines, {}, {}, "after two lines")));
  EXPECT_TRUE(
      has_summary(expect_same_output_on("1 2\n" + megabyte + lines, {}, {}, "after 1 MiB")));
  EXPECT_TRUE(has_summary(expect_same_output_on("x 1 2\ny 3 4\n" + lines_with_skipped_column,
                                                {"-c", "1"}, {}, "with -c 1")));
  // A control-Z and a blank: the blank begins the rest of the line.
  expect_same_output_on("x 1 2\ny 3 4\n\x1a 5 6\n", {"-c", "1"}, {}, "control-Z, blank, -c 1");
  for (const std::string& line : ending) {
    const std::string after = line.back() == '\n' ? "7 8\n" : "";  // else the file's end
    expect_same_output_on("1 2\n3 4\n" + line + after, {}, {},
                          "ending line " + testing::PrintToString(line));
  }
}

}  // namespace
