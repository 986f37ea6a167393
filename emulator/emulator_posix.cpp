// The emulator engine: a pty served by one thread. It reads the host's
// frames, lets the instrument model answer them, streams sweep sets on
// schedule and applies the byte-level faults on the way out.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <thread>

#include "emulator/emulator.h"
#include "emulator/instrument.h"
#include "link/protocol.h"

namespace {

constexpr double kLinkBytesPerSecond = 46080.0;
// A due sweep set is skipped while this much is still waiting to go out:
// the device cannot measure faster than its port takes the data.
constexpr size_t kMaxBacklogBytes = 64u << 10;
constexpr int64_t kSplitPauseUs = 300;
constexpr size_t kSplitPauseMaxFrame = 64;
constexpr int kIdlePollMs = 20;
constexpr int64_t kVanishDrainUs = 2000000;
constexpr int64_t kVanishSettleUs = 20000;
constexpr int kVanishPollMs = 5;

// A frame on its way out.
struct Pending {
  OutFrame frame;
  size_t sent = 0;
  int64_t notBeforeUs = 0;
};

}  // namespace

struct Emulator {
  EmulatorConfig config;
  Instrument inst;
  int master = -1;
  int slave = -1;         // kept open so that the pty outlives every program's close
  FILE* truth = nullptr;  // config.truthPath, open for writing
  std::thread thread;
  std::atomic<bool> stop{false};

  // Observation, shared with the caller's thread.
  std::mutex mu;
  std::condition_variable frameArrived;
  std::vector<EmulatorFrame> frames;
  std::atomic<uint64_t> receiveErrors{0};
  std::atomic<uint64_t> setsSent{0};
  std::atomic<uint64_t> packetsSent{0};
  std::atomic<uint64_t> setsSkipped{0};
  std::atomic<int> switchPort{-1};
  std::atomic<bool> streaming{false};
  std::atomic<bool> vanished{false};

  // Engine state, thread only.
  FramePacket<65536> rx;
  std::deque<Pending> out;
  size_t backlogBytes = 0;
  uint64_t setsQueued = 0;
  uint64_t dataPacketsQueued = 0;
  bool silent = false;
  int64_t vanishAtUs = -1;  // >= 0 once the device is about to vanish
  int64_t nextSetUs = 0;
  int64_t paceStartUs = 0;
  uint64_t pacedBytes = 0;
};

namespace {

int64_t NowUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

bool MakeRaw(int fd) {
  termios tio;
  if (tcgetattr(fd, &tio) != 0) return false;
  cfmakeraw(&tio);
  tio.c_cflag |= CLOCAL | CREAD;
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  return tcsetattr(fd, TCSANOW, &tio) == 0;
}

// Queues frames, applying the data packet faults and the silence limit.
void Queue(Emulator* emu, std::vector<OutFrame>* frames, int64_t now) {
  const EmulatorConfig& c = emu->config;
  for (OutFrame& f : *frames) {
    if (f.dataPacket) {
      uint64_t k = ++emu->dataPacketsQueued;
      if (c.insertEvery != 0 && k % c.insertEvery == 0) {
        const uint8_t foreign[3] = {1, 2, 3};
        std::vector<OutFrame> extra{MakeFrame(c.insertType, foreign, sizeof foreign)};
        Queue(emu, &extra, now);
      }
      if (c.corruptEvery != 0 && k % c.corruptEvery == 0) f.bytes.back() ^= 0x01;
      if (c.dropByteInPacket == k) f.bytes.erase(f.bytes.begin() + f.bytes.size() / 2);
    }
    Pending p;
    p.notBeforeUs = now + static_cast<int64_t>(f.delayMs) * 1000;
    bool endsSet = f.endsSet;
    p.frame = std::move(f);
    emu->backlogBytes += p.frame.bytes.size();
    emu->out.push_back(std::move(p));
    if (endsSet && ++emu->setsQueued == static_cast<uint64_t>(c.silentAfterSets)) {
      emu->silent = true;
    }
  }
  frames->clear();
}

// Closes the pty once the reader has taken what was already sent (closing
// a pty discards the bytes still buffered in it, which an unplugged USB
// adapter would already have delivered), or after vanishAtUs.
void Vanish(Emulator* emu, int64_t now) {
  // Bytes just written may still be on their way into the tty's buffer.
  if (now < emu->vanishAtUs - kVanishDrainUs + kVanishSettleUs) return;
  int buffered = 0;
  if (now < emu->vanishAtUs && ioctl(emu->slave, FIONREAD, &buffered) == 0 && buffered > 0) {
    return;
  }
  close(emu->master);
  close(emu->slave);
  emu->master = emu->slave = -1;
  emu->out.clear();
  emu->streaming.store(false, std::memory_order_release);
  emu->vanished.store(true, std::memory_order_release);
}

// A stopped measurement sends nothing more than the packet already on the
// wire.
void DropUnsentData(Emulator* emu) {
  for (auto it = emu->out.begin(); it != emu->out.end();) {
    if (it->frame.dataPacket && it->sent == 0) {
      emu->backlogBytes -= it->frame.bytes.size();
      it = emu->out.erase(it);
    } else {
      ++it;
    }
  }
}

void HandleFrame(Emulator* emu, int64_t now) {
  EmulatorFrame f;
  f.type = emu->rx.type;
  f.payload.assign(emu->rx.payload, emu->rx.payload + PayloadBytes(emu->rx.length));
  f.timeUs = now;
  {
    std::lock_guard<std::mutex> lock(emu->mu);
    emu->frames.push_back(f);
  }
  emu->frameArrived.notify_all();
  if (emu->silent) return;

  const bool wasStreaming = emu->inst.streaming;
  std::vector<OutFrame> replies;
  InstrumentCommand(&emu->inst, f.type, f.payload.data(), emu->rx.length, &replies);
  Queue(emu, &replies, now);
  if (wasStreaming && !emu->inst.streaming) DropUnsentData(emu);
  if (emu->inst.streaming && !wasStreaming) {
    emu->nextSetUs =
        now + (emu->config.flatOut ? 0
                                   : static_cast<int64_t>(InstrumentSetPeriod(&emu->inst) * 1e6 /
                                                          emu->config.speed));
  }
  emu->switchPort.store(emu->inst.switchPort, std::memory_order_release);
  emu->streaming.store(emu->inst.streaming, std::memory_order_release);
}

void ReadInput(Emulator* emu, int64_t now) {
  uint8_t buf[4096];
  for (;;) {
    ssize_t n = read(emu->master, buf, sizeof buf);
    if (n <= 0) return;
    uint32_t pos = 0;
    while (pos < static_cast<uint32_t>(n)) {
      uint32_t used = 0;
      bool payloadSeen = false;
      int32_t r =
          ParseFrameBytes(&emu->rx, buf + pos, static_cast<uint32_t>(n) - pos, &used, &payloadSeen);
      pos += used;
      if (r == 0) {
        HandleFrame(emu, now);
      } else if (r != kParseNeedMore) {
        emu->receiveErrors.fetch_add(1, std::memory_order_relaxed);
      }
      if (emu->master < 0) return;
    }
  }
}

// Measures the sweep sets that are due.
void Stream(Emulator* emu, int64_t now) {
  if (!emu->inst.streaming || emu->silent) return;
  std::vector<OutFrame> frames;
  if (emu->config.flatOut) {
    if (emu->out.empty()) {
      InstrumentSweepSet(&emu->inst, &frames);
      Queue(emu, &frames, now);
    }
    return;
  }
  const int64_t periodUs = std::max<int64_t>(
      1, static_cast<int64_t>(InstrumentSetPeriod(&emu->inst) * 1e6 / emu->config.speed));
  // After a stall of more than a second the schedule starts afresh rather
  // than bursting the missed sets.
  if (now - emu->nextSetUs > 1000000) emu->nextSetUs = now;
  while (now >= emu->nextSetUs && !emu->silent) {
    emu->nextSetUs += periodUs;
    if (emu->backlogBytes > kMaxBacklogBytes) {
      // Nobody reads: the sweep is measured but never leaves the device.
      InstrumentSkipSet(&emu->inst);
      emu->setsSkipped.fetch_add(1, std::memory_order_relaxed);
      continue;
    }
    InstrumentSweepSet(&emu->inst, &frames);
    Queue(emu, &frames, now);
  }
}

// Bytes that may be written now under link-rate pacing.
size_t PaceBudget(Emulator* emu, int64_t now) {
  if (!emu->config.linkRate) return SIZE_MAX;
  double allowed = (now - emu->paceStartUs) * 1e-6 * kLinkBytesPerSecond * emu->config.speed;
  return allowed > static_cast<double>(emu->pacedBytes)
             ? static_cast<size_t>(allowed - static_cast<double>(emu->pacedBytes))
             : 0;
}

void FrameWritten(Emulator* emu, const Pending& p) {
  emu->backlogBytes -= p.frame.bytes.size();
  if (p.frame.dataPacket) emu->packetsSent.fetch_add(1, std::memory_order_release);
  if (p.frame.endsSet && emu->truth != nullptr && !p.frame.truth.empty()) {
    std::fputs(p.frame.truth.c_str(), emu->truth);
    std::fflush(emu->truth);
  }
  if (p.frame.endsSet) {
    uint64_t sets = emu->setsSent.fetch_add(1, std::memory_order_release) + 1;
    if (sets == static_cast<uint64_t>(emu->config.vanishAfterSets)) {
      // Nothing more leaves the device.
      emu->silent = true;
      emu->inst.streaming = false;
      emu->streaming.store(false, std::memory_order_release);
      emu->vanishAtUs = NowUs() + kVanishDrainUs;
      emu->out.clear();
      emu->backlogBytes = 0;
    }
  }
}

// Writes what the pty takes. Returns true when output is waiting for the
// pty to drain (rather than for a time).
bool WriteOutput(Emulator* emu, int64_t now) {
  while (!emu->out.empty() && emu->master >= 0) {
    Pending& p = emu->out.front();
    if (now < p.notBeforeUs) return false;
    size_t left = p.frame.bytes.size() - p.sent;
    size_t n = std::min(left, PaceBudget(emu, now));
    if (emu->config.splitWrites) n = std::min<size_t>(n, 1);
    if (n == 0) return false;
    ssize_t w = write(emu->master, p.frame.bytes.data() + p.sent, n);
    if (w <= 0) return true;
    p.sent += static_cast<size_t>(w);
    emu->pacedBytes += static_cast<size_t>(w);
    if (p.sent < p.frame.bytes.size()) {
      if (emu->config.splitWrites && p.frame.bytes.size() <= kSplitPauseMaxFrame) {
        p.notBeforeUs = now + kSplitPauseUs;
      }
      continue;
    }
    Pending done = std::move(p);
    emu->out.pop_front();
    FrameWritten(emu, done);
  }
  if (emu->out.empty()) {
    emu->paceStartUs = now;
    emu->pacedBytes = 0;
  }
  return false;
}

// Milliseconds until the engine has something to do by the clock.
int PollTimeout(const Emulator* emu, int64_t now) {
  int64_t next = now + kIdlePollMs * 1000;
  if (!emu->out.empty()) next = std::min(next, std::max(emu->out.front().notBeforeUs, now + 1000));
  if (emu->inst.streaming && !emu->silent && !emu->config.flatOut) {
    next = std::min(next, emu->nextSetUs);
  }
  return static_cast<int>(std::max<int64_t>(0, (next - now + 999) / 1000));
}

void Serve(Emulator* emu) {
  while (!emu->stop.load(std::memory_order_acquire)) {
    int64_t now = NowUs();
    if (emu->master < 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(kIdlePollMs));
      continue;
    }
    ReadInput(emu, now);
    if (emu->master < 0) continue;
    Stream(emu, now);
    bool blocked = WriteOutput(emu, now);
    now = NowUs();
    if (emu->vanishAtUs >= 0) {
      Vanish(emu, now);
      if (emu->master < 0) continue;
      blocked = false;
    }
    pollfd pfd = {emu->master, static_cast<short>(POLLIN | (blocked ? POLLOUT : 0)), 0};
    int timeout = blocked ? kIdlePollMs : PollTimeout(emu, now);
    if (emu->vanishAtUs >= 0) timeout = kVanishPollMs;
    if (emu->config.flatOut && emu->inst.streaming && !emu->silent && emu->out.empty()) {
      timeout = 0;
    }
    poll(&pfd, 1, timeout);
  }
}

}  // namespace

Emulator* EmulatorStart(const EmulatorConfig& config, std::string* ptyPath) {
  int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0) return nullptr;
  const char* name = nullptr;
  int slave = -1;
  if (grantpt(master) == 0 && unlockpt(master) == 0 && (name = ptsname(master)) != nullptr) {
    slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  }
  // Raw from the start, so that nothing is echoed or translated before a
  // program configures the port.
  if (slave < 0 || !MakeRaw(slave) || fcntl(master, F_SETFL, O_NONBLOCK) != 0) {
    if (slave >= 0) close(slave);
    close(master);
    return nullptr;
  }
  FILE* truth = nullptr;
  if (!config.truthPath.empty() &&
      (truth = std::fopen(config.truthPath.c_str(), "we")) == nullptr) {
    close(slave);
    close(master);
    return nullptr;
  }
  Emulator* emu = new Emulator();
  emu->config = config;
  emu->truth = truth;
  if (!(emu->config.speed > 0) || !std::isfinite(emu->config.speed)) emu->config.speed = 1.0;
  InstrumentInit(&emu->inst, emu->config);
  emu->silent = emu->config.silentAfterSets == 0;
  emu->master = master;
  emu->slave = slave;
  if (ptyPath != nullptr) *ptyPath = name;
  emu->thread = std::thread(Serve, emu);
  return emu;
}

void EmulatorStop(Emulator* emu) {
  if (emu == nullptr) return;
  emu->stop.store(true, std::memory_order_release);
  emu->thread.join();
  if (emu->master >= 0) close(emu->master);
  if (emu->slave >= 0) close(emu->slave);
  if (emu->truth != nullptr) std::fclose(emu->truth);
  delete emu;
}

std::vector<EmulatorFrame> EmulatorFrames(Emulator* emu) {
  std::lock_guard<std::mutex> lock(emu->mu);
  return emu->frames;
}

bool EmulatorWaitFrames(Emulator* emu, size_t count, int timeoutMs) {
  std::unique_lock<std::mutex> lock(emu->mu);
  return emu->frameArrived.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                    [&] { return emu->frames.size() >= count; });
}

int64_t EmulatorNowUs() { return NowUs(); }

uint64_t EmulatorReceiveErrors(Emulator* emu) { return emu->receiveErrors.load(); }
uint64_t EmulatorSetsSent(Emulator* emu) { return emu->setsSent.load(std::memory_order_acquire); }
uint64_t EmulatorPacketsSent(Emulator* emu) {
  return emu->packetsSent.load(std::memory_order_acquire);
}
uint64_t EmulatorSetsSkipped(Emulator* emu) { return emu->setsSkipped.load(); }
int EmulatorSwitchPort(Emulator* emu) { return emu->switchPort.load(std::memory_order_acquire); }
bool EmulatorStreaming(Emulator* emu) { return emu->streaming.load(std::memory_order_acquire); }
bool EmulatorVanished(Emulator* emu) { return emu->vanished.load(std::memory_order_acquire); }
