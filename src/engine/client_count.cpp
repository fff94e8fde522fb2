// Counting this machine's clients and publishing the count, for both engine loops.

#include "engine/client_count.h"

#include "product/product_keys.h"

DWORD CountClients(HKEY clients) {
    DWORD subkeys = 0;
    if (!clients || RegQueryInfoKeyA(clients, nullptr, nullptr, nullptr, &subkeys, nullptr,
                                     nullptr, nullptr, nullptr, nullptr, nullptr,
                                     nullptr) != ERROR_SUCCESS)
        return 0;
    return subkeys;
}

void PublishClientCount(DWORD count) {
    if (!Keys.ProductControl) return;
    RegSetValueExA(Keys.ProductControl, "ClientCount", 0, REG_DWORD,
                   reinterpret_cast<const BYTE*>(&count), sizeof count);
}
