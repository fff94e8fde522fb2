// Connection state through WinINet, address snapshots through Winsock, and
// the computer name offered to the product's other components.

#include "platform/network_libraries.h"  // winsock2.h must come before windows.h

#include "engine/network_change.h"

#include <cstring>
#include <new>

#include "common/text.h"
#include "output/output.h"

namespace {

constexpr unsigned kMsgNoNetwork = 160;
constexpr size_t kHostNameSize = 1024;
constexpr size_t kConnectionNameSize = 1024;
constexpr DWORD kComputerNameSize = 16;
constexpr char kLastNetAddressValue[] = "LastNetAddress";

// The last seen (real address, plain query, extended query); 47 is none of
// the values a query gives, so the first call always counts as a change.
int LastRealAddress = 47;
int LastPlain = 47;
int LastExtended = 47;

// The machine's host entry, or null when Winsock is missing or the lookup fails.
hostent* LookUpThisHost() {
    if (!WinsockReady || !Winsock.gethostname || !Winsock.gethostbyname) return nullptr;
    char hostName[kHostNameSize] = {};
    if (Winsock.gethostname(hostName, static_cast<int>(sizeof hostName - 1)) != 0)
        return nullptr;
    return Winsock.gethostbyname(hostName);
}

int AddressCount(const hostent* host) {
    int count = 0;
    if (host->h_addr_list)
        while (host->h_addr_list[count]) ++count;
    return count;
}

bool IsLoopbackOnly(const hostent* host) {
    if (AddressCount(host) != 1 || host->h_addrtype != AF_INET || host->h_length < 4)
        return false;
    const uint8_t* a = reinterpret_cast<const uint8_t*>(host->h_addr_list[0]);
    return a[0] == 127 && a[1] == 0 && a[2] == 0 && (a[3] == 0 || a[3] == 1);
}

void TraceAddresses(const hostent* host) {
    if (host->h_length < 4) return;
    const char* name = host->h_name ? host->h_name : "";
    int count = AddressCount(host);
    for (int i = 0; i < count; ++i) {
        const uint8_t* a = reinterpret_cast<const uint8_t*>(host->h_addr_list[i]);
        char line[kTextSize];
        FormatText(line, "addr %d type %d name %s is %d.%d.%d.%d\n", i,
                   static_cast<int>(host->h_addrtype), name, a[0], a[1], a[2], a[3]);
        TraceMessage(line, nullptr, false);
    }
}

AddressSnapshot* SnapshotOf(const hostent* host) {
    AddressSnapshot* snapshot = new (std::nothrow) AddressSnapshot;
    if (!snapshot) return nullptr;
    int count = AddressCount(host);
    uint32_t length = host->h_length > 0 ? static_cast<uint32_t>(host->h_length) : 0;
    for (int i = 0; i < count && length; ++i) {
        if (snapshot->size + length > kMaxSnapshotBytes) break;
        std::memcpy(snapshot->bytes + snapshot->size, host->h_addr_list[i], length);
        snapshot->size += length;
    }
    return snapshot;
}

bool SameSnapshot(const AddressSnapshot& a, const AddressSnapshot& b) {
    return a.size == b.size && std::memcmp(a.bytes, b.bytes, a.size) == 0;
}

}  // namespace

int CheckOnDialUpNetwork() {
    char connectionName[kConnectionNameSize] = {};
    DWORD flags = 0;
    int extended = 0;
    if (WinInet.InternetGetConnectedStateEx)
        extended = WinInet.InternetGetConnectedStateEx(&flags, connectionName,
                                                       sizeof connectionName, 0) ? 1 : 0;
    connectionName[sizeof connectionName - 1] = '\0';
    int plain = 0;
    if (WinInet.InternetGetConnectedState)
        plain = WinInet.InternetGetConnectedState(&flags, 0) ? 1 : 0;

    if (const hostent* host = LookUpThisHost()) {
        int realAddress = IsLoopbackOnly(host) ? 0 : 1;
        if (realAddress != LastRealAddress || plain != LastPlain || extended != LastExtended) {
            char line[kTextSize];
            FormatText(line, "CheckOnDialUpNetwork changed %d %d %d - %s\n", realAddress,
                       plain, extended, connectionName);
            TraceMessage(line, nullptr, false);
            TraceAddresses(host);
            LastRealAddress = realAddress;
            LastPlain = plain;
            LastExtended = extended;
        }
    }
    return extended | plain;
}

int RequireNetwork(int quiet) {
    int connected = CheckOnDialUpNetwork();
    if (!connected && !quiet) PrintMessageId(kMsgNoNetwork, nullptr, false);
    return connected;
}

int TakeAddressSnapshot(AddressSnapshot*& previous, AddressSnapshot*& current) {
    FreeAddressSnapshot(previous);
    previous = current;
    current = nullptr;

    const hostent* host = LookUpThisHost();
    if (!host) return 1;
    // Only the loopback address: the network is gone, which is a change; no
    // snapshot is kept, so the next real address also counts as a change.
    if (IsLoopbackOnly(host)) return 0;
    current = SnapshotOf(host);
    if (!current || !previous) return 0;
    return SameSnapshot(*previous, *current) ? 1 : 0;
}

void FreeAddressSnapshot(AddressSnapshot*& snapshot) {
    delete snapshot;
    snapshot = nullptr;
}

AddressSnapshot* ReadLastNetAddress(HKEY key) {
    if (!key) return nullptr;
    AddressSnapshot* snapshot = new (std::nothrow) AddressSnapshot;
    if (!snapshot) return nullptr;
    DWORD type = 0;
    DWORD size = kMaxSnapshotBytes;
    // One bounded read: a value that grew past the buffer fails with
    // ERROR_MORE_DATA instead of being trusted from an earlier size query.
    LONG status = RegQueryValueExA(key, kLastNetAddressValue, nullptr, &type, snapshot->bytes,
                                   &size);
    if (status != ERROR_SUCCESS || type != REG_BINARY || size > kMaxSnapshotBytes) {
        delete snapshot;
        return nullptr;
    }
    snapshot->size = size;
    return snapshot;
}

LONG WriteLastNetAddress(HKEY key, const AddressSnapshot* snapshot) {
    if (!snapshot) return ERROR_SUCCESS;
    if (!key) return ERROR_INVALID_HANDLE;
    return RegSetValueExA(key, kLastNetAddressValue, 0, REG_BINARY, snapshot->bytes,
                          snapshot->size);
}

extern "C" __declspec(dllexport) int OrxGetComputerName(char* nameA, wchar_t* nameW) {
    char name[kComputerNameSize] = {};
    DWORD length = kComputerNameSize;
    // A failed query (a name too long for the buffer) leaves no name, but the
    // length it reports is still what the caller is told.
    if (!GetComputerNameA(name, &length)) std::memset(name, 0, sizeof name);
    name[kComputerNameSize - 1] = '\0';
    if (nameA) std::memcpy(nameA, name, sizeof name);
    if (nameW) {
        std::memset(nameW, 0, kComputerNameSize * sizeof(wchar_t));
        MultiByteToWideChar(CP_ACP, 0, name, -1, nameW, static_cast<int>(kComputerNameSize));
    }
    return static_cast<int>(length) + 1;
}
