// zavcollect.exe [/all] [/quiet] [FOLDER]: the command line, the image
// folder, the order of the parts and the closing message.
#include "collect/collect.h"

#include "imageformat/machine_ini.h"
#include "imageformat/reg_export.h"

#include <cstring>

namespace {

const size_t kFlushSize = 64 * 1024;
const char kTitle[] = "Machine image";

struct Options {
    bool all = false;
    bool quiet = false;
    std::string folder;  // empty: a new folder beside the exe
};

// Options are matched without regard to the case of their letters, as
// Windows programs take them.
bool IsOption(const std::string& word, const char* option) {
    if (word.size() != std::strlen(option)) return false;
    for (size_t i = 0; i < word.size(); ++i) {
        const char c = word[i] >= 'A' && word[i] <= 'Z' ? static_cast<char>(word[i] - 'A' + 'a') : word[i];
        if (c != option[i]) return false;
    }
    return true;
}

// The arguments after the program's own name; a quoted argument keeps its
// blanks.
bool ParseCommandLine(const char* line, Options& options) {
    std::vector<std::string> words;
    bool quoted = false, inWord = false;
    for (const char* p = line;; ++p) {
        const bool end = *p == '\0';
        if (!end && *p == '"') {
            quoted = !quoted;
            if (!inWord) words.push_back(std::string());
            inWord = true;
        } else if (end || (!quoted && (*p == ' ' || *p == '\t'))) {
            inWord = false;
            if (end) break;
        } else {
            if (!inWord) words.push_back(std::string());
            words.back() += *p;
            inWord = true;
        }
    }
    for (size_t i = 1; i < words.size(); ++i) {
        const std::string& word = words[i];
        if (IsOption(word, "/all"))
            options.all = true;
        else if (IsOption(word, "/quiet"))
            options.quiet = true;
        else if (word.empty() || word[0] == '/' || !options.folder.empty())
            return false;
        else
            options.folder = word;
    }
    return true;
}

bool Exists(const std::string& path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Whether a folder holds nothing. Only a search that finds nothing ("not
// found"; "no more files" on the 9x family) says so: a folder that cannot
// be listed may hold an earlier image.
bool IsEmptyFolder(const std::string& path) {
    // "C:\" ends with its separator already: "C:\\*" may fail on the 9x family.
    const std::string pattern = path + (path[path.size() - 1] == '\\' ? "*" : "\\*");
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(pattern.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_NO_MORE_FILES;
    }
    bool empty = true;
    do {
        empty = std::strcmp(found.cFileName, ".") == 0 || std::strcmp(found.cFileName, "..") == 0;
    } while (empty && FindNextFileA(search, &found));
    const bool listed = empty && GetLastError() == ERROR_NO_MORE_FILES;
    FindClose(search);
    return listed;
}

// A drive given alone ("A:" or "A:\"): its root, "A:\"; else "".
std::string DriveRoot(const std::string& folder) {
    const bool drive = (folder.size() == 2 || (folder.size() == 3 && folder[2] == '\\')) && folder[1] == ':' &&
                       ((folder[0] | 0x20) >= 'a' && (folder[0] | 0x20) <= 'z');
    return drive ? folder.substr(0, 2) + "\\" : std::string();
}

// A new folder in `parent` (which ends with its separator) named after the
// computer, or that name with "-2" to "-9999" when it is taken.
std::string MakeComputerFolder(const std::string& parent, std::string& why) {
    char computer[MAX_COMPUTERNAME_LENGTH + 1];
    std::memset(computer, 0, sizeof computer);
    DWORD size = sizeof computer;
    const std::string base =
        parent + (GetComputerNameA(computer, &size) && computer[0] != '\0' ? computer : "machine");
    for (unsigned n = 1; n < 10000; ++n) {
        const std::string name = n == 1 ? base : FormatText("%s-%u", base.c_str(), n);
        if (CreateDirectoryA(name.c_str(), nullptr)) return name;
        // Whether the name is taken is told by its existence, not by the
        // error, which need not be the same on every Windows.
        const DWORD error = GetLastError();
        if (!Exists(name)) {
            why = "The folder " + name + " could not be made (" + ErrorText(error) + ").";
            return std::string();
        }
    }
    why = "Every folder name " + base + "-2 to -9999 is taken.";
    return std::string();
}

// The image folder: FOLDER made (or taken when it is an empty folder); a
// new folder named after the computer in the root of a drive given alone,
// or else beside the exe. "" with `why` set when there is none.
std::string MakeImageFolder(std::string folder, std::string& why) {
    if (!DriveRoot(folder).empty()) return MakeComputerFolder(DriveRoot(folder), why);
    if (!folder.empty()) {
        while (folder.size() > 3 && folder[folder.size() - 1] == '\\')
            folder.erase(folder.size() - 1);
        if (CreateDirectoryA(folder.c_str(), nullptr)) return folder;
        const DWORD error = GetLastError();
        const DWORD attributes = GetFileAttributesA(folder.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES)
            why = "The folder " + folder + " could not be made (" + ErrorText(error) + ").";
        else if (!(attributes & FILE_ATTRIBUTE_DIRECTORY))
            why = folder + " is a file, not a folder.";
        else if (!IsEmptyFolder(folder))
            why = "The folder " + folder +
                  " is not empty or cannot be listed; give a new or empty folder, so that two images never mix.";
        else
            return folder;
        return std::string();
    }
    char module[MAX_PATH + 1];
    std::memset(module, 0, sizeof module);
    const DWORD length = GetModuleFileNameA(nullptr, module, MAX_PATH);
    const char* slash = length > 0 && length < MAX_PATH ? std::strrchr(module, '\\') : nullptr;
    if (slash == nullptr) {
        why = "The program's own folder could not be found (" + ErrorText(GetLastError()) + ").";
        return std::string();
    }
    return MakeComputerFolder(std::string(module, slash + 1 - module), why);
}

std::string Summary(const std::string& folder, const CollectResult& r) {
    std::string text = "The machine image is written to the folder\n\n" + folder + "\n\n";
    text += FormatText(
        "It holds %lu registry keys with %lu values, %lu devices, %lu window "
        "titles and %lu copied files.\n",
        r.keys, r.values, r.devices, r.windows, r.files);
    if (!r.notes.empty())
        text += FormatText(
            "Some things could not be read (%lu notes); notes.txt in the folder lists them.\n",
            static_cast<unsigned long>(r.notes.size()));
    const std::string name = folder.substr(folder.find_last_of("\\:") + 1);
    return text +
           "\nWhat to do next:\n"
           "1. Copy this folder to a computer that has the dry run (zavuninst-sim).\n"
           "2. There, run: zavuninst-sim " +
           name +
           "\n"
           "3. Read its report: it tells what the uninstaller would change on this computer.\n"
           "4. Then run the uninstaller, zavuninst.exe, here.";
}

int Finish(const Options& options, int code, const std::string& text) {
    if (!options.quiet)
        MessageBoxA(nullptr, text.c_str(), kTitle,
                    MB_OK | (code == kImageWritten ? MB_ICONINFORMATION : MB_ICONERROR));
    return code;
}

int NoImage(const Options& options, const std::string& folder, const std::string& why) {
    return Finish(options, kNoImage,
                  "No usable machine image was written to " + folder + ":\n\n" + why);
}

// A file of lines (notes.txt, unreadable-keys.txt) named `name`, when there
// are lines; false when it could not be written.
bool WriteLines(const std::string& folder, const char* name, const std::vector<std::string>& lines,
                CollectResult& result) {
    if (lines.empty()) return true;
    OutFile out;
    if (OpenOutFile(out, folder + "\\" + name))
        for (const std::string& line : lines) Put(out, line + imageformat::kLineEnd);
    if (!FinishOutFile(out)) return false;
    result.written.push_back({name, out.size});
    return true;
}

// Writes the pending bytes; a write that moves fewer bytes than asked goes
// on with the rest, and one that moves none means the disk is full.
void Flush(OutFile& out) {
    size_t done = 0;
    while (out.error == 0 && out.handle != INVALID_HANDLE_VALUE && done < out.pending.size()) {
        DWORD written = 0;
        if (!WriteFile(out.handle, out.pending.data() + done, static_cast<DWORD>(out.pending.size() - done),
                       &written, nullptr))
            out.error = GetLastError();
        else if (written == 0)
            out.error = ERROR_HANDLE_DISK_FULL;
        done += written;
        out.size += written;
    }
    out.pending.clear();
}

}  // namespace

std::string OneLine(const std::string& text) {
    std::string line = text;
    for (char& c : line)
        if (c == '\r' || c == '\n' || c == '\0') c = '?';
    return line;
}

void AddNote(CollectResult& result, const std::string& note) { result.notes.push_back(OneLine(note)); }

std::string ErrorText(DWORD error) {
    return FormatText("Windows error %lu", static_cast<unsigned long>(error));
}

bool OpenOutFile(OutFile& out, const std::string& path) {
    out.path = path;
    out.handle = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (out.handle == INVALID_HANDLE_VALUE) out.error = GetLastError();
    return out.handle != INVALID_HANDLE_VALUE;
}

void Put(OutFile& out, const char* bytes, size_t count) {
    out.pending.append(bytes, count);
    if (out.pending.size() >= kFlushSize) Flush(out);
}

void Put(OutFile& out, const std::string& bytes) { Put(out, bytes.data(), bytes.size()); }

bool FinishOutFile(OutFile& out) {
    Flush(out);
    if (out.handle == INVALID_HANDLE_VALUE) return false;
    // A failed close may have lost written data (a network or removable
    // drive): the file is not taken as whole.
    if (!CloseHandle(out.handle) && out.error == 0) out.error = GetLastError();
    out.handle = INVALID_HANDLE_VALUE;
    if (out.error != 0) DeleteFileA(out.path.c_str());
    return out.error == 0;
}

int RunCollector(const char* commandLine) {
    // Before anything touches a drive: a floppy without a disk or a
    // write-protected one would otherwise bring up Windows' own error box,
    // which waits for a click even with /quiet (both families).
    SetErrorMode(SEM_FAILCRITICALERRORS);
    Options options;
    if (!ParseCommandLine(commandLine, options))
        return Finish(
            options, kBadCommandLine,
            "Usage: zavcollect.exe [/all] [/quiet] [FOLDER]\n\n"
            "Writes a picture of this computer (its registry branches, devices, windows and "
            "the driver package's files) into FOLDER, a new or empty folder; without FOLDER, "
            "into a new folder beside this program named after the computer.\n\n"
            "/all  the whole HKEY_LOCAL_MACHINE instead of the branches the uninstaller uses\n"
            "/quiet  no message; the exit code tells: 0 written, 1 not written, 2 bad command "
            "line");

    OSVERSIONINFOA version;
    std::memset(&version, 0, sizeof version);
    version.dwOSVersionInfoSize = sizeof version;
    if (!GetVersionExA(&version))
        return Finish(options, kNoImage,
                      "No machine image was written: the Windows version could not be read (" +
                          ErrorText(GetLastError()) + ").");
    // The uninstaller works below the Windows directory: an image without it
    // would tell nothing of what it does.
    char windows[MAX_PATH + 1];
    std::memset(windows, 0, sizeof windows);
    const UINT length = GetWindowsDirectoryA(windows, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return Finish(options, kNoImage,
                      "No machine image was written: the Windows directory could not be read (" +
                          ErrorText(GetLastError()) + ").");

    std::string why;
    const std::string folder = MakeImageFolder(options.folder, why);
    if (folder.empty()) return Finish(options, kNoImage, "No machine image was written.\n\n" + why);

    // Each part is written whole before the next; machine.ini, which names
    // them all with their sizes, comes last.
    CollectResult result;
    const bool ntFamily = version.dwPlatformId == VER_PLATFORM_WIN32_NT;
    if (!CollectRegistry(folder, ntFamily, options.all, result)) return NoImage(options, folder, result.notes.back());
    const std::string attributes = CopyPackageFiles(folder, windows, ntFamily, result);
    const std::string sections = MachineIniSections(version, windows, attributes, result);
    if (!WriteLines(folder, imageformat::kUnreadableKeysFile, result.unreadableKeys, result))
        return NoImage(options, folder, std::string(imageformat::kUnreadableKeysFile) +
                                            ", which lists the keys that could not be opened, could not be written.");
    if (!WriteLines(folder, imageformat::kNotesFile, result.notes, result))
        return NoImage(options, folder, "notes.txt, which lists what could not be read, could not be written.");
    if (!WriteMachineIni(folder, sections, result)) return NoImage(options, folder, result.notes.back());
    return Finish(options, kImageWritten, Summary(folder, result));
}
