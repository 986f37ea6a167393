// The journal's costs:
//   recovery: a journal of 20 sets of 8 x 16000 points of both kinds (about
//     41 MB of output) recovered, against a plain write of the output's
//     size (made and flushed as every save is), best of five rounds each,
//     alternating: in a folder in memory (/dev/shm), where the flush costs
//     nothing and both sides are bound by the memory, and on the disk (the
//     build folder), as a recovery runs;
//   averaged_memory: the peak resident memory of an averaged (-m), journaled
//     run of 1 range x 101 points at 1, 10 and 100 times 10,000 sets, each in
//     a process of its own, and of the same runs kept whole (no -m) at 1 and
//     10 times, for contrast.
//
//   sweep_journal_bench [recovery] [averaged_memory]      (default: both)
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "sweep/journal.h"
#include "sweep/measurement.h"
#include "sweep/recovery.h"
#include "sweep/resultfile.h"
#include "bench/sweep/sweep_bench.h"

namespace {

using bench::Payload;
using bench::Ranges;
using bench::ReadWhole;
using bench::Seconds;

// A new folder in memory, or on the disk.
std::string MakeFolder(bool disk = false) {
  return bench::MakeFolder(!disk && access("/dev/shm", W_OK) == 0 ? "/dev/shm"
                                                                  : QARVEL_BUILD_DIR "/bench");
}

bool WriteWhole(const std::string& path, const std::string& bytes) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && ok;
}

// Measures `sets` sets of `ranges` x `points` into a journaled measurement
// saved as target, and saves it. False on any failure.
bool Measure(const std::string& target, int ranges, int points, int sets, bool averaged) {
  const SweepBuild& build = kSweepBuilds[kQarvelBuild];
  SaveData save{};
  std::snprintf(save.OriginalFilename, sizeof save.OriginalFilename, "%s", target.c_str());
  save.IsGloballyAveraged = averaged ? 1 : 0;
  Measurement m{};
  if (SetUpSaving(build) != NoError ||
      BeginMeasurement(&m, build, Ranges(ranges, points), save, true) != NoError || !m.journaled) {
    return false;
  }
  std::vector<std::vector<uint8_t>> payloads;
  for (int k = 0; k < ranges; ++k) {
    payloads.push_back(Payload(static_cast<uint8_t>(k), static_cast<uint16_t>(points), 1));
  }
  for (int s = 0; s < sets; ++s) {
    for (auto& p : payloads) {
      PutU32(&p[3], static_cast<uint32_t>(s));
      if (AppendToMeasurement(m, p.data(), static_cast<uint32_t>(p.size())) !=
          AppendOutcome::Kept) {
        return false;
      }
    }
    // As fast as the instrument streams at the most, so that the queue keeps up.
    if (s % 100 == 99) SleepMs(1);
  }
  const bool saved = SaveMeasurement(&m, save, save.OriginalFilename) == NoError;
  EndMeasurement(&m);
  return saved;
}

void Recovery(bool disk) {
  const std::string folder = MakeFolder(disk);
  const char* const name = disk ? "recovery_disk" : "recovery";
  const std::string journal = folder + "/run.mat.journal", kept = folder + "/kept.journal";
  const std::string recovered = folder + "/recovered.mat", plain = folder + "/plain.bin";
  // The journal of a run: measured, and kept aside before its save removes
  // it, as a crash would have left it.
  const SweepBuild& build = kSweepBuilds[kQarvelBuild];
  SaveData save{};
  std::snprintf(save.OriginalFilename, sizeof save.OriginalFilename, "%s/run.mat", folder.c_str());
  Measurement m{};
  if (folder.empty() || SetUpSaving(build) != NoError ||
      BeginMeasurement(&m, build, Ranges(8, 16000), save, true) != NoError) {
    std::fprintf(stderr, "journal_bench: no measurement\n");
    return;
  }
  for (int s = 0; s < 20; ++s) {
    for (int k = 0; k < 8; ++k) {
      const std::vector<uint8_t> p =
          Payload(static_cast<uint8_t>(k), 16000, static_cast<uint32_t>(s));
      AppendToMeasurement(m, p.data(), static_cast<uint32_t>(p.size()));
    }
  }
  FinishJournal();
  const std::string bytes = ReadWhole(journal);
  SaveMeasurement(&m, save, "/dev/null");
  EndMeasurement(&m);

  double recoverSeconds = 1e9, plainSeconds = 1e9;
  uint64_t fileBytes = 0;
  std::string image;
  for (int round = 0; round < 5; ++round) {
    if (!WriteWhole(kept, bytes)) return;
    auto start = std::chrono::steady_clock::now();
    RecoveryReport report;
    if (Recover({kept.c_str(), recovered.c_str(), false, false}, &report) !=
        RecoveryResult::Saved) {
      std::fprintf(stderr, "journal_bench: recovery failed\n");
      return;
    }
    recoverSeconds = std::min(recoverSeconds, Seconds(start));
    fileBytes = report.fileBytes;
    if (image.empty()) image = ReadWhole(recovered);

    start = std::chrono::steady_clock::now();
    FileHandle file = CreateOutputFile(plain.c_str());
    for (size_t at = 0; at < image.size(); at += 1 << 20) {
      WriteOutputFile(file, image.data() + at, std::min(image.size() - at, size_t{1} << 20));
    }
    CloseOutputFile(file);
    plainSeconds = std::min(plainSeconds, Seconds(start));
  }
  std::printf("%s_journal: %.1f MB\n", name, bytes.size() / 1e6);
  std::printf("%s_output: %.1f MB\n", name, fileBytes / 1e6);
  std::printf("%s_rate: %.1f MB/s\n", name, fileBytes / recoverSeconds / 1e6);
  std::printf("%s_plain_write: %.1f MB/s\n", name, fileBytes / plainSeconds / 1e6);
  std::printf("%s_vs_plain: %.2f ratio\n", name, plainSeconds / recoverSeconds);
  for (const std::string& f : {recovered, plain, kept}) unlink(f.c_str());
  rmdir(folder.c_str());
}

// The peak resident memory of one run, in a process of its own.
double PeakMiB(int sets, bool averaged) {
  const std::string folder = MakeFolder();
  const pid_t child = fork();
  if (child == 0) _exit(Measure(folder + "/run.mat", 1, 101, sets, averaged) ? 0 : 1);
  int status = 0;
  rusage usage{};
  wait4(child, &status, 0, &usage);
  unlink((folder + "/run.mat").c_str());
  rmdir(folder.c_str());
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
  return usage.ru_maxrss / 1024.0;
}

void AveragedMemory() {
  constexpr int kSets = 10000;
  for (const int times : {1, 10, 100}) {
    std::printf("averaged_peak_rss_%dx: %.1f MiB (%d sets)\n", times, PeakMiB(kSets * times, true),
                kSets * times);
  }
  for (const int times : {1, 10}) {
    std::printf("kept_peak_rss_%dx: %.1f MiB (%d sets, no -m)\n", times,
                PeakMiB(kSets * times, false), kSets * times);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> which(argv + 1, argv + argc);
  const auto wanted = [&](const char* name) {
    return which.empty() || std::find(which.begin(), which.end(), name) != which.end();
  };
  if (wanted("recovery")) {
    Recovery(false);
    Recovery(true);
  }
  if (wanted("averaged_memory")) AveragedMemory();
  return 0;
}
