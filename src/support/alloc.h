// Allocation that never hands back null: exhaustion ends the program.
#ifndef VARBLOC_SUPPORT_ALLOC_H
#define VARBLOC_SUPPORT_ALLOC_H

#include <cstddef>  // size_t

// malloc that ends the program with fatal error 99 when memory is exhausted.
// A request for 0 bytes is valid and returns a pointer that may be freed.
void* xmalloc(size_t bytes);

// realloc with the same guarantee.
void* xrealloc(void* memory, size_t bytes);

#endif
