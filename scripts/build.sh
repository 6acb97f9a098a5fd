#!/usr/bin/env bash
# The one way the scripts configure and build a preset, with one rule for parallel jobs:
# FERROX_JOBS when it is set, else the number of processors. scripts/test.sh runs ctest with as many.
#
# Sourced (scripts/run.sh, scripts/test.sh): defines build_jobs, configure_preset and build_preset.
# Run as a command (the benchmark and soak drivers): scripts/build.sh PRESET [TARGET...]
#
# Logs: build/PRESET-configure.log and build/PRESET-build.log; on a failure the errors are printed
# and the function returns (the command exits) non-zero.

build_jobs=${FERROX_JOBS:-$(nproc)}
case "$build_jobs" in
    '' | *[!0-9]* | 0) echo "FERROX_JOBS must be a whole number above 0, not \"$build_jobs\"" >&2; build_jobs=1 ;;
esac

# configure_preset PRESET
configure_preset() {
    local preset=$1
    mkdir -p build
    if ! cmake --preset "$preset" >"build/$preset-configure.log" 2>&1; then
        tail -n 40 "build/$preset-configure.log"
        return 1
    fi
}

# build_preset PRESET [TARGET...]: every target of the preset when none is named.
build_preset() {
    local preset=$1
    shift
    local targets=()
    [ $# -eq 0 ] || targets=(--target "$@")
    echo "== building ($preset, $build_jobs jobs)"
    configure_preset "$preset" || return 1
    if ! cmake --build --preset "$preset" -j "$build_jobs" "${targets[@]}" >"build/$preset-build.log" 2>&1; then
        grep -E 'error|Error' "build/$preset-build.log" | head -n 40
        echo "   (full log build/$preset-build.log)"
        return 1
    fi
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
    set -uo pipefail
    cd "$(dirname "$0")/.." || exit 1
    [ $# -ge 1 ] || { echo "usage: scripts/build.sh PRESET [TARGET...]" >&2; exit 2; }
    build_preset "$@"
fi
