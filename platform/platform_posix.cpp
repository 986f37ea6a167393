// POSIX platform layer: termios, pthreads, signals.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <signal.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "platform/platform.h"

// ---------------------------------------------------------------- console

void ConsoleInit() {}

// ------------------------------------------------------------------- time

namespace {
// Seconds between 1601-01-01 and 1970-01-01.
constexpr int64_t kEpochOffsetSeconds = 11644473600LL;
}  // namespace

int64_t SystemTime() {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return (static_cast<int64_t>(ts.tv_sec) + kEpochOffsetSeconds) * 10000000LL + ts.tv_nsec / 100;
}

void SleepMs(uint32_t ms) {
  timespec ts;
  ts.tv_sec = ms / 1000;
  ts.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

// ---------------------------------------------------------------- threads

namespace {
constexpr int kRaisedNice = -5;

struct ThreadStart {
  ThreadProc proc;
  void* arg;
};

void* ThreadTrampoline(void* p) {
  ThreadStart start = *static_cast<ThreadStart*>(p);
  delete static_cast<ThreadStart*>(p);
  // Above the normal share of the processor, as far as this process may
  // raise it: a lower nice value for this thread alone. An unprivileged
  // process may not, and then runs it at normal priority.
  setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), kRaisedNice);
  start.proc(start.arg);
  return nullptr;
}
}  // namespace

int StartThread(ThreadProc proc, void* arg) {
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) return -1;
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  auto* start = new ThreadStart{proc, arg};
  pthread_t thread;
  int rc = pthread_create(&thread, &attr, ThreadTrampoline, start);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    delete start;
    return -1;
  }
  return 0;
}

// ------------------------------------------------------------------- heap

int HeapTrim() {
#if defined(__GLIBC__)
  // glibc keeps freed memory in its arenas unless asked to return it.
  return malloc_trim(0);
#else
  return 0;
#endif
}

// ------------------------------------------------------------------ files

FileHandle CreateOutputFile(const char* path) {
  int fd;
  do {
    fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  return fd < 0 ? kInvalidFile : static_cast<FileHandle>(fd);
}

bool WriteOutputFile(FileHandle file, const void* data, size_t n) {
  if (file == kInvalidFile) return false;
  const char* p = static_cast<const char*>(data);
  while (n > 0) {
    ssize_t w = write(static_cast<int>(file), p, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (w == 0) return false;
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

bool CloseOutputFile(FileHandle file) {
  if (file == kInvalidFile) return false;
  // After EINTR the descriptor is gone on Linux; do not retry.
  return close(static_cast<int>(file)) == 0;
}

// ------------------------------------------------------------------- text

namespace {
// Length of the valid UTF-8 sequence at p (at most n bytes) and its code
// point, or 0 when the bytes there are not valid UTF-8.
size_t DecodeUtf8(const unsigned char* p, size_t n, uint32_t* cp) {
  unsigned char b = p[0];
  size_t len;
  uint32_t min;
  if (b < 0x80) {
    *cp = b;
    return 1;
  } else if ((b & 0xE0) == 0xC0) {
    len = 2;
    min = 0x80;
    *cp = b & 0x1F;
  } else if ((b & 0xF0) == 0xE0) {
    len = 3;
    min = 0x800;
    *cp = b & 0x0F;
  } else if ((b & 0xF8) == 0xF0) {
    len = 4;
    min = 0x10000;
    *cp = b & 0x07;
  } else {
    return 0;
  }
  if (len > n) return 0;
  for (size_t i = 1; i < len; ++i) {
    if ((p[i] & 0xC0) != 0x80) return 0;
    *cp = (*cp << 6) | (p[i] & 0x3F);
  }
  if (*cp < min || *cp > 0x10FFFF || (*cp >= 0xD800 && *cp <= 0xDFFF)) return 0;
  return len;
}
}  // namespace

int NarrowToUtf16(const char* text, size_t n, uint16_t* out, int maxUnits) {
  const auto* p = reinterpret_cast<const unsigned char*>(text);
  int units = 0;
  auto put = [&](uint32_t u) {
    if (out != nullptr && units < maxUnits) out[units] = static_cast<uint16_t>(u);
    ++units;
  };
  size_t i = 0;
  while (i < n) {
    uint32_t cp = 0;
    size_t len = DecodeUtf8(p + i, n - i, &cp);
    if (len == 0) {
      cp = p[i];  // not UTF-8: the byte is a Latin-1 character
      len = 1;
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      put(0xD800 + (cp >> 10));
      put(0xDC00 + (cp & 0x3FF));
    } else {
      put(cp);
    }
    i += len;
  }
  return units;
}

// --------------------------------------------------------------- keyboard

namespace {
bool StdinIsTerminal = false;
bool TerminalSaved = false;
termios SavedTerminal;
bool StdinEnded = false;    // a pipe or file reached its end: no key will come
bool PendingByte = false;   // a pipe byte read ahead by KeyWaiting
unsigned char PendingValue = 0;

void RestoreTerminal() {
  if (TerminalSaved) tcsetattr(STDIN_FILENO, TCSANOW, &SavedTerminal);
}
}  // namespace

void KeyboardInit() {
  StdinIsTerminal = isatty(STDIN_FILENO) != 0;
  if (!StdinIsTerminal) return;
  if (tcgetattr(STDIN_FILENO, &SavedTerminal) != 0) return;
  termios raw = SavedTerminal;
  raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);  // ISIG stays: Ctrl+C still interrupts
  raw.c_cc[VMIN] = 0;
  raw.c_cc[VTIME] = 0;
  if (tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0) {
    TerminalSaved = true;
    std::atexit(RestoreTerminal);
  }
}

namespace {
bool StdinReadable() {
  pollfd pfd{STDIN_FILENO, POLLIN, 0};
  int rc;
  do {
    rc = poll(&pfd, 1, 0);
  } while (rc < 0 && errno == EINTR);
  return rc > 0 && (pfd.revents & (POLLIN | POLLHUP | POLLERR)) != 0;
}
}  // namespace

bool KeyWaiting() {
  if (StdinIsTerminal) return StdinReadable();
  if (PendingByte) return true;
  if (StdinEnded || !StdinReadable()) return false;
  ssize_t n;
  do {
    n = read(STDIN_FILENO, &PendingValue, 1);
  } while (n < 0 && errno == EINTR);
  if (n == 1) {
    PendingByte = true;
    return true;
  }
  if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) StdinEnded = true;
  return false;
}

int KeyRead() {
  if (!StdinIsTerminal) {
    PendingByte = false;
    return PendingValue;
  }
  unsigned char buf[64];
  int first = -1;
  // Drain everything that has arrived: an escape sequence is one key.
  while (StdinReadable()) {
    ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
    if (n <= 0) break;
    if (first < 0) first = buf[0];
  }
  return first < 0 ? 0 : first;
}

// ------------------------------------------------------------- interrupts

namespace {
std::atomic<int> Interrupts{0};

void OnInterrupt(int sig) {
  if (Interrupts.fetch_add(1, std::memory_order_acq_rel) == 0) return;
  // A second interrupt ends the process at once, terminal restored, with the
  // shells' status for a signal.
  RestoreTerminal();
  _exit(128 + sig);
}
}  // namespace

void InstallInterruptHandlers() {
  struct sigaction sa{};
  sa.sa_handler = OnInterrupt;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGHUP, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

int InterruptCount() { return Interrupts.load(std::memory_order_acquire); }

void InterruptWorkDone() {}
