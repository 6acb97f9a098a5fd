#!/usr/bin/env bash
# Builds the Windows release (the windows preset: mingw-w64, statically linked runtime) and writes the
# package to out/package/:
#   FerroxEMG-<version>-win64.zip    the package's files in one folder
#   FerroxEMG-<version>-setup.exe    the NSIS installer (silent: /S /D=<folder>)
# The version is project(FerroxEMG VERSION ...) in CMakeLists.txt. packaging/ holds the installer
# script, the user guide and the third-party notice.
# Usage: scripts/package.sh
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh

preset=windows
mkdir -p build out/package
echo "== package: configure and build ($preset)"
if ! cmake --preset "$preset" >"build/$preset-configure.log" 2>&1; then
    tail -n 40 "build/$preset-configure.log"; exit 1
fi
if ! cmake --build --preset "$preset" -j "$(nproc)" --target ferrox_package >"build/$preset-package.log" 2>&1; then
    grep -E 'error|Error' "build/$preset-package.log" | head -n 40; exit 1
fi

version=$(sed -n 's/^#define FERROX_VERSION_STRING "\(.*\)"$/\1/p' "build/$preset/generated/FerroxVersion.h")
[ -n "$version" ] || { echo "package: no version in build/$preset/generated/FerroxVersion.h" >&2; exit 1; }
rm -f out/package/FerroxEMG-*-win64.zip out/package/FerroxEMG-*-setup.exe
for file in "FerroxEMG-$version-win64.zip" "FerroxEMG-$version-setup.exe"; do
    cp "build/$preset/package/$file" out/package/
done
echo "== package: FerroxEMG $version"
ls -l out/package/FerroxEMG-"$version"-*
