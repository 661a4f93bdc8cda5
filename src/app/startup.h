// Program entry: the version and usage paths and the start-up sequence.
#pragma once

// Runs the program as main does; returns only on the version and usage paths
// (status 0). Start-up runs until the process is killed or a fatal path ends it.
int quorvane_main(int argc, char** argv);
