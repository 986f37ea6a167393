// Writes the live page (and with --json the JSON) of a synthetic run, for
// the browser test: live_page_fixture PAGE [--sets N] [--status WORD]
// [--ranges N] [--points N] [--every S] [--target TEXT] [--json FILE]
// [--no-magnitude] [--no-phase]. Exit 0 when written, 1 when a write failed,
// 2 for a command line it does not take.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "tests/track/synthetic.h"

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  SyntheticRun run;
  double every = 2;
  const char* json = nullptr;
  for (int i = 2; i < argc; ++i) {
    const char* a = argv[i];
    const char* v = i + 1 < argc ? argv[i + 1] : nullptr;
    if (std::strcmp(a, "--no-magnitude") == 0) {
      run.magnitude = false;
      continue;
    }
    if (std::strcmp(a, "--no-phase") == 0) {
      run.phase = false;
      continue;
    }
    if (v == nullptr) return 2;
    ++i;
    if (std::strcmp(a, "--sets") == 0) {
      run.sets = std::strtoull(v, nullptr, 10);
    } else if (std::strcmp(a, "--ranges") == 0) {
      run.ranges = std::atoi(v);
    } else if (std::strcmp(a, "--points") == 0) {
      run.points = std::atoi(v);
    } else if (std::strcmp(a, "--every") == 0) {
      every = std::atof(v);
    } else if (std::strcmp(a, "--target") == 0) {
      run.target = v;
    } else if (std::strcmp(a, "--json") == 0) {
      json = v;
    } else if (std::strcmp(a, "--status") == 0) {
      bool known = false;
      for (int s = 0; s <= static_cast<int>(LiveStatus::Died); ++s) {
        if (std::strcmp(v, LiveStatusWord(static_cast<LiveStatus>(s))) == 0) {
          run.status = static_cast<LiveStatus>(s);
          known = true;
        }
      }
      if (!known) return 2;
    } else {
      return 2;
    }
  }
  if (run.ranges < 1 || run.ranges > kLiveRanges || run.points < 2) return 2;
  auto view = std::make_unique<LiveView>();
  FillSyntheticView(view.get(), run);
  if (WriteLivePage(*view, every, argv[1]) != 0) return 1;
  if (json != nullptr && WriteLiveJson(*view, every, json) != 0) return 1;
  return 0;
}
