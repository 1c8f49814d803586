# Debian's hardening flags, for the targets whose code the packages ship:
# fortified libc calls, stack protection, a read-only relocation table
# resolved at start-up (relro, bindnow) and position-independent programs.
#
# The flags are dpkg-buildflags' with every hardening feature on, less the
# optimisation, debugging and path flags, which the build type and the
# project choose, and less any floating-point flag, which would change the
# converter's numbers. Without dpkg-buildflags the same flags are spelled
# out. _FORTIFY_SOURCE only works with optimisation, so builds without it
# (Debug) leave it out.
find_program(OBJ2MESH_DPKG_BUILDFLAGS dpkg-buildflags)
mark_as_advanced(OBJ2MESH_DPKG_BUILDFLAGS)
set(obj2mesh_hardening_cppflags -D_FORTIFY_SOURCE=2)
set(obj2mesh_hardening_cxxflags -fstack-protector-strong -Wformat -Werror=format-security)
set(obj2mesh_hardening_ldflags -Wl,-z,relro -Wl,-z,now)
if(OBJ2MESH_DPKG_BUILDFLAGS)
  foreach(kind CPPFLAGS CXXFLAGS LDFLAGS)
    execute_process(
      COMMAND ${CMAKE_COMMAND} -E env "DEB_BUILD_MAINT_OPTIONS=hardening=+all $ENV{DEB_BUILD_MAINT_OPTIONS}"
              ${OBJ2MESH_DPKG_BUILDFLAGS} --get ${kind}
      OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE
      RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
      message(FATAL_ERROR "dpkg-buildflags --get ${kind} failed")
    endif()
    separate_arguments(flags UNIX_COMMAND "${flags}")
    list(FILTER flags EXCLUDE REGEX "^-(O.*|g.*|f(file|debug)-prefix-map=.*|ffp-contract=.*|f.*math.*)$")
    string(TOLOWER ${kind} kind)
    set(obj2mesh_hardening_${kind} ${flags})
  endforeach()
endif()
set(obj2mesh_fortify ${obj2mesh_hardening_cppflags})
list(FILTER obj2mesh_fortify INCLUDE REGEX "^-D_FORTIFY_SOURCE")
list(FILTER obj2mesh_hardening_cppflags EXCLUDE REGEX "^-D_FORTIFY_SOURCE")

include(CheckPIESupported)
check_pie_supported()

# obj2mesh_harden(<target>...): executables, static libraries and modules
# (the Python extension). A static library's code is compiled as for a
# position-independent executable, not as -fPIC shared-library code, whose
# interposable calls cost inlining, unless its POSITION_INDEPENDENT_CODE
# asks for shared-library code (the copy the Python extension links).
function(obj2mesh_harden)
  foreach(target IN LISTS ARGN)
    target_compile_options(${target} PRIVATE ${obj2mesh_hardening_cppflags} ${obj2mesh_hardening_cxxflags}
      "$<$<CONFIG:Release,RelWithDebInfo,MinSizeRel>:${obj2mesh_fortify}>")
    get_target_property(type ${target} TYPE)
    get_target_property(pic ${target} POSITION_INDEPENDENT_CODE)
    if(type STREQUAL "EXECUTABLE")
      set_target_properties(${target} PROPERTIES POSITION_INDEPENDENT_CODE ON)
      target_link_options(${target} PRIVATE ${obj2mesh_hardening_ldflags})
    elseif(type STREQUAL "MODULE_LIBRARY")
      target_link_options(${target} PRIVATE ${obj2mesh_hardening_ldflags})
    elseif(NOT pic)
      target_compile_options(${target} PRIVATE ${CMAKE_CXX_COMPILE_OPTIONS_PIE})
    endif()
  endforeach()
endfunction()
