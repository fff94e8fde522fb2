#!/usr/bin/env python3
"""Runs GoogleTest programs of a build under Wine in shards, all at once.

    tools/run-shards.py BUILD PROGRAM=SHARDS... [-- GTEST_ARGS...]

e.g. tools/run-shards.py build/x86_64 unit_tests=2 e2e_tests=4 -- --gtest_filter=-*SlowWait*

Each shard is one process of tests/PROGRAM.exe with a Wine prefix of its own,
copied from the build's prepared one (a copy costs a fraction of a second, a
new prefix half a minute), and a network namespace of its own
(tools/labshell.sh --own-prefix) where one can be made: the tests of one
shard share the prefix's service control manager, registry and debugger
channel, so no two shards may share a prefix, and each may move its machine
between sites without the others seeing it.

The tests are dealt out by their last measured times (tools/test-times.txt;
a test not named there counts as DEFAULT_SECONDS), longest first, each to
the shard with the least work so far. Each shard's result is printed as it
ends, with the output of its failing tests; BUILD/test-times.txt keeps the
times measured, to refresh tools/test-times.txt from when tests change.
Exit status 0 when every shard passed.
"""

import heapq
import os
import re
import shutil
import signal
import subprocess
import sys
import time
import xml.etree.ElementTree as ElementTree

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TIMES = os.path.join(ROOT, "tools", "test-times.txt")
DEFAULT_SECONDS = 2.0
SHARD_LIMIT_SECONDS = 1500
WINESERVER = "/usr/lib/wine/wineserver" if os.access("/usr/lib/wine/wineserver", os.X_OK) else "wineserver"


def fail(text):
    print(f"run-shards: {text}", file=sys.stderr)
    sys.exit(2)


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def end_wineserver(prefix):
    # The server writes the registry out when it ends: a copy taken while it
    # runs could miss what it holds in memory.
    subprocess.run([WINESERVER, "-k"], env=dict(os.environ, WINEPREFIX=prefix),
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    subprocess.run([WINESERVER, "-w"], env=dict(os.environ, WINEPREFIX=prefix),
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def wine_env(build):
    env = dict(os.environ, PERCHMAN_BUILD=build)
    env.pop("PERCHMAN_NETNS", None)
    return env


def prepare_base_prefix(build):
    """Makes the build's prefix if it is missing and leaves no server running in it."""
    prefix = os.path.join(build, "wineprefix")
    if not os.path.isfile(os.path.join(prefix, ".perchman-ready")):
        subprocess.run([os.path.join(ROOT, "tools", "wine.sh"), "cmd", "/c", "exit"], env=wine_env(build),
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    end_wineserver(prefix)
    if not os.path.isfile(os.path.join(prefix, ".perchman-ready")):
        fail(f"the Wine prefix {prefix} could not be made")
    return prefix


def copy_prefix(build, directory):
    """A shard's own build directory: the build's width and a copy of its prefix."""
    shutil.rmtree(directory, ignore_errors=True)
    os.makedirs(directory)
    shutil.copy(os.path.join(build, "winearch"), directory)
    subprocess.run(["cp", "-a", "--reflink=auto", os.path.join(build, "wineprefix"), directory], check=True)


def list_tests(build, program, gtest_args):
    """Full names of the tests the arguments select, in the program's order."""
    listing = subprocess.run(
        [os.path.join(ROOT, "tools", "wine.sh"), program, "--gtest_list_tests"] +
        [a for a in gtest_args if a.startswith("--gtest_filter=")],
        env=wine_env(build), stdin=subprocess.DEVNULL, capture_output=True, text=True, errors="replace")
    if listing.returncode != 0:
        fail(f"{program} --gtest_list_tests failed ({listing.returncode}):\n{listing.stdout}{listing.stderr}")
    names, suite = [], None
    for line in listing.stdout.splitlines():
        if not line.strip() or line.startswith(("Running main", "wine: ")):
            continue
        if not line.startswith(" "):
            suite = line.split("#")[0].strip()
        else:
            names.append(suite + line.split("#")[0].strip())
    return names


def read_times(path=TIMES):
    times = {}
    if os.path.isfile(path):
        with open(path, encoding="utf-8") as file:
            for line in file:
                fields = line.split()
                if len(fields) == 2 and not line.startswith("#"):
                    times[fields[0]] = float(fields[1])
    return times


def deal(names, shards, times):
    """Longest first, each to the shard with the least work so far."""
    weighted = sorted(names, key=lambda name: -times.get(name, DEFAULT_SECONDS))
    heap = [(0.0, index) for index in range(shards)]
    dealt = [[] for _ in range(shards)]
    for name in weighted:
        work, index = heapq.heappop(heap)
        dealt[index].append(name)
        heapq.heappush(heap, (work + times.get(name, DEFAULT_SECONDS), index))
    order = {name: position for position, name in enumerate(names)}
    return [sorted(part, key=order.get) for part in dealt if part]


class Shard:
    def __init__(self, build, program, index, count, names, gtest_args, namespace):
        self.label = f"{program} shard {index + 1}/{count}"
        self.directory = os.path.join(build, "shards", f"{program}-{index + 1}")
        self.names = names
        self.xml = os.path.join(self.directory, "result.xml")
        self.log = os.path.join(self.directory, "output.log")
        copy_prefix(build, self.directory)
        filter_args = [a for a in gtest_args if not a.startswith("--gtest_filter=")]
        command = [os.path.join(ROOT, "tools", "wine.sh"), os.path.join(build, "tests", program + ".exe"),
                   "--gtest_brief=1", "--gtest_filter=" + ":".join(names),
                   "--gtest_output=xml:" + windows_path(self.xml)] + filter_args
        if namespace:
            command = [os.path.join(ROOT, "tools", "labshell.sh"), "--own-prefix"] + command
        self.started = time.monotonic()
        with open(self.log, "wb") as log:
            self.process = subprocess.Popen(command, env=wine_env(self.directory), stdin=subprocess.DEVNULL,
                                            stdout=log, stderr=subprocess.STDOUT, start_new_session=True)
        self.seconds = 0.0
        self.status = None

    def wait(self, timeout):
        try:
            self.status = self.process.wait(timeout=max(timeout, 0))
        except subprocess.TimeoutExpired:
            os.killpg(self.process.pid, signal.SIGKILL)
            self.process.wait()
            self.status = "timeout"
        # What a killed shard left running in its prefix goes with its server.
        end_wineserver(os.path.join(self.directory, "wineprefix"))
        self.seconds = time.monotonic() - self.started

    def results(self):
        """(name, seconds, failure text or None) of every test the XML reports."""
        if not os.path.isfile(self.xml):
            return []
        found = []
        for case in ElementTree.parse(self.xml).getroot().iter("testcase"):
            name = case.get("classname", "") + "." + case.get("name", "")
            failures = [f.get("message", "") for f in case.iter("failure")]
            if case.get("result") == "skipped" or case.get("status") == "notrun":
                continue
            found.append((name, float(case.get("time", "0")), "\n".join(failures) or None))
        return found


def report(shard, measured):
    results = shard.results()
    measured.update({name: seconds for name, seconds, _ in results})
    failed = [name for name, _, failure in results if failure is not None]
    missing = len(shard.names) - len(results)
    passed = shard.status == 0 and not failed
    outcome = "passed" if passed else "FAILED"
    if shard.status == "timeout":
        outcome = f"FAILED: still running after {SHARD_LIMIT_SECONDS} s"
    elif shard.status != 0 and not failed:
        outcome = f"FAILED: exit status {shard.status}"
    print(f"test: {shard.label}: {len(shard.names)} tests, {outcome} in {shard.seconds:.0f} s", flush=True)
    if not passed:
        with open(shard.log, encoding="utf-8", errors="replace") as log:
            output = [line for line in log.read().splitlines() if not line.startswith("wine: ")]
        print("\n".join(output[-400:]))
        for name in failed:
            print(f"test: {shard.label}: failed {name}")
        if missing > 0 and shard.status != 0:
            print(f"test: {shard.label}: {missing} tests have no result (full log: {shard.log})")
    return passed


def main(argv):
    if "--" in argv:
        split = argv.index("--")
        argv, gtest_args = argv[:split], argv[split + 1:]
    else:
        gtest_args = []
    if len(argv) < 2:
        fail("usage: tools/run-shards.py BUILD PROGRAM=SHARDS... [-- GTEST_ARGS...]")
    build = os.path.abspath(argv[0])
    programs = []
    for request in argv[1:]:
        match = re.fullmatch(r"(\w+)=([1-9][0-9]*)", request)
        if not match:
            fail(f"not PROGRAM=SHARDS: {request}")
        programs.append((match.group(1), int(match.group(2))))

    namespace = subprocess.run([os.path.join(ROOT, "tools", "labshell.sh"), "--check"],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode == 0
    if not namespace:
        print("test: no network namespace can be made here; the tests that move the machine between sites are skipped",
              file=sys.stderr)
    prefix = prepare_base_prefix(build)
    listings = {program: list_tests(build, os.path.join(build, "tests", program + ".exe"), gtest_args)
                for program, _ in programs}
    end_wineserver(prefix)
    times = read_times()
    shards = []
    for program, count in programs:
        parts = deal(listings[program], count, times)
        shards += [Shard(build, program, index, len(parts), names, gtest_args, namespace)
                   for index, names in enumerate(parts)]
    if not shards:
        fail("no test matches")

    measured, passed = {}, True
    deadline = time.monotonic() + SHARD_LIMIT_SECONDS
    pending = list(shards)
    while pending:
        ended = [shard for shard in pending if shard.process.poll() is not None]
        if not ended and time.monotonic() < deadline:
            time.sleep(0.5)
            continue
        for shard in ended or pending:
            shard.wait(deadline - time.monotonic())
            passed = report(shard, measured) and passed
            pending.remove(shard)
    # Merged into what earlier runs measured: a run of a few tests keeps the rest.
    kept = os.path.join(build, "test-times.txt")
    times = read_times(kept)
    times.update(measured)
    with open(kept, "w", encoding="utf-8") as file:
        file.write("# seconds per test, as last run by tools/run-shards.py\n")
        for name in sorted(times):
            file.write(f"{name} {times[name]:.1f}\n")
    return 0 if passed else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
