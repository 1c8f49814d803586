#!/usr/bin/env bash
# Runs each libFuzzer target for the given number of seconds, one after the
# other (they share the machine with everything else):
#
#   scripts/fuzz.sh <seconds> [fuzz_convert ...]
#
# The fuzzers are built with clang into build-fuzz. Each keeps its corpus
# outside the source tree, in ${OBJ2MESH_FUZZ_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/obj2mesh-fuzz}/<target>,
# so that runs build on each other; the seeds (tests/data and the shared
# models) are regenerated and read alongside it on every run. Each run's
# log goes to <target>/logs/. A crashing input is written to
# <target>/artifacts and the script fails.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

if [ $# -lt 1 ] || ! [[ $1 =~ ^[0-9]+$ ]]; then
  echo "usage: $0 <seconds> [target...]" >&2
  exit 2
fi
seconds=$1
shift
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(fuzz_convert)

cxx=${FUZZ_CXX:-$(command -v clang++ || command -v clang++-14 || true)}
if [ -z "$cxx" ]; then
  echo "fuzz.sh: clang++ is needed for libFuzzer" >&2
  exit 1
fi
jobs=${FUZZ_BUILD_JOBS:-2}
cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER="$cxx" \
  -DOBJ2MESH_TESTS=OFF -DOBJ2MESH_BENCH=OFF -DOBJ2MESH_FUZZERS=ON >/dev/null
cmake --build build-fuzz -j"$jobs" --target "${targets[@]}"

# Inputs above this size only slow the search down; the large-input cases
# are covered by the end-to-end hostile-input tests.
export FUZZ_MAX_LEN=${FUZZ_MAX_LEN:-32768}
state=${OBJ2MESH_FUZZ_DIR:-${XDG_CACHE_HOME:-${HOME:-/tmp}/.cache}/obj2mesh-fuzz}
# Several runs may share the state folder (a long run and a CI run, say):
# they add to the same corpora, which is safe, but each has its own seeds
# and log.
run_id="$(date +%Y%m%d-%H%M%S)-$$"
mkdir -p "$state"
seeds=$(mktemp -d "$state/seeds.XXXXXX")
trap 'rm -rf "$seeds"' EXIT
fuzz/seed_corpus.sh "$seeds/fuzz_convert"

export ASAN_OPTIONS=${ASAN_OPTIONS:-halt_on_error=1:abort_on_error=1:detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}

status=0
for target in "${targets[@]}"; do
  dir="$state/$target"
  mkdir -p "$dir/corpus" "$dir/artifacts" "$dir/logs"
  log="$dir/logs/$run_id.log"
  # Keep the 20 newest logs.
  ls -1t "$dir/logs" | tail -n +20 | while read -r old; do rm -f "$dir/logs/$old"; done
  echo "== $target for ${seconds}s (corpus $dir/corpus, log $log)"
  if ! "build-fuzz/fuzz/$target" "$dir/corpus" "$seeds/$target" \
      -dict="$root/fuzz/obj.dict" -max_len="$FUZZ_MAX_LEN" -max_total_time="$seconds" \
      -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="$dir/artifacts/" >"$log" 2>&1; then
    status=1
    echo "!! $target found a failing input; see $log and $dir/artifacts/" >&2
    grep -E "ERROR|invariant violated|SUMMARY|Test unit written" "$log" >&2 || true
  fi
  grep -E "DONE|stat::number_of_executed_units|stat::average_exec_per_sec" "$log" || tail -n 5 "$log"
done
exit $status
