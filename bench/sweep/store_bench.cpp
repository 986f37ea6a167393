// Record store and result file costs:
//   append throughput for the largest SWEEPDATA payloads (MB/s of payload),
//   result-file write speed against a plain write of the same size, both in
//   a folder in memory (/dev/shm), where the flush to the disk that
//   completes every save costs nothing on either side,
//   bytes of memory held per stored sample against the 8 of the double,
//   and with --flushed, the time of a whole save of a 1 GB file to the disk
//   (the build folder), flush included.
//
//   sweep_store_bench [sets] [--flushed]      (default 20 sets)
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "link/link.h"
#include "matfile/matfile.h"
#include "platform/platform.h"
#include "sweep/measurement.h"
#include "sweep/resultfile.h"
#include "sweep/store.h"
#include "bench/sweep/sweep_bench.h"

namespace {

using bench::MakeFolder;
using bench::ReadWhole;
using bench::Seconds;

constexpr int kRanges = 8;
constexpr uint16_t kPoints = 16000;

// Processor time of this process (user and system), in seconds: unlike the
// wall clock it leaves out whatever else the machine is doing.
double CpuSeconds() {
  timespec ts;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + ts.tv_nsec * 1e-9;
}

// The memory the process holds: its resident pages.
size_t Resident() {
  long pages = 0, resident = 0;
  if (FILE* f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
    std::fclose(f);
  }
  return static_cast<size_t>(resident) * static_cast<size_t>(sysconf(_SC_PAGESIZE));
}

// Appends `sets` sets of 8 records of 16,000 points of both kinds.
bool AppendSets(int sets, const std::vector<std::vector<uint8_t>>& payloads, const Measurement& m) {
  for (int s = 0; s < sets; ++s) {
    for (const auto& p : payloads) {
      if (AppendToMeasurement(m, p.data(), static_cast<uint32_t>(p.size())) !=
          AppendOutcome::Kept) {
        std::fprintf(stderr, "append refused\n");
        return false;
      }
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const int sets = argc > 1 && argv[1][0] != '-' ? std::atoi(argv[1]) : 20;
  const bool flushed = std::string(argv[argc - 1]) == "--flushed";
  const SweepInfo info = bench::Ranges(kRanges, kPoints);
  std::vector<std::vector<uint8_t>> payloads;
  for (int k = 0; k < kRanges; ++k)
    payloads.push_back(bench::Payload(static_cast<uint8_t>(k), kPoints, 1));

  const SweepBuild& build = kSweepBuilds[kQarvelBuild];
  SaveData save;
  std::memset(&save, 0, sizeof save);
  Measurement m{};
  if (SetUpSaving(build) != NoError || BeginMeasurement(&m, build, info, save, false) != NoError)
    return 1;

  // Append: sets x 8 records of 16,000 points of both kinds.
  const size_t residentBefore = Resident();
  auto start = std::chrono::steady_clock::now();
  if (!AppendSets(sets, payloads, m)) return 1;
  const double appendSeconds = Seconds(start);
  const double payloadBytes = static_cast<double>(sets) * kRanges * payloads[0].size();
  const double samples = static_cast<double>(sets) * kRanges * kPoints * 2;
  const size_t held = Resident() - residentBefore;
  std::printf("append_throughput: %.1f MB/s\n", payloadBytes / appendSeconds / 1e6);
  std::printf("append_per_record: %.1f us\n", appendSeconds / (sets * kRanges) * 1e6);
  std::printf("memory_per_sample: %.4f bytes\n", held / samples);
  std::printf("memory_per_sample_ideal: 8 bytes\n");

  // Result file against a plain write of the same number of bytes.
  const std::string folder = MakeFolder(access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp");
  if (folder.empty()) return 1;
  const std::string resultPath = folder + "/result.mat";
  const std::string plainPath = folder + "/plain.bin";
  std::snprintf(save.OriginalFilename, sizeof save.OriginalFilename, "%s", resultPath.c_str());

  // The plain write hands the file's own bytes to the file from memory, a
  // buffer at a time: the same bytes from memory as large as the records,
  // so that neither side reads from a cache the other does not. Best of
  // fifteen rounds each, alternating, so that whatever else the machine does
  // weighs on both alike.
  if (SaveMeasurement(&m, save, save.OriginalFilename) != NoError) return 1;
  const std::string image = ReadWhole(resultPath);
  double writeSeconds = 1e9, plainSeconds = 1e9, writeCpu = 1e9, plainCpu = 1e9;
  uint64_t fileBytes = 0;
  for (int round = 0; round < 15; ++round) {
    start = std::chrono::steady_clock::now();
    double cpu = CpuSeconds();
    if (SaveMeasurement(&m, save, save.OriginalFilename) != NoError) return 1;
    writeCpu = std::min(writeCpu, CpuSeconds() - cpu);
    writeSeconds = std::min(writeSeconds, Seconds(start));
    fileBytes = GetBytesWritten();

    start = std::chrono::steady_clock::now();
    cpu = CpuSeconds();
    FileHandle plain = CreateOutputFile(plainPath.c_str());
    for (size_t at = 0; at < image.size(); at += kDiskBufferBytes) {
      const size_t n = std::min(image.size() - at, static_cast<size_t>(kDiskBufferBytes));
      if (!WriteOutputFile(plain, image.data() + at, n)) return 1;
    }
    CloseOutputFile(plain);
    plainCpu = std::min(plainCpu, CpuSeconds() - cpu);
    plainSeconds = std::min(plainSeconds, Seconds(start));
  }
  if (image.size() != fileBytes) return 1;

  std::printf("result_file_size: %.1f MB (%d sets of 8 x 16000 points)\n", fileBytes / 1e6, sets);
  std::printf("result_file_write: %.1f MB/s\n", fileBytes / writeSeconds / 1e6);
  std::printf("plain_write: %.1f MB/s\n", fileBytes / plainSeconds / 1e6);
  std::printf("result_file_vs_plain: %.2f ratio\n", plainSeconds / writeSeconds);
  std::printf("result_file_vs_plain_cpu: %.2f ratio\n", plainCpu / writeCpu);

  start = std::chrono::steady_clock::now();
  FreeRecords();
  std::printf("free_records: %.1f ms\n", Seconds(start) * 1e3);
  unlink(resultPath.c_str());
  unlink(plainPath.c_str());
  rmdir(folder.c_str());

  if (flushed) {
    // A 1 GB file: 2,048,000 bytes of values a set.
    const int bigSets = 1000000000 / (kRanges * kPoints * 2 * 8) + 1;
    const std::string disk = MakeFolder(QARVEL_BUILD_DIR "/bench");
    if (disk.empty() || !AppendSets(bigSets, payloads, m)) return 1;
    std::snprintf(save.OriginalFilename, sizeof save.OriginalFilename, "%s/result.mat",
                  disk.c_str());
    start = std::chrono::steady_clock::now();
    if (SaveMeasurement(&m, save, save.OriginalFilename) != NoError) return 1;
    const double saveSeconds = Seconds(start);
    std::printf("flushed_save_size: %.1f MB\n", GetBytesWritten() / 1e6);
    std::printf("flushed_save_time: %.2f s\n", saveSeconds);
    std::printf("flushed_save_rate: %.1f MB/s\n", GetBytesWritten() / saveSeconds / 1e6);
    unlink(save.OriginalFilename);
    rmdir(disk.c_str());
    FreeRecords();
  }
  EndMeasurement(&m);
  FreeDiskBuffer();
  return 0;
}
