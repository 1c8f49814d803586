#!/usr/bin/env bash
# Installs the build into a temporary prefix, builds the consumer project in
# consumer/ against it, converts a small OBJ file with the installed obj2mesh
# and reads the result back with the consumer and the installed meshinfo.
# (deb_test.sh checks the full list of installed files.)
# Usage: consumer_test.sh <build dir> [<config>]
set -euo pipefail
build=$1
config=${2:-Release}
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

fail() { echo "FAIL: $*" >&2; exit 1; }
quietly() { "$@" > "$work/log" 2>&1 || { cat "$work/log"; fail "$*"; }; }

quietly cmake --install "$build" --prefix "$prefix" --config "$config"
# Only the temporary prefix may provide the package, never the build tree.
quietly cmake -S "$here/consumer" -B "$work/consumer" -DCMAKE_BUILD_TYPE="$config" \
  -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF
quietly cmake --build "$work/consumer" --config "$config"
consumer=$(find "$work/consumer" -type f -name mesh_consumer -perm -u+x | head -n 1)

# A quad with normals in one group, a triangle without them in another.
cd "$work"
printf 'v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nv 0.5 -2 3\nvn 0 0 1\ng quad\nf 1//1 2//1 3//1 4//1\ng tri\nf 5 2 1\n' \
  > model.obj
"$prefix/bin/obj2mesh" model.obj -o split.mesh -c false > /dev/null
"$prefix/bin/obj2mesh" model.obj > /dev/null

expect() {  # expect <file> <expected consumer output>
  local got
  got=$("$consumer" "$1") || fail "the consumer rejects $1"
  [ "$got" = "$2" ] || fail "$1 reads back as:
$got
expected:
$2"
}
expect split.mesh "meshes 2
positions 4 normals 4 triangles 2
first position 0 0 0
positions 3 normals 0 triangles 1
first position 0.5 -2 3"
expect model.mesh "meshes 1
positions 7 normals 4 triangles 3
first position 0 0 0"

"$prefix/bin/meshinfo" split.mesh model.mesh > /dev/null || fail "the installed meshinfo rejects the files"
printf 'not a mesh file' > junk.mesh
if "$consumer" junk.mesh 2> /dev/null; then fail "the consumer accepts junk"; fi
echo "consumer test passed"
