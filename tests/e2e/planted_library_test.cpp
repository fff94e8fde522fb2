// Libraries planted beside a copy of the shipped program, under the names of
// the libraries it loads while it runs, with Wine told to prefer a library
// found beside the program (as Windows NT does for every library that is not
// one of its known ones): the program, which runs as LocalSystem, must never
// load them.

#include <windows.h>

#include <string>
#include <vector>

#include "harness/harness.h"
#include "labnet/labnet.h"

namespace {

using namespace e2e;

// What the program loads while it runs (the network libraries, the folder
// library, the product's library), and what those load in turn under Wine.
// Not planted: what the system loads for itself before the program runs
// (imm32.dll, which user32.dll takes by a bare name as Wine starts it).
const std::vector<std::string> kPlanted = {
    "ws2_32.dll", "wininet.dll", "shfolder.dll", "iphlpapi.dll", "mpr.dll", "shell32.dll",
    "shlwapi.dll", "shcore.dll",  "dnsapi.dll",  "nsi.dll"};

class PlantedLibraries : public ProductTest {};

TEST_F(PlantedLibraries, AreNeverLoadedFromTheProgramsFolder) {
    // A parent search whose winner already owns the machine: the takeover only
    // works out where HPD.DAT goes, which on NT for these client types asks
    // the folder library.
    Load("server SRV01 latency=1\nlist <local> Parent 0 SRV01\n");
    SetString(HKEY_LOCAL_MACHINE, kProductRoot, "Parent", "SRV01");
    SetDword(HKEY_LOCAL_MACHINE, kProductRoot, "ClientType", 1);
    ScratchFolder folder("PerchmanPlanted");
    std::string program = folder.Path("perchman.exe");
    ASSERT_TRUE(CopyFileA(PerchmanPath().c_str(), program.c_str(), FALSE));
    std::string overrides;
    for (const std::string& name : kPlanted) {
        ASSERT_TRUE(CopyFileA(BuildPath("lab\\planted.dll").c_str(), folder.Path(name).c_str(), FALSE));
        folder.Path(name + ".loaded");
        if (!overrides.empty()) overrides += ',';
        overrides += name.substr(0, name.size() - 4);
    }
    overrides += "=n,b";
    for (Windows version : {Windows::XP, Windows::NT4, Windows::Win98}) {
        SCOPED_TRACE(WineVersionName(version));
        for (const std::string& name : kPlanted) DeleteFileA(folder.Path(name + ".loaded").c_str());
        RunOptions options;
        options.version = version;
        options.dllOverrides = overrides;
        RunResult result = RunProgram(program, {"/nearest_parent"}, options);
        ASSERT_TRUE(Finished(result));
        // The names are ones this run did load, from the system's folder.
        for (const char* name : {"ws2_32.dll", "wininet.dll", "iphlpapi.dll"})
            EXPECT_TRUE(result.Loaded(name)) << name;
        EXPECT_EQ(result.Loaded("shfolder.dll"), version != Windows::Win98);
        for (const std::string& name : kPlanted) {
            EXPECT_EQ(GetFileAttributesA(folder.Path(name + ".loaded").c_str()),
                      INVALID_FILE_ATTRIBUTES)
                << name << " was loaded from beside the program";
        }
    }
}

}  // namespace
