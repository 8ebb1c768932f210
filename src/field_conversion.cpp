#include "field_conversion.h"

#include <cstdio>   // sscanf
#include <cstring>  // memcpy

#include <fast_float/fast_float.h>  // fast_float::from_chars: correctly rounded decimal

#include "line_reader.h"  // LINE_BUFFER_SIZE

#if defined(__x86_64__)
#include <immintrin.h>  // SSE2 and AVX2 intrinsics
#define VARBLOC_VECTOR_SCAN 1
#else
#define VARBLOC_VECTOR_SCAN 0
#endif

namespace {

inline bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

// True when the field starts the way a plain decimal number does.
inline bool starts_plain_decimal(const char* begin, const char* end) {
  char first = *begin;
  if (is_digit(first) || first == '.') return true;
  return first == '-' && end - begin > 1 && (is_digit(begin[1]) || begin[1] == '.');
}

// What a scan finds in a plain decimal number: exactly the sign, the digits
// (1 to 19 of them, as one integer) and the decimal exponent that
// fast_float's own scan finds, and where the digits end.
struct decimal_digits {
  uint64_t mantissa;
  int64_t exponent;
  bool negative;
  const char* end;  // after the last digit; an exponent may follow
};

// Every scan reads ahead of the number; it runs only where at least this many
// bytes lie before the end of the text. Shorter texts go to fast_float whole.
constexpr ptrdiff_t SCAN_SPAN = 64;

// ---- The portable scan ----------------------------------------------------
// Digits are read eight at a time with fast_float::read_u64, which gives the
// bytes in text order from the lowest byte up on any machine.

// The high bit of every byte of the word that is not an ASCII digit.
inline uint64_t non_digit_bytes(uint64_t word) {
  return ((word + 0x4646464646464646) | (word - 0x3030303030303030)) & 0x8080808080808080;
}

// The value of the first `count` (0 to 7) digits of the word: they are moved to
// the top bytes and '0's are put in front of them, then all eight are read.
inline uint64_t leading_digits_value(uint64_t word, int count) {
  const int shift = 8 * (8 - count);  // 8 to 64, done in two steps
  const uint64_t moved = (word << (shift / 2)) << (shift - shift / 2);
  const uint64_t zeros = 0x3030303030303030 >> (8 * count);
  return fast_float::parse_eight_digits_unrolled(moved | zeros);
}

constexpr uint64_t POWERS_OF_TEN[9] = {1,      10,      100,      1000,     10000,
                                       100000, 1000000, 10000000, 100000000};

// The portable twin of the vector scans: a '-', up to SCAN_SPAN - 10 integer
// digits one by one, a fraction whose digits after the first whole words are
// read in one step (no loop whose length varies from field to field). Returns
// false for anything else (no digit, more than 19, too long for the span).
bool scan_digits_portable(const char* first, decimal_digits* number) {
  const char* const limit = first + SCAN_SPAN - 8;  // a word read before it stays in the text
  const char* p = first;
  const bool negative = *p == '-';
  p += negative;
  uint64_t mantissa = 0;  // may wrap once past 19 digits; such numbers go the long way
  const char* const integer = p;
  while (p < limit && is_digit(*p)) {
    mantissa = 10 * mantissa + static_cast<uint64_t>(*p - '0');
    ++p;
  }
  int64_t digits = p - integer;
  int64_t exponent = 0;
  if (p < limit && *p == '.') {
    ++p;
    const char* const fraction = p;
    uint64_t word = fast_float::read_u64(p);
    uint64_t non_digits = non_digit_bytes(word);
    while (non_digits == 0 && p + 8 < limit) {
      mantissa = mantissa * 100000000 + fast_float::parse_eight_digits_unrolled(word);
      p += 8;
      word = fast_float::read_u64(p);
      non_digits = non_digit_bytes(word);
    }
    if (non_digits == 0) return false;  // too long for the scan
    const int count = __builtin_ctzll(non_digits) / 8;
    mantissa = mantissa * POWERS_OF_TEN[count] + leading_digits_value(word, count);
    p += count;
    exponent = fraction - p;
    digits -= exponent;
  }
  if (p >= limit || digits == 0 || digits > 19) return false;
  *number = {mantissa, exponent, negative, p};
  return true;
}

// ---- The vector scans (x86-64) ----------------------------------------------
#if VARBLOC_VECTOR_SCAN

// Bytes classified at once, counted from the number's first digit or point.
constexpr int WINDOW = 32;
// Bytes read before the end of the digits to line them up (see digit_values).
constexpr ptrdiff_t LOOK_BEHIND = WINDOW + 1;

// One bit per byte of 16: set for ASCII digits.
inline uint32_t digit_mask_16(__m128i bytes) {
  const __m128i offset = _mm_sub_epi8(bytes, _mm_set1_epi8('0'));
  const __m128i digit = _mm_cmpeq_epi8(_mm_min_epu8(offset, _mm_set1_epi8(9)), offset);
  return static_cast<uint32_t>(_mm_movemask_epi8(digit));
}

// One bit per byte of 16: set for the decimal point.
inline uint32_t point_mask_16(__m128i bytes) {
  return static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('.'))));
}

// 32 zero bytes, then 32 bytes of ones: the 16 bytes from ONES_AFTER + 16 + n
// mark the last n (0 to 16) of 16 bytes, from ONES_AFTER + n the bytes of the
// first half of 32 that lie among the last n (16 to 32).
alignas(64) constexpr char ONES_AFTER[64] = {
    0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,
    0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
    -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1};

// Marks the bytes of the 16 at `offset` (0 or 16) in a window of 32 that lie
// among its last `n` (0 to 32).
inline __m128i last_bytes_mask(int n, int offset) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(ONES_AFTER + n + offset));
}

// The digit values (0 to 9 per byte, 0 outside the number) of the 16 bytes
// at `offset` in the window of 32 that ends at the number's last digit. The
// number has `digits` digits and `fraction` of them after a point (32 when it
// has none). Bytes at or before the point are taken from one place earlier,
// which closes the point's gap: the digits stand side by side at the end.
__attribute__((always_inline)) inline __m128i digit_values(const char* window, int offset,
                                                           int digits, int fraction) {
  const __m128i here = _mm_loadu_si128(reinterpret_cast<const __m128i*>(window + offset));
  const __m128i before = _mm_loadu_si128(reinterpret_cast<const __m128i*>(window + offset - 1));
  const __m128i after_point = last_bytes_mask(fraction, offset);
  const __m128i joined =
      _mm_or_si128(_mm_and_si128(after_point, here), _mm_andnot_si128(after_point, before));
  return _mm_and_si128(_mm_sub_epi8(joined, _mm_set1_epi8('0')), last_bytes_mask(digits, offset));
}

// The value of 16 digit values (0 to 9 per byte, the most significant in
// byte 0). Multiply-add instructions join neighbours into 2-, 4- and 8-digit
// groups.
__attribute__((always_inline)) inline uint64_t value_of_16_digits(__m128i digits) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i tens = _mm_set1_epi32(0x0001000A);           // (10, 1) per pair of digits
  const __m128i hundreds = _mm_set1_epi32(0x00010064);       // (100, 1) per pair of 2-digit groups
  const __m128i ten_thousands = _mm_set1_epi32(0x00012710);  // (10000, 1)
  const __m128i pairs = _mm_packs_epi32(_mm_madd_epi16(_mm_unpacklo_epi8(digits, zero), tens),
                                        _mm_madd_epi16(_mm_unpackhi_epi8(digits, zero), tens));
  const __m128i quads = _mm_madd_epi16(pairs, hundreds);
  const __m128i eights = _mm_madd_epi16(_mm_packs_epi32(quads, quads), ten_thousands);
  const uint64_t both = static_cast<uint64_t>(_mm_cvtsi128_si64(eights));
  return (both & 0xFFFFFFFF) * 100000000 + (both >> 32);
}

// The value of the `digits` (1 to 19) digits that end at `digits_end`, with
// `fraction` of them after a point (32: no point). Reads the 33 bytes before
// digits_end.
__attribute__((always_inline)) inline uint64_t digits_value(const char* digits_end, int digits,
                                                            int fraction) {
  const char* const window = digits_end - WINDOW;
  const uint64_t last_16 = value_of_16_digits(digit_values(window, 16, digits, fraction));
  if (digits <= 16) return last_16;
  return value_of_16_digits(digit_values(window, 0, digits, fraction)) * 10000000000000000 +
         last_16;
}

// The shape of a number from the masks of the WINDOW bytes after its sign:
// digits, an optional point, digits. Returns false when the digits run to the
// window's end (the portable scan takes those).
__attribute__((always_inline)) inline bool scan_digits_from_masks(const char* first, bool negative,
                                                                  uint32_t digit_mask,
                                                                  uint32_t point_mask,
                                                                  const char* text,
                                                                  decimal_digits* number) {
  const char* const start = first + negative;
  const uint64_t non_digits = ~static_cast<uint64_t>(digit_mask);
  const int integer_end = __builtin_ctzll(non_digits);
  const int has_point = static_cast<int>((static_cast<uint64_t>(point_mask) >> integer_end) & 1);
  const int digits_end = __builtin_ctzll(non_digits & (~uint64_t{0} << (integer_end + has_point)));
  const int digits = digits_end - has_point;
  if (digits_end >= WINDOW || digits == 0 || digits > 19) return false;
  if ((start - text) + digits_end < LOOK_BEHIND) return false;
  const int fraction = has_point ? digits_end - integer_end - 1 : WINDOW;
  number->mantissa = digits_value(start + digits_end, digits, fraction);
  number->exponent = has_point ? -fraction : 0;
  number->negative = negative;
  number->end = start + digits_end;
  return true;
}

// SSE2, present on every x86-64: the window in 16-byte halves, the second
// looked at only when the digits run past the first. Returns false for what
// the portable scan must take.
__attribute__((always_inline)) inline bool scan_digits_sse2(const char* text, const char* first,
                                                            decimal_digits* number) {
  const bool negative = *first == '-';
  const __m128i* const start = reinterpret_cast<const __m128i*>(first + negative);
  const __m128i low = _mm_loadu_si128(start);
  uint32_t digit_mask = digit_mask_16(low);
  uint32_t point_mask = point_mask_16(low);
  if (((digit_mask | point_mask) & 0x8000) != 0) {
    const __m128i high = _mm_loadu_si128(start + 1);
    digit_mask |= digit_mask_16(high) << 16;
    point_mask |= point_mask_16(high) << 16;
  }
  return scan_digits_from_masks(first, negative, digit_mask, point_mask, text, number);
}

// AVX2, where the processor has it: the window in one 32-byte piece.
// Returns false for what the portable scan must take.
__attribute__((target("avx2"), always_inline)) inline bool scan_digits_avx2(
    const char* text, const char* first, decimal_digits* number) {
  const bool negative = *first == '-';
  const __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(first + negative));
  const __m256i offset = _mm256_sub_epi8(bytes, _mm256_set1_epi8('0'));
  const __m256i digit = _mm256_cmpeq_epi8(_mm256_min_epu8(offset, _mm256_set1_epi8(9)), offset);
  const uint32_t digit_mask = static_cast<uint32_t>(_mm256_movemask_epi8(digit));
  const uint32_t point_mask =
      static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(bytes, _mm256_set1_epi8('.'))));
  return scan_digits_from_masks(first, negative, digit_mask, point_mask, text, number);
}

#endif  // VARBLOC_VECTOR_SCAN

// ---- The conversion, shared by all scans ------------------------------------

// An exponent after the digits: 'e' or 'E', an optional sign and at least one
// digit, else the number ends before the 'e'. Returns the number's end.
__attribute__((always_inline)) inline const char* scan_exponent(const char* p, const char* end,
                                                                int64_t* exponent) {
  if ((*p | 0x20) != 'e') return p;
  const char* e = p + 1;
  const bool negative_exponent = *e == '-';
  e += *e == '-' || *e == '+';
  if (e >= end || !is_digit(*e)) return p;
  int64_t power = 0;
  while (e < end && is_digit(*e)) {
    if (power < 0x10000000) power = 10 * power + (*e - '0');
    ++e;
  }
  *exponent += negative_exponent ? -power : power;
  return e;
}

// Hands sign, digits and exponent to fast_float's own conversion steps in
// fast_float's order (the exact Clinger computation, else the Eisel-Lemire
// step), so the result is fast_float's, which is sscanf's. Returns the end of
// the number, or null when fast_float::from_chars must convert it whole (a
// case that needs the long comparison, or another rounding mode).
__attribute__((always_inline)) inline const char* convert_digits(decimal_digits number,
                                                                 const char* end, double* value) {
  const char* const stop = scan_exponent(number.end, end, &number.exponent);
  using format = fast_float::binary_format<double>;
  const bool exact = number.exponent >= format::min_exponent_fast_path() &&
                     number.exponent <= format::max_exponent_fast_path() &&
                     number.mantissa <= format::max_mantissa_fast_path();
  if (exact && fast_float::detail::rounds_to_nearest()) {
    double result = static_cast<double>(number.mantissa);
    if (number.exponent < 0) {
      result = result / format::exact_power_of_ten(-number.exponent);
    } else {
      result = result * format::exact_power_of_ten(number.exponent);
    }
    *value = number.negative ? -result : result;
    return stop;
  }
  if (exact) return nullptr;  // another rounding mode: fast_float decides
  fast_float::adjusted_mantissa rounded =
      fast_float::compute_float<format>(number.exponent, number.mantissa);
  if (rounded.power2 < 0) return nullptr;
  fast_float::to_float(number.negative, rounded, *value);
  return stop;
}

// The whole number starting at `first` (a sign, digits and a point, an
// exponent), read by fast_float alone. Returns its end, or null for none.
inline const char* convert_with_fast_float(const char* first, const char* end, double* value) {
  fast_float::from_chars_result result = fast_float::from_chars(first, end, *value);
  if (result.ec != std::errc()) return nullptr;
  return result.ptr;
}

// What follows a scan: the conversion of what it found, or fast_float whole
// for what it did not take; numbers longer than FAST_PATH_MAX_LENGTH are
// refused.
__attribute__((always_inline)) inline const char* finish_plain_decimal(
    bool scanned, const decimal_digits& number, const char* first, const char* end, double* value) {
  const char* stop = scanned ? convert_digits(number, end, value) : nullptr;
  if (stop == nullptr) stop = convert_with_fast_float(first, end, value);
  if (stop == nullptr || stop - first > static_cast<ptrdiff_t>(FAST_PATH_MAX_LENGTH))
    return nullptr;
  return stop;
}

// A number the vector scans leave (digits past their window, too many or too
// few digits, too little text before): the portable scan, else fast_float.
__attribute__((noinline)) const char* convert_left_by_vector_scan(const char* first,
                                                                  const char* end, double* value) {
  decimal_digits number;
  const bool scanned = scan_digits_portable(first, &number);
  return finish_plain_decimal(scanned, number, first, end, value);
}

}  // namespace

// One conversion function per scan, each with its scan inlined. The field
// starts like a plain decimal number at `first`.
const char* convert_plain_decimal_portable(const char* /*text*/, const char* first, const char* end,
                                           double* value) {
  if (!starts_plain_decimal(first, end)) return nullptr;
  decimal_digits number;
  const bool scanned = end - first >= SCAN_SPAN && scan_digits_portable(first, &number);
  return finish_plain_decimal(scanned, number, first, end, value);
}

#if VARBLOC_VECTOR_SCAN
const char* convert_plain_decimal_sse2(const char* text, const char* first, const char* end,
                                       double* value) {
  if (!starts_plain_decimal(first, end)) return nullptr;
  if (end - first < SCAN_SPAN) return finish_plain_decimal(false, {}, first, end, value);
  decimal_digits number;
  if (!scan_digits_sse2(text, first, &number))
    return convert_left_by_vector_scan(first, end, value);
  return finish_plain_decimal(true, number, first, end, value);
}

__attribute__((target("avx2"))) const char* convert_plain_decimal_avx2(const char* text,
                                                                       const char* first,
                                                                       const char* end,
                                                                       double* value) {
  if (!starts_plain_decimal(first, end)) return nullptr;
  if (end - first < SCAN_SPAN) return finish_plain_decimal(false, {}, first, end, value);
  decimal_digits number;
  if (!scan_digits_avx2(text, first, &number))
    return convert_left_by_vector_scan(first, end, value);
  return finish_plain_decimal(true, number, first, end, value);
}
#endif

namespace {

scan_kernel choose_scan_kernel() {
#if VARBLOC_VECTOR_SCAN
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") ? SCAN_AVX2 : SCAN_SSE2;
#else
  return SCAN_PORTABLE;
#endif
}

}  // namespace

conversion_result convert_field_with_scanf(const char* begin, const char* end, double* value) {
  // sscanf measures its whole input, so it gets a private copy of the field.
  // A field is part of one line chunk, so it always fits.
  char copy[LINE_BUFFER_SIZE];
  size_t length = static_cast<size_t>(end - begin);
  if (length >= sizeof copy) length = sizeof copy - 1;
  memcpy(copy, begin, length);
  copy[length] = '\0';
  int converted = sscanf(copy, "%lf", value);
  if (converted == 1) return CONVERSION_DONE;
  return converted == 0 ? CONVERSION_FAILED : CONVERSION_ONLY_WHITE_SPACE;
}

bool scan_kernel_available(scan_kernel kernel) {
  switch (kernel) {
    case SCAN_PORTABLE:
      return true;
    case SCAN_SSE2:
      return VARBLOC_VECTOR_SCAN != 0;
    case SCAN_AVX2:
      return chosen_scan_kernel() == SCAN_AVX2;
  }
  return false;
}

scan_kernel chosen_scan_kernel() {
  static const scan_kernel chosen = choose_scan_kernel();  // once, whoever asks first
  return chosen;
}

const char* convert_plain_decimal_with(scan_kernel kernel, const char* text, const char* begin,
                                       const char* line_end, double* value) {
#if VARBLOC_VECTOR_SCAN
  if (kernel == SCAN_AVX2) return convert_plain_decimal_avx2(text, begin, line_end, value);
  if (kernel == SCAN_SSE2) return convert_plain_decimal_sse2(text, begin, line_end, value);
#else
  (void)kernel;
#endif
  return convert_plain_decimal_portable(text, begin, line_end, value);
}

const char* convert_plain_decimal(const char* text, const char* begin, const char* line_end,
                                  double* value) {
  return convert_plain_decimal_with(chosen_scan_kernel(), text, begin, line_end, value);
}

conversion_result convert_field(const char* begin, const char* end, double* value) {
  double parsed;
  const char* stop = convert_plain_decimal(begin, begin, end, &parsed);
  if (stop != nullptr && (stop == end || *stop == '\r')) {
    *value = parsed;
    return CONVERSION_DONE;
  }
  return convert_field_with_scanf(begin, end, value);
}
