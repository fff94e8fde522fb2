// Service installation and removal are not built yet. Until they are,
// "/install" and "/remove" do nothing beyond what the command line itself
// prints, so that no run claims an effect it did not have.

#include "entry/run_modes.h"

void InstallService(const char*, const char*, const char*) {}
void RemoveService(const char*) {}
