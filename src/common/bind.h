#pragma once
// Binding an entry point by name or ordinal into a typed slot.

#include <windows.h>

template <typename Function>
bool BindProcedure(Function& slot, HMODULE module, const char* nameOrOrdinal) {
    slot = reinterpret_cast<Function>(
        reinterpret_cast<void*>(GetProcAddress(module, nameOrOrdinal)));
    return slot != nullptr;
}
