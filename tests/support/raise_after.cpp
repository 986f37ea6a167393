// Preloaded into a program under test (LD_PRELOAD): once the first call of
// the function that QARVEL_RAISE_AFTER names ("fsync:15", "tcsetattr:3") has
// returned, raises that signal in the calling thread. A test puts a signal
// at one exact point of a program's work with it, such as the moment a save
// has made or flushed its temporary file, or the terminal has just been set.
// Of the calls of open, only those that make a save's temporary file count.
//
// It defines both open and open64, so it is built with the C library's own
// names: with 64-bit file offsets the headers would rename open to open64.
#undef _FILE_OFFSET_BITS
#undef _TIME_BITS
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <termios.h>

#include <atomic>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

namespace {

std::atomic<bool> Raised{false};

// The signal to raise after function returns, once; 0 for none.
int SignalAfter(const char* function) {
  const char* request = std::getenv("QARVEL_RAISE_AFTER");
  const char* colon = request != nullptr ? std::strchr(request, ':') : nullptr;
  const size_t length = colon != nullptr ? static_cast<size_t>(colon - request) : 0;
  if (colon == nullptr || std::strlen(function) != length || std::strncmp(request, function, length) != 0) {
    return 0;
  }
  return Raised.exchange(true) ? 0 : std::atoi(colon + 1);
}

template <typename Function>
Function Next(const char* name) {
  return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

// open and open64 alike: which of the two a program calls depends on its
// build.
int OpenThenRaise(const char* name, const char* path, int flags, va_list args) {
  const mode_t mode = (flags & O_CREAT) != 0 ? static_cast<mode_t>(va_arg(args, int)) : 0;
  const auto real = Next<int (*)(const char*, int, ...)>(name);
  const int fd = real(path, flags, mode);
  const char* base = std::strrchr(path, '/');
  const bool temporary = std::strncmp(base != nullptr ? base + 1 : path, ".save-", 6) == 0;
  if (const int sig = temporary ? SignalAfter("open") : 0) raise(sig);
  return fd;
}

}  // namespace

extern "C" int open(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const int fd = OpenThenRaise("open", path, flags, args);
  va_end(args);
  return fd;
}

extern "C" int open64(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const int fd = OpenThenRaise("open64", path, flags, args);
  va_end(args);
  return fd;
}

extern "C" int fsync(int fd) {
  static const auto real = Next<int (*)(int)>("fsync");
  const int rc = real(fd);
  if (const int sig = SignalAfter("fsync")) raise(sig);
  return rc;
}

extern "C" int tcsetattr(int fd, int action, const termios* modes) {
  static const auto real = Next<int (*)(int, int, const termios*)>("tcsetattr");
  const int rc = real(fd, action, modes);
  if (const int sig = SignalAfter("tcsetattr")) raise(sig);
  return rc;
}
