// The series as output: the CSV row, and the MAT file, its rows spooled to
// a scratch file beside it while the series is read.
#include <cinttypes>
#include <cstdarg>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "link/status.h"
#include "matfile/matfile.h"
#include "platform/time_text.h"
#include "sweep/resultfile.h"
#include "track/track.h"

const char kTrackCsvHeader[] =
    "file,sample_number,time_s,utc,range,f0_hz,fwhm_hz,q,peak_db,phase_deg,residual,status\n";

int64_t TrackMatLimit = kResultFileLimit;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Appends text to out (at most size bytes); false once it does not fit.
struct Line {
  char* out;
  size_t size;
  size_t length;
  bool fits;

  void Put(const char* text, size_t n) {
    if (!fits || n > size - length) {
      fits = false;
      return;
    }
    std::memcpy(out + length, text, n);
    length += n;
  }
  void Put(const char* text) { Put(text, std::strlen(text)); }
};

// The fewest significant digits that read back as the same double; nothing
// for an unknown value. The decimal point is a point whatever the locale.
void PutNumber(Line* line, double value) {
  if (!std::isfinite(value)) return;
  char text[40];
  for (int digits = 15; digits <= 17; ++digits) {
    std::snprintf(text, sizeof text, "%.*g", digits, value);
    for (char* c = text; *c != '\0'; ++c) {
      if (*c == ',') *c = '.';
    }
    if (digits == 17 || std::strtod(text, nullptr) == value) break;
  }
  line->Put(text);
}

// A file name as one CSV field: quoted, its quotes doubled, when it holds
// a comma, a quote or a line end.
void PutField(Line* line, const char* text) {
  if (std::strpbrk(text, ",\"\r\n") == nullptr) {
    line->Put(text);
    return;
  }
  line->Put("\"");
  for (const char* quote = std::strchr(text, '"'); quote != nullptr;
       text = quote + 1, quote = std::strchr(text, '"')) {
    line->Put(text, static_cast<size_t>(quote - text) + 1);
    line->Put("\"");
  }
  line->Put(text);
  line->Put("\"");
}

}  // namespace

const char* FitStatusWord(FitStatus status) {
  switch (status) {
    case FitStatus::Ok: return "ok";
    case FitStatus::Edge: return "edge";
    case FitStatus::None: return "none";
    case FitStatus::NoData: return "nodata";
  }
  return "nodata";
}

size_t FormatTrackRow(const TrackedSet& set, int32_t k, char* out, size_t size) {
  Line line{out, size, 0, true};
  const Resonance& fit = set.fits[k];
  PutField(&line, set.source);
  line.Put(",");
  PutNumber(&line, set.sampleNumber);
  line.Put(",");
  PutNumber(&line, set.time.seconds);
  line.Put(",");
  char utc[40];
  if (set.time.utc != 0 && FormatIsoTime(set.time.utc, utc, sizeof utc)) line.Put(utc);
  char range[16];
  std::snprintf(range, sizeof range, ",%d,", static_cast<int>(k + 1));
  line.Put(range);
  for (const double value : {fit.f0Hz, fit.fwhmHz, fit.q, fit.peakDb, fit.phaseDeg, fit.residual}) {
    PutNumber(&line, value);
    line.Put(",");
  }
  line.Put(FitStatusWord(fit.status));
  line.Put("\n");
  return line.fits ? line.length : 0;
}

// ------------------------------------------------------------------ MAT output
//
// The spool is a run of blocks, each of up to kBlockSets sets: a head of
// two u32 (its sets, and its ranges, the most of its sets) and 8 bytes of
// fill, then its columns, each the block's sets of doubles: for each
// quantity of kRangeQuantities the ranges' columns, then the columns of
// kSetQuantities. A matrix's column is its blocks' pieces of that column,
// read in turn.

namespace {

enum RangeQuantity { kF0, kFwhm, kQ, kPeakDb, kPhaseDeg, kResidual, kStatus, kRangeQuantities };
enum SetQuantity { kTime, kSampleNumber, kSourceIndex, kTimeIsEstimate, kSetQuantities };
constexpr uint32_t kBlockSets = 4096;
constexpr int32_t kBlockColumns = kRangeQuantities * kTrackRanges + kSetQuantities;
constexpr uint64_t kBlockHeadBytes = 16;
// A matrix is handed to the writer in pieces it copies at once.
constexpr uint32_t kPieceValues = kMatCopiedPieceBytes / sizeof(double) - 1;

// The variables, in file order: the matrix, whose columns are ranges (or
// one for a set's quantity), and where its values come from.
struct Variable {
  const char* name;
  bool perRange;  // else one column
  bool repeated;  // a set's quantity given in each range's column
  int32_t quantity;
};
constexpr Variable kVariables[] = {
    {"F0", true, false, kF0},
    {"FWHM", true, false, kFwhm},
    {"Q", true, false, kQ},
    {"PeakdB", true, false, kPeakDb},
    {"PhaseDeg", true, false, kPhaseDeg},
    {"Residual", true, false, kResidual},
    {"Status", true, false, kStatus},
    {"Time", true, true, kTime},
    {"SampleNumber", true, true, kSampleNumber},
    {"SourceIndex", false, false, kSourceIndex},
    {"TimeIsEstimate", false, false, kTimeIsEstimate},
};
constexpr const char* kSourcesName = "Sources";
constexpr const char* kSourceFields[] = {"Name", nullptr};

uint64_t BlockBytes(uint32_t sets, int32_t ranges) {
  return kBlockHeadBytes + uint64_t{sets} * sizeof(double) *
                               static_cast<uint64_t>(kRangeQuantities * ranges + kSetQuantities);
}

// Where a column of a block lies, from the block's start.
uint64_t ColumnAt(uint32_t sets, int32_t ranges, const Variable& v, int32_t range) {
  const uint64_t column = v.repeated || !v.perRange
                              ? static_cast<uint64_t>(kRangeQuantities * ranges + v.quantity)
                              : static_cast<uint64_t>(v.quantity * ranges + range);
  return kBlockHeadBytes + column * sets * sizeof(double);
}

double* BlockColumn(TrackMat* mat, int32_t column) {
  return mat->block + static_cast<size_t>(column) * kBlockSets;
}

int32_t Refuse(TrackMat* mat, int32_t status, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
int32_t Refuse(TrackMat* mat, int32_t status, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vsnprintf(mat->message, sizeof mat->message, format, args);
  va_end(args);
  return status;
}

int32_t FlushBlock(TrackMat* mat) {
  if (mat->blockSets == 0) return NoError;
  uint8_t head[kBlockHeadBytes] = {};
  std::memcpy(head, &mat->blockSets, 4);
  std::memcpy(head + 4, &mat->blockRanges, 4);
  OutputPiece pieces[1 + kBlockColumns];
  int count = 0;
  pieces[count++] = {head, sizeof head};
  const size_t bytes = size_t{mat->blockSets} * sizeof(double);
  for (int32_t q = 0; q < kRangeQuantities; ++q) {
    for (int32_t k = 0; k < mat->blockRanges; ++k) {
      pieces[count++] = {BlockColumn(mat, q * kTrackRanges + k), bytes};
    }
  }
  for (int32_t q = 0; q < kSetQuantities; ++q) {
    pieces[count++] = {BlockColumn(mat, kRangeQuantities * kTrackRanges + q), bytes};
  }
  if (!WriteOutputPieces(mat->spool, pieces, count)) {
    char why[160];
    LastErrorText(why, sizeof why);
    return Refuse(mat, WriteError, "cannot spool the rows of %s beside it: %s", mat->path, why);
  }
  mat->spoolBytes += BlockBytes(mat->blockSets, mat->blockRanges);
  mat->blockSets = 0;
  mat->blockRanges = 0;
  return NoError;
}

// Hands the columns of a matrix to the writer in order, each block by
// block from the spool.
struct ColumnReader {
  TrackMat* mat;
  const Variable* variable;
  int32_t column;  // of the matrix, being handed out
  int32_t columns;
  bool loaded;     // a block's head has been read
  uint64_t block;  // where that block starts
  uint32_t blockSets;
  int32_t blockRanges;
  uint32_t done;  // of the block's sets, handed out
  bool failed;
  double values[kPieceValues];
};

const double* NextPiece(void* context, uint64_t left, uint32_t* count) {
  ColumnReader& c = *static_cast<ColumnReader*>(context);
  TrackMat& mat = *c.mat;
  while (!c.loaded || c.done == c.blockSets) {
    // The next block; after the last, the first again for the next column.
    if (c.loaded) c.block += BlockBytes(c.blockSets, c.blockRanges);
    if (c.block >= mat.spoolBytes) {
      c.block = 0;
      if (c.loaded) ++c.column;
    }
    uint8_t head[kBlockHeadBytes];
    if (c.column >= c.columns || !ReadFileAt(mat.spool, c.block, head, sizeof head)) {
      c.failed = true;
      return nullptr;
    }
    std::memcpy(&c.blockSets, head, 4);
    std::memcpy(&c.blockRanges, head + 4, 4);
    c.loaded = true;
    c.done = 0;
  }
  uint32_t n = c.blockSets - c.done;
  if (n > kPieceValues) n = kPieceValues;
  if (n > left) n = static_cast<uint32_t>(left);
  const Variable& v = *c.variable;
  if (v.perRange && !v.repeated && c.column >= c.blockRanges) {
    for (uint32_t i = 0; i < n; ++i) c.values[i] = kNaN;  // its sets have no such range
  } else {
    const uint64_t at = c.block + ColumnAt(c.blockSets, c.blockRanges, v, c.column) +
                        uint64_t{c.done} * sizeof(double);
    if (!ReadFileAt(mat.spool, at, c.values, n * sizeof(double))) {
      c.failed = true;
      return nullptr;
    }
  }
  c.done += n;
  *count = n;
  return c.values;
}

// The sources' names, as the spool of names keeps them: u32 length, then
// the bytes.
struct NameReader {
  TrackMat* mat;
  uint64_t at;
  char name[kTrackPathBytes];
  bool Next() {
    uint32_t length = 0;
    if (!ReadFileAt(mat->names, at, &length, 4) || length >= sizeof name ||
        !ReadFileAt(mat->names, at + 4, name, length)) {
      return false;
    }
    name[length] = '\0';
    at += 4 + length;
    return true;
  }
};

// The largest text the writer takes in a MAT character matrix.
constexpr size_t kMatTextBytes = 512;

int32_t WriteMat(TrackMat* mat, FileHandle file) {
  const int32_t columns = mat->ranges;
  ColumnReader* reader = static_cast<ColumnReader*>(std::malloc(sizeof(ColumnReader)));
  if (reader == nullptr) return Refuse(mat, OutOfMemory, "no memory to write %s", mat->path);
  int32_t status = NoError;
  for (const Variable& v : kVariables) {
    *reader = ColumnReader{};
    reader->mat = mat;
    reader->variable = &v;
    reader->columns = v.perRange ? columns : 1;
    status = WriteDoubleMatrix(file, v.name, static_cast<int32_t>(mat->sets), reader->columns,
                               NextPiece, reader);
    if (status != NoError || reader->failed) break;
  }
  const bool spoolFailed = reader->failed;
  std::free(reader);
  if (spoolFailed)
    return Refuse(mat, ReadError, "cannot read back the rows spooled for %s", mat->path);
  if (status != NoError) return status;

  status = WriteStructHeader(file, kSourcesName, static_cast<int32_t>(mat->sources),
                             mat->nameMatrixBytes, kSourceFields);
  NameReader names{mat, 0, {}};
  for (uint32_t i = 0; i < mat->sources && status == NoError; ++i) {
    if (!names.Next()) return Refuse(mat, ReadError, "cannot read back the sources' names");
    status = WriteMatrix(file, Char, nullptr, 1, static_cast<int32_t>(std::strlen(names.name)),
                         names.name);
  }
  return status;
}

}  // namespace

uint64_t TrackMatBytes(int64_t sets, int32_t ranges, uint64_t nameMatrixBytes) {
  uint64_t bytes = kMatHeaderBytes;
  const uint64_t rows = sets < 0 ? 0 : static_cast<uint64_t>(sets);
  for (const Variable& v : kVariables) {
    const uint64_t columns = v.perRange ? static_cast<uint64_t>(ranges) : 1;
    bytes += MatrixElementBytes(rows * columns * sizeof(double), std::strlen(v.name));
  }
  return bytes + StructElementBytes(std::strlen(kSourcesName), 1, nameMatrixBytes);
}

int32_t BeginTrackMat(TrackMat* mat, const char* path, int32_t onlyRange) {
  std::memset(static_cast<void*>(mat), 0, sizeof *mat);
  mat->path = path;
  mat->onlyRange = onlyRange;
  mat->spool = mat->names = kInvalidFile;
  char why[160] = "";
  mat->block = static_cast<double*>(
      std::malloc(size_t{kBlockSets} * static_cast<size_t>(kBlockColumns) * sizeof(double)));
  if (mat->block == nullptr) return Refuse(mat, OutOfMemory, "no memory to spool %s", path);
  mat->spool = CreateScratchFile(path, why, sizeof why);
  if (mat->spool != kInvalidFile) mat->names = CreateScratchFile(path, why, sizeof why);
  if (mat->names == kInvalidFile) {
    AbandonTrackMat(mat);
    return Refuse(mat, CantOpenFile, "cannot make a scratch file beside %s: %s", path, why);
  }
  return NoError;
}

int32_t AddTrackMatSet(TrackMat* mat, const TrackedSet& set) {
  if (set.sourceIndex != mat->lastSource) {
    // The first set of another file: its name, for Sources.
    const size_t length = std::strlen(set.source);
    if (length > kMatTextBytes) {
      return Refuse(mat, OutOfMemory,
                    "the name %s is longer than the %u characters that a text of the MAT output "
                    "holds; nothing was written (a shorter path, or CSV, takes it)",
                    set.source, static_cast<unsigned>(kMatTextBytes));
    }
    const uint32_t n = static_cast<uint32_t>(length);
    const OutputPiece pieces[] = {{&n, 4}, {set.source, length}};
    if (!WriteOutputPieces(mat->names, pieces, 2)) {
      char why[160];
      LastErrorText(why, sizeof why);
      return Refuse(mat, WriteError, "cannot spool the sources' names beside %s: %s", mat->path,
                    why);
    }
    mat->namesBytes += 4 + length;
    mat->nameMatrixBytes += MatrixBytes(Char, nullptr, 1, static_cast<int32_t>(length), set.source);
    mat->lastSource = set.sourceIndex;
    ++mat->sources;
  }
  // With one range kept, its fit is the one column.
  const int32_t ranges = mat->onlyRange > 0 ? 1 : set.ranges;
  const Resonance* fits = mat->onlyRange > 0 ? set.fits + (mat->onlyRange - 1) : set.fits;
  const int32_t most = ranges > mat->ranges ? ranges : mat->ranges;
  const uint64_t bytes = TrackMatBytes(mat->sets + 1, most, mat->nameMatrixBytes);
  if (bytes > static_cast<uint64_t>(TrackMatLimit)) {
    return Refuse(mat, OutOfMemory,
                  "%" PRId64 " sets of %d ranges make a MAT file of more than %" PRId64
                  " bytes, the most that MATLAB loads from one; nothing was written (CSV, or "
                  "--range N, takes them)",
                  mat->sets + 1, static_cast<int>(most), TrackMatLimit);
  }
  mat->ranges = most;

  const uint32_t row = mat->blockSets;
  for (int32_t k = 0; k < ranges; ++k) {
    const Resonance& fit = fits[k];
    const double values[kRangeQuantities] = {fit.f0Hz,
                                             fit.fwhmHz,
                                             fit.q,
                                             fit.peakDb,
                                             fit.phaseDeg,
                                             fit.residual,
                                             static_cast<double>(static_cast<int>(fit.status))};
    for (int32_t q = 0; q < kRangeQuantities; ++q)
      BlockColumn(mat, q * kTrackRanges + k)[row] = values[q];
  }
  for (int32_t k = ranges; k < kTrackRanges; ++k) {
    for (int32_t q = 0; q < kRangeQuantities; ++q)
      BlockColumn(mat, q * kTrackRanges + k)[row] = kNaN;
  }
  // The sources are numbered as Sources lists them: those that gave rows.
  const double perSet[kSetQuantities] = {set.time.seconds, set.sampleNumber,
                                         static_cast<double>(mat->sources),
                                         set.time.estimate ? 1.0 : 0.0};
  for (int32_t q = 0; q < kSetQuantities; ++q) {
    BlockColumn(mat, kRangeQuantities * kTrackRanges + q)[row] = perSet[q];
  }
  if (ranges > mat->blockRanges) mat->blockRanges = ranges;
  ++mat->blockSets;
  ++mat->sets;
  return mat->blockSets == kBlockSets ? FlushBlock(mat) : NoError;
}

int32_t FinishTrackMat(TrackMat* mat) {
  int32_t status = FlushBlock(mat);
  if (status == NoError && mat->sets == 0) {
    status = Refuse(mat, InvalidValue, "nothing to write into %s", mat->path);
  }
  if (status == NoError) {
    const FileHandle file = CreateMatFile(mat->path);
    if (file == kInvalidFile) {
      char why[160];
      LastErrorText(why, sizeof why);
      status = Refuse(mat, CantOpenFile, "cannot write %s: %s", mat->path, why);
    } else {
      status = WriteMat(mat, file);
      if (status == NoError) {
        status = CloseMatFile(file);
      } else {
        DiscardMatFile(file);
      }
      if (status != NoError && mat->message[0] == '\0') {
        Refuse(mat, status, "%s: %s", mat->path, StatusMessage(status));
      }
    }
  }
  AbandonTrackMat(mat);
  return status;
}

void AbandonTrackMat(TrackMat* mat) {
  CloseFile(mat->spool);
  CloseFile(mat->names);
  std::free(mat->block);
  mat->spool = mat->names = kInvalidFile;
  mat->block = nullptr;
}
