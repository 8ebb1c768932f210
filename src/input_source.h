// Where the samples come from: a plain file, standard input, or the output of
// the decompressor for names ending in ".gz". Read in blocks with read().
#ifndef VARBLOC_INPUT_SOURCE_H
#define VARBLOC_INPUT_SOURCE_H

#include <sys/types.h>  // pid_t, ssize_t

#include <cstddef>  // size_t
#include <optional>

#include "support/report.h"  // run_hooks, byte_source

// How bytes are read from a descriptor: read(2), or a stand-in in tests.
typedef ssize_t (*read_function)(int fd, void* buffer, size_t count);

// How an input that is still being written is read (like tail -f): at the
// end of a plain file the read waits for more, polling `stop` about ten times
// a second; the end of a pipe is the end. When `stop` ends the read, a line
// without its newline yet is left unread (`stopped` is then set).
struct input_follow {
  bool (*stop)(void* context);
  void* stop_context;
  // Called before every read of the input, also while waiting; may be null.
  void (*before_read)(void* context);
  void* before_read_context;
  bool stopped;
};

struct input_source {
  int fd;                               // descriptor read from
  pid_t decompressor;                   // the gzip process, or 0 when the input is not a pipe
  const char* name;                     // the name as given ("STDIN" for standard input)
  read_function read_with;              // read(2) unless a test injects failures
  const run_hooks* hooks;               // polled for interruption between reads; may be null
  const byte_source* source = nullptr;  // the caller's bytes, read instead of fd
  bool caller_fd = false;               // fd is the caller's: left open
  input_follow* follow = nullptr;       // set: the input is followed as it grows
  // How the decompressor ended, once reaped at the end of the input: its exit
  // status, or minus the signal that ended it. None for an input without
  // one, or one stopped before the input ended.
  std::optional<int> decompressor_status = std::nullopt;
};

// True for names of at least four characters ending in ".gz".
bool is_compressed_name(const char* name);

// Opens the named input. "STDIN" uses standard input and is announced through
// `hooks` (may be null); a missing file, or one that cannot be opened, ends
// the run with fatal error 1. A compressed file is read through "gzip -dc",
// started without a shell so the name reaches it unchanged as one argument;
// its standard error passes through.
void open_input(const char* name, input_source* input, const run_hooks* hooks = nullptr);

// Takes an input the caller has open: its descriptor `fd` (left open at the
// end), or when `source` is given, the bytes it hands out. Nothing is
// decompressed; `name` names the input in messages.
void use_caller_input(const char* name, int fd, const byte_source* source, input_source* input,
                      const run_hooks* hooks);

// Reads up to `capacity` bytes; returns the count, 0 at the end of input
// (for a followed input, once its stop asks for the end).
// A read error ends the run with fatal error 60; the input's hooks are polled
// before every read.
size_t read_input(const input_source* input, char* buffer, size_t capacity);

// Closes the input (fd becomes -1) and, for a pipe, waits for the
// decompressor and keeps how it ended in decompressor_status. The run does
// not depend on it: a truncated file still yields its readable part.
void close_input(input_source* input);

// Closes the input of a run that ends before the input does: a decompressor
// still running is stopped and reaped, so no process is left behind. Does
// nothing for an input already closed.
void abandon_input(input_source* input);

#endif
