// The number scan alone: every field of a data file, already in memory, is
// converted with the program's scan (and with fast_float::from_chars alone,
// for comparison); nothing is stored. Prints seconds and MB/s for each, the
// best of the given number of rounds.
//
// usage: scan_speed FILE [ROUNDS [MEGABYTES [SCAN]]]
//   MEGABYTES: the first megabytes of the file only; SCAN: that one only
//   (fast_float or scan), e.g. to count instructions
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <fast_float/fast_float.h>

#include "field_conversion.h"

namespace {

bool is_separator(char c) {
  return c == ' ' || c == '\t';
}

// Converts every field of every line that is not a comment; returns the sum
// of the values, so that no conversion can be left out.
template <typename Convert>
double convert_all(const char* text, const char* end, Convert convert) {
  double sum = 0;
  const char* p = text;
  while (p < end) {
    if (*p == '#') {
      p = static_cast<const char*>(memchr(p, '\n', end - p)) + 1;
      continue;
    }
    for (;;) {
      while (is_separator(*p)) p++;
      if (*p == '\n') break;
      double value = 0;
      const char* stop = convert(p, end, &value);
      if (stop == nullptr) {
        fprintf(stderr, "not a plain number at byte %td\n", p - text);
        exit(1);
      }
      sum += value;
      p = stop;
    }
    p++;
  }
  return sum;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: scan_speed FILE [ROUNDS [MEGABYTES]]\n");
    return 2;
  }
  const int rounds = argc > 2 ? atoi(argv[2]) : 3;
  FILE* file = fopen(argv[1], "rb");
  if (file == nullptr) return 1;
  const size_t wanted = argc > 3 ? static_cast<size_t>(atof(argv[3]) * 1e6) : SIZE_MAX;
  std::vector<char> data;
  char block[1 << 16];
  size_t count;
  while (data.size() < wanted && (count = fread(block, 1, sizeof block, file)) > 0) {
    data.insert(data.end(), block, block + count);
  }
  fclose(file);
  size_t size = data.size();
  if (wanted < size) {  // whole lines only
    size = wanted;
    while (size > 0 && data[size - 1] != '\n') size--;
  }
  data.resize(size + 128, '\n');  // room for the scans to read ahead
  const char* text = data.data();
  const char* end = text + size;

  const char* const names[] = {"fast_float", "scan"};
  // Rounds alternate between the two, so that a machine busy with other work
  // slows them alike; the best round of each is reported.
  double best[2] = {1e30, 1e30}, sum[2] = {0, 0};
  for (int round = 0; round < rounds; round++) {
    for (int i = 0; i < 2; i++) {
      if (argc > 4 && strcmp(argv[4], names[i]) != 0) continue;
      auto start = std::chrono::steady_clock::now();
      if (i == 0) {
        sum[i] = convert_all(text, end, [](const char* p, const char* e, double* v) -> const char* {
          auto result = fast_float::from_chars(p, e, *v);
          return result.ec == std::errc() ? result.ptr : nullptr;
        });
      } else {
        sum[i] = convert_all(text, end, convert_plain_decimal);
      }
      double seconds =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      if (seconds < best[i]) best[i] = seconds;
    }
  }
  for (int i = 0; i < 2; i++) {
    if (best[i] == 1e30) continue;
    printf("%-10s %.3f s  %5.0f MB/s  (sum %.6g)\n", names[i], best[i], size / best[i] / 1e6,
           sum[i]);
  }
  return 0;
}
