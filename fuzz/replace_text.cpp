// Fuzz target: the text replacement scan over a simulated file, with fuzzed
// bytes, search and replacement texts, attributes and an optional platform
// failure at any call.
//
// Input: byte 0: bits 0-1 attributes (archive, read-only, hidden+system,
// none), bit 2 a fault follows, bit 3 the NT family, bits 4-7 the search
// length - 1; byte 1: the replacement length (0-63); with a fault, bytes 2-4:
// the function, its call number, once or from then on (bit 0) and short
// transfers (bit 1); then the search text, the replacement text and the
// file's bytes.
// Checks against a reference model: without a fault the file holds the
// replacement's result (a read-only one stays as it was) and no sibling file
// is left; with a fault the former content is never lost: the file holds
// the old or the new content, or, when it is gone, a sibling holds the old.
#include "fuzz_check.h"

#include "files/files.h"
#include "image/machine_state.h"
#include "platform/sim/sim.h"
#include "support/run_invariants.h"

namespace {

const char kDirectory[] = "C:\\WINNT\\inf";
const char kPath[] = "C:\\WINNT\\inf\\usbstor.inf";

using sim::Api;
const Api kFunctions[] = {Api::FindFirstFileA, Api::FindClose,       Api::CreateFileA,
                          Api::GetFileSize,    Api::SetFilePointer,  Api::ReadFile,
                          Api::WriteFile,      Api::CloseHandle,     Api::DeleteFileA,
                          Api::MoveFileA,      Api::SetFileAttributesA, Api::GetFileAttributesA};

std::string Take(const uint8_t*& data, size_t& size, size_t count) {
    const size_t n = count < size ? count : size;
    std::string out(reinterpret_cast<const char*>(data), n);
    data += n;
    size -= n;
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const uint8_t flags = data[0];
    const size_t replacementLength = data[1] & 0x3F;
    data += 2;
    size -= 2;
    static const DWORD kAttributes[] = {FILE_ATTRIBUTE_ARCHIVE, FILE_ATTRIBUTE_READONLY,
                                        FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM, 0};
    const DWORD attributes = kAttributes[flags & 3];
    std::optional<sim::Fault> fault;
    if ((flags & 4) != 0) {
        if (size < 3) return 0;
        sim::Fault f;
        f.function = kFunctions[data[0] % (sizeof kFunctions / sizeof kFunctions[0])];
        f.nth = 1 + data[1] % 8;
        f.persistent = (data[2] & 1) != 0;
        f.shortTransfer = (data[2] & 2) != 0 && sim::MovesBytes(f.function);
        f.error = f.shortTransfer ? 0 : ERROR_ACCESS_DENIED;
        fault = f;
        data += 3;
        size -= 3;
    }
    const std::string search = Take(data, size, 1 + (flags >> 4));
    const std::string replacement = Take(data, size, replacementLength);
    if (search.empty()) return 0;
    const std::vector<uint8_t> content(data, data + size);

    sim::Machine m = (flags & 8) != 0 ? sim::MakeWindows2000("Service Pack 2") : sim::MakeWindows98();
    m.files.AddDirectory(kDirectory);
    m.files.AddFile(kPath, content, attributes);
    m.files.AddFile(std::string(kDirectory) + "\\usb.inf", "kept");
    const sim::FileSystem filesBefore = m.files;
    if (fault) m.InjectFault(*fault);
    bool written = false;
    {
        sim::ActiveMachine active(m);
        written = ReplaceTextInFile(kPath, search, replacement);
    }
    fuzz::Check(m.OpenHandles().Total() == 0, "a handle left open");

    const std::vector<uint8_t> expected = support::ReferenceReplace(content, search, replacement);
    const auto now = m.files.Read(kPath);
    // Every other file that was there stays as it was.
    for (const sim::FileEntry* e : filesBefore.Entries()) {
        if (sim::FileSystem::Normalize(e->path) == sim::FileSystem::Normalize(kPath)) continue;
        const sim::FileEntry* after = m.files.Find(e->path);
        fuzz::Check(after != nullptr && after->data == e->data && after->attributes == e->attributes,
                    "another file changed: " + e->path);
    }
    if (!fault) {
        if (attributes & FILE_ATTRIBUTE_READONLY) {
            fuzz::Check(!written && image::FilesText(m.files) == image::FilesText(filesBefore), "a read-only file was changed");
        } else {
            fuzz::Check(written && now && *now == expected, "the file does not hold the replacement's result");
            fuzz::Check(m.files.Entries().size() == filesBefore.Entries().size(), "a sibling file was left");
        }
        return 0;
    }
    if (written) fuzz::Check(now && *now == expected, "reported written, but not the replacement's result");
    if (now) {
        fuzz::Check(*now == content || *now == expected, "the file holds neither the old nor the new content");
        return 0;
    }
    bool kept = false;
    for (const sim::FileEntry* e : m.files.Entries())
        kept = kept || (!e->directory && e->data == content);
    fuzz::Check(kept, "the file is gone and no sibling holds its former content");
    return 0;
}
