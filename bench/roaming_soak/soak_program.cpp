#include "soak_program.h"

#include "bench_clock.h"
#include "harness/harness.h"
#include "harness/service_control.h"

namespace soak {
namespace {

constexpr char kExeName[] = "perchman.exe";
constexpr char kStatusValue[] = "ZirRoamServiceStatus";
constexpr DWORD kStopAsked = 2;

}  // namespace

const char* FamilyName(Family family) {
    return family == Family::NtService ? "NT service" : "Windows 9x background process";
}

Program::~Program() { Forget(); }

void Program::Forget() {
    if (process_) CloseHandle(process_);
    process_ = nullptr;
    processId_ = 0;
}

bool Program::Install(std::string* error) {
    // Without its socket library the program cannot watch the addresses.
    if (!watching_) e2e::SetDllOverrides(kExeName, "ws2_32=d");
    if (family_ == Family::Win9xBackground) {
        e2e::SetWindowsVersion(kExeName, e2e::Windows::Win98);
        return true;
    }
    if (DWORD status = e2e::InstallPerchmanService()) {
        *error = "the service could not be installed: error " + std::to_string(status);
        return false;
    }
    return true;
}

void Program::Uninstall() {
    if (Alive()) Stop(15000);
    if (!watching_) e2e::SetDllOverrides(kExeName, "");
    if (family_ == Family::NtService)
        e2e::RemovePerchmanService();
    else
        e2e::SetWindowsVersion(kExeName, std::nullopt);
}

bool Program::Start(std::string* error) {
    Forget();
    if (family_ == Family::NtService) {
        if (DWORD status = e2e::StartPerchmanService(e2e::Windows::XP)) {
            *error = "the service did not start: error " + std::to_string(status);
            return false;
        }
        processId_ = e2e::QueryPerchmanService().dwProcessId;
    } else {
        e2e::DeleteValue(HKEY_LOCAL_MACHINE, e2e::kProductControl, kStatusValue);
        if (!e2e::StartUnattendedPerchman(&process_, &processId_)) {
            *error = "the program could not be started: error " + std::to_string(GetLastError());
            return false;
        }
        return true;
    }
    process_ = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ | SYNCHRONIZE, FALSE,
                           processId_);
    return true;
}

StopResult Program::Stop(DWORD waitMs) {
    StopResult result;
    if (family_ == Family::NtService) {
        e2e::ServiceStop stop = e2e::StopPerchmanService(waitMs);
        result = {stop.stopped, stop.ms, stop.status.dwWin32ExitCode};
    } else if (process_) {
        double start = NowMs();
        e2e::SetDword(HKEY_LOCAL_MACHINE, e2e::kProductControl, kStatusValue, kStopAsked);
        result = AwaitEnd(start, waitMs);
    }
    Forget();
    return result;
}

StopResult Program::ShutDown(DWORD waitMs) {
    StopResult result;
    HWND window = FindWindowA("Win9XPerchmanWndClass", "Win9XPerchmanWindow");
    if (!CanShutDown() || !process_ || !window) return result;
    double start = NowMs();
    DWORD_PTR answer = 0;
    SendMessageTimeoutA(window, WM_ENDSESSION, TRUE, 0, SMTO_NORMAL, waitMs, &answer);
    result = AwaitEnd(start, waitMs);
    Forget();
    return result;
}

// The Windows 9x process told to end at start: ended (or ended here) and timed.
StopResult Program::AwaitEnd(double start, DWORD waitMs) {
    StopResult result;
    result.ended = WaitForSingleObject(process_, waitMs) == WAIT_OBJECT_0;
    result.ms = NowMs() - start;
    if (!result.ended) TerminateProcess(process_, 1);
    GetExitCodeProcess(process_, &result.exitCode);
    return result;
}

bool Program::Alive() const {
    if (family_ == Family::NtService) {
        SERVICE_STATUS_PROCESS status = e2e::QueryPerchmanService();
        return processId_ && status.dwCurrentState == SERVICE_RUNNING &&
               status.dwProcessId == processId_;
    }
    return process_ && WaitForSingleObject(process_, 0) == WAIT_TIMEOUT;
}

}  // namespace soak
