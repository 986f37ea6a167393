// The serial ports of a Linux machine, in the order in which the POSIX
// backend numbers them COM1, COM2, ... when COMPORT_DIR is not set
// (port_list_posix.cpp; POSIX only).
//
// A port is a character device (or a symbolic link to one) in <root>/dev
// whose name is one of these prefixes followed by a decimal number:
//   ttyUSB, ttyACM                        USB adapters, first
//   ttyXRUSB, ttyAMA, rfcomm, ttyAP, ttyGS  other kinds, in this order
//   ttyS                                  built-in ports, last
// Within a kind the numbers run in numeric order (ttyUSB2 before ttyUSB10).
// A ttyS counts only when it is real hardware: <root>/sys/class/tty/NAME
// has a device link, the device is not the serial8250 placeholder, and its
// UART type (the type file) is not 0, unknown. The listing only looks at
// names and sysfs; it opens no port.
#pragma once

constexpr int kMaxSerialPorts = 255;  // COM1..COM255
constexpr int kSerialPortNameBytes = 32;

struct SerialPortList {
  int count;
  char name[kMaxSerialPorts][kSerialPortNameBytes];  // "ttyUSB0": COM1 is name[0]
};

// Lists the ports under root ("" is the machine's own root folder). Ports
// beyond the 255th, and names too long for a slot, are left out.
void ListSerialPorts(const char* root, SerialPortList* list);
