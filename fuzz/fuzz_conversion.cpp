// libFuzzer target, differential: the fast field conversion against the
// C library's sscanf("%lf") and fast_float on arbitrary fields. Both the
// whole-field entry and the conversion within a line the splitter uses must give
// the same outcome and the same bits as sscanf, and the number scan must read
// a field the same way as fast_float alone, whatever text follows it.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "field_conversion.h"

namespace {

uint64_t bits_of(double value) {
  uint64_t bits;
  memcpy(&bits, &value, sizeof bits);
  return bits;
}

void check_same(conversion_result fast_result, double fast, conversion_result reference_result,
                double reference) {
  if (fast_result != reference_result) abort();
  if (fast_result == CONVERSION_DONE && bits_of(fast) != bits_of(reference)) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A field never holds a blank, a tab or a NUL: it ends at the first one.
  // What follows stands in for the rest of the line.
  std::string line(reinterpret_cast<const char*>(data), size);
  size_t field_length = 0;
  while (field_length < line.size() && !is_field_separator(line[field_length]) &&
         line[field_length] != '\0') {
    field_length++;
  }
  if (field_length == 0) return 0;
  std::string field = line.substr(0, field_length);
  line.resize(std::min(line.size(), line.find('\0', field_length)));  // the text ends at a NUL

  const char* begin = field.data();
  double fast = 0, reference = 0;
  conversion_result fast_result = convert_field(begin, begin + field.size(), &fast);
  conversion_result reference_result =
      convert_field_with_scanf(begin, begin + field.size(), &reference);
  check_same(fast_result, fast, reference_result, reference);

  // Within its line, as the splitter converts it: the same outcome, and the
  // field's end found.
  double in_line = 0;
  const char* field_stop = nullptr;
  conversion_result line_result =
      convert_line_field(line.data(), line.data() + line.size(), &in_line, &field_stop);
  if (field_stop != line.data() + field.size()) abort();
  check_same(line_result, in_line, reference_result, reference);

  // With text to spare after the field the scan reads it; with none,
  // fast_float alone. Same stop, same bits, and sscanf's bits when the number
  // is the whole field.
  const std::string padded = field + " " + std::string(80, '7');
  double alone = 0;
  const char* stop_alone = convert_plain_decimal(begin, begin + field.size(), &alone);
  if (stop_alone == begin + field.size()) {
    check_same(CONVERSION_DONE, alone, reference_result, reference);
  }
  double scanned = 0;
  const char* stop_scanned =
      convert_plain_decimal(padded.data(), padded.data() + padded.size(), &scanned);
  if ((stop_alone == nullptr) != (stop_scanned == nullptr)) abort();
  if (stop_alone != nullptr) {
    if (stop_alone - begin != stop_scanned - padded.data()) abort();
    if (bits_of(alone) != bits_of(scanned)) abort();
  }
  return 0;
}
