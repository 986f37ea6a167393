// instrument-emulator: serves an emulated instrument on a pty published as
// a COM port, until SIGINT or SIGTERM.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "emulator/emulator.h"

namespace {

const char kHelp[] =
    "Usage: instrument-emulator sweep|switch [options]\n"
    "\n"
    "Emulates the swept-frequency instrument (sweep) or the RF switch and\n"
    "temperature unit (switch) on a pseudo-terminal, published as DIR/COM<N>\n"
    "where the programs look for COM ports when COMPORT_DIR=DIR is set.\n"
    "Serves until SIGINT or SIGTERM, then removes the link.\n"
    "\n"
    "Options:\n"
    "  --com N             COM port number to publish, 1 to 255 (default 1)\n"
    "  --port-dir DIR      folder of the COM links (default $COMPORT_DIR)\n"
    "  --speed F           run time F times faster (default 1)\n"
    "  --flat-out          send sweep sets as fast as the port takes them\n"
    "  --link-rate         pace bytes at the real link's 46,080 bytes/s\n"
    "  --seed N            seed of the measurement noise (default 1)\n"
    "  --q Q1,Q2,...       quality factor of each range's resonance (0 or\n"
    "                      missing: half-power width 5% of the range's span)\n"
    "  --flat R1,R2,...    ranges (from 1) without a resonance\n"
    "  --noise-db SIGMA    Gaussian noise of the magnitude, dB (default 0.05)\n"
    "  --noise-deg SIGMA   Gaussian noise of the phase, degrees (default 0.2)\n"
    "  --truth FILE        write \"SAMPLE RANGE F0_HZ Q\" per set and range to FILE\n"
    "  --internal RAW      raw internal temperature, 0.1 degree units (default 253)\n"
    "  --external RAW      raw external temperature (default 221)\n"
    "\n"
    "Faults:\n"
    "  --refuse TYPE[=S]   answer command TYPE (e.g. 0x11) with status S (default 1)\n"
    "  --ignore TYPE       leave command TYPE unanswered\n"
    "  --id-status S       answer the identification query with status S\n"
    "  --corrupt-every N   wrong check byte on every Nth data packet\n"
    "  --drop-byte N       drop one byte from the Nth data packet\n"
    "  --split-writes      send every frame in single-byte writes\n"
    "  --insert-every N    send a packet of another type before every Nth data packet\n"
    "  --insert-type TYPE  type of the inserted packets (default 0x7E)\n"
    "  --init-error        flag an initialization error on the first SWEEPDATA\n"
    "  --silent-after N    stop sending and answering after N sets (0: from the start)\n"
    "  --vanish-after N    close the port after N sets (the link is removed)\n"
    "  --no-tempdata       answer TEMPQUERY without ever sending TEMPDATA\n"
    "  --tempdata-delay MS send TEMPDATA MS milliseconds after its STATUS\n"
    "\n"
    "Data packets are SWEEPDATA or TEMPDATA; a set is one sweep set (one\n"
    "SWEEPDATA per range) or one TEMPDATA.\n";

bool ParseInt(const char* text, long lo, long hi, long* value) {
  errno = 0;
  char* end = nullptr;
  long v = std::strtol(text, &end, 0);
  if (errno != 0 || end == text || *end != '\0' || v < lo || v > hi) return false;
  *value = v;
  return true;
}

// Parses a finite number from lo to hi.
bool ParseReal(const char* text, double lo, double hi, double* value) {
  char* end = nullptr;
  errno = 0;
  double v = std::strtod(text, &end);
  if (errno != 0 || end == text || *end != '\0' || !std::isfinite(v) || v < lo || v > hi) {
    return false;
  }
  *value = v;
  return true;
}

// Parses "V1,V2,..." (at most kEmulatorMaxRanges values, each from lo to hi)
// into values; the count into *count.
bool ParseList(const char* text, double lo, double hi, double* values, int* count) {
  std::string list = text;
  *count = 0;
  size_t at = 0;
  for (;;) {
    const size_t comma = list.find(',', at);
    const std::string item = list.substr(at, comma == std::string::npos ? comma : comma - at);
    if (*count == kEmulatorMaxRanges || !ParseReal(item.c_str(), lo, hi, &values[*count])) {
      return false;
    }
    ++*count;
    if (comma == std::string::npos) return true;
    at = comma + 1;
  }
}

// Parses text into *field when it is a number from lo to hi.
template <typename T>
bool ParseField(const char* text, long lo, long hi, T* field) {
  long v = 0;
  if (!ParseInt(text, lo, hi, &v)) return false;
  *field = static_cast<T>(v);
  return true;
}

struct Options {
  EmulatorConfig config;
  long com = 1;
  std::string dir;
};

// Returns 0, 1 for --help, or -1 after printing what is wrong.
int ParseOptions(int argc, char** argv, Options* o) {
  if (argc >= 2 && (!std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h"))) return 1;
  if (argc < 2 || (std::strcmp(argv[1], "sweep") != 0 && std::strcmp(argv[1], "switch") != 0)) {
    std::fprintf(stderr,
                 "instrument-emulator: first argument must be sweep or switch (see --help)\n");
    return -1;
  }
  EmulatorConfig& c = o->config;
  c.kind = std::strcmp(argv[1], "sweep") == 0 ? EmuSweep : EmuSwitch;
  if (const char* env = std::getenv("COMPORT_DIR")) o->dir = env;
  for (int i = 2; i < argc; ++i) {
    const std::string opt = argv[i];
    const char* arg = i + 1 < argc ? argv[i + 1] : nullptr;
    bool ok = true;
    bool takesArg = true;
    if (opt == "--help") return 1;
    if (opt == "--flat-out") {
      c.flatOut = true;
      takesArg = false;
    } else if (opt == "--link-rate") {
      c.linkRate = true;
      takesArg = false;
    } else if (opt == "--split-writes") {
      c.splitWrites = true;
      takesArg = false;
    } else if (opt == "--init-error") {
      c.initError = true;
      takesArg = false;
    } else if (opt == "--no-tempdata") {
      c.withholdTempData = true;
      takesArg = false;
    } else if (arg == nullptr) {
      ok = false;
    } else if (opt == "--com") {
      ok = ParseField(arg, 1, 255, &o->com);
    } else if (opt == "--port-dir") {
      o->dir = arg;
    } else if (opt == "--speed") {
      char* end = nullptr;
      c.speed = std::strtod(arg, &end);
      ok = *end == '\0' && end != arg && c.speed > 0 && std::isfinite(c.speed);
    } else if (opt == "--refuse") {
      std::string refusal = arg;
      size_t eq = refusal.find('=');
      ok = ParseField(refusal.substr(0, eq).c_str(), 0, 255, &c.refuseType);
      if (ok && eq != std::string::npos) {
        ok = ParseField(refusal.c_str() + eq + 1, -32768, 32767, &c.refuseStatus);
      }
    } else if (opt == "--ignore") {
      ok = ParseField(arg, 0, 255, &c.refuseType);
      c.refuseSilently = true;
    } else if (opt == "--id-status") {
      ok = ParseField(arg, -32768, 32767, &c.idStatus);
    } else if (opt == "--seed") {
      ok = ParseField(arg, 0, 0xFFFFFFFFL, &c.seed);
    } else if (opt == "--q") {
      int count = 0;
      ok = ParseList(arg, 0, 1e9, c.q, &count);
    } else if (opt == "--flat") {
      double ranges[kEmulatorMaxRanges];
      int count = 0;
      ok = ParseList(arg, 1, kEmulatorMaxRanges, ranges, &count);
      for (int k = 0; ok && k < count; ++k) {
        ok = ranges[k] == std::floor(ranges[k]);
        c.flatRanges |= 1u << (static_cast<int>(ranges[k]) - 1);
      }
    } else if (opt == "--noise-db") {
      ok = ParseReal(arg, 0, 10, &c.magnitudeNoiseDb);
    } else if (opt == "--noise-deg") {
      ok = ParseReal(arg, 0, 30, &c.phaseNoiseDeg);
    } else if (opt == "--truth") {
      c.truthPath = arg;
      ok = !c.truthPath.empty();
    } else if (opt == "--internal") {
      ok = ParseField(arg, 0, 65535, &c.internalRaw);
    } else if (opt == "--external") {
      ok = ParseField(arg, 0, 65535, &c.externalRaw);
    } else if (opt == "--corrupt-every") {
      ok = ParseField(arg, 0, 1L << 30, &c.corruptEvery);
    } else if (opt == "--drop-byte") {
      ok = ParseField(arg, 0, 1L << 30, &c.dropByteInPacket);
    } else if (opt == "--insert-every") {
      ok = ParseField(arg, 0, 1L << 30, &c.insertEvery);
    } else if (opt == "--insert-type") {
      ok = ParseField(arg, 0, 255, &c.insertType);
    } else if (opt == "--silent-after") {
      ok = ParseField(arg, 0, 1L << 30, &c.silentAfterSets);
    } else if (opt == "--vanish-after") {
      ok = ParseField(arg, 1, 1L << 30, &c.vanishAfterSets);
    } else if (opt == "--tempdata-delay") {
      ok = ParseField(arg, 0, 3600000, &c.tempDataDelayMs);
    } else {
      std::fprintf(stderr, "instrument-emulator: unknown option %s (see --help)\n", opt.c_str());
      return -1;
    }
    if (!ok) {
      std::fprintf(stderr, "instrument-emulator: bad or missing value for %s\n", opt.c_str());
      return -1;
    }
    if (takesArg) ++i;
  }
  if (o->dir.empty()) {
    std::fprintf(stderr, "instrument-emulator: set COMPORT_DIR or give --port-dir\n");
    return -1;
  }
  return 0;
}

// Removes the link unless another emulator has published its own there
// since.
void Unpublish(const std::string& link, const std::string& pty) {
  char target[4096];
  ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
  if (n < 0) return;
  target[n] = '\0';
  if (pty == target) unlink(link.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  int parsed = ParseOptions(argc, argv, &o);
  if (parsed != 0) {
    if (parsed > 0) std::fputs(kHelp, stdout);
    return parsed > 0 ? 0 : 2;
  }
  // The signals are taken with sigtimedwait; blocked before the engine's
  // thread starts so that it inherits the mask.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  if (mkdir(o.dir.c_str(), 0777) != 0 && errno != EEXIST) {
    std::fprintf(stderr, "instrument-emulator: cannot create %s: %s\n", o.dir.c_str(),
                 std::strerror(errno));
    return 1;
  }
  if (!o.config.truthPath.empty()) {
    // Said here, with the reason, rather than as a failed start.
    FILE* truth = std::fopen(o.config.truthPath.c_str(), "w");
    if (truth == nullptr) {
      std::fprintf(stderr, "instrument-emulator: cannot write %s: %s\n", o.config.truthPath.c_str(),
                   std::strerror(errno));
      return 1;
    }
    std::fclose(truth);
  }
  std::string pty;
  Emulator* emu = EmulatorStart(o.config, &pty);
  if (emu == nullptr) {
    std::fprintf(stderr, "instrument-emulator: cannot create a pty: %s\n", std::strerror(errno));
    return 1;
  }
  const std::string link = o.dir + "/COM" + std::to_string(o.com);
  unlink(link.c_str());
  if (symlink(pty.c_str(), link.c_str()) != 0) {
    std::fprintf(stderr, "instrument-emulator: cannot publish %s: %s\n", link.c_str(),
                 std::strerror(errno));
    EmulatorStop(emu);
    return 1;
  }
  std::printf("Serving the %s on %s as %s\n",
              o.config.kind == EmuSweep ? "sweep instrument" : "switch unit", pty.c_str(),
              link.c_str());
  std::fflush(stdout);

  bool published = true;
  const timespec tick = {0, 100 * 1000 * 1000};
  for (;;) {
    int sig = sigtimedwait(&stopSignals, nullptr, &tick);
    if (sig > 0) break;
    if (published && EmulatorVanished(emu)) {
      // An unplugged device takes its port with it.
      Unpublish(link, pty);
      published = false;
      std::printf("Port closed after %llu sets; %s removed\n",
                  static_cast<unsigned long long>(EmulatorSetsSent(emu)), link.c_str());
      std::fflush(stdout);
    }
  }
  if (published) Unpublish(link, pty);
  std::printf("Stopped after %llu sets (%llu data packets)\n",
              static_cast<unsigned long long>(EmulatorSetsSent(emu)),
              static_cast<unsigned long long>(EmulatorPacketsSent(emu)));
  std::fflush(stdout);
  EmulatorStop(emu);
  return 0;
}
