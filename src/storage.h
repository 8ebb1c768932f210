// Sizing and allocating the sample store from the storage budget.
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

// Makes entries [first, first + window) of every row resident in one call per
// row, instead of one page fault per page as the reader first writes them.
// Only a hint: on systems without it, pages fault in as usual.
void prepare_store_rows(column_matrix store, int32_t column_count, int32_t entries_per_column,
                        int32_t first, int32_t window);

#endif
