#!/usr/bin/env bash
# The soak: one long capture while the companion is ended and started again (scripts/soak_driver.py
# says what it looks for and how). Installs what is missing, builds linux-release, runs the capture,
# prints the report and PASS or FAIL, and writes soak.json into the output folder.
#
# Usage: scripts/soak.sh [--minutes M] [--restart-every S] [--out DIR]   (defaults: 10, 60, out/soak)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
# The driver owns every process of the run and ends each by its pid, also on Ctrl-C or SIGTERM.
exec python3 scripts/soak_driver.py "$@"
