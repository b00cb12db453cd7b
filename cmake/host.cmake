# The host build: the product logic over the simulated machine, its tests
# and the host tools.
set(WARNINGS -Wall -Wextra -Wshadow -Wformat=2)

# The rules of the image format (regedit exports, machine.ini), platform-free:
# the collector writes images with them, the image library reads and writes
# them, the simulator takes its GUID text from them.
file(GLOB FORMAT_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/src/imageformat/*.cpp)
add_library(zavformat STATIC ${FORMAT_SOURCES})
target_include_directories(zavformat PUBLIC ${CMAKE_SOURCE_DIR}/src)
target_compile_options(zavformat PRIVATE ${WARNINGS})

file(GLOB SIM_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/src/platform/sim/*.cpp)
add_library(zavsim STATIC ${SIM_SOURCES})
target_include_directories(zavsim PUBLIC ${CMAKE_SOURCE_DIR}/src)
target_compile_options(zavsim PRIVATE ${WARNINGS})
target_link_libraries(zavsim PUBLIC zavformat)

add_library(zavcore STATIC ${PRODUCT_SOURCES})
target_include_directories(zavcore PUBLIC ${CMAKE_SOURCE_DIR}/src)
target_compile_options(zavcore PRIVATE ${WARNINGS})
target_link_libraries(zavcore PUBLIC zavsim)

# The collector's logic over the simulated machine (its entry is
# RunCollector; WinMain, in winmain.cpp, is the Windows exe's alone). It
# shares the platform door's text helpers with the program (zavcore).
file(GLOB COLLECT_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/src/collect/*.cpp)
list(FILTER COLLECT_SOURCES EXCLUDE REGEX "/winmain\\.cpp$")
add_library(zavcollect STATIC ${COLLECT_SOURCES})
target_include_directories(zavcollect PUBLIC ${CMAKE_SOURCE_DIR}/src)
target_compile_options(zavcollect PRIVATE ${WARNINGS})
target_link_libraries(zavcollect PUBLIC zavcore zavformat)

# The layers run one way: the format rules (zavformat) <- the simulator
# (zavsim) <- the image library (zavimage) <- the dry run (zavdryrun, which
# also links the program) <- the tools and the tests; the collector
# (zavcollect) is linked by the test support beside the dry run.
# The image reader parses a large export ahead of itself, and the dry run
# scans a large registry, each in a second thread.
find_package(Threads REQUIRED)
# image/: the machine-image library the dry run, the tools and the tests share.
add_subdirectory(${CMAKE_SOURCE_DIR}/image ${CMAKE_BINARY_DIR}/image)
# dryrun/: the dry run's library (the run of WinMain, changes, residue,
# report, undo), under the tool's command, the test support and the tests.
add_subdirectory(${CMAKE_SOURCE_DIR}/dryrun ${CMAKE_BINARY_DIR}/dryrun)

# tests/support/: the machines, runs and checks that the tests, the fuzz
# targets and the benchmarks share; built with or without GoogleTest.
add_subdirectory(${CMAKE_SOURCE_DIR}/tests/support ${CMAKE_BINARY_DIR}/tests/support)

enable_testing()
# GoogleTest is needed by the tests only: without it (the dry run's own
# install leaves it out) the tool, the fuzz targets and the benchmarks build.
find_package(GTest QUIET)
if(GTest_FOUND)
  add_subdirectory(${CMAKE_SOURCE_DIR}/tests ${CMAKE_BINARY_DIR}/tests)
else()
  message(STATUS "GoogleTest not found: the tests are not built (scripts/install-deps.sh installs it)")
endif()

# tools/<name>/CMakeLists.txt: host tools.
file(GLOB TOOL_LISTS ${CMAKE_SOURCE_DIR}/tools/*/CMakeLists.txt)
foreach(tool_list ${TOOL_LISTS})
  get_filename_component(tool_dir ${tool_list} DIRECTORY)
  get_filename_component(tool ${tool_dir} NAME)
  add_subdirectory(${tool_dir} ${CMAKE_BINARY_DIR}/tools/${tool})
endforeach()

# fuzz/: libFuzzer targets with ZAV_FUZZ; otherwise their stored inputs
# replayed as tests.
if(EXISTS ${CMAKE_SOURCE_DIR}/fuzz/CMakeLists.txt)
  add_subdirectory(${CMAKE_SOURCE_DIR}/fuzz ${CMAKE_BINARY_DIR}/fuzz)
endif()

# bench/: the benchmarks, built on request (scripts/bench.sh).
if(EXISTS ${CMAKE_SOURCE_DIR}/bench/CMakeLists.txt)
  add_subdirectory(bench)
endif()
