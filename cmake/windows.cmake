# The shipped program: a GUI-subsystem exe over the ANSI API, C++ runtime
# linked statically so that it needs only system DLLs.
file(GLOB WINDOWS_RESOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/src/run/*.rc)
add_executable(zavuninst WIN32 ${PRODUCT_SOURCES} ${WINDOWS_RESOURCES})
target_include_directories(zavuninst PRIVATE ${CMAKE_SOURCE_DIR}/src)
target_compile_definitions(zavuninst PRIVATE _WIN32_WINNT=0x0400 WINVER=0x0400)
target_compile_options(zavuninst PRIVATE -Wall -Wextra -Os -fno-exceptions -fno-rtti)
target_link_options(zavuninst PRIVATE -static -static-libgcc -static-libstdc++ -s
  -Wl,--subsystem,windows:4.0
  -Wl,--major-os-version,4 -Wl,--minor-os-version,0
  -Wl,--major-subsystem-version,4 -Wl,--minor-subsystem-version,0)
target_link_libraries(zavuninst PRIVATE advapi32 setupapi shell32 user32)
set_target_properties(zavuninst PROPERTIES
  OUTPUT_NAME zavuninst
  RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
