// Byte layout, checks and buffering of the MAT level 5 writer.
#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <vector>

#include "tests/matfile/matfile_fixture.h"

namespace {

constexpr size_t kHeader = 128;
// Bytes of the 1 x 1 structure "S" with the single field "F" that puts the
// writer into its unnamed state.
constexpr size_t kShortStruct = 104;
const char* const kOneField[] = {"F", nullptr};

size_t OpenDescriptors() {
  size_t n = 0;
  for (auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    (void)entry;
    ++n;
  }
  return n;
}

TEST_F(MatFileTest, FreshFileIsTheHeaderAlone) {
  std::string bytes = WriteFile([](FileHandle) {});
  std::string expected = "MATLAB level 5 format resonance measurement data.";
  expected.resize(124, '\0');
  expected += std::string("\x00\x01IM", 4);
  EXPECT_EQ(FixtureHex(bytes), FixtureHex(expected));
  EXPECT_EQ(GetBytesWritten(), 128u);
}

struct MatrixCase {
  const char* label;
  bool unnamed;
  int32_t kind;
  const char* name;
  int32_t rows, columns;
  const void* data;
  const char* hex;
};

const double kOne = 1.0;
const int32_t kSeven = 7;
const int32_t kMinusTwo = -2;

TEST_F(MatFileTest, MatrixElementsAreByteExact) {
  const MatrixCase cases[] = {
      {"1x1 double", true, Double, "X", 1, 1, &kOne,
       "0e 00 00 00 38 00 00 00 06 00 00 00 08 00 00 00 06 00 00 00 00 00 00 00 "
       "05 00 00 00 08 00 00 00 01 00 00 00 01 00 00 00 01 00 00 00 00 00 00 00 "
       "09 00 00 00 08 00 00 00 00 00 00 00 00 00 f0 3f"},
      {"0x0 double", true, Double, "X", 0, 0, nullptr,
       "0e 00 00 00 30 00 00 00 06 00 00 00 08 00 00 00 06 00 00 00 00 00 00 00 "
       "05 00 00 00 08 00 00 00 00 00 00 00 00 00 00 00 01 00 00 00 00 00 00 00 "
       "09 00 00 00 00 00 00 00"},
      {"1x1 logical", true, Logical, "X", 1, 1, &kSeven,
       "0e 00 00 00 38 00 00 00 06 00 00 00 08 00 00 00 09 02 00 00 00 00 00 00 "
       "05 00 00 00 08 00 00 00 01 00 00 00 01 00 00 00 01 00 00 00 00 00 00 00 "
       "02 00 00 00 01 00 00 00 01 00 00 00 00 00 00 00"},
      {"named Phase", false, Int32, "Phase", 1, 1, &kMinusTwo,
       "0e 00 00 00 40 00 00 00 06 00 00 00 08 00 00 00 0c 00 00 00 00 00 00 00 "
       "05 00 00 00 08 00 00 00 01 00 00 00 01 00 00 00 01 00 00 00 05 00 00 00 "
       "50 68 61 73 65 00 00 00 05 00 00 00 04 00 00 00 fe ff ff ff 00 00 00 00"},
      {"unnamed Phase", true, Int32, "Phase", 1, 1, &kMinusTwo,
       "0e 00 00 00 38 00 00 00 06 00 00 00 08 00 00 00 0c 00 00 00 00 00 00 00 "
       "05 00 00 00 08 00 00 00 01 00 00 00 01 00 00 00 01 00 00 00 00 00 00 00 "
       "05 00 00 00 04 00 00 00 fe ff ff ff 00 00 00 00"},
      {"empty string", true, Char, "X", 1, 0, "",
       "0e 00 00 00 30 00 00 00 06 00 00 00 08 00 00 00 04 00 00 00 00 00 00 00 "
       "05 00 00 00 08 00 00 00 01 00 00 00 00 00 00 00 01 00 00 00 00 00 00 00 "
       "04 00 00 00 00 00 00 00"},
      // Five UTF-8 bytes are three characters: three units, 1 x 3, no
      // stray scratch bytes behind them.
      {"multibyte text", true, Char, "X", 1, 5, "\xc2\xb5s\xc2\xb0",
       "0e 00 00 00 38 00 00 00 06 00 00 00 08 00 00 00 04 00 00 00 00 00 00 00 "
       "05 00 00 00 08 00 00 00 01 00 00 00 03 00 00 00 01 00 00 00 00 00 00 00 "
       "04 00 00 00 06 00 00 00 b5 00 73 00 b0 00 00 00"},
      // A byte that is not UTF-8 stands for itself (Latin-1).
      {"latin-1 byte, named", false, Char, "T", 1, 2, "\xe9t",
       "0e 00 00 00 40 00 00 00 06 00 00 00 08 00 00 00 04 00 00 00 00 00 00 00 "
       "05 00 00 00 08 00 00 00 01 00 00 00 02 00 00 00 01 00 00 00 01 00 00 00 "
       "54 00 00 00 00 00 00 00 04 00 00 00 04 00 00 00 e9 00 74 00 00 00 00 00"},
  };
  for (const MatrixCase& c : cases) {
    SCOPED_TRACE(c.label);
    std::string bytes = WriteFile([&](FileHandle file) {
      if (c.unnamed) {
        ASSERT_EQ(WriteStructHeader(file, "S", 1, 0, kOneField), NoError);
      }
      ASSERT_EQ(WriteMatrix(file, c.kind, c.name, c.rows, c.columns, c.data), NoError);
      EndStructFields();
    });
    size_t skip = kHeader + (c.unnamed ? kShortStruct : 0);
    ASSERT_GE(bytes.size(), skip);
    EXPECT_EQ(FixtureHex(bytes.substr(skip)), c.hex);
  }
}

TEST_F(MatFileTest, StructureHeaderIsByteExact) {
  const char* const names[] = {"OriginalFilename", "Annotation1", "Annotation2",
                               "SweepPresetName", nullptr};
  std::string bytes = WriteFile([&](FileHandle file) {
    ASSERT_EQ(WriteStructHeader(file, "Annotations", 1, 1000, names), NoError);
  });
  // 16 + 1000 + 4 x 32 + 56 = 1200 = 0x4b0.
  std::string expected =
      "0e 00 00 00 b0 04 00 00 06 00 00 00 08 00 00 00 02 00 00 00 00 00 00 00 "
      "05 00 00 00 08 00 00 00 01 00 00 00 01 00 00 00 01 00 00 00 0b 00 00 00 "
      "41 6e 6e 6f 74 61 74 69 6f 6e 73 00 00 00 00 00 "
      "05 00 04 00 20 00 00 00 01 00 00 00 80 00 00 00";
  std::string slots;
  for (int i = 0; i < 4; ++i) {
    std::string slot = names[i];
    slot.resize(32, '\0');
    slots += slot;
  }
  EXPECT_EQ(FixtureHex(bytes.substr(kHeader)), expected + " " + FixtureHex(slots));
}

struct Rejection {
  const char* label;
  int32_t status;
  int32_t (*write)(FileHandle file);
};

const char* const kLongField[] = {"A", "abcdefghijklmnopqrstuvwxyz012345", nullptr};
const char* const kEmptyField[] = {"A", "", nullptr};
const char* const kNoFields[] = {nullptr};
const double kSomeDoubles[2] = {1, 2};

const Rejection kRejections[] = {
    {"513 characters", OutOfMemory,
     [](FileHandle f) {
       static const std::string text(513, 'a');
       return WriteMatrix(f, Char, "T", 1, 513, text.data());
     }},
    {"1025 logicals", OutOfMemory,
     [](FileHandle f) {
       static const std::vector<int32_t> flags(1025, 1);
       return WriteMatrix(f, Logical, "L", 1025, 1, flags.data());
     }},
    {"kind 4", InvalidValue, [](FileHandle f) { return WriteMatrix(f, 4, "K", 1, 1, &kOne); }},
    {"kind -1", InvalidValue, [](FileHandle f) { return WriteMatrix(f, -1, "K", 1, 1, &kOne); }},
    {"negative rows", InvalidValue,
     [](FileHandle f) { return WriteMatrix(f, Double, "N", -1, 2, kSomeDoubles); }},
    {"missing data", InvalidValue,
     [](FileHandle f) { return WriteMatrix(f, Double, "N", 1, 2, nullptr); }},
    {"invalid handle", WriteError,
     [](FileHandle) { return WriteMatrix(kInvalidFile, Double, "N", 1, 1, &kOne); }},
    // Two rows of text must convert unit for byte to stay rectangular.
    {"two rows of multibyte text", InvalidValue,
     [](FileHandle f) { return WriteMatrix(f, Char, "T", 2, 2, "\xc2\xb5xy"); }},
    // 2^29 doubles are 4 GiB of data: beyond the 32-bit tag. The data is
    // never touched, so a two-element array is enough.
    {"matrix beyond the tag", OutOfMemory,
     [](FileHandle f) { return WriteMatrix(f, Double, "Big", 65536, 8192, kSomeDoubles); }},
    {"32-character field name", InvalidValue,
     [](FileHandle f) { return WriteStructHeader(f, "S", 1, 0, kLongField); }},
    {"empty field name", InvalidValue,
     [](FileHandle f) { return WriteStructHeader(f, "S", 1, 0, kEmptyField); }},
    {"empty field list", InvalidValue,
     [](FileHandle f) { return WriteStructHeader(f, "S", 1, 0, kNoFields); }},
    {"no field list", InvalidValue,
     [](FileHandle f) { return WriteStructHeader(f, "S", 1, 0, nullptr); }},
    {"negative count", InvalidValue,
     [](FileHandle f) { return WriteStructHeader(f, "S", -1, 0, kOneField); }},
    // "S": 8 + 0 + 32 + 56 = 96 fixed bytes around the fields.
    {"structure one byte beyond the tag", OutOfMemory,
     [](FileHandle f) { return WriteStructHeader(f, "S", 1, 0xFFFFFFFFull - 96 + 1, kOneField); }},
    {"structure far beyond the tag", OutOfMemory,
     [](FileHandle f) { return WriteStructHeader(f, "S", 1, ~0ull, kOneField); }},
};

TEST_F(MatFileTest, RejectedWritesWriteNothing) {
  for (const Rejection& r : kRejections) {
    SCOPED_TRACE(r.label);
    std::string bytes = WriteFile([&](FileHandle file) {
      EXPECT_EQ(r.write(file), r.status);
      EXPECT_EQ(GetBytesWritten(), kHeader);
    });
    EXPECT_EQ(bytes.size(), kHeader);
  }
}

TEST_F(MatFileTest, LimitsAreInclusive) {
  const std::string text(512, 'a');
  const std::vector<int32_t> flags(1024, 1);
  const char* const longest[] = {"abcdefghijklmnopqrstuvwxyz01234", nullptr};
  std::string bytes = WriteFile([&](FileHandle file) {
    EXPECT_EQ(WriteMatrix(file, Char, "T", 1, 512, text.data()), NoError);
    EXPECT_EQ(WriteMatrix(file, Logical, "L", 32, 32, flags.data()), NoError);
    // The largest structure the tag holds: only its header is written.
    EXPECT_EQ(WriteStructHeader(file, "S", 1, 0xFFFFFFFFull - 96, longest), NoError);
    EndStructFields();
  });
  // 56 + 8 + 1024 and 56 + 8 + 1024, then 40 + 16 + 16 + 32 of the header.
  EXPECT_EQ(bytes.size(), kHeader + 2 * 1088 + 104);
  EXPECT_EQ(FixtureHex(bytes.substr(bytes.size() - 104, 8)), "0e 00 00 00 ff ff ff ff");
}

// The fields of a small result: every kind, named as they would be, written
// once to count and once for real.
int32_t WriteFields(FileHandle file, const std::vector<double>& values) {
  static const int32_t flags[3] = {1, 0, 5};
  static const int32_t counts[2] = {-7, 9};
  int32_t status = WriteMatrix(file, Char, "Name", 1, 7, "r\xc3\xa9sult");
  if (status == NoError) status = WriteMatrix(file, Logical, "Flags", 1, 3, flags);
  if (status == NoError) status = WriteMatrix(file, Int32, "Counts", 2, 1, counts);
  if (status == NoError) {
    status = WriteMatrix(file, Double, "Values", 2, static_cast<int32_t>(values.size() / 2),
                         values.data());
  }
  return status;
}

TEST_F(MatFileTest, SizingCountsWhatTheRealWritesAdd) {
  const char* const names[] = {"Name", "Flags", "Counts", "Values", nullptr};
  std::vector<double> values(2 * 16000);
  for (size_t i = 0; i < values.size(); ++i) values[i] = 0.5 * static_cast<double>(i);
  uint64_t sized = 0;
  uint64_t afterHeader = 0;
  std::string bytes = WriteFile([&](FileHandle file) {
    BeginSizing();
    ASSERT_EQ(WriteFields(file, values), NoError);
    ASSERT_EQ(WriteFields(file, values), NoError);
    sized = EndSizing();
    EXPECT_EQ(GetBytesWritten(), kHeader);
    ASSERT_EQ(WriteStructHeader(file, "Result", 2, sized, names), NoError);
    afterHeader = GetBytesWritten();
    ASSERT_EQ(WriteFields(file, values), NoError);
    ASSERT_EQ(WriteFields(file, values), NoError);
    EndStructFields();
  });
  EXPECT_GT(sized, 2u * 256000);
  EXPECT_EQ(GetBytesWritten() - afterHeader, sized);
  EXPECT_EQ(bytes.size(), GetBytesWritten());
  // The structure's byte count covers exactly the rest of the file.
  uint32_t declared;
  std::memcpy(&declared, bytes.data() + kHeader + 4, 4);
  EXPECT_EQ(declared, bytes.size() - kHeader - 8);
}

TEST_F(MatFileTest, SizingCountsBeyondFourGigabytes) {
  std::vector<double> values(128000);
  FileHandle file = CreateMatFile(path_.c_str());
  ASSERT_NE(file, kInvalidFile);
  BeginSizing();
  for (int i = 0; i < 5000; ++i) {
    ASSERT_EQ(WriteMatrix(file, Double, "V", 16000, 8, values.data()), NoError);
  }
  EXPECT_EQ(EndSizing(), 5000ull * (1024000 + 56));
  EXPECT_EQ(CloseMatFile(file), NoError);
}

TEST_F(MatFileTest, BytesWrittenCountsBeyondFourGigabytes) {
  std::vector<char> block(1000000, 'x');
  FileHandle file = CreateMatFile("/dev/null");
  ASSERT_NE(file, kInvalidFile);
  for (int i = 0; i < 4300; ++i) {
    ASSERT_EQ(BufferedWrite(file, static_cast<uint32_t>(block.size()), block.data()), NoError);
  }
  EXPECT_EQ(GetBytesWritten(), kHeader + 4300ull * 1000000);
  EXPECT_EQ(CloseMatFile(file), NoError);
}

TEST_F(MatFileTest, BufferedWriteLimits) {
  std::vector<char> block(kDiskBufferBytes, 'b');
  std::string bytes = WriteFile([&](FileHandle file) {
    EXPECT_EQ(BufferedWrite(file, kDiskBufferBytes, block.data()), OutOfMemory);
    EXPECT_EQ(BufferedWrite(file, 0, nullptr), NoError);
    EXPECT_EQ(GetBytesWritten(), kHeader);
  });
  EXPECT_EQ(bytes.size(), kHeader);

  FreeDiskBuffer();
  EXPECT_EQ(BufferedWrite(kInvalidFile, 8, block.data()), OutOfMemory);
  EXPECT_EQ(CreateMatFile(path_.c_str()), kInvalidFile);
  EXPECT_EQ(AllocDiskBuffer(131071), InvalidValue);
  EXPECT_EQ(AllocDiskBuffer(131072), NoError);
}

TEST_F(MatFileTest, CrossingTheBufferEndWritesOneFullBuffer) {
  std::vector<char> block(kDiskBufferBytes - 1);
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 7);
  FileHandle file = CreateMatFile(path_.c_str());
  ASSERT_NE(file, kInvalidFile);
  // 128 + (capacity - 129) leaves the buffer one byte short of full.
  // The bytes go to the save's temporary file, reached through the handle.
  struct stat st;
  ASSERT_EQ(BufferedWrite(file, kDiskBufferBytes - 129, block.data()), NoError);
  ASSERT_EQ(fstat(static_cast<int>(file), &st), 0);
  EXPECT_EQ(st.st_size, 0);
  ASSERT_EQ(BufferedWrite(file, 10, block.data()), NoError);
  ASSERT_EQ(fstat(static_cast<int>(file), &st), 0);
  EXPECT_EQ(st.st_size, kDiskBufferBytes);
  ASSERT_EQ(CloseMatFile(file), NoError);

  std::string bytes = ReadFileBytes(path_);
  ASSERT_EQ(bytes.size(), static_cast<size_t>(kDiskBufferBytes) + 9);
  EXPECT_EQ(0, std::memcmp(bytes.data() + kHeader, block.data(), kDiskBufferBytes - 129));
  EXPECT_EQ(0, std::memcmp(bytes.data() + kDiskBufferBytes - 1, block.data(), 10));
}

TEST_F(MatFileTest, SeveralMegabytesRoundTrip) {
  // Three 1,024,000-byte matrices and one larger than the buffer itself.
  std::vector<double> values(3 * 128000 + 200000);
  for (size_t i = 0; i < values.size(); ++i) values[i] = static_cast<double>(i) * 1.25 - 3;
  std::vector<size_t> offsets;
  std::string bytes = WriteFile([&](FileHandle file) {
    for (int m = 0; m < 3; ++m) {
      offsets.push_back(GetBytesWritten() + 64);
      ASSERT_EQ(WriteMatrix(file, Double, "M", 16000, 8, values.data() + m * 128000), NoError);
    }
    offsets.push_back(GetBytesWritten() + 64);
    ASSERT_EQ(WriteMatrix(file, Double, "M", 200000, 1, values.data() + 3 * 128000), NoError);
  });
  ASSERT_EQ(bytes.size(), GetBytesWritten());
  ASSERT_EQ(bytes.size(), kHeader + 3 * (1024000 + 64) + 1600000 + 64);
  for (int m = 0; m < 4; ++m) {
    size_t n = m < 3 ? 128000 : 200000;
    EXPECT_EQ(0, std::memcmp(bytes.data() + offsets[m], values.data() + m * 128000, n * 8))
        << "matrix " << m;
  }
}

TEST_F(MatFileTest, WriteFailureIsReportedAndTheFileStillClosed) {
  std::vector<double> values(128000, 2.0);
  size_t before = OpenDescriptors();
  FileHandle file = CreateMatFile("/dev/full");
  ASSERT_NE(file, kInvalidFile);
  EXPECT_EQ(OpenDescriptors(), before + 1);
  // Small matrices go through the buffer: the one that crosses its end
  // fails, when the full buffer is written.
  int written = 0;
  while (written < 40 && WriteMatrix(file, Double, "A", 4000, 1, values.data()) == NoError) {
    ++written;
  }
  EXPECT_EQ(written, (kDiskBufferBytes - kHeader) / (32000 + 64));
  EXPECT_EQ(CloseMatFile(file), WriteError);
  EXPECT_EQ(OpenDescriptors(), before);

  // A large one goes straight to the file and fails at once.
  file = CreateMatFile("/dev/full");
  ASSERT_NE(file, kInvalidFile);
  EXPECT_EQ(WriteMatrix(file, Double, "B", 16000, 8, values.data()), WriteError);
  EXPECT_EQ(CloseMatFile(file), WriteError);
  EXPECT_EQ(OpenDescriptors(), before);

  // Only the header pending: the write at close fails.
  file = CreateMatFile("/dev/full");
  ASSERT_NE(file, kInvalidFile);
  EXPECT_EQ(CloseMatFile(file), WriteError);
  EXPECT_EQ(OpenDescriptors(), before);

  // The next file starts clean.
  std::string bytes = WriteFile([](FileHandle) {});
  EXPECT_EQ(bytes.size(), kHeader);
}

}  // namespace
