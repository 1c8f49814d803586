#!/usr/bin/env bash
# Installs the Debian packages a task needs; only missing packages are
# installed, so a second run takes a second.
#
#   scripts/install-deps.sh [build|package|test|bench]
#
#   build    compiling the library and the programs (the default)
#   package  build, plus what cpack needs for the Debian packages
#   test     build, plus everything the test suites, the sanitizer build and
#            the fuzzer use
#   bench    build, plus the benchmarks' peer and tools
set -euo pipefail

build=(cmake make g++ libflatbuffers-dev flatbuffers-compiler flatbuffers-compiler-dev)
case "${1:-build}" in
  build) packages=("${build[@]}") ;;
  package) packages=("${build[@]}" dpkg-dev file) ;;
  test)
    packages=("${build[@]}"
      libgtest-dev libtinyobjloader-dev python3 python3-numpy
      clang libclang-rt-14-dev   # fuzzer and sanitizer builds
      time strace                # peak memory; writes held open in the kill test
      dpkg-dev file groff-base lintian)  # the Debian packages and manual pages
    ;;
  bench) packages=("${build[@]}" gcc python3 libbenchmark-dev libtinyobjloader-dev valgrind time) ;;
  *) echo "usage: $0 [build|package|test|bench]" >&2; exit 2 ;;
esac

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
