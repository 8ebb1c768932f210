// End-to-end tests of the data file reader on the real binary: every input
// rule, message, early end and data error, with exact standard error bytes.
// The analysis part of a successful run is checked against the analysis
// engine run in-process on the samples the case says the reader must store.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "test_util.h"

namespace {

typedef std::vector<std::vector<double>> sample_lines;  // one entry per stored line

const std::string READING = "Reading file...\n";

std::string fatal_frame(int number, const std::string& message) {
  return "\nFatal error " + std::to_string(number) + ": " + message + ".\nProgram halted.\n\n";
}

// What varbloc prints from the read-count line on, and the analysis-file line,
// for the given stored samples.
struct analysis_expectation {
  std::string err;
  std::string file;
};

analysis_expectation expected_analysis(const sample_lines& lines, int discarded) {
  size_t columns = lines.front().size();
  std::vector<std::vector<double>> store(columns);
  for (const std::vector<double>& line : lines) {
    for (size_t c = 0; c < columns; c++) store[c].push_back(line[c]);
  }
  std::vector<const double*> rows;
  std::vector<std::string> label_text;
  std::vector<const char*> labels;
  for (size_t c = 0; c < columns; c++) {
    rows.push_back(store[c].data());
    char label[16];
    snprintf(label, sizeof label, "col %2d", static_cast<int>(c));
    label_text.push_back(label);
  }
  for (const std::string& label : label_text) labels.push_back(label.c_str());
  scoped_temp_dir dir;
  const std::string printed =
      analysis_output(static_cast<int64_t>(lines.size()), rows.data(),
                      static_cast<int32_t>(columns), labels.data(), dir.file("ana").c_str());
  analysis_expectation expected;
  expected.err = "\nRead " + std::to_string(lines.size()) + " samples (discarded first " +
                 std::to_string(discarded) + " samples).\n" + printed + "\n";
  expected.file = read_file(dir.file("ana"));
  return expected;
}

struct reader_case {
  const char* intent;
  std::vector<std::string> options;  // before the file name
  std::string input;                 // the data file's bytes
  std::vector<std::string> after;    // after the file name (the column count)
  std::string messages;              // standard error after the banner, up to the analysis
  sample_lines stored;               // samples the reader must store (none: no analysis)
  int discarded;
  int status;
};

void run_cases(const std::vector<reader_case>& cases) {
  for (const reader_case& c : cases) {
    scoped_temp_dir dir;
    write_file(dir.file("data.txt"), c.input);
    std::vector<std::string> args = c.options;
    args.push_back("data.txt");
    args.insert(args.end(), c.after.begin(), c.after.end());
    run_result r = run_varbloc(args, dir.path());
    std::string expected_err = BANNER + c.messages;
    std::string expected_file;
    if (!c.stored.empty()) {
      analysis_expectation analysis = expected_analysis(c.stored, c.discarded);
      expected_err += analysis.err;
      expected_file = analysis.file;
    }
    EXPECT_EQ(r.err, expected_err) << c.intent;
    EXPECT_EQ(r.status, c.status) << c.intent;
    EXPECT_EQ(r.out, "") << c.intent;
    EXPECT_EQ(read_file(dir.file("ana.dat")), expected_file) << c.intent;
  }
}

TEST(ReaderEndToEnd, ColumnCounts) {
  const std::string found2 = READING + "Found 2 columns in first data line.\n";
  run_cases({
      {"detected from the first line",
       {},
       "1 2\n3 4\n5 6\n",
       {},
       found2,
       {{1, 2}, {3, 4}, {5, 6}},
       0,
       0},
      {"given on the command line",
       {},
       "1 2\n3 4\n",
       {"2"},
       "Will read 2 columns.\n" + READING,
       {{1, 2}, {3, 4}},
       0,
       0},
      {"given count uses only the first fields",
       {},
       "1 2 word\n3 4 x\n",
       {"2"},
       "Will read 2 columns.\n" + READING,
       {{1, 2}, {3, 4}},
       0,
       0},
      {"skipped columns when detecting",
       {"-c", "1"},
       "9 1 2\n9 3 4\n",
       {},
       READING + "Found 3 columns in first data line.\nIgnoring first 1 columns, using next 2.\n",
       {{1, 2}, {3, 4}},
       0,
       0},
      {"skipped columns with a given count",
       {"-c", "1"},
       "x 1 2\ny 3 4\n",
       {"1"},
       "Will read 1 columns (ignoring first 1).\n" + READING,
       {{1}, {3}},
       0,
       0},
      {"count of zero",
       {},
       "1\n",
       {"0"},
       fatal_frame(2, "Please specify a positive number of columns"),
       {},
       0,
       254},
      {"count of words",
       {},
       "1\n",
       {"abc"},
       fatal_frame(2, "Please specify a positive number of columns"),
       {},
       0,
       254},
      {"count above the limit",
       {},
       "1\n",
       {"2049"},
       fatal_frame(3, "Cannot handle more than 2048 columns"),
       {},
       0,
       253},
      {"count above the limit after skipping, no data",
       {"-c", "1"},
       "# none\n",
       {"2049"},
       "Will read 2049 columns (ignoring first 1).\n"
       "Storage per column set to 122010 entries (1999 MB total)\n"
       "If this is insufficient, use -a or analyze data in sets of fewer columns via -c\n\n" +
           READING + "Comment:  none\n\nNo samples read (discarded 0 samples). Terminating.\n\n",
       {},
       0,
       0},
      {"all columns skipped",
       {"-c", "2"},
       "1 2\n",
       {},
       READING + "Ignoring all 2 columns. Terminating.\n\n",
       {},
       0,
       0},
      {"empty first line",
       {},
       "\n1\n",
       {},
       READING + "\nNo columns found in first data line. Terminating.\n\n",
       {},
       0,
       0},
      {"empty line after a dropped line with fields",
       {"-i", "1", "-c", "1"},
       "5 6\n\n",
       {},
       READING + "\nNo data columns found in first data line. Terminating.\n\n",
       {},
       0,
       0},
      {"only comments",
       {},
       "# only\n",
       {},
       READING + "Comment:  only\n\nNo samples read (discarded 0 samples). Terminating.\n\n",
       {},
       0,
       0},
      {"everything discarded",
       {"-i", "5"},
       "1\n2\n",
       {},
       READING + "\nNo samples read (discarded 2 samples). Terminating.\n\n",
       {},
       0,
       0},
  });
}

TEST(ReaderEndToEnd, DataErrors) {
  run_cases({
      {"fewer values than detected",
       {},
       "1 2 3\n4 5\n",
       {},
       READING + "Found 3 columns in first data line.\n" +
           fatal_frame(100, "Expected 3 columns, found only 2 in line 2"),
       {},
       0,
       156},
      {"trailing empty line",
       {},
       "1\n2\n\n",
       {},
       READING + "Found 1 columns in first data line.\n" +
           fatal_frame(100, "Expected 1 columns, found only 0 in line 3"),
       {},
       0,
       156},
      {"word in a used column",
       {},
       "1 2\n3 x\n",
       {},
       READING + "Found 2 columns in first data line.\n" +
           fatal_frame(70, "Non-numerical data in line 2 column 1 (columns count from 0)"),
       {},
       0,
       186},
      {"word on a dropped line",
       {"-i", "1"},
       "abc\n1\n",
       {},
       READING + fatal_frame(70, "Non-numerical data in line 1 column 0 (columns count from 0)"),
       {},
       0,
       186},
      {"line numbers count comments and dropped lines",
       {"-i", "3"},
       "# a\n# b\n1\n2\n3\nx\n",
       {},
       READING + "Comment:  a\nComment:  b\n" +
           fatal_frame(70, "Non-numerical data in line 6 column 0 (columns count from 0)"),
       {},
       0,
       186},
      {"skipped column holding a word is not looked at",
       {"-c", "1"},
       "a 1\nb 2\n",
       {},
       READING + "Found 2 columns in first data line.\nIgnoring first 1 columns, using next 1.\n",
       {{1}, {2}},
       0,
       0},
      {"white space only as the last field of the first line",
       {},
       "1 \v\n",
       {},
       READING + fatal_frame(50, "Could not determine number of columns in first data line"),
       {},
       0,
       206},
      {"more fields than the first line",
       {},
       "1 2\n3 4 5\n6 7\n",
       {},
       READING + "Found 2 columns in first data line.\n" +
           "\nWarning 110: Inconsistent number of columns in line 2 (non-fatal).\n",
       {{1, 2}, {3, 4}, {6, 7}},
       0,
       0},
      {"glibc refuses 0x and infinit",
       {},
       "1 0x\n",
       {},
       READING + fatal_frame(70, "Non-numerical data in line 1 column 1 (columns count from 0)"),
       {},
       0,
       186},
      {"infinit is not a number",
       {},
       "infinit\n",
       {},
       READING + fatal_frame(70, "Non-numerical data in line 1 column 0 (columns count from 0)"),
       {},
       0,
       186},
  });
}

TEST(ReaderEndToEnd, LineRules) {
  const std::string found1 = READING + "Found 1 columns in first data line.\n";
  const std::string found2 = READING + "Found 2 columns in first data line.\n";
  run_cases({
      {"CR LF line ends", {}, "1 2\r\n3 4\r\n", {}, found2, {{1, 2}, {3, 4}}, 0, 0},
      {"last line without newline", {}, "1\n2", {}, found1, {{1}, {2}}, 0, 0},
      {"lone CR at the very end is cut", {}, "1\n2\r", {}, found1, {{1}, {2}}, 0, 0},
      {"CR inside a line is part of a field",
       {},
       "1\r 2\n3\r 4\n",
       {},
       found2,
       {{1, 2}, {3, 4}},
       0,
       0},
      {"NUL ends the text of a line",
       {},
       std::string("1 2\0 x y\n3 4\n", 13),
       {},
       found2,
       {{1, 2}, {3, 4}},
       0,
       0},
      {"control-Z at the start of a line is dropped",
       {},
       "\x1a"
       "1 2\n\x1a\x1a"
       "3 4\n",
       {},
       found2,
       {{1, 2}, {3, 4}},
       0,
       0},
      {"control-Z after a number is a trailing character",
       {},
       "1\x1a\n2\n",
       {},
       found1,
       {{1}, {2}},
       0,
       0},
      {"control-Z then '#' makes a comment",
       {},
       "\x1a# c\n1\n2\n",
       {},
       READING + "Comment:  c\nFound 1 columns in first data line.\n",
       {{1}, {2}},
       0,
       0},
      {"lone CR field repeats the previous value",
       {},
       "1 \r 2\n3 \r 4\n",
       {},
       READING + "Found 3 columns in first data line.\n",
       {{1, 1, 2}, {3, 3, 4}},
       0,
       0},
      {"number forms sscanf reads",
       {},
       "0x1p3 +2 1e 5e-1x\n-0X.8P1 1E400 -1e-400 .5\n",
       {},
       READING + "Found 4 columns in first data line.\n",
       {{8, 2, 1, 0.5}, {-1, HUGE_VAL, -0.0, 0.5}},
       0,
       0},
      {"infinities and not-a-number",
       {},
       "inf nan\n-INFINITY NAN(123)\n",
       {},
       found2,
       {{HUGE_VAL, std::nan("")}, {-HUGE_VAL, std::nan("")}},
       0,
       0},
  });
}

TEST(ReaderEndToEnd, Comments) {
  const std::string found1 = READING + "Found 1 columns in first data line.\n";
  const std::string long_comment(100, 'c');
  const std::string huge_comment(200000, 'h');
  run_cases({
      {"echo with the blank after '#'",
       {},
       "# a word\n1\n2\n",
       {},
       READING + "Comment:  a word\n" + "Found 1 columns in first data line.\n",
       {{1}, {2}},
       0,
       0},
      {"lone '#' echoes nothing", {}, "#\n1\n2\n", {}, found1, {{1}, {2}}, 0, 0},
      {"'#' and CR LF echo the CR",
       {},
       "#\r\n1\n2\n",
       {},
       READING + "Comment: \r\nFound 1 columns in first data line.\n",
       {{1}, {2}},
       0,
       0},
      {"long comment cut to 79 bytes",
       {},
       "#" + long_comment + "\n1\n2\n",
       {},
       READING + "Comment: " + long_comment.substr(0, 79) + "\n" +
           "Found 1 columns in first data line.\n",
       {{1}, {2}},
       0,
       0},
      {"comment longer than the line buffer is one line",
       {},
       "#" + huge_comment + "\n1\n2\n",
       {},
       READING + "Comment: " + huge_comment.substr(0, 79) + "\n" +
           "Found 1 columns in first data line.\n",
       {{1}, {2}},
       0,
       0},
      {"comment without newline at the end",
       {},
       "1\n2\n# end",
       {},
       found1 + "Comment:  end",
       {{1}, {2}},
       0,
       0},
      {"comments count for line numbers",
       {},
       "1\n# c\nx\n",
       {},
       found1 + "Comment:  c\n" +
           fatal_frame(70, "Non-numerical data in line 3 column 0 (columns count from 0)"),
       {},
       0,
       186},
  });
}

TEST(ReaderEndToEnd, LineLengthLimit) {
  // A chunk of 65,535 bytes fills the line buffer: fatal, newline or not.
  const std::string just_fits = std::string(65530, ' ') + "1 2\n";  // 65,534 bytes
  const std::string fills = std::string(65531, ' ') + "1 2\n";      // 65,535 bytes
  const std::string beyond = std::string(65532, ' ') + "1 2\n";     // 65,536 bytes
  const std::string too_long = fatal_frame(40, "Chunk size too small. Contact Tavrosk");
  run_cases({
      {"65,534 bytes",
       {},
       just_fits + "3 4\n",
       {},
       READING + "Found 2 columns in first data line.\n",
       {{1, 2}, {3, 4}},
       0,
       0},
      {"65,535 bytes", {}, fills + "3 4\n", {}, READING + too_long, {}, 0, 216},
      {"65,536 bytes", {}, beyond + "3 4\n", {}, READING + too_long, {}, 0, 216},
      {"65,535 bytes without newline at the end",
       {},
       "1 2\n" + fills.substr(0, 65534) + "5",
       {},
       READING + "Found 2 columns in first data line.\n" + too_long,
       {},
       0,
       216},
  });
}

TEST(ReaderEndToEnd, WideLines) {
  std::string line;
  for (int p = 0; p < 3000; p++) line += std::to_string(p % 7) + (p + 1 < 3000 ? " " : "\n");
  std::vector<double> kept;
  for (int p = 0; p < 2048; p++) kept.push_back(p % 7);
  run_cases({{"only the first 2048 are used",
              {},
              line + line,
              {},
              READING + "Found 3000 columns in first data line.\n" +
                  "Too many columns. Using first 2048.\n" +
                  "Storage per column set to 122070 entries (1999 MB total)\n"
                  "If this is insufficient, use -a or analyze data in sets of fewer columns via "
                  "-c\n\n",
              {kept, kept},
              0,
              0}});
  // Wide lines are gathered several at a time before they go to the store;
  // a comment and a field that needs sscanf break the gathering midway.
  std::string wide;
  sample_lines wide_kept;
  for (int l = 0; l < 20; l++) {
    if (l == 5) wide += "# between\n";
    std::vector<double> values;
    for (int p = 0; p < 600; p++) {
      const double value = (p % 2 ? -1 : 1) * (1000.0 * l + p) / 4;
      values.push_back(value);
      char text[32];
      snprintf(text, sizeof text, l == 11 && p == 300 ? "%a" : "%.2f", value);
      wide += text;
      wide += p + 1 < 600 ? " " : "\n";
    }
    wide_kept.push_back(values);
  }
  run_cases({{"600 columns, gathered lines broken by a comment and a hex field",
              {},
              wide,
              {},
              READING + "Found 600 columns in first data line.\n" +
                  "Storage per column set to 416666 entries (1999 MB total)\n"
                  "If this is insufficient, use -a or analyze data in sets of fewer columns via "
                  "-c\n\nComment:  between\n",
              wide_kept,
              0,
              0}});
}

}  // namespace
