// Temporary stand-in until the lab's network library lands.
#include "labnet.h"

namespace lab {
void ResetNetwork() {}
bool RegisterProductLibrary(const std::string&) { return true; }
}  // namespace lab
