// Image folders on the host (drive_c/ holds C:\, drive_d/ holds D:\, ...)
// read into a simulated file system and written from one.
#include "platform/sim/sim_internal.h"
#include "platform/sim/sim_paths.h"

#include <cctype>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

namespace sim {

namespace {

namespace fs = std::filesystem;

bool Fail(std::string* error, const std::string& text) {
    if (error != nullptr) *error = text;
    return false;
}

bool LoadFolder(FileSystem& tree, const fs::path& folder, const std::string& windowsPath,
                std::string* error) {
    std::error_code ec;
    std::map<std::string, std::string> seen;  // upper-cased name -> name
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        const std::string upper = UpperAscii(name);
        if (seen.count(upper) != 0)
            return Fail(error, "names differ only in case: " + seen[upper] + " and " + name +
                                   " in " + folder.string());
        seen[upper] = name;
        const std::string child = Join(windowsPath, name);
        if (name.find('\\') != std::string::npos || FileSystem::Normalize(child).empty())
            return Fail(error, "not a Windows file name: " + it->path().string());
        if (it->is_directory(ec)) {
            tree.AddDirectory(child);
            if (!LoadFolder(tree, it->path(), child, error)) return false;
        } else if (it->is_regular_file(ec)) {
            std::ifstream in(it->path(), std::ios::binary);
            std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)),
                                      std::istreambuf_iterator<char>());
            if (in.bad()) return Fail(error, "cannot read " + it->path().string());
            // Attributes are not kept on the host; a copied file gets the archive bit.
            tree.AddFile(child, data, FILE_ATTRIBUTE_ARCHIVE);
        }
    }
    if (ec) return Fail(error, "cannot list " + folder.string() + ": " + ec.message());
    return true;
}

}  // namespace

bool FileSystem::LoadFromHost(const std::string& hostRoot, std::string* error) {
    std::error_code ec;
    if (!fs::is_directory(hostRoot, ec)) return Fail(error, "no such folder: " + hostRoot);
    FileSystem loaded;
    for (fs::directory_iterator it(hostRoot, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        // drive_c/ holds C:\ ; anything else at the top is not part of the image.
        if (name.size() != 7 || UpperAscii(name.substr(0, 6)) != "DRIVE_" ||
            !std::isalpha(static_cast<unsigned char>(name[6])) || !it->is_directory(ec))
            continue;
        const std::string root =
            RootText(static_cast<char>(std::toupper(static_cast<unsigned char>(name[6]))));
        if (loaded.Exists(root)) return Fail(error, "two folders for drive " + root);
        loaded.AddDirectory(root);
        if (!LoadFolder(loaded, it->path(), root, error)) return false;
    }
    if (ec) return Fail(error, "cannot list " + hostRoot + ": " + ec.message());
    *this = std::move(loaded);  // the tree changes only when the whole image was read
    return true;
}

bool FileSystem::SaveToHost(const std::string& hostRoot, std::string* error) const {
    std::error_code ec;
    // Never mix an image with what a folder already holds: a round trip must be exact.
    if (fs::exists(hostRoot, ec) && !fs::is_empty(hostRoot, ec))
        return Fail(error, "folder is not empty: " + hostRoot);
    fs::create_directories(hostRoot, ec);
    if (ec) return Fail(error, "cannot create " + hostRoot + ": " + ec.message());
    for (const auto& item : entries_) {  // parents come before their children
        const FileEntry& e = item.second;
        fs::path target = fs::path(hostRoot) /
                          ("drive_" + std::string(1, static_cast<char>(std::tolower(
                                                         static_cast<unsigned char>(e.path[0])))));
        size_t start = 3;
        while (start < e.path.size()) {
            size_t end = e.path.find('\\', start);
            if (end == std::string::npos) end = e.path.size();
            target /= e.path.substr(start, end - start);
            start = end + 1;
        }
        if (e.directory) {
            fs::create_directory(target, ec);
            if (ec) return Fail(error, "cannot create " + target.string() + ": " + ec.message());
        } else {
            std::ofstream out(target, std::ios::binary | std::ios::trunc);
            out.write(reinterpret_cast<const char*>(e.data.data()),
                      static_cast<std::streamsize>(e.data.size()));
            out.close();
            if (!out) return Fail(error, "cannot write " + target.string());
        }
    }
    return true;
}

}  // namespace sim
