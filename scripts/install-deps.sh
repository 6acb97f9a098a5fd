#!/usr/bin/env bash
# Installs what the build and the tests need on Debian 12 (run as root). Does nothing when all is there.
set -euo pipefail
packages=(
    build-essential cmake clang libclang-rt-14-dev clang-format clang-tidy
    libboost-dev libboost-system-dev nlohmann-json3-dev libcli11-dev
    googletest libgtest-dev libgmock-dev libbenchmark-dev
    g++-mingw-w64-x86-64-posix wine64 nsis
    gnuplot-nox procps iproute2 python3 stress-ng linux-perf
)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi
echo "installing: ${missing[*]}"
if [ "$(id -u)" -ne 0 ]; then
    echo "install-deps: run as root to install the packages above" >&2
    exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
