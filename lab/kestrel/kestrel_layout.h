#pragma once
// The lab's stand-in for the managed product: its service, its control object
// and the lab values that steer both. Shared by the service, the control
// object, the lab library and the tests.

#include <windows.h>

namespace kestrel {

constexpr char kServiceName[] = "Kestrel Server";
constexpr char kServiceExe[] = "kestrel_service.exe";
constexpr char kControlObjectDll[] = "kestrel_com.dll";
constexpr char kControlObjectKey[] = "CLSID\\{2F7A6C31-8E4B-4D19-B5A0-6C3E9D17F842}";

// The product's keys on this machine (HKLM).
constexpr char kProductRoot[] = "SOFTWARE\\Tarvo\\Kelvane\\Fendwall6\\CurrentVersion";
constexpr char kProductControl[] =
    "SOFTWARE\\Tarvo\\Kelvane\\Fendwall6\\CurrentVersion\\ProductControl";

// HKLM: how the stand-in behaves, and what it did.
constexpr char kLabProductKey[] = "SOFTWARE\\PerchmanLab\\Product";
constexpr char kProcessingDelayValue[] = "ProcessingDelayMs";  // before a file is taken in
constexpr char kStartDelayValue[] = "StartDelayMs";  // start-pending this long at a start
constexpr char kNeverConfirmValue[] = "NeverConfirm";  // 1: never replaces HPDUpdateTime
constexpr char kFailControlValue[] = "FailControlObject";  // 1: Start/StopProduct fail
constexpr char kProcessedValue[] = "HpdProcessed";      // files taken in so far
constexpr char kLastHpdPathValue[] = "LastHpdPath";     // the file last taken in
constexpr char kStartCallsValue[] = "StartProductCalls";
constexpr char kStopCallsValue[] = "StopProductCalls";
constexpr char kServiceStartsValue[] = "ServiceStarts";

// Written by the control object: running on start, stopped on stop.
constexpr DWORD kOrientationRunning = 1;
constexpr DWORD kOrientationStopped = 5134;
// The HRESULT of a control call made to fail.
constexpr HRESULT kControlFailure = static_cast<HRESULT>(0x80004005L);

constexpr DWORD kPollMs = 2;
// A fleet's machines: how often the service looks at "ProcessHPDNow" (a
// look every 2 ms costs a busy machine nothing, forty machines their CPU),
// read when the service starts.
constexpr char kPollValue[] = "PollMs";
// 1: after taking a file in, the product registers with the parent it names,
// as the real one does: a record key "Clients\<computer>_::_<GUID>" on the
// parent, through the lab's product library. Only a fleet asks for it: a
// lone machine's parents are the lab's, whose clients a test sets itself.
constexpr char kRegistersValue[] = "RegistersWithParent";

}  // namespace kestrel
