# The shipped program: a GUI-subsystem exe over the ANSI API, C++ runtime
# linked statically so that it needs only system DLLs.
file(GLOB WINDOWS_RESOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/src/run/*.rc)
# src/platform/win32: the small C++ runtime pieces that stand in for the
# static libstdc++ ones (Windows targets only).
file(GLOB WINDOWS_RUNTIME CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/src/platform/win32/*.cpp)
add_executable(zavuninst WIN32 ${PRODUCT_SOURCES} ${WINDOWS_RUNTIME} ${WINDOWS_RESOURCES})
target_include_directories(zavuninst PRIVATE ${CMAKE_SOURCE_DIR}/src)
target_compile_definitions(zavuninst PRIVATE _WIN32_WINNT=0x0400 WINVER=0x0400)
# Each function and datum in its own section, so that --gc-sections drops the
# std::string members and runtime pieces the program never calls.
target_compile_options(zavuninst PRIVATE -Wall -Wextra -Os -fno-exceptions -fno-rtti
  -ffunction-sections -fdata-sections)
target_link_options(zavuninst PRIVATE -static -static-libgcc -static-libstdc++ -s -Wl,--gc-sections
  -Wl,--subsystem,windows:4.0
  -Wl,--major-os-version,4 -Wl,--minor-os-version,0
  -Wl,--major-subsystem-version,4 -Wl,--minor-subsystem-version,0)
target_link_libraries(zavuninst PRIVATE advapi32 setupapi shell32 user32)
set_target_properties(zavuninst PROPERTIES
  OUTPUT_NAME zavuninst
  RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
