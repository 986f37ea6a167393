// Console output, the same in all three programs: the fixed messages and the
// progress line on stdout, diagnostics on stderr. Every print is flushed at
// once, so that the output appears also when stdout is a pipe or a log file.
#pragma once

// Prints "\r\n%s" (every message starts on a fresh line) and flushes.
void PrintMessage(const char* text);

// Prints "\r%s" (the line overwrites itself) and flushes.
void PrintProgress(const char* text);

// Prints text to stderr as it stands and flushes: diagnostics beyond the
// fixed console texts, which stdout keeps to itself.
void PrintDiagnostic(const char* text);
