// The HPD-server and primary roles: the server's own client configuration
// file replaces the local one, and the product is asked to take it in.

#include <cstring>

#include "common/handles.h"
#include "common/text.h"
#include "platform/system_functions.h"
#include "output/output.h"
#include "product/product_control.h"
#include "product/product_keys.h"
#include "takeover/hpd_file.h"
#include "takeover/process_runner.h"
#include "takeover/takeovers.h"

namespace {

constexpr unsigned kMsgHpdCopyFailed = 79;
constexpr unsigned kMsgHpdPathMissing = 80;
constexpr unsigned kMsgNotRunning = 81;
constexpr unsigned kMsgPrimaryNotStarted = 82;
constexpr unsigned kMsgHpdServerNotStarted = 139;
constexpr DWORD kRemotePathSize = 256;

// False when a stop of the engine ended the wait for a product still starting.
bool StartProduct(SC_HANDLE manager) {
    if (EngineFunctions.IsWin9x)
        StartProductObject();
    else if (manager)
        return StartProductService(manager, kProductServiceName) != START_CUT_BY_STOP;
    return true;
}

// Windows 9x keeps count of the configurations handed to the product.
void CountAccess() {
    DWORD counter = 0;
    DWORD size = sizeof counter;
    if (RegQueryValueExA(Keys.ProductControl, "AccessCounter", nullptr, nullptr,
                         reinterpret_cast<BYTE*>(&counter), &size) != ERROR_SUCCESS ||
        size != sizeof counter)
        counter = 0;
    ++counter;
    RegSetValueExA(Keys.ProductControl, "AccessCounter", 0, REG_DWORD,
                   reinterpret_cast<const BYTE*>(&counter), sizeof counter);
}

int TakeOverHpdFile(const char* server, unsigned notStartedMessage) {
    char hpdPath[MAX_PATH];
    DWORD pathError = WorkOutHpdPath(hpdPath) ? 0 : GetLastError();

    char relative[kRemotePathSize + 1] = {};
    DWORD size = kRemotePathSize;
    LONG query = RegQueryValueExA(Keys.ProductControl, "ParentHPDPath", nullptr, nullptr,
                                  reinterpret_cast<BYTE*>(relative), &size);
    if (query == ERROR_SUCCESS) relative[size < kRemotePathSize ? size : kRemotePathSize] = '\0';
    if (query != ERROR_SUCCESS || relative[0] == '\0') {
        SetLastError(static_cast<DWORD>(query));
        LoadMessage(kMsgHpdPathMissing, MessageText);
        PrintLastError(MessageText, nullptr, true);
        return 0;
    }

    // Without a place for the file there is nothing the product could take in.
    if (pathError) {
        PrintStatusMessage(kMsgHpdCopyFailed, pathError, false);
        return 0;
    }
    char remote[kTextSize];
    FormatText(remote, "$\\%s", relative);
    product::Status status = CopyFileFromServer(server, remote, hpdPath);
    if (status != 0) {
        PrintStatusMessage(kMsgHpdCopyFailed, status, false);
        return 0;
    }

    DWORD one = 1;
    LONG written = RegSetValueExA(Keys.ProductControl, "ProcessHPDNow", 0, REG_DWORD,
                                  reinterpret_cast<const BYTE*>(&one), sizeof one);
    if (EngineFunctions.IsWin9x && written == ERROR_SUCCESS) CountAccess();

    // The service control manager for the start and its checks only; each
    // check asks for the service's state afresh.
    ServiceHandle manager;
    if (!EngineFunctions.IsWin9x) manager = OpenServiceManager();
    if (!IsProductRunning(manager.get())) {
        PrintMessageId(kMsgNotRunning, nullptr, false);
        // A product that is only start-pending because the stop ended the
        // wait has not failed to start: it comes up on its own, file in place.
        if (!StartProduct(manager.get()) && !IsProductRunning(manager.get())) return 0;
    }
    if (!IsProductRunning(manager.get())) {
        LoadMessage(notStartedMessage, MessageText);
        PrintLastError(MessageText, nullptr, true);
        return 0;
    }
    manager.reset();
    // The file stays in place whether or not the product takes it in time.
    WaitForHpdProcessed();
    return 1;
}

}  // namespace

int TakeOverHPDServer(const char* server) { return TakeOverHpdFile(server, kMsgHpdServerNotStarted); }

int TakeOverPrimary(const char* server) { return TakeOverHpdFile(server, kMsgPrimaryNotStarted); }
