// The messages of a read as a read that discarded more leading samples would
// have given them. A run that decides what to discard only once every sample
// is read (--discard=auto) holds its read's events back, then tells them as
// the read with -i would have: the column-count messages of the first line
// kept stand after the comments before that line, and the read-count line
// gives the samples kept and discarded.
//
// The read with -i would also settle the column count, and compare every
// line's field count, on its own first line; a file whose lines differ in
// their field count keeps the messages and columns of the whole read.
#ifndef VARBLOC_DISCARDED_READ_H
#define VARBLOC_DISCARDED_READ_H

#include <cstdint>
#include <string>
#include <vector>

#include "library.h"  // report_event, report_kind

// One event held back, with its texts kept.
struct held_event {
  report_kind kind;
  std::string text;
  error_code code;
  std::string message;  // a warning's; empty otherwise
  int64_t data_lines;   // a comment's: non-comment lines before it; else -1
};

void hold_event(std::vector<held_event>* events, const report_event& event);

// The event to tell; valid while `held` lives.
report_event event_of(const held_event& held);

// The events of a read that stored `samples` samples and discarded
// `discarded` lines, as a read that discarded `start` more would have
// reported them.
std::vector<held_event> events_as_discarded(const std::vector<held_event>& events, int64_t samples,
                                            int32_t discarded, int32_t start);

#endif
