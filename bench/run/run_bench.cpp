// Whole-program benchmarks of qarvel against the emulated instrument:
//   ingest   flat-out full-size sets through a pty: MB/s, ratio to the link,
//            sets lost, and peak resident memory against the doubles stored
//   cpu      CPU time per wall second at the real link rate
//   stop     key byte on stdin to the stop frame at the instrument
// ingest and cpu run three times: with the journal ("journal_on_" lines),
// without ("journal_off_": a file name too long for a journal beside it, 250
// characters and ".journal", leaves a run without one), and with the journal
// and qarvel-track --follow writing the live page, its JSON and the CSV every
// half second ("followed_", with the follower's updates and CPU time).
// Usage: run_bench [ingest|cpu|stop]... (default: all)
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "emulator/emulator.h"
#include "tests/support/harness.h"

namespace {

constexpr double kLinkBytesPerSecond = 46080.0;

struct Outcome {
  std::string output;
  int exitCode;
  double userSystemSeconds;  // CPU time of qarvel
  long maxRssKiB;
  double wallSeconds;
};

// Little-endian readers for the result file.
uint32_t U32(const std::string& b, size_t p) {
  uint32_t v;
  std::memcpy(&v, b.data() + p, 4);
  return v;
}

// NumberOfSweeps, the last field of the SweepInfo structure, read straight
// from the file: walk the top-level elements to "SweepInfo", then take the
// real part of its last field.
double NumberOfSweeps(const std::string& f) {
  size_t pos = 128;
  while (pos + 8 <= f.size()) {
    uint32_t size = U32(f, pos + 4);
    size_t body = pos + 8;
    // flags (16), dims (16), name tag (8) + name
    uint32_t nameLen = U32(f, body + 36);
    std::string name = f.substr(body + 40, nameLen);
    if (name == "SweepInfo") {
      size_t p = body + 40 + ((nameLen + 7) & ~7u) + 8;  // skip field-name length
      uint32_t namesBytes = U32(f, p + 4);
      p += 8 + namesBytes;
      double last = -1;
      while (p < body + size) {
        uint32_t fieldSize = U32(f, p + 4);
        std::memcpy(&last, f.data() + p + 8 + fieldSize - 8, 8);
        p += 8 + fieldSize;
      }
      return last;
    }
    pos = body + size;
  }
  return -1;
}

std::vector<std::string> FullSizeRanges() {
  std::vector<std::string> r;
  for (int i = 0; i < 8; ++i)
    r.push_back(std::to_string(10 + 10 * i) + ":" + std::to_string(19 + 10 * i) + ":16000");
  return r;
}

// Runs qarvel against an emulator published as COM1; `during` runs while
// the measurement streams.
Outcome RunQarvel(const EmulatorConfig& config, const std::vector<std::string>& args,
                  Emulator** emuOut, const std::string& work,
                  void (*during)(Process*, Emulator*) = nullptr) {
  PortDir ports;
  std::string pty;
  Emulator* emu = EmulatorStart(config, &pty);
  PublishPort(ports, 1, pty);
  ProcessOptions o;
  o.argv = ProgramCommand("qarvel");
  o.argv.insert(o.argv.end(), args.begin(), args.end());
  o.env = PortEnv(ports);
  o.cwd = work;
  o.stdinPipe = true;
  rusage before{};
  getrusage(RUSAGE_CHILDREN, &before);
  auto t0 = std::chrono::steady_clock::now();
  ProcessHandle p = StartProcess(o);
  if (during != nullptr) during(p.get(), emu);
  Outcome out{};
  out.exitCode = WaitExit(p.get(), 600000);
  out.wallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  out.output = Output(p.get());
  p.reset();
  rusage after{};
  getrusage(RUSAGE_CHILDREN, &after);
  auto secs = [](const timeval& t) { return t.tv_sec + t.tv_usec * 1e-6; };
  out.userSystemSeconds =
      secs(after.ru_utime) - secs(before.ru_utime) + secs(after.ru_stime) - secs(before.ru_stime);
  out.maxRssKiB = after.ru_maxrss;
  *emuOut = emu;
  return out;
}

struct Mode {
  const char* name;  // the prefix of its lines
  bool journal, followed;
};
const Mode kModes[] = {
    {"journal_on", true, false}, {"journal_off", false, false}, {"followed", true, true}};

// The file a run saves: one that a journal goes beside, or one whose name
// leaves no room for a journal.
std::string Target(const char* stem, const Mode& mode) {
  return mode.journal ? std::string(stem) + ".mat" : std::string(246, 'j') + ".mat";
}

void Print(const Mode& mode, const char* name, const char* format, double value) {
  std::printf("%s_%s: ", mode.name, name);
  std::printf(format, value);
  std::printf("\n");
}

// qarvel-track --follow on the run that saves target, started before it as
// a user would, writing the page, the JSON and the CSV every half second.
ProcessHandle StartFollower(const Mode& mode, const std::string& work, const std::string& target) {
  if (!mode.followed) return ProcessHandle(nullptr, EndProcess);
  ProcessOptions o;
  o.argv = {QARVEL_BUILD_DIR "/qarvel-track",
            "--follow",
            target,
            "--html",
            "live.html",
            "--json",
            "live.json",
            "-o",
            "rows.csv",
            "--every",
            "0.5"};
  o.env = {"TMPDIR=" + work};
  o.cwd = work;
  o.stderrPath = work + "/follower.err";
  return StartProcess(o);
}

// Waits for the follower to see the save and end: its exit, its updates,
// and the CPU time it took (a child's times count once it is reaped).
void ReportFollower(const Mode& mode, Process* follower, const std::string& work,
                    double runSeconds) {
  if (follower == nullptr) return;
  rusage before{}, after{};
  getrusage(RUSAGE_CHILDREN, &before);
  const int exit = WaitExit(follower, 120000);
  getrusage(RUSAGE_CHILDREN, &after);
  auto secs = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
  const double cpu =
      secs(after.ru_utime) - secs(before.ru_utime) + secs(after.ru_stime) - secs(before.ru_stime);
  const std::string out = Output(follower);
  Print(mode, "follower_exit", "%.0f", exit);
  Print(mode, "follower_updates", "%.0f",
        static_cast<double>(std::count(out.begin(), out.end(), '\n')));
  Print(mode, "follower_cpu", "%.3f s", cpu);
  Print(mode, "follower_cpu_share", "%.2f %% of one core", 100.0 * cpu / runSeconds);
  const std::string err = ReadFileBytes(work + "/follower.err");
  if (!err.empty()) std::fprintf(stderr, "%s", err.c_str());
  for (const char* name :
       {"follower.err", "live.html", "live.html.data.js", "live.json", "rows.csv"}) {
    std::remove((work + "/" + name).c_str());
  }
}

void Ingest(const std::string& work, const Mode& mode) {
  EmulatorConfig c;
  c.flatOut = true;
  const std::string target = Target("ingest", mode);
  std::vector<std::string> args = {target};
  auto ranges = FullSizeRanges();
  args.insert(args.end(), ranges.begin(), ranges.end());
  args.push_back("-r500");
  args.push_back("-e5");
  Emulator* emu = nullptr;
  ProcessHandle follower = StartFollower(mode, work, target);
  Outcome o = RunQarvel(c, args, &emu, work);
  ReportFollower(mode, follower.get(), work, o.wallSeconds);
  uint64_t sets = EmulatorSetsSent(emu);
  EmulatorStop(emu);
  std::string file = ReadFileBytes(work + "/" + target);
  double saved = NumberOfSweeps(file);
  // Payload bytes per set: 8 packets of 21 + 16000 x 2 x 2 bytes.
  double bytes = static_cast<double>(sets) * 8 * (8 + 21 + 64000 + 1);
  // The streaming lasted the auto-stop time (5 s) and the moments around it.
  double mbps = bytes / 5.0 / 1e6;
  Print(mode, "ingest_sets_sent", "%.0f sets", static_cast<double>(sets));
  Print(mode, "ingest_sets_saved", "%.0f sets", saved);
  Print(mode, "ingest_sets_lost", "%.0f sets", static_cast<double>(sets) - saved);
  Print(mode, "ingest_rate", "%.1f MB/s", mbps);
  Print(mode, "ingest_link_ratio", "%.0f x", bytes / 5.0 / kLinkBytesPerSecond);
  Print(mode, "ingest_file", "%.1f MB", file.size() / 1e6);
  std::remove((work + "/" + target).c_str());
  // Memory: the same run's peak resident size against the doubles kept. The
  // peak is the largest of every child reaped so far, the follower's and
  // the earlier runs' included, so a followed run, which comes last, has none.
  if (mode.followed) return;
  double stored = saved * 8 * 16000 * 2 * 8.0;
  double peak = o.maxRssKiB * 1024.0;
  Print(mode, "memory_doubles", "%.1f MiB", stored / 1048576.0);
  Print(mode, "memory_peak_rss", "%.1f MiB", peak / 1048576.0);
  Print(mode, "memory_ratio", "%.3f x", peak / stored);
  Print(mode, "memory_above_1.1x", "%.1f MiB", (peak - 1.1 * stored) / 1048576.0);
}

void Cpu(const std::string& work, const Mode& mode) {
  EmulatorConfig c;
  c.linkRate = true;
  Emulator* emu = nullptr;
  // Two ranges at 40 Hz: about 44 kB/s, close to what the link carries.
  const std::string target = Target("cpu", mode);
  ProcessHandle follower = StartFollower(mode, work, target);
  Outcome o = RunQarvel(c, {target, "10:20:201", "25:26:351", "-r40", "-e10"}, &emu, work);
  ReportFollower(mode, follower.get(), work, o.wallSeconds);
  uint64_t packets = EmulatorPacketsSent(emu);
  EmulatorStop(emu);
  Print(mode, "cpu_wall", "%.1f s", o.wallSeconds);
  Print(mode, "cpu_data_rate", "%.1f kB/s",
        packets / 2.0 * (2 * 21 + 201 * 4 + 351 * 4 + 18) / o.wallSeconds / 1e3);
  Print(mode, "cpu_time", "%.3f s", o.userSystemSeconds);
  Print(mode, "cpu_share", "%.2f %% of one core", 100.0 * o.userSystemSeconds / o.wallSeconds);
  std::remove((work + "/" + target).c_str());
}

std::vector<double> StopLatencies;

void StopDuring(Process* p, Emulator* emu) {
  WaitForOutput(p, "Started.", 30000);
  std::this_thread::sleep_for(std::chrono::milliseconds(700));
  size_t framesBefore = EmulatorFrames(emu).size();
  int64_t sentUs = EmulatorNowUs();
  WriteStdin(p, "s");
  EmulatorWaitFrames(emu, framesBefore + 1, 5000);
  for (const auto& f : EmulatorFrames(emu)) {
    if (f.type == 0x40 && f.payload.size() == 2 && f.payload[0] == 0 && f.timeUs >= sentUs) {
      StopLatencies.push_back((f.timeUs - sentUs) / 1000.0);
      break;
    }
  }
}

void Stop(const std::string& work) {
  for (int i = 0; i < 5; ++i) {
    Emulator* emu = nullptr;
    RunQarvel(EmulatorConfig{}, {"stop.mat", "10:20:101"}, &emu, work, StopDuring);
    EmulatorStop(emu);
  }
  double sum = 0, worst = 0;
  for (double l : StopLatencies) {
    sum += l;
    worst = std::max(worst, l);
  }
  std::printf("stop_latency_mean: %.1f ms\n",
              StopLatencies.empty() ? -1 : sum / StopLatencies.size());
  std::printf("stop_latency_max: %.1f ms\n", StopLatencies.empty() ? -1 : worst);
  std::remove((work + "/stop.mat").c_str());
}

}  // namespace

int main(int argc, char** argv) {
  const TempDir folder("run-bench");
  const std::string& work = folder.path;
  std::vector<std::string> which(argv + 1, argv + argc);
  auto wanted = [&](const char* name) {
    return which.empty() || std::find(which.begin(), which.end(), name) != which.end();
  };
  for (const Mode& mode : kModes) {
    if (wanted("ingest")) Ingest(work, mode);
  }
  for (const Mode& mode : kModes) {
    if (wanted("cpu")) Cpu(work, mode);
  }
  if (wanted("stop")) Stop(work);
  return 0;
}
