// End-to-end tests of the command line and the input source, on the real
// binary in a fresh temporary directory.
#include <gtest/gtest.h>

#include <cstring>  // strlen
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

// Replaces every occurrence of `program` (getopt names it in its messages) by
// "varbloc", so that two binaries' messages compare.
std::string with_program_named(std::string err, const std::string& program) {
  for (size_t at = err.find(program); at != std::string::npos; at = err.find(program, at)) {
    err.replace(at, program.size(), "varbloc");
  }
  return err;
}

TEST(CommandLineEndToEnd, TrickyCommandLinesAsTheBaselineReadsThem) {
  // The baseline build parses with plain getopt and knows no long options:
  // without --json, --help and --version (spelled so, outside option values
  // and before "--") the bytes, the status and the analysis file must not
  // change. "d" is a small data file; "x" does not exist.
  const std::vector<std::vector<std::string>> lines = {
      {"-a"},
      {"-x"},
      {"-ojunk", "d"},
      {"-a2", "-a3", "d"},
      {"-a", "2", "--", "d"},
      {"d", "-c", "3"},
      {"-"},
      {"--"},
      {"--foo", "d"},
      {"--jso", "d"},
      {"--o", "x"},
      {"-o", "--json", "d"},
      {"-a", "--help", "d"},
      {"-i", "--version", "d"},
      {"d", "--json"},
      {"--json=", "d"},
      {"--json", "", "d"},
      {"d", "--discard"},
      {"--discard=", "d"},
      {"--", "--help"},
      {"-a", "2", "--", "-x"},
      {"d", "--", "2"},
      {"-ao", "d"},
      {"-xa", "1", "d"},
      {"d", "2", "-c1"},
  };
  scoped_temp_dir dir;
  run_program("/bin/mkdir", {"new", "old"}, dir.path());
  for (const char* side : {"new", "old"})
    write_file(dir.file(std::string(side) + "/d"), "1 2\n3 4\n5 7\n");
  for (const std::vector<std::string>& args : lines) {
    std::string shown;
    for (const std::string& a : args) shown += "'" + a + "' ";
    run_result now = run_varbloc(args, dir.file("new"));
    run_result old = run_program(BASELINE_BINARY, args, dir.file("old"));
    EXPECT_EQ(with_program_named(now.err, VARBLOC_BINARY),
              with_program_named(old.err, BASELINE_BINARY))
        << shown;
    EXPECT_EQ(now.status, old.status) << shown;
    EXPECT_EQ(now.out, "") << shown;
    EXPECT_EQ(read_file(dir.file("new/ana.dat")), read_file(dir.file("old/ana.dat"))) << shown;
  }
}

TEST(CommandLineEndToEnd, HelpAndVersionGoToStandardOutput) {
  struct info_case {
    std::vector<std::string> args;
    bool help;  // else the version
  };
  const info_case cases[] = {
      {{"--help"}, true},
      {{"--version"}, false},
      {{"-x", "--help", "a", "b", "c"}, true},  // whatever else the line holds
      {{"d", "--json", "r.json", "--version", "-o", "x-y"}, false},
      {{"--help", "--version"}, true},  // the first one given decides
      {{"--version", "--help", "--json"}, false},
  };
  scoped_temp_dir dir;
  write_file(dir.file("d"), "1 2\n3 4\n5 7\n");
  const std::string usage_body(USAGE, strlen(USAGE) - 1);  // without its closing empty line
  for (const info_case& c : cases) {
    std::string shown;
    for (const std::string& a : c.args) shown += "'" + a + "' ";
    run_result r = run_varbloc(c.args, dir.path());
    EXPECT_EQ(r.status, 0) << shown;
    EXPECT_EQ(r.err, "") << shown;
    if (c.help) {
      EXPECT_EQ(r.out.rfind(usage_body, 0), 0u) << shown << r.out;
      for (const char* line : {"\t--json <file>", "\t--discard auto", "\t--discard <m>", "\t--help",
                               "\t--version", "man varbloc\n"}) {
        EXPECT_NE(r.out.find(line, usage_body.size()), std::string::npos) << shown << line;
      }
    } else {
      EXPECT_EQ(r.out.rfind("varbloc ", 0), 0u) << shown << r.out;
      EXPECT_EQ(r.out.find('\n'), r.out.size() - 1) << shown << r.out;
    }
  }
  EXPECT_FALSE(file_exists(dir.file("ana.dat")));
  EXPECT_FALSE(file_exists(dir.file("r.json")));
}

TEST(CommandLineEndToEnd, LongOptionsTakeTheirValueEitherWay) {
  // Each line runs as the one beside it: bytes, status and analysis file.
  const std::vector<std::string> pairs[][2] = {
      {{"--discard", "2", "d"}, {"-i", "2", "d"}},
      {{"d", "--discard=2"}, {"-i", "2", "d"}},
      {{"--discard", "auto", "d"}, {"--discard=auto", "d"}},
      {{"--json", "r", "d"}, {"--json=r", "d"}},
  };
  scoped_temp_dir dir;
  run_program("/bin/mkdir", {"one", "other"}, dir.path());
  std::string lines;
  for (int k = 0; k < 40; k++) lines += std::to_string(k % 7) + " " + std::to_string(k * k) + "\n";
  for (const char* side : {"one", "other"}) write_file(dir.file(std::string(side) + "/d"), lines);
  for (const auto& pair : pairs) {
    std::string shown;
    for (const std::string& a : pair[0]) shown += "'" + a + "' ";
    run_result one = run_varbloc(pair[0], dir.file("one"));
    run_result other = run_varbloc(pair[1], dir.file("other"));
    EXPECT_EQ(one.err, other.err) << shown;
    EXPECT_EQ(one.status, 0) << shown << one.err;
    EXPECT_EQ(other.status, 0) << shown;
    EXPECT_EQ(read_file(dir.file("one/ana.dat")), read_file(dir.file("other/ana.dat"))) << shown;
  }
  EXPECT_EQ(read_file(dir.file("one/r")), read_file(dir.file("other/r")));
}

TEST(CommandLineEndToEnd, LongOptionErrorsShowTheLongOptions) {
  // The usage text then goes on with the long options, as --help lists them.
  scoped_temp_dir dir;
  write_file(dir.file("d"), "1 2\n3 4\n5 7\n");
  const std::string help = run_varbloc({"--help"}, dir.path()).out;
  const std::string usage = help.substr(0, help.rfind("\nEvery message")) + "\n";
  const command_case cases[] = {
      {"--discard=auto with -i",
       {"--discard=auto", "-i", "0", "d"},
       "--discard=auto and -i cannot be used together.\n",
       1},
      {"a count with -i",
       {"-i", "5", "--discard", "5", "d"},
       "--discard and -i cannot be used together.\n",
       1},
      {"a count out of -i's range",
       {"--discard=2147483648", "d"},
       "Number of discarded samples must be non-negative.\n",
       1},
      {"neither auto nor a count",
       {"--discard", "d"},
       "Argument of --discard must be auto or a number of samples.\n",
       1},
      {"a target without --follow",
       {"--stream", "--target-error", "0.1", "d"},
       "--target-error and --target-relative need --follow.\n",
       1},
      {"no period",
       {"--follow=0", "d"},
       "Argument of --follow must be a positive number of seconds.\n",
       1},
      {"a negative target",
       {"--follow", "--target-relative=-1", "d"},
       "Argument of --target-relative must be a positive number.\n",
       1},
      {"a search over a chain still growing",
       {"--follow", "--discard=auto", "d"},
       "--discard=auto cannot be used with --follow: its search needs the whole chain.\n",
       1},
      {"a search that cannot read its input twice",
       {"--stream", "--discard=auto", "STDIN"},
       "--discard=auto with --stream reads its file twice: not from STDIN.\n",
       1},
  };
  for (const command_case& c : cases) {
    run_result r = run_varbloc(c.args, dir.path());
    EXPECT_EQ(r.err, BANNER + c.err + usage) << c.intent;
    EXPECT_EQ(r.status, c.status) << c.intent;
    EXPECT_EQ(r.out, "") << c.intent;
  }
  EXPECT_FALSE(file_exists(dir.file("ana.dat")));
}

TEST(CommandLineEndToEnd, JsonDashWritesTheRecordToStandardOutput) {
  scoped_temp_dir dir;
  write_file(dir.file("d"), "1 2\n3 4\n5 7\n");
  run_result to_file = run_varbloc({"-o", "a.dat", "--json", "r.jsonl", "d"}, dir.path());
  run_result to_out = run_varbloc({"-o", "b.dat", "--json", "-", "d"}, dir.path());
  EXPECT_EQ(to_out.status, 0);
  EXPECT_EQ(to_out.err, to_file.err);
  // The records differ only in the analysis file's name.
  std::string expected = read_file(dir.file("r.jsonl"));
  expected.replace(expected.find("\"a.dat\""), 7, "\"b.dat\"");
  EXPECT_EQ(to_out.out, expected);
  EXPECT_FALSE(file_exists(dir.file("-")));
}

}  // namespace
