// The journal's bytes: the header, the entries and their checks.
#include "sweep/journal_format.h"

#include <cmath>
#include <cstring>
#if defined(__x86_64__) || defined(__i386__)
#include <nmmintrin.h>
#endif

#include "link/byteorder.h"
#include "sweep/builds.h"

namespace {

constexpr uint8_t kMagic[8] = {'Q', 'R', 'V', 'J', 'R', 'N', 'L', 0x1A};

// CRC-32C tables for eight bytes at a time: table[k][b] is the CRC of byte
// b followed by k zero bytes.
struct CrcTables {
  uint32_t t[8][256];
  CrcTables() {
    for (uint32_t b = 0; b < 256; ++b) {
      uint32_t c = b;
      for (int i = 0; i < 8; ++i) c = (c & 1) ? 0x82F63B78u ^ (c >> 1) : c >> 1;
      t[0][b] = c;
    }
    for (uint32_t b = 0; b < 256; ++b) {
      for (int k = 1; k < 8; ++k) t[k][b] = (t[k - 1][b] >> 8) ^ t[0][t[k - 1][b] & 0xFF];
    }
  }
};
const CrcTables kCrc;

// Writes and reads the description field by field, in file order.
struct Cursor {
  uint8_t* out;
  const uint8_t* in;
  size_t at;

  void Bytes(void* field, size_t n) {
    if (out != nullptr) std::memcpy(out + at, field, n);
    if (in != nullptr) std::memcpy(field, in + at, n);
    at += n;
  }
  void I32(int32_t* v) {
    uint8_t b[4];
    PutU32(b, static_cast<uint32_t>(*v));
    Bytes(b, 4);
    *v = static_cast<int32_t>(GetU32(b));
  }
  void I64(int64_t* v) {
    uint8_t b[8];
    PutU64(b, static_cast<uint64_t>(*v));
    Bytes(b, 8);
    *v = static_cast<int64_t>(GetU64(b));
  }
  void F64(double* v) {
    int64_t bits;
    std::memcpy(&bits, v, sizeof bits);
    I64(&bits);
    std::memcpy(v, &bits, sizeof bits);
  }
  void F64s(double* v, int n) {
    for (int i = 0; i < n; ++i) F64(&v[i]);
  }
};

// The description, the same in both versions. Every field is taken whole, padding bytes of
// the texts included, so that a header read back is the header written.
void Describe(Cursor& c, JournalHeader* h) {
  uint8_t head[4] = {h->build, static_cast<uint8_t>(h->averaged ? 1 : 0), 0, 0};
  c.Bytes(head, 4);
  h->build = head[0];
  h->averaged = head[1] != 0;
  c.I64(&h->startTime);
  SaveData& s = h->saveData;
  c.Bytes(s.OriginalFilename, sizeof s.OriginalFilename);
  c.Bytes(s.Annotation1, sizeof s.Annotation1);
  c.Bytes(s.Annotation2, sizeof s.Annotation2);
  c.I32(&s.IsGloballyAveraged);
  SweepInfo& i = h->info;
  c.I32(&i.NumberOfRanges);
  for (int32_t& points : i.Points) c.I32(&points);
  c.F64s(i.RequestedStart, kMaxRanges);
  c.F64s(i.RequestedStop, kMaxRanges);
  c.F64s(i.StartWord, kMaxRanges);
  c.F64s(i.StepWord, kMaxRanges);
  c.F64(&i.SettlingTime);
  c.F64(&i.Averaging);
  c.F64(&i.RequestedPeriod);
  c.F64(&i.RealizedPeriod);
  c.F64(&i.OutputPower);
  c.I32(&i.SweepType);
  c.Bytes(i.PresetName, sizeof i.PresetName);
}

// A device word as the configuration holds it: a whole number that the
// instrument's 32-bit field takes.
bool IsDeviceWord(double word) {
  return std::isfinite(word) && word >= 0.0 && word <= 4294967295.0 && std::trunc(word) == word;
}

template <size_t kSize>
bool Terminated(const char (&text)[kSize]) {
  return std::memchr(text, '\0', kSize) != nullptr;
}

uint32_t Crc32cTables(uint32_t c, const uint8_t* p, size_t n) {
  for (; n >= 8; n -= 8, p += 8) {
    const uint32_t lo = c ^ GetU32(p);
    const uint32_t hi = GetU32(p + 4);
    c = kCrc.t[7][lo & 0xFF] ^ kCrc.t[6][(lo >> 8) & 0xFF] ^ kCrc.t[5][(lo >> 16) & 0xFF] ^
        kCrc.t[4][lo >> 24] ^ kCrc.t[3][hi & 0xFF] ^ kCrc.t[2][(hi >> 8) & 0xFF] ^
        kCrc.t[1][(hi >> 16) & 0xFF] ^ kCrc.t[0][hi >> 24];
  }
  for (; n > 0; --n, ++p) c = kCrc.t[0][(c ^ *p) & 0xFF] ^ (c >> 8);
  return c;
}

#if defined(__x86_64__) || defined(__i386__)
// The processor's own CRC-32C instruction (SSE4.2): the check then costs a
// recovery a fraction of what reading the journal does.
__attribute__((target("sse4.2"))) uint32_t Crc32cInstruction(uint32_t c, const uint8_t* p,
                                                             size_t n) {
#if defined(__x86_64__)
  uint64_t wide = c;
  for (; n >= 8; n -= 8, p += 8) {
    uint64_t word;
    std::memcpy(&word, p, 8);
    wide = _mm_crc32_u64(wide, word);
  }
  c = static_cast<uint32_t>(wide);
#endif
  for (; n >= 4; n -= 4, p += 4) {
    uint32_t word;
    std::memcpy(&word, p, 4);
    c = _mm_crc32_u32(c, word);
  }
  for (; n > 0; --n, ++p) c = _mm_crc32_u8(c, *p);
  return c;
}
const bool kHasCrcInstruction = (__builtin_cpu_init(), __builtin_cpu_supports("sse4.2"));
#endif

}  // namespace

uint32_t Crc32(uint32_t crc, const void* data, size_t n) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
#if defined(__x86_64__) || defined(__i386__)
  if (kHasCrcInstruction) return ~Crc32cInstruction(~crc, p, n);
#endif
  return Crc32Portable(crc, data, n);
}

uint32_t Crc32Portable(uint32_t crc, const void* data, size_t n) {
  return ~Crc32cTables(~crc, static_cast<const uint8_t*>(data), n);
}

void EncodeJournalHeader(const JournalHeader& header, uint8_t* out) {
  std::memcpy(out, kMagic, sizeof kMagic);
  PutU32(out + 8, kJournalVersion);
  PutU32(out + kJournalFlagsOffset, 0);
  PutU32(out + 16, static_cast<uint32_t>(kJournalDescriptionBytes));
  JournalHeader copy = header;
  Cursor c{out + 20, nullptr, 0};
  Describe(c, &copy);
  PutU32(out + 20 + kJournalDescriptionBytes, Crc32(0, out + 16, 4 + kJournalDescriptionBytes));
}

const char* InvalidJournalField(const JournalHeader& header) {
  if (header.build >= kSweepBuildCount) return "build";
  const SweepInfo& info = header.info;
  if (info.NumberOfRanges < 1 || info.NumberOfRanges > kMaxRanges) return "NumberOfRanges";
  for (int k = 0; k < kMaxRanges; ++k) {
    const bool configured = k < info.NumberOfRanges;
    const int32_t points = info.Points[k];
    if (points < (configured ? 2 : 0) || points > kMaxPoints) return "Points";
    if (!IsDeviceWord(info.StartWord[k])) return "StartWord";
    if (!IsDeviceWord(info.StepWord[k])) return "StepWord";
  }
  const SaveData& save = header.saveData;
  if (!Terminated(save.OriginalFilename) || save.OriginalFilename[0] == '\0') {
    return "OriginalFilename";
  }
  if (!Terminated(save.Annotation1)) return "Annotation1";
  if (!Terminated(save.Annotation2)) return "Annotation2";
  if (!Terminated(info.PresetName)) return "PresetName";
  return "";
}

JournalParse DecodeJournalHeader(const uint8_t* bytes, size_t n, JournalHeader* header,
                                 uint32_t* version, uint32_t* flags, size_t* headerBytes,
                                 const char** invalidField) {
  const size_t known = n < sizeof kMagic ? n : sizeof kMagic;
  if (std::memcmp(bytes, kMagic, known) != 0) return JournalParse::Damaged;
  if (n < 20) return JournalParse::NeedMore;
  const uint32_t written = GetU32(bytes + 8);
  if (written < kJournalOldestVersion || written > kJournalVersion ||
      GetU32(bytes + 16) != kJournalDescriptionBytes) {
    return JournalParse::Damaged;
  }
  if (n < kJournalHeaderBytes) return JournalParse::NeedMore;
  const size_t check = 20 + kJournalDescriptionBytes;
  if (Crc32(0, bytes + 16, check - 16) != GetU32(bytes + check)) return JournalParse::Damaged;
  JournalHeader h{};
  Cursor c{nullptr, bytes + 20, 0};
  Describe(c, &h);
  const char* invalid = InvalidJournalField(h);
  if (invalidField != nullptr) *invalidField = invalid;
  if (invalid[0] != '\0') return JournalParse::Invalid;
  *header = h;
  *version = written;
  *flags = GetU32(bytes + kJournalFlagsOffset);
  *headerBytes = kJournalHeaderBytes;
  return JournalParse::Ok;
}

uint32_t FrameJournalEntry(uint8_t type, const uint8_t* body, uint32_t length, uint8_t head[5]) {
  PutU32(head, length);
  head[4] = type;
  return Crc32(Crc32(0, head, 5), body, length);
}

JournalParse ParseJournalEntry(const uint8_t* bytes, size_t n, uint32_t version,
                               JournalEntry* entry) {
  if (n < 5) return JournalParse::NeedMore;
  const uint32_t length = GetU32(bytes);
  const uint8_t type = bytes[4];
  const uint32_t timed = version >= 2 ? kJournalArrivalBytes : 0;
  if (length > kJournalMaxPayload + timed || (type != kJournalRecord && type != kJournalStamp)) {
    return JournalParse::Damaged;
  }
  if (n < kJournalEntryOverhead + length) return JournalParse::NeedMore;
  const uint32_t check = Crc32(Crc32(0, bytes, 5), bytes + 5, length);
  if (check != GetU32(bytes + 5 + length)) return JournalParse::Damaged;
  if (type == kJournalStamp ? length != 8 : length < timed) return JournalParse::Damaged;
  const uint8_t* body = bytes + 5;
  const bool record = type == kJournalRecord;
  *entry = JournalEntry{type,
                        body,
                        length,
                        kJournalEntryOverhead + length,
                        record ? body + timed : nullptr,
                        record ? length - timed : 0,
                        record && timed != 0 ? static_cast<int64_t>(GetU64(body)) : 0};
  return JournalParse::Ok;
}
