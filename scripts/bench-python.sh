#!/usr/bin/env bash
# Installs what is missing (meshio and pywavefront among it), builds the
# Python extension in build-bench/ and runs the Python benchmark
# (bench/python_bench.py) on Debian's python3; arguments go to it
# (--runs N, --copies N, --rounds N, --shared DIR).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh bench
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DOBJ2MESH_TESTS=OFF -DOBJ2MESH_BENCH=ON \
  -DOBJ2MESH_PYTHON=ON -DPython3_EXECUTABLE=/usr/bin/python3 > /dev/null
cmake --build build-bench -j"$(nproc)" --target obj2mesh_native
/usr/bin/python3 bench/python_bench.py build-bench/python "$@"
