#pragma once
// The command line: start-up, dispatch on the first argument, shut-down.

#include "entry/command_line.h"

int RunPerchman(int argc, char** argv);
// Prints the usage text whole (it is longer than the shared line buffer).
void PrintUsage();
