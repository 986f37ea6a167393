// qarvel-recover: rebuilds the result file of a qarvel or vexa run from its
// journal, after a crash, a power cut or a failed save.
#include <cstdio>
#include <cstring>

#include "link/status.h"
#include "platform/platform.h"
#include "sweep/builds.h"
#include "sweep/journal.h"
#include "sweep/recovery.h"

namespace {

const char kUsage[] =
    "usage: qarvel-recover JOURNAL [-o FILE]\n"
    "       qarvel-recover --snapshot -o FILE JOURNAL\n"
    "\n"
    "Writes the result file that the qarvel or vexa run of JOURNAL would have saved\n"
    "had it been stopped after the journal's last whole record, and then removes\n"
    "the journal. The file goes into the journal's folder under the name the run\n"
    "saved under, unless -o names another; a file that exists is replaced only\n"
    "when -o names it. --snapshot reads the journal of a run that is still\n"
    "measuring, writes FILE from what it holds so far, and leaves it alone.\n";

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

void Say(FILE* stream, const char* format, const char* a = "", const char* b = "") {
  std::fprintf(stream, format, a, b);
  std::fflush(stream);
}

int Report(const RecoveryRequest& request, RecoveryResult result, const RecoveryReport& r) {
  const char* journal = request.journal;
  switch (result) {
    case RecoveryResult::Saved: break;
    case RecoveryResult::Missing:
      Say(stderr, "qarvel-recover: %s: no such journal\n", journal);
      return kExitFailed;
    case RecoveryResult::Unreadable:
      Say(stderr, "qarvel-recover: %s: cannot be read: %s\n", journal, r.why);
      return kExitFailed;
    case RecoveryResult::Live: {
      char quoted[1100];
      QuoteForShell(journal, quoted, sizeof quoted);
      Say(stderr,
          "qarvel-recover: %s belongs to a run that is still measuring; it can be recovered once "
          "the run has ended. A file of what it holds so far: qarvel-recover --snapshot -o FILE "
          "%s\n",
          journal, quoted);
      return kExitFailed;
    }
    case RecoveryResult::NotAJournal:
      Say(stderr,
          "qarvel-recover: %s is not a journal, or its header is damaged; nothing was "
          "written\n",
          journal);
      return kExitFailed;
    case RecoveryResult::OutputExists:
      Say(stderr,
          "qarvel-recover: %s exists; nothing was written and %s is kept. Name the file "
          "to write with -o FILE (an existing file is replaced).\n",
          r.output, journal);
      return kExitFailed;
    case RecoveryResult::NoData:
      Say(stderr, "No data.\n");
      Say(stderr, "qarvel-recover: %s holds no complete sweep set; nothing was written\n", journal);
      return kExitFailed;
    case RecoveryResult::SaveFailed:
      Say(stderr, "qarvel-recover: %s: %s The journal is kept.\n", r.output,
          StatusMessage(r.status));
      return kExitFailed;
  }
  std::printf("Recovered %d sweep set%s (%llu records) of a %s measurement into %s (%.3fMB).\n",
              r.sets, r.sets == 1 ? "" : "s", static_cast<unsigned long long>(r.records),
              kSweepBuilds[r.header.build].program, r.output, ToDouble(r.fileBytes) / 1048576.0);
  char started[40];
  FormatSystemTime(r.header.startTime, started, sizeof started);
  if (r.lastStamp != 0) {
    char last[40];
    FormatSystemTime(r.lastStamp, last, sizeof last);
    std::printf("Measured from %s; flushed last at %s, %.1f s later.\n", started, last,
                ToDouble(r.lastStamp - r.header.startTime) / 1e7);
  } else {
    std::printf("Measured from %s; the journal holds no flush stamp.\n", started);
  }
  if (r.incomplete) {
    std::printf(
        "The journal is incomplete: the run could not journal every record from some "
        "point on. The file holds every record the journal kept.\n");
  }
  if (r.cut && !request.snapshot) {
    std::printf(
        "The journal ends in a cut or damaged record after byte %llu; every whole record "
        "before it is in the file.\n",
        static_cast<unsigned long long>(r.wholeBytes));
  }
  if (!request.snapshot) std::printf("Removed the journal %s.\n", journal);
  std::fflush(stdout);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  ProcessInit();
  RecoveryRequest request{nullptr, nullptr, false};
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--snapshot") == 0) {
      request.snapshot = true;
    } else if (std::strcmp(argv[i], "-o") == 0 && i + 1 < argc && request.output == nullptr) {
      request.output = argv[++i];
    } else if (argv[i][0] != '-' && request.journal == nullptr) {
      request.journal = argv[i];
    } else {
      request.journal = nullptr;
      break;
    }
  }
  if (request.journal == nullptr || (request.snapshot && request.output == nullptr)) {
    std::fputs(kUsage, stderr);
    return kExitUsage;
  }
  RecoveryReport report;
  const RecoveryResult result = Recover(request, &report);
  return Report(request, result, report);
}
