#pragma once
// Is there a network at all, have the machine's addresses changed, and what
// is this machine's name.

#include <windows.h>
#include <cstdint>

// The machine's addresses as the host lookup gives them, one after the other.
// Room for 256 IPv4 addresses; a lookup that gives more keeps the first ones.
constexpr uint32_t kMaxSnapshotBytes = 1024;
struct AddressSnapshot {
    uint32_t size = 0;  // bytes used in bytes[]
    uint8_t bytes[kMaxSnapshotBytes];
};

int CheckOnDialUpNetwork();
int RequireNetwork(int quiet);
// previous and current are slots owned by the caller; 1 = unchanged. The
// slot previous held is freed, previous takes what current held, current
// receives the new snapshot (none when there is no host entry or only the
// loopback address, so the two slots never share a snapshot).
int TakeAddressSnapshot(AddressSnapshot*& previous, AddressSnapshot*& current);
void FreeAddressSnapshot(AddressSnapshot*& snapshot);

// The two slots an engine loop owns, freed with it.
struct SnapshotPair {
    AddressSnapshot* previous = nullptr;
    AddressSnapshot* current = nullptr;
    SnapshotPair() = default;
    SnapshotPair(const SnapshotPair&) = delete;
    SnapshotPair& operator=(const SnapshotPair&) = delete;
    ~SnapshotPair() {
        FreeAddressSnapshot(previous);
        FreeAddressSnapshot(current);
    }
};

// The snapshot stored as the REG_BINARY "LastNetAddress" of key: null when the
// value is missing, of another type, or larger than a snapshot can be.
AddressSnapshot* ReadLastNetAddress(HKEY key);
// Stores snapshot's bytes (nothing when snapshot is null); the registry status.
LONG WriteLastNetAddress(HKEY key, const AddressSnapshot* snapshot);

extern "C" __declspec(dllexport) int OrxGetComputerName(char* nameA, wchar_t* nameW);
