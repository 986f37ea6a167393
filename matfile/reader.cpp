// MATLAB level 5 reader: the writer's layout read back as a stream, every
// tag, size and class checked against it.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "link/byteorder.h"
#include "matfile/matfile.h"

namespace {

constexpr uint64_t kTagBytes = 8;
constexpr uint32_t kStructFlags = 2;  // mxSTRUCT_CLASS, no flag bits
constexpr uint32_t kCompressed = 15;
// The field-name length as a small data element: type and byte count in one
// word, the value in the next.
constexpr uint32_t kFieldNameLengthWord = miINT32 | (4u << 16);
// The largest read asked of the system at once.
constexpr uint64_t kMaxReadBytes = uint64_t{1} << 30;

constexpr uint64_t Pad8(uint64_t x) { return (x + 7) & ~uint64_t{7}; }

uint64_t Offset(const MatReader* r) { return r->base + r->at; }

int32_t ReadFailed(MatReader* r) {
  char why[160];
  LastErrorText(why, sizeof why);
  char message[kMatMessageBytes];
  std::snprintf(message, sizeof message, "cannot read byte %llu of the file: %s",
                static_cast<unsigned long long>(Offset(r)), why);
  return FailMatReader(r, ReadError, message);
}

int32_t RefuseNumber(MatReader* r, uint64_t at, const char* expected, uint64_t found) {
  char text[24];
  std::snprintf(text, sizeof text, "%llu", static_cast<unsigned long long>(found));
  return RefuseMat(r, at, expected, text);
}

int32_t RefuseSigned(MatReader* r, uint64_t at, const char* expected, int32_t found) {
  char text[16];
  std::snprintf(text, sizeof text, "%d", static_cast<int>(found));
  return RefuseMat(r, at, expected, text);
}

// found as hex of `digits` digits: 8 for a word.
int32_t RefuseHex(MatReader* r, uint64_t at, const char* expected, uint32_t found, int digits = 8) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%0*x", digits, static_cast<unsigned>(found));
  return RefuseMat(r, at, expected, text);
}

// A tag as found: the compressed type and small data elements named.
void DescribeTag(uint32_t type, uint32_t count, bool withCount, char* out, size_t size) {
  if ((type >> 16) != 0) {
    std::snprintf(out, size, "a small data element (0x%08x)", static_cast<unsigned>(type));
  } else if (!withCount) {
    std::snprintf(out, size, "type %u%s", static_cast<unsigned>(type),
                  type == kCompressed ? " (miCOMPRESSED)" : "");
  } else {
    std::snprintf(out, size, "{%u, %u}%s", static_cast<unsigned>(type),
                  static_cast<unsigned>(count), type == kCompressed ? " (miCOMPRESSED)" : "");
  }
}

// Makes bytes of the file available in the window: false at its end, or
// when a read failed (which is then the failure).
bool Fill(MatReader* r) {
  if (r->at < r->end) return true;
  if (r->file == kInvalidFile || r->status != NoError) return false;
  r->base += r->end;
  r->at = r->end = 0;
  const int64_t got = ReadFromFile(r->file, r->ahead, kMatReadAheadBytes);
  if (got < 0) {
    ReadFailed(r);
    return false;
  }
  r->end = static_cast<size_t>(got);
  return got > 0;
}

// Takes up to n bytes into out (null: passes them over): the count taken,
// short at the end of the file or after a failed read. Large pieces of a
// file go straight into out, past the window.
uint64_t Take(MatReader* r, uint8_t* out, uint64_t n) {
  uint64_t taken = 0;
  while (taken < n && r->status == NoError) {
    const uint64_t left = n - taken;
    if (r->at == r->end && r->file != kInvalidFile && out != nullptr &&
        left >= kMatReadAheadBytes) {
      r->base += r->end;
      r->at = r->end = 0;
      const uint64_t ask = left < kMaxReadBytes ? left : kMaxReadBytes;
      const int64_t got = ReadFromFile(r->file, out + taken, static_cast<size_t>(ask));
      if (got < 0) ReadFailed(r);
      if (got <= 0) break;
      r->base += static_cast<uint64_t>(got);
      taken += static_cast<uint64_t>(got);
      continue;
    }
    if (!Fill(r)) break;
    const size_t have = r->end - r->at;
    const size_t piece = left < have ? static_cast<size_t>(left) : have;
    if (out != nullptr) std::memcpy(out + taken, r->window + r->at, piece);
    r->at += piece;
    taken += piece;
  }
  return taken;
}

// Takes exactly n bytes, or refuses the file where it ends.
bool TakeAll(MatReader* r, void* out, uint64_t n, const char* expected) {
  const uint64_t at = Offset(r);
  if (Take(r, static_cast<uint8_t*>(out), n) == n) return true;
  if (r->status == NoError) {
    char found[64];
    std::snprintf(found, sizeof found, "the end of the file at byte %llu",
                  static_cast<unsigned long long>(Offset(r)));
    RefuseMat(r, at, expected, found);
  }
  return false;
}

bool TakeTag(MatReader* r, uint32_t* type, uint32_t* count, const char* expected) {
  uint8_t tag[kTagBytes];
  if (!TakeAll(r, tag, sizeof tag, expected)) return false;
  *type = GetU32(tag);
  *count = GetU32(tag + 4);
  return true;
}

// A tag that must be exactly {type, count}.
bool ExpectTag(MatReader* r, uint32_t type, uint32_t count, const char* what) {
  const uint64_t at = Offset(r);
  char expected[64];
  std::snprintf(expected, sizeof expected, "the %s tag {%u, %u}", what, static_cast<unsigned>(type),
                static_cast<unsigned>(count));
  uint32_t foundType = 0, foundCount = 0;
  if (!TakeTag(r, &foundType, &foundCount, expected)) return false;
  if (foundType == type && foundCount == count) return true;
  char found[48];
  DescribeTag(foundType, foundCount, true, found, sizeof found);
  RefuseMat(r, at, expected, found);
  return false;
}

// The miMATRIX tag that opens every element: its byte count.
bool TakeElementTag(MatReader* r, uint32_t* bytes) {
  const uint64_t at = Offset(r);
  uint32_t type = 0;
  if (!TakeTag(r, &type, bytes, "a miMATRIX tag")) return false;
  if (type == miMATRIX) return true;
  char found[48];
  DescribeTag(type, *bytes, false, found, sizeof found);
  RefuseMat(r, at, "a miMATRIX tag", found);
  return false;
}

// The array flags: the flags word, and a second word of 0.
bool TakeFlags(MatReader* r, uint32_t* flags) {
  if (!ExpectTag(r, miUINT32, 8, "array flags")) return false;
  uint8_t words[8];
  const uint64_t at = Offset(r);
  if (!TakeAll(r, words, sizeof words, "the array flags")) return false;
  *flags = GetU32(words);
  if (GetU32(words + 4) == 0) return true;
  RefuseHex(r, at + 4, "a second array flags word of 0", GetU32(words + 4));
  return false;
}

bool TakeDimensions(MatReader* r, int32_t* rows, int32_t* columns) {
  if (!ExpectTag(r, miINT32, 8, "dimensions")) return false;
  uint8_t words[8];
  const uint64_t at = Offset(r);
  if (!TakeAll(r, words, sizeof words, "the dimensions")) return false;
  *rows = static_cast<int32_t>(GetU32(words));
  *columns = static_cast<int32_t>(GetU32(words + 4));
  if (*rows < 0) {
    RefuseSigned(r, at, "a row count of 0 or more", *rows);
    return false;
  }
  if (*columns < 0) {
    RefuseSigned(r, at + 4, "a column count of 0 or more", *columns);
    return false;
  }
  return true;
}

// The array name: unnamed for the field of a structure, else at most 63
// bytes with no zero byte among them.
bool TakeName(MatReader* r, bool field, char* name, uint64_t* nameBytes) {
  const uint64_t at = Offset(r);
  uint32_t type = 0, count = 0;
  if (!TakeTag(r, &type, &count, "the name tag")) return false;
  if (type != miINT8) {
    char found[48];
    DescribeTag(type, count, true, found, sizeof found);
    RefuseMat(r, at, "a name tag {1, n}", found);
    return false;
  }
  if (field && count != 0) {
    RefuseNumber(r, at + 4, "an unnamed field (name tag {1, 0})", count);
    return false;
  }
  if (count >= kMatNameCapacity) {
    RefuseNumber(r, at + 4, "a name of at most 63 bytes", count);
    return false;
  }
  uint8_t bytes[Pad8(kMatNameCapacity)];
  if (!TakeAll(r, bytes, Pad8(count), "the name")) return false;
  if (std::memchr(bytes, 0, count) != nullptr) {
    RefuseMat(r, at + kTagBytes, "a name without zero bytes", "a zero byte");
    return false;
  }
  std::memcpy(name, bytes, count);
  name[count] = '\0';
  *nameBytes = count;
  return true;
}

// The matrix kind of an array flags word, or -1.
int32_t KindOf(uint32_t flags) {
  for (int32_t kind = Logical; kind <= Double; ++kind) {
    if (MatrixClasses[kind] == flags) return kind;
  }
  return -1;
}

// The element whose data and fill have all been taken is done; after the
// last field of a structure, its fields must end where its byte count says.
int32_t Complete(MatReader* r) {
  r->matrixOpen = false;
  if (!r->structOpen || r->fieldsLeft > 0) return NoError;
  r->structOpen = false;
  const uint64_t end = Offset(r);
  if (end == r->structEnd) return NoError;
  char expected[64];
  std::snprintf(expected, sizeof expected, "a miMATRIX byte count of %llu",
                static_cast<unsigned long long>(end - r->structOffset - kTagBytes));
  return RefuseNumber(r, r->structOffset + 4, expected, r->structEnd - r->structOffset - kTagBytes);
}

// Passes over the data of a matrix the caller did not read.
int32_t SkipOpenMatrix(MatReader* r) {
  if (r->status != NoError || !r->matrixOpen) return r->status;
  return ReadMatrixData(r, nullptr, 0);
}

void Reset(MatReader* r) {
  std::memset(r, 0, sizeof *r);
  r->file = kInvalidFile;
}

int32_t ReadHeader(MatReader* r) {
  uint8_t h[kMatHeaderBytes];
  if (!TakeAll(r, h, sizeof h, "a 128-byte header")) return r->status;
  const size_t textBytes = sizeof kMatHeaderText - 1;
  if (std::memcmp(h, kMatHeaderText, textBytes) != 0) {
    // Its first 16 bytes, as text where they are text.
    char found[96] = "\"";
    size_t n = 1;
    for (size_t i = 0; i < 16; ++i) {
      const unsigned char c = h[i];
      const int added = c >= 0x20 && c < 0x7F && c != '"'
                            ? std::snprintf(found + n, sizeof found - n, "%c", c)
                            : std::snprintf(found + n, sizeof found - n, "\\x%02x", c);
      n += static_cast<size_t>(added);
    }
    std::snprintf(found + n, sizeof found - n, "...\"");
    char expected[96];
    std::snprintf(expected, sizeof expected, "the header text \"%s\"", kMatHeaderText);
    return RefuseMat(r, 0, expected, found);
  }
  for (size_t i = textBytes; i < 124; ++i) {
    if (h[i] != 0) return RefuseHex(r, i, "a zero byte", h[i], 2);
  }
  if (h[126] != 'I' || h[127] != 'M') {
    char found[16];
    std::snprintf(found, sizeof found, "0x%02x%02x", h[126], h[127]);
    if (h[126] == 'M' && h[127] == 'I') std::snprintf(found, sizeof found, "\"MI\"");
    return RefuseMat(r, 126, "the little-endian indicator \"IM\"", found);
  }
  if (GetU16(h + 124) != 0x0100) return RefuseHex(r, 124, "version 0x0100", GetU16(h + 124), 4);
  return NoError;
}

}  // namespace

// The first failure sticks; later ones leave it as it is.
int32_t FailMatReader(MatReader* r, int32_t status, const char* message) {
  if (r->status != NoError) return r->status;
  r->status = status;
  std::snprintf(r->message, sizeof r->message, "%s", message);
  return status;
}

int32_t RefuseMat(MatReader* r, uint64_t at, const char* expected, const char* found) {
  char message[kMatMessageBytes];
  std::snprintf(message, sizeof message, "expected %s at byte %llu, found %s", expected,
                static_cast<unsigned long long>(at), found);
  return FailMatReader(r, InvalidValue, message);
}

uint64_t MatReaderOffset(const MatReader* r) { return Offset(r); }

int32_t OpenMatReader(MatReader* r, const char* path) {
  Reset(r);
  OpenOutcome outcome = OpenOutcome::Failed;
  char why[160] = "";
  const FileHandle file = OpenForReading(path, false, &outcome, why, sizeof why);
  char message[kMatMessageBytes];
  if (outcome == OpenOutcome::NotRegular) {
    std::snprintf(message, sizeof message, "cannot open %s: not a regular file", path);
    return FailMatReader(r, CantOpenFile, message);
  }
  if (file == kInvalidFile) {
    std::snprintf(message, sizeof message, "cannot open %s: %s", path, why);
    return FailMatReader(r, CantOpenFile, message);
  }
  r->file = file;
  r->ahead = static_cast<uint8_t*>(std::malloc(kMatReadAheadBytes));
  if (r->ahead == nullptr) return FailMatReader(r, OutOfMemory, "no memory to read the file");
  r->window = r->ahead;
  return ReadHeader(r);
}

int32_t OpenMatReaderOnBytes(MatReader* r, const void* bytes, size_t size) {
  Reset(r);
  r->window = static_cast<const uint8_t*>(bytes);
  r->end = bytes == nullptr ? 0 : size;
  return ReadHeader(r);
}

void CloseMatReader(MatReader* r) {
  if (r->file != kInvalidFile) CloseFile(r->file);
  std::free(r->ahead);
  r->file = kInvalidFile;
  r->ahead = nullptr;
  r->window = nullptr;
  r->at = r->end = 0;
}

int32_t ReadStructHead(MatReader* r, MatStructHead* head) {
  if (SkipOpenMatrix(r) != NoError) return r->status;
  if (r->structOpen) {
    return FailMatReader(r, InvalidOperation,
                         "a structure was asked for before the fields of the last");
  }
  const uint64_t at = Offset(r);
  uint32_t bytes = 0, flags = 0;
  int32_t rows = 0, count = 0;
  uint64_t nameBytes = 0;
  if (!TakeElementTag(r, &bytes) || !TakeFlags(r, &flags)) return r->status;
  if (flags != kStructFlags) {
    return RefuseHex(r, at + 16, "the array flags of a structure (0x00000002)", flags);
  }
  if (!TakeDimensions(r, &rows, &count)) return r->status;
  if (rows != 1) return RefuseSigned(r, at + 32, "a structure of 1 row", rows);
  if (!TakeName(r, false, head->name, &nameBytes)) return r->status;

  const uint64_t lengthAt = Offset(r);
  uint8_t words[8];
  if (!TakeAll(r, words, sizeof words, "the field-name length")) return r->status;
  if (GetU32(words) != kFieldNameLengthWord) {
    return RefuseHex(r, lengthAt,
                     "the field-name length as the small data element {miINT32, 4} (0x00040005)",
                     GetU32(words));
  }
  if (GetU32(words + 4) != kMatFieldNameBytes) {
    return RefuseNumber(r, lengthAt + 4, "a field-name length of 32", GetU32(words + 4));
  }
  const uint64_t namesTagAt = Offset(r);
  uint32_t type = 0, namesBytes = 0;
  if (!TakeTag(r, &type, &namesBytes, "the field names tag")) return r->status;
  if (type != miINT8) {
    char found[48];
    DescribeTag(type, namesBytes, true, found, sizeof found);
    return RefuseMat(r, namesTagAt, "the field names tag {1, 32 x fields}", found);
  }
  if (namesBytes == 0 || namesBytes % kMatFieldNameBytes != 0 ||
      namesBytes > kMatFieldNameBytes * kMatMaxFields) {
    return RefuseNumber(r, namesTagAt + 4, "1 to 32 field names of 32 bytes", namesBytes);
  }
  const int32_t fields = static_cast<int32_t>(namesBytes / kMatFieldNameBytes);
  const uint64_t fixed =
      StructElementBytes(nameBytes, static_cast<uint64_t>(fields), 0) - kTagBytes;
  if (bytes < fixed) {
    char expected[64];
    std::snprintf(expected, sizeof expected, "a miMATRIX byte count of at least %llu",
                  static_cast<unsigned long long>(fixed));
    return RefuseNumber(r, at + 4, expected, bytes);
  }
  head->namesOffset = Offset(r);
  for (int32_t i = 0; i < fields; ++i) {
    const uint64_t slotAt = Offset(r);
    char* slot = head->fieldNames[i];
    if (!TakeAll(r, slot, kMatFieldNameBytes, "a 32-byte field name")) return r->status;
    if (slot[0] == '\0' || std::memchr(slot, 0, kMatFieldNameBytes) == nullptr) {
      return RefuseMat(r, slotAt, "a field name of 1 to 31 bytes and a zero byte",
                       slot[0] == '\0' ? "an empty name" : "no zero byte");
    }
  }
  head->count = count;
  head->fieldCount = fields;
  head->fieldBytes = bytes - fixed;
  head->offset = at;
  r->structOffset = at;
  r->structEnd = at + kTagBytes + bytes;
  r->fieldsLeft = static_cast<uint64_t>(count) * static_cast<uint64_t>(fields);
  r->structOpen = r->fieldsLeft > 0;
  if (!r->structOpen && head->fieldBytes != 0) {
    char expected[64];
    std::snprintf(expected, sizeof expected, "a miMATRIX byte count of %llu",
                  static_cast<unsigned long long>(fixed));
    return RefuseNumber(r, at + 4, expected, bytes);
  }
  return NoError;
}

int32_t ReadMatrixHead(MatReader* r, MatMatrixHead* head) {
  if (SkipOpenMatrix(r) != NoError) return r->status;
  const bool field = r->structOpen;
  const uint64_t at = Offset(r);
  uint32_t bytes = 0, flags = 0;
  int32_t rows = 0, columns = 0;
  uint64_t nameBytes = 0;
  if (!TakeElementTag(r, &bytes)) return r->status;
  if (field && at + kTagBytes + bytes > r->structEnd) {
    char expected[80];
    std::snprintf(expected, sizeof expected,
                  "a field within its structure: a miMATRIX byte count of at most %llu",
                  static_cast<unsigned long long>(r->structEnd - at - kTagBytes));
    return RefuseNumber(r, at + 4, expected, bytes);
  }
  if (!TakeFlags(r, &flags)) return r->status;
  const int32_t kind = KindOf(flags);
  if (kind < 0) {
    return RefuseHex(r, at + 16, "the array flags of a logical, char, int32 or double matrix",
                     flags);
  }
  if (!TakeDimensions(r, &rows, &columns) || !TakeName(r, field, head->name, &nameBytes)) {
    return r->status;
  }
  const uint64_t dataTagAt = Offset(r);
  const uint64_t dataBytes =
      static_cast<uint64_t>(rows) * static_cast<uint64_t>(columns) * ElemSizes[kind];
  uint32_t type = 0, count = 0;
  char expected[64];
  std::snprintf(expected, sizeof expected, "the data tag {%u, %llu} of a %dx%d matrix",
                static_cast<unsigned>(MatrixDataTypes[kind]),
                static_cast<unsigned long long>(dataBytes), static_cast<int>(rows),
                static_cast<int>(columns));
  if (!TakeTag(r, &type, &count, expected)) return r->status;
  if (type != MatrixDataTypes[kind] || count != dataBytes) {
    char found[48];
    DescribeTag(type, count, true, found, sizeof found);
    return RefuseMat(r, dataTagAt, expected, found);
  }
  const uint64_t wanted = MatrixElementBytes(dataBytes, nameBytes) - kTagBytes;
  if (bytes != wanted) {
    std::snprintf(expected, sizeof expected, "a miMATRIX byte count of %llu",
                  static_cast<unsigned long long>(wanted));
    return RefuseNumber(r, at + 4, expected, bytes);
  }
  head->kind = kind;
  head->rows = rows;
  head->columns = columns;
  head->dataBytes = dataBytes;
  head->offset = at;
  head->dataOffset = Offset(r);
  r->matrixOpen = true;
  r->matrixKind = kind;
  r->dataLeft = dataBytes;
  r->fillLeft = Pad8(dataBytes) - dataBytes;
  if (field) --r->fieldsLeft;
  return NoError;
}

int32_t ReadMatrixData(MatReader* r, void* data, uint64_t capacity) {
  if (r->status != NoError) return r->status;
  if (!r->matrixOpen)
    return FailMatReader(r, InvalidOperation, "matrix data asked for without its head");
  if (data != nullptr && capacity < r->dataLeft) {
    char message[kMatMessageBytes];
    std::snprintf(message, sizeof message,
                  "a buffer of %llu bytes is too small for the %llu data bytes at byte %llu",
                  static_cast<unsigned long long>(capacity),
                  static_cast<unsigned long long>(r->dataLeft),
                  static_cast<unsigned long long>(Offset(r)));
    return FailMatReader(r, InvalidOperation, message);
  }
  uint8_t* out = static_cast<uint8_t*>(data);
  uint8_t piece[256];
  while (r->dataLeft > 0) {
    // Logical data is looked at as it passes: every byte 0 or 1.
    const bool logical = r->matrixKind == Logical;
    uint8_t* to = out != nullptr ? out : logical ? piece : nullptr;
    const uint64_t n = out != nullptr || !logical
                           ? r->dataLeft
                           : (r->dataLeft < sizeof piece ? r->dataLeft : sizeof piece);
    const uint64_t at = Offset(r);
    if (!TakeAll(r, to, n, "matrix data")) return r->status;
    for (uint64_t i = 0; logical && i < n; ++i) {
      if (to[i] > 1) return RefuseNumber(r, at + i, "a logical value of 0 or 1", to[i]);
    }
    r->dataLeft -= n;
    if (out != nullptr) out += n;
  }
  if (!TakeAll(r, nullptr, r->fillLeft, "fill bytes up to a multiple of 8")) return r->status;
  r->fillLeft = 0;
  return Complete(r);
}

int32_t ReadMatEnd(MatReader* r) {
  if (SkipOpenMatrix(r) != NoError) return r->status;
  if (r->structOpen) {
    return FailMatReader(r, InvalidOperation,
                         "the end asked for before the fields of the last structure");
  }
  const uint64_t at = Offset(r);
  if (Fill(r)) return RefuseMat(r, at, "the end of the file", "more bytes");
  return r->status;
}
