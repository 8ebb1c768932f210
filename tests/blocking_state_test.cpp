// Tests of the streaming state: fed sample by sample, in random chunks, or
// merged from the states of a random split, it gives the in-memory
// analysis's figures and decisions.
#include "analysis/blocking_state.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

// The state adds in another order and about the levels' own means, so its
// figures differ from the in-memory ones by roundings: a few 1e-16 relative,
// more where a sum cancels. Correlations and first-block deviations, which
// are near 0 at many levels, are held to the same bound against their own
// scale of 1; the mean, which lies near 0 for most series here, against the
// samples' standard deviation.
constexpr double AGREEMENT = 1e-12;
// The top three or four pairwise levels, of fewer blocks than any level the
// estimate can settle at (2 AUTOMATIC_PILOT_BLOCKS, its pilot level's least),
// hold 2 to 15 block means about a mean that the in-memory pass reaches by
// moving its sums from the column's mean, across the samples the level
// leaves out: their sums cancel by up to three digits, and the two ways part
// by up to about 1e-11.
constexpr int64_t FEW_BLOCKS = 2 * AUTOMATIC_PILOT_BLOCKS;
constexpr double FEW_BLOCKS_AGREEMENT = 1e-10;
// A level's kurtosis is taken about the column's mean; the state moves its
// fourth powers there from the level's own mean across the difference e of
// the two, through 4 e (sum of cubes), a sum of either sign that cancels
// where the chain starts far off its mean: up to about 3.4e-12 seen on
// levels of 16 to 67 blocks of such a chain.
constexpr double KURTOSIS_AGREEMENT = 1e-11;

// The largest differences seen, on the levels of many blocks and of few.
double largest_difference[2] = {0, 0};

double relative_difference(double want, double got, double scale) {
  if (std::isnan(want) || std::isnan(got)) return std::isnan(want) && std::isnan(got) ? 0 : 1;
  if (want == got) return 0;
  return std::fabs(want - got) / std::max({std::fabs(want), std::fabs(got), scale});
}

void expect_close(double want, double got, double scale, const std::string& what,
                  double bound = AGREEMENT) {
  const double difference = relative_difference(want, got, scale);
  double& largest = largest_difference[bound == FEW_BLOCKS_AGREEMENT ? 1 : 0];
  largest = std::max(largest, difference);
  EXPECT_LE(difference, bound) << what << ": want " << want << ", got " << got;
}

// AR(1) around `offset`: x_i = offset + spread y_i, y_i = phi y_(i-1) + e_i,
// e uniform in [-1, 1), y_0 = start.
std::vector<double> ar1(int64_t n, double phi, double offset, double spread, double start,
                        uint64_t seed) {
  std::mt19937_64 random(seed);
  std::vector<double> x(static_cast<size_t>(n));
  double y = start;
  for (int64_t i = 0; i < n; i++) {
    const double e = static_cast<double>(random() >> 11) * 0x1.0p-53 * 2.0 - 1.0;
    y = i == 0 ? start + e : phi * y + e;
    x[i] = offset + spread * y;
  }
  return x;
}

// A series and the lengths it is tried at.
// With `large_offset`, x - x_0 is exact (Sterbenz), and the figures (but
// the mean) are those of the in-memory analysis of x - x_0: on x itself the
// in-memory block sums round at the offset's scale and lose up to six
// digits at the largest blocks, which the state's sums around x_0 keep.
struct series_case {
  const char* what;
  double phi, offset, spread, start;
  bool large_offset;
};

const series_case SERIES[] = {
    {"independent", 0.0, 0.0, 1.0, 0.0, false},
    {"AR(1) 0.9", 0.9, 0.0, 1.0, 0.0, false},
    {"AR(1) 0.99 from far off its mean", 0.99, 3.0, 1.0, 200.0, false},
    {"energies near -12345.6, spread 0.01", 0.7, -12345.6, 0.01, 0.0, true},
};

// The in-memory analysis the state is held to (see series_case).
blocking_result reference(const std::vector<double>& x, bool large_offset) {
  const int64_t n = static_cast<int64_t>(x.size());
  const double* rows[1] = {x.data()};
  blocking_result direct = collect_additional_data(n, rows, 1, nullptr, nullptr, true);
  if (!large_offset) return direct;
  std::vector<double> shifted(x.size());
  for (size_t i = 0; i < x.size(); i++) shifted[i] = x[i] - x[0];
  rows[0] = shifted.data();
  blocking_result result = collect_additional_data(n, rows, 1, nullptr, nullptr, true);
  result.mean[0] = direct.mean[0];
  return result;
}

// Around the ladder's block sizes and the piece of a state's feeding, and a
// few others.
const int64_t LENGTHS[] = {1,    2,    4,    5,     54,    55,    64,     777,
                           4095, 4096, 4097, 16385, 50000, 65537, 100003, 550000};

// Sample by sample is slow for the longest chains.
constexpr int64_t ONE_BY_ONE_UP_TO = 100003;

void expect_same_result(const blocking_result& want, const blocking_result& got,
                        const std::string& how) {
  ASSERT_EQ(want.samples, got.samples) << how;
  ASSERT_EQ(want.level_count, got.level_count) << how;
  const double spread = want.level_error[0] * std::sqrt(static_cast<double>(want.samples));
  expect_close(want.mean[0], got.mean[0], spread, how + " mean");
  for (int j = 0; j < want.level_count; j++) {
    const std::string level = how + " level " + std::to_string(j);
    expect_close(want.level_error[j], got.level_error[j], 0, level + " error");
    expect_close(want.level_correlation[j], got.level_correlation[j], 1, level + " correlation");
  }
  EXPECT_EQ(want.decision[0].decorrelated, got.decision[0].decorrelated) << how;
  EXPECT_EQ(want.decision[0].level, got.decision[0].level) << how;
  EXPECT_EQ(want.decision[0].count, got.decision[0].count) << how;
  expect_close(want.final_error[0], got.final_error[0], 0, how + " final error");
  const pairwise_table& a = want.pairwise;
  const pairwise_table& b = got.pairwise;
  ASSERT_EQ(a.level_count, b.level_count) << how;
  for (int k = 0; k < a.level_count; k++) {
    const std::string level = how + " pairwise " + std::to_string(k);
    const double bound = a.count[k] < FEW_BLOCKS ? FEW_BLOCKS_AGREEMENT : AGREEMENT;
    EXPECT_EQ(a.count[k], b.count[k]) << level;
    expect_close(a.error[k], b.error[k], 0, level + " error", bound);
    expect_close(a.correlation[k], b.correlation[k], 1, level + " correlation", bound);
    expect_close(a.error_error[k], b.error_error[k], 0, level + " error_error", bound);
    expect_close(a.shape[k].kurtosis, b.shape[k].kurtosis, 0, level + " K",
                 std::max(bound, KURTOSIS_AGREEMENT));
    expect_close(a.shape[k].first_deviation, b.shape[k].first_deviation, 1, level + " first",
                 bound);
  }
  const automatic_estimate& s = want.automatic[0];
  const automatic_estimate& t = got.automatic[0];
  EXPECT_EQ(s.reason, t.reason) << how;
  EXPECT_EQ(s.reliable, t.reliable) << how;
  EXPECT_EQ(s.block_size, t.block_size) << how;
  expect_close(s.error, t.error, 0, how + " automatic error");
  expect_close(s.error_error, t.error_error, 0, how + " automatic error_error");
  expect_close(s.tau, t.tau, 0, how + " tau");
  expect_close(s.ess, t.ess, 0, how + " ess");
}

blocking_result result_of(const column_state& state) {
  return state_result(&state, 1);
}

// The state of x[from, to), fed in chunks of random lengths (up to `longest`).
std::unique_ptr<column_state> fed_in_chunks(const std::vector<double>& x, int64_t from, int64_t to,
                                            int64_t longest, std::mt19937_64& random) {
  auto state = std::make_unique<column_state>();
  state_start(state.get(), from);
  for (int64_t at = from; at < to;) {
    const int64_t chunk = std::min<int64_t>(to - at, 1 + static_cast<int64_t>(random() % longest));
    state_add(state.get(), x.data() + at, chunk);
    at += chunk;
  }
  return state;
}

TEST(BlockingStateTest, EqualsTheInMemoryAnalysisHoweverFed) {
  std::mt19937_64 random(33);
  for (const series_case& series : SERIES) {
    for (int64_t n : LENGTHS) {
      const std::vector<double> x =
          ar1(n, series.phi, series.offset, series.spread, series.start, static_cast<uint64_t>(n));
      const blocking_result want = reference(x, series.large_offset);
      const std::string what = std::string(series.what) + ", n = " + std::to_string(n);

      auto whole = std::make_unique<column_state>();
      state_start(whole.get(), 0);
      state_add(whole.get(), x.data(), n);
      expect_same_result(want, result_of(*whole), what + ", one chunk");

      if (n <= ONE_BY_ONE_UP_TO) {
        auto single = std::make_unique<column_state>();
        state_start(single.get(), 0);
        for (int64_t i = 0; i < n; i++) state_add(single.get(), &x[i], 1);
        expect_same_result(want, result_of(*single), what + ", one by one");
      }
      for (int64_t longest : {int64_t{7}, int64_t{300}, int64_t{70000}}) {
        expect_same_result(want, result_of(*fed_in_chunks(x, 0, n, longest, random)),
                           what + ", chunks up to " + std::to_string(longest));
      }

      // Split at random points (ends, empty and one-sample segments
      // included), each segment's state made on its own and fed in chunks,
      // then merged from the right: (s0 + (s1 + (s2 + s3))).
      std::vector<int64_t> cuts = {0, n};
      for (int i = 0; i < 3; i++) cuts.push_back(static_cast<int64_t>(random() % (n + 1)));
      cuts.push_back(std::min<int64_t>(n, cuts[2] + 1));
      std::sort(cuts.begin(), cuts.end());
      std::unique_ptr<column_state> merged;
      for (size_t s = cuts.size() - 1; s-- > 0;) {
        auto segment = fed_in_chunks(x, cuts[s], cuts[s + 1], 1 + n / 3, random);
        if (merged) state_merge(segment.get(), *merged);
        merged = std::move(segment);
      }
      expect_same_result(want, result_of(*merged), what + ", merged");
    }
  }
  printf("largest relative difference: %.3g, at levels of few blocks %.3g\n", largest_difference[0],
         largest_difference[1]);
}

// What the estimate reads of a column besides its levels comes from the
// state's own record: non-finite samples seen, every sample equal.
TEST(BlockingStateTest, KindOfColumnAsTheSamplesTellIt) {
  struct kind_case {
    const char* what;
    std::vector<double> x;
    estimate_reason reason;
  };
  std::vector<double> constant(100, -12345.6), late_nan = ar1(100, 0.5, 0, 1, 0, 1);
  std::vector<double> differs_late = constant;
  differs_late[99] = -12345.5;
  late_nan[77] = NAN;
  const kind_case cases[] = {
      {"constant", constant, ESTIMATE_CONSTANT},
      // Not constant, though the first segment is.
      {"only the last sample differs", differs_late, ESTIMATE_OK},
      {"a NaN in the second segment", late_nan, ESTIMATE_NON_FINITE},
  };
  for (const kind_case& c : cases) {
    const int64_t n = static_cast<int64_t>(c.x.size());
    const double* rows[1] = {c.x.data()};
    const blocking_result want = collect_additional_data(n, rows, 1, nullptr, nullptr, true);
    ASSERT_EQ(want.automatic[0].reason, c.reason) << c.what;
    column_state left, right;
    state_start(&left, 0);
    state_add(&left, c.x.data(), 50);
    state_start(&right, 50);
    state_add(&right, c.x.data() + 50, n - 50);
    state_merge(&left, right);
    EXPECT_EQ(result_of(left).automatic[0].reason, c.reason) << c.what;
  }
}

}  // namespace
