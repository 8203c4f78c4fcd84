// startup.h -- start-up: defaults, command line, scene, view, lightning grid, sound, window
#pragma once

// Runs the whole viewer; returns only in the scripted mode or on -help.
int run_viewer(int argc, char** argv);
