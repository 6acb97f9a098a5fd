#!/usr/bin/env python3
"""The soak (scripts/soak.sh): one long capture while the companion fails in every way a lab sees, one
fault per interval, on the native build or on the Windows build under Wine. What it looks for is what
the host would inherit from the plug-in: lost frames, stretches of zeros, connections not taken up
again, blocks lost or repeated in the middle of a connection, latency that drifts, memory or handles
that grow.

Builds the preset (linux-release, or windows with --windows), lays out a sandbox, and runs ferrox-host
with --reconnect for M minutes (summary only: a CSV of that many frames is too big). ferrox-host
changes "AppRunMode" only when the device has not taken a new connection by itself within
RECONNECT_AFTER_SECONDS, so that the report can tell the two apart. Every S seconds the next fault of
FAULTS begins. Every SAMPLE_EVERY seconds it reads the resident memory and open descriptors of the
process that runs ferrox-host (under Wine: the Wine process hosting ferrox-host.exe) from outside. At
the end it prints the report per fault kind and PASS or FAIL, and writes soak.json and soak.png.
"""

import argparse
import csv
import json
import os
import shutil
import signal
import subprocess
import sys
import time

import session_support as support
from session_support import Interrupted, Processes

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
OUTPUT_FILES = ("soak.json", "soak.png", "samples.csv", "series.csv", "summary.json", "host-console.log",
                "companion-restarts.log", "stress-ng.log")
SIM_SETTINGS = {"FERROX_SIM_SENSORS": 32, "FERROX_SIM_MODE": "EMG plus Accelerometer",
                "FERROX_SIM_LATENCY_STAMP": 1, "FERROX_SIM_SEQUENCE": 1}
SAMPLE_EVERY = 2
# No fault begins this close to the end: the last one must be over before the closing reading.
QUIET_END_SECONDS = 15
# ferrox-host is ended when it still runs this long after its capture should have ended.
OVERRUN_SECONDS = 120
# The device turns a silent connection's frames into zeros after this long without a block.
STALE_LIMIT_SECONDS = 0.25
# A stretch of zeros may last the stale limit and one second more (a new connection taken, its first
# blocks played out).
ZERO_LIMIT_SECONDS = STALE_LIMIT_SECONDS + 1.0
# ferrox-host leaves the device this long to take a new connection by itself (it tries every 100 ms
# once a stream has ended or stalled); any "AppRunMode" change after it shows the device did not. It is
# short of the zeros' limit, so that the rest of the run still measures a device that needs the change.
RECONNECT_AFTER_SECONDS = 0.75
FRAME_TOLERANCE = 0.001
RSS_GROWTH_LIMIT_BYTES = 1024 * 1024
# Readings from outside before this many seconds of capture are the warm-up (buffers touched first).
WARM_UP_SECONDS = 10.0
# Handles are compared as the fewest over this long at the start and at the end.
HANDLE_WINDOW_SECONDS = 60.0
# Drift taken up evenly: the latency in the last second of a connection's middle against its first,
# for a companion whose clock is off.
LATENCY_DRIFT_LIMIT_MS = 3.0
# What the device logs when the system will not send acknowledgements promptly (Wine refuses the
# Windows control code; Linux and Windows accept theirs): a Nagle-on companion's writes then wait in
# its own socket for the delayed acknowledgement, which nothing on the receiving side can shorten.
PROMPT_ACKS_REFUSED = "[FerroxEMG] Prompt acknowledgements refused"

# The fault kinds, in the order they rotate. Each step runs at a fraction of the interval: an action
# of Soak (step_<action>) with the companion settings it starts a new companion with, if any.
FAULTS = (
    {"name": "companion ended", "starts": "ended by its pid, a new one started", "ends": "-",
     "steps": ((0.0, "replace", {}),)},
    {"name": "companion hung", "starts": "SIGSTOP, a new one started beside it",
     "ends": "SIGCONT at 40 %, ended by its pid at 50 %",
     "steps": ((0.0, "hang", {}), (0.4, "resume", None), (0.5, "end_hung", None))},
    {"name": "Nagle on", "starts": "a new companion, Nagle's algorithm on", "ends": "the next fault",
     "steps": ((0.0, "replace", {"FERROX_SIM_NODELAY": 0}),)},
    {"name": "bursts of 10", "starts": "a new companion writing 10 blocks every 10 ms", "ends": "the next fault",
     "steps": ((0.0, "replace", {"FERROX_SIM_BURST": 10}),)},
    {"name": "clock +2 %, -0.05 %", "starts": "a new companion 2 % fast", "ends": "0.05 % slow from 50 %",
     "steps": ((0.0, "replace", {"FERROX_SIM_CLOCK_PPM": 20000}), (0.5, "replace", {"FERROX_SIM_CLOCK_PPM": -500}))},
    {"name": "send jitter 3 ms", "starts": "a new companion delaying each write 0-3 ms", "ends": "the next fault",
     "steps": ((0.0, "replace", {"FERROX_SIM_JITTER_MS": 3}),)},
    {"name": "two CPU hogs", "starts": "a new companion, stress-ng --cpu 2", "ends": "stress-ng ended by pid at 75 %",
     "steps": ((0.0, "replace", {}), (0.0, "hogs", None), (0.75, "end_hogs", None))},
)

# Under Wine the Windows build runs by Linux's scheduling, not Windows'. Wine accepts a thread's joining
# the multimedia class ("Pro Audio", high) without raising it, and the socket and wait work that Windows'
# kernel does ahead of every thread is done by the wineserver, a process of normal priority that two
# CPU hogs share the processors with. With --windows the run gives them, from outside, what Windows
# would: the threads that joined the multimedia class (the device's capture thread, the simulator's
# stream thread) run at the level the native build takes for them, the wineserver of the run's prefix
# one above. --wine-scheduling leaves Wine's own, a run harder on the device than Windows would be.
class WindowsScheduling:
    THREADS = ("ferrox-capture", "ferrox-stream")
    THREAD_PRIORITY = 10  # SCHED_FIFO, as the native build's real-time priority
    SERVER_PRIORITY = THREAD_PRIORITY + 1
    SCAN_EVERY = 0.25

    def __init__(self, prefix):
        self.prefix = os.path.realpath(prefix)
        self.ours = {}      # pid: (start time, whether it runs in the run's prefix)
        self.raised = []    # (seconds, pid, tid, name, priority)
        self.refused = []
        self.next_scan = 0.0

    def _in_prefix(self, pid):
        started = support.start_time(pid)
        known = self.ours.get(pid)
        if known and known[0] == started:
            return known[1]
        try:
            with open(f"/proc/{pid}/environ", "rb") as f:
                environment = f.read().decode(errors="replace").split("\0")
            mine = any(e.startswith("WINEPREFIX=") and os.path.realpath(e[len("WINEPREFIX="):]) == self.prefix
                       for e in environment)
        except OSError:
            mine = False
        self.ours[pid] = (started, mine)
        return mine

    def apply(self, t):
        if t < self.next_scan:
            return
        self.next_scan = t + self.SCAN_EVERY
        for pid in support.pids():
            if not self._in_prefix(pid):
                continue
            try:
                server = os.path.basename(os.readlink(f"/proc/{pid}/exe")).startswith("wineserver")
                tids = [int(tid) for tid in os.listdir(f"/proc/{pid}/task")]
            except OSError:
                continue
            for tid in tids:
                try:
                    with open(f"/proc/{pid}/task/{tid}/comm") as f:
                        name = f.read().strip()
                    if not server and name not in self.THREADS:
                        continue
                    if os.sched_getscheduler(tid) == os.SCHED_FIFO:
                        continue
                    priority = self.SERVER_PRIORITY if server else self.THREAD_PRIORITY
                    os.sched_setscheduler(tid, os.SCHED_FIFO, os.sched_param(priority))
                    self.raised.append((round(t, 3), pid, tid, name, priority))
                except ProcessLookupError:
                    continue
                except OSError as error:
                    if len(self.refused) < 8:
                        self.refused.append(f"{name} {tid}: {error}")

    def description(self):
        return (f"Windows' modelled: SCHED_FIFO {self.THREAD_PRIORITY} for {', '.join(self.THREADS)}, "
                f"{self.SERVER_PRIORITY} for the wineserver; {len(self.raised)} threads raised")


# On a virtual machine a processor that has gone idle waits for the hypervisor to run it again: here a
# real-time thread woken every millisecond from idle was over 1 ms late 64 times in 15 s (up to 7.8 ms),
# and 6 times (up to 2 ms) with the processors kept busy at SCHED_IDLE, which gives way to any other
# thread at once. A stream under Wine wakes several threads and processes per block, so the soak keeps
# the processors of a virtual machine awake that way, as a lab PC's are. --idle-processors does not.
def virtual_machine():
    try:
        with open("/proc/cpuinfo") as f:
            return any(line.startswith("flags") and " hypervisor" in line for line in f)
    except OSError:
        return False


def stolen_seconds():
    """The time the hypervisor has held this machine's processors from it so far, summed over them
    (/proc/stat's steal), or None where the system does not say."""
    try:
        with open("/proc/stat") as f:
            fields = f.readline().split()
        return int(fields[8]) / os.sysconf("SC_CLK_TCK")
    except (OSError, ValueError, IndexError):
        return None


# The native run keeps to namespaces of its own when the system allows it. The stream port is fixed,
# so on a shared loopback another session's companion can connect to this device; with a loopback of
# its own only this run's companions reach it. The plug-in's unload ends every process named like the
# companion; in a PID namespace that is only the companion it started. Under Wine the sockets belong to
# the wineserver, which must share the run's loopback: that run stays in the caller's namespaces
# (ferrox-isolated gives it its own).
NAMESPACES = ["unshare", "--pid", "--fork", "--mount-proc", "--net", "--kill-child", "sh", "-c"]


def namespaces_allowed():
    try:
        return subprocess.run(NAMESPACES + ["ip link set lo up"], stdin=subprocess.DEVNULL,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode == 0
    except OSError:
        return False


def last_line(path, prefix):
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            lines = [line.rstrip("\r\n") for line in f if line.startswith(prefix)]
    except OSError:
        return ""
    return lines[-1] if lines else ""


def schedule(seconds, every):
    """The fault intervals: (start, end, kind index), one after the other from `every` on, each over
    before the quiet end."""
    intervals = []
    start = every
    while start + every <= seconds - QUIET_END_SECONDS:
        intervals.append((float(start), float(start + every), len(intervals) % len(FAULTS)))
        start += every
    return intervals


class Soak:
    def __init__(self, args, out, sandbox, bin_dir):
        self.args = args
        self.windows = args.windows
        self.out = out
        self.sandbox = sandbox
        self.bin = bin_dir
        self.seconds = args.minutes * 60
        self.processes = Processes(wine=self.windows)
        self.processes.companion_paths.append(sandbox["companion"])
        extra = dict(SIM_SETTINGS)
        if self.windows:
            extra.update({"WINEPREFIX": os.path.join(ROOT, "build", "windows", "wineprefix"), "WINEDEBUG": "-all"})
        self.env = support.sandbox_environment(sandbox, **extra)
        self.scheduling = (WindowsScheduling(extra["WINEPREFIX"])
                           if self.windows and not args.wine_scheduling else None)
        self.keep_awake = virtual_machine() and not args.idle_processors
        self.stolen = None     # seconds the hypervisor held the processors during the capture
        self.awake = None
        self.console = os.path.join(out, "host-console.log")
        self.current = None    # the companion streaming now: (pid, start time), the plug-in's at first
        self.hung = None       # a stopped companion, until it is ended
        self.hogs = None
        self.started = []      # (seconds, settings, pid) of each companion started here
        self.running_ours = {} # pid: Popen of those started here and not yet ended by this run
        self.events = []       # (seconds, kind, action, detail)
        self.unexpected = 0
        self.left = []

    def host_command(self):
        summary = os.path.join(self.out, "summary.json")
        common = ["--configuration", "1", "--latency-stamp", "--reconnect", "--reconnect-after",
                  str(RECONNECT_AFTER_SECONDS), "--seconds", str(self.seconds), "--connect-timeout", "60"]
        if not self.windows:
            return [os.path.join(self.bin, "ferrox-host"), "--plugin", os.path.join(self.bin, "libFerroxEMG.so"),
                    *common, "--summary", summary]
        w = support.to_windows
        return [support.WINE, os.path.join(self.bin, "ferrox-host.exe"),
                "--plugin", w(os.path.join(self.bin, "FerroxEMG.dll")),
                "--program-files", w(self.sandbox["PROGRAMFILES"]), "--program-data", w(self.sandbox["ProgramData"]),
                "--app-data", w(self.sandbox["APPDATA"]), *common, "--summary", w(summary)]

    def start_host(self):
        self.enter = []
        namespaced = not self.windows and namespaces_allowed()
        if not namespaced and not self.windows:
            print("note: no namespaces here: the run shares loopback port 35692 with other sessions, and the")
            print("      plug-in's unload ends every SabletBase.exe on this machine")
        launcher = NAMESPACES + ['ip link set lo up && exec "$@"', "soak"] if namespaced else []
        with open(self.console, "w") as log:
            self.launcher = self.processes.start(launcher + self.host_command(), stdin=subprocess.DEVNULL,
                                                 stdout=log, stderr=subprocess.STDOUT, env=self.env)
        self.host_pid = self.launcher.pid
        if namespaced:
            # unshare forks ferrox-host as the namespace's first process; its id out here is unshare's child.
            deadline = time.monotonic() + 10.0
            found = []
            while not found and time.monotonic() < deadline and self.launcher.poll() is None:
                time.sleep(0.1)
                found = support.children(self.launcher.pid)
            if not found:
                raise RuntimeError("ferrox-host did not start")
            self.host_pid = found[0]
            # New companions join ferrox-host's loopback; nsenter replaces itself with the simulator, so
            # the id it is started with is the simulator's.
            self.enter = ["nsenter", "--target", str(self.host_pid), "--net", "--"]

    def running(self):
        return self.launcher.poll() is None

    def wait_for_capture(self):
        # The schedule counts from the start of capture, not from the plug-in's load: enumeration waits
        # for the companion's report first.
        while self.running() and not last_line(self.console, "capturing for "):
            time.sleep(0.1)
        if not self.running():
            with open(self.console, encoding="utf-8", errors="replace") as f:
                tail = f.readlines()[-5:]
            raise RuntimeError(f"ferrox-host ended before capture; see {self.console}\n" + "".join(tail))
        print("capture started", flush=True)
        return time.monotonic()

    # The companions, each by its pid and start time.

    def plugin_companion(self):
        live = self.processes.live_companions()
        return (live[0], self.processes.companions[live[0]]) if live else None

    def start_companion(self, at, settings):
        env = {**self.env, "FERROX_SIM_IGNORE_STDIN": "1", **{k: str(v) for k, v in settings.items()}}
        if self.windows:
            env.update({"FERROX_SIM_PROGRAM_DATA": support.to_windows(self.sandbox["ProgramData"]),
                        "FERROX_SIM_APP_DATA": support.to_windows(self.sandbox["APPDATA"])})
        program = [support.WINE, self.sandbox["companion"]] if self.windows else [self.sandbox["companion"]]
        with open(os.path.join(self.out, "companion-restarts.log"), "a") as log:
            sim = self.processes.start(self.enter + program + [self.sandbox["pipe_name"]], stdin=subprocess.DEVNULL,
                                       stdout=log, stderr=subprocess.STDOUT, env=env)
        started = None
        for _ in range(50):
            started = support.start_time(sim.pid)
            if started:
                break
            time.sleep(0.01)
        self.started.append((at, settings, sim.pid))
        self.running_ours[sim.pid] = sim
        self.current = (sim.pid, started)
        return sim.pid

    def take_current(self):
        """The companion streaming now, taken out of `current`; the plug-in's own before any fault."""
        current, self.current = self.current or self.plugin_companion(), None
        if current and support.start_time(current[0]) != current[1]:
            self.unexpected += 1
            return None
        return current

    def signal(self, process, signum):
        if process and support.start_time(process[0]) == process[1]:
            try:
                os.kill(process[0], signum)
                return True
            except ProcessLookupError:
                pass
        return False

    def end(self, process):
        if process:
            self.running_ours.pop(process[0], None)
        if self.signal(process, signal.SIGKILL):
            # Ours are reaped by Popen; the plug-in's own by ferrox-host.
            self.processes.reap(process[0])

    def note_own_exits(self, t):
        """Companions started here that ended by themselves, each an event with its exit status."""
        for pid, sim in list(self.running_ours.items()):
            code = sim.poll()
            if code is None:
                continue
            del self.running_ours[pid]
            status = f"signal {-code}" if code < 0 else f"exit code {code}"
            self.events.append({"seconds": round(t, 3), "kind": "companion exited by itself", "action": "none",
                                "settings": {}, "detail": f"{pid}: {status}"})
            print(f"at {t:6.1f} s  companion {pid} exited by itself ({status})", flush=True)

    # The steps of FAULTS.

    def step_replace(self, at, settings):
        old = self.take_current()
        self.end(old)
        return f"ended {old[0] if old else 'nothing'}, started {self.start_companion(at, settings)}"

    def step_hang(self, at, settings):
        self.hung = self.take_current()
        stopped = self.signal(self.hung, signal.SIGSTOP)
        return f"stopped {self.hung[0] if stopped else 'nothing'}, started {self.start_companion(at, settings)}"

    def step_resume(self, _at, _settings):
        return f"resumed {self.hung[0]}" if self.signal(self.hung, signal.SIGCONT) else "nothing to resume"

    def step_end_hung(self, _at, _settings):
        hung, self.hung = self.hung, None
        self.end(hung)
        return f"ended {hung[0] if hung else 'nothing'}"

    def step_hogs(self, _at, _settings):
        self.hogs = support.Load(self.processes, 2, os.path.join(self.out, "stress-ng.log"))
        return f"stress-ng {self.hogs.parent.pid}, workers {', '.join(map(str, self.hogs.workers))}"

    def end_loads(self):
        """Ends the CPU hogs and the processors' keep-awake workers, whichever run."""
        for load in (self.hogs, self.awake):
            if load:
                load.end()
        self.hogs = self.awake = None

    def step_end_hogs(self, _at, _settings):
        hogs, self.hogs = self.hogs, None
        if hogs:
            hogs.end()
        return f"ended stress-ng {hogs.parent.pid if hogs else 'nothing'}"

    def run(self):
        if self.keep_awake:
            self.awake = support.Load(self.processes, os.cpu_count() or 1, os.path.join(self.out, "stress-ng.log"),
                                      policy="idle")
        self.start_host()
        capture_start = self.wait_for_capture()
        stolen_before = stolen_seconds()
        samples_path = os.path.join(self.out, "samples.csv")
        with open(samples_path, "w") as samples:
            samples.write("seconds,resident_kb,open_fds,companion_pid\n")
        steps = sorted((start + fraction * (end - start), start, kind, action, settings)
                       for start, end, kind in self.intervals
                       for fraction, action, settings in FAULTS[kind]["steps"])
        next_sample = SAMPLE_EVERY / 2
        while self.running():
            t = time.monotonic() - capture_start
            self.note_own_exits(t)
            if self.scheduling:
                self.scheduling.apply(t)
            while steps and t >= steps[0][0]:
                _due, start, kind, action, settings = steps.pop(0)
                detail = getattr(self, "step_" + action)(t, settings or {})
                self.events.append({"seconds": round(t, 3), "interval_start": start, "kind": FAULTS[kind]["name"],
                                    "action": action, "settings": settings or {}, "detail": detail})
                print(f"at {t:6.1f} s  {FAULTS[kind]['name']}: {action}: {detail}", flush=True)
            # Read while the capture runs only: once it is over, ferrox-host builds its summary of every
            # frame, which is no growth of the plug-in's.
            if next_sample <= t < self.seconds - 1.0:
                rss, fds = support.resident_kb(self.host_pid), support.open_fds(self.host_pid)
                if rss is not None:
                    with open(samples_path, "a") as samples:
                        samples.write(f"{t:.1f},{rss},{fds},{self.current[0] if self.current else ''}\n")
                    if int(next_sample) % 60 == int(SAMPLE_EVERY / 2):
                        print(f"at {t:6.1f} s  resident {rss} kB, {fds} descriptors; "
                              f"{last_line(self.console, 'capturing:')}", flush=True)
                next_sample += SAMPLE_EVERY
            if t > self.seconds + OVERRUN_SECONDS:
                print("ferrox-host still runs 2 minutes after its capture should have ended; ending it",
                      file=sys.stderr)
                self.launcher.kill()
            time.sleep(0.05)
        host_exit = self.launcher.wait()
        stolen_after = stolen_seconds()
        if stolen_before is not None and stolen_after is not None:
            self.stolen = stolen_after - stolen_before
        for process in (self.hung, self.current if self.started else None):
            if process and support.start_time(process[0]) != process[1]:
                self.unexpected += 1
            self.end(process)
        self.end_loads()
        # The plug-in's unload ends its own companion; under Wine it ends when ferrox-host's pipe closes.
        deadline = time.monotonic() + 5.0
        while self.processes.live_companions() and time.monotonic() < deadline:
            time.sleep(0.1)
        self.left = self.processes.live_companions()
        with open(self.console, encoding="utf-8", errors="replace") as f:
            for line in f.readlines()[-4:]:
                if not line.startswith("[host] log"):
                    print(line.rstrip("\r\n"))
        return host_exit


# The report.

def mb(value):
    return "n/a" if value is None else f"{value / (1024 * 1024):.2f} MB"


def read_samples(path):
    rows = []
    try:
        with open(path, newline="", encoding="utf-8") as f:
            for row in csv.DictReader(f):
                rows.append({"seconds": float(row["seconds"]), "resident_bytes": int(row["resident_kb"]) * 1024,
                             "open_fds": int(row["open_fds"])})
    except (OSError, KeyError, ValueError):
        pass
    return rows


def companion_settings(started, at):
    """The settings of the companion that made a connection beginning at `at`: the newest one started
    before it, or the plug-in's own."""
    settings = {}
    for t, s, _pid in started:
        if t <= at:
            settings = s
    return settings


def judge_connection(c, rate, settings, prompt_acks_refused=False):
    """A connection's middle against what its sender's clock forces and its late writes explain. The
    repeats of a Nagle-on sender are not judged where the system refused prompt acknowledgements: they
    are counted, and the connection says why they were let through."""
    middle = c.get("middle") or {}
    seconds = middle.get("seconds", 0.0)
    ppm = float(settings.get("FERROX_SIM_CLOCK_PPM", 0))
    forced = abs(support.clock_surplus(ppm)) * rate * seconds + 3
    sender = c.get("middle_sender") or {}
    held_by_nagle = prompt_acks_refused and str(settings.get("FERROX_SIM_NODELAY", 1)) == "0"
    repeated = middle.get("repeated", 0)
    # A slow sender forces repeats as a fast one forces skips. A Nagle-on sender's repeats, where
    # nothing could make its system send promptly, are its own as much as its late writes are.
    late_repeats = repeated if held_by_nagle else sender.get("repeats_before_sent", 0)
    repeats_allowed = late_repeats + (forced if ppm < 0 else 0)
    # A frame repeated while the sender was late leaves one block more waiting once the late blocks
    # come: the buffer keeps up to its cover of that depth and gives the rest back, or it would play
    # every later block that much later. So each such repeat allows one skip, those of the connection's
    # first moments too, whose depth may be given back only in the middle.
    lead_late_repeats = (c.get("lead_sender") or {}).get("repeats_before_sent", 0)
    skips_allowed = forced + late_repeats + lead_late_repeats
    latency = c.get("middle_latency_ms") or {}
    first, last = latency.get("first_second_median"), latency.get("last_second_median")
    drift = None if first is None or last is None else last - first
    # A repeated frame plays every later block one period later. An underrun widens the playout target
    # by the frames it lasted (at most 8 blocks) for the next hold-up, and the depth beyond that is given
    # back only once the hold-up has left the buffer's level memory (4 s): a step of up to one period
    # per repeat is depth the repeats paid for, not drift, and a hold-up in the middle's last seconds
    # shows whole in its last second.
    drift_limit = LATENCY_DRIFT_LIMIT_MS + repeated * 1000.0 / rate
    if drift is not None and drift < 0:
        # A fall by the depth a late sender left in the connection's first moments is that depth given
        # back. A slow sender drains the buffer by its deficit until the buffer repeats to hold its
        # level: a fall by that much is depth spent. Neither is drift.
        drift_limit += (lead_late_repeats + (forced - 3 if ppm < 0 else 0)) * 1000.0 / rate
    return {"seconds": seconds, "ppm": ppm, "repeated": repeated, "skipped": middle.get("skipped", 0),
            "skips_allowed": skips_allowed, "repeats_allowed": repeats_allowed, "latency_drift_ms": drift,
            "latency_drift_limit_ms": drift_limit,
            "repeats_not_judged": "Nagle on, prompt acknowledgements refused" if held_by_nagle else None,
            "skips_ok": middle.get("skipped", 0) <= skips_allowed, "repeats_ok": held_by_nagle or repeated <= repeats_allowed,
            # Judged where the sender's clock is off; elsewhere a step in latency is the playout buffer
            # keeping depth after a hold-up, which the repeats already show.
            "drift_ok": drift is None or seconds < 3 or ppm == 0 or abs(drift) <= drift_limit}


def report(out, args, soak, host_exit, intervals):
    with open(os.path.join(out, "summary.json"), encoding="utf-8") as f:
        summary = json.load(f)
    capture = summary.get("capture") or {}
    timing = capture.get("timing") or {}
    rate = (summary.get("device") or {}).get("rate") or 1000.0
    seconds = capture.get("seconds", 0.0)
    frames = capture.get("frames", 0)
    expected = rate * seconds
    missing = capture.get("missing_frames", 0)
    reconnect = capture.get("reconnect") or {}
    connections = timing.get("connections") or []
    stretches = [(z["at_seconds"], z["frames"] / rate) for z in timing.get("zero_stretches") or []]
    step_times = sorted(e["seconds"] for e in soak.events)
    with open(soak.console, encoding="utf-8", errors="replace") as f:
        prompt_acks_refused = PROMPT_ACKS_REFUSED in f.read()

    # Per interval, then per kind: the plug-in's own connection before the first fault is a row too.
    rows = [("before faults", 0.0, intervals[0][0] if intervals else seconds, None)]
    rows += [(FAULTS[kind]["name"], start, end, kind) for start, end, kind in intervals]
    rows[-1] = (rows[-1][0], rows[-1][1], seconds + 1.0, rows[-1][3])  # the last one lasts to the end
    kinds = {}
    judged = []
    for name, start, end, _kind in rows:
        k = kinds.setdefault(name, {"name": name, "intervals": 0, "zero_seconds": 0.0, "zero_stretches": 0,
                                    "longest_zero_seconds": 0.0, "live_after_seconds": 0.0, "connections": 0,
                                    "companions_started": 0, "middle_seconds": 0.0, "repeated": 0, "skipped": 0,
                                    "skips_allowed": 0.0, "repeats_allowed": 0.0, "latency_drift_ms": None,
                                    "fidelity_ok": True, "drift_ok": True, "app_run_mode_changes": 0,
                                    "repeats_not_judged": None})
        k["intervals"] += 1
        k["app_run_mode_changes"] += sum(r["app_run_mode_changes"] for r in reconnect.get("each", [])
                                         if start <= r["end_seen_at_seconds"] < end)
        for at, length in stretches:
            if start <= at < end:
                k["zero_seconds"] += length
                k["zero_stretches"] += 1
                k["longest_zero_seconds"] = max(k["longest_zero_seconds"], length)
                cause = max([t for t in step_times if t <= at + 0.5] or [at])
                k["live_after_seconds"] = max(k["live_after_seconds"], at + length - cause)
        k["companions_started"] += sum(1 for t, _s, _p in soak.started if start <= t < end)
        for c in connections:
            if start <= c["start_seconds"] < end:
                k["connections"] += 1
                j = judge_connection(c, rate, companion_settings(soak.started, c["start_seconds"]),
                                     prompt_acks_refused)
                judged.append({**j, "kind": name, "start_seconds": c["start_seconds"], "end_seconds": c["end_seconds"],
                               "first_block": c.get("first_block"), "edges": c.get("edges"), "stalls": c.get("stalls")})
                for key in ("repeated", "skipped", "skips_allowed", "repeats_allowed"):
                    k[key] += j[key]
                k["middle_seconds"] += j["seconds"]
                k["repeats_not_judged"] = k["repeats_not_judged"] or j["repeats_not_judged"]
                k["fidelity_ok"] &= j["skips_ok"] and j["repeats_ok"]
                k["drift_ok"] &= j["drift_ok"]
                if j["latency_drift_ms"] is not None and (k["latency_drift_ms"] is None or
                                                          abs(j["latency_drift_ms"]) > abs(k["latency_drift_ms"])):
                    k["latency_drift_ms"] = j["latency_drift_ms"]
    for k in kinds.values():
        k["zeros_ok"] = k["longest_zero_seconds"] <= ZERO_LIMIT_SECONDS
        # Every companion started in the kind's intervals became a connection of its own.
        k["taken_ok"] = k["connections"] >= k["companions_started"]
        k["by_device_ok"] = k["app_run_mode_changes"] == 0
        k["pass"] = k["zeros_ok"] and k["taken_ok"] and k["by_device_ok"] and k["fidelity_ok"] and k["drift_ok"]

    samples = read_samples(os.path.join(out, "samples.csv"))
    warm = [s for s in samples if s["seconds"] >= WARM_UP_SECONDS]
    growth = warm[-1]["resident_bytes"] - warm[0]["resident_bytes"] if warm else None
    # Handles at the start and at the end, each the fewest over a minute of readings: a reading taken
    # while a connection is being taken or a companion's pipe is open counts one more for a moment,
    # and a handle that leaks raises the fewest too.
    start_fds = [s["open_fds"] for s in warm if s["seconds"] < warm[0]["seconds"] + HANDLE_WINDOW_SECONDS]
    end_fds = [s["open_fds"] for s in warm if s["seconds"] > warm[-1]["seconds"] - HANDLE_WINDOW_SECONDS]
    fds = (min(start_fds), min(end_fds)) if warm else (None, None)
    left = soak.left
    taken = len(connections) - 1
    rules = [
        ("no missing frame IDs", missing == 0),
        (f"frames within {FRAME_TOLERANCE:.1%} of rate x time",
         expected > 0 and abs(frames - expected) <= FRAME_TOLERANCE * expected),
        ("every connection taken up again (a hung one included) without an AppRunMode change",
         taken >= len(soak.started) and reconnect.get("attempts", 0) == 0 and not reconnect.get("still_waiting")),
        (f"each stretch of zeros at most {ZERO_LIMIT_SECONDS:g} s", all(k["zeros_ok"] for k in kinds.values())),
        ("in every connection's middle: skips within drift and the depth the sender's late writes left, "
         "repeats within the sender's late writes",
         all(j["skips_ok"] and j["repeats_ok"] for j in judged)),
        (f"drift taken up evenly: latency flat (within {LATENCY_DRIFT_LIMIT_MS:g} ms, and one period more per repeated "
         f"frame) in the middle of every connection from a companion whose clock is off",
         all(j["drift_ok"] for j in judged)),
        (f"memory growth under {mb(RSS_GROWTH_LIMIT_BYTES)} from {WARM_UP_SECONDS:g} s in to the end",
         growth is not None and growth < RSS_GROWTH_LIMIT_BYTES),
        (f"handles equal from {WARM_UP_SECONDS:g} s in to the end", fds[0] is not None and fds[0] == fds[1]),
        ("ferrox-host exited with 0", host_exit == 0),
        ("no companion left running", not left and soak.unexpected == 0),
    ]
    passed = all(ok for _, ok in rules)

    build = "Windows build under Wine" if args.windows else "native build"
    print()
    print(f"== Soak report ({build})")
    print("processors  " + ("kept awake at SCHED_IDLE (a virtual machine)" if soak.keep_awake else
                            "left idle (--idle-processors)" if virtual_machine() else "left idle")
          + ("" if soak.stolen is None else f"; {soak.stolen:.1f} s stolen by the hypervisor during the capture "
                                            f"(of {os.cpu_count()} x {seconds:.0f} s)"))
    if args.windows:
        print("scheduling  " + (soak.scheduling.description() if soak.scheduling else "Wine's own (--wine-scheduling)")
              + (f"; refused: {'; '.join(soak.scheduling.refused)}" if soak.scheduling and soak.scheduling.refused
                 else ""))
    print(f"minutes     {args.minutes} (capture {seconds:.1f} s), a fault every {args.every} s: {len(intervals)} faults")
    print(f"frames      {frames} of {expected:.0f} expected ({frames / expected - 1 if expected else 0:+.4%}); "
          f"missing IDs: {missing}")
    print(f"connections {len(connections)} for {len(soak.started)} companions started and the plug-in's own; "
          f"{reconnect.get('stream_ends', 0)} stream ends, {reconnect.get('taken_by_device', 0)} taken up by the "
          f"device itself, {reconnect.get('attempts', 0)} AppRunMode changes by the host")
    print(f"memory      outside: {mb(warm[0]['resident_bytes']) if warm else 'n/a'} at {WARM_UP_SECONDS:g} s -> "
          f"{mb(warm[-1]['resident_bytes']) if warm else 'n/a'} at the end (growth {mb(growth)}); "
          f"handles {fds[0]} -> {fds[1]}")
    print()
    header = (f"{'fault kind':<20} {'n':>2} {'zeros s':>8} {'longest':>8} {'live in':>8} {'conn':>5} {'ARM':>4} "
              f"{'middle s':>9} {'repeat':>7} {'allow':>6} {'skip':>6} {'allow':>6} {'drift ms':>9}  verdict")
    print(header)
    for k in kinds.values():
        drift = "-" if k["latency_drift_ms"] is None else f"{k['latency_drift_ms']:+.1f}"
        why = [label for label, ok in (("zeros", k["zeros_ok"]), ("not taken", k["taken_ok"]),
                                       ("AppRunMode", k["by_device_ok"]),
                                       ("fidelity", k["fidelity_ok"]), ("drift", k["drift_ok"])) if not ok]
        print(f"{k['name']:<20} {k['intervals']:>2} {k['zero_seconds']:>8.2f} {k['longest_zero_seconds']:>8.2f} "
              f"{k['live_after_seconds']:>8.2f} {k['connections']:>2}/{k['companions_started']:<2} "
              f"{k['app_run_mode_changes']:>4} "
              f"{k['middle_seconds']:>9.1f} {k['repeated']:>7} {k['repeats_allowed']:>6.0f} {k['skipped']:>6} "
              f"{k['skips_allowed']:>6.0f} {drift:>9}  {'PASS' if k['pass'] else 'FAIL (' + ', '.join(why) + ')'}"
              f"{'; repeats not judged: ' + k['repeats_not_judged'] if k['repeats_not_judged'] else ''}")
    print()
    for text, ok in rules:
        print(f"  {'ok  ' if ok else 'FAIL'} {text}")
    print("PASS" if passed else "FAIL")

    plot_error = draw(out, summary, intervals, samples, seconds)
    if plot_error:
        print(f"soak.png: {plot_error}", file=sys.stderr)
    result = {
        "build": "windows" if args.windows else "native", "minutes": args.minutes, "every_seconds": args.every,
        "processors_kept_awake": soak.keep_awake, "stolen_seconds": soak.stolen,
        "scheduling": None if not soak.scheduling else {
            "model": soak.scheduling.description(), "refused": soak.scheduling.refused,
            "raised": [{"seconds": t, "pid": p, "tid": tid, "name": n, "fifo_priority": prio}
                       for t, p, tid, n, prio in soak.scheduling.raised]},
        "capture_seconds": seconds, "rate": rate, "frames": frames, "frames_expected": expected,
        "missing_frames": missing, "reconnect": reconnect, "faults": FAULTS_JSON,
        "intervals": [{"kind": FAULTS[kind]["name"], "start": start, "end": end} for start, end, kind in intervals],
        "events": soak.events, "companions_started": [{"seconds": t, "settings": s, "pid": p} for t, s, p in soak.started],
        "kinds": list(kinds.values()), "connections": judged, "zero_stretches": timing.get("zero_stretches"),
        "resident_bytes": {"start": warm[0]["resident_bytes"] if warm else None,
                           "end": warm[-1]["resident_bytes"] if warm else None, "growth": growth,
                           "limit": RSS_GROWTH_LIMIT_BYTES},
        "open_handles": {"start": fds[0], "end": fds[1]}, "host_exit": host_exit,
        "companions_left": left, "unexpected_companion_exits": soak.unexpected,
        "rules": [{"rule": text, "ok": ok} for text, ok in rules], "pass": passed,
    }
    with open(os.path.join(out, "soak.json"), "w", encoding="utf-8") as f:
        json.dump(result, f, indent=2)
        f.write("\n")
    return 0 if passed else 1


FAULTS_JSON = [{"name": f["name"], "starts": f["starts"], "ends": f["ends"],
                "steps": [{"at_fraction": at, "action": action, "settings": settings} for at, action, settings in f["steps"]]}
               for f in FAULTS]
COLOURS = ("#e41a1c", "#377eb8", "#4daf4a", "#984ea3", "#ff7f00", "#a65628", "#f781bf")


def draw(out, summary, intervals, samples, seconds):
    """soak.png: latency, live or zero state, resident memory and handles over the whole run, with one
    band per fault marked with its kind."""
    per_second = ((summary.get("capture") or {}).get("timing") or {}).get("per_second") or {}
    series = os.path.join(out, "series.csv")
    with open(series, "w", encoding="utf-8") as f:
        f.write("second,frames,zero_frames,latency_median_ms,latency_max_ms\n")
        for i, n in enumerate(per_second.get("frames", [])):
            median = per_second["latency_median_ms"][i]
            worst = per_second["latency_max_ms"][i]
            f.write(f"{i},{n},{per_second['zero_frames'][i]},{'' if median is None else median},"
                    f"{'' if worst is None else worst}\n")
    bands = []
    for n, (start, end, kind) in enumerate(intervals):
        bands.append(f"set object {n + 1} rect from {start},graph 0 to {end},graph 1 behind "
                     f"fc rgb '{COLOURS[kind % len(COLOURS)]}' fs transparent solid 0.15 noborder")
    labels = [f"set label {n + 1} '{FAULTS[kind]['name']}' at {start + 0.5},graph 0.97 rotate by -90 font ',8'"
              for n, (start, _end, kind) in enumerate(intervals)]
    samples_path = os.path.join(out, "samples.csv")
    handles = [s["open_fds"] for s in samples] or [0]
    resident_mb = max([s["resident_bytes"] / 1048576.0 for s in samples] or [1.0])
    nl = "\n"
    script = f"""
set terminal pngcairo size 1600,1000 font ',10'
set output '{os.path.join(out, 'soak.png')}'
set datafile separator ','
set datafile missing ''
set key outside right
set lmargin at screen 0.06
set rmargin at screen 0.84
set xrange [0:{max(seconds, 1.0):.1f}]
set multiplot layout 3,1 title 'FerroxEMG soak: one band per fault'
{nl.join(bands)}
{nl.join(labels)}
set ylabel 'latency (ms)'
set logscale y
plot '{series}' using 1:5 every ::1 with lines lc rgb '#bbbbbb' title 'max per second', \\
     '' using 1:4 every ::1 with lines lc rgb '#000000' title 'median per second'
unset logscale y
unset label
set ylabel 'frames of zeros per second'
set yrange [0:*]
plot '{series}' using 1:3 every ::1 with steps lc rgb '#d62728' title 'zeros (no live data)'
set xlabel 'capture time (s)'
set ylabel 'resident (MB)'
set yrange [0:{resident_mb * 1.25:.1f}]
set y2label 'handles'
set y2tics 1
set y2range [{min(handles) - 1}:{max(handles) + 1}]
plot '{samples_path}' using 1:($2/1024.0) every ::1 with linespoints pt 7 ps 0.4 title 'resident memory', \\
     '' using 1:3 every ::1 axes x1y2 with steps title 'open handles'
unset multiplot
"""
    if not shutil.which("gnuplot"):
        return "gnuplot is not installed"
    try:
        subprocess.run(["gnuplot"], input=script, text=True, check=True, capture_output=True)
    except (OSError, subprocess.CalledProcessError) as error:
        return f"gnuplot failed: {getattr(error, 'stderr', '') or error}"
    return None


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--minutes", type=float, default=10, help="capture time (default 10)")
    parser.add_argument("--every", "--restart-every", dest="every", type=int, default=60,
                        help="seconds from one fault to the next (default 60)")
    parser.add_argument("--windows", action="store_true", help="the Windows build, under Wine")
    parser.add_argument("--wine-scheduling", action="store_true",
                        help="with --windows: leave Wine's scheduling as it is (see WindowsScheduling)")
    parser.add_argument("--idle-processors", action="store_true",
                        help="on a virtual machine: let the processors go idle (see virtual_machine)")
    parser.add_argument("--out", help="output folder; default out/soak (out/soak-windows with --windows)")
    args = parser.parse_args()
    if args.minutes <= 0 or args.every < 4:
        parser.error("--minutes must be above 0 and --every 4 or more")
    intervals = schedule(args.minutes * 60, args.every)
    if not intervals:
        parser.error(f"no fault fits: {args.minutes} min leave no interval of {args.every} s before the quiet end")

    default_out = os.path.join(ROOT, "out", "soak-windows" if args.windows else "soak")
    try:
        out = support.claim_output(args.out or default_out, "soak.sh", OUTPUT_FILES, ("sandbox",),
                                   default=args.out is None)
    except support.OutputRefused as refused:
        print(refused, file=sys.stderr)
        return 2
    preset = "windows" if args.windows else "linux-release"
    targets = ("FerroxEMG", "ferrox-host", "companion-sim")
    if subprocess.run(["bash", os.path.join(ROOT, "scripts", "build.sh"), preset, *targets], cwd=ROOT).returncode:
        return 1
    bin_dir = os.path.join(ROOT, "build", preset, "bin")
    if args.windows:
        os.environ.update({"WINEPREFIX": os.path.join(ROOT, "build", "windows", "wineprefix"), "WINEDEBUG": "-all"})
        os.makedirs(os.environ["WINEPREFIX"], exist_ok=True)
    sandbox = support.lay_out_sandbox(os.path.join(out, "sandbox"), bin_dir, windows=args.windows)

    kinds = ", ".join(FAULTS[k]["name"] for k in sorted({kind for _s, _e, kind in intervals}))
    print(f"== soak ({'Windows build under Wine' if args.windows else 'native'}): {args.minutes:g} min capture, "
          f"{len(intervals)} faults, one every {args.every} s ({kinds}); output in {out}", flush=True)
    support.raise_on_signals()
    soak = Soak(args, out, sandbox, bin_dir)
    soak.intervals = intervals
    try:
        host_exit = soak.run()
    except Interrupted as e:
        print(f"soak: interrupted by {e}", file=sys.stderr)
        return 130
    except (RuntimeError, OSError) as e:
        print(f"soak: {e}", file=sys.stderr)
        return 1
    finally:
        support.ignore_signals()
        if soak.hung:
            soak.signal(soak.hung, signal.SIGCONT)
        soak.end_loads()
        soak.processes.end_all()
        if args.windows:
            support.wait_for_wineserver()

    if not os.path.exists(os.path.join(out, "summary.json")):
        print(f"ferrox-host wrote no summary (exit {host_exit}); see {soak.console}", file=sys.stderr)
        return 1
    return report(out, args, soak, host_exit, intervals)


if __name__ == "__main__":
    sys.exit(main())
