// Start-up, the dispatch table of the command line, and the shut-down that
// follows every branch.

#include "entry/dispatch.h"

#include <windows.h>

#include <cstring>
#include <string_view>

#include "common/text.h"
#include "engine/nearest.h"
#include "engine/network_change.h"
#include "engine/parent_check.h"
#include "engine/timing.h"
#include "entry/command_line.h"
#include "entry/run_modes.h"
#include "entry/startup.h"
#include "platform/system_functions.h"
#include "lists/export.h"
#include "lists/import.h"
#include "output/output.h"
#include "product/product_keys.h"
#include "product/product_library.h"

namespace {

constexpr const char kProgramName[] = "Perchman";

// The option words as the usage text names them, in its order.
constexpr const char* kUsageWords[] = {
    "import",          "export",      "install",        "remove",
    "nearest",         "nearest_parent", "nearest_quarantine", "nearest_alerts",
    "nearest_HPD",     "nearest_KPZ", "nearest_WDR",    "nearest_primary",
    "time_network",    "check_parent", "shutdown",      "debug"};

constexpr unsigned kMsgUsage = 140;
constexpr unsigned kMsgBadExtension = 146;
constexpr unsigned kMsgCannotInstall = 108;
constexpr unsigned kMsgInstallingPath = 116;
constexpr unsigned kMsgInstallingService = 117;
constexpr unsigned kMsgInstallingExe = 118;
constexpr unsigned kMsgRemoving = 119;

HANDLE Session = nullptr;

// Network check and product session, shared by every option that needs the
// network; false sends the run to the shut-down.
bool OpenNetworkSession() {
    if (!RequireNetwork(0)) return false;
    return OpenProductSession(&Session) == 0;
}

bool IsOption(const char* argument, const char* word) {
    return EqualsNoCase(argument, word);
}

// Arguments that are kept go into buffers of kArgumentSize bytes; a longer one
// is refused (with the usage text) rather than cut, so that nothing acts on
// half an argument. Arguments an option does not use are not looked at.
bool Fits(const char* argument) { return strnlen(argument, kArgumentSize) < kArgumentSize; }

int InstallBranch(int argc, char** argv) {
    for (int i = 2; i < argc && i <= 4; ++i) {
        if (!Fits(argv[i])) {
            PrintUsage();
            return 0;
        }
    }
    char path[kArgumentSize] = "";
    char serviceName[kArgumentSize] = "";
    char exeName[kArgumentSize] = "";
    if (argc > 2) CopyText(path, argv[2]);
    if (argc > 3) CopyText(serviceName, argv[3]);
    if (argc > 4) CopyText(exeName, argv[4]);

    ExecutableName name = exeName[0] ? NormaliseExecutableName(exeName) : ExecutableName::Usable;
    if (name == ExecutableName::TooLong) {
        PrintUsage();
        return 0;
    }
    if (name == ExecutableName::WrongExtension) {
        char reason[kTextSize];
        FormatMessageId(reason, sizeof reason, kMsgBadExtension, "EXE");
        PrintMessageId(kMsgCannotInstall, nullptr, false, kProgramName, reason);
        return -1;
    }
    if (path[0]) PrintMessageId(kMsgInstallingPath, nullptr, false, kProgramName, path);
    if (serviceName[0])
        PrintMessageId(kMsgInstallingService, nullptr, false, kProgramName, serviceName);
    if (exeName[0]) PrintMessageId(kMsgInstallingExe, nullptr, false, kProgramName, exeName);
    InstallService(path, serviceName, exeName);
    return 0;
}

void RemoveBranch(int argc, char** argv) {
    if (argc > 2 && !Fits(argv[2])) {
        PrintUsage();
        return;
    }
    char serviceName[kArgumentSize] = "";
    if (argc > 2) CopyText(serviceName, argv[2]);
    if (serviceName[0]) PrintMessageId(kMsgRemoving, nullptr, false, kProgramName, serviceName);
    RemoveService(serviceName);
}

void ImportBranch(const char* fileName) {
    if (!OpenNetworkSession()) return;
    ShowDetail = 1;
    Import(fileName);
    CloseProductSession(&Session);
}

void ExportBranch(int argc, char** argv) {
    if (argc > 2 && !Fits(argv[2])) {
        PrintUsage();
        return;
    }
    if (!OpenNetworkSession()) return;
    // Without a file name the report goes to the console only.
    ExportServerLists(argc > 2 ? argv[2] : nullptr);
    CloseProductSession(&Session);
}

void ShutdownBranch() {
    if (!OpenNetworkSession()) return;
    ReleaseParent();
    CloseProductSession(&Session);
}

void NearestBranch(int (*driver)(int once)) {
    ShowDetail = 1;
    if (!OpenNetworkSession()) return;
    driver(1);
    CloseProductSession(&Session);
}

void TimeNetworkBranch(int argc, char** argv) {
    ShowDetail = 1;
    if (!OpenNetworkSession()) return;
    bool valid = argc > 4 && IsDecimalNumber(argv[2]) && IsDecimalNumber(argv[3]) &&
                 Fits(argv[4]);
    if (!valid) {
        CloseProductSession(&Session);
        PrintUsage();
        return;
    }
    TimeNetwork(argv[4], argv[2], argv[3]);
    CloseProductSession(&Session);
}

void CheckParentBranch() {
    ShowDetail = 1;
    if (!OpenNetworkSession()) return;
    CheckParent(1);
    CloseProductSession(&Session);
}

struct NearestOption {
    const char* word;
    int (*driver)(int once);
};
constexpr NearestOption kNearestOptions[] = {
    {"/nearest", NearestAll},
    {"/nearest_parent", NearestParent},
    {"/nearest_quarantine", NearestQuarantine},
    {"/nearest_HPD", NearestHPD},
    {"/nearest_KPZ", NearestKPZ},
    {"/nearest_WDR", NearestWDR},
    {"/nearest_primary", NearestPrimary},
    {"/nearest_alerts", NearestAlerts},
};

// Runs the branch chosen by the first argument; returns the run's status.
int Dispatch(int argc, char** argv) {
    if (argc == 1) {
        RunAsService(FrameFunctions.IsWin9x);
        return 0;
    }
    const char* option = argv[1];
    if (IsOption(option, "/install")) return InstallBranch(argc, argv);
    if (IsOption(option, "/remove")) {
        RemoveBranch(argc, argv);
        return 0;
    }
    if (IsOption(option, "/import") && argc > 2) {
        if (Fits(argv[2]))
            ImportBranch(argv[2]);
        else
            PrintUsage();
        return 0;
    }
    if (IsOption(option, "/export")) {
        ExportBranch(argc, argv);
        return 0;
    }
    if (IsOption(option, "/debug")) {
        DebugMode = 1;
        DebugService(argc, argv);
        return 0;
    }
    if (IsOption(option, "/shutdown")) {
        ShutdownBranch();
        return 0;
    }
    for (const NearestOption& nearest : kNearestOptions) {
        if (IsOption(option, nearest.word)) {
            NearestBranch(nearest.driver);
            return 0;
        }
    }
    if (IsOption(option, "/time_network") && argc > 3) {
        TimeNetworkBranch(argc, argv);
        return 0;
    }
    if (IsOption(option, "/check_parent")) {
        CheckParentBranch();
        return 0;
    }
    PrintUsage();
    return 0;
}

}  // namespace

void PrintUsage() {
    // 1134 characters formatted: more than the shared line buffer holds.
    char usage[4 * kTextSize];
    char format[2 * kTextSize];
    LoadMessage(kMsgUsage, format);
    FormatText(usage, format, kUsageWords[0], kUsageWords[1], kUsageWords[2],
               kUsageWords[3], kUsageWords[4], kUsageWords[5], kUsageWords[6],
               kUsageWords[7], kUsageWords[8], kUsageWords[9], kUsageWords[10],
               kUsageWords[11], kUsageWords[12], kUsageWords[13], kUsageWords[14],
               kUsageWords[15]);
    PrintMessage(usage, nullptr, false);
}

int RunPerchman(int argc, char** argv) {
    // The clock's epoch is set by its first reading, which takes no lock:
    // take it now, before the service or console threads exist.
    ClockMs();
    int status = 1;
    if (!LoadSystemFunctions(FrameFunctions)) {
        status = -1;
    } else {
        LoadProductLibrary();
        OpenProductKeys();
        if (InitEngine(argc == 1, 0, &status)) status = Dispatch(argc, argv);
    }

    FreeSystemFunctions(FrameFunctions);
    int shutdownStatus = status;  // the shut-down clears the status it is handed
    DeInitEngine(&shutdownStatus);
    CloseProductKeys();
    if (Session) CloseProductSession(&Session);
    return status;
}
