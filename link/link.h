// Device link: the serial port and device discovery, sending frames, and
// the receiver. The frame itself, the packet types and the byte-wise parser
// are in link/protocol.h; status codes and console messages in
// link/status.h.
//
// The link library is built once per deliverable. LINK_SWITCH_UNIT (a public
// compile definition of the library target) selects the switch unit's link
// (vexasw) when 1 and the sweep instrument's link (qarvel, vexa) when 0:
//
//                          sweep instrument     switch unit
//   speed                  460800 baud          115200 baud
//   input queue            65536 bytes          2048 bytes
//   payload capacity       65536 bytes          2048 bytes
//   identification         START 00 00, 300 ms, FlushReceiver, SWIDQUERY
//                          FlushReceiver, IDQUERY
//
// Every file that includes this header belongs to one of the two builds,
// and LINK_SWITCH_UNIT says which.
//
// Link operations never print; their callers do.
#pragma once

#include <cstddef>
#include <cstdint>

#include "link/protocol.h"

#ifndef LINK_SWITCH_UNIT
#error "LINK_SWITCH_UNIT must be defined by the build (link_sweep or link_switch)"
#endif

// ------------------------------------------------------ discovery report
//
// Discovery notes what it met on every COM port it tried, so that a failed
// search can say why no instrument was found.

enum PortOutcome : uint8_t {
  PortNotTried = 0,  // discovery did not come to this port
  PortFound,         // the instrument answered here
  PortMissing,       // no such port (or no serial port behind the name)
  PortBusy,          // held by another program
  PortDenied,        // no permission to open it
  PortUnusable,      // opens, but cannot be set up as a serial port
  PortNoAnswer,      // nothing came back to the identification query
  PortWrongAnswer,   // something answered, but not as the instrument does
};

// What one discovery met, by COM number (index 0 is unused).
struct DetectReport {
  PortOutcome outcome[256];
};

// The reason printed for a port that was not taken ("" for PortNotTried and
// PortFound).
const char* PortOutcomeText(PortOutcome outcome);

// Gives the name under which COM<port> is shown; false when it has none.
using PortNameFn = bool (*)(int port, char* name, size_t size);

// The diagnosis of a failed discovery, for stderr: one line per port that
// was tried and exists, "\r\n<name>: <reason>", in COM order, then one line
// for all the ports that do not exist, "\r\nCOM1, COM3 to COM255: no such
// port". Lines that do not fit into size bytes are left out whole. Returns
// the length of the text (always terminated).
size_t FormatDetectReport(const DetectReport& report, PortNameFn name, char* text, size_t size);

// Room for any diagnosis that names ports of ordinary path lengths.
constexpr size_t kDetectReportTextBytes = 32768;

// ---------------------------------------------------------- build choices

constexpr bool kSwitchUnitLink = LINK_SWITCH_UNIT != 0;
constexpr uint32_t kBaudRate = kSwitchUnitLink ? 115200 : 460800;
constexpr uint32_t kInputQueueBytes = kSwitchUnitLink ? 2048 : 65536;
constexpr uint32_t kOutputQueueBytes = 256;
constexpr uint32_t kPayloadCapacity = kSwitchUnitLink ? 2048 : 65536;

// ------------------------------------------------------ serial port backend

// An open port: a Win32 HANDLE or a POSIX file descriptor.
using PortHandle = intptr_t;
constexpr PortHandle kInvalidPort = -1;

// Numbers the COM ports for one discovery; the numbering holds until the
// next call.
//   Windows: COM<n> is "\\.\COM<n>"; nothing to do.
//   POSIX:   COM<n> is $COMPORT_DIR/COM<n> when COMPORT_DIR is set, and
//            nothing else is looked at. Otherwise COM1, COM2, ... are the
//            serial ports that the machine has, listed now in the order of
//            port_list.h (USB adapters first).
void NumberComPorts();

// The name of COM<port> in messages: "COM3" on Windows, the device path on
// POSIX. False when the numbering has no port of that number.
bool ComPortName(int port, char* name, size_t size);

// Opens COM<port> (1..255) configured for this deliverable: 8N1, no flow
// control, DTR and RTS asserted, reads that return at once with whatever has
// arrived, writes of n bytes bounded to n + 25 ms. The open is exclusive: a
// port that another program holds fails. Returns kInvalidPort on any failure
// and leaves nothing open; then *failure (when given) says why: PortMissing,
// PortBusy, PortDenied or PortUnusable. On POSIX, a first open before any
// NumberComPorts numbers the ports itself.
PortHandle OpenComPort(int port, PortOutcome* failure = nullptr);

// Closes a port opened by OpenComPort or DetectDevice.
void ClosePort(PortHandle port);

// One non-blocking read: returns the number of bytes placed in buf (0 when
// nothing has arrived or the read failed).
uint32_t PortRead(PortHandle port, uint8_t* buf, uint32_t capacity);

// Writes n bytes; returns false on failure or time-out.
bool PortWrite(PortHandle port, const void* data, uint32_t n);

// Returns after ms milliseconds, or earlier once bytes have arrived. POSIX
// waits on the descriptor; Windows sleeps, the driver's input queue keeping
// what arrives meanwhile.
void PortWaitInput(PortHandle port, uint32_t ms);

// ----------------------------------------------------------------- sending

// Bytes 0..4 are 0xFF for the life of the process; 5..7 are rewritten with
// type and length before each frame.
extern uint8_t FrameHeader[8];

// Writes the 8-byte header in one write and starts the running sum *xbuf.
void SendHeader(PortHandle port, uint8_t* xbuf, uint8_t type, uint16_t length);

// Writes count (at most 255) payload bytes in one write, adding them to *xbuf.
void SendPayload(PortHandle port, uint8_t* xbuf, const void* data, uint8_t count);

// Writes the check byte (~*xbuf) & 0x7F. Returns the write's success.
bool SendChecksum(PortHandle port, uint8_t* xbuf);

// Sends a whole frame: header, the payload in pieces of at most 255 bytes,
// check byte.
void SendFrame(PortHandle port, uint8_t type, const void* payload, uint16_t length);

// --------------------------------------------------------------- receiving

// The receive record, process-wide. Its contents are valid until the next
// receive operation.
struct ReceivedPacket {
  uint8_t type;
  uint16_t length;  // as received (0xFFFF means no payload)
  uint8_t payload[kPayloadCapacity];
  uint16_t count;  // payload bytes seen so far
  uint8_t sum;     // running check sum
  uint8_t state;   // parser state 0..9
};

// One non-blocking receiver step. Points *rbuf at the receive record.
// Returns 0 when a whole packet with a valid check byte is there;
// kParseNeedMore (1) when the buffered input is used up (one new
// non-blocking read has been issued);
// ChecksumError, PacketTooLong or ParserStateError for a bad packet.
int32_t ReceiveStep(PortHandle port, ReceivedPacket** rbuf);

// The receive loop's pause after ReceiveStep returned kParseNeedMore. Returns at once
// while bytes of the last read wait unparsed. Otherwise pauses 10 ms; while
// a fast stream comes in (over 100,000 bytes/s, twice the real link's rate)
// the pause ends as soon as more bytes arrive, since a tty's own buffer
// holds only a few kilobytes. A stream at the link's rate thus costs one
// wake-up per 10 ms, and a faster one is read as it comes.
void ReceivePause(PortHandle port);

// Discards everything received so far and leaves the parser idle.
void FlushReceiver(PortHandle port);

// Waits up to 500 ms (50 sleeps of 10 ms) for a STATUS packet of length 2
// and returns its signed 16-bit status; other packets are consumed and
// skipped. Returns NoData when none came.
int32_t WaitStatusReply(PortHandle port);

// Returns the receive-activity flag (set whenever payload bytes are parsed)
// and clears it.
int TakeReceiveActivity();

// --------------------------------------------------------------- discovery

// The port tried first by the next discovery: 0 at start, the port found
// after a success, 256 after a failure.
extern int LastComPort;

// Numbers the COM ports once (NumberComPorts), then tries them from
// LastComPort on (then 2, 3, ... 255), running this deliverable's
// identification exchange on each port that opens, and keeps the first
// whose device answers with status 0. Returns NoError with *port open, or
// DetectError with *port = kInvalidPort. *report (when given) receives what
// happened on each port; a port tried twice keeps its last outcome. A device
// that answers with a non-zero status, or sends anything else, gave a wrong
// answer; one that sends nothing at all within the wait gave no answer.
int32_t DetectDevice(PortHandle* port, DetectReport* report = nullptr);
