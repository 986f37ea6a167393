// Serial port backend for Windows: a COM port opened with CreateFileA.
#include <windows.h>

#include <cstdio>

#include "link/link.h"

namespace {

HANDLE AsHandle(PortHandle port) { return reinterpret_cast<HANDLE>(port); }

// Changes the driver's settings to 8N1 at the deliverable's speed with DTR
// and RTS on and no flow control; every other field stays as reported.
void ApplyLinkSettings(DCB* dcbConfig) {
  dcbConfig->BaudRate = kBaudRate;
  dcbConfig->ByteSize = 8;
  dcbConfig->Parity = NOPARITY;
  dcbConfig->StopBits = ONESTOPBIT;
  dcbConfig->fOutxCtsFlow = FALSE;
  dcbConfig->fOutxDsrFlow = FALSE;
  dcbConfig->fDtrControl = DTR_CONTROL_ENABLE;
  dcbConfig->fDsrSensitivity = FALSE;
  dcbConfig->fOutX = FALSE;
  dcbConfig->fInX = FALSE;
  dcbConfig->fNull = FALSE;
  dcbConfig->fRtsControl = RTS_CONTROL_ENABLE;
  dcbConfig->fAbortOnError = FALSE;
}

}  // namespace

void NumberComPorts() {}

bool ComPortName(int port, char* name, size_t size) {
  if (port < 1 || port > 255) return false;
  const int n = std::snprintf(name, size, "COM%d", port);
  return n > 0 && static_cast<size_t>(n) < size;
}

PortHandle OpenComPort(int port, PortOutcome* failure) {
  PortOutcome ignored;
  PortOutcome& why = failure != nullptr ? *failure : ignored;
  why = PortMissing;
  if (port < 1 || port > 255) return kInvalidPort;
  char PortName[sizeof "\\\\.\\COM255:"];
  std::snprintf(PortName, sizeof PortName, "\\\\.\\COM%d", port);
  // No sharing: a port that another program holds fails to open, with
  // access denied.
  HANDLE hSerial =
      CreateFileA(PortName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (hSerial == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    why = error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION ? PortBusy
          : error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? PortMissing
                                                                           : PortUnusable;
    return kInvalidPort;
  }

  DCB dcbConfig;
  dcbConfig.DCBlength = sizeof dcbConfig;
  // Reads return at once with whatever the driver holds; a write of n bytes
  // times out after n + 25 ms.
  COMMTIMEOUTS ctTimeout = {};
  ctTimeout.ReadIntervalTimeout = MAXDWORD;
  ctTimeout.WriteTotalTimeoutMultiplier = 1;
  ctTimeout.WriteTotalTimeoutConstant = 25;
  // A name without a serial port behind it opens but has no comm state
  // (Wine maps every COM name; the unmapped ones fail here).
  bool ok = GetCommState(hSerial, &dcbConfig) != 0;
  why = ok ? PortUnusable : PortMissing;
  if (ok) {
    ApplyLinkSettings(&dcbConfig);
    ok = SetCommState(hSerial, &dcbConfig) != 0 &&
         SetupComm(hSerial, kInputQueueBytes, kOutputQueueBytes) != 0 &&
         SetCommTimeouts(hSerial, &ctTimeout) != 0;
  }
  if (!ok) {
    CloseHandle(hSerial);
    return kInvalidPort;
  }
  return reinterpret_cast<PortHandle>(hSerial);
}

void ClosePort(PortHandle port) {
  if (port != kInvalidPort) CloseHandle(AsHandle(port));
}

uint32_t PortRead(PortHandle port, uint8_t* buf, uint32_t capacity) {
  DWORD nRead = 0;
  if (!ReadFile(AsHandle(port), buf, capacity, &nRead, nullptr)) return 0;
  return nRead;
}

bool PortWrite(PortHandle port, const void* data, uint32_t n) {
  DWORD nWritten = 0;
  return WriteFile(AsHandle(port), data, n, &nWritten, nullptr) != 0 && nWritten == n;
}

void PortWaitInput(PortHandle /*port*/, uint32_t ms) { Sleep(ms); }
