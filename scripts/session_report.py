#!/usr/bin/env python3
"""Prints the report of one capture session and draws its plot.

Usage: session_report.py OUTPUT_DIR
Reads OUTPUT_DIR/summary.json, OUTPUT_DIR/frames.csv and OUTPUT_DIR/host-console.log (ferrox-host's
console, which carries the companion's relayed lines), and writes OUTPUT_DIR/plot.png with gnuplot.
"""
import csv
import json
import os
import subprocess
import sys

RELAY_PREFIX = "[Quillmark Ferrox Plugin]: "


def pick_columns(header):
    """A few EMG channels and one sensor's accelerometer axes, by their current names."""
    emg = [i for i, name in enumerate(header) if name.endswith(" EMG")][:3]
    acc = [i for i, name in enumerate(header) if name.startswith("Sensor 1 ACC")][:3]
    return emg, acc


def fidelity_text(counts):
    """What became of the companion's numbered blocks in the frames, in one phrase."""
    text = (f"{counts['blocks']} blocks, {counts['repeated']} repeated, {counts['skipped']} skipped, "
            f"{counts['slips']} slips")
    for key, label in (("going_back", "going back"), ("restarts", "restarts")):
        if counts.get(key):
            text += f", {counts[key]} {label}"
    return text


def draw(out, csv_path, header):
    emg, acc = pick_columns(header)
    if not emg and not acc:
        return "no EMG or accelerometer channel to plot"
    def series(columns, scale=1.0):
        return ", ".join(
            f"'{csv_path}' using ($1/1000.0):(${c + 1}*{scale}) every 2 with lines title '{header[c]}'"
            for c in columns)
    script = f"""
set terminal pngcairo size 1400,900 font ',10'
set output '{os.path.join(out, 'plot.png')}'
set datafile separator ','
set key outside right
set multiplot layout 2,1 title 'FerroxEMG capture (1000 Hz frames as the host received them)'
set ylabel 'EMG (mV)'
set xlabel 'time (s), from frame ID'
plot {series(emg)}
set ylabel 'acceleration (g)'
plot {series(acc)}
unset multiplot
"""
    try:
        subprocess.run(["gnuplot"], input=script, text=True, check=True,
                       stderr=subprocess.PIPE)
    except (OSError, subprocess.CalledProcessError) as error:
        return f"plot failed: {error}"
    return None


def main():
    out = sys.argv[1]
    with open(os.path.join(out, "summary.json"), encoding="utf-8") as f:
        summary = json.load(f)
    device = summary.get("device") or {}
    capture = summary.get("capture") or {}
    channels = [c for c in device.get("channels", []) if c.get("enabled")]

    print()
    print("== Session report")
    print(f"device      {device.get('name')}  model '{device.get('model')}'  serial {device.get('serial')}")
    print(f"rate        {device.get('rate')} Hz, mocap rate multiple {device.get('mocap_rate_multiple')}")
    names = [c.get("analog_name") or c.get("name") for c in channels]
    shown = ", ".join(names[:8]) + (f", ... ({len(names)} in all)" if len(names) > 8 else "")
    print(f"channels    {len(names)} active: {shown}")
    print(f"frames      {capture.get('frames')} in {capture.get('seconds', 0):.2f} s = "
          f"{capture.get('frames_per_second', 0):.2f} frames/s; missing IDs: {len(capture.get('missing_frame_ids', []))}")
    timing = capture.get("timing") or {}
    lateness = timing.get("tick_lateness", {})
    latency = timing.get("stream_latency", {})
    if lateness.get("samples"):
        print(f"lateness    median {lateness['median_ms']:.3f} ms, p99 {lateness['p99_ms']:.3f} ms, "
              f"worst {lateness['worst_ms']:.3f} ms (commit time against the 1 ms schedule)")
    if latency.get("samples"):
        print(f"latency     median {latency['median_ms']:.2f} ms, p99 {latency['p99_ms']:.2f} ms, "
              f"worst {latency['worst_ms']:.2f} ms (companion send time to frame commit)")
    fidelity = timing.get("fidelity")
    if fidelity:
        line = fidelity_text(fidelity)
        if fidelity.get("after_first_second"):
            line += f" (after the first second: {fidelity_text(fidelity['after_first_second'])})"
        if latency.get("samples"):
            line += f"; latency p99 {latency['p99_ms']:.2f} ms"
        print(f"fidelity    {line}")
    writes = timing.get("sender_writes")
    if writes:
        print(f"sender      {writes['writes']} writes after the first second, {writes['held_up']} of them over 1 ms late "
              f"on the companion's own schedule, the latest by {writes['largest_lateness_ms']:.2f} ms; "
              f"{writes['repeats_before_sent']} of the {writes['repeats']} repeated frames were committed before "
              f"the companion had sent the block that came next")
    print("status      " + " | ".join(summary.get("status_texts", [])))
    relayed = []
    console = os.path.join(out, "host-console.log")
    if os.path.exists(console):
        with open(console, encoding="utf-8", errors="replace") as f:
            relayed = [line.rstrip("\n")[len(RELAY_PREFIX):] for line in f if line.startswith(RELAY_PREFIX)]
    print(f"companion   {len(relayed)} relayed lines:")
    for line in relayed[:12]:
        print(f"              {line}")
    unload = summary.get("unload") or {}
    print(f"unload      result {unload.get('result')}, identifier '{unload.get('identifier')}'")
    errors = summary.get("errors", [])
    if errors:
        print("errors      " + "; ".join(errors))

    csv_path = os.path.join(out, "frames.csv")
    problem = None
    if os.path.exists(csv_path):
        with open(csv_path, encoding="utf-8") as f:
            header = next(csv.reader(f), [])
        problem = draw(out, csv_path, header)
    else:
        problem = "no frames.csv"
    print()
    print(f"files       {csv_path}")
    print(f"            {os.path.join(out, 'summary.json')}")
    print(f"            {os.path.join(out, 'plot.png')}" + (f"  ({problem})" if problem else ""))
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main())
