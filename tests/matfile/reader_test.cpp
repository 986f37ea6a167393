// The MAT level 5 reader: what the writer wrote read back from a file and
// from memory, read or skipped; files that depart from the layout refused,
// each with what was expected, where, and what was found there.
#include <gtest/gtest.h>

#include <functional>

#include "link/byteorder.h"
#include "matfile/matfile.h"
#include "tests/support/encode.h"
#include "tests/support/harness.h"

namespace {

namespace e = encode;

// A matrix of the round trip: what is written, and so what must be read.
struct Var { int32_t kind; std::string name; int32_t rows, cols; std::vector<uint8_t> data; };

template <typename T> std::vector<uint8_t> Bytes(const std::vector<T>& v) {
  const uint8_t* p = reinterpret_cast<const uint8_t*>(v.data());
  return std::vector<uint8_t>(p, p + v.size() * sizeof(T));
}

// Reads what Write wrote: top-level matrices, then a structure of fields, then the end. Each data read (or
// skipped, every other one); what was read is appended to got. "" when accepted, else the message.
std::string Walk(MatReader& r, size_t top, size_t fields, bool skip, std::vector<Var>* got) {
  int32_t status = 0;
  for (size_t i = 0; status == 0 && i < top + fields; ++i) {
    MatStructHead s{};
    if (i == top && (status = ReadStructHead(&r, &s)) != 0) break;
    if (i == top && got != nullptr) got->push_back({-1, s.name, s.count, s.fieldCount, {}});
    MatMatrixHead h{};
    if ((status = ReadMatrixHead(&r, &h)) != 0) break;
    std::vector<uint8_t> data(h.dataBytes + 3, 0xEE);  // no byte beyond dataBytes written
    if (!(skip && i % 2 == 1)) status = ReadMatrixData(&r, data.data(), h.dataBytes);
    EXPECT_EQ(std::vector<uint8_t>(data.end() - 3, data.end()), std::vector<uint8_t>(3, 0xEE));
    data.resize(skip && i % 2 == 1 ? 0 : h.dataBytes);
    if (got != nullptr && status == 0) got->push_back({h.kind, h.name, h.rows, h.columns, data});
  }
  if (status == 0) status = ReadMatEnd(&r);
  EXPECT_EQ(status == 0, std::string(MatReaderMessage(&r)).empty());
  return MatReaderMessage(&r);
}

class Reader : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(AllocDiskBuffer(kDiskBufferBytes), NoError); }
  void TearDown() override { FreeDiskBuffer(); }
  // Writes the matrices, the last `fields` of them as the fields of a 1 x fieldCount structure "S".
  std::string Write(const std::vector<Var>& vars, size_t fields, int32_t fieldCount) {
    const FileHandle f = CreateMatFile(path.c_str());
    uint64_t bytes = 0;
    for (size_t i = 0; i < vars.size(); ++i) {
      const Var& v = vars[i];
      if (i == vars.size() - fields) {
        for (size_t j = i; j < vars.size(); ++j) bytes += MatrixBytes(vars[j].kind, "", vars[j].rows, vars[j].cols, vars[j].data.data());
        std::vector<std::string> names;
        std::vector<const char*> list;
        for (int32_t n = 0; n < fieldCount; ++n) names.push_back("F" + std::to_string(n));
        for (const std::string& n : names) list.push_back(n.c_str());
        list.push_back(nullptr);
        EXPECT_EQ(WriteStructHeader(f, "S", static_cast<int32_t>(fields) / fieldCount, bytes, list.data()), 0);
      }
      EXPECT_EQ(WriteMatrix(f, v.kind, v.name.c_str(), v.rows, v.cols, v.data.data()), 0) << v.name;
    }
    EXPECT_EQ(CloseMatFile(f), 0);
    return ReadFileBytes(path);
  }
  TempDir dir{"matfile_reader"};
  std::string path = dir / "in.mat";
};

TEST_F(Reader, ReadsBackWhatTheWriterWrote) {
  std::vector<double> big(200000), row(9000);  // beyond the read-ahead block: straight into the buffer
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<double>(i) * 0.5 - 7;
  for (size_t i = 0; i < row.size(); ++i) row[i] = -static_cast<double>(i);
  const std::vector<uint16_t> units = {'h', 0xB5, 'i'};
  std::vector<Var> vars = {
      {Logical, "Mask", 2, 3, Bytes<int32_t>({1, 0, 0, 1, 1, 0})}, {Char, "Name", 1, 4, Bytes<char>({'h', '\xc2', '\xb5', 'i'})},
      {Char, "Empty", 1, 0, {}}, {Int32, "Counts", 2, 2, Bytes<int32_t>({-5, 6, 2147483647, -2147483647 - 1})},
      {Double, "Nothing", 0, 0, {}}, {Double, "Big", 200000, 1, Bytes(big)}, {Double, "B", 1, 9000, Bytes(row)},
      {Double, std::string(63, 'n'), 1, 1, Bytes<double>({2.5})}};
  // 1 x 1500 elements of two fields, so that small elements cross the read-ahead block's end many times.
  for (int32_t i = 0; i < 3000; ++i)
    vars.push_back({i % 2 ? Int32 : Double, "", 1, i % 3, i % 2 ? Bytes(std::vector<int32_t>(i % 3, -i)) : Bytes(std::vector<double>(i % 3, i * 1.5))});
  const size_t top = 8, fields = vars.size() - top;
  const std::string bytes = Write(vars, fields, 2);
  // What the reader gives back: the writer's inputs, text as UTF-16 units, logicals as bytes.
  std::vector<Var> want = vars;
  want[0].data = {1, 0, 0, 1, 1, 0}, want[1].cols = 3, want[1].data = Bytes(units);
  want.insert(want.begin() + top, Var{-1, "S", 1500, 2, {}});
  for (bool skip : {false, true}) {
    for (bool memory : {false, true}) {
      MatReader r;
      ASSERT_EQ(memory ? OpenMatReaderOnBytes(&r, bytes.data(), bytes.size()) : OpenMatReader(&r, path.c_str()), 0);
      std::vector<Var> got;
      EXPECT_EQ(Walk(r, top, fields, skip, &got), "") << memory << skip;
      CloseMatReader(&r);
      ASSERT_EQ(got.size(), want.size());
      for (size_t g = 0; g < want.size(); ++g) {
        const bool skipped = skip && g != top && (g < top ? g : g - 1) % 2 == 1;
        SCOPED_TRACE(std::to_string(g) + (memory ? " memory" : " file") + (skip ? " skipping" : ""));
        EXPECT_EQ(got[g].kind, want[g].kind);
        EXPECT_EQ(got[g].name, want[g].name);
        EXPECT_EQ(got[g].rows, want[g].rows);
        EXPECT_EQ(got[g].cols, want[g].cols);
        EXPECT_TRUE(got[g].data == (skipped ? std::vector<uint8_t>() : want[g].data));
      }
    }
  }
}

// A small file of the encoder's, byte offsets as the layout puts them:
//   128 "D", a named 2 x 1 double: tag 128, flags tag 136, flags 144, dimensions tag 152, rows 160, columns 164,
//       name tag 168, name 176, data tag 184, data 192-207
//   208 "S", a 1 x 1 structure: tag 208, flags 224, rows 240, name tag 248, field-name length 264, names tag 272,
//       names 280 and 312; its fields A (logical 1 x 1) at 344, data 400; B (text "hi") at 408, data 464, fill 468
//   472 the end
const std::string kBase = e::MatHeader() + e::Doubles(2, 1, {1.5, -2}, "D") +
                          e::Struct("S", 1, {"A", "B"}, e::Logicals(1, 1, {1}) + e::Text("hi"));

std::string With(std::string s, size_t at, uint32_t word) { return s.replace(at, 4, e::U32(word)); }
std::string WithByte(std::string s, size_t at, char byte) { return s.replace(at, 1, 1, byte); }

TEST_F(Reader, RefusesWhatTheWriterDoesNotWrite) {
  std::string level4 = e::Level4Scalar("InternalTemp", 25.3) + e::Level4Scalar("ExternalTemp", 22.1);
  const struct { const char* what; std::string bytes; std::string message; } cases[] = {
      {"empty", "", "expected a 128-byte header at byte 0, found the end of the file at byte 0"},
      {"level 4", level4, "expected a 128-byte header at byte 0, found the end of the file at byte 82"},
      {"longer level 4", level4 + level4,
       "expected the header text \"MATLAB level 5 format resonance measurement data.\" at byte 0, found "
       "\"\\x00\\x00\\x00\\x00\\x01\\x00\\x00\\x00\\x01\\x00\\x00\\x00\\x00\\x00\\x00\\x00...\""},
      {"another writer's text", std::string("MATLAB 5.0 MAT-file").append(kBase, 19),
       "expected the header text \"MATLAB level 5 format resonance measurement data.\" at byte 0, found "
       "\"MATLAB 5.0 MAT-f...\""},
      {"text not zero-filled", WithByte(kBase, 100, 'x'), "expected a zero byte at byte 100, found 0x78"},
      {"subsystem offset", WithByte(kBase, 123, ' '), "expected a zero byte at byte 123, found 0x20"},
      {"big-endian", kBase.substr(0, 124) + std::string("\x01\x00MI", 4) + kBase.substr(128),
       "expected the little-endian indicator \"IM\" at byte 126, found \"MI\""},
      {"no indicator", WithByte(kBase, 127, 'X'), "expected the little-endian indicator \"IM\" at byte 126, found 0x4958"},
      {"version", WithByte(kBase, 125, 2), "expected version 0x0100 at byte 124, found 0x0200"},
      {"compressed", With(kBase, 128, 15), "expected a miMATRIX tag at byte 128, found type 15 (miCOMPRESSED)"},
      {"small element", With(kBase, 128, 0x40005), "expected a miMATRIX tag at byte 128, found a small data element (0x00040005)"},
      {"flags tag", With(kBase, 136, 5), "expected the array flags tag {6, 8} at byte 136, found {5, 8}"},
      {"single", With(kBase, 144, 7), "expected the array flags of a logical, char, int32 or double matrix at byte 144, found 0x00000007"},
      {"complex", With(kBase, 144, 0x806), "expected the array flags of a logical, char, int32 or double matrix at byte 144, found 0x00000806"},
      {"second flags word", With(kBase, 148, 1), "expected a second array flags word of 0 at byte 148, found 0x00000001"},
      {"three dimensions", With(kBase, 156, 12), "expected the dimensions tag {5, 8} at byte 152, found {5, 12}"},
      {"negative rows", With(kBase, 160, 0xFFFFFFFF), "expected a row count of 0 or more at byte 160, found -1"},
      {"negative columns", With(kBase, 164, 0x80000000), "expected a column count of 0 or more at byte 164, found -2147483648"},
      {"name tag", With(kBase, 168, 2), "expected a name tag {1, n} at byte 168, found {2, 1}"},
      {"long name", With(kBase, 172, 64), "expected a name of at most 63 bytes at byte 172, found 64"},
      {"zero in name", WithByte(kBase, 176, 0), "expected a name without zero bytes at byte 176, found a zero byte"},
      {"data type", With(kBase, 184, 7), "expected the data tag {9, 16} of a 2x1 matrix at byte 184, found {7, 16}"},
      {"data bytes", With(kBase, 188, 8), "expected the data tag {9, 16} of a 2x1 matrix at byte 184, found {9, 8}"},
      {"element size", With(kBase, 132, 80), "expected a miMATRIX byte count of 72 at byte 132, found 80"},
      {"not a structure", With(kBase, 224, 6), "expected the array flags of a structure (0x00000002) at byte 224, found 0x00000006"},
      {"two rows", With(kBase, 240, 2), "expected a structure of 1 row at byte 240, found 2"},
      {"long-form name length", With(kBase, 264, 5),
       "expected the field-name length as the small data element {miINT32, 4} (0x00040005) at byte 264, found 0x00000005"},
      {"name length", With(kBase, 268, 64), "expected a field-name length of 32 at byte 268, found 64"},
      {"names tag", With(kBase, 272, 2), "expected the field names tag {1, 32 x fields} at byte 272, found {2, 64}"},
      {"names bytes", With(kBase, 276, 48), "expected 1 to 32 field names of 32 bytes at byte 276, found 48"},
      {"empty field name", WithByte(kBase, 312, 0), "expected a field name of 1 to 31 bytes and a zero byte at byte 312, found an empty name"},
      {"unterminated field name", std::string(kBase).replace(280, 32, 32, 'x'),
       "expected a field name of 1 to 31 bytes and a zero byte at byte 280, found no zero byte"},
      {"structure too small", With(kBase, 212, 100), "expected a miMATRIX byte count of at least 128 at byte 212, found 100"},
      {"structure too large", With(kBase, 212, 264), "expected a miMATRIX byte count of 256 at byte 212, found 264"},
      {"no elements, yet fields", With(kBase, 244, 0), "expected a miMATRIX byte count of 128 at byte 212, found 256"},
      {"field beyond its structure", With(kBase, 212, 248),
       "expected a field within its structure: a miMATRIX byte count of at most 48 at byte 412, found 56"},
      {"named field", With(kBase, 388, 1), "expected an unnamed field (name tag {1, 0}) at byte 388, found 1"},
      {"nested structure", With(kBase, 360, 2), "expected the array flags of a logical, char, int32 or double matrix at byte 360, found 0x00000002"},
      {"logical 2", WithByte(kBase, 400, 2), "expected a logical value of 0 or 1 at byte 400, found 2"},
      {"trailing bytes", kBase + std::string(8, '\0'), "expected the end of the file at byte 472, found more bytes"},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(WriteFileBytes(path, c.bytes));
    for (bool skip : {false, true}) {
      for (bool memory : {false, true}) {
        MatReader r;
        if ((memory ? OpenMatReaderOnBytes(&r, c.bytes.data(), c.bytes.size()) : OpenMatReader(&r, path.c_str())) == 0) {
          Walk(r, 1, 2, skip, nullptr);
        }
        EXPECT_EQ(r.status, InvalidValue) << c.what;
        EXPECT_EQ(MatReaderMessage(&r), c.message) << c.what << (memory ? " memory" : " file") << (skip ? " skipping" : "");
        CloseMatReader(&r);
      }
    }
  }
  // Cut anywhere, the file is refused where it ends.
  for (size_t cut = 0; cut < kBase.size(); ++cut) {
    MatReader r;
    if (OpenMatReaderOnBytes(&r, kBase.data(), cut) == 0) Walk(r, 1, 2, cut % 2, nullptr);
    const std::string message = MatReaderMessage(&r), end = "found the end of the file at byte " + std::to_string(cut);
    EXPECT_EQ(message.substr(message.size() - std::min(message.size(), end.size())), end) << message;
    CloseMatReader(&r);
  }
  MatReader r;
  ASSERT_EQ(OpenMatReaderOnBytes(&r, kBase.data(), kBase.size()), 0);
  EXPECT_EQ(Walk(r, 1, 2, false, nullptr), "");
}

TEST_F(Reader, MisuseAndFailuresStick) {
  const std::string missing = dir / "missing.mat";
  MatMatrixHead h;
  MatStructHead s;
  double d[2];
  const struct { const char* what; std::function<int32_t(MatReader&)> calls; int32_t status; std::string message; } cases[] = {
      {"missing file", [&](MatReader& r) { return OpenMatReader(&r, missing.c_str()); }, CantOpenFile,
       "cannot open " + missing + ": No such file or directory"},
      {"a folder", [&](MatReader& r) { return OpenMatReader(&r, dir.path.c_str()); }, CantOpenFile, "cannot open " + dir.path + ": not a regular file"},
      {"data without a head", [](MatReader& r) { return ReadMatrixData(&r, nullptr, 0); }, InvalidOperation, "matrix data asked for without its head"},
      {"buffer too small", [&](MatReader& r) { return ReadMatrixHead(&r, &h) | ReadMatrixData(&r, d, 15); }, InvalidOperation,
       "a buffer of 15 bytes is too small for the 16 data bytes at byte 192"},
      {"structure within a structure", [&](MatReader& r) { return ReadMatrixHead(&r, &h) | ReadStructHead(&r, &s) | ReadStructHead(&r, &s); },
       InvalidOperation, "a structure was asked for before the fields of the last"},
      {"end before the fields", [&](MatReader& r) { return ReadMatrixHead(&r, &h) | ReadStructHead(&r, &s) | ReadMatEnd(&r); },
       InvalidOperation, "the end asked for before the fields of the last structure"},
      {"a matrix where a structure is", [&](MatReader& r) { return ReadMatrixHead(&r, &h) | ReadMatrixHead(&r, &h); }, InvalidValue,
       "expected the array flags of a logical, char, int32 or double matrix at byte 224, found 0x00000002"},
      {"a caller's refusal", [](MatReader& r) { return RefuseMat(&r, 7, "this", "that"); }, InvalidValue, "expected this at byte 7, found that"},
  };
  for (const auto& c : cases) {
    MatReader r;
    if (OpenMatReaderOnBytes(&r, kBase.data(), kBase.size()) == 0) {
      EXPECT_NE(c.calls(r), 0) << c.what;
    }
    EXPECT_EQ(r.status, c.status) << c.what;
    EXPECT_EQ(MatReaderMessage(&r), c.message) << c.what;
    // The first failure sticks.
    EXPECT_EQ(ReadMatrixHead(&r, &h), c.status) << c.what;
    EXPECT_EQ(RefuseMat(&r, 0, "x", "y"), c.status) << c.what;
    EXPECT_EQ(MatReaderMessage(&r), c.message) << c.what;
    CloseMatReader(&r);
    CloseMatReader(&r);
  }
}

}  // namespace
