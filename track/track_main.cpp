// qarvel-track: the resonance of every set of a series (result files,
// journals, vexa folders), one row per set and range, as CSV or MAT.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "link/status.h"
#include "matfile/matfile.h"
#include "platform/platform.h"
#include "track/track.h"

namespace {

const char kUsage[] =
    "usage: qarvel-track SOURCE... [-o OUT.csv | -o OUT.mat] [--range N]\n"
    "\n"
    "Fits the resonance of every set of the series that the SOURCEs hold, in the\n"
    "order given: qarvel's and vexa's result files, journals (a live run's too, read\n"
    "as it stands) and vexa's working folders (their cycles in numeric order).\n"
    "Writes one row per set and range as CSV, on standard output or into OUT.csv,\n"
    "or sets x ranges matrices into OUT.mat. --range N keeps range N (from 1) alone.\n"
    "\n"
    "       qarvel-track --follow TARGET [--html PAGE.html] [--json FILE.json] [-o OUT.csv]\n"
    "                    [--every SECONDS] [--wait SECONDS] [--stall SECONDS]\n"
    "\n"
    "Follows the run that will save TARGET (vexa: its working folder) while it\n"
    "measures, reading only what its journal gains: every --every seconds (2) it\n"
    "rewrites the live page PAGE.html that any browser opens, the JSON FILE.json,\n"
    "and prints \"HH:MM:SS STATUS NAME SETS MHZ...\"; OUT.csv gets each set's rows as\n"
    "it completes. It waits --wait seconds (30) for a live run; no set for --stall\n"
    "seconds (10) is \"stalled\". Exit 0 saved, 1 no run or no data, 3 the run died.\n";

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

struct Options {
  const char* const* sources;
  int sourceCount;
  const char* output;  // null: CSV on standard output
  bool mat;
  int32_t range;  // 0: every range
};

bool EndsWithIgnoringCase(const char* text, const char* end) {
  const size_t length = std::strlen(text), n = std::strlen(end);
  if (length <= n) return false;
  for (size_t i = 0; i < n; ++i) {
    char c = text[length - n + i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != end[i]) return false;
  }
  return true;
}

// False for a command line it does not take.
bool ParseOptions(int argc, char** argv, Options* o, char** sources) {
  *o = Options{sources, 0, nullptr, false, 0};
  bool optionsEnd = false;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (!optionsEnd && std::strcmp(arg, "--") == 0) {
      optionsEnd = true;
    } else if (!optionsEnd && std::strcmp(arg, "-o") == 0) {
      if (i + 1 >= argc || o->output != nullptr) return false;
      o->output = argv[++i];
      o->mat = EndsWithIgnoringCase(o->output, ".mat");
      if (!o->mat && !EndsWithIgnoringCase(o->output, ".csv")) return false;
    } else if (!optionsEnd && std::strcmp(arg, "--range") == 0) {
      if (i + 1 >= argc || o->range != 0) return false;
      const char* text = argv[++i];
      if (text[0] < '1' || text[0] > '8' || text[1] != '\0') return false;
      o->range = text[0] - '0';
    } else if (!optionsEnd && arg[0] == '-') {
      return false;
    } else {
      sources[o->sourceCount++] = argv[i];
    }
  }
  return o->sourceCount > 0;
}

void Say(const char* text) {
  std::fprintf(stderr, "qarvel-track: %s\n", text);
  std::fflush(stderr);
}

void SayNote(const char* text, void*) { Say(text); }

// Whether out names the same file as a source, or as a member of a source
// folder: writing it would replace a measurement.
struct SameFile {
  FileHandle output;
  const char* folder;
  const char* found;
  char member[kTrackPathBytes];
};

void CompareMember(const char* name, void* context) {
  SameFile& s = *static_cast<SameFile*>(context);
  if (s.found != nullptr) return;
  char path[kTrackPathBytes];
  const int n = std::snprintf(path, sizeof path, "%s%s", s.folder, name);
  if (n > 0 && static_cast<size_t>(n) < sizeof path && IsSameFile(s.output, path)) {
    std::snprintf(s.member, sizeof s.member, "%s", path);
    s.found = s.member;
  }
}

const char* SourceThatIsOutput(const Options& o, SameFile* same) {
  OpenOutcome outcome;
  char why[8];
  same->output = OpenForReading(o.output, false, &outcome, why, sizeof why);
  same->found = nullptr;
  if (same->output == kInvalidFile) return nullptr;  // nothing there yet
  for (int i = 0; i < o.sourceCount && same->found == nullptr; ++i) {
    const char* source = o.sources[i];
    if (!IsFolder(source)) {
      if (IsSameFile(same->output, source)) same->found = source;
      continue;
    }
    char folder[kTrackPathBytes];
    const size_t length = std::strlen(source);
    const bool separated = length > 0 && (source[length - 1] == '/' || source[length - 1] == '\\');
    std::snprintf(folder, sizeof folder, "%s%s", source, separated ? "" : "/");
    same->folder = folder;
    VisitFolder(folder, CompareMember, same);
  }
  CloseFile(same->output);
  return same->found;
}

// The CSV, through a buffer, to standard output or to the file being saved.
struct CsvOut {
  FileHandle file;  // kInvalidFile: standard output
  char buffer[1 << 16];
  size_t length;
  bool failed;
  char why[160];

  void Flush() {
    if (length == 0 || failed) {
      length = 0;
      return;
    }
    const bool written = file != kInvalidFile ? WriteOutputFile(file, buffer, length)
                                              : std::fwrite(buffer, 1, length, stdout) == length &&
                                                    std::fflush(stdout) == 0;
    if (!written) {
      failed = true;
      if (file != kInvalidFile) {
        LastErrorText(why, sizeof why);
      } else {
        std::snprintf(why, sizeof why, "%s", std::strerror(errno));
      }
    }
    length = 0;
  }
  void Put(const char* text, size_t n) {
    if (sizeof buffer - length < n) Flush();
    std::memcpy(buffer + length, text, n);
    length += n;
  }
};

// --follow's command line; false for one it does not take.
bool Seconds(const char* text, double* value) {
  char* end = nullptr;
  const double v = std::strtod(text, &end);
  if (end == text || *end != '\0' || !(v > 0 && v < 1e6)) return false;
  *value = v;
  return true;
}

bool ParseFollow(int argc, char** argv, FollowOptions* o) {
  *o = FollowOptions{nullptr, nullptr, nullptr, nullptr, 2.0, 30.0, 10.0, true};
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    const char** text = std::strcmp(arg, "--follow") == 0 ? &o->target
                        : std::strcmp(arg, "--html") == 0 ? &o->pagePath
                        : std::strcmp(arg, "--json") == 0 ? &o->jsonPath
                        : std::strcmp(arg, "-o") == 0     ? &o->csvPath
                                                          : nullptr;
    double* seconds = std::strcmp(arg, "--every") == 0   ? &o->everyS
                      : std::strcmp(arg, "--wait") == 0  ? &o->waitS
                      : std::strcmp(arg, "--stall") == 0 ? &o->stallS
                                                         : nullptr;
    if (value == nullptr || (text == nullptr && seconds == nullptr)) return false;
    if (text != nullptr) {
      if (*text != nullptr || value[0] == '\0') return false;
      *text = value;
    } else if (!Seconds(value, seconds)) {
      return false;
    }
    ++i;
  }
  return o->target != nullptr &&
         (o->csvPath == nullptr || EndsWithIgnoringCase(o->csvPath, ".csv"));
}

void SayFollow(const char* text, void*) { Say(text); }

// An output that is the target itself, or a journal's name, would take what
// the run keeps.
const char* OutputThatIsTheRun(const FollowOptions& o) {
  const char* outputs[3] = {o.pagePath, o.jsonPath, o.csvPath};
  for (const char* output : outputs) {
    if (output == nullptr) continue;
    if (EndsWithIgnoringCase(output, ".journal") || EndsWithIgnoringCase(output, ".mat"))
      return output;
    OpenOutcome outcome;
    char why[8];
    const FileHandle file = OpenForReading(output, false, &outcome, why, sizeof why);
    if (file == kInvalidFile) continue;
    const bool same = IsSameFile(file, o.target);
    CloseFile(file);
    if (same) return output;
  }
  for (int i = 0; i < 3; ++i) {
    for (int j = i + 1; j < 3; ++j) {
      if (outputs[i] != nullptr && outputs[j] != nullptr &&
          std::strcmp(outputs[i], outputs[j]) == 0)
        return outputs[j];
    }
  }
  return nullptr;
}

int Follow(int argc, char** argv) {
  FollowOptions o;
  if (!ParseFollow(argc, argv, &o)) {
    std::fputs(kUsage, stderr);
    std::fflush(stderr);
    return kExitUsage;
  }
  if (const char* output = OutputThatIsTheRun(o)) {
    char text[kTrackPathBytes + 200];
    std::snprintf(text, sizeof text,
                  "%s would replace the run's file, its journal or another output; nothing was "
                  "written",
                  output);
    Say(text);
    return kExitUsage;
  }
  return RunFollower(o, SayFollow, nullptr);
}

int Run(const Options& o) {
  if (o.output != nullptr) {
    SameFile same{};
    if (const char* source = SourceThatIsOutput(o, &same)) {
      char text[2 * kTrackPathBytes + 100];
      std::snprintf(text, sizeof text, "-o %s is the source %s itself; nothing was written",
                    o.output, source);
      Say(text);
      return kExitFailed;
    }
  }

  static SeriesReader reader;
  static TrackMat mat;
  static CsvOut csv;
  StartSeriesReader(&reader, SayNote, nullptr);
  csv.file = kInvalidFile;
  if (o.mat) {
    if (AllocDiskBuffer(kDiskBufferBytes) != NoError ||
        BeginTrackMat(&mat, o.output, o.range) != NoError) {
      Say(mat.message[0] != '\0' ? mat.message : "no memory for the MAT writer");
      return kExitFailed;
    }
  } else if (o.output != nullptr) {
    csv.file = CreateOutputFile(o.output);
    if (csv.file == kInvalidFile) {
      char why[160];
      LastErrorText(why, sizeof why);
      char text[kTrackPathBytes + 200];
      std::snprintf(text, sizeof text, "cannot write %s: %s", o.output, why);
      Say(text);
      return kExitFailed;
    }
  }

  int64_t rows = 0;
  int32_t status = NoError;
  const char* failure = nullptr;
  static TrackedSet set;
  uint32_t lackingSource = 0;  // the last source whose sets lack the range kept
  for (int i = 0; i < o.sourceCount && status == NoError; ++i) {
    status = OpenSeriesSource(&reader, o.sources[i]);
    int32_t got = status == NoError ? 1 : status;
    while (status == NoError && (got = NextSeriesSet(&reader, &set)) > 0) {
      if (o.range > set.ranges) {
        if (set.sourceIndex != lackingSource) {
          lackingSource = set.sourceIndex;
          char text[kTrackPathBytes + 100];
          std::snprintf(text, sizeof text, "%s has %d range%s: no rows for --range %d", set.source,
                        static_cast<int>(set.ranges), set.ranges == 1 ? "" : "s",
                        static_cast<int>(o.range));
          Say(text);
        }
        continue;
      }
      if (o.mat) {
        status = AddTrackMatSet(&mat, set);
        if (status != NoError) failure = mat.message;
        ++rows;
        continue;
      }
      if (rows == 0) csv.Put(kTrackCsvHeader, std::strlen(kTrackCsvHeader));
      char row[kTrackRowBytes];
      for (int32_t k = o.range > 0 ? o.range - 1 : 0; k < (o.range > 0 ? o.range : set.ranges);
           ++k) {
        csv.Put(row, FormatTrackRow(set, k, row, sizeof row));
        ++rows;
      }
      if (csv.failed) {
        status = WriteError;
        failure = csv.why;
      }
    }
    if (got < 0) {
      status = got;
      failure = reader.message;
    }
  }
  EndSeriesReader(&reader);

  if (status == NoError && rows == 0) {
    status = NoData;
    failure = o.sourceCount == 1 ? "nothing to track: the source holds no complete sweep set"
                                 : "nothing to track: the sources hold no complete sweep set";
  }
  if (o.mat) {
    if (status == NoError) {
      status = FinishTrackMat(&mat);
      if (status != NoError) failure = mat.message;
    } else {
      AbandonTrackMat(&mat);
    }
    FreeDiskBuffer();
  } else {
    csv.Flush();
    if (status == NoError && csv.failed) {
      status = WriteError;
      failure = csv.why;
    }
    if (csv.file != kInvalidFile) {
      if (status != NoError) {
        DiscardOutputFile(csv.file);
      } else if (!CloseOutputFile(csv.file)) {
        status = WriteError;
        failure = "the file could not be saved";
      }
    }
  }
  if (status == NoError) return 0;
  char text[kTrackMessageBytes + kTrackPathBytes + 100];
  if (status == WriteError && failure == csv.why) {
    std::snprintf(text, sizeof text, "cannot write %s: %s",
                  o.output != nullptr ? o.output : "to standard output", failure);
  } else {
    std::snprintf(text, sizeof text, "%s", failure != nullptr ? failure : StatusMessage(status));
  }
  if (o.output != nullptr) {
    const size_t length = std::strlen(text);
    std::snprintf(
        text + length, sizeof text - length, "%s",
        std::strstr(text, "nothing was written") != nullptr ? "" : "; nothing was written");
  }
  Say(text);
  return kExitFailed;
}

}  // namespace

int main(int argc, char** argv) {
  ProcessInit();
  InstallExitHandlers();
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--follow") == 0) return Follow(argc, argv);
  }
  char** sources = static_cast<char**>(std::malloc(sizeof(char*) * static_cast<size_t>(argc)));
  Options o;
  if (sources == nullptr || !ParseOptions(argc, argv, &o, sources)) {
    std::fputs(kUsage, stderr);
    std::fflush(stderr);
    std::free(sources);
    return sources == nullptr ? kExitFailed : kExitUsage;
  }
  const int code = Run(o);
  std::free(sources);
  return code;
}
