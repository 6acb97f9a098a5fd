#!/usr/bin/env python3
"""Runs the capture benchmarks and writes out/bench/bench.json plus a short table.

Three runs, one after the other on the same machine, so their figures are read as ratios:
  ours       ferrox-host with the plug-in, the companion simulator installed as the companion;
  reference  ferrox-reference-host (the first design's loops) fed by the simulator started here;
  micro      the Google Benchmark micro-benchmarks.

Every process this script starts is ended by its pid when the script ends, also on an error, Ctrl-C
or SIGTERM. The companion that the plug-in starts is found by its executable path, which lies inside
this run's own sandbox, so nothing outside this run is touched.
"""

import argparse
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import time

FIXED_PORT = 35692
RATE_TOLERANCE = 0.001        # frames per second within 0.1 % of the rate
LATENESS_P99_MS = 0.5
LATENCY_P99_MS = 3.0
LATENCY_GROWTH_MS = 0.5       # last tenth's median minus the first tenth's
CPU_SHARE = 0.03              # of one core
MEMORY_GROWTH_BYTES = 256 * 1024
SIM_MODE = "EMG plus Accelerometer"


class Interrupted(Exception):
    pass


def on_signal(signum, _frame):
    raise Interrupted(signal.Signals(signum).name)


class Processes:
    """The processes of this run, each ended by pid."""

    def __init__(self):
        self.children = []
        self.companion_paths = []
        self.companions = {}  # pid -> start time, which tells a reused pid apart

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
        for pid in pids_running(self.companion_paths):
            self.companions.setdefault(pid, start_time(pid))

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
            if start_time(pid) == started:
                try:
                    os.kill(pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass

    def end_all(self):
        for child in reversed(self.children):
            self.end(child)
        self.end_companions()


def pids_running(paths):
    """Pids of the processes whose executable is one of paths."""
    wanted = {os.path.realpath(p) for p in paths}
    found = []
    if not wanted:
        return found
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            exe = os.readlink(f"/proc/{entry}/exe")
        except OSError:
            continue
        if exe in wanted:
            found.append(int(entry))
    return found


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


def port_listening(port):
    """True when some process listens on this TCP port (IPv4 or IPv6, any address)."""
    hex_port = f"{port:04X}"
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        try:
            with open(table) as f:
                next(f)
                for line in f:
                    fields = line.split()
                    if fields[1].rsplit(":", 1)[1] == hex_port and fields[3] == "0A":
                        return True
        except OSError:
            continue
    return False


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def make_sandbox(root):
    shutil.rmtree(root, ignore_errors=True)
    program_data = os.path.join(root, "ProgramData")
    command_dir = os.path.join(program_data, "Quillmark", "QuillmarkFerrox")
    program_files = os.path.join(root, "ProgramFiles")
    app_data = os.path.join(root, "AppData")
    for d in (command_dir, program_files, app_data):
        os.makedirs(d)
    return {"ProgramData": program_data, "PROGRAMFILES": program_files, "APPDATA": app_data,
            "command_dir": command_dir}


def sim_environment(sandbox, port=None):
    env = dict(os.environ)
    env.update({"ProgramData": sandbox["ProgramData"], "PROGRAMFILES": sandbox["PROGRAMFILES"],
                "APPDATA": sandbox["APPDATA"], "FERROX_SIM_SENSORS": "32", "FERROX_SIM_MODE": SIM_MODE,
                "FERROX_SIM_LATENCY_STAMP": "1"})
    if port is not None:
        env["FERROX_SIM_PORT"] = str(port)
    return env


class ThreadWatch:
    """Per-thread processor time and context switches of one process, sampled while it runs.

    The counters are cumulative, so the last sample of each thread is its total up to then."""

    def __init__(self, pid):
        self.pid = pid
        self.threads = {}
        self.clock_ticks = os.sysconf("SC_CLK_TCK")

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

    def busiest(self, count=6):
        ranked = sorted(self.threads.values(), key=lambda t: t.get("run_ms", 0.0), reverse=True)
        return ranked[:count]


def run_watched(processes, args, log_path, timeout, **kwargs):
    """Runs args to its end, sampling its threads; returns (exit code, ThreadWatch)."""
    with open(log_path, "w") as log:
        child = processes.start(args, stdout=log, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL, **kwargs)
        watch = ThreadWatch(child.pid)
        deadline = time.monotonic() + timeout
        while child.poll() is None:
            if time.monotonic() > deadline:
                processes.end(child)
                raise RuntimeError(f"{os.path.basename(args[0])} did not end within {timeout:.0f} s")
            watch.sample()
            processes.note_companions()
            time.sleep(0.25)
        return child.returncode, watch


def load_json(path):
    try:
        with open(path) as f:
            return json.load(f)
    except (OSError, ValueError):
        return None


CAPTURE_ENDED = re.compile(
    r"Capture ended: (\d+) frames in (\d+) ticks at ([\d.]+) Hz, (\d+) late ticks \(worst ([\d.]+) ms\), "
    r"(\d+) frames skipped, (\d+) frames refused")


def capture_statistics(summary):
    for entry in summary.get("log", []):
        m = CAPTURE_ENDED.search(entry.get("text", ""))
        if m:
            keys = ("frames", "ticks", "rate", "late_ticks", "worst_lateness_ms", "skipped_frames",
                    "refused_frames")
            return {"line": entry["text"],
                    **{k: (float(v) if "." in v else int(v)) for k, v in zip(keys, m.groups())}}
    return None


def wait_for_fixed_port(limit):
    deadline = time.monotonic() + limit
    announced = False
    while port_listening(FIXED_PORT):
        if time.monotonic() > deadline:
            raise RuntimeError(f"port {FIXED_PORT} stayed in use for {limit:.0f} s; another session runs")
        if not announced:
            print(f"   port {FIXED_PORT} is in use by another session; waiting", flush=True)
            announced = True
        time.sleep(1.0)


def run_ours(args, processes, out):
    sandbox = make_sandbox(os.path.join(out, "ours-sandbox"))
    companion_dir = os.path.join(sandbox["PROGRAMFILES"], "Quillmark", "Harbex", "LunoxaFerrox", "Lunoxa")
    os.makedirs(companion_dir)
    companion = os.path.join(companion_dir, "SabletBase.exe")
    shutil.copy2(os.path.join(args.bin, "SabletBase.exe"), companion)
    processes.companion_paths.append(companion)

    wait_for_fixed_port(args.port_wait)
    summary_path = os.path.join(out, "ours-summary.json")
    host = [os.path.join(args.bin, "ferrox-host"), "--plugin", os.path.join(args.bin, "libFerroxEMG.so"),
            "--configuration", "1", "--seconds", str(args.seconds), "--latency-stamp",
            "--summary", summary_path]
    code, watch = run_watched(processes, host, os.path.join(out, "ours-console.log"), args.seconds + 120,
                              env=sim_environment(sandbox))
    # The plug-in's unload ends its companion; one left over (a crashed host) is ended here.
    processes.note_companions()
    leftovers = [pid for pid, started in processes.companions.items() if start_time(pid) == started]
    processes.end_companions()
    summary = load_json(summary_path)
    if summary is None:
        raise RuntimeError(f"ferrox-host wrote no summary (exit {code}); see {out}/ours-console.log")
    result = {"exit_code": code, **capture_figures(summary), "device_statistics": capture_statistics(summary),
              "companion_left_after_unload": len(leftovers), "threads": watch.busiest()}
    rate = (summary.get("device") or {}).get("rate")
    if rate:
        result["rate"] = rate
    if code != 0:
        result["errors"] = summary.get("errors", [])
    return result


def capture_figures(summary):
    """The figures both hosts measure with the same recorder, from their summaries' "capture"."""
    capture = summary.get("capture") or {}
    return {"frames": capture.get("frames"), "seconds": capture.get("seconds"),
            "frames_per_second": capture.get("frames_per_second"),
            "missing_frames": capture.get("missing_frames"), "timing": dict(capture.get("timing") or {})}


def run_reference(args, processes, out):
    sandbox = make_sandbox(os.path.join(out, "reference-sandbox"))
    # Another name than the companion's, so no session's unload step (which ends the companion by
    # name) can end this stream halfway.
    sim = os.path.join(out, "reference-sandbox", "reference-sim")
    shutil.copy2(os.path.join(args.bin, "SabletBase.exe"), sim)
    with open(os.path.join(sandbox["command_dir"], "pipe_input1.txt"), "w") as f:
        f.write("AppRunMode\n")

    port = free_port()
    summary_path = os.path.join(out, "reference-summary.json")
    host = [os.path.join(args.bin, "ferrox-reference-host"), "--port", str(port), "--seconds", str(args.seconds),
            "--channels", "128", "--stamp-channel", "127", "--summary", summary_path]
    sim_log = open(os.path.join(out, "reference-sim.log"), "w")
    try:
        with open(os.path.join(out, "reference-console.log"), "w") as log:
            reference = processes.start(host, stdout=log, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
            watch = ThreadWatch(reference.pid)
            simulator = processes.start([sim], stdin=subprocess.PIPE, stdout=sim_log, stderr=subprocess.STDOUT,
                                        env=sim_environment(sandbox, port))
            deadline = time.monotonic() + args.seconds + 60
            sim_ended_early = None
            while reference.poll() is None:
                if time.monotonic() > deadline:
                    raise RuntimeError("ferrox-reference-host did not end in time")
                if sim_ended_early is None and simulator.poll() is not None:
                    sim_ended_early = simulator.returncode
                watch.sample()
                time.sleep(0.25)
        processes.end(simulator)
    finally:
        sim_log.close()
    summary = load_json(summary_path)
    if reference.returncode != 0 or summary is None:
        raise RuntimeError(f"ferrox-reference-host failed (exit {reference.returncode}); "
                           f"see {out}/reference-console.log")
    result = {**capture_figures(summary), "threads": watch.busiest()}
    if sim_ended_early is not None:
        result["simulator_ended_early"] = sim_ended_early
    return result


def run_micro(args, processes, out):
    json_path = os.path.join(out, "micro.json")
    cmd = [os.path.join(args.bin, "ferrox-micro-bench"), f"--benchmark_min_time={args.micro_min_time}",
           f"--benchmark_out={json_path}", "--benchmark_out_format=json"]
    code, _ = run_watched(processes, cmd, os.path.join(out, "micro-console.log"), 600)
    data = load_json(json_path)
    if code != 0 or data is None:
        raise RuntimeError(f"ferrox-micro-bench failed (exit {code}); see {out}/micro-console.log")
    return [{k: b.get(k) for k in ("name", "real_time", "cpu_time", "time_unit", "iterations", "bytes_per_second",
                                   "items_per_second") if k in b}
            for b in data.get("benchmarks", [])]


def figures(ours, reference):
    """The table: (figure, ours, reference, target text, target value, how ours meets it)."""
    t = ours.get("timing", {})
    r = reference.get("timing", {})
    rate = ours.get("rate") or 1000.0

    def dist(source, name, key):
        return (source.get(name) or {}).get(key)

    def growth(source, name):
        d = source.get(name) or {}
        if d.get("last_tenth_median_ms") is None or d.get("first_tenth_median_ms") is None:
            return None
        return d["last_tenth_median_ms"] - d["first_tenth_median_ms"]

    def memory_growth(source):
        if source.get("resident_bytes_last") is None or source.get("resident_bytes_first_tenth") is None:
            return None
        return source["resident_bytes_last"] - source["resident_bytes_first_tenth"]

    period = 1000.0 / rate
    rows = [
        ("frames per second", ours.get("frames_per_second"), reference.get("frames_per_second"),
         f"{rate:g} ±0.1%", rate, lambda v: abs(v / rate - 1.0) <= RATE_TOLERANCE),
        ("missing frames", ours.get("missing_frames"), reference.get("missing_frames"), "0", None,
         lambda v: v == 0),
        ("tick lateness median ms", dist(t, "tick_lateness", "median_ms"),
         dist(r, "tick_lateness", "median_ms"), "-", None, None),
        ("tick lateness p99 ms", dist(t, "tick_lateness", "p99_ms"), dist(r, "tick_lateness", "p99_ms"),
         f"< {LATENESS_P99_MS}", LATENESS_P99_MS, lambda v: v < LATENESS_P99_MS),
        ("tick lateness worst ms", dist(t, "tick_lateness", "worst_ms"),
         dist(r, "tick_lateness", "worst_ms"), f"< {period:g} (no tick skipped)", period,
         lambda v: v < period),
        ("stream latency median ms", dist(t, "stream_latency", "median_ms"),
         dist(r, "stream_latency", "median_ms"), "-", None, None),
        ("stream latency p99 ms", dist(t, "stream_latency", "p99_ms"), dist(r, "stream_latency", "p99_ms"),
         f"< {LATENCY_P99_MS}", LATENCY_P99_MS, lambda v: v < LATENCY_P99_MS),
        ("stream latency worst ms", dist(t, "stream_latency", "worst_ms"),
         dist(r, "stream_latency", "worst_ms"), "-", None, None),
        ("stream latency growth ms", growth(t, "stream_latency"), growth(r, "stream_latency"),
         f"< {LATENCY_GROWTH_MS}", LATENCY_GROWTH_MS, lambda v: v < LATENCY_GROWTH_MS),
        ("host cpu % of one core", _percent(t.get("cpu_seconds_per_second")),
         _percent(r.get("cpu_seconds_per_second")), f"< {CPU_SHARE * 100:g}", CPU_SHARE * 100,
         lambda v: v < CPU_SHARE * 100),
        ("peak resident MiB", _mib(t.get("peak_resident_bytes")), _mib(r.get("peak_resident_bytes")),
         "-", None, None),
        ("resident growth KiB", _kib(memory_growth(t)), _kib(memory_growth(r)),
         f"< {MEMORY_GROWTH_BYTES // 1024}", MEMORY_GROWTH_BYTES / 1024, lambda v: v < MEMORY_GROWTH_BYTES / 1024),
    ]
    table = []
    for name, mine, ref, target_text, target, meets in rows:
        row = {"figure": name, "ours": mine, "reference": ref, "target": target_text}
        if mine is not None and target:
            row["ours_over_target"] = mine / target
        if mine is not None and ref:
            row["ours_over_reference"] = mine / ref
        if mine is not None and meets is not None:
            row["met"] = bool(meets(mine))
        table.append(row)
    return table


def _percent(v):
    return None if v is None else v * 100.0


def _mib(v):
    return None if v is None else v / (1024.0 * 1024.0)


def _kib(v):
    return None if v is None else v / 1024.0


def _fmt(v):
    if v is None:
        return "n/a"
    if isinstance(v, int):
        return str(v)
    return f"{v:.4g}" if abs(v) < 1e5 else f"{v:.0f}"


def print_table(table):
    header = ("figure", "ours", "reference", "target", "ours/target", "ours/ref", "met")
    rows = [header] + [(r["figure"], _fmt(r["ours"]), _fmt(r["reference"]), r["target"],
                        _fmt(r.get("ours_over_target")) if "ours_over_target" in r else "-",
                        _fmt(r.get("ours_over_reference")) if "ours_over_reference" in r else "-",
                        {True: "yes", False: "NO"}.get(r.get("met"), "-")) for r in table]
    widths = [max(len(row[i]) for row in rows) for i in range(len(header))]
    for row in rows:
        print("  " + "  ".join(cell.ljust(widths[i]) if i == 0 else cell.rjust(widths[i])
                               for i, cell in enumerate(row)))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--bin", required=True, help="folder with the built programs")
    parser.add_argument("--out", required=True, help="output folder (bench.json and the logs)")
    parser.add_argument("--seconds", type=float, default=30.0, help="capture time of each run")
    parser.add_argument("--micro-min-time", type=float, default=0.05, help="seconds per micro-benchmark")
    parser.add_argument("--port-wait", type=float, default=300.0,
                        help=f"seconds to wait for port {FIXED_PORT} to be free before our run")
    args = parser.parse_args()
    if not args.seconds > 0:
        parser.error("--seconds must be above 0")

    out = os.path.abspath(args.out)
    os.makedirs(out, exist_ok=True)
    bench_json = os.path.join(out, "bench.json")
    if os.path.exists(bench_json):
        os.remove(bench_json)
    for signum in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(signum, on_signal)

    processes = Processes()
    report = {"seconds": args.seconds, "started": time.strftime("%Y-%m-%dT%H:%M:%S%z"),
              "processors": os.cpu_count(), "load_average_before": list(os.getloadavg())}
    failure = None
    try:
        print(f"== ours: ferrox-host with the plug-in, {args.seconds:g} s", flush=True)
        report["ours"] = run_ours(args, processes, out)
        print(f"== reference loops: ferrox-reference-host, {args.seconds:g} s", flush=True)
        report["reference"] = run_reference(args, processes, out)
        print("== micro-benchmarks", flush=True)
        report["micro"] = run_micro(args, processes, out)
    except Interrupted as e:
        failure = f"interrupted by {e}"
    except (RuntimeError, OSError) as e:
        failure = str(e)
    finally:
        signal.signal(signal.SIGINT, signal.SIG_IGN)
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
        processes.end_all()

    report["load_average_after"] = list(os.getloadavg())
    if "ours" in report and "reference" in report:
        report["table"] = figures(report["ours"], report["reference"])
    if failure:
        report["failure"] = failure
    with open(bench_json, "w") as f:
        json.dump(report, f, indent=2)
        f.write("\n")

    if "table" in report:
        print()
        print_table(report["table"])
        stats = (report["ours"].get("device_statistics") or {}).get("line")
        if stats:
            print(f"\n  device: {stats}")
    for b in report.get("micro", []):
        print(f"  micro {b['name']}: {b['real_time']:.4g} {b['time_unit']}")
    print(f"\n  all figures: {bench_json}")
    if failure:
        print(f"bench: {failure}", file=sys.stderr)
        return 1
    if report["ours"].get("exit_code"):
        print(f"bench: ferrox-host exited with {report['ours']['exit_code']}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
