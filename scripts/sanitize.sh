#!/usr/bin/env bash
# Runs the tests under sanitizers:
#
#   scripts/sanitize.sh [address|thread]
#
#   address  (the default) the whole test suite with AddressSanitizer and
#            UndefinedBehaviorSanitizer, built in build-asan
#   thread   the tests that run threads with ThreadSanitizer, built in
#            build-tsan
#
# Any report stops the process that made it (halt_on_error, no recovery
# from undefined behaviour), so it fails its test. The programs the
# end-to-end tests run are instrumented too. CXX picks the compiler (the
# system's default otherwise). The hardening flags are left out: fortified
# libc calls would bypass the sanitizers' own checks of them.
set -euo pipefail
cd "$(dirname "$0")/.."
mode=${1:-address}
case "$mode" in
  address | thread) ;;
  *) echo "usage: $0 [address|thread]" >&2; exit 2 ;;
esac
scripts/install-deps.sh test
jobs=${SANITIZE_JOBS:-$(nproc)}

configure() {  # build dir, sanitizers[, compiler flag]
  cmake -S . -B "$1" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_FLAGS="-fsanitize=$2 ${3:+$3 }-fno-omit-frame-pointer" -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=$2" \
    -DOBJ2MESH_TESTS=ON -DOBJ2MESH_BENCH=OFF -DOBJ2MESH_FUZZERS=OFF -DOBJ2MESH_HARDENING=OFF
}

if [ "$mode" = address ]; then
  configure build-asan address,undefined -fno-sanitize-recover=all
  cmake --build build-asan -j"$jobs"
  export ASAN_OPTIONS=halt_on_error=1:abort_on_error=1:detect_leaks=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1
  export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
  # The packaging tests check package metadata and contents, not memory
  # safety, and would package the instrumented build; they run in the normal
  # suite.
  ctest --test-dir build-asan --output-on-failure -j"$jobs" -E "^package_"
  exit 0
fi

# The tests that run threads: reading on several threads (every model, the
# models end to end on up to 8 threads, the first failure in file order),
# eight threads writing at once, obj2mesh-batch -j 2, and two generated
# files of 32 MB converted on one thread and on two, whose outputs must
# keep their recorded checksums. Only their programs are built.
tests='^(ObjReader\.|Shared/Models\.ReadAlike|SharedModels\.|Writer\.ManyThreadsAtOnce$|Batch\.|generated_outputs$)'
configure build-tsan thread
cmake --build build-tsan -j"$jobs" --target obj2mesh obj2mesh-batch obj_reader_test models_test mesh_writer_test batch_test
# Reports go to files in build-tsan/tsan-reports rather than to standard
# error: any file there fails the run, even one from a program whose exit
# status its test does not check, and is printed.
reports=$PWD/build-tsan/tsan-reports
rm -rf "$reports"
mkdir -p "$reports"
export TSAN_OPTIONS="halt_on_error=1:exitcode=66:second_deadlock_stack=1:history_size=7:log_path=$reports/report"
status=0
ctest --test-dir build-tsan --output-on-failure -j"$jobs" --no-tests=error -R "$tests" || status=$?
if [ -n "$(ls -A "$reports")" ]; then
  cat "$reports"/*
  echo "ThreadSanitizer reports: $(ls "$reports" | wc -l) process(es), logs in $reports" >&2
  exit 1
fi
exit "$status"
