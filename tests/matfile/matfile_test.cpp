// The MAT level 5 writer: its bytes against an independent encoder, the
// writes it refuses, sizing, buffering, write failures, and one file of every
// kind read back by SciPy and Octave.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>

#include "matfile/matfile.h"
#include "tests/support/encode.h"
#include "tests/support/harness.h"

namespace {

namespace e = encode;

class MatFile : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(AllocDiskBuffer(kDiskBufferBytes), NoError); }
  // Creates the file, runs body on it, closes it: the file's bytes.
  std::string Write(const std::function<void(FileHandle)>& body) {
    const FileHandle file = CreateMatFile(path.c_str());
    EXPECT_NE(file, kInvalidFile);
    body(file);
    EXPECT_EQ(CloseMatFile(file), NoError);
    return ReadFileBytes(path);
  }
  TempDir dir{"matfile"};
  std::string path = dir / "out.mat";
};

// A matrix written, as the encoder lays it out, and as the readers print it
// (after its name; "": not compared).
struct Var { int32_t kind; const char* name; int32_t rows, cols; const void* data; std::string bytes, dump; };

TEST_F(MatFile, EveryKindIsByteExactAndReadBack) {
  const std::vector<double> small = {0.5, -1.25, 1e7, -0.0, 1048576.25, 42};
  std::vector<double> big(200000);  // more than the buffer holds
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<double>(i) * 1.25 - 3;
  const std::vector<int32_t> ints = {-5, 6, 2147483647, -2147483647 - 1}, mask = {1, 0, 0, 1, -1, 0};
  const std::vector<Var> top = {
      {Logical, "Mask", 2, 3, mask.data(), e::Logicals(2, 3, {1, 0, 0, 1, 1, 0}, "Mask"), "Mask logical 2x3 1 0 0 1 1 0"},
      // UTF-8 becomes units, other bytes stand for themselves; readers decode these each their own way.
      {Char, "Unit", 1, 5, "\xc2\xb5s\xc2\xb0", e::Text("\xb5s\xb0", "Unit"), ""},
      {Char, "Latin", 1, 2, "\xe9t", e::Text("\xe9t", "Latin"), ""},
      {Char, "Empty", 1, 0, "", e::Text("", "Empty"), "Empty char 1x0 "},
      {Int32, "Counts", 2, 2, ints.data(), e::Ints(2, 2, ints, "Counts"), "Counts int32 2x2 -5 6 2147483647 -2147483648"},
      {Double, "Frequencies", 3, 2, small.data(), e::Doubles(3, 2, small, "Frequencies"),
       "Frequencies double 3x2 0.5 -1.25 10000000 -0 1048576.25 42"},
      {Double, "Nothing", 0, 0, nullptr, e::Doubles(0, 0, {}, "Nothing"), "Nothing double 0x0 "},
      {Double, "Big", 200000, 1, big.data(), e::Doubles(200000, 1, big, "Big"), "Big double 200000x1 -3 ... 249995.75 nan=0"},
  };
  // Fields of a 1 x 2 structure: unnamed, sized in advance by MatrixBytes.
  const std::vector<Var> fields = {
      {Int32, "", 1, 3, &ints[1], e::Ints(1, 3, {6, 2147483647, -2147483647 - 1}),
       "Runs(1).Count int32 1x3 6 2147483647 -2147483648"},
      {Double, nullptr, 2, 1, small.data(), e::Doubles(2, 1, {0.5, -1.25}), "Runs(1).Values double 2x1 0.5 -1.25"},
      {Logical, "", 1, 1, &mask[4], e::Logicals(1, 1, {1}), "Runs(2).Count logical 1x1 1"},
      {Char, "", 1, 5, "first", e::Text("first"), "Runs(2).Values char 1x5 first"},
  };
  const char* const names[] = {"Count", "Values", nullptr};
  std::string expected = e::MatHeader(), fieldBytes;
  for (const Var& v : top) expected += v.bytes;
  for (const Var& v : fields) fieldBytes += v.bytes;
  expected += e::Struct("Runs", 2, {"Count", "Values"}, fieldBytes);
  const auto writeAll = [](FileHandle f, const std::vector<Var>& vars) {
    for (const Var& v : vars) EXPECT_EQ(WriteMatrix(f, v.kind, v.name, v.rows, v.cols, v.data), 0) << v.dump;
  };
  const std::string bytes = Write([&](FileHandle f) {
    for (const Var& v : top) EXPECT_EQ(MatrixBytes(v.kind, v.name, v.rows, v.cols, v.data), v.bytes.size()) << v.name;
    writeAll(f, top);
    uint64_t sized = 0;
    for (const Var& v : fields) sized += MatrixBytes(v.kind, v.name, v.rows, v.cols, v.data);
    ASSERT_EQ(WriteStructHeader(f, "Runs", 2, sized, names), NoError);
    writeAll(f, fields);
  });
  EXPECT_TRUE(bytes == expected) << "first difference at byte "
      << std::mismatch(bytes.begin(), bytes.end(), expected.begin()).first - bytes.begin();
  for (Reader reader : {Reader::SciPy, Reader::Octave}) {
    const MatDump d = ReadMat(reader, path);
    EXPECT_EQ(d.status, 0) << ReaderName(reader) << ": " << d.err;
    EXPECT_EQ(CountOf(d.out, "\n"), 1 + top.size() + fields.size()) << ReaderName(reader) << ":\n" << d.out;
    EXPECT_EQ(CountOf(d.out, "Runs struct 1x2 Count,Values\n"), 1u) << ReaderName(reader);
    for (const auto* list : {&top, &fields})
      for (const Var& v : *list)
        EXPECT_TRUE(v.dump.empty() || CountOf(d.out, v.dump + "\n") == 1) << ReaderName(reader) << ": " << v.dump;
  }
}

// A refused write adds nothing to the file, the largest accepted ones do.
TEST_F(MatFile, RefusalsAndInclusiveLimits) {
  const std::string text(513, 'a');
  const std::vector<int32_t> logicals(1025, 1);
  const std::vector<char> buffer(kDiskBufferBytes);
  const double two[2] = {1, 2};
  const struct { int32_t status, kind, rows, cols; const void* data; } matrices[] = {
      {OutOfMemory, Char, 1, 513, text.data()}, {NoError, Char, 1, 512, text.data()}, {InvalidValue, 4, 1, 1, two},
      {OutOfMemory, Logical, 1025, 1, logicals.data()}, {NoError, Logical, 32, 32, logicals.data()},
      {InvalidValue, -1, 1, 1, two}, {InvalidValue, Double, -1, 2, two}, {InvalidValue, Int32, 2, -1, two},
      {InvalidValue, Double, 1, 2, nullptr},
      {InvalidValue, Char, 2, 2, "\xc2\xb5xy"},  // rows of text convert unit for byte
      {OutOfMemory, Double, 65536, 8192, two},      // 4 GiB: beyond the tag; never read
  };
  // "S" with one field: 96 bytes around the fields.
  const struct { int32_t status, count; uint64_t bytes; std::vector<const char*> names; } structures[] = {
      {InvalidValue, 1, 0, {"A", "abcdefghijklmnopqrstuvwxyz012345", nullptr}}, {InvalidValue, 1, 0, {"A", "", nullptr}},
      {InvalidValue, 1, 0, {nullptr}}, {InvalidValue, -1, 0, {"F", nullptr}}, {OutOfMemory, 1, ~0ull, {"F", nullptr}},
      {OutOfMemory, 1, 0xFFFFFFFFull - 95, {"F", nullptr}},
      {NoError, 1, 0xFFFFFFFFull - 96, {"abcdefghijklmnopqrstuvwxyz01234", nullptr}}};
  Write([&](FileHandle f) {
    uint64_t before = GetBytesWritten();
    const auto added = [&] { const uint64_t old = before; return (before = GetBytesWritten()) > old; };
    for (const auto& m : matrices) {
      EXPECT_EQ(WriteMatrix(f, m.kind, "M", m.rows, m.cols, m.data), m.status) << m.kind << " " << m.rows << "x" << m.cols;
      EXPECT_EQ(added(), m.status == NoError) << m.kind << " " << m.rows << "x" << m.cols;
    }
    EXPECT_EQ(WriteMatrix(kInvalidFile, Double, "N", 1, 1, two), WriteError);
    EXPECT_EQ(BufferedWrite(f, kDiskBufferBytes, buffer.data()), OutOfMemory);
    EXPECT_EQ(WriteStructHeader(f, "S", 1, 0, nullptr), InvalidValue);
    EXPECT_FALSE(added());
    for (const auto& s : structures) {
      EXPECT_EQ(WriteStructHeader(f, "S", s.count, s.bytes, s.names.data()), s.status) << s.bytes;
      EXPECT_EQ(added(), s.status == NoError) << s.bytes;
    }
  });
  FreeDiskBuffer();
  EXPECT_EQ(BufferedWrite(kInvalidFile, 8, buffer.data()), OutOfMemory);
  EXPECT_EQ(CreateMatFile(path.c_str()), kInvalidFile);
  EXPECT_EQ(AllocDiskBuffer(131071), InvalidValue);
  EXPECT_EQ(AllocDiskBuffer(131072), NoError);
}

TEST_F(MatFile, CrossingTheBufferEndWritesOneFullBuffer) {
  const std::string block(kDiskBufferBytes - 129, 'b');
  struct stat st[2];
  const std::string bytes = Write([&](FileHandle f) {
    // The header and the block leave the buffer one byte short of full.
    ASSERT_EQ(BufferedWrite(f, static_cast<uint32_t>(block.size()), block.data()), NoError);
    ASSERT_EQ(BufferedWrite(f, 0, nullptr) | fstat(static_cast<int>(f), &st[0]), 0);
    ASSERT_EQ(BufferedWrite(f, 10, block.data()) | fstat(static_cast<int>(f), &st[1]), 0);
  });
  EXPECT_EQ(st[0].st_size, 0);
  EXPECT_EQ(st[1].st_size, kDiskBufferBytes);
  EXPECT_TRUE(bytes == e::MatHeader() + block + block.substr(0, 10));
}

TEST_F(MatFile, WriteFailureIsReportedAndTheFileStillClosed) {
  const std::vector<double> values(128000, 2.0);
  const size_t before = ListDir("/proc/self/fd").size();
  // Small matrices go through the buffer: the one that crosses its end fails.
  FileHandle file = CreateMatFile("/dev/full");
  int written = 0;
  while (written < 40 && WriteMatrix(file, Double, "A", 4000, 1, values.data()) == NoError) ++written;
  EXPECT_EQ(written, (kDiskBufferBytes - 128) / (32000 + 64));
  EXPECT_EQ(CloseMatFile(file), WriteError);
  EXPECT_EQ(ListDir("/proc/self/fd").size(), before);
  // A large one goes straight to the file and fails at once.
  file = CreateMatFile("/dev/full");
  EXPECT_EQ(WriteMatrix(file, Double, "B", 16000, 8, values.data()), WriteError);
  EXPECT_EQ(CloseMatFile(file), WriteError);
  EXPECT_EQ(ListDir("/proc/self/fd").size(), before);
  // Only the header pending: the write at close fails.
  EXPECT_EQ(CloseMatFile(CreateMatFile("/dev/full")), WriteError);
  EXPECT_EQ(ListDir("/proc/self/fd").size(), before);
  EXPECT_EQ(Write([](FileHandle) {}), e::MatHeader());  // the next file starts clean
}

}  // namespace
