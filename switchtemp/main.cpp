#include "platform/platform.h"
#include "switchtemp/switchtemp.h"

int main(int argc, char** argv) {
  ProcessInit();
  InstallExitHandlers();
  return RunSwitchTemp(argc, argv);
}
