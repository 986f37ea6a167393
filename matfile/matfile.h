// MATLAB level 5 MAT files: the writer, and (at the end) a strict reader of
// exactly what it writes.
//
// Writes one file at a time as a strictly sequential byte stream; it never
// seeks. Tags, headers and small data go through one output buffer
// (DiskBuffer), which is written a whole buffer at a time. Data pieces of
// 64 KiB or more go to the file straight from the caller's memory, in one
// gathered write (writev) together with the bytes pending in the buffer, so
// that the large matrices of a result file are never copied. The byte count
// of a structure is known before its header: MatrixBytes counts each field
// exactly as WriteMatrix will write it.
//
// Element layout (all little-endian, every element padded to 8 bytes):
//   matrix    tag {miMATRIX, pad8(D) + pad8(L) + 48}
//             {miUINT32, 8} flags word, 0
//             {miINT32, 8} rows, columns
//             {miINT8, L} name, padded           (L = 0 for structure fields)
//             {data type, D} data, padded
//   structure tag {miMATRIX, pad8(LS) + B + 32 F + 56}
//             {miUINT32, 8} 2, 0
//             {miINT32, 8} 1, N
//             {miINT8, LS} name, padded
//             05 00 04 00 20 00 00 00            (field-name length 32 as a
//                                                 small data element)
//             {miINT8, 32 F} F zero-padded 32-byte names
//             then B bytes of unnamed field matrices, element by element.
//
// State is process-wide and unlocked: one thread writes at a time.
#pragma once

#include <cstdint>

#include "link/status.h"
#include "platform/platform.h"

enum MatrixKind : int32_t { Logical = 0, Char = 1, Int32 = 2, Double = 3 };

// MAT data type codes.
enum MatDataType : uint32_t {
  miINT8 = 1,
  miUINT8 = 2,
  miUINT16 = 4,
  miINT32 = 5,
  miUINT32 = 6,
  miDOUBLE = 9,
  miMATRIX = 14,
};

extern const uint32_t ElemSizes[4];
extern const uint32_t MatrixClasses[4];
extern const uint32_t MatrixDataTypes[4];

constexpr int32_t kDiskBufferBytes = 1048576;

// The file header that opens every file: this text, zero bytes up to byte
// 124, version 0x0100 and the endian indicator "IM".
constexpr uint32_t kMatHeaderBytes = 128;
inline constexpr char kMatHeaderText[] = "MATLAB level 5 format resonance measurement data.";

// The largest byte count an element tag can hold. Elements and structures
// that would exceed it are refused with OutOfMemory before anything is
// written.
constexpr uint64_t kMaxElementBytes = 0xFFFFFFFFu;

// Reserves the output buffer. size below 131,072 gives InvalidValue; a failed
// allocation OutOfMemory.
int32_t AllocDiskBuffer(int32_t size);

// Releases the output buffer (capacity 0).
void FreeDiskBuffer();

// True while the output buffer is reserved.
bool DiskBufferReserved();

// Starts saving fileName (atomically: see CreateOutputFile; an earlier file
// of that name stays as it is until CloseMatFile succeeds) and writes the
// 128-byte header through the buffer. Resets the bytes-written count.
// Returns kInvalidFile when the file cannot be created or the header not
// written (nothing is then left).
FileHandle CreateMatFile(const char* fileName);

// Passes bytes to the file through the buffer. A zero length does nothing;
// no buffer or length >= capacity gives OutOfMemory; otherwise copies into
// the buffer, writing exactly one full buffer when the bytes cross its end
// (failure: WriteError).
int32_t BufferedWrite(FileHandle file, uint32_t length, const void* bytes);

// Writes the pending bytes in one write and completes the save; the handle
// is gone in every case. Returns WriteError, with nothing of the file saved
// and an earlier file of its name untouched, when the write or the save
// failed, or when an earlier full-buffer write of this file failed (the
// file would lack those bytes).
int32_t CloseMatFile(FileHandle file);

// Abandons the file after a failed element write: the pending bytes are
// dropped and nothing of the file is saved; an earlier file of its name is
// untouched.
void DiscardMatFile(FileHandle file);

// Writes an 8-byte tag, then pad8(byteCount) bytes when data is given and
// byteCount is non-zero. Any failure gives WriteError.
int32_t WriteElement(FileHandle file, uint32_t dataType, uint32_t byteCount, const void* data);

// Writes one rows x columns matrix of the given kind, column-major data as
// the caller gives it (Logical: int32 values, Char: narrow text of
// rows x columns bytes, Int32: int32, Double: double). Checks in order:
// invalid file WriteError; kind above 3 InvalidValue; logical above 1,024
// elements or text above 512 bytes OutOfMemory; element too large for its
// tag OutOfMemory; any write WriteError. A null or empty name writes the
// matrix unnamed, as the fields of a structure are.
int32_t WriteMatrix(FileHandle file, int32_t kind, const char* name, int32_t rows, int32_t columns,
                    const void* data);

// Gives the next values of a Double matrix, in column-major order: a
// pointer to *count of them (1 to left) that stays valid until the matrix
// is written. The writer asks in order, from the first value to the last.
// A piece of fewer than kMatCopiedPieceBytes bytes is copied before the
// next is asked for, so such pieces may all come from one buffer.
using MatrixPieces = const double* (*)(void* context, uint64_t left, uint32_t* count);
constexpr uint32_t kMatCopiedPieceBytes = 65536;

// Writes the same element as WriteMatrix(file, Double, name, rows, columns,
// data) would for the values that next gives, piece by piece from the
// caller's own memory: a caller whose values lie in several places (or are
// computed) needs no copy of the whole matrix. Large pieces go to the file
// without a copy, gathered into writes of about a buffer's worth. InvalidValue when next gives no
// values; otherwise results as for WriteMatrix.
int32_t WriteDoubleMatrix(FileHandle file, const char* name, int32_t rows, int32_t columns,
                          MatrixPieces next, void* context);

// Writes the header of a 1 x count structure whose fields (fieldBytes in
// all) the caller writes next. fieldNames is a null-terminated list of 1 to
// 31-character names with at least one entry, else InvalidValue. A structure
// too large for its tag gives OutOfMemory. Any write WriteError. The fields
// follow as unnamed matrices; MatrixBytes gives their fieldBytes.
int32_t WriteStructHeader(FileHandle file, const char* name, int32_t count, uint64_t fieldBytes,
                          const char* const* fieldNames);

// Bytes handed to the file since CreateMatFile, header included.
uint64_t GetBytesWritten();

// The layout's sizes, tags included, for callers that must know a file's
// size before writing it:
//   a matrix with dataBytes of data and a name of nameBytes:
//     pad8(dataBytes) + pad8(nameBytes) + 56
//   a structure named with nameBytes, fieldCount names and fieldBytes of
//     field elements: pad8(nameBytes) + 32 fieldCount + fieldBytes + 64
uint64_t MatrixElementBytes(uint64_t dataBytes, uint64_t nameBytes);
uint64_t StructElementBytes(uint64_t nameBytes, uint64_t fieldCount, uint64_t fieldBytes);

// The bytes, tag included, of the element that WriteMatrix writes for these
// arguments when it accepts them: text counts the UTF-16 units that it
// converts to, and data is read only for text (it may be null otherwise).
uint64_t MatrixBytes(int32_t kind, const char* name, int32_t rows, int32_t columns,
                     const void* data);

// ---------------------------------------------------------------- reading
//
// A strict reader of exactly the layout above: the 128-byte header with this
// writer's text, version 0x0100 and "IM"; matrix elements of the four kinds
// with this writer's array flags, two dimensions and an uncompressed real
// part of the kind's data type; 1 x N structures whose field-name length is
// the small data element {miINT32, 4} of value 32, with fields that are
// unnamed matrix elements. Every element's byte count must add up, and a
// structure's fields must fill it exactly. Fill bytes (padding, the bytes
// after a field name's terminating zero) are not looked at.
//
// It reads a file (or a block of memory) as a stream, front to back, and
// holds no more of it than one read-ahead block: the data of a matrix goes
// into the caller's buffer (large pieces straight from the file), so memory
// does not grow with the file.
// The caller knows the layout it expects and asks for each element in turn:
// ReadStructHead or ReadMatrixHead, then ReadMatrixData.
//
// Refusals. A file that departs from the layout is refused with
// InvalidValue and a message that says what was expected and at which byte,
// and what was found there: "expected a miMATRIX tag at byte 1234, found
// type 15 (miCOMPRESSED)"; a file that ends early: "... found the end of
// the file at byte 1200". A failed read gives ReadError, a file that cannot
// be opened CantOpenFile, a call out of order or a buffer too small
// InvalidOperation, each with its message. The first failure sticks: every
// later call returns it again and the message stays.
//
// Numbers are taken as the little-endian machines this runs on hold them.

constexpr uint32_t kMatNameCapacity = 64;  // names of up to 63 bytes
constexpr uint32_t kMatFieldNameBytes = 32;
constexpr int32_t kMatMaxFields = 32;
constexpr uint32_t kMatReadAheadBytes = 65536;
constexpr size_t kMatMessageBytes = 320;

// A matrix element, as its head describes it.
struct MatMatrixHead {
  int32_t kind;  // Logical, Char, Int32 or Double
  int32_t rows;
  int32_t columns;
  uint64_t dataBytes;           // rows x columns x ElemSizes[kind]: UTF-16 units for Char
  uint64_t offset;              // of its miMATRIX tag
  uint64_t dataOffset;          // of its first data byte
  char name[kMatNameCapacity];  // "" for the field of a structure
};

// The head of a 1 x count structure.
struct MatStructHead {
  int32_t count;
  int32_t fieldCount;
  uint64_t fieldBytes;   // the bytes of all field elements, as its byte count says
  uint64_t offset;       // of its miMATRIX tag
  uint64_t namesOffset;  // of its first 32-byte field-name slot
  char name[kMatNameCapacity];
  char fieldNames[kMatMaxFields][kMatFieldNameBytes];  // each zero-terminated
};

// The reader's state; the caller owns the record, the reader what it
// reserves (OpenMatReader: the file and a read-ahead block of
// kMatReadAheadBytes) until CloseMatReader.
struct MatReader {
  FileHandle file;        // kInvalidFile for a block of memory
  uint8_t* ahead;         // the read-ahead block of a file
  const uint8_t* window;  // the bytes at hand: the read-ahead block, or the memory
  size_t at;              // the next byte of window to take
  size_t end;             // the end of the bytes at hand
  uint64_t base;          // the file offset of window[0]
  // The matrix whose head was read last: its data and fill not yet taken.
  bool matrixOpen;
  int32_t matrixKind;
  uint64_t dataLeft;
  uint64_t fillLeft;
  // The structure whose fields are being read.
  bool structOpen;
  uint64_t structOffset;
  uint64_t structEnd;  // where its byte count says it ends
  uint64_t fieldsLeft;
  int32_t status;
  char message[kMatMessageBytes];
};

// Opens path for reading and reads its header. The file is read alongside
// any program that writes or replaces it, taking no lock. Returns 0;
// CantOpenFile (nothing is left open); OutOfMemory (no read-ahead block);
// InvalidValue or ReadError for a header that cannot be read or is not this
// writer's. The reader must be closed with CloseMatReader in every case.
int32_t OpenMatReader(MatReader* reader, const char* path);

// The same for size bytes of memory, which must stay as they are until the
// reader is closed; nothing is reserved.
int32_t OpenMatReaderOnBytes(MatReader* reader, const void* bytes, size_t size);

// Closes the file and releases what the reader reserved. Idempotent.
void CloseMatReader(MatReader* reader);

// Reads the head of the next top-level element, which must be a structure,
// up to its first field. The next calls read its count x fieldCount fields,
// element by element, with ReadMatrixHead (the data of a matrix left
// unread is skipped). InvalidOperation while the fields of a structure are
// still being read.
int32_t ReadStructHead(MatReader* reader, MatStructHead* head);

// Reads the head of the next matrix: the next field of the open structure
// (unnamed), or else the next top-level element (named). The data follows
// with ReadMatrixData; a call that reads another head or the end first
// skips it.
int32_t ReadMatrixHead(MatReader* reader, MatMatrixHead* head);

// Reads the data of the matrix whose head was read last into data, which
// holds capacity bytes (dataBytes of them are written; Char gives UTF-16
// units, Logical bytes of 0 or 1), and passes its fill. A null data skips
// it. A capacity below dataBytes gives InvalidOperation and reads nothing.
int32_t ReadMatrixData(MatReader* reader, void* data, uint64_t capacity);

// Checks that the file ends here: no structure with fields left, no byte
// after the last element.
int32_t ReadMatEnd(MatReader* reader);

// Refuses the file for a departure that the caller found in what it read:
// InvalidValue, with the message "expected <expected> at byte <at>, found
// <found>". Returns the status that sticks (an earlier failure's, if any).
int32_t RefuseMat(MatReader* reader, uint64_t at, const char* expected, const char* found);

// Fails the reading with status and message (a failure of the caller's
// own, such as memory it could not reserve). Returns the status that
// sticks.
int32_t FailMatReader(MatReader* reader, int32_t status, const char* message);

// The file offset of the next byte the reader takes.
uint64_t MatReaderOffset(const MatReader* reader);

// The message of the failure, or "" while there is none.
inline const char* MatReaderMessage(const MatReader* reader) { return reader->message; }
