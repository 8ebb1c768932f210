// Writes a long seeded stream of samples as text on standard output, fast
// enough to feed the program through a pipe without holding it back: every
// column an AR(1) chain x_t = phi x_(t-1) + e_t with e_t uniform in [-1, 1),
// printed with six decimals by integer arithmetic (printf would be the
// slower side of the pipe).
//
// usage: generate_stream ROWS [COLUMNS [SEED]]   (COLUMNS default 2, at most 8;
//   column c has phi = 0.9 c / (COLUMNS - 1), 0 for one column)
#include <unistd.h>  // write

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int MAX_COLUMNS = 8;
constexpr size_t BUFFER_BYTES = 1 << 20;

void write_all(const char* bytes, size_t count) {
  while (count > 0) {
    const ssize_t written = write(1, bytes, count);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) exit(written < 0 && errno == EPIPE ? 0 : 1);
    bytes += written;
    count -= static_cast<size_t>(written);
  }
}

// Appends x with six decimals ("-12.345678"); |x| < 2^53 / 10^6.
char* put_fixed(char* at, double x) {
  if (x < 0) *at++ = '-';
  const uint64_t scaled = static_cast<uint64_t>(std::fabs(x) * 1e6 + 0.5);
  uint64_t whole = scaled / 1000000, fraction = scaled % 1000000;
  char digits[20];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + whole % 10);
    whole /= 10;
  } while (whole > 0);
  while (n > 0) *at++ = digits[--n];
  *at++ = '.';
  for (int k = 5; k >= 0; k--) {
    at[k] = static_cast<char>('0' + fraction % 10);
    fraction /= 10;
  }
  return at + 6;
}

long long argument(int argc, char** argv, int at, long long fallback) {
  if (argc <= at) return fallback;
  char* end = nullptr;
  const long long value = strtoll(argv[at], &end, 10);
  if (*end != '\0' || value < 1) {
    fprintf(stderr, "generate_stream: not a positive count: %s\n", argv[at]);
    exit(2);
  }
  return value;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    fputs("usage: generate_stream ROWS [COLUMNS [SEED]]\n", stderr);
    return 2;
  }
  const long long rows = argument(argc, argv, 1, 0);
  const int columns = static_cast<int>(argument(argc, argv, 2, 2));
  uint64_t state = static_cast<uint64_t>(argument(argc, argv, 3, 1));
  if (columns > MAX_COLUMNS) {
    fprintf(stderr, "generate_stream: at most %d columns\n", MAX_COLUMNS);
    return 2;
  }
  double phi[MAX_COLUMNS], x[MAX_COLUMNS] = {};
  for (int c = 0; c < columns; c++) phi[c] = columns == 1 ? 0 : 0.9 * c / (columns - 1);
  static char buffer[BUFFER_BYTES];
  size_t used = 0;
  for (long long t = 0; t < rows; t++) {
    char* at = buffer + used;
    for (int c = 0; c < columns; c++) {
      // xorshift64*: fast, and the same stream for a seed everywhere.
      state ^= state >> 12;
      state ^= state << 25;
      state ^= state >> 27;
      const uint64_t bits = state * 0x2545F4914F6CDD1DULL;
      const double e = static_cast<double>(bits >> 11) * 0x1.0p-52 - 1.0;
      x[c] = phi[c] * x[c] + e;
      at = put_fixed(at, x[c]);
      *at++ = c + 1 == columns ? '\n' : ' ';
    }
    used = static_cast<size_t>(at - buffer);
    if (used > BUFFER_BYTES - 64 * MAX_COLUMNS) {
      write_all(buffer, used);
      used = 0;
    }
  }
  write_all(buffer, used);
  return 0;
}
