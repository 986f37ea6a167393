// qarvel, or vexa when built with SWEEP_SECOND_BUILD=1: the program picks
// its row of the table of builds here, once.
#include "sweep/builds.h"
#include "sweep/runcontrol.h"

int main(int argc, char** argv) { return SweepMain(kSweepBuilds[SWEEP_SECOND_BUILD], argc, argv); }
