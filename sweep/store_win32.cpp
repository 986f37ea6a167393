// Heap trim after the record store is emptied: the C runtime's heap
// minimisation returns unused heap pages to the system.
#include <malloc.h>

#include <cstdint>

#include "sweep/sweep.h"

int32_t StoreHeapTrim() { return _heapmin(); }
