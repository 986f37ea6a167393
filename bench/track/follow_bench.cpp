// The follower (qarvel-track --follow, in process) on a journal that grows as
// a run at the link rate (46,080 bytes/s) writes one, with the live page and
// the JSON written at every update: for the demo's shape (101 and 201
// points) and for 8 ranges of 16,000 points, each in a temporary folder
// that is removed.
//   update_ms_1h, update_ms_12h   median wall time of an update that takes
//                                 2 s of the run's new bytes, with 1 and 12
//                                 hours of run behind it, every course full:
//                                 a shape whose courses are not full after
//                                 an hour (8 x 16,000 points fills its 1,024
//                                 buckets after 3.1 hours at the link rate)
//                                 is measured when they first are
//                                 (hours_first_<shape>)
//   update_ratio_12h_vs_1h        their ratio: the cost does not grow
//   bytes_per_update_12h          the page, its data script and the JSON
//   peak_rss_12h_mib              this process's peak resident memory
//   catch_up_mb_per_s             a follower started late on a 1 GiB journal
//   follow_cpu_share              CPU time of the updates at 12 h per second
//                                 of run: the share of one core
// The unsuffixed lines give the larger of the two shapes (the smaller of
// them for catch_up); the lines ending in _demo and _8x16000 give each.
#include <sys/resource.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "tests/support/emulated_sets.h"
#include "track/track.h"

namespace {

constexpr double kLinkBytesPerSecond = 46080.0;
constexpr double kUpdateSeconds = 2.0;
constexpr int kUpdates = 41;

double CpuSeconds() {
  timespec t;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

double Now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double FileBytes(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? static_cast<double>(st.st_size) : 0;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

// A run's journal, written set by set from a pool of measured sets, each
// record framed with the time it arrived at the link's rate.
struct Run {
  EmulatedSweep sweep;
  std::vector<std::vector<std::vector<uint8_t>>> pool;  // sets of record payloads
  FileHandle file = kInvalidFile;
  int64_t start = 0;
  double bytesPerSet = 0;
  uint64_t sets = 0;
  double written = 0;
  std::string buffer;

  bool Begin(const std::string& path, const std::vector<RangeSpec>& ranges, int poolSets) {
    if (!StartEmulatedSweep(&sweep, EmulatorConfig{}, ranges, 2)) return false;
    for (int s = 0; s < poolSets; ++s) {
      std::vector<OutFrame> frames;
      InstrumentSweepSet(&sweep.inst, &frames);
      std::vector<std::vector<uint8_t>> set;
      for (const OutFrame& f : frames) {
        set.emplace_back(f.bytes.begin() + kFrameHeaderLength,
                         f.bytes.begin() + static_cast<ptrdiff_t>(f.bytes.size() - kFrameOverhead +
                                                                  kFrameHeaderLength));
      }
      pool.push_back(set);
    }
    for (const auto& record : pool[0]) {
      bytesPerSet +=
          static_cast<double>(kJournalEntryOverhead + kJournalArrivalBytes + record.size());
    }
    CreateOutcome outcome;
    char why[160];
    file = CreateLockedFile(path.c_str(), &outcome, why, sizeof why);  // held, as a run holds it
    start = SystemTime() - int64_t{12 * 3600 + 600} * 10000000;
    const std::string header = EmulatedJournalHeader(sweep, start);
    return file != kInvalidFile && WriteOutputFile(file, header.data(), header.size());
  }

  // Appends the sets of `seconds` more of the run.
  bool Add(double seconds) {
    const double target = (written + seconds) * kLinkBytesPerSecond / bytesPerSet;
    written += seconds;
    buffer.clear();
    while (static_cast<double>(sets) < target) {
      const int64_t arrival = start + static_cast<int64_t>(static_cast<double>(sets + 1) *
                                                           bytesPerSet / kLinkBytesPerSecond * 1e7);
      for (const auto& payload : pool[sets % pool.size()]) {
        const uint32_t body = static_cast<uint32_t>(kJournalArrivalBytes + payload.size());
        std::vector<uint8_t> e(kJournalEntryOverhead + body);
        PutU64(&e[5], static_cast<uint64_t>(arrival));
        std::memcpy(&e[5 + kJournalArrivalBytes], payload.data(), payload.size());
        PutU32(&e[5 + body], FrameJournalEntry(kJournalRecord, &e[5], body, &e[0]));
        buffer.append(e.begin(), e.end());
      }
      ++sets;
      if (buffer.size() >= (size_t{8} << 20)) {
        if (!WriteOutputFile(file, buffer.data(), buffer.size())) return false;
        buffer.clear();
      }
    }
    // Flushed as a run flushes its journal, so that no backlog of the
    // bench's own writes lands on a later update.
    return WriteOutputFile(file, buffer.data(), buffer.size()) && SyncFile(file);
  }
  double Bytes() const {
    return static_cast<double>(kJournalHeaderBytes) + static_cast<double>(sets) * bytesPerSet;
  }
};

struct Timing {
  double wallMs, cpuS;
};

// kUpdates updates, each after 2 s more of the run: the median wall time
// and the median CPU time of one.
Timing Updates(Run* run, Follower* f, bool* ok) {
  std::vector<double> wall, cpu;
  for (int i = 0; i < kUpdates && *ok; ++i) {
    *ok = run->Add(kUpdateSeconds);
    const double t0 = Now(), c0 = CpuSeconds();
    *ok = *ok && FollowStep(f) == kFollowGoing;
    wall.push_back((Now() - t0) * 1e3);
    cpu.push_back(CpuSeconds() - c0);
  }
  return {Median(wall), Median(cpu)};
}

struct Result {
  double firstHours, update1h, update12h, bytes12h, catchUp, cpuShare;
  int firstBuckets, lastBuckets;  // course buckets in use after the updates of each point
  uint64_t sets12h;
  bool ok;
};

void Say(const char* text, void*) { std::fprintf(stderr, "follower: %s\n", text); }

Result Shape(const std::string& dir, const std::vector<RangeSpec>& ranges, int poolSets) {
  Result r{};
  Run run;
  const std::string target = dir + "/run.mat", page = dir + "/live.html", json = dir + "/live.json";
  r.ok = run.Begin(target + ".journal", ranges, poolSets);
  // Every step writes: the interval is the bench's, not the follower's.
  const FollowOptions o{target.c_str(), page.c_str(), json.c_str(), nullptr, 1e-3, 30, 1e5, false};
  static Follower follower, late;
  r.ok = r.ok && StartFollower(&follower, o, Say, nullptr) == 0;
  // Nearly every bucket in use, with room for the updates' sets before the
  // buckets next merge.
  const double full = (kCourseBuckets - 12) * run.bytesPerSet / kLinkBytesPerSecond;
  r.firstHours = std::max(3600.0, full) / 3600;
  r.ok = r.ok && run.Add(r.firstHours * 3600) && FollowStep(&follower) == kFollowGoing;
  r.ok = r.ok && follower.view->ranges[0].course.count > kCourseBuckets / 2;
  r.update1h = Updates(&run, &follower, &r.ok).wallMs;
  r.firstBuckets = follower.view->ranges[0].course.count;
  // A follower started late on a journal of 1 GiB.
  r.ok = r.ok && run.Add((1073741824.0 - run.Bytes()) / kLinkBytesPerSecond);
  const FollowOptions lateOptions{target.c_str(), nullptr, nullptr, nullptr, 1e-3, 30, 1e5, false};
  r.ok = r.ok && StartFollower(&late, lateOptions, Say, nullptr) == 0;
  const double t0 = Now();
  r.ok = r.ok && FollowStep(&late) == kFollowGoing;
  r.catchUp = run.Bytes() / 1e6 / (Now() - t0);
  EndFollower(&late);
  // On to 12 hours.
  r.ok = r.ok && run.Add(12 * 3600 - run.written) && FollowStep(&follower) == kFollowGoing;
  const Timing t12 = Updates(&run, &follower, &r.ok);
  r.update12h = t12.wallMs;
  r.lastBuckets = follower.view->ranges[0].course.count;
  r.cpuShare = 100.0 * t12.cpuS / kUpdateSeconds;
  r.bytes12h = FileBytes(page) + FileBytes(page + kLiveDataSuffix) + FileBytes(json);
  r.sets12h = follower.view->sets;
  r.ok = r.ok && follower.view->sets == run.sets && follower.view->status == LiveStatus::Live;
  EndFollower(&follower);
  CloseFile(run.file);
  for (const std::string& name : {target + ".journal", page, page + kLiveDataSuffix, json}) {
    std::remove(name.c_str());
  }
  return r;
}

}  // namespace

int main() {
  char folder[] = "/tmp/follow-bench-XXXXXX";
  const char* tmp = std::getenv("TMPDIR");
  std::string dir =
      tmp != nullptr && tmp[0] != '\0' ? std::string(tmp) + "/follow-bench-XXXXXX" : folder;
  if (mkdtemp(&dir[0]) == nullptr) {
    std::perror("follow_bench: mkdtemp");
    return 1;
  }
  std::vector<RangeSpec> big;
  for (int k = 0; k < 8; ++k) big.push_back({10.0 + 5 * k, 12.0 + 5 * k, 16000});
  const struct {
    const char* name;
    std::vector<RangeSpec> ranges;
    int pool;
  } shapes[] = {{"demo", {{10, 20, 101}, {25, 26, 201}}, 256}, {"8x16000", big, 4}};
  Result results[2];
  bool ok = true;
  for (int i = 0; i < 2; ++i) {
    results[i] = Shape(dir, shapes[i].ranges, shapes[i].pool);
    const Result& r = results[i];
    ok = ok && r.ok;
    const char* n = shapes[i].name;
    std::printf("hours_first_%s: %.2f h\n", n, r.firstHours);
    std::printf("update_ms_1h_%s: %.2f ms\n", n, r.update1h);
    std::printf("update_ms_12h_%s: %.2f ms\n", n, r.update12h);
    std::printf("update_ratio_12h_vs_1h_%s: %.2f x\n", n, r.update12h / r.update1h);
    std::printf("bytes_per_update_12h_%s: %.0f bytes\n", n, r.bytes12h);
    std::printf("catch_up_mb_per_s_%s: %.1f MB/s\n", n, r.catchUp);
    std::printf("follow_cpu_share_%s: %.3f %%\n", n, r.cpuShare);
    std::printf("sets_12h_%s: %llu sets\n", n, static_cast<unsigned long long>(r.sets12h));
    std::printf("course_buckets_first_%s: %d buckets\n", n, r.firstBuckets);
    std::printf("course_buckets_12h_%s: %d buckets\n", n, r.lastBuckets);
    std::fflush(stdout);
  }
  rmdir(dir.c_str());
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  const Result &a = results[0], &b = results[1];
  std::printf("update_ms_1h: %.2f ms\n", std::max(a.update1h, b.update1h));
  std::printf("update_ms_12h: %.2f ms\n", std::max(a.update12h, b.update12h));
  std::printf("update_ratio_12h_vs_1h: %.2f x\n",
              std::max(a.update12h / a.update1h, b.update12h / b.update1h));
  std::printf("bytes_per_update_12h: %.0f bytes\n", std::max(a.bytes12h, b.bytes12h));
  std::printf("peak_rss_12h_mib: %.1f MiB\n", static_cast<double>(usage.ru_maxrss) / 1024.0);
  std::printf("catch_up_mb_per_s: %.1f MB/s\n", std::min(a.catchUp, b.catchUp));
  std::printf("follow_cpu_share: %.3f %%\n", std::max(a.cpuShare, b.cpuShare));
  if (!ok) std::fprintf(stderr, "follow_bench: a follower did not keep up with its run\n");
  return ok ? 0 : 1;
}
