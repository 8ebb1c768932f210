// Statistical check of the blocking analysis on an AR(1) series, whose true
// standard error of the mean is known in closed form.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "test_util.h"

namespace {

const int64_t SAMPLES = 1000000;
const double PHI = 0.9;

// The blocked error at block size b estimates the variance of block means
// times b, which for AR(1) falls short of the long-run variance by the factor
// 1 - 2 phi (1 - phi^b) / (b (1 - phi^2)): 1 - 1.8 / 19 = 0.905 at b = 100,
// so the error (its square root) comes out about 5% low. On top of that the
// error estimated from n / 100 = 10,000 nearly independent blocks has a
// relative spread of about 1 / sqrt(2 * 10,000) = 0.7%. 10% leaves the
// expected 5% bias plus more than six standard deviations of noise.
const double RELATIVE_TOLERANCE = 0.10;

// Standard normal pairs by Box-Muller from a fixed-seed generator, so the
// series is the same on every library (std::normal_distribution is not).
class normal_source {
 public:
  explicit normal_source(uint64_t seed) : random_(seed) {}
  double next() {
    if (has_spare_) {
      has_spare_ = false;
      return spare_;
    }
    double radius = std::sqrt(-2.0 * std::log(open_uniform()));
    double angle = 2.0 * std::acos(-1.0) * open_uniform();
    spare_ = radius * std::sin(angle);
    has_spare_ = true;
    return radius * std::cos(angle);
  }

 private:
  double open_uniform() { return (static_cast<double>(random_() >> 11) + 0.5) * 0x1.0p-53; }
  std::mt19937_64 random_;
  double spare_ = 0.0;
  bool has_spare_ = false;
};

TEST(Ar1StatisticsTest, BlockedErrorMatchesAnalyticError) {
  // x_t = phi x_(t-1) + e_t, started from the stationary distribution N(0, sigma_x^2).
  const double sigma_x = 1.0 / std::sqrt(1.0 - PHI * PHI);
  normal_source normal(20240611);
  std::vector<double> x(SAMPLES);
  x[0] = sigma_x * normal.next();
  for (int64_t t = 1; t < SAMPLES; t++) x[t] = PHI * x[t - 1] + normal.next();

  scoped_temp_dir dir;
  const double* rows[] = {x.data()};
  const char* labels[] = {"ar1"};
  std::string err = analysis_output(SAMPLES, rows, 1, labels, dir.file("ana.dat").c_str());

  double mean = 0.0, error = 0.0;
  ASSERT_EQ(sscanf(read_file(dir.file("ana.dat")).c_str(), "%lf %lf", &mean, &error), 2);
  // Long-run variance sigma_x^2 (1 + phi) / (1 - phi), shared by n samples.
  const double analytic = sigma_x * std::sqrt((1.0 + PHI) / (1.0 - PHI) / SAMPLES);
  EXPECT_NEAR(error / analytic, 1.0, RELATIVE_TOLERANCE)
      << "blocked error " << error << ", analytic " << analytic;
  EXPECT_LT(std::fabs(mean), 5.0 * analytic) << "mean " << mean;

  // Block means of 50 keep a lag-1 correlation of about 0.12, those of 100
  // about 0.05: decorrelation at block size 100, that is 10,000 blocks.
  size_t level_100 = err.find("\nAverages for 10000 samples:\n");
  ASSERT_NE(level_100, std::string::npos) << err;
  std::string table = err.substr(level_100, err.find("\nAverages", level_100 + 1) - level_100);
  EXPECT_NE(table.find(" <\n"), std::string::npos) << table;
  EXPECT_NE(err.find(" with 10000 samples)\n"), std::string::npos) << err;
}

}  // namespace
