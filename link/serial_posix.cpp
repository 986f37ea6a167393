// Serial port backend for POSIX systems: termios on a tty device.
//
// COM<n> is $COMPORT_DIR/COM<n> when COMPORT_DIR is set (normally a symbolic
// link to a tty: an emulator's pty, or a USB adapter such as /dev/ttyUSB0).
// Otherwise it is the n-th serial port that the machine has (port_list.h),
// as listed by the latest NumberComPorts.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include "link/link.h"
#include "link/port_list.h"
#include "platform/platform.h"

namespace {

constexpr uint32_t kWriteSlackMs = 25;

// The COM numbering of the machine's own ports, made by NumberComPorts.
struct Numbering {
  bool listed = false;
  SerialPortList ports;
};
Numbering Machine;

const char* PortDir() {
  const char* dir = std::getenv("COMPORT_DIR");
  return dir != nullptr && dir[0] != '\0' ? dir : nullptr;
}

bool PortPath(int port, char* path, size_t size) {
  int n = 0;
  if (const char* dir = PortDir()) {
    n = std::snprintf(path, size, "%s/COM%d", dir, port);
  } else {
    if (!Machine.listed) NumberComPorts();
    if (port < 1 || port > Machine.ports.count) return false;
    n = std::snprintf(path, size, "/dev/%s", Machine.ports.name[port - 1]);
  }
  return n > 0 && static_cast<size_t>(n) < size;
}

// Why an open failed, from its errno.
PortOutcome OpenFailure(int error) {
  switch (error) {
    case ENOENT:
    case ENOTDIR:
    case ENXIO:
    case ENODEV:
    case ELOOP: return PortMissing;
    case EACCES:
    case EPERM: return PortDenied;
    case EBUSY: return PortBusy;  // held with TIOCEXCL by another program
    default: return PortUnusable;
  }
}

// Raw 8N1 at the deliverable's speed, no flow control of any kind, reads
// that return at once with whatever has arrived.
bool ConfigurePort(int fd) {
  termios tio;
  if (tcgetattr(fd, &tio) != 0) return false;
  cfmakeraw(&tio);
  tio.c_cflag &= ~(CSIZE | PARENB | CSTOPB | CRTSCTS);
  tio.c_cflag |= CS8 | CLOCAL | CREAD;
  tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  const speed_t speed = kBaudRate == 115200 ? B115200 : B460800;
  if (cfsetispeed(&tio, speed) != 0 || cfsetospeed(&tio, speed) != 0) return false;
  return tcsetattr(fd, TCSANOW, &tio) == 0;
}

}  // namespace

void NumberComPorts() {
  if (PortDir() != nullptr) return;
  ListSerialPorts("", &Machine.ports);
  Machine.listed = true;
}

bool ComPortName(int port, char* name, size_t size) {
  return port >= 1 && port <= 255 && PortPath(port, name, size);
}

PortHandle OpenComPort(int port, PortOutcome* failure) {
  PortOutcome ignored;
  PortOutcome& why = failure != nullptr ? *failure : ignored;
  why = PortMissing;
  char path[PATH_MAX];
  if (!ComPortName(port, path, sizeof path)) return kInvalidPort;
  // Non-blocking, so that the open never waits for carrier.
  int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    why = OpenFailure(errno);
    return kInvalidPort;
  }
  // Exclusive use, as a Win32 open without sharing: the lock makes every
  // program that follows the same rule fail, privileged or not; TIOCEXCL
  // keeps out any other unprivileged open. The lock comes first so that a
  // port held by someone else is left exactly as it is.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    why = errno == EWOULDBLOCK ? PortBusy : PortUnusable;
    close(fd);
    return kInvalidPort;
  }
  if (ioctl(fd, TIOCEXCL) != 0 || !ConfigurePort(fd)) {
    why = PortUnusable;
    ClosePort(fd);
    return kInvalidPort;
  }
  // Ptys have no modem lines; a port without them is usable all the same.
  int lines = TIOCM_DTR | TIOCM_RTS;
  ioctl(fd, TIOCMBIS, &lines);
  // There are no driver queue sizes to set here: the tty layer sizes its own
  // buffers.
  return fd;
}

void ClosePort(PortHandle port) {
  if (port == kInvalidPort) return;
  int fd = static_cast<int>(port);
  // The exclusive flag belongs to the tty, not to this descriptor; an
  // emulator that keeps its pty open would otherwise stay locked.
  ioctl(fd, TIOCNXCL);
  close(fd);
}

uint32_t PortRead(PortHandle port, uint8_t* buf, uint32_t capacity) {
  // Any failure (EAGAIN, or EIO once a USB adapter is unplugged or the pty's
  // other end is gone) counts as an empty read.
  ssize_t n = read(static_cast<int>(port), buf, capacity);
  return n > 0 ? static_cast<uint32_t>(n) : 0;
}

bool PortWrite(PortHandle port, const void* data, uint32_t n) {
  int fd = static_cast<int>(port);
  const uint8_t* p = static_cast<const uint8_t*>(data);
  // One millisecond per byte plus a constant, as the Win32 write time-out.
  const int64_t deadline = MonotonicMs() + n + kWriteSlackMs;
  while (n > 0) {
    ssize_t w = write(fd, p, n);
    if (w > 0) {
      p += w;
      n -= static_cast<uint32_t>(w);
      continue;
    }
    if (w < 0 && errno == EINTR) continue;
    if (w < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return false;
    int64_t left = deadline - MonotonicMs();
    if (left <= 0) return false;
    pollfd pfd = {fd, POLLOUT, 0};
    if (poll(&pfd, 1, static_cast<int>(left)) < 0 && errno != EINTR) return false;
  }
  return true;
}

void PortWaitInput(PortHandle port, uint32_t ms) {
  pollfd pfd = {static_cast<int>(port), POLLIN, 0};
  int rc = poll(&pfd, 1, static_cast<int>(ms));
  // A port that is gone (hang-up, error) reports itself at once and for
  // ever: pause the whole time instead of spinning until the data time-out.
  if (rc < 0 || (rc > 0 && (pfd.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0)) SleepMs(ms);
}
