#!/usr/bin/env bash
# The soak: one long capture while the companion fails in every way a lab sees, one fault per interval
# (scripts/soak_driver.py says what it looks for and how). Installs what is missing, builds the preset,
# runs the capture, prints the report per fault kind and PASS or FAIL, and writes soak.json and soak.png
# into the output folder.
#
# Usage: scripts/soak.sh [--windows [--wine-scheduling]] [--idle-processors] [--minutes M] [--every S] [--out DIR]
#        (defaults: 10 min, a fault every 60 s, out/soak or out/soak-windows)
#   --windows   the same soak with ferrox-host.exe, FerroxEMG.dll and the simulator's .exe under Wine,
#               its time-critical threads and the wineserver raised as Windows would run them
#   --wine-scheduling  with --windows: Wine's own scheduling instead
#   --idle-processors  on a virtual machine: the processors are not kept awake at SCHED_IDLE
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
# The driver owns every process of the run and ends each by its pid, also on Ctrl-C or SIGTERM.
exec python3 scripts/soak_driver.py "$@"
