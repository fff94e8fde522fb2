#pragma once
// The stand-in product library of this build, loaded into the test process
// and bound by ordinal exactly as the program binds it, for tests that talk
// to the lab network directly.

#include <windows.h>

#include <string>

#include "product/product_interface.h"

struct LabLibrary {
    HMODULE module = nullptr;
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

    // Any ordinal, for the ones the program binds but never calls.
    FARPROC Ordinal(WORD ordinal) const;
};

// build\lab\labproduct.dll as a Windows path.
std::string LabLibraryPath();
// Loads the library once per process and binds the operations; false (and
// *error says which part) when the file or an ordinal is missing.
bool LoadLabLibrary(LabLibrary* library, std::string* error);
