#include "library.h"

#include <sys/mman.h>  // madvise

#include <cstdint>
#include <cstdlib>  // free, realloc
#include <cstring>  // memmove

#include "input_source.h"
#include "reader.h"
#include "storage.h"

void reader_release::operator()(reader_state* state) const {
  reader_destroy(state);
}

namespace {

// Closes an input that is still open when a run unwinds or ends early.
struct input_guard {
  input_source* input;
  ~input_guard() { abandon_input(input); }
};

}  // namespace

sample_set read_data_file(const run_settings& settings, const run_hooks* hooks,
                          read_progress* progress) {
  c_numeric_locale numbers_as_in_c;
  input_source input;
  input.fd = -1;
  input.decompressor = 0;
  input_guard guard{&input};
  open_input(settings.input_name, &input, hooks);

  sample_set set;
  set.reader.reset(reader_create(&settings, &input, hooks));
  reader_state* state = set.reader.get();
  struct progress_note {  // how far the read got, however it ends
    read_progress* progress;
    const reader_state* state;
    ~progress_note() {
      if (progress == nullptr) return;
      progress->reading = state->reading;
      progress->samples = state->samples_read;
      progress->discarded = state->discarded;
    }
  } note{progress, state};
  set.ended_early = !read_samples(state);
  state->input = nullptr;
  state->settings = nullptr;
  state->hooks = nullptr;
  set.samples = state->samples_read;
  set.discarded = state->discarded;
  set.column_count = state->column_count > 0 ? state->column_count : 0;
  set.columns = state->store;
  set.column_sums = state->column_sum;
  if (set.ended_early) set.samples = 0;
  return set;
}

namespace {

// Samples moved before the pages they came from are given back.
constexpr int64_t MOVE_PIECE = int64_t{1} << 20;

// Gives back the whole pages of [begin, end).
void release_pages(const double* begin, const double* end) {
  advise_whole_pages(begin, end, MADV_DONTNEED);
}

}  // namespace

double* take_samples(sample_set* set) {
  reader_state* state = set->reader.get();
  if (state == nullptr || state->store == nullptr || set->samples <= 0) return nullptr;
  double* const block = state->store[0];
  const int64_t n = set->samples;
  const int64_t stride = state->entries_per_column;
  // Column c moves from c * stride to c * n, never later in the block, so
  // moving the columns in order and each from its start never overwrites a
  // sample before it has moved. The pages a piece came from, once behind
  // the end of what has been written, are given back at once.
  for (int32_t c = 1; c < set->column_count; c++) {
    double* const from = block + c * stride;
    double* const to = block + c * n;
    for (int64_t i = 0; i < n; i += MOVE_PIECE) {
      const int64_t count = n - i < MOVE_PIECE ? n - i : MOVE_PIECE;
      memmove(to + i, from + i, static_cast<size_t>(count) * sizeof(double));
      const double* written_end = to + i + count;
      const double* begin = from + i > written_end ? from + i : written_end;
      release_pages(begin, from + i + count);
    }
  }
  // The rest of the store: the unused tail of the last column and beyond.
  const int64_t used = n * set->column_count;
  const int64_t total = stride * set->column_count;
  release_pages(block + used, block + total);
  // The block keeps its pages; a smaller allocation returns the address space.
  void* shrunk = realloc(block, static_cast<size_t>(used > 0 ? used : 1) * sizeof(double));
  double* samples = static_cast<double*>(shrunk != nullptr ? shrunk : block);
  free(state->store);  // the row table only: the block now belongs to the caller
  state->store = nullptr;
  set->columns = nullptr;
  set->column_sums = nullptr;
  set->reader.reset();
  set->samples = 0;
  set->column_count = 0;
  return samples;
}

blocking_result analyse_samples(const sample_set& set, const run_hooks* hooks) {
  c_numeric_locale numbers_as_in_c;
  return collect_additional_data(set.samples, set.columns, set.column_count, set.column_sums,
                                 hooks);
}
