// Writes a seeded data file of the number forms and line shapes real files
// hold besides plain decimals: hex floats, infinities, not-a-number, a leading
// '+', subnormals, overflow and underflow, junk after a number, CR LF ends,
// comments (long ones too), blank-and-tab runs and a CR before a separator.
// Every line holds COLUMNS numeric fields, so the run always gets to the
// analysis; the reader and the analysis see every form.
//
// usage: generate_unusual LINES COLUMNS SEED
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

namespace {

// One numeric field in one of many spellings.
std::string random_number(std::mt19937_64& rng) {
  char text[128];
  double value = static_cast<double>(static_cast<int64_t>(rng() % 2000001) - 1000000) / 1000.0;
  switch (rng() % 24) {
    case 0:
      snprintf(text, sizeof text, "%a", value);
      break;
    case 1:
      snprintf(text, sizeof text, "%+.6f", value);
      break;
    case 2:
      snprintf(text, sizeof text, "%.17g", value * 1e-310);
      break;  // subnormal
    case 3:
      snprintf(text, sizeof text, "%.3fe400", std::fabs(value) + 1);
      break;  // overflow
    case 4:
      snprintf(text, sizeof text, "-%.3fe-400", std::fabs(value));
      break;  // underflow
    case 5:
      snprintf(text, sizeof text, "%.4fxyz", value);
      break;  // junk suffix
    case 6:
      snprintf(text, sizeof text, "%.4fe", value);
      break;  // bare e
    case 7:
      snprintf(text, sizeof text, "%.2fE+5", value);
      break;
    case 8:
      snprintf(text, sizeof text, "%.30f", value / 7);
      break;  // long mantissa
    case 9:
      snprintf(text, sizeof text, "%.25e", value / 3);
      break;
    case 10:
      snprintf(text, sizeof text, "%.0f.", value);
      break;  // trailing point
    case 11:
      snprintf(text, sizeof text, "%s.%03d", value < 0 ? "-" : "", static_cast<int>(rng() % 1000));
      break;
    case 12:
      snprintf(text, sizeof text, "%.5f\r", value);
      break;  // CR before a separator
    case 13:
      snprintf(text, sizeof text, "0x%" PRIx64 "p-20", rng() % 100000);
      break;
    case 14:
      snprintf(text, sizeof text, "%s", rng() % 2 ? "1e-5" : "000123.4500");
      break;
    case 15:
      snprintf(text, sizeof text, "%.17g", value * 1e15);
      break;
    default:
      snprintf(text, sizeof text, "%.10f", value);
      break;
  }
  return text;
}

// Rare non-finite fields: kept to the last column so most columns stay
// finite, and of one family per file. When two different not-a-number values
// meet in one addition, which one comes out depends on the order in which the
// compiler placed the operands, so a file never mixes positive not-a-number
// inputs with the negative one that inf - inf makes at run time.
std::string random_special(std::mt19937_64& rng, int family) {
  const char* infinities[] = {"inf", "-inf", "+INF", "Infinity"};
  const char* positive_nans[] = {"nan", "NAN(7)", "+nan"};
  if (family == 0) return infinities[rng() % 4];
  if (family == 1) return positive_nans[rng() % 3];
  return "-nan";  // the same bits as the run-time default
}

std::string separator(std::mt19937_64& rng) {
  const char* forms[] = {" ", "\t", "  ", " \t ", "\t\t"};
  return forms[rng() % 5];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: generate_unusual LINES COLUMNS SEED\n");
    return 2;
  }
  long lines = atol(argv[1]);
  int columns = atoi(argv[2]);
  const uint64_t seed = strtoull(argv[3], nullptr, 10);
  std::mt19937_64 rng(seed);
  const int special_family = static_cast<int>(seed % 3);
  printf("# unusual number forms, seed %s\r\n", argv[3]);
  for (long line = 0; line < lines; line++) {
    if (rng() % 50 == 0) {  // comments of every length, some past the echo limit
      std::string comment(rng() % 200, 'c');
      printf("#%s%s", comment.c_str(), rng() % 2 ? "\r\n" : "\n");
    }
    std::string text = rng() % 4 == 0 ? separator(rng) : "";
    for (int c = 0; c < columns; c++) {
      if (c > 0) text += separator(rng);
      // The last column carries the non-finite values, now and then.
      text += c == columns - 1 && rng() % 500 == 0 ? random_special(rng, special_family)
                                                   : random_number(rng);
    }
    if (rng() % 4 == 0) text += separator(rng);
    text += rng() % 3 == 0 ? "\r\n" : "\n";
    fputs(text.c_str(), stdout);
  }
  return 0;
}
