# The shipped exes' loadability, import and instruction checks: a host test
# that reads build/win32/zavuninst.exe and zavcollect.exe themselves (the
# win32 preset builds them) and disassembles them with the mingw-w64 objdump.
find_program(MINGW32_OBJDUMP i686-w64-mingw32-objdump)
if(NOT MINGW32_OBJDUMP)
  set(MINGW32_OBJDUMP "")
endif()
zav_test_folder(shipped/pe DEFINITIONS ZAV_OBJDUMP="${MINGW32_OBJDUMP}"
                ZAV_PE_WORK_DIR="${CMAKE_CURRENT_BINARY_DIR}/shipped/pe")
file(MAKE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/shipped/pe)
