// How long the listing of this machine's serial ports takes: the work done
// at the start of every discovery when COMPORT_DIR is not set. The listing
// reads /dev and sysfs only; no port is opened.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "link/port_list.h"

namespace {

constexpr int kRuns = 200;
SerialPortList List;

double ListingMicroseconds() {
  const auto start = std::chrono::steady_clock::now();
  ListSerialPorts("", &List);
  return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
      .count();
}

}  // namespace

int main() {
  const double first = ListingMicroseconds();
  std::vector<double> times(kRuns);
  for (double& t : times) t = ListingMicroseconds();
  std::sort(times.begin(), times.end());
  std::printf("port_listing_first_us: %.0f us\n", first);
  std::printf("port_listing_us: %.0f us\n", times[kRuns / 2]);
  std::printf("port_listing_max_us: %.0f us\n", times.back());
  std::printf("port_listing_ports: %d ports\n", List.count);
  return 0;
}
