// One stored sub-sweep of the record store: its SWEEPDATA header and its
// values, converted to doubles when it arrived.
#pragma once

#include <cstdint>

// Node and values in one allocation.
struct RecordNode {
  RecordNode* next;
  uint8_t header[21];   // bytes 0..20 of the SWEEPDATA payload
  double* phase;        // P phase values, or null
  double* magnitude;    // P magnitude values, or null
  uint32_t valueCount;  // P: values stored per present kind
};
