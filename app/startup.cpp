// startup.cpp -- start-up sequence of the viewer
#include "app/startup.h"

int run_viewer(int, char**) { return 0; }
