#!/usr/bin/env python3
"""Builds linux-release, runs the capture benchmarks, and writes OUT/bench.json plus a short table.

Three runs, one after the other on the same machine, so their figures are read as ratios:
  ours       ferrox-host with the plug-in, the companion simulator installed as the companion;
  reference  ferrox-reference-host (the first design's loops) fed by the simulator started here;
  micro      the Google Benchmark micro-benchmarks.
Both captures are run and measured by the same recorder (tools/common), so each figure of the one
is the same measure as the other's.

Every process this script starts is ended by its pid when the script ends, also on an error, Ctrl-C
or SIGTERM. The companion that the plug-in starts is found by its executable path, which lies inside
this run's own sandbox, so nothing outside this run is touched.
"""

import argparse
import json
import os
import re
import shutil
import socket
import subprocess
import sys
import time

import session_support as support
from session_support import Interrupted, Processes, ThreadWatch

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PRESET = "linux-release"
TARGETS = ("FerroxEMG", "ferrox-host", "companion-sim", "ferrox-reference-host", "ferrox-micro-bench")
# What a run writes into its output folder, and so what the next run may remove.
OUTPUT_FILES = ("bench.json", "ours-summary.json", "ours-console.log", "reference-summary.json",
                "reference-console.log", "reference-sim.log", "micro.json", "micro-console.log")
OUTPUT_FOLDERS = ("ours-sandbox", "reference-sandbox")

FIXED_PORT = 35692
RATE_TOLERANCE = 0.001        # frames per second within 0.1 % of the rate
LATENESS_P99_MS = 0.5
LATENCY_P99_MS = 3.0
LATENCY_GROWTH_MS = 0.5       # last tenth's median minus the first tenth's
CPU_SHARE = 0.03              # of one core
MEMORY_GROWTH_BYTES = 256 * 1024
SIM_SETTINGS = {"FERROX_SIM_SENSORS": 32, "FERROX_SIM_MODE": "EMG plus Accelerometer", "FERROX_SIM_LATENCY_STAMP": 1}


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
    sandbox = support.lay_out_sandbox(os.path.join(out, "ours-sandbox"), args.bin)
    processes.companion_paths.append(sandbox["companion"])

    wait_for_fixed_port(args.port_wait)
    summary_path = os.path.join(out, "ours-summary.json")
    host = [os.path.join(args.bin, "ferrox-host"), "--plugin", os.path.join(args.bin, "libFerroxEMG.so"),
            "--configuration", "1", "--seconds", str(args.seconds), "--latency-stamp",
            "--summary", summary_path]
    code, watch = run_watched(processes, host, os.path.join(out, "ours-console.log"), args.seconds + 120,
                              env=support.sandbox_environment(sandbox, **SIM_SETTINGS))
    # The plug-in's unload ends its companion; one left over (a crashed host) is ended here.
    leftovers = processes.live_companions()
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
    root = os.path.join(out, "reference-sandbox")
    sandbox = support.lay_out_sandbox(root, args.bin, install_companion=False)
    # Another name than the companion's, so no session's unload step (which ends the companion by
    # name) can end this stream halfway.
    sim = os.path.join(root, "reference-sim")
    shutil.copy2(os.path.join(args.bin, support.COMPANION_FILE), sim)
    with open(sandbox["command_file"], "w") as f:
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
                                        env=support.sandbox_environment(sandbox, FERROX_SIM_PORT=port, **SIM_SETTINGS))
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
    """The table: each figure read the same way from both runs, against its target."""
    rate = ours.get("rate") or 1000.0
    period = 1000.0 / rate

    def timing(*keys):
        def read(run):
            value = run.get("timing") or {}
            for key in keys:
                value = value.get(key) if isinstance(value, dict) else None
            return value
        return read

    def growth(first, last):
        return lambda run: None if first(run) is None or last(run) is None else last(run) - first(run)

    def scaled(read, factor):
        return lambda run: None if read(run) is None else read(run) * factor

    latency_growth = growth(timing("stream_latency", "first_tenth_median_ms"),
                            timing("stream_latency", "last_tenth_median_ms"))
    memory_growth = growth(timing("resident_bytes_first_tenth"), timing("resident_bytes_last"))
    rows = [  # (figure, how to read it, target text, target value, how a value meets it)
        ("frames per second", lambda run: run.get("frames_per_second"), f"{rate:g} ±0.1%", rate,
         lambda v: abs(v / rate - 1.0) <= RATE_TOLERANCE),
        ("missing frames", lambda run: run.get("missing_frames"), "0", None, lambda v: v == 0),
        ("tick lateness median ms", timing("tick_lateness", "median_ms"), "-", None, None),
        ("tick lateness p99 ms", timing("tick_lateness", "p99_ms"), f"< {LATENESS_P99_MS}", LATENESS_P99_MS,
         lambda v: v < LATENESS_P99_MS),
        ("tick lateness worst ms", timing("tick_lateness", "worst_ms"), f"< {period:g} (no tick skipped)", period,
         lambda v: v < period),
        ("stream latency median ms", timing("stream_latency", "median_ms"), "-", None, None),
        ("stream latency p99 ms", timing("stream_latency", "p99_ms"), f"< {LATENCY_P99_MS}", LATENCY_P99_MS,
         lambda v: v < LATENCY_P99_MS),
        ("stream latency worst ms", timing("stream_latency", "worst_ms"), "-", None, None),
        ("stream latency growth ms", latency_growth, f"< {LATENCY_GROWTH_MS}", LATENCY_GROWTH_MS,
         lambda v: v < LATENCY_GROWTH_MS),
        ("host cpu % of one core", scaled(timing("cpu_seconds_per_second"), 100.0), f"< {CPU_SHARE * 100:g}",
         CPU_SHARE * 100, lambda v: v < CPU_SHARE * 100),
        ("peak resident MiB", scaled(timing("peak_resident_bytes"), 1.0 / (1024 * 1024)), "-", None, None),
        ("resident growth KiB", scaled(memory_growth, 1.0 / 1024), f"< {MEMORY_GROWTH_BYTES // 1024}",
         MEMORY_GROWTH_BYTES / 1024, lambda v: v < MEMORY_GROWTH_BYTES / 1024),
    ]
    table = []
    for name, read, target_text, target, meets in rows:
        mine, ref = read(ours), read(reference)
        row = {"figure": name, "ours": mine, "reference": ref, "target": target_text}
        if mine is not None and target:
            row["ours_over_target"] = mine / target
        if mine is not None and ref:
            row["ours_over_reference"] = mine / ref
        if mine is not None and meets is not None:
            row["met"] = bool(meets(mine))
        table.append(row)
    return table


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
    parser.add_argument("--seconds", type=float, default=30.0, help="capture time of each run")
    parser.add_argument("--out", help="output folder (bench.json, the logs and the sandboxes); default out/bench")
    parser.add_argument("--micro-min-time", type=float, default=0.05, help="seconds per micro-benchmark")
    parser.add_argument("--port-wait", type=float, default=300.0,
                        help=f"seconds to wait for port {FIXED_PORT} to be free before our run")
    args = parser.parse_args()
    if not args.seconds > 0:
        parser.error("--seconds must be above 0")

    try:
        out = support.claim_output(args.out or os.path.join(ROOT, "out", "bench"), "bench.sh", OUTPUT_FILES,
                                   OUTPUT_FOLDERS, default=args.out is None)
    except support.OutputRefused as refused:
        print(refused, file=sys.stderr)
        return 2
    if subprocess.run(["bash", os.path.join(ROOT, "scripts", "build.sh"), PRESET, *TARGETS], cwd=ROOT).returncode:
        return 1
    args.bin = os.path.join(ROOT, "build", PRESET, "bin")
    bench_json = os.path.join(out, "bench.json")
    support.raise_on_signals()

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
        support.ignore_signals()
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
