#!/usr/bin/env bash
# Installs the Debian packages that building, testing and benchmarking need.
# Only missing packages are installed, so a second run takes a second.
set -euo pipefail

packages=(
  cmake make g++ python3
  libflatbuffers-dev flatbuffers-compiler flatbuffers-compiler-dev
  libgtest-dev libbenchmark-dev libtinyobjloader-dev
  clang libclang-rt-14-dev   # fuzzers and sanitizer builds
  valgrind time              # benchmarks
  dpkg-dev file groff-base   # the Debian package: dpkg-shlibdeps, manual page checks
  strace                     # holds writes open in the test of killed runs
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
