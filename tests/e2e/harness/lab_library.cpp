// Loading the stand-in product library into a test process.

#include "lab_library.h"

namespace {

template <typename Function>
bool Bind(HMODULE module, WORD ordinal, Function* slot, std::string* missing) {
    *slot = reinterpret_cast<Function>(reinterpret_cast<void*>(
        GetProcAddress(module, reinterpret_cast<const char*>(static_cast<ULONG_PTR>(ordinal)))));
    if (!*slot) missing->append(" ").append(std::to_string(ordinal));
    return *slot != nullptr;
}

}  // namespace

FARPROC LabLibrary::Ordinal(WORD ordinal) const {
    return GetProcAddress(module, reinterpret_cast<const char*>(static_cast<ULONG_PTR>(ordinal)));
}

std::string LabLibraryPath() {
    std::string path = PERCHMAN_BUILD_DIR;
    return path.append("\\lab\\labproduct.dll");
}

bool LoadLabLibrary(LabLibrary* library, std::string* error) {
    std::string path = LabLibraryPath();
    HMODULE module = LoadLibraryA(path.c_str());
    if (!module) {
        DWORD code = GetLastError();
        error->assign("cannot load ").append(path).append(" (error ");
        error->append(std::to_string(code)).append(")");
        return false;
    }
    LabLibrary& l = *library;
    l.module = module;
    std::string missing;
    Bind(module, product::kOrdEnumServerSubKeys, &l.EnumServerSubKeys, &missing);
    Bind(module, product::kOrdEnumServerValues, &l.EnumServerValues, &missing);
    Bind(module, product::kOrdUnpackValueEntry, &l.UnpackValueEntry, &missing);
    Bind(module, product::kOrdReadServerValues, &l.ReadServerValues, &missing);
    Bind(module, product::kOrdGetValueBlockData, &l.GetValueBlockData, &missing);
    Bind(module, product::kOrdAddValueToBlock, &l.AddValueToBlock, &missing);
    Bind(module, product::kOrdWriteServerValues, &l.WriteServerValues, &missing);
    Bind(module, product::kOrdDeleteServerValue, &l.DeleteServerValue, &missing);
    Bind(module, product::kOrdDeleteServerKey, &l.DeleteServerKey, &missing);
    Bind(module, product::kOrdGetDwordValue, &l.GetDwordValue, &missing);
    Bind(module, product::kOrdRemoteFileCopy, &l.RemoteFileCopy, &missing);
    Bind(module, product::kOrdPresentCallerCode, &l.PresentCallerCode, &missing);
    Bind(module, product::kOrdRegisterAlertCallbacks, &l.RegisterAlertCallbacks, &missing);
    Bind(module, product::kOrdUnregisterAlertCallbacks, &l.UnregisterAlertCallbacks, &missing);
    if (!missing.empty()) {
        error->assign(path).append(" lacks ordinals").append(missing);
        return false;
    }
    return true;
}
