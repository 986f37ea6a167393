// Heap trim after the record store is emptied: glibc keeps freed memory in
// its arenas unless asked to return it.
#include <cstdint>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "sweep/sweep.h"

int32_t StoreHeapTrim() {
#if defined(__GLIBC__)
  return malloc_trim(0);
#else
  return 0;
#endif
}
