#include "support/append.h"

#include <fcntl.h>     // open, fcntl, struct flock
#include <signal.h>    // sigaction, SIGXFSZ
#include <sys/stat.h>  // fstat
#include <unistd.h>    // write, ftruncate, close

#include <cerrno>

namespace {

// Waits for an exclusive lock on the whole file; false when the file system
// does not grant locks (some network file systems without a lock manager).
bool lock_whole_file(int fd) {
  struct flock lock = {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;  // from the start, l_len 0: to any end
  while (fcntl(fd, F_SETLKW, &lock) != 0) {
    if (errno != EINTR) return false;
  }
  return true;
}

// Writes all `length` bytes; `written` counts what went out even on failure.
bool write_all(int fd, const char* bytes, size_t length, size_t* written) {
  *written = 0;
  while (*written < length) {
    ssize_t count = write(fd, bytes + *written, length - *written);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) return false;
    *written += static_cast<size_t>(count);
  }
  return true;
}

// Cuts the file back to `before` bytes, undoing this call's `written` bytes.
// Without the lock another run may have appended since: then the file is
// left alone rather than lose that run's record.
void cut_back(int fd, off_t before, size_t written, bool locked) {
  struct stat status;
  if (!locked &&
      (fstat(fd, &status) != 0 || status.st_size != before + static_cast<off_t>(written))) {
    return;
  }
  while (ftruncate(fd, before) != 0 && errno == EINTR) {
  }
}

// A network file system may report a failed write only when the file is
// closed, and closing released the lock: takes it again and removes this
// call's record if it is still the last thing in the file (otherwise another
// run appended after it, and its record stays).
void cut_back_after_close(const char* path, off_t before, size_t length) {
  int fd = open(path, O_WRONLY | O_CLOEXEC);
  if (fd < 0) return;
  bool locked = lock_whole_file(fd);
  struct stat status;
  if (fstat(fd, &status) == 0 && status.st_size == before + static_cast<off_t>(length)) {
    cut_back(fd, before, length, locked);
  }
  close(fd);
}

// append_record with SIGXFSZ ignored.
append_result append_ignoring_size_signal(const char* path, const char* bytes, size_t length) {
  int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return APPEND_NOT_OPENED;
  bool locked = lock_whole_file(fd);
  // Only a regular file has a length to restore (not /dev/null or a pipe).
  struct stat status;
  bool regular = fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
  off_t before = regular ? status.st_size : 0;

  size_t written = 0;
  bool ok = write_all(fd, bytes, length, &written);
  if (!ok && regular) cut_back(fd, before, written, locked);
  if (close(fd) != 0 && ok) {  // closing also releases the lock
    ok = false;
    if (regular) cut_back_after_close(path, before, length);
  }
  return ok ? APPEND_WRITTEN : APPEND_FAILED;
}

}  // namespace

append_result append_record(const char* path, const char* bytes, size_t length) {
  // A write past a file-size limit (ulimit -f) raises SIGXFSZ, whose default
  // action ends the process before the file is cut back: ignored for the
  // append, so the write fails with EFBIG instead.
  struct sigaction ignore = {}, previous = {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGXFSZ, &ignore, &previous);
  append_result result = append_ignoring_size_signal(path, bytes, length);
  sigaction(SIGXFSZ, &previous, nullptr);
  return result;
}
