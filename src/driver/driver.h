// The snapshot driver: one run takes one picture, from the command line to
// the image file, and returns the exit status (fatal errors exit directly).
#pragma once

int run_snapshot(int argc, char** argv);
