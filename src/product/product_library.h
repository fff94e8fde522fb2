#pragma once
// The product library, loaded at run time and reached by ordinal, and the
// product sessions opened around each operation that needs it.

#include <windows.h>

#include "product/product_interface.h"

struct ProductLibrary {
    HMODULE Module = nullptr;
    product::EnumServerSubKeysFn EnumServerSubKeys = nullptr;
    product::EnumServerValuesFn EnumServerValues = nullptr;
    product::UnpackValueEntryFn UnpackValueEntry = nullptr;
    product::ReadServerValuesFn ReadServerValues = nullptr;
    product::GetValueBlockDataFn GetValueBlockData = nullptr;
    product::AddValueToBlockFn AddValueToBlock = nullptr;
    product::WriteServerValuesFn WriteServerValues = nullptr;
    product::DeleteServerValueFn DeleteServerValue = nullptr;
    product::DeleteServerKeyFn DeleteServerKey = nullptr;
    product::GetDwordValueFn GetDwordValue = nullptr;
    product::RemoteFileCopyFn RemoteFileCopy = nullptr;
    product::PresentCallerCodeFn PresentCallerCode = nullptr;
    product::RegisterAlertCallbacksFn RegisterAlertCallbacks = nullptr;
    product::UnregisterAlertCallbacksFn UnregisterAlertCallbacks = nullptr;
    product::UncalledFn Uncalled[sizeof product::kUncalledOrdinals / sizeof(WORD)] = {};
    product::UncalledFn Optional203 = nullptr;
    product::UncalledFn Optional204 = nullptr;
};

// The bound table; every entry is null while the library is not loaded.
extern ProductLibrary Product;

// 0, or 0x20000000 when the library or one of its ordinals is missing.
product::Status LoadProductLibrary();
// 0 when the session is open; the handle is kept in *session.
product::Status OpenProductSession(HANDLE* session);
void CloseProductSession(HANDLE* session);

// A call into the library that its caller stopped waiting for (a remote
// write at shutdown) may still be running on a thread of its own: while one
// is held, closing the session leaves the library loaded and bound, for the
// process's end to take away, instead of unloading it under that thread.
void HoldProductLibrary();
void ReleaseProductLibrary();

// Reads a DWORD of an open local key through the library: the value, or
// defaultValue when the library, the value or its type is missing.
DWORD GetDwordValue(HKEY key, const char* name, DWORD defaultValue);
