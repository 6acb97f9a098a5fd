#!/usr/bin/env bash
# Builds and runs every test suite: native (Linux, with GCC and with clang), Windows x86-64 under Wine,
# and the fuzz targets.
# Usage: scripts/test.sh [native|clang|windows|fuzz|asan|tsan|tidy|format|bench|soak]
#        (default: native clang windows fuzz asan tsan tidy format)
# bench runs scripts/bench.sh for 5 s only to prove it works; it asserts nothing about speed.
# soak runs scripts/soak.sh natively for 3 minutes, one fault of each kind; it fails when the soak does.
# FERROX_FUZZ_SECONDS sets how long each fuzz target runs (default 30).
set -uo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh || exit 1

suites=("$@")
[ ${#suites[@]} -eq 0 ] && suites=(native clang windows fuzz asan tsan tidy format)
source scripts/build.sh
jobs=$build_jobs
failed=()
summary=()

run_preset() { # name preset
    local name=$1 preset=$2 log="build/$2-test.log"
    echo "== $name"
    build_preset "$preset" || { failed+=("$name (build)"); return; }
    echo "== $name: tests"
    ctest --preset "$preset" -j "$jobs" 2>&1 | tee "$log" | grep -E '^\s*[0-9]+/[0-9]+ Test|tests passed|tests failed|Failed|\*\*\*' | grep -v ' Passed ' || true
    local line
    line=$(grep -E 'tests passed|tests failed' "$log" | tail -n 1)
    summary+=("$name: ${line:-no test summary}")
    if ! grep -q '100% tests passed' "$log"; then
        failed+=("$name")
    fi
}

# Builds the libFuzzer targets and runs each for a bounded time on a copy of its seed corpus. Any crash,
# leak, sanitizer report, timeout or out-of-memory fails the suite.
run_fuzz() {
    local preset=fuzz dir=build/fuzz seconds=${FERROX_FUZZ_SECONDS:-30}
    local targets=(configuration_report sensor_states relay_lines sample_blocks)
    echo "== fuzz"
    build_preset "$preset" "${targets[@]/#/fuzz_}" || { failed+=("fuzz (build)"); return; }
    local t
    for t in "${targets[@]}"; do
        local work="$dir/corpus/$t" artifacts="$dir/artifacts/$t/" log="build/fuzz-$t.log" rc
        mkdir -p "$work" "$artifacts"
        echo "== fuzz: $t for ${seconds} s"
        # New inputs go into the build tree's corpus; the checked-in seeds stay read-only.
        ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
            "$dir/bin/fuzz_$t" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 -close_fd_mask=3 \
            -artifact_prefix="$artifacts" "$work" "tests/fuzz/corpus/$t" </dev/null >"$log" 2>&1
        rc=$?
        local execs rate
        execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
        rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -n 1)
        summary+=("fuzz $t: ${execs:-?} executions, ${rate:-?} exec/s in ${seconds} s")
        echo "   ${execs:-?} executions, ${rate:-?} exec/s"
        if [ "$rc" -ne 0 ] || [ -z "$execs" ] ||
            grep -qE 'ERROR: (AddressSanitizer|LeakSanitizer|UndefinedBehaviorSanitizer|libFuzzer)|runtime error:|^SUMMARY: ' "$log"; then
            grep -m 1 -A 30 -E 'ERROR: |runtime error:' "$log" || tail -n 30 "$log"
            echo "   (exit $rc; full log $log, reproducer in $artifacts)"
            failed+=("fuzz $t")
        fi
    done
}

# Fails only when the benchmark script fails or writes no figures; missed targets are not failures.
run_bench() {
    local log=build/bench-test.log json=out/bench/bench.json
    mkdir -p build
    echo "== bench: scripts/bench.sh --seconds 5"
    if ! bash scripts/bench.sh --seconds 5 >"$log" 2>&1; then
        tail -n 30 "$log"; failed+=("bench"); summary+=("bench: failed (log $log)"); return
    fi
    if ! python3 -c 'import json, sys; r = json.load(open(sys.argv[1])); sys.exit(0 if "table" in r and r.get("streams_table") else 1)' "$json"; then
        echo "   no figures in $json"; failed+=("bench"); summary+=("bench: no figures in $json"); return
    fi
    summary+=("bench: ran, figures in $json")
}

# The soak's short form: 3 minutes, a fault every 20 s, so that each of the seven kinds comes once.
run_soak() {
    local log=build/soak-test.log json=out/soak/soak.json
    mkdir -p build
    echo "== soak: scripts/soak.sh --minutes 3 --every 20"
    bash scripts/soak.sh --minutes 3 --every 20 >"$log" 2>&1
    local rc=$?
    sed -n '/^== Soak report/,$p' "$log"
    if [ "$rc" -ne 0 ]; then
        [ -f "$json" ] || tail -n 30 "$log"
        failed+=("soak"); summary+=("soak: FAIL (exit $rc; log $log, figures in $json)"); return
    fi
    summary+=("soak: PASS, figures in $json")
}

# clang-tidy with the checked-in .clang-tidy over every translation unit of the project's own folders,
# from the linux-debug compile database. Any finding fails the suite (WarningsAsErrors).
run_tidy() {
    local log=build/tidy.log
    mkdir -p build
    echo "== tidy: configure (linux-debug, for its compile database)"
    configure_preset linux-debug || { failed+=("tidy (configure)"); return; }
    echo "== tidy: clang-tidy"
    local files rc findings
    files=$(grep -c '"file":' build/linux-debug/compile_commands.json)
    local runner
    runner=$(command -v run-clang-tidy-14 || command -v run-clang-tidy)
    "$runner" -p build/linux-debug -quiet -j "$jobs" \
        "$PWD/(host|platform|companion|inventory|device|factory|entry|tools|bench|tests)/" >"$log" 2>&1
    rc=$?
    findings=$(sed 's/\x1b\[[0-9;]*m//g' "$log" | grep -E '^/.*: (warning|error): ' | sort -u)
    summary+=("tidy: $(printf '%s' "$findings" | grep -c .) findings in ${files} translation units")
    if [ "$rc" -ne 0 ] || [ -n "$findings" ]; then
        printf '%s\n' "$findings" | head -n 40
        [ -z "$findings" ] && tail -n 30 "$log"
        echo "   (exit $rc; full log $log)"
        failed+=("tidy")
    fi
}

# The checked-in .clang-format over every tracked C++ file; any file it would change fails the suite.
run_format() {
    local log=build/format.log files bad
    mkdir -p build
    echo "== format: clang-format --dry-run"
    files=$(git ls-files '*.cpp' '*.h' 2>/dev/null || find host platform companion inventory device factory entry tools bench tests -name '*.cpp' -o -name '*.h')
    bad=$(for f in $files; do clang-format --dry-run -Werror "$f" >/dev/null 2>&1 || echo "$f"; done)
    printf '%s\n' "$bad" >"$log"
    summary+=("format: $(printf '%s' "$bad" | grep -c .) of $(printf '%s\n' $files | grep -c .) files differ from .clang-format")
    if [ -n "$bad" ]; then
        printf '   %s\n' $bad | head -n 40
        echo "   (clang-format -i <file> fixes each)"
        failed+=("format")
    fi
}

for s in "${suites[@]}"; do
    started=$SECONDS
    case "$s" in
        native) run_preset native linux-debug ;;
        # The same suites built by clang, so that code only one compiler accepts is caught here.
        clang) run_preset clang linux-clang ;;
        windows) run_preset windows windows ;;
        asan) run_preset asan asan ;;
        tsan) run_preset tsan tsan ;;
        fuzz) run_fuzz ;;
        tidy) run_tidy ;;
        format) run_format ;;
        bench) run_bench ;;
        soak) run_soak ;;
        *) echo "unknown suite: $s" >&2; failed+=("$s") ;;
    esac
    summary+=("$s took $((SECONDS - started)) s")
done

echo
echo "== Test summary"
for line in "${summary[@]}"; do echo "  $line"; done
if [ ${#failed[@]} -ne 0 ]; then
    echo "FAILED: ${failed[*]}"
    exit 1
fi
echo "all suites passed"
