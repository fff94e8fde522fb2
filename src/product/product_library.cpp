// Loading the product library through its COM registration and binding its
// operations by ordinal; product sessions.

#include "product/product_library.h"

#include <cstring>
#include <ctime>

#include "common/bind.h"
#include "common/handles.h"
#include "output/output.h"

ProductLibrary Product;

namespace {

constexpr DWORD kLibraryPathSize = 512;

volatile LONG CallsHeld = 0;

product::Status WINAPI MissingOperation() { return product::kOperationMissing; }

const char* Ordinal(WORD ordinal) {
    return reinterpret_cast<const char*>(static_cast<ULONG_PTR>(ordinal));
}

bool BindAll(HMODULE module) {
    ProductLibrary& p = Product;
    bool complete = true;
    complete &= BindProcedure(p.EnumServerSubKeys, module, Ordinal(product::kOrdEnumServerSubKeys));
    complete &= BindProcedure(p.EnumServerValues, module, Ordinal(product::kOrdEnumServerValues));
    complete &= BindProcedure(p.UnpackValueEntry, module, Ordinal(product::kOrdUnpackValueEntry));
    complete &= BindProcedure(p.ReadServerValues, module, Ordinal(product::kOrdReadServerValues));
    complete &= BindProcedure(p.GetValueBlockData, module, Ordinal(product::kOrdGetValueBlockData));
    complete &= BindProcedure(p.AddValueToBlock, module, Ordinal(product::kOrdAddValueToBlock));
    complete &= BindProcedure(p.WriteServerValues, module, Ordinal(product::kOrdWriteServerValues));
    complete &= BindProcedure(p.DeleteServerValue, module, Ordinal(product::kOrdDeleteServerValue));
    complete &= BindProcedure(p.DeleteServerKey, module, Ordinal(product::kOrdDeleteServerKey));
    complete &= BindProcedure(p.GetDwordValue, module, Ordinal(product::kOrdGetDwordValue));
    complete &= BindProcedure(p.RemoteFileCopy, module, Ordinal(product::kOrdRemoteFileCopy));
    complete &= BindProcedure(p.PresentCallerCode, module, Ordinal(product::kOrdPresentCallerCode));
    complete &= BindProcedure(p.RegisterAlertCallbacks, module,
                              Ordinal(product::kOrdRegisterAlertCallbacks));
    complete &= BindProcedure(p.UnregisterAlertCallbacks, module,
                              Ordinal(product::kOrdUnregisterAlertCallbacks));
    size_t i = 0;
    for (WORD ordinal : product::kUncalledOrdinals)
        complete &= BindProcedure(p.Uncalled[i++], module, Ordinal(ordinal));
    if (!BindProcedure(p.Optional203, module, Ordinal(product::kOrdOptionalFirst)))
        p.Optional203 = MissingOperation;
    if (!BindProcedure(p.Optional204, module, Ordinal(product::kOrdOptionalSecond)))
        p.Optional204 = MissingOperation;
    return complete;
}

void UnloadProductLibrary() {
    if (InterlockedCompareExchange(&CallsHeld, 0, 0) != 0) return;
    if (Product.Module) FreeLibrary(Product.Module);
    Product = ProductLibrary{};
}

// Whole minutes since 1970, hidden with the key the library expects.
uint32_t CallerCode() {
    uint32_t minutes = static_cast<uint32_t>(std::time(nullptr) / 60);
    return minutes ^ product::kCallerCodeKey;
}

uint32_t WINAPI VirusAlertCallback(const product::AlertRecord* record) {
    PrintVirusAlert(record ? record->virusName : nullptr);
    return 0;
}

uint32_t WINAPI IgnoreAlert(const product::AlertRecord*) { return 0; }

}  // namespace

product::Status LoadProductLibrary() {
    if (Product.Module) return 0;
    RegKey key;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, product::kLibraryClsidKey, 0, KEY_READ, key.put()))
        return product::kLibraryUnavailable;
    char path[kLibraryPathSize + 1] = "";
    DWORD size = kLibraryPathSize;
    DWORD type = 0;
    if (RegQueryValueExA(key.get(), nullptr, nullptr, &type, reinterpret_cast<BYTE*>(path),
                         &size) != ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ))
        return product::kLibraryUnavailable;
    path[size < kLibraryPathSize ? size : kLibraryPathSize] = '\0';

    // As COM loads an in-process server: by the registered path, and what the
    // library needs in turn from its own folder first, never from the
    // program's, which need not be the system's to write.
    bool fullPath = std::strchr(path, '\\') != nullptr;
    Product.Module = fullPath ? LoadLibraryExA(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH)
                              : LoadLibraryA(path);
    if (!Product.Module) return product::kLibraryUnavailable;
    if (!BindAll(Product.Module)) {
        UnloadProductLibrary();
        return product::kLibraryUnavailable;
    }
    return 0;
}

product::Status OpenProductSession(HANDLE* session) {
    if (product::Status status = LoadProductLibrary()) return status;
    if (product::Status status = Product.PresentCallerCode(CallerCode())) return status;
    *session = Product.RegisterAlertCallbacks(VirusAlertCallback, IgnoreAlert);
    return 0;
}

void CloseProductSession(HANDLE* session) {
    if (*session && Product.UnregisterAlertCallbacks) Product.UnregisterAlertCallbacks(*session);
    *session = nullptr;
    UnloadProductLibrary();
}

void HoldProductLibrary() { InterlockedIncrement(&CallsHeld); }

void ReleaseProductLibrary() { InterlockedDecrement(&CallsHeld); }

DWORD GetDwordValue(HKEY key, const char* name, DWORD defaultValue) {
    if (!Product.GetDwordValue || !key) return defaultValue;
    return Product.GetDwordValue(key, name, defaultValue);
}
