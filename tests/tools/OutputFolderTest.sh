#!/usr/bin/env bash
# A session script's output folder: one that holds someone else's files is refused and left as it
# was; the script's own earlier output loses only what the script wrote there.
# Usage: OutputFolderTest.sh SESSION_SUPPORT_PY BIN_DIR
set -euo pipefail
support=$1
bin=$2
work=$(mktemp -d "${FERROX_TEST_TMP:-${TMPDIR:-/tmp}}/output-folder.XXXXXX")
trap 'rm -rf "$work"' EXIT
claim() { python3 "$support" output --tool run.sh --out "$1" --files summary.json --folders sandbox; }
fail() { echo "FAILED: $*" >&2; exit 1; }

mkdir "$work/data"
echo "a user's notes" >"$work/data/notes.txt"
if claim "$work/data" 2>"$work/refused.txt"; then fail "a folder with a user's file was taken"; fi
grep -q "already holds files it did not write (notes.txt)" "$work/refused.txt" || fail "$(cat "$work/refused.txt")"
[ "$(ls -A "$work/data")" = notes.txt ] || fail "the refused folder changed: $(ls -A "$work/data")"

claim "$work/mine"
python3 "$support" sandbox --out "$work/mine" --bin "$bin"
[ -n "$(find "$work/mine/sandbox" -name SabletBase.exe)" ] || fail "no companion installed in the sandbox"
touch "$work/mine/summary.json" "$work/mine/notes.txt"
claim "$work/mine"
if [ -e "$work/mine/summary.json" ] || [ -e "$work/mine/sandbox" ]; then fail "the earlier output was not cleared"; fi
[ -e "$work/mine/notes.txt" ] || fail "a file the script did not write was removed"
echo "output folder rules hold"
