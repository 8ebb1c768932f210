// Feeding a streaming state against the in-memory analysis, on the same
// samples in memory: an AR(1) chain of N samples (default 10^7, phi 0.9) is
// analysed by collect_additional_data with the automatic estimate, and fed
// to a column_state in chunks of CHUNK samples (default 65536) whose result
// is then formed, alternately, ROUNDS times each. Prints every round's CPU
// seconds of the thread (the machine may be busy; CPU time shows what wall
// time loses to other processes), the medians, and the largest relative
// difference between the two results' level errors.
//
// usage: state_speed [N [CHUNK [ROUNDS]]]
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>  // clock_gettime, CLOCK_THREAD_CPUTIME_ID
#include <memory>
#include <random>
#include <vector>

#include "analysis/blocking_state.h"

namespace {

double thread_cpu_seconds() {
  timespec now;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

double median_of(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

long argument(int argc, char** argv, int at, long fallback) {
  if (argc <= at) return fallback;
  char* end = nullptr;
  const long value = strtol(argv[at], &end, 10);
  if (*end != '\0' || value < 1) {
    fprintf(stderr, "state_speed: not a positive count: %s\n", argv[at]);
    exit(2);
  }
  return value;
}

}  // namespace

int main(int argc, char** argv) {
  const int64_t n = argument(argc, argv, 1, 10000000);
  const int64_t chunk = argument(argc, argv, 2, 65536);
  const long rounds = argument(argc, argv, 3, 5);
  std::vector<double> x(static_cast<size_t>(n));
  std::mt19937_64 random(1);
  std::normal_distribution<double> noise;
  double y = 0;
  for (double& value : x) value = y = 0.9 * y + noise(random);
  const double* rows[1] = {x.data()};

  std::vector<double> memory_seconds, state_seconds;
  double largest = 0;
  for (long round = 0; round < rounds; round++) {
    double start = thread_cpu_seconds();
    const blocking_result want = collect_additional_data(n, rows, 1, nullptr, nullptr, true);
    memory_seconds.push_back(thread_cpu_seconds() - start);

    start = thread_cpu_seconds();
    auto state = std::make_unique<column_state>();
    state_start(state.get(), 0);
    for (int64_t at = 0; at < n; at += chunk)
      state_add(state.get(), &x[at], std::min(chunk, n - at));
    const blocking_result got = state_result(state.get(), 1);
    state_seconds.push_back(thread_cpu_seconds() - start);
    for (int j = 0; j < want.level_count; j++) {
      largest = std::max(largest, std::fabs(want.level_error[j] - got.level_error[j]) /
                                      std::fabs(want.level_error[j]));
    }
    printf("round %ld: in memory %.3f s, state %.3f s\n", round + 1, memory_seconds.back(),
           state_seconds.back());
  }
  printf("median: in memory %.3f s, state %.3f s (%.2f times)\n", median_of(memory_seconds),
         median_of(state_seconds), median_of(state_seconds) / median_of(memory_seconds));
  printf("largest relative difference of the level errors: %.3g\n", largest);
  return 0;
}
