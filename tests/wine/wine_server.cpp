// wine_server start|stop: makes the suite's Wine prefix and starts the one wineserver that serves it for the
// whole run, or ends that server with every Windows process. ctest runs it as the fixture tests
// wine:server-start and wine:server-stop around the Wine suite.
#include <cstdio>
#include <cstring>

#include "tests/support/wine.h"

int main(int argc, char** argv) {
  const bool start = argc == 2 && std::strcmp(argv[1], "start") == 0;
  if (!start && !(argc == 2 && std::strcmp(argv[1], "stop") == 0)) {
    std::fprintf(stderr, "usage: wine_server start|stop\n");
    return 2;
  }
  const std::string why = WineUnavailableReason();
  if (!why.empty()) {  // the suite's tests skip themselves for the same reason
    std::printf("[  SKIPPED ] Windows build under Wine: %s\n", why.c_str());
    return 0;
  }
  return (start ? WineStartServer() : WineStopServer()) == 0 ? 0 : 1;
}
