#include <cstdio>

#include "link/console.h"

void PrintMessage(const char* text) {
  std::fputs("\r\n", stdout);
  std::fputs(text, stdout);
  std::fflush(stdout);
}

void PrintProgress(const char* text) {
  std::fputc('\r', stdout);
  std::fputs(text, stdout);
  std::fflush(stdout);
}

void PrintDiagnostic(const char* text) {
  std::fputs(text, stderr);
  std::fflush(stderr);
}
