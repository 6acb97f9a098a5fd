#!/usr/bin/env bash
# The main job. For now: install what is missing and build everything (native and Windows).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
for preset in linux-release windows; do
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j "$(nproc)"
done
echo "built: build/linux-release/bin and build/windows/bin"
