// The acquisition thread: owns the instrument, the measurement and the
// writing of its result file. One endless state machine; the main thread
// steers it only through RunRequest, SaveRequest and AutoStopTime.
#include "sweep/acquisition.h"

#include <cstdio>
#include <cstring>

#include "link/console.h"
#include "link/link.h"
#include "matfile/matfile.h"
#include "platform/numbers.h"
#include "platform/platform.h"
#include "sweep/measurement.h"
#include "sweep/sweep_commands.h"
#include "sweep/shared_state.h"
#include "sweep/store.h"

namespace {

enum class State { Idle, Connect, InitFailed, Configure, Run, Stop, Save };

constexpr int64_t kTicksPerSecond = 10000000;   // system time: 100 ns units
constexpr int64_t kProgressInterval = 1000000;  // 0.1 s
constexpr int64_t kTenMiB = 10485760;

// Sends one command and waits for its status; true when it was accepted.
bool Command(PortHandle port, uint8_t type, const uint8_t* payload, uint16_t length) {
  SendFrame(port, type, payload, length);
  return WaitStatusReply(port) == 0;
}

struct Acquisition {
  const SweepBuild* build = nullptr;
  PortHandle hSerial = kInvalidPort;
  State state = State::Idle;
  SweepSet sweepSet{};
  // Begun at configuration, once the instrument has accepted START; ended
  // after its save.
  Measurement m{};
  int32_t recordsReceived = 0;
  int32_t errorCount = 0;
  bool firstRecord = false;
  int64_t dataTimeout = 3;
  int64_t startTime = 0;
  int64_t lastReceiveTime = 0;
  int64_t lastProgressTime = 0;
  char buffer[100];
  // Why the latest discovery found nothing, and the diagnosis printed last:
  // vexa searches again every cycle, and prints a diagnosis only when it
  // differs from the one before.
  DetectReport report;
  char diagnosis[kDetectReportTextBytes];
  char printedDiagnosis[kDetectReportTextBytes] = {};
};

void Idle(Acquisition& a) {
  a.errorCount = 0;
  a.recordsReceived = 0;
  if (GetSaveRequest() != 0) a.state = State::Save;
  if (GetRunRequest() != 0) a.state = State::Connect;
  SleepMs(50);
}

void Connect(Acquisition& a) {
  PrintMessage("Connecting...");
  if (DetectDevice(&a.hSerial, &a.report) != NoError) {
    PrintMessage("Can't find device.");
    FormatDetectReport(a.report, ComPortName, a.diagnosis, sizeof a.diagnosis);
    if (std::strcmp(a.diagnosis, a.printedDiagnosis) != 0) {
      PrintDiagnostic(a.diagnosis);
      std::strcpy(a.printedDiagnosis, a.diagnosis);
    }
    a.state = State::InitFailed;
  } else {
    a.state = State::Configure;
  }
}

// Configures the instrument; the steps run without looking at RunRequest,
// so a stop asked for meanwhile takes effect at the first pass of Run.
void Configure(Acquisition& a) {
  TakeSweepSet(&a.sweepSet);
  const SweepSet& s = a.sweepSet;
  if (!SweepSetWithinLimits(s)) {
    PrintMessage("Invalid parameters.");
    a.state = State::Stop;
    return;
  }
  a.state = State::InitFailed;

  uint8_t basic[kBasicBytes];
  EncodeBasic(s, basic);
  if (!Command(a.hSerial, PktConfBasic, basic, kBasicBytes)) {
    PrintMessage("CONFBASIC error.");
    return;
  }

  uint8_t xbuf = 0;
  SendHeader(a.hSerial, &xbuf, PktConfFreq,
             static_cast<uint16_t>(kFreqEntryBytes * s.NumberOfRanges));
  for (int i = 0; i < s.NumberOfRanges; ++i) {
    uint8_t entry[kFreqEntryBytes];
    PackFreqEntry(MakeFreqEntry(s, i), entry);
    SendPayload(a.hSerial, &xbuf, entry, kFreqEntryBytes);
  }
  SendChecksum(a.hSerial, &xbuf);
  if (WaitStatusReply(a.hSerial) != 0) {
    PrintMessage("CONFFREQ error.");
    return;
  }

  uint8_t led[1];
  EncodeLed(led);
  if (!Command(a.hSerial, PktConfLed, led, 1)) {
    PrintMessage("CONFLED error.");
    return;
  }
  uint8_t start[2];
  EncodeStart(1, 1, start);
  if (!Command(a.hSerial, PktStart, start, 2)) {
    PrintMessage("START error.");
    return;
  }

  // From here on the measurement knows where its data will go.
  SaveData planned;
  TakePlannedSave(&planned);
  SweepInfo info;
  FillSweepInfo(s, &info);
  if (BeginMeasurement(&a.m, *a.build, info, planned, true) != NoError) {
    PrintMessage("Failed to allocate the save buffer.");
    return;
  }
  PrintMessage("Initializing...");
  a.startTime = SystemTime();
  a.lastReceiveTime = SystemTime();
  a.lastProgressTime = a.startTime;
  a.dataTimeout = 3 + static_cast<int32_t>(1.0 / s.SampleRate);
  a.firstRecord = true;
  a.state = State::Run;
}

void ReportReceiveError(Acquisition& a, int32_t status) {
  a.errorCount++;
  std::snprintf(a.buffer, sizeof a.buffer, "%s (%d error%s)", StatusMessage(status), a.errorCount,
                a.errorCount == 1 ? "" : "s");
  PrintMessage(a.buffer);
}

void TakeSweepData(Acquisition& a, const ReceivedPacket& packet) {
  const uint32_t length = PayloadBytes(packet.length);
  const uint8_t* payload = packet.payload;
  if (a.firstRecord && length >= static_cast<uint32_t>(kSweepHeaderBytes)) {
    if (SweepInitError(payload)) {
      PrintMessage("Initialization error.");
      SetRunRequest(0);
      return;
    }
    PrintMessage("Started.");
    a.firstRecord = false;
  }
  switch (AppendToMeasurement(a.m, payload, length)) {
    case AppendOutcome::Kept:
      // A record is complete when its last range has arrived.
      if (SweepRangeIndex(payload) == a.m.info.NumberOfRanges - 1) a.recordsReceived++;
      break;
    case AppendOutcome::Malformed:
      ReportReceiveError(a, InvalidValue);  // dropped; the measurement goes on
      break;
    case AppendOutcome::Refused:
    case AppendOutcome::NoMemory:
    case AppendOutcome::FileFull:
      PrintMessage("Out of memory.");
      SetRunRequest(0);
      break;
  }
}

void Idling(Acquisition& a, int64_t now) {
  if (now - a.lastReceiveTime > a.dataTimeout * kTicksPerSecond) {
    PrintMessage("Data timeout.");
    SetRunRequest(0);
    return;
  }
  if (TakeReceiveActivity()) a.lastReceiveTime = now;
  if (a.firstRecord) return;
  if (now - a.lastProgressTime > kProgressInterval) {
    a.lastProgressTime = now;
    std::snprintf(a.buffer, sizeof a.buffer, "%.1fs since start, %d record%s received.",
                  ToDouble(now - a.startTime) / kTicksPerSecond, a.recordsReceived,
                  a.recordsReceived > 1 ? "s" : "");
    PrintProgress(a.buffer);
  }
  int32_t autoStop = GetAutoStopTime();
  if (autoStop > 0 && (now - a.startTime) / kTicksPerSecond >= autoStop) SetRunRequest(0);
}

void Run(Acquisition& a) {
  if (GetRunRequest() == 0) {
    a.state = State::Stop;
    return;
  }
  ReceivedPacket* packet = nullptr;
  int32_t rc = ReceiveStep(a.hSerial, &packet);
  if (rc == 0) {
    // Anything but sweep data (a late status reply, say) is dropped.
    if (packet->type == PktSweepData) TakeSweepData(a, *packet);
  } else if (rc == kParseNeedMore) {
    ReceivePause(a.hSerial);
    Idling(a, SystemTime());
  } else {
    ReportReceiveError(a, rc);
  }
}

void Stop(Acquisition& a) {
  if (a.hSerial != kInvalidPort) {
    uint8_t stop[2];
    EncodeStart(0, static_cast<uint8_t>(a.sweepSet.KeepRfAlive & 0xFF), stop);
    SendFrame(a.hSerial, PktStart, stop, 2);  // no reply is awaited
    SleepMs(200);
    ClosePort(a.hSerial);
  }
  a.hSerial = kInvalidPort;
  SetRunRequest(0);
  a.state = State::Idle;
  if (GetAutoStopTime() > 0) PrintMessage("Auto-stopped.");
}

void Save(Acquisition& a) {
  // The measurement owns its target: it may have taken another name than
  // the request's, when another run journals the one asked for.
  SaveData request;
  TakeSaveData(&request);
  int32_t rc = SaveMeasurement(&a.m, a.m.saveData, a.m.saveData.OriginalFilename);
  if (rc != NoError) {
    PrintMessage(StatusMessage(rc));
  } else {
    uint64_t bytes = GetBytesWritten();
    std::snprintf(a.buffer, sizeof a.buffer,
                  bytes < static_cast<uint64_t>(kTenMiB) ? "Saved %.3fMB." : "Saved %.1fMB.",
                  ToDouble(bytes) / 1048576.0);
    PrintMessage(a.buffer);
  }
  // Ended before SaveRequest clears: the main thread may exit, or begin the
  // next cycle, as soon as it does.
  EndMeasurement(&a.m);
  SetSaveRequest(0);
  a.state = State::Idle;
}

}  // namespace

void AcquisitionThread(void* build) {
  static Acquisition a;
  a.build = static_cast<const SweepBuild*>(build);
  for (;;) {
    switch (a.state) {
      case State::Idle: Idle(a); break;
      case State::Connect: Connect(a); break;
      case State::InitFailed:
        PrintMessage("Init failed.");
        a.state = State::Stop;
        break;
      case State::Configure: Configure(a); break;
      case State::Run: Run(a); break;
      case State::Stop: Stop(a); break;
      case State::Save: Save(a); break;
      default:
        PrintMessage("Internal error.");
        a.state = State::Stop;
        break;
    }
  }
}
