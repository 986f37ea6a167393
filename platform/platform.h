// Platform layer: the few operating-system services the programs use, behind
// one set of calls. platform_posix.cpp serves Linux (termios, pthreads,
// signals); platform_win32.cpp serves Windows (Win32 and the C runtime).
// Nothing outside these two files includes a system header of either OS.
#pragma once

#include <cstddef>
#include <cstdint>

// ---------------------------------------------------------------- process

// Prepares the process; call once at program start. Idempotent.
//   Windows: stdout and stderr are switched to binary mode so that "\r\n"
//   reaches the console or file unchanged (text mode would write "\r\r\n").
//   POSIX: SIGPIPE is ignored, so that a closed output pipe cannot kill a
//   measurement, and SIGXFSZ too, so that a file-size limit makes a save
//   fail with an error instead of ending the process.
void ProcessInit();

// ------------------------------------------------------------------- time

// Wall-clock time in 100-nanosecond units since 1601-01-01 UTC, the unit of
// GetSystemTimeAsFileTime. Differences divided by 10,000,000 are seconds.
int64_t SystemTime();

// Milliseconds on a clock that only goes forward (not the wall clock, which
// may be set back): for intervals and time-outs.
int64_t MonotonicMs();

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

// Starts a detached thread running proc(arg) at normal priority, for work
// that may wait on the disk. Returns 0, or -1 when it cannot be created.
int StartBackgroundThread(ThreadProc proc, void* arg);

// ------------------------------------------------------------------- heap

// Gives unused heap memory back to the system (after a large store has been
// freed). Returns the runtime's result: glibc's malloc_trim, or _heapmin on
// Windows; 0 where the runtime has no such call.
int HeapTrim();

// A block of memory for the large buffers (the record store's chunks, the
// writer's and the save's buffers): size bytes, page-aligned, and on Linux
// aligned to kHugePageBytes and backed by huge pages (madvise
// MADV_HUGEPAGE), so that filling it takes a fraction of the page faults,
// which cost most in a virtual machine. Null when there is no memory.
// ReleaseBlock takes the same size.
constexpr size_t kHugePageBytes = size_t{2} << 20;
void* ReserveBlock(size_t size);
void ReleaseBlock(void* block, size_t size);

// ------------------------------------------------------------------ files
//
// Output files are saved atomically. CreateOutputFile opens a new temporary
// file in the target's folder; CloseOutputFile flushes it to the disk, closes
// it and only then moves it over the target name, so a saved file is on the
// disk whole. After any failure, and after DiscardOutputFile, the temporary
// file is gone and an earlier file of the target name is exactly as it was.
// A second interrupt during a save removes the temporary file before the
// process ends (see InstallInterruptHandlers).
//
// A target that exists and is not a regular file (a device such as
// /dev/null or NUL, a FIFO) has nothing to replace: it is written directly.
// A file that is replaced keeps its permissions. Through a symbolic link the
// file it names is saved, and the link stays; a link that names nothing yet
// gets that file, as a plain open would create it.
//
//   Windows: CreateFileA (GENERIC_WRITE, no sharing, CREATE_NEW) of the
//   temporary file, FlushFileBuffers, CloseHandle, then MoveFileExA with
//   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH.
//   POSIX: open(O_CREAT | O_EXCL, 0666) of the temporary file, fchmod to
//   the permissions of the file it replaces, fsync, close, rename, then
//   fsync of the folder.

// A separator between the parts of a path: '/' and, as Windows also takes
// it, '\\' on every system, so that names from either read alike.
inline bool IsPathSeparator(char c) { return c == '/' || c == '\\'; }

using FileHandle = intptr_t;
constexpr FileHandle kInvalidFile = -1;

// Starts saving a file under path. Fails (kInvalidFile) when the target
// cannot be replaced: a folder, a file this user may not write, a missing
// folder, or no temporary file can be made beside it. The temporary file is
// named ".save-<process id>-<n>.tmp" in the target's folder.
FileHandle CreateOutputFile(const char* path);

// Writes all n bytes (POSIX: loops over short writes and EINTR).
// Returns false on any failure.
bool WriteOutputFile(FileHandle file, const void* data, size_t n);

// Writes the pieces in order, as one write where the system has one (POSIX
// writev), so that none needs copying into one place first. Returns false
// on any failure.
struct OutputPiece {
  const void* data;
  size_t size;
};
constexpr int kMaxOutputPieces = 64;
bool WriteOutputPieces(FileHandle file, const OutputPiece* pieces, int count);

// Completes the save: true when the bytes are on the disk under the target
// name. On false nothing of this save is left and the target is untouched.
// The handle is gone either way.
bool CloseOutputFile(FileHandle file);

// Abandons the save: closes the file and removes the temporary file; the
// target is untouched.
void DiscardOutputFile(FileHandle file);

// Completes a save of a file that is a view, not data (a live page): as
// CloseOutputFile, the file replaces the target whole or not at all, but
// nothing is flushed to the disk, so that a view rewritten every few
// seconds costs the disk no syncs. After a power cut the target may be the
// earlier file, or empty. The handle is gone either way.
//   POSIX: close, rename. Windows: CloseHandle, MoveFileExA with
//   MOVEFILE_REPLACE_EXISTING, tried again for a moment while a reader
//   holds the target.
bool ReplaceOutputFileUnsynced(FileHandle file);

// --------------------------------------------------------------- journals
//
// A journal is a file that one run appends to and holds locked while it
// lives. POSIX takes flock's exclusive lock; Windows keeps the file open
// sharing only read and delete. Every tool tells a live journal from one
// that a dead run left by that lock, and by nothing else.

enum class PathKind { Missing, RegularFile, Other };

// What is at path (through a symbolic link, what it names): nothing, a
// regular file, or anything else (a folder, a device, a FIFO).
PathKind KindOfPath(const char* path);

enum class CreateOutcome { Created, Exists, NameTooLong, Failed };

// Creates path, which must not exist yet, for appending, and takes its
// lock. On Failed, why receives the system's reason.
FileHandle CreateLockedFile(const char* path, CreateOutcome* outcome, char* why, size_t whySize);

// True when another process holds the lock of the regular file at path.
// Never waits: what is not a regular file (a FIFO, a device) is opened
// without waiting for a peer, and is nobody's journal.
bool FileIsLocked(const char* path);

enum class OpenOutcome { Opened, Missing, Locked, NotRegular, Failed };

// Opens an existing regular file for reading, without waiting: anything
// else (a FIFO, a device, a folder) gives NotRegular. With lock, takes its
// lock too, and gives Locked when another process holds it. Without, reads
// alongside a process that writes it, taking nothing that the writer needs.
// On Failed, why receives the system's reason.
FileHandle OpenForReading(const char* path, bool lock, OpenOutcome* outcome, char* why,
                          size_t whySize);

// True when path names the very file that file holds open, by the file's
// identity (POSIX device and inode, Windows volume serial number and file
// index): through symbolic links and hard links as by its own name.
bool IsSameFile(FileHandle file, const char* path);

// Reads up to n bytes from where the last read ended: the count, 0 at the
// end of the file, -1 on failure.
int64_t ReadFromFile(FileHandle file, void* data, size_t n);

// Writes n bytes at offset without moving the place where appends go.
bool WriteFileAt(FileHandle file, uint64_t offset, const void* data, size_t n);

// Reads exactly n bytes from offset; false on a failure or an end of file
// before them. Where the next plain read or write goes is left to the
// system (POSIX keeps it; Windows moves it), so a file is either read at
// offsets or in sequence.
bool ReadFileAt(FileHandle file, uint64_t offset, void* data, size_t n);

// A new file for scratch data beside path (in its folder, so on the disk
// the caller chose), open for reading and writing, that no name keeps: it
// goes when its handle is closed, also when the process ends in any way.
// Written with WriteOutputFile, read with ReadFileAt, closed with
// CloseFile. kInvalidFile on failure, and why receives the system's reason.
//   POSIX: open(O_TMPFILE) of the folder where the file system has it, else
//   a new ".scratch-<pid>-<n>.tmp" that is unlinked at once.
//   Windows: CreateFileA with CREATE_NEW and FILE_FLAG_DELETE_ON_CLOSE.
FileHandle CreateScratchFile(const char* besidePath, char* why, size_t whySize);

// When the file at path was last written, in SystemTime's units; false
// when there is nothing at path, or it is not a regular file.
bool FileModifiedTime(const char* path, int64_t* time);

// True when path names a folder (through a symbolic link, what it names).
bool IsFolder(const char* path);

// Flushes the file's data to the disk (fdatasync; FlushFileBuffers).
bool SyncFile(FileHandle file);

// Makes a file's new name in its folder durable: POSIX syncs the folder
// (best effort, as some file systems cannot); Windows needs nothing.
void SyncFolderOf(const char* path);

void CloseFile(FileHandle file);

// Removes the file at path that file holds open (and perhaps locked), and
// closes file; no other process takes the file up in between on POSIX,
// where the name goes first. True when the name is gone; on false,
// LastErrorText gives the reason.
bool RemoveOpenFile(FileHandle file, const char* path);

// Calls visit(name, context) for each entry of folder ("" for the working
// folder, else ending in a separator) but "." and "..", in no order. False
// when the folder cannot be read.
using FolderVisitor = void (*)(const char* name, void* context);
bool VisitFolder(const char* folder, FolderVisitor visit, void* context);

// The text of this thread's last system error.
void LastErrorText(char* out, size_t size);

// arg as one word for this platform's shell: as it stands when it needs no
// quoting, else quoted.
void QuoteForShell(const char* arg, char* out, size_t size);

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
// A POSIX terminal is the keyboard while the process is its foreground: it
// goes to non-canonical, no-echo mode (signals still raised by Ctrl+C) when
// the process becomes the foreground, and is not set again while it stays
// there, so that another program sharing the foreground keeps its modes. The
// modes found then are restored at every exit path, signals included, while
// the terminal still has the program's. Call after InstallInterruptHandlers.
// On a pipe or file: any byte that arrives is a key press; end of file
// means that no key will ever come.
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
// second one ends the process at once, with the terminal restored and the
// temporary file of a save in progress removed. On POSIX, SIGQUIT (Ctrl+\)
// ends the process as it always does, after the same restoring and removing.
void InstallInterruptHandlers();

// For a program that has no measurement to stop and save (vexasw): Ctrl+C
// and its relatives end the process as they do by default, but only once
// the temporary file of a save in progress has been removed. POSIX: SIGINT,
// SIGTERM, SIGHUP and SIGQUIT, each raised again with its default action,
// so that the exit status tells the signal. Windows: CTRL_C, CTRL_BREAK and
// CTRL_CLOSE events, then passed on to the system, which ends the process.
void InstallExitHandlers();

// Number of interrupts seen so far (0 or 1 while the process lives).
int InterruptCount();

// Tells the interrupt handling that the program has finished its work and is
// about to exit. On Windows a console-close event waits for this before the
// system ends the process; on POSIX it does nothing.
void InterruptWorkDone();
