# The test suites, the benchmarks and the fuzzers need more than the library
# does. Each has an option that is ON by default only when obj2mesh is the
# top-level project. A part left at its default is turned off, with one
# message, when something it needs is missing; a part set ON explicitly
# (with -D, or by a parent project's variable) stops the configuration
# instead.
#
# A default is remembered in the internal <option>_DEFAULTED_TO: a cached
# value that still equals it counts as a default on the next configuration
# too, so the part turns itself on once its dependencies are installed,
# while a -D of the other value counts as explicit.

# obj2mesh_optional_part(<option> <description>): declares the option and
# sets <option>_EXPLICIT.
macro(obj2mesh_optional_part name description)
  if(DEFINED CACHE{${name}} AND "$CACHE{${name}}" STREQUAL "$CACHE{${name}_DEFAULTED_TO}"
      AND "${${name}}" STREQUAL "$CACHE{${name}}")
    unset(${name} CACHE)
  endif()
  if(DEFINED ${name})
    set(${name}_EXPLICIT TRUE)
    unset(${name}_DEFAULTED_TO CACHE)
    option(${name} "${description}" OFF)  # only gives a -D value its type
  else()
    set(${name}_EXPLICIT FALSE)
    option(${name} "${description}" ${PROJECT_IS_TOP_LEVEL})
    set(${name}_DEFAULTED_TO ${${name}} CACHE INTERNAL "")
  endif()
endmacro()

# obj2mesh_part_needs(<option> <what installs it> [<missing>...]): with
# anything missing, stops if the part was asked for, and turns it off with
# one message if it was defaulted ON.
function(obj2mesh_part_needs name installer)
  if(NOT ARGN)
    return()
  endif()
  list(JOIN ARGN ", " missing)
  if(${name}_EXPLICIT)
    message(FATAL_ERROR "${name} is ON but needs ${missing}: ${installer} installs "
      "what is missing (or configure with -D${name}=OFF).")
  endif()
  message(NOTICE "${name} is OFF: it needs ${missing}, which ${installer} installs.")
  set_property(CACHE ${name} PROPERTY VALUE OFF)
  set(${name}_DEFAULTED_TO OFF CACHE INTERNAL "")
  set(${name} OFF PARENT_SCOPE)
endfunction()

# Debian's python3 is the one that python3-numpy and the Debian packages
# install into: the tests run it and the Python extension is built for it,
# unless -DPython3_EXECUTABLE names another interpreter.
if(NOT Python3_EXECUTABLE AND EXISTS /usr/bin/python3)
  set(Python3_EXECUTABLE /usr/bin/python3)
endif()

obj2mesh_optional_part(OBJ2MESH_TESTS "Build the test suites")
obj2mesh_optional_part(OBJ2MESH_BENCH "Build the benchmarks")
obj2mesh_optional_part(OBJ2MESH_FUZZERS "Build the libFuzzer targets (clang only)")
obj2mesh_optional_part(OBJ2MESH_PYTHON "Build the Python extension obj2mesh._native")

if(OBJ2MESH_TESTS)
  set(missing)
  find_package(GTest QUIET)
  if(NOT GTest_FOUND)
    list(APPEND missing GoogleTest)
  endif()
  find_package(tinyobjloader CONFIG QUIET)
  if(NOT tinyobjloader_FOUND)
    list(APPEND missing tinyobjloader)
  endif()
  find_package(Python3 QUIET COMPONENTS Interpreter)
  # The Python reader is tested on Debian's python3, whose numpy
  # python3-numpy provides.
  find_program(OBJ2MESH_SYSTEM_PYTHON python3 PATHS /usr/bin NO_DEFAULT_PATH)
  if(NOT Python3_Interpreter_FOUND OR NOT OBJ2MESH_SYSTEM_PYTHON)
    list(APPEND missing python3)
  else()
    execute_process(COMMAND ${OBJ2MESH_SYSTEM_PYTHON} -c "import numpy"
      RESULT_VARIABLE numpy_status OUTPUT_QUIET ERROR_QUIET)
    if(NOT numpy_status EQUAL 0)
      list(APPEND missing "numpy for ${OBJ2MESH_SYSTEM_PYTHON}")
    endif()
  endif()
  obj2mesh_part_needs(OBJ2MESH_TESTS "scripts/install-deps.sh test" ${missing})
endif()

if(OBJ2MESH_BENCH)
  set(missing)
  find_package(tinyobjloader CONFIG QUIET)
  if(NOT tinyobjloader_FOUND)
    list(APPEND missing tinyobjloader)
  endif()
  find_package(benchmark CONFIG QUIET)
  if(NOT benchmark_FOUND)
    list(APPEND missing "Google Benchmark")
  endif()
  obj2mesh_part_needs(OBJ2MESH_BENCH "scripts/install-deps.sh bench" ${missing})
endif()

# Python would have to load a sanitizer's runtime before the extension:
# sanitizer builds leave the extension out unless it is asked for.
if(OBJ2MESH_PYTHON AND NOT OBJ2MESH_PYTHON_EXPLICIT AND CMAKE_CXX_FLAGS MATCHES "-fsanitize=")
  set(OBJ2MESH_PYTHON OFF)
endif()
if(OBJ2MESH_PYTHON)
  set(missing)
  find_package(Python3 QUIET COMPONENTS Interpreter Development.Module)
  if(NOT Python3_Development.Module_FOUND)
    list(APPEND missing "the Python headers (python3-dev)")
  else()
    find_package(pybind11 2.10 CONFIG QUIET)
    if(NOT pybind11_FOUND)
      list(APPEND missing pybind11)
    endif()
  endif()
  obj2mesh_part_needs(OBJ2MESH_PYTHON "scripts/install-deps.sh test (or package)" ${missing})
endif()

# libFuzzer comes with clang; scripts/fuzz.sh configures a build of its own
# with clang++, so a default build with another compiler leaves the
# fuzzers out without a word.
if(OBJ2MESH_FUZZERS AND NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  if(OBJ2MESH_FUZZERS_EXPLICIT)
    message(FATAL_ERROR "OBJ2MESH_FUZZERS is ON but the compiler is ${CMAKE_CXX_COMPILER_ID}: "
      "libFuzzer needs clang (configure with -DCMAKE_CXX_COMPILER=clang++, as scripts/fuzz.sh does).")
  endif()
  set(OBJ2MESH_FUZZERS OFF)
elseif(OBJ2MESH_FUZZERS)
  include(CheckCXXSourceCompiles)
  set(CMAKE_REQUIRED_FLAGS -fsanitize=fuzzer,address,undefined)
  set(CMAKE_REQUIRED_LINK_OPTIONS ${CMAKE_REQUIRED_FLAGS})
  set(CMAKE_REQUIRED_QUIET ON)
  check_cxx_source_compiles([[
    #include <cstddef>
    #include <cstdint>
    extern "C" int LLVMFuzzerTestOneInput(const uint8_t*, size_t) { return 0; }
  ]] OBJ2MESH_HAVE_LIBFUZZER)
  if(NOT OBJ2MESH_HAVE_LIBFUZZER)
    unset(OBJ2MESH_HAVE_LIBFUZZER CACHE)  # looked for again on the next run
    obj2mesh_part_needs(OBJ2MESH_FUZZERS "scripts/install-deps.sh test"
      "clang's libFuzzer and sanitizer runtimes")
  endif()
  unset(CMAKE_REQUIRED_FLAGS)
  unset(CMAKE_REQUIRED_LINK_OPTIONS)
  unset(CMAKE_REQUIRED_QUIET)
endif()
unset(missing)
