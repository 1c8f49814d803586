#!/usr/bin/env bash
# Builds the Debian packages from a built tree and checks each one's control
# fields, dependencies and contents, runs lintian on them (no errors, no
# warnings, and no hardening tag even among its notes: the programs are
# built with Debian's hardening flags), then runs the programs and the
# Python package unpacked from them.
# Usage: deb_test.sh <build dir> <version> [<python>]
# <python>: the interpreter the Python package's extension is built for.
set -euo pipefail
build=$(cd "$1" && pwd)
version=$2
python=${3:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fail() { echo "FAIL: $*" >&2; exit 1; }

command -v dpkg-deb > /dev/null || { echo "skipped: dpkg-deb is not installed"; exit 77; }
cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work" > "$work/log" 2>&1 || { cat "$work/log"; fail cpack; }
arch=$(dpkg --print-architecture)

# check <package> <architecture> <section> <depends pattern...> -- <expected files...>
# Lists the files (not folders) of the package; the library directory may
# carry the multiarch triplet.
check() {
  local package=$1 architecture=$2 section=$3; shift 3
  local deb=$work/${package}_${version}_${architecture}.deb
  [ -f "$deb" ] || { ls "$work"; fail "no $(basename "$deb")"; }
  field() { dpkg-deb -f "$deb" "$1"; }
  [ "$(field Package) $(field Version) $(field Architecture) $(field Section)" = \
    "$package $version $architecture $section" ] ||
    fail "$package: $(field Package) $(field Version) $(field Architecture) $(field Section)"
  [ -n "$(field Maintainer)" ] && [ -n "$(field Description)" ] || fail "$package: no Maintainer or Description"
  local depends
  depends=$(field Depends)
  while [ "$1" != -- ]; do
    [[ ", $depends," == *", $1"[\ ,]* ]] || fail "$package: Depends lacks $1: $depends"
    shift
  done
  shift
  for forbidden in libflatbuffers libtinyobjloader libgtest; do
    [ "$package" = obj2mesh-dev ] || [[ $depends != *$forbidden* ]] || fail "$package depends on $forbidden"
  done
  printf '%s\n' "$@" "./usr/share/doc/$package/changelog.gz" "./usr/share/doc/$package/copyright" | sort \
    > "$work/$package.expected"
  dpkg-deb -c "$deb" | awk '{print $NF}' | grep -v '/$' | sed 's|^\./usr/lib/[a-z0-9_-]*-linux-gnu[a-z]*/|./usr/lib/|' |
    sort | diff -u "$work/$package.expected" - || fail "$package: unexpected contents"
  dpkg-deb -x "$deb" "$work/root"
}

check obj2mesh "$arch" graphics libc6 libstdc++6 libgcc-s1 -- \
  ./usr/bin/meshinfo ./usr/bin/obj2mesh ./usr/bin/obj2mesh-batch \
  ./usr/share/man/man1/meshinfo.1.gz ./usr/share/man/man1/obj2mesh.1.gz ./usr/share/man/man1/obj2mesh-batch.1.gz
check obj2mesh-dev "$arch" libdevel libflatbuffers-dev "obj2mesh (= $version)" -- \
  ./usr/include/obj2mesh/converter.h ./usr/include/obj2mesh/mesh_generated.h ./usr/include/obj2mesh/version.h \
  ./usr/lib/libobj2mesh.a \
  ./usr/lib/cmake/obj2mesh/obj2meshAddMeshes.cmake ./usr/lib/cmake/obj2mesh/obj2meshConfig.cmake \
  ./usr/lib/cmake/obj2mesh/obj2meshConfigVersion.cmake ./usr/lib/cmake/obj2mesh/obj2meshTargets-release.cmake \
  ./usr/lib/cmake/obj2mesh/obj2meshTargets.cmake ./usr/lib/cmake/obj2mesh/obj2meshLibraryTargets-release.cmake \
  ./usr/lib/cmake/obj2mesh/obj2meshLibraryTargets.cmake ./usr/share/obj2mesh/mesh.fbs
py=./usr/lib/python3/dist-packages/obj2mesh
if [ -n "$python" ]; then
  read -r major minor suffix < <("$python" -c \
    'import sys, sysconfig as c; print(*sys.version_info[:2], c.get_config_var("EXT_SUFFIX"))')
  check python3-obj2mesh "$arch" python "python3 (>= $major.$minor~)" "python3 (<< $major.$((minor + 1)))" \
    python3-numpy libc6 libstdc++6 -- $py/__init__.py $py/_conversion.py $py/_native$suffix \
    ./usr/share/lintian/overrides/python3-obj2mesh
else
  check python3-obj2mesh all python python3 python3-numpy -- $py/__init__.py $py/_conversion.py
fi

# The development package pins the FlatBuffers release the headers were
# generated with.
dpkg-deb -f "$work/obj2mesh-dev_${version}_$arch.deb" Depends | grep -q 'libflatbuffers-dev (<< ' ||
  fail "obj2mesh-dev does not pin libflatbuffers-dev"
grep -q '^License: Expat$' "$work/root/usr/share/doc/obj2mesh/copyright" || fail "no machine-readable copyright"
zcat "$work/root/usr/share/doc/obj2mesh/changelog.gz" | head -n 1 | grep -q "^obj2mesh ($version) " ||
  fail "the changelog does not start with version $version"

if command -v lintian > /dev/null; then
  lintian -I --fail-on error,warning "$work"/*.deb > "$work/lintian" 2>&1 ||
    { cat "$work/lintian"; fail "lintian reports errors or warnings"; }
  if grep 'hardening-' "$work/lintian"; then fail "the programs lack hardening"; fi
else
  echo "lintian is not installed: not run"
fi

# The unpacked programs and the Python reader run, and the manual pages are
# well-formed roff.
root=$work/root
"$root/usr/bin/obj2mesh" --help | grep -q '^Usage: .*obj2mesh inputfile' || fail "obj2mesh --help"
[ "$("$root/usr/bin/meshinfo" --version)" = "meshinfo $version" ] || fail "meshinfo --version"
[ "$("$root/usr/bin/obj2mesh-batch" --version)" = "obj2mesh-batch $version" ] || fail "obj2mesh-batch --version"
printf 'v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n' > "$work/t.obj"
(cd "$work" && "$root/usr/bin/obj2mesh" t.obj > /dev/null) || fail "the unpacked obj2mesh cannot convert"
# Debian's own python3, whose numpy python3-numpy provides (or the extension's).
PYTHONPATH=$root/usr/lib/python3/dist-packages "${python:-/usr/bin/python3}" -c '
import sys, obj2mesh
meshes = obj2mesh.load(sys.argv[1])
assert len(meshes) == 1 and meshes[0].indices.tolist() == [[0, 1, 2]], meshes
if sys.argv[2]:
    assert obj2mesh.load_obj(sys.argv[1][:-5] + ".obj")[0].indices.tolist() == [[0, 1, 2]]
' "$work/t.mesh" "$python" || fail "the unpacked Python package"
if command -v groff > /dev/null; then
  for page in obj2mesh obj2mesh-batch meshinfo; do
    warnings=$(zcat "$root/usr/share/man/man1/$page.1.gz" | groff -man -Tutf8 -ww -z 2>&1)
    [ -z "$warnings" ] || fail "$page.1: $warnings"
    # A request joined to another line prints as text instead of acting.
    leaked=$(zcat "$root/usr/share/man/man1/$page.1.gz" | groff -man -Tascii -P-cbou 2>/dev/null |
      grep -E '(^|[[:space:]])\.(SH|SS|TH|TP|IP|PP|RS|RE|B|I|BR|BI|IR|RB)([[:space:]]|$)' || true)
    [ -z "$leaked" ] || fail "$page.1 prints a request as text: $leaked"
    zcat "$root/usr/share/man/man1/$page.1.gz" | grep -q "^\.TH .*\"obj2mesh $version\"" ||
      fail "$page.1 does not carry version $version"
  done
fi
echo "deb test passed: $(cd "$work" && ls ./*.deb | tr '\n' ' ')"
