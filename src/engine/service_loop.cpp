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

// Standard output is the console under "/debug" and nowhere in a service:
// the line goes to the debugger channel as well.
void ReportCallFailure(const char* function, DWORD code) {
    char line[kTextSize];
    FormatMessageId(line, sizeof line, kMsgCallFailed, function, static_cast<int>(code));
    std::fputs(line, stdout);
    std::fflush(stdout);
    DebugOutput(line);
}

// A step without which the loop cannot go on: reported, and handed to the
// frame, which ends the service with it instead of as a clean stop.
void FailLoop(const char* function, DWORD code) {
    ReportCallFailure(function, code);
    RecordEngineFailure(function, code);
}

bool StartPeriodicTimer(WaitableTimer& timer, uint32_t intervalMs) {
    timer.reset(EngineFunctions.CreateWaitableTimerA(nullptr, FALSE, nullptr));
    if (!timer) {
        FailLoop("CreateWaitableTimer", GetLastError());
        return false;
    }
    // Relative due time in 100-ns units; the settings keep intervals within
    // the signed 32-bit period the call takes.
    uint32_t periodMs = intervalMs ? intervalMs : kEveryOpportunityMs;
    LARGE_INTEGER due;
    due.QuadPart = -10000LL * static_cast<LONGLONG>(periodMs);
    if (!EngineFunctions.SetWaitableTimer(timer.get(), &due, static_cast<LONG>(periodMs),
                                          nullptr, nullptr, FALSE)) {
        FailLoop("SetWaitableTimer", GetLastError());
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
    static constexpr DWORD kParentIndex = 0;
    static constexpr DWORD kStopIndex = 1;
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
        FailLoop("CreateEvent", GetLastError());
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

void LookAtAddresses(WaitSet& set) {
    if (WinsockReady && !TakeAddressSnapshot(set.snapshots.previous, set.snapshots.current))
        NearestAll(0);
}

// One signalled member of the wait set other than the stop event.
void Serve(WaitSet& set, DWORD index) {
    if (index == set.changedIndex) {
        if (!WatchClients(set.clients.get(), set.changed.get())) --set.count;
        PublishClientCount(CountClients(set.clients.get()));
    } else if (index == WaitSet::kParentIndex) {
        CheckParent(0);
    } else if (index == set.nearestIndex) {
        NearestAll(0);
    }
}

bool Signalled(HANDLE object) { return WaitForSingleObject(object, 0) == WAIT_OBJECT_0; }

void WaitUntilStopped(WaitSet& set) {
    // The address check is due a period after the last one, whatever woke the
    // loop in between, and runs before the next wait: a timer that is due
    // again at every wait (a parent check that lasts its own period) would
    // otherwise always win it.
    uint32_t lastAddressCheck = ClockMs();
    while (!StopFlagSet()) {
        uint32_t sinceCheck = ElapsedMs(lastAddressCheck, ClockMs());
        if (sinceCheck >= AddressCheckPeriodMs) {
            LookAtAddresses(set);
            lastAddressCheck = ClockMs();
            continue;
        }
        DWORD result = WaitForMultipleObjects(set.count, set.handles, FALSE,
                                              AddressCheckPeriodMs - sinceCheck);
        if (result == WAIT_TIMEOUT) continue;
        DWORD first = result - WAIT_OBJECT_0;
        if (first >= set.count) {
            // It would fail again at once: the loop ends as on a stop, and
            // the frame reports why.
            FailLoop("WaitForMultipleObjects", result == WAIT_FAILED ? GetLastError() : result);
            InterlockedExchange(&ServiceStopFlag, 1);
            break;
        }
        // The stop wins over everything; then every member signalled now gets
        // its turn in order, not only the first, so that a busy timer cannot
        // starve the Clients notification or the other timer.
        for (DWORD i = first; i < set.count; ++i) {
            if (StopFlagSet() || Signalled(set.handles[WaitSet::kStopIndex])) {
                InterlockedExchange(&ServiceStopFlag, 1);
                break;
            }
            if (i != WaitSet::kStopIndex && (i == first || Signalled(set.handles[i])))
                Serve(set, i);
        }
    }
}

}  // namespace

DWORD AddressCheckPeriodMs = 60000;

void ServiceLoop(StopPendingReport reportStopPending) {
    HANDLE stopEvent = EngineStopEvent();
    if (!stopEvent) {
        FailLoop("CreateEvent", GetLastError());
        return;
    }

    NearestAll(0);

    WaitSet set;
    if (!PrepareWaits(set, stopEvent)) return;
    WaitUntilStopped(set);

    if (reportStopPending && !reportStopPending(kStopPendingWaitHintMs)) return;
    if (WinsockReady) WriteLastNetAddress(Keys.ProductControl, set.snapshots.current);
    ReleaseParent();
}
