// Writes seeded AR(1) series for the benchmarks: every column follows
// x_t = phi x_(t-1) + e_t with its own coefficient and standard normal e_t.
//
// usage: generate_ar1 SAMPLES COLUMNS FORMAT SEPARATOR SEED [COMMENT_EVERY [PHIS]]
//   FORMAT is a printf conversion for one value ("%.10f", "%.17g", "%.12e");
//   SEPARATOR is "space" or "tab"; a comment line is written first and then
//   every COMMENT_EVERY samples (default 1,000,000; 0 for none). PHIS is a
//   comma-separated list of the columns' coefficients (default: evenly from
//   0 to 0.99, or 0.9 for a single column).
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

namespace {

// Standard normal deviates by the Box-Muller transform: fixed for a seed on
// every platform, unlike std::normal_distribution.
double standard_normal(std::mt19937_64& rng) {
  static bool have_spare = false;
  static double spare;
  if (have_spare) {
    have_spare = false;
    return spare;
  }
  const double scale = 1.0 / 18446744073709551616.0;  // 2^-64
  double u1 = (static_cast<double>(rng()) + 1.0) * scale;
  double u2 = static_cast<double>(rng()) * scale;
  double radius = std::sqrt(-2.0 * std::log(u1));
  spare = radius * std::sin(2.0 * M_PI * u2);
  have_spare = true;
  return radius * std::cos(2.0 * M_PI * u2);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 6) {
    fprintf(stderr,
            "usage: generate_ar1 SAMPLES COLUMNS FORMAT space|tab SEED [COMMENT_EVERY [PHIS]]\n");
    return 2;
  }
  long long samples = atoll(argv[1]);
  int columns = atoi(argv[2]);
  const char* format = argv[3];
  const char* separator = strcmp(argv[4], "tab") == 0 ? "\t" : " ";
  std::mt19937_64 rng(strtoull(argv[5], nullptr, 10));
  long long comment_every = argc > 6 ? atoll(argv[6]) : 1000000;

  std::vector<double> phi(columns), x(columns);
  const char* phis = argc > 7 ? argv[7] : nullptr;
  for (int c = 0; c < columns; c++) {
    if (phis != nullptr) {
      char* next;
      phi[c] = strtod(phis, &next);
      phis = *next == ',' ? next + 1 : next;
    } else {
      phi[c] = columns == 1 ? 0.9 : 0.99 * c / (columns - 1);  // 0 ... 0.99
    }
    // Start from the stationary distribution: no burn-in needed.
    x[c] = standard_normal(rng) / std::sqrt(1.0 - phi[c] * phi[c]);
  }
  printf("# AR(1) benchmark series: %lld samples, %d columns, seed %s\n", samples, columns,
         argv[5]);
  for (long long t = 0; t < samples; t++) {
    if (comment_every > 0 && t > 0 && t % comment_every == 0) printf("# sample %lld\n", t);
    for (int c = 0; c < columns; c++) {
      if (c > 0) fputs(separator, stdout);
      printf(format, x[c]);
      x[c] = phi[c] * x[c] + standard_normal(rng);
    }
    putchar('\n');
  }
  return 0;
}
