// The service frame: the dispatcher's entry, the control handler, the body
// that brackets the engine loop with status reports and the product session,
// and the console mode that runs the same body.

#include "entry/service_frame.h"

#include <cstdio>

#include "common/text.h"
#include "engine/engine_loop.h"
#include "entry/event_log.h"
#include "entry/run_modes.h"
#include "entry/service_status.h"
#include "entry/shutdown_monitor.h"
#include "platform/stop_request.h"
#include "platform/system_functions.h"
#include "entry/win9x_background.h"
#include "output/debug_writer.h"
#include "output/output.h"
#include "product/product_library.h"

volatile LONG DebugMode = 0;
HANDLE ServiceSession = nullptr;

namespace {

// The dispatcher table, the handler and the event source always use this
// name, whatever name the service was installed under.
char kServiceName[] = "Perchman";
constexpr DWORD kStartWaitHintMs = 3000;
constexpr DWORD kSessionCloseWaitHintMs = 12000;
constexpr DWORD kFinalStopWaitHintMs = 3000;
constexpr DWORD kServiceTypeInteractive = SERVICE_WIN32_OWN_PROCESS | SERVICE_INTERACTIVE_PROCESS;
constexpr unsigned kMsgDebugging = 115;
constexpr unsigned kMsgStopping = 111;

// The console messages of "/debug" go to standard output as they are, also
// from the console's own handler thread: formatted into a buffer of the caller.
void WriteConsoleMessage(unsigned messageId) {
    char line[kTextSize];
    FormatMessageId(line, sizeof line, messageId, kServiceName);
    std::fputs(line, stdout);
    std::fflush(stdout);
}

}  // namespace

int RunAsService(int isWin9x) {
    if (isWin9x) {
        Win9xServiceMain(0);
        return 1;
    }
    SERVICE_TABLE_ENTRYA table[] = {{kServiceName, ServiceMain}, {nullptr, nullptr}};
    // Every line of the service, the control handler's included, goes to the
    // debugger channel through the writer: none of them waits on a viewer.
    DebugWriterScope writer(true);
    // Started from a console instead of by the service control manager, the
    // call fails at once and the run ends quietly.
    if (FrameFunctions.StartServiceCtrlDispatcherA)
        FrameFunctions.StartServiceCtrlDispatcherA(table);
    return 1;
}

void WINAPI ServiceMain(DWORD argc, char** argv) {
    ServiceStatusHandle = FrameFunctions.RegisterServiceCtrlHandlerA(kServiceName, ServiceControl);
    if (!ServiceStatusHandle) return;
    ServiceStatusRecord.dwServiceType = kServiceTypeInteractive;
    ServiceStatusRecord.dwServiceSpecificExitCode = 0;
    BeginServiceReports();
    TakeEngineFailure();  // a failure of an earlier run in this process is not ours
    if (KeepSCMHappyOnStart(kStartWaitHintMs)) {
        ServiceRunning = 1;
        RunServiceBody(argc, argv);
        ServiceRunning = 0;
    }
    EndStopProgress();
    // A run that could not do its work must not look like a clean stop:
    // the manager's recovery actions and an administrator both go by this.
    EngineFailure failure = TakeEngineFailure();
    if (failure.step) {
        SetLastError(failure.status);
        ReportApiFailure(failure.step);
        TellSCMAllDoneNow(ERROR_SERVICE_SPECIFIC_ERROR, failure.status);
    } else {
        TellSCMAllDoneNow(0);
    }
}

void WINAPI ServiceControl(DWORD controlCode) {
    char line[kTextSize];
    FormatText(line, "ServiceControl %d", static_cast<int>(controlCode));
    DebugOutput(line);
    // The shutdown of the machine is a stop too: without it the manager ends
    // the process at every shutdown before the parent is released.
    if (controlCode == SERVICE_CONTROL_STOP || controlCode == SERVICE_CONTROL_SHUTDOWN) {
        if (controlCode == SERVICE_CONTROL_SHUTDOWN) NoteSystemShutdown();
        UpdateServiceStatus(SERVICE_STOP_PENDING, 0, 0);
        ServiceStop();
        StartStopProgress();
    } else {
        ReportCurrentState();
    }
}

void RunServiceBody(DWORD, char**) {
    if (KeepSCMHappyOnStart(kStartWaitHintMs) && TellSCMGoodToGo()) {
        product::Status session = OpenProductSession(&ServiceSession);
        if (session == 0) {
            RunEngineLoop(KeepSCMHappyOnStop);
            DebugOutput("Service completing");
        } else {
            char line[kTextSize];
            FormatText(line, "OpenProductSession failed (0x%x)", static_cast<unsigned>(session));
            DebugOutput(line);
            RecordEngineFailure("OpenProductSession", session);
        }
    }
    EndStopProgress();
    KeepSCMHappyOnStop(kSessionCloseWaitHintMs);
    if (ServiceSession) CloseProductSession(&ServiceSession);
    DebugOutput("DeInitCom complete");
    KeepSCMHappyOnStop(kFinalStopWaitHintMs);
}

void ServiceStop() {
    // The stop first: under "/debug" the line goes out directly and may wait
    // on a viewer, which must not hold the stop back.
    StopEngineLoop();
    DebugOutput("ServiceStop");
}

void DebugService(int argc, char** argv) {
    WriteConsoleMessage(kMsgDebugging);
    SetConsoleCtrlHandler(ConsoleControlHandler, TRUE);
    if (FrameFunctions.IsWin9x)
        Win9xServiceMain(1);
    else
        RunServiceBody(static_cast<DWORD>(argc), argv);
}

BOOL WINAPI ConsoleControlHandler(DWORD controlType) {
    // Closing the window, log-off and shut-down are left to the next handler.
    if (controlType != CTRL_C_EVENT && controlType != CTRL_BREAK_EVENT) return FALSE;
    WriteConsoleMessage(kMsgStopping);
    if (FrameFunctions.IsWin9x) {
        // The handler runs in the very process whose mode it stops, and the
        // monitor's window may not exist yet (its thread is still starting):
        // the supervisor is told directly too, so that the request is never
        // lost, and the window, once there, goes at the mode's end.
        ShutdownSeen = 1;
        StopBackgroundInstance();
    } else {
        ServiceStop();
    }
    return TRUE;
}
