#include "sweep/sweep.h"

int main(int argc, char** argv) { return SweepMain(argc, argv); }
