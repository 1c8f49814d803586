# obj2mesh_add_meshes(<target> SOURCES <obj>... [OUTPUT_DIRECTORY <dir>] [SEPARATE]
#                     [WITH <item>...])
#
# Adds the custom target <target>, built by default, that converts each OBJ
# file into <dir>/<stem>.mesh (<dir> defaults to CMAKE_CURRENT_BINARY_DIR; a
# relative one is taken from it). SEPARATE writes one mesh per shape instead
# of one mesh holding every shape. WITH writes the fields a default
# conversion leaves out: texcoords, aligned-normals, parts, or all of them;
# the files are then converted by obj2mesh-batch --with, the others by
# obj2mesh.
#
# The program runs from the OBJ file's own folder, so the material libraries
# its "mtllib" lines name resolve exactly as when the program is run there
# by hand. Each mesh depends on the program, on its OBJ file and on those
# libraries, which are found when CMake configures: the OBJ file is a
# configure dependency, so a new "mtllib" line is picked up, and touching a
# library rebuilds the meshes of the files that name it and no others. A
# new program, rebuilt or installed, converts its files again. Every
# conversion is a build step of its own, so make -j, Ninja and distributed
# build execution run them in parallel.
function(obj2mesh_add_meshes target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "SEPARATE" "OUTPUT_DIRECTORY" "SOURCES;WITH")
  if(arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "obj2mesh_add_meshes: unknown arguments: ${arg_UNPARSED_ARGUMENTS}")
  endif()
  if(NOT arg_SOURCES)
    message(FATAL_ERROR "obj2mesh_add_meshes: no SOURCES given")
  endif()
  set(directory ${CMAKE_CURRENT_BINARY_DIR})
  if(arg_OUTPUT_DIRECTORY)
    get_filename_component(directory "${arg_OUTPUT_DIRECTORY}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_BINARY_DIR}")
  endif()
  set(mode)
  if(arg_SEPARATE)
    set(mode -c false)
  endif()
  set(items texcoords aligned-normals parts all)
  if("WITH" IN_LIST arg_KEYWORDS_MISSING_VALUES)
    message(FATAL_ERROR "obj2mesh_add_meshes: WITH needs texcoords, aligned-normals, parts or all")
  endif()
  foreach(item IN LISTS arg_WITH)
    if(NOT item IN_LIST items)
      message(FATAL_ERROR "obj2mesh_add_meshes: WITH takes texcoords, aligned-normals, parts or all, not '${item}'")
    endif()
  endforeach()
  set(program obj2mesh::obj2mesh)
  set(flags)
  set(description)
  if(arg_WITH)
    # obj2mesh-batch -o <dir> writes <dir>/<stem>.mesh too. It converts even
    # an output it finds up to date (the build decides when to run it), and
    # takes the file as ./<name>, which no option can look like.
    list(REMOVE_DUPLICATES arg_WITH)
    list(JOIN arg_WITH "," with)
    set(program obj2mesh::obj2mesh-batch)
    set(flags -q --force --with ${with})
    set(description " with ${with}")
  endif()

  set(outputs)
  foreach(source IN LISTS arg_SOURCES)
    get_filename_component(obj "${source}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
    get_filename_component(folder "${obj}" DIRECTORY)
    get_filename_component(name "${obj}" NAME)
    get_filename_component(stem "${obj}" NAME_WLE)
    set(output "${directory}/${stem}.mesh")
    if("${output}" IN_LIST outputs)
      message(FATAL_ERROR "obj2mesh_add_meshes: two sources would make ${output}")
    endif()

    # The first word after each "mtllib" keyword, as the reader takes it; a
    # library that does not exist yet reads as empty and is not a dependency.
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${obj}")
    file(STRINGS "${obj}" lines REGEX "^[ \t]*mtllib[ \t]")
    string(ASCII 11 12 vertical)  # the white space besides " \t\r\n" that ends a word
    set(libraries)
    foreach(line IN LISTS lines)
      string(REGEX REPLACE "^[ \t]*mtllib[ \t]+" "" rest "${line}")
      string(REGEX REPLACE "^[ \t\r${vertical}]+" "" rest "${rest}")
      string(REGEX MATCH "^[^ \t\r\n${vertical}]+" library "${rest}")
      if(library)
        get_filename_component(library "${library}" ABSOLUTE BASE_DIR "${folder}")
        if(EXISTS "${library}" AND NOT IS_DIRECTORY "${library}")
          list(APPEND libraries "${library}")
        endif()
      endif()
    endforeach()
    list(REMOVE_DUPLICATES libraries)

    set(input "${name}")
    set(destination "${output}")
    if(arg_WITH)
      set(input "./${name}")
      set(destination "${directory}")
    endif()

    add_custom_command(OUTPUT "${output}"
      COMMAND "${CMAKE_COMMAND}" -E make_directory "${directory}"
      COMMAND ${program} "${input}" -o "${destination}" ${mode} ${flags}
      WORKING_DIRECTORY "${folder}"
      DEPENDS ${program} "${obj}" ${libraries}
      COMMENT "Converting ${name} to ${stem}.mesh${description}"
      VERBATIM)
    list(APPEND outputs "${output}")
  endforeach()
  add_custom_target(${target} ALL DEPENDS ${outputs})
endfunction()
