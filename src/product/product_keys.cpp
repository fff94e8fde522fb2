// The product's registry keys, open for the whole run.

#include "product/product_keys.h"

#include "product/product_interface.h"

ProductKeys Keys;

DWORD OpenProductKeys() {
    if (RegOpenKeyA(HKEY_LOCAL_MACHINE, kProductRootPath, &Keys.Root) != ERROR_SUCCESS) {
        Keys.Root = nullptr;
        return product::kProductRootUnavailable;
    }
    // A subkey that cannot be opened keeps a null handle; the others still open.
    struct Subkey {
        const char* name;
        HKEY* handle;
    };
    const Subkey subkeys[] = {{"PatternManager", &Keys.PatternManager},
                              {"ProductControl", &Keys.ProductControl},
                              {"ClientScan", &Keys.ClientScan},
                              {"ForwardScan", &Keys.ForwardScan},
                              {"SystemScan", &Keys.SystemScan},
                              {"Common", &Keys.Common}};
    for (const Subkey& subkey : subkeys)
        if (RegOpenKeyA(Keys.Root, subkey.name, subkey.handle) != ERROR_SUCCESS)
            *subkey.handle = nullptr;
    return 0;
}

void CloseProductKeys() {
    HKEY* handles[] = {&Keys.Root,        &Keys.PatternManager, &Keys.ClientScan,
                       &Keys.ForwardScan, &Keys.SystemScan,     &Keys.Common,
                       &Keys.ProductControl};
    for (HKEY* handle : handles) {
        if (*handle) RegCloseKey(*handle);
        *handle = nullptr;
    }
}

DWORD ReadConnected() {
    DWORD connected = 0;
    DWORD type = 0;
    DWORD bytes = sizeof connected;
    if (RegQueryValueExA(Keys.Root, "Connected", nullptr, &type,
                         reinterpret_cast<BYTE*>(&connected), &bytes) != ERROR_SUCCESS ||
        type != REG_DWORD || bytes != sizeof connected)
        return 0;
    return connected;
}
