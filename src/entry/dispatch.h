#pragma once
// The command line: start-up, dispatch on the first argument, shut-down.

int RunPerchman(int argc, char** argv);
int IsDecimalNumber(const char* text);
// Prints the usage text whole (it is longer than the shared line buffer).
void PrintUsage();
