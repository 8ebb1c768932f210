// Tests of the JSON record: keys and their order at each stage a run can end
// in, texts that are not plain (quotes, newlines, bytes that are not UTF-8),
// numbers that must read back bit for bit, a record of 2048 columns, and the
// append with its failures.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstring>  // memcmp
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <vector>

#include "program/json_record.h"
#include "test_util.h"

namespace {

using json = nlohmann::ordered_json;

constexpr const char* REPLACEMENT = "\xef\xbf\xbd";  // U+FFFD in UTF-8

// The result of `columns` columns of `levels` levels, every value 0.5, with
// the automatic estimate and the pairwise levels.
blocking_result analysed_result(int columns, int levels) {
  blocking_result result;
  result.samples = 20000;
  result.column_count = columns;
  result.level_count = levels;
  const int32_t sizes[] = {1, 5, 10, 50, 100, 500, 1000, 5000, 10000, 50000};
  for (int k = 0; k < levels; k++) {
    result.block_size[k] = sizes[k];
    result.level_values[k] = 20000 / sizes[k];
  }
  const size_t table = static_cast<size_t>(columns) * static_cast<size_t>(levels);
  result.mean.assign(columns, 0.5);
  result.final_error.assign(columns, 0.5);
  result.final_correlation.assign(columns, 0.5);
  result.level_error.assign(table, 0.5);
  result.level_correlation.assign(table, 0.5);
  result.decision.assign(columns, column_decision{true, levels - 1, 40});
  result.automatic.assign(columns, automatic_estimate{0.5, 0.5, 4, 0.5, 0.5, true, ESTIMATE_OK});
  pairwise_table& pairwise = result.pairwise;
  pairwise.level_count = levels;
  for (int k = 0; k < levels; k++) {
    pairwise.block_size.push_back(int64_t{1} << k);
    pairwise.count.push_back(20000 >> k);
  }
  pairwise.error.assign(table, 0.5);
  pairwise.correlation.assign(table, 0.5);
  pairwise.error_error.assign(table, 0.5);
  return result;
}

// The search that found every column's start at 100.
equilibration_table equilibration_of(int columns) {
  equilibration_table table;
  table.column_count = columns;
  table.column.assign(columns, equilibration_column{100, 0.5, 0.5, 4, ESTIMATE_OK});
  return table;
}

// A run that analysed `result`.
run_record analysed_run(const blocking_result& result) {
  run_record r;
  r.input = "data.txt";
  r.budget = 2000000000;
  r.skip_columns = 1;
  r.discard = 100;
  r.analysis_file = "ana.dat";
  r.status = STATUS_OK;
  r.reading_started = true;
  r.samples = 20000;
  r.discarded = 100;
  r.warnings.push_back({110, 3, "Inconsistent number of columns in line 7 (non-fatal)"});
  const equilibration_table table = equilibration_of(result.column_count);
  r.result = result_json(result, &table);
  return r;
}

run_record analysed_run(int columns, int levels) {
  return analysed_run(analysed_result(columns, levels));
}

std::vector<std::string> keys_of(const json& object) {
  std::vector<std::string> keys;
  for (auto item = object.begin(); item != object.end(); ++item) keys.push_back(item.key());
  return keys;
}

// The record's text: one line, its only newline at the end; and parsed back.
json formatted_and_parsed(const run_record& record, const std::string& intent) {
  std::string line = format_run_record(record);
  EXPECT_EQ(line.find('\n'), line.size() - 1) << intent;
  return json::parse(line);
}

TEST(JsonRecordTest, KeysInOrderForEachWayARunEnds) {
  struct stage_case {
    const char* intent;
    const char* status;
    bool reading_started;
    bool analysed;
    std::vector<std::string> keys;
  };
  const std::vector<std::string> always = {"schema", "version", "input",  "options",
                                           "status", "code",    "message"};
  const std::vector<std::string> read = {"samples", "discarded", "warnings", "decompressor_status"};
  // Every record has "columns"; only a failed one the error's place.
  auto keys = [&](std::vector<std::vector<std::string>> parts) {
    std::vector<std::string> all = always;
    for (const std::vector<std::string>& part : parts)
      all.insert(all.end(), part.begin(), part.end());
    return all;
  };
  const std::vector<std::string> place = {"line", "column", "text"};
  const stage_case cases[] = {
      {"fatal error before reading", STATUS_ERROR, false, false, keys({place, {"columns"}})},
      {"fatal error while reading", STATUS_ERROR, true, false, keys({place, read, {"columns"}})},
      {"early end after reading", STATUS_EARLY_END, true, false, keys({read, {"columns"}})},
      {"analysed", STATUS_OK, true, true, keys({read, {"columns", "levels", "pairwise_levels"}})},
  };
  for (const stage_case& c : cases) {
    run_record r = analysed_run(2, 3);
    r.status = c.status;
    r.reading_started = c.reading_started;
    if (!c.analysed) r.result.clear();
    json parsed = formatted_and_parsed(r, c.intent);
    EXPECT_EQ(keys_of(parsed), c.keys) << c.intent;
    EXPECT_EQ(parsed["schema"], 3) << c.intent;
    EXPECT_TRUE(parsed["version"].is_string()) << c.intent;
    EXPECT_EQ(keys_of(parsed["options"]),
              (std::vector<std::string>{"budget", "skip_columns", "discard", "discard_auto",
                                        "analysis_file", "column_count"}))
        << c.intent;
  }
  json parsed = formatted_and_parsed(analysed_run(2, 3), "analysed");
  EXPECT_EQ(keys_of(parsed["warnings"][0]), (std::vector<std::string>{"code", "count", "first"}));
  EXPECT_EQ(keys_of(parsed["columns"][1]),
            (std::vector<std::string>{"label", "mean", "error", "correlation", "decorrelated",
                                      "level", "count", "automatic", "equilibration"}));
  EXPECT_EQ(keys_of(parsed["columns"][1]["automatic"]),
            (std::vector<std::string>{"error", "error_error", "block_size", "tau", "ess",
                                      "reliable", "reason"}));
  EXPECT_EQ(keys_of(parsed["columns"][1]["equilibration"]),
            (std::vector<std::string>{"start", "tau", "ess"}));
  for (const char* ladder : {"levels", "pairwise_levels"}) {
    EXPECT_EQ(keys_of(parsed[ladder]),
              (std::vector<std::string>{"block_sizes", "counts", "errors", "correlations"}));
  }
}

TEST(JsonRecordTest, MissingValuesAreNullAndIntegersExact) {
  run_record r = analysed_run(1, 1);
  r.budget = UINT64_MAX;  // -a factors capped at 64 bits
  r.samples = INT64_MAX;
  json without = formatted_and_parsed(r, "nothing optional");
  EXPECT_TRUE(without["options"]["column_count"].is_null());
  EXPECT_TRUE(without["code"].is_null());
  EXPECT_TRUE(without["message"].is_null());
  EXPECT_TRUE(without["decompressor_status"].is_null());
  EXPECT_EQ(without["options"]["budget"].get<uint64_t>(), UINT64_MAX);
  EXPECT_EQ(without["samples"].get<int64_t>(), INT64_MAX);
  r.column_count = 4;
  r.code = 70;
  r.status = STATUS_ERROR;
  r.message = "Non-numerical data in line 3 column 1 (columns count from 0)";
  r.place = {3, 1,
             std::string("\xef\xbb\xbf"
                         "1.0")};  // a byte-order mark
  r.decompressor_status = -9;      // ended by SIGKILL
  json with = formatted_and_parsed(r, "all given");
  EXPECT_EQ(with["options"]["column_count"], 4);
  EXPECT_EQ(with["code"], 70);
  EXPECT_EQ(with["status"], "error");
  EXPECT_EQ(with["message"], *r.message);
  EXPECT_EQ(with["line"], 3);
  EXPECT_EQ(with["column"], 1);
  EXPECT_EQ(with["text"], *r.place.text);
  EXPECT_EQ(with["decompressor_status"], -9);
  r.place = {};
  json unplaced = formatted_and_parsed(r, "an error without a place");
  EXPECT_TRUE(unplaced["line"].is_null() && unplaced["column"].is_null() &&
              unplaced["text"].is_null());
}

// Every text of the record (names, messages) comes back as given,
// except that what is not UTF-8 becomes U+FFFD: each byte that cannot start
// or continue a character, and each character cut short, once.
TEST(JsonRecordTest, TextsComeBackWithInvalidUtf8Replaced) {
  struct text_case {
    std::string given;
    std::string read_back;
  };
  const std::string r = REPLACEMENT;
  const text_case cases[] = {
      {"run \"7\" \\ of 9.dat", "run \"7\" \\ of 9.dat"},
      {"two\nlines\r\tand \x01", "two\nlines\r\tand \x01"},
      {"caf\xc3\xa9 \xe2\x82\xac", "caf\xc3\xa9 \xe2\x82\xac"},  // valid UTF-8 stays
      {"a\xff\xfe"
       "b",
       "a" + r + r + "b"},
      {"\xc0\x80", r + r},          // overlong NUL: two bytes never valid
      {"\xe2\x82z", r + "z"},       // a character cut short
      {"end\xe2\x82", "end" + r},   // cut short at the end
      {"\xed\xa0\x80", r + r + r},  // a UTF-16 surrogate
  };
  for (const text_case& c : cases) {
    run_record record = analysed_run(1, 1);
    record.input = c.given;
    record.analysis_file = c.given;
    record.message = c.given;
    record.warnings[0].first = c.given;
    json parsed = formatted_and_parsed(record, c.given);
    EXPECT_EQ(parsed["input"], c.read_back) << c.given;
    EXPECT_EQ(parsed["options"]["analysis_file"], c.read_back) << c.given;
    EXPECT_EQ(parsed["message"], c.read_back) << c.given;
    EXPECT_EQ(parsed["warnings"][0]["first"], c.read_back) << c.given;
  }
}

bool same_bits(double a, double b) {
  return memcmp(&a, &b, sizeof a) == 0;
}

// Reads back a number of the record: null for what is not finite.
bool reads_back(const json& value, double given) {
  if (!std::isfinite(given)) return value.is_null();
  return value.is_number() && same_bits(value.get<double>(), given);
}

// 2048 columns, every number of the record a different double: awkward ones
// first, then random bit patterns; each must read back bit for bit.
TEST(JsonRecordTest, EveryNumberReadsBackExactly) {
  const int columns = 2048, levels = 10;
  std::vector<double> values = {0.1,
                                1.0 / 3,
                                3.2e-9,
                                -0.0,
                                0.0,
                                DBL_MIN,
                                5e-324,
                                DBL_MAX,
                                -DBL_MAX,
                                1e300,
                                123456789.0123456789,
                                1e22,
                                1e23,
                                9007199254740993.0,
                                2.2250738585072011e-308,
                                NAN,
                                INFINITY,
                                -INFINITY};
  std::mt19937_64 bits(20);
  while (values.size() < static_cast<size_t>(columns * (3 + 2 * levels))) {
    uint64_t pattern = bits();
    double value;
    memcpy(&value, &pattern, sizeof value);
    values.push_back(value);
  }
  blocking_result result = analysed_result(columns, levels);
  size_t next = 0;
  for (int c = 0; c < columns; c++) {
    result.mean[c] = values[next++];
    result.final_error[c] = values[next++];
    result.final_correlation[c] = values[next++];
  }
  for (int k = 0; k < levels; k++) {
    for (int c = 0; c < columns; c++) {
      result.level_error[static_cast<size_t>(k) * columns + c] = values[next++];
      result.level_correlation[static_cast<size_t>(k) * columns + c] = values[next++];
    }
  }
  const run_record r = analysed_run(result);
  json parsed = formatted_and_parsed(r, "2048 columns");
  ASSERT_EQ(parsed["columns"].size(), static_cast<size_t>(columns));
  ASSERT_EQ(parsed["levels"]["errors"].size(), static_cast<size_t>(levels));
  std::vector<json> read;  // in the order the values were given
  for (const json& c : parsed["columns"]) {
    for (const char* key : {"mean", "error", "correlation"}) read.push_back(c[key]);
  }
  for (int k = 0; k < levels; k++) {
    for (int c = 0; c < columns; c++) {
      read.push_back(parsed["levels"]["errors"][k][c]);
      read.push_back(parsed["levels"]["correlations"][k][c]);
    }
  }
  ASSERT_EQ(read.size(), values.size());
  int wrong = 0;
  for (size_t i = 0; i < values.size(); i++) {
    if (!reads_back(read[i], values[i]) && wrong++ < 5) {
      ADD_FAILURE() << "value " << i << ": " << values[i] << " read back as " << read[i];
    }
  }
  EXPECT_EQ(wrong, 0);
}

// A decompressor's failure is warning 65 of the record, and the status of a
// run that would have been "ok": the reader's own warning where it gave one
// (not added twice), else one added for an exit status other than gzip's
// warning status 2.
TEST(JsonRecordTest, DecompressorFailureWarnsAndMarksTheStatus) {
  const char* reader_warning =
      "The decompressor gzip failed (exit status 1): the input is cut or damaged; 20000 samples "
      "were read before it";
  struct failure_case {
    const char* status;
    std::optional<int> decompressor;
    bool reader_warned;
    const char* status_after;
    const char* warning;  // the record's warning 65, or null
  };
  const failure_case cases[] = {
      {STATUS_OK, 1, false, STATUS_DECOMPRESSOR_FAILED,
       "The decompressor gzip failed (exit status 1): the input is cut or damaged; 20000 samples "
       "were read before it"},
      {STATUS_OK, -9, false, STATUS_DECOMPRESSOR_FAILED,
       "The decompressor gzip failed (signal 9): the input is cut or damaged; 20000 samples were "
       "read before it"},
      {STATUS_OK, 1, true, STATUS_DECOMPRESSOR_FAILED, reader_warning},
      {STATUS_NO_ANALYSIS_FILE, 1, true, STATUS_NO_ANALYSIS_FILE, reader_warning},
      {STATUS_EARLY_END, 1, false, STATUS_EARLY_END,
       "The decompressor gzip failed (exit status 1): the input is cut or damaged; 20000 samples "
       "were read before it"},
      {STATUS_ERROR, 1, false, STATUS_ERROR, nullptr},
      {STATUS_OK, 2, false, STATUS_OK, nullptr},
      {STATUS_OK, 0, false, STATUS_OK, nullptr},
      {STATUS_OK, std::nullopt, false, STATUS_OK, nullptr},
  };
  for (const failure_case& c : cases) {
    run_record r = analysed_run(1, 1);
    r.status = c.status;
    r.decompressor_status = c.decompressor;
    if (c.reader_warned) r.warnings.push_back({65, 1, reader_warning});
    note_decompressor_failure(&r);
    const json parsed = formatted_and_parsed(r, c.status);
    EXPECT_EQ(parsed["status"], c.status_after) << c.status << " " << c.decompressor.value_or(0);
    ASSERT_EQ(parsed["warnings"].size(), c.warning != nullptr ? 2u : 1u) << c.status;
    if (c.warning == nullptr) continue;
    EXPECT_EQ(parsed["warnings"][1]["code"], 65);
    EXPECT_EQ(parsed["warnings"][1]["count"], 1);
    EXPECT_EQ(parsed["warnings"][1]["first"], c.warning);
  }
}

TEST(JsonRecordTest, AppendedWholeOrTheReasonGiven) {
  scoped_temp_dir dir;
  struct write_case {
    std::string path;
    bool written;
    const char* reason;
  };
  const write_case cases[] = {
      {dir.file("runs.jsonl"), true, ""},
      {dir.file("runs.jsonl"), true, ""},  // a second line after the first
      {dir.file("missing/runs.jsonl"), false, "No such file or directory"},
      {"/dev/full", false, "No space left on device"},
  };
  const run_record record = analysed_run(3, 2);
  for (const write_case& c : cases) {
    std::string reason;
    EXPECT_EQ(write_run_record(c.path.c_str(), record, &reason), c.written) << c.path;
    EXPECT_EQ(reason, c.reason) << c.path;
  }
  EXPECT_EQ(read_file(dir.file("runs.jsonl")),
            format_run_record(record) + format_run_record(record));
}

}  // namespace
