#pragma once
// perchman.exe of this build run unattended, in either family, as each
// family's system starts and stops it: the NT service of the prefix (under
// XP), or the Windows 9x background process as its startup key starts it
// (under Windows 98), told to stop through "ZirRoamServiceStatus".

#include <windows.h>

#include <string>

#include "common/handles.h"

namespace e2e {

enum class Family { NtService, Win9xBackground };
const char* FamilyName(Family family);

struct UnattendedStop {
    bool ended = false;  // NT: reported stopped; 9x: status 3 and the process gone
    double ms = 0;       // from the request to "stopped" (NT) or status 3 (9x)
    double exitMs = 0;   // from the request to the end of the process
    DWORD exitCode = 0;  // the service's Win32 exit code, or the process's
};

class UnattendedRun {
public:
    explicit UnattendedRun(Family family) : family_(family) {}
    ~UnattendedRun();  // stops what still runs, removes the service
    UnattendedRun(const UnattendedRun&) = delete;
    UnattendedRun& operator=(const UnattendedRun&) = delete;

    bool Start(std::string* error);
    // NT: the stop control; 9x: status 2.
    UnattendedStop Stop(DWORD waitMs = 15000);
    DWORD ProcessId() const { return processId_; }

private:
    Family family_;
    KernelHandle process_;
    DWORD processId_ = 0;
    bool installed_ = false;
};

}  // namespace e2e
