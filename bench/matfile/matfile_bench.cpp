// Writing a result-shaped MAT file against a plain sequential write of the
// same number of bytes, from the same arrays, to the same folder.
//
// The file holds one structure of S elements, each with two 16000 x 8 double
// matrices, written the way the sweep tool writes: the fields counted, the
// header, then the fields. The plain write hands the same byte count to the
// file straight from the two arrays. Both runs are repeated and the best of
// each is kept.
//
// The files go to a folder in memory (/dev/shm) where there is one, so that
// the flush to the disk that completes every save costs nothing on either
// side and the comparison is of the writing alone; a third argument names
// another folder.
//
// Then the reader: qarvel result files of R and of 4 sets of eight
// 16,000-point ranges with both quantities are read back, set by set,
// through the result file reader. Its speed is the best of the repeats on
// the large file; the peak of the process's resident memory while each file
// is read (the small one first) shows that reading does not grow with the
// file.
//
//   matfile_bench [S] [repeats] [folder] [R]  (defaults 40, 15, /dev/shm, 120)
#include <unistd.h>

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "matfile/matfile.h"
#include "sweep/builds.h"
#include "sweep/resultfile.h"
#include "sweep/resultfile_reader.h"

namespace {

constexpr int32_t kRows = 16000;
constexpr int32_t kColumns = 8;

// Processor time of this process (user and system), in seconds: unlike the
// wall clock it leaves out whatever else the machine is doing.
double CpuSeconds() {
  timespec ts;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + ts.tv_nsec * 1e-9;
}

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

int32_t WriteFields(FileHandle file, const std::vector<double>& phase,
                    const std::vector<double>& magnitude) {
  int32_t status = WriteMatrix(file, Double, "", kRows, kColumns, phase.data());
  if (status != NoError) return status;
  return WriteMatrix(file, Double, "", kRows, kColumns, magnitude.data());
}

// Returns the file size, or 0 on failure.
uint64_t WriteResult(const std::string& path, int elements, const std::vector<double>& phase,
                     const std::vector<double>& magnitude) {
  static const char* const kFields[] = {"Phase", "Magnitude", nullptr};
  FileHandle file = CreateMatFile(path.c_str());
  if (file == kInvalidFile) return 0;
  const uint64_t perElement = 2 * MatrixBytes(Double, "", kRows, kColumns, nullptr);
  int32_t status = WriteStructHeader(file, "SweepData", elements, perElement * elements, kFields);
  for (int i = 0; i < elements && status == NoError; ++i) {
    status = WriteFields(file, phase, magnitude);
  }
  if (CloseMatFile(file) != NoError || status != NoError) return 0;
  return GetBytesWritten();
}

// Hands the file the same byte count straight from the same arrays, one
// array per write: what an unbuffered writer of the payload would do.
bool WritePlain(const std::string& path, uint64_t bytes, const std::vector<double>& phase,
                const std::vector<double>& magnitude) {
  FileHandle file = CreateOutputFile(path.c_str());
  if (file == kInvalidFile) return false;
  const size_t arrayBytes = phase.size() * sizeof(double);
  bool ok = true;
  for (uint64_t i = 0; ok && bytes > 0; ++i) {
    size_t n = bytes < arrayBytes ? static_cast<size_t>(bytes) : arrayBytes;
    ok = WriteOutputFile(file, (i % 2 == 0 ? phase : magnitude).data(), n);
    bytes -= n;
  }
  return CloseOutputFile(file) && ok;
}

// A qarvel result file of `sets` sets, laid out as the sweep tool lays it
// out: Annotations, SweepInfo of eight ranges of kRows points, SweepData.
// Returns the file size, or 0 on failure.
uint64_t WriteResultLayout(const std::string& path, int sets, const std::vector<double>& phase,
                           const std::vector<double>& magnitude) {
  struct Field {
    int32_t kind, rows, columns;
    const void* data;
  };
  const auto write = [](FileHandle file, const char* name, int32_t count, const char* const* names,
                        const std::vector<Field>& fields, int32_t repeats) {
    uint64_t bytes = 0;
    for (const Field& f : fields) bytes += MatrixBytes(f.kind, "", f.rows, f.columns, f.data);
    int32_t status = WriteStructHeader(file, name, count, bytes * repeats, names);
    for (int32_t n = 0; n < repeats; ++n) {
      for (const Field& f : fields) {
        if (status == NoError) status = WriteMatrix(file, f.kind, "", f.rows, f.columns, f.data);
      }
    }
    return status;
  };
  FileHandle file = CreateMatFile(path.c_str());
  if (file == kInvalidFile) return 0;
  int32_t status = write(
      file, "Annotations", 1, kAnnotationFields,
      {{Char, 1, 9, "bench.mat"}, {Char, 1, 0, ""}, {Char, 1, 0, ""}, {Char, 1, 3, "CLI"}}, 1);
  static double ranges = kColumns, points[kColumns], starts[kColumns], stops[kColumns], one = 1,
                sweeps;
  static const int32_t yes = 1, no = 0;
  for (int k = 0; k < kColumns; ++k)
    points[k] = kRows, starts[k] = 1e7 * (k + 1), stops[k] = starts[k] + 1e6;
  sweeps = sets;
  const SweepBuild& build = kSweepBuilds[kQarvelBuild];
  const char* names[kMaxInfoFields + 1] = {};
  std::vector<Field> info;
  for (int i = 0; i < build.sweepInfoFields; ++i) {
    names[i] = build.sweepInfo[i].name;
    switch (build.sweepInfo[i].value) {
      case InfoValue::SubSweeps: info.push_back({Double, 1, 1, &ranges}); break;
      case InfoValue::SweepLengths: info.push_back({Double, 1, kColumns, points}); break;
      case InfoValue::RequestedStarts: info.push_back({Double, 1, kColumns, starts}); break;
      case InfoValue::RequestedStops: info.push_back({Double, 1, kColumns, stops}); break;
      case InfoValue::Frequencies: info.push_back({Double, kRows, kColumns, phase.data()}); break;
      case InfoValue::PhasePresent:
      case InfoValue::MagnitudePresent: info.push_back({Logical, 1, 1, &yes}); break;
      case InfoValue::GloballyAveraged: info.push_back({Logical, 1, 1, &no}); break;
      case InfoValue::Sweeps: info.push_back({Double, 1, 1, &sweeps}); break;
      default: info.push_back({Double, 1, 1, &one}); break;
    }
  }
  if (status == NoError) status = write(file, "SweepInfo", 1, names, info, 1);
  if (status == NoError) {
    status = write(file, "SweepData", sets, kDataFields,
                   {{Double, 1, 1, &one},
                    {Double, 1, 1, &one},
                    {Double, kRows, kColumns, phase.data()},
                    {Double, kRows, kColumns, magnitude.data()}},
                   sets);
  }
  if (status != NoError) {
    DiscardMatFile(file);
    return 0;
  }
  return CloseMatFile(file) == NoError ? GetBytesWritten() : 0;
}

// A line of /proc/self/status in KiB ("VmRSS", "VmHWM"), or -1.
long StatusKib(const char* key) {
  FILE* f = std::fopen("/proc/self/status", "r");
  if (f == nullptr) return -1;
  char line[256];
  long kib = -1;
  const size_t n = std::strlen(key);
  while (std::fgets(line, sizeof line, f) != nullptr) {
    if (std::strncmp(line, key, n) == 0 && line[n] == ':') kib = std::atol(line + n + 1);
  }
  std::fclose(f);
  return kib;
}

// Reads every set of the file: false when the reader refused it.
bool ReadResult(const std::string& path) {
  ResultReader r;
  int32_t status = OpenResultFile(&r, path.c_str());
  ResultSet set;
  while (status == NoError && ResultSetsLeft(&r)) status = ReadResultSet(&r, &set);
  if (status != NoError)
    std::fprintf(stderr, "reading %s: %s\n", path.c_str(), ResultReaderMessage(&r));
  CloseResultFile(&r);
  return status == NoError;
}

// The peak of the process's resident memory while the file is read, in
// KiB; -1 when it cannot be told.
long ReadPeakKib(const std::string& path) {
  FILE* f = std::fopen("/proc/self/clear_refs", "w");  // "5" resets the peak to what is resident
  if (f == nullptr || std::fputs("5", f) < 0 || std::fclose(f) != 0) return -1;
  if (!ReadResult(path)) return -1;
  return StatusKib("VmHWM");
}

}  // namespace

int main(int argc, char** argv) {
  int elements = argc > 1 ? std::atoi(argv[1]) : 40;
  int repeats = argc > 2 ? std::atoi(argv[2]) : 15;
  int readSets = argc > 4 ? std::atoi(argv[4]) : 120;
  if (elements < 1 || repeats < 1 || readSets < 1) {
    std::fprintf(stderr, "usage: matfile_bench [elements] [repeats] [folder] [read sets]\n");
    return 2;
  }
  std::string dir = argc > 3 ? argv[3]
                    : std::filesystem::is_directory("/dev/shm")
                        ? "/dev/shm"
                        : std::string(QARVEL_BUILD_DIR) + "/bench";
  dir += "/matfile-bench-" + std::to_string(getpid());
  std::error_code ignored;
  std::filesystem::create_directories(dir, ignored);
  std::string matPath = dir + "/result.mat";
  std::string plainPath = dir + "/plain.bin";

  std::vector<double> phase(static_cast<size_t>(kRows) * kColumns);
  std::vector<double> magnitude(phase.size());
  for (size_t i = 0; i < phase.size(); ++i) {
    phase[i] = static_cast<double>(i) * 0.001;
    magnitude[i] = -static_cast<double>(i) * 0.002;
  }
  if (AllocDiskBuffer(kDiskBufferBytes) != NoError) return 1;

  double bestMat = 1e300, bestPlain = 1e300, cpuMat = 1e300, cpuPlain = 1e300;
  uint64_t bytes = 0;
  for (int r = 0; r < repeats; ++r) {
    auto start = std::chrono::steady_clock::now();
    double cpu = CpuSeconds();
    bytes = WriteResult(matPath, elements, phase, magnitude);
    cpuMat = std::min(cpuMat, CpuSeconds() - cpu);
    double mat = Seconds(start);
    if (bytes == 0) {
      std::fprintf(stderr, "writing %s failed\n", matPath.c_str());
      return 1;
    }
    start = std::chrono::steady_clock::now();
    cpu = CpuSeconds();
    if (!WritePlain(plainPath, bytes, phase, magnitude)) {
      std::fprintf(stderr, "writing %s failed\n", plainPath.c_str());
      return 1;
    }
    cpuPlain = std::min(cpuPlain, CpuSeconds() - cpu);
    double plain = Seconds(start);
    if (mat < bestMat) bestMat = mat;
    if (plain < bestPlain) bestPlain = plain;
  }
  std::filesystem::remove(plainPath, ignored);

  // Reading: a large file and a small one, both written now.
  const std::string small = dir + "/small.mat", large = dir + "/large.mat";
  const uint64_t largeBytes = WriteResultLayout(large, readSets, phase, magnitude);
  if (largeBytes == 0 || WriteResultLayout(small, 4, phase, magnitude) == 0) {
    std::fprintf(stderr, "writing the files to read in %s failed\n", dir.c_str());
    return 1;
  }
  FreeDiskBuffer();
  const long peakSmall = ReadPeakKib(small), peakLarge = ReadPeakKib(large);
  double bestRead = 1e300;
  for (int r = 0; r < (repeats + 4) / 5; ++r) {
    const auto start = std::chrono::steady_clock::now();
    if (!ReadResult(large)) return 1;
    bestRead = std::min(bestRead, Seconds(start));
  }
  std::filesystem::remove_all(dir, ignored);

  double mb = static_cast<double>(bytes) / 1e6;
  std::printf("matfile_bytes: %llu bytes\n", static_cast<unsigned long long>(bytes));
  std::printf("matfile_struct_write: %.1f MB/s\n", mb / bestMat);
  std::printf("plain_sequential_write: %.1f MB/s\n", mb / bestPlain);
  std::printf("matfile_vs_plain_ratio: %.2f ratio\n", bestPlain / bestMat);
  std::printf("matfile_vs_plain_ratio_cpu: %.2f ratio\n", cpuPlain / cpuMat);
  std::printf("read_file_bytes: %llu bytes\n", static_cast<unsigned long long>(largeBytes));
  std::printf("read_mb_per_s: %.1f MB/s\n", static_cast<double>(largeBytes) / 1e6 / bestRead);
  std::printf("read_peak_rss_4_sets: %ld KiB\n", peakSmall);
  std::printf("read_peak_rss_%d_sets: %ld KiB\n", readSets, peakLarge);
  return 0;
}
