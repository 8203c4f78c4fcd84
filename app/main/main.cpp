// main.cpp -- entry point of the viewer
#include "app/startup.h"

int main(int argc, char** argv) { return run_viewer(argc, argv); }
