// Writes a seeded Markov chain of the two-dimensional Ising model, one line
// per sweep, as a real Monte Carlo series to analyse with varbloc.
//
// The model: spins s = +1 or -1 on an L x L square lattice with periodic
// edges, energy E = -sum over nearest-neighbour pairs of s_i s_j (coupling 1,
// no field), temperature T in units of the coupling (the critical temperature
// is 2 / ln(1 + sqrt(2)) = 2.2692). The chain starts from random spins (an
// infinite-temperature start, so the first sweeps are equilibration to be
// discarded with varbloc -i) and runs single-spin Metropolis updates: one
// sweep visits every site once in row order and flips its spin with
// probability min(1, exp(-dE / T)).
//
// usage: generate_ising TEMPERATURE SWEEPS SEED [L]     (L defaults to 32)
//
// Output: two comment lines, then per sweep the energy per spin and the
// absolute magnetisation per spin, "%.10f" each. For L a power of two up to
// 32 both are multiples of 1 / 1024 and so printed exactly.
//
// The random numbers come from xoshiro256** seeded through splitmix64, both
// written out here, and the acceptance test compares raw 64-bit integers with
// a precomputed table, so a seed gives the same chain on every machine. (The
// table's five entries depend on the platform's exp() only through their
// last bit, which decides one trial in 2^53.)
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

// splitmix64: expands the seed into the generator's state.
uint64_t splitmix64(uint64_t* state) {
  uint64_t z = (*state += 0x9e3779b97f4a7c15ULL);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
}

uint64_t rotl(uint64_t x, int k) {
  return (x << k) | (x >> (64 - k));
}

// xoshiro256**: 64 random bits per call.
uint64_t xoshiro256ss(uint64_t s[4]) {
  const uint64_t result = rotl(s[1] * 5, 7) * 9;
  const uint64_t t = s[1] << 17;
  s[2] ^= s[0];
  s[3] ^= s[1];
  s[1] ^= s[2];
  s[0] ^= s[3];
  s[2] ^= t;
  s[3] = rotl(s[3], 45);
  return result;
}

bool parse_long(const char* text, long* value) {
  char* end;
  errno = 0;
  *value = strtol(text, &end, 10);
  return errno == 0 && end != text && *end == '\0';
}

bool parse_seed(const char* text, unsigned long long* value) {
  char* end;
  errno = 0;
  *value = strtoull(text, &end, 10);
  return errno == 0 && end != text && *end == '\0' && text[0] != '-';
}

}  // namespace

int main(int argc, char** argv) {
  long sweeps = 0, size = 32;
  unsigned long long seed = 0;
  char* end = nullptr;
  double temperature = argc > 1 ? strtod(argv[1], &end) : 0.0;
  if (argc < 4 || argc > 5 || end == argv[1] || *end != '\0' || !(temperature > 0.0) ||
      !parse_long(argv[2], &sweeps) || sweeps < 0 || !parse_seed(argv[3], &seed) ||
      (argc == 5 && !parse_long(argv[4], &size)) || size < 2 || size > 4096) {
    fprintf(stderr,
            "usage: generate_ising TEMPERATURE SWEEPS SEED [L]   (T > 0, 2 <= L <= 4096)\n");
    return 2;
  }
  uint64_t state = seed;
  uint64_t rng[4];
  for (uint64_t& word : rng) word = splitmix64(&state);

  const int n = static_cast<int>(size);
  const long sites = static_cast<long>(n) * n;

  // accept[k]: a flip with local field sum h = 2k - 4 of the four neighbours
  // changes the energy by dE = 2 s h; it is taken when the random 64-bit
  // integer is below accept[(s h + 4) / 2]. Entries for dE <= 0 accept always.
  uint64_t accept[5];
  for (int k = 0; k < 5; k++) {
    int delta = 2 * (2 * k - 4);  // dE for s h = 2k - 4
    double p = delta <= 0 ? 1.0 : std::exp(-delta / temperature);
    accept[k] = p >= 1.0 ? UINT64_MAX : static_cast<uint64_t>(std::ldexp(p, 64));
  }

  std::vector<int> spin(sites);
  long magnetisation = 0;
  for (int& s : spin) {
    s = (xoshiro256ss(rng) >> 63) ? 1 : -1;
    magnetisation += s;
  }
  long bond_sum = 0;  // sum over pairs of s_i s_j, each pair once
  for (int y = 0; y < n; y++) {
    for (int x = 0; x < n; x++) {
      int s = spin[y * n + x];
      bond_sum += s * (spin[y * n + (x + 1) % n] + spin[((y + 1) % n) * n + x]);
    }
  }

  printf("# 2D Ising model, L=%d periodic, Metropolis, T=%g, seed %llu, %ld sweeps\n", n,
         temperature, seed, sweeps);
  printf("# columns: energy_per_spin abs_magnetisation_per_spin (one line per sweep)\n");
  for (long sweep = 0; sweep < sweeps; sweep++) {
    for (int y = 0; y < n; y++) {
      const int up = ((y + n - 1) % n) * n, row = y * n, down = ((y + 1) % n) * n;
      for (int x = 0; x < n; x++) {
        const int left = (x + n - 1) % n, right = (x + 1) % n;
        const int h = spin[row + left] + spin[row + right] + spin[up + x] + spin[down + x];
        const int s = spin[row + x];
        const int k = (s * h + 4) / 2;
        if (accept[k] == UINT64_MAX || xoshiro256ss(rng) < accept[k]) {
          spin[row + x] = -s;
          magnetisation -= 2 * s;
          bond_sum -= 2 * s * h;
        }
      }
    }
    printf("%.10f %.10f\n", -static_cast<double>(bond_sum) / sites,
           static_cast<double>(labs(magnetisation)) / sites);
  }
  return ferror(stdout) || fflush(stdout) != 0 ? 1 : 0;
}
