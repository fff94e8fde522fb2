// The NT service frame is not built yet. Until it is, a start without
// arguments and "/debug" do nothing visible.

#include "entry/run_modes.h"

volatile LONG DebugMode = 0;

int RunAsService(int) { return 1; }
void DebugService(int, char**) {}
