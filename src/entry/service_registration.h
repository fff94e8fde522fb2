#pragma once
// What installation and removal share: the service's name, its event-log
// source key, the service handles of the frame's bound functions, and the
// messages, which go straight to standard output.

#include <windows.h>

#include <cstddef>

#include "common/handles.h"
#include "platform/system_functions.h"

constexpr char kDefaultServiceName[] = "Perchman";
// The destination and short-path buffers of the installation.
constexpr size_t kInstallPathSize = 1024;
constexpr char kEventLogApplicationKey[] =
    "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application";
// A service name comes from a 1024-byte argument.
constexpr size_t kEventSourceKeySize = sizeof kEventLogApplicationKey + 1024;

constexpr unsigned kMsgCannotInstall = 108;
constexpr unsigned kMsgInstalled = 109;
constexpr unsigned kMsgStepFailed = 110;
constexpr unsigned kMsgStopping = 111;
constexpr unsigned kMsgNotStopped = 112;
constexpr unsigned kMsgStopped = 113;
constexpr unsigned kMsgRemoved = 114;
constexpr unsigned kMsgCannotStart = 120;
constexpr unsigned kMsgStarted = 141;

using FrameServiceHandle = UniqueHandle<SC_HANDLE, BoundServiceHandleTraits<FrameFunctions>>;

// The given name, or "Perchman" for none.
const char* ServiceNameOrDefault(const char* serviceName);
// "...\EventLog\Application\" + the service name.
void EventSourceKeyPath(const char* serviceName, char (&out)[kEventSourceKeySize]);

// One message of the string table, formatted, on standard output.
void PrintInstallMessage(unsigned messageId, const char* argument);
// Message 110: a step that failed, with the text of the last error.
void PrintStepFailed(const char* step);
// Message 108 with the text of the last error.
void PrintCannotInstall();

// The short (8.3) form of the installed path; replaceable by the tests, as
// Wine always makes a short name, while volumes without 8.3 names hand the
// long path back.
extern decltype(&::GetShortPathNameA) ShortPathFunction;
// The binary path as the service is registered with it: quoted when it holds
// a blank (where no 8.3 name took the blanks away).
void ServiceCommandLine(const char* binaryPath, char (&out)[kInstallPathSize + 2]);
// Whether a Windows 9x background instance still holds its mutex.
bool BackgroundInstanceMutexExists();
