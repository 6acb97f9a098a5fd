#!/usr/bin/env python3
"""The soak (scripts/soak.sh): one long capture while the companion is ended and started again, as a
long recording with an unreliable base station sees it. What it looks for is what the host would
inherit from the plug-in: lost frames, connections not taken up again, memory or handles that grow.

Builds linux-release, lays out a sandbox, and runs ferrox-host with --reconnect for M minutes (summary
only: a CSV of that many frames is too big). Every S seconds it ends the companion by its process id
and starts a new simulator with the pipe name, which the host then takes up again. Every 10 s it reads
ferrox-host's resident memory and open descriptors from outside into samples.csv. At the end it
prints the report and PASS or FAIL (scripts/soak_report.py), and writes soak.json.
"""

import argparse
import os
import subprocess
import sys
import time

import session_support as support
import soak_report
from session_support import Interrupted, Processes

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PRESET = "linux-release"
OUTPUT_FILES = ("soak.json", "samples.csv", "summary.json", "host-console.log", "companion-restarts.log")
SIM_SETTINGS = {"FERROX_SIM_SENSORS": 32, "FERROX_SIM_MODE": "EMG plus Accelerometer", "FERROX_SIM_LATENCY_STAMP": 1}
SAMPLE_EVERY = 10
# No restart this close to the end: the last one must be taken up again before the closing reading.
QUIET_END_SECONDS = 15
# ferrox-host is ended when it still runs this long after its capture should have ended.
OVERRUN_SECONDS = 120

# The run keeps to namespaces of its own when the system allows it. The stream port is fixed, so on a
# shared loopback another session's companion can connect to this device (and the device accepts the
# first connection it finds); with a loopback of its own only this run's companions reach it. The
# plug-in's unload ends every process named like the companion; in a PID namespace that is only the
# companion it started, not another session's simulator.
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
            lines = [line.rstrip("\n") for line in f if line.startswith(prefix)]
    except OSError:
        return ""
    return lines[-1] if lines else ""


class Soak:
    def __init__(self, args, out, sandbox, bin_dir):
        self.args = args
        self.out = out
        self.sandbox = sandbox
        self.bin = bin_dir
        self.seconds = args.minutes * 60
        self.processes = Processes()
        self.processes.companion_paths.append(sandbox["companion"])
        self.env = support.sandbox_environment(sandbox, **SIM_SETTINGS)
        self.console = os.path.join(out, "host-console.log")
        self.sims = []  # the simulators started here, the newest last
        self.restarts = 0
        self.unexpected = 0

    def start_host(self):
        host = [os.path.join(self.bin, "ferrox-host"), "--plugin", os.path.join(self.bin, "libFerroxEMG.so"),
                "--configuration", "1", "--latency-stamp", "--reconnect", "--seconds", str(self.seconds),
                "--connect-timeout", "60", "--summary", os.path.join(self.out, "summary.json")]
        self.enter = []
        namespaced = namespaces_allowed()
        if not namespaced:
            print("note: no namespaces here: the run shares loopback port 35692 with other sessions, and the")
            print("      plug-in's unload ends every SabletBase.exe on this machine")
        launcher = NAMESPACES + ['ip link set lo up && exec "$@"', "soak"] if namespaced else []
        with open(self.console, "w") as log:
            self.launcher = self.processes.start(launcher + host, stdin=subprocess.DEVNULL, stdout=log,
                                                 stderr=subprocess.STDOUT, env=self.env)
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
        # Restarts count from the start of capture, not from the plug-in's load: enumeration waits for
        # the companion's report first.
        while self.running() and not last_line(self.console, "capturing for "):
            time.sleep(0.2)
        if not self.running():
            with open(self.console, encoding="utf-8", errors="replace") as f:
                tail = f.readlines()[-5:]
            raise RuntimeError(f"ferrox-host ended before capture; see {self.console}\n" + "".join(tail))
        print("capture started", flush=True)
        return time.monotonic()

    def restart(self, at):
        """Ends the companion running now (the plug-in's own at first, then the last simulator started
        here) and starts a new simulator with the pipe name."""
        ended = []
        if self.sims:
            sim = self.sims[-1]
            if sim.poll() is not None:
                self.unexpected += 1
            else:
                ended.append(sim.pid)
                sim.kill()
                sim.wait()
        else:
            for pid in self.processes.live_companions():
                # The plug-in's own child: ferrox-host reaps it, or it stays a zombie until then.
                self.processes.kill(pid, self.processes.companions[pid])
                ended.append(pid)
            if not ended:
                print(f"warning: no companion found under ferrox-host ({self.host_pid}) to end", file=sys.stderr)
        self.restarts += 1
        with open(os.path.join(self.out, "companion-restarts.log"), "a") as log:
            sim = self.processes.start(self.enter + [self.sandbox["companion"], self.sandbox["pipe_name"]],
                                       stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT,
                                       env={**self.env, "FERROX_SIM_IGNORE_STDIN": "1"})
        self.sims.append(sim)
        print(f"restart {self.restarts} at {at:.1f} s: ended {', '.join(map(str, ended)) or 'nothing'}, "
              f"started {sim.pid}", flush=True)

    def current_companion(self):
        if self.sims:
            return self.sims[-1].pid
        live = self.processes.live_companions()
        return live[0] if live else ""

    def run(self):
        self.start_host()
        capture_start = self.wait_for_capture()
        samples_path = os.path.join(self.out, "samples.csv")
        with open(samples_path, "w") as samples:
            samples.write("seconds,resident_kb,open_fds,companion_pid\n")
        every = self.args.restart_every
        next_restart = every
        # Offset from the restarts, so that no reading falls on a reconnect.
        next_sample = SAMPLE_EVERY // 2
        while self.running():
            t = time.monotonic() - capture_start
            if t >= next_restart and next_restart <= self.seconds - QUIET_END_SECONDS:
                self.restart(t)
                next_restart += every
            if t >= next_sample:
                rss, fds = support.resident_kb(self.host_pid), support.open_fds(self.host_pid)
                if rss is not None:
                    with open(samples_path, "a") as samples:
                        samples.write(f"{t:.1f},{rss},{fds},{self.current_companion()}\n")
                    if next_sample % 60 == SAMPLE_EVERY // 2:
                        print(f"at {t:.1f} s: resident {rss} kB, {fds} descriptors; "
                              f"{last_line(self.console, 'capturing:')}", flush=True)
                next_sample += SAMPLE_EVERY
            if t > self.seconds + OVERRUN_SECONDS:
                print("ferrox-host still runs 2 minutes after its capture should have ended; ending it",
                      file=sys.stderr)
                self.launcher.kill()
            time.sleep(0.5)
        host_exit = self.launcher.wait()
        if self.sims:
            sim = self.sims[-1]
            if sim.poll() is not None:
                self.unexpected += 1
            sim.kill()
            sim.wait()
        with open(self.console, encoding="utf-8", errors="replace") as f:
            for line in f.readlines()[-4:]:
                if not line.startswith("[host] log"):
                    print(line, end="")
        return host_exit


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--minutes", type=int, default=10, help="capture time (default 10)")
    parser.add_argument("--restart-every", type=int, default=60,
                        help="seconds between companion restarts (default 60)")
    parser.add_argument("--out", help="output folder; default out/soak")
    args = parser.parse_args()
    if args.minutes < 1 or args.restart_every < 1:
        parser.error("--minutes and --restart-every must be 1 or more")

    try:
        out = support.claim_output(args.out or os.path.join(ROOT, "out", "soak"), "soak.sh", OUTPUT_FILES,
                                   ("sandbox",), default=args.out is None)
    except support.OutputRefused as refused:
        print(refused, file=sys.stderr)
        return 2
    targets = ("FerroxEMG", "ferrox-host", "companion-sim")
    if subprocess.run(["bash", os.path.join(ROOT, "scripts", "build.sh"), PRESET, *targets], cwd=ROOT).returncode:
        return 1
    bin_dir = os.path.join(ROOT, "build", PRESET, "bin")
    sandbox = support.lay_out_sandbox(os.path.join(out, "sandbox"), bin_dir)

    print(f"== soak: {args.minutes} min capture, companion restarted every {args.restart_every} s, "
          f"output in {out}", flush=True)
    support.raise_on_signals()
    soak = Soak(args, out, sandbox, bin_dir)
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
        soak.processes.end_all()

    if not os.path.exists(os.path.join(out, "summary.json")):
        print(f"ferrox-host wrote no summary (exit {host_exit}); see {soak.console}", file=sys.stderr)
        return 1
    return soak_report.main([out, "--minutes", str(args.minutes), "--restart-every", str(args.restart_every),
                             "--restarts", str(soak.restarts), "--unexpected-exits", str(soak.unexpected),
                             "--host-exit", str(host_exit)])


if __name__ == "__main__":
    sys.exit(main())
