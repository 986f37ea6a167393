// Reads bytes as a result file, and as MAT elements on their own, from memory: whatever they hold, the readers
// touch no byte outside them, a refusal says what was expected and at which byte (one within the file), and a
// file the result-file reader takes is one the MAT reader takes, structure for structure.
#include <cstdlib>
#include <cstring>

#include "matfile/matfile.h"
#include "sweep/resultfile_reader.h"

namespace {

// A refusal names a byte of the file, or where it ends.
void CheckMessage(int32_t status, const char* message, size_t size) {
  if (status == NoError) {
    if (*message != '\0') std::abort();
    return;
  }
  if (status != InvalidValue && status != InvalidOperation) std::abort();  // memory: no open or read fails
  if (status == InvalidOperation) return;
  const char* at = std::strstr(message, " at byte ");
  if (std::strncmp(message, "expected ", 9) != 0 || at == nullptr || std::strstr(at, ", found ") == nullptr) std::abort();
  if (std::strtoull(at + 9, nullptr, 10) > size) std::abort();
}

// Every structure, every field, data read or skipped by turns; matrices at the top level with `matrices`.
int32_t Walk(const uint8_t* data, size_t size, bool matrices, int* structures) {
  MatReader r;
  static double values[1 << 17];
  int32_t status = OpenMatReaderOnBytes(&r, data, size);
  for (int n = 0; status == NoError && MatReaderOffset(&r) < size; ++n) {
    MatStructHead s;
    MatMatrixHead m;
    if (!matrices && (status = ReadStructHead(&r, &s)) == NoError) ++*structures;
    const uint64_t fields = matrices ? 1 : uint64_t(s.count) * uint64_t(s.fieldCount);
    for (uint64_t f = 0; status == NoError && f < fields; ++f) {
      if ((status = ReadMatrixHead(&r, &m)) != NoError) break;
      // Data left unread is skipped by the next call; the last one's here, so that the offset is past it.
      const bool read = (n + f) % 2 == 0 && m.dataBytes <= sizeof values;
      if (read || f + 1 == fields) status = ReadMatrixData(&r, read ? values : nullptr, sizeof values);
    }
  }
  if (status == NoError) status = ReadMatEnd(&r);
  CheckMessage(status, MatReaderMessage(&r), size);
  CloseMatReader(&r);
  return status;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ResultReader r;
  int32_t status = OpenResultBytes(&r, data, size);
  volatile double sink = 0;  // every value of every set is read
  while (status == NoError && ResultSetsLeft(&r)) {
    ResultSet set;
    if ((status = ReadResultSet(&r, &set)) != NoError) break;
    const size_t n = size_t(r.info.maxPoints) * size_t(r.info.ranges);
    for (size_t i = 0; i < n; ++i) sink = sink + (set.phase ? set.phase[i] : 0) + (set.magnitude ? set.magnitude[i] : 0);
  }
  if (status == NoError && (r.setsRead != r.info.sets || r.info.build == nullptr)) std::abort();
  CheckMessage(status, ResultReaderMessage(&r), size);
  CloseResultFile(&r);

  int structures = 0;
  const int32_t walked = Walk(data, size, false, &structures);
  if (status == NoError && (walked != NoError || structures != 3)) std::abort();
  Walk(data, size, true, &structures);
  return 0;
}
