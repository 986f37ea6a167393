#include "platform/platform.h"
#include "switchtemp/switchtemp.h"

int main(int argc, char** argv) {
  ConsoleInit();
  return RunSwitchTemp(argc, argv);
}
