// The lab's stand-in for the product's control object, through which the
// product is started and stopped on Windows 9x. It counts the calls, moves
// "Orientation" the way the product does, and fails on request. Where the
// product's service is installed in the prefix, it is started and stopped
// with it, so that a product stopped on Windows 9x takes no file in either.

#include <windows.h>

#include <new>

#include "kestrel/kestrel_layout.h"
#include "product/product_interface.h"

namespace {

LONG objectCount = 0;
LONG lockCount = 0;

DWORD ReadLab(const char* name) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kestrel::kLabProductKey, 0, KEY_READ, &key)) return 0;
    DWORD value = 0;
    DWORD size = sizeof value;
    if (RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size))
        value = 0;
    RegCloseKey(key);
    return value;
}

void WriteDword(const char* path, const char* name, DWORD value) {
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                        nullptr))
        return;
    RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
    RegCloseKey(key);
}

// A start is asked for, not awaited: the product comes up in its own time,
// as the caller's wait for its confirmation expects. A stop is awaited, as
// the product's own is, so that a start right after it finds it stopped.
constexpr DWORD kStopWaitMs = 5000;

void MoveService(bool run) {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (!manager) return;
    SC_HANDLE service = OpenServiceA(manager, kestrel::kServiceName,
                                     SERVICE_START | SERVICE_STOP | SERVICE_QUERY_STATUS);
    if (service) {
        SERVICE_STATUS status = {};
        if (run) {
            StartServiceA(service, 0, nullptr);
        } else if (ControlService(service, SERVICE_CONTROL_STOP, &status)) {
            for (DWORD waited = 0; waited < kStopWaitMs && status.dwCurrentState != SERVICE_STOPPED;
                 waited += kestrel::kPollMs * 5) {
                Sleep(kestrel::kPollMs * 5);
                if (!QueryServiceStatus(service, &status)) break;
            }
        }
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
}

HRESULT Perform(const char* counter, DWORD orientation) {
    WriteDword(kestrel::kLabProductKey, counter, ReadLab(counter) + 1);
    if (ReadLab(kestrel::kFailControlValue) == 1) return kestrel::kControlFailure;
    WriteDword(kestrel::kProductRoot, "Orientation", orientation);
    MoveService(orientation == kestrel::kOrientationRunning);
    return S_OK;
}

class ControlObject final : public product::IProductControl {
public:
    ControlObject() { InterlockedIncrement(&objectCount); }
    ~ControlObject() { InterlockedDecrement(&objectCount); }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (!out) return E_POINTER;
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, product::kControlObjectIid)) {
            *out = static_cast<product::IProductControl*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&references_); }
    ULONG STDMETHODCALLTYPE Release() override {
        ULONG left = InterlockedDecrement(&references_);
        if (left == 0) delete this;
        return left;
    }
    HRESULT STDMETHODCALLTYPE Reserved1() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved2() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved3() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved4() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE StartProduct() override {
        return Perform(kestrel::kStartCallsValue, kestrel::kOrientationRunning);
    }
    HRESULT STDMETHODCALLTYPE StopProduct() override {
        return Perform(kestrel::kStopCallsValue, kestrel::kOrientationStopped);
    }

private:
    LONG references_ = 1;
};

class Factory final : public IClassFactory {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (!out) return E_POINTER;
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IClassFactory)) {
            *out = static_cast<IClassFactory*>(this);
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        ControlObject* object = new (std::nothrow) ControlObject();
        if (!object) return E_OUTOFMEMORY;
        HRESULT result = object->QueryInterface(iid, out);
        object->Release();
        return result;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
        if (lock)
            InterlockedIncrement(&lockCount);
        else
            InterlockedDecrement(&lockCount);
        return S_OK;
    }
};

Factory factory;

}  // namespace

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (!IsEqualCLSID(clsid, product::kControlObjectClsid)) return CLASS_E_CLASSNOTAVAILABLE;
    return factory.QueryInterface(iid, out);
}

extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow() {
    return objectCount == 0 && lockCount == 0 ? S_OK : S_FALSE;
}
