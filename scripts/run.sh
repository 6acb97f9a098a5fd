#!/usr/bin/env bash
# The main job: one whole capture session, as a newcomer would want to see it.
#
# Installs what is missing, builds, lays out a sandbox (ProgramData, PROGRAMFILES with the companion
# simulator installed as the companion, APPDATA), and runs ferrox-host against the plug-in for 10 s in
# "EMG plus Accelerometer" mode. Prints a progress line, then a short report; leaves frames.csv,
# summary.json, plot.png and host-console.log in the output folder.
#
# Usage: scripts/run.sh [--windows] [--seconds S] [--sensors N] [--out DIR]
#   --windows   the same session with the Windows build, under Wine
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

windows=0
seconds=10
sensors=32
out=""
while [ $# -gt 0 ]; do
    case "$1" in
        --windows) windows=1 ;;
        --seconds) seconds=$2; shift ;;
        --sensors) sensors=$2; shift ;;
        --out) out=$2; shift ;;
        *) echo "usage: scripts/run.sh [--windows] [--seconds S] [--sensors N] [--out DIR]" >&2; exit 2 ;;
    esac
    shift
done

bash scripts/install-deps.sh
if [ "$windows" = 1 ]; then preset=windows; else preset=linux-release; fi
default=()
[ -n "$out" ] || { out="$root/out/session-$preset"; default=(--default); }
# The output folder may hold only an earlier session's output; only that is cleared.
python3 scripts/session_support.py output --tool run.sh --out "$out" "${default[@]}" \
    --files frames.csv summary.json plot.png host-console.log --folders sandbox || exit $?
out=$(cd "$out" && pwd)
source scripts/build.sh
build_preset "$preset" FerroxEMG ferrox-host companion-sim || exit 1
bin="$root/build/$preset/bin"
windows_flag=()
if [ "$windows" = 1 ]; then
    export WINEPREFIX="$root/build/windows/wineprefix" WINEDEBUG=-all
    mkdir -p "$WINEPREFIX"
    windows_flag=(--windows)
fi
# Every folder the plug-in and the companion use, inside the output folder.
python3 scripts/session_support.py sandbox --out "$out" --bin "$bin" "${windows_flag[@]}"
sandbox="$out/sandbox"

export FERROX_SIM_SENSORS=$sensors FERROX_SIM_MODE="EMG plus Accelerometer" FERROX_SIM_LATENCY_STAMP=1 FERROX_SIM_SEQUENCE=1
host_args=(--configuration 1 --seconds "$seconds" --latency-stamp)

echo "== capture session: $seconds s, $sensors simulated sensors, output in $out"
set +e
if [ "$windows" = 1 ]; then
    winpath() { echo "Z:$(echo "$1" | sed 's|/|\\|g')"; }
    # A Windows process started from here takes its folders from Wine's registry, not from this
    # shell, so ferrox-host sets them for the plug-in (and the companion inherits them).
    /usr/lib/wine/wine64 "$bin/ferrox-host.exe" --plugin "$(winpath "$bin/FerroxEMG.dll")" \
        --program-files "$(winpath "$sandbox/ProgramFiles")" --program-data "$(winpath "$sandbox/ProgramData")" \
        --app-data "$(winpath "$sandbox/AppData")" "${host_args[@]}" \
        --csv "$(winpath "$out/frames.csv")" --summary "$(winpath "$out/summary.json")" \
        </dev/null 2>&1 | tr -d '\r' | tee "$out/host-console.log" | grep -v '^\[host\] log'
    rc=${PIPESTATUS[0]}
    /usr/lib/wine/wineserver -k 2>/dev/null
else
    ProgramData="$sandbox/ProgramData" PROGRAMFILES="$sandbox/ProgramFiles" APPDATA="$sandbox/AppData" \
        "$bin/ferrox-host" --plugin "$bin/libFerroxEMG.so" "${host_args[@]}" \
        --csv "$out/frames.csv" --summary "$out/summary.json" \
        </dev/null 2>&1 | tee "$out/host-console.log" | grep -v '^\[host\] log'
    rc=${PIPESTATUS[0]}
fi
set -e
if [ ! -f "$out/summary.json" ]; then
    echo "ferrox-host wrote no summary (exit $rc); see $out/host-console.log" >&2
    exit 1
fi
python3 scripts/session_report.py "$out" || rc=1
exit "$rc"
