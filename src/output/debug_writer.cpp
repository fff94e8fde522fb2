// The writer of the debugger channel: a fixed ring of lines, filled by any
// thread and emptied in order by one thread that may wait on a viewer as long
// as the viewer likes. Nothing here grows, and an idle writer sleeps in the
// kernel on its event.

#include "output/debug_writer.h"

#include <cstdint>

#include "common/text.h"
#include "output/output.h"

namespace {

struct Ring {
    CRITICAL_SECTION lock;
    char lines[kDebugQueueLines][kTextSize];
    size_t head = 0;   // the oldest line
    size_t count = 0;
    uint32_t lost = 0;       // since the last announcement
    uint32_t lostInAll = 0;  // since the writer started
    // Under the lock. Cleared by the writer itself as it leaves, so that no
    // line can be queued after its last look at the ring.
    bool active = false;
    bool stopping = false;
    Ring() { InitializeCriticalSection(&lock); }
};
Ring Queue;

HANDLE Queued = nullptr;  // auto-reset: a line was queued, or the writer is told to stop
HANDLE Writer = nullptr;

class Locked {
public:
    Locked() { EnterCriticalSection(&Queue.lock); }
    ~Locked() { LeaveCriticalSection(&Queue.lock); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;
};

// Under the lock; the caller has checked that there is room.
char* NextSlot() {
    char* slot = Queue.lines[(Queue.head + Queue.count) % kDebugQueueLines];
    ++Queue.count;
    return slot;
}

// Takes the oldest line into out; false when the ring is empty, and then,
// once a stop was asked for, the writer is no longer active.
bool TakeLine(char (&out)[kTextSize], bool* leave) {
    Locked locked;
    if (Queue.count == 0) {
        if (Queue.stopping) {
            Queue.active = false;
            *leave = true;
        }
        return false;
    }
    CopyText(out, Queue.lines[Queue.head]);
    Queue.head = (Queue.head + 1) % kDebugQueueLines;
    --Queue.count;
    return true;
}

DWORD WINAPI WriteLines(void*) {
    char line[kTextSize];
    for (;;) {
        bool leave = false;
        if (TakeLine(line, &leave)) {
            // The only place in the unattended modes that may wait on a viewer.
            OutputDebugStringA(line);
            continue;
        }
        if (leave) return 0;
        WaitForSingleObject(Queued, INFINITE);
    }
}

}  // namespace

bool StartDebugWriter() {
    {
        Locked locked;
        if (Queue.active) return true;
    }
    if (!Queued) Queued = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (!Queued) return false;
    {
        Locked locked;
        Queue.head = Queue.count = 0;
        Queue.lost = Queue.lostInAll = 0;
        Queue.stopping = false;
        Queue.active = true;
    }
    Writer = CreateThread(nullptr, 0, WriteLines, nullptr, 0, nullptr);
    if (Writer) return true;
    Locked locked;
    Queue.active = false;
    return false;
}

bool StopDebugWriter(DWORD drainMs) {
    if (!Writer) return true;
    {
        Locked locked;
        Queue.stopping = true;
    }
    SetEvent(Queued);
    if (WaitForSingleObject(Writer, drainMs) != WAIT_OBJECT_0) return false;
    CloseHandle(Writer);
    Writer = nullptr;
    return true;
}

bool QueueDebugLine(const char* line) {
    {
        Locked locked;
        if (!Queue.active) return false;
        // A gap is announced in the same go as the line after it, or not at
        // all: an announcement alone would only make the next gap.
        size_t needed = Queue.lost ? 2 : 1;
        if (kDebugQueueLines - Queue.count < needed) {
            ++Queue.lost;
            ++Queue.lostInAll;
            return true;
        }
        if (Queue.lost) {
            char text[kTextSize];
            FormatText(text, kLostLinesFormat, static_cast<unsigned>(Queue.lost),
                       static_cast<unsigned>(Queue.lostInAll));
            FormatText(NextSlot(), kTextSize, "%d - %s\n", static_cast<int>(ClockMs()), text);
            Queue.lost = 0;
        }
        CopyText(NextSlot(), kTextSize, line);
    }
    SetEvent(Queued);
    return true;
}
