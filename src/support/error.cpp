#include "support/error.h"

#include <cstdarg>  // va_list
#include <cstdio>   // vsnprintf

std::string compose_message_list(const char* format, va_list arguments) {
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

void fatal(int code, const char* message) {
  throw varbloc_error(code, message);
}

void fatal_format(int code, const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  std::string message = compose_message_list(format, arguments);
  va_end(arguments);
  throw varbloc_error(code, std::move(message));
}

varbloc_error allocation_error() {
  return varbloc_error(-99, "Alloc: Virtual memory exhausted");
}

std::string compose_message(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  std::string message = compose_message_list(format, arguments);
  va_end(arguments);
  return message;
}

std::string fatal_frame(int code, const char* message) {
  return compose_message("\nFatal error %i: %s.\nProgram halted.\n\n", -code, message);
}

std::string warning_frame(int code, const char* message) {
  return compose_message("\nWarning %i: %s.\n", -code, message);
}
