#pragma once
// Temporary stand-in until the lab's network library lands: the calls the
// test harness makes, doing nothing.
#include <string>

namespace lab {
void ResetNetwork();
bool RegisterProductLibrary(const std::string& dllWindowsPath);
}  // namespace lab
