#pragma once
// The systems of the Windows 9x family as the tests play them: Wine's version
// setting for the program, and the libraries such a machine lacks. A Windows
// 95 without Winsock 2 has no WinINet either (it needs the socket library),
// so the program finds neither: no network addresses to watch, and no
// connection state to ask.

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "harness/harness.h"

namespace e2e {

struct Win9xSystem {
    const char* name;          // as a test name ends: "Win95WithoutWinsock2"
    Windows version;
    const char* dllOverrides;  // in WINEDLLOVERRIDES form, "" for none
    bool hasSockets;           // ws2_32.dll and wininet.dll are there
};

// Windows 98, Windows 95, Windows 95 without Winsock 2 and WinINet, Windows Me.
extern const Win9xSystem kWin9xSystems[4];
std::vector<Win9xSystem> Win9xSystemsWithSockets();
const Win9xSystem& Win98System();
const Win9xSystem& Win95WithoutWinsock2System();

// The version and DLL overrides for one program name; nullptr removes both.
void SetWin9xSystem(const std::string& exeName, const Win9xSystem* system);
// The options of a console run under the system.
RunOptions Win9xRunOptions(const Win9xSystem& system);

// For INSTANTIATE_TEST_SUITE_P: the system's name ends the test's name.
std::string Win9xSystemName(const ::testing::TestParamInfo<Win9xSystem>& info);
void PrintTo(const Win9xSystem& system, std::ostream* out);

}  // namespace e2e
