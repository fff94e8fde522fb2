#pragma once
// The debugger channel of the unattended modes. OutputDebugStringA waits for
// whoever reads the channel: a viewer that stopped answering makes every line
// wait 10 s, and one that holds the channel's mutex makes it wait for ever.
// So while the service or the background process runs, DebugOutput only
// queues its line and one thread of its own writes the queue out in order.
// A full queue drops lines and counts them; the next line that gets in is
// preceded by one that says how many were lost (kLostLinesFormat).
//
// The console and "/debug" start no writer: their lines go out directly.

#include <windows.h>

#include <cstddef>

constexpr size_t kDebugQueueLines = 64;
// The trace text of the line that announces a gap: the lines lost since the
// last announcement, then all lines lost since the writer started.
constexpr char kLostLinesFormat[] = "DebugOutput lost %u lines (%u in all)";

// From now on DebugOutput queues. False when the writer thread could not be
// started; lines then keep going out directly.
bool StartDebugWriter();
// Gives the writer up to drainMs to write what is queued and end; the lines
// after it go out directly again. False when it could not finish in time: it
// is then left to end with the process, and later lines queue or are dropped,
// never waited for.
bool StopDebugWriter(DWORD drainMs);
// How long a mode that ends gives its writer: a live viewer takes a queue of
// lines in milliseconds, a dead one would take minutes, and the mode's last
// duties (the parent's release, the status reports) are done by then.
constexpr DWORD kDebugWriterDrainMs = 500;

// A writer for the life of a mode, when on; Stop drains it earlier, for a
// process that is about to end without unwinding.
class DebugWriterScope {
public:
    explicit DebugWriterScope(bool on) : on_(on && StartDebugWriter()) {}
    ~DebugWriterScope() { Stop(); }
    DebugWriterScope(const DebugWriterScope&) = delete;
    DebugWriterScope& operator=(const DebugWriterScope&) = delete;
    void Stop() {
        if (on_) StopDebugWriter(kDebugWriterDrainMs);
        on_ = false;
    }

private:
    bool on_;
};

// Queues a finished line (clock and line break included) for the writer;
// false when no writer runs and the caller writes it itself.
bool QueueDebugLine(const char* line);
