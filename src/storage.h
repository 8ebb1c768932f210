// The sample store's whole life: sized from the storage budget, allocated
// (halving the capacity while that fails), made resident ahead of the reader
// as it fills, compacted for a caller that keeps the samples, and released.
#ifndef VARBLOC_STORAGE_H
#define VARBLOC_STORAGE_H

#include <cstdint>

#include "support/alloc2d.h"
#include "support/report.h"

// Smallest capacity accepted once the first allocation has failed.
constexpr int32_t MIN_ENTRIES_PER_COLUMN = 10000;
// Capacities above this are taken without a message.
constexpr int32_t QUIET_ENTRIES_PER_COLUMN = 9999999;

typedef column_matrix (*matrix_allocator)(int32_t rows, int32_t length);

// Entries per column that the budget pays for: budget / (8 * columns), capped
// at the largest signed 32-bit count.
int32_t entries_for_budget(uint64_t alloc_budget, int32_t column_count);

// Decimal megabytes of a store, as the storage messages print them:
// entries * 1e-6 first, then * columns * 8, truncated (and capped at the
// unsigned 32-bit range).
unsigned storage_megabytes(int32_t entries_per_column, int32_t column_count);

// The store's matrix: as allocate_double_matrix (released with
// free_double_matrix), with its block aligned for huge pages and, for stores
// of many columns, marked not to get them.
column_matrix allocate_store_matrix(int32_t rows, int32_t length);

// Allocates the store (one row per column), halving the capacity while the
// allocation fails; gives up with fatal error 300 once a halved capacity falls
// below MIN_ENTRIES_PER_COLUMN. Announces capacities of at most
// QUIET_ENTRIES_PER_COLUMN through `hooks` (may be null). Never returns null.
column_matrix allocate_storage(int32_t column_count, int32_t* entries_per_column,
                               uint64_t alloc_budget, const run_hooks* hooks,
                               matrix_allocator allocate = allocate_store_matrix);

// Gives the memory advice `advice` (madvise) for the whole pages inside
// [begin, end); the pages at its edges, shared with other data, are left out.
// Only a hint: a refusal is ignored.
void advise_whole_pages(const void* begin, const void* end, int advice);

// Samples per column to make resident at once ahead of the reader.
int32_t store_fill_window(int32_t column_count);

// The store of one run: a row per used column, filled sample by sample.
struct sample_store {
  column_matrix rows;          // null until opened
  int32_t column_count;        // rows
  int32_t entries_per_column;  // room in each row
  int32_t fill_window;         // samples per row made resident at once (0: off)
  int32_t next_fill_at;        // sample at which the next window starts
};

// A store with nothing allocated.
constexpr sample_store EMPTY_STORE = {nullptr, 0, 0, 0, 0};

// Sizes and allocates the store of `column_count` columns from the budget
// (allocate_storage: its messages, and fatal error 300 when even the
// smallest capacity fails), ready to take samples from the first on.
void store_open(sample_store* store, int32_t column_count, uint64_t alloc_budget,
                const run_hooks* hooks);

// Makes entries [first, first + window) of every row resident in one call per
// row, instead of one page fault per page as the reader first writes them.
// Only a hint: on systems without it, pages fault in as usual.
void prepare_store_rows(column_matrix store, int32_t column_count, int32_t entries_per_column,
                        int32_t first, int32_t window);

// Called before sample `sample` of every row is written, samples in order:
// makes the next window of every row resident where it starts.
inline void store_fill_ahead(sample_store* store, int32_t sample) {
  if (sample == store->next_fill_at && store->fill_window != 0) {
    prepare_store_rows(store->rows, store->column_count, store->entries_per_column, sample,
                       store->fill_window);
    store->next_fill_at += store->fill_window;
  }
}

// Moves the first `samples` (at least 1) of every row together in place, row
// after row, and hands over their block: samples * column_count doubles,
// sample i of row c at [c * samples + i], to be released with free(). The
// pages the rows leave go back to the system as they move, so memory never
// holds much more than the samples. The store is left empty.
double* store_compact(sample_store* store, int32_t samples);

// Releases the rows; the store is left empty. An empty store is ignored.
void store_release(sample_store* store);

#endif
