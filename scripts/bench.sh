#!/usr/bin/env bash
# Installs what is missing, builds in build-bench/ and runs the end-to-end
# benchmark against the fast_obj peer, which bench/run.py compiles from
# ../shared into build-bench/; arguments go to bench/run.py (--quick,
# --runs N, --callgrind, --files full32,full256,positions256,small for some
# of the sections, --tinyobj for tinyobjloader as a second peer, --baseline
# PATH to compare with another obj2mesh executable). It runs from the
# repository's top folder, so a relative PATH starts there.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh bench
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DOBJ2MESH_TESTS=OFF -DOBJ2MESH_BENCH=ON > /dev/null
cmake --build build-bench -j"$(nproc)" --target obj2mesh obj2mesh-batch tinyobj_load micro_bench
python3 bench/run.py build-bench "$@"
