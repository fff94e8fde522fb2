// The Windows 9x engine loop is not built yet: it returns at once.

#include "engine/engine_loop.h"

void MainLoop() {}
