// Running checks, start and stop of the managed product.

#include "product/product_control.h"

#include "output/output.h"
#include "product/product_interface.h"
#include "product/product_keys.h"

namespace {

constexpr unsigned kMsgStartFailed = 75;
constexpr DWORD kStopPollMs = 100;

// The service with the given rights; empty where the service functions are
// not bound (Windows 9x).
ServiceHandle OpenProductService(SC_HANDLE manager, const char* serviceName, DWORD access) {
    if (!manager || !EngineFunctions.OpenServiceA) return ServiceHandle();
    return ServiceHandle(EngineFunctions.OpenServiceA(manager, serviceName, access));
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
    DWORD value = 0;
    DWORD size = sizeof value;
    if (RegQueryValueExA(root.get(), "Orientation", nullptr, nullptr,
                         reinterpret_cast<BYTE*>(&value), &size))
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
    if (EngineFunctions.IsWin9x) {
        DWORD running = 0;
        ReadOrientation(&running);
        return running ? 1 : 0;
    }
    ServiceHandle manager = OpenServiceManager();
    if (!manager) return 0;
    return IsServiceRunning(manager.get(), kProductServiceName);
}

SC_HANDLE SharedServiceManager() {
    static ServiceHandle manager;
    if (!manager) manager = OpenServiceManager();
    return manager.get();
}

ProductProbe::ProductProbe() {
    if (!EngineFunctions.IsWin9x) manager_ = SharedServiceManager();
}

int ProductProbe::IsRunning() {
    if (EngineFunctions.IsWin9x) return IsProductRunning();
    if (!manager_ || !EngineFunctions.QueryServiceStatus) return 0;
    // Opened again after a failure, so that a service installed meanwhile counts.
    if (!service_) service_ = OpenProductService(manager_, kProductServiceName, SERVICE_QUERY_STATUS);
    if (!service_) return 0;
    SERVICE_STATUS status = {};
    if (!EngineFunctions.QueryServiceStatus(service_.get(), &status)) return 0;
    return status.dwCurrentState == SERVICE_RUNNING;
}

DWORD StartProductService(SC_HANDLE manager, const char* serviceName) {
    ServiceHandle service = OpenProductService(manager, serviceName, SERVICE_ALL_ACCESS);
    if (!service || !EngineFunctions.StartServiceA) return SERVICE_OPEN_FAILED;
    if (EngineFunctions.StartServiceA(service.get(), 0, nullptr)) return 0;
    DWORD error = GetLastError();
    if (error == ERROR_SERVICE_ALREADY_RUNNING) return 0;
    PrintMessageId(kMsgStartFailed, nullptr, false, static_cast<unsigned>(error));
    return error;
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
