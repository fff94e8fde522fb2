// Running checks, start and stop of the managed product.

#include "product/product_control.h"

#include "platform/stop_request.h"
#include "output/output.h"
#include "product/product_interface.h"
#include "product/product_keys.h"

namespace {

constexpr unsigned kMsgStartFailed = 75;
constexpr DWORD kStopPollMs = 100;
constexpr DWORD kStartPollMinMs = 100;
constexpr DWORD kStartPollMaxMs = 1000;

// The service with the given rights; empty where the service functions are
// not bound (Windows 9x).
ServiceHandle OpenProductService(SC_HANDLE manager, const char* serviceName, DWORD access) {
    if (!manager || !EngineFunctions.OpenServiceA) return ServiceHandle();
    return ServiceHandle(EngineFunctions.OpenServiceA(manager, serviceName, access));
}

// A tenth of the service's own estimate, within bounds.
DWORD StartPollMs(DWORD waitHint) {
    DWORD poll = waitHint / 10;
    if (poll < kStartPollMinMs) return kStartPollMinMs;
    return poll > kStartPollMaxMs ? kStartPollMaxMs : poll;
}

// A service that was just started is usually still start-pending: waits until
// it reports another state, it stops making progress for longer than its wait
// hint, or kStartWaitLimitMs have passed. False when a stop of the engine
// ended the wait.
bool WaitWhileStartPending(SC_HANDLE service) {
    if (!EngineFunctions.QueryServiceStatus) return true;
    uint32_t start = ClockMs();
    uint32_t progressAt = start;
    DWORD checkPoint = 0;
    SERVICE_STATUS status = {};
    while (EngineFunctions.QueryServiceStatus(service, &status) &&
           status.dwCurrentState == SERVICE_START_PENDING) {
        uint32_t now = ClockMs();
        if (status.dwCheckPoint != checkPoint) {
            checkPoint = status.dwCheckPoint;
            progressAt = now;
        } else if (status.dwWaitHint && ElapsedMs(progressAt, now) > status.dwWaitHint) {
            return true;
        }
        if (ElapsedMs(start, now) >= kStartWaitLimitMs) return true;
        // The product goes on starting without us: a stop of the engine need
        // not wait for it.
        if (WaitForEngineStop(StartPollMs(status.dwWaitHint))) return false;
    }
    return true;
}

using ProductMethod = HRESULT (STDMETHODCALLTYPE product::IProductControl::*)();

int CallControlObject(ProductMethod method) {
    HRESULT init = CoInitialize(nullptr);
    if (FAILED(init)) return 0;
    product::IProductControl* control = nullptr;
    HRESULT result = CoCreateInstance(product::kControlObjectClsid, nullptr,
                                      CLSCTX_INPROC_SERVER, product::kControlObjectIid,
                                      reinterpret_cast<void**>(&control));
    if (SUCCEEDED(result) && control) {
        result = (control->*method)();
        control->Release();
    }
    CoUninitialize();
    return SUCCEEDED(result) ? 1 : 0;
}

}  // namespace

ServiceHandle OpenServiceManager() {
    if (!EngineFunctions.OpenSCManagerA) return ServiceHandle();
    return ServiceHandle(EngineFunctions.OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
}

int ReadOrientation(DWORD* running) {
    RegKey root;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kProductRootPath, 0, KEY_READ, root.put()))
        return 0;
    DWORD type = 0;
    DWORD value = 0;
    DWORD size = sizeof value;
    // Four bytes of some other type (a short string, say) are no state of the
    // product: such a value reads as a missing one.
    if (RegQueryValueExA(root.get(), "Orientation", nullptr, &type,
                         reinterpret_cast<BYTE*>(&value), &size) ||
        type != REG_DWORD || size != sizeof value)
        return 0;
    *running = value != kOrientationStopped;
    return 1;
}

int IsServiceRunning(SC_HANDLE manager, const char* serviceName) {
    ServiceHandle service = OpenProductService(manager, serviceName, SERVICE_QUERY_STATUS);
    if (!service || !EngineFunctions.QueryServiceStatus) return 0;
    SERVICE_STATUS status = {};
    if (!EngineFunctions.QueryServiceStatus(service.get(), &status)) return 0;
    return status.dwCurrentState == SERVICE_RUNNING;
}

int IsProductRunning() {
    ServiceHandle manager;
    if (!EngineFunctions.IsWin9x) manager = OpenServiceManager();
    return IsProductRunning(manager.get());
}

int IsProductRunning(SC_HANDLE manager) {
    if (EngineFunctions.IsWin9x) {
        DWORD running = 0;
        ReadOrientation(&running);
        return running ? 1 : 0;
    }
    return manager ? IsServiceRunning(manager, kProductServiceName) : 0;
}

DWORD StartProductService(SC_HANDLE manager, const char* serviceName) {
    ServiceHandle service = OpenProductService(manager, serviceName, SERVICE_ALL_ACCESS);
    if (!service || !EngineFunctions.StartServiceA) return SERVICE_OPEN_FAILED;
    if (!EngineFunctions.StartServiceA(service.get(), 0, nullptr)) {
        DWORD error = GetLastError();
        if (error != ERROR_SERVICE_ALREADY_RUNNING) {
            PrintMessageId(kMsgStartFailed, nullptr, false, static_cast<unsigned>(error));
            return error;
        }
    }
    return WaitWhileStartPending(service.get()) ? 0 : START_CUT_BY_STOP;
}

DWORD StopProductService(SC_HANDLE manager, const char* serviceName) {
    ServiceHandle service = OpenProductService(manager, serviceName, SERVICE_ALL_ACCESS);
    if (!service || !EngineFunctions.ControlService || !EngineFunctions.QueryServiceStatus)
        return SERVICE_OPEN_FAILED;
    SERVICE_STATUS status = {};
    if (!EngineFunctions.ControlService(service.get(), SERVICE_CONTROL_STOP, &status))
        return GetLastError();
    // A service that never leaves stop-pending must not hold a takeover forever.
    uint32_t start = ClockMs();
    while (status.dwCurrentState == SERVICE_STOP_PENDING) {
        if (ElapsedMs(start, ClockMs()) >= kStopWaitLimitMs) return ERROR_SERVICE_REQUEST_TIMEOUT;
        Sleep(kStopPollMs);
        if (!EngineFunctions.QueryServiceStatus(service.get(), &status)) break;
    }
    return 0;
}

int StartProductObject() { return CallControlObject(&product::IProductControl::StartProduct); }

int StopProductObject() { return CallControlObject(&product::IProductControl::StopProduct); }
