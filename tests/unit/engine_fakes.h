#pragma once
// Seams for the engine's unit tests: the bound tables (Product, Keys,
// Winsock, WinInet) saved and restored around a test, a registry scratch key
// the test owns, and a GetDwordValue that reads the real registry.

#include "platform/network_libraries.h"

#include <windows.h>

#include <string>
#include <type_traits>

#include <gtest/gtest.h>

#include "engine/engine_loop.h"
#include "product/product_keys.h"
#include "product/product_library.h"

namespace engine_test {

// RegDeleteTree is beyond the Windows version the program targets.
inline void DeleteKeyTree(HKEY root, const std::string& path) {
    HKEY key;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) return;
    char name[256];
    DWORD size = sizeof name;
    while (RegEnumKeyExA(key, 0, name, &size, nullptr, nullptr, nullptr, nullptr) ==
           ERROR_SUCCESS) {
        DeleteKeyTree(key, name);
        size = sizeof name;
    }
    RegCloseKey(key);
    RegDeleteKeyA(root, path.c_str());
}

// Restores every bound table the engine reads when the test ends.
class SavedTables {
public:
    SavedTables()
        : product_(Product), keys_(Keys), winsock_(Winsock), winInet_(WinInet),
          winsockReady_(WinsockReady) {}
    ~SavedTables() {
        Product = product_;
        Keys = keys_;
        Winsock = winsock_;
        WinInet = winInet_;
        WinsockReady = winsockReady_;
    }
    SavedTables(const SavedTables&) = delete;
    SavedTables& operator=(const SavedTables&) = delete;

private:
    ProductLibrary product_;
    ProductKeys keys_;
    WinsockFunctions winsock_;
    WinInetFunctions winInet_;
    LONG winsockReady_;
};

// HKCU\Software\PerchmanUnitTests\<name>, empty at the start and removed at the end.
class ScratchKey {
public:
    explicit ScratchKey(const std::string& name)
        : path_("Software\\PerchmanUnitTests\\" + name) {
        DeleteKeyTree(HKEY_CURRENT_USER, path_);
        RegCreateKeyExA(HKEY_CURRENT_USER, path_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                        nullptr, &key_, nullptr);
    }
    ~ScratchKey() {
        if (key_) RegCloseKey(key_);
        DeleteKeyTree(HKEY_CURRENT_USER, path_);
    }
    ScratchKey(const ScratchKey&) = delete;
    ScratchKey& operator=(const ScratchKey&) = delete;

    HKEY get() const { return key_; }
    void SetDword(const char* name, DWORD value) const {
        RegSetValueExA(key_, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                       sizeof value);
    }
    bool HasValue(const char* name) const {
        return RegQueryValueExA(key_, name, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
    }
    void SetRaw(const char* name, DWORD type, const std::string& bytes) const {
        RegSetValueExA(key_, name, 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                       static_cast<DWORD>(bytes.size()));
    }

private:
    std::string path_;
    HKEY key_ = nullptr;
};

// Asks the engine to stop from another thread after a delay, as a stop
// control does; the request is taken back when the object goes.
class DelayedStop {
public:
    explicit DelayedStop(DWORD delayMs)
        : delayMs_(delayMs), thread_(CreateThread(nullptr, 0, Run, this, 0, nullptr)) {}
    ~DelayedStop() {
        WaitForSingleObject(thread_, INFINITE);
        CloseHandle(thread_);
        ClearEngineStop();
    }
    DelayedStop(const DelayedStop&) = delete;
    DelayedStop& operator=(const DelayedStop&) = delete;

private:
    static DWORD WINAPI Run(void* self) {
        Sleep(static_cast<DelayedStop*>(self)->delayMs_);
        StopEngineLoop();
        return 0;
    }
    DWORD delayMs_;
    HANDLE thread_;
};

// Runs work (a wait that must give way to a stop) on a thread of its own and
// fails the calling test by name once limitMs pass without it returning,
// instead of holding the whole program until the test runner's limit. The
// work uses the test's locals, so it is still waited for after that, bounded
// only by the wait's own limit.
template <typename Work>
void ExpectGivesWayWithin(DWORD limitMs, Work&& work) {
    struct Call {
        std::remove_reference_t<Work>* work;
        static DWORD WINAPI Run(void* self) {
            (*static_cast<Call*>(self)->work)();
            return 0;
        }
    } call{&work};
    HANDLE thread = CreateThread(nullptr, 0, Call::Run, &call, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    if (WaitForSingleObject(thread, limitMs) != WAIT_OBJECT_0) {
        ADD_FAILURE() << "the wait did not give way to the stop within " << limitMs << " ms";
        WaitForSingleObject(thread, INFINITE);
    }
    CloseHandle(thread);
}

// What the product library's GetDwordValue does, on this machine's registry.
inline DWORD WINAPI RegistryGetDword(HKEY key, const char* name, DWORD defaultValue) {
    DWORD value = 0;
    DWORD type = 0;
    DWORD size = sizeof value;
    if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) !=
            ERROR_SUCCESS ||
        type != REG_DWORD || size != sizeof value)
        return defaultValue;
    return value;
}

}  // namespace engine_test
