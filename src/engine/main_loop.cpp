// The Windows 9x engine loop: no waitable timers or change notifications
// there, so it wakes every second and looks at the clock, the Clients key and
// the machine's addresses in turn.

#include "engine/main_loop.h"

#include <windows.h>

#include "common/handles.h"
#include "common/text.h"
#include "engine/client_count.h"
#include "engine/engine_loop.h"
#include "engine/engine_settings.h"
#include "engine/nearest.h"
#include "engine/network_change.h"
#include "engine/parent_check.h"
#include "platform/network_libraries.h"
#include "output/output.h"
#include "product/product_keys.h"

namespace {

constexpr DWORD kPassMs = 1000;

void Trace(const char* format, int value) {
    char line[kTextSize];
    FormatText(line, sizeof line, format, value);
    TraceMessage(line, nullptr, false);
}

// What the loop owns between its start and its end.
struct LoopState {
    RegKey clients;
    DWORD publishedClients = 0;
    SnapshotPair snapshots;
    bool watchingAddresses = false;
    uint32_t lastParentCheck = 0;
    uint32_t lastNearest = 0;
};

void StartWatchingAddresses(LoopState& state) {
    state.watchingAddresses = WinsockReady != 0;
    if (!state.watchingAddresses) return;
    // The stored snapshot stands where the current one would, so that the
    // first look compares with the addresses of the last run.
    state.snapshots.current = ReadLastNetAddress(Keys.ProductControl);
    TakeAddressSnapshot(state.snapshots.previous, state.snapshots.current);
}

void ClientsOrAddresses(LoopState& state) {
    DWORD count = CountClients(state.clients.get());
    if (count != state.publishedClients) {
        PublishClientCount(count);
        state.publishedClients = count;
    } else if (state.watchingAddresses) {
        SnapshotPair& s = state.snapshots;
        if (!TakeAddressSnapshot(s.previous, s.current)) NearestAll(0);
    }
}

void RunPass(LoopState& state) {
    PassClock clock = {ClockMs(),
                       state.lastParentCheck,
                       state.lastNearest,
                       EngineSettings.CheckParentIntervalMs,
                       EngineSettings.FindNearestParentIntervalMs,
                       state.watchingAddresses};
    switch (ChoosePassWork(clock)) {
    case PassWork::CheckParent:
        CheckParent(0);
        state.lastParentCheck = ClockMs();
        break;
    case PassWork::SearchNearest:
        NearestAll(0);
        state.lastNearest = ClockMs();
        break;
    case PassWork::ClientsOrAddresses:
        ClientsOrAddresses(state);
        break;
    }
}

}  // namespace

PassWork ChoosePassWork(const PassClock& clock) {
    if (ElapsedMs(clock.lastParentCheck, clock.now) >= clock.checkParentIntervalMs)
        return PassWork::CheckParent;
    if (!clock.watchingAddresses &&
        ElapsedMs(clock.lastNearest, clock.now) >= clock.findNearestIntervalMs)
        return PassWork::SearchNearest;
    return PassWork::ClientsOrAddresses;
}

void MainLoop() {
    TraceMessage("Win9xService\n", nullptr, false);
    HANDLE stopEvent = EngineStopEvent();
    LoopState state;
    StartWatchingAddresses(state);
    NearestAll(0);

    RegOpenKeyExA(HKEY_LOCAL_MACHINE, kClientsPath, 0, KEY_ALL_ACCESS, state.clients.put());
    state.publishedClients = CountClients(state.clients.get());
    PublishClientCount(state.publishedClients);

    state.lastParentCheck = ClockMs();
    state.lastNearest = state.lastParentCheck;
    Trace("begin MainLoop %d\n", CheckOnDialUpNetwork());

    // A stop asked for during a search stays set until this read clears it.
    // The pause between passes ends on a stop, so that stopping does not wait
    // out the rest of a second; the loop still wakes once a second.
    while (InterlockedExchange(&BackgroundAbortFlag, 0) == 0) {
        RunPass(state);
        if (stopEvent)
            WaitForSingleObject(stopEvent, kPassMs);
        else
            Sleep(kPassMs);
    }

    Trace("MainLoop exiting %d\n", CheckOnDialUpNetwork());
    state.clients.reset();
    WriteLastNetAddress(Keys.ProductControl, state.snapshots.current);
    ReleaseParent();
}
