// Exports: a prefix's registry as regedit exports it and its drive_c as Wine
// shows it, a simulated machine's registry and files alike, all as state
// lines (image/machine_state.h), and where two such states disagree.
#include "wine_harness.h"

#include "image/machine_image.h"
#include "image/reg_file.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>

namespace fs = std::filesystem;

namespace winetest {

const char kDriveIconsKey[] = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\DriveIcons";

namespace {

// regedit /E FILE KEY (every root for an empty KEY) into a FILE removed
// first; the exit status.
int RegeditExport(const Env& env, const std::string& logDir, const std::string& file, const std::string& key) {
    fs::remove(file);
    std::vector<std::string> args = {"regedit", "/E", WindowsPathOf(file)};
    if (!key.empty()) args.push_back(key);
    return Run(Wine(env, args), env, logDir, logDir + "/wine.log", 120);
}

void AsExported(sim::RegKey& key) {
    for (sim::RegValue& value : key.values)
        if ((value.type == REG_SZ || value.type == REG_EXPAND_SZ) && (value.data.empty() || value.data.back() != 0))
            value.data.push_back(0);
    for (const auto& subkey : key.subkeys) AsExported(*subkey);
}

}  // namespace

bool ExportRegistry(const Env& env, const std::string& logDir, const std::string& key, const std::string& file,
                    sim::Registry& registry, std::string& error) {
    if (RegeditExport(env, logDir, file, key) == -1) {
        error = "regedit /E " + key + " timed out";
        return false;
    }
    registry = sim::Registry();
    if (!fs::exists(file)) return true;  // the key does not exist
    std::string bytes;
    image::InputError diag;
    if (!image::ReadHostFile(file, &bytes) || !image::ReadRegFile(bytes, file, registry, nullptr, &diag)) {
        error = diag.message.empty() ? file + ": cannot read" : diag.Text();
        return false;
    }
    LeaveOutWineOwnKeys(registry);
    return true;
}

bool ExportWholeRegistry(const Env& env, const std::string& logDir, const std::string& file, image::StateLines& lines,
                         std::string& error) {
    // An export that fails is made again, twice at most: regedit here only
    // observes the machine, and on a loaded machine a Wine process now and
    // then ends with a status of its own (once in a CI run, for an export
    // no other run failed). Each failure is said on the test's output with
    // what Wine wrote meanwhile.
    const std::string log = logDir + "/wine.log";
    std::string bytes;
    const int attempts = 3;
    for (int attempt = 1;; ++attempt) {
        std::error_code ec;
        const uintmax_t size = fs::file_size(log, ec);
        const size_t logBefore = ec ? 0 : static_cast<size_t>(size);
        const int status = RegeditExport(env, logDir, file, "");
        if (status == 0 && image::ReadHostFile(file, &bytes)) break;
        const std::string text = ReadText(log);
        const std::string said = text.substr(std::min(logBefore, text.size()));
        std::fprintf(stderr, "regedit /E %s: status %d, %s (attempt %d of %d); Wine said: %s\n", file.c_str(), status,
                     fs::exists(file) ? "the file unreadable" : "no file", attempt, attempts,
                     said.substr(said.size() > 2000 ? said.size() - 2000 : 0).c_str());
        if (attempt == attempts) {
            error = "regedit /E " + file + " failed (status " + std::to_string(status) + ")";
            return false;
        }
    }
    std::string ascii;  // UTF-16LE past the byte order mark
    for (size_t i = 2; i + 1 < bytes.size(); i += 2) ascii.push_back(bytes[i + 1] == 0 ? bytes[i] : '?');
    std::map<std::string, int> count;
    for (const std::string& line : TextLines(ascii)) ++count[line];
    lines.clear();
    for (const auto& [text, n] : count) lines[text] = n == 1 ? "" : std::to_string(n) + " times";
    return true;
}

void LeaveOutWineOwnKeys(sim::Registry& registry) {
    // The 32-bit view of a 64-bit prefix: its keys shared with the 64-bit
    // view (DriveIcons among them) are links that an export writes out a
    // second time. The 64-bit program works in the 64-bit view; a 32-bit
    // prefix has no such view.
    registry.DeleteTree("HKEY_LOCAL_MACHINE\\Software\\Wow6432Node");
    // Wine's desktop, whenever it starts (which on a slow or loaded machine
    // can fall during the run), registers its display driver below
    // Control\Video and the current hardware profile's Control\Video,
    // rewrites its display adapter's driver key (DriverDateData, ...) below
    // the display class and counts the start in Control\ServiceCurrent:
    // Wine's own keys and values, which the program never touches (it works
    // in the classes of disk controllers and disk drives only).
    for (const char* set : {"CurrentControlSet", "ControlSet001"}) {
        const std::string control = std::string("HKEY_LOCAL_MACHINE\\System\\") + set + "\\Control";
        registry.DeleteTree(control + "\\Video");
        registry.DeleteTree(control + "\\Class\\{4D36E968-E325-11CE-BFC1-08002BE10318}");
        registry.DeleteTree(control + "\\ServiceCurrent");
        registry.DeleteTree(std::string("HKEY_LOCAL_MACHINE\\System\\") + set +
                            "\\Hardware Profiles\\Current\\System\\CurrentControlSet\\Control\\Video");
    }
}

image::StateLines DriveC(const std::string& prefix) {
    image::StateLines files;
    const fs::path root = fs::path(prefix) / "drive_c";
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        const fs::file_status status = it->symlink_status(ec);
        if (fs::is_symlink(status)) {
            it.disable_recursion_pending();
            continue;
        }
        std::string path = "C:\\" + it->path().lexically_relative(root).string();
        std::replace(path.begin(), path.end(), '/', '\\');
        const bool directory = fs::is_directory(status);
        bool readOnly = false;
        uint64_t size = 0;
        std::string digest;
        struct stat info;
        if (lstat(it->path().c_str(), &info) == 0) {
            readOnly = (info.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0;
            if (!directory) {
                size = static_cast<uint64_t>(info.st_size);
                digest = size <= 256 * 1024 ? image::ContentDigest(ReadBytes(it->path().string()))
                                            : "size " + std::to_string(info.st_size) + " time " +
                                                  std::to_string(info.st_mtim.tv_sec) + "." +
                                                  std::to_string(info.st_mtim.tv_nsec);
            }
        }
        // Wine shows a file without write permission as read-only; a
        // folder's is not compared.
        image::AddFile(files, path, directory, readOnly && !directory ? FILE_ATTRIBUTE_READONLY : 0, size, digest);
    }
    return files;
}

image::StateLines ExportedRegistryState(sim::Registry registry, const std::string& from, unsigned codePage) {
    if (sim::RegKey* root = registry.Root(HKEY_LOCAL_MACHINE)) AsExported(*root);
    image::StateLines state;
    image::AddRegistry(state, registry, from, codePage);
    return state;
}

image::StateLines FileState(const sim::FileSystem& files) {
    image::StateLines state;
    for (const sim::FileEntry* entry : files.Entries())
        if (!entry->directory)
            image::AddFile(state, entry->path, false, entry->attributes & FILE_ATTRIBUTE_READONLY, entry->data.size(),
                           image::ContentDigest(entry->data));
    return state;
}

std::vector<std::string> Disagreements(const image::StateLines& a, const image::StateLines& b,
                                       const std::string& aOnly, const std::string& bOnly,
                                       const std::function<bool(const std::string&)>& about) {
    const image::StateDifference difference = image::Difference(a, b);
    std::vector<std::string> lines;
    auto add = [&](const image::StateLines& side, const std::string& label) {
        for (const auto& line : side)
            if (!about || about(line.first)) lines.push_back(label + image::Line(line));
    };
    add(difference.removed, aOnly);
    add(difference.added, bOnly);
    return lines;
}

}  // namespace winetest
