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
// that completes the save stays on one volume.
HANDLE CreateTemporary(PendingSave* slot, const char* path) {
  int folderLength = 0;
  for (int i = 0; path[i] != '\0'; ++i) {
    if (path[i] == '\\' || path[i] == '/' || path[i] == ':') folderLength = i + 1;
  }
  for (int attempt = 0; attempt < 100; ++attempt) {
    if (!NextTemporaryName(slot, path, folderLength, GetCurrentProcessId())) break;
    HANDLE h = CreateFileA(slot->temp, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                           nullptr);
    if (h != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_EXISTS) return h;
  }
  return INVALID_HANDLE_VALUE;
}

// Removes the temporary files of the saves in progress (the process is
// about to end).
void RemovePendingSaves() {
  for (PendingSave& slot : Saves.slots) {
    if (slot.state.load(std::memory_order_acquire) == kActive && !slot.direct) {
      CloseHandle(reinterpret_cast<HANDLE>(slot.file));
      DeleteFileA(slot.temp);
    }
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
  if (saved &&
      !MoveFileExA(slot->temp, slot->target, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    saved = false;
  }
  if (!saved) DeleteFileA(slot->temp);
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

int InterruptCount() { return Interrupts.load(std::memory_order_acquire); }

void InterruptWorkDone() {
  if (WorkDone != nullptr) SetEvent(WorkDone);
}
