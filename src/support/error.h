// Fatal errors and warnings: every condition that stops a run, and the one
// that only deserves a remark, carries a numeric code and a message, printed
// by the program in a fixed frame.
#ifndef VARBLOC_SUPPORT_ERROR_H
#define VARBLOC_SUPPORT_ERROR_H

#include <cstdarg>
#include <cstddef>  // size_t
#include <cstdint>
#include <exception>
#include <optional>
#include <string>

// Every code a run can end or warn with. The code is negative; the program
// prints its absolute value (error_number) and exits with its low 8 bits
// (fatal_exit_status). Stored records and scripts know these numbers: they
// never change.
enum error_code : int {
  ERROR_CANNOT_OPEN_INPUT = -1,            // "Cannot open input file %s"
  ERROR_COLUMN_COUNT_NOT_POSITIVE = -2,    // "Please specify a positive number of columns"
  ERROR_TOO_MANY_COLUMNS = -3,             // "Cannot handle more than %d columns"
  ERROR_OPTION_OUT_OF_RANGE = -4,          // "%s must be ...": a caller's read option
  ERROR_LINE_TOO_LONG = -40,               // "Chunk size too small. Contact Tavrosk"
  ERROR_NO_COLUMN_COUNT = -50,             // "Could not determine number of columns ..."
  ERROR_READ_FAILED = -60,                 // "Read error in input file %s"
  ERROR_DECOMPRESSOR_FAILED = -65,         // "The decompressor gzip failed (%s): ..."
  ERROR_NOT_A_NUMBER = -70,                // "Non-numerical data in line %d column %d ..."
  ERROR_OUT_OF_MEMORY = -99,               // "Alloc: Virtual memory exhausted"
  ERROR_TOO_FEW_FIELDS = -100,             // "Expected %d columns, found only %d in line %d"
  WARNING_INCONSISTENT_COLUMNS = -110,     // "Inconsistent number of columns in line %d ..."
  ERROR_ANALYSIS_FILE_NOT_WRITTEN = -120,  // "Could not write analysis file %s"
  ERROR_TOO_MANY_LINES = -200,             // "Cannot handle more than %d lines"
  ERROR_STORAGE_NOT_ALLOCATED = -300,      // "Could not allocate storage array ..."
};

// The exit status of a run that analysed and appended its analysis file but
// could not write its --json record, beside the codes' statuses (a refused
// command line exits with 1). Scripts know it too.
constexpr int EXIT_RECORD_NOT_WRITTEN = 2;

// The number the program prints for a code ("Fatal error 70").
inline int error_number(error_code code) {
  return -static_cast<int>(code);
}

// The exit status of a run that ends with `code`: its low 8 bits.
inline int fatal_exit_status(error_code code) {
  return static_cast<int>(code) & 0xFF;
}

// Most bytes of an offending field that an error keeps.
constexpr size_t PLACE_TEXT_LENGTH = 40;

// Where in the input a data error lies, for the errors whose message names
// it: error 70 has the line, the column and the field's text, error 100 the
// line. Empty where the message names nothing.
struct error_place {
  std::optional<int64_t> line;      // as in the message: comment lines counted
  std::optional<int32_t> column;    // from 0, skipped columns counted
  std::optional<std::string> text;  // the field as read, cut at PLACE_TEXT_LENGTH bytes
};

// A condition that ends the run; `message` has no frame, full stop or newline.
class varbloc_error : public std::exception {
 public:
  varbloc_error(error_code code, std::string message, error_place place = {})
      : code_(code), message_(std::move(message)), place_(std::move(place)) {}
  error_code code() const { return code_; }
  const char* what() const noexcept override { return message_.c_str(); }
  const error_place& place() const { return place_; }

 private:
  error_code code_;
  std::string message_;
  error_place place_;
};

// Ends the run by throwing varbloc_error; only the program's main ends the
// process, after printing the frame.
[[noreturn]] void fatal(error_code code, const char* message);

// As fatal, with the message composed from a printf format first. The
// composed message is never cut, whatever its length.
[[noreturn]] void fatal_format(error_code code, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

// As fatal_format, for an error at a place in the input.
[[noreturn]] void fatal_at(error_code code, error_place place, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// The error a failed allocation ends the run with (fatal error 99), also
// where the standard library reports it with std::bad_alloc.
varbloc_error allocation_error();

// How a run that threw ended, for a front end to print or raise.
struct run_failure {
  error_code code;
  std::string message;
  error_place place;
};

// Called inside a catch block: the code and message of the exception being
// handled, a varbloc_error or std::bad_alloc (fatal error 99). Any other
// exception (run_interrupted among them) is thrown on.
run_failure current_failure();

// A printf-style message of any length.
std::string compose_message(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string compose_message_list(const char* format, va_list arguments)
    __attribute__((format(printf, 1, 0)));

// "\nFatal error <number>: <message>.\nProgram halted.\n\n"
std::string fatal_frame(error_code code, const char* message);

// "\nWarning <number>: <message>.\n"
std::string warning_frame(error_code code, const char* message);

#endif
