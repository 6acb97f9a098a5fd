#!/usr/bin/env python3
"""What the session scripts share: their output folder, the sandbox, the processes they start, and
readings of a process from /proc.

A script removes only what it made: the sandbox subfolders and the files it writes, inside an output
folder that holds nothing else or that the marker file says the same script wrote before.

Used as a module by the benchmark and soak drivers, and from scripts/run.sh as a command:
  session_support.py output  --tool NAME --out DIR [--default] [--files F ...] [--folders D ...]
  session_support.py sandbox --out DIR --bin BIN [--name sandbox] [--windows]
"""

import argparse
import os
import shutil
import signal
import subprocess
import sys
import time

# Names the script whose output the folder holds.
MARKER = ".ferrox-output"
COMPANION_FILE = "SabletBase.exe"
WINE = "/usr/lib/wine/wine64"


class OutputRefused(Exception):
    pass


def claim_output(path, tool, files=(), folders=(), default=False):
    """Makes path the output folder of scripts/TOOL and removes what an earlier run of it left there:
    the listed files and folders, nothing else. A folder that holds anything else is refused, unless
    its marker names this tool; default says the folder is the script's own place under out/, which
    earlier versions of the script filled without a marker. Returns the absolute path."""
    path = os.path.abspath(path)
    script = f"scripts/{tool}"
    if os.path.lexists(path) and not os.path.isdir(path):
        raise OutputRefused(f"{script}: --out {path} is not a folder")
    if os.path.isdir(path):
        owner = None
        try:
            with open(os.path.join(path, MARKER), encoding="utf-8") as f:
                owner = f.read().strip()
        except OSError:
            pass
        if owner is not None and owner != tool:
            raise OutputRefused(f"{script}: --out {path} holds the output of scripts/{owner}; "
                                f"choose another folder")
        others = sorted(os.listdir(path))
        if owner is None and others and not default:
            shown = ", ".join(others[:5]) + (", ..." if len(others) > 5 else "")
            raise OutputRefused(f"{script}: --out {path} already holds files it did not write ({shown}). "
                                f"It never removes what it did not make: choose a new or empty folder, "
                                f"or one an earlier {script} wrote")
    os.makedirs(path, exist_ok=True)
    for name in files:
        target = os.path.join(path, name)
        if os.path.lexists(target):
            os.remove(target)
    for name in folders:
        remove_tree(os.path.join(path, name))
    with open(os.path.join(path, MARKER), "w", encoding="utf-8") as f:
        f.write(tool + "\n")
    return path


def remove_tree(path):
    """Removes a folder this script made; a link in its place is removed, not followed."""
    if os.path.islink(path) or os.path.isfile(path):
        os.remove(path)
    elif os.path.isdir(path):
        shutil.rmtree(path)


def to_windows(path):
    return "Z:" + path.replace("/", "\\")


def from_windows(path):
    return path[2:].replace("\\", "/") if path[:2].upper() == "Z:" else path


def program_paths(bin_dir, program_files, program_data, app_data, windows=False):
    """Where the plug-in of this build looks for the companion and its files, as ferrox-host prints
    them (--print-paths) for these folders: companion, command_file, configuration_report, state_file,
    pipe_name. With windows, the Windows build under Wine tells it, and the paths come back as this
    system's paths."""
    folders = (program_files, program_data, app_data)
    if windows:
        host = [WINE, os.path.join(bin_dir, "ferrox-host.exe")]
        folders = tuple(to_windows(f) for f in folders)
    else:
        host = [os.path.join(bin_dir, "ferrox-host")]
    result = subprocess.run(host + ["--print-paths", "--program-files", folders[0], "--program-data", folders[1],
                                    "--app-data", folders[2]],
                            stdin=subprocess.DEVNULL, capture_output=True, text=True, check=False)
    if result.returncode != 0:
        raise RuntimeError(f"ferrox-host --print-paths failed (exit {result.returncode}): {result.stderr.strip()}")
    paths = {}
    for line in result.stdout.splitlines():
        name, _, value = line.rstrip("\r").partition("=")
        paths[name] = from_windows(value) if windows and name != "pipe_name" else value
    return paths


def lay_out_sandbox(root, bin_dir, install_companion=True, windows=False):
    """A fresh sandbox in root (removed first: it is this script's own subfolder): ProgramData with the
    command file's folder, PROGRAMFILES with the companion simulator installed where the plug-in starts
    the companion, and APPDATA. Returns the three folders (under their variables' names) and the
    program_paths of them."""
    remove_tree(root)
    folders = {"PROGRAMFILES": os.path.join(root, "ProgramFiles"),
               "ProgramData": os.path.join(root, "ProgramData"), "APPDATA": os.path.join(root, "AppData")}
    for folder in folders.values():
        os.makedirs(folder)
    paths = program_paths(bin_dir, folders["PROGRAMFILES"], folders["ProgramData"], folders["APPDATA"], windows)
    os.makedirs(os.path.dirname(paths["command_file"]), exist_ok=True)
    if install_companion:
        os.makedirs(os.path.dirname(paths["companion"]), exist_ok=True)
        shutil.copy2(os.path.join(bin_dir, COMPANION_FILE), paths["companion"])
    return {**folders, **paths}


def sandbox_environment(sandbox, **extra):
    """This process's environment with the sandbox's folders and the given variables."""
    env = dict(os.environ)
    env.update({k: sandbox[k] for k in ("ProgramData", "PROGRAMFILES", "APPDATA")})
    env.update({k: str(v) for k, v in extra.items()})
    return env


def clock_surplus(ppm):
    """The blocks a companion whose clock is off by `ppm` sends per block of the device's rate, less one:
    the simulator shortens its period by ppm (1 ms * (1 - ppm / 1e6)), so +2 % sends 2.04 % more."""
    return 1.0 / (1.0 - float(ppm) * 1e-6) - 1.0


# Readings of a process from /proc.

def start_time(pid):
    """The process's start time, or None once all its threads have ended."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
    except OSError:
        return None
    if fields[0] not in ("Z", "X"):
        return fields[19]
    # A leader that has returned while its other threads still run shows as a zombie.
    try:
        for tid in os.listdir(f"/proc/{pid}/task"):
            with open(f"/proc/{pid}/task/{tid}/stat") as f:
                if f.read().rsplit(")", 1)[1].split()[0] not in ("Z", "X"):
                    return fields[19]
    except OSError:
        pass
    return None


def pids():
    """Every process id now running."""
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            yield int(entry)


def pids_running(paths):
    """Pids of the processes whose executable is one of paths."""
    wanted = {os.path.realpath(p) for p in paths}
    found = []
    for pid in pids() if wanted else ():
        try:
            if os.readlink(f"/proc/{pid}/exe") in wanted:
                found.append(pid)
        except OSError:
            continue
    return found


def pids_with_argument(paths):
    """Pids of the Wine processes started with one of paths (a Windows program's /proc exe is Wine's
    loader, but its command line keeps the program's path, in this system's or Windows' form)."""
    wanted = {os.path.basename(p).lower() for p in paths}
    folders = {os.path.dirname(os.path.realpath(p)).lower() for p in paths}
    found = []
    for pid in pids() if wanted else ():
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                args = f.read().decode("utf-8", "replace").split("\0")
        except OSError:
            continue
        for arg in args[:2]:
            path = from_windows(arg).replace("\\", "/").lower()
            if os.path.basename(path) in wanted and (os.path.dirname(path) in folders or "/" not in path):
                found.append(pid)
                break
    return found


def children(pid):
    """Pids of the processes whose parent is pid."""
    found = []
    for child in pids():
        try:
            with open(f"/proc/{child}/stat") as f:
                if int(f.read().rsplit(")", 1)[1].split()[1]) == pid:
                    found.append(child)
        except (OSError, ValueError, IndexError):
            continue
    return found


def resident_kb(pid):
    """The process's resident memory (VmRSS) in kB, or None when it has ended."""
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
    except (OSError, ValueError, IndexError):
        pass
    return None


def open_fds(pid):
    try:
        return len(os.listdir(f"/proc/{pid}/fd"))
    except OSError:
        return None


class ThreadWatch:
    """Per-thread processor time and context switches of one process, sampled while it runs.

    The counters are cumulative, so the last sample of each thread is its total up to then. With
    window_opener, the sample in which a thread of that name first appears (the capture thread, made
    at StartCapture) opens a window: window_run_ms(prefix) is then the run time the threads whose
    names start with prefix spent from that sample on, so a thread that lives the whole session (the
    console relay) counts only its share during capture."""

    def __init__(self, pid, window_opener=None):
        self.pid = pid
        self.threads = {}
        self.clock_ticks = os.sysconf("SC_CLK_TCK")
        self.window_opener = window_opener
        self.window_start = None  # tid -> run_ms when the window opened

    def sample(self):
        base = f"/proc/{self.pid}/task"
        try:
            tids = os.listdir(base)
        except OSError:
            return
        for tid in tids:
            entry = {}
            try:
                with open(f"{base}/{tid}/stat") as f:
                    stat = f.read()
                fields = stat[stat.rindex(")") + 2:].split()
                entry["name"] = stat[stat.index("(") + 1:stat.rindex(")")]
                entry["cpu_seconds"] = (int(fields[11]) + int(fields[12])) / self.clock_ticks
                with open(f"{base}/{tid}/status") as f:
                    for line in f:
                        key, _, value = line.partition(":")
                        if key in ("voluntary_ctxt_switches", "nonvoluntary_ctxt_switches"):
                            entry[key] = int(value)
                # Time runnable but waiting for a processor: the part of a late wake-up that is the
                # machine's load, not the thread's own work.
                with open(f"{base}/{tid}/schedstat") as f:
                    run_ns, wait_ns, slices = (int(x) for x in f.read().split()[:3])
                entry["run_ms"] = run_ns / 1e6
                entry["runqueue_wait_ms"] = wait_ns / 1e6
                entry["slices"] = slices
                entry["mean_runqueue_wait_us"] = wait_ns / 1e3 / slices if slices else 0.0
                with open(f"{base}/{tid}/sched") as f:
                    for line in f:
                        key, _, value = line.partition(":")
                        key = key.strip()
                        if key in ("se.sum_exec_runtime", "se.statistics.wait_sum", "se.statistics.wait_max",
                                   "nr_switches"):
                            entry[key.split(".")[-1]] = float(value)
            except (OSError, ValueError, IndexError):
                continue
            self.threads[tid] = entry
        if self.window_opener and self.window_start is None and any(
                t.get("name") == self.window_opener for t in self.threads.values()):
            self.window_start = {tid: t.get("run_ms", 0.0) for tid, t in self.threads.items()
                                 if t.get("name") != self.window_opener}

    def window_run_ms(self, prefix):
        """Run time (ms) of the threads named prefix... since the window opened, the main thread (which
        carries the program's name) left out; None if the window never opened."""
        if self.window_start is None:
            return None
        return sum(t.get("run_ms", 0.0) - self.window_start.get(tid, 0.0) for tid, t in self.threads.items()
                   if tid != str(self.pid) and t.get("name", "").startswith(prefix))

    def busiest(self, count=6):
        ranked = sorted(self.threads.values(), key=lambda t: t.get("run_ms", 0.0), reverse=True)
        return ranked[:count]


class Interrupted(Exception):
    pass


def raise_on_signals():
    """SIGINT, SIGTERM and SIGHUP raise Interrupted, so that a driver's finally ends its processes."""
    def on_signal(signum, _frame):
        raise Interrupted(signal.Signals(signum).name)
    for signum in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(signum, on_signal)


def ignore_signals():
    for signum in (signal.SIGINT, signal.SIGTERM):
        signal.signal(signum, signal.SIG_IGN)


class Processes:
    """The processes of this run, each ended by its pid: the ones started here, and the companions
    the plug-in starts, found by their executable path, which lies inside this run's own sandbox."""

    def __init__(self, wine=False):
        self.children = []
        self.companion_paths = []
        self.companions = {}  # pid -> start time, which tells a reused pid apart
        self.wine = wine  # the companions are Windows programs under Wine

    def start(self, args, **kwargs):
        child = subprocess.Popen(args, **kwargs)
        self.children.append(child)
        return child

    def end(self, child, grace=3.0):
        if child.poll() is not None:
            return
        if child.stdin:
            # The simulator ends by itself at the end of its standard input.
            try:
                child.stdin.close()
            except OSError:
                pass
            try:
                child.wait(timeout=grace)
                return
            except subprocess.TimeoutExpired:
                pass
        child.terminate()
        try:
            child.wait(timeout=grace)
        except subprocess.TimeoutExpired:
            child.kill()
            child.wait()

    def note_companions(self):
        """Remembers the companions running now, so they are ended even once their exe link is gone
        (a process whose main thread has returned has none, while its other threads still run)."""
        found = pids_with_argument(self.companion_paths) if self.wine else pids_running(self.companion_paths)
        for pid in found:
            self.companions.setdefault(pid, start_time(pid))

    def live_companions(self):
        self.note_companions()
        return [pid for pid, started in self.companions.items() if start_time(pid) == started]

    def reap(self, pid, grace=3.0):
        """Waits for a child started here that was sent a signal to end; others are not ours to reap."""
        for child in self.children:
            if child.pid == pid:
                try:
                    child.wait(timeout=grace)
                except subprocess.TimeoutExpired:
                    pass

    def kill(self, pid, started):
        """SIGKILL to pid, if it is still the process that started at `started`."""
        if start_time(pid) == started:
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass

    def end_companions(self):
        self.note_companions()
        for pid, started in self.companions.items():
            if start_time(pid) != started:
                continue
            try:
                os.kill(pid, signal.SIGTERM)
            except ProcessLookupError:
                continue
            deadline = time.monotonic() + 3.0
            while time.monotonic() < deadline and start_time(pid) == started:
                time.sleep(0.05)
            self.kill(pid, started)

    def end_all(self):
        for child in reversed(self.children):
            self.end(child)
        self.end_companions()


class Load:
    """N busy processes (stress-ng --cpu N), ended by their pids, the workers stress-ng forked included;
    with `policy` ("idle": SCHED_IDLE), the workers run under that scheduling policy."""

    def __init__(self, processes, count, log_path, policy=None):
        self.processes = processes
        self.count = count
        self.workers = {}  # pid -> start time
        self.log = open(log_path, "a")
        self.parent = processes.start(["stress-ng", "--cpu", str(count), *(["--sched", policy] if policy else [])],
                                      stdout=self.log, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
        deadline = time.monotonic() + 5.0
        while len(self.workers) < count and time.monotonic() < deadline and self.parent.poll() is None:
            time.sleep(0.1)
            for pid in children(self.parent.pid):
                self.workers.setdefault(pid, start_time(pid))
        if self.parent.poll() is not None:
            raise RuntimeError(f"stress-ng ended at once (exit {self.parent.returncode}); see {log_path}")

    def end(self):
        self.processes.end(self.parent)
        for pid, started in self.workers.items():
            self.processes.kill(pid, started)
        self.log.close()


def wait_for_wineserver(seconds=15.0):
    """Waits (bounded) for the prefix's wineserver to end by itself once its last process has gone."""
    try:
        subprocess.run([os.path.join(os.path.dirname(WINE), "wineserver"), "-w"], stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=seconds, check=False)
    except (OSError, subprocess.TimeoutExpired):
        pass


def main():
    parser = argparse.ArgumentParser(description="output folder and sandbox of a session script")
    commands = parser.add_subparsers(dest="command", required=True)
    output = commands.add_parser("output", help="claim the output folder and clear the tool's earlier output")
    output.add_argument("--tool", required=True, help="the script's name under scripts/")
    output.add_argument("--out", required=True)
    output.add_argument("--default", action="store_true", help="--out is the script's own place under out/")
    output.add_argument("--files", nargs="*", default=[], help="files the script writes there")
    output.add_argument("--folders", nargs="*", default=[], help="subfolders the script makes there")
    sandbox = commands.add_parser("sandbox", help="lay out a fresh sandbox in OUT/NAME")
    sandbox.add_argument("--out", required=True)
    sandbox.add_argument("--bin", required=True, help="folder with the built programs")
    sandbox.add_argument("--name", default="sandbox")
    sandbox.add_argument("--windows", action="store_true", help="the Windows build, under Wine")
    args = parser.parse_args()
    try:
        if args.command == "output":
            claim_output(args.out, args.tool, args.files, args.folders, args.default)
        else:
            lay_out_sandbox(os.path.join(os.path.abspath(args.out), args.name), args.bin, windows=args.windows)
    except OutputRefused as refused:
        print(refused, file=sys.stderr)
        return 2
    except (OSError, RuntimeError) as error:
        print(f"session_support: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
