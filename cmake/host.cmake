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

# image/: the machine-image library the tool and the tests share.
add_subdirectory(${CMAKE_SOURCE_DIR}/image ${CMAKE_BINARY_DIR}/image)
# dryrun/: the dry run's library (changes, residue, report, undo), under the
# tool's command and the dry run's tests.
add_subdirectory(${CMAKE_SOURCE_DIR}/dryrun ${CMAKE_BINARY_DIR}/dryrun)

# tests/support/: the machines, runs and checks that the tests, the fuzz
# targets and the benchmarks share; built with or without GoogleTest.
add_subdirectory(${CMAKE_SOURCE_DIR}/tests/support ${CMAKE_BINARY_DIR}/tests/support)

enable_testing()
# GoogleTest is needed by the tests only: without it (the dry run's own
# install leaves it out) the tool, the fuzz targets and the benchmarks build.
find_package(GTest QUIET)
set(TEST_AREAS "")
if(GTest_FOUND)
  include(GoogleTest)
  # tests/<area>/: a folder with its own CMakeLists.txt is added as it is;
  # any other folder of *.cpp files becomes one GoogleTest executable, linked
  # with the test support (tests/support, added above).
  file(GLOB TEST_AREAS LIST_DIRECTORIES true ${CMAKE_SOURCE_DIR}/tests/*)
else()
  message(STATUS "GoogleTest not found: the tests are not built (scripts/install-deps.sh installs it)")
endif()
foreach(area_dir ${TEST_AREAS})
  if(NOT IS_DIRECTORY ${area_dir})
    continue()
  endif()
  get_filename_component(area ${area_dir} NAME)
  if(area STREQUAL "support")
    continue()
  elseif(EXISTS ${area_dir}/CMakeLists.txt)
    add_subdirectory(${area_dir} ${CMAKE_BINARY_DIR}/tests/${area})
  else()
    file(GLOB area_sources CONFIGURE_DEPENDS ${area_dir}/*.cpp)
    if(area_sources)
      add_executable(test_${area} ${area_sources})
      target_compile_options(test_${area} PRIVATE ${WARNINGS})
      target_link_libraries(test_${area} PRIVATE zavtestsupport GTest::gtest_main)
      gtest_discover_tests(test_${area} TEST_PREFIX "${area}." DISCOVERY_TIMEOUT 60)
    endif()
  endif()
endforeach()

# The file and inventory tests under valgrind's memcheck as well: a read of
# a byte that was allocated but never written (the spare byte after a file's
# content, say) lies inside the allocation, where the sanitizers cannot see
# it. Not in the sanitizer builds, whose runtime valgrind cannot host.
find_program(VALGRIND valgrind)
if(GTest_FOUND AND NOT CMAKE_CXX_FLAGS MATCHES "sanitize")
  if(VALGRIND)
    foreach(area files win98)
      add_test(NAME memcheck.${area}
               COMMAND ${VALGRIND} -q --tool=memcheck --error-exitcode=99 --leak-check=full
                       $<TARGET_FILE:test_${area}>)
    endforeach()
  else()
    message(WARNING "valgrind not found: the memcheck tests are not registered")
  endif()
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
