#include "support/alloc.h"

#include <cstdlib>  // malloc, realloc

#include "support/error.h"

// Zero-byte requests are served as one byte so that a null result always
// means exhaustion (malloc(0) may legitimately return null).
void* xmalloc(size_t bytes) {
  void* memory = malloc(bytes == 0 ? 1 : bytes);
  if (memory == nullptr) throw allocation_error();
  return memory;
}

void* xrealloc(void* memory, size_t bytes) {
  void* resized = realloc(memory, bytes == 0 ? 1 : bytes);
  if (resized == nullptr) fatal(ERROR_OUT_OF_MEMORY, "ReAlloc: Virtual memory exhausted");
  return resized;
}
