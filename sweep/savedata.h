// The save request: the file a measurement is saved under, its annotations
// and, in a build with the global averager, -m. The command line fills it;
// the main thread hands it to the acquisition thread twice, as the planned
// save when a measurement starts and with the request to save at its end.
#pragma once

#include <cstdint>

struct SaveData {
  char OriginalFilename[257];
  char Annotation1[81];
  char Annotation2[81];
  int32_t IsGloballyAveraged;
};
