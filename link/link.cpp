// Framing, the receiver and device discovery, on top of the serial backend
// (serial_posix.cpp / serial_win32.cpp). The receive state is process-wide
// and used by one thread at a time.
#include "link/link.h"

#include <cstdio>
#include <cstring>

#include "platform/platform.h"

// ----------------------------------------------------------------- sending

uint8_t FrameHeader[8] = {
    kPreambleByte, kPreambleByte, kPreambleByte, kPreambleByte, kPreambleByte, 0, 0, 0};

void SendHeader(PortHandle port, uint8_t* xbuf, uint8_t type, uint16_t length) {
  FrameHeader[5] = type;
  FrameHeader[6] = static_cast<uint8_t>(length & 0xFF);
  FrameHeader[7] = static_cast<uint8_t>(length >> 8);
  PortWrite(port, FrameHeader, sizeof FrameHeader);
  *xbuf = FrameSumStart(type, length);
}

void SendPayload(PortHandle port, uint8_t* xbuf, const void* data, uint8_t count) {
  PortWrite(port, data, count);
  *xbuf = AddToSum(*xbuf, static_cast<const uint8_t*>(data), count);
}

bool SendChecksum(PortHandle port, uint8_t* xbuf) {
  uint8_t check = CheckByte(*xbuf);
  return PortWrite(port, &check, 1);
}

void SendFrame(PortHandle port, uint8_t type, const void* payload, uint16_t length) {
  uint8_t xbuf;
  SendHeader(port, &xbuf, type, length);
  const uint8_t* p = static_cast<const uint8_t*>(payload);
  uint32_t left = PayloadBytes(length);
  while (left > 0) {
    uint8_t piece = left > 255 ? 255 : static_cast<uint8_t>(left);
    SendPayload(port, &xbuf, p, piece);
    p += piece;
    left -= piece;
  }
  SendChecksum(port, &xbuf);
}

// --------------------------------------------------------------- receiving

namespace {

constexpr uint32_t kReceiveBufferBytes = 8192;
constexpr uint32_t kFlushScratchBytes = 4096;
constexpr uint32_t kStatusWaitMs = 500;
constexpr uint32_t kReceivePollMs = 10;

// The incoming rate, measured over windows of at least 10 ms: above
// kFastStreamRate the receive pause waits for input instead of sleeping.
constexpr int64_t kRateWindow = 100000;       // 10 ms in 100 ns units
constexpr uint64_t kFastStreamRate = 100000;  // bytes per second

// The receiver, process-wide: used by one thread at a time.
struct ReceiverState {
  uint8_t buffer[kReceiveBufferBytes];
  uint32_t fill = 0;  // bytes the last read placed in buffer
  uint32_t pos = 0;   // next unparsed byte
  ReceivedPacket packet{};
  int activity = 0;  // payload bytes were parsed since TakeReceiveActivity
  // Bytes read since the program started: tells a device that sent
  // something from one that sent nothing.
  uint64_t bytesRead = 0;
  int64_t rateWindowStart = 0;
  uint64_t rateWindowBytes = 0;
  bool fastStream = false;
  uint8_t flushScratch[kFlushScratchBytes];
};
ReceiverState Receiver;

// Parses the unparsed rest of the buffer until a packet ends.
// Returns 0 or a failure code when one did, kParseNeedMore when none did.
int32_t ParseBuffered() {
  uint32_t used = 0;
  bool payloadSeen = false;
  int32_t r = ParseFrameBytes(&Receiver.packet, Receiver.buffer + Receiver.pos,
                              Receiver.fill - Receiver.pos, &used, &payloadSeen);
  Receiver.pos += used;
  if (payloadSeen) Receiver.activity = 1;
  return r;
}

void RefillReceiveBuffer(PortHandle port) {
  Receiver.pos = 0;
  Receiver.fill = PortRead(port, Receiver.buffer, kReceiveBufferBytes);
  Receiver.rateWindowBytes += Receiver.fill;
  Receiver.bytesRead += Receiver.fill;
}

}  // namespace

int32_t ReceiveStep(PortHandle port, ReceivedPacket** rbuf) {
  *rbuf = &Receiver.packet;
  if (Receiver.pos < Receiver.fill) {
    int32_t r = ParseBuffered();
    if (r != kParseNeedMore) return r;
  }
  RefillReceiveBuffer(port);
  return kParseNeedMore;
}

void ReceivePause(PortHandle port) {
  if (Receiver.pos < Receiver.fill) return;
  const int64_t now = SystemTime();
  const int64_t window = now - Receiver.rateWindowStart;
  if (window >= kRateWindow || window < 0) {
    Receiver.fastStream =
        window > 0 &&
        Receiver.rateWindowBytes * 10000000u / static_cast<uint64_t>(window) >= kFastStreamRate;
    Receiver.rateWindowStart = now;
    Receiver.rateWindowBytes = 0;
  }
  if (Receiver.fastStream) {
    PortWaitInput(port, kReceivePollMs);
  } else {
    SleepMs(kReceivePollMs);
  }
}

void FlushReceiver(PortHandle port) {
  while (PortRead(port, Receiver.flushScratch, kFlushScratchBytes) != 0) {
  }
  // Packets that end in the buffered rest are dropped whatever their check.
  while (Receiver.pos < Receiver.fill) ParseBuffered();
  RefillReceiveBuffer(port);
  Receiver.packet.state = 0;
}

int32_t WaitStatusReply(PortHandle port) {
  ReceivedPacket* rbuf;
  // The budget counts sleeps, not wall-clock time.
  for (uint32_t elapsed = 0; elapsed < kStatusWaitMs; elapsed += kReceivePollMs) {
    if (ReceiveStep(port, &rbuf) == 0 && rbuf->type == PktStatus && rbuf->length == 2) {
      return static_cast<int16_t>(rbuf->payload[0] | (rbuf->payload[1] << 8));
    }
    SleepMs(kReceivePollMs);
  }
  return NoData;
}

int TakeReceiveActivity() {
  int active = Receiver.activity;
  Receiver.activity = 0;
  return active;
}

// --------------------------------------------------------------- discovery

int LastComPort = 0;

namespace {

constexpr int kLastComPort = 255;
constexpr uint32_t kStopSettleMs = 300;

// Asks the device on an open port who it is: PortFound when it answers as
// our instrument (status 0), PortWrongAnswer when it answers otherwise or
// sends anything else, PortNoAnswer when nothing at all comes back.
PortOutcome Identify(PortHandle port) {
  if (kSwitchUnitLink) {
    FlushReceiver(port);
  } else {
    // Stops a measurement still running from before; its answer is flushed.
    const uint8_t stop[2] = {0, 0};
    SendFrame(port, PktStart, stop, sizeof stop);
    SleepMs(kStopSettleMs);
    FlushReceiver(port);
  }
  const uint64_t before = Receiver.bytesRead;
  SendFrame(port, kSwitchUnitLink ? PktSwIdQuery : PktIdQuery, nullptr, 0);
  const int32_t status = WaitStatusReply(port);
  if (status == 0) return PortFound;
  // A device status may equal NoData; the bytes received tell them apart.
  return status != NoData || Receiver.bytesRead != before ? PortWrongAnswer : PortNoAnswer;
}

}  // namespace

int32_t DetectDevice(PortHandle* port, DetectReport* report) {
  DetectReport local;
  DetectReport& r = report != nullptr ? *report : local;
  for (PortOutcome& o : r.outcome) o = PortNotTried;
  NumberComPorts();
  if (LastComPort < 1 || LastComPort > kLastComPort) LastComPort = 1;
  // The remembered port first, then COM2, COM3, ... in turn.
  for (bool first = true; LastComPort <= kLastComPort; first = false) {
    PortOutcome& outcome = r.outcome[LastComPort];
    PortHandle candidate = OpenComPort(LastComPort, &outcome);
    if (candidate != kInvalidPort) {
      outcome = Identify(candidate);
      if (outcome == PortFound) {
        *port = candidate;
        return NoError;
      }
      ClosePort(candidate);
    }
    LastComPort = first ? 2 : LastComPort + 1;
  }
  *port = kInvalidPort;
  return DetectError;
}

// ---------------------------------------------------------- the diagnosis

const char* PortOutcomeText(PortOutcome outcome) {
  switch (outcome) {
    case PortMissing: return "no such port";
    case PortBusy: return "busy (held by another program)";
    case PortDenied:
      return "permission denied (join the dialout group on Debian and Ubuntu, or uucp on Arch, "
             "then log in again)";
    case PortUnusable: return "cannot be used as a serial port";
    case PortNoAnswer: return "no answer to the identification query";
    case PortWrongAnswer: return "wrong answer to the identification query";
    case PortNotTried:
    case PortFound: break;
  }
  return "";
}

namespace {

// Appends whole lines to a fixed buffer; a line that does not fit is left
// out, and so is every later one.
struct TextOut {
  char* text;
  size_t size;
  size_t length;
  bool full;
};

void AppendLine(TextOut* out, const char* line) {
  const size_t n = std::strlen(line);
  if (out->full || out->length + n >= out->size) {
    out->full = true;
    return;
  }
  std::memcpy(out->text + out->length, line, n + 1);
  out->length += n;
}

}  // namespace

size_t FormatDetectReport(const DetectReport& report, PortNameFn name, char* text, size_t size) {
  TextOut out = {text, size, 0, size == 0};
  if (size > 0) text[0] = '\0';
  char line[4200];
  for (int port = 1; port <= kLastComPort; ++port) {
    const PortOutcome outcome = report.outcome[port];
    if (outcome == PortNotTried || outcome == PortFound || outcome == PortMissing) continue;
    char portName[4096];
    if (!name(port, portName, sizeof portName)) {
      std::snprintf(portName, sizeof portName, "COM%d", port);
    }
    std::snprintf(line, sizeof line, "\r\n%s: %s", portName, PortOutcomeText(outcome));
    AppendLine(&out, line);
  }
  // The missing ports as runs: "COM1, COM3 to COM255".
  std::strcpy(line, "\r\n");
  size_t at = 2;
  for (int port = 1; port <= kLastComPort; ++port) {
    if (report.outcome[port] != PortMissing) continue;
    int last = port;
    while (last < kLastComPort && report.outcome[last + 1] == PortMissing) ++last;
    at += static_cast<size_t>(std::snprintf(line + at, sizeof line - at,
                                            last > port ? "%sCOM%d to COM%d" : "%sCOM%d",
                                            at > 2 ? ", " : "", port, last));
    port = last;
  }
  if (at > 2) {
    std::snprintf(line + at, sizeof line - at, ": %s", PortOutcomeText(PortMissing));
    AppendLine(&out, line);
  }
  return out.length;
}
