// Lists a Linux machine's serial ports from /dev and sysfs.
#include "link/port_list.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// The kinds in COM order.
const char* const kKinds[] = {"ttyUSB", "ttyACM", "ttyXRUSB", "ttyAMA",
                              "rfcomm", "ttyAP",  "ttyGS",    "ttyS"};
constexpr int kBuiltIn = 7;  // ttyS
// Candidates considered per listing; a machine has far fewer.
constexpr int kMaxCandidates = 1024;

struct Candidate {
  int kind;
  long number;
  char name[kSerialPortNameBytes];
};

// The kind of a port name and its number, or -1 for any other name.
int KindOf(const char* name, long* number) {
  for (int kind = 0; kind <= kBuiltIn; ++kind) {
    const size_t n = std::strlen(kKinds[kind]);
    if (std::strncmp(name, kKinds[kind], n) != 0) continue;
    const char* digits = name + n;
    const size_t count = std::strlen(digits);
    if (count == 0 || count > 9 || std::strspn(digits, "0123456789") != count) continue;
    *number = std::strtol(digits, nullptr, 10);
    return kind;
  }
  return -1;
}

// root, part, name and tail joined into path; false when it does not fit.
bool JoinPath(char* path, size_t size, const char* root, const char* part, const char* name,
              const char* tail) {
  const int n = std::snprintf(path, size, "%s%s%s%s", root, part, name, tail);
  return n > 0 && static_cast<size_t>(n) < size;
}

// Reads the first line of a small sysfs file; false when it cannot be read.
bool ReadLine(const char* path, char* text, size_t size) {
  FILE* f = std::fopen(path, "r");
  if (f == nullptr) return false;
  const bool ok = std::fgets(text, static_cast<int>(size), f) != nullptr;
  std::fclose(f);
  return ok;
}

// A ttyS is real hardware when sysfs shows a device behind it that is not
// the 8250 driver's placeholder and whose UART type is known.
bool IsRealBuiltInPort(const char* root, const char* name) {
  char path[PATH_MAX];
  char target[PATH_MAX];
  if (!JoinPath(path, sizeof path, root, "/sys/class/tty/", name, "/device")) return false;
  const ssize_t n = readlink(path, target, sizeof target - 1);
  if (n <= 0) return false;
  target[n] = '\0';
  const char* slash = std::strrchr(target, '/');
  if (std::strcmp(slash != nullptr ? slash + 1 : target, "serial8250") == 0) return false;
  char type[32];
  return !JoinPath(path, sizeof path, root, "/sys/class/tty/", name, "/type") ||
         !ReadLine(path, type, sizeof type) || std::strtol(type, nullptr, 10) != 0;
}

}  // namespace

void ListSerialPorts(const char* root, SerialPortList* list) {
  list->count = 0;
  char dev[PATH_MAX];
  if (!JoinPath(dev, sizeof dev, root, "/dev", "", "")) return;
  DIR* dir = opendir(dev);
  if (dir == nullptr) return;
  static Candidate candidates[kMaxCandidates];
  int found = 0;
  while (const dirent* entry = readdir(dir)) {
    long number = 0;
    const int kind = KindOf(entry->d_name, &number);
    if (kind < 0 || std::strlen(entry->d_name) >= sizeof candidates[0].name) continue;
    // The node itself, or what a symbolic link leads to, must be a terminal
    // device node; a stale regular file of that name is no port.
    char path[PATH_MAX];
    struct stat st;
    if (!JoinPath(path, sizeof path, dev, "/", entry->d_name, "") || stat(path, &st) != 0 ||
        !S_ISCHR(st.st_mode)) {
      continue;
    }
    if (kind == kBuiltIn && !IsRealBuiltInPort(root, entry->d_name)) continue;
    if (found == kMaxCandidates) break;
    Candidate& c = candidates[found++];
    c.kind = kind;
    c.number = number;
    std::strcpy(c.name, entry->d_name);
  }
  closedir(dir);
  std::sort(candidates, candidates + found, [](const Candidate& a, const Candidate& b) {
    if (a.kind != b.kind) return a.kind < b.kind;
    if (a.number != b.number) return a.number < b.number;
    return std::strcmp(a.name, b.name) < 0;  // ttyUSB01 beside ttyUSB1
  });
  list->count = std::min(found, kMaxSerialPorts);
  for (int i = 0; i < list->count; ++i) std::strcpy(list->name[i], candidates[i].name);
}
