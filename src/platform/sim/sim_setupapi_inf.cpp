// The simulated SETUPAPI's INF access: INF files read from the machine's
// file system, opened, read line by line and closed.
#include "platform/sim/sim_setupapi.h"

namespace sim {

struct InfFile {
    std::string path;
    std::vector<InfSection> sections;
};

namespace {

// A bare file name is looked for in the INF directory and then in the system
// directory of the Windows directory, as SetupOpenInfFile documents.
std::vector<std::string> InfCandidates(const std::string& name) {
    if (name.find_first_of("\\/:") != std::string::npos) return {name};
    const Machine& m = Current();
    const char* system = m.family() == Family::NT ? "\\system32\\" : "\\system\\";
    return {m.windowsDirectory + "\\inf\\" + name, m.windowsDirectory + system + name};
}

// INF_STYLE_WIN4: a [Version] signature of either family (any case; the
// reader has already removed quotes). Anything else is a legacy INF.
bool IsWin4Inf(const std::vector<InfSection>& sections) {
    const std::string signature = VersionValue(sections, "Signature");
    return NamesEqual(signature, "$Chicago$") || NamesEqual(signature, "$Windows NT$") ||
           NamesEqual(signature, "$Windows 95$");
}

}  // namespace

// The file's bytes are read straight from the file system: SETUPAPI's own
// read, not a file the program opens, so nothing is logged.
bool ReadInfBytes(const std::string& name, std::vector<uint8_t>* bytes, DWORD* error) {
    const FileSystem& fs = Current().files;
    const std::vector<std::string> candidates = InfCandidates(name);
    *error = ERROR_FILE_NOT_FOUND;  // a searched name is simply not found
    for (const std::string& path : candidates) {
        const FileEntry* entry = fs.Find(path);
        if (entry == nullptr && candidates.size() > 1) continue;
        if (entry == nullptr) {
            const std::string normalized = FileSystem::Normalize(path);
            const size_t slash = normalized.rfind('\\');
            std::string parent = slash == std::string::npos ? "" : normalized.substr(0, slash);
            if (!parent.empty() && parent.back() == ':') parent += '\\';
            const FileEntry* dir = parent.empty() ? nullptr : fs.Find(parent);
            *error = dir != nullptr && dir->directory ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
            continue;
        }
        if (entry->directory) {
            *error = ERROR_ACCESS_DENIED;
            return false;
        }
        *bytes = entry->data;
        return true;
    }
    return false;
}

std::string VersionValue(const std::vector<InfSection>& sections, const char* key) {
    const InfSection* version = FindInfSection(sections, "Version");
    const InfLine* line = version ? FindInfLine(*version, key) : nullptr;
    return line != nullptr && !line->values.empty() ? line->values[0] : std::string();
}

bool ParseWin4Inf(const std::vector<uint8_t>& bytes, std::vector<InfSection>* sections,
                  DWORD* error, unsigned* errorLine) {
    InfParse parsed = ParseInf(bytes);
    if (parsed.error != ERROR_SUCCESS) {
        *error = parsed.error;
        *errorLine = parsed.errorLine;
        return false;
    }
    if (!IsWin4Inf(parsed.sections)) {
        *error = ERROR_WRONG_INF_STYLE;
        return false;
    }
    *sections = std::move(parsed.sections);
    return true;
}

}  // namespace sim

namespace {

sim::InfFile* FindInf(HINF inf) {
    auto& infs = State().infs;
    auto found = infs.find(reinterpret_cast<uintptr_t>(inf));
    return found == infs.end() ? nullptr : found->second.get();
}

}  // namespace

extern "C" HINF WINAPI SetupOpenInfFileA(PCSTR fileName, PCSTR infClass, DWORD style,
                                         PUINT errorLine) {
    if (auto e = detail::Enter(sim::Api::SetupOpenInfFileA)) {
        SetError(*e);
        return INVALID_HANDLE_VALUE;
    }
    if (fileName == nullptr) {
        SetError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    // Only Windows 95/NT 4 style INFs are simulated; legacy NT 3 INFs are not.
    if ((style & INF_STYLE_WIN4) == 0) {
        SetError(ERROR_WRONG_INF_STYLE);
        return INVALID_HANDLE_VALUE;
    }
    auto file = std::make_shared<sim::InfFile>();
    file->path = fileName;
    std::vector<uint8_t> bytes;
    DWORD error = ERROR_SUCCESS;
    unsigned line = 0;
    if (!sim::ReadInfBytes(fileName, &bytes, &error) ||
        !sim::ParseWin4Inf(bytes, &file->sections, &error, &line)) {
        if (line != 0 && errorLine != nullptr) *errorLine = line;
        SetError(error);
        return INVALID_HANDLE_VALUE;
    }
    if (infClass != nullptr && !sim::NamesEqual(sim::VersionValue(file->sections, "Class"), infClass)) {
        SetError(ERROR_CLASS_MISMATCH);
        return INVALID_HANDLE_VALUE;
    }
    const uintptr_t handle = State().NewHandle();
    State().infs[handle] = file;
    return reinterpret_cast<HINF>(handle);
}

extern "C" BOOL WINAPI SetupGetLineByIndexA(HINF inf, PCSTR section, DWORD index,
                                            PINFCONTEXT context) {
    if (auto e = detail::Enter(sim::Api::SetupGetLineByIndexA)) {
        SetError(*e);
        return FALSE;
    }
    const sim::InfFile* file = FindInf(inf);
    if (file == nullptr) {
        SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (section == nullptr || context == nullptr) {
        SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const sim::InfSection* found = sim::FindInfSection(file->sections, section);
    if (found == nullptr) {
        SetError(ERROR_SECTION_NOT_FOUND);
        return FALSE;
    }
    if (index >= found->lines.size()) {
        SetError(ERROR_LINE_NOT_FOUND);
        return FALSE;
    }
    context->Inf = inf;
    context->CurrentInf = inf;
    context->Section = static_cast<UINT>(found - file->sections.data());
    context->Line = index;
    return TRUE;
}

extern "C" BOOL WINAPI SetupGetLineTextA(PINFCONTEXT context, HINF inf, PCSTR section, PCSTR key,
                                         PSTR buffer, DWORD size, PDWORD required) {
    if (auto e = detail::Enter(sim::Api::SetupGetLineTextA)) {
        SetError(*e);
        return FALSE;
    }
    const sim::InfLine* line = nullptr;
    if (context != nullptr) {
        const sim::InfFile* file = FindInf(context->CurrentInf);
        if (file == nullptr) {
            SetError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        if (context->Section >= file->sections.size() ||
            context->Line >= file->sections[context->Section].lines.size()) {
            SetError(ERROR_LINE_NOT_FOUND);
            return FALSE;
        }
        line = &file->sections[context->Section].lines[context->Line];
    } else {
        // Without a context the line is the section's first with this key.
        if (section == nullptr || key == nullptr) {
            SetError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        const sim::InfFile* file = FindInf(inf);
        if (file == nullptr) {
            SetError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        const sim::InfSection* found = sim::FindInfSection(file->sections, section);
        if (found == nullptr) {
            SetError(ERROR_SECTION_NOT_FOUND);
            return FALSE;
        }
        line = sim::FindInfLine(*found, key);
        if (line == nullptr) {
            SetError(ERROR_LINE_NOT_FOUND);
            return FALSE;
        }
    }
    const std::string text = sim::InfLineText(*line);
    const DWORD needed = static_cast<DWORD>(text.size() + 1);
    if (required != nullptr) *required = needed;
    if (buffer == nullptr) return TRUE;  // a size query
    if (needed > size) {
        SetError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memcpy(buffer, text.c_str(), needed);
    return TRUE;
}

extern "C" void WINAPI SetupCloseInfFile(HINF inf) {
    // The close cannot fail on Windows: an injected fault only sets the last
    // error, and the handle is released all the same. Unknown handles are ignored.
    if (auto e = detail::Enter(sim::Api::SetupCloseInfFile)) SetError(*e);
    State().infs.erase(reinterpret_cast<uintptr_t>(inf));
}
