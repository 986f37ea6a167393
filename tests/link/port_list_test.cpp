// The listing of a machine's serial ports, on a folder that stands in for
// the root with its own dev and sys.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "link/port_list.h"
#include "tests/support/legacy.h"

using namespace legacy;

namespace {

enum Node { Terminal, PlainFile, Dangling };

struct Entry {
  std::string name;
  Node node;
  const char* device;  // a ttyS's sysfs device link, null: none
  const char* type;    // its UART type file
};

// A device node stands in as a symbolic link to a character device
// (/dev/null, which the listing only looks at).
void Add(const std::string& root, const Entry& e) {
  const std::string node = root + "/dev/" + e.name;
  if (e.node == Terminal) symlink("/dev/null", node.c_str());
  if (e.node == PlainFile) WriteFileBytes(node, "");
  if (e.node == Dangling) symlink((root + "/nowhere").c_str(), node.c_str());
  if (e.device == nullptr) return;
  const std::string sys = root + "/sys/class/tty/" + e.name;
  RunShell("mkdir -p '" + sys + "'", nullptr);
  symlink(e.device, (sys + "/device").c_str());
  WriteFileBytes(sys + "/type", e.type);
}

std::vector<std::string> List(const std::string& root) {
  static SerialPortList list;
  ListSerialPorts(root.c_str(), &list);
  return std::vector<std::string>(list.name, list.name + list.count);
}

// A stand-in root with an empty dev folder, removed with the object.
struct Root {
  std::string dir = MakeTempDir("root");
  Root() { mkdir((dir + "/dev").c_str(), 0755); }
  ~Root() { RemoveTree(dir); }
};

TEST(PortList, KindsOrderAndRealBuiltInPorts) {
  const Entry entries[] = {
      {"ttyS0", Terminal, "../../../00:01", "4\n"},
      {"ttyS1", Terminal, "../../../serial8250", "4\n"},  // the placeholder
      {"ttyS2", Terminal, "../../../00:02", "0\n"},       // UART type unknown
      {"ttyS3", Terminal, nullptr, nullptr},              // no device behind it
      {"ttyS4", Terminal, "../../../fe650000.serial", "4\n"},
      {"ttyGS0", Terminal, nullptr, nullptr},
      {"ttyAP3", Terminal, nullptr, nullptr},
      {"rfcomm0", Terminal, nullptr, nullptr},
      {"ttyAMA0", Terminal, nullptr, nullptr},
      {"ttyXRUSB1", Terminal, nullptr, nullptr},
      {"ttyACM0", Terminal, nullptr, nullptr},
      {"ttyUSB10", Terminal, nullptr, nullptr},
      {"ttyUSB2", Terminal, nullptr, nullptr},
      {"ttyUSB3", Terminal, nullptr, nullptr},
      // Not ports: no number, another name, a stale file, a broken link.
      {"ttyUSB", Terminal, nullptr, nullptr},
      {"ttyUSB1a", Terminal, nullptr, nullptr},
      {"ttySAC0", Terminal, nullptr, nullptr},
      {"ttyUSB4", PlainFile, nullptr, nullptr},
      {"ttyACM5", Dangling, nullptr, nullptr},
  };
  Root root;
  for (const Entry& e : entries) Add(root.dir, e);
  EXPECT_EQ(List(root.dir), (std::vector<std::string>{"ttyUSB2", "ttyUSB3", "ttyUSB10", "ttyACM0",
                                                  "ttyXRUSB1", "ttyAMA0", "rfcomm0", "ttyAP3",
                                                  "ttyGS0", "ttyS0", "ttyS4"}));
}

TEST(PortList, NoPortsAndMoreThan255) {
  EXPECT_TRUE(List("/nonexistent-root-of-a-test").empty());
  Root root;
  EXPECT_TRUE(List(root.dir).empty());
  // COM1..COM255 take the first 255 in order.
  for (int n = 0; n < 300; ++n) {
    Add(root.dir, {"ttyACM" + std::to_string(n), Terminal, nullptr, nullptr});
  }
  Add(root.dir, {"ttyUSB7", Terminal, nullptr, nullptr});
  std::vector<std::string> ports = List(root.dir);
  ASSERT_EQ(ports.size(), 255u);
  EXPECT_EQ(ports[0], "ttyUSB7");
  EXPECT_EQ(ports[1], "ttyACM0");
  EXPECT_EQ(ports[254], "ttyACM253");
}

}  // namespace
