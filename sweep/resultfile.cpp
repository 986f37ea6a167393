// The result file: the structures Annotations, SweepInfo and SweepData of
// one measurement, written through the MAT writer from the record store.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "matfile/matfile.h"
#include "sweep/sweep.h"

double* SaveBuffer = nullptr;
int64_t ResultFileLimit = kResultFileLimit;

namespace {

const char* const kAnnotationFields[] = {"OriginalFilename", "Annotation1", "Annotation2",
                                         "SweepPresetName", nullptr};
const char* const kDataFields[] = {"SampleNumber", "MeasurementTime", "Phase", "Magnitude",
                                   nullptr};

// The SweepInfo field names of this build, as the structure header lists
// them.
struct InfoNames {
  const char* names[kMaxInfoFields + 1];
  InfoNames() {
    for (int i = 0; i < kVariant.sweepInfoFields; ++i) names[i] = kVariant.sweepInfo[i].name;
    names[kVariant.sweepInfoFields] = nullptr;
  }
};
const InfoNames kInfoNames;

int32_t FieldCount(const char* const* names) {
  int32_t n = 0;
  while (names[n] != nullptr) ++n;
  return n;
}

// What the file holds, derived once from the configuration and the store.
struct Layout {
  int32_t nsub;
  int32_t maxPoints;
  int32_t sets;
  bool phase;
  bool magnitude;
  bool averaged;
};

// Takes the configured point counts: the largest of all 8 entries.
int32_t MaxPoints(const SweepInfo& info) {
  int32_t maxPoints = -1;
  for (int32_t points : info.Points) {
    if (points > maxPoints) maxPoints = points;
  }
  return maxPoints;
}

size_t TextLength(const char* text, size_t capacity) { return strnlen(text, capacity); }

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
      uint64_t units = static_cast<uint64_t>(rows) * static_cast<uint64_t>(columns);
      if (kind == Char) {
        units =
            static_cast<uint64_t>(NarrowToUtf16(static_cast<const char*>(data), units, nullptr, 0));
      }
      counted += MatrixElementBytes(units * ElemSizes[kind], 0);
    } else if (status == NoError) {
      status = WriteMatrix(file, kind, "", rows, columns, data);
    }
  }
  // A Double matrix whose values are handed out piece by piece.
  void Values(int32_t rows, int32_t columns, MatrixPieces next, void* context) {
    if (file == kInvalidFile) {
      counted += MatrixElementBytes(
          sizeof(double) * static_cast<uint64_t>(rows) * static_cast<uint64_t>(columns), 0);
    } else if (status == NoError) {
      status = WriteDoubleMatrix(file, "", rows, columns, next, context);
    }
  }
  void Scalar(double value) { Matrix(Double, 1, 1, &value); }
  void Flag(bool value) {
    const int32_t v = value ? 1 : 0;
    Matrix(Logical, 1, 1, &v);
  }
  void Text(const char* text, size_t capacity) {
    Matrix(Char, 1, static_cast<int32_t>(TextLength(text, capacity)), text);
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

// NaN fill for the rows below a range's points, handed out in pieces.
constexpr uint32_t kNaNBlockValues = 2048;
const double* NaNBlock() {
  static const struct Block {
    double values[kNaNBlockValues];
    Block() {
      for (double& v : values) v = NaNFill();
    }
  } block;
  return block.values;
}

// One quantity of a sweep set as a range matrix, handed out in column-major
// order from the records themselves: column k holds the values of range
// k's record, NaN below them.
struct RangeMatrix {
  const double* values[kMaxRanges];
  uint32_t taken[kMaxRanges];  // values of column k that come from its record
  int32_t maxPoints;
  uint64_t next;  // the value given next
};

const double* NextRangePiece(void* context, uint64_t left, uint32_t* count) {
  RangeMatrix& m = *static_cast<RangeMatrix*>(context);
  const uint64_t k = m.next / static_cast<uint64_t>(m.maxPoints);
  const uint32_t row = static_cast<uint32_t>(m.next % static_cast<uint64_t>(m.maxPoints));
  uint64_t run = static_cast<uint64_t>(m.maxPoints) - row;
  if (run > left) run = left;
  const double* piece;
  if (row < m.taken[k]) {
    run = std::min<uint64_t>(run, m.taken[k] - row);
    piece = m.values[k] + row;
  } else {
    run = std::min<uint64_t>(run, kNaNBlockValues);
    piece = NaNBlock();
  }
  *count = static_cast<uint32_t>(run);
  m.next += run;
  return piece;
}

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
      // Laid out in SaveBuffer just before the real writes (not for counting).
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

void WriteSweepInfoFields(FieldWriter& w, const SweepInfo& info, const Layout& layout) {
  for (int i = 0; i < kVariant.sweepInfoFields; ++i) {
    WriteInfoField(w, kVariant.sweepInfo[i].value, info, layout);
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

// Fails the save: nothing of it is kept, an earlier file of the name stays
// as it was, and the first failure is handed on.
int32_t Abandon(FileHandle file, int32_t status) {
  DiscardMatFile(file);
  return status;
}

// Takes the configured point counts: what the file of `sets` sets whose
// first record carries `content` holds.
Layout LayoutOf(const SweepInfo& info, const SaveData& save, int32_t sets, uint8_t content) {
  Layout layout{};
  layout.nsub = info.NumberOfRanges;
  layout.maxPoints = MaxPoints(info);
  layout.sets = sets;
  layout.phase = (content & kContentPhase) != 0;
  layout.magnitude = (content & kContentMagnitude) != 0;
  layout.averaged = kVariant.globalAverager && save.IsGloballyAveraged != 0;
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

}  // namespace

int32_t AllocSaveBuffer() {
  FreeSaveBuffer();
  SaveBuffer = static_cast<double*>(std::malloc(kSaveBufferBytes));
  return SaveBuffer != nullptr ? NoError : OutOfMemory;
}

void FreeSaveBuffer() {
  std::free(SaveBuffer);
  SaveBuffer = nullptr;
}

void FillFrequencyMatrix(const SweepInfo& info, int32_t maxPoints, double* matrix) {
  for (int32_t k = 0; k < info.NumberOfRanges && k < kMaxRanges; ++k) {
    double* column = matrix + static_cast<size_t>(k) * maxPoints;
    FillRangeColumn(column, nullptr, 0, 0, maxPoints);
    const double step = info.StepWord[k] * kHzPerWord;
    double f = info.StartWord[k] * kHzPerWord;
    for (int32_t j = 0; j < info.Points[k] && j < maxPoints; ++j) {
      column[j] = f;
      f = f + step;
    }
  }
}

uint64_t ResultFileBytes(const SweepInfo& info, const SaveData& save, int32_t sets,
                         uint8_t content) {
  const Layout layout = LayoutOf(info, save, sets, content);
  if (layout.nsub < 1 || layout.nsub > kMaxRanges || layout.maxPoints < 1) return 0;
  FieldWriter w = FieldWriter::Counting();
  WriteAnnotationFields(w, info, save);
  const uint64_t annotations = w.Take();
  WriteSweepInfoFields(w, info, layout);
  const uint64_t sweepInfo = w.Take();
  WriteSetElement(w, info, layout, nullptr);
  const uint64_t elements = (layout.averaged ? 1 : static_cast<uint64_t>(sets)) * w.Take();
  return kMatHeaderBytes +
         StructElementBytes(std::strlen("Annotations"), FieldCount(kAnnotationFields),
                            annotations) +
         StructElementBytes(std::strlen("SweepInfo"), kVariant.sweepInfoFields, sweepInfo) +
         StructElementBytes(std::strlen("SweepData"), FieldCount(kDataFields), elements);
}

bool ResultFileFits(const SweepInfo& info, int32_t sets, uint8_t content) {
  return ResultFileBytes(info, LongestSaveData(), sets, content) <=
         static_cast<uint64_t>(ResultFileLimit);
}

int32_t WriteResultFile(const SweepInfo& info, const SaveData& saveData) {
  RecordNode* first = FindCompleteSweepSet(RecordHead, info.NumberOfRanges);
  if (first == nullptr) return NoData;
  const Layout layout = LayoutOf(info, saveData, CountCompleteSweepSets(info.NumberOfRanges),
                                 SweepContent(first->header));
  // A configuration that the limits check would have refused cannot be laid
  // out in the averager's sums.
  if (layout.maxPoints < 1 || layout.maxPoints > kMaxPoints) return InvalidValue;
  if (layout.averaged &&
      ((layout.phase && PhaseSum == nullptr) || (layout.magnitude && MagnitudeSum == nullptr))) {
    return OutOfMemory;
  }
  if (SaveBuffer == nullptr && AllocSaveBuffer() != NoError) return OutOfMemory;

  const FileHandle file = CreateMatFile(saveData.OriginalFilename);
  if (file == kInvalidFile) return CantOpenFile;

  // The first set never reports a measurement time.
  first->header[19] = 0xFF;
  first->header[20] = 0xFF;

  FieldWriter w{file, NoError, 0};
  BeginSizing();
  WriteAnnotationFields(w, info, saveData);
  uint64_t bytes = EndSizing();
  w.status = WriteStructHeader(file, "Annotations", 1, bytes, kAnnotationFields);
  WriteAnnotationFields(w, info, saveData);
  if (w.status != NoError) return Abandon(file, w.status);

  BeginSizing();
  WriteSweepInfoFields(w, info, layout);
  bytes = EndSizing();
  FillFrequencyMatrix(info, layout.maxPoints, SaveBuffer);
  w.status = WriteStructHeader(file, "SweepInfo", 1, bytes, kInfoNames.names);
  WriteSweepInfoFields(w, info, layout);
  if (w.status != NoError) return Abandon(file, w.status);

  BeginSizing();
  WriteSetElement(w, info, layout, first);
  const uint64_t element = EndSizing();
  const int32_t count = layout.averaged ? 1 : layout.sets;
  w.status = WriteStructHeader(file, "SweepData", count, element * count, kDataFields);
  if (w.status != NoError) return Abandon(file, w.status);

  for (RecordNode* set = first; set != nullptr && w.status == NoError;
       set = FindCompleteSweepSet(AfterSweepSet(set, layout.nsub), layout.nsub)) {
    if (layout.averaged) {
      AccumulateSweepSet(PhaseSum, MagnitudeSum, set, layout.nsub, info.Points, layout.maxPoints,
                         SaveBuffer, layout.phase, layout.magnitude);
    } else {
      WriteSetElement(w, info, layout, set);
    }
  }
  if (layout.averaged) {
    FinishAverage(layout.sets);
    WriteAveragedElement(w, layout);
  }
  if (w.status != NoError) return Abandon(file, w.status);

  EndStructFields();
  return CloseMatFile(file);
}
