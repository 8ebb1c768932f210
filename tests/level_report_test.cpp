// Tests of the report text: the rows of a level table and their mark.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "analysis/level_report.h"

namespace {

// Only a column that decorrelated at this very level earns the mark (not one
// decided later, nor one that never decorrelated, nor one decided earlier);
// "% f" keeps a blank for the sign of non-negative correlations.
TEST(ReportTest, LevelRowsAndDecorrelationMark) {
  const char* labels[] = {"col  0", "col  1", "col  2", "x"};
  const double mean[] = {1.0, -2.25, 0.0, 123456.5}, error[] = {0.5, 0.125, 0.0, 1e-11};
  const double correlation[] = {0.5, -0.05, 1.0, 0.1};
  const column_decision decision[] = {{true, 1, 24}, {true, 2, 12}, {false, 1, 24}, {true, 0, 120}};
  std::string text;
  write_averages(&text, 1, 24, 4, mean, error, correlation, decision, labels);
  EXPECT_EQ(text,
            "\nAverages for 24 samples:\n\n"
            "col  0:     1.0000000000 +/-     0.5000000000   Corr. coeff.:  0.500000 <\n"
            "col  1:    -2.2500000000 +/-     0.1250000000   Corr. coeff.: -0.050000\n"
            "col  2:     0.0000000000 +/-     0.0000000000   Corr. coeff.:  1.000000\n"
            "x: 123456.5000000000 +/-     0.0000000000   Corr. coeff.:  0.100000\n");
}

}  // namespace
