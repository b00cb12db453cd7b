# The host build: the product logic over the simulated machine, its tests
# and the host tools.
set(WARNINGS -Wall -Wextra -Wshadow -Wformat=2)

file(GLOB SIM_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/src/platform/sim/*.cpp)
add_library(zavsim STATIC ${SIM_SOURCES})
target_include_directories(zavsim PUBLIC ${CMAKE_SOURCE_DIR}/src)
target_compile_options(zavsim PRIVATE ${WARNINGS})

add_library(zavcore STATIC ${PRODUCT_SOURCES})
target_include_directories(zavcore PUBLIC ${CMAKE_SOURCE_DIR}/src)
target_compile_options(zavcore PRIVATE ${WARNINGS})
target_link_libraries(zavcore PUBLIC zavsim)

# The layers run one way: the simulator (zavsim) <- the image library
# (zavimage) <- the dry run (zavdryrun, which also links the program) <-
# the tools and the tests.
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
