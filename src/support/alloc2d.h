// Column matrices: a table of row pointers into one contiguous block, so a
// whole matrix is two allocations and two releases. Row r starts r * length
// entries into the block; row 0 is the block itself.
#ifndef VARBLOC_SUPPORT_ALLOC2D_H
#define VARBLOC_SUPPORT_ALLOC2D_H

#include <cstddef>
#include <cstdint>

typedef double** column_matrix;
typedef int32_t** int_column_matrix;

// Returns a rows x length matrix of doubles, or null when rows * length is not
// positive or either allocation fails. Never ends the program.
column_matrix allocate_double_matrix(int32_t rows, int32_t length);

// As allocate_double_matrix, with the block aligned to `alignment` bytes (a
// power of two, at least the size of a pointer).
column_matrix allocate_aligned_double_matrix(int32_t rows, int32_t length, size_t alignment);

// Releases a matrix from allocate_double_matrix or
// allocate_aligned_double_matrix; null is ignored.
void free_double_matrix(column_matrix matrix);

// The same pair for 32-bit integers.
int_column_matrix allocate_int_matrix(int32_t rows, int32_t length);
void free_int_matrix(int_column_matrix matrix);

#endif
