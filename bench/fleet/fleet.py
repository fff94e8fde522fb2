#!/usr/bin/env python3
"""A fleet of lab machines of one company, measured against perchplan's plan.

Every machine is a Wine prefix of its own (its registry: product keys, Parent,
Clients, GUID, computer name) in a network namespace and UTS namespace of its
own (its addresses, its host name), and runs the program unattended: as the
NT service, or as the Windows 9x background process (every third machine),
beside its product stand-in. All of them reach one set of lab servers, kept in
a shared folder (labctl share): the servers' registries, files and the client
records the machines' products write there; a parent publishes "ClientCount"
after every change to its Clients key, as the program does.

The company is described by the files perchplan reads: the tree (import
format) and the site table (machines per site, latencies, client counts,
settings). Both the lab network and the plan are made from them.

    bench/fleet/fleet.py [--scenario monday|staggered|move|fail] [--per-site N]
                         [--tree FILE] [--sites FILE] [--work DIR] [--keep]

Needs root (namespaces) and the built trees (tools/build.sh). Prints the
plan against what was measured. A benchmark, not a test: nothing fails.
"""

import argparse
import hashlib
import json
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.abspath(os.path.join(HERE, "..", ".."))
WINESERVER = "/usr/lib/wine/wineserver" if os.path.exists("/usr/lib/wine/wineserver") else "wineserver"
ELSEWHERE = "ELSEWHERE-"  # records of the clients a server had before the fleet
QUIET_S = 40              # no record written or removed for this long: converged
# Addresses per site: documentation ranges only, one per site.
SITE_ADDRESSES = ["192.0.2.%d", "198.51.100.%d", "203.0.113.%d"]


def windows_path(path):
    return "Z:" + path.replace("/", "\\")


def say(text=""):
    print(text, flush=True)


# ---- The company -------------------------------------------------------------

class Company:
    """The tree and the site table, as perchplan reads them."""

    def __init__(self, tree_path, sites_path):
        self.tree_path, self.sites_path = tree_path, sites_path
        self.lists = []          # (machine, role, level, list)
        self.sites = []          # (name, machines, {server: ms or None})
        self.clients = {}        # server: count published before the fleet
        self.settings = {}       # name: value
        for line in self._lines(tree_path):
            machine, role, level, servers = line.split(None, 3)
            self.lists.append((machine, role, int(level), servers))
        for line in self._lines(sites_path):
            words = line.split()
            if words[0].lower() == "clients":
                for word in words[1:]:
                    name, count = word.split("=")
                    self.clients[name] = int(count)
            elif "=" in words[0]:
                for word in words:
                    name, value = word.split("=")
                    self.settings[name] = int(value)
            else:
                machines = 1
                rest = words[1:]
                if rest and rest[0].isdigit():
                    machines = int(rest[0])
                    rest = rest[1:]
                latencies = {}
                for word in rest:
                    name, value = word.split("=")
                    latencies[name] = None if value == "down" else int(value)
                self.sites.append((words[0], machines, latencies))

    @staticmethod
    def _lines(path):
        with open(path, encoding="utf-8-sig") as f:
            for raw in f:
                line = re.sub(r"(^|\s)#.*", "", raw).strip()
                if line:
                    yield line

    def servers(self):
        names = []
        for _, _, latencies in self.sites:
            for name in latencies:
                if name not in names:
                    names.append(name)
        return names

    def lab_network(self):
        """The lab network of the company: servers, lists, sites, this machine."""
        out = ["# Made by bench/fleet/fleet.py from %s and %s" % (
            os.path.basename(self.tree_path), os.path.basename(self.sites_path))]
        for name in self.servers():
            clients = " clients=%d" % self.clients[name] if name in self.clients else ""
            out.append("server %s latency=30 jitter=1 seed=%d%s pattern=7" % (
                name, len(out), clients))
        for machine, role, level, servers in self.lists:
            out.append("list %s %s %d %s" % (machine, role, level, servers))
        for index, (name, _, latencies) in enumerate(self.sites):
            address = SITE_ADDRESSES[index % 3] % (10 + index // 3)
            parts = ["%s=%s" % (s, "down" if ms is None else ms) for s, ms in latencies.items()]
            out.append("site %s %s %s" % (name, address, " ".join(parts)))
        out += ['string <local> - "Home Directory" C:\\PerchmanLab\\Fleet',
                "dword  <local> - Connected 1",
                "key    <local> ProductControl",
                "key    <local> Clients"]
        for name, value in self.settings.items():
            if name not in ("WithoutAddressWatchingPercent", "CloseCallMs"):
                out.append("dword <local> ProductControl %s %d" % (name, value))
        out.append("lab record")
        return "\n".join(out) + "\n"

    def site_table(self, machines=None, down=(), extra=None):
        """The site table with other machine counts per site, servers down, or
        further settings."""
        lines = []
        for name, count, latencies in self.sites:
            count = machines.get(name, 0) if machines is not None else count
            if count == 0:
                continue
            parts = ["%s=%s" % (s, "down" if ms is None or s in down else ms)
                     for s, ms in latencies.items()]
            lines.append("%s %d %s" % (name, count, " ".join(parts)))
        if self.clients:
            lines.append("clients " + " ".join("%s=%d" % kv for kv in self.clients.items()))
        settings = dict(self.settings, **(extra or {}))
        if settings:
            lines.append(" ".join("%s=%d" % kv for kv in settings.items()))
        return "\n".join(lines) + "\n"


# ---- Running Wine programs -------------------------------------------------------

class Programs:
    def __init__(self):
        runs = subprocess.run([os.path.join(ROOT, "tools", "runs-pe32.sh")],
                              capture_output=True, text=True)
        self.pe32 = runs.returncode == 0
        self.reason = runs.stdout.strip()
        if self.pe32:
            self.build = os.path.join(ROOT, "build", "i686-tests")
            self.perchman = os.path.join(ROOT, "build", "i686", "src", "perchman.exe")
            self.perchplan = os.path.join(ROOT, "build", "i686", "src", "planner", "perchplan.exe")
            self.what = "the shipped 32-bit build/i686/src/perchman.exe under 32-bit Wine"
        else:
            self.build = os.path.join(ROOT, "build", "x86_64")
            self.perchman = os.path.join(ROOT, "build", "x86_64", "src", "perchman.exe")
            self.perchplan = os.path.join(ROOT, "build", "x86_64", "src", "planner", "perchplan.exe")
            self.what = "the 64-bit twin build/x86_64/src/perchman.exe under 64-bit Wine"
        self.lab = os.path.join(self.build, "lab")
        for path in (self.perchman, self.perchplan, os.path.join(self.lab, "labctl.exe")):
            if not os.path.exists(path):
                sys.exit("fleet: %s is missing: run tools/build.sh first" % path)

    def wine(self, build_dir, args, ns_pid=None, wait=True, env=None, log=None):
        command = [os.path.join(ROOT, "tools", "wine.sh")] + args
        if ns_pid:
            command = ["nsenter", "-t", str(ns_pid), "-n", "-u", "--"] + command
        full_env = dict(os.environ, PERCHMAN_BUILD=build_dir, **(env or {}))
        if wait:
            return subprocess.run(command, env=full_env, capture_output=True, text=True,
                                  errors="replace", stdin=subprocess.DEVNULL)
        output = open(log, "ab") if log else subprocess.DEVNULL
        return subprocess.Popen(command, env=full_env, stdout=output, stderr=output,
                                stdin=subprocess.DEVNULL, start_new_session=True)

    def plan(self, tree, sites, fmt="text"):
        run = subprocess.run([os.path.join(ROOT, "tools", "wine.sh"), self.perchplan,
                              "--format", fmt, windows_path(tree), windows_path(sites)],
                             env=dict(os.environ, PERCHMAN_BUILD=self.build),
                             capture_output=True, stdin=subprocess.DEVNULL)
        return run.stdout.decode("cp850" if fmt == "text" else "utf-8", errors="replace")


# ---- The shared servers ------------------------------------------------------------

def decode(name):
    return re.sub(r"%([0-9A-F]{2})", lambda m: chr(int(m.group(1), 16)), name)


class Store:
    """Reads the shared folder the machines' libraries keep the servers in."""

    def __init__(self, folder):
        self.folder = folder

    def _root(self, server):
        for entry in os.listdir(os.path.join(self.folder, "Servers")):
            if decode(entry).upper() == server.upper():
                return os.path.join(self.folder, "Servers", entry)
        return None

    def _child(self, folder, name):
        if not folder or not os.path.isdir(folder):
            return None
        for entry in os.listdir(folder):
            if decode(entry).upper() == name.upper():
                return os.path.join(folder, entry)
        return None

    def records(self, server):
        clients = self._child(self._root(server), "Clients")
        if not clients:
            return []
        return [decode(e) for e in os.listdir(clients)
                if not e.startswith("~") and os.path.isdir(os.path.join(clients, e))]

    def client_count(self, server):
        control = self._child(self._root(server), "ProductControl")
        value = self._child(control, "ClientCount")
        if not value:
            return None
        with open(value, "rb") as f:
            data = f.read()
        return int.from_bytes(data[4:8], "little") if len(data) == 8 else None

    def set_down(self, server, down):
        marker = os.path.join(self.folder, "Down", server)
        if down:
            open(marker, "w").close()
        elif os.path.exists(marker):
            os.remove(marker)

    def calls(self):
        """Every call of every machine: (ms, machine, operation, server, key, detail)."""
        out = []
        folder = os.path.join(self.folder, "Calls")
        for name in os.listdir(folder):
            if not name.lower().endswith(".log"):
                continue
            with open(os.path.join(folder, name), "rb") as f:
                for raw in f.read().decode("latin-1").split("\r\n"):
                    parts = raw.split(" ", 4)
                    if len(parts) == 5 and parts[0].isdigit():
                        out.append((int(parts[0]), name[:-4].upper(), parts[1], parts[2],
                                    parts[3], parts[4]))
        out.sort()
        return out


# ---- Machines ------------------------------------------------------------------------

class Machine:
    def __init__(self, name, site, index, work):
        self.name, self.site, self.index = name, site, index
        self.dir = os.path.join(work, "machines", name)
        self.win9x = index % 3 == 2
        self.keeper = None
        self.process = None
        self.started_ms = None

    def guid(self):
        return hashlib.md5(self.name.encode()).digest()

    def registry_file(self):
        guid = ",".join("%02x" % b for b in self.guid())
        lines = ["Windows Registry Editor Version 5.00", "",
                 r"[HKEY_LOCAL_MACHINE\SOFTWARE\Tarvo\Kelvane\Fendwall6\CurrentVersion]",
                 '"GUID"=hex:%s' % guid, ""]
        for key in ("ComputerName", "ActiveComputerName"):
            lines += [r"[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\ComputerName\%s]" % key,
                      '"ComputerName"="%s"' % self.name, ""]
        if self.win9x:
            lines += [r"[HKEY_CURRENT_USER\Software\Wine\AppDefaults\perchman.exe]",
                      '"Version"="win98"', ""]
        path = os.path.join(self.dir, "machine.reg")
        with open(path, "w", newline="\r\n") as f:
            f.write("\n".join(lines) + "\n")
        return path

    def pids(self):
        """Every process in this machine's network namespace."""
        if not self.keeper:
            return []
        try:
            mine = os.readlink("/proc/%d/ns/net" % self.keeper.pid)
        except OSError:
            return []
        out = []
        for entry in os.listdir("/proc"):
            if entry.isdigit():
                try:
                    if os.readlink("/proc/%s/ns/net" % entry) == mine:
                        out.append(int(entry))
                except OSError:
                    pass
        return out

    def cpu_seconds(self):
        """User and system time of every process in the namespace so far."""
        total = 0
        for pid in self.pids():
            try:
                with open("/proc/%d/stat" % pid) as f:
                    fields = f.read().rsplit(")", 1)[1].split()
                total += int(fields[11]) + int(fields[12])
            except (OSError, IndexError, ValueError):
                pass
        return total / float(os.sysconf("SC_CLK_TCK"))

    def memory_kib(self):
        total = 0
        for pid in self.pids():
            try:
                with open("/proc/%d/smaps_rollup" % pid) as f:
                    for line in f:
                        if line.startswith("Pss:"):
                            total += int(line.split()[1])
            except OSError:
                pass
        return total


class Fleet:
    def __init__(self, programs, company, work, per_site=None):
        self.p, self.company, self.work = programs, company, work
        self.store = Store(os.path.join(work, "servers"))
        self.template = os.path.join(work, "template")
        self.machines = []
        for site, count, _ in company.sites:
            count = per_site if per_site is not None else count
            for i in range(count):
                name = "%s-%02d" % (site[:6].upper(), i + 1)
                self.machines.append(Machine(name, site, len(self.machines), work))

    def wine(self, args, machine=None, wait=True):
        build = machine.dir if machine else self.template
        return self.p.wine(build, args, ns_pid=machine.keeper.pid if machine else None,
                           wait=wait, log=os.path.join(machine.dir, "wine.log") if machine else None)

    def prepare(self):
        if os.path.isdir(self.work):
            shutil.rmtree(self.work)
        os.makedirs(self.template)
        with open(os.path.join(self.template, "winearch"), "w") as f:
            f.write("win32\n" if self.p.pe32 else "win64\n")
        network = os.path.join(self.work, "company.lab")
        with open(network, "w") as f:
            f.write(self.company.lab_network())
        lab = self.p.lab
        for args in ([os.path.join(lab, "labctl.exe"), "register"],
                     [os.path.join(lab, "labctl.exe"), "load", windows_path(network)],
                     [os.path.join(lab, "kestrelctl.exe"), "install"],
                     [os.path.join(lab, "kestrelctl.exe"), "set", "PollMs", "250"],
                     [os.path.join(lab, "kestrelctl.exe"), "set", "RegistersWithParent", "1"],
                     [os.path.join(lab, "labctl.exe"), "share",
                      windows_path(self.store.folder)]):
            run = self.wine(args)
            if run.returncode:
                sys.exit("fleet: %s failed: %s%s" % (" ".join(args[-3:]), run.stdout, run.stderr))
        # The product's home directory, where HPD.DAT goes.
        os.makedirs(os.path.join(self.template, "wineprefix", "drive_c", "PerchmanLab", "Fleet"),
                    exist_ok=True)
        env = dict(os.environ, WINEPREFIX=os.path.join(self.template, "wineprefix"))
        subprocess.run([WINESERVER, "-k"], env=env, capture_output=True)
        subprocess.run([WINESERVER, "-w"], env=env, capture_output=True)

    def boot(self, machine):
        """Copies the template, starts the machine's namespace and Wine server."""
        os.makedirs(machine.dir)
        subprocess.run(["cp", "-a", "--reflink=auto", os.path.join(self.template, "wineprefix"),
                        os.path.join(machine.dir, "wineprefix")], check=True)
        shutil.copy(os.path.join(self.template, "winearch"), machine.dir)
        # Inside labshell's namespace its devices exist: the machine is ready
        # once its Wine server runs there.
        keeper = ("hostname %s && exec %s --own-prefix bash -c '%s -p && touch %s; exec sleep infinity'" % (
            machine.name, os.path.join(ROOT, "tools", "labshell.sh"), WINESERVER,
            os.path.join(machine.dir, "ready")))
        machine.keeper = subprocess.Popen(
            ["unshare", "-u", "--", "bash", "-c", keeper],
            env=dict(os.environ, PERCHMAN_BUILD=machine.dir), stdin=subprocess.DEVNULL,
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)

    def setup(self, machine):
        """In the machine's namespace: its identity, its site, its product."""
        for _ in range(600):
            if os.path.exists(os.path.join(machine.dir, "ready")):
                break
            time.sleep(0.1)
        else:
            sys.exit("fleet: %s did not come up" % machine.name)
        lab = self.p.lab
        script = " & ".join([
            "reg import %s" % windows_path(machine.registry_file()),
            "%s move %s" % (windows_path(os.path.join(lab, "labctl.exe")), machine.site),
            "%s start" % windows_path(os.path.join(lab, "kestrelctl.exe"))])
        return self.wine(["cmd", "/c", script], machine, wait=False)

    def start(self, machine):
        machine.started_ms = int(time.time() * 1000)
        if machine.win9x:
            machine.process = self.wine([self.p.perchman], machine, wait=False)
        else:
            machine.process = self.wine([self.p.perchman, "/install"], machine, wait=False)

    def move(self, machine, site):
        machine.site = site
        return self.wine([os.path.join(self.p.lab, "labctl.exe"), "move", site], machine,
                         wait=False)

    def end(self):
        for machine in self.machines:
            if machine.keeper:
                env = dict(os.environ, WINEPREFIX=os.path.join(machine.dir, "wineprefix"))
                subprocess.run([WINESERVER, "-k"], env=env, capture_output=True)
        for machine in self.machines:
            for child in (machine.process, machine.keeper):
                if child and child.poll() is None:
                    try:
                        os.killpg(child.pid, signal.SIGTERM)
                    except ProcessLookupError:
                        pass
                    try:
                        child.wait(10)
                    except subprocess.TimeoutExpired:
                        os.killpg(child.pid, signal.SIGKILL)

    # ---- What the fleet did ----

    def parents(self):
        """Each machine's records on the servers, its current parent first: the
        one its product registered with last. A record left behind (its old
        parent was down when the machine left it) follows."""
        where = {}
        for server in self.company.servers():
            for record in self.store.records(server):
                if record.upper().startswith(ELSEWHERE):
                    continue
                name = record.split("_::_")[0].upper()
                where.setdefault(name, []).append(server)
        last = {}
        for c in self.store.calls():
            if c[2] == "WriteServerValues" and c[4].startswith("Clients\\"):
                last[c[1]] = c[3].upper()
        for name, servers in where.items():
            servers.sort(key=lambda server: server.upper() != last.get(name))
        return where

    def wait_quiet(self, since_ms, limit_s, must_change=()):
        """Until every machine is registered, each of must_change has written
        or removed a record since since_ms, and no record changed for QUIET_S."""
        deadline = time.time() + limit_s
        while time.time() < deadline:
            time.sleep(5)
            changes = [c for c in self.store.calls() if c[0] >= since_ms and
                       ((c[2] == "WriteServerValues" and c[4].startswith("Clients\\")) or
                        c[2] == "DeleteServerKey")]
            last = changes[-1][0] if changes else since_ms
            registered = self.parents()
            everyone = all(m.name in registered for m in self.machines)
            changed = {c[1] for c in changes}
            if (everyone and all(name in changed for name in must_change) and
                    time.time() * 1000 - last >= QUIET_S * 1000):
                return True
        return False


# ---- Plan against measured --------------------------------------------------------

def burst_table(text):
    """(site, server) -> (at start, after a move) from the plan's bursts table."""
    out = {}
    inside = False
    for line in text.splitlines():
        if line.startswith("Probes in the first minute"):
            inside = True
            continue
        if inside:
            words = line.split()
            if not words:
                break
            if len(words) == 4 and re.match(r"^[0-9.]+$", words[2]):
                out[(words[0], words[1])] = (float(words[2]), float(words[3]))
    return out


def plan_records(json_text):
    try:
        return json.loads(json_text)["records"]
    except (ValueError, KeyError):
        return []


def groups_of(company):
    """The balanced groups of the tree's final levels: lists of members."""
    groups = []
    for _, _, _, servers in company.lists:
        for part in re.split(r"[,>]", servers):
            members = [re.sub(r"\(.*\)", "", m) for m in part.split("=")]
            if len(members) > 1:
                groups.append(members)
    return groups


def report(fleet, plan_text, plan_json, t0_ms, t_event_ms, sites_in_burst, window_ms, window_s,
           burst_share=1.0):
    """burst_share: the part of the sites' machines that search after the
    event (the plan's bursts are for all of a site's machines)."""
    company, store = fleet.company, fleet.store
    calls = store.calls()
    planned = {r["server"]: r for r in plan_records(plan_json) if r.get("record") == "server"}
    bursts = burst_table(plan_text)
    parents = fleet.parents()
    measured_clients, left_behind = {}, {}
    for machine, servers in parents.items():
        measured_clients[servers[0]] = measured_clients.get(servers[0], 0) + 1
        for server in servers[1:]:
            left_behind[server] = left_behind.get(server, 0) + 1
    burst_from = t_event_ms if t_event_ms else t0_ms
    column = 1 if t_event_ms else 0
    first_minute = {}
    for c in calls:
        if c[2] == "ReadServerValues" and burst_from <= c[0] < burst_from + 60000:
            first_minute[c[3]] = first_minute.get(c[3], 0) + 1
    # The hourly rate: the probes of the quiet window, scaled.
    late = {}
    for c in calls:
        if c[2] == "ReadServerValues" and window_ms <= c[0] < window_ms + window_s * 1000:
            late[c[3]] = late.get(c[3], 0) + 1

    say("  %-10s %9s %9s   %13s %13s   %10s %10s   %s" % (
        "server", "plan", "measured", "1st min plan", "1st min meas", "/h plan", "/h meas",
        "ClientCount = records"))
    say("  (measured: the machines whose current parent it is; +N: records of machines that")
    say("  left it while it was down, which nobody could remove)")
    for server in company.servers():
        plan = planned.get(server, {})
        burst = burst_share * sum(v[column] for (site, s), v in bursts.items()
                                  if s == server and site in sites_in_burst)
        count = store.client_count(server)
        records = len(store.records(server))
        stale = " +%d" % left_behind[server] if server in left_behind else ""
        say("  %-10s %9s %9s   %13.0f %13d   %10.0f %10.0f   %s" % (
            server, plan.get("clients", "-"), "%d%s" % (measured_clients.get(server, 0), stale),
            burst,
            first_minute.get(server, 0), plan.get("probes_per_hour", 0.0),
            late.get(server, 0) * 3600.0 / window_s,
            "%s = %d %s" % (count, records, "yes" if count == records else "NO")))
    say()
    for group in groups_of(company):
        shares = ", ".join("%s %d" % (m, measured_clients.get(m, 0)) for m in group)
        values = [measured_clients.get(m, 0) + company.clients.get(m, 0) for m in group]
        say("  group %s: measured %s (spread of the published counts %d)" % (
            "=".join(group), shares, max(values) - min(values)))
    walks = [r for r in plan_records(plan_json) if r.get("record") == "walk"]
    for walk in walks:
        say("  plan %-10s %s" % (walk["site"], walk["winner"]))
    for line in plan_text.splitlines():
        if line.strip().startswith("started within"):
            say("  plan " + line.strip())
    say()
    # Convergence: from the machine's start (or the event) to its last
    # record written or removed.
    times = []
    say("  machine     kind  site        parent       converged after")
    for machine in fleet.machines:
        since = t_event_ms if t_event_ms else machine.started_ms
        own = [c[0] for c in calls if c[1] == machine.name and c[0] >= since and
               ((c[2] == "WriteServerValues" and c[4].startswith("Clients\\")) or
                c[2] == "DeleteServerKey")]
        after = (own[-1] - since) / 1000.0 if own else None
        if after is not None:
            times.append(after)
        say("  %-10s  %-4s  %-10s  %-11s  %s" % (
            machine.name, "9x" if machine.win9x else "NT", machine.site,
            ",".join(parents.get(machine.name, ["-"])),
            "%.1f s" % after if after is not None else "no change"))
    if times:
        times.sort()
        say("  convergence: median %.1f s, slowest %.1f s, %d of %d machines" % (
            times[len(times) // 2], times[-1], len(times), len(fleet.machines)))
    memory = [m.memory_kib() for m in fleet.machines]
    say("  memory per machine (PSS of its processes): mean %.0f MiB, largest %.0f MiB" % (
        sum(memory) / len(memory) / 1024, max(memory) / 1024))


def registration_delay_ms(calls, since_ms):
    """The median time from a machine's last client-count read to its record
    on the parent it chose: how long the others read counts without it."""
    delays = []
    machines = sorted({c[1] for c in calls})
    for machine in machines:
        own = [c for c in calls if c[1] == machine and c[0] >= since_ms]
        reads = [c[0] for c in own if c[2] == "ReadServerValues" and c[5] == "ClientCount"]
        writes = [c[0] for c in own if c[2] == "WriteServerValues" and c[4].startswith("Clients\\")]
        for write in writes:
            before = [r for r in reads if r <= write]
            if before:
                delays.append(write - before[-1])
                break
    delays.sort()
    return delays[len(delays) // 2] if delays else None


# ---- Scenarios ------------------------------------------------------------------------

def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--scenario", default="monday",
                        choices=["monday", "staggered", "move", "fail"])
    parser.add_argument("--tree", default=os.path.join(HERE, "company-tree.txt"))
    parser.add_argument("--sites", default=os.path.join(HERE, "company-sites.txt"))
    parser.add_argument("--per-site", type=int, default=None,
                        help="machines per site instead of the table's")
    parser.add_argument("--work", default="/tmp/perchman-fleet")
    parser.add_argument("--window", type=int, default=10,
                        help="seconds the machines of a site start in (monday)")
    parser.add_argument("--stagger", type=int, default=600,
                        help="seconds the machines start over (staggered)")
    parser.add_argument("--move", default="MADRID>BARCELONA", help="FROM>TO (move)")
    parser.add_argument("--fail", default=None, help="the parent that fails (fail)")
    parser.add_argument("--keep", action="store_true", help="leave the work folder")
    parser.add_argument("--results", default="/tmp/perchman-fleet-results",
                        help="where the call logs and the plan of the run are kept")
    args = parser.parse_args()
    if os.geteuid() != 0:
        sys.exit("fleet: needs root, for the machines' namespaces")

    programs = Programs()
    say("fleet: runs %s (%s)" % (programs.what, programs.reason))
    company = Company(args.tree, args.sites)
    fleet = Fleet(programs, company, args.work, args.per_site)
    counts = {}
    for m in fleet.machines:
        counts[m.site] = counts.get(m.site, 0) + 1
    kinds = sum(1 for m in fleet.machines if m.win9x)
    say("fleet: %d machines (%s), %d as NT services, %d as Windows 9x background processes" % (
        len(fleet.machines), ", ".join("%s %d" % kv for kv in counts.items()),
        len(fleet.machines) - kinds, kinds))
    began = time.time()
    try:
        fleet.prepare()
        for machine in fleet.machines:
            fleet.boot(machine)
        setups = [fleet.setup(m) for m in fleet.machines]
        for setup in setups:
            setup.wait()
        time.sleep(3)
        say("fleet: %d machines ready in %.0f s" % (len(fleet.machines), time.time() - began))
        t0 = int(time.time() * 1000)
        spread = args.stagger if args.scenario == "staggered" else args.window
        order = list(fleet.machines)
        random.Random(7).shuffle(order)
        draw = random.Random(11)
        offsets = sorted(draw.uniform(0, spread) for _ in order)
        for machine, offset in zip(order, offsets):
            delay = t0 / 1000.0 + offset - time.time()
            if delay > 0:
                time.sleep(delay)
            fleet.start(machine)
        quiet = fleet.wait_quiet(t0, 300 + spread)
        say("fleet: started over %d s; %s after %.0f s" % (
            spread, "quiet" if quiet else "NOT quiet", time.time() - t0 / 1000.0))

        tree = args.tree
        plan_sites = os.path.join(args.work, "plan-sites.txt")
        machines = counts
        down = ()
        t_event = None
        event_sites = [s for s, _, _ in company.sites]
        burst_share = 1.0
        if args.scenario == "move":
            source, target = args.move.split(">")
            t_event = int(time.time() * 1000)
            affected = [m.name for m in fleet.machines if m.site == source]
            moves = [fleet.move(m, target) for m in fleet.machines if m.site == source]
            for move in moves:
                move.wait()
            say("fleet: %d machines moved from %s to %s in %.1f s" % (
                len(moves), source, target, time.time() - t_event / 1000.0))
            machines = dict(counts)
            machines[target] = machines.get(target, 0) + machines.pop(source, 0)
            event_sites = [target]
            burst_share = len(affected) / float(machines[target])
        elif args.scenario == "fail":
            measured = {}
            for servers in fleet.parents().values():
                measured[servers[0]] = measured.get(servers[0], 0) + 1
            failing = args.fail or max(measured, key=measured.get)
            parents = fleet.parents()
            affected = [name for name, servers in parents.items() if servers[0] == failing]
            t_event = int(time.time() * 1000)
            fleet.store.set_down(failing, True)
            say("fleet: %s fails (%d machines on it)" % (failing, measured.get(failing, 0)))
            down = (failing,)
            sites = {m.site for m in fleet.machines if m.name in affected}
            event_sites = sorted(sites)
            burst_share = len(affected) / float(sum(counts[site] for site in sites) or 1)
        if t_event:
            quiet = fleet.wait_quiet(t_event, 300, affected)
            say("fleet: %s %.0f s after the event" % (
                "quiet" if quiet else "NOT quiet", time.time() - t_event / 1000.0))
        # A further while for the hourly rate (parent checks only), and what
        # the quiet fleet costs the processor.
        cpu_before = sum(m.cpu_seconds() for m in fleet.machines)
        quiet_from = int(time.time() * 1000)
        time.sleep(60)
        idle_cpu = sum(m.cpu_seconds() for m in fleet.machines) - cpu_before
        # The window the machines searched in, and the measured lag of a
        # record behind its machine's read: perchplan's simultaneous start.
        delay = registration_delay_ms(fleet.store.calls(), t_event or t0)
        window = {"monday": args.window, "staggered": args.stagger}.get(args.scenario, 60)
        extra = {"StartWindowSeconds": window}
        if delay is not None:
            extra["RegistrationDelayMs"] = delay
            say("fleet: a record counted %d ms (median) after its machine read the counts" % delay)
        with open(plan_sites, "w") as f:
            f.write(company.site_table(machines, down, extra))
        plan_text = programs.plan(tree, plan_sites)
        plan_json = programs.plan(tree, plan_sites, "json")
        say()
        say("Scenario %s: plan (perchplan %s %s) against measured" % (
            args.scenario, os.path.relpath(tree, ROOT), plan_sites))
        report(fleet, plan_text, plan_json, t0, t_event, event_sites, quiet_from, 60,
               burst_share)
        say("  quiet fleet: %.1f %% of one core in all (%.2f %% per machine) over 60 s" % (
            idle_cpu / 60 * 100, idle_cpu / 60 * 100 / len(fleet.machines)))
        kept = os.path.join(args.results, args.scenario)
        shutil.rmtree(kept, ignore_errors=True)
        shutil.copytree(os.path.join(fleet.store.folder, "Calls"), os.path.join(kept, "calls"))
        with open(os.path.join(kept, "plan.txt"), "w") as f:
            f.write(plan_text)
        with open(os.path.join(kept, "starts.txt"), "w") as f:
            for m in fleet.machines:
                f.write("%s %s %s %s\n" % (m.name, m.started_ms, m.site, t_event or "-"))
    finally:
        fleet.end()
        if not args.keep:
            shutil.rmtree(args.work, ignore_errors=True)
    say("fleet: done in %.0f s" % (time.time() - began))


if __name__ == "__main__":
    main()
