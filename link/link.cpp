// Framing, the receiver and device discovery, on top of the serial backend
// (serial_posix.cpp / serial_win32.cpp). The receive state is process-wide
// and used by one thread at a time.
#include "link/link.h"

#include "link/protocol.h"
#include "platform/platform.h"

// ----------------------------------------------------------------- sending

uint8_t FrameHeader[8] = {kPreambleByte, kPreambleByte, kPreambleByte, kPreambleByte,
                          kPreambleByte, 0, 0, 0};

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

uint8_t ReceiveBuffer[kReceiveBufferBytes];
uint32_t ReceiveFill = 0;  // bytes the last read placed in ReceiveBuffer
uint32_t ReceivePos = 0;   // next unparsed byte
// The incoming rate, measured over windows of at least 10 ms: above
// kFastStreamRate the receive pause waits for input instead of sleeping.
constexpr int64_t kRateWindow = 100000;          // 10 ms in 100 ns units
constexpr uint64_t kFastStreamRate = 100000;     // bytes per second
int64_t RateWindowStart = 0;
uint64_t RateWindowBytes = 0;
bool FastStream = false;
// Bytes read into ReceiveBuffer since the program started: tells a device
// that sent something from one that sent nothing.
uint64_t ReceivedBytes = 0;
uint8_t FlushScratch[kFlushScratchBytes];
ReceivedPacket Packet;
int ReceiveActivity = 0;

// Parses the unparsed rest of ReceiveBuffer until a packet ends.
// Returns 0 or a failure code when one did, kParseNeedMore when none did.
int32_t ParseBuffered() {
  uint32_t used = 0;
  bool payloadSeen = false;
  int32_t r = ParseFrameBytes(&Packet, ReceiveBuffer + ReceivePos, ReceiveFill - ReceivePos,
                              &used, &payloadSeen);
  ReceivePos += used;
  if (payloadSeen) ReceiveActivity = 1;
  return r;
}

void RefillReceiveBuffer(PortHandle port) {
  ReceivePos = 0;
  ReceiveFill = PortRead(port, ReceiveBuffer, kReceiveBufferBytes);
  RateWindowBytes += ReceiveFill;
  ReceivedBytes += ReceiveFill;
}

}  // namespace

int32_t ReceiveStep(PortHandle port, ReceivedPacket** rbuf) {
  *rbuf = &Packet;
  if (ReceivePos < ReceiveFill) {
    int32_t r = ParseBuffered();
    if (r != kParseNeedMore) return r;
  }
  RefillReceiveBuffer(port);
  return 1;
}

void ReceivePause(PortHandle port) {
  if (ReceivePos < ReceiveFill) return;
  const int64_t now = SystemTime();
  const int64_t window = now - RateWindowStart;
  if (window >= kRateWindow || window < 0) {
    FastStream = window > 0 && RateWindowBytes * 10000000u / static_cast<uint64_t>(window) >=
                                   kFastStreamRate;
    RateWindowStart = now;
    RateWindowBytes = 0;
  }
  if (FastStream) {
    PortWaitInput(port, kReceivePollMs);
  } else {
    SleepMs(kReceivePollMs);
  }
}

void FlushReceiver(PortHandle port) {
  while (PortRead(port, FlushScratch, kFlushScratchBytes) != 0) {
  }
  // Packets that end in the buffered rest are dropped whatever their check.
  while (ReceivePos < ReceiveFill) ParseBuffered();
  RefillReceiveBuffer(port);
  Packet.state = 0;
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
  int active = ReceiveActivity;
  ReceiveActivity = 0;
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
  const uint64_t before = ReceivedBytes;
  SendFrame(port, kSwitchUnitLink ? PktSwIdQuery : PktIdQuery, nullptr, 0);
  const int32_t status = WaitStatusReply(port);
  if (status == 0) return PortFound;
  // A device status may equal NoData; the bytes received tell them apart.
  return status != NoData || ReceivedBytes != before ? PortWrongAnswer : PortNoAnswer;
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
