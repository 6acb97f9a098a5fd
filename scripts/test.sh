#!/usr/bin/env bash
# Builds and runs every test suite: native (Linux) and Windows x86-64 under Wine.
# Usage: scripts/test.sh [native|windows|...]   (default: all suites)
set -uo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh || exit 1

suites=("$@")
[ ${#suites[@]} -eq 0 ] && suites=(native windows)
jobs=$(nproc)
failed=()
summary=()

run_preset() { # name preset
    local name=$1 preset=$2 log="build/$2-test.log"
    mkdir -p build
    echo "== $name: configure and build ($preset)"
    if ! cmake --preset "$preset" >"build/$preset-configure.log" 2>&1; then
        tail -n 40 "build/$preset-configure.log"; failed+=("$name (configure)"); return
    fi
    if ! cmake --build --preset "$preset" -j "$jobs" >"build/$preset-build.log" 2>&1; then
        grep -E 'error|Error' "build/$preset-build.log" | head -n 40; failed+=("$name (build)"); return
    fi
    echo "== $name: tests"
    ctest --preset "$preset" -j "$jobs" 2>&1 | tee "$log" | grep -E '^\s*[0-9]+/[0-9]+ Test|tests passed|tests failed|Failed|\*\*\*' | grep -v ' Passed ' || true
    local line
    line=$(grep -E 'tests passed|tests failed' "$log" | tail -n 1)
    summary+=("$name: ${line:-no test summary}")
    if ! grep -q '100% tests passed' "$log"; then
        failed+=("$name")
    fi
}

for s in "${suites[@]}"; do
    case "$s" in
        native) run_preset native linux-debug ;;
        windows) run_preset windows windows ;;
        asan) run_preset asan asan ;;
        tsan) run_preset tsan tsan ;;
        *) echo "unknown suite: $s" >&2; failed+=("$s") ;;
    esac
done

echo
echo "== Test summary"
for line in "${summary[@]}"; do echo "  $line"; done
if [ ${#failed[@]} -ne 0 ]; then
    echo "FAILED: ${failed[*]}"
    exit 1
fi
echo "all suites passed"
