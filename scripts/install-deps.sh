#!/usr/bin/env bash
# Installs the Debian packages a task needs; only missing packages are
# installed, so a second run takes a second.
#
#   scripts/install-deps.sh [build|package|test|bench]
#
#   build    compiling the library and the programs (the default)
#   package  build, plus the Python extension and what cpack needs for the
#            Debian packages
#   test     build, plus the Python extension and everything the test
#            suites, the sanitizer build and the fuzzer use
#   bench    build, plus the Python extension, the benchmarks' peers and
#            tools
#
# Packages in `optional` are installed when they can be: a test that needs
# one skips, saying so, when it is missing.
set -euo pipefail

build=(cmake make g++ libflatbuffers-dev flatbuffers-compiler flatbuffers-compiler-dev)
python=(python3 python3-dev python3-numpy pybind11-dev python3-venv)  # the extension (built when pybind11 is found), pip install ./python
optional=()
case "${1:-build}" in
  build) packages=("${build[@]}") ;;
  package) packages=("${build[@]}" "${python[@]}" dpkg-dev file) ;;
  test)
    packages=("${build[@]}" "${python[@]}"
      libgtest-dev libtinyobjloader-dev
      clang libclang-rt-14-dev   # fuzzer and sanitizer builds
      time strace                # peak memory; writes held open in the kill test
      dpkg-dev file groff-base lintian)  # the Debian packages and manual pages
    optional=(python3-distributed)  # the Dask test
    ;;
  bench)
    packages=("${build[@]}" "${python[@]}" gcc libbenchmark-dev libtinyobjloader-dev valgrind time)
    optional=(python3-meshio python3-pywavefront)  # the Python loaders load_obj is measured against
    ;;
  *) echo "usage: $0 [build|package|test|bench]" >&2; exit 2 ;;
esac

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
missing=() missing_optional=()
for p in "${packages[@]}"; do installed "$p" || missing+=("$p"); done
for p in "${optional[@]}"; do installed "$p" || missing_optional+=("$p"); done
[ ${#missing[@]} -eq 0 ] && [ ${#missing_optional[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]} ${missing_optional[*]}"
sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
[ ${#missing[@]} -eq 0 ] || "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
if [ ${#missing_optional[@]} -gt 0 ]; then
  "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing_optional[@]}" ||
    echo "Could not install ${missing_optional[*]}: what needs them is skipped" >&2
fi
