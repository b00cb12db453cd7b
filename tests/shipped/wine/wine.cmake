# End-to-end scenarios of the real program under Wine, for each
# architecture in a prefix of its own: the shipped build/win32/zavuninst.exe
# under the 32-bit Wine and build/win64/zavuninst.exe under the 64-bit Wine
# (scripts/test.sh builds both before ctest runs). The harness is a host
# test; the small Windows programs it needs (stub installer, companion
# window, message watcher, version reader) are built here for each
# architecture with its mingw compiler. Test programs, not shipped: the
# i486 restriction of the shipped exe does not apply to them.
set(ZAV_WINE_LOADER_I686 /usr/lib/wine/wine CACHE FILEPATH "The 32-bit Wine loader (Debian's wine32:i386)")
set(ZAV_WINE_LOADER_X86_64 /usr/lib/wine/wine64 CACHE FILEPATH "The 64-bit Wine loader (Debian's wine64)")
set(WINE_DIR ${CMAKE_CURRENT_SOURCE_DIR}/shipped/wine)
set(WINE_BINARY_DIR ${CMAKE_CURRENT_BINARY_DIR}/shipped/wine)
set(WINE_PROGRAMS_DIR ${WINE_BINARY_DIR}/programs)
set(wine_programs)
foreach(arch i686 x86_64)
  find_program(MINGW_CC_${arch} ${arch}-w64-mingw32-gcc)
  if(NOT MINGW_CC_${arch})
    continue()
  endif()
  foreach(program msiexec_stub:-mwindows companion:-mwindows boxwatch:-mconsole osversion:-mconsole)
    string(REPLACE ":" ";" parts ${program})
    list(GET parts 0 name)
    list(GET parts 1 subsystem)
    set(output ${WINE_PROGRAMS_DIR}/${arch}/${name}.exe)
    add_custom_command(
      OUTPUT ${output}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${WINE_PROGRAMS_DIR}/${arch}
      COMMAND ${MINGW_CC_${arch}} -O2 -Wall -Wextra -static ${subsystem}
              -o ${output} ${WINE_DIR}/programs/${name}.c
      DEPENDS ${WINE_DIR}/programs/${name}.c ${WINE_DIR}/programs/log.h
      COMMENT "Building the Wine test program ${arch}/${name}.exe")
    list(APPEND wine_programs ${output})
  endforeach()
endforeach()
add_custom_target(wine_programs ALL DEPENDS ${wine_programs})

# The scenario names, compiled in so that a new scenario file is discovered.
file(GLOB scenario_names CONFIGURE_DEPENDS RELATIVE ${WINE_DIR}/scenarios ${WINE_DIR}/scenarios/*.scn)
list(TRANSFORM scenario_names REPLACE "\\.scn$" "")
list(JOIN scenario_names "," scenario_names)

# Wine's exports are read, and machines compared, with the image library;
# the simulator twin runs the product over the simulated machine (the dry
# run's library runs WinMain). The dry
# run is run as its command, on the collector's image. One scenario at a
# time: Wine is heavy for a 2-core machine, and each scenario has its own
# prefix and wineserver anyway.
find_package(nlohmann_json 3 REQUIRED)
zav_test_folder(shipped/wine
  LIBRARIES zavdryrun nlohmann_json::nlohmann_json
  DEFINITIONS ZAV_WINE_PROGRAMS_DIR="${WINE_PROGRAMS_DIR}"
              ZAV_WINE_LOADER_I686="${ZAV_WINE_LOADER_I686}"
              ZAV_WINE_LOADER_X86_64="${ZAV_WINE_LOADER_X86_64}"
              ZAV_WINE_WORK_DIR="${WINE_BINARY_DIR}/work"
              ZAV_DRYRUN_TOOL="$<TARGET_FILE:zavuninst-sim>"
              ZAV_WINE_SCENARIOS="${scenario_names}"
  PROPERTIES RESOURCE_LOCK wine TIMEOUT 300)
add_dependencies(test_wine wine_programs zavuninst-sim)
