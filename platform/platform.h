// Platform layer: the few operating-system services the programs use, behind
// one set of calls. platform_posix.cpp serves Linux (termios, pthreads,
// signals); platform_win32.cpp serves Windows (Win32 and the C runtime).
// Nothing outside these two files includes a system header of either OS.
#pragma once

#include <cstddef>
#include <cstdint>

// ---------------------------------------------------------------- console

// Prepares standard output. On Windows stdout is switched to binary mode so
// that "\r\n" reaches the console or file unchanged (text mode would write
// "\r\r\n"). Idempotent; call once at program start.
void ConsoleInit();

// ------------------------------------------------------------------- time

// Wall-clock time in 100-nanosecond units since 1601-01-01 UTC, the unit of
// GetSystemTimeAsFileTime. Differences divided by 10,000,000 are seconds.
int64_t SystemTime();

// Sleeps at least ms milliseconds.
void SleepMs(uint32_t ms);

// ---------------------------------------------------------------- threads

using ThreadProc = void (*)(void* arg);

// Starts a detached thread running proc(arg) at raised priority.
// Returns 0; -1 when the thread cannot be created; -2 when the priority
// cannot be raised (Windows only: on POSIX an unprivileged process may not
// raise priority, so the thread then runs at normal priority and 0 is
// returned). After -2 the thread is running all the same.
int StartThread(ThreadProc proc, void* arg);

// ------------------------------------------------------------------- heap

// Gives unused heap memory back to the system (after a large store has been
// freed). Returns the runtime's result: glibc's malloc_trim, or _heapmin on
// Windows; 0 where the runtime has no such call.
int HeapTrim();

// ------------------------------------------------------------------ files

using FileHandle = intptr_t;
constexpr FileHandle kInvalidFile = -1;

// Creates (or truncates) a file for writing. Windows: CreateFileA with
// GENERIC_WRITE, no sharing, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL.
// POSIX: open(O_WRONLY | O_CREAT | O_TRUNC, 0666). Returns kInvalidFile on
// failure.
FileHandle CreateOutputFile(const char* path);

// Writes all n bytes (POSIX: loops over short writes and EINTR).
// Returns false on any failure.
bool WriteOutputFile(FileHandle file, const void* data, size_t n);

// Closes the file. Returns false when the close reports a failure (a
// deferred write error, for example); the handle is gone either way.
bool CloseOutputFile(FileHandle file);

// ------------------------------------------------------------------- text

// Converts n bytes of narrow text to UTF-16 code units, the way this
// platform reads narrow text: Windows with the active ANSI code page
// (MultiByteToWideChar, CP_ACP); POSIX as UTF-8, where any byte that is not
// part of a valid UTF-8 sequence is taken as Latin-1. Never produces more
// units than source bytes. Writes at most maxUnits units to out (out may be
// null to count only) and returns the number of units the whole text
// converts to.
int NarrowToUtf16(const char* text, size_t n, uint16_t* out, int maxUnits);

// --------------------------------------------------------------- keyboard

// Sets up the stop key on standard input. On a console/terminal: a key.
// POSIX terminals go to non-canonical, no-echo mode (signals still raised by
// Ctrl+C) until the process ends; the previous mode is restored at every
// exit path, signals included. On a pipe or file: any byte that arrives is a
// key press; end of file means that no key will ever come.
void KeyboardInit();

// True when a key is waiting. Never blocks.
bool KeyWaiting();

// Consumes one key and returns its code. On a POSIX terminal everything that
// has arrived is drained, so a multi-byte key (an arrow's escape sequence)
// counts as one key. Call only after KeyWaiting() returned true.
int KeyRead();

// ------------------------------------------------------------- interrupts

// Catches Ctrl+C and its relatives (POSIX: SIGINT, SIGTERM, SIGHUP; Windows:
// CTRL_C, CTRL_BREAK and CTRL_CLOSE events) so that the program can stop and
// save its measurement instead of dying. The first interrupt only counts; a
// second one ends the process at once (terminal restored). SIGPIPE is
// ignored on POSIX so that a closed output pipe cannot kill a measurement.
void InstallInterruptHandlers();

// Number of interrupts seen so far (0 or 1 while the process lives).
int InterruptCount();

// Tells the interrupt handling that the program has finished its work and is
// about to exit. On Windows a console-close event waits for this before the
// system ends the process; on POSIX it does nothing.
void InterruptWorkDone();
