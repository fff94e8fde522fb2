#pragma once
// What a process holds, as the soak and idle benchmarks compare it: handles
// (counted in the system's handle list: Wine's GetProcessHandleCount always
// answers 0), private bytes, working set and CPU time.

#include <windows.h>
#include <psapi.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace figures {

// The system's handle list (information class 16), one entry per handle.
struct HandleEntry {
    USHORT processId;
    USHORT creatorBackTraceIndex;
    UCHAR objectType;
    UCHAR attributes;
    USHORT handle;
    void* object;
    ULONG grantedAccess;
};
struct HandleList {
    ULONG count;
    HandleEntry entries[1];
};

inline long CountHandles(DWORD processId) {
    using QueryFn = LONG(WINAPI*)(ULONG, void*, ULONG, ULONG*);
    static auto query = reinterpret_cast<QueryFn>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation")));
    if (!query) return -1;
    std::vector<char> buffer(1 << 16);
    for (;;) {
        ULONG needed = 0;
        LONG status = query(16, buffer.data(), static_cast<ULONG>(buffer.size()), &needed);
        if (status == static_cast<LONG>(0xC0000004)) {  // too small: grow and ask again
            buffer.resize(buffer.size() * 2 > needed ? buffer.size() * 2 : needed + 4096);
            continue;
        }
        if (status != 0) return -1;
        break;
    }
    const auto* list = reinterpret_cast<const HandleList*>(buffer.data());
    long count = 0;
    for (ULONG i = 0; i < list->count; ++i)
        if (list->entries[i].processId == static_cast<USHORT>(processId)) ++count;
    return count;
}

struct Memory {
    double privateMB = 0;
    double workingSetMB = 0;
};

inline Memory MemoryOf(HANDLE process) {
    PROCESS_MEMORY_COUNTERS_EX counters = {};
    counters.cb = sizeof counters;
    GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                         sizeof counters);
    // Wine leaves PrivateUsage of another process at 0; the commit charge is
    // the same figure on Windows.
    SIZE_T privateBytes = counters.PrivateUsage ? counters.PrivateUsage : counters.PagefileUsage;
    return {privateBytes / 1048576.0, counters.WorkingSetSize / 1048576.0};
}

// Kernel and user time together, in milliseconds.
inline double CpuMs(HANDLE process) {
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) return -1;
    auto ms = [](const FILETIME& t) {
        return ((static_cast<ULONGLONG>(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 10000.0;
    };
    return ms(kernel) + ms(user);
}

// Wine answers neither the CPU times nor the memory of another process, so
// they are read where Linux keeps them: /proc of the Unix process that runs
// the program (drive Z: is /). USER_HZ is 100 on every Linux.
inline std::string ReadUnixFile(const std::string& path) {
    std::string data;
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return data;
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got) data.append(buffer, got);
    CloseHandle(file);
    return data;
}

inline bool Contains(const std::string& haystack, const std::string& needle) {
    return haystack.find(needle) != std::string::npos;
}

// The /proc folder of the Unix process of the one program of this prefix
// whose command line names it (empty: none found).
inline std::string FindUnixProcess(const char* program) {
    const char* prefix = std::getenv("WINEPREFIX");
    WIN32_FIND_DATAA entry;
    HANDLE find = FindFirstFileA("Z:\\proc\\*", &entry);
    if (find == INVALID_HANDLE_VALUE) return {};
    std::string found;
    do {
        std::string name = entry.cFileName;
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::string base = "Z:\\proc\\" + name + "\\";
        if (!Contains(ReadUnixFile(base + "cmdline"), program)) continue;
        if (prefix && !Contains(ReadUnixFile(base + "environ"), std::string("WINEPREFIX=") + prefix))
            continue;
        found = base;
    } while (FindNextFileA(find, &entry) && found.empty());
    FindClose(find);
    return found;
}

// User and system time, in ms, from /proc/N/stat (fields 14 and 15).
inline double UnixCpuMs(const std::string& base) {
    std::string stat = ReadUnixFile(base + "stat");
    size_t close = stat.rfind(')');
    if (close == std::string::npos) return -1;
    std::vector<std::string> fields;
    size_t at = close + 2;
    while (at < stat.size() && fields.size() < 15) {
        size_t end = stat.find(' ', at);
        fields.push_back(stat.substr(at, end - at));
        at = end == std::string::npos ? stat.size() : end + 1;
    }
    if (fields.size() < 13) return -1;
    // fields[0] is field 3 (state): utime and stime are fields 14 and 15.
    return (std::atof(fields[11].c_str()) + std::atof(fields[12].c_str())) * 10.0;
}

// A line "Name:   N kB" of /proc/N/status, in MB.
inline double UnixStatusMb(const std::string& base, const char* name) {
    std::string status = ReadUnixFile(base + "status");
    size_t at = status.find(std::string(name) + ":");
    if (at == std::string::npos) return -1;
    return std::atof(status.c_str() + at + std::strlen(name) + 1) / 1024.0;
}

inline double NowMs() {
    LARGE_INTEGER counter, frequency;
    QueryPerformanceCounter(&counter);
    QueryPerformanceFrequency(&frequency);
    return 1000.0 * static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

}  // namespace figures
