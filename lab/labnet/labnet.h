#pragma once
// The lab network: named servers simulated by the stand-in product library
// (labproduct.dll), kept in the Wine prefix's registry under
// HKLM\SOFTWARE\PerchmanLab and, for their files, under C:\PerchmanLab.
// Used by the tests, the lab control tool, the benchmarks and the demo.
//
// Network description: one item per line; a "#" that starts a word outside
// quotes starts a comment; words are separated by blanks; a word with blanks
// is written in double quotes ("" inside quotes is one quote). MACHINE is a
// server declared on an earlier line, or <local> for this machine's product
// keys (HKLM\SOFTWARE\Tarvo\Kelvane\Fendwall6\CurrentVersion). KEYPATH is a
// path below the machine's product root, "-" for the root itself. Numbers are
// decimal or 0x-hex.
//
//   server NAME [latency=MS] [jitter=MS] [seed=N] [down] [timeout=MS]
//               [status=N] [clients=N] [pattern=N]
//       A server. down: unreachable, answers `status` (default 0x40000010)
//       after `timeout` ms (default 200). clients: DWORD ClientCount in
//       ProductControl; pattern: DWORD UsingPattern at the root.
//   list MACHINE ROLE LEVEL LIST
//       REG_SZ RoamManaging<ROLE>Level<LEVEL> in MACHINE's ProductControl.
//   dword|string|expand|binary MACHINE KEYPATH NAME VALUE
//       A value (binary as hex digits, blanks allowed inside quotes).
//   key MACHINE KEYPATH
//       An empty key.
//   file SERVER REMOTEPATH [TEXT...]
//       A file in the server's "$\" area ("$\a\b.txt" or "a\b.txt"). Without
//       text: an empty file. With text: the words joined by one blank and a
//       CR LF; further file lines for the same path append further lines.
//   copy SERVER REMOTEPATH LOCALPATH
//       A copy of a local file (a Windows path; %BUILD% stands for the
//       build folder, e.g. %BUILD%\lab\labtool.exe).
//   fail SERVER read VALUENAME [STATUS]     reading that value fails (default 5)
//   fail SERVER write STATUS                every write and delete fails
//   fail SERVER copy [STATUS]               every file copy writes half the
//                                           file, then fails (default 64)
//   lie SERVER LENGTH                       read replies claim this length
//   site NAME ADDRESS... [SERVER=MS|SERVER=down]...
//       A place the machine can move to (see MoveToSite): one to four IPv4
//       addresses, only from 192.0.2.0/24, 198.51.100.0/24 and
//       203.0.113.0/24, and the latency of each named server from there, or
//       down for a server that cannot be reached from there (a server not
//       named keeps its plain latency and state). Loading a network records
//       its sites; it does not move the machine.
//   lab [unknown-delay=MS] [caller-key=N] [alert=TEXT] [record]
//       Lab-wide settings: delay before an unknown server answers, the caller
//       code key the library accepts, a virus alert reported at registration,
//       and recording of the call log.
//
// The hostile-server kit: servers that are misconfigured, half-upgraded or
// hostile, and what such servers publish.
//   endless SERVER [LIST]
//       The server answers every list value it does not hold (every level of
//       every role) with LIST, by default its own name: a walk without end.
//   overlong MACHINE ROLE LEVEL NAME KEEP
//       A list longer than a read reply carries: one filler name, then NAME,
//       placed so that the reply is cut after KEEP of NAME's characters
//       ("overlong A Parent 1 MAD-1000 5" arrives as "...,MAD-1").
//   illegal-names MACHINE ROLE LEVEL [LIST]
//       A list of names that no Windows computer can have, one per character
//       a computer name cannot hold (\ / : * ? " < | [ ] + ; % blank, each
//       control character, DEL), a name with a period in front and one of 16
//       characters; then LIST. With answer-any they all answer.
//   answer-any SERVER
//       Every name no lab server holds is answered by SERVER (its latency, its
//       registry): names no registry key can have answer too.
//   list-escaped MACHINE ROLE LEVEL LIST
//       As list, with \r \n \t \\ and \xNN in LIST: lists with control characters.
//   deep SERVER KEYPATH DEPTH
//       Keys D1\D2\...\D<DEPTH> below KEYPATH, each with DWORD Depth<n> = n.
//   wide SERVER KEYPATH COUNT
//       Keys W1 ... W<COUNT> below KEYPATH, each with DWORD Wide<n> = n.
//   oversize SERVER KEYPATH NAME BYTES
//       A REG_BINARY value of BYTES bytes 00 01 02 ... (more than a listing
//       entry's 384 bytes of data, or than a whole listing).
//   empty-more SERVER
//       Every listing of the server's keys and values says "more" and brings
//       nothing.
//   slow SERVER MS [OPERATION...]
//       The named operations of the server (EnumServerSubKeys,
//       ReadServerValues ...; none named: all) take MS more.
//   Counts no real server publishes: server ... clients=0x80000000 (or
//   0xFFFFFFFF, 0xFFFFFFFD ...), or a dword line for ProductControl ClientCount.
//
// Example, a small two-level network:
//   server HQ latency=5 clients=10
//   server BRANCH latency=20 jitter=2 seed=7
//   server LOST down timeout=300
//   list <local> Parent 0 HQ>BRANCH,LOST
//   list HQ Parent 1 BRANCH
//   file HQ $\WDR\wdrtoken.txt token-of-HQ
//   site MADRID 192.0.2.10 HQ=3 BRANCH=25
//   site BARCELONA 198.51.100.20 203.0.113.20 BRANCH=2
//
// Call log lines (C:\PerchmanLab\calls.log, CR LF ended):
//   "<Operation> <server> <keyPath> <detail>", "-" for an empty field; the
//   detail is the value name(s) joined by "," (reads and writes), the value
//   name (delete), or for RemoteFileCopy the local path (the key path field
//   holds the remote path).

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lab {

// Resets the lab, then loads the description. On a bad line, *error names the
// line and the reason, and the lab is left reset (nothing half-loaded).
bool LoadNetwork(std::string_view description, std::string* error);
bool LoadNetworkFile(const std::string& path, std::string* error);
// Adds lines to the loaded network without a reset (servers and sites
// declared before are known); nothing is added when a line is bad.
bool AddToNetwork(std::string_view description, std::string* error);

// Removes every server, file area and the call log, lab-wide settings, the
// local list values (RoamManaging*) of this machine's ProductControl and the
// other local values an earlier network wrote.
void ResetNetwork();

// Makes the program find the library at dllWindowsPath through its COM
// registration.
bool RegisterProductLibrary(const std::string& dllWindowsPath);
// The stand-in library of this build (when the build folder is known).
std::string DefaultProductLibraryPath();

// A readable dump of a server's behaviour, registry tree and files.
std::string ShowServer(std::string_view name);

// ---- Sites: moving the machine -----------------------------------------------
// The machine's addresses are those of the tun devices perch0..perch3 in a
// network namespace that the test run made for itself (tools/labshell.sh, and
// the README's test and demo commands do it); a site's Nth address goes to
// perchN, since Wine reports one address per device, and perch0 carries the
// default route, without which Wine reports no connection. Nothing outside
// such a namespace is ever touched: without the devices a move is refused.
constexpr size_t kMaxSiteAddresses = 4;
// The pseudo-site of a machine with no address but loopback.
constexpr char kNoSite[] = "-";

// Moves the machine to a site of the loaded network: every server's latency
// becomes the site's (a server the site does not name: its plain latency;
// one the site names down is down until the next move),
// then the namespace's addresses become the site's, so that a program that
// notices the new addresses already sees the new latencies. kNoSite removes
// every address and restores the plain latencies. On failure *error says why;
// a refused move (unknown site, no lab devices here) changes nothing.
bool MoveToSite(std::string_view site, std::string* error);
// The site of the last move since the network was loaded ("" when none).
std::string CurrentSite();
// A site's addresses in their order ("" for an unknown site: none).
std::vector<std::string> SiteAddresses(std::string_view site);

// The loaded network as a site table of the planner (perchplan): one line
// per site with every server's latency from there (or "down"), the client
// counts the servers publish, and this machine's TimesToAverage when the
// network sets it. A network without sites gives one site, PLAIN, with the
// latencies the servers have at no site.
std::string PlannerSiteTable();

// The machine's view of the servers now, as a planner site table: one site,
// kNowSite, with each server's latency as it stands (a move, or a fault
// since) or "down", then the client counts and TimesToAverage as above.
constexpr char kNowSite[] = "NOW";
std::string SiteTableNow();

// ---- Faults while programs run ------------------------------------------------
// Each holds until the next move, which gives every server its latency and
// reachability from the new site again. False for an unknown server.
bool SetReachable(std::string_view server, bool reachable);
bool SetLatency(std::string_view server, DWORD ms);
// Every remote write and delete on the server fails with status (a parent's
// release or the removal of this client's record); 0 accepts them again.
// Holds across moves: it is the server's own trouble.
bool RefuseWrites(std::string_view server, DWORD status);
// A client machine registers under this one (a subkey of its Clients key), or
// leaves again.
bool ClientJoins(std::string_view name);
bool ClientLeaves(std::string_view name);

// ---- A fleet: several prefixes sharing one set of servers ----------------------
// Copies every server of the loaded network (its product registry and its
// "$\" area) into folder (a Windows path, e.g. Z:\tmp\fleet\servers, see
// lab_layout.h) and makes this prefix's library serve them from there. A
// server's published ClientCount N becomes N records of clients elsewhere
// ("Clients\ELSEWHERE-1" ...): in the folder a server publishes the number
// of its Clients subkeys, as the program does on a parent, after every
// change below Clients. The servers' behaviour (latency, sites, faults) stays
// in this prefix. Further prefixes copied from this one share the same
// folder. A reset stops sharing; the folder is left as it is.
bool ShareServers(const std::string& folder, std::string* error);

// ---- Direct access for tests ------------------------------------------------
// MACHINE may be a server name or <local>; keyPath "" or "-" is the root.
struct Value {
    DWORD type = REG_NONE;
    std::string data;  // raw bytes as stored
};

bool AddServer(std::string_view name);  // an empty server with no delays
bool ServerExists(std::string_view name);
// Behaviour values of a server key (LatencyMs, Down, FailRead ...).
bool SetBehaviour(std::string_view server, std::string_view name, DWORD value);
bool SetBehaviourText(std::string_view server, std::string_view name, std::string_view text);
// Lab-wide values (UnknownServerDelayMs, CallerCodeKey, VirusAlert, RecordCalls).
bool SetLabDword(std::string_view name, DWORD value);
bool SetLabText(std::string_view name, std::string_view text);
bool DeleteLabValue(std::string_view name);

bool SetValue(std::string_view machine, std::string_view keyPath, std::string_view name,
              DWORD type, std::string_view data);
bool SetDword(std::string_view machine, std::string_view keyPath, std::string_view name,
              DWORD value);
// REG_SZ stored with its terminating NUL, as the registry functions do.
bool SetString(std::string_view machine, std::string_view keyPath, std::string_view name,
               std::string_view text);
bool SetBinary(std::string_view machine, std::string_view keyPath, std::string_view name,
               const std::vector<uint8_t>& bytes);
bool CreateKey(std::string_view machine, std::string_view keyPath);

std::optional<Value> ReadValue(std::string_view machine, std::string_view keyPath,
                               std::string_view name);
std::optional<DWORD> ReadDword(std::string_view machine, std::string_view keyPath,
                               std::string_view name);
// The text of a REG_SZ or REG_EXPAND_SZ, without its terminating NUL.
std::optional<std::string> ReadString(std::string_view machine, std::string_view keyPath,
                                      std::string_view name);
bool KeyExists(std::string_view machine, std::string_view keyPath);
bool ValueExists(std::string_view machine, std::string_view keyPath, std::string_view name);
bool DeleteValue(std::string_view machine, std::string_view keyPath, std::string_view name);
bool DeleteKey(std::string_view machine, std::string_view keyPath);

// The server's "$\" folder (C:\PerchmanLab\Files\NAME).
std::string FileArea(std::string_view server);
// Writes a file below the server's area ("$\a\b.txt" or "a\b.txt"),
// creating folders on the way.
bool WriteServerFile(std::string_view server, std::string_view remotePath,
                     std::string_view contents);
std::optional<std::string> ReadServerFile(std::string_view server, std::string_view remotePath);

// The call log (see above); RecordCalls switches recording on or off.
bool RecordCalls(bool on);
std::string ReadCallLog();
std::vector<std::string> CallLogLines();
void ClearCallLog();

// Reads a whole local file (any path the process can open).
std::optional<std::string> ReadLocalFile(const std::string& path);

}  // namespace lab
