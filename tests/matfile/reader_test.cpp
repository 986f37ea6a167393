// Files of the writer loaded by independent readers: SciPy and GNU Octave
// must see the values and dimensions that were written.
#include <algorithm>
#include <cstdio>
#include <sstream>
#include <vector>

#include "tests/matfile/matfile_fixture.h"

namespace {

struct Variable {
  std::string name;
  int32_t kind;
  int32_t rows, columns;
  std::vector<int32_t> ints;     // Logical, Int32
  std::vector<double> doubles;   // Double
  std::string text;              // Char, narrow
  std::vector<int> units;        // Char: the UTF-16 units the text stands for
};

Variable Logicals(const std::string& name, int32_t r, int32_t c, std::vector<int32_t> v) {
  return {name, Logical, r, c, std::move(v), {}, {}, {}};
}
Variable Ints(const std::string& name, int32_t r, int32_t c, std::vector<int32_t> v) {
  return {name, Int32, r, c, std::move(v), {}, {}, {}};
}
Variable Doubles(const std::string& name, int32_t r, int32_t c, std::vector<double> v) {
  return {name, Double, r, c, {}, std::move(v), {}, {}};
}
Variable Text(const std::string& name, const std::string& text, std::vector<int> units) {
  return {name, Char, 1, static_cast<int32_t>(text.size()), {}, {}, text, std::move(units)};
}
std::vector<int> Ascii(const std::string& text) { return {text.begin(), text.end()}; }

const void* Data(const Variable& v) {
  switch (v.kind) {
    case Char: return v.text.data();
    case Double: return v.doubles.data();
    default: return v.ints.data();
  }
}

int32_t Write(FileHandle file, const Variable& v) {
  return WriteMatrix(file, v.kind, v.name.c_str(), v.rows, v.columns, Data(v));
}

const char* const kRunFields[] = {"Flag", "Label", "Count", "Values", nullptr};

std::vector<std::vector<Variable>> Runs() {
  return {
      {Logicals("", 1, 2, {1, 0}), Text("", "first", Ascii("first")), Ints("", 1, 1, {1}),
       Doubles("", 2, 3, {0.5, -1.25, 3e100, -0.0, 1e-300, 3.141592653589793})},
      {Logicals("", 1, 1, {9}), Text("", "", {}), Ints("", 1, 3, {-2147483647 - 1, 0, 2147483647}),
       Doubles("", 0, 0, {})},
      {Logicals("", 2, 1, {0, 0}), Text("", "third run", Ascii("third run")),
       Ints("", 0, 0, {}), Doubles("", 1, 1, {42.0})},
  };
}

std::vector<Variable> TopLevel() {
  return {
      Logicals("Mask", 2, 3, {1, 0, 0, 1, -1, 0}),
      Text("Title", "Resonance sweep", Ascii("Resonance sweep")),
      Text("Unit", "\xc2\xb5s\xc2\xb0", {0xb5, 's', 0xb0}),
      Text("Empty", "", {}),
      Ints("Counts", 2, 2, {-5, 6, 70000, -80000}),
      Doubles("Frequencies", 3, 2, {1e7, 1.5e7, 2e7, 1e8, 9.99e7, 0.1}),
      Doubles("Nothing", 0, 0, {}),
  };
}

void WriteAll(FileHandle file) {
  for (const Variable& v : TopLevel()) ASSERT_EQ(Write(file, v), NoError) << v.name;
  std::vector<std::vector<Variable>> runs = Runs();
  BeginSizing();
  for (auto& run : runs)
    for (auto& field : run) ASSERT_EQ(Write(file, field), NoError);
  uint64_t fieldBytes = EndSizing();
  ASSERT_EQ(WriteStructHeader(file, "Runs", 3, fieldBytes, kRunFields), NoError);
  for (auto& run : runs)
    for (auto& field : run) ASSERT_EQ(Write(file, field), NoError);
  EndStructFields();
}

// What a reader prints for one matrix: "name class rows columns values...",
// values in column-major order. SciPy gives text as UTF-16 units. Octave
// holds text as UTF-8 bytes, so it must give back the very text that was
// written (and, being Octave, gives any empty text as 0 x 0).
enum Reader { SciPy, Octave };

std::string Line(Reader reader, const std::string& name, const Variable& v) {
  static const char* const scipyClass[] = {"uint8", "char", "int32", "float64"};
  static const char* const octaveClass[] = {"logical", "char", "int32", "double"};
  std::vector<int> text = v.units;
  int32_t rows = v.rows;
  if (v.kind == Char && reader == Octave) {
    text.assign(v.text.begin(), v.text.end());
    for (int& c : text) c &= 0xFF;
    if (text.empty()) rows = 0;
  }
  int32_t columns = v.kind == Char ? static_cast<int32_t>(text.size()) : v.columns;
  std::ostringstream out;
  out << name << ' ' << (reader == SciPy ? scipyClass : octaveClass)[v.kind] << ' ' << rows
      << ' ' << columns;
  if (v.kind == Logical) {
    for (int32_t x : v.ints) out << ' ' << (x != 0 ? 1 : 0);
  } else if (v.kind == Int32) {
    for (int32_t x : v.ints) out << ' ' << x;
  } else if (v.kind == Double) {
    char number[40];
    for (double x : v.doubles) {
      std::snprintf(number, sizeof number, " %.17g", x);
      out << number;
    }
  } else {
    for (int c : text) out << ' ' << c;
  }
  return out.str();
}

std::string Expected(Reader reader) {
  std::vector<std::string> lines;
  for (const Variable& v : TopLevel()) lines.push_back(Line(reader, v.name, v));
  std::vector<std::vector<Variable>> runs = Runs();
  std::string fields;
  for (size_t i = 0; i < runs.size(); ++i) {
    for (size_t f = 0; f < runs[i].size(); ++f) {
      std::string name = "Runs(" + std::to_string(i + 1) + ")." + kRunFields[f];
      lines.push_back(Line(reader, name, runs[i][f]));
    }
  }
  lines.push_back("Runs struct 1 3 Flag Label Count Values");
  std::sort(lines.begin(), lines.end());
  std::string all;
  for (auto& line : lines) all += line + "\n";
  return all;
}

const char kPythonReader[] = R"(import sys
import scipy.io as sio
# Character data is stored as UTF-16 units.
d = sio.loadmat(sys.argv[1], chars_as_strings=False, squeeze_me=False,
                uint16_codec='utf-16-le')
out = []
def emit(name, a):
    flat = a.flatten(order='F')
    if a.dtype.kind == 'U':
        cls, vals = 'char', [str(ord(c)) for c in flat]
    elif a.dtype.kind == 'f':
        cls, vals = str(a.dtype), ['%.17g' % v for v in flat]
    else:
        cls, vals = str(a.dtype), [str(int(v)) for v in flat]
    out.append(' '.join([name, cls, str(a.shape[0]), str(a.shape[1])] + vals))
for name in (k for k in d if not k.startswith('__')):
    a = d[name]
    if a.dtype.names:
        for i in range(a.shape[1]):
            for f in a.dtype.names:
                emit('%s(%d).%s' % (name, i + 1, f), a[0, i][f])
        out.append(' '.join([name, 'struct', str(a.shape[0]), str(a.shape[1])] + list(a.dtype.names)))
    else:
        emit(name, a)
for line in sorted(out):
    print(line)
)";

const char kOctaveReader[] = R"(1;
function line = describe(name, x)
  line = sprintf('%s %s %d %d', name, class(x), rows(x), columns(x));
  v = x(:)';
  if isempty(v)
    return;
  elseif ischar(x)
    line = [line sprintf(' %d', double(v))];
  elseif isfloat(x)
    line = [line sprintf(' %.17g', v)];
  else
    line = [line sprintf(' %d', v)];
  end
end
s = load(argv(){1});
out = {};
names = fieldnames(s);
for k = 1:numel(names)
  x = s.(names{k});
  if isstruct(x)
    fields = fieldnames(x);
    for i = 1:numel(x)
      for f = 1:numel(fields)
        out{end+1} = describe(sprintf('%s(%d).%s', names{k}, i, fields{f}), x(i).(fields{f}));
      end
    end
    out{end+1} = [sprintf('%s struct %d %d', names{k}, rows(x), columns(x)) sprintf(' %s', fields{:})];
  else
    out{end+1} = describe(names{k}, x);
  end
end
out = sort(out);
printf('%s\n', out{:});
)";

class MatReaderTest : public MatFileTest {
 protected:
  // Writes the file for the reader.
  void SetUp() override {
    MatFileTest::SetUp();
    WriteFile([](FileHandle file) { WriteAll(file); });
  }
};

TEST_F(MatReaderTest, SciPyReadsEveryKindAndAStructure) {
  const ReaderResult r = RunPythonReader(kPythonReader, {path_});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, Expected(SciPy)) << r.err;
}

TEST_F(MatReaderTest, OctaveReadsEveryKindAndAStructure) {
  if (!HaveOctave()) GTEST_SKIP() << "octave-cli is not installed";
  const ReaderResult r = RunOctaveReader(kOctaveReader, {path_});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, Expected(Octave)) << r.err;
}

}  // namespace
