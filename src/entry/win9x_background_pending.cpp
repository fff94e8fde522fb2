// The Windows 9x background mode is not built yet: it ends at once.

#include "entry/win9x_background.h"

int Win9xServiceMain(int) { return 0; }
int StopBackgroundInstance() { return 0; }
