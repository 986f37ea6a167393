// What the programs printed and what the emulated instrument received, as text that a table can hold.
#pragma once

#include <fnmatch.h>

#include <chrono>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/harness.h"

constexpr int kLong = 30000;

inline bool Like(const std::string& text, const std::string& pattern) {  // fnmatch: *, ?, [...]
  return fnmatch(pattern.c_str(), text.c_str(), 0) == 0;
}

inline void Sleep(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// The console messages, "|"-separated: every "\r\n"-started line without the progress lines ("\r") that
// overwrite each other; "Saved n.nnnMB." as "Saved".
inline std::string Messages(const std::string& out) {
  std::string m;
  for (size_t at = out.find("\r\n"); at != std::string::npos; at = out.find("\r\n", at + 2)) {
    const std::string line = out.substr(at + 2, out.find('\r', at + 2) - at - 2);
    m += (m.empty() ? "" : "|") + (line.compare(0, 6, "Saved ") == 0 ? "Saved" : line);
  }
  return m;
}

// The frames the instrument received: type and payload in hex, "|"-separated.
inline std::string Frames(Emulator* emu) {
  std::string s;
  for (const EmulatorFrame& f : EmulatorFrames(emu)) {
    s += (s.empty() ? "" : " | ") + Hex(static_cast<char>(f.type) + std::string(f.payload.begin(), f.payload.end()));
  }
  return s;
}

// An instrument that refuses (or leaves unanswered) the commands of a type.
template <int kType, int kStatus, bool kSilently = false>
void Refuse(EmulatorConfig* c) {
  c->refuseType = kType, c->refuseStatus = kStatus, c->refuseSilently = kSilently;
}

inline bool WaitForCount(Process* p, const std::string& text, size_t n) {
  for (int waited = 0; CountOf(Output(p), text) < n; Sleep(10), waited += 10) {
    if (waited > kLong) return false;
  }
  return true;
}

// A CSV's rows as fields (the header left out); for files whose fields hold no comma.
inline std::vector<std::vector<std::string>> CsvRows(const std::string& csv) {
  std::vector<std::vector<std::string>> rows;
  std::istringstream lines(csv);
  std::string line;
  std::getline(lines, line);
  while (std::getline(lines, line)) {
    std::vector<std::string> fields;
    std::istringstream in(line);
    for (std::string field; std::getline(in, field, ',');) fields.push_back(field);
    if (!line.empty() && line.back() == ',') fields.push_back("");
    rows.push_back(fields);
  }
  return rows;
}
