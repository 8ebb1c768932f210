#include "support/alloc2d.h"

#include <cstdint>  // SIZE_MAX
#include <cstdlib>  // malloc, posix_memalign, free

namespace {

// Allocates the pointer table and the block (aligned to `alignment` bytes, a
// power of two multiple of the pointer size, when not 0) and points each row
// into the block. Returns the table, or null.
template <typename T>
T** allocate_matrix(int32_t rows, int32_t length, size_t alignment = 0) {
  if (rows <= 0 || length <= 0) return nullptr;
  uint64_t entries = static_cast<uint64_t>(rows) * static_cast<uint64_t>(length);
  if (entries > SIZE_MAX / sizeof(T)) return nullptr;
  T** table = static_cast<T**>(malloc(static_cast<size_t>(rows) * sizeof(T*)));
  if (table == nullptr) return nullptr;
  const size_t bytes = static_cast<size_t>(entries) * sizeof(T);
  void* memory = nullptr;
  if (alignment == 0) {
    memory = malloc(bytes);
  } else if (posix_memalign(&memory, alignment, bytes) != 0) {
    memory = nullptr;
  }
  T* block = static_cast<T*>(memory);
  if (block == nullptr) {
    free(table);
    return nullptr;
  }
  for (int32_t r = 0; r < rows; r++) table[r] = block + static_cast<size_t>(r) * length;
  return table;
}

template <typename T>
void free_matrix(T** table) {
  if (table == nullptr) return;
  free(table[0]);
  free(table);
}

}  // namespace

column_matrix allocate_double_matrix(int32_t rows, int32_t length) {
  return allocate_matrix<double>(rows, length);
}

column_matrix allocate_aligned_double_matrix(int32_t rows, int32_t length, size_t alignment) {
  return allocate_matrix<double>(rows, length, alignment);
}

void free_double_matrix(column_matrix matrix) {
  free_matrix(matrix);
}

int_column_matrix allocate_int_matrix(int32_t rows, int32_t length) {
  return allocate_matrix<int32_t>(rows, length);
}

void free_int_matrix(int_column_matrix matrix) {
  free_matrix(matrix);
}
