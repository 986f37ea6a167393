// Win32 platform layer: console, keyboard, time, threads, files.
#include <windows.h>

#include <conio.h>
#include <fcntl.h>
#include <io.h>
#include <malloc.h>

#include <atomic>
#include <cstdio>
#include <cstring>

#include "platform/pending_saves.h"
#include "platform/platform.h"

// ---------------------------------------------------------------- process

void ProcessInit() {
  // Text mode would turn every "\r\n" into "\r\r\n". The diagnostics on
  // stderr use the same line form.
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
}

// ------------------------------------------------------------------- time

int64_t SystemTime() {
  FILETIME ft;
  GetSystemTimeAsFileTime(&ft);
  return (static_cast<int64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

int64_t MonotonicMs() { return static_cast<int64_t>(GetTickCount64()); }

void SleepMs(uint32_t ms) { Sleep(ms); }

// ---------------------------------------------------------------- threads

namespace {
struct ThreadStart {
  ThreadProc proc;
  void* arg;
};

DWORD WINAPI ThreadTrampoline(LPVOID p) {
  ThreadStart start = *static_cast<ThreadStart*>(p);
  delete static_cast<ThreadStart*>(p);
  start.proc(start.arg);
  return 0;
}
}  // namespace

int StartBackgroundThread(ThreadProc proc, void* arg) {
  auto* start = new ThreadStart{proc, arg};
  HANDLE thread = CreateThread(nullptr, 0, ThreadTrampoline, start, 0, nullptr);
  if (thread == nullptr) {
    delete start;
    return -1;
  }
  CloseHandle(thread);
  return 0;
}

int StartThread(ThreadProc proc, void* arg) {
  auto* start = new ThreadStart{proc, arg};
  DWORD threadId = 0;
  HANDLE thread = CreateThread(nullptr, 0, ThreadTrampoline, start, 0, &threadId);
  if (thread == nullptr) {
    delete start;
    return -1;
  }
  BOOL raised = SetThreadPriority(thread, THREAD_PRIORITY_ABOVE_NORMAL);
  CloseHandle(thread);
  return raised ? 0 : -2;
}

// ------------------------------------------------------------------- heap

int HeapTrim() { return _heapmin(); }

// Large pages need a privilege that a console program does not have: the
// blocks are of ordinary pages.
void* ReserveBlock(size_t size) {
  if (size == 0) return nullptr;
  return VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

void ReleaseBlock(void* block, size_t) {
  if (block != nullptr) VirtualFree(block, 0, MEM_RELEASE);
}

// ------------------------------------------------------------------ files

namespace {

using namespace pending_saves;

// Opens an existing target to see what it is. A device (NUL, CON, a COM
// port) is written directly; a file on a disk is replaced. A target that
// cannot be opened for writing (read-only, held by another program, a
// folder) fails as the plain create would have.
enum class Target { Missing, DiskFile, Device, Unusable };
Target Probe(const char* path, HANDLE* device) {
  HANDLE h =
      CreateFileA(path, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND ? Target::Missing : Target::Unusable;
  }
  if (GetFileType(h) != FILE_TYPE_DISK) {
    *device = h;
    return Target::Device;
  }
  CloseHandle(h);
  return Target::DiskFile;
}

// Makes the temporary file beside the target: same folder, so that the move
// that completes the save stays on one volume. The slot is armed before
// each create, so that the handlers remove the file even when the process
// ends before CreateFileA has returned.
HANDLE CreateTemporary(PendingSave* slot, const char* path) {
  int folderLength = 0;
  for (int i = 0; path[i] != '\0'; ++i) {
    if (path[i] == '\\' || path[i] == '/' || path[i] == ':') folderLength = i + 1;
  }
  for (int attempt = 0; attempt < 100; ++attempt) {
    if (!NextTemporaryName(slot, path, folderLength, GetCurrentProcessId())) break;
    ArmSlot(slot);
    HANDLE h = CreateFileA(slot->temp, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                           nullptr);
    if (h != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_EXISTS) return h;
    DisarmSlot(slot);  // the name is another file's
  }
  return INVALID_HANDLE_VALUE;
}

// Moves the saved file over its target. A program that holds the old file
// open without delete sharing (a sync client, an indexer, a viewer) makes
// the move fail for as long as it holds it: the move is tried again for a
// few seconds before the save counts as failed.
// A view (synced false) is written again within seconds: it waits less,
// and its move is not written through to the disk.
bool MoveOverTarget(const char* temp, const char* target, bool synced = true) {
  const int attempts = synced ? 50 : 10;
  constexpr DWORD kPauseMs = 100;
  const DWORD flags = MOVEFILE_REPLACE_EXISTING | (synced ? MOVEFILE_WRITE_THROUGH : 0);
  for (int attempt = 1;; ++attempt) {
    if (MoveFileExA(temp, target, flags)) return true;
    const DWORD error = GetLastError();
    if (attempt == attempts || (error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED &&
                                error != ERROR_LOCK_VIOLATION)) {
      return false;
    }
    Sleep(kPauseMs);
  }
}

// Removes the temporary files of the saves in progress (the process is
// about to end). The handlers run on a thread of their own: a file that is
// being created is open without sharing, so its creation is waited for
// (briefly) before its handle is closed and the file deleted.
void RemovePendingSaves() {
  for (PendingSave& slot : Saves.slots) {
    for (int waited = 0; waited < 100 && slot.state.load(std::memory_order_acquire) == kOpening;
         ++waited) {
      Sleep(10);
    }
    if (!SlotHoldsTemporary(slot)) continue;
    if (slot.state.load(std::memory_order_acquire) == kActive) {
      CloseHandle(reinterpret_cast<HANDLE>(slot.file));
    }
    DeleteFileA(slot.temp);
  }
}

}  // namespace

FileHandle CreateOutputFile(const char* path) {
  if (path == nullptr || path[0] == '\0' || std::strlen(path) >= MAX_PATH) return kInvalidFile;
  PendingSave* slot = ClaimSlot();
  if (slot == nullptr) return kInvalidFile;
  HANDLE h = INVALID_HANDLE_VALUE;
  switch (Probe(path, &h)) {
    case Target::Device: slot->direct = true; break;
    case Target::Missing:
    case Target::DiskFile:
      slot->direct = false;
      std::strcpy(slot->target, path);
      h = CreateTemporary(slot, path);
      break;
    case Target::Unusable: break;
  }
  if (h == INVALID_HANDLE_VALUE) {
    ReleaseSlot(slot);
    return kInvalidFile;
  }
  ActivateSlot(slot, reinterpret_cast<FileHandle>(h));
  return reinterpret_cast<FileHandle>(h);
}

bool WriteOutputFile(FileHandle file, const void* data, size_t n) {
  if (file == kInvalidFile) return false;
  const char* p = static_cast<const char*>(data);
  while (n > 0) {
    DWORD chunk = n > 0x40000000u ? 0x40000000u : static_cast<DWORD>(n);
    DWORD written = 0;
    if (!WriteFile(reinterpret_cast<HANDLE>(file), p, chunk, &written, nullptr) || written == 0) {
      return false;
    }
    p += written;
    n -= written;
  }
  return true;
}

bool WriteOutputPieces(FileHandle file, const OutputPiece* pieces, int count) {
  for (int i = 0; i < count; ++i) {
    if (!WriteOutputFile(file, pieces[i].data, pieces[i].size)) return false;
  }
  return true;
}

bool CloseOutputFile(FileHandle file) {
  PendingSave* slot = FindSlot(file);
  if (slot == nullptr) return false;
  if (slot->direct) {
    const bool closed = CloseHandle(reinterpret_cast<HANDLE>(slot->file)) != 0;
    ReleaseSlot(slot);
    return closed;
  }
  bool saved = FlushFileBuffers(reinterpret_cast<HANDLE>(slot->file)) != 0;
  if (!CloseHandle(reinterpret_cast<HANDLE>(slot->file))) saved = false;
  if (saved) saved = MoveOverTarget(slot->temp, slot->target);
  if (!saved) DeleteFileA(slot->temp);
  ReleaseSlot(slot);
  return saved;
}

bool ReplaceOutputFileUnsynced(FileHandle file) {
  PendingSave* slot = FindSlot(file);
  if (slot == nullptr) return false;
  bool saved = CloseHandle(reinterpret_cast<HANDLE>(slot->file)) != 0;
  if (!slot->direct) {
    if (saved) saved = MoveOverTarget(slot->temp, slot->target, false);
    if (!saved) DeleteFileA(slot->temp);
  }
  ReleaseSlot(slot);
  return saved;
}

void DiscardOutputFile(FileHandle file) {
  PendingSave* slot = FindSlot(file);
  if (slot == nullptr) return;
  CloseHandle(reinterpret_cast<HANDLE>(slot->file));
  if (!slot->direct) DeleteFileA(slot->temp);
  ReleaseSlot(slot);
}

// --------------------------------------------------------------- journals

namespace {

void ErrorText(DWORD error, char* out, size_t size) {
  if (out == nullptr || size == 0) return;
  const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                 nullptr, error, 0, out, static_cast<DWORD>(size), nullptr);
  if (n == 0) {
    std::snprintf(out, size, "error %lu", static_cast<unsigned long>(error));
    return;
  }
  // Without the full stop and line end that the system puts after its text.
  size_t length = n < size ? n : size - 1;
  while (length > 0 && std::strchr("\r\n. ", out[length - 1]) != nullptr) --length;
  out[length] = '\0';
}

// Opens for reading; with lock, shares no writing, so that it fails while
// a run holds the file, and keeps any other from writing it meanwhile.
HANDLE OpenShared(const char* path, bool lock) {
  const DWORD share =
      lock ? FILE_SHARE_READ : FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  return CreateFileA(path, GENERIC_READ, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                     nullptr);
}

}  // namespace

PathKind KindOfPath(const char* path) {
  // Opened for no access at all, which every file, folder and device (NUL,
  // CON, a COM port) allows, to ask what it is.
  HANDLE h = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return PathKind::Missing;
  BY_HANDLE_FILE_INFORMATION info{};
  const bool disk = GetFileType(h) == FILE_TYPE_DISK;
  const bool folder = disk && GetFileInformationByHandle(h, &info) &&
                      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  CloseHandle(h);
  return disk && !folder ? PathKind::RegularFile : PathKind::Other;
}

FileHandle CreateLockedFile(const char* path, CreateOutcome* outcome, char* why, size_t whySize) {
  if (std::strlen(path) >= MAX_PATH) {
    *outcome = CreateOutcome::NameTooLong;
    ErrorText(ERROR_FILENAME_EXCED_RANGE, why, whySize);
    return kInvalidFile;
  }
  // Created with its lock: no other process may open it for writing while
  // this handle lives.
  HANDLE h = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                         CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    *outcome = error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS ? CreateOutcome::Exists
               : error == ERROR_FILENAME_EXCED_RANGE ? CreateOutcome::NameTooLong
                                                     : CreateOutcome::Failed;
    ErrorText(error, why, whySize);
    return kInvalidFile;
  }
  *outcome = CreateOutcome::Created;
  return reinterpret_cast<FileHandle>(h);
}

// CreateFileA never waits for a peer: a named pipe without a free instance
// fails at once (ERROR_PIPE_BUSY), and a device opens or fails. What is not
// a disk file (a pipe, NUL, a COM port) is nobody's journal.
bool FileIsLocked(const char* path) {
  HANDLE h = OpenShared(path, true);
  if (h != INVALID_HANDLE_VALUE) {
    CloseHandle(h);
    return false;
  }
  return GetLastError() == ERROR_SHARING_VIOLATION;
}

FileHandle OpenForReading(const char* path, bool lock, OpenOutcome* outcome, char* why,
                          size_t whySize) {
  HANDLE h = OpenShared(path, lock);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    *outcome = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? OpenOutcome::Missing
               : error == ERROR_SHARING_VIOLATION && lock                     ? OpenOutcome::Locked
                                                                              : OpenOutcome::Failed;
    ErrorText(error, why, whySize);
    return kInvalidFile;
  }
  if (GetFileType(h) != FILE_TYPE_DISK) {
    CloseHandle(h);
    *outcome = OpenOutcome::NotRegular;
    return kInvalidFile;
  }
  *outcome = OpenOutcome::Opened;
  return reinterpret_cast<FileHandle>(h);
}

bool IsSameFile(FileHandle file, const char* path) {
  // Opened for no access at all, which the sharing of any open handle
  // allows, to ask for the file's identity.
  HANDLE named = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (named == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION a{}, b{};
  const bool known = GetFileInformationByHandle(reinterpret_cast<HANDLE>(file), &a) &&
                     GetFileInformationByHandle(named, &b);
  CloseHandle(named);
  return known && a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
         a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
}

int64_t ReadFromFile(FileHandle file, void* data, size_t n) {
  DWORD got = 0;
  const DWORD chunk = n > 0x40000000u ? 0x40000000u : static_cast<DWORD>(n);
  if (!ReadFile(reinterpret_cast<HANDLE>(file), data, chunk, &got, nullptr)) return -1;
  return got;
}

bool WriteFileAt(FileHandle file, uint64_t offset, const void* data, size_t n) {
  HANDLE h = reinterpret_cast<HANDLE>(file);
  // A positioned write moves the file pointer: it goes back afterwards.
  LARGE_INTEGER here{}, zero{};
  if (!SetFilePointerEx(h, zero, &here, FILE_CURRENT)) return false;
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  DWORD written = 0;
  const bool ok = WriteFile(h, data, static_cast<DWORD>(n), &written, &at) && written == n;
  SetFilePointerEx(h, here, nullptr, FILE_BEGIN);
  return ok;
}

bool ReadFileAt(FileHandle file, uint64_t offset, void* data, size_t n) {
  char* p = static_cast<char*>(data);
  while (n > 0) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    const DWORD chunk = n > 0x40000000u ? 0x40000000u : static_cast<DWORD>(n);
    DWORD got = 0;
    if (!ReadFile(reinterpret_cast<HANDLE>(file), p, chunk, &got, &at) || got == 0) return false;
    p += got;
    n -= got;
    offset += got;
  }
  return true;
}

FileHandle CreateScratchFile(const char* besidePath, char* why, size_t whySize) {
  int folderLength = 0;
  for (int i = 0; besidePath[i] != '\0'; ++i) {
    if (besidePath[i] == '\\' || besidePath[i] == '/' || besidePath[i] == ':') folderLength = i + 1;
  }
  static std::atomic<unsigned> counter{0};
  for (int attempt = 0; attempt < 100; ++attempt) {
    char name[MAX_PATH];
    const int n = std::snprintf(name, sizeof name, "%.*s.scratch-%lu-%u.tmp", folderLength,
                                besidePath, GetCurrentProcessId(), counter.fetch_add(1));
    if (n < 0 || static_cast<size_t>(n) >= sizeof name) {
      ErrorText(ERROR_FILENAME_EXCED_RANGE, why, whySize);
      return kInvalidFile;
    }
    // Deleted by the system when its last handle goes, however the process ends.
    HANDLE h =
        CreateFileA(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                    FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (h != INVALID_HANDLE_VALUE) return reinterpret_cast<FileHandle>(h);
    if (GetLastError() != ERROR_FILE_EXISTS) break;
  }
  ErrorText(GetLastError(), why, whySize);
  return kInvalidFile;
}

bool FileModifiedTime(const char* path, int64_t* time) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExA(path, GetFileExInfoStandard, &data) ||
      (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return false;
  }
  *time = static_cast<int64_t>((static_cast<uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
                               data.ftLastWriteTime.dwLowDateTime);
  return true;
}

bool IsFolder(const char* path) {
  const DWORD attributes = GetFileAttributesA(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool SyncFile(FileHandle file) { return FlushFileBuffers(reinterpret_cast<HANDLE>(file)) != 0; }

void SyncFolderOf(const char*) {}

void CloseFile(FileHandle file) {
  if (file != kInvalidFile) CloseHandle(reinterpret_cast<HANDLE>(file));
}

bool RemoveOpenFile(FileHandle file, const char* path) {
  // A handle that does not share deletion keeps the file from going while
  // it is open.
  CloseFile(file);
  return DeleteFileA(path) != 0;
}

bool VisitFolder(const char* folder, FolderVisitor visit, void* context) {
  char pattern[MAX_PATH + 2];
  const int n = std::snprintf(pattern, sizeof pattern, "%s*", folder);
  if (n < 0 || static_cast<size_t>(n) >= sizeof pattern) return false;
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA(pattern, &found);
  if (search == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_FILE_NOT_FOUND;
  do {
    if (std::strcmp(found.cFileName, ".") != 0 && std::strcmp(found.cFileName, "..") != 0) {
      visit(found.cFileName, context);
    }
  } while (FindNextFileA(search, &found));
  FindClose(search);
  return true;
}

void LastErrorText(char* out, size_t size) { ErrorText(GetLastError(), out, size); }

void QuoteForShell(const char* arg, char* out, size_t size) {
  if (size == 0) return;
  bool plain = arg[0] != '\0';
  for (const char* c = arg; *c != '\0'; ++c) {
    plain = plain && std::strchr(" \t\"&|<>^%()!,;=", *c) == nullptr;
  }
  // cmd.exe takes a word in double quotes as it stands; a file name holds
  // no double quote.
  std::snprintf(out, size, plain ? "%s" : "\"%s\"", arg);
}

// ------------------------------------------------------------------- text

int NarrowToUtf16(const char* text, size_t n, uint16_t* out, int maxUnits) {
  if (n == 0) return 0;
  int units = MultiByteToWideChar(CP_ACP, 0, text, static_cast<int>(n), nullptr, 0);
  if (units <= 0) return 0;
  if (out != nullptr && maxUnits > 0) {
    if (units <= maxUnits) {
      MultiByteToWideChar(CP_ACP, 0, text, static_cast<int>(n), reinterpret_cast<wchar_t*>(out),
                          maxUnits);
    } else {
      // The caller checked the size; never write past its buffer.
      wchar_t* all = new wchar_t[static_cast<size_t>(units)];
      MultiByteToWideChar(CP_ACP, 0, text, static_cast<int>(n), all, units);
      for (int i = 0; i < maxUnits; ++i) out[i] = static_cast<uint16_t>(all[i]);
      delete[] all;
    }
  }
  return units;
}

// --------------------------------------------------------------- keyboard
//
// A process with a console takes its keys with _kbhit/_getch, which read the
// console itself, also while stdin is redirected. A stdin that is a pipe or
// a file gives keys too: a pipe cannot be peeked reliably (PeekNamedPipe
// fails under some hosts), so a small thread blocks in ReadFile and counts
// each byte; end of file or a failure means that no more keys come from it.
// Without a console (a service, or Wine in the tests) only stdin counts.

namespace {
struct KeyboardState {
  bool consoleKeys = false;
  std::atomic<int> pipeKeys{0};
};
KeyboardState Keyboard;

DWORD WINAPI StdinReader(LPVOID) {
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  for (;;) {
    char byte;
    DWORD got = 0;
    if (!ReadFile(in, &byte, 1, &got, nullptr) || got == 0) return 0;
    Keyboard.pipeKeys.fetch_add(1, std::memory_order_release);
  }
}

bool IsConsole(HANDLE h) {
  DWORD mode = 0;
  return h != nullptr && h != INVALID_HANDLE_VALUE && GetConsoleMode(h, &mode) != 0;
}
}  // namespace

void KeyboardInit() {
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  if (IsConsole(in)) {
    Keyboard.consoleKeys = true;
    return;
  }
  HANDLE console =
      CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_EXISTING, 0, nullptr);
  Keyboard.consoleKeys = IsConsole(console);
  if (console != INVALID_HANDLE_VALUE) CloseHandle(console);
  if (in == nullptr || in == INVALID_HANDLE_VALUE) return;
  HANDLE reader = CreateThread(nullptr, 0, StdinReader, nullptr, 0, nullptr);
  if (reader != nullptr) CloseHandle(reader);
}

bool KeyWaiting() {
  return Keyboard.pipeKeys.load(std::memory_order_acquire) > 0 ||
         (Keyboard.consoleKeys && _kbhit() != 0);
}

int KeyRead() {
  // The console first, so that the second code of a two-part key follows
  // its first.
  if (Keyboard.consoleKeys && _kbhit() != 0) return _getch();
  int keys = Keyboard.pipeKeys.load(std::memory_order_acquire);
  while (keys > 0 &&
         !Keyboard.pipeKeys.compare_exchange_weak(keys, keys - 1, std::memory_order_acq_rel)) {
  }
  return 1;
}

// ------------------------------------------------------------- interrupts

namespace {
std::atomic<int> Interrupts{0};
HANDLE WorkDone = nullptr;

BOOL WINAPI OnConsoleEvent(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT: break;
    default: return FALSE;
  }
  if (Interrupts.fetch_add(1, std::memory_order_acq_rel) != 0) {
    // A second interrupt ends the process at once, with no half-written
    // file left.
    RemovePendingSaves();
    ExitProcess(1);
  }
  if (event == CTRL_CLOSE_EVENT && WorkDone != nullptr) {
    // The system ends the process when this handler returns: hold it until
    // the measurement has been saved (the system allows a few seconds).
    WaitForSingleObject(WorkDone, 4500);
  }
  return TRUE;
}
}  // namespace

void InstallInterruptHandlers() {
  WorkDone = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

namespace {
BOOL WINAPI OnExitEvent(DWORD event) {
  if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT || event == CTRL_CLOSE_EVENT) {
    RemovePendingSaves();
  }
  return FALSE;  // the system's handler ends the process
}
}  // namespace

void InstallExitHandlers() { SetConsoleCtrlHandler(OnExitEvent, TRUE); }

int InterruptCount() { return Interrupts.load(std::memory_order_acquire); }

void InterruptWorkDone() {
  if (WorkDone != nullptr) SetEvent(WorkDone);
}
