// The systems of the Windows 9x family as the tests play them.

#include "harness/win9x_systems.h"

namespace e2e {

const Win9xSystem kWin9xSystems[4] = {
    {"Win98", Windows::Win98, "", true},
    {"Win95", Windows::Win95, "", true},
    {"Win95WithoutWinsock2", Windows::Win95, "ws2_32,wininet=d", false},
    {"WinMe", Windows::WinMe, "", true},
};

std::vector<Win9xSystem> Win9xSystemsWithSockets() {
    std::vector<Win9xSystem> systems;
    for (const Win9xSystem& system : kWin9xSystems)
        if (system.hasSockets) systems.push_back(system);
    return systems;
}

const Win9xSystem& Win98System() { return kWin9xSystems[0]; }
const Win9xSystem& Win95WithoutWinsock2System() { return kWin9xSystems[2]; }

void SetWin9xSystem(const std::string& exeName, const Win9xSystem* system) {
    if (system) {
        SetWindowsVersion(exeName, system->version);
        SetDllOverrides(exeName, system->dllOverrides);
    } else {
        SetWindowsVersion(exeName, std::nullopt);
        SetDllOverrides(exeName, "");
    }
}

RunOptions Win9xRunOptions(const Win9xSystem& system) {
    RunOptions options;
    options.version = system.version;
    options.dllOverrides = system.dllOverrides;
    return options;
}

std::string Win9xSystemName(const ::testing::TestParamInfo<Win9xSystem>& info) {
    return info.param.name;
}

void PrintTo(const Win9xSystem& system, std::ostream* out) { *out << system.name; }

}  // namespace e2e
