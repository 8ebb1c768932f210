#include "discarded_read.h"

#include "library.h"  // read_count_text

namespace {

bool is_reading_line(const held_event& event) {
  return event.kind == REPORT_READING;
}

bool is_read_count_line(const held_event& event) {
  return event.kind == REPORT_READ_COUNT;
}

}  // namespace

void hold_event(std::vector<held_event>* events, const report_event& event) {
  events->push_back({event.kind, std::string(event.text, event.length), event.code,
                     event.message != nullptr ? event.message : "", event.data_lines});
}

report_event event_of(const held_event& held) {
  return {held.kind,
          held.text.data(),
          held.text.size(),
          held.code,
          held.kind == REPORT_WARNING ? held.message.c_str() : nullptr,
          held.data_lines};
}

std::vector<held_event> events_as_discarded(const std::vector<held_event>& events, int64_t samples,
                                            int32_t discarded, int32_t start) {
  // Between "Reading file..." and the read count, the only announcements are
  // those of the first line kept (the column count found, the columns
  // skipped, the store sized); they move to just before the first event that
  // comes after the discarded lines.
  size_t reading = 0;
  while (reading < events.size() && !is_reading_line(events[reading])) reading++;
  size_t count = reading;
  while (count < events.size() && !is_read_count_line(events[count])) count++;
  if (count == events.size()) return events;  // no read count: nothing was kept

  std::vector<held_event> told(events.begin(), events.begin() + static_cast<ptrdiff_t>(reading));
  std::vector<held_event> first_line;
  bool first_line_told = false;
  auto tell_first_line = [&] {
    if (!first_line_told) told.insert(told.end(), first_line.begin(), first_line.end());
    first_line_told = true;
  };
  for (size_t i = reading; i < count; i++) {
    if (i > reading && events[i].kind == REPORT_PROGRESS) first_line.push_back(events[i]);
  }
  for (size_t i = reading; i < count; i++) {
    const held_event& event = events[i];
    if (i > reading && event.kind == REPORT_PROGRESS) continue;
    const bool before_kept_lines =
        i == reading || (event.kind == REPORT_COMMENT && event.data_lines <= discarded + start);
    if (!before_kept_lines) tell_first_line();
    told.push_back(event);
  }
  tell_first_line();
  held_event read_count = events[count];
  read_count.text = read_count_text(samples - start, discarded + start);
  told.push_back(read_count);
  told.insert(told.end(), events.begin() + static_cast<ptrdiff_t>(count) + 1, events.end());
  return told;
}
