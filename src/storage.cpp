#include "storage.h"

#include <sys/mman.h>  // madvise

#include <cstdint>  // uintptr_t
#include <cstdlib>  // free, realloc
#include <cstring>  // memmove

#include "support/error.h"

int32_t entries_for_budget(uint64_t alloc_budget, int32_t column_count) {
  uint64_t entries = alloc_budget / (8u * static_cast<uint64_t>(column_count));
  return entries > INT32_MAX ? INT32_MAX : static_cast<int32_t>(entries);
}

unsigned storage_megabytes(int32_t entries_per_column, int32_t column_count) {
  // The product with 1e-6 is rounded first; scaling the exact byte count
  // instead gives a different figure for some column counts.
  double megabytes = entries_per_column * 1e-6;
  megabytes = megabytes * column_count;
  megabytes = megabytes * 8;
  if (!(megabytes >= 0)) return 0;
  if (megabytes >= 4294967296.0) return UINT32_MAX;
  return static_cast<unsigned>(megabytes);
}

namespace {

// The store's block is aligned to transparent huge pages, so that where the
// system hands them out unasked ("always"), a store of few columns gets them
// whole. A store of more than HUGE_PAGE_COLUMNS columns asks not to get them:
// its rows are short, and a huge page first touched at the start of every
// row would make almost the whole budget resident. A store of at most
// HUGE_PAGE_COLUMNS columns leaves at most one huge page per row partly
// filled, HUGE_PAGE_COLUMNS huge pages at most. Huge pages are not asked for:
// how much their first use costs swings with the host's state, while 4 KiB
// pages made resident ahead of the reader (prepare_store_rows) cost the same
// from run to run (bench/README.md).
constexpr size_t HUGE_PAGE = size_t{2} << 20;
constexpr int32_t HUGE_PAGE_COLUMNS = 8;

}  // namespace

column_matrix allocate_store_matrix(int32_t rows, int32_t length) {
  column_matrix matrix = allocate_aligned_double_matrix(rows, length, HUGE_PAGE);
#ifdef MADV_NOHUGEPAGE
  if (matrix != nullptr && rows > HUGE_PAGE_COLUMNS) {
    const size_t bytes = static_cast<size_t>(rows) * static_cast<size_t>(length) * sizeof(double);
    // A hint only, which the kernel may refuse.
    if (bytes >= HUGE_PAGE) madvise(matrix[0], bytes, MADV_NOHUGEPAGE);
  }
#endif
  return matrix;
}

column_matrix allocate_storage(int32_t column_count, int32_t* entries_per_column,
                               uint64_t alloc_budget, const run_hooks* hooks,
                               matrix_allocator allocate) {
  int32_t entries = entries_for_budget(alloc_budget, column_count);
  column_matrix store = allocate(column_count, entries);
  while (store == nullptr) {
    entries /= 2;
    store = allocate(column_count, entries);
    if (entries < MIN_ENTRIES_PER_COLUMN) {
      free_double_matrix(store);  // an allocation at the refused size may have succeeded
      fatal_format(ERROR_STORAGE_NOT_ALLOCATED,
                   "Could not allocate storage array (%d entries per column -> %u MB)", entries,
                   storage_megabytes(entries, column_count));
    }
  }
  if (entries <= QUIET_ENTRIES_PER_COLUMN) {
    report_format(hooks, REPORT_PROGRESS, "Storage per column set to %d entries (%u MB total)\n",
                  entries, storage_megabytes(entries, column_count));
    report_format(hooks, REPORT_PROGRESS, "%s",
                  "If this is insufficient, use -a or analyze data in sets of fewer columns via "
                  "-c\n\n");
  }
  *entries_per_column = entries;
  return store;
}

namespace {

// Memory made resident ahead of the reader, over all columns together.
constexpr int64_t FILL_AHEAD_BYTES = int64_t{8} << 20;
// Wide stores get windows of at least two pages per row all the same (at
// most 16 MB ahead for MAX_COLUMNS rows): in this virtual machine a page
// fault costs about 15 microseconds, several times a page made resident in a
// batch (bench/README.md).
constexpr int64_t MIN_FILL_WINDOW_BYTES = int64_t{8} << 10;
constexpr uintptr_t PAGE = 4096;

}  // namespace

void advise_whole_pages(const void* begin, const void* end, int advice) {
  const uintptr_t first = (reinterpret_cast<uintptr_t>(begin) + PAGE - 1) & ~(PAGE - 1);
  const uintptr_t last = reinterpret_cast<uintptr_t>(end) & ~(PAGE - 1);
  if (last > first) madvise(reinterpret_cast<void*>(first), last - first, advice);
}

int32_t store_fill_window(int32_t column_count) {
  int64_t window_bytes = FILL_AHEAD_BYTES / column_count;
  if (window_bytes < MIN_FILL_WINDOW_BYTES) window_bytes = MIN_FILL_WINDOW_BYTES;
  return static_cast<int32_t>(window_bytes / static_cast<int64_t>(sizeof(double)));
}

void prepare_store_rows(column_matrix store, int32_t column_count, int32_t entries_per_column,
                        int32_t first, int32_t window) {
#ifdef MADV_POPULATE_WRITE
  int64_t last = static_cast<int64_t>(first) + window;
  if (last > entries_per_column) last = entries_per_column;
  for (int32_t c = 0; c < column_count; c++) {
    // The pages at the window's edges, shared with the neighbouring window or
    // row, fault in when written.
    advise_whole_pages(store[c] + first, store[c] + last, MADV_POPULATE_WRITE);
  }
#else
  (void)store, (void)column_count, (void)entries_per_column, (void)first, (void)window;
#endif
}

void store_open(sample_store* store, int32_t column_count, uint64_t alloc_budget,
                const run_hooks* hooks) {
  int32_t entries = 0;
  column_matrix rows = allocate_storage(column_count, &entries, alloc_budget, hooks);
  *store = {rows, column_count, entries, store_fill_window(column_count), 0};
}

namespace {

// Samples moved before the pages they came from are given back.
constexpr int64_t MOVE_PIECE = int64_t{1} << 20;

// Gives back the whole pages of [begin, end).
void release_pages(const double* begin, const double* end) {
  advise_whole_pages(begin, end, MADV_DONTNEED);
}

}  // namespace

double* store_compact(sample_store* store, int32_t samples) {
  double* const block = store->rows[0];
  const int64_t n = samples;
  const int64_t stride = store->entries_per_column;
  // Row c moves from c * stride to c * n, never later in the block, so
  // moving the rows in order and each from its start never overwrites a
  // sample before it has moved. The pages a piece came from, once behind
  // the end of what has been written, are given back at once.
  for (int32_t c = 1; c < store->column_count; c++) {
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
  // The rest of the store: the unused tail of the last row and beyond.
  const int64_t used = n * store->column_count;
  const int64_t total = stride * store->column_count;
  release_pages(block + used, block + total);
  // The block keeps its pages; a smaller allocation returns the address space.
  void* shrunk = realloc(block, static_cast<size_t>(used > 0 ? used : 1) * sizeof(double));
  double* kept = static_cast<double*>(shrunk != nullptr ? shrunk : block);
  free(store->rows);  // the row table only: the block now belongs to the caller
  *store = EMPTY_STORE;
  return kept;
}

void store_release(sample_store* store) {
  free_double_matrix(store->rows);
  *store = EMPTY_STORE;
}
