// The result file read back through the MAT reader: Annotations, SweepInfo
// and the head of SweepData at the open, then one SweepData element per
// call, each field checked against what the writer lays out.
#include "sweep/resultfile_reader.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "sweep/resultfile.h"

namespace {

const char* const kKindNames[] = {"logical", "char", "int32", "double"};
constexpr int32_t kAnnotationsCount = static_cast<int32_t>(std::size(kAnnotationFields)) - 1;
constexpr int32_t kDataCount = static_cast<int32_t>(std::size(kDataFields)) - 1;

// Where a field sits, for messages: "SweepInfo.NumberOfSubSweeps", or
// "SweepData(3).Phase" in a structure of several elements.
struct FieldPath {
  const char* structure;
  int32_t element;  // from 0; -1 in a 1 x 1 structure
  const char* field;
};

void FormatPath(const FieldPath& path, char* out, size_t size) {
  if (path.element < 0) {
    std::snprintf(out, size, "%s.%s", path.structure, path.field);
  } else {
    std::snprintf(out, size, "%s(%d).%s", path.structure, static_cast<int>(path.element + 1),
                  path.field);
  }
}

// v is a whole number from lo to hi (hi below 2^32). Converted in 32-bit
// halves, as a 64-bit conversion would take the x87 unit on 32-bit x86.
bool IsWhole(double v, double lo, double hi) {
  if (!(v >= lo && v <= hi)) return false;
  const double high = v >= 2147483648.0 ? 2147483648.0 : 0.0;
  const double low = v - high;
  return static_cast<double>(static_cast<int32_t>(low)) == low;
}

int32_t RefuseValue(ResultReader* r, uint64_t at, const char* expected, double found) {
  char text[32];
  std::snprintf(text, sizeof text, "%.17g", found);
  return RefuseMat(&r->mat, at, expected, text);
}

// Reads the head of the next field and checks its kind and dimensions;
// columns -1 takes a 1 x n text of up to maxColumns characters.
int32_t ReadFieldHead(ResultReader* r, const FieldPath& path, int32_t kind, int32_t rows,
                      int32_t columns, int32_t maxColumns, MatMatrixHead* head) {
  if (ReadMatrixHead(&r->mat, head) != NoError) return r->mat.status;
  const bool shaped =
      columns >= 0 ? head->columns == columns : head->columns >= 0 && head->columns <= maxColumns;
  if (head->kind == kind && head->rows == rows && shaped) return NoError;
  char where[80], expected[160], found[48];
  FormatPath(path, where, sizeof where);
  if (columns >= 0) {
    std::snprintf(expected, sizeof expected, "%s as a %dx%d %s", where, static_cast<int>(rows),
                  static_cast<int>(columns), kKindNames[kind]);
  } else {
    std::snprintf(expected, sizeof expected, "%s as a 1xn %s of at most %d characters", where,
                  kKindNames[kind], static_cast<int>(maxColumns));
  }
  std::snprintf(found, sizeof found, "a %dx%d %s", static_cast<int>(head->rows),
                static_cast<int>(head->columns), kKindNames[head->kind]);
  return RefuseMat(&r->mat, head->offset, expected, found);
}

int32_t ReadDoubles(ResultReader* r, const FieldPath& path, int32_t rows, int32_t columns,
                    double* values, MatMatrixHead* head) {
  if (ReadFieldHead(r, path, Double, rows, columns, 0, head) != NoError) return r->mat.status;
  return ReadMatrixData(&r->mat, values, head->dataBytes);
}

int32_t ReadScalar(ResultReader* r, const FieldPath& path, double* value,
                   MatMatrixHead* head = nullptr) {
  MatMatrixHead own;
  return ReadDoubles(r, path, 1, 1, value, head != nullptr ? head : &own);
}

int32_t ReadFlag(ResultReader* r, const FieldPath& path, bool* value,
                 MatMatrixHead* head = nullptr) {
  MatMatrixHead own;
  uint8_t byte = 0;
  if (ReadFieldHead(r, path, Logical, 1, 1, 0, head != nullptr ? head : &own) != NoError ||
      ReadMatrixData(&r->mat, &byte, sizeof byte) != NoError) {
    return r->mat.status;
  }
  *value = byte != 0;
  return NoError;
}

void PutUtf8(uint32_t c, char*& out) {
  if (c < 0x80) {
    *out++ = static_cast<char>(c);
  } else if (c < 0x800) {
    *out++ = static_cast<char>(0xC0 | (c >> 6));
    *out++ = static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    *out++ = static_cast<char>(0xE0 | (c >> 12));
    *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    *out++ = static_cast<char>(0x80 | (c & 0x3F));
  } else {
    *out++ = static_cast<char>(0xF0 | (c >> 18));
    *out++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    *out++ = static_cast<char>(0x80 | (c & 0x3F));
  }
}

// n UTF-16 units as UTF-8 into out, which holds ResultTextBytes(n).
void ToUtf8(const uint16_t* units, size_t n, char* out) {
  for (size_t i = 0; i < n; ++i) {
    uint32_t c = units[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < n && units[i + 1] >= 0xDC00 && units[i + 1] < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + (units[i + 1] - 0xDC00u);
      ++i;
    } else if (c >= 0xD800 && c < 0xE000) {
      c = 0xFFFD;
    }
    PutUtf8(c, out);
  }
  *out = '\0';
}

int32_t ReadText(ResultReader* r, const FieldPath& path, size_t maxUnits, char* text) {
  MatMatrixHead head;
  uint16_t units[kResultFilenameUnits];
  if (ReadFieldHead(r, path, Char, 1, -1, static_cast<int32_t>(maxUnits), &head) != NoError ||
      ReadMatrixData(&r->mat, units, sizeof units) != NoError) {
    return r->mat.status;
  }
  ToUtf8(units, static_cast<size_t>(head.columns), text);
  return NoError;
}

// Reads the head of a top-level structure and checks its name, its count
// (when not negative) and its field names (when given).
int32_t ReadStructure(ResultReader* r, const char* name, int32_t count, const char* const* fields,
                      MatStructHead* head) {
  if (ReadStructHead(&r->mat, head) != NoError) return r->mat.status;
  char expected[120], found[80];
  if (std::strcmp(head->name, name) != 0) {
    std::snprintf(expected, sizeof expected, "the structure \"%s\"", name);
    std::snprintf(found, sizeof found, "\"%s\"", head->name);
    return RefuseMat(&r->mat, head->offset, expected, found);
  }
  if (count >= 0 && head->count != count) {
    std::snprintf(expected, sizeof expected, "%s of 1x%d", name, static_cast<int>(count));
    std::snprintf(found, sizeof found, "1x%d", static_cast<int>(head->count));
    return RefuseMat(&r->mat, head->offset + 36, expected, found);
  }
  for (int32_t i = 0; fields != nullptr && (i < head->fieldCount || fields[i] != nullptr); ++i) {
    if (i < head->fieldCount && fields[i] != nullptr &&
        std::strcmp(head->fieldNames[i], fields[i]) == 0) {
      continue;
    }
    if (fields[i] != nullptr) {
      std::snprintf(expected, sizeof expected, "%s field %d \"%s\"", name, static_cast<int>(i + 1),
                    fields[i]);
    } else {
      std::snprintf(expected, sizeof expected, "%s to have %d fields", name, static_cast<int>(i));
    }
    if (i < head->fieldCount) {
      std::snprintf(found, sizeof found, "\"%s\"", head->fieldNames[i]);
    } else {
      std::snprintf(found, sizeof found, "no field %d", static_cast<int>(i + 1));
    }
    return RefuseMat(&r->mat, head->namesOffset + 32u * static_cast<uint32_t>(i), expected, found);
  }
  return NoError;
}

// The build whose SweepInfo fields the structure lists, or null when none
// does: the file is then refused at the first name that no build has there.
const SweepBuild* MatchBuild(ResultReader* r, const MatStructHead& head) {
  int32_t agree[kSweepBuildCount];
  int32_t most = 0;
  for (int b = 0; b < kSweepBuildCount; ++b) {
    const SweepBuild& build = kSweepBuilds[b];
    int32_t i = 0;
    while (i < head.fieldCount && i < build.sweepInfoFields &&
           std::strcmp(head.fieldNames[i], build.sweepInfo[i].name) == 0) {
      ++i;
    }
    if (i == head.fieldCount && i == build.sweepInfoFields) return &build;
    agree[b] = i;
    if (i > most) most = i;
  }
  // Each name expected there once, with the builds that have it.
  const auto nameAt = [most](int b) {
    const SweepBuild& build = kSweepBuilds[b];
    return most < build.sweepInfoFields ? build.sweepInfo[most].name : nullptr;
  };
  const auto same = [](const char* a, const char* b) {
    return a == b || (a != nullptr && b != nullptr && std::strcmp(a, b) == 0);
  };
  char expected[200], found[80];
  size_t n = 0;
  const auto add = [&](const char* text) {
    n += static_cast<size_t>(std::snprintf(expected + n, sizeof expected - n, "%s", text));
    if (n >= sizeof expected) n = sizeof expected - 1;
  };
  add("SweepInfo field ");
  std::snprintf(found, sizeof found, "%d to be", static_cast<int>(most + 1));
  add(found);
  bool first = true;
  for (int b = 0; b < kSweepBuildCount; ++b) {
    bool listed = false;
    for (int e = 0; e < b; ++e) listed = listed || (agree[e] == most && same(nameAt(e), nameAt(b)));
    if (agree[b] != most || listed) continue;
    add(first ? " " : " or ");
    first = false;
    add(nameAt(b) != nullptr ? "\"" : "");
    add(nameAt(b) != nullptr ? nameAt(b) : "absent");
    add(nameAt(b) != nullptr ? "\" (" : " (");
    for (int c = b; c < kSweepBuildCount; ++c) {
      if (agree[c] != most || !same(nameAt(c), nameAt(b))) continue;
      add(c == b ? "" : ", ");
      add(kSweepBuilds[c].program);
    }
    add(")");
  }
  if (most < head.fieldCount) {
    std::snprintf(found, sizeof found, "\"%s\"", head.fieldNames[most]);
  } else {
    std::snprintf(found, sizeof found, "no field %d", static_cast<int>(most + 1));
  }
  RefuseMat(&r->mat, head.namesOffset + 32u * static_cast<uint32_t>(most), expected, found);
  return nullptr;
}

// Every row below a range's points must hold the NaN fill.
int32_t CheckFill(ResultReader* r, const FieldPath& path, const MatMatrixHead& head,
                  const double* matrix) {
  const ResultFileInfo& info = r->info;
  for (int32_t k = 0; k < info.ranges; ++k) {
    const size_t column = static_cast<size_t>(k) * static_cast<size_t>(info.maxPoints);
    for (int32_t row = info.points[k]; row < info.maxPoints; ++row) {
      const size_t i = column + static_cast<size_t>(row);
      if (std::isnan(matrix[i])) continue;
      char where[80], expected[160];
      FormatPath(path, where, sizeof where);
      std::snprintf(expected, sizeof expected, "the NaN fill below range %d's %d points in %s",
                    static_cast<int>(k + 1), static_cast<int>(info.points[k]), where);
      return RefuseValue(r, head.dataOffset + 8u * i, expected, matrix[i]);
    }
  }
  return NoError;
}

double* PhaseValues(const ResultReader* r) {
  return r->values + static_cast<size_t>(r->info.maxPoints) * static_cast<size_t>(r->info.ranges);
}
double* MagnitudeValues(const ResultReader* r) {
  return PhaseValues(r) +
         static_cast<size_t>(r->info.maxPoints) * static_cast<size_t>(r->info.ranges);
}

// The realized frequencies: their rows are the most points of a range. The
// reader's matrices are reserved here, once their size is known.
int32_t ReadFrequencies(ResultReader* r, const FieldPath& path) {
  ResultFileInfo& info = r->info;
  MatMatrixHead head;
  if (ReadFieldHead(r, path, Double, info.maxPoints, info.ranges, 0, &head) != NoError) {
    return r->mat.status;
  }
  const size_t values = static_cast<size_t>(info.maxPoints) * static_cast<size_t>(info.ranges);
  if (r->values == nullptr) r->values = static_cast<double*>(std::malloc(3 * values * 8));
  if (r->values == nullptr) {
    return FailMatReader(&r->mat, OutOfMemory, "no memory for the matrices of the file");
  }
  if (ReadMatrixData(&r->mat, r->values, head.dataBytes) != NoError) return r->mat.status;
  info.frequencies = r->values;
  return CheckFill(r, path, head, r->values);
}

int32_t ReadInfoField(ResultReader* r, const InfoField& field) {
  ResultFileInfo& info = r->info;
  const FieldPath path{"SweepInfo", -1, field.name};
  MatMatrixHead head;
  double value = 0;
  switch (field.value) {
    case InfoValue::SubSweeps:
      if (ReadScalar(r, path, &value, &head) != NoError) return r->mat.status;
      if (!IsWhole(value, 1, kMaxRanges)) {
        return RefuseValue(r, head.dataOffset,
                           "SweepInfo.NumberOfSubSweeps to be a whole number from 1 to 8", value);
      }
      info.ranges = static_cast<int32_t>(value);
      return NoError;
    case InfoValue::SweepLengths: {
      double points[kMaxRanges];
      if (ReadDoubles(r, path, 1, info.ranges, points, &head) != NoError) return r->mat.status;
      for (int32_t k = 0; k < info.ranges; ++k) {
        if (!IsWhole(points[k], 1, kMaxPoints)) {
          return RefuseValue(r, head.dataOffset + 8u * static_cast<uint32_t>(k),
                             "a point count from 1 to 16000 in SweepInfo.SweepVectorLength",
                             points[k]);
        }
        info.points[k] = static_cast<int32_t>(points[k]);
        if (info.points[k] > info.maxPoints) info.maxPoints = info.points[k];
      }
      return NoError;
    }
    case InfoValue::RequestedStarts:
      return ReadDoubles(r, path, 1, info.ranges, info.requestedStart, &head);
    case InfoValue::RequestedStops:
      return ReadDoubles(r, path, 1, info.ranges, info.requestedStop, &head);
    case InfoValue::Frequencies: return ReadFrequencies(r, path);
    case InfoValue::PhasePresent: return ReadFlag(r, path, &info.phasePresent);
    case InfoValue::MagnitudePresent:
      if (ReadFlag(r, path, &info.magnitudePresent, &head) != NoError) return r->mat.status;
      if (info.phasePresent || info.magnitudePresent) return NoError;
      return RefuseMat(&r->mat, head.dataOffset,
                       "SweepInfo.IsPhasePresent or IsMagnitudePresent to be true", "both false");
    case InfoValue::RequestedPeriod: return ReadScalar(r, path, &info.requestedPeriod);
    case InfoValue::RealizedPeriod: return ReadScalar(r, path, &info.realizedPeriod);
    case InfoValue::Settling: return ReadScalar(r, path, &info.settlingTime);
    case InfoValue::Averaging: return ReadScalar(r, path, &info.averaging);
    case InfoValue::GloballyAveraged: return ReadFlag(r, path, &info.globallyAveraged);
    case InfoValue::OutputPower: return ReadScalar(r, path, &info.outputPower);
    case InfoValue::Sweeps:
      if (ReadScalar(r, path, &value, &head) != NoError) return r->mat.status;
      if (!IsWhole(value, 1, 2147483647.0)) {
        return RefuseValue(r, head.dataOffset,
                           "SweepInfo.NumberOfSweeps to be a whole number of at least 1", value);
      }
      info.sweeps = static_cast<int32_t>(value);
      return NoError;
  }
  return NoError;
}

// The bytes of one SweepData element's fields.
uint64_t SetBytes(const ResultFileInfo& info) {
  const uint64_t matrix =
      8 * static_cast<uint64_t>(info.maxPoints) * static_cast<uint64_t>(info.ranges);
  return 2 * MatrixElementBytes(8, 0) + MatrixElementBytes(info.phasePresent ? matrix : 0, 0) +
         MatrixElementBytes(info.magnitudePresent ? matrix : 0, 0);
}

int32_t ReadSweepDataHead(ResultReader* r) {
  ResultFileInfo& info = r->info;
  info.sets = info.globallyAveraged ? 1 : info.sweeps;
  MatStructHead head;
  if (ReadStructure(r, "SweepData", info.sets, kDataFields, &head) != NoError) {
    return r->mat.status;
  }
  const uint64_t nameBytes = std::strlen("SweepData");
  const uint64_t fixed = StructElementBytes(nameBytes, static_cast<uint64_t>(kDataCount), 0) - 8;
  const uint64_t wanted = fixed + static_cast<uint64_t>(info.sets) * SetBytes(info);
  if (head.fieldBytes + fixed == wanted) return NoError;
  char expected[64], found[24];
  std::snprintf(expected, sizeof expected, "a miMATRIX byte count of %llu",
                static_cast<unsigned long long>(wanted));
  std::snprintf(found, sizeof found, "%llu",
                static_cast<unsigned long long>(head.fieldBytes + fixed));
  return RefuseMat(&r->mat, head.offset + 4, expected, found);
}

int32_t ReadHead(ResultReader* r) {
  ResultFileInfo& info = r->info;
  MatStructHead head;
  if (ReadStructure(r, "Annotations", 1, kAnnotationFields, &head) != NoError) {
    return r->mat.status;
  }
  char* const texts[] = {info.originalFilename, info.annotation1, info.annotation2,
                         info.presetName};
  const size_t units[] = {kResultFilenameUnits, kResultAnnotationUnits, kResultAnnotationUnits,
                          kResultPresetUnits};
  for (int32_t i = 0; i < kAnnotationsCount; ++i) {
    if (ReadText(r, FieldPath{"Annotations", -1, kAnnotationFields[i]}, units[i], texts[i]) !=
        NoError) {
      return r->mat.status;
    }
  }
  if (ReadStructure(r, "SweepInfo", 1, nullptr, &head) != NoError) return r->mat.status;
  info.build = MatchBuild(r, head);
  if (info.build == nullptr) return r->mat.status;
  for (int i = 0; i < info.build->sweepInfoFields; ++i) {
    if (ReadInfoField(r, info.build->sweepInfo[i]) != NoError) return r->mat.status;
  }
  return ReadSweepDataHead(r);
}

int32_t Open(ResultReader* r, int32_t status) {
  r->info = ResultFileInfo{};
  r->values = nullptr;
  r->setsRead = 0;
  return status != NoError ? status : ReadHead(r);
}

// One quantity of a set: a range matrix when the file has it, else 0 x 0.
int32_t ReadQuantity(ResultReader* r, const FieldPath& path, bool present, double* matrix) {
  const ResultFileInfo& info = r->info;
  MatMatrixHead head;
  if (!present) return ReadDoubles(r, path, 0, 0, nullptr, &head);
  if (ReadDoubles(r, path, info.maxPoints, info.ranges, matrix, &head) != NoError) {
    return r->mat.status;
  }
  return CheckFill(r, path, head, matrix);
}

}  // namespace

int32_t OpenResultFile(ResultReader* r, const char* path) {
  return Open(r, OpenMatReader(&r->mat, path));
}

int32_t OpenResultBytes(ResultReader* r, const void* bytes, size_t size) {
  return Open(r, OpenMatReaderOnBytes(&r->mat, bytes, size));
}

bool ResultSetsLeft(const ResultReader* r) {
  return r->mat.status == NoError && r->setsRead < r->info.sets;
}

int32_t ReadResultSet(ResultReader* r, ResultSet* set) {
  if (r->mat.status != NoError) return r->mat.status;
  if (r->setsRead >= r->info.sets) {
    return FailMatReader(&r->mat, InvalidOperation, "a set asked for after the last");
  }
  const ResultFileInfo& info = r->info;
  const int32_t index = r->setsRead;
  FieldPath path{"SweepData", index, "SampleNumber"};
  MatMatrixHead head;
  if (ReadScalar(r, path, &set->sampleNumber, &head) != NoError) return r->mat.status;
  if (!IsWhole(set->sampleNumber, 0, info.globallyAveraged ? 0 : 4294967295.0)) {
    return RefuseValue(r, head.dataOffset,
                       info.globallyAveraged
                           ? "a SampleNumber of 0 in the averaged set"
                           : "a SampleNumber that is a whole number from 0 to 4294967295",
                       set->sampleNumber);
  }
  path.field = "MeasurementTime";
  if (ReadScalar(r, path, &set->measurementTime, &head) != NoError) return r->mat.status;
  const double t = set->measurementTime;
  if (!(std::isnan(t) || (!info.globallyAveraged && t >= 0 && std::isfinite(t)))) {
    return RefuseValue(r, head.dataOffset,
                       info.globallyAveraged ? "a MeasurementTime of NaN in the averaged set"
                                             : "a MeasurementTime of NaN or 0 s or more",
                       t);
  }
  path.field = "Phase";
  if (ReadQuantity(r, path, info.phasePresent, PhaseValues(r)) != NoError) return r->mat.status;
  path.field = "Magnitude";
  if (ReadQuantity(r, path, info.magnitudePresent, MagnitudeValues(r)) != NoError) {
    return r->mat.status;
  }
  set->index = index;
  set->phase = info.phasePresent ? PhaseValues(r) : nullptr;
  set->magnitude = info.magnitudePresent ? MagnitudeValues(r) : nullptr;
  r->setsRead = index + 1;
  if (r->setsRead == info.sets) return ReadMatEnd(&r->mat);
  return NoError;
}

void CloseResultFile(ResultReader* r) {
  CloseMatReader(&r->mat);
  std::free(r->values);
  r->values = nullptr;
  r->info.frequencies = nullptr;
}
