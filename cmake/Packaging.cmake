# Installation layout, in three components that become the three Debian
# packages: "programs" (obj2mesh, obj2mesh-batch, meshinfo and their manual
# pages), "development" (headers, schema, the static library and the CMake package
# with the asset helper) and "python" (the Python package: the reader of
# .mesh files, and the converter as the extension obj2mesh._native when
# OBJ2MESH_PYTHON builds it; its install rules are in python/). Included
# from the top-level CMakeLists.txt, once every target exists, when
# OBJ2MESH_INSTALL is on. The programs' install rules are in their own
# folders, in the export set obj2meshTargets.
include(CMakePackageConfigHelpers)

set(OBJ2MESH_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/obj2mesh)
set(OBJ2MESH_MAINTAINER "obj2mesh maintainers <maintainers@obj2mesh.invalid>")

# The C++ targets have an export set of their own, which the package
# configuration loads only in projects that compile C++ (see
# obj2meshConfig.cmake.in).
install(TARGETS obj2mesh_converter mesh_schema EXPORT obj2meshLibraryTargets ARCHIVE COMPONENT development)

# The schema, the reader header generated from it and the converter's
# header; consumers include them as <obj2mesh/...>.
get_directory_property(obj2mesh_schema_file DIRECTORY src DEFINITION MESH_SCHEMA)
get_directory_property(obj2mesh_reader_header DIRECTORY src DEFINITION MESH_GENERATED_HEADER)
get_directory_property(obj2mesh_version_header DIRECTORY src DEFINITION OBJ2MESH_VERSION_HEADER)
install(FILES ${obj2mesh_schema_file} DESTINATION ${CMAKE_INSTALL_DATADIR}/obj2mesh COMPONENT development)
install(FILES ${obj2mesh_reader_header} ${obj2mesh_version_header} ${PROJECT_SOURCE_DIR}/include/obj2mesh/converter.h
  DESTINATION include/obj2mesh COMPONENT development)

foreach(export obj2meshTargets obj2meshLibraryTargets)
  install(EXPORT ${export} NAMESPACE obj2mesh:: DESTINATION ${OBJ2MESH_CMAKE_DIR} COMPONENT development)
endforeach()
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/obj2meshConfig.cmake.in
  ${PROJECT_BINARY_DIR}/obj2meshConfig.cmake
  INSTALL_DESTINATION ${OBJ2MESH_CMAKE_DIR})
# The schema only ever gains fields at the end, so any release of the same
# major version reads the files of any other.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/obj2meshConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/obj2meshConfig.cmake ${PROJECT_BINARY_DIR}/obj2meshConfigVersion.cmake
  ${CMAKE_CURRENT_LIST_DIR}/obj2meshAddMeshes.cmake
  DESTINATION ${OBJ2MESH_CMAKE_DIR} COMPONENT development)

# Manual pages, with the version filled in and compressed as Debian wants
# them; -n keeps the name and time stamp out of the archive so that rebuilds
# give the same bytes.
function(obj2mesh_gzip source compressed)
  add_custom_command(OUTPUT ${compressed}
    COMMAND sh -c "gzip -9 -n < \"$1\" > \"$2\"" sh ${source} ${compressed}
    DEPENDS ${source}
    COMMENT "Compressing ${source}"
    VERBATIM)
endfunction()
set(obj2mesh_man_pages)
foreach(page obj2mesh.1 obj2mesh-batch.1 meshinfo.1)
  set(source ${PROJECT_BINARY_DIR}/man/${page})
  configure_file(${PROJECT_SOURCE_DIR}/man/${page} ${source} @ONLY)  # the version
  obj2mesh_gzip(${source} ${source}.gz)
  list(APPEND obj2mesh_man_pages ${source}.gz)
endforeach()
install(FILES ${obj2mesh_man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT programs)

# Each package's copyright file (the licence, machine-readable), changelog
# and the lintian overrides of what is intended.
set(obj2mesh_changelog ${PROJECT_BINARY_DIR}/debian/changelog)
configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/changelog ${obj2mesh_changelog} @ONLY)
obj2mesh_gzip(${obj2mesh_changelog} ${obj2mesh_changelog}.gz)
add_custom_target(package_files ALL DEPENDS ${obj2mesh_man_pages} ${obj2mesh_changelog}.gz)
set(obj2mesh_package_of_programs obj2mesh)
set(obj2mesh_package_of_development obj2mesh-dev)
set(obj2mesh_package_of_python python3-obj2mesh)
foreach(component programs development python)
  set(package ${obj2mesh_package_of_${component}})
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/debian/copyright ${obj2mesh_changelog}.gz
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component})
  # The Python package's overrides concern the extension.
  if(EXISTS ${CMAKE_CURRENT_LIST_DIR}/debian/${package}.lintian-overrides
      AND (OBJ2MESH_PYTHON OR NOT component STREQUAL "python"))
    install(FILES ${CMAKE_CURRENT_LIST_DIR}/debian/${package}.lintian-overrides
      DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME ${package} COMPONENT ${component})
  endif()
endforeach()

# Debian packages: cpack -G DEB in the build directory. A project that adds
# this one as a subdirectory and installs it keeps its own packaging.
if(NOT PROJECT_IS_TOP_LEVEL)
  return()
endif()
# The installed headers compile only against the FlatBuffers release this
# build found (see obj2meshConfig.cmake.in), so the development package
# pins it.
string(REGEX MATCH "^([0-9]+)\\.([0-9]+)\\.([0-9]+)" obj2mesh_fb_version "${FlatBuffers_VERSION}")
math(EXPR obj2mesh_fb_next_patch "${CMAKE_MATCH_3} + 1")
set(obj2mesh_fb_next "${CMAKE_MATCH_1}.${CMAKE_MATCH_2}.${obj2mesh_fb_next_patch}")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME obj2mesh)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${OBJ2MESH_MAINTAINER}")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL programs development python)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)

set(CPACK_DEBIAN_PROGRAMS_PACKAGE_NAME obj2mesh)
set(CPACK_DEBIAN_PROGRAMS_PACKAGE_SECTION graphics)
# dpkg-shlibdeps (dpkg-dev) works out the libraries the programs link.
set(CPACK_DEBIAN_PROGRAMS_PACKAGE_SHLIBDEPS ON)
set(CPACK_COMPONENT_PROGRAMS_DESCRIPTION "Wavefront OBJ to FlatBuffers mesh converter
obj2mesh converts a Wavefront OBJ file into a .mesh file: one FlatBuffers
buffer holding, per mesh, vertex positions, vertex normals and a triangle
index list. obj2mesh-batch converts many files at once, skipping those
already up to date. meshinfo checks .mesh files and reports what they hold.")

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME obj2mesh-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS
  "libflatbuffers-dev (>= ${obj2mesh_fb_version}), libflatbuffers-dev (<< ${obj2mesh_fb_next}), obj2mesh (= ${PROJECT_VERSION})")
set(CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION "Wavefront OBJ to FlatBuffers mesh converter - development files
The obj2mesh converter as a static C++ library (obj2mesh/converter.h), the
FlatBuffers schema of .mesh files and the C++ reader code generated from
it, and a CMake package: find_package(obj2mesh) gives the targets
obj2mesh::converter and obj2mesh::mesh_schema, and obj2mesh_add_meshes(),
which converts a project's OBJ assets at build time.")

set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-obj2mesh)
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
if(OBJ2MESH_PYTHON)
  # The extension is built for one Python release, as Debian's python3
  # packages pin it; dpkg-shlibdeps adds the libraries it links.
  set(CPACK_DEBIAN_PYTHON_PACKAGE_SHLIBDEPS ON)
  math(EXPR obj2mesh_python_next "${Python3_VERSION_MINOR} + 1")
  set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "python3 (>= ${Python3_VERSION_MAJOR}.${Python3_VERSION_MINOR}~), \
python3 (<< ${Python3_VERSION_MAJOR}.${obj2mesh_python_next}), python3-numpy")
  set(obj2mesh_python_synopsis "reader of obj2mesh .mesh files and OBJ converter for Python")
  set(obj2mesh_python_converter "
obj2mesh.load_obj() and obj2mesh.convert() run the converter in process,
releasing the GIL, so that threads, and Dask workers, convert files in
parallel.")
else()
  set(CPACK_DEBIAN_PYTHON_PACKAGE_ARCHITECTURE all)
  set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "python3, python3-numpy")
  set(obj2mesh_python_synopsis "reader of obj2mesh .mesh files for Python")
  set(obj2mesh_python_converter "")
endif()
set(CPACK_COMPONENT_PYTHON_DESCRIPTION "${obj2mesh_python_synopsis}
obj2mesh.load() maps a .mesh file written by obj2mesh and returns its
meshes: positions, normals and triangle indices as read-only numpy arrays
that view the file without copying it, after checking every offset and
index.${obj2mesh_python_converter}")
include(CPack)
