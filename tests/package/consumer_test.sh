#!/usr/bin/env bash
# Installs the build into a temporary prefix, builds (a copy of) the
# consumer project in consumer/ against it, which converts its assets with
# obj2mesh_add_meshes (WITH: what obj2mesh-batch --with writes); touching
# one material library must rebuild exactly the mesh of the file that names
# it. A project that only converts assets
# (no compiler, no FlatBuffers) builds its meshes too, and converts them
# again when the installed obj2mesh changes and only then. Then converts a
# small OBJ file with the installed obj2mesh and reads the result back with
# the consumer and the installed meshinfo;
# then converts every shared model in both modes with the consumer (the
# installed library) and the installed program, which must write the same
# bytes or fail alike. Last, the consumer is built with the source tree as a
# subproject, converts its assets and a model the same way, and installs
# nothing of obj2mesh. (deb_test.sh checks the full list of installed
# files.)
# Usage: consumer_test.sh <build dir> [<config>] [<shared dir>]
set -euo pipefail
build=$1
config=${2:-Release}
shared=${3:-}
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

fail() { echo "FAIL: $*" >&2; exit 1; }
quietly() { "$@" > "$work/log" 2>&1 || { cat "$work/log"; fail "$*"; }; }

quietly cmake --install "$build" --prefix "$prefix" --config "$config"
# Only the temporary prefix may provide the package, never the build tree.
# The project is copied, as the test touches its files.
cp -r "$here/consumer" "$work/project"
quietly cmake -S "$work/project" -B "$work/consumer" -DCMAKE_BUILD_TYPE="$config" \
  -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF
quietly cmake --build "$work/consumer" --config "$config" -j2
consumer=$(find "$work/consumer" -type f -name mesh_consumer -perm -u+x | head -n 1)

# The assets' meshes are the installed program's, run from each OBJ's folder.
assets=$work/project/assets
meshes=(meshes/a.mesh meshes/b.mesh meshes/c.mesh parts/a.mesh)
for mesh in "${meshes[@]}"; do
  stem=$(basename "$mesh" .mesh)
  folder=$assets; [ "$stem" = c ] && folder=$assets/sub
  args=(); [ "${mesh%%/*}" = parts ] && args=(-c false)
  (cd "$folder" && "$prefix/bin/obj2mesh" "$stem.obj" -o "$work/expected.mesh" "${args[@]}" > /dev/null)
  cmp -s "$work/expected.mesh" "$work/consumer/$mesh" || fail "$mesh is not what the program writes"
done
"$prefix/bin/obj2mesh-batch" -q -c false --with all -o "$work/batch" "$assets/sub/c.obj"
cmp -s "$work/batch/c.mesh" "$work/consumer/textured/c.mesh" || fail "textured/c.mesh is not what obj2mesh-batch writes"
# Which of the meshes in the build tree $tree a build rewrote.
tree=$work/consumer
stamps() { for mesh in "${meshes[@]}"; do echo "$mesh $(stat -c %Y.%y "$tree/$mesh")"; done; }
rebuilt() {
  local before
  before=$(stamps)
  sleep 1.1  # coarse file times
  "$@"
  quietly cmake --build "$tree" --config "$config" -j2
  { diff <(echo "$before") <(stamps) || true; } | sed -n 's/^> \([^ ]*\) .*/\1/p' | tr '\n' ' '
}
got=$(rebuilt touch "$assets/b.mtl")
[ "$got" = "meshes/b.mesh " ] || fail "touching b.mtl rebuilt: '$got'"
got=$(rebuilt touch "$assets/sub/c.mtl")
[ "$got" = "meshes/c.mesh " ] || fail "touching sub/c.mtl rebuilt: '$got'"
# A new mtllib line is found when the OBJ file changes.
printf 'newmtl extra\n' > "$assets/extra.mtl"
got=$(rebuilt sh -c "printf 'mtllib extra.mtl\\n' >> '$assets/b.obj'")
[ "$got" = "meshes/b.mesh " ] || fail "editing b.obj rebuilt: '$got'"
got=$(rebuilt touch "$assets/extra.mtl")
[ "$got" = "meshes/b.mesh " ] || fail "touching extra.mtl rebuilt: '$got'"

# Assets only: the package must not look for FlatBuffers or a compiler.
mkdir "$work/assets_only"
cat > "$work/assets_only/CMakeLists.txt" <<EOF
cmake_minimum_required(VERSION 3.25)
project(assets_only NONE)
find_package(obj2mesh REQUIRED)
obj2mesh_add_meshes(assets SOURCES "$assets/a.obj" "$assets/b.obj")
EOF
tree=$work/assets_build
meshes=(a.mesh b.mesh)
quietly cmake -S "$work/assets_only" -B "$tree" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF \
  -DCMAKE_DISABLE_FIND_PACKAGE_FlatBuffers=ON -DCMAKE_DISABLE_FIND_PACKAGE_Threads=ON
quietly cmake --build "$tree" --config "$config"
cmp -s "$tree/a.mesh" "$work/consumer/meshes/a.mesh" || fail "the assets-only project's a.mesh differs"
got=$(rebuilt true)
[ "$got" = "" ] || fail "a build with nothing changed rebuilt: '$got'"
got=$(rebuilt touch "$prefix/bin/obj2mesh")
[ "$got" = "a.mesh b.mesh " ] || fail "touching the installed obj2mesh rebuilt: '$got'"

# A quad with normals in one group, a triangle without them in another.
cd "$work"
printf 'v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nv 0.5 -2 3\nvn 0 0 1\ng quad\nf 1//1 2//1 3//1 4//1\ng tri\nf 5 2 1\n' \
  > model.obj
"$prefix/bin/obj2mesh" model.obj -o split.mesh -c false > /dev/null
"$prefix/bin/obj2mesh" model.obj > /dev/null

expect() {  # expect <file> <expected consumer output>
  local got
  got=$("$consumer" read "$1") || fail "the consumer rejects $1"
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
if "$consumer" read junk.mesh 2> /dev/null; then fail "the consumer accepts junk"; fi

# Material libraries resolve against the working directory, so both convert
# from the model's own folder.
models=0
if [ -n "$shared" ] && [ -d "$shared/models" ]; then
  for obj in "$shared"/models/*/*.obj; do
    name=$(basename "$(dirname "$obj")")
    for mode in combined separate; do
      args=(); [ $mode = separate ] && args=(-c false)
      (cd "$(dirname "$obj")" && "$prefix/bin/obj2mesh" "$(basename "$obj")" -o "$work/$name.$mode.program.mesh" \
        "${args[@]}" > /dev/null 2>&1) && program=0 || program=1
      (cd "$(dirname "$obj")" && "$consumer" convert "$(basename "$obj")" "$work/$name.$mode.library.mesh" \
        $mode 2> /dev/null) && library=0 || library=1
      [ $program = $library ] || fail "$name ($mode): the program exits $program, the library $library"
      if [ $program = 0 ]; then
        cmp -s "$work/$name.$mode.program.mesh" "$work/$name.$mode.library.mesh" ||
          fail "$name ($mode): the library and the program write different bytes"
      fi
    done
    models=$((models + 1))
  done
fi
# Eight shared models converted at once on threads of one host with a
# umask of 027 and a SIGINT handler of its own: the program's bytes, mode
# 0640, the handler untouched, and the shared path holding one whole mesh.
if [ $models -ge 8 ]; then
  objs=()
  for obj in "$shared"/models/*/*.obj; do
    case $obj in */malformed_idx/*) continue ;; esac
    objs+=("$obj")
    [ ${#objs[@]} = 8 ] && break
  done
  mkdir "$work/threads"
  "$consumer" threads "$work/threads" "${objs[@]}" || fail "the threaded host failed"
  wanted=()
  for i in "${!objs[@]}"; do
    obj=${objs[$i]}
    (cd "$(dirname "$obj")" && "$prefix/bin/obj2mesh" "$(basename "$obj")" -o "$work/threads.$i.mesh" > /dev/null)
    cmp -s "$work/threads.$i.mesh" "$work/threads/$i.mesh" || fail "threads: $obj gives other bytes"
    [ "$(stat -c %a "$work/threads/$i.mesh")" = 640 ] || fail "threads: $i.mesh is not mode 0640"
    cmp -s "$work/threads/$i.mesh" "$work/threads/shared.mesh" && wanted+=("$i")
  done
  [ ${#wanted[@]} -ge 1 ] || fail "threads: shared.mesh is none of the meshes"
  [ "$(ls -A "$work/threads" | wc -l)" = 9 ] || fail "threads: leftovers: $(ls -A "$work/threads")"
fi

# The same consumer with the source tree added as a subdirectory.
quietly cmake -S "$here/consumer" -B "$work/subproject" -DCMAKE_BUILD_TYPE="$config" \
  -DOBJ2MESH_SOURCE_DIR="$here/../.."
quietly cmake --build "$work/subproject" --config "$config" --target mesh_consumer consumer_assets consumer_textured -j2
subconsumer=$(find "$work/subproject" -type f -name mesh_consumer -perm -u+x | head -n 1)
"$subconsumer" convert model.obj sub.mesh separate || fail "the subproject's consumer cannot convert"
cmp -s sub.mesh split.mesh || fail "the subproject's consumer writes other bytes than the program"
cmp -s "$work/subproject/meshes/a.mesh" "$work/consumer/meshes/a.mesh" || fail "the subproject's a.mesh differs"
cmp -s "$work/subproject/textured/c.mesh" "$work/batch/c.mesh" || fail "the subproject's textured c.mesh differs"
quietly cmake --install "$work/subproject" --prefix "$work/subprefix" --config "$config"
[ -z "$(find "$work/subprefix" -type f 2> /dev/null)" ] || fail "the subproject installs files of obj2mesh"

echo "consumer test passed ($models shared models converted alike)"
