#include "line_reader.h"

#include <cstdlib>  // free
#include <cstring>  // memchr, memmove

#include "support/alloc.h"

namespace {

// Bytes asked of the input per read; the buffer also holds a partial chunk.
constexpr size_t READ_BLOCK = size_t{1} << 20;

// Moves the unread bytes to the front and reads more behind them. Returns
// false when the input has ended and nothing new arrived.
bool refill(line_reader* reader) {
  if (reader->exhausted) return false;
  size_t unread = reader->end - reader->start;
  if (reader->start > 0) {
    memmove(reader->buffer, reader->buffer + reader->start, unread);
    reader->start = 0;
    reader->end = unread;
  }
  size_t count =
      read_input(reader->input, reader->buffer + reader->end, reader->capacity - reader->end);
  if (count == 0) {
    reader->exhausted = true;
    // The unread bytes are a line without its newline: a followed input
    // stopped while it was being written leaves it unread.
    const input_follow* follow = reader->input->follow;
    if (follow != nullptr && follow->stopped) reader->end = reader->start;
    return false;
  }
  reader->end += count;
  return true;
}

}  // namespace

void line_reader_open(line_reader* reader, const input_source* input) {
  reader->input = input;
  reader->capacity = READ_BLOCK + LINE_BUFFER_SIZE;
  reader->buffer = static_cast<char*>(xmalloc(reader->capacity));
  reader->start = 0;
  reader->end = 0;
  reader->exhausted = false;
}

void line_reader_close(line_reader* reader) {
  free(reader->buffer);
  reader->buffer = nullptr;
}

int peek_byte(line_reader* reader) {
  while (reader->start == reader->end) {
    if (!refill(reader)) return -1;
  }
  return static_cast<unsigned char>(reader->buffer[reader->start]);
}

bool next_chunk(line_reader* reader, const char** chunk, size_t* length) {
  size_t scanned = 0;  // bytes already known to hold no newline
  for (;;) {
    size_t unread = reader->end - reader->start;
    size_t window = unread < MAX_CHUNK ? unread : MAX_CHUNK;
    const char* begin = reader->buffer + reader->start;
    const char* newline = static_cast<const char*>(memchr(begin + scanned, '\n', window - scanned));
    size_t taken = 0;
    if (newline != nullptr) {
      taken = static_cast<size_t>(newline - begin) + 1;
    } else if (window == MAX_CHUNK) {
      taken = MAX_CHUNK;
    } else {
      scanned = window;
      if (refill(reader)) continue;
      taken = reader->end - reader->start;
      if (taken == 0) return false;
    }
    *chunk = reader->buffer + reader->start;
    *length = taken;
    reader->start += taken;
    return true;
  }
}
