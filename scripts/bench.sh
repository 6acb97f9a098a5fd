#!/usr/bin/env bash
# Benchmarks: the plug-in's capture against the first design's loops, in the same run, then the
# micro-benchmarks. Installs what is missing, builds linux-release, prints a table of the figures
# against their targets and writes every figure to out/bench/bench.json.
#
# Usage: scripts/bench.sh [--seconds S]   (capture time of each run, default 30)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

seconds=30
while [ $# -gt 0 ]; do
    case "$1" in
        --seconds) [ $# -ge 2 ] || { echo "--seconds needs a value" >&2; exit 2; }; seconds=$2; shift ;;
        *) echo "usage: scripts/bench.sh [--seconds S]" >&2; exit 2 ;;
    esac
    shift
done

bash scripts/install-deps.sh
preset=linux-release
echo "== building ($preset)"
mkdir -p build
cmake --preset "$preset" >"build/$preset-configure.log" 2>&1 || { cat "build/$preset-configure.log"; exit 1; }
cmake --build --preset "$preset" -j 2 \
    --target FerroxEMG ferrox-host companion-sim ferrox-reference-host ferrox-micro-bench \
    >"build/$preset-bench-build.log" 2>&1 || { grep -E 'error|Error' "build/$preset-bench-build.log" | head -n 40; exit 1; }

# The driver owns every process of the run and ends each by its pid, also on Ctrl-C or SIGTERM; exec
# hands it the signals sent to this script.
exec python3 bench/bench_driver.py --bin "$root/build/$preset/bin" --out "$root/out/bench" --seconds "$seconds"
