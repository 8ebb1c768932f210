// The equilibration search on series whose start is known by construction.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>  // snprintf
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "library.h"
#include "test_util.h"

namespace {

TEST(EquilibrationTest, StartsOfKnownSeries) {
  struct start_case {
    const char* what;
    std::vector<double> x;
    int64_t lowest, highest;  // the start found lies in [lowest, highest]
    estimate_reason reason;
  };
  const double nan = std::numeric_limits<double>::quiet_NaN();
  std::vector<double> with_nan = ar1_with_step(5000, 0.5, 0, 0, 3);
  with_nan[4000] = nan;
  std::vector<double> early_nan = ar1_with_step(5000, 0.5, 0, 0, 3);
  early_nan[100] = nan;  // in the first half: found by the scan, not the second half's estimate
  const start_case cases[] = {
      // Past the step, by at most one block of the held size.
      {"a step of 5 sigma over the first 3000", ar1_with_step(20000, 0.5, 3000, 5, 1), 3000, 3200,
       ESTIMATE_OK},
      {"stationary", ar1_with_step(20000, 0.5, 0, 0, 2), 0, 1000, ESTIMATE_OK},
      {"constant", std::vector<double>(1000, 2.5), 0, 0, ESTIMATE_CONSTANT},
      {"a single sample", {1.0}, 0, 0, ESTIMATE_TOO_FEW},
      {"too short for 32 blocks", ar1_with_step(200, 0.9, 0, 0, 6), 0, 0, ESTIMATE_TOO_FEW},
      {"a NaN", with_nan, 0, 0, ESTIMATE_NON_FINITE},
      {"an early NaN", early_nan, 0, 0, ESTIMATE_NON_FINITE},
  };
  for (const start_case& c : cases) {
    const double* columns[] = {c.x.data()};
    const int64_t n = static_cast<int64_t>(c.x.size());
    const equilibration_table table = find_equilibration(n, columns, 1, nullptr);
    const equilibration_column& found = table.column[0];
    EXPECT_GE(found.start, c.lowest) << c.what;
    EXPECT_LE(found.start, c.highest) << c.what;
    EXPECT_EQ(found.reason, c.reason) << c.what;
    EXPECT_EQ(table.candidates.front(), 0) << c.what;
    EXPECT_LE(table.candidates.size(), static_cast<size_t>(EQUILIBRATION_CANDIDATES)) << c.what;
    EXPECT_EQ(table.ess.size(), table.candidates.size()) << c.what;
    if (c.reason == ESTIMATE_OK) {
      // The start begins a whole held block from the end, and its effective
      // samples are the automatic estimate's of the rest
      EXPECT_EQ((n - found.start) % found.block_size, 0) << c.what;
      const double* rest[] = {c.x.data() + found.start};
      const blocking_result r = analyse_series(n - found.start, rest, 1, nullptr, true);
      // (up to rounding: the search sums in four lanes).
      EXPECT_NEAR(found.ess, r.automatic[0].ess, 1e-9 * found.ess) << c.what;
    } else {
      EXPECT_TRUE(std::isnan(found.ess)) << c.what;
    }
  }
}

// With several columns, the start that leaves every column equilibrated.
TEST(EquilibrationTest, LatestStartOverColumns) {
  const std::vector<double> early = ar1_with_step(20000, 0.5, 1000, 5, 4),
                            late = ar1_with_step(20000, 0.5, 6000, 5, 5);
  const double* columns[] = {early.data(), late.data(), early.data()};
  const equilibration_table table = find_equilibration(20000, columns, 3, nullptr);
  EXPECT_EQ(latest_start_column(table), 1);
  EXPECT_GE(table.column[1].start, 6000);
  EXPECT_LT(table.column[0].start, 6000);
  EXPECT_EQ(table.column[0].start, table.column[2].start);
}

// A whole run that discards the equilibration found analyses as a run that
// discarded the latest start by count, after the lines -i drops, bit for bit.
TEST(EquilibrationTest, WholeRunFromTheLatestStart) {
  struct run_case {
    const char* what;
    int32_t discard;  // lines every read drops first
    bool automatic;
  };
  const run_case cases[] = {
      {"the search alone", 0, false},
      {"after 500 lines dropped", 500, true},
  };
  const std::vector<double> early = ar1_with_step(20000, 0.5, 1000, 5, 4),
                            late = ar1_with_step(20000, 0.5, 6000, 5, 5);
  std::string text;
  char line[64];
  for (size_t i = 0; i < early.size(); i++) {
    snprintf(line, sizeof line, "%.17g %.17g\n", early[i], late[i]);
    text += line;
  }
  scoped_temp_dir dir;
  const std::string path = dir.file("chains.dat");
  write_file(path, text);
  for (const run_case& c : cases) {
    read_options options;
    options.input_name = path.c_str();
    options.discard_count = c.discard;
    const run_outcome found = run_analysis(options, DISCARD_EQUILIBRATED, c.automatic, nullptr);
    ASSERT_TRUE(found.result && found.equilibration) << c.what;
    EXPECT_EQ(found.start_column, 1) << c.what;
    EXPECT_EQ(found.start, found.equilibration->column[1].start) << c.what;
    EXPECT_EQ(found.read.samples, 20000 - c.discard) << c.what;
    options.discard_count = c.discard + static_cast<int32_t>(found.start);
    const run_outcome counted = run_analysis(options, DISCARD_COUNT, c.automatic, nullptr);
    ASSERT_TRUE(counted.result) << c.what;
    EXPECT_FALSE(counted.equilibration) << c.what;
    EXPECT_EQ(found.result->mean, counted.result->mean) << c.what;
    EXPECT_EQ(found.result->level_error, counted.result->level_error) << c.what;
    EXPECT_EQ(found.result->level_correlation, counted.result->level_correlation) << c.what;
    EXPECT_EQ(render_automatic(*found.result), render_automatic(*counted.result)) << c.what;
  }
}

}  // namespace
