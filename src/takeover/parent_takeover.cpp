// Making a server the parent of this machine: the client configuration file
// that names it, the values that make the product switch, the product's
// restart when it is not being managed, and the wait for its confirmation.

#include <cstdint>
#include <cstring>

#include "common/handles.h"
#include "common/text.h"
#include "engine/parent_check.h"
#include "entry/system_functions.h"
#include "output/output.h"
#include "product/data_directories.h"
#include "product/product_control.h"
#include "product/product_keys.h"
#include "product/product_library.h"
#include "takeover/hpd_file.h"
#include "takeover/process_runner.h"
#include "takeover/takeovers.h"

namespace {

constexpr unsigned kMsgNotManaged = 76;
constexpr unsigned kMsgHistoryCopyFailed = 77;
constexpr unsigned kMsgHpdNotCreated = 78;
constexpr unsigned kMsgNotRunning = 81;

// The update time the file carries; the product replaces it once it has
// applied the file, which is the confirmation waited for.
constexpr BYTE HPD_UPDATE_SENTINEL[8] = {0x00, 0x00, 0x00, 0x47, 0x47, 0x47, 0x00, 0x00};
constexpr size_t kParentNameSize = 256;

// Case-insensitive in the system code page, multibyte characters included,
// and without the linguistic equivalences of a collation.
bool SameServer(const char* a, const char* b) {
    char upperA[kParentNameSize + 1];
    char upperB[kParentNameSize + 1];
    if (!CopyText(upperA, a) || !CopyText(upperB, b)) return false;
    CharUpperBuffA(upperA, static_cast<DWORD>(std::strlen(upperA)));
    CharUpperBuffA(upperB, static_cast<DWORD>(std::strlen(upperB)));
    return std::strcmp(upperA, upperB) == 0;
}

// A string value of the root into a buffer of kParentNameSize bytes; false
// when it cannot be read. The stored value need not end in a NUL.
bool QueryName(const char* name, char (&out)[kParentNameSize + 1]) {
    DWORD size = kParentNameSize;
    if (RegQueryValueExA(Keys.Root, name, nullptr, nullptr, reinterpret_cast<BYTE*>(out),
                         &size) != ERROR_SUCCESS) {
        out[0] = '\0';
        return false;
    }
    out[size < kParentNameSize ? size : kParentNameSize] = '\0';
    return true;
}

// "Parent" is stored without its terminator; the empty name with no bytes.
void WriteParent(const char* name) {
    RegSetValueExA(Keys.Root, "Parent", 0, REG_SZ, reinterpret_cast<const BYTE*>(name),
                   static_cast<DWORD>(std::strlen(name)));
}

void WriteProcessHpdNow() {
    DWORD one = 1;
    RegSetValueExA(Keys.ProductControl, "ProcessHPDNow", 0, REG_DWORD,
                   reinterpret_cast<const BYTE*>(&one), sizeof one);
}

// The file as the product reads it: text lines ending in CR LF.
class HpdWriter {
public:
    explicit HpdWriter(const char* path) {
        if (path[0] == '\0') {
            SetLastError(ERROR_FILENAME_EXCED_RANGE);
            return;
        }
        file_.reset(CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    }
    bool Created() const { return static_cast<bool>(file_); }
    void Line(const char* format, ...) __attribute__((format(gnu_printf, 2, 3))) {
        char line[kTextSize];
        va_list args;
        va_start(args, format);
        FormatTextV(line, sizeof line - 2, format, args);  // room for the line end
        va_end(args);
        AppendText(line, "\r\n");
        DWORD written = 0;
        WriteFile(file_.get(), line, static_cast<DWORD>(std::strlen(line)), &written, nullptr);
    }
    void Sentinel() {
        const BYTE* s = HPD_UPDATE_SENTINEL;
        Line("HPDUpdateTime=B%02x%02x%02x%02x%02x%02x%02x%02x", s[0], s[1], s[2], s[3], s[4],
             s[5], s[6], s[7]);
    }
    void Close() { file_.reset(); }

private:
    FileHandle file_;
};

void WriteShortForm(HpdWriter& file) {
    file.Line("[KEYS]");
    file.Line("!KEY!=$REGROOT$");
    file.Line("Connected=D1");
    file.Sentinel();
}

void WriteFullForm(HpdWriter& file, const char* parent) {
    file.Line("[KEYS]");
    file.Line("!KEY!=$REGROOT$");
    file.Line("AlertDirectory=S\\%s\\FWALERT$", parent);
    file.Line("RemoteHomeDirectory=S\\%s\\FWHOME", parent);
    file.Line("Parent=S%s", parent);
    file.Line("FullHPDUpdateCounter=D1");
    file.Sentinel();
    file.Line("Connected=D1");
}

void RemoveClientRecord(const char* oldParent) {
    BYTE guid[kClientGuidSize];
    // Without this client's identity there is no record of it to name.
    if (!ReadClientGuid(guid)) return;
    char key[kTextSize];
    if (!ClientRecordKey(guid, key, sizeof key)) return;
    if (Product.DeleteServerKey) Product.DeleteServerKey(oldParent, key);
}

// An unreadable value counts as not managed: restarting the product is the
// safe side, as it then reads the new file in any case.
DWORD ReadConnected() {
    DWORD connected = 0;
    DWORD size = sizeof connected;
    if (RegQueryValueExA(Keys.Root, "Connected", nullptr, nullptr,
                         reinterpret_cast<BYTE*>(&connected), &size) != ERROR_SUCCESS ||
        size != sizeof connected)
        return 0;
    return connected;
}

void RestartProductIfUnmanaged(ProductProbe& product, DWORD connected) {
    bool win9x = EngineFunctions.IsWin9x != 0;
    SC_HANDLE manager = product.Manager();
    if (product.IsRunning() && connected == 0) {
        PrintMessageId(kMsgNotManaged, nullptr, false);
        if (win9x)
            StopProductObject();
        else if (manager && IsServiceRunning(manager, kProductServiceName))
            StopProductService(manager, kProductServiceName);
    } else if (!product.IsRunning()) {
        PrintMessageId(kMsgNotRunning, nullptr, false);
    }
    if (!product.IsRunning()) {
        if (win9x)
            StartProductObject();
        else if (manager)
            StartProductService(manager, kProductServiceName);
    }
}

bool WaitForConfirmation() {
    uint32_t start = ClockMs();
    // The product has usually confirmed while the flag was awaited: look
    // before the first sleep.
    for (bool first = true; ElapsedMs(start, ClockMs()) < kProductWaitMs; first = false) {
        if (!first) Sleep(kProductPollMs);
        BYTE value[sizeof HPD_UPDATE_SENTINEL];
        DWORD size = sizeof value;
        if (RegQueryValueExA(Keys.Root, "HPDUpdateTime", nullptr, nullptr, value, &size) ==
                ERROR_SUCCESS &&
            std::memcmp(value, HPD_UPDATE_SENTINEL, sizeof value) != 0)
            return true;
    }
    return false;
}

// The parent's update-client history, so that the update client here carries
// on where it left off under that parent.
void CopyUpdateHistory(const char* parent) {
    char remoteRelative[kParentNameSize + 1] = {};
    DWORD size = kParentNameSize;
    if (RegQueryValueExA(Keys.ProductControl, "ParentSkyFetchHstPath", nullptr, nullptr,
                         reinterpret_cast<BYTE*>(remoteRelative), &size) != ERROR_SUCCESS)
        return;
    remoteRelative[size < kParentNameSize ? size : kParentNameSize] = '\0';
    if (remoteRelative[0] == '\0') return;

    RegKey sharedUsage;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Brevanta\\SharedUsage", 0, KEY_READ,
                      sharedUsage.put()) != ERROR_SUCCESS)
        return;
    char localDirectory[kParentNameSize + 1] = {};
    size = kParentNameSize;
    if (RegQueryValueExA(sharedUsage.get(), "SkyFetch1", nullptr, nullptr,
                         reinterpret_cast<BYTE*>(localDirectory), &size) != ERROR_SUCCESS)
        return;
    localDirectory[size < kParentNameSize ? size : kParentNameSize] = '\0';
    if (localDirectory[0] == '\0') return;

    char local[kTextSize];
    char remote[kTextSize];
    FormatText(local, "%s\\Skyfetch.hst", localDirectory);
    FormatText(remote, "$\\%s", remoteRelative);
    product::Status status = CopyFileFromServer(parent, remote, local);
    if (status == 0) return;
    PrintStatusMessage(kMsgHistoryCopyFailed, status, false);
}

// Reconnection to the parent given up at shutdown: the product only needs to
// be told it is connected again.
void Reconnect(const char* parent, const char* hpdPath) {
    WriteParent(parent);
    HpdWriter file(hpdPath);
    if (!file.Created()) return;
    WriteShortForm(file);
    file.Close();
    WriteProcessHpdNow();
}

int SwitchParent(const char* parent, const char* oldParent, const char* hpdPath) {
    if (oldParent[0] != '\0') RemoveClientRecord(oldParent);
    DWORD connected = ReadConnected();

    HpdWriter file(hpdPath);
    if (!file.Created()) {
        LoadMessage(kMsgHpdNotCreated, MessageText);
        PrintLastError(MessageText, nullptr, true);
        return 0;
    }
    WriteFullForm(file, parent);
    // Empty while the switch is pending: a takeover in between finds no old
    // parent whose record it would remove.
    WriteParent("");
    file.Close();

    RegSetValueExA(Keys.Root, "HPDUpdateTime", 0, REG_BINARY, HPD_UPDATE_SENTINEL,
                   sizeof HPD_UPDATE_SENTINEL);
    WriteProcessHpdNow();

    ProductProbe product;
    if (product.IsRunning()) WaitForHpdProcessed();
    RestartProductIfUnmanaged(product, connected);
    int result = WaitForConfirmation() ? 1 : 0;
    CopyUpdateHistory(parent);
    return result;
}

}  // namespace

int TakeOverParent(const char* server) {
    char hpdPath[MAX_PATH];
    if (!WorkOutHpdPath(hpdPath)) hpdPath[0] = '\0';

    char previous[kParentNameSize + 1] = {};
    bool hadRealParent = false;
    if (QueryName("Parent", previous)) {
        if (previous[0] == '\0' || std::strcmp(previous, kParentMarker) == 0)
            QueryName("LastParent", previous);
        else
            hadRealParent = true;
    }
    const char* oldParent = std::strcmp(previous, kParentMarker) == 0 ? "" : previous;

    int result = 1;
    if (oldParent[0] != '\0' && SameServer(oldParent, server)) {
        if (!hadRealParent) Reconnect(server, hpdPath);
    } else {
        result = SwitchParent(server, oldParent, hpdPath);
    }
    RegDeleteValueA(Keys.Root, "LastParent");
    return result;
}
