// POSIX platform layer: termios, pthreads, signals.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "platform/pending_saves.h"
#include "platform/platform.h"

// ---------------------------------------------------------------- process

void ProcessInit() {
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);
}

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

int64_t MonotonicMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
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
  bool raised;
};

void* ThreadTrampoline(void* p) {
  ThreadStart start = *static_cast<ThreadStart*>(p);
  delete static_cast<ThreadStart*>(p);
  // Above the normal share of the processor, as far as this process may
  // raise it: a lower nice value for this thread alone. An unprivileged
  // process may not, and then runs it at normal priority.
  if (start.raised) setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), kRaisedNice);
  start.proc(start.arg);
  return nullptr;
}

int StartDetached(ThreadProc proc, void* arg, bool raised) {
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) return -1;
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  auto* start = new ThreadStart{proc, arg, raised};
  pthread_t thread;
  const int rc = pthread_create(&thread, &attr, ThreadTrampoline, start);
  pthread_attr_destroy(&attr);
  if (rc != 0) delete start;
  return rc == 0 ? 0 : -1;
}
}  // namespace

int StartThread(ThreadProc proc, void* arg) { return StartDetached(proc, arg, true); }

int StartBackgroundThread(ThreadProc proc, void* arg) { return StartDetached(proc, arg, false); }

// ------------------------------------------------------------------- heap

namespace {
size_t HugePages(size_t size) { return (size + kHugePageBytes - 1) & ~(kHugePageBytes - 1); }
}  // namespace

void* ReserveBlock(size_t size) {
  if (size == 0) return nullptr;
  // Mapped with a huge page to spare, then cut down to the aligned part.
  const size_t length = HugePages(size);
  void* mapped = mmap(nullptr, length + kHugePageBytes, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped == MAP_FAILED) return nullptr;
  const uintptr_t start = reinterpret_cast<uintptr_t>(mapped);
  const uintptr_t aligned = (start + kHugePageBytes - 1) & ~(kHugePageBytes - 1);
  if (aligned > start) munmap(mapped, aligned - start);
  const size_t tail = kHugePageBytes - (aligned - start);
  if (tail > 0) munmap(reinterpret_cast<void*>(aligned + length), tail);
#if defined(MADV_HUGEPAGE)
  madvise(reinterpret_cast<void*>(aligned), length, MADV_HUGEPAGE);
#endif
  return reinterpret_cast<void*>(aligned);
}

void ReleaseBlock(void* block, size_t size) {
  if (block != nullptr) munmap(block, HugePages(size));
}

int HeapTrim() {
#if defined(__GLIBC__)
  // glibc keeps freed memory in its arenas unless asked to return it.
  return malloc_trim(0);
#else
  return 0;
#endif
}

// ------------------------------------------------------------------ files

namespace {

using namespace pending_saves;

int OpenRetrying(const char* path, int flags, mode_t mode) {
  int fd;
  do {
    fd = open(path, flags, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// Makes the temporary file beside the target: same folder, so that the
// rename that completes the save never crosses file systems. The slot is
// armed before each open, so that the handlers remove the file even when
// the process ends before open has returned.
int CreateTemporary(PendingSave* slot, const char* path) {
  const char* slash = std::strrchr(path, '/');
  const int folderLength = slash != nullptr ? static_cast<int>(slash - path + 1) : 0;
  for (int attempt = 0; attempt < 100; ++attempt) {
    if (!NextTemporaryName(slot, path, folderLength, static_cast<unsigned long>(getpid()))) {
      return -1;
    }
    ArmSlot(slot);
    const int fd = OpenRetrying(slot->temp, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0 || errno != EEXIST) return fd;
    DisarmSlot(slot);  // the name is another file's
  }
  return -1;
}

// The name that a plain open of path writes: symbolic links followed to
// their end, also when the last one names nothing yet (open would create
// that file). A relative link is taken from its own folder. False for a
// loop of links or a name that does not fit.
bool FollowLinks(const char* path, char (&out)[kPathBytes]) {
  std::snprintf(out, sizeof out, "%s", path);
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st;
    if (lstat(out, &st) != 0 || !S_ISLNK(st.st_mode)) return true;
    char link[kPathBytes];
    const ssize_t n = readlink(out, link, sizeof link - 1);
    if (n <= 0) return false;
    link[n] = '\0';
    const char* slash = std::strrchr(out, '/');
    const size_t folder =
        link[0] == '/' || slash == nullptr ? 0 : static_cast<size_t>(slash - out + 1);
    if (folder + static_cast<size_t>(n) >= sizeof out) return false;
    std::memcpy(out + folder, link, static_cast<size_t>(n) + 1);
  }
  return false;
}

// Removes the temporary files of the saves in progress. Async-signal-safe.
void RemovePendingSaves() {
  for (PendingSave& slot : Saves.slots) {
    if (SlotHoldsTemporary(slot)) unlink(slot.temp);
  }
}

}  // namespace

FileHandle CreateOutputFile(const char* path) {
  if (path == nullptr || path[0] == '\0' || std::strlen(path) >= kPathBytes - 32) {
    return kInvalidFile;
  }
  PendingSave* slot = ClaimSlot();
  if (slot == nullptr) return kInvalidFile;
  // Through symbolic links the file they name is saved, as a plain open
  // would write it; the links stay.
  char target[kPathBytes];
  struct stat st;
  const bool followed = FollowLinks(path, target);
  const bool exists = followed && stat(target, &st) == 0;
  int fd = -1;
  if (!followed || (exists && S_ISDIR(st.st_mode))) {
    fd = -1;
  } else if (exists && !S_ISREG(st.st_mode)) {
    slot->direct = true;
    fd = OpenRetrying(target, O_WRONLY | O_TRUNC | O_CLOEXEC, 0);
  } else if (exists && access(target, W_OK) != 0) {
    fd = -1;  // a file this user may not write is not replaced either
  } else {
    slot->direct = false;
    std::strcpy(slot->target, target);
    fd = CreateTemporary(slot, target);
    // The file that replaces another keeps its permissions (best effort:
    // some file systems have none to give).
    if (fd >= 0 && exists) fchmod(fd, st.st_mode & (S_IRWXU | S_IRWXG | S_IRWXO));
  }
  if (fd < 0) {
    ReleaseSlot(slot);
    return kInvalidFile;
  }
  ActivateSlot(slot, static_cast<FileHandle>(fd));
  return static_cast<FileHandle>(fd);
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

bool WriteOutputPieces(FileHandle file, const OutputPiece* pieces, int count) {
  if (file == kInvalidFile || count < 0 || count > kMaxOutputPieces) return false;
  iovec vectors[kMaxOutputPieces];
  for (int i = 0; i < count; ++i) vectors[i] = {const_cast<void*>(pieces[i].data), pieces[i].size};
  iovec* at = vectors;
  while (count > 0) {
    if (at->iov_len == 0) {
      ++at;
      --count;
      continue;
    }
    const ssize_t w = writev(static_cast<int>(file), at, count);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    // After a short write, go on from where it stopped.
    size_t done = static_cast<size_t>(w);
    for (; count > 0 && done >= at->iov_len; ++at, --count) done -= at->iov_len;
    if (count > 0) {
      at->iov_base = static_cast<char*>(at->iov_base) + done;
      at->iov_len -= done;
    }
  }
  return true;
}

bool CloseOutputFile(FileHandle file) {
  PendingSave* slot = FindSlot(file);
  if (slot == nullptr) return false;
  // After EINTR the descriptor is gone on Linux; close is not retried.
  if (slot->direct) {
    const bool closed = close(static_cast<int>(slot->file)) == 0;
    ReleaseSlot(slot);
    return closed;
  }
  bool saved = fsync(static_cast<int>(slot->file)) == 0;
  if (close(static_cast<int>(slot->file)) != 0) saved = false;
  if (saved && rename(slot->temp, slot->target) != 0) saved = false;
  if (saved) {
    SyncFolderOf(slot->target);
  } else {
    unlink(slot->temp);
  }
  ReleaseSlot(slot);
  return saved;
}

bool ReplaceOutputFileUnsynced(FileHandle file) {
  PendingSave* slot = FindSlot(file);
  if (slot == nullptr) return false;
  bool saved = close(static_cast<int>(slot->file)) == 0;
  if (!slot->direct) {
    if (saved && rename(slot->temp, slot->target) != 0) saved = false;
    if (!saved) unlink(slot->temp);
  }
  ReleaseSlot(slot);
  return saved;
}

void DiscardOutputFile(FileHandle file) {
  PendingSave* slot = FindSlot(file);
  if (slot == nullptr) return;
  close(static_cast<int>(slot->file));
  if (!slot->direct) unlink(slot->temp);
  ReleaseSlot(slot);
}

// --------------------------------------------------------------- journals

namespace {

void ErrorText(int error, char* out, size_t size) {
  if (out != nullptr && size > 0) std::snprintf(out, size, "%s", std::strerror(error));
}

// Whether the open file's lock can be had now: takes it when it can.
bool TakeLock(int fd) {
  int rc;
  do {
    rc = flock(fd, LOCK_EX | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  return rc == 0;
}

// Opens path for reading without waiting: a FIFO with no writer would hold
// a plain open until one came. Never the controlling terminal.
int OpenWithoutWaiting(const char* path) {
  return OpenRetrying(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0);
}

bool IsRegularFile(int fd) {
  struct stat st;
  return fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

PathKind KindOfPath(const char* path) {
  struct stat st;
  if (stat(path, &st) != 0) return PathKind::Missing;
  return S_ISREG(st.st_mode) ? PathKind::RegularFile : PathKind::Other;
}

FileHandle CreateLockedFile(const char* path, CreateOutcome* outcome, char* why, size_t whySize) {
  const int fd = OpenRetrying(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) {
    *outcome = errno == EEXIST         ? CreateOutcome::Exists
               : errno == ENAMETOOLONG ? CreateOutcome::NameTooLong
                                       : CreateOutcome::Failed;
    ErrorText(errno, why, whySize);
    return kInvalidFile;
  }
  // A file made a moment ago is locked by nobody else: the lock is there
  // before anything is written into it.
  if (!TakeLock(fd)) {
    ErrorText(errno, why, whySize);
    close(fd);
    unlink(path);
    *outcome = CreateOutcome::Failed;
    return kInvalidFile;
  }
  *outcome = CreateOutcome::Created;
  return static_cast<FileHandle>(fd);
}

bool FileIsLocked(const char* path) {
  const int fd = OpenWithoutWaiting(path);
  if (fd < 0) return false;
  const bool locked = IsRegularFile(fd) && !TakeLock(fd);
  close(fd);  // gives the lock back
  return locked;
}

FileHandle OpenForReading(const char* path, bool lock, OpenOutcome* outcome, char* why,
                          size_t whySize) {
  const int fd = OpenWithoutWaiting(path);
  if (fd < 0) {
    *outcome = errno == ENOENT ? OpenOutcome::Missing : OpenOutcome::Failed;
    ErrorText(errno, why, whySize);
    return kInvalidFile;
  }
  if (!IsRegularFile(fd)) {
    *outcome = OpenOutcome::NotRegular;
    close(fd);
    return kInvalidFile;
  }
  if (lock && !TakeLock(fd)) {
    *outcome = errno == EWOULDBLOCK ? OpenOutcome::Locked : OpenOutcome::Failed;
    ErrorText(errno, why, whySize);
    close(fd);
    return kInvalidFile;
  }
  *outcome = OpenOutcome::Opened;
  return static_cast<FileHandle>(fd);
}

int64_t ReadFromFile(FileHandle file, void* data, size_t n) {
  ssize_t got;
  do {
    got = read(static_cast<int>(file), data, n);
  } while (got < 0 && errno == EINTR);
  return got;
}

bool WriteFileAt(FileHandle file, uint64_t offset, const void* data, size_t n) {
  const char* p = static_cast<const char*>(data);
  while (n > 0) {
    const ssize_t w = pwrite(static_cast<int>(file), p, n, static_cast<off_t>(offset));
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    p += w;
    n -= static_cast<size_t>(w);
    offset += static_cast<uint64_t>(w);
  }
  return true;
}

bool ReadFileAt(FileHandle file, uint64_t offset, void* data, size_t n) {
  char* p = static_cast<char*>(data);
  while (n > 0) {
    const ssize_t got = pread(static_cast<int>(file), p, n, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    p += got;
    n -= static_cast<size_t>(got);
    offset += static_cast<uint64_t>(got);
  }
  return true;
}

FileHandle CreateScratchFile(const char* besidePath, char* why, size_t whySize) {
  const char* slash = std::strrchr(besidePath, '/');
  char folder[PATH_MAX];
  const int length = slash == nullptr ? std::snprintf(folder, sizeof folder, ".")
                     : slash == besidePath
                         ? std::snprintf(folder, sizeof folder, "/")
                         : std::snprintf(folder, sizeof folder, "%.*s",
                                         static_cast<int>(slash - besidePath), besidePath);
  if (length < 0 || static_cast<size_t>(length) >= sizeof folder) {
    ErrorText(ENAMETOOLONG, why, whySize);
    return kInvalidFile;
  }
  int fd = -1;
#ifdef O_TMPFILE
  fd = OpenRetrying(folder, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd >= 0) return static_cast<FileHandle>(fd);
#endif
  // A name for the moment between its creation and its removal.
  static std::atomic<unsigned> counter{0};
  for (int attempt = 0; attempt < 100; ++attempt) {
    char name[PATH_MAX];
    const int n = std::snprintf(name, sizeof name, "%s/.scratch-%ld-%u.tmp", folder,
                                static_cast<long>(getpid()), counter.fetch_add(1));
    if (n < 0 || static_cast<size_t>(n) >= sizeof name) {
      ErrorText(ENAMETOOLONG, why, whySize);
      return kInvalidFile;
    }
    fd = OpenRetrying(name, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) {
      unlink(name);
      return static_cast<FileHandle>(fd);
    }
    if (errno != EEXIST) break;
  }
  ErrorText(errno, why, whySize);
  return kInvalidFile;
}

bool FileModifiedTime(const char* path, int64_t* time) {
  struct stat st;
  if (stat(path, &st) != 0 || !S_ISREG(st.st_mode)) return false;
  constexpr int64_t kUnixEpoch = 116444736000000000LL;  // 1970-01-01 in SystemTime's units
  *time = kUnixEpoch + static_cast<int64_t>(st.st_mtim.tv_sec) * 10000000 +
          static_cast<int64_t>(st.st_mtim.tv_nsec) / 100;
  return true;
}

bool IsFolder(const char* path) {
  struct stat st;
  return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

bool SyncFile(FileHandle file) {
  int rc;
  do {
    rc = fdatasync(static_cast<int>(file));
  } while (rc != 0 && errno == EINTR);
  return rc == 0;
}

// Best effort, as some file systems cannot sync a folder.
void SyncFolderOf(const char* path) {
  char folder[PATH_MAX];
  const char* slash = std::strrchr(path, '/');
  if (slash == nullptr) {
    std::strcpy(folder, ".");
  } else {
    const size_t length = slash == path ? 1 : static_cast<size_t>(slash - path);
    if (length >= sizeof folder) return;
    std::memcpy(folder, path, length);
    folder[length] = '\0';
  }
  const int fd = OpenRetrying(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
  if (fd >= 0) {
    fsync(fd);
    close(fd);
  }
}

void CloseFile(FileHandle file) {
  if (file != kInvalidFile) close(static_cast<int>(file));
}

bool IsSameFile(FileHandle file, const char* path) {
  struct stat open, named;
  return fstat(static_cast<int>(file), &open) == 0 && stat(path, &named) == 0 &&
         open.st_dev == named.st_dev && open.st_ino == named.st_ino;
}

bool RemoveOpenFile(FileHandle file, const char* path) {
  const bool removed = unlink(path) == 0;
  const int error = errno;  // the reason, whatever close does
  CloseFile(file);
  errno = error;
  return removed;
}

bool VisitFolder(const char* folder, FolderVisitor visit, void* context) {
  DIR* dir = opendir(folder[0] == '\0' ? "." : folder);
  if (dir == nullptr) return false;
  while (const dirent* entry = readdir(dir)) {
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
      visit(entry->d_name, context);
    }
  }
  closedir(dir);
  return true;
}

void LastErrorText(char* out, size_t size) { ErrorText(errno, out, size); }

void QuoteForShell(const char* arg, char* out, size_t size) {
  if (size == 0) return;
  bool plain = arg[0] != '\0';
  for (const char* c = arg; *c != '\0'; ++c) {
    plain =
        plain && (std::isalnum(static_cast<unsigned char>(*c)) || std::strchr("@%+=:,./-_", *c));
  }
  if (plain) {
    std::snprintf(out, size, "%s", arg);
    return;
  }
  // Single quotes take everything literally; a quote itself ends them, is
  // given escaped, and they begin again.
  size_t at = 0;
  const auto put = [&](char ch) {
    if (at + 1 < size) out[at++] = ch;
  };
  put('\'');
  for (const char* c = arg; *c != '\0'; ++c) {
    if (*c == '\'') {
      for (const char* e = "'\\''"; *e != '\0'; ++e) put(*e);
    } else {
      put(*c);
    }
  }
  put('\'');
  out[at] = '\0';
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
//
// A terminal is the keyboard only while this process is its foreground
// process group: a run started with "&", or moved there with Ctrl+Z and bg,
// neither changes the terminal's modes nor reads from it, and is never
// stopped by SIGTTOU or SIGTTIN (both are ignored). Every key poll checks
// the foreground anew, so that a run brought back with fg takes keys again.
//
// The program takes the terminal when it becomes the foreground, and not
// again while it stays there: a program that shares the foreground (less in
// "qarvel ... | less") may set modes of its own, which are its to keep. At
// exit the modes found when the terminal was taken are restored, but only
// while the terminal still has the modes the program set: once a shell has
// put back its own modes (as job control does on Ctrl+Z), or another
// program has set its own, they are not the program's to restore.

namespace {

struct KeyboardState {
  bool stdinIsTerminal = false;
  bool foreground = false;   // the terminal was taken and is still ours
  bool stdinEnded = false;   // a pipe or file reached its end: no key will come
  bool pendingByte = false;  // a pipe byte read ahead by KeyWaiting
  unsigned char pendingValue = 0;
  termios found{};  // the modes before the program changed them
  termios raw{};    // the modes the program sets
  // found and raw are complete: stored with release before the terminal is
  // set to raw, read by the signal handlers with acquire.
  std::atomic<bool> changed{false};
};
KeyboardState Keyboard;

// The modes that matter to the reader of the terminal. The hardware word
// (c_cflag) is left out: a driver may adjust it on its own (a pty sets CS8
// and CREAD), and no program sets it to read keys.
bool SameModes(const termios& a, const termios& b) {
  return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_lflag == b.c_lflag &&
         a.c_cc[VMIN] == b.c_cc[VMIN] && a.c_cc[VTIME] == b.c_cc[VTIME];
}

// Async-signal-safe: only tcgetattr and tcsetattr.
void RestoreTerminal() {
  if (!Keyboard.changed.load(std::memory_order_acquire)) return;
  termios now;
  if (tcgetattr(STDIN_FILENO, &now) == 0 && SameModes(now, Keyboard.raw)) {
    tcsetattr(STDIN_FILENO, TCSANOW, &Keyboard.found);
  }
}

// True while the program may use its terminal: it is the terminal's
// foreground process group, or the terminal is not its controlling terminal
// (job control does not reach it then).
bool TerminalIsOurs() {
  const pid_t foreground = tcgetpgrp(STDIN_FILENO);
  if (foreground == -1) return errno == ENOTTY;
  return foreground == getpgrp();
}

// Puts the terminal in non-canonical, no-echo mode (Ctrl+C still raises
// SIGINT) unless it already is in the modes the program set. The modes to
// restore are recorded before the terminal changes, so that a signal at any
// point finds either the terminal as it was or what puts it back. False
// when the terminal cannot be read.
bool TakeTerminal() {
  termios now;
  if (tcgetattr(STDIN_FILENO, &now) != 0) return false;
  if (Keyboard.changed.load(std::memory_order_acquire) && SameModes(now, Keyboard.raw)) {
    return true;
  }
  Keyboard.changed.store(false, std::memory_order_release);
  Keyboard.found = now;
  Keyboard.raw = now;
  Keyboard.raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
  Keyboard.raw.c_cc[VMIN] = 0;
  Keyboard.raw.c_cc[VTIME] = 0;
  Keyboard.changed.store(true, std::memory_order_release);
  return tcsetattr(STDIN_FILENO, TCSANOW, &Keyboard.raw) == 0;
}

// Takes the terminal when the program has become its foreground; true while
// it is the foreground and the terminal was taken.
bool TerminalIsTaken() {
  if (!TerminalIsOurs()) {
    Keyboard.foreground = false;
  } else if (!Keyboard.foreground) {
    Keyboard.foreground = TakeTerminal();
  }
  return Keyboard.foreground;
}

bool StdinReadable() {
  pollfd pfd{STDIN_FILENO, POLLIN, 0};
  int rc;
  do {
    rc = poll(&pfd, 1, 0);
  } while (rc < 0 && errno == EINTR);
  return rc > 0 && (pfd.revents & (POLLIN | POLLHUP | POLLERR)) != 0;
}

}  // namespace

void KeyboardInit() {
  Keyboard.stdinIsTerminal = isatty(STDIN_FILENO) != 0;
  if (!Keyboard.stdinIsTerminal) return;
  signal(SIGTTOU, SIG_IGN);
  signal(SIGTTIN, SIG_IGN);
  std::atexit(RestoreTerminal);
  TerminalIsTaken();
}

bool KeyWaiting() {
  if (Keyboard.stdinIsTerminal) return TerminalIsTaken() && StdinReadable();
  if (Keyboard.pendingByte) return true;
  if (Keyboard.stdinEnded || !StdinReadable()) return false;
  ssize_t n;
  do {
    n = read(STDIN_FILENO, &Keyboard.pendingValue, 1);
  } while (n < 0 && errno == EINTR);
  if (n == 1) {
    Keyboard.pendingByte = true;
    return true;
  }
  if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) Keyboard.stdinEnded = true;
  return false;
}

int KeyRead() {
  if (!Keyboard.stdinIsTerminal) {
    Keyboard.pendingByte = false;
    return Keyboard.pendingValue;
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
  // A second interrupt ends the process at once, terminal restored and no
  // half-written file left, with the shells' status for a signal.
  RestoreTerminal();
  RemovePendingSaves();
  _exit(128 + sig);
}

void EndAsTheSignalDoes(int sig) {
  RestoreTerminal();
  RemovePendingSaves();
  // Ends the process as the signal does by default (with a core dump where
  // those are enabled) once this handler returns.
  signal(sig, SIG_DFL);
  raise(sig);
}

void Catch(int sig, void (*handler)(int)) {
  struct sigaction sa {};
  sa.sa_handler = handler;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  sigaction(sig, &sa, nullptr);
}
}  // namespace

void InstallInterruptHandlers() {
  for (const int sig : {SIGINT, SIGTERM, SIGHUP}) Catch(sig, OnInterrupt);
  Catch(SIGQUIT, EndAsTheSignalDoes);
}

void InstallExitHandlers() {
  for (const int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) Catch(sig, EndAsTheSignalDoes);
}

int InterruptCount() { return Interrupts.load(std::memory_order_acquire); }

void InterruptWorkDone() {}
