# Writes OUTPUT, a header defining OBJ2MESH_BATCH_CONVERTER_BUILD: the
# project's VERSION and the SHA-256 of the sources a conversion depends on
# (the library's sources, its public headers and the batch's conversion
# step), each given by its path relative to ROOT and its own SHA-256, in
# the order of the paths. The same source tree always gives the same value;
# the header is rewritten only when the value changes.
#   cmake -DROOT=<source dir> -DVERSION=<version> -DOUTPUT=<header> -P converter_build.cmake
file(GLOB_RECURSE sources RELATIVE ${ROOT}
  ${ROOT}/src/*.cpp ${ROOT}/src/*.h ${ROOT}/src/*.fbs ${ROOT}/src/CMakeLists.txt
  ${ROOT}/include/obj2mesh/*)
list(APPEND sources tools/obj2mesh-batch/conversion.cpp)
list(SORT sources)
set(listing "")
foreach(source IN LISTS sources)
  file(SHA256 ${ROOT}/${source} hash)
  string(APPEND listing "${source} ${hash}\n")
endforeach()
string(SHA256 hash "${listing}")
file(CONFIGURE OUTPUT ${OUTPUT} CONTENT
  "#define OBJ2MESH_BATCH_CONVERTER_BUILD \"${VERSION} ${hash}\"\n" @ONLY)
