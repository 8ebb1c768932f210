// Tests of the blocking analysis's statistics: the error/correlation and
// block-average kernels, and the level ladder and decorrelation choice of the
// driver, on the whole text and file a run prints and writes.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "analysis/general_error_routines_v3.h"
#include "read_limits.h"  // MAX_COLUMNS
#include "test_util.h"

namespace {

using column_set = std::vector<std::vector<double>>;
const double NAN_VALUE = std::numeric_limits<double>::quiet_NaN();
const double INF = std::numeric_limits<double>::infinity();

std::string format(const char* pattern, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* pattern, ...) {
  char buffer[1024];
  va_list arguments;
  va_start(arguments, pattern);
  vsnprintf(buffer, sizeof buffer, pattern, arguments);
  va_end(arguments);
  return buffer;
}

// IEEE 754 leaves the sign and payload of a NaN result open (they follow the
// operand order, which the compiler may swap), so any NaN matches any NaN and
// "-nan" reads as " nan"; every other value must match bit for bit.
bool same_double(double a, double b) {
  if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
  return memcmp(&a, &b, sizeof a) == 0;
}

std::string without_nan_sign(std::string text) {
  for (size_t at = text.find("-nan"); at != std::string::npos; at = text.find("-nan", at))
    text[at] = ' ';
  return text;
}

// Names the first line where two long texts part, instead of dumping both.
std::string first_difference(const std::string& want, const std::string& got) {
  size_t at = 0, start = 0;
  while (at < want.size() && at < got.size() && want[at] == got[at])
    if (want[at++] == '\n') start = at;
  if (at == want.size() && at == got.size()) return "";
  return "\n want: " + want.substr(start, want.find('\n', start) - start) +
         "\n  got: " + got.substr(start, got.find('\n', start) - start);
}

std::vector<const double*> row_pointers(const column_set& columns) {
  std::vector<const double*> rows;
  for (const auto& column : columns) rows.push_back(column.data());
  return rows;
}

// --- Literal step-by-step evaluation of the analysis: the expected side. ---

void literal_errors(int64_t n, const column_set& rows, const std::vector<double>& mean,
                    std::vector<double>& error, std::vector<double>& correlation) {
  for (size_t c = 0; c < rows.size(); c++) {
    double squares = 0.0, products = 0.0, previous = 0.0;
    for (int64_t i = 0; i < n; i++) {
      double deviation = rows[c][i] - mean[c];
      squares = squares + deviation * deviation;
      products = products + previous * deviation;
      previous = deviation;
    }
    double count = static_cast<double>(n), less_one = static_cast<double>(n - 1);
    error[c] = std::sqrt(std::fabs(squares)) / std::sqrt(count * less_one);
    correlation[c] = squares == 0.0 ? 1.0 : (products * count) / (squares * less_one);
  }
}

column_set literal_blocks(int64_t n, int64_t size, const column_set& rows) {
  column_set blocks(rows.size());
  for (size_t c = 0; c < rows.size(); c++)
    for (int64_t k = 0; k < n / size; k++) {
      double sum = 0.0;
      for (int64_t t = 0; t < size; t++) sum = sum + rows[c][k * size + t];
      blocks[c].push_back(sum / static_cast<double>(size));
    }
  return blocks;
}

// One column's row: `count` is the values per column of the level where the
// column decorrelated (0 while it has not), or of the last level.
struct column_values {
  const char* label;
  double mean, error, correlation;
  int64_t count;
  bool decorrelated;
};

std::string level_text(int64_t values, const std::vector<column_values>& columns) {
  std::string text = format("\nAverages for %li samples:\n\n", static_cast<long>(values));
  for (const column_values& c : columns)
    text += format("%s: %16.10f +/- %16.10f   Corr. coeff.: % f%s\n", c.label, c.mean, c.error,
                   c.correlation, c.decorrelated && c.count == values ? " <" : "");
  return text;
}

std::string summary_text(int64_t n, const std::vector<column_values>& columns) {
  std::string text =
      format("\nSummary of error and correlation analysis (initial sample size %li)\n\n", (long)n);
  for (const column_values& c : columns)
    text += format("%s: %16.10f +/- %16.10f   (correlation % f with %li samples)%s\n", c.label,
                   c.mean, c.error, c.correlation, static_cast<long>(c.count),
                   c.decorrelated ? "" : " *** not decorrelated ***");
  return text;
}

std::string file_line(const std::vector<column_values>& columns) {
  std::string line;
  for (const column_values& c : columns)
    line += format("%s%16.10f %16.10f", line.empty() ? "" : " ", c.mean, c.error);
  return line + "\n";
}

// The whole run: {standard error, analysis-file line}.
std::pair<std::string, std::string> literal_analysis(int64_t n, const column_set& samples,
                                                     const std::vector<std::string>& labels) {
  const int64_t sizes[] = {5, 10, 50, 100, 500, 1000, 5000, 10000, 50000};
  size_t count = samples.size();
  std::vector<double> mean(count, 0.0), error(count), correlation(count);
  std::vector<column_values> final_values(count), level(count);
  for (int64_t i = 0; i < n; i++)
    for (size_t c = 0; c < count; c++) mean[c] = mean[c] + samples[c][i];
  for (size_t c = 0; c < count; c++) mean[c] = mean[c] / static_cast<double>(n);
  std::string text;
  int64_t values = n;
  for (int k = -1; k < 9 && (k < 0 || n / sizes[k] > 10); k++) {  // k = -1: the samples
    values = k < 0 ? n : n / sizes[k];
    literal_errors(values, k < 0 ? samples : literal_blocks(n, sizes[k], samples), mean, error,
                   correlation);
    for (size_t c = 0; c < count; c++) {
      column_values now = {labels[c].c_str(), mean[c], error[c], correlation[c], values, true};
      if (correlation[c] < 0.1 && !final_values[c].decorrelated) final_values[c] = now;
      level[c] = now;
      level[c].count = final_values[c].count;
      level[c].decorrelated = final_values[c].decorrelated;
    }
    text += level_text(values, level);
  }
  for (size_t c = 0; c < count; c++)
    if (!final_values[c].decorrelated) {
      final_values[c] = level[c];
      final_values[c].count = values;
    }
  return {text + summary_text(n, final_values), file_line(final_values)};
}

// --- Test data. ---

double uniform(std::mt19937_64& random) {
  return static_cast<double>(random() >> 11) * 0x1.0p-53;
}

// Column kinds 0 to 9: sample i from the previous sample x and a noise e,
// uniform in [-1, 1).
double (*const KIND_RULES[])(double x, double e, int64_t i) = {
    [](double, double e, int64_t) { return e; },               // independent
    [](double x, double e, int64_t) { return 0.5 * x + e; },   // weakly correlated
    [](double x, double e, int64_t) { return 0.97 * x + e; },  // strongly correlated
    [](double x, double e, int64_t) { return x + e; },         // random walk
    [](double, double, int64_t) { return 7.0; },               // exact constant
    [](double, double, int64_t) { return 0.1; },               // constant, inexact mean
    [](double, double, int64_t) { return -0.0; },              // the mean must start at +0
    [](double, double, int64_t i) { return ((i / 5) % 2 == 0 ? 1.0 : -1.0) + 0.001 * i; },
    [](double, double e, int64_t) { return 1.0e6 + e; },  // rounding in the mean
    [](double, double e, int64_t i) { return i % 3 == 0 ? -0.0 : e; }};
// Kinds 10 to 13: independent samples with NaN, NaN of both signs, infinities
// of both signs, and infinity as the last sample (left out by most blockings).
const int KIND_COUNT = 14;

std::vector<double> make_column(int kind, int64_t n, std::mt19937_64& random) {
  std::vector<double> x(n);
  for (int64_t i = 0; i < n; i++)
    x[i] = KIND_RULES[kind < 10 ? kind : 0](i > 0 ? x[i - 1] : 0.0, 2.0 * uniform(random) - 1.0, i);
  if (kind == 10) x[n / 3] = NAN_VALUE;
  if (kind == 11) x[n / 2] = -NAN_VALUE, x[n - 1] = NAN_VALUE;
  if (kind == 12) x[n / 4] = INF, x[n - 1 - n / 4] = -INF;
  if (kind == 13) x[n - 1] = INF;
  return x;
}

std::vector<std::string> default_labels(size_t count) {
  std::vector<std::string> labels;
  for (size_t c = 0; c < count; c++) labels.push_back(format("col %2d", static_cast<int>(c)));
  return labels;
}

// Runs the analysis and returns what the program prints of it on standard
// error.
std::string run_analysis(int64_t n, const column_set& columns,
                         const std::vector<std::string>& labels, const std::string& path) {
  std::vector<const char*> names;
  for (const std::string& label : labels) names.push_back(label.c_str());
  std::vector<const double*> rows = row_pointers(columns);
  return analysis_output(n, rows.data(), static_cast<int32_t>(columns.size()), names.data(),
                         path.c_str());
}

// --- Kernels. ---

TEST(KernelTest, ErrorAndCorrelationOfWorkedSeries) {
  struct kernel_case {
    const char* what;
    std::vector<double> series;
    double mean, error, correlation;
  };
  const kernel_case cases[] = {
      // S = 5, P = 1.25.
      {"1,2,3,4", {1, 2, 3, 4}, 2.5, std::sqrt(5.0) / std::sqrt(12.0), (1.25 * 4.0) / (5.0 * 3.0)},
      // The given mean is used as it is: S = 30, P = 2 + 6 + 12.
      {"1,2,3,4 around 0",
       {1, 2, 3, 4},
       0.0,
       std::sqrt(30.0) / std::sqrt(12.0),
       (20.0 * 4.0) / (30.0 * 3.0)},
      {"alternating", {1, -1, 1, -1}, 0.0, std::sqrt(4.0) / std::sqrt(12.0), -1.0},
      // S = 110, P = 10: (10 * 11) / (110 * 10) rounds to the double 0.1 itself.
      {"exactly 0.1",
       {6, 2, 11, 10, 4, 6, 6, 0, 4, 2, 4},
       5.0,
       std::sqrt(110.0) / std::sqrt(110.0),
       0.1},
      {"constant", {3, 3, 3}, 3.0, 0.0, 1.0},
      {"one sample at its mean", {2.5}, 2.5, NAN_VALUE, 1.0},
      {"one sample off its mean", {2.5}, 1.0, INF, NAN_VALUE},
      // The first product, 0 * d_0, counts too: 0 * inf makes P not a number.
      {"infinity after the mean", {1, INF}, 1.0, INF, NAN_VALUE},
  };
  for (const kernel_case& c : cases) {
    const double* rows[] = {c.series.data()};
    double error = -7.0, correlation = -7.0;
    calc_additional_errors(static_cast<int64_t>(c.series.size()), rows, 1, &c.mean, &error,
                           &correlation);
    EXPECT_TRUE(same_double(error, c.error))
        << c.what << ": error " << error << " want " << c.error;
    EXPECT_TRUE(same_double(correlation, c.correlation))
        << c.what << ": correlation " << correlation << " want " << c.correlation;
  }
}

TEST(KernelTest, BlockAveragesLeaveTheIncompleteBlockOut) {
  std::vector<double> first = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 1000};
  std::vector<double> second = {0.5, 0.5, 0.5, 0.5, 0.5, -1, -2, -3, -4, -5, 99};
  const double* source[] = {first.data(), second.data()};
  std::vector<double> out_first(3, 42.0), out_second(3, 42.0);
  double* destination[] = {out_first.data(), out_second.data()};
  EXPECT_EQ(pair_additional_data(11, 5, source, destination, 2), 2);
  EXPECT_EQ(out_first, (std::vector<double>{3.0, 8.0, 42.0}));
  EXPECT_EQ(out_second, (std::vector<double>{0.5, -3.0, 42.0}));
}

// On random columns with special values the kernels must agree bit for bit with
// the step-by-step evaluation: sums in sample order, each operation rounded.
TEST(KernelTest, MatchStepByStepEvaluationOnRandomColumns) {
  const int64_t n = 1003;
  std::mt19937_64 random(11);
  column_set columns;
  std::vector<double> mean, want_error(KIND_COUNT), want_correlation(KIND_COUNT);
  for (int kind = 0; kind < KIND_COUNT; kind++) {
    columns.push_back(make_column(kind, n, random));
    mean.push_back(columns[kind][kind] + 0.25);  // any mean: the kernel must not recompute it
  }
  std::vector<double> error(KIND_COUNT), correlation(KIND_COUNT);
  for (int64_t length : {2, 17, 1003}) {
    literal_errors(length, columns, mean, want_error, want_correlation);
    calc_additional_errors(length, row_pointers(columns).data(), KIND_COUNT, mean.data(),
                           error.data(), correlation.data());
    for (int c = 0; c < KIND_COUNT; c++) {
      EXPECT_TRUE(same_double(error[c], want_error[c])) << "n " << length << " column " << c;
      EXPECT_TRUE(same_double(correlation[c], want_correlation[c]))
          << "n " << length << " col " << c;
    }
  }
  for (int32_t size : {5, 7, 100, 1003, 1004}) {
    column_set want = literal_blocks(n, size, columns);
    column_set got(KIND_COUNT, std::vector<double>(n / 5 + 1, 42.0));  // 42: must stay untouched
    std::vector<double*> destination;
    for (auto& row : got) destination.push_back(row.data());
    EXPECT_EQ(
        pair_additional_data(n, size, row_pointers(columns).data(), destination.data(), KIND_COUNT),
        n / size);
    for (int c = 0; c < KIND_COUNT; c++)
      for (size_t k = 0; k < got[c].size(); k++)
        EXPECT_TRUE(same_double(got[c][k], k < want[c].size() ? want[c][k] : 42.0))
            << "block size " << size << " column " << c << " entry " << k;
  }
}

// --- Driver. ---

// Standard error and analysis file match the step-by-step evaluation byte for
// byte, for sample counts around every ladder threshold and for the full
// MAX_COLUMNS table.
TEST(DriverTest, MatchesStepByStepAnalysis) {
  const int64_t cases[][2] = {{1, KIND_COUNT},    {2, KIND_COUNT},     {4, KIND_COUNT},
                              {5, KIND_COUNT},    {54, KIND_COUNT},    {55, KIND_COUNT},
                              {110, KIND_COUNT},  {549, KIND_COUNT},   {550, KIND_COUNT},
                              {3001, KIND_COUNT}, {60000, KIND_COUNT}, {60, MAX_COLUMNS},
                              {550000, 4}};
  for (const auto& [n, column_count] : cases) {
    std::mt19937_64 random(static_cast<uint64_t>(n));
    column_set columns;
    for (int k = 0; k < column_count; k++)
      columns.push_back(make_column(k % KIND_COUNT, n, random));
    std::vector<std::string> labels = default_labels(columns.size());
    labels[0] = "energy";
    auto want = literal_analysis(n, columns, labels);
    scoped_temp_dir dir;
    std::string got = run_analysis(n, columns, labels, dir.file("ana.dat"));
    std::string context = format("n %li, %li columns", (long)n, (long)column_count);
    EXPECT_EQ(first_difference(without_nan_sign(want.first), without_nan_sign(got)), "") << context;
    EXPECT_EQ(without_nan_sign(read_file(dir.file("ana.dat"))), without_nan_sign(want.second))
        << context;
  }
}

TEST(DriverTest, LevelLadderAroundThresholds) {
  // Values per level: n samples, then n / s blocks for every s while n / s > 10.
  const std::vector<long> ladders[] = {
      {1},
      {4},
      {54},
      {55, 11},
      {109, 21},
      {110, 22, 11},
      {549, 109, 54},
      {550, 110, 55, 11},
      {549999, 109999, 54999, 10999, 5499, 1099, 549, 109, 54},
      {550000, 110000, 55000, 11000, 5500, 1100, 550, 110, 55, 11}};
  for (const std::vector<long>& ladder : ladders) {
    std::vector<double> counting(ladder[0]);
    for (long i = 0; i < ladder[0]; i++)
      counting[i] = static_cast<double>(i);  // correlated at every level
    scoped_temp_dir dir;
    std::string err = run_analysis(ladder[0], {counting}, {"count"}, dir.file("ana.dat"));
    std::vector<long> levels;
    for (size_t at = err.find("\nAverages for "); at != std::string::npos;
         at = err.find("\nAverages for ", at + 1))
      levels.push_back(std::strtol(err.c_str() + at + 14, nullptr, 10));
    EXPECT_EQ(levels, ladder) << "n " << ladder[0];
    // Never decorrelated: reported with the block count of the last level.
    std::string summary = format("(initial sample size %li)\n\ncount: ", ladder[0]);
    EXPECT_NE(err.find(summary), std::string::npos) << "n " << ladder[0];
    summary = format("with %li samples) *** not decorrelated ***\n", ladder.back());
    EXPECT_NE(err.find(summary), std::string::npos) << "n " << ladder[0];
  }
}

// 120 samples: an alternating column and a counting column, every value worked
// out by hand (all sums below are exact in doubles).
TEST(DriverTest, AlternatingAndCountingColumns) {
  column_set columns(2);
  for (int i = 0; i < 120; i++) {
    columns[0].push_back(i % 2 == 0 ? 1.0 : -1.0);
    columns[1].push_back(i);
  }
  // Blocks of 5 of the alternating column are +-0.2: S and P sum 24 and 23
  // equal terms.
  double squares = 0.0, products = 0.0;
  for (int k = 0; k < 24; k++) squares = squares + 0.2 * 0.2;
  for (int k = 1; k < 24; k++) products = products + 0.2 * -0.2;
  // Counting column: S = n(n^2 - 1)/12 times the block size squared, and
  // P = S - d0^2 + s d0, d0 being the first deviation and s the block size.
  const column_values level0_a = {"col  0", 0.0, std::sqrt(120.0) / std::sqrt(120.0 * 119.0),
                                  -1.0,     120, true};
  const column_values level10_b = {"col  1",
                                   59.5,
                                   std::sqrt(14300.0) / std::sqrt(12.0 * 11.0),
                                   (10725.0 * 12.0) / (14300.0 * 11.0),
                                   12,
                                   false};
  std::string want =
      level_text(120, {level0_a,
                       {"col  1", 59.5, std::sqrt(143990.0) / std::sqrt(120.0 * 119.0),
                        (140390.25 * 120.0) / (143990.0 * 119.0), 0, false}}) +
      level_text(24, {{"col  0", 0.0, std::sqrt(squares) / std::sqrt(24.0 * 23.0),
                       (products * 24.0) / (squares * 23.0), 120, true},
                      {"col  1", 59.5, std::sqrt(28750.0) / std::sqrt(24.0 * 23.0),
                       (25156.25 * 24.0) / (28750.0 * 23.0), 0, false}}) +
      level_text(12, {{"col  0", 0.0, 0.0, 1.0, 120, true}, level10_b}) +
      summary_text(120, {level0_a, level10_b});
  scoped_temp_dir dir;
  std::string err = run_analysis(120, columns, default_labels(2), dir.file("ana.dat"));
  EXPECT_EQ(first_difference(want, err), "");
  for (const char* printed : {" 0.983193\n", " 0.913043\n", " 0.818182\n", "-1.000000 <\n",
                              "(correlation -1.000000 with 120 samples)\n",
                              "(correlation  0.818182 with 12 samples) *** not decorrelated"})
    EXPECT_NE(err.find(printed), std::string::npos) << printed;
  EXPECT_EQ(read_file(dir.file("ana.dat")), file_line({level0_a, level10_b}));
}

TEST(DriverTest, DecorrelationChoice) {
  // Square wave of period 10 on a slow trend: correlation 0.61 on the samples,
  // -1.0 on blocks of 5 (alternating averages), 0.89 on blocks of 10 (the wave
  // averages out, the trend stays). The level of block size 5 must win.
  std::vector<double> wave(200);
  for (int i = 0; i < 200; i++) wave[i] = ((i / 5) % 2 == 0 ? 1.0 : -1.0) + 0.001 * i;
  // Correlation exactly 0.1 (see the kernel test) is not below the threshold.
  std::vector<double> threshold = {6, 2, 11, 10, 4, 6, 6, 0, 4, 2, 4};
  struct choice_case {
    int64_t n;
    const std::vector<double>& samples;
    const char* summary_end;  // of the summary row
    const char* mark;         // the one marked row and what follows it, if any
  };
  const choice_case cases[] = {
      {200, wave, " with 40 samples)\n", " <\n\nAverages for 20 samples:"},
      {11, threshold, " 0.100000 with 11 samples) *** not decorrelated", nullptr}};
  for (const choice_case& c : cases) {
    scoped_temp_dir dir;
    std::string err = run_analysis(c.n, {c.samples}, {"x"}, dir.file("ana.dat"));
    auto want = literal_analysis(c.n, {c.samples}, {"x"});
    EXPECT_EQ(first_difference(want.first, err), "") << "n " << c.n;
    EXPECT_NE(err.find(c.summary_end), std::string::npos) << err;
    size_t mark = err.find(" <\n");
    EXPECT_EQ(mark, c.mark ? err.find(c.mark) : std::string::npos) << err;
    EXPECT_EQ(err.find(" <\n", mark == std::string::npos ? mark : mark + 1), std::string::npos)
        << err;
  }
}

// 56 samples: levels of 56 and 11 values. Correlation is not a number at
// every level, the error too unless the blocks leave a lone infinity out.
TEST(DriverTest, NanAndInfiniteSamplesNeverDecorrelate) {
  struct special_case {
    int position;
    double value;
    const char* blocked_error;  // of the level of 11 blocks and of the summary
  };
  const special_case cases[] = {{10, NAN_VALUE, "nan"},
                                {30, -NAN_VALUE, "nan"},
                                {10, INF, "nan"},
                                {55, INF, "inf"},
                                {55, -INF, "inf"}};
  for (const special_case& c : cases) {
    std::vector<double> column(56);
    for (int i = 0; i < 56; i++) column[i] = i % 7;
    column[c.position] = c.value;
    scoped_temp_dir dir;
    std::string err = without_nan_sign(run_analysis(56, {column}, {"x"}, dir.file("ana.dat")));
    std::string context = format("%g at %d\n", c.value, c.position) + err;
    size_t at = 0;
    for (const char* error : {"nan", c.blocked_error, c.blocked_error}) {
      at = err.find("\nx: ", at + 1);
      ASSERT_NE(at, std::string::npos) << context;
      std::string row = err.substr(at, err.find('\n', at + 1) - at);
      EXPECT_NE(row.find(format(" +/- %16s   ", error)), std::string::npos) << context;
      EXPECT_NE(row.find(at > err.find("\nSummary")
                             ? "(correlation  nan with 11 samples) *** not decorrelated ***"
                             : "Corr. coeff.:  nan"),
                std::string::npos)
          << context;
    }
  }
}

}  // namespace

// Levels worked by hand: 1,3,5,7,2,2,4,0,12 has the mean 4. Level 1 is
// 2,6,2,2 (12 dropped), whose own mean 3 lies off the column's: about it
// S = 12, P = -5. Level 2 is 4,2: S = 2, P = -1. No level 3 (one value).
TEST(PairwiseTest, LevelsOfAWorkedSeries) {
  const std::vector<double> x = {1, 3, 5, 7, 2, 2, 4, 0, 12};
  const double* rows[] = {x.data()};
  const blocking_result r = collect_additional_data(9, rows, 1, nullptr, nullptr, true);
  const pairwise_table& p = r.pairwise;
  ASSERT_EQ(p.level_count, 3);
  EXPECT_EQ(p.block_size, (std::vector<int64_t>{1, 2, 4}));
  EXPECT_EQ(p.count, (std::vector<int64_t>{9, 4, 2}));
  EXPECT_TRUE(same_double(p.error[0], r.level_error[0]));
  EXPECT_TRUE(same_double(p.correlation[0], r.level_correlation[0]));
  EXPECT_EQ(p.error[1], 1.0);
  EXPECT_EQ(p.correlation[1], (-5.0 * 4.0) / (12.0 * 3.0));
  EXPECT_EQ(p.error_error[1], 1.0 / std::sqrt(6.0));
  EXPECT_EQ(p.error[2], 1.0);
  EXPECT_EQ(p.correlation[2], -1.0);
  // The kurtosis about the column's mean: level 1 is -2,2,-2,-2 (m4 / m2^2 =
  // 16 / 4^2), level 2 is 0,-2 (8 / 2^2). The first value against the
  // level's own mean and spread: level 1 is -1,3,-1,-1 about 3, level 2 1,-1.
  EXPECT_DOUBLE_EQ(p.shape[1].kurtosis, 1.0);
  EXPECT_DOUBLE_EQ(p.shape[1].first_deviation, -1 / std::sqrt(3.0));
  EXPECT_DOUBLE_EQ(p.shape[2].kurtosis, 2.0);
  EXPECT_DOUBLE_EQ(p.shape[2].first_deviation, 1.0);
  EXPECT_EQ(r.automatic[0].reason, ESTIMATE_TOO_FEW);
  // Without the estimate asked for, nothing of it is formed (with three
  // columns, the pass over a pair and then a single one).
  const double* three[] = {x.data(), x.data(), x.data()};
  const blocking_result fixed = collect_additional_data(9, three, 3);
  EXPECT_EQ(fixed.pairwise.level_count, 0);
  EXPECT_TRUE(fixed.pairwise.error.empty());
  EXPECT_TRUE(fixed.automatic.empty());
}

// The estimate from given levels (block size 2^k, n >> k values, e_0 = 1):
// v(k) = e_k^2 (1 + 2 r_k) (m - 1) / (m - 3) at the smallest k >= 1 whose
// block holds 1.5 tau of levels k + 1 and k + 2.
TEST(PairwiseTest, EstimateOfGivenLevels) {
  struct level {
    double error, correlation, first_deviation;
  };
  struct estimate_case {
    const char* what;
    int64_t n;
    std::vector<level> levels;  // from level 0
    estimate_reason reason;
    int64_t block_size;
  };
  auto flat = [](double error, double correlation, int levels) {
    return std::vector<level>(static_cast<size_t>(levels), level{error, correlation, 0});
  };
  std::vector<level> flat_levels = flat(1, 0, 12);  // tau(2) = 1023/1021: met at k = 1
  std::vector<level> one_up = flat_levels;          // tau(2) about 3: k = 1 fails
  one_up[2] = {1, 1, 0};
  std::vector<level> slow = flat(11, 0, 12);  // tau about 121: met at B = 256
  slow[0] = {1, 0, 0};
  std::vector<level> two_up = flat_levels;  // tau(3) about 3: k = 1, 2 fail
  two_up[3] = {1, 1, 0};
  std::vector<level> starting_off = flat_levels;  // level 4: B = 16, 256 blocks
  starting_off[4].first_deviation = -7;
  std::vector<level> anticorrelated = flat_levels;  // r below -1/2: no variance at k = 1
  anticorrelated[1].correlation = -0.6;
  std::vector<level> growing;  // a random walk's: tau grows with the block, never met
  for (int k = 0; k < 12; k++) growing.push_back({std::sqrt(double(int64_t{1} << k)), 0.5, 0});
  const estimate_case cases[] = {
      {"flat", 4096, flat_levels, ESTIMATE_OK, 2},
      {"level 2's tau decides", 4096, one_up, ESTIMATE_OK, 4},
      {"level 3's tau decides", 4096, two_up, ESTIMATE_OK, 8},
      {"n = 4096 < 50 tau", 4096, slow, ESTIMATE_TOO_SHORT, 256},
      {"n = 16384 > 50 tau", 16384, slow, ESTIMATE_OK, 256},
      {"first block of 16 at 7 deviations", 4096, starting_off, ESTIMATE_TRANSIENT, 2},
      {"growing", 4096, growing, ESTIMATE_NO_PLATEAU, 256},
      {"anticorrelated blocks", 4096, anticorrelated, ESTIMATE_NO_PLATEAU, 2},
      {"4 values at level 2", 16, flat(1, 0, 4), ESTIMATE_TOO_FEW, 0},
  };
  for (const estimate_case& c : cases) {
    std::vector<int64_t> count;
    std::vector<double> error, correlation;
    std::vector<pairwise_shape> shape;
    for (size_t k = 0; k < c.levels.size(); k++) {
      count.push_back(c.n >> k);
      error.push_back(c.levels[k].error);
      correlation.push_back(c.levels[k].correlation);
      shape.push_back({3.0, c.levels[k].first_deviation});
    }
    const pairwise_column levels = {static_cast<int>(count.size()),
                                    count.data(),
                                    error.data(),
                                    correlation.data(),
                                    shape.data(),
                                    1};
    const automatic_estimate e = estimate_column(c.n, COLUMN_USUAL, levels);
    EXPECT_EQ(e.reason, c.reason) << c.what;
    EXPECT_EQ(e.reliable, c.reason == ESTIMATE_OK) << c.what;
    EXPECT_EQ(e.block_size, c.block_size) << c.what;
    if (c.block_size == 0) continue;
    const int k = __builtin_ctzll(static_cast<unsigned long long>(c.block_size));
    const double m = static_cast<double>(count[k]);
    const double v = (error[k] * error[k]) * (1 + 2 * correlation[k]) * ((m - 1) / (m - 3));
    if (v <= 0) {  // an error of 0, and neither tau nor effective samples
      EXPECT_EQ(e.error, 0.0) << c.what;
      EXPECT_TRUE(std::isnan(e.tau) && std::isnan(e.ess)) << c.what;
      continue;
    }
    EXPECT_DOUBLE_EQ(e.error, std::sqrt(v)) << c.what;
    EXPECT_DOUBLE_EQ(e.tau, v) << c.what;
    EXPECT_DOUBLE_EQ(e.ess, c.n / v) << c.what;
    // Normal block means (kurtosis 3): a quarter of 6 / (m - 1).
    EXPECT_DOUBLE_EQ(e.error_error, e.error * 0.5 * std::sqrt(6 / (m - 1))) << c.what;
  }
}
