// Driver file removal: the package's driver files and setup information
// files deleted from below the Windows directory.
#include "files/files.h"

#include "package.h"
#include "run/run_state.h"

void ForceDeleteFile(const std::string& path) {
    if (DeleteFileA(path.c_str())) return;
    // A read-only file cannot be deleted on either family. The failure value
    // INVALID_FILE_ATTRIBUTES is masked like any other: for a missing file
    // the set fails as well, and nothing changes.
    const DWORD attributes = GetFileAttributesA(path.c_str());
    // Clears read-only, hidden, system and archive (and every bit but one
    // per nibble), keeping the directory bit and the like.
    SetFileAttributesA(path.c_str(), attributes & 0x11111110);
    DeleteFileA(path.c_str());
}

bool FindEntry(const std::string& path, DWORD& attributes) {
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(path.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return false;
    attributes = found.dwFileAttributes;
    FindClose(search);
    return true;
}

bool IsExistingFile(const std::string& path) {
    DWORD attributes = 0;
    return FindEntry(path, attributes) && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

std::string WindowsPath(const PackageFile& file) {
    return FormatText("%s\\%s\\%s", WindowsDirectory, file.folder, file.name);
}

void RemoveDriverFiles(int selector) {
    // With no Windows directory every path below would name the root of the
    // current drive.
    if (!IsWindowsDirectoryKnown()) return;
    switch (selector) {
    case 1:
        ForceDeleteFile(WindowsPath(kWdmDriverFile));
        break;
    case 2:
        ForceDeleteFile(WindowsPath(kIosDriverFile));
        break;
    case 3: {
        const std::string otherCopy = WindowsPath(kOtherInfCopy);
        if (IsExistingFile(otherCopy)) ForceDeleteFile(otherCopy);
        const std::string infCopy = WindowsPath(kInfCopy);
        if (IsExistingFile(infCopy)) ForceDeleteFile(infCopy);
        // The precompiled INF gets one plain attempt: a read-only one stays.
        DeleteFileA(WindowsPath(kPrecompiledInfFile).c_str());
        break;
    }
    default:
        break;
    }
}
