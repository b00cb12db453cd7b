// The shipped exes (build/win32/zavuninst.exe and zavcollect.exe) checked for
// what Windows 95/98 and NT 4/2000 need to load them, for the imports both
// Windows 98 and Windows 2000 export, and for instructions the 486DX that
// Windows 98 runs on lacks. The exes are built by the win32 preset, and the
// mingw-w64 objdump disassembles them; without them the tests are skipped,
// except under CI, where that is a failure.
#include "instructions.h"
#include "pe_checks.h"
#include "pe_image.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>

namespace {

const std::string kAllowListPath = std::string(ZAV_SOURCE_DIR) + "/tests/shipped/pe/win98_win2000_imports.txt";

std::string Lines(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) text += "  " + line + "\n";
    return text;
}

// Skips the test for want of `what`, or fails it under CI. The caller
// returns right after.
void SkipOrFail(const std::string& what) {
    if (std::getenv("CI") != nullptr) FAIL() << what << "; CI builds and installs it first";
    GTEST_SKIP() << what;
}

// Empty when the instruction checks can run.
std::string MissingObjdump() {
    return std::string(ZAV_OBJDUMP).empty() ? "i686-w64-mingw32-objdump was not found when the build was configured"
                                            : "";
}

// One shipped exe, the calls its reader must see imported (its main work),
// and the calls it must not import.
struct Shipped {
    const char* name;
    std::vector<const char*> calls;
    std::vector<const char*> never;
};

const Shipped kShipped[] = {
    // Both find the device setup calls at run time: nothing of setupapi.dll
    // is imported (the import check refuses that DLL).
    {"zavuninst",
     {"KERNEL32!GetWindowsDirectoryA", "KERNEL32!GetVersionExA", "USER32!MessageBoxA", "SHELL32!ShellExecuteA",
      "USER32!FindWindowA", "USER32!SendMessageA", "KERNEL32!LoadLibraryA", "KERNEL32!GetProcAddress"},
     {}},
    // The collector only reads the machine: nothing that changes the
    // registry, a device or a file attribute, and no program started.
    {"zavcollect",
     {"KERNEL32!GetWindowsDirectoryA", "KERNEL32!GetVersionExA", "USER32!MessageBoxA", "ADVAPI32!RegEnumValueA",
      "KERNEL32!LoadLibraryA", "KERNEL32!GetProcAddress", "KERNEL32!SetErrorMode", "USER32!EnumWindows"},
     {"ADVAPI32!RegSetValueExA", "ADVAPI32!RegDeleteKeyA", "ADVAPI32!RegCreateKeyA", "ADVAPI32!RegCreateKeyExA",
      "ADVAPI32!RegDeleteValueA", "KERNEL32!MoveFileA", "KERNEL32!SetFileAttributesA", "SHELL32!ShellExecuteA",
      "USER32!SendMessageA"}},
};

void PrintTo(const Shipped& shipped, std::ostream* out) { *out << shipped.name; }

class ShippedExe : public testing::TestWithParam<Shipped> {
protected:
    void SetUp() override {
        exePath_ = std::string(ZAV_SOURCE_DIR) + "/build/win32/" + GetParam().name + ".exe";
        if (!pe::ReadFile(exePath_, bytes_))
            return SkipOrFail(exePath_ + " is not built (cmake --preset win32 && cmake --build --preset win32)");
        std::string error;
        ASSERT_TRUE(pe::Parse(bytes_, image_, error)) << exePath_ << ": " << error;
    }
    std::string exePath_;
    std::vector<uint8_t> bytes_;
    pe::Image image_;
};

INSTANTIATE_TEST_SUITE_P(Win32, ShippedExe, testing::ValuesIn(kShipped),
                         [](const testing::TestParamInfo<Shipped>& row) { return std::string(row.param.name); });

TEST_P(ShippedExe, HasTheHeadersOldWindowsLoaders) {
    EXPECT_EQ(image_.machine, 0x14C);
    EXPECT_EQ(image_.subsystem, 2);
    EXPECT_EQ(image_.majorSubsystemVersion, 4);
    EXPECT_EQ(image_.minorSubsystemVersion, 0);
    const std::vector<std::string> problems = pe::CheckHeaders(image_);
    EXPECT_TRUE(problems.empty()) << Lines(problems);
}

TEST_P(ShippedExe, ImportsOnlyWhatWindows98AndWindows2000BothExport) {
    pe::AllowList list;
    std::string error;
    ASSERT_TRUE(pe::LoadAllowList(kAllowListPath, list, error)) << error;
    const std::vector<std::string> problems = pe::CheckImports(image_, list);
    EXPECT_TRUE(problems.empty()) << "imports that may keep Windows 98 or Windows 2000 from loading the exe:\n"
                                  << Lines(problems);
    // The calls that make the program's work, seen by the reader.
    std::set<std::string> names;
    for (const pe::Import& import : image_.imports) names.insert(pe::DllKey(import.dll) + "!" + import.function);
    for (const char* call : GetParam().calls) EXPECT_EQ(names.count(call), 1u) << call;
    for (const char* call : GetParam().never) EXPECT_EQ(names.count(call), 0u) << call;
}

TEST_P(ShippedExe, UsesOnlyInstructionsA486DXHas) {
    if (!MissingObjdump().empty()) return SkipOrFail(MissingObjdump());
    std::string text, error;
    ASSERT_TRUE(pe::Disassemble(ZAV_OBJDUMP, exePath_, text, error)) << error;
    const pe::InstructionScan scan = pe::ScanFor486(text);
    EXPECT_GT(scan.instructions, 1000u) << "the code was not disassembled:\n" << text.substr(0, 1000);
    EXPECT_TRUE(scan.problems.empty()) << scan.problems.size()
                                       << " instructions a 486DX lacks (Windows 98 runs on it):\n"
                                       << Lines(scan.problems);
}

TEST_P(ShippedExe, HasNoStaticConstructorOrDestructor) {
    const std::vector<std::string> problems = pe::CheckStaticConstructors(image_, bytes_);
    EXPECT_TRUE(problems.empty()) << Lines(problems);
}

// The same check on an exe built with the shipped exes' flags and one
// static object with a constructor and a destructor
// (tests/shipped/pe/crafted/static_object.cpp): it must fail there.
TEST(PeChecks, StaticConstructorCheckFailsOnACraftedBuildThatHasOne) {
    const std::string path = std::string(ZAV_SOURCE_DIR) + "/build/win32/crafted/static_object.exe";
    std::vector<uint8_t> bytes;
    if (!pe::ReadFile(path, bytes))
        return SkipOrFail(path + " is not built (cmake --preset win32 && cmake --build --preset win32)");
    pe::Image image;
    std::string error;
    ASSERT_TRUE(pe::Parse(bytes, image, error)) << path << ": " << error;
    const std::vector<std::string> problems = pe::CheckStaticConstructors(image, bytes);
    ASSERT_EQ(problems.size(), 1u) << Lines(problems);
    EXPECT_EQ(problems[0].rfind("a static constructor at 0x40", 0), 0u) << problems[0];
}

TEST_P(ShippedExe, CarriesItsVersionResource) {
    ASSERT_TRUE(image_.hasVersionResource);
    EXPECT_EQ(image_.fileVersionMs, 0x00010000u);  // 1.0
    EXPECT_EQ(image_.fileVersionLs, 0x00000000u);  // .0.0
    EXPECT_EQ(image_.versionStrings["ProductName"], GetParam().name);
    EXPECT_EQ(image_.versionStrings["OriginalFilename"], std::string(GetParam().name) + ".exe");
    EXPECT_EQ(image_.versionStrings["FileVersion"], "1.0.0");
    EXPECT_EQ(image_.versionStrings["ProductVersion"], "1.0.0");
    EXPECT_FALSE(image_.versionStrings["FileDescription"].empty());
}

// ---------------------------------------------------------------- the checks themselves

pe::Image GoodImage() {
    pe::Image image;
    image.machine = 0x14C;
    image.magic = 0x10B;
    image.fileCharacteristics = 0x0102;
    image.subsystem = 2;
    image.majorSubsystemVersion = 4;
    image.majorOsVersion = 4;
    image.imageBase = 0x400000;
    image.sectionAlignment = 0x1000;
    image.fileAlignment = 0x200;
    image.sizeOfImage = 0x3000;
    image.sizeOfHeaders = 0x400;
    image.addressOfEntryPoint = 0x1010;
    image.directories.assign(16, pe::DataDirectory());
    image.directories[pe::kImportDirectory] = {0x2000, 40};
    image.sections = {{".text", 0x1000, 0x100, 0x400, 0x200, 0x60000020},
                      {".idata", 0x2000, 0x100, 0x600, 0x200, 0xC0000040}};
    return image;
}

TEST(PeChecks, ReportEachHeaderThatOldLoadersRefuse) {
    EXPECT_TRUE(pe::CheckHeaders(GoodImage()).empty()) << Lines(pe::CheckHeaders(GoodImage()));

    struct Row {
        const char* fault;
        void (*spoil)(pe::Image&);
        const char* expected;
    };
    const Row rows[] = {
        {"x86-64 machine", [](pe::Image& i) { i.machine = 0x8664; }, "not i386"},
        {"console subsystem", [](pe::Image& i) { i.subsystem = 3; }, "not the GUI subsystem"},
        {"subsystem 5.0", [](pe::Image& i) { i.majorSubsystemVersion = 5; }, "subsystem version is 5.0"},
        {"subsystem 4.10", [](pe::Image& i) { i.minorSubsystemVersion = 10; }, "subsystem version is 4.10"},
        {"OS 6.0", [](pe::Image& i) { i.majorOsVersion = 6; }, "operating system version is 6.0"},
        {"version override", [](pe::Image& i) { i.win32VersionValue = 1; }, "Win32VersionValue"},
        {"low image base", [](pe::Image& i) { i.imageBase = 0x10000; }, "image base is 0x10000"},
        {"small section alignment", [](pe::Image& i) { i.sectionAlignment = 0x200; }, "section alignment is 0x200"},
        {"small file alignment", [](pe::Image& i) { i.fileAlignment = 0x100; }, "file alignment 0x100"},
        {"DLL", [](pe::Image& i) { i.fileCharacteristics |= 0x2000; }, "marked as a DLL"},
        {"delay loading", [](pe::Image& i) { i.directories[pe::kDelayImportDirectory] = {0x2800, 64}; }, "delay-load"},
        {"bound imports", [](pe::Image& i) { i.directories[pe::kBoundImportDirectory] = {0x300, 32}; }, "bound imports"},
        {"entry in data", [](pe::Image& i) { i.addressOfEntryPoint = 0x2010; }, "entry point"},
        {"TLS slot outside", [](pe::Image& i) { i.hasTls = true; i.tlsAddressOfIndex = 0x900000; }, "TLS index slot"},
        {"TLS callback in data",
         [](pe::Image& i) { i.hasTls = true; i.tlsAddressOfIndex = 0x402000; i.tlsCallbacks = {0x402010}; },
         "TLS callback"},
    };
    for (const Row& row : rows) {
        pe::Image image = GoodImage();
        row.spoil(image);
        const std::vector<std::string> problems = pe::CheckHeaders(image);
        ASSERT_EQ(problems.size(), 1u) << row.fault << ":\n" << Lines(problems);
        EXPECT_NE(problems[0].find(row.expected), std::string::npos) << row.fault << ": " << problems[0];
    }
}

TEST(PeChecks, ReportEachImportNotOnTheList) {
    pe::AllowList list;
    list.functions["KERNEL32"] = {"GetVersionExA"};
    list.functions["MSVCRT"] = {"malloc"};
    list.msvcrtLacks["_time64"] = "Windows ME / 2000";

    pe::Image image = GoodImage();
    image.imports = {
        {"KERNEL32.dll", "GetVersionExA", false, 0},   // listed
        {"kernel32.DLL", "GetVersionExA", false, 0},   // DLL names compare without case
        {"msvcrt.dll", "malloc", false, 0},            // listed
        {"KERNEL32.dll", "GetVersionExW", false, 0},   // not listed
        {"SHELL32.dll", "", true, 680},                // by ordinal
        {"ntdll.dll", "RtlGetVersion", false, 0},      // not an allowed DLL
        {"msvcrt.dll", "_time64", false, 0},           // Windows 98's msvcrt lacks it
        {"msvcrt.dll", "_aligned_malloc", false, 0},   // neither listed nor known
        {"SETUPAPI.dll", "SetupDiGetClassDevsA", false, 0},  // found at run time, never imported
    };
    const std::vector<std::string> problems = pe::CheckImports(image, list);
    ASSERT_EQ(problems.size(), 6u) << Lines(problems);
    EXPECT_NE(problems[0].find("GetVersionExW is not on the list"), std::string::npos) << problems[0];
    EXPECT_NE(problems[1].find("ordinal 680"), std::string::npos) << problems[1];
    EXPECT_NE(problems[2].find("ntdll.dll is not a DLL"), std::string::npos) << problems[2];
    EXPECT_NE(problems[3].find("_time64: Windows 98's msvcrt.dll (6.0) lacks it (first in Windows ME / 2000)"),
              std::string::npos) << problems[3];
    EXPECT_NE(problems[4].find("_aligned_malloc is not on the list"), std::string::npos) << problems[4];
    EXPECT_NE(problems[5].find("SETUPAPI.dll is not a DLL the program may import from (SetupDiGetClassDevsA)"),
              std::string::npos) << problems[5];
}

// A minimal PE32 file in memory: headers, one section holding an import
// directory with one import by name and one by ordinal.
std::vector<uint8_t> TinyPe() {
    std::vector<uint8_t> b(0x600, 0);
    auto put16 = [&](size_t at, uint16_t v) { b[at] = v & 0xFF; b[at + 1] = v >> 8; };
    auto put32 = [&](size_t at, uint32_t v) { put16(at, v & 0xFFFF); put16(at + 2, v >> 16); };
    put16(0, 0x5A4D);
    put32(0x3C, 0x40);
    put32(0x40, 0x00004550);
    const size_t coff = 0x44, opt = coff + 20;
    put16(coff, 0x14C);
    put16(coff + 2, 1);
    put16(coff + 16, 224);
    put16(coff + 18, 0x0102);
    put16(opt, 0x10B);
    put32(opt + 16, 0x1000);
    put32(opt + 28, 0x400000);
    put32(opt + 32, 0x1000);
    put32(opt + 36, 0x200);
    put16(opt + 40, 4);
    put16(opt + 48, 4);
    put32(opt + 56, 0x2000);
    put32(opt + 60, 0x200);
    put16(opt + 68, 2);
    put32(opt + 92, 16);
    put32(opt + 96 + 8 * 1, 0x1100);  // imports
    put32(opt + 100 + 8 * 1, 40);
    const size_t section = opt + 224;
    std::memcpy(&b[section], ".text", 5);
    put32(section + 8, 0x400);
    put32(section + 12, 0x1000);
    put32(section + 16, 0x400);
    put32(section + 20, 0x200);
    put32(section + 36, 0x60000020);
    // RVA 0x1100 = file 0x300: one descriptor, then the terminator.
    put32(0x300, 0x1140);       // lookup table
    put32(0x300 + 12, 0x1180);  // DLL name
    put32(0x300 + 16, 0x1160);  // address table
    put32(0x340, 0x11A0);       // by name
    put32(0x344, 0x80000011);   // by ordinal 17
    put32(0x360, 0x11A0);
    put32(0x364, 0x80000011);
    std::memcpy(&b[0x380], "USER32.dll", 10);
    std::memcpy(&b[0x3A2], "MessageBoxA", 11);
    return b;
}

TEST(PeReader, ReadsImportsByNameAndByOrdinal) {
    pe::Image image;
    std::string error;
    ASSERT_TRUE(pe::Parse(TinyPe(), image, error)) << error;
    ASSERT_EQ(image.imports.size(), 2u);
    EXPECT_EQ(image.imports[0].dll, "USER32.dll");
    EXPECT_EQ(image.imports[0].function, "MessageBoxA");
    EXPECT_FALSE(image.imports[0].byOrdinal);
    EXPECT_TRUE(image.imports[1].byOrdinal);
    EXPECT_EQ(image.imports[1].ordinal, 17);
}

// TinyPe with `code` alone in its code section, at 0x401000 (no imports).
std::vector<uint8_t> CodePe(const std::vector<uint8_t>& code) {
    std::vector<uint8_t> b = TinyPe();
    std::fill(b.begin() + 0x200, b.end(), 0);
    std::fill(b.begin() + 0x58 + 96 + 8, b.begin() + 0x58 + 96 + 16, 0);  // the import directory
    std::copy(code.begin(), code.end(), b.begin() + 0x200);
    return b;
}

TEST(InstructionCheck, ReportsEachInstructionA486DXLacksWithItsAddress) {
    if (!MissingObjdump().empty()) return SkipOrFail(MissingObjdump());
    struct Row {
        std::vector<uint8_t> code;
        const char* expected;  // the report, or nullptr: the 486DX runs it
    };
    const Row rows[] = {
        // Pentium Pro
        {{0x0F, 0x44, 0xC3}, "cmove eax,ebx"},
        {{0xDA, 0xC1}, "fcmovb st,st(1)"},
        {{0xDB, 0xF1}, "fcomi st,st(1)"},
        {{0xDF, 0xF1}, "fcomip st,st(1)"},
        {{0xDB, 0xE9}, "fucomi st,st(1)"},
        {{0xDF, 0xE9}, "fucomip st,st(1)"},
        {{0x0F, 0x33}, "rdpmc"},
        {{0x0F, 0x1F, 0x00}, "nop DWORD PTR [eax]"},
        {{0x66, 0x0F, 0x1F, 0x44, 0x00, 0x00}, "nop WORD PTR [eax+eax*1+0x0]"},
        // Pentium
        {{0x0F, 0xC7, 0x08}, "cmpxchg8b QWORD PTR [eax]"},
        {{0x0F, 0x31}, "rdtsc"},
        {{0x0F, 0x32}, "rdmsr"},
        {{0x0F, 0x30}, "wrmsr"},
        {{0x0F, 0xA2}, "cpuid"},  // only the last 486 models have it
        // Pentium II
        {{0x0F, 0x34}, "sysenter"},
        {{0x0F, 0x35}, "sysexit"},
        {{0x0F, 0xAE, 0x00}, "fxsave [eax]"},
        // MMX, 3DNow!, SSE and later
        {{0x0F, 0x77}, "emms"},
        {{0x0F, 0xFC, 0xC1}, "paddb mm0,mm1"},
        {{0x0F, 0x6E, 0xC0}, "movd mm0,eax"},
        {{0x0F, 0x0E}, "femms"},
        {{0x0F, 0x0F, 0xC1, 0x9E}, "pfadd mm0,mm1"},
        {{0x0F, 0x28, 0xC1}, "movaps xmm0,xmm1"},
        {{0x0F, 0xAE, 0xF8}, "sfence"},
        {{0x0F, 0x18, 0x00}, "prefetchnta BYTE PTR [eax]"},
        {{0x66, 0x0F, 0xEF, 0xC0}, "pxor xmm0,xmm0"},
        {{0x0F, 0xC3, 0x08}, "movnti DWORD PTR [eax],ecx"},
        {{0xDB, 0x08}, "fisttp DWORD PTR [eax]"},
        {{0xF3, 0x0F, 0xB8, 0xC3}, "popcnt eax,ebx"},
        {{0xC5, 0xF8, 0x77}, "vzeroupper"},
        // What the 486DX has: the 486's additions, the 387, prefixes, padding
        {{0x0F, 0xC8}, nullptr},                          // bswap eax
        {{0xF0, 0x0F, 0xB1, 0x11}, nullptr},              // lock cmpxchg [ecx],edx
        {{0x0F, 0xC1, 0x11}, nullptr},                    // xadd [ecx],edx
        {{0x0F, 0x01, 0x38}, nullptr},                    // invlpg [eax]
        {{0x0F, 0x09}, nullptr},                          // wbinvd
        {{0xD9, 0xFE, 0xD9, 0xFA, 0xDA, 0xE9}, nullptr},  // fsin, fsqrt, fucompp
        {{0xDF, 0xE0}, nullptr},                          // fnstsw ax
        {{0xF3, 0xA5, 0xF3, 0xAB}, nullptr},              // rep movs, rep stos
        {{0x64, 0xA1, 0x00, 0x00, 0x00, 0x00}, nullptr},  // mov eax,fs:0x0
        {{0x0F, 0xA4, 0xC3, 0x04, 0x0F, 0x94, 0xC0}, nullptr},  // shld, sete
        {{0x8D, 0x74, 0x26, 0x00, 0x66, 0x90, 0x90}, nullptr},  // padding: lea, xchg ax,ax, nop
        {{0xF3, 0x90, 0xF3, 0xC3}, nullptr},                    // pause (REP NOP), repz ret
        {{0xFF, 0xFF}, nullptr},  // data objdump cannot decode
    };
    const std::string path = std::string(ZAV_PE_WORK_DIR) + "/crafted.exe";
    for (const Row& row : rows) {
        // xor eax,eax; the row's code at 0x401002; ret.
        std::vector<uint8_t> code = {0x31, 0xC0};
        code.insert(code.end(), row.code.begin(), row.code.end());
        code.push_back(0xC3);
        const std::vector<uint8_t> image = CodePe(code);
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(image.data()),
                                                    static_cast<std::streamsize>(image.size()));
        std::string text, error;
        ASSERT_TRUE(pe::Disassemble(ZAV_OBJDUMP, path, text, error)) << error;
        const pe::InstructionScan scan = pe::ScanFor486(text);
        EXPECT_GE(scan.instructions, 2u) << text;  // xor and what follows
        const std::vector<std::string> expected =
            row.expected ? std::vector<std::string>{std::string("0x401002: ") + row.expected} : std::vector<std::string>{};
        EXPECT_EQ(scan.problems, expected) << text;
    }
}

TEST(PeReader, RefusesWhatIsNoPe32Image) {
    struct Row {
        const char* what;
        void (*spoil)(std::vector<uint8_t>&);
        const char* expected;
    };
    const Row rows[] = {
        {"no MZ", [](std::vector<uint8_t>& b) { b[0] = 'X'; }, "no MZ header"},
        {"PE offset past the end", [](std::vector<uint8_t>& b) { b[0x3C] = 0xF0; b[0x3D] = 0xFF; }, "no PE signature"},
        {"PE32+", [](std::vector<uint8_t>& b) { b[0x58] = 0x0B; b[0x59] = 0x02; }, "PE32+"},
        {"section past the end", [](std::vector<uint8_t>& b) { b[0x149] = 0x40; }, "runs off the file"},
        {"import name outside", [](std::vector<uint8_t>& b) { b[0x300 + 13] = 0x70; }, "outside the file"},
        {"truncated", [](std::vector<uint8_t>& b) { b.resize(0x100); }, "too short"},
    };
    for (const Row& row : rows) {
        std::vector<uint8_t> bytes = TinyPe();
        row.spoil(bytes);
        pe::Image image;
        std::string error;
        EXPECT_FALSE(pe::Parse(bytes, image, error)) << row.what;
        EXPECT_NE(error.find(row.expected), std::string::npos) << row.what << ": " << error;
    }
}

}  // namespace
