#pragma once
// The debugger channel as an administrator's debug-output viewer reads it:
// the lines that programs not started under a debugger (services, background
// processes) write with OutputDebugStringA. A program started under a
// debugger, as the test harness starts perchman.exe, hands its lines to that
// debugger instead.
//
// The protocol: the writer takes the mutex "DBWinMutex", waits for the event
// "DBWIN_BUFFER_READY", writes its process id and the text into the 4096-byte
// mapping "DBWIN_BUFFER" and sets "DBWIN_DATA_READY"; the listener copies the
// line and sets DBWIN_BUFFER_READY for the next one. Only one listener can own
// those objects in a session, and so one monitor per process.
//
// Usage:
//   lab::DebugMonitor monitor;
//   std::string error;
//   ASSERT_TRUE(monitor.Start(&error)) << error;
//   ... start the service ...
//   auto line = monitor.WaitFor([](const lab::DebugLine& l) {
//       return l.text.find("Buscando") != std::string::npos; }, 5000);

#include <windows.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "common/handles.h"

namespace lab {

struct DebugLine {
    DWORD processId = 0;
    std::string text;     // as written, line break included
    double arrivalMs = 0;  // QueryPerformanceCounter in milliseconds
};

class DebugMonitor {
public:
    DebugMonitor();
    ~DebugMonitor();  // stops
    DebugMonitor(const DebugMonitor&) = delete;
    DebugMonitor& operator=(const DebugMonitor&) = delete;

    // Creates the channel's objects and starts collecting. False, with *error
    // saying why, when another listener (in this process or another one)
    // already owns the channel.
    bool Start(std::string* error);
    // A viewer that stopped reading, as a crashed, paused or hung one leaves
    // the channel: its objects exist and nobody answers, so every writer's
    // OutputDebugStringA waits 10 s for the buffer. With holdMutex it also
    // holds "DBWinMutex", which writers wait for without a limit. Revive makes
    // it read again, from the lines that writers then still hand over. Start
    // it, Revive it and Stop it on one thread: the mutex is that thread's.
    bool StartSilent(bool holdMutex, std::string* error);
    void Revive();
    // Stops collecting and gives the channel up; lines collected so far stay.
    // Not while another thread waits in WaitFor.
    void Stop();

    // The lines collected so far, in their order of arrival.
    std::vector<DebugLine> Lines() const;
    // The same, removed from the monitor (for a viewer that runs for long).
    std::vector<DebugLine> TakeLines();
    // The first collected line, arrived already or within timeoutMs, for
    // which matches is true.
    std::optional<DebugLine> WaitFor(const std::function<bool(const DebugLine&)>& matches,
                                     DWORD timeoutMs) const;

private:
    static DWORD WINAPI Collect(void* self);
    void CollectLines();

    bool Open(bool mustCreate, std::string* error);

    bool started_ = false;
    bool holdsMutex_ = false;
    mutable CRITICAL_SECTION lock_;
    std::vector<DebugLine> lines_;
    KernelHandle arrived_;  // auto-reset: set for each line
    KernelHandle stop_;
    KernelHandle mapping_;
    const char* view_ = nullptr;
    KernelHandle bufferReady_;
    KernelHandle dataReady_;
    KernelHandle answering_;  // manual-reset: set while the monitor reads
    KernelHandle mutex_;
    KernelHandle thread_;
};

}  // namespace lab
