// The Python front end: varbloc._core, wrapped by the package varbloc
// (python/varbloc/__init__.py), which adds argument checking, warnings and
// documentation. Everything here calls the same library as the program.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <cstdlib>  // free
#include <cstring>  // memcpy
#include <memory>   // unique_ptr
#include <mutex>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "library.h"

namespace py = pybind11;

namespace {

// What a call collects from the run's events while the interpreter runs on.
struct python_run {
  std::vector<warning_tally> warnings;
  bool poll_signals;                                    // only the main thread sees signals
  std::optional<std::string> early_end = std::nullopt;  // the text of an early end, as printed
};

void collect_event(void* context, const report_event& event) {
  python_run* run = static_cast<python_run*>(context);
  if (event.kind == REPORT_WARNING) {
    tally_warning(&run->warnings, event);
  } else if (event.kind == REPORT_EARLY_END) {
    run->early_end = std::string(event.text, event.length);
  }
}

// A Python callable read(size) -> bytes as a run's byte source. What a call
// returns beyond the room asked for waits in `pending` for the next read.
struct python_bytes {
  py::object read;
  py::bytes pending;
  size_t taken = 0;  // bytes of `pending` handed out
};

// Runs without the interpreter's lock, takes it to call read(). A Python
// exception stays set and stops the run, to be raised once it has unwound.
size_t read_python_bytes(void* context, char* buffer, size_t capacity) {
  python_bytes* source = static_cast<python_bytes*>(context);
  if (source->taken == static_cast<size_t>(PyBytes_GET_SIZE(source->pending.ptr()))) {
    py::gil_scoped_acquire gil;
    py::object data;
    try {
      data = source->read(capacity);
      if (!PyBytes_Check(data.ptr())) throw py::type_error("read() must return bytes");
    } catch (py::error_already_set& error) {
      error.restore();
      throw run_interrupted();
    } catch (const py::builtin_exception& error) {
      error.set_error();
      throw run_interrupted();
    }
    source->pending = py::reinterpret_steal<py::bytes>(data.release());
    source->taken = 0;
  }
  // The bytes object is alive and never changes: read without the lock.
  const size_t left = static_cast<size_t>(PyBytes_GET_SIZE(source->pending.ptr())) - source->taken;
  const size_t count = left < capacity ? left : capacity;
  memcpy(buffer, PyBytes_AS_STRING(source->pending.ptr()) + source->taken, count);
  source->taken += count;
  return count;
}

// Lets Python run its signal handlers (Ctrl-C raises KeyboardInterrupt
// there); true when one raised, which stops the run.
bool signal_raised(void* context) {
  if (!static_cast<python_run*>(context)->poll_signals) return false;
  py::gil_scoped_acquire gil;
  return PyErr_CheckSignals() != 0;
}

unsigned long g_main_thread;  // the interpreter's main thread, noted at import

bool on_main_thread() {
  return PyThread_get_thread_ident() == g_main_thread;
}

// How a call that ran without the interpreter's lock ended.
struct call_end {
  bool interrupted = false;
  bool failed = false;
  run_failure failure{};
};

// Runs `work` with the interpreter's lock released, catching what the
// library throws so that it is raised once the lock is held again.
template <typename Work>
void run_unlocked(call_end* end, Work work) {
  py::gil_scoped_release release;
  try {
    work();
  } catch (const run_interrupted&) {
    end->interrupted = true;
  } catch (...) {
    end->failure = current_failure();
    end->failed = true;
  }
}

py::handle g_error_type;  // varbloc.VarblocError, made once at import

// An optional value as a Python object, None when missing.
template <typename T>
py::object or_none(const std::optional<T>& value) {
  return value ? py::cast(*value) : py::none();
}

void raise_if_ended(const call_end& end) {
  if (end.interrupted) throw py::error_already_set();  // the handler's exception
  if (!end.failed) return;
  py::object error = py::reinterpret_borrow<py::object>(g_error_type)(end.failure.message);
  error.attr("code") = error_number(end.failure.code);
  const error_place& place = end.failure.place;
  error.attr("line") = or_none(place.line);
  error.attr("column") = or_none(place.column);
  error.attr("text") =
      place.text ? py::reinterpret_steal<py::object>(PyUnicode_DecodeUTF8(
                       place.text->data(), static_cast<ssize_t>(place.text->size()), "replace"))
                 : py::none();
  PyErr_SetObject(g_error_type.ptr(), error.ptr());
  throw py::error_already_set();
}

py::list warnings_of(const python_run& run) {
  py::list warnings;
  for (const warning_tally& tally : run.warnings) {
    warnings.append(py::make_tuple(tally.code, tally.count, tally.first));
  }
  return warnings;
}

// One read of a data file from Python: the options as the program's, and
// the input as a name, a descriptor (>= 0) or a read(size) callable.
struct python_read {
  read_options options;
  python_run run;
  python_bytes bytes;
  byte_source source;
  run_hooks hooks;
};

void start_read(python_read* read, const std::string& name, std::optional<int32_t> columns,
                int32_t skip_columns, int32_t discard, uint64_t budget, int descriptor,
                py::object bytes) {
  read_options& options = read->options;
  options.input_name = name.c_str();
  options.alloc_budget = budget;
  options.skip_columns = skip_columns;
  options.discard_count = discard;
  options.column_count = columns;
  options.input_descriptor = descriptor;
  if (!bytes.is_none()) {
    read->bytes.read = std::move(bytes);
    read->source = {read_python_bytes, &read->bytes};
    options.input_bytes = &read->source;
  }
  read->run.poll_signals = on_main_thread();
  read->hooks = {collect_event, signal_raised, &read->run};
}

// What a read tells beside the samples: (warnings as (code, count, first
// message) tuples, samples, discarded, decompressor status, early-end text).
// `start` samples dropped after the read count as discarded too.
py::tuple read_notes(const python_read& read, const sample_set& set, int64_t start = 0) {
  return py::make_tuple(warnings_of(read.run), set.samples, set.discarded + start,
                        or_none(set.decompressor_status), or_none(read.run.early_end));
}

// load: (samples as an array of shape (samples, columns), notes).
py::tuple load(const std::string& name, std::optional<int32_t> columns, int32_t skip_columns,
               int32_t discard, uint64_t budget, int descriptor, py::object bytes) {
  python_read read;
  start_read(&read, name, columns, skip_columns, discard, budget, descriptor, std::move(bytes));
  double* samples = nullptr;
  int64_t rows = 0;
  int64_t column_count = 0;
  sample_set set;
  call_end end;
  run_unlocked(&end, [&] {
    set = read_data_file(read.options, &read.hooks);
    rows = set.samples;
    column_count = set.column_count;
    if (!set.ended_early) samples = take_samples(&set);
    set.store.reset();
    set.samples = static_cast<int32_t>(rows);
  });
  raise_if_ended(end);
  py::tuple notes = read_notes(read, set);
  if (samples == nullptr) {
    return py::make_tuple(py::array_t<double>(std::vector<ssize_t>{0, column_count}), notes);
  }
  py::capsule owner(samples, [](void* memory) { free(memory); });
  const ssize_t item = sizeof(double);
  py::array_t<double> array({static_cast<ssize_t>(rows), static_cast<ssize_t>(column_count)},
                            {item, static_cast<ssize_t>(rows) * item}, samples, owner);
  return py::make_tuple(array, notes);
}

// The columns of an array of shape (samples, columns) whose columns are
// each contiguous (axis-0 stride of one double), to be read in place.
std::vector<const double*> columns_of(const py::array_t<double, 0>& data, const char* caller) {
  // A single sample's stride does not matter.
  if (data.ndim() != 2 ||
      (data.shape(0) > 1 && data.strides(0) != static_cast<ssize_t>(sizeof(double)))) {
    throw py::value_error(std::string("internal: ") + caller +
                          " needs a 2-D float64 array with contiguous columns");
  }
  std::vector<const double*> columns(static_cast<size_t>(data.shape(1)));
  const char* base = reinterpret_cast<const char*>(data.data());
  for (size_t c = 0; c < columns.size(); c++) {
    columns[c] = reinterpret_cast<const double*>(base + static_cast<ssize_t>(c) * data.strides(1));
  }
  return columns;
}

// An analysis as Python holds it (varbloc._core.Analysis): the result, and
// the equilibration search it started after, with the start, when it did.
struct analysed : blocking_result {
  std::optional<equilibration_table> equilibration;
  int64_t start = 0;
};

analysed analysed_of(run_outcome* outcome) {
  analysed analysis;
  static_cast<blocking_result&>(analysis) = std::move(*outcome->result);
  analysis.equilibration = std::move(outcome->equilibration);
  analysis.start = outcome->start;
  return analysis;
}

// The analysis of an array of shape (samples, columns) whose columns are
// each contiguous (axis-0 stride of one double), read in place; with
// `equilibrate`, from the latest of the columns' equilibration starts.
analysed block(py::array_t<double, 0> data, bool equilibrate) {
  const std::vector<const double*> columns = columns_of(data, "block");
  const int64_t n = data.shape(0);
  const int32_t column_count = static_cast<int32_t>(columns.size());
  python_run run{{}, on_main_thread()};
  const run_hooks hooks = {nullptr, signal_raised, &run};
  run_outcome outcome;
  call_end end;
  run_unlocked(&end, [&] {
    outcome = analyse_columns(n, columns.data(), column_count,
                              equilibrate ? DISCARD_EQUILIBRATED : DISCARD_COUNT, true, &hooks);
  });
  raise_if_ended(end);
  return analysed_of(&outcome);
}

// A vector as a new NumPy array.
template <typename T>
py::array_t<T> array_of(const std::vector<T>& values) {
  return py::array_t<T>(static_cast<ssize_t>(values.size()), values.data());
}

// One field of every column's record (its decision, its automatic
// estimate) as a new NumPy array.
template <typename T, typename Record>
py::array_t<T> field_of(const std::vector<Record>& columns, T Record::*field) {
  py::array_t<T> values(static_cast<ssize_t>(columns.size()));
  T* out = values.mutable_data();
  for (size_t c = 0; c < columns.size(); c++) out[c] = columns[c].*field;
  return values;
}

// A per-level table of the result as an array of shape (levels, columns).
py::array_t<double> table_of(const blocking_result& result, const std::vector<double>& values) {
  return py::array_t<double>(
      {static_cast<ssize_t>(result.level_count), static_cast<ssize_t>(result.column_count)},
      values.data());
}

// A pairwise table as an array of shape (levels, columns).
py::array_t<double> pairwise_of(const blocking_result& result, const std::vector<double>& values) {
  return py::array_t<double>({static_cast<ssize_t>(result.pairwise.level_count),
                              static_cast<ssize_t>(result.column_count)},
                             values.data());
}

// The automatic estimate's fields by name, per column.
py::dict automatic_of(const blocking_result& r) {
  py::dict fields;
  fields["error"] = field_of(r.automatic, &automatic_estimate::error);
  fields["error_error"] = field_of(r.automatic, &automatic_estimate::error_error);
  fields["block_size"] = field_of(r.automatic, &automatic_estimate::block_size);
  fields["tau"] = field_of(r.automatic, &automatic_estimate::tau);
  fields["ess"] = field_of(r.automatic, &automatic_estimate::ess);
  fields["reliable"] = field_of(r.automatic, &automatic_estimate::reliable);
  py::list reasons;
  for (const automatic_estimate& e : r.automatic) reasons.append(estimate_reason_text(e.reason));
  fields["reason"] = py::tuple(reasons);
  return fields;
}

py::dict pairwise_levels_of(const blocking_result& r) {
  py::dict fields;
  fields["block_sizes"] = array_of(r.pairwise.block_size);
  fields["counts"] = array_of(r.pairwise.count);
  fields["errors"] = pairwise_of(r, r.pairwise.error);
  fields["correlations"] = pairwise_of(r, r.pairwise.correlation);
  fields["error_errors"] = pairwise_of(r, r.pairwise.error_error);
  return fields;
}

// The equilibration search's fields by name: per column its start, tau,
// effective samples, held block size and reason, the candidates and the
// effective samples of shape (candidates, columns).
py::dict equilibration_of(const equilibration_table& table) {
  py::dict fields;
  fields["start"] = field_of(table.column, &equilibration_column::start);
  fields["tau"] = field_of(table.column, &equilibration_column::tau);
  fields["ess"] = field_of(table.column, &equilibration_column::ess);
  fields["block_size"] = field_of(table.column, &equilibration_column::block_size);
  py::list reasons;
  for (const equilibration_column& c : table.column) reasons.append(estimate_reason_text(c.reason));
  fields["reason"] = py::tuple(reasons);
  fields["candidates"] = array_of(table.candidates);
  fields["ess_curve"] = py::array_t<double>(
      {static_cast<ssize_t>(table.candidates.size()), static_cast<ssize_t>(table.column_count)},
      table.ess.data());
  return fields;
}

// The equilibration search on an array as block takes it.
py::dict equilibration(py::array_t<double, 0> data) {
  const std::vector<const double*> columns = columns_of(data, "equilibration");
  const int64_t n = data.shape(0);
  const int32_t column_count = static_cast<int32_t>(columns.size());
  python_run run{{}, on_main_thread()};
  const run_hooks hooks = {nullptr, signal_raised, &run};
  equilibration_table table;
  call_end end;
  run_unlocked(&end, [&] { table = find_equilibration(n, columns.data(), column_count, &hooks); });
  raise_if_ended(end);
  return equilibration_of(table);
}

// block_file: (the analysis, or None after an early end, notes, the
// equilibration search or None). The samples are analysed where the reader
// stored them, with its column sums, as the program does, and released
// before the call returns. With `equilibrate`, every sample is read, the
// search runs on the stored columns, and the analysis starts at the latest
// of the columns' starts (one sample count for all columns, as the
// program's): the figures of a read that had discarded that many lines.
py::tuple block_file(const std::string& name, std::optional<int32_t> columns, int32_t skip_columns,
                     int32_t discard, uint64_t budget, int descriptor, py::object bytes,
                     bool equilibrate) {
  python_read read;
  start_read(&read, name, columns, skip_columns, discard, budget, descriptor, std::move(bytes));
  run_outcome outcome;
  call_end end;
  run_unlocked(&end, [&] {
    outcome = run_analysis(read.options, equilibrate ? DISCARD_EQUILIBRATED : DISCARD_COUNT, true,
                           &read.hooks);
  });
  raise_if_ended(end);
  // The search's fields first: the analysis takes the table over.
  py::object search =
      outcome.equilibration ? py::object(equilibration_of(*outcome.equilibration)) : py::none();
  py::object analysis = outcome.result ? py::cast(analysed_of(&outcome)) : py::none();
  return py::make_tuple(analysis, read_notes(read, outcome.read, outcome.start), search);
}

// The layout of a pickled state: raised whenever column_state changes, so
// that a state pickled by another build is refused rather than misread.
constexpr int STATE_FORMAT = 2;  // 2: the states carry the raw sum

// A streaming analysis as Python holds it (varbloc._core.State): one
// column_state per column, all of the same segment of the chain. The lock
// keeps two threads from feeding it at once while the interpreter's lock is
// released; it is only ever taken without the interpreter's lock held, or
// for a copy so short that nothing waits on it.
struct python_state {
  std::vector<column_state> columns;
  mutable std::mutex lock;
};

// Samples per column a chunk needs before feeding it releases the
// interpreter's lock: below it the release costs more than it frees.
constexpr ssize_t UNLOCKED_SAMPLES = 1 << 16;

// Bytes of the buffer a chunk with strided columns is gathered into, a tile
// of rows at a time: large enough for whole pieces of the state's feeding
// when columns are few, small enough to stay in the cache when they are many.
constexpr ssize_t TILE_BYTES = 1 << 20;

std::unique_ptr<python_state> new_state(int32_t column_count, int64_t offset) {
  if (column_count < 1 || column_count > MAX_COLUMNS) {
    throw py::value_error("internal: a state needs 1 to MAX_COLUMNS columns");
  }
  auto state = std::make_unique<python_state>();
  state->columns.resize(static_cast<size_t>(column_count));
  for (column_state& column : state->columns) state_start(&column, offset);
  return state;
}

// Feeds rows x columns samples, sample r of column c at base + r * s0 + c *
// s1 (strides in bytes): contiguous columns straight from the array, any
// other layout gathered column by column a tile of rows at a time, so that
// no more than a tile is ever copied.
void feed_columns(std::vector<column_state>* states, const char* base, ssize_t rows, ssize_t s0,
                  ssize_t s1) {
  const ssize_t columns = static_cast<ssize_t>(states->size());
  if (rows == 1 || s0 == static_cast<ssize_t>(sizeof(double))) {
    for (ssize_t c = 0; c < columns; c++) {
      state_add(&(*states)[static_cast<size_t>(c)], reinterpret_cast<const double*>(base + c * s1),
                rows);
    }
    return;
  }
  const ssize_t most = TILE_BYTES / static_cast<ssize_t>(sizeof(double)) / columns;
  const ssize_t tile = most < 256 ? 256 : (most > PAIRWISE_CHUNK ? PAIRWISE_CHUNK : most);
  std::vector<double> buffer(static_cast<size_t>(tile));
  for (ssize_t first = 0; first < rows; first += tile) {
    const ssize_t n = rows - first < tile ? rows - first : tile;
    for (ssize_t c = 0; c < columns; c++) {
      const char* from = base + first * s0 + c * s1;
      for (ssize_t r = 0; r < n; r++) {
        memcpy(&buffer[static_cast<size_t>(r)], from + r * s0, sizeof(double));
      }
      state_add(&(*states)[static_cast<size_t>(c)], buffer.data(), n);
    }
  }
}

// State.add: a 2-D float64 chunk of shape (samples, columns) in any layout.
void state_feed(python_state& state, const py::array_t<double, 0>& chunk) {
  if (chunk.ndim() != 2 || chunk.shape(1) != static_cast<ssize_t>(state.columns.size())) {
    throw py::value_error("internal: a chunk needs shape (samples, the state's columns)");
  }
  const ssize_t rows = chunk.shape(0);
  if (rows == 0) return;
  const char* base = reinterpret_cast<const char*>(chunk.data());
  const ssize_t s0 = chunk.strides(0), s1 = chunk.strides(1);
  if (rows < UNLOCKED_SAMPLES) {
    std::lock_guard<std::mutex> hold(state.lock);
    feed_columns(&state.columns, base, rows, s0, s1);
    return;
  }
  // The chunk stays alive: the caller's reference holds it.
  py::gil_scoped_release release;
  std::lock_guard<std::mutex> hold(state.lock);
  feed_columns(&state.columns, base, rows, s0, s1);
}

// State.merge: appends the segment of `right`, which must start where this
// one ends (an empty right changes nothing, wherever it starts).
void state_join(python_state& left, python_state& right) {
  if (&left == &right) throw py::value_error("an accumulator cannot be merged with itself");
  std::vector<column_state> appended;
  {
    std::lock_guard<std::mutex> hold(right.lock);
    appended = right.columns;
  }
  std::lock_guard<std::mutex> hold(left.lock);
  if (appended.size() != left.columns.size()) {
    throw py::value_error("internal: states of different column counts");
  }
  const column_state& first = left.columns[0];
  if (appended[0].count > 0 && appended[0].offset != first.offset + first.count) {
    throw py::value_error("internal: the merged segment does not follow");
  }
  for (size_t c = 0; c < appended.size(); c++) state_merge(&left.columns[c], appended[c]);
}

// State.to_bytes: the states' bytes, column after column.
py::bytes state_bytes(python_state& state) {
  std::lock_guard<std::mutex> hold(state.lock);
  return py::bytes(reinterpret_cast<const char*>(state.columns.data()),
                   state.columns.size() * sizeof(column_state));
}

// State.from_bytes: the states that state_bytes gave, checked for what a
// plain copy can check (length, one segment for every column).
std::unique_ptr<python_state> state_of_bytes(const py::bytes& data) {
  const std::string text = data;
  if (text.empty() || text.size() % sizeof(column_state) != 0 ||
      text.size() / sizeof(column_state) > static_cast<size_t>(MAX_COLUMNS)) {
    throw py::value_error("the state's bytes are not whole column states of this build");
  }
  auto state = std::make_unique<python_state>();
  state->columns.resize(text.size() / sizeof(column_state));
  memcpy(state->columns.data(), text.data(), text.size());
  const column_state& first = state->columns[0];
  for (const column_state& column : state->columns) {
    if (column.offset != first.offset || column.count != first.count || column.count < 0 ||
        column.offset < 0) {
      throw py::value_error("the state's columns do not hold one segment of a chain");
    }
  }
  return state;
}

// State.result: the analysis of a chain from its sample 0 with at least one
// sample, as block gives it, without an equilibration search.
analysed state_analysis(python_state& state) {
  analysed analysis;
  std::lock_guard<std::mutex> hold(state.lock);
  if (state.columns[0].offset != 0 || state.columns[0].count < 1) {
    throw py::value_error("internal: a result needs a chain's states from its sample 0");
  }
  static_cast<blocking_result&>(analysis) =
      state_result(state.columns.data(), static_cast<int32_t>(state.columns.size()));
  return analysis;
}

// stream_file: (the state of the chain read so far, or None while no sample
// was read, notes). The file's samples go on the chain of `state` (None for
// the first file), in constant memory: a window of the reader's store, then
// the states; a state given must have the file's column count, which the
// read then takes.
py::tuple stream_file(const std::string& name, std::optional<int32_t> columns, int32_t skip_columns,
                      int32_t discard, uint64_t budget, int descriptor, py::object bytes,
                      py::object state) {
  python_read read;
  start_read(&read, name, columns, skip_columns, discard, budget, descriptor, std::move(bytes));
  python_state* chain = state.is_none() ? nullptr : state.cast<python_state*>();
  std::vector<column_state> states;
  if (chain != nullptr) {
    std::lock_guard<std::mutex> hold(chain->lock);
    states = chain->columns;
  }
  stream_outcome outcome;
  call_end end;
  run_unlocked(&end, [&] { outcome = stream_data_file(read.options, &states, &read.hooks); });
  raise_if_ended(end);
  py::object fed = state;
  if (chain != nullptr) {
    std::lock_guard<std::mutex> hold(chain->lock);
    chain->columns = std::move(states);
  } else if (!states.empty()) {
    auto made = std::make_unique<python_state>();
    made->columns = std::move(states);
    fed = py::cast(std::move(made));
  }
  const py::tuple notes =
      py::make_tuple(warnings_of(read.run), outcome.samples, outcome.discarded,
                     or_none(outcome.decompressor_status), or_none(read.run.early_end));
  return py::make_tuple(fed, notes);
}

}  // namespace

PYBIND11_MODULE(_core, module) {
  module.doc() = "The compiled core of varbloc; use the package varbloc instead.";
  static py::exception<varbloc_error> error_type(module, "VarblocError", PyExc_ValueError);
  g_error_type = error_type;
  g_main_thread =
      py::module_::import("threading").attr("main_thread")().attr("ident").cast<unsigned long>();

  py::class_<analysed>(module, "Analysis")
      .def_property_readonly("samples", [](const analysed& r) { return r.samples; })
      .def_property_readonly(
          "block_sizes",
          [](const analysed& r) {
            return py::array_t<int64_t>(
                r.level_count,
                std::vector<int64_t>(r.block_size, r.block_size + r.level_count).data());
          })
      .def_property_readonly(
          "counts",
          [](const analysed& r) { return py::array_t<int64_t>(r.level_count, r.level_values); })
      .def_property_readonly("mean", [](const analysed& r) { return array_of(r.mean); })
      .def_property_readonly("error", [](const analysed& r) { return array_of(r.final_error); })
      .def_property_readonly("correlation",
                             [](const analysed& r) { return array_of(r.final_correlation); })
      .def_property_readonly(
          "decorrelated",
          [](const analysed& r) { return field_of(r.decision, &column_decision::decorrelated); })
      .def_property_readonly(
          "level", [](const analysed& r) { return field_of(r.decision, &column_decision::level); })
      .def_property_readonly(
          "count", [](const analysed& r) { return field_of(r.decision, &column_decision::count); })
      .def_property_readonly("level_errors",
                             [](const analysed& r) { return table_of(r, r.level_error); })
      .def_property_readonly("level_correlations",
                             [](const analysed& r) { return table_of(r, r.level_correlation); })
      .def_property_readonly("level_error_errors",
                             [](const analysed& r) { return table_of(r, level_error_errors(r)); })
      .def_property_readonly(
          "labels",
          [](const analysed& r) { return py::tuple(py::cast(column_labels(r.column_count))); })
      .def_property_readonly("automatic", [](const analysed& r) { return automatic_of(r); })
      .def_property_readonly("pairwise", [](const analysed& r) { return pairwise_levels_of(r); })
      .def_property_readonly(
          "equilibration",
          [](const analysed& r) {
            return r.equilibration ? py::object(equilibration_of(*r.equilibration)) : py::none();
          })
      .def_property_readonly("start", [](const analysed& r) { return r.start; })
      .def("to_json",
           [](const analysed& r) {
             const std::string text = result_json(r, r.equilibration ? &*r.equilibration : nullptr);
             return py::str(text.data(), text.size());
           })
      .def("report",
           [](const analysed& r) {
             const std::string text = render_report(r);
             return py::str(text.data(), text.size());
           })
      .def("automatic_report", [](const analysed& r) {
        const std::string text = render_automatic(r);
        return py::str(text.data(), text.size());
      });

  py::class_<python_state>(module, "State")
      .def(py::init(&new_state), py::arg("columns"), py::arg("offset"))
      .def_property_readonly("columns", [](const python_state& s) { return s.columns.size(); })
      .def_property_readonly("offset",
                             [](const python_state& s) {
                               std::lock_guard<std::mutex> hold(s.lock);
                               return s.columns[0].offset;
                             })
      .def_property_readonly("count",
                             [](const python_state& s) {
                               std::lock_guard<std::mutex> hold(s.lock);
                               return s.columns[0].count;
                             })
      .def("add", &state_feed, py::arg("chunk"))
      .def("merge", &state_join, py::arg("right"))
      .def("to_bytes", &state_bytes)
      .def_static("from_bytes", &state_of_bytes, py::arg("data"))
      .def("result", &state_analysis);

  module.def("load", &load, py::arg("path"), py::arg("columns"), py::arg("skip_columns"),
             py::arg("discard"), py::arg("budget"), py::arg("descriptor"), py::arg("read"));
  module.def("block_file", &block_file, py::arg("path"), py::arg("columns"),
             py::arg("skip_columns"), py::arg("discard"), py::arg("budget"), py::arg("descriptor"),
             py::arg("read"), py::arg("equilibrate"));
  module.def("stream_file", &stream_file, py::arg("path"), py::arg("columns"),
             py::arg("skip_columns"), py::arg("discard"), py::arg("budget"), py::arg("descriptor"),
             py::arg("read"), py::arg("state"));
  module.def("block", &block, py::arg("data"), py::arg("equilibrate") = false);
  module.def("equilibration", &equilibration, py::arg("data"));
  module.attr("MAX_COLUMNS") = MAX_COLUMNS;
  module.attr("__version__") = varbloc_version();
  module.attr("DEFAULT_BUDGET") = DEFAULT_ALLOC_BUDGET;
  module.attr("STATE_FORMAT") = STATE_FORMAT;
  module.attr("STATE_SIZE") = sizeof(column_state);
}
