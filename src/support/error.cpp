#include "support/error.h"

#include <cstdarg>  // va_list
#include <cstdio>   // fprintf, vsnprintf
#include <cstdlib>  // exit
#include <string>

namespace {

// Composes a printf-style message of any length.
std::string compose(const char* format, va_list arguments) {
  va_list copy;
  va_copy(copy, arguments);
  int length = vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (length <= 0) return std::string();
  std::string message(static_cast<size_t>(length) + 1, '\0');
  vsnprintf(&message[0], message.size(), format, arguments);
  message.resize(static_cast<size_t>(length));
  return message;
}

}  // namespace

void fatal(int code, const char* message) {
  fprintf(stderr, "\nFatal error %i: %s.\n", -code, message);
  fputs("Program halted.\n\n", stderr);
#ifdef VARBLOC_FUZZING
  throw fatal_exit{code};
#else
  exit(code);
#endif
}

void warning(int code, const char* message) {
  fprintf(stderr, "\nWarning %i: %s.\n", -code, message);
}

void fatal_format(int code, const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  std::string message = compose(format, arguments);
  va_end(arguments);
  fatal(code, message.c_str());
}

void warning_format(int code, const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  std::string message = compose(format, arguments);
  va_end(arguments);
  warning(code, message.c_str());
}
