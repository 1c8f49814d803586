#!/usr/bin/env bash
# Installs what is missing, builds from scratch in build/ and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh test
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DOBJ2MESH_TESTS=ON -DOBJ2MESH_BENCH=OFF
cmake --build build -j"$(nproc)"
ctest --test-dir build --output-on-failure -j"$(nproc)"
