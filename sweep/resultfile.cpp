// The result file: the structures Annotations, SweepInfo and SweepData of
// one measurement, written through the MAT writer from the record store.
#include "sweep/resultfile.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "matfile/matfile.h"
#include "platform/platform.h"
#include "sweep/averager.h"
#include "sweep/range_matrix.h"

double* SaveBuffer = nullptr;
int64_t ResultFileLimit = kResultFileLimit;

namespace {

constexpr uint64_t kAnnotationFieldCount = std::size(kAnnotationFields) - 1;
constexpr uint64_t kDataFieldCount = std::size(kDataFields) - 1;

// A build's SweepInfo field names, as the structure header lists them.
struct InfoNames {
  const char* names[kMaxInfoFields + 1];
  explicit InfoNames(const SweepBuild& build) {
    for (int i = 0; i < build.sweepInfoFields; ++i) names[i] = build.sweepInfo[i].name;
    names[build.sweepInfoFields] = nullptr;
  }
};

// What the file holds, derived once from the measurement and the store.
struct Layout {
  int32_t nsub;
  int32_t maxPoints;
  int32_t sets;
  bool phase;
  bool magnitude;
  bool averaged;
};

// Field writes of one structure. The first failure is kept and every later
// write is skipped, so a failed save stops at once. A counting writer
// (file kInvalidFile) writes nothing and adds up the bytes the fields take,
// so that the file's size comes from the very writes that make the file.
struct FieldWriter {
  FileHandle file;
  int32_t status;
  uint64_t counted;

  static FieldWriter Counting() { return FieldWriter{kInvalidFile, NoError, 0}; }

  // Bytes counted so far, and the count starts again.
  uint64_t Take() {
    const uint64_t bytes = counted;
    counted = 0;
    return bytes;
  }

  void Matrix(int32_t kind, int32_t rows, int32_t columns, const void* data) {
    if (file == kInvalidFile) {
      counted += MatrixBytes(kind, nullptr, rows, columns, data);
    } else if (status == NoError) {
      status = WriteMatrix(file, kind, nullptr, rows, columns, data);
    }
  }
  // A Double matrix whose values are handed out piece by piece.
  void Values(int32_t rows, int32_t columns, MatrixPieces next, void* context) {
    if (file == kInvalidFile) {
      counted += MatrixBytes(Double, nullptr, rows, columns, nullptr);
    } else if (status == NoError) {
      status = WriteDoubleMatrix(file, nullptr, rows, columns, next, context);
    }
  }
  void Scalar(double value) { Matrix(Double, 1, 1, &value); }
  void Flag(bool value) {
    const int32_t v = value ? 1 : 0;
    Matrix(Logical, 1, 1, &v);
  }
  void Text(const char* text, size_t capacity) {
    Matrix(Char, 1, static_cast<int32_t>(strnlen(text, capacity)), text);
  }
  // A range matrix, or an empty 0 x 0 double when the quantity is absent.
  void Range(const Layout& layout, bool present, const double* data) {
    if (present) {
      Matrix(Double, layout.maxPoints, layout.nsub, data);
    } else {
      Matrix(Double, 0, 0, nullptr);
    }
  }
};

void WriteAnnotationFields(FieldWriter& w, const SweepInfo& info, const SaveData& save) {
  w.Text(save.OriginalFilename, sizeof save.OriginalFilename);
  w.Text(save.Annotation1, sizeof save.Annotation1);
  w.Text(save.Annotation2, sizeof save.Annotation2);
  w.Text(info.PresetName, sizeof info.PresetName);
}

void WriteInfoField(FieldWriter& w, InfoValue value, const SweepInfo& info, const Layout& layout) {
  switch (value) {
    case InfoValue::SubSweeps: w.Scalar(layout.nsub); break;
    case InfoValue::SweepLengths: {
      double sweepLength[kMaxRanges];
      for (int k = 0; k < kMaxRanges; ++k) sweepLength[k] = info.Points[k];
      w.Matrix(Double, 1, layout.nsub, sweepLength);
      break;
    }
    case InfoValue::RequestedStarts: w.Matrix(Double, 1, layout.nsub, info.RequestedStart); break;
    case InfoValue::RequestedStops: w.Matrix(Double, 1, layout.nsub, info.RequestedStop); break;
    case InfoValue::Frequencies:
      // Laid out in SaveBuffer before the fields are written (not read when
      // counting).
      w.Matrix(Double, layout.maxPoints, layout.nsub, SaveBuffer);
      break;
    case InfoValue::PhasePresent: w.Flag(layout.phase); break;
    case InfoValue::MagnitudePresent: w.Flag(layout.magnitude); break;
    case InfoValue::RequestedPeriod: w.Scalar(info.RequestedPeriod); break;
    case InfoValue::RealizedPeriod: w.Scalar(info.RealizedPeriod); break;
    case InfoValue::Settling: w.Scalar(info.SettlingTime); break;
    case InfoValue::Averaging: w.Scalar(info.Averaging); break;
    case InfoValue::GloballyAveraged: w.Flag(layout.averaged); break;
    case InfoValue::OutputPower: w.Scalar(info.OutputPower); break;
    case InfoValue::Sweeps: w.Scalar(layout.sets); break;
  }
}

void WriteSweepInfoFields(FieldWriter& w, const SweepBuild& build, const SweepInfo& info,
                          const Layout& layout) {
  for (int i = 0; i < build.sweepInfoFields; ++i) {
    WriteInfoField(w, build.sweepInfo[i].value, info, layout);
  }
}

// The largest measurement time of a set's records, in seconds; NaN when that
// largest tick count is "not available".
double SetTime(const RecordNode* set, int32_t nsub) {
  uint16_t largest = 0;
  for (int32_t i = 0; i < nsub && set != nullptr; ++i, set = set->next) {
    const uint16_t ticks = SweepTimeTicks(set->header);
    if (ticks > largest) largest = ticks;
  }
  return largest == kTimeNotAvailable ? NaNFill() : largest * kTickSeconds;
}

// One quantity of a set as a range matrix, or an empty 0 x 0 double when
// the file carries no such quantity.
void WriteSetQuantity(FieldWriter& w, const SweepInfo& info, const Layout& layout,
                      const RecordNode* set, bool phase) {
  if (!(phase ? layout.phase : layout.magnitude)) {
    w.Range(layout, false, nullptr);
    return;
  }
  RangeMatrix m{};
  m.maxPoints = layout.maxPoints;
  for (int32_t k = 0; k < layout.nsub && set != nullptr; ++k, set = set->next) {
    m.values[k] = phase ? set->phase : set->magnitude;
    // Never more than the record holds, the range's points or the rows.
    uint32_t taken = m.values[k] == nullptr ? 0 : set->valueCount;
    taken = std::min(taken, static_cast<uint32_t>(std::max(info.Points[k], 0)));
    m.taken[k] = std::min(taken, static_cast<uint32_t>(layout.maxPoints));
  }
  w.Values(layout.maxPoints, layout.nsub, NextRangePiece, &m);
}

// One element of SweepData for the set starting at `set`; a null set gives
// the element's shape, for counting.
void WriteSetElement(FieldWriter& w, const SweepInfo& info, const Layout& layout,
                     const RecordNode* set) {
  w.Scalar(set != nullptr ? SweepSampleNumber(set->header) : 0.0);
  w.Scalar(SetTime(set, layout.nsub));
  WriteSetQuantity(w, info, layout, set, true);
  WriteSetQuantity(w, info, layout, set, false);
}

void WriteAveragedElement(FieldWriter& w, const Layout& layout) {
  w.Scalar(0.0);
  w.Scalar(NaNFill());
  w.Range(layout, layout.phase, PhaseSum);
  w.Range(layout, layout.magnitude, MagnitudeSum);
}

// The bytes of each structure's fields, counted by the writes that write
// them. An element's size does not depend on its set.
struct FieldBytes {
  uint64_t annotations;
  uint64_t sweepInfo;
  uint64_t sweepData;
};
FieldBytes CountFields(const SweepBuild& build, const SweepInfo& info, const SaveData& save,
                       const Layout& layout) {
  FieldWriter w = FieldWriter::Counting();
  FieldBytes bytes{};
  WriteAnnotationFields(w, info, save);
  bytes.annotations = w.Take();
  WriteSweepInfoFields(w, build, info, layout);
  bytes.sweepInfo = w.Take();
  WriteSetElement(w, info, layout, nullptr);
  bytes.sweepData = (layout.averaged ? 1 : static_cast<uint64_t>(layout.sets)) * w.Take();
  return bytes;
}

// Fails the save: nothing of it is kept, an earlier file of the name stays
// as it was, and the first failure is handed on.
int32_t Abandon(FileHandle file, int32_t status) {
  DiscardMatFile(file);
  return status;
}

// What the file of `sets` sets whose first record carries `content` holds.
Layout LayoutOf(const SweepInfo& info, bool averaged, int32_t sets, uint8_t content) {
  Layout layout{};
  layout.nsub = info.NumberOfRanges;
  layout.maxPoints = MaxPoints(info);
  layout.sets = sets;
  layout.phase = (content & kContentPhase) != 0;
  layout.magnitude = (content & kContentMagnitude) != 0;
  layout.averaged = averaged;
  return layout;
}

// The longest save request: a kept store is sized with it, so that no file
// name or annotation can take its file past the limit.
const SaveData& LongestSaveData() {
  static const SaveData longest = [] {
    SaveData save;
    std::memset(&save, 'x', sizeof save);
    save.OriginalFilename[sizeof save.OriginalFilename - 1] = '\0';
    save.Annotation1[sizeof save.Annotation1 - 1] = '\0';
    save.Annotation2[sizeof save.Annotation2 - 1] = '\0';
    save.IsGloballyAveraged = 0;
    return save;
  }();
  return longest;
}

// Fills the frequency matrix's column: NaN fill, then the points from the
// start word up, by repeated addition.
void FillFrequencyColumn(double* column, double startWord, double stepWord, int32_t points,
                         int32_t maxPoints) {
  const double fill = NaNFill();
  for (int32_t j = 0; j < maxPoints; ++j) column[j] = fill;
  const double step = stepWord * kHzPerWord;
  double f = startWord * kHzPerWord;
  for (int32_t j = 0; j < points && j < maxPoints; ++j) {
    column[j] = f;
    f = f + step;
  }
}

}  // namespace

int32_t SetUpSaving(const SweepBuild& build) {
  if (AllocDiskBuffer(kDiskBufferBytes) != NoError) return OutOfMemory;
  if (build.globalAverager && InitAverager() != NoError) return OutOfMemory;
  return NoError;
}

int32_t AllocSaveBuffer() {
  FreeSaveBuffer();
  SaveBuffer = static_cast<double*>(ReserveBlock(kSaveBufferBytes));
  return SaveBuffer != nullptr ? NoError : OutOfMemory;
}

void FreeSaveBuffer() {
  ReleaseBlock(SaveBuffer, kSaveBufferBytes);
  SaveBuffer = nullptr;
}

void FillFrequencyMatrix(const SweepInfo& info, int32_t maxPoints, double* matrix) {
  for (int32_t k = 0; k < info.NumberOfRanges && k < kMaxRanges; ++k) {
    FillFrequencyColumn(matrix + static_cast<size_t>(k) * static_cast<size_t>(maxPoints),
                        info.StartWord[k], info.StepWord[k], info.Points[k], maxPoints);
  }
}

uint64_t ResultFileBytes(const SweepBuild& build, const SweepInfo& info, bool averaged,
                         const SaveData& save, int32_t sets, uint8_t content) {
  const Layout layout = LayoutOf(info, averaged, sets, content);
  if (layout.nsub < 1 || layout.nsub > kMaxRanges || layout.maxPoints < 1) return 0;
  const FieldBytes bytes = CountFields(build, info, save, layout);
  return kMatHeaderBytes +
         StructElementBytes(std::strlen("Annotations"), kAnnotationFieldCount, bytes.annotations) +
         StructElementBytes(std::strlen("SweepInfo"), static_cast<uint64_t>(build.sweepInfoFields),
                            bytes.sweepInfo) +
         StructElementBytes(std::strlen("SweepData"), kDataFieldCount, bytes.sweepData);
}

FileBound ResultFileBound(const SweepBuild& build, const SweepInfo& info, bool averaged) {
  FileBound bound{{kUnboundedSets, kUnboundedSets, kUnboundedSets, kUnboundedSets}, averaged};
  if (averaged) return bound;
  // The size grows by one SweepData element per set.
  const uint64_t limit = static_cast<uint64_t>(ResultFileLimit);
  for (uint8_t content = 1; content <= 3; ++content) {
    const uint64_t none = ResultFileBytes(build, info, false, LongestSaveData(), 0, content);
    const uint64_t one = ResultFileBytes(build, info, false, LongestSaveData(), 1, content);
    const uint64_t sets = none == 0 || none > limit ? 0 : (limit - none) / (one - none);
    bound.maxSets[content] = static_cast<int32_t>(std::min<uint64_t>(sets, kUnboundedSets));
  }
  return bound;
}

int32_t WriteResultFile(const SweepBuild& build, const SweepInfo& info, bool averaged,
                        const SaveData& saveData, const char* path) {
  // Averaged, the sets are in the sums already, and the store keeps none.
  uint8_t content = 0;
  RecordNode* first = averaged ? nullptr : FindCompleteSweepSet(RecordHead, info.NumberOfRanges);
  const int32_t sets =
      averaged ? CompletedSets(&content) : CountCompleteSweepSets(info.NumberOfRanges);
  if (sets == 0) return NoData;
  if (first != nullptr) content = SweepContent(first->header);
  const Layout layout = LayoutOf(info, averaged, sets, content);
  // A configuration that the limits check would have refused cannot be laid
  // out in the averager's sums.
  if (layout.maxPoints < 1 || layout.maxPoints > kMaxPoints) return InvalidValue;
  if (!DiskBufferReserved() || SaveBuffer == nullptr ||
      (layout.averaged &&
       ((layout.phase && PhaseSum == nullptr) || (layout.magnitude && MagnitudeSum == nullptr)))) {
    return InvalidOperation;
  }
  const FieldBytes bytes = CountFields(build, info, saveData, layout);

  const FileHandle file = CreateMatFile(path);
  if (file == kInvalidFile) return CantOpenFile;

  // The first set never reports a measurement time.
  if (first != nullptr) SetSweepTimeTicks(first->header, kTimeNotAvailable);

  FieldWriter w{file, NoError, 0};
  w.status = WriteStructHeader(file, "Annotations", 1, bytes.annotations, kAnnotationFields);
  WriteAnnotationFields(w, info, saveData);
  if (w.status != NoError) return Abandon(file, w.status);

  FillFrequencyMatrix(info, layout.maxPoints, SaveBuffer);
  w.status = WriteStructHeader(file, "SweepInfo", 1, bytes.sweepInfo, InfoNames(build).names);
  WriteSweepInfoFields(w, build, info, layout);
  if (w.status != NoError) return Abandon(file, w.status);

  const int32_t count = layout.averaged ? 1 : layout.sets;
  w.status = WriteStructHeader(file, "SweepData", count, bytes.sweepData, kDataFields);
  if (w.status != NoError) return Abandon(file, w.status);

  for (RecordNode* set = first; set != nullptr && w.status == NoError;
       set = FindCompleteSweepSet(AfterSweepSet(set, layout.nsub), layout.nsub)) {
    WriteSetElement(w, info, layout, set);
  }
  if (layout.averaged) {
    FinishAverage(layout.sets);
    WriteAveragedElement(w, layout);
  }
  if (w.status != NoError) return Abandon(file, w.status);
  return CloseMatFile(file);
}
