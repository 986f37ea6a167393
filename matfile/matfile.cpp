// MATLAB level 5 MAT file writer: one sequential byte stream, small pieces
// through one output buffer and large ones straight from the caller's
// memory, element sizes known before their tags are written.
#include "matfile/matfile.h"

#include <cstdlib>
#include <cstring>

#include "link/byteorder.h"

const uint32_t ElemSizes[4] = {1, 2, 4, 8};
const uint32_t MatrixClasses[4] = {0x0209, 0x0004, 0x000C, 0x0006};
const uint32_t MatrixDataTypes[4] = {miUINT8, miUINT16, miINT32, miDOUBLE};

namespace {

constexpr int32_t kMinDiskBufferBytes = 131072;
constexpr uint32_t kStructClass = 2;
constexpr uint32_t kFieldNameBytes = 32;
constexpr uint32_t kMaxLogicals = 1024;
constexpr uint32_t kMaxCharacters = 512;

// Flags (16) and dimensions (16) plus the tags of the name and the data.
constexpr uint64_t kMatrixFixedBytes = 48;
// Flags (16), dimensions (16), the name tag (8), the field-name length as a
// small data element (8) and the tag of the field names (8).
constexpr uint64_t kStructFixedBytes = 56;

constexpr uint64_t kTagBytes = 8;

// The miMATRIX tag, the array flags and the dimensions: the 40 bytes that
// open every matrix and structure element.
constexpr uint32_t kPrologueBytes = 40;

struct WriterState {
  uint8_t* buffer = nullptr;
  int32_t capacity = 0;
  int32_t fill = 0;
  uint64_t bytesWritten = 0;
  // A full-buffer write of the current file failed: its bytes are lost, so
  // closing it must not report success.
  bool lostBytes = false;
  // Logical bytes (up to 1,024) or UTF-16 units (up to 512) of one matrix.
  union {
    uint8_t bytes[kMaxLogicals];
    uint16_t units[kMaxCharacters];
  } scratch;
  uint8_t fieldName[kFieldNameBytes];
  // Large pieces of caller memory on their way to the file, after the
  // bytes pending in the buffer (straight[0]): sent as one write.
  OutputPiece straight[kMaxOutputPieces];
  int straightCount = 0;
  uint64_t straightBytes = 0;
};

WriterState Writer;

const uint8_t kZeros[8] = {};

uint64_t Pad8(uint64_t x) { return (x + 7) & ~uint64_t{7}; }

void PutTag(uint8_t* at, uint32_t dataType, uint32_t byteCount) {
  PutU32(at, dataType);
  PutU32(at + 4, byteCount);
}

// Writes the miMATRIX tag, the array flags {flags, 0} and the dimensions.
int32_t WritePrologue(FileHandle file, uint32_t byteCount, uint32_t flags, int32_t rows,
                      int32_t columns) {
  uint8_t bytes[kPrologueBytes] = {};
  PutTag(bytes, miMATRIX, byteCount);
  PutTag(bytes + 8, miUINT32, 8);
  PutU32(bytes + 16, flags);
  PutTag(bytes + 24, miINT32, 8);
  PutU32(bytes + 32, static_cast<uint32_t>(rows));
  PutU32(bytes + 36, static_cast<uint32_t>(columns));
  return BufferedWrite(file, kPrologueBytes, bytes) == NoError ? NoError : WriteError;
}

// Data of at least this many bytes goes to the file straight from the
// caller's memory: copying it into the buffer first would cost as much
// again as the write itself. Smaller pieces are copied at once.
constexpr uint32_t kStraightBytes = kMatCopiedPieceBytes;

// Sends the queued pieces, after the bytes pending in the buffer, as one
// write; the buffer is then empty.
int32_t FlushStraight(FileHandle file) {
  if (Writer.straightCount == 0) return NoError;
  const bool written = WriteOutputPieces(file, Writer.straight, Writer.straightCount);
  Writer.fill = 0;
  Writer.straightCount = 0;
  Writer.straightBytes = 0;
  if (!written) {
    Writer.lostBytes = true;
    return WriteError;
  }
  return NoError;
}

// Queues a large piece of caller memory for the file, which must stay as it
// is until FlushStraight; sends the queue once it holds a buffer's worth.
int32_t QueueStraight(FileHandle file, const void* data, uint32_t bytes) {
  if (Writer.straightCount == 0)
    Writer.straight[Writer.straightCount++] = {Writer.buffer, static_cast<size_t>(Writer.fill)};
  Writer.straight[Writer.straightCount++] = {data, bytes};
  Writer.straightBytes += bytes;
  Writer.bytesWritten += bytes;
  if (Writer.straightBytes >= static_cast<uint64_t>(Writer.capacity) ||
      Writer.straightCount == kMaxOutputPieces) {
    return FlushStraight(file);
  }
  return NoError;
}

// Passes byteCount caller bytes to the file: a large piece straight from
// the caller's memory, in one write together with the bytes pending in the
// buffer (which keeps the file sequential); smaller ones through the buffer,
// in pieces it accepts.
int32_t WriteData(FileHandle file, uint32_t byteCount, const void* data) {
  if (Writer.buffer != nullptr && byteCount >= kStraightBytes) {
    if (QueueStraight(file, data, byteCount) != NoError) return WriteError;
    return FlushStraight(file);
  }
  const uint8_t* at = static_cast<const uint8_t*>(data);
  for (uint32_t left = byteCount; left > 0;) {
    uint32_t piece = left;
    if (Writer.capacity > 1 && piece >= static_cast<uint32_t>(Writer.capacity)) {
      piece = static_cast<uint32_t>(Writer.capacity) - 1;
    }
    if (BufferedWrite(file, piece, at) != NoError) return WriteError;
    at += piece;
    left -= piece;
  }
  return NoError;
}

// Passes byteCount caller bytes to the file as WriteData does, then zero
// fill up to the next multiple of 8.
int32_t WritePadded(FileHandle file, uint32_t byteCount, const void* data) {
  if (WriteData(file, byteCount, data) != NoError) return WriteError;
  const uint32_t padding = static_cast<uint32_t>(Pad8(byteCount) - byteCount);
  return BufferedWrite(file, padding, kZeros) == NoError ? NoError : WriteError;
}

// Writes the whole buffer, which is full, as one write of exactly its
// capacity.
int32_t FlushFullBuffer(FileHandle file) {
  Writer.fill = 0;
  if (!WriteOutputFile(file, Writer.buffer, static_cast<size_t>(Writer.capacity))) {
    Writer.lostBytes = true;
    return WriteError;
  }
  return NoError;
}

size_t BoundedLength(const char* text, size_t limit) {
  size_t n = 0;
  while (n < limit && text[n] != '\0') ++n;
  return n;
}

}  // namespace

int32_t AllocDiskBuffer(int32_t size) {
  if (size < kMinDiskBufferBytes) return InvalidValue;
  FreeDiskBuffer();
  Writer.buffer = static_cast<uint8_t*>(ReserveBlock(static_cast<size_t>(size)));
  if (Writer.buffer == nullptr) return OutOfMemory;
  Writer.capacity = size;
  Writer.fill = 0;
  return NoError;
}

void FreeDiskBuffer() {
  ReleaseBlock(Writer.buffer, static_cast<size_t>(Writer.capacity));
  Writer.buffer = nullptr;
  Writer.capacity = 0;
  Writer.fill = 0;
}

bool DiskBufferReserved() { return Writer.buffer != nullptr; }

FileHandle CreateMatFile(const char* fileName) {
  Writer.bytesWritten = 0;
  // Bytes left pending by a file that was never closed belong to no file.
  Writer.fill = 0;
  Writer.lostBytes = false;
  if (fileName == nullptr) return kInvalidFile;
  FileHandle file = CreateOutputFile(fileName);
  if (file == kInvalidFile) return kInvalidFile;

  uint8_t header[kMatHeaderBytes] = {};
  std::memcpy(header, kMatHeaderText, sizeof kMatHeaderText - 1);
  header[124] = 0x00;  // version 0x0100, little-endian
  header[125] = 0x01;
  header[126] = 'I';  // endian indicator
  header[127] = 'M';
  if (BufferedWrite(file, kMatHeaderBytes, header) != NoError) {
    DiscardMatFile(file);
    return kInvalidFile;
  }
  return file;
}

int32_t BufferedWrite(FileHandle file, uint32_t length, const void* bytes) {
  if (length == 0) return NoError;
  if (Writer.buffer == nullptr) return OutOfMemory;
  const uint32_t capacity = static_cast<uint32_t>(Writer.capacity);
  if (length >= capacity) return OutOfMemory;
  Writer.bytesWritten += length;

  const uint32_t fill = static_cast<uint32_t>(Writer.fill);
  if (fill + length <= capacity) {
    std::memcpy(Writer.buffer + fill, bytes, length);
    Writer.fill = static_cast<int32_t>(fill + length);
    return NoError;
  }
  const uint32_t head = capacity - fill;
  std::memcpy(Writer.buffer + fill, bytes, head);
  Writer.fill = static_cast<int32_t>(capacity);
  if (FlushFullBuffer(file) != NoError) return WriteError;
  const uint32_t rest = length - head;
  std::memcpy(Writer.buffer, static_cast<const uint8_t*>(bytes) + head, rest);
  Writer.fill = static_cast<int32_t>(rest);
  return NoError;
}

int32_t CloseMatFile(FileHandle file) {
  const size_t pending = static_cast<size_t>(Writer.fill);
  Writer.fill = 0;
  if (file == kInvalidFile) return WriteError;
  const bool complete =
      !Writer.lostBytes && (pending == 0 || WriteOutputFile(file, Writer.buffer, pending));
  Writer.lostBytes = false;
  if (!complete) {
    DiscardOutputFile(file);
    return WriteError;
  }
  return CloseOutputFile(file) ? NoError : WriteError;
}

void DiscardMatFile(FileHandle file) {
  Writer.fill = 0;
  Writer.lostBytes = false;
  if (file != kInvalidFile) DiscardOutputFile(file);
}

int32_t WriteElement(FileHandle file, uint32_t dataType, uint32_t byteCount, const void* data) {
  uint8_t tag[8];
  PutTag(tag, dataType, byteCount);
  if (BufferedWrite(file, sizeof tag, tag) != NoError) return WriteError;
  if (data == nullptr || byteCount == 0) return NoError;
  return WritePadded(file, byteCount, data);
}

namespace {

// Writes the miMATRIX tag, flags, dimensions and name of a matrix element
// with dataBytes of data, then the tag of its data.
int32_t WriteMatrixHead(FileHandle file, int32_t kind, const char* name, int32_t rows,
                        int32_t columns, uint64_t dataBytes) {
  const uint64_t nameBytes = name == nullptr ? 0 : std::strlen(name);
  if (dataBytes > kMaxElementBytes || nameBytes > kMaxElementBytes) return OutOfMemory;
  const uint64_t total = MatrixElementBytes(dataBytes, nameBytes) - kTagBytes;
  if (total > kMaxElementBytes) return OutOfMemory;
  uint8_t tag[kTagBytes];
  PutTag(tag, MatrixDataTypes[kind], static_cast<uint32_t>(dataBytes));
  if (WritePrologue(file, static_cast<uint32_t>(total), MatrixClasses[kind], rows, columns) !=
          NoError ||
      WriteElement(file, miINT8, static_cast<uint32_t>(nameBytes), name) != NoError ||
      BufferedWrite(file, sizeof tag, tag) != NoError) {
    return WriteError;
  }
  return NoError;
}

}  // namespace

int32_t WriteMatrix(FileHandle file, int32_t kind, const char* name, int32_t rows, int32_t columns,
                    const void* data) {
  if (file == kInvalidFile) return WriteError;
  if (kind < Logical || kind > Double) return InvalidValue;
  if (rows < 0 || columns < 0) return InvalidValue;
  const uint64_t count = static_cast<uint64_t>(rows) * static_cast<uint64_t>(columns);
  if (count > 0 && data == nullptr) return InvalidValue;
  if (kind == Logical && count > kMaxLogicals) return OutOfMemory;
  if (kind == Char && count > kMaxCharacters) return OutOfMemory;

  uint64_t elements = count;
  const void* payload = data;
  if (kind == Char) {
    // The text is stored as the UTF-16 units its conversion yields, which
    // for multi-byte characters are fewer than its bytes.
    int units = NarrowToUtf16(static_cast<const char*>(data), static_cast<size_t>(count),
                              Writer.scratch.units, static_cast<int>(kMaxCharacters));
    if (units < 0 || static_cast<uint64_t>(units) > count) return InvalidValue;
    if (static_cast<uint64_t>(units) != count) {
      // Fewer units than bytes only lay out as one row of text.
      if (rows != 1) return InvalidValue;
      columns = units;
    }
    elements = static_cast<uint64_t>(units);
    payload = Writer.scratch.units;
  } else if (kind == Logical) {
    const int32_t* values = static_cast<const int32_t*>(data);
    for (uint64_t i = 0; i < count; ++i) Writer.scratch.bytes[i] = values[i] != 0 ? 1 : 0;
    payload = Writer.scratch.bytes;
  }

  const uint64_t dataBytes = elements * ElemSizes[kind];
  const int32_t status = WriteMatrixHead(file, kind, name, rows, columns, dataBytes);
  if (status != NoError) return status;
  if (dataBytes == 0) return NoError;
  return WritePadded(file, static_cast<uint32_t>(dataBytes), payload);
}

int32_t WriteDoubleMatrix(FileHandle file, const char* name, int32_t rows, int32_t columns,
                          MatrixPieces next, void* context) {
  if (file == kInvalidFile) return WriteError;
  if (rows < 0 || columns < 0) return InvalidValue;
  uint64_t left = static_cast<uint64_t>(rows) * static_cast<uint64_t>(columns);
  if (left > 0 && next == nullptr) return InvalidValue;
  const uint64_t dataBytes = left * sizeof(double);
  const int32_t status = WriteMatrixHead(file, Double, name, rows, columns, dataBytes);
  if (status != NoError) return status;
  // Large pieces are gathered into writes of a buffer's worth; a small one
  // goes through the buffer after those before it have been sent.
  while (left > 0) {
    uint32_t count = 0;
    const double* values = next(context, left, &count);
    if (values == nullptr || count == 0 || count > left) {
      FlushStraight(file);
      return InvalidValue;
    }
    const uint32_t bytes = count * static_cast<uint32_t>(sizeof(double));
    const int32_t status =
        bytes >= kStraightBytes
            ? QueueStraight(file, values, bytes)
            : (FlushStraight(file) == NoError ? WriteData(file, bytes, values) : WriteError);
    if (status != NoError) return WriteError;
    left -= count;
  }
  return FlushStraight(file);
}

int32_t WriteStructHeader(FileHandle file, const char* name, int32_t count, uint64_t fieldBytes,
                          const char* const* fieldNames) {
  if (fieldNames == nullptr || fieldNames[0] == nullptr) return InvalidValue;
  uint64_t fields = 0;
  for (const char* const* at = fieldNames; *at != nullptr; ++at, ++fields) {
    size_t length = BoundedLength(*at, kFieldNameBytes);
    if (length == 0 || length >= kFieldNameBytes) return InvalidValue;
  }
  if (count < 0) return InvalidValue;
  if (file == kInvalidFile) return WriteError;

  const uint64_t nameBytes = name == nullptr ? 0 : std::strlen(name);
  const uint64_t namesBytes = fields * kFieldNameBytes;
  if (fieldBytes > kMaxElementBytes || nameBytes > kMaxElementBytes ||
      namesBytes > kMaxElementBytes) {
    return OutOfMemory;
  }
  const uint64_t total = StructElementBytes(nameBytes, fields, fieldBytes) - kTagBytes;
  if (total > kMaxElementBytes) return OutOfMemory;

  if (WritePrologue(file, static_cast<uint32_t>(total), kStructClass, 1, count) != NoError ||
      WriteElement(file, miINT8, static_cast<uint32_t>(nameBytes), name) != NoError) {
    return WriteError;
  }
  // Field-name length 32 as a small data element (type and byte count in
  // one word, value in the next), then the tag of the name slots.
  uint8_t names[16];
  PutU32(names, miINT32 | (4u << 16));
  PutU32(names + 4, kFieldNameBytes);
  PutTag(names + 8, miINT8, static_cast<uint32_t>(namesBytes));
  if (BufferedWrite(file, sizeof names, names) != NoError) return WriteError;
  for (const char* const* at = fieldNames; *at != nullptr; ++at) {
    size_t length = BoundedLength(*at, kFieldNameBytes);
    std::memset(Writer.fieldName, 0, kFieldNameBytes);
    std::memcpy(Writer.fieldName, *at, length);
    if (BufferedWrite(file, kFieldNameBytes, Writer.fieldName) != NoError) return WriteError;
  }
  return NoError;
}

uint64_t GetBytesWritten() { return Writer.bytesWritten; }

uint64_t MatrixElementBytes(uint64_t dataBytes, uint64_t nameBytes) {
  return kTagBytes + kMatrixFixedBytes + Pad8(dataBytes) + Pad8(nameBytes);
}

uint64_t StructElementBytes(uint64_t nameBytes, uint64_t fieldCount, uint64_t fieldBytes) {
  return kTagBytes + kStructFixedBytes + Pad8(nameBytes) + fieldCount * kFieldNameBytes +
         fieldBytes;
}

uint64_t MatrixBytes(int32_t kind, const char* name, int32_t rows, int32_t columns,
                     const void* data) {
  uint64_t units =
      static_cast<uint64_t>(rows < 0 ? 0 : rows) * static_cast<uint64_t>(columns < 0 ? 0 : columns);
  if (kind == Char && units > 0 && data != nullptr) {
    units = static_cast<uint64_t>(
        NarrowToUtf16(static_cast<const char*>(data), static_cast<size_t>(units), nullptr, 0));
  }
  const uint64_t size = kind >= Logical && kind <= Double ? ElemSizes[kind] : 0;
  return MatrixElementBytes(units * size, name == nullptr ? 0 : std::strlen(name));
}
