// The journal's bytes: what a run writes beside its result file as the
// records arrive, so that the file can be rebuilt after a crash. Pure
// encoding and one parser, no I/O; the writer (journal.h), the recovery
// tool and the tests all use these.
//
// All fields little-endian. A journal is a header, then entries:
//
//   offset  size  header
//   0       8     magic "QRVJRNL\x1a"
//   8       4     version: 2 (written), or 1 (read still)
//   12      4     flags: bit 0 set when the run lost records after some
//                 point (rewritten in place, so not under the check)
//   16      4     L, the bytes of the description
//   20      L     description (both versions, 855 bytes):
//                   u8 build (0 qarvel, 1 vexa), u8 averaged (-m), u16 0,
//                   i64 start time (100 ns units since 1601-01-01 UTC),
//                   the save request: 257 + 81 + 81 bytes of text, i32 -m,
//                   the configuration: i32 ranges, i32 points[8],
//                   f64 requested start[8], stop[8], start word[8],
//                   step word[8], f64 settling, averaging, requested period,
//                   realized period, output power, i32 sweep type,
//                   84 bytes of preset name
//   20+L    4     CRC-32C of bytes 16 .. 20+L
//
//   entry   4     n, the bytes of the body
//           1     type: 1 record, 2 stamp
//           n     body:
//                   record, version 2: i64 arrival time (when the
//                     acquisition thread took it, on the clock of the
//                     stamps), then the SWEEPDATA payload as received
//                   record, version 1: the SWEEPDATA payload alone
//                   stamp: i64 wall-clock time of a flush
//           4     CRC-32C of the length, the type and the body
//
// Times are SystemTime's: 100 ns units since 1601-01-01 UTC. Every entry is
// checked on its own: a journal cut anywhere, or damaged anywhere, gives
// back every whole entry before the first one that is not.
#pragma once

#include <cstddef>
#include <cstdint>

#include "sweep/sweep_commands.h"
#include "sweep/savedata.h"

constexpr uint32_t kJournalVersion = 2;        // the version written
constexpr uint32_t kJournalOldestVersion = 1;  // the oldest still read
constexpr uint32_t kJournalIncomplete = 1;     // flags bit 0
constexpr size_t kJournalFlagsOffset = 12;
constexpr size_t kJournalDescriptionBytes = 855;
constexpr size_t kJournalHeaderBytes = 20 + kJournalDescriptionBytes + 4;

enum JournalEntryType : uint8_t { kJournalRecord = 1, kJournalStamp = 2 };
constexpr size_t kJournalEntryOverhead = 9;     // length, type, check
constexpr uint32_t kJournalMaxPayload = 65535;  // a frame's payload at most
constexpr uint32_t kJournalArrivalBytes = 8;    // before a version-2 record's payload
constexpr uint32_t kJournalMaxBody = kJournalMaxPayload + kJournalArrivalBytes;

// What the header says of the run.
struct JournalHeader {
  uint8_t build;      // row of the table of builds
  bool averaged;      // -m
  int64_t startTime;  // 100 ns units since 1601-01-01 UTC
  SaveData saveData;
  SweepInfo info;
};

// CRC-32C (Castagnoli's polynomial, as iSCSI and ext4 use it), continued
// from crc (0 to start): with the processor's instruction where it has one.
uint32_t Crc32(uint32_t crc, const void* data, size_t n);
// The same from tables alone, as a processor without the instruction
// computes it.
uint32_t Crc32Portable(uint32_t crc, const void* data, size_t n);

// Writes the kJournalHeaderBytes of a header: version kJournalVersion, flags 0.
void EncodeJournalHeader(const JournalHeader& header, uint8_t* out);

enum class JournalParse {
  Ok,        // a whole, intact piece
  NeedMore,  // the bytes end inside it: more may come, or the journal was cut
  Damaged,   // it is not what it should be
  Invalid,   // intact, but its description is not one that a run writes
};

// The first field of a description that no run writes, by its name ("" when
// there is none): the build; ranges other than 1 to 8; points other than 2
// to 16000 in a configured range, or outside 0 to 16000 beyond them (the
// file's rows are the most of all eight); a start or step word that is not
// a whole number from 0 to 2^32 - 1; a text without its terminating zero
// within its field; an empty OriginalFilename. Times are not looked at: a
// clock that was wrong must not cost a measurement its recovery.
const char* InvalidJournalField(const JournalHeader& header);

// Reads a header from the first n bytes. Ok fills *header, *version and
// *flags (and *headerBytes, where the first entry starts); Damaged for
// anything that is not the header of a journal of a version this code reads
// (another magic, version or length, a failed check); Invalid, with
// *invalidField naming the field, for a description that
// InvalidJournalField refuses.
JournalParse DecodeJournalHeader(const uint8_t* bytes, size_t n, JournalHeader* header,
                                 uint32_t* version, uint32_t* flags, size_t* headerBytes,
                                 const char** invalidField = nullptr);

struct JournalEntry {
  uint8_t type;
  const uint8_t* body;  // points into the bytes given
  uint32_t length;
  size_t entryBytes;  // body and framing
  // A record's SWEEPDATA payload (within body), and the time it arrived
  // (version 2; 0 for a version-1 journal, which does not keep it).
  const uint8_t* payload;
  uint32_t payloadLength;
  int64_t arrival;
};

// Reads the entry at the start of n bytes of a journal of `version`.
// Damaged for a failed check, an unknown type, a body longer than the
// version's records take (kJournalMaxPayload, and kJournalArrivalBytes more
// in version 2), a stamp of other than 8 bytes, or a version-2 record too
// short for its arrival time.
JournalParse ParseJournalEntry(const uint8_t* bytes, size_t n, uint32_t version,
                               JournalEntry* entry);

// Frames one entry: writes its length and type into head[5] and returns the
// check that follows the body.
uint32_t FrameJournalEntry(uint8_t type, const uint8_t* body, uint32_t length, uint8_t head[5]);
