// The NT engine loop: asleep in the kernel on the parent-check timer, the
// stop event, the Clients key's notification and (without address watching)
// the nearest-search timer, waking at least every minute to look at the
// machine's addresses.

#include <windows.h>

#include <cstdio>

#include "common/handles.h"
#include "common/text.h"
#include "engine/client_count.h"
#include "engine/engine_loop.h"
#include "engine/engine_settings.h"
#include "engine/nearest.h"
#include "engine/network_change.h"
#include "engine/parent_check.h"
#include "output/output.h"
#include "platform/network_libraries.h"
#include "platform/system_functions.h"
#include "product/product_keys.h"

namespace {

constexpr DWORD kAddressCheckMs = 60000;
// An interval of 0 asks for the work at every opportunity. A waitable timer
// with period 0 fires once and never again, so the pass of the Windows 9x
// loop stands in for it.
constexpr uint32_t kEveryOpportunityMs = 1000;
constexpr DWORD kStopPendingWaitHintMs = 10000;
constexpr unsigned kMsgCallFailed = 73;

// A waitable timer is cancelled before it is closed.
struct WaitableTimerTraits {
    static HANDLE invalid() { return nullptr; }
    static void close(HANDLE timer) {
        if (EngineFunctions.CancelWaitableTimer) EngineFunctions.CancelWaitableTimer(timer);
        CloseHandle(timer);
    }
};
using WaitableTimer = UniqueHandle<HANDLE, WaitableTimerTraits>;

// Straight to standard output, not through the log: in a service that is
// nowhere, under "/debug" it is the console.
void ReportCallFailure(const char* function, DWORD code) {
    char line[kTextSize];
    FormatMessageId(line, sizeof line, kMsgCallFailed, function, static_cast<int>(code));
    std::fputs(line, stdout);
    std::fflush(stdout);
}

bool StartPeriodicTimer(WaitableTimer& timer, uint32_t intervalMs) {
    timer.reset(EngineFunctions.CreateWaitableTimerA(nullptr, FALSE, nullptr));
    if (!timer) {
        ReportCallFailure("CreateWaitableTimer", GetLastError());
        return false;
    }
    // Relative due time in 100-ns units; the settings keep intervals within
    // the signed 32-bit period the call takes.
    uint32_t periodMs = intervalMs ? intervalMs : kEveryOpportunityMs;
    LARGE_INTEGER due;
    due.QuadPart = -10000LL * static_cast<LONGLONG>(periodMs);
    if (!EngineFunctions.SetWaitableTimer(timer.get(), &due, static_cast<LONG>(periodMs),
                                          nullptr, nullptr, FALSE)) {
        ReportCallFailure("SetWaitableTimer", GetLastError());
        return false;
    }
    return true;
}

// Arms the one-shot notification of subkeys added or removed under Clients.
bool WatchClients(HKEY clients, HANDLE changed) {
    // A manual-reset event stays signalled after it fired: clear it first,
    // or every later wait would return at once.
    ResetEvent(changed);
    if (!EngineFunctions.RegNotifyChangeKeyValue) return false;
    LONG status = EngineFunctions.RegNotifyChangeKeyValue(clients, FALSE, REG_NOTIFY_CHANGE_NAME,
                                                          changed, TRUE);
    if (status != ERROR_SUCCESS) {
        ReportCallFailure("RegNotifyChangeKeyValue", static_cast<DWORD>(status));
        return false;
    }
    return true;
}

bool StopFlagSet() { return InterlockedCompareExchange(&ServiceStopFlag, 0, 0) != 0; }

// Everything the waits need; released on every way out of the loop.
struct WaitSet {
    WaitableTimer parentTimer;
    WaitableTimer nearestTimer;
    KernelHandle changed;
    RegKey clients;
    SnapshotPair snapshots;
    HANDLE handles[4] = {};
    DWORD count = 0;
    DWORD nearestIndex = MAXDWORD;
    DWORD changedIndex = MAXDWORD;
};

// Steps of the loop's set-up after the first search; false ends the loop
// without persisting anything.
bool PrepareWaits(WaitSet& set, HANDLE stopEvent) {
    if (!StartPeriodicTimer(set.parentTimer, EngineSettings.CheckParentIntervalMs)) return false;
    set.handles[set.count++] = set.parentTimer.get();
    set.handles[set.count++] = stopEvent;

    if (WinsockReady) {
        // The stored snapshot stands where the current one would: the look
        // moves it into previous, where it is compared, instead of freeing it.
        set.snapshots.current = ReadLastNetAddress(Keys.ProductControl);
        TakeAddressSnapshot(set.snapshots.previous, set.snapshots.current);
    } else {
        if (!StartPeriodicTimer(set.nearestTimer, EngineSettings.FindNearestParentIntervalMs))
            return false;
        set.nearestIndex = set.count;
        set.handles[set.count++] = set.nearestTimer.get();
    }

    set.changed.reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    if (!set.changed) {
        ReportCallFailure("CreateEvent", GetLastError());
        return false;
    }
    RegOpenKeyExA(HKEY_LOCAL_MACHINE, kClientsPath, 0, KEY_ALL_ACCESS, set.clients.put());
    // Armed before counting: a change made while the count is taken is then
    // notified again instead of being lost until the next one.
    if (WatchClients(set.clients.get(), set.changed.get())) {
        set.changedIndex = set.count;
        set.handles[set.count++] = set.changed.get();
    }
    PublishClientCount(CountClients(set.clients.get()));
    return true;
}

void WaitUntilStopped(WaitSet& set) {
    // The address check is due 60 s after the last one, whatever woke the loop
    // in between: a plain 60 s wait restarted after every event would never
    // time out under a parent check every minute or a busy Clients key.
    uint32_t lastAddressCheck = ClockMs();
    while (!StopFlagSet()) {
        uint32_t sinceCheck = ElapsedMs(lastAddressCheck, ClockMs());
        DWORD timeout = sinceCheck >= kAddressCheckMs ? 0 : kAddressCheckMs - sinceCheck;
        DWORD result = WaitForMultipleObjects(set.count, set.handles, FALSE, timeout);
        if (result == WAIT_TIMEOUT) {
            if (WinsockReady &&
                !TakeAddressSnapshot(set.snapshots.previous, set.snapshots.current))
                NearestAll(0);
            lastAddressCheck = ClockMs();
            continue;
        }
        DWORD index = result - WAIT_OBJECT_0;
        if (index >= set.count || index == 1) {
            // The stop event, or a wait that failed and would fail again at
            // once: either way the loop ends as on a stop.
            InterlockedExchange(&ServiceStopFlag, 1);
            break;
        }
        if (index == set.changedIndex) {
            if (!WatchClients(set.clients.get(), set.changed.get())) --set.count;
            PublishClientCount(CountClients(set.clients.get()));
        } else if (index == 0) {
            CheckParent(0);
        } else if (index == set.nearestIndex) {
            NearestAll(0);
        }
    }
}

}  // namespace

void ServiceLoop(StopPendingReport reportStopPending) {
    StopEventOwner stopEvent = CreateStopEvent();
    if (!stopEvent) return;

    NearestAll(0);

    WaitSet set;
    if (!PrepareWaits(set, stopEvent.get())) return;
    WaitUntilStopped(set);

    if (reportStopPending && !reportStopPending(kStopPendingWaitHintMs)) return;
    if (WinsockReady) WriteLastNetAddress(Keys.ProductControl, set.snapshots.current);
    ReleaseParent();
}
