#include "instructions.h"

#include <sys/wait.h>

#include <cstdio>
#include <set>
#include <sstream>

namespace pe {
namespace {

// The 486DX's instructions as objdump spells them in Intel syntax.
const std::set<std::string>& Mnemonics486() {
    static const std::set<std::string> names = {
        // 8086 to 386, integer and system
        "aaa", "aad", "aam", "aas", "adc", "add", "and", "arpl", "bound", "bsf", "bsr", "bt", "btc", "btr",
        "bts", "call", "cbw", "cdq", "clc", "cld", "cli", "clts", "cmc", "cmp", "cmps", "cwd", "cwde", "daa",
        "das", "dec", "div", "enter", "hlt", "idiv", "imul", "in", "inc", "ins", "int", "int3", "into", "iret",
        "iretd", "ja", "jae", "jb", "jbe", "jcxz", "je", "jecxz", "jg", "jge", "jl", "jle", "jmp", "jne",
        "jno", "jnp", "jns", "jo", "jp", "js", "lahf", "lar", "lds", "lea", "leave", "les", "lfs", "lgdt",
        "lgs", "lidt", "lldt", "lmsw", "lods", "loop", "loope", "loopne", "lsl", "lss", "ltr", "mov", "movs",
        "movsx", "movzx", "mul", "neg", "nop", "not", "or", "out", "outs", "pop", "popa", "popad", "popf",
        "popfd", "push", "pusha", "pushad", "pushf", "pushfd", "rcl", "rcr", "ret", "retf", "rol", "ror",
        "sahf", "sal", "sar", "sbb", "scas", "seta", "setae", "setb", "setbe", "sete", "setg", "setge", "setl",
        "setle", "setne", "setno", "setnp", "setns", "seto", "setp", "sets", "sgdt", "shl", "shld", "shr",
        "shrd", "sidt", "sldt", "smsw", "stc", "std", "sti", "stos", "str", "sub", "test", "verr", "verw",
        "wait", "fwait", "xchg", "xlat", "xor",
        // the 486's additions
        "bswap", "cmpxchg", "xadd", "invd", "wbinvd", "invlpg",
        // the 387 floating point the 486DX has built in
        "f2xm1", "fabs", "fadd", "faddp", "fbld", "fbstp", "fchs", "fclex", "fnclex", "fcom", "fcomp",
        "fcompp", "fcos", "fdecstp", "fdiv", "fdivp", "fdivr", "fdivrp", "ffree", "fiadd", "ficom", "ficomp",
        "fidiv", "fidivr", "fild", "fimul", "fincstp", "finit", "fninit", "fist", "fistp", "fisub", "fisubr",
        "fld", "fld1", "fldcw", "fldenv", "fldl2e", "fldl2t", "fldlg2", "fldln2", "fldpi", "fldz", "fmul",
        "fmulp", "fnop", "fpatan", "fprem", "fprem1", "fptan", "frndint", "frstor", "fsave", "fnsave",
        "fscale", "fsin", "fsincos", "fsqrt", "fst", "fstcw", "fnstcw", "fstenv", "fnstenv", "fstp", "fstsw",
        "fnstsw", "fsub", "fsubp", "fsubr", "fsubrp", "ftst", "fucom", "fucomp", "fucompp", "fxam", "fxch",
        "fxtract", "fyl2x", "fyl2xp1",
        // F3 90: the Pentium 4 named it, older processors run it as REP NOP
        "pause",
    };
    return names;
}

// Prefixes objdump prints as words of their own before the instruction.
const std::set<std::string>& Prefixes486() {
    static const std::set<std::string> names = {"lock", "rep",  "repe", "repz", "repne", "repnz", "cs",    "ds",
                                                "es",   "fs",   "gs",   "ss",   "data16", "addr16"};
    return names;
}

// Whether the instruction text ("rep stos DWORD PTR es:[edi],eax") is one
// the 486DX runs.
bool Runs486(const std::string& instruction) {
    std::istringstream words(instruction);
    std::string word;
    while (words >> word && Prefixes486().count(word) != 0) {
    }
    if (Mnemonics486().count(word) == 0) return false;
    // NOP with an operand is the Pentium Pro's multi-byte NOP (0F 1F).
    std::string operand;
    return word != "nop" || !(words >> operand);
}

}  // namespace

InstructionScan ScanFor486(const std::string& disassembly) {
    InstructionScan scan;
    std::istringstream lines(disassembly);
    std::string line;
    while (std::getline(lines, line)) {
        // "  401002:\tcmove  eax,ebx": an address, a colon, a tab, the instruction.
        const size_t colon = line.find(":\t");
        if (colon == std::string::npos) continue;
        const size_t start = line.find_first_not_of(' ');
        const std::string address = line.substr(start, colon - start);
        if (address.empty() || address.find_first_not_of("0123456789abcdef") != std::string::npos) continue;
        // Its words one space apart: "cmove eax,ebx".
        std::istringstream words(line.substr(colon + 2));
        std::string instruction, word;
        while (words >> word) instruction += (instruction.empty() ? "" : " ") + word;
        if (instruction.empty() || instruction.compare(0, 5, "(bad)") == 0) continue;
        ++scan.instructions;
        if (!Runs486(instruction)) scan.problems.push_back("0x" + address + ": " + instruction);
    }
    return scan;
}

bool Disassemble(const std::string& objdump, const std::string& path, std::string& text, std::string& error) {
    std::string quoted = "'";
    for (char c : path) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    quoted += "'";
    const std::string command = objdump + " -d -M intel --no-show-raw-insn " + quoted + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        error = "cannot run " + objdump;
        return false;
    }
    text.clear();
    char buffer[65536];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) text.append(buffer, got);
    const int status = pclose(pipe);
    if (status != 0) {
        error = command + " failed (status " + std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1) +
                "):\n" + text.substr(0, 2000);
        return false;
    }
    return true;
}

}  // namespace pe
