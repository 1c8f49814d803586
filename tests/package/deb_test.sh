#!/usr/bin/env bash
# Builds the Debian package from a built tree and checks its name, control
# fields and contents, then runs the programs unpacked from it.
# Usage: deb_test.sh <build dir> <version>
set -euo pipefail
build=$(cd "$1" && pwd)
version=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fail() { echo "FAIL: $*" >&2; exit 1; }

command -v dpkg-deb > /dev/null || { echo "skipped: dpkg-deb is not installed"; exit 77; }
cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work" > "$work/log" 2>&1 || { cat "$work/log"; fail cpack; }
deb=$work/obj2mesh_${version}_$(dpkg --print-architecture).deb
[ -f "$deb" ] || { ls "$work"; fail "no $(basename "$deb")"; }

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package) $(field Version)" = "obj2mesh $version" ] || fail "$(field Package) $(field Version)"
[ -n "$(field Maintainer)" ] && [ -n "$(field Description)" ] || fail "no Maintainer or Description"
depends=$(field Depends)
# The header needs the FlatBuffers headers; the programs need the C++
# runtime, which only dpkg-shlibdeps adds.
for dep in libflatbuffers-dev libc6 libstdc++6; do
  [[ ", $depends," == *", $dep"[\ ,]* ]] || fail "Depends lacks $dep: $depends"
done

dpkg-deb -c "$deb" | awk '{print $NF}' | grep -v '/$' | sort > "$work/contents"
sort > "$work/expected" <<'LIST'
./usr/bin/meshinfo
./usr/bin/obj2mesh
./usr/include/obj2mesh/converter.h
./usr/include/obj2mesh/mesh_generated.h
./usr/share/man/man1/meshinfo.1.gz
./usr/share/man/man1/obj2mesh.1.gz
./usr/share/obj2mesh/mesh.fbs
LIST
# The library and the CMake package directory follow the build's library
# directory.
for f in cmake/obj2mesh/obj2meshConfig.cmake cmake/obj2mesh/obj2meshConfigVersion.cmake \
    cmake/obj2mesh/obj2meshTargets.cmake libobj2mesh.a; do
  grep -q "^./usr/lib/\(.*/\)\?$f\$" "$work/contents" || fail "the package lacks $f"
done
grep -v -e '/cmake/obj2mesh/' -e '/libobj2mesh\.a$' "$work/contents" | diff -u "$work/expected" - ||
  fail "unexpected package contents"

# The unpacked programs run, and the manual pages are well-formed roff.
dpkg-deb -x "$deb" "$work/root"
"$work/root/usr/bin/obj2mesh" --help | grep -q '^Usage: .*obj2mesh inputfile' || fail "obj2mesh --help"
"$work/root/usr/bin/meshinfo" --help | grep -q '^Usage: meshinfo' || fail "meshinfo --help"
if command -v groff > /dev/null; then
  for page in obj2mesh meshinfo; do
    warnings=$(zcat "$work/root/usr/share/man/man1/$page.1.gz" | groff -man -Tutf8 -ww -z 2>&1)
    [ -z "$warnings" ] || fail "$page.1: $warnings"
    zcat "$work/root/usr/share/man/man1/$page.1.gz" | grep -q "^\.TH .*\"obj2mesh $version\"" ||
      fail "$page.1 does not carry version $version"
  done
fi
echo "deb test passed: $(basename "$deb")"
