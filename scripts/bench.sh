#!/usr/bin/env bash
# Benchmarks: the plug-in's capture against the first design's loops, in the same run, then the
# micro-benchmarks. Installs what is missing, builds linux-release, prints a table of the figures
# against their targets and writes every figure to out/bench/bench.json (scripts/bench_driver.py).
#
# Usage: scripts/bench.sh [--seconds S] [--out DIR]   (capture time of each run, default 30)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
# The driver owns every process of the run and ends each by its pid, also on Ctrl-C or SIGTERM; exec
# hands it the signals sent to this script.
exec python3 scripts/bench_driver.py "$@"
