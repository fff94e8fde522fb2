// The client configuration file's location and the wait for the product.

#include "takeover/hpd_file.h"

#include "common/text.h"
#include "platform/stop_request.h"
#include "output/output.h"
#include "product/data_directories.h"
#include "product/product_keys.h"
#include "product/product_library.h"

bool WorkOutHpdPath(char* out) {
    HomeDirectory[0] = '\0';
    ReadHomeDirectory(HomeDirectory, sizeof HomeDirectory);
    char directory[MAX_PATH];
    CopyText(directory, "");
    DWORD clientType = GetDwordValue(Keys.Root, "ClientType", 0);
    bool fromAppData = IsWindowsNT() && (clientType == 1 || clientType == 2) &&
                       GetAppDataDirectory(kAllUsersFolder, directory) == 0;
    if (!fromAppData) {
        // Without a home directory the path would name the root of the
        // current drive, where the product never looks.
        if (HomeDirectory[0] == '\0') {
            CopyText(out, MAX_PATH, "");
            SetLastError(ERROR_PATH_NOT_FOUND);
            return false;
        }
        // A home directory too long for a path buffer cannot name the file.
        if (!CopyText(directory, HomeDirectory)) {
            CopyText(out, MAX_PATH, "");
            SetLastError(ERROR_FILENAME_EXCED_RANGE);
            return false;
        }
    }
    char path[MAX_PATH];
    if (!FormatText(path, "%s\\HPD.DAT", directory)) {
        CopyText(out, MAX_PATH, "");
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    CopyText(out, MAX_PATH, path);
    return true;
}

bool WaitForHpdProcessed() {
    uint32_t start = ClockMs();
    // A quick product has already lowered the flag: look before the first
    // pause. A stop of the engine ends the wait as its time-out does; the
    // product takes the file in later all the same.
    for (bool first = true; ElapsedMs(start, ClockMs()) < kProductWaitMs; first = false) {
        if (!first && WaitForEngineStop(kProductPollMs)) return false;
        DWORD value = 1;
        DWORD size = sizeof value;
        if (RegQueryValueExA(Keys.ProductControl, "ProcessHPDNow", nullptr, nullptr,
                             reinterpret_cast<BYTE*>(&value), &size) == ERROR_SUCCESS &&
            value == 0)
            return true;
    }
    return false;
}
