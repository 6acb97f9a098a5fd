#!/usr/bin/env bash
# The Windows package as a lab PC gets it, under Wine: install silently into a new folder (a blank in
# its path, as under Program Files), compare what was installed with the zip, run the installed
# ferrox-host.exe against the installed plug-in and the installed simulator (copied by this test to
# the companion's path in a sandbox) for a 2 s session, uninstall as the system's list of programs
# does, and check that nothing the installer wrote is left. Then once more into a folder that already
# holds a file of someone else's: uninstalling leaves that file and the folder. Last, with no folder
# given: the installer's default is a folder of its own, never a host's plug-in folder.
# Usage: InstallerTest.sh SETUP.exe PACKAGE.zip WORK_FOLDER   (WINEPREFIX from the environment)
set -euo pipefail
setup=$1 zip=$2 work=$3
wine=/usr/lib/wine/wine64
key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\FerroxEMG'
files=(AnalogSystem.dll CHANGELOG.txt FerroxEMG.dll NOTICE.txt USER-GUIDE.txt ferrox-companion-sim.exe
       ferrox-host.exe)

winpath() { echo "Z:$(echo "$1" | sed 's|/|\\|g')"; }
fail() { echo "FAIL: $*" >&2; exit 1; }
listing() { (cd "$1" && ls -A | sort | tr '\n' ' '); }
registered() { "$wine" reg query "$key" </dev/null >/dev/null 2>&1; }

# Wine quotes an argument that holds a blank, and the installer takes /D= only unquoted (and last):
# the path goes over in pieces, which Wine joins with blanks.
install_into() {
    local pieces
    read -ra pieces <<<"/D=$(winpath "$1")"
    "$wine" "$setup" /S "${pieces[@]}" </dev/null || fail "the installer exited with $?"
}

# The uninstaller copies itself to a temporary folder, starts that copy and returns at once; the copy
# removes the files, the uninstaller and the registry entry.
uninstall_from() {
    local folder=$1 i
    "$wine" "$(winpath "$folder")\\uninstall.exe" /S </dev/null || fail "the uninstaller exited with $?"
    for ((i = 0; i < 600; i++)); do
        if [ ! -e "$folder/uninstall.exe" ] && ! registered; then
            break
        fi
        sleep 0.1
    done
    [ ! -e "$folder/uninstall.exe" ] || fail "uninstall.exe is still in $folder after 60 s"
}

cleanup() {
    # A failed run must not leave the entry in the shared prefix for the next one.
    registered && "$wine" reg delete "$key" /f </dev/null >/dev/null 2>&1
    return 0
}
trap cleanup EXIT

rm -rf "$work"
mkdir -p "$work/Program Files"
[ -s "$setup" ] && [ -s "$zip" ] || fail "no package: $setup, $zip"
registered && fail "an earlier install is still registered in the prefix"

# 1. A fresh folder.
install="$work/Program Files/FerroxEMG Tools"
install_into "$install"
expected="$(printf '%s\n' "${files[@]}" uninstall.exe | sort | tr '\n' ' ')"
[ "$(listing "$install")" = "$expected" ] || fail "installed: $(listing "$install"); expected: $expected"
zipped=$(python3 -c 'import sys, zipfile
names = [n.split("/", 1)[1] for n in zipfile.ZipFile(sys.argv[1]).namelist() if not n.endswith("/")]
print(" ".join(sorted(names)) + " ")' "$zip")
[ "$zipped" = "$(printf '%s\n' "${files[@]}" | sort | tr '\n' ' ')" ] || fail "the zip holds: $zipped"
registered || fail "the installer wrote no entry in the list of installed programs"

sandbox="$work/sandbox"
companion_dir="$sandbox/ProgramFiles/Quillmark/Harbex/LunoxaFerrox/Lunoxa"
mkdir -p "$sandbox/ProgramData/Quillmark/QuillmarkFerrox" "$companion_dir" "$sandbox/AppData"
cp "$install/ferrox-companion-sim.exe" "$companion_dir/SabletBase.exe"
version=$(cd "$install" && "$wine" ./ferrox-host.exe --version </dev/null | tr -d '\r')
set +e
(cd "$install" && "$wine" ./ferrox-host.exe --program-files "$(winpath "$sandbox/ProgramFiles")" \
    --program-data "$(winpath "$sandbox/ProgramData")" --app-data "$(winpath "$sandbox/AppData")" \
    --seconds 2 --summary "$(winpath "$work/summary.json")" </dev/null >"$work/session.log" 2>&1)
rc=$?
set -e
[ "$rc" -eq 0 ] || { tr -d '\r' <"$work/session.log" | tail -n 30; fail "the installed ferrox-host exited with $rc"; }
python3 - "$work/summary.json" "$version" <<'PY' || fail "the session's summary"
import json, sys
summary = json.load(open(sys.argv[1]))
version = ".".join(str(n) for n in summary["version"])
checks = {
    "the plug-in's DLLVersion is ferrox-host's version": sys.argv[2] == "ferrox-host " + version,
    "one factory": summary["factories"] == 1,
    "frames over the 2 s": summary["capture"]["frames"] >= 1000,
    "frames carried the simulator's values": summary["capture"]["zero_frames"] < summary["capture"]["frames"],
    "unload handed back the identifier": summary["unload"]["result"] == 0 and summary["unload"]["identifier"],
    "no errors": not summary["errors"],
}
for what, ok in checks.items():
    print(("ok   " if ok else "FAIL ") + what)
sys.exit(0 if all(checks.values()) else 1)
PY

uninstall_from "$install"
[ ! -e "$install" ] || fail "left behind in $install: $(listing "$install")"
registered && fail "the entry in the list of installed programs is left"
[ -d "$work/Program Files" ] || fail "the uninstaller removed a folder it did not make"

# 2. A folder that was there before, with a file of its own.
other="$work/Shared Folder"
mkdir -p "$other"
echo other >"$other/Other.dll"
install_into "$other"
[ -e "$other/FerroxEMG.dll" ] || fail "nothing installed into $other"
uninstall_from "$other"
[ "$(listing "$other")" = "Other.dll " ] || fail "after uninstalling, $other holds: $(listing "$other")"
registered && fail "the entry in the list of installed programs is left"

# 3. The default folder, in the prefix's own Program Files.
default_dir="$WINEPREFIX/drive_c/Program Files/FerroxEMG Tools"
rm -rf "$default_dir" # left by an earlier run that failed; the prefix is this build's own
"$wine" "$setup" /S </dev/null || fail "the installer exited with $?"
[ -e "$default_dir/FerroxEMG.dll" ] || fail "the default install did not go to $default_dir"
uninstall_from "$default_dir"
[ ! -e "$default_dir" ] || fail "left behind in $default_dir: $(listing "$default_dir")"

rm -rf "$work"
echo "package test passed: installed, ran a 2 s session, uninstalled without a trace"
