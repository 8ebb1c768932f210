// The blocking analysis alone, as the Python module's block() runs it: a
// data file is read with the program's reader, then analyse_series runs on
// its columns the given number of times without the reader's column sums (so
// the analysis sums the columns itself, as it does on a NumPy array). Prints
// the seconds of every round (monotonic clock), their median, and the final
// errors, which must equal those block() gives on load()'s array. The
// thread's CPU time of every round is printed too: on a busy machine it
// shows what the wall time lost to other processes.
//
// Every round runs the fixed analysis alone and the analysis with the
// automatic estimate (what block() runs), in the order fixed, automatic,
// automatic, fixed, ..., and the medians of both and of their ratios end the
// output.
//
// usage: analysis_speed FILE [ROUNDS]      (default 5)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>  // clock_gettime, CLOCK_THREAD_CPUTIME_ID
#include <vector>

#include "library.h"

namespace {

double median_of(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const size_t middle = values.size() / 2;
  if (values.size() % 2 == 1) return values[middle];
  return (values[middle - 1] + values[middle]) / 2;
}

double thread_cpu_seconds() {
  timespec now;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// Wall seconds of one analysis of the whole set, and in *cpu the thread's
// CPU seconds; *result receives the analysis.
double timed_analysis(const sample_set& set, bool automatic, blocking_result* result, double* cpu) {
  const double cpu_start = thread_cpu_seconds();
  const auto start = std::chrono::steady_clock::now();
  *result = analyse_series(set.samples, set.columns, set.column_count, nullptr, automatic);
  const auto stop = std::chrono::steady_clock::now();
  *cpu = thread_cpu_seconds() - cpu_start;
  return std::chrono::duration<double>(stop - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    fprintf(stderr, "usage: analysis_speed FILE [ROUNDS]\n");
    return 2;
  }
  char* end = nullptr;
  const long rounds = argc > 2 ? strtol(argv[2], &end, 10) : 5;
  if (argc > 2 && (*end != '\0' || rounds < 1 || rounds > 1000)) {
    fprintf(stderr, "analysis_speed: ROUNDS must be a number from 1 to 1000\n");
    return 2;
  }
  read_options options;
  options.input_name = argv[1];
  try {
    const sample_set set = read_data_file(options, nullptr);
    if (set.ended_early || set.samples < 1) {
      fprintf(stderr, "analysis_speed: no samples in %s\n", argv[1]);
      return 1;
    }
    printf("%d samples x %d columns\n", set.samples, set.column_count);
    std::vector<double> seconds[2], cpu_seconds[2], ratios, cpu_ratios;
    blocking_result result;
    for (long round = 0; round < rounds; round++) {
      double wall[2], cpu[2];
      for (int turn = 0; turn < 2; turn++) {
        const int automatic = (round % 2 == 0) == (turn == 1);
        wall[automatic] = timed_analysis(set, automatic != 0, &result, &cpu[automatic]);
        seconds[automatic].push_back(wall[automatic]);
        cpu_seconds[automatic].push_back(cpu[automatic]);
      }
      ratios.push_back(wall[1] / wall[0]);
      cpu_ratios.push_back(cpu[1] / cpu[0]);
      printf(
          "round %ld: fixed %.4f s (cpu %.4f s), with the automatic estimate %.4f s (cpu %.4f s)\n",
          round + 1, wall[0], cpu[0], wall[1], cpu[1]);
    }
    printf("median fixed %.4f s (cpu %.4f s), automatic %.4f s (cpu %.4f s)\n",
           median_of(seconds[0]), median_of(cpu_seconds[0]), median_of(seconds[1]),
           median_of(cpu_seconds[1]));
    printf("median ratio automatic / fixed: wall %.3f, cpu %.3f\n", median_of(ratios),
           median_of(cpu_ratios));
    printf("errors");
    for (double error : result.final_error) printf(" %.17g", error);
    printf("\n");
  } catch (const varbloc_error& error) {
    fprintf(stderr, "analysis_speed: error %d: %s\n", -error.code(), error.what());
    return 1;
  }
  return 0;
}
