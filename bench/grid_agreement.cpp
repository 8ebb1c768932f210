// The equilibration search on a grid against the search in memory, on
// seeded AR(1) chains with a transient 20 exp(-t / T) (and stationary ones,
// T = 0): per chain the two starts, their difference in grid blocks, the
// in-memory search's effective samples at the grid's start over its best,
// and the automatic error of the samples after each start. Prints the
// distribution over the chains.
//
// usage: grid_agreement CHAINS N PHI T
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "analysis/equilibration_grid.h"
#include "library.h"

namespace {

double quantile(std::vector<double> v, double q) {
  std::sort(v.begin(), v.end());
  return v[static_cast<size_t>(q * static_cast<double>(v.size() - 1))];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    fputs("usage: grid_agreement CHAINS N PHI T\n", stderr);
    return 2;
  }
  const int chains = atoi(argv[1]);
  const int64_t n = atoll(argv[2]);
  const double phi = atof(argv[3]), t = atof(argv[4]);
  std::vector<double> blocks_apart, ess_ratio, error_ratio;
  int within_one = 0, within_two = 0;
  int64_t g = 0;
  for (int chain = 0; chain < chains; chain++) {
    std::mt19937_64 engine(1000 + static_cast<unsigned>(chain));
    std::normal_distribution<double> normal;
    std::vector<double> x(static_cast<size_t>(n));
    double value = normal(engine);
    const double scale = std::sqrt(1 - phi * phi);
    for (int64_t i = 0; i < n; i++) {
      x[i] = value + (t > 0 ? 20 * std::exp(-static_cast<double>(i) / t) : 0.0);
      value = phi * value + scale * normal(engine);
    }
    const double* columns[] = {x.data()};
    const equilibration_table memory = search_equilibration(n, columns, 1, nullptr);
    equilibration_grid grid;
    grid_start(&grid);
    grid_add(&grid, x.data(), n);
    const equilibration_table table = grid_search(&grid, 1, nullptr);
    g = grid_block_samples(grid);
    const int64_t a = memory.column[0].start, b = table.column[0].start;
    const double apart = static_cast<double>(std::llabs(a - b)) / static_cast<double>(g);
    blocks_apart.push_back(apart);
    within_one += apart <= 1;
    within_two += apart <= 2;
    // The in-memory effective samples at the candidate at or before the
    // grid's start, over their largest.
    double best = 0, there = 0;
    for (size_t i = 0; i < memory.candidates.size(); i++) {
      if (std::isfinite(memory.ess[i])) best = std::max(best, memory.ess[i]);
      if (memory.candidates[i] <= b && std::isfinite(memory.ess[i])) there = memory.ess[i];
    }
    ess_ratio.push_back(there / best);
    const double* rest_a[] = {x.data() + a};
    const double* rest_b[] = {x.data() + b};
    const blocking_result ra = analyse_series(n - a, rest_a, 1, nullptr, true);
    const blocking_result rb = analyse_series(n - b, rest_b, 1, nullptr, true);
    error_ratio.push_back(rb.automatic[0].error / ra.automatic[0].error);
  }
  printf(
      "| n | phi | T | chains | g | within 1 grid block | within 2 | median blocks apart | 90%% | "
      "max | in-memory ess at the grid's start / its best: median | 10%% | min | "
      "automatic error after the grid's start / after the in-memory one: median | min-max |\n");
  printf(
      "| %lld | %g | %g | %d | %lld | %.0f%% | %.0f%% | %.1f | %.1f | %.1f | %.4f | %.4f | %.4f | "
      "%.4f | %.4f-%.4f |\n",
      static_cast<long long>(n), phi, t, chains, static_cast<long long>(g),
      100.0 * within_one / chains, 100.0 * within_two / chains, quantile(blocks_apart, 0.5),
      quantile(blocks_apart, 0.9), quantile(blocks_apart, 1.0), quantile(ess_ratio, 0.5),
      quantile(ess_ratio, 0.1), quantile(ess_ratio, 0.0), quantile(error_ratio, 0.5),
      quantile(error_ratio, 0.0), quantile(error_ratio, 1.0));
  return 0;
}
