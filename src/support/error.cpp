#include "support/error.h"

#include <cstdarg>  // va_list
#include <cstdio>   // vsnprintf
#include <new>      // bad_alloc

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

void fatal(error_code code, const char* message) {
  throw varbloc_error(code, message);
}

void fatal_format(error_code code, const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  std::string message = compose_message_list(format, arguments);
  va_end(arguments);
  throw varbloc_error(code, std::move(message));
}

void fatal_at(error_code code, error_place place, const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  std::string message = compose_message_list(format, arguments);
  va_end(arguments);
  throw varbloc_error(code, std::move(message), std::move(place));
}

varbloc_error allocation_error() {
  return varbloc_error(ERROR_OUT_OF_MEMORY, "Alloc: Virtual memory exhausted");
}

std::string compose_message(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  std::string message = compose_message_list(format, arguments);
  va_end(arguments);
  return message;
}

run_failure current_failure() {
  try {
    throw;
  } catch (const varbloc_error& error) {
    return {error.code(), error.what(), error.place()};
  } catch (const std::bad_alloc&) {
    const varbloc_error error = allocation_error();
    return {error.code(), error.what(), {}};
  }
}

std::string fatal_frame(error_code code, const char* message) {
  return compose_message("\nFatal error %i: %s.\nProgram halted.\n\n", error_number(code), message);
}

std::string warning_frame(error_code code, const char* message) {
  return compose_message("\nWarning %i: %s.\n", error_number(code), message);
}
