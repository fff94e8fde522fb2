#pragma once
// Is the parent alive, and giving it up.

int CheckParent(int reportOnly);
int ReleaseParent();
