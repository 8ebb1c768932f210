// Tests of option parsing: values, limits, messages and positional arguments.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "program/command_line.h"

namespace {

struct parse_outcome {
  bool accepted;
  run_settings settings;
  std::string err;
};

parse_outcome parse(std::vector<std::string> args) {
  args.insert(args.begin(), "varbloc");
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(&arg[0]);
  argv.push_back(nullptr);
  parse_outcome outcome;
  testing::internal::CaptureStderr();
  outcome.accepted =
      parse_command_line(static_cast<int>(argv.size() - 1), argv.data(), &outcome.settings);
  outcome.err = testing::internal::GetCapturedStderr();
  // The strings die with `args`; keep copies of what the tests compare.
  static std::string input, output;
  if (outcome.accepted) {
    input = outcome.settings.input_name;
    outcome.settings.input_name = input.c_str();
    output = outcome.settings.output_path;
    outcome.settings.output_path = output.c_str();
  }
  return outcome;
}

TEST(IntegerArgumentTest, FollowsStrtolSemantics) {
  struct integer_case {
    const char* text;
    int64_t value;
  };
  const integer_case cases[] = {
      {"42", 42},
      {"  -17", -17},
      {"+8", 8},
      {"12abc", 12},
      {"abc", 0},
      {"", 0},
      {"99999999999999999999", INT64_MAX},
      {"-99999999999999999999", INT64_MIN},
      {"0x10", 0},  // base 10 only
  };
  for (const integer_case& c : cases) {
    EXPECT_EQ(parse_integer_argument(c.text), c.value) << '"' << c.text << '"';
  }
}

TEST(IntegerArgumentTest, NarrowingKeepsLow32Bits) {
  EXPECT_EQ(low_32_bits(4294967296LL), 0);
  EXPECT_EQ(low_32_bits(2147483648LL), INT32_MIN);
  EXPECT_EQ(low_32_bits(4294967297LL), 1);
  EXPECT_EQ(low_32_bits(-1), -1);
  EXPECT_EQ(low_32_bits(INT64_MAX), -1);
}

TEST(ParseCommandLineTest, Defaults) {
  parse_outcome o = parse({"data.txt"});
  ASSERT_TRUE(o.accepted);
  EXPECT_EQ(o.settings.alloc_budget, DEFAULT_ALLOC_BUDGET);
  EXPECT_EQ(o.settings.skip_columns, 0);
  EXPECT_EQ(o.settings.discard_count, 0);
  EXPECT_STREQ(o.settings.output_path, "ana.dat");
  EXPECT_STREQ(o.settings.input_name, "data.txt");
  EXPECT_FALSE(o.settings.column_count.has_value());
  EXPECT_EQ(o.err, "");
}

TEST(ParseCommandLineTest, AcceptedOptions) {
  struct accepted_case {
    std::vector<std::string> args;
    uint64_t budget;
    int32_t skip;
    int32_t discard;
    const char* output;
    std::optional<int32_t> count;  // the column count as the reader gets it
  };
  const std::nullopt_t none = std::nullopt;
  const accepted_case cases[] = {
      {{"-a", "2", "-a", "3", "f"}, 6 * DEFAULT_ALLOC_BUDGET, 0, 0, "ana.dat", none},
      {{"-a", "9223372036", "f"}, 9223372036ULL * DEFAULT_ALLOC_BUDGET, 0, 0, "ana.dat", none},
      // factors multiplying past 64 bits are capped
      {{"-a", "9223372036", "-a", "9223372036", "f"}, UINT64_MAX, 0, 0, "ana.dat", none},
      {{"-c", "abc", "-i", "abc", "f"}, DEFAULT_ALLOC_BUDGET, 0, 0, "ana.dat", none},
      {{"-c", "4294967296", "f"}, DEFAULT_ALLOC_BUDGET, 0, 0, "ana.dat", none},
      {{"-c", "3", "-c", "5", "-i", "7", "f", "4"}, DEFAULT_ALLOC_BUDGET, 5, 7, "ana.dat", 4},
      // the count as strtol reads it, its low 32 bits kept; the reader refuses
      // what is not positive
      {{"f", "abc"}, DEFAULT_ALLOC_BUDGET, 0, 0, "ana.dat", 0},
      {{"f", " -5"}, DEFAULT_ALLOC_BUDGET, 0, 0, "ana.dat", -5},
      {{"f", "4294967299"}, DEFAULT_ALLOC_BUDGET, 0, 0, "ana.dat", 3},
      // options after the positional arguments (GNU permutation)
      {{"f", "2", "-o", "out.dat", "-i", "10"}, DEFAULT_ALLOC_BUDGET, 0, 10, "out.dat", 2},
      {{"-o", "a.dat", "-o", "b.dat", "f"}, DEFAULT_ALLOC_BUDGET, 0, 0, "b.dat", none},
      {{"-i", "2147483647", "f"}, DEFAULT_ALLOC_BUDGET, 0, INT32_MAX, "ana.dat", none},
  };
  for (const accepted_case& c : cases) {
    std::string shown;
    for (const std::string& a : c.args) shown += a + " ";
    parse_outcome o = parse(c.args);
    ASSERT_TRUE(o.accepted) << shown;
    EXPECT_EQ(o.settings.alloc_budget, c.budget) << shown;
    EXPECT_EQ(o.settings.skip_columns, c.skip) << shown;
    EXPECT_EQ(o.settings.discard_count, c.discard) << shown;
    EXPECT_STREQ(o.settings.output_path, c.output) << shown;
    EXPECT_EQ(o.settings.column_count, c.count) << shown;
    EXPECT_EQ(o.err, "") << shown;
  }
}

TEST(ParseCommandLineTest, OutputPathIsKeptWhole) {
  std::string path(5000, 'p');
  parse_outcome o = parse({"-o", path, "f"});
  ASSERT_TRUE(o.accepted);
  EXPECT_EQ(std::string(o.settings.output_path), path);
}

TEST(ParseCommandLineTest, RefusedCommandLines) {
  const std::string range = "Argument of -a must be in range [1,9223372036].\n";
  struct refused_case {
    std::vector<std::string> args;
    std::string message;  // the specific message; getopt's own text is matched loosely
  };
  const refused_case cases[] = {
      {{"-a", "0", "f"}, range},
      {{"-a", "-5", "f"}, range},
      {{"-a", "abc", "f"}, range},
      {{"-a", "9223372037", "f"}, range},
      {{"-c", "-1", "f"}, "Argument of -c must be nonnegative.\n"},
      {{"-c", "2147483648", "f"}, "Argument of -c must be nonnegative.\n"},
      {{"-i", "2147483648", "f"}, "Number of discarded samples must be non-negative.\n"},
      {{"-i", "-3", "f"}, "Number of discarded samples must be non-negative.\n"},
      {{"-o", "my-results.dat", "f"}, "Error: File option needs filename argument.\n\n"},
      {{"-o", "-", "f"}, "Error: File option needs filename argument.\n\n"},
      {{}, ""},
      {{"f", "2", "3"}, ""},
  };
  for (const refused_case& c : cases) {
    std::string shown;
    for (const std::string& a : c.args) shown += a + " ";
    parse_outcome o = parse(c.args);
    EXPECT_FALSE(o.accepted) << shown;
    EXPECT_EQ(o.err, c.message) << shown;
  }
}

TEST(ParseCommandLineTest, UnknownOptionAndMissingArgumentFail) {
  parse_outcome unknown = parse({"-x", "f"});
  EXPECT_FALSE(unknown.accepted);
  EXPECT_NE(unknown.err.find("invalid option"), std::string::npos) << unknown.err;
  parse_outcome missing = parse({"f", "-o"});
  EXPECT_FALSE(missing.accepted);
  EXPECT_NE(missing.err.find("requires an argument"), std::string::npos) << missing.err;
}

TEST(LongOptionsTest, TakenOutBeforeGetopt) {
  struct long_case {
    std::vector<std::string> args;
    std::vector<std::string> left;  // what getopt then sees
    const char* json;               // null: no record asked for
    long_option_request request;
    bool automatic = false;  // --auto taken
    bool discard_auto = false;
    std::optional<int32_t> discard_count = std::nullopt;
    bool refused = false;  // a --discard value refused
  };
  const std::nullopt_t none = std::nullopt;
  const long_case cases[] = {
      {{"--json", "r.json", "f"}, {"f"}, "r.json", RUN_AS_USUAL},
      {{"f", "--json=r.json", "2"}, {"f", "2"}, "r.json", RUN_AS_USUAL},
      {{"--json", "a", "f", "--json=b"}, {"f"}, "b", RUN_AS_USUAL},  // the last one wins
      {{"--json", "-", "f"}, {"f"}, "-", RUN_AS_USUAL},              // standard output
      {{"--json", "-o", "f"}, {"f"}, "-o", RUN_AS_USUAL},
      // option values are not looked at, separate or attached
      {{"-o", "--json", "f"}, {"-o", "--json", "f"}, nullptr, RUN_AS_USUAL},
      {{"-a", "--help", "-c", "--version", "-i", "--json", "x"},
       {"-a", "--help", "-c", "--version", "-i", "--json", "x"},
       nullptr,
       RUN_AS_USUAL},
      {{"-a2", "--json", "r", "f"}, {"-a2", "f"}, "r", RUN_AS_USUAL},
      {{"-o", "--", "--help"}, {"-o", "--"}, nullptr, SHOW_HELP},
      // nothing after "--"
      {{"--", "--json", "r", "--help"}, {"--", "--json", "r", "--help"}, nullptr, RUN_AS_USUAL},
      // a --json without a name, and near misses, stay for getopt to refuse
      {{"f", "--json"}, {"f", "--json"}, nullptr, RUN_AS_USUAL},
      {{"--json=", "f"}, {"--json=", "f"}, nullptr, RUN_AS_USUAL},
      {{"--json", "", "f"}, {"--json", "", "f"}, nullptr, RUN_AS_USUAL},
      {{"--jso", "r", "--json-x", "--Help", "--versions", "-json", "f"},
       {"--jso", "r", "--json-x", "--Help", "--versions", "-json", "f"},
       nullptr,
       RUN_AS_USUAL},
      // the first of --help and --version decides, whatever else is there
      {{"-x", "--version", "--help", "f", "g", "h"}, {"-x", "f", "g", "h"}, nullptr, SHOW_VERSION},
      {{"--help", "--json", "r", "--version"}, {}, "r", SHOW_HELP},
      {{"--o", "--help"}, {"--o"}, nullptr, SHOW_HELP},
      {{"f", "--auto", "--json", "r"}, {"f"}, "r", RUN_AS_USUAL, true},
      {{"-o", "--auto", "f", "--auto=x", "-auto"},
       {"-o", "--auto", "f", "--auto=x", "-auto"},
       nullptr,
       RUN_AS_USUAL},
      // --discard takes "auto" or a count, after a blank or an '='; the last one counts
      {{"--discard", "auto", "f"}, {"f"}, nullptr, RUN_AS_USUAL, false, true},
      {{"f", "--discard=auto"}, {"f"}, nullptr, RUN_AS_USUAL, false, true},
      {{"--discard", "500", "f"}, {"f"}, nullptr, RUN_AS_USUAL, false, false, 500},
      {{"--discard=auto", "f", "--discard=+7"}, {"f"}, nullptr, RUN_AS_USUAL, false, false, 7},
      {{"--discard=4294967296", "f"}, {"f"}, nullptr, RUN_AS_USUAL, false, false, 0},  // as -i
      {{"--discard=12abc", "f"}, {"f"}, nullptr, RUN_AS_USUAL, false, false, none, true},
      {{"--discard", "-5", "f"}, {"f"}, nullptr, RUN_AS_USUAL, false, false, none, true},
      {{"--discard", "2147483648", "f"}, {"f"}, nullptr, RUN_AS_USUAL, false, false, none, true},
      {{"--discard=x", "--discard", "3", "f"}, {"f"}, nullptr, RUN_AS_USUAL, false, false, 3},
      // without a value, or near misses: left for getopt
      {{"f", "--discard"}, {"f", "--discard"}, nullptr, RUN_AS_USUAL},
      {{"--discard=", "--discard-x", "-i", "--discard", "f"},
       {"--discard=", "--discard-x", "-i", "--discard", "f"},
       nullptr,
       RUN_AS_USUAL},
  };
  for (const long_case& c : cases) {
    std::vector<std::string> args = c.args;
    args.insert(args.begin(), "varbloc");
    std::string shown;
    for (const std::string& a : c.args) shown += "'" + a + "' ";
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(&arg[0]);
    argv.push_back(nullptr);
    int argc = static_cast<int>(argv.size() - 1);
    long_options taken;
    EXPECT_EQ(take_long_options(&argc, argv.data(), &taken), c.request) << shown;
    EXPECT_STREQ(taken.json_path, c.json) << shown;
    EXPECT_EQ(taken.automatic, c.automatic) << shown;
    EXPECT_EQ(taken.discard_auto, c.discard_auto) << shown;
    EXPECT_EQ(taken.discard_count, c.discard_count) << shown;
    EXPECT_EQ(taken.discard_problem != nullptr, c.refused) << shown;
    std::vector<std::string> left(argv.begin() + 1, argv.begin() + argc);
    EXPECT_EQ(left, c.left) << shown;
    EXPECT_EQ(argv[argc], nullptr) << shown;
  }
}

}  // namespace
