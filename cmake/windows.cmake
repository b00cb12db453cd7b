# The shipped programs: GUI-subsystem exes over the ANSI API, C++ runtime
# linked statically so that they need only system DLLs.
# src/platform/win32: the programs' own entry point and the small C++
# runtime pieces that stand in for the static libstdc++ ones (Windows
# targets only).
file(GLOB WINDOWS_RUNTIME CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/src/platform/win32/*.cpp)

# One shipped exe from `ARGN` (its sources and resources), built the same way
# as every other.
function(zav_shipped_exe target)
  add_executable(${target} WIN32 ${ARGN} ${WINDOWS_RUNTIME})
  target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR}/src)
  target_compile_definitions(${target} PRIVATE _WIN32_WINNT=0x0400 WINVER=0x0400)
  # Each function and datum in its own section, so that --gc-sections drops the
  # std::string members and runtime pieces the program never calls.
  target_compile_options(${target} PRIVATE -Wall -Wextra -Os -fno-exceptions -fno-rtti
    -ffunction-sections -fdata-sections)
  # The i686 build's DWARF unwind tables (.eh_frame) serve only the unwinder
  # of exceptions, which the program is built without and does not link;
  # the linker keeps every function those tables name.
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    target_compile_options(${target} PRIVATE -fno-asynchronous-unwind-tables)
  endif()
  # -nostartfiles: src/platform/win32/start.cpp is the entry point instead of
  # the mingw-w64 start code, which is built for the Pentium Pro (CMOV).
  # --disable-auto-import: a reference to a DLL's data would need that start
  # code's pseudo-relocation pass; without it the link fails instead.
  target_link_options(${target} PRIVATE -static -static-libgcc -static-libstdc++ -s -Wl,--gc-sections
    -nostartfiles -Wl,--disable-auto-import -Wl,--disable-runtime-pseudo-reloc
    -Wl,--subsystem,windows:4.0
    -Wl,--major-os-version,4 -Wl,--minor-os-version,0
    -Wl,--major-subsystem-version,4 -Wl,--minor-subsystem-version,0)
  # No setupapi: its calls are looked up at run time
  # (src/platform/win32/setupapi.cpp), so a call that slips past that door
  # fails the link instead of becoming an import.
  target_link_libraries(${target} PRIVATE advapi32 shell32 user32)
  set_target_properties(${target} PROPERTIES
    OUTPUT_NAME ${target}
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
endfunction()

# The uninstaller.
file(GLOB WINDOWS_RESOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/src/run/*.rc)
zav_shipped_exe(zavuninst ${PRODUCT_SOURCES} ${WINDOWS_RESOURCES})

# The machine image collector: only reads the machine; it shares the text
# helpers of the platform door and the package's names of the product
# headers, not the product code, and writes the image with the format rules
# the image library reads it with (src/imageformat).
file(GLOB COLLECT_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/src/collect/*.cpp
  ${CMAKE_SOURCE_DIR}/src/collect/*.rc ${CMAKE_SOURCE_DIR}/src/imageformat/*.cpp)
zav_shipped_exe(zavcollect ${COLLECT_SOURCES} ${CMAKE_SOURCE_DIR}/src/platform/text.cpp)

# The release, for the 32-bit build that ships: `cmake --build --preset win32
# --target dist` makes dist/ at the project root with both exes, README.TXT
# for the target machine (docs/README.TXT with CR LF) and SHA256SUMS.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  add_custom_target(dist
    COMMAND ${CMAKE_COMMAND} -DDIST=${CMAKE_SOURCE_DIR}/dist
            "-DEXES=$<TARGET_FILE:zavuninst>;$<TARGET_FILE:zavcollect>"
            -DREADME=${CMAKE_SOURCE_DIR}/docs/README.TXT -P ${CMAKE_SOURCE_DIR}/cmake/dist.cmake
    DEPENDS zavuninst zavcollect ${CMAKE_SOURCE_DIR}/docs/README.TXT ${CMAKE_SOURCE_DIR}/cmake/dist.cmake
    COMMENT "dist/: zavuninst.exe, zavcollect.exe, README.TXT, SHA256SUMS"
    VERBATIM)
endif()

# Not shipped: the crafted exe that proves the static constructor check of
# tests/shipped/pe, one static object built with the flags above.
zav_shipped_exe(static_object ${CMAKE_SOURCE_DIR}/tests/shipped/pe/crafted/static_object.cpp)
set_target_properties(static_object PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/crafted)
