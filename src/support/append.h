// Appending one record to a file that other processes may append to at the
// same time: the record lands whole, or the file stays as it was.
#ifndef VARBLOC_SUPPORT_APPEND_H
#define VARBLOC_SUPPORT_APPEND_H

#include <cstddef>

// What became of an append_record call.
enum append_result {
  APPEND_WRITTEN,     // the whole record is in the file
  APPEND_NOT_OPENED,  // the file would not open for appending; nothing changed
  APPEND_FAILED,      // a write or the close failed; the file was cut back to
                      // its length before the call
};

// Appends the `length` bytes at `bytes` to the file at `path`, created (mode
// 0666 less the umask) when missing. The file is held under an exclusive
// POSIX record lock for the append where the file system grants one, so
// records of concurrent runs never mix; the bytes go out in one write
// (continued only after a short write).
append_result append_record(const char* path, const char* bytes, size_t length);

#endif
