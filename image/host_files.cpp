// A machine's files in a host folder (drive_c/ holds C:\, ...) read into a
// simulated file system and written from one, and whole host files.
#include "image/host_files.h"

#include "image/text_codec.h"
#include "imageformat/machine_ini.h"
#include "platform/sim/sim_paths.h"

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <system_error>

namespace image {

namespace {

namespace fs = std::filesystem;

bool WriteBytes(const std::string& path, const char* bytes, size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    out.write(bytes, static_cast<std::streamsize>(size));
    out.close();
    return !out.fail();
}

bool Fail(std::string* error, const std::string& text) {
    if (error != nullptr) *error = text;
    return false;
}

bool LoadFolder(sim::FileSystem& tree, const fs::path& folder, const std::string& windowsPath,
                std::string* error) {
    std::error_code ec;
    std::map<std::string, std::string> seen;  // upper-cased name -> name
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        const std::string upper = sim::UpperAscii(name);
        if (seen.count(upper) != 0)
            return Fail(error, "names differ only in case: " + seen[upper] + " and " + name +
                                   " in " + folder.string());
        seen[upper] = name;
        const std::string child = sim::Join(windowsPath, name);
        if (name.find('\\') != std::string::npos || sim::FileSystem::Normalize(child).empty())
            return Fail(error, "not a Windows file name: " + it->path().string());
        if (it->is_directory(ec)) {
            tree.AddDirectory(child);
            if (!LoadFolder(tree, it->path(), child, error)) return false;
        } else if (it->is_regular_file(ec)) {
            std::ifstream in(it->path(), std::ios::binary);
            std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)),
                                      std::istreambuf_iterator<char>());
            if (in.bad()) return Fail(error, "cannot read " + it->path().string());
            tree.AddFile(child, data, FILE_ATTRIBUTE_ARCHIVE);
        }
    }
    if (ec) return Fail(error, "cannot list " + folder.string() + ": " + ec.message());
    return true;
}

}  // namespace

std::string HostRelativePath(const std::string& windowsPath) {
    std::string out = imageformat::DriveFolder(windowsPath[0]);
    for (size_t i = 2; i < windowsPath.size(); ++i) {
        if (windowsPath[i] != '\\') out += windowsPath[i];
        else if (i + 1 < windowsPath.size()) out += '/';
    }
    return out;
}

std::string DriveRootOf(const std::string& folderName) {
    const size_t prefix = std::strlen(imageformat::kDriveFolderPrefix);
    if (folderName.size() != prefix + 1 ||
        !sim::NamesEqual(folderName.substr(0, prefix), imageformat::kDriveFolderPrefix) ||
        !sim::IsDriveLetter(folderName[prefix]))
        return "";
    return sim::RootText(sim::UpperAscii(folderName[prefix]));
}

bool LoadFromHost(sim::FileSystem& files, const std::string& hostRoot, std::string* error) {
    std::error_code ec;
    if (!fs::is_directory(hostRoot, ec)) return Fail(error, "no such folder: " + hostRoot);
    sim::FileSystem loaded;
    for (fs::directory_iterator it(hostRoot, ec), end; !ec && it != end; it.increment(ec)) {
        // Anything at the top but the drive folders is not part of the image.
        const std::string root = DriveRootOf(it->path().filename().string());
        if (root.empty() || !it->is_directory(ec)) continue;
        if (loaded.Exists(root)) return Fail(error, "two folders for drive " + root);
        loaded.AddDirectory(root);
        if (!LoadFolder(loaded, it->path(), root, error)) return false;
    }
    if (ec) return Fail(error, "cannot list " + hostRoot + ": " + ec.message());
    files = std::move(loaded);
    return true;
}

bool LoadFromFolder(sim::FileSystem& files, const sim::FileSystem& source, const std::string& folder,
                    std::string* error) {
    const sim::FileEntry* top = source.Find(folder);
    if (top == nullptr || !top->directory) return Fail(error, "no such folder: " + folder);
    const std::string prefix = sim::ChildPrefix(top->path);
    sim::FileSystem loaded;
    for (const sim::FileEntry* e : source.Entries()) {  // parents come before their children
        if (e->path.size() <= prefix.size() || !sim::NamesEqual(e->path.substr(0, prefix.size()), prefix))
            continue;
        const std::string below = e->path.substr(prefix.size());
        const size_t slash = below.find('\\');
        // Anything at the top but the drive folders is not part of the image.
        const std::string root = DriveRootOf(below.substr(0, slash));
        if (root.empty()) continue;
        if (slash == std::string::npos) {
            if (e->directory) loaded.AddDirectory(root);
            continue;
        }
        const std::string path = root + below.substr(slash + 1);
        if (e->directory) loaded.AddDirectory(path);
        else if (loaded.Exists(root)) loaded.AddFile(path, e->data, FILE_ATTRIBUTE_ARCHIVE);
    }
    files = std::move(loaded);
    return true;
}

bool SaveToHost(const sim::FileSystem& files, const std::string& hostRoot, std::string* error) {
    std::error_code ec;
    if (fs::exists(hostRoot, ec) && !fs::is_empty(hostRoot, ec))
        return Fail(error, "folder is not empty: " + hostRoot);
    fs::create_directories(hostRoot, ec);
    if (ec) return Fail(error, "cannot create " + hostRoot + ": " + ec.message());
    for (const sim::FileEntry* e : files.Entries()) {  // parents come before their children
        const fs::path target = fs::path(hostRoot) / HostRelativePath(e->path);
        if (e->directory) {
            fs::create_directory(target, ec);
            if (ec) return Fail(error, "cannot create " + target.string() + ": " + ec.message());
        } else if (!WriteBytes(target.string(), reinterpret_cast<const char*>(e->data.data()), e->data.size())) {
            return Fail(error, "cannot write " + target.string());
        }
    }
    return true;
}

// Straight into a string of the file's size: a registry export runs to tens
// of megabytes, and a stream buffer in between would hold it twice or more.
bool ReadHostFile(const std::string& path, std::string* bytes) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) return false;
    const std::streamoff size = in.tellg();
    if (size < 0) return false;
    in.seekg(0);
    std::string content(static_cast<size_t>(size), '\0');
    in.read(&content[0], size);
    if (in.gcount() != size || in.bad()) return false;
    bytes->swap(content);
    return true;
}

bool WriteHostFile(const std::string& path, const std::string& bytes) {
    return WriteBytes(path, bytes.data(), bytes.size());
}

}  // namespace image
