#pragma once
// The Windows 9x engine loop polls once a second and does at most one piece
// of work per pass; which one is decided here.

#include <cstdint>

enum class PassWork {
    CheckParent,        // the parent-check interval has run out
    SearchNearest,      // without address watching: the search interval has run out
    ClientsOrAddresses  // publish a changed client count, else look at the addresses
};

struct PassClock {
    uint32_t now;
    uint32_t lastParentCheck;
    uint32_t lastNearest;
    uint32_t checkParentIntervalMs;
    uint32_t findNearestIntervalMs;
    bool watchingAddresses;
};

PassWork ChoosePassWork(const PassClock& clock);
