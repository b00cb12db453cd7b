// The processor the shipped exe needs: Windows 98 runs on the 486DX, and
// so must every instruction in the exe, the program's own and what the
// toolchain links in. The check reads the disassembly that the mingw-w64
// objdump prints of the whole code section.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace pe {

struct InstructionScan {
    size_t instructions = 0;            // every instruction read
    std::vector<std::string> problems;  // "0x401002: cmove eax,ebx", one per instruction a 486DX lacks
};

// Reads `objdump -d -M intel --no-show-raw-insn` output of an i386 image.
// An instruction passes only if the 486DX has it: the 386's integer set,
// the 387's floating point built into the 486DX, and the 486's additions
// (BSWAP, CMPXCHG, XADD, INVD, WBINVD, INVLPG). Bytes objdump cannot decode,
// "(bad)", are data in the code section (the linker's constructor lists)
// and are neither counted nor reported.
InstructionScan ScanFor486(const std::string& disassembly);

// The disassembly of a file, as ScanFor486 reads it. False, with the
// reason, when objdump cannot be run or fails.
bool Disassemble(const std::string& objdump, const std::string& path, std::string& text, std::string& error);

}  // namespace pe
