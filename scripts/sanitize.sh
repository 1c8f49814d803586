#!/usr/bin/env bash
# Builds the whole test suite with AddressSanitizer and UndefinedBehavior-
# Sanitizer into build-asan and runs it. Any report stops the process that
# made it (halt_on_error, no recovery from undefined behaviour), so it
# fails its test. The converter the end-to-end tests run is instrumented
# too. CXX picks the compiler (the system's default otherwise). The
# hardening flags are left out: fortified libc calls would bypass the
# sanitizers' own checks of them.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh test
jobs=${SANITIZE_JOBS:-$(nproc)}
flags="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" \
  -DOBJ2MESH_TESTS=ON -DOBJ2MESH_BENCH=OFF -DOBJ2MESH_FUZZERS=OFF -DOBJ2MESH_HARDENING=OFF
cmake --build build-asan -j"$jobs"
export ASAN_OPTIONS=halt_on_error=1:abort_on_error=1:detect_leaks=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
# The packaging tests check package metadata and contents, not memory
# safety, and would package the instrumented build; they run in the normal
# suite.
ctest --test-dir build-asan --output-on-failure -j"$jobs" -E "^package_"
