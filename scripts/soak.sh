#!/usr/bin/env bash
# The soak: one long capture while the companion is ended and started again, as a long recording with
# an unreliable base station sees it. What it looks for is what the host would inherit from the
# plug-in: lost frames, connections not taken up again, memory or handles that grow.
#
# Builds linux-release, lays out a sandbox like scripts/run.sh, and runs ferrox-host with --reconnect
# for M minutes (summary only: a CSV of that many frames is too big). Every S seconds it ends the
# companion by its process id and starts a new simulator with the pipe name, which the host then takes
# up again. Every 10 s it reads ferrox-host's resident memory and open descriptors from outside into
# samples.csv. At the end it prints the report and PASS or FAIL, and writes soak.json.
#
# Usage: scripts/soak.sh [--minutes M] [--restart-every S] [--out DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

minutes=10
restart_every=60
out=""
usage="usage: scripts/soak.sh [--minutes M] [--restart-every S] [--out DIR]"
while [ $# -gt 0 ]; do
    case "$1" in
        --minutes) minutes=${2:?$usage}; shift ;;
        --restart-every) restart_every=${2:?$usage}; shift ;;
        --out) out=${2:?$usage}; shift ;;
        *) echo "$usage" >&2; exit 2 ;;
    esac
    shift
done
case "$minutes$restart_every" in
    *[!0-9]*) echo "--minutes and --restart-every take whole numbers" >&2; exit 2 ;;
esac
if [ "$minutes" -lt 1 ] || [ "$restart_every" -lt 1 ]; then
    echo "--minutes and --restart-every must be 1 or more" >&2
    exit 2
fi
seconds=$((minutes * 60))
# No restart this close to the end: the last one must be taken up again before the closing reading.
last_restart=$((seconds - 15))
sample_every=10

bash scripts/install-deps.sh
preset=linux-release
[ -n "$out" ] || out="$root/out/soak"
# Two jobs: the machine is shared, and the soak itself should not start on a loaded one.
jobs=2
source scripts/session-sandbox.sh
export ProgramData="$sandbox/ProgramData" PROGRAMFILES="$sandbox/ProgramFiles" APPDATA="$sandbox/AppData"
export FERROX_SIM_SENSORS=32 FERROX_SIM_MODE="EMG plus Accelerometer" FERROX_SIM_LATENCY_STAMP=1
pipe_name='\\.\pipe\test_pipe'

# The run keeps to namespaces of its own when the system allows it. The stream port is fixed, so on a
# shared loopback another session's companion can connect to this device (and the device accepts the
# first connection it finds); with a loopback of its own only this run's companions reach it. The
# plug-in's unload ends every process named like the companion; in a PID namespace that is only the
# companion it started, not another session's simulator.
launcher=()
enter=()
if unshare --pid --fork --mount-proc --net --kill-child sh -c 'ip link set lo up' 2>/dev/null; then
    launcher=(unshare --pid --fork --mount-proc --net --kill-child sh -c 'ip link set lo up && exec "$@"' soak)
else
    echo "note: no namespaces here: the run shares loopback port 35692 with other sessions, and the"
    echo "      plug-in's unload ends every SabletBase.exe on this machine"
fi

launcher_pid=""
host_pid=""
sim_pid=""
plugin_companion=""
cleanup() {
    # Only what this script started, by process id.
    if [ -n "$sim_pid" ]; then kill -KILL "$sim_pid" 2>/dev/null || true; fi
    if [ -n "$launcher_pid" ]; then kill -KILL "$launcher_pid" 2>/dev/null || true; fi
    # Without a namespace the plug-in's own companion outlives a killed ferrox-host.
    if [ ${#launcher[@]} -eq 0 ] && [ -n "$plugin_companion" ]; then kill -KILL "$plugin_companion" 2>/dev/null || true; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

echo "== soak: $minutes min capture, companion restarted every $restart_every s, output in $out"
"${launcher[@]}" "$bin/ferrox-host" --plugin "$bin/libFerroxEMG.so" --configuration 1 --latency-stamp \
    --reconnect --seconds "$seconds" --connect-timeout 60 --summary "$out/summary.json" \
    </dev/null >"$out/host-console.log" 2>&1 &
launcher_pid=$!
host_pid=$launcher_pid
if [ ${#launcher[@]} -gt 0 ]; then
    # unshare forks ferrox-host as the namespace's first process; its id out here is unshare's child.
    host_pid=""
    for _ in $(seq 100); do
        host_pid=$(pgrep -P "$launcher_pid" | head -n1 || true)
        [ -n "$host_pid" ] && break
        sleep 0.1
    done
    [ -n "$host_pid" ] || { echo "ferrox-host did not start" >&2; exit 1; }
    # New companions join ferrox-host's loopback; nsenter replaces itself with the simulator, so the
    # id the shell gets is the simulator's.
    enter=(nsenter --target "$host_pid" --net --)
fi

running() { kill -0 "$launcher_pid" 2>/dev/null; }
now() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.1f", b - a }'; }

# Restarts count from the start of capture, not from the plug-in's load: enumeration waits for the
# companion's report first.
while running && ! grep -q '^capturing for ' "$out/host-console.log"; do sleep 0.2; done
running || { echo "ferrox-host ended before capture; see $out/host-console.log" >&2; tail -5 "$out/host-console.log" >&2; exit 1; }
capture_start=$(now)
echo "capture started"

samples="$out/samples.csv"
echo "seconds,resident_kb,open_fds,companion_pid" >"$samples"
restarts=0
unexpected=0
next_restart=$restart_every
# Offset from the restarts, so that no reading falls on a reconnect.
next_sample=$((sample_every / 2))
while running; do
    t=$(elapsed "$capture_start")
    if [ -z "$plugin_companion" ] && [ -z "$sim_pid" ]; then
        plugin_companion=$(pgrep -P "$host_pid" -x SabletBase.exe | head -n1 || true)
    fi
    current=${sim_pid:-$plugin_companion}
    if awk -v t="$t" -v r="$next_restart" -v l="$last_restart" 'BEGIN { exit !(t >= r && r <= l) }'; then
        if [ -n "$sim_pid" ]; then
            if ! kill -0 "$sim_pid" 2>/dev/null; then unexpected=$((unexpected + 1)); fi
            kill -KILL "$sim_pid" 2>/dev/null || true
        elif [ -n "$plugin_companion" ]; then
            # The plug-in's own child: ferrox-host reaps it, or it stays a zombie until ferrox-host ends.
            kill -KILL "$plugin_companion" 2>/dev/null || true
            plugin_companion=""
        else
            echo "warning: no companion found under ferrox-host ($host_pid) to end" >&2
        fi
        restarts=$((restarts + 1))
        FERROX_SIM_IGNORE_STDIN=1 "${enter[@]}" "$companion" "$pipe_name" </dev/null >>"$out/companion-restarts.log" 2>&1 &
        sim_pid=$!
        # The shell still reaps it; disowned, it does not announce the kill that ends it.
        disown "$sim_pid"
        echo "restart $restarts at $t s: ended ${current:-nothing}, started $sim_pid"
        next_restart=$((next_restart + restart_every))
    fi
    if awk -v t="$t" -v s="$next_sample" 'BEGIN { exit !(t >= s) }'; then
        rss=$(awk '/^VmRSS:/ { print $2 }' "/proc/$host_pid/status" 2>/dev/null || true)
        fds=$(find "/proc/$host_pid/fd" -mindepth 1 -maxdepth 1 2>/dev/null | wc -l)
        if [ -n "$rss" ]; then
            echo "$t,$rss,$fds,${current:-}" >>"$samples"
            if [ $((next_sample % 60)) -eq $((sample_every / 2)) ]; then
                echo "at $t s: resident $rss kB, $fds descriptors; $(grep '^capturing:' "$out/host-console.log" | tail -n1)"
            fi
        fi
        next_sample=$((next_sample + sample_every))
    fi
    if awk -v t="$t" -v limit="$((seconds + 120))" 'BEGIN { exit !(t > limit) }'; then
        echo "ferrox-host still runs 2 minutes after its capture should have ended; ending it" >&2
        kill -KILL "$launcher_pid" 2>/dev/null || true
    fi
    sleep 0.5
done
set +e
wait "$launcher_pid"
host_rc=$?
set -e
launcher_pid=""
if [ -n "$sim_pid" ]; then
    kill -0 "$sim_pid" 2>/dev/null || unexpected=$((unexpected + 1))
    kill -KILL "$sim_pid" 2>/dev/null || true
    sim_pid=""
fi
tail -n 4 "$out/host-console.log" | grep -v '^\[host\] log' || true

if [ ! -f "$out/summary.json" ]; then
    echo "ferrox-host wrote no summary (exit $host_rc); see $out/host-console.log" >&2
    exit 1
fi
python3 scripts/soak_report.py "$out" --minutes "$minutes" --restart-every "$restart_every" \
    --restarts "$restarts" --unexpected-exits "$unexpected" --host-exit "$host_rc"
