// Instrument emulators: the swept-frequency resonance instrument and the RF
// switch and temperature unit, each served on a pseudo-terminal so that the
// programs reach them through their ordinary serial port code.
//
// An emulator runs on its own thread. Tests, benchmarks and the program
// instrument-emulator start one with EmulatorStart, publish the returned
// pty path as a COM port (a COM<n> link in $COMPORT_DIR), watch what it
// receives and sends through the observation calls, and end it with
// EmulatorStop.
//
// Sweep instrument: answers START, IDQUERY, CONFBASIC, CONFFREQ and CONFLED
// with STATUS. After START with run byte 1 it streams one SWEEPDATA packet
// per configured range for every sweep set, one set per realized sampling
// period (period word x 0.00019965 s), until START with run byte 0.
// Switch unit: answers SWIDQUERY and SETPORT with STATUS, and TEMPQUERY with
// STATUS and then TEMPDATA. Commands the emulated device does not know are
// not answered, as a foreign device would not answer them.
//
// "Sets" below are data sets: a whole sweep set (one SWEEPDATA per range) of
// the sweep instrument, one TEMPDATA of the switch unit. "Data packets" are
// the SWEEPDATA or TEMPDATA packets.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Sweep ranges the instrument takes.
constexpr int kEmulatorMaxRanges = 8;

enum EmulatorKind : int {
  EmuSweep = 0,   // swept-frequency resonance instrument
  EmuSwitch = 1,  // RF switch and temperature unit
};

struct EmulatorConfig {
  EmulatorKind kind = EmuSweep;

  // Time runs this many times faster: sweep sets and byte pacing.
  double speed = 1.0;
  // Sends each sweep set as soon as the previous one has gone into the pty,
  // ignoring the sampling period (benchmarks).
  bool flatOut = false;
  // Paces every byte at the real link's 46,080 bytes/s (460800 baud, 10 bits
  // a byte), times speed.
  bool linkRate = false;
  // Seed of the measurement noise: the same seed and commands give the same
  // samples.
  uint32_t seed = 1;

  // --- the sweep instrument's resonance ---
  // Each range holds one resonance seen in transmission: magnitude
  // 10 log10(A / (1 + x^2)) dB and phase phi0 - atan(x) degrees, with
  // x = 2 Q (f - f0) / f0. f0 swings by a tenth of the span about the middle
  // of the range, once a minute of instrument time.
  // Quality factor of each range; 0 takes the default, which makes the
  // half-power width 5% of the range's span at its middle.
  double q[kEmulatorMaxRanges] = {};
  // Ranges without a resonance (bit r for range r): flat but for the noise.
  uint32_t flatRanges = 0;
  // Standard deviations of the Gaussian noise on every point; 0: none.
  double magnitudeNoiseDb = 0.05;
  double phaseNoiseDeg = 0.2;
  // When set, this file is made anew and the truth of every sweep set is
  // written to it as the set's last packet goes out, and flushed: one line
  // per range, "SAMPLE RANGE F0_HZ Q" (ranges from 1; "nan nan" for a flat
  // range). Sets that never go out have none.
  std::string truthPath = "";

  // Raw TEMPDATA values (0.1 degree units; 0 reads as "no value").
  uint16_t internalRaw = 253;
  uint16_t externalRaw = 221;

  // --- faults ---
  // A command of this type (-1: none) is refused with refuseStatus, or left
  // unanswered when refuseSilently is set.
  int refuseType = -1;
  int16_t refuseStatus = 1;
  bool refuseSilently = false;
  // Status answered to the identification query (IDQUERY or SWIDQUERY).
  int16_t idStatus = 0;
  // Every Nth data packet gets a wrong check byte (0: never).
  uint32_t corruptEvery = 0;
  // The Nth data packet loses one byte from the middle of its payload
  // (0: never).
  uint32_t dropByteInPacket = 0;
  // Every frame goes out in single-byte writes (short frames with a pause
  // between the bytes, so that a reader sees them in pieces).
  bool splitWrites = false;
  // Before every Nth data packet a packet of insertType is sent (0: never).
  uint32_t insertEvery = 0;
  uint8_t insertType = 0x7E;
  // The first SWEEPDATA after each START reports an initialization error.
  bool initError = false;
  // After this many sets the device neither sends nor answers anything
  // (0: from the start, a device that never answers; -1: never).
  int64_t silentAfterSets = -1;
  // After this many sets the device sends and answers nothing more, and
  // closes its pty as an unplugged device once the reader has taken what
  // was sent (at most 2 s later); -1: never. The port's reader then sees
  // failing reads.
  int64_t vanishAfterSets = -1;
  // TEMPQUERY is answered with STATUS 0 but never with TEMPDATA.
  bool withholdTempData = false;
  // TEMPDATA follows its STATUS only after this many milliseconds.
  uint32_t tempDataDelayMs = 0;
};

struct Emulator;

// Creates a pty pair, puts it in raw mode, keeps its own descriptor of the
// pty so that the device stays there while no program has the port open,
// and starts serving on a thread. *ptyPath receives the path of the pty
// (e.g. /dev/pts/5) to publish as a COM port. Returns null when the pty or
// the thread cannot be created, or the truth file (truthPath) cannot be
// opened.
Emulator* EmulatorStart(const EmulatorConfig& config, std::string* ptyPath);

// Stops the thread, closes the pty and frees the emulator.
void EmulatorStop(Emulator* emu);

// ------------------------------------------------------------ observation

// One frame received from the host with a valid check byte.
struct EmulatorFrame {
  uint8_t type;
  std::vector<uint8_t> payload;
  int64_t timeUs;  // EmulatorNowUs() at arrival
};

// Every valid frame received so far, in order of arrival.
std::vector<EmulatorFrame> EmulatorFrames(Emulator* emu);

// Waits until at least count frames were received; false on time-out.
bool EmulatorWaitFrames(Emulator* emu, size_t count, int timeoutMs);

// A monotonic clock in microseconds, the same for every emulator of the
// process, so that frames received by different emulators can be ordered.
int64_t EmulatorNowUs();

// Frames received with a wrong check byte.
uint64_t EmulatorReceiveErrors(Emulator* emu);

// Sets and data packets whose last byte has gone into the pty.
uint64_t EmulatorSetsSent(Emulator* emu);
uint64_t EmulatorPacketsSent(Emulator* emu);

// Sweep sets skipped because the previous ones had not yet gone out (the
// reader or the link rate is slower than the sampling rate). Flat-out mode
// never skips. Packets still waiting when START 0 arrives are dropped.
uint64_t EmulatorSetsSkipped(Emulator* emu);

// The switch port last set by SETPORT, or -1 when none was.
int EmulatorSwitchPort(Emulator* emu);

// True while the sweep instrument streams (after START 1, until START 0).
bool EmulatorStreaming(Emulator* emu);

// True once the device has closed its pty (vanishAfterSets).
bool EmulatorVanished(Emulator* emu);
