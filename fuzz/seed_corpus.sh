#!/usr/bin/env bash
# Builds the fuzzer's seed corpus from the test inputs and the shared real
# models: the OBJ files, and for models with a library, the OBJ text
# followed by its library behind the "@mtl" line the fuzzer splits at.
#
#   fuzz/seed_corpus.sh <convert-seed-dir>
#
# Files larger than the fuzzers' input limit are cut to their first whole
# lines below it, which keeps their statements intact.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
convert_dir=$1
limit=${FUZZ_MAX_LEN:-32768}
mkdir -p "$convert_dir"

# Copies a file (or stdin with "-") into a directory under a name made of its
# content hash, so reruns do not duplicate seeds.
add_seed() {
  local dir=$1 file=$2 tmp
  tmp=$(mktemp)
  head -c "$limit" -- "$file" >"$tmp"
  if [ "$(stat -c %s "$tmp")" -ge "$limit" ]; then
    # Drop the cut line: keep everything up to the last line feed.
    python3 - "$tmp" <<'PY'
import sys
path = sys.argv[1]
data = open(path, 'rb').read()
cut = data.rfind(b'\n')
open(path, 'wb').write(data[:cut + 1] if cut >= 0 else data)
PY
  fi
  mv "$tmp" "$dir/$(sha1sum "$tmp" | cut -c1-40)"
}

sources=()
for dir in "$root/tests/data" "$root/../shared/models"; do
  [ -d "$dir" ] && sources+=("$dir")
done
if [ ${#sources[@]} -eq 0 ]; then
  echo "seed_corpus.sh: no seed folders found" >&2
  exit 1
fi

while IFS= read -r -d '' obj; do
  add_seed "$convert_dir" "$obj"
done < <(find "${sources[@]}" -type f -name '*.obj' -print0)

while IFS= read -r -d '' mtl; do
  # The library of a model, appended to each OBJ file beside it.
  for obj in "$(dirname "$mtl")"/*.obj; do
    [ -f "$obj" ] || continue
    combined=$(mktemp)
    { head -c $((limit / 2)) -- "$obj"; printf '\n@mtl\n'; head -c $((limit / 2)) -- "$mtl"; } >"$combined"
    add_seed "$convert_dir" "$combined"
    rm -f "$combined"
  done
done < <(find "${sources[@]}" -type f -name '*.mtl' -print0)

echo "seeds: $(ls "$convert_dir" | wc -l) for fuzz_convert"
