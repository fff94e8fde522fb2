// Making a server the parent of this machine: the client configuration file
// that names it, the values that make the product switch, the product's
// restart when it is not being managed, and the wait for its confirmation.

#include <cstdint>
#include <cstring>

#include "common/handles.h"
#include "common/text.h"
#include "platform/file_replace.h"
#include "platform/stop_request.h"
#include "engine/parent_check.h"
#include "platform/system_functions.h"
#include "output/output.h"
#include "product/data_directories.h"
#include "product/product_control.h"
#include "product/product_keys.h"
#include "product/product_library.h"
#include "takeover/hpd_file.h"
#include "takeover/hpd_text.h"
#include "takeover/process_runner.h"
#include "takeover/takeovers.h"

namespace {

constexpr unsigned kMsgNotManaged = 76;
constexpr unsigned kMsgHistoryCopyFailed = 77;
constexpr unsigned kMsgHpdNotCreated = 78;
constexpr unsigned kMsgNotRunning = 81;

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

// Where HPD.DAT goes, or why there is no such place.
struct HpdTarget {
    char path[MAX_PATH];
    DWORD error;  // 0 when path is usable
};

// HPD.DAT while it is written: a temporary file beside it, which the product
// never reads, moved over HPD.DAT only once it is whole and closed. Whatever
// fails on the way leaves the old HPD.DAT as it was; the temporary file goes.
class HpdDraft {
public:
    HpdDraft() = default;
    HpdDraft(const HpdDraft&) = delete;
    HpdDraft& operator=(const HpdDraft&) = delete;
    ~HpdDraft() {
        file_.reset();
        if (tempName_[0]) DeleteFileA(tempName_);
    }

    // Creates the temporary file and writes the whole text into it; false,
    // with the last error, when not all of it could be written.
    bool Write(const HpdTarget& target, const char* parent) {
        if (target.error) {
            SetLastError(target.error);
            return false;
        }
        char text[2 * kTextSize];
        if (!FormatHpdText(parent, text, sizeof text)) {
            SetLastError(parent && !CanNameParentInHpd(parent) ? ERROR_INVALID_NAME
                                                               : ERROR_INSUFFICIENT_BUFFER);
            return false;
        }
        if (!CreateTempBeside(target.path, tempName_)) return false;
        file_.reset(CreateFileA(tempName_, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file_) return false;
        DWORD length = static_cast<DWORD>(std::strlen(text));
        DWORD written = 0;
        BOOL wrote = WriteFile(file_.get(), text, length, &written, nullptr);
        if (wrote && written == length) return true;
        // A write that succeeded short leaves no error of its own: the disk is full.
        SetLastError(wrote ? ERROR_HANDLE_DISK_FULL : GetLastError());
        return false;
    }

    // Closes the file and moves it over HPD.DAT; false, with the last error,
    // when either fails.
    bool PutInPlace(const HpdTarget& target) {
        if (!CloseHandle(file_.release())) return false;
        if (ReplaceWithTemp(tempName_, target.path) != Replacement::Done) return false;
        tempName_[0] = '\0';
        return true;
    }

private:
    FileHandle file_;
    char tempName_[MAX_PATH] = "";
};

// "Parent" as it was before a switch emptied it, put back when the new file
// never reached its place: the product still goes by the old one.
class SavedParent {
public:
    SavedParent() {
        status_ = RegQueryValueExA(Keys.Root, "Parent", nullptr, &type_, data_, &size_);
    }
    void Restore() const {
        if (status_ == ERROR_SUCCESS)
            RegSetValueExA(Keys.Root, "Parent", 0, type_, data_, size_);
        else if (status_ == ERROR_FILE_NOT_FOUND)
            RegDeleteValueA(Keys.Root, "Parent");
        // A value too long to be kept stays empty, as a pending switch leaves it.
    }

private:
    BYTE data_[kParentNameSize];
    DWORD size_ = sizeof data_;
    DWORD type_ = REG_NONE;
    LONG status_ = ERROR_FILE_NOT_FOUND;
};

// Message 78 with the system's text for error; the takeover's result 0.
int HpdNotWritten(DWORD error) {
    LoadMessage(kMsgHpdNotCreated, MessageText);
    SetLastError(error);
    PrintLastError(MessageText, nullptr, true);
    return 0;
}

void RemoveClientRecord(const char* oldParent) {
    BYTE guid[kClientGuidSize];
    // Without this client's identity there is no record of it to name.
    if (!ReadClientGuid(guid)) return;
    char key[kTextSize];
    if (!ClientRecordKey(guid, key, sizeof key)) return;
    if (Product.DeleteServerKey) Product.DeleteServerKey(oldParent, key);
}

// Each running check asks for the service's state afresh.
void RestartProductIfUnmanaged(SC_HANDLE manager, DWORD connected) {
    bool win9x = EngineFunctions.IsWin9x != 0;
    if (IsProductRunning(manager) && connected == 0) {
        PrintMessageId(kMsgNotManaged, nullptr, false);
        if (win9x)
            StopProductObject();
        else if (manager && IsServiceRunning(manager, kProductServiceName))
            StopProductService(manager, kProductServiceName);
    } else if (!IsProductRunning(manager)) {
        PrintMessageId(kMsgNotRunning, nullptr, false);
    }
    if (!IsProductRunning(manager)) {
        if (win9x)
            StartProductObject();
        else if (manager)
            StartProductService(manager, kProductServiceName);
    }
}

bool WaitForConfirmation() {
    uint32_t start = ClockMs();
    // The product has usually confirmed while the flag was awaited: look
    // before the first pause. A stop of the engine ends the wait as its
    // time-out does.
    for (bool first = true; ElapsedMs(start, ClockMs()) < kProductWaitMs; first = false) {
        if (!first && WaitForEngineStop(kProductPollMs)) return false;
        // Only a whole update time read back counts: a shorter value would
        // leave bytes of the buffer that were never read.
        BYTE value[sizeof HPD_UPDATE_SENTINEL];
        DWORD size = sizeof value;
        if (RegQueryValueExA(Keys.Root, "HPDUpdateTime", nullptr, nullptr, value, &size) ==
                ERROR_SUCCESS &&
            size == sizeof value && std::memcmp(value, HPD_UPDATE_SENTINEL, sizeof value) != 0)
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

// Whether the product still has a file of ours to take in: it lowers
// "ProcessHPDNow" once it has read HPD.DAT.
bool HandedOverFilePending() {
    DWORD value = 0;
    DWORD type = REG_NONE;
    DWORD size = sizeof value;
    return RegQueryValueExA(Keys.ProductControl, "ProcessHPDNow", nullptr, &type,
                            reinterpret_cast<BYTE*>(&value), &size) == ERROR_SUCCESS &&
           type == REG_DWORD && size == sizeof value && value != 0;
}

// Reconnection to the parent given up at shutdown: the product only needs to
// be told it is connected again. The parent is restored only once the file
// that tells the product is in place. A switch to this parent that was cut
// by the stop may have left its file untaken: the short form would put only
// "connected" in place of all that names the parent, so the whole form is
// handed over again.
int Reconnect(const char* parent, const HpdTarget& target) {
    HpdDraft draft;
    const char* named = HandedOverFilePending() ? parent : nullptr;
    if (!draft.Write(target, named) || !draft.PutInPlace(target))
        return HpdNotWritten(GetLastError());
    WriteParent(parent);
    WriteProcessHpdNow();
    return 1;
}

int SwitchParent(const char* parent, const char* oldParent, const HpdTarget& target) {
    if (oldParent[0] != '\0') RemoveClientRecord(oldParent);
    DWORD connected = ReadConnected();

    HpdDraft draft;
    if (!draft.Write(target, parent)) return HpdNotWritten(GetLastError());
    // Empty while the switch is pending: a takeover in between finds no old
    // parent whose record it would remove. Emptied before the file is in
    // place, where a product with a request still pending could take it in
    // and name the new parent at once.
    SavedParent before;
    WriteParent("");
    if (!draft.PutInPlace(target)) {
        DWORD error = GetLastError();
        before.Restore();
        return HpdNotWritten(error);
    }
    NoteParentOffered(parent);

    RegSetValueExA(Keys.Root, "HPDUpdateTime", 0, REG_BINARY, HPD_UPDATE_SENTINEL,
                   sizeof HPD_UPDATE_SENTINEL);
    WriteProcessHpdNow();

    // The service control manager for the product's steps of this takeover
    // only: nothing of the service is kept beyond it.
    ServiceHandle manager;
    if (!EngineFunctions.IsWin9x) manager = OpenServiceManager();
    if (IsProductRunning(manager.get())) WaitForHpdProcessed();
    RestartProductIfUnmanaged(manager.get(), connected);
    manager.reset();
    int result = WaitForConfirmation() ? 1 : 0;
    CopyUpdateHistory(parent);
    return result;
}

}  // namespace

int TakeOverParent(const char* server) {
    HpdTarget target;
    target.error = WorkOutHpdPath(target.path) ? 0 : GetLastError();

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
        if (!hadRealParent) result = Reconnect(server, target);
    } else {
        result = SwitchParent(server, oldParent, target);
    }
    RegDeleteValueA(Keys.Root, "LastParent");
    return result;
}
