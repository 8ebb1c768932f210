#include "json_record.h"

#include <cerrno>
#include <cstdio>   // fwrite, fflush, stdout
#include <cstring>  // strcmp, strerror
#include <exception>
#include <nlohmann/json.hpp>  // Debian nlohmann-json3-dev

#include "library.h"  // append_record

namespace {

// Keys stay in the order they are set.
using json = nlohmann::ordered_json;

// null for a missing value.
template <typename T>
json or_null(const std::optional<T>& value) {
  return value ? json(*value) : json(nullptr);
}

json options_of(const run_record& record) {
  json options;
  options["budget"] = record.budget;
  options["skip_columns"] = record.skip_columns;
  options["discard"] = record.discard;
  options["discard_auto"] = record.discard_auto;
  options["analysis_file"] = record.analysis_file;
  options["column_count"] = or_null(record.column_count);
  return options;
}

json warnings_of(const run_record& record) {
  json warnings = json::array();
  for (const record_warning& w : record.warnings) {
    json entry;
    entry["code"] = w.code;
    entry["count"] = w.count;
    entry["first"] = w.first;
    warnings.push_back(std::move(entry));
  }
  return warnings;
}

// Sets the reason of a failure; without memory even for that, leaves it empty.
void set_reason(std::string* reason, const char* why) noexcept {
  try {
    *reason = why;
  } catch (...) {
    reason->clear();
  }
}

}  // namespace

bool decompressor_failed(std::optional<int> status) {
  return status.has_value() && *status != 0 && *status != 2;
}

void note_decompressor_failure(run_record* record) {
  if (record->status == STATUS_ERROR) return;
  const int number = error_number(ERROR_DECOMPRESSOR_FAILED);
  bool told = false;  // the reader warns of it once its input has ended
  for (const record_warning& warning : record->warnings) told = told || warning.code == number;
  if (!told) {
    if (!decompressor_failed(record->decompressor_status)) return;
    const int status = *record->decompressor_status;
    const int64_t read = record->samples;  // as the reader's own warning counts them
    record->warnings.push_back(
        {number, 1,
         compose_message("The decompressor gzip failed (%s %d): the input is cut or damaged; "
                         "%lld samples were read before it",
                         status > 0 ? "exit status" : "signal", status > 0 ? status : -status,
                         static_cast<long long>(read))});
  }
  if (record->status == STATUS_OK) record->status = STATUS_DECOMPRESSOR_FAILED;
}

std::string format_run_record(const run_record& record) {
  json line;
  // 2: columns carry "automatic" and "pairwise_levels" follows "levels".
  // 3: options carry "discard_auto", columns "equilibration" with it.
  line["schema"] = 3;
  line["version"] = varbloc_version();
  line["input"] = record.input;
  line["options"] = options_of(record);
  if (record.stream) {  // later within 3: only in the records of streamed runs
    line["streamed"] = true;
    line["stream_end"] =
        or_null(record.stream_end != nullptr ? std::optional<std::string>(record.stream_end)
                                             : std::nullopt);
  }
  line["status"] = record.status;
  line["code"] = or_null(record.code);
  line["message"] = or_null(record.message);
  if (record.status == STATUS_ERROR) {
    line["line"] = or_null(record.place.line);
    line["column"] = or_null(record.place.column);
    line["text"] = or_null(record.place.text);
  }
  if (record.reading_started) {
    line["samples"] = record.samples;
    line["discarded"] = record.discarded;
    line["warnings"] = warnings_of(record);
    line["decompressor_status"] = or_null(record.decompressor_status);
  }
  if (record.result.empty()) line["columns"] = json::array();
  // No indent: one line. The library writes each double as the shortest text
  // that reads back to it, and NaN and infinities as null.
  std::string text = line.dump(-1, ' ', false, json::error_handler_t::replace);
  if (!record.result.empty()) {
    // The result's keys follow the run's, in the one object.
    text.back() = ',';
    text.append(record.result, 1, std::string::npos);
  }
  return text + '\n';
}

bool write_run_record(const char* path, const run_record& record, std::string* reason) {
  try {
    std::string line = format_run_record(record);
    errno = 0;
    if (strcmp(path, "-") == 0) {  // standard output, which a run leaves to the record
      if (fwrite(line.data(), 1, line.size(), stdout) == line.size() && fflush(stdout) == 0) {
        return true;
      }
    } else if (append_record(path, line.data(), line.size()) == APPEND_WRITTEN) {
      return true;
    }
    set_reason(reason, errno != 0 ? strerror(errno) : "the write failed");
  } catch (const std::exception& e) {
    set_reason(reason, e.what());
  } catch (...) {
    set_reason(reason, "the record could not be built");
  }
  return false;
}
