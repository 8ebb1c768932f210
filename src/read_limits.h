// What the reader accepts at most, and the bytes it treats specially: facts of
// the data file format, shared by the reader's units and told to the front
// ends through the contract.
#ifndef VARBLOC_READ_LIMITS_H
#define VARBLOC_READ_LIMITS_H

#include <cstddef>
#include <cstdint>

// Most columns read from one file (after the skipped ones); the reader's
// per-line buffers hold this many values.
constexpr int32_t MAX_COLUMNS = 2048;

// Longest comment text echoed; longer comments are cut to this and a newline.
constexpr size_t COMMENT_ECHO_LENGTH = 79;

// Control-Z, the end-of-file mark of old DOS files: the reader drops it at
// the start of a line.
constexpr int CONTROL_Z = 0x1A;

#endif
