// The listener side of the debugger channel (protocol in debug_monitor.h).

#include "debug_monitor.h"

#include <cstring>
#include <utility>

namespace lab {
namespace {

constexpr DWORD kBufferSize = 4096;
constexpr DWORD kTextCapacity = kBufferSize - sizeof(DWORD);
// Several threads may wait at once while one auto-reset event wakes only one
// of them: the others look again after this slice.
constexpr DWORD kWaitSliceMs = 50;
constexpr DWORD kMutexWaitMs = 45000;

LONG monitorRunning = 0;  // one listener per process

double NowMs() {
    LARGE_INTEGER counter, frequency;
    QueryPerformanceCounter(&counter);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(counter.QuadPart) * 1000.0 /
           static_cast<double>(frequency.QuadPart);
}

// Open to every account: services write from another one.
struct OpenToEveryone {
    SECURITY_DESCRIPTOR descriptor;
    SECURITY_ATTRIBUTES attributes;
    OpenToEveryone() {
        InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
        SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE);
        attributes = {sizeof attributes, &descriptor, FALSE};
    }
};

class Guard {
public:
    explicit Guard(CRITICAL_SECTION& lock) : lock_(lock) { EnterCriticalSection(&lock_); }
    ~Guard() { LeaveCriticalSection(&lock_); }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;

private:
    CRITICAL_SECTION& lock_;
};

// A named object of the channel that nobody else has made yet (or, unless
// mustCreate, one that exists already).
bool CreateOwned(HANDLE created, KernelHandle* owner, bool mustCreate) {
    bool existed = GetLastError() == ERROR_ALREADY_EXISTS;
    owner->reset(created);
    return *owner && !(existed && mustCreate);
}

}  // namespace

DebugMonitor::DebugMonitor() { InitializeCriticalSection(&lock_); }

DebugMonitor::~DebugMonitor() {
    Stop();
    DeleteCriticalSection(&lock_);
}

bool DebugMonitor::Start(std::string* error) {
    if (!Open(true, error)) return false;
    SetEvent(answering_.get());
    return true;
}

bool DebugMonitor::StartSilent(bool holdMutex, std::string* error) {
    // A writer still waiting on an earlier viewer keeps the objects alive:
    // found so, they are just as dead.
    if (!Open(false, error)) return false;
    if (!holdMutex) return true;
    OpenToEveryone open;
    mutex_.reset(CreateMutexA(&open.attributes, FALSE, "DBWinMutex"));
    // Writers hold it while they hand a line over, or, after an earlier dead
    // viewer, while they wait their 10 s for it: several may be queued.
    DWORD taken = mutex_ ? WaitForSingleObject(mutex_.get(), kMutexWaitMs) : WAIT_FAILED;
    holdsMutex_ = taken == WAIT_OBJECT_0 || taken == WAIT_ABANDONED;
    if (!holdsMutex_) {
        if (error) *error = "cannot take DBWinMutex";
        Stop();
        return false;
    }
    return true;
}

void DebugMonitor::Revive() {
    if (holdsMutex_) ReleaseMutex(mutex_.get());
    holdsMutex_ = false;
    if (answering_) SetEvent(answering_.get());
}

bool DebugMonitor::Open(bool mustCreate, std::string* error) {
    if (InterlockedCompareExchange(&monitorRunning, 1, 0) != 0) {
        if (error) *error = "a debug-output monitor already runs in this process";
        return false;
    }
    started_ = true;
    OpenToEveryone open;
    bool owned =
        CreateOwned(CreateFileMappingA(INVALID_HANDLE_VALUE, &open.attributes, PAGE_READWRITE, 0,
                                       kBufferSize, "DBWIN_BUFFER"),
                    &mapping_, mustCreate) &&
        CreateOwned(CreateEventA(&open.attributes, FALSE, FALSE, "DBWIN_BUFFER_READY"),
                    &bufferReady_, mustCreate) &&
        CreateOwned(CreateEventA(&open.attributes, FALSE, FALSE, "DBWIN_DATA_READY"),
                    &dataReady_, mustCreate);
    if (owned) view_ = static_cast<const char*>(MapViewOfFile(mapping_.get(), FILE_MAP_READ, 0, 0, 0));
    arrived_.reset(CreateEventA(nullptr, FALSE, FALSE, nullptr));
    stop_.reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    answering_.reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    if (owned && view_ && arrived_ && stop_ && answering_)
        thread_.reset(CreateThread(nullptr, 0, &DebugMonitor::Collect, this, 0, nullptr));
    if (!thread_) {
        if (error)
            *error = owned ? "cannot start the debug-output monitor (error " +
                                 std::to_string(GetLastError()) + ")"
                           : "another debug-output listener owns DBWIN_BUFFER";
        Stop();
        return false;
    }
    return true;
}

void DebugMonitor::Stop() {
    if (thread_) {
        SetEvent(stop_.get());
        WaitForSingleObject(thread_.get(), INFINITE);
        thread_.reset();
    }
    if (holdsMutex_) ReleaseMutex(mutex_.get());
    holdsMutex_ = false;
    if (view_) UnmapViewOfFile(view_);
    view_ = nullptr;
    for (KernelHandle* handle :
         {&mapping_, &bufferReady_, &dataReady_, &arrived_, &stop_, &answering_, &mutex_})
        handle->reset();
    if (started_) InterlockedExchange(&monitorRunning, 0);
    started_ = false;
}

DWORD WINAPI DebugMonitor::Collect(void* self) {
    static_cast<DebugMonitor*>(self)->CollectLines();
    return 0;
}

void DebugMonitor::CollectLines() {
    HANDLE untilAnswering[] = {stop_.get(), answering_.get()};
    if (WaitForMultipleObjects(2, untilAnswering, FALSE, INFINITE) != WAIT_OBJECT_0 + 1) return;
    HANDLE waits[] = {stop_.get(), dataReady_.get()};
    for (;;) {
        SetEvent(bufferReady_.get());
        if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0 + 1) return;
        DebugLine line;
        line.arrivalMs = NowMs();
        std::memcpy(&line.processId, view_, sizeof line.processId);
        const char* text = view_ + sizeof(DWORD);
        line.text.assign(text, strnlen(text, kTextCapacity));
        {
            Guard guard(lock_);
            lines_.push_back(std::move(line));
        }
        SetEvent(arrived_.get());
    }
}

std::vector<DebugLine> DebugMonitor::Lines() const {
    Guard guard(lock_);
    return lines_;
}

std::vector<DebugLine> DebugMonitor::TakeLines() {
    Guard guard(lock_);
    return std::exchange(lines_, {});
}

std::optional<DebugLine> DebugMonitor::WaitFor(
    const std::function<bool(const DebugLine&)>& matches, DWORD timeoutMs) const {
    const double deadline = NowMs() + timeoutMs;
    for (;;) {
        {
            Guard guard(lock_);
            for (const DebugLine& line : lines_)
                if (matches(line)) return line;
        }
        double left = deadline - NowMs();
        if (left <= 0 || !arrived_) return std::nullopt;
        WaitForSingleObject(arrived_.get(), left < kWaitSliceMs ? static_cast<DWORD>(left) + 1
                                                                 : kWaitSliceMs);
    }
}

}  // namespace lab
