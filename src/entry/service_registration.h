#pragma once
// What installation and removal share: the service's name, its event-log
// source key, the service handles of the frame's bound functions, and the
// messages, which go straight to standard output.

#include <windows.h>

#include <cstddef>

#include "common/handles.h"
#include "platform/system_functions.h"

constexpr char kDefaultServiceName[] = "Perchman";
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
