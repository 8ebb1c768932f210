// Reads the input in large blocks and hands out bytes and line chunks, as a
// stdio stream would with getc and fgets, without one library call per line.
#ifndef VARBLOC_LINE_READER_H
#define VARBLOC_LINE_READER_H

#include <cstddef>  // size_t

#include "input_source.h"

// A line is read into a buffer of this size: at most LINE_BUFFER_SIZE - 1
// bytes, its newline included, make one chunk.
constexpr size_t LINE_BUFFER_SIZE = 65536;
constexpr size_t MAX_CHUNK = LINE_BUFFER_SIZE - 1;

struct line_reader {
  const input_source* input;
  char* buffer;     // holds unread bytes in [start, end)
  size_t capacity;  // bytes in buffer
  size_t start;
  size_t end;
  bool exhausted;  // the input has reported its end
};

// Sets up a reader on an open input (allocates its block buffer).
void line_reader_open(line_reader* reader, const input_source* input);
void line_reader_close(line_reader* reader);

// The next byte without consuming it, or -1 at the end of input.
int peek_byte(line_reader* reader);
// Consumes the byte peek_byte returned.
inline void skip_byte(line_reader* reader) {
  reader->start++;
}

// Reads the next chunk: bytes up to and including the first newline, or
// MAX_CHUNK bytes, or what is left before the end of input, whichever is
// shortest. The chunk stays valid until the next call. Returns false when no
// byte was left.
bool next_chunk(line_reader* reader, const char** chunk, size_t* length);

// The bytes already read and not yet consumed, without reading more.
inline const char* unread_begin(const line_reader* reader) {
  return reader->buffer + reader->start;
}
inline const char* unread_end(const line_reader* reader) {
  return reader->buffer + reader->end;
}
// Consumes the unread bytes before `to`, a point within them.
inline void consume_to(line_reader* reader, const char* to) {
  reader->start = static_cast<size_t>(to - reader->buffer);
}

#endif
