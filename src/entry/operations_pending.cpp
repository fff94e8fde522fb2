// Temporary: operations whose modules are being written. Each module removes
// its entries from here when it lands.

#include <cstdio>
#include <cstring>

#include "common/handles.h"
#include "common/text.h"
#include "output/output.h"
#include "product/product_library.h"
#include "product/server_registry.h"

#include "engine/engine_settings.h"
#include "engine/nearest.h"
#include "engine/network_change.h"
#include "engine/parent_check.h"
#include "engine/timing.h"

int NearestParent(int) { return 0; }
int NearestQuarantine(int) { return 0; }
int NearestHPD(int) { return 0; }
int NearestWDR(int) { return 0; }
int NearestKPZ(int) { return 0; }
int NearestPrimary(int) { return 0; }
int NearestAlerts(int) { return 0; }
int NearestAll(int) { return 0; }
int CheckParent(int) { return 0; }
int ReleaseParent() { return 1; }

// Temporary, for the lists module until the timing and registry modules land:
// the one probe and the local level-0 read, as they are to behave.
product::Status ProbeServer(const char* server, const char* role, int level,
                            char* returnedList, uint32_t* elapsedMs) {
    char valueName[kTextSize];
    FormatText(valueName, "RoamManaging%sLevel%d", role, level);
    uint8_t block[product::kListBlockSize] = {};
    CopyText(reinterpret_cast<char*>(block), sizeof block - 1, valueName);
    uint32_t count = 1;
    uint32_t start = ClockMs();
    product::Status status = Product.ReadServerValues
                                 ? Product.ReadServerValues(server, "ProductControl", block, 0,
                                                            &count)
                                 : product::kLibraryUnavailable;
    returnedList[0] = '\0';
    if (status == 0) {
        uint16_t length = 0;
        std::memcpy(&length, block, sizeof length);
        if (length > kListSize - 1) length = kListSize - 1;
        if (length > product::kListBlockSize - product::kReplyHeaderSize)
            length = product::kListBlockSize - product::kReplyHeaderSize;
        std::memcpy(returnedList, block + product::kReplyHeaderSize, length);
        returnedList[length] = '\0';
    }
    *elapsedMs = ElapsedMs(start, ClockMs());
    return status;
}

LONG ReadLocalServerList(char* list, const char* role, uint32_t* elapsedMs) {
    uint32_t start = ClockMs();
    list[0] = '\0';
    RegKey key;
    LONG status = RegOpenKeyExA(HKEY_LOCAL_MACHINE,
                                "SOFTWARE\\Tarvo\\Kelvane\\Fendwall6\\CurrentVersion\\ProductControl",
                                0, KEY_READ, key.put());
    if (status == ERROR_SUCCESS) {
        char valueName[kTextSize];
        FormatText(valueName, "RoamManaging%sLevel0", role);
        DWORD size = kListSize - 1;
        status = RegQueryValueExA(key.get(), valueName, nullptr, nullptr,
                                  reinterpret_cast<BYTE*>(list), &size);
        if (status == ERROR_SUCCESS) list[size < kListSize ? size : kListSize - 1] = '\0';
    }
    if (status != ERROR_SUCCESS) list[0] = '\0';
    *elapsedMs = ElapsedMs(start, ClockMs());
    return status;
}
