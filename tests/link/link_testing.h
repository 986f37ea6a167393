// Helpers for tests that drive the device link over ptys: a private port
// folder, emulated devices published in it, frames and packets.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "emulator/emulator.h"
#include "link/protocol.h"
#include "platform/platform.h"
#include "tests/support/legacy.h"

using namespace legacy;

using Bytes = std::vector<uint8_t>;

// A private COMPORT_DIR for one test: nothing can fall back to /dev/ttyS*.
struct PortFolder {
  PortDir ports = MakePortDir();
  PortFolder() { setenv("COMPORT_DIR", ports.dir.c_str(), 1); }
  ~PortFolder() { RemoveTree(ports.dir); }
};

// An emulated device published as COM<com> for the life of the object.
struct Device {
  Emulator* emu = nullptr;
  std::string pty;
  Device(const PortFolder& folder, int com, const EmulatorConfig& config) {
    emu = EmulatorStart(config, &pty);
    if (emu != nullptr) PublishPort(folder.ports, com, pty);
  }
  ~Device() { EmulatorStop(emu); }
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;
};

inline EmulatorConfig Kind(EmulatorKind kind) {
  EmulatorConfig c;
  c.kind = kind;
  return c;
}

// "FF 00 1A" -> bytes.
inline Bytes ParseHex(const std::string& text) {
  Bytes out;
  unsigned v = 0;
  int n = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (std::sscanf(text.c_str() + i, "%2x%n", &v, &n) != 1) continue;
    out.push_back(static_cast<uint8_t>(v));
    i += static_cast<size_t>(n) - 1;
  }
  return out;
}

inline std::string ToHex(const Bytes& bytes) {
  std::string s;
  char b[4];
  for (uint8_t v : bytes) {
    std::snprintf(b, sizeof b, s.empty() ? "%02X" : " %02X", v);
    s += b;
  }
  return s;
}

inline Bytes Frame(uint8_t type, const Bytes& payload) {
  Bytes out(FrameSize(static_cast<uint16_t>(payload.size())));
  EncodeFrame(type, payload.data(), static_cast<uint16_t>(payload.size()), out.data());
  return out;
}

inline Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

inline int64_t MonotonicMs() { return EmulatorNowUs() / 1000; }

#ifdef LINK_SWITCH_UNIT
#include "link/link.h"


struct Packet {
  int32_t result = 1;  // 1: nothing came in time
  uint8_t type = 0;
  uint16_t length = 0;
  Bytes payload;
};

// Runs ReceiveStep until a packet ends (or fails) or timeoutMs pass.
inline Packet NextPacket(PortHandle port, int timeoutMs = 2000) {
  Packet p;
  ReceivedPacket* rbuf = nullptr;
  const int64_t deadline = MonotonicMs() + timeoutMs;
  while ((p.result = ReceiveStep(port, &rbuf)) == 1 && MonotonicMs() < deadline) SleepMs(1);
  if (p.result != 1) {
    p.type = rbuf->type;
    p.length = rbuf->length;
    uint32_t stored = PayloadBytes(rbuf->length);
    if (stored > kPayloadCapacity) stored = kPayloadCapacity;
    p.payload.assign(rbuf->payload, rbuf->payload + stored);
  }
  return p;
}

// Sends a command and waits for its status reply.
inline int32_t Command(PortHandle port, uint8_t type, const Bytes& payload = {}) {
  SendFrame(port, type, payload.data(), static_cast<uint16_t>(payload.size()));
  return WaitStatusReply(port);
}

// Fixture base: an emulated device on COM1 of a private port folder, opened
// through the link. Start may be called again after Close.
class LinkedDevice : public ::testing::Test {
 protected:
  void Start(const EmulatorConfig& config) {
    dev_ = new Device(folder_, 1, config);
    ASSERT_NE(dev_->emu, nullptr);
    port_ = OpenComPort(1);
    ASSERT_NE(port_, kInvalidPort);
    FlushReceiver(port_);
  }
  void Close() {
    ClosePort(port_);
    port_ = kInvalidPort;
    delete dev_;
    dev_ = nullptr;
  }
  void TearDown() override { Close(); }

  PortFolder folder_;
  Device* dev_ = nullptr;
  PortHandle port_ = kInvalidPort;
};

#endif  // LINK_SWITCH_UNIT
