#pragma once
// The program under test, in one of its unattended families: the NT service
// under the service control manager, or the Windows 9x background process as
// its startup key starts it. Both are told to stop the way their system does.

#include <windows.h>

#include <string>

namespace soak {

enum class Family { NtService, Win9xBackground };
const char* FamilyName(Family family);

struct StopResult {
    bool ended = false;  // stopped (NT) or ended (9x) within the wait
    double ms = 0;       // from the request to the end
    DWORD exitCode = 0;
};

class Program {
public:
    Program(Family family, bool watching) : family_(family), watching_(watching) {}
    ~Program();
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    bool Install(std::string* error);
    void Uninstall();
    bool Start(std::string* error);
    StopResult Stop(DWORD waitMs);
    // The end of the system's session as the program's system announces it;
    // false where it cannot be played: Wine's service control manager sends
    // no SERVICE_CONTROL_SHUTDOWN (its own shutdown sends a stop), so only the
    // Windows 9x family's WM_ENDSESSION can be.
    bool CanShutDown() const { return family_ == Family::Win9xBackground; }
    StopResult ShutDown(DWORD waitMs);
    bool Alive() const;
    DWORD ProcessId() const { return processId_; }
    HANDLE Process() const { return process_; }
    Family family() const { return family_; }

private:
    void Forget();
    StopResult AwaitEnd(double start, DWORD waitMs);
    Family family_;
    bool watching_;
    HANDLE process_ = nullptr;
    DWORD processId_ = 0;
};

}  // namespace soak
