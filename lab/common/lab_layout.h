#pragma once
// Where the lab keeps its simulated network. The stand-in product library
// reads it, the lab network library writes it; both sides of every process in
// the Wine prefix see the same registry and the same drive C:.

#include <windows.h>

namespace lab {

// HKLM: the lab's own key, its servers and their product registries.
constexpr char kLabKey[] = "SOFTWARE\\PerchmanLab";
constexpr char kServersKey[] = "SOFTWARE\\PerchmanLab\\Servers";
constexpr char kServerRegistrySubkey[] = "Registry";

// Values of the lab key.
constexpr char kGenerationValue[] = "Generation";  // bumped on every change
constexpr char kUnknownServerDelayValue[] = "UnknownServerDelayMs";
constexpr char kCallerCodeKeyValue[] = "CallerCodeKey";
constexpr char kVirusAlertValue[] = "VirusAlert";
constexpr char kRecordCallsValue[] = "RecordCalls";
// REG_SZ: the server that answers for every name no lab server holds.
constexpr char kAnswerAnyValue[] = "AnswerAny";
// REG_MULTI_SZ of "keyPath|name" entries: local values a network wrote, so
// that the next reset removes them again.
constexpr char kLocalWritesValue[] = "LocalWrites";

// Behaviour values of a server key.
constexpr char kLatencyValue[] = "LatencyMs";
constexpr char kJitterValue[] = "JitterMs";
constexpr char kSeedValue[] = "Seed";
constexpr char kDownValue[] = "Down";
constexpr char kTimeoutValue[] = "TimeoutMs";
constexpr char kDownStatusValue[] = "DownStatus";
constexpr char kFailReadValue[] = "FailRead";
constexpr char kFailReadStatusValue[] = "FailReadStatus";
constexpr char kFailWriteValue[] = "FailWrite";
// A file copy from the server writes the first half of the file where it was
// asked to and then fails with this status, as a copy cut off half-way does.
constexpr char kFailCopyValue[] = "FailCopy";
constexpr char kLieLengthValue[] = "LieLength";
// REG_SZ: the list the server answers for every list value it does not hold.
constexpr char kEndlessListValue[] = "EndlessList";
// DWORD 1: every listing of the server says "more" and brings nothing.
constexpr char kEmptyMoreValue[] = "EmptyMore";
// DWORD: further milliseconds of the operations named in SlowOperations
// (REG_SZ, blank-separated; empty or absent: every operation).
constexpr char kSlowMsValue[] = "SlowMs";
constexpr char kSlowOperationsValue[] = "SlowOperations";
// The latency a server has at no site, kept so that a move can restore it.
constexpr char kPlainLatencyValue[] = "PlainLatencyMs";
// Whether a server is down at no site (a site may make it unreachable).
constexpr char kPlainDownValue[] = "PlainDown";

// Sites the machine can move to: one key per site, with its addresses (REG_SZ,
// separated by blanks) and a subkey of DWORD latencies named by server.
constexpr char kSitesKey[] = "SOFTWARE\\PerchmanLab\\Sites";
constexpr char kSiteAddressesValue[] = "Addresses";
constexpr char kSiteLatencySubkey[] = "LatencyMs";
// The latency of a server that cannot be reached from the site ("SERVER=down").
constexpr DWORD kSiteDownLatency = 0xFFFFFFFF;
// Value of the lab key: the site of the last move ("-" for no address).
constexpr char kCurrentSiteValue[] = "CurrentSite";

constexpr DWORD kDefaultTimeoutMs = 200;
constexpr DWORD kDefaultDownStatus = 0x40000010;
constexpr DWORD kDefaultFailReadStatus = ERROR_ACCESS_DENIED;
constexpr DWORD kDefaultFailCopyStatus = ERROR_NETNAME_DELETED;
// A remote path that is not "$\..." or tries to leave the server's area.
constexpr DWORD kBadRemotePathStatus = ERROR_INVALID_NAME;

// Files: each server's "$\" area, and the call log.
constexpr char kLabFolder[] = "C:\\PerchmanLab";
constexpr char kFilesFolder[] = "C:\\PerchmanLab\\Files";
constexpr char kCallLogPath[] = "C:\\PerchmanLab\\calls.log";

// A fleet: several prefixes that share one set of servers. Value of the lab
// key (REG_SZ): a folder (a Z:\ path of the Unix file system every prefix
// sees) that holds the servers' registries and file areas instead of this
// prefix's registry and C:\PerchmanLab. Each server's behaviour (latency,
// reachability from the machine's site) stays in the prefix's own registry,
// since the site a machine sits at decides it.
constexpr char kSharedServersValue[] = "SharedServers";
// Below that folder: each server's product registry as folders (keys) and
// files (values), each server's "$\" area, the servers down for every machine
// (an empty file named by the server), and one call log per machine.
constexpr char kSharedRegistryFolder[] = "Servers";
constexpr char kSharedFilesFolder[] = "Files";
constexpr char kSharedDownFolder[] = "Down";
constexpr char kSharedCallsFolder[] = "Calls";

// This machine's product keys, where "<local>" lines of a network go.
constexpr char kLocalMachineName[] = "<local>";
constexpr char kLocalProductRoot[] = "SOFTWARE\\Tarvo\\Kelvane\\Fendwall6\\CurrentVersion";

}  // namespace lab
