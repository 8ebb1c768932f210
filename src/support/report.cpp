#include "support/report.h"

#include <locale.h>  // newlocale, uselocale

#include <cstdarg>
#include <string>

#include "support/error.h"

void report_text(const run_hooks* hooks, report_kind kind, const char* text, size_t length) {
  if (hooks == nullptr || hooks->report == nullptr) return;
  hooks->report(hooks->context, report_event{kind, text, length, error_code{}, nullptr, -1});
}

void report_comment(const run_hooks* hooks, const char* text, size_t length, int64_t data_lines) {
  if (hooks == nullptr || hooks->report == nullptr) return;
  hooks->report(hooks->context,
                report_event{REPORT_COMMENT, text, length, error_code{}, nullptr, data_lines});
}

void report_format(const run_hooks* hooks, report_kind kind, const char* format, ...) {
  if (hooks == nullptr || hooks->report == nullptr) return;
  va_list arguments;
  va_start(arguments, format);
  const std::string text = compose_message_list(format, arguments);
  va_end(arguments);
  report_text(hooks, kind, text.data(), text.size());
}

void report_warning(const run_hooks* hooks, error_code code, const char* message) {
  if (hooks == nullptr || hooks->report == nullptr) return;
  const std::string text = warning_frame(code, message);
  hooks->report(hooks->context,
                report_event{REPORT_WARNING, text.data(), text.size(), code, message, -1});
}

void tally_warning(std::vector<warning_tally>* tallies, const report_event& event) {
  for (warning_tally& tally : *tallies) {
    if (tally.code == error_number(event.code)) {
      tally.count++;
      return;
    }
  }
  tallies->push_back({error_number(event.code), 1, event.message});
}

void check_interrupted(const run_hooks* hooks) {
  if (hooks != nullptr && hooks->interrupted != nullptr && hooks->interrupted(hooks->context)) {
    throw run_interrupted();
  }
}

namespace {

locale_t c_locale() {
  // Made once, whoever asks first; never changed afterwards.
  static const locale_t locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
  return locale;
}

}  // namespace

c_numeric_locale::c_numeric_locale() {
  const locale_t c = c_locale();
  previous_ = c != static_cast<locale_t>(0) ? uselocale(c) : static_cast<locale_t>(0);
}

c_numeric_locale::~c_numeric_locale() {
  if (previous_ != static_cast<locale_t>(0)) uselocale(previous_);
}
