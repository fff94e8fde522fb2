#pragma once
// The debugger channel of the code under test: OutputDebugStringA raises
// DBG_PRINTEXCEPTION_C with the length and the text, and a vectored handler
// sees it first, on the thread that writes, before it goes on to the system.
// Held, the handler keeps that thread waiting, as a viewer that stopped
// reading keeps every writer waiting.

#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

namespace unit_test {

class CapturedDebugLines {
public:
    CapturedDebugLines() {
        InitializeCriticalSection(&lock_);
        open_ = CreateEventA(nullptr, TRUE, TRUE, nullptr);
        self_ = this;
        handler_ = AddVectoredExceptionHandler(1, &CapturedDebugLines::Handler);
    }
    ~CapturedDebugLines() {
        Release();
        RemoveVectoredExceptionHandler(handler_);
        self_ = nullptr;
        CloseHandle(open_);
        DeleteCriticalSection(&lock_);
    }
    CapturedDebugLines(const CapturedDebugLines&) = delete;
    CapturedDebugLines& operator=(const CapturedDebugLines&) = delete;

    std::vector<std::string> lines() const {
        EnterCriticalSection(&lock_);
        std::vector<std::string> copy = captured_;
        LeaveCriticalSection(&lock_);
        return copy;
    }
    // Every writer waits in its OutputDebugStringA until Release, its line
    // already captured.
    void Hold() { ResetEvent(open_); }
    void Release() { SetEvent(open_); }

private:
    static LONG CALLBACK Handler(EXCEPTION_POINTERS* pointers) {
        const EXCEPTION_RECORD* record = pointers->ExceptionRecord;
        CapturedDebugLines* self = self_;
        if (record->ExceptionCode == DBG_PRINTEXCEPTION_C && record->NumberParameters >= 2 &&
            self) {
            const char* text = reinterpret_cast<const char*>(record->ExceptionInformation[1]);
            size_t length = static_cast<size_t>(record->ExceptionInformation[0]);
            EnterCriticalSection(&self->lock_);
            self->captured_.emplace_back(text, strnlen(text, length));
            LeaveCriticalSection(&self->lock_);
            WaitForSingleObject(self->open_, INFINITE);
        }
        return EXCEPTION_CONTINUE_SEARCH;
    }
    static inline CapturedDebugLines* volatile self_ = nullptr;
    mutable CRITICAL_SECTION lock_;
    std::vector<std::string> captured_;
    HANDLE open_ = nullptr;
    void* handler_ = nullptr;
};

}  // namespace unit_test
