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
//   matfile_bench [S] [repeats] [folder]      (defaults 40, 15, /dev/shm)
#include <unistd.h>

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "matfile/matfile.h"

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

}  // namespace

int main(int argc, char** argv) {
  int elements = argc > 1 ? std::atoi(argv[1]) : 40;
  int repeats = argc > 2 ? std::atoi(argv[2]) : 15;
  if (elements < 1 || repeats < 1) {
    std::fprintf(stderr, "usage: matfile_bench [elements] [repeats]\n");
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
  FreeDiskBuffer();
  std::filesystem::remove_all(dir, ignored);

  double mb = static_cast<double>(bytes) / 1e6;
  std::printf("matfile_bytes: %llu bytes\n", static_cast<unsigned long long>(bytes));
  std::printf("matfile_struct_write: %.1f MB/s\n", mb / bestMat);
  std::printf("plain_sequential_write: %.1f MB/s\n", mb / bestPlain);
  std::printf("matfile_vs_plain_ratio: %.2f ratio\n", bestPlain / bestMat);
  std::printf("matfile_vs_plain_ratio_cpu: %.2f ratio\n", cpuPlain / cpuMat);
  return 0;
}
