#!/usr/bin/env python3
"""Builds linux-release, runs the capture benchmarks, and writes OUT/bench.json plus short tables.

All captures run one after the other on the same machine, so their figures are read as ratios. Each
stream of the companion simulator (numbered blocks, send-time stamp) is captured by:
  ours every    ferrox-host with the plug-in, "Delivery" every sample (the default), the simulator
                installed as the companion;
  ours newest   the same with "Delivery" newest sample;
  reference     ferrox-reference-host (the first design's loops) fed by the simulator started here;
and with --load N, beside N busy processes, the first stream once more by
  ours no prio  ours every with the capture thread's priority request turned off;
then the first stream once more by ours every with the capture paced on a model of Windows' sleep (a
1 ms and a 15.625 ms timer tick, FERROX_SLEEP_MODEL), beside the fine sleep; then the Google Benchmark
micro-benchmarks. Both hosts run and measure a capture with the same
recorder (tools/common), so each figure of the one is the same measure as the other's.

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

# The simulator's streams: key -> (label, settings beside SIM_SETTINGS).
STREAMS = {
    "paced": ("paced", {}),
    "nagle": ("Nagle on", {"FERROX_SIM_NODELAY": 0}),
    "bursts": ("bursts 10/10 ms", {"FERROX_SIM_BURST": 10}),
    "fast": ("+500 ppm", {"FERROX_SIM_CLOCK_PPM": "+500"}),
    "slow": ("-500 ppm", {"FERROX_SIM_CLOCK_PPM": "-500"}),
    "fast2": ("+2 %", {"FERROX_SIM_CLOCK_PPM": "+20000"}),
    "slow2": ("-2 %", {"FERROX_SIM_CLOCK_PPM": "-20000"}),
    "fast4": ("+4 %", {"FERROX_SIM_CLOCK_PPM": "+40000"}),
    "slow4": ("-4 %", {"FERROX_SIM_CLOCK_PPM": "-40000"}),
}
BURST_PERIOD_MS = 10.0
DRIFT_PPM = {"fast": 500, "slow": -500, "fast2": 20000, "slow2": -20000, "fast4": 40000, "slow4": -40000}
DRIFT_LATENCY_DRIFT_MS = 3.0  # last tenth's latency median against the second after the first
# The ways a stream is captured: key -> (label, host, ferrox-host's --delivery, capture priority).
VARIANTS = {
    "every": ("ours every", "ours", "every", True),
    "newest": ("ours newest", "ours", "newest", True),
    "reference": ("reference", "reference", None, None),
    "noprio": ("ours no prio", "ours", "every", False),
}


def run_id(stream, variant):
    return f"{stream}-{variant}"


# What a run writes into its output folder, and so what the next run may remove (the names of earlier
# versions of this script included).
OUTPUT_FILES = ("bench.json", "micro.json", "micro-console.log", "load.log", "ours-summary.json",
                "ours-console.log", "reference-summary.json", "reference-console.log", "reference-sim.log") + tuple(
    f"{run_id(s, v)}-{suffix}" for s in STREAMS for v in VARIANTS
    for suffix in ("summary.json", "console.log", "sim.log"))
OUTPUT_FOLDERS = ("ours-sandbox", "reference-sandbox")

# The capture paced on models of Windows' sleep (platform/PacingTimer.h): key -> label. "fine" is the
# system's own sleep, the run of the first stream by ours every.
SLEEP_MODELS = {"fine": "fine sleep", "tick1ms": "1 ms tick", "tick15ms": "15.625 ms tick"}


def sleep_run_id(stream, model):
    return f"{run_id(stream, 'every')}-sleep-{model}"


OUTPUT_FILES += tuple(f"{sleep_run_id(s, m)}-{suffix}" for s in STREAMS for m in SLEEP_MODELS
                      for suffix in ("summary.json", "console.log"))

FIXED_PORT = 35692
RATE_TOLERANCE = 0.001        # frames per second within 0.1 % of the rate
LATENESS_P99_MS = {False: 0.2, True: 0.5}     # idle, under load
LATENESS_WORST_MS = {False: 1.0, True: 2.0}
LATENCY_P99_MS = {False: 2.5, True: 3.0}      # paced stream
LATENCY_GROWTH_MS = 0.5       # last tenth's median minus the first tenth's
CPU_SHARE = 0.02              # the whole ferrox-host process, of one core
PLUGIN_CPU_SHARE = 0.01       # the plug-in's own threads (named ferrox-*), of one core
MEMORY_GROWTH_BYTES = 64 * 1024
SLIPS_SPARE = 3
SIM_SETTINGS = {"FERROX_SIM_SENSORS": 32, "FERROX_SIM_MODE": "EMG plus Accelerometer", "FERROX_SIM_LATENCY_STAMP": 1,
                "FERROX_SIM_SEQUENCE": 1}
STAMP_CHANNEL = 127
SEQUENCE_CHANNEL = 126
THREAD_PREFIX = "ferrox-"
CAPTURE_THREAD = {"ours": "ferrox-capture", "reference": "ferrox-ref-capt"}


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


def run_watched(processes, args, log_path, timeout, window_opener=None, **kwargs):
    """Runs args to its end, sampling its threads; returns (exit code, ThreadWatch)."""
    with open(log_path, "w") as log:
        child = processes.start(args, stdout=log, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL, **kwargs)
        watch = ThreadWatch(child.pid, window_opener)
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
    r"(\d+) frames skipped, (\d+) frames refused by the host, (\d+) stale frames in (\d+) stalls; "
    r"([\w-]+) delivery, (\d+) blocks received, (\d+) delivered, (\d+) repeated, (\d+) dropped, (\d+) slips, "
    r"playout depth (\d+) median, (\d+) largest")
CAPTURE_ENDED_KEYS = ("frames", "ticks", "rate", "late_ticks", "worst_lateness_ms", "skipped_frames",
                      "refused_frames", "stale_frames", "stalls", "delivery", "blocks_received", "blocks_delivered",
                      "blocks_repeated", "blocks_dropped", "slips", "depth_median", "depth_largest")
PRIORITY = re.compile(r"Capture thread priority: (.*)$")


def log_lines(summary):
    return [entry.get("text", "") for entry in summary.get("log", [])]


def capture_statistics(summary):
    """The device's own "Capture ended" counts, from its log."""
    for text in log_lines(summary):
        m = CAPTURE_ENDED.search(text)
        if m:
            values = {}
            for key, v in zip(CAPTURE_ENDED_KEYS, m.groups()):
                values[key] = v if key == "delivery" else (float(v) if "." in v else int(v))
            return {"line": text, **values}
    return None


def capture_priority(summary):
    for text in log_lines(summary):
        m = PRIORITY.search(text)
        if m:
            return m.group(1).split("; paced by ")[0]
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


def capture_figures(summary, watch):
    """The figures both hosts measure with the same recorder, from their summaries' "capture", and the
    processor time of the device's own threads (named ferrox-*) during capture, as a share of one core."""
    capture = summary.get("capture") or {}
    result = {"frames": capture.get("frames"), "seconds": capture.get("seconds"),
              "frames_per_second": capture.get("frames_per_second"),
              "missing_frames": capture.get("missing_frames"), "timing": dict(capture.get("timing") or {}),
              "threads": watch.busiest()}
    device_ms = watch.window_run_ms(THREAD_PREFIX)
    if device_ms is not None and capture.get("seconds"):
        result["device_threads_cpu_seconds_per_second"] = device_ms / 1000.0 / capture["seconds"]
    return result


def run_ours(args, processes, out, stream, variant, sleep_model=None):
    _, _, delivery, priority = VARIANTS[variant]
    name = run_id(stream, variant) if sleep_model is None else sleep_run_id(stream, sleep_model)
    sandbox = support.lay_out_sandbox(os.path.join(out, "ours-sandbox"), args.bin)
    if sandbox["companion"] not in processes.companion_paths:
        processes.companion_paths.append(sandbox["companion"])

    wait_for_fixed_port(args.port_wait)
    summary_path = os.path.join(out, f"{name}-summary.json")
    host = [os.path.join(args.bin, "ferrox-host"), "--plugin", os.path.join(args.bin, "libFerroxEMG.so"),
            "--configuration", "1", "--delivery", delivery, "--seconds", str(args.seconds), "--latency-stamp",
            "--summary", summary_path]
    settings = {**SIM_SETTINGS, **STREAMS[stream][1]}
    if not priority:
        settings["FERROX_CAPTURE_PRIORITY"] = 0
    if sleep_model is not None:
        settings["FERROX_SLEEP_MODEL"] = sleep_model
    code, watch = run_watched(processes, host, os.path.join(out, f"{name}-console.log"), args.seconds + 120,
                              window_opener=CAPTURE_THREAD["ours"],
                              env=support.sandbox_environment(sandbox, **settings))
    # The plug-in's unload ends its companion; one left over (a crashed host) is ended here.
    leftovers = processes.live_companions()
    processes.end_companions()
    summary = load_json(summary_path)
    if summary is None:
        raise RuntimeError(f"ferrox-host wrote no summary (exit {code}); see {out}/{name}-console.log")
    result = {"exit_code": code, **capture_figures(summary, watch), "device_statistics": capture_statistics(summary),
              "capture_priority": capture_priority(summary), "companion_left_after_unload": len(leftovers)}
    rate = (summary.get("device") or {}).get("rate")
    if rate:
        result["rate"] = rate
    if code != 0:
        result["errors"] = summary.get("errors", [])
    return result


def run_reference(args, processes, out, stream):
    name = run_id(stream, "reference")
    root = os.path.join(out, "reference-sandbox")
    sandbox = support.lay_out_sandbox(root, args.bin, install_companion=False)
    # Another name than the companion's, so no session's unload step (which ends the companion by
    # name) can end this stream halfway.
    sim = os.path.join(root, "reference-sim")
    shutil.copy2(os.path.join(args.bin, support.COMPANION_FILE), sim)
    with open(sandbox["command_file"], "w") as f:
        f.write("AppRunMode\n")

    port = free_port()
    summary_path = os.path.join(out, f"{name}-summary.json")
    host = [os.path.join(args.bin, "ferrox-reference-host"), "--port", str(port), "--seconds", str(args.seconds),
            "--channels", "128", "--stamp-channel", str(STAMP_CHANNEL), "--sequence-channel", str(SEQUENCE_CHANNEL),
            "--summary", summary_path]
    settings = {**SIM_SETTINGS, **STREAMS[stream][1], "FERROX_SIM_PORT": port}
    sim_log = open(os.path.join(out, f"{name}-sim.log"), "w")
    try:
        with open(os.path.join(out, f"{name}-console.log"), "w") as log:
            reference = processes.start(host, stdout=log, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
            watch = ThreadWatch(reference.pid, CAPTURE_THREAD["reference"])
            simulator = processes.start([sim], stdin=subprocess.PIPE, stdout=sim_log, stderr=subprocess.STDOUT,
                                        env=support.sandbox_environment(sandbox, **settings))
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
                           f"see {out}/{name}-console.log")
    result = capture_figures(summary, watch)
    if sim_ended_early is not None:
        result["simulator_ended_early"] = sim_ended_early
    return result


def wake_floor(micro):
    """BM_WakeFloor's share of one core, alone and with a read per tick: {"alone": %, "reading": %}."""
    floor = {}
    for b in micro:
        name, real, cpu = b.get("name", ""), b.get("real_time"), b.get("cpu_time")
        if name.startswith("BM_WakeFloor/") and real and cpu is not None:
            floor["reading" if name.startswith("BM_WakeFloor/1") else "alone"] = 100.0 * cpu / real
    return floor


def nagle_arrivals(micro):
    """BM_NagleArrivals: {"system"|"prompt": {"largest_arrival_blocks", "longest_gap_ms"}}."""
    arrivals = {}
    for b in micro:
        name = b.get("name", "")
        if name.startswith("BM_NagleArrivals/") and "largest_arrival_blocks" in b:
            arrivals["prompt" if name.startswith("BM_NagleArrivals/1") else "system"] = {
                k: b.get(k) for k in ("largest_arrival_blocks", "longest_gap_ms")}
    return arrivals


def run_micro(args, processes, out):
    json_path = os.path.join(out, "micro.json")
    cmd = [os.path.join(args.bin, "ferrox-micro-bench"), f"--benchmark_min_time={args.micro_min_time}",
           f"--benchmark_out={json_path}", "--benchmark_out_format=json"]
    code, _ = run_watched(processes, cmd, os.path.join(out, "micro-console.log"), 600)
    data = load_json(json_path)
    if code != 0 or data is None:
        raise RuntimeError(f"ferrox-micro-bench failed (exit {code}); see {out}/micro-console.log")
    return [{k: b.get(k) for k in ("name", "real_time", "cpu_time", "time_unit", "iterations", "bytes_per_second",
                                   "items_per_second", "largest_arrival_blocks", "longest_gap_ms") if k in b}
            for b in data.get("benchmarks", [])]


# N busy processes beside the captures: started before the first capture and ended by their pids
# after the last.
Load = support.Load


# Reading the runs' figures.

def timing(*keys):
    def read(run):
        value = (run or {}).get("timing") or {}
        for key in keys:
            value = value.get(key) if isinstance(value, dict) else None
        return value
    return read


def fidelity(key):
    return timing("fidelity", "after_first_second", key)


def device(key):
    return lambda run: ((run or {}).get("device_statistics") or {}).get(key)


def field(key):
    return lambda run: (run or {}).get(key)


def growth(first, last):
    return lambda run: None if first(run) is None or last(run) is None else last(run) - first(run)


# How far the stream latency moved over the capture: the last tenth's median against the second after
# the first (when the stream has settled).
latency_drift = growth(timing("stream_latency", "first_settled_second_median_ms"),
                       timing("stream_latency", "last_tenth_median_ms"))


def scaled(read, factor):
    return lambda run: None if read(run) is None else read(run) * factor


def figures(ours, reference, loaded):
    """The main table (the paced stream): each figure read the same way from both runs, against its target."""
    rate = ours.get("rate") or 1000.0
    lateness_p99, lateness_worst = LATENESS_P99_MS[loaded], LATENESS_WORST_MS[loaded]
    latency_p99 = LATENCY_P99_MS[loaded]
    latency_growth = growth(timing("stream_latency", "first_tenth_median_ms"),
                            timing("stream_latency", "last_tenth_median_ms"))
    memory_growth = growth(timing("resident_bytes_settled"), timing("resident_bytes_last"))
    rows = [  # (figure, how to read it, target text, target value, how a value meets it)
        ("frames per second", field("frames_per_second"), f"{rate:g} ±0.1%", rate,
         lambda v: abs(v / rate - 1.0) <= RATE_TOLERANCE),
        ("missing frames", field("missing_frames"), "0", None, lambda v: v == 0),
        ("frames skipped (device)", device("skipped_frames"), "0", None, lambda v: v == 0),
        ("tick lateness median ms", timing("tick_lateness", "median_ms"), "-", None, None),
        ("tick lateness p99 ms", timing("tick_lateness", "p99_ms"), f"< {lateness_p99}", lateness_p99,
         lambda v: v < lateness_p99),
        ("tick lateness worst ms", timing("tick_lateness", "worst_ms"), f"< {lateness_worst:g}", lateness_worst,
         lambda v: v < lateness_worst),
        ("stream latency median ms", timing("stream_latency", "median_ms"), "-", None, None),
        ("stream latency p99 ms", timing("stream_latency", "p99_ms"), f"< {latency_p99}", latency_p99,
         lambda v: v < latency_p99),
        ("stream latency worst ms", timing("stream_latency", "worst_ms"), "-", None, None),
        ("stream latency growth ms", latency_growth, f"< {LATENCY_GROWTH_MS}", LATENCY_GROWTH_MS,
         lambda v: v < LATENCY_GROWTH_MS),
        ("host cpu % of one core", scaled(timing("cpu_seconds_per_second"), 100.0), f"<= {CPU_SHARE * 100:g}",
         CPU_SHARE * 100, lambda v: v <= CPU_SHARE * 100),
        ("device threads cpu % of one core", scaled(field("device_threads_cpu_seconds_per_second"), 100.0),
         f"<= {PLUGIN_CPU_SHARE * 100:g}", PLUGIN_CPU_SHARE * 100, lambda v: v <= PLUGIN_CPU_SHARE * 100),
        ("peak resident MiB", scaled(timing("peak_resident_bytes"), 1.0 / (1024 * 1024)), "-", None, None),
        ("resident growth after 5 s KiB", scaled(memory_growth, 1.0 / 1024), f"< {MEMORY_GROWTH_BYTES // 1024}",
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


def stream_targets(stream, seconds, rate, loaded):
    """What every-sample delivery must meet on a stream: [(text, how a run meets it)]."""
    repeated, skipped, slips = fidelity("repeated"), fidelity("skipped"), fidelity("slips")
    latency = timing("stream_latency", "p99_ms")

    def at_most(read, bound):
        return lambda run: None if read(run) is None else read(run) <= bound

    def below(read, bound):
        return lambda run: None if read(run) is None else read(run) < bound

    if stream in ("paced", "nagle"):
        targets = [("repeated 0", at_most(repeated, 0)), ("skipped 0", at_most(skipped, 0))]
        if stream == "paced":
            targets.append((f"lat p99 < {LATENCY_P99_MS[loaded]:g}", below(latency, LATENCY_P99_MS[loaded])))
        return targets
    if stream == "bursts":
        bound = BURST_PERIOD_MS + 3.0
        return [("skipped 0", at_most(skipped, 0)), (f"lat p99 < {bound:g}", below(latency, bound))]
    if stream in DRIFT_PPM:
        forced = abs(support.clock_surplus(DRIFT_PPM[stream])) * seconds * rate
        drift = latency_drift

        def flat(run):
            value = drift(run)
            return None if value is None else abs(value) <= DRIFT_LATENCY_DRIFT_MS

        return [(f"slips <= {forced + SLIPS_SPARE:g}", at_most(slips, forced + SLIPS_SPARE)),
                ("largest skip <= 1", at_most(fidelity("largest_skip"), 1)),
                (f"|lat drift| <= {DRIFT_LATENCY_DRIFT_MS:g}", flat)]
    return []


STREAM_COLUMNS = (  # (header, how to read it)
    ("blocks", fidelity("blocks")), ("repeated", fidelity("repeated")), ("skipped", fidelity("skipped")),
    ("slips", fidelity("slips")), ("big skip", fidelity("largest_skip")),
    ("lat p99 ms", timing("stream_latency", "p99_ms")), ("lat drift ms", latency_drift),
    ("held", timing("sender_writes", "held_up")), ("held ms", timing("sender_writes", "largest_lateness_ms")),
    ("rep unsent", timing("sender_writes", "repeats_before_sent")),
    ("received", device("blocks_received")), ("delivered", device("blocks_delivered")),
    ("dev rep", device("blocks_repeated")), ("dropped", device("blocks_dropped")), ("dev slips", device("slips")),
    ("depth med", device("depth_median")), ("depth max", device("depth_largest")),
)


def stream_table(runs, streams, variants, seconds, rate, loaded):
    """One row per stream and capture: fidelity after the first second, latency p99 beside it, the
    device's own counts for ours; every-sample rows against their stream's targets."""
    table = []
    for stream in streams:
        for variant in variants:
            run = runs.get(run_id(stream, variant))
            if run is None:
                continue
            row = {"stream": STREAMS[stream][0], "capture": VARIANTS[variant][0],
                   "figures": {header: read(run) for header, read in STREAM_COLUMNS}}
            if VARIANTS[variant][2] == "every":
                row["targets"] = [{"target": text, "met": meets(run)}
                                  for text, meets in stream_targets(stream, seconds, rate, loaded)]
            table.append(row)
    return table


LOAD_ROWS = (  # (figure, how to read it, target text, how a value meets it)
    ("capture thread priority", field("capture_priority"), "-", None),
    ("tick lateness p99 ms", timing("tick_lateness", "p99_ms"), f"< {LATENESS_P99_MS[True]}",
     lambda v: v < LATENESS_P99_MS[True]),
    ("tick lateness worst ms", timing("tick_lateness", "worst_ms"), f"< {LATENESS_WORST_MS[True]:g}",
     lambda v: v < LATENESS_WORST_MS[True]),
    ("late ticks (device)", device("late_ticks"), "-", None),
    ("frames skipped (device)", device("skipped_frames"), "0", lambda v: v == 0),
    ("missing frames", field("missing_frames"), "0", lambda v: v == 0),
    ("repeated after 1st s", fidelity("repeated"), "0", lambda v: v == 0),
    ("skipped after 1st s", fidelity("skipped"), "0", lambda v: v == 0),
    ("stream latency p99 ms", timing("stream_latency", "p99_ms"), f"< {LATENCY_P99_MS[True]:g}",
     lambda v: v < LATENCY_P99_MS[True]),
    ("host cpu % of one core", scaled(timing("cpu_seconds_per_second"), 100.0), "-", None),
)


def load_table(runs, stream):
    """Under load, the stream's captures side by side: ours with and without the priority request,
    and the reference loops."""
    columns = [(variant, runs.get(run_id(stream, variant))) for variant in ("every", "noprio", "reference")]
    table = []
    for name, read, target_text, meets in LOAD_ROWS:
        row = {"figure": name, "target": target_text}
        for variant, run in columns:
            value = read(run) if run else None
            row[VARIANTS[variant][0]] = value
            if value is not None and meets is not None and not isinstance(value, str):
                row[f"{VARIANTS[variant][0]} met"] = bool(meets(value))
        table.append(row)
    return table


# The capture on models of Windows' sleep.

SLEEP_PACED = re.compile(r"Capture thread priority: .*; paced by (.*)$")


def run_sleep_models(args, processes, out, runs, stream):
    """The stream by ours every on each model of Windows' sleep; the fine sleep is the stream's own run."""
    models = {"fine": runs.get(run_id(stream, "every"))}
    for model in SLEEP_MODELS:
        if model == "fine":
            continue
        print(f"== {STREAMS[stream][0]}: ours every, sleep on the {SLEEP_MODELS[model]}, {args.seconds:g} s",
              flush=True)
        models[model] = run_ours(args, processes, out, stream, "every", sleep_model=model)
        runs[sleep_run_id(stream, model)] = models[model]
    for model, run in models.items():
        if run is None:
            continue
        summary = load_json(os.path.join(out, (run_id(stream, "every") if model == "fine"
                                               else sleep_run_id(stream, model)) + "-summary.json")) or {}
        for text in log_lines(summary):
            m = SLEEP_PACED.search(text)
            if m:
                run["capture_pacing"] = m.group(1)
    return models


def frames_per_wake(run):
    stats = (run or {}).get("device_statistics") or {}
    return stats["frames"] / stats["ticks"] if stats.get("ticks") else None


def sleep_rows(rate, loaded):
    """(figure, how to read it, target text, how a value meets it): the frame count must stay right on
    every model; lateness has the fine sleep's targets, which the coarse models are not meant to meet."""
    lateness_p99, lateness_worst = LATENESS_P99_MS[loaded], LATENESS_WORST_MS[loaded]
    return (
        ("paced by", field("capture_pacing"), "-", None),
        ("frames per second", field("frames_per_second"), f"{rate:g} ±0.1%",
         lambda v: abs(v / rate - 1.0) <= RATE_TOLERANCE),
        ("missing frames", field("missing_frames"), "0", lambda v: v == 0),
        ("frames skipped (device)", device("skipped_frames"), "0", lambda v: v == 0),
        ("frames per wake (device)", frames_per_wake, "-", None),
        ("tick lateness p99 ms", timing("tick_lateness", "p99_ms"), f"< {lateness_p99}",
         lambda v: v < lateness_p99),
        ("tick lateness worst ms", timing("tick_lateness", "worst_ms"), f"< {lateness_worst:g}",
         lambda v: v < lateness_worst),
        ("repeated after 1st s", fidelity("repeated"), "0", lambda v: v == 0),
        ("skipped after 1st s", fidelity("skipped"), "0", lambda v: v == 0),
        ("stream latency p99 ms", timing("stream_latency", "p99_ms"), "-", None),
    )


def sleep_table(models, rate, loaded):
    table = []
    for name, read, target_text, meets in sleep_rows(rate, loaded):
        row = {"figure": name, "target": target_text}
        for model, run in models.items():
            value = read(run) if run else None
            row[model] = value
            if value is not None and meets is not None and not isinstance(value, str):
                row[f"{model} met"] = bool(meets(value))
        table.append(row)
    return table


def print_sleep_table(table):
    rows = [("figure",) + tuple(SLEEP_MODELS.values()) + ("target",)]
    for r in table:
        cells = []
        for model in SLEEP_MODELS:
            cell = _fmt(r.get(model))
            if r["figure"] == "paced by":
                cell = cell.split(" (FERROX_SLEEP_MODEL")[0]
            if f"{model} met" in r:
                cell += " (" + _met(r[f"{model} met"]) + ")"
            cells.append(cell)
        rows.append((r["figure"],) + tuple(cells) + (r["target"],))
    print_grid(rows)


# Printing.

def _fmt(v):
    if v is None:
        return "n/a"
    if isinstance(v, str):
        return v
    if isinstance(v, bool):
        return "yes" if v else "NO"
    if isinstance(v, int):
        return str(v)
    return f"{v:.4g}" if abs(v) < 1e5 else f"{v:.0f}"


def _met(v):
    return {True: "yes", False: "NO"}.get(v, "-")


def print_grid(rows, left=1):
    """Rows of text cells, the first `left` columns flush left, the others flush right."""
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
    for row in rows:
        print("  " + "  ".join(cell.ljust(widths[i]) if i < left else cell.rjust(widths[i])
                               for i, cell in enumerate(row)))


def print_table(table):
    header = ("figure", "ours", "reference", "target", "ours/target", "ours/ref", "met")
    print_grid([header] + [(r["figure"], _fmt(r["ours"]), _fmt(r["reference"]), r["target"],
                            _fmt(r.get("ours_over_target")) if "ours_over_target" in r else "-",
                            _fmt(r.get("ours_over_reference")) if "ours_over_reference" in r else "-",
                            _met(r.get("met"))) for r in table])


def print_stream_table(table):
    header = ("stream", "capture") + tuple(h for h, _ in STREAM_COLUMNS) + ("targets",)
    rows = [header]
    for r in table:
        targets = ", ".join(f"{t['target']}: {_met(t['met'])}" for t in r.get("targets", [])) or "-"
        rows.append((r["stream"], r["capture"]) + tuple(_fmt(r["figures"][h]) for h, _ in STREAM_COLUMNS)
                    + (targets,))
    print_grid(rows, left=2)


def print_load_table(table):
    labels = [VARIANTS[v][0] for v in ("every", "noprio", "reference")]
    rows = [("figure",) + tuple(labels) + ("target",)]
    for r in table:
        cells = []
        for label in labels:
            cell = _fmt(r.get(label))
            if f"{label} met" in r:
                cell += " (" + _met(r[f"{label} met"]) + ")"
            cells.append(cell)
        rows.append((r["figure"],) + tuple(cells) + (r["target"],))
    print_grid(rows)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=30.0, help="capture time of each run")
    parser.add_argument("--out", help="output folder (bench.json, the logs and the sandboxes); default out/bench")
    parser.add_argument("--streams", default=",".join(STREAMS),
                        help=f"the simulator's streams to capture, in this order (default {','.join(STREAMS)})")
    parser.add_argument("--load", type=int, default=0, metavar="N",
                        help="N busy processes (stress-ng --cpu N) beside every capture; the first stream is "
                             "then captured once more with the capture thread's priority request off")
    parser.add_argument("--micro-min-time", type=float, default=0.05, help="seconds per micro-benchmark")
    parser.add_argument("--port-wait", type=float, default=300.0,
                        help=f"seconds to wait for port {FIXED_PORT} to be free before each of our runs")
    args = parser.parse_args()
    if not args.seconds > 0:
        parser.error("--seconds must be above 0")
    if args.load < 0:
        parser.error("--load must be 0 or more")
    streams = [s.strip() for s in args.streams.split(",") if s.strip()]
    unknown = [s for s in streams if s not in STREAMS]
    if unknown or not streams or len(set(streams)) != len(streams):
        parser.error(f"--streams takes distinct names from {', '.join(STREAMS)}; got {args.streams!r}")
    if args.load and not shutil.which("stress-ng"):
        parser.error("--load needs stress-ng (scripts/install-deps.sh installs it)")
    loaded = args.load > 0

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

    # Which captures, in order: each stream by every variant; under load the first stream also without
    # the priority request, right after its other captures.
    plan = []
    for index, stream in enumerate(streams):
        plan += [(stream, v) for v in ("every", "newest", "reference")]
        if loaded and index == 0:
            plan.append((stream, "noprio"))

    processes = Processes()
    sleep_models = None
    report = {"seconds": args.seconds, "streams": streams, "load": args.load,
              "started": time.strftime("%Y-%m-%dT%H:%M:%S%z"), "processors": os.cpu_count(),
              "load_average_before": list(os.getloadavg()), "runs": {}}
    runs = report["runs"]
    failure = None
    load = None
    try:
        if loaded:
            print(f"== load: stress-ng --cpu {args.load}", flush=True)
            load = Load(processes, args.load, os.path.join(out, "load.log"))
            report["load_workers"] = len(load.workers)
        for stream, variant in plan:
            label = VARIANTS[variant][0]
            print(f"== {STREAMS[stream][0]}: {label}, {args.seconds:g} s", flush=True)
            if VARIANTS[variant][1] == "ours":
                runs[run_id(stream, variant)] = run_ours(args, processes, out, stream, variant)
            else:
                runs[run_id(stream, variant)] = run_reference(args, processes, out, stream)
        sleep_models = run_sleep_models(args, processes, out, runs, streams[0])
        if load:
            load.end()
            load = None
        print("== micro-benchmarks", flush=True)
        report["micro"] = run_micro(args, processes, out)
    except Interrupted as e:
        failure = f"interrupted by {e}"
    except (RuntimeError, OSError) as e:
        failure = str(e)
    finally:
        support.ignore_signals()
        if load:
            load.end()
        processes.end_all()

    report["wake_floor_percent"] = wake_floor(report.get("micro", []))
    report["nagle_arrivals"] = nagle_arrivals(report.get("micro", []))
    report["load_average_after"] = list(os.getloadavg())
    first = streams[0]
    ours, reference = runs.get(run_id(first, "every")), runs.get(run_id(first, "reference"))
    rate = (ours or {}).get("rate") or 1000.0
    if ours and reference:
        report["table"] = figures(ours, reference, loaded)
        report["table_stream"] = first
    report["streams_table"] = stream_table(runs, streams, ("every", "newest", "noprio", "reference"),
                                           args.seconds, rate, loaded)
    if loaded:
        report["load_table"] = load_table(runs, first)
    if sleep_models:
        report["sleep_table"] = sleep_table(sleep_models, rate, loaded)
    if failure:
        report["failure"] = failure
    with open(bench_json, "w") as f:
        json.dump(report, f, indent=2)
        f.write("\n")

    condition = f"beside {args.load} busy processes" if loaded else "idle"
    if "table" in report:
        print(f"\n  {STREAMS[first][0]} stream, {args.seconds:g} s, {condition}: ours (every sample) and the "
              f"reference loops")
        print_table(report["table"])
        floor = report["wake_floor_percent"]
        if len(floor) == 2:
            print(f"\n  floor on this machine: one thread waking every 1 ms at the capture's priority takes "
                  f"{floor['alone']:.3g}% of one core, {floor['reading']:.3g}% with one read of a paced stream "
                  f"per tick (BM_WakeFloor)")
        stats = (ours.get("device_statistics") or {}).get("line")
        if stats:
            print(f"\n  device: {stats}")
    if report["streams_table"]:
        print(f"\n  fidelity after the first second, {condition}; received..depth: the device's own counts")
        print_stream_table(report["streams_table"])
    if loaded:
        print(f"\n  {STREAMS[first][0]} stream beside {args.load} busy processes: priority on, off, reference")
        print_load_table(report["load_table"])
    if "sleep_table" in report:
        print(f"\n  {STREAMS[first][0]} stream on models of Windows' sleep, {condition}: what a lab PC without "
              f"the high-resolution timer gets (timeBeginPeriod(1): 1 ms tick; none: 15.625 ms)")
        print_sleep_table(report["sleep_table"])
    arrivals = report["nagle_arrivals"]
    if len(arrivals) == 2:
        system, prompt = arrivals["system"], arrivals["prompt"]
        print(f"\n  Nagle on, read once per 1 ms tick (BM_NagleArrivals): the system's acknowledgements, largest "
              f"arrival {system['largest_arrival_blocks']:g} blocks, longest gap {system['longest_gap_ms']:.3g} ms; "
              f"prompt ones, {prompt['largest_arrival_blocks']:g} blocks, {prompt['longest_gap_ms']:.3g} ms")
    for b in report.get("micro", []):
        print(f"  micro {b['name']}: {b['real_time']:.4g} {b['time_unit']}")
    print(f"\n  all figures: {bench_json}")
    if failure:
        print(f"bench: {failure}", file=sys.stderr)
        return 1
    failed = [name for name, run in runs.items() if run.get("exit_code")]
    if failed:
        print(f"bench: ferrox-host exited with an error in {', '.join(failed)}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
