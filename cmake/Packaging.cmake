# Installation layout, the CMake package (the converter library and the
# reader of .mesh files), the manual pages and the Debian package. Included
# from the top-level CMakeLists.txt once every target exists.
include(CMakePackageConfigHelpers)

set(OBJ2MESH_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/obj2mesh)

# The schema, the reader header generated from it and the converter's
# header; consumers include them as <obj2mesh/...>.
get_directory_property(obj2mesh_schema_file DIRECTORY src DEFINITION MESH_SCHEMA)
get_directory_property(obj2mesh_reader_header DIRECTORY src DEFINITION MESH_GENERATED_HEADER)
install(FILES ${obj2mesh_schema_file} DESTINATION ${CMAKE_INSTALL_DATADIR}/obj2mesh)
install(FILES ${obj2mesh_reader_header} ${PROJECT_SOURCE_DIR}/include/obj2mesh/converter.h
  DESTINATION include/obj2mesh)

install(EXPORT obj2meshTargets NAMESPACE obj2mesh:: DESTINATION ${OBJ2MESH_CMAKE_DIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/obj2meshConfig.cmake.in
  ${PROJECT_BINARY_DIR}/obj2meshConfig.cmake
  INSTALL_DESTINATION ${OBJ2MESH_CMAKE_DIR})
# The schema only ever gains fields at the end, so any release of the same
# major version reads the files of any other.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/obj2meshConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/obj2meshConfig.cmake ${PROJECT_BINARY_DIR}/obj2meshConfigVersion.cmake
  DESTINATION ${OBJ2MESH_CMAKE_DIR})

# Manual pages, with the version filled in and compressed as Debian wants
# them; -n keeps the name and time stamp out of the archive so that rebuilds
# give the same bytes.
set(obj2mesh_man_pages)
foreach(page obj2mesh.1 meshinfo.1)
  set(source ${PROJECT_BINARY_DIR}/man/${page})
  set(compressed ${source}.gz)
  configure_file(${PROJECT_SOURCE_DIR}/man/${page} ${source} @ONLY)  # the version
  add_custom_command(OUTPUT ${compressed}
    COMMAND sh -c "gzip -9 -n < \"$1\" > \"$2\"" sh ${source} ${compressed}
    DEPENDS ${source}
    COMMENT "Compressing ${page}"
    VERBATIM)
  list(APPEND obj2mesh_man_pages ${compressed})
endforeach()
add_custom_target(man_pages ALL DEPENDS ${obj2mesh_man_pages})
install(FILES ${obj2mesh_man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# Debian package: cpack -G DEB in the build directory. A project that adds
# this one as a subdirectory keeps its own packaging.
if(NOT PROJECT_IS_TOP_LEVEL)
  return()
endif()
set(OBJ2MESH_PACKAGE_MAINTAINER "obj2mesh maintainers <maintainers@users.noreply.c-seed-54dba11e.example>"
  CACHE STRING "Maintainer field of the Debian package")
# The installed headers compile only against the FlatBuffers release this
# build found (see obj2meshConfig.cmake.in), so the package pins it.
string(REGEX MATCH "^([0-9]+)\\.([0-9]+)\\.([0-9]+)" obj2mesh_fb_version "${FlatBuffers_VERSION}")
math(EXPR obj2mesh_fb_next_patch "${CMAKE_MATCH_3} + 1")
set(obj2mesh_fb_next "${CMAKE_MATCH_1}.${CMAKE_MATCH_2}.${obj2mesh_fb_next_patch}")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME obj2mesh)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${OBJ2MESH_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Wavefront OBJ to FlatBuffers mesh converter")
set(CPACK_PACKAGE_DESCRIPTION "\
obj2mesh converts a Wavefront OBJ file into a .mesh file: one FlatBuffers
buffer holding, per mesh, vertex positions, vertex normals and a triangle
index list. meshinfo checks .mesh files and reports what they hold.

The package also carries the FlatBuffers schema, the C++ reader header
generated from it, the converter as a static C++ library and a CMake
package, find_package(obj2mesh), for programs that convert OBJ files or
read .mesh files.")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# dpkg-shlibdeps (dpkg-dev) works out the libraries the programs link.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS
  "libflatbuffers-dev (>= ${obj2mesh_fb_version}), libflatbuffers-dev (<< ${obj2mesh_fb_next})")
include(CPack)

if(OBJ2MESH_BUILD_TESTS)
  set(package_tests ${PROJECT_SOURCE_DIR}/tests/package)
  find_package(Python3 REQUIRED COMPONENTS Interpreter)
  add_test(NAME meshinfo_checks
    COMMAND ${Python3_EXECUTABLE} ${package_tests}/meshinfo_test.py CheckTest
      $<TARGET_FILE:meshinfo> $<TARGET_FILE:obj2mesh> ${obj2mesh_schema_file})
  add_test(NAME meshinfo_shared_models
    COMMAND ${Python3_EXECUTABLE} ${package_tests}/meshinfo_test.py ModelsTest
      $<TARGET_FILE:meshinfo> $<TARGET_FILE:obj2mesh> ${obj2mesh_schema_file} ${PROJECT_SOURCE_DIR}/../shared)
  add_test(NAME package_consumer
    COMMAND bash ${package_tests}/consumer_test.sh ${PROJECT_BINARY_DIR} $<CONFIG> ${PROJECT_SOURCE_DIR}/../shared)
  add_test(NAME package_deb
    COMMAND bash ${package_tests}/deb_test.sh ${PROJECT_BINARY_DIR} ${PROJECT_VERSION})
  set_tests_properties(meshinfo_shared_models package_deb PROPERTIES SKIP_RETURN_CODE 77)
  set_tests_properties(package_consumer package_deb PROPERTIES TIMEOUT 300)
endif()
