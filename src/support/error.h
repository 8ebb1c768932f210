// Fatal errors and warnings: every condition that stops the program, and the
// one that only deserves a remark, is reported here in a fixed frame.
#ifndef VARBLOC_SUPPORT_ERROR_H
#define VARBLOC_SUPPORT_ERROR_H

// Prints "\nFatal error <-code>: <message>.\nProgram halted.\n\n" on standard
// error and ends the process with `code` as exit value (status = low 8 bits).
[[noreturn]] void fatal(int code, const char* message);

// Prints "\nWarning <-code>: <message>.\n" on standard error and returns.
void warning(int code, const char* message);

// As fatal/warning, with the message composed from a printf format first.
// The composed message is never cut, whatever its length.
[[noreturn]] void fatal_format(int code, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
void warning_format(int code, const char* format, ...) __attribute__((format(printf, 2, 3)));

#ifdef VARBLOC_FUZZING
// In fuzzing builds fatal does not end the process: it throws this, so that
// the fuzzer can release the run and go on with the next input.
struct fatal_exit {
  int code;
};
#endif

#endif
