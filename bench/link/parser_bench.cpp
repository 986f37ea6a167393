// Frame parser throughput over well-formed SWEEPDATA frames of the largest
// size (8 ranges' worth is sent as separate packets; one range of 16000
// points with phase and magnitude is the largest packet).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "link/protocol.h"

namespace {

constexpr uint16_t kLargestSweepData = 21 + 2 * 16000 * 2;
constexpr double kLinkBytesPerSecond = 46080.0;
constexpr size_t kFrames = 64;
constexpr int kRounds = 40;

FramePacket<65536> Packet;

// Best time of several passes over the stream, parsed in pieces of
// readSize bytes; -1 when the parser does not give back every frame.
double BestSeconds(const std::vector<uint8_t>& stream, uint32_t readSize, int rounds) {
  double best = 1e30;
  for (int round = 0; round < rounds; ++round) {
    size_t packets = 0;
    const auto start = std::chrono::steady_clock::now();
    for (size_t at = 0; at < stream.size(); at += readSize) {
      const uint32_t n = static_cast<uint32_t>(std::min<size_t>(readSize, stream.size() - at));
      uint32_t pos = 0;
      while (pos < n) {
        uint32_t used = 0;
        bool seen = false;
        int32_t r = ParseFrameBytes(&Packet, stream.data() + at + pos, n - pos, &used, &seen);
        pos += used;
        if (r == 0) ++packets;
        if (r != 0 && r != kParseNeedMore) return -1;
      }
    }
    const double s =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (packets != kFrames) {
      std::fprintf(stderr, "parsed %zu packets, expected %zu\n", packets, kFrames);
      return -1;
    }
    if (s < best) best = s;
  }
  return best;
}

}  // namespace

int main() {
  std::vector<uint8_t> payload(kLargestSweepData);
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i * 31 + 7);
  const uint32_t frameSize = FrameSize(kLargestSweepData);
  std::vector<uint8_t> stream(frameSize * kFrames);
  for (size_t f = 0; f < kFrames; ++f) {
    payload[3] = static_cast<uint8_t>(f);  // a different sample number each
    EncodeFrame(0x60, payload.data(), kLargestSweepData, stream.data() + f * frameSize);
  }

  // The link reads up to 8192 bytes at a time; a frame split into single
  // bytes is the slowest case.
  const double best = BestSeconds(stream, 8192, kRounds);
  const double bytewise = BestSeconds(stream, 1, 3);
  if (best < 0 || bytewise < 0) return 1;
  const double bytesPerSecond = static_cast<double>(stream.size()) / best;
  std::printf("parser_frame_bytes: %u bytes\n", frameSize);
  std::printf("parser_throughput: %.1f MB/s\n", bytesPerSecond / 1e6);
  std::printf("parser_packets_per_second: %.0f packets/s\n", kFrames / best);
  std::printf("parser_link_ratio: %.0f x\n", bytesPerSecond / kLinkBytesPerSecond);
  std::printf("parser_throughput_single_bytes: %.1f MB/s\n",
              static_cast<double>(stream.size()) / bytewise / 1e6);
  return 0;
}
