#include "input_source.h"

#include <fcntl.h>     // open, O_RDONLY, O_CLOEXEC
#include <poll.h>      // poll
#include <signal.h>    // kill, sigset_t, SIGPIPE, SIGTERM
#include <spawn.h>     // posix_spawnp
#include <sys/stat.h>  // fstat, S_ISREG
#include <sys/wait.h>  // waitpid
#include <time.h>      // nanosleep
#include <unistd.h>    // access, close, pipe2, read

#include <cerrno>
#include <cstring>  // strcmp, strlen

#include "support/error.h"

extern char** environ;

bool is_compressed_name(const char* name) {
  size_t length = strlen(name);
  return length >= 4 && strcmp(name + length - 3, ".gz") == 0;
}

namespace {

[[noreturn]] void cannot_open(const char* name) {
  fatal_format(ERROR_CANNOT_OPEN_INPUT, "Cannot open input file %s", name);
}

// Starts "gzip -dc -- <name>" with its standard output on a pipe; returns the
// read end. "--" keeps a name that begins with '-' from being an option.
int start_decompressor(const char* name, pid_t* child) {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) cannot_open(name);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, ends[1], STDOUT_FILENO);
  // A caller that ignores SIGPIPE (a Python interpreter does) would pass that
  // on: the decompressor of an input abandoned early would then complain of
  // a broken pipe instead of ending quietly.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t default_signals;
  sigemptyset(&default_signals);
  sigaddset(&default_signals, SIGPIPE);
  posix_spawnattr_setsigdefault(&attributes, &default_signals);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
  char* arguments[] = {const_cast<char*>("gzip"), const_cast<char*>("-dc"), const_cast<char*>("--"),
                       const_cast<char*>(name), nullptr};
  int failed = posix_spawnp(child, "gzip", &actions, &attributes, arguments, environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  close(ends[1]);
  if (failed != 0) {
    close(ends[0]);
    cannot_open(name);
  }
  return ends[0];
}

}  // namespace

void open_input(const char* name, input_source* input, const run_hooks* hooks) {
  input->name = name;
  input->fd = -1;
  input->decompressor = 0;
  input->read_with = read;
  input->hooks = hooks;
  if (strcmp(name, "STDIN") == 0) {
    report_format(hooks, REPORT_PROGRESS, "%s", "Reading from standard input.\n");
    input->fd = STDIN_FILENO;
    return;
  }
  if (access(name, F_OK) != 0) cannot_open(name);
  input->fd = open(name, O_RDONLY | O_CLOEXEC);
  if (input->fd < 0) cannot_open(name);
  if (is_compressed_name(name)) {
    // Opening it first tells an unreadable file from one the decompressor
    // merely fails to decompress.
    close(input->fd);
    input->fd = -1;
    input->fd = start_decompressor(name, &input->decompressor);
  }
}

void use_caller_input(const char* name, int fd, const byte_source* source, input_source* input,
                      const run_hooks* hooks) {
  input->name = name;
  input->fd = source != nullptr ? -1 : fd;
  input->decompressor = 0;
  input->read_with = read;
  input->hooks = hooks;
  input->source = source;
  input->caller_fd = true;
}

namespace {

// Pause between looks at a followed file that has no new bytes.
constexpr int FOLLOW_POLL_MS = 100;

// A followed input: waits at the end of a plain file until more is written
// or the stop asks for the end.
size_t read_followed(const input_source* input, char* buffer, size_t capacity) {
  input_follow* follow = input->follow;
  struct stat status;
  const bool plain_file = fstat(input->fd, &status) == 0 && S_ISREG(status.st_mode);
  for (;;) {
    check_interrupted(input->hooks);
    if (follow->before_read != nullptr) follow->before_read(follow->before_read_context);
    if (follow->stop(follow->stop_context)) {
      follow->stopped = true;
      return 0;
    }
    // A pipe may stay silent for long: poll, so that the stop is seen.
    struct pollfd ready = {input->fd, POLLIN, 0};
    const int events = poll(&ready, 1, FOLLOW_POLL_MS);
    if (events < 0 && errno != EINTR) {
      fatal_format(ERROR_READ_FAILED, "Read error in input file %s", input->name);
    }
    if (events <= 0) continue;
    const ssize_t count = input->read_with(input->fd, buffer, capacity);
    if (count > 0) return static_cast<size_t>(count);
    if (count < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      fatal_format(ERROR_READ_FAILED, "Read error in input file %s", input->name);
    }
    if (!plain_file) return 0;  // a pipe's writer has closed it
    const struct timespec pause = {0, FOLLOW_POLL_MS * 1000000L};
    nanosleep(&pause, nullptr);
  }
}

}  // namespace

size_t read_input(const input_source* input, char* buffer, size_t capacity) {
  for (;;) {
    check_interrupted(input->hooks);
    if (input->follow != nullptr && input->source == nullptr) {
      return read_followed(input, buffer, capacity);
    }
    if (input->source != nullptr) {
      return input->source->read(input->source->context, buffer, capacity);
    }
    ssize_t count = input->read_with(input->fd, buffer, capacity);
    if (count >= 0) return static_cast<size_t>(count);
    if (errno != EINTR) fatal_format(ERROR_READ_FAILED, "Read error in input file %s", input->name);
  }
}

namespace {

// Waits for the child; returns its exit status, or minus the signal that
// ended it. None when it cannot be waited for (a caller that ignores
// SIGCHLD has its children reaped by the system).
std::optional<int> reap(pid_t child) {
  int status = 0;
  pid_t reaped;
  while ((reaped = waitpid(child, &status, 0)) < 0 && errno == EINTR) {
  }
  if (reaped != child) return std::nullopt;
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return -WTERMSIG(status);
  return std::nullopt;
}

// Standard input and a descriptor handed in belong to the caller (a Python
// program goes on after a run); the program's end closes them anyway.
bool owns_descriptor(const input_source* input) {
  return input->fd >= 0 && input->fd != STDIN_FILENO && !input->caller_fd;
}

}  // namespace

void close_input(input_source* input) {
  if (owns_descriptor(input)) close(input->fd);
  input->fd = -1;
  if (input->decompressor != 0) {
    input->decompressor_status = reap(input->decompressor);
    input->decompressor = 0;
  }
}

void abandon_input(input_source* input) {
  if (owns_descriptor(input)) close(input->fd);
  input->fd = -1;
  if (input->decompressor != 0) {
    kill(input->decompressor, SIGTERM);
    reap(input->decompressor);
    input->decompressor = 0;
  }
}
