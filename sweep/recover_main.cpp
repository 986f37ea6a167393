// qarvel-recover: rebuilds the result file of a qarvel or vexa run from its
// journal, after a crash, a power cut or a failed save.
#include <cstdio>
#include <cstring>

#include "link/status.h"
#include "platform/numbers.h"
#include "platform/platform.h"
#include "platform/time_text.h"
#include "sweep/builds.h"
#include "sweep/journal.h"
#include "sweep/recovery.h"

namespace {

const char kUsage[] =
    "usage: qarvel-recover [--partial] JOURNAL [-o FILE]\n"
    "       qarvel-recover --snapshot [--partial] -o FILE JOURNAL\n"
    "\n"
    "Writes the result file that the qarvel or vexa run of JOURNAL would have saved\n"
    "had it been stopped after the journal's last whole record, and then removes\n"
    "the journal. The file goes into the journal's folder under the name the run\n"
    "saved under, unless -o names another; a file that exists is replaced only\n"
    "when -o names it. --snapshot reads the journal of a run that is still\n"
    "measuring, writes FILE from what it holds so far, and leaves it alone.\n"
    "When some records cannot be taken (memory runs out), nothing is written and\n"
    "the journal stays; --partial writes the file of the others, and keeps it too.\n";

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

void Say(FILE* stream, const char* format, const char* a = "", const char* b = "") {
  std::fprintf(stream, format, a, b);
  std::fflush(stream);
}

// Why the first record left out could not be taken.
const char* LeftOutReason(AppendOutcome why) {
  switch (why) {
    case AppendOutcome::NoMemory: return "out of memory, and every record after it with it";
    case AppendOutcome::FileFull:
      return "the file would be larger than MATLAB loads, and every record after it with it";
    case AppendOutcome::Refused: return "no points, no content, or a zero step word";
    case AppendOutcome::Malformed: return "not of the journal's configuration";
    case AppendOutcome::Kept: break;
  }
  return "";
}

// "N of the M records of JOURNAL (the first, record K: why)".
void DescribeLeftOut(const RecoveryRequest& request, const RecoveryReport& r, char* out,
                     size_t size) {
  std::snprintf(out, size, "%llu of the %llu records of %s (the first, record %llu: %s)",
                static_cast<unsigned long long>(r.leftOut),
                static_cast<unsigned long long>(r.records), request.journal,
                static_cast<unsigned long long>(r.firstLeftOut), LeftOutReason(r.leftOutWhy));
}

int Report(const RecoveryRequest& request, RecoveryResult result, const RecoveryReport& r) {
  const char* journal = request.journal;
  char text[1400];
  switch (result) {
    case RecoveryResult::Saved:
    case RecoveryResult::Partial: break;
    case RecoveryResult::Replayed: return kExitFailed;  // never an outcome of Recover
    case RecoveryResult::Missing:
      Say(stderr, "qarvel-recover: %s: no such journal\n", journal);
      return kExitFailed;
    case RecoveryResult::Unreadable:
      Say(stderr, "qarvel-recover: %s: cannot be read: %s\n", journal, r.why);
      return kExitFailed;
    case RecoveryResult::NotAFile:
      Say(stderr, "qarvel-recover: %s is not a regular file; nothing was read or written\n",
          journal);
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
    case RecoveryResult::Invalid:
      Say(stderr,
          "qarvel-recover: %s is not a journal this version can read (its %s); nothing was "
          "written\n",
          journal, r.invalidField);
      return kExitFailed;
    case RecoveryResult::OutputIsJournal:
      Say(stderr, "qarvel-recover: %s is the journal itself; nothing was written and %s is kept\n",
          r.output, journal);
      return kExitFailed;
    case RecoveryResult::OutputExists:
      Say(stderr,
          "qarvel-recover: %s exists; nothing was written and %s is kept. Name the file "
          "to write with -o FILE (an existing file is replaced).\n",
          r.output, journal);
      return kExitFailed;
    case RecoveryResult::LeftOut:
      DescribeLeftOut(request, r, text, sizeof text);
      Say(stderr,
          "qarvel-recover: %s cannot be taken; nothing was written and the journal is kept. "
          "--partial writes the file without them.\n",
          text);
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
  const uint64_t taken = r.records - r.leftOut;
  std::printf("Recovered %d sweep set%s (%llu records) of a %s measurement into %s (%.3fMB).\n",
              r.sets, r.sets == 1 ? "" : "s", static_cast<unsigned long long>(taken),
              kSweepBuilds[r.header.build].program, r.output, ToDouble(r.fileBytes) / 1048576.0);
  // A clock that was wrong, or set back while the run measured, gives times
  // that cannot be shown, and no span between them.
  char started[40];
  FormatSystemTime(r.header.startTime, started, sizeof started);
  if (r.lastStamp != 0) {
    char last[40];
    FormatSystemTime(r.lastStamp, last, sizeof last);
    int64_t ticks;
    if (TimeBetween(r.header.startTime, r.lastStamp, &ticks)) {
      std::printf("Measured from %s; flushed last at %s, %.1f s later.\n", started, last,
                  ToDouble(ticks) / 1e7);
    } else {
      std::printf("Measured from %s; flushed last at %s, an unknown span later.\n", started, last);
    }
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
  if (r.removed) std::printf("Removed the journal %s.\n", journal);
  std::fflush(stdout);
  if (result == RecoveryResult::Partial) {
    DescribeLeftOut(request, r, text, sizeof text);
    Say(stderr, "qarvel-recover: %s were left out of the file; the journal is kept.\n", text);
    return kExitFailed;
  }
  if (!r.removed && !request.snapshot) {
    Say(stderr, "qarvel-recover: the journal %s could not be removed: %s\n", journal, r.why);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  ProcessInit();
  RecoveryRequest request{nullptr, nullptr, false, false};
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--snapshot") == 0) {
      request.snapshot = true;
    } else if (std::strcmp(argv[i], "--partial") == 0) {
      request.partial = true;
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
