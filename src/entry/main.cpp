// The program's only entry: start-up, one branch chosen by the first
// argument, and the common shut-down.

#include <windows.h>

#include "entry/dispatch.h"

int main(int argc, char** argv) { return RunPerchman(argc, argv); }
