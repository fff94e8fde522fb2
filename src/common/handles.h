#pragma once
// Move-only owners for the Win32 handles the program takes, so that every
// path releases what it took.

#include <windows.h>
#include <cstdio>
#include <utility>

template <typename T, typename Traits>
class UniqueHandle {
public:
    UniqueHandle() = default;
    explicit UniqueHandle(T value) : value_(value) {}
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    UniqueHandle(UniqueHandle&& other) noexcept : value_(other.release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    ~UniqueHandle() { reset(); }

    T get() const { return value_; }
    explicit operator bool() const { return value_ != Traits::invalid(); }
    T release() { return std::exchange(value_, Traits::invalid()); }
    void reset(T value = Traits::invalid()) {
        T old = std::exchange(value_, value);
        if (old != Traits::invalid()) Traits::close(old);
    }
    // For out-parameters: releases the current value first.
    T* put() {
        reset();
        return &value_;
    }

private:
    T value_ = Traits::invalid();
};

struct RegKeyTraits {
    static HKEY invalid() { return nullptr; }
    static void close(HKEY key) { RegCloseKey(key); }
};
struct KernelHandleTraits {  // events, processes, threads, mutexes: invalid when null
    static HANDLE invalid() { return nullptr; }
    static void close(HANDLE handle) { CloseHandle(handle); }
};
struct FileHandleTraits {  // files and pipes: invalid as INVALID_HANDLE_VALUE
    static HANDLE invalid() { return INVALID_HANDLE_VALUE; }
    static void close(HANDLE handle) { CloseHandle(handle); }
};
struct FindHandleTraits {
    static HANDLE invalid() { return INVALID_HANDLE_VALUE; }
    static void close(HANDLE handle) { FindClose(handle); }
};
struct ModuleTraits {
    static HMODULE invalid() { return nullptr; }
    static void close(HMODULE module) { FreeLibrary(module); }
};
struct StdioFileTraits {
    static FILE* invalid() { return nullptr; }
    static void close(FILE* file) { std::fclose(file); }
};

using RegKey = UniqueHandle<HKEY, RegKeyTraits>;
using KernelHandle = UniqueHandle<HANDLE, KernelHandleTraits>;
using FileHandle = UniqueHandle<HANDLE, FileHandleTraits>;
using FindHandle = UniqueHandle<HANDLE, FindHandleTraits>;
using Module = UniqueHandle<HMODULE, ModuleTraits>;
using StdioFile = UniqueHandle<FILE*, StdioFileTraits>;

// A process started with CreateProcessA: the thread handle is not needed and
// is closed at once, the process handle at the end.
struct ProcessOwner {
    KernelHandle process;
    DWORD processId = 0;
    explicit ProcessOwner(const PROCESS_INFORMATION& info)
        : process(info.hProcess), processId(info.dwProcessId) {
        if (info.hThread) CloseHandle(info.hThread);
    }
};
