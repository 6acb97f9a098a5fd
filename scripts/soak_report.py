#!/usr/bin/env python3
"""Prints the report of one soak run, judges it, and writes OUTPUT_DIR/soak.json.

Usage: soak_report.py OUTPUT_DIR --minutes M --restart-every S --restarts N --unexpected-exits K
                      --host-exit RC
Reads OUTPUT_DIR/summary.json (ferrox-host's, with --reconnect) and OUTPUT_DIR/samples.csv (the
script's own readings of ferrox-host from outside). Exits 0 on PASS, 1 on FAIL.
"""
import argparse
import csv
import json
import os
import sys

# Resident memory may rise this much from the warm start reading to the end: allocator noise and the
# device log's few lines per reconnect stay well inside it; a per-frame or per-reconnect leak does not.
RSS_GROWTH_LIMIT_BYTES = 5 * 1024 * 1024
FRAME_TOLERANCE = 0.01
# Readings from outside before this many seconds of capture are the warm-up (see ferrox-host).
WARM_UP_SECONDS = 10.0


def mb(value):
    return "n/a" if value is None else f"{value / (1024 * 1024):.1f} MB"


def read_samples(path):
    rows = []
    try:
        with open(path, newline="", encoding="utf-8") as f:
            for row in csv.DictReader(f):
                rows.append({"seconds": float(row["seconds"]),
                             "resident_bytes": int(row["resident_kb"]) * 1024,
                             "open_fds": int(row["open_fds"])})
    except (OSError, KeyError, ValueError):
        pass
    return rows


def main(argv=None):
    parser = argparse.ArgumentParser()
    parser.add_argument("out")
    parser.add_argument("--minutes", type=int, required=True)
    parser.add_argument("--restart-every", type=int, required=True)
    parser.add_argument("--restarts", type=int, required=True)
    parser.add_argument("--unexpected-exits", type=int, default=0)
    parser.add_argument("--host-exit", type=int, default=0)
    args = parser.parse_args(argv)

    with open(os.path.join(args.out, "summary.json"), encoding="utf-8") as f:
        summary = json.load(f)
    capture = summary.get("capture") or {}
    device = summary.get("device") or {}
    reconnect = capture.get("reconnect") or {}
    gaps = capture.get("gaps") or {}
    resources = capture.get("resources") or {}
    start = resources.get("start") or {}
    end = resources.get("end") or {}

    rate = device.get("rate") or 0.0
    seconds = capture.get("seconds", 0.0)
    frames = capture.get("frames", 0)
    expected = rate * seconds
    missing = capture.get("missing_frames", 0)
    reconnects = reconnect.get("reconnects", 0)
    times = reconnect.get("seconds", [])
    rss_start, rss_end = start.get("resident_bytes"), end.get("resident_bytes")
    fds_start, fds_end = start.get("open_handles"), end.get("open_handles")
    growth = None if rss_start is None or rss_end is None else rss_end - rss_start

    samples = read_samples(os.path.join(args.out, "samples.csv"))
    warm = [s for s in samples if s["seconds"] >= WARM_UP_SECONDS]
    outside = {"samples": len(samples)}
    if warm:
        outside.update({"start": warm[0], "end": warm[-1],
                        "resident_growth_bytes": warm[-1]["resident_bytes"] - warm[0]["resident_bytes"],
                        "resident_max_bytes": max(s["resident_bytes"] for s in warm),
                        "open_fds_min": min(s["open_fds"] for s in warm),
                        "open_fds_max": max(s["open_fds"] for s in warm)})

    rules = [
        ("ferrox-host exited with 0", args.host_exit == 0),
        ("no missing frame IDs", missing == 0),
        (f"frames within {FRAME_TOLERANCE:.0%} of rate x time",
         expected > 0 and abs(frames - expected) <= FRAME_TOLERANCE * expected),
        ("reconnects == restarts", reconnects == args.restarts and not reconnect.get("still_waiting")),
        ("open handles at end == at start", fds_start is not None and fds_start == fds_end),
        (f"resident memory growth under {mb(RSS_GROWTH_LIMIT_BYTES)}",
         growth is not None and growth < RSS_GROWTH_LIMIT_BYTES),
    ]
    passed = all(ok for _, ok in rules)

    print()
    print("== Soak report")
    print(f"minutes     {args.minutes} (capture {seconds:.1f} s), companion restarted every {args.restart_every} s")
    print(f"frames      {frames} of {expected:.0f} expected ({rate:g} Hz x {seconds:.1f} s, "
          f"{(frames - expected) / expected:+.3%}); missing IDs: {missing}" if expected > 0 else
          f"frames      {frames}; missing IDs: {missing}")
    zero = gaps.get("zero_frames") or {}
    lost = gaps.get("missing_ids") or {}
    print(f"zero frames {capture.get('zero_frames', 0)} in {zero.get('count', 0)} gaps "
          f"(longest {zero.get('longest', 0)} frames); missing-ID gaps {lost.get('count', 0)} "
          f"(longest {lost.get('longest', 0)} frames)")
    took = ", ".join(f"{t:.2f}" for t in times)
    print(f"reconnects  {reconnects} of {args.restarts} restarts ({reconnect.get('stream_ends', 0)} stream ends, "
          f"{reconnect.get('attempts', 0)} AppRunMode changes); seconds each: {took or '-'}")
    if args.unexpected_exits:
        print(f"            {args.unexpected_exits} companion(s) had ended before the script ended them")
    print(f"memory      resident {mb(rss_start)} at {start.get('at_seconds', 0):.0f} s, {mb(rss_end)} at end "
          f"(growth {mb(growth)})")
    print(f"handles     {fds_start} at start, {fds_end} at end")
    if warm:
        print(f"outside     {len(samples)} readings: resident {mb(warm[0]['resident_bytes'])} -> "
              f"{mb(warm[-1]['resident_bytes'])} (max {mb(outside['resident_max_bytes'])}), descriptors "
              f"{warm[0]['open_fds']} -> {warm[-1]['open_fds']} (range {outside['open_fds_min']}-"
              f"{outside['open_fds_max']})")
    for text, ok in rules:
        print(f"  {'ok  ' if ok else 'FAIL'} {text}")
    print("PASS" if passed else "FAIL")

    report = {
        "minutes": args.minutes, "restart_every_seconds": args.restart_every,
        "capture_seconds": seconds, "rate": rate, "frames": frames, "frames_expected": expected,
        "missing_frames": missing, "zero_frames": capture.get("zero_frames", 0), "gaps": gaps,
        "restarts": args.restarts, "reconnects": reconnects, "reconnect_seconds": times,
        "stream_ends": reconnect.get("stream_ends", 0), "unexpected_companion_exits": args.unexpected_exits,
        "resident_bytes": {"start": rss_start, "end": rss_end, "growth": growth,
                           "limit": RSS_GROWTH_LIMIT_BYTES},
        "open_handles": {"start": fds_start, "end": fds_end},
        "outside": outside, "host_exit": args.host_exit,
        "rules": [{"rule": text, "ok": ok} for text, ok in rules], "pass": passed,
    }
    with open(os.path.join(args.out, "soak.json"), "w", encoding="utf-8") as f:
        json.dump(report, f, indent=2)
        f.write("\n")
    return 0 if passed else 1


if __name__ == "__main__":
    sys.exit(main())
