// qarvel-track on journals of the emulated instrument of growing length,
// each run a process of its own, in a folder in memory (/dev/shm):
//   track_peak_rss_<n>_sets: its peak resident memory reading a journal of
//     n sets of two ranges of 201 points, both quantities (CSV to /dev/null),
//     for n = 1,000, 10,000 and 100,000: it does not grow with n
//   track_mat_peak_rss_<n>_sets: the same writing the MAT output, whose rows
//     wait in a scratch file
//   track_sets_per_second: sets read and fitted per second, at 100,000 sets
//   track_journal_mb_per_second: the journal's bytes read per second, there
//   track_peak_rss_full_size: a journal of 20 sets of 8 ranges of 16,000
//     points, the largest configuration
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench/sweep/sweep_bench.h"
#include "tests/support/emulated_sets.h"

namespace {

// A version-2 journal of `sets` sets of the ranges, as a run writes one.
bool WriteJournal(const std::string& path, const std::vector<RangeSpec>& ranges, int sets) {
  EmulatedSweep sweep;
  if (!StartEmulatedSweep(&sweep, EmulatorConfig{}, ranges, 2)) return false;
  constexpr int64_t kStart = 134411000000000000;
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  const std::string header = EmulatedJournalHeader(sweep, kStart);
  bool ok = std::fwrite(header.data(), 1, header.size(), f) == header.size();
  for (int s = 0; s < sets && ok; ++s) {
    const std::string entries = EmulatedJournalSet(&sweep, kStart + 1000000LL * (s + 1));
    ok = std::fwrite(entries.data(), 1, entries.size(), f) == entries.size();
  }
  return std::fclose(f) == 0 && ok;
}

struct Run {
  double peakMiB;
  double seconds;
  bool ok;
};

// qarvel-track on the journal, in a process of its own.
Run Track(const std::string& journal, const std::string& output) {
  const auto start = std::chrono::steady_clock::now();
  const pid_t child = fork();
  if (child == 0) {
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    const std::string program = QARVEL_BUILD_DIR "/qarvel-track";
    if (output.empty()) {
      execl(program.c_str(), program.c_str(), journal.c_str(), static_cast<char*>(nullptr));
    } else {
      execl(program.c_str(), program.c_str(), journal.c_str(), "-o", output.c_str(),
            static_cast<char*>(nullptr));
    }
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  wait4(child, &status, 0, &usage);
  return {usage.ru_maxrss / 1024.0, bench::Seconds(start),
          WIFEXITED(status) && WEXITSTATUS(status) == 0};
}

}  // namespace

int main() {
  const std::string folder =
      bench::MakeFolder(access("/dev/shm", W_OK) == 0 ? "/dev/shm" : QARVEL_BUILD_DIR "/bench");
  if (folder.empty()) return 1;
  const std::string journal = folder + "/run.mat.journal", mat = folder + "/track.mat";
  const std::vector<RangeSpec> two = {{14.5, 15.5, 201}, {25.45, 25.55, 201}};
  for (const int sets : {1000, 10000, 100000}) {
    if (!WriteJournal(journal, two, sets)) {
      std::fprintf(stderr, "series_bench: no journal\n");
      return 1;
    }
    const Run csv = Track(journal, ""), out = Track(journal, mat);
    if (!csv.ok || !out.ok) std::fprintf(stderr, "series_bench: qarvel-track failed\n");
    std::printf("track_peak_rss_%d_sets: %.1f MiB\n", sets, csv.peakMiB);
    std::printf("track_mat_peak_rss_%d_sets: %.1f MiB\n", sets, out.peakMiB);
    if (sets == 100000) {
      std::printf("track_sets_per_second: %.0f sets/s\n", sets / csv.seconds);
      std::printf("track_journal_mb_per_second: %.1f MB/s\n",
                  bench::ReadWhole(journal).size() / csv.seconds / 1e6);
    }
  }
  if (WriteJournal(journal, std::vector<RangeSpec>(8, RangeSpec{10, 19, 16000}), 20)) {
    std::printf("track_peak_rss_full_size: %.1f MiB\n", Track(journal, "").peakMiB);
  }
  unlink(journal.c_str());
  unlink(mat.c_str());
  rmdir(folder.c_str());
  return 0;
}
