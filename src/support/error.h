// Fatal errors and warnings: every condition that stops a run, and the one
// that only deserves a remark, carries a numeric code and a message, printed
// by the program in a fixed frame.
#ifndef VARBLOC_SUPPORT_ERROR_H
#define VARBLOC_SUPPORT_ERROR_H

#include <cstdarg>
#include <exception>
#include <string>

// A condition that ends the run: `code` is negative (the program prints -code
// and exits with its low 8 bits), `message` has no frame, full stop or newline.
class varbloc_error : public std::exception {
 public:
  varbloc_error(int code, std::string message) : code_(code), message_(std::move(message)) {}
  int code() const { return code_; }
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  int code_;
  std::string message_;
};

// Ends the run by throwing varbloc_error; only the program's main ends the
// process, after printing the frame.
[[noreturn]] void fatal(int code, const char* message);

// As fatal, with the message composed from a printf format first. The
// composed message is never cut, whatever its length.
[[noreturn]] void fatal_format(int code, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

// The error a failed allocation ends the run with (fatal error 99), also
// where the standard library reports it with std::bad_alloc.
varbloc_error allocation_error();

// A printf-style message of any length.
std::string compose_message(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string compose_message_list(const char* format, va_list arguments)
    __attribute__((format(printf, 1, 0)));

// "\nFatal error <-code>: <message>.\nProgram halted.\n\n"
std::string fatal_frame(int code, const char* message);

// "\nWarning <-code>: <message>.\n"
std::string warning_frame(int code, const char* message);

// The exit status of a run that ends with `code`: its low 8 bits.
inline int fatal_exit_status(int code) {
  return code & 0xFF;
}

#endif
