// Win32 platform layer: console, keyboard, time, threads, files.
#include <windows.h>

#include <conio.h>
#include <fcntl.h>
#include <io.h>
#include <malloc.h>

#include <atomic>
#include <cstdio>

#include "platform/platform.h"

// ---------------------------------------------------------------- console

void ConsoleInit() {
  // Text mode would turn every "\r\n" into "\r\r\n".
  _setmode(_fileno(stdout), _O_BINARY);
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

FileHandle CreateOutputFile(const char* path) {
  HANDLE h = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                         nullptr);
  return h == INVALID_HANDLE_VALUE ? kInvalidFile : reinterpret_cast<FileHandle>(h);
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

bool CloseOutputFile(FileHandle file) {
  if (file == kInvalidFile) return false;
  return CloseHandle(reinterpret_cast<HANDLE>(file)) != 0;
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
// A console uses _kbhit/_getch. A pipe or file cannot be peeked reliably
// (PeekNamedPipe fails under some hosts), so a small thread blocks in
// ReadFile and raises a flag for each byte; end of file or a failure means no
// key will come.

namespace {
bool StdinIsConsole = false;
std::atomic<int> PipeKeys{0};

DWORD WINAPI StdinReader(LPVOID) {
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  for (;;) {
    char byte;
    DWORD got = 0;
    if (!ReadFile(in, &byte, 1, &got, nullptr) || got == 0) return 0;
    PipeKeys.fetch_add(1, std::memory_order_release);
  }
}
}  // namespace

void KeyboardInit() {
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  DWORD mode = 0;
  StdinIsConsole = in != nullptr && in != INVALID_HANDLE_VALUE && GetConsoleMode(in, &mode) != 0;
  if (StdinIsConsole || in == nullptr || in == INVALID_HANDLE_VALUE) return;
  HANDLE reader = CreateThread(nullptr, 0, StdinReader, nullptr, 0, nullptr);
  if (reader != nullptr) CloseHandle(reader);
}

bool KeyWaiting() {
  if (StdinIsConsole) return _kbhit() != 0;
  return PipeKeys.load(std::memory_order_acquire) > 0;
}

int KeyRead() {
  if (StdinIsConsole) return _getch();
  PipeKeys.fetch_sub(1, std::memory_order_acq_rel);
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
    case CTRL_CLOSE_EVENT:
      break;
    default:
      return FALSE;
  }
  if (Interrupts.fetch_add(1, std::memory_order_acq_rel) != 0) ExitProcess(1);
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
