// What the live view costs a follower: the fixed memory of a view, adding a
// set to a range's course, and writing the page and the JSON of the largest
// configuration (8 ranges of 16000 points, both quantities, every course
// full) at each update (page, data script and JSON), in processor time. Page and JSON go to a
// folder in memory (/dev/shm) where there is one, or the folder named.
//
//   live_bench [updates] [folder]      (defaults 40, /dev/shm)
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "track/track.h"

namespace {

double CpuSeconds() {
  timespec ts;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + ts.tv_nsec * 1e-9;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

long FileBytes(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return -1;
  std::fseek(f, 0, SEEK_END);
  const long n = std::ftell(f);
  std::fclose(f);
  return n;
}

}  // namespace

int main(int argc, char** argv) {
  const int updates = argc > 1 ? std::atoi(argv[1]) : 40;
  std::string folder = argc > 2 ? argv[2] : (access("/dev/shm", W_OK) == 0 ? "/dev/shm" : ".");
  folder += "/live_bench_" + std::to_string(getpid());
  const std::string page = folder + ".html", json = folder + ".json";

  auto view = std::make_unique<LiveView>();
  ResetLiveView(view.get());
  SetLiveText(view->target, sizeof view->target, "C:\\Messungen\\2026-01-05\\resonator.mat");
  view->status = LiveStatus::Live;
  view->hasMagnitude = view->hasPhase = true;
  view->rangeCount = kLiveRanges;
  const int n = 16000;
  std::vector<double> f(n), m(n), p(n);
  // Adding sets: a week of sets at ten a second, spread over the ranges.
  const long sets = 6000000;
  double t0 = CpuSeconds();
  for (long s = 0; s < sets; ++s) {
    const double t = 0.1 * static_cast<double>(s);
    const Resonance fit{25e6 + 300 * std::sin(t / 900),
                        12.5e3,
                        2000 + std::cos(t / 60),
                        -3,
                        -90,
                        0.05,
                        s % 50 == 0 ? FitStatus::None : FitStatus::Ok};
    AddToCourse(&view->ranges[s % kLiveRanges].course, t, fit);
  }
  const double addNs = (CpuSeconds() - t0) / static_cast<double>(sets) * 1e9;
  for (int r = 0; r < kLiveRanges; ++r) {
    LiveRange& range = view->ranges[r];
    range.startHz = 10e6 + 11e6 * r;
    range.stopHz = range.startHz + 10e6;
    range.points = n;
    range.latest =
        Resonance{range.startHz + 5e6 + 0.37, 12.5e3, 1234.5, -3, -90, 0.05, FitStatus::Ok};
    for (int i = 0; i < n; ++i) {
      f[i] = range.startHz + 625.0 * i;
      const double x = (f[i] - range.startHz - 5e6) / 6e3;
      m[i] = -3 - 10 * std::log10(1 + x * x) + 0.05 * std::sin(i * 0.7);
      p[i] = -std::atan(x) * 57.29578 + 0.2 * std::cos(i * 1.3);
    }
    SetTrace(&range.trace, f.data(), m.data(), p.data(), n);
  }
  view->sets = static_cast<uint64_t>(sets / kLiveRanges);
  view->elapsedS = 0.1 * static_cast<double>(sets);

  std::vector<double> updateMs;
  for (int u = 0; u < updates; ++u) {
    view->sets += 1;
    t0 = CpuSeconds();
    if (WriteLiveFiles(*view, 2, page.c_str(), json.c_str()) != 0) {
      std::fprintf(stderr, "live_bench: the files could not be written beside %s\n", page.c_str());
      return 1;
    }
    updateMs.push_back((CpuSeconds() - t0) * 1e3);
  }
  const long pageBytes = FileBytes(page), dataBytes = FileBytes(page + kLiveDataSuffix),
             jsonBytes = FileBytes(json);
  std::remove(page.c_str());
  std::remove((page + kLiveDataSuffix).c_str());
  std::remove(json.c_str());
  std::printf("view_bytes: %zu bytes\n", sizeof(LiveView));
  std::printf("course_add_ns: %.1f ns\n", addNs);
  std::printf("update_write_ms: %.2f ms\n", Median(updateMs));
  std::printf("page_bytes: %ld bytes\n", pageBytes);
  std::printf("page_data_script_bytes: %ld bytes\n", dataBytes);
  std::printf("json_bytes: %ld bytes\n", jsonBytes);
  std::printf("bytes_per_update: %ld bytes\n", pageBytes + dataBytes + jsonBytes);
  return 0;
}
