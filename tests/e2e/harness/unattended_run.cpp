// The unattended families of perchman.exe, started and stopped from outside.

#include "harness/unattended_run.h"

#include "harness/harness.h"
#include "harness/service_control.h"

namespace e2e {
namespace {

constexpr char kExeName[] = "perchman.exe";
constexpr char kStatusValue[] = "ZirRoamServiceStatus";
constexpr DWORD kStopAsked = 2;
constexpr DWORD kEnded = 3;

}  // namespace

const char* FamilyName(Family family) {
    return family == Family::NtService ? "NT service" : "Windows 9x background process";
}

UnattendedRun::~UnattendedRun() {
    if (family_ == Family::NtService) {
        if (installed_) {
            StopPerchmanService();
            RemovePerchmanService();
        }
        return;
    }
    if (process_ && WaitForSingleObject(process_.get(), 0) != WAIT_OBJECT_0) Stop();
    SetWindowsVersion(kExeName, std::nullopt);
}

bool UnattendedRun::Start(std::string* error) {
    if (family_ == Family::NtService) {
        DWORD status = InstallPerchmanService();
        installed_ = status == 0;
        if (!status) status = StartPerchmanService(Windows::XP);
        if (status) {
            *error = "the service did not start: error " + std::to_string(status);
            return false;
        }
        processId_ = QueryPerchmanService().dwProcessId;
        process_.reset(OpenProcess(SYNCHRONIZE, FALSE, processId_));
        return true;
    }
    SetWindowsVersion(kExeName, Windows::Win98);
    DeleteValue(HKEY_LOCAL_MACHINE, kProductControl, kStatusValue);
    HANDLE process = nullptr;
    if (!StartUnattendedPerchman(&process, &processId_)) {
        *error = "the program could not be started: error " + std::to_string(GetLastError());
        return false;
    }
    process_.reset(process);
    return true;
}

UnattendedStop UnattendedRun::Stop(DWORD waitMs) {
    UnattendedStop result;
    double start = NowMs();
    if (family_ == Family::NtService) {
        ServiceStop stop = StopPerchmanService(waitMs);
        result.ended = stop.stopped;
        result.ms = stop.ms;
        result.exitCode = stop.status.dwWin32ExitCode;
    } else {
        SetDword(HKEY_LOCAL_MACHINE, kProductControl, kStatusValue, kStopAsked);
        result.ended = WaitUntil(
            [] { return ReadDword(HKEY_LOCAL_MACHINE, kProductControl, kStatusValue) == kEnded; },
            waitMs);
        result.ms = NowMs() - start;
    }
    if (process_) {
        bool gone = WaitForSingleObject(process_.get(), waitMs) == WAIT_OBJECT_0;
        result.exitMs = NowMs() - start;
        if (family_ == Family::Win9xBackground) {
            result.ended = result.ended && gone;
            if (!gone) TerminateProcess(process_.get(), 1);
            GetExitCodeProcess(process_.get(), &result.exitCode);
        }
    }
    process_.reset();
    return result;
}

}  // namespace e2e
