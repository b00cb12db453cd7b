// Prefixes: the template, made once per architecture and Wine version with
// wineboot; a fresh prefix copied from it; a scenario's Windows version,
// registry and files put into it; its wineserver ended.
#include "wine_harness.h"

#include "image/machine_image.h"
#include "image/text_codec.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace winetest {
namespace {

const char kTemplateStamp[] = ".zavtest-template";

// `loader --version`, empty when it does not run.
std::string WineVersion(const HarnessPaths& paths) {
    const std::string output = paths.workDir + "/wine-version.txt";
    std::error_code ec;
    fs::create_directories(paths.workDir, ec);
    fs::remove(output, ec);
    if (Run({paths.loader, "--version"}, Env{{"WINEDEBUG", "-all"}}, "", output, 30) != 0) return "";
    std::string version = ReadText(output);
    while (!version.empty() && std::isspace(static_cast<unsigned char>(version.back()))) version.pop_back();
    return version;
}

// Copies the template prefix: the big files below drive_c (the DLLs and
// programs, which Wine never rewrites) as hard links, everything else as
// real copies. The registry files at the top must be copies: the
// wineserver rewrites them in place.
bool CopyPrefix(const std::string& from, const std::string& to, std::string& error) {
    std::error_code ec;
    fs::remove_all(to, ec);
    fs::create_directories(to, ec);
    for (auto it = fs::recursive_directory_iterator(from, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        const fs::path relative = it->path().lexically_relative(from);
        if (relative == kTemplateStamp) continue;
        const fs::path target = fs::path(to) / relative;
        const fs::file_status status = it->symlink_status(ec);
        if (fs::is_symlink(status)) {
            fs::copy_symlink(it->path(), target, ec);
        } else if (fs::is_directory(status)) {
            fs::create_directory(target, ec);
        } else if (fs::is_regular_file(status)) {
            if (*relative.begin() == "drive_c" && it->file_size(ec) > 65536)
                fs::create_hard_link(it->path(), target, ec);
            if (!fs::exists(target)) {  // not big, or no link could be made
                ec.clear();
                fs::copy_file(it->path(), target, ec);
            }
        }
        if (ec) {
            error = "copying " + it->path().string() + ": " + ec.message();
            return false;
        }
    }
    if (ec) {
        error = "copying the template prefix: " + ec.message();
        return false;
    }
    return true;
}

// wineboot into "template.new", Wine's null graphics driver set, renamed to
// "template" and stamped with `version`; why it failed, or "".
std::string BootTemplate(const HarnessPaths& paths, const std::string& dir, const std::string& version) {
    const std::string fresh = dir + ".new", log = paths.workDir + "/template.log";
    std::error_code ec;
    fs::remove_all(fresh, ec);
    fs::remove_all(dir, ec);
    const Env env = WineEnv(paths, fresh, "");
    auto fail = [&](const std::string& why) {
        Run({"wineserver", "-k"}, env, paths.workDir, log, 30);
        return why;
    };
    const int booted = Run(Wine(env, {"wineboot", "-i"}), env, paths.workDir, log, 300);
    if (booted != 0) return fail("wineboot -i failed (status " + std::to_string(booted) + ", see " + log + ")");
    const std::vector<std::string> nullDriver = {"reg", "add", "HKCU\\Software\\Wine\\Drivers", "/v", "Graphics",
                                                 "/d", "null", "/f"};
    const int set = Run(Wine(env, nullDriver), env, paths.workDir, log, 120);
    // The server writes the registry files when it ends.
    const int ended = Run({"wineserver", "-w"}, env, paths.workDir, log, 120);
    if (set != 0 || ended != 0 || !fs::exists(fresh + "/system.reg"))
        return fail("setting up the prefix failed (see " + log + ")");
    fs::rename(fresh, dir, ec);
    if (ec) return fail("cannot rename " + fresh + ": " + ec.message());
    std::ofstream(dir + "/" + kTemplateStamp, std::ios::binary) << version;
    return "";
}

std::string MakeTemplate(const HarnessPaths& paths, const std::string& wineVersion) {
    // The harness's own mark: a template made by an older harness is made anew.
    const std::string version = wineVersion + "\n" + paths.wineArch + "\nnull graphics driver\n";
    const std::string dir = paths.workDir + "/template", stamp = dir + "/" + kTemplateStamp;
    if (ReadText(stamp) == version) return "";
    std::error_code ec;
    fs::create_directories(paths.workDir, ec);
    // One maker at a time, should two test processes start together.
    const int lock = open((paths.workDir + "/template.lock").c_str(), O_RDWR | O_CREAT, 0644);
    if (lock < 0) return "cannot create " + paths.workDir + "/template.lock";
    flock(lock, LOCK_EX);
    const std::string why = ReadText(stamp) == version ? "" : BootTemplate(paths, dir, version);
    flock(lock, LOCK_UN);
    close(lock);
    return why;
}

// The registry lines that give a scenario its Windows version.
std::string VersionRegistry(const Scenario& scenario) {
    std::string text = "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\Wine]\r\n";
    if (scenario.windows != "win2000") return text + "\"Version\"=\"" + scenario.windows + "\"\r\n";
    // Wine's default version, told to report 5.0 build 2195 with the
    // service-pack text wanted: the 5.x numbers come from CurrentVersion
    // once the NT 6 style major/minor values are gone.
    std::string csd;
    for (char c : scenario.servicePack) {
        if (c == '\\' || c == '"') csd.push_back('\\');
        csd.push_back(c);
    }
    return text + "\"Version\"=-\r\n\r\n"
                  "[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows NT\\CurrentVersion]\r\n"
                  "\"CurrentVersion\"=\"5.0\"\r\n"
                  "\"CurrentBuildNumber\"=\"2195\"\r\n"
                  "\"CSDVersion\"=\"" + csd + "\"\r\n"
                  "\"CurrentMajorVersionNumber\"=-\r\n"
                  "\"CurrentMinorVersionNumber\"=-\r\n";
}

// Maps a Windows "C:\..." path into a prefix's drive_c, matching existing
// folders without regard to case as Wine does.
std::string HostPath(const std::string& prefix, const std::string& windowsPath) {
    fs::path path = fs::path(prefix) / "drive_c";
    std::istringstream parts(windowsPath.size() > 3 ? windowsPath.substr(3) : "");
    for (std::string part; std::getline(parts, part, '\\');) {
        if (part.empty()) continue;
        std::string name = part;
        std::error_code ec;  // no folder there yet: the name as given
        for (const auto& entry : fs::directory_iterator(path, ec))
            if (image::UpperAscii(entry.path().filename().string()) == image::UpperAscii(part)) {
                name = entry.path().filename().string();
                break;
            }
        path /= name;
    }
    return path.string();
}

bool WriteFile(const std::string& path, const std::vector<uint8_t>& bytes, bool readOnly, std::string& error) {
    std::error_code ec;
    fs::create_directories(fs::path(path).parent_path(), ec);
    fs::remove(path, ec);  // never write through a hard link into the template
    // Wine reports a file without write permission as read-only.
    if (image::WriteHostFile(path, std::string(bytes.begin(), bytes.end())) &&
        (!readOnly || chmod(path.c_str(), 0444) == 0))
        return true;
    error = "cannot write " + path;
    return false;
}

// regedit /S: imports the .reg file `name` (in `work`) holding `text`.
bool ImportRegistry(const Env& env, const std::string& work, const std::string& name, const std::string& text,
                    std::string& error) {
    const std::string file = work + "/" + name;
    std::ofstream(file, std::ios::binary) << text;
    if (Run(Wine(env, {"regedit", "/S", WindowsPathOf(file)}), env, work, work + "/logs/wine.log", 120) == 0)
        return true;
    error = "regedit /S " + file + " failed";
    return false;
}

}  // namespace

std::string WineUnavailableReason(const HarnessPaths& paths) {
    const std::string version = WineVersion(paths);
    if (version.empty())
        return "the Wine loader " + paths.loader + " does not run (" + paths.loader + " --version failed)";
    const std::string why = MakeTemplate(paths, version);
    return why.empty() ? "" : "Wine (" + paths.loader + ") cannot start: " + why;
}

bool KernelCannotExecute(const std::string& program) {
    return Run({program, "--version"}, Env{{"WINEDEBUG", "-all"}}, "", "/dev/null", 30) == kCannotExecute;
}

bool MakePrefix(const HarnessPaths& paths, const std::string& name, std::string& prefix, std::string& error) {
    prefix = paths.workDir + "/" + name + "/prefix";
    return CopyPrefix(paths.workDir + "/template", prefix, error);
}

void EndPrefix(const HarnessPaths& paths, const std::string& prefix) {
    const Env env = WineEnv(paths, prefix, "");
    const std::string folder = fs::path(prefix).parent_path().string();
    Run({"wineserver", "-k"}, env, folder, folder + "/wine.log", 30);
}

bool SeedPrefix(const HarnessPaths& paths, const Env& env, const std::string& work, const Scenario& scenario,
                const std::string& registry, std::string& version, std::string& error) {
    const std::string prefix = env.at("WINEPREFIX");
    if (!ImportRegistry(env, work, "seed.reg",
                        VersionRegistry(scenario) + "\r\n" + registry +
                            (scenario.registry.empty() ? "" : scenario.registry.substr(10)),
                        error))
        return false;
    if (!scenario.registryUnicode.empty() &&
        !ImportRegistry(env, work, "seed-unicode.reg", Utf16leWithMark(scenario.registryUnicode), error))
        return false;
    Run(Wine(env, {paths.programsDir + "/osversion.exe"}), env, work, work + "/logs/wine.log", 60);
    const std::vector<std::string> reported = ReadLines(work + "/logs/osversion.log");
    version = reported.empty() ? "" : reported[0];
    for (const ScenarioFile& file : scenario.files)
        if (!WriteFile(HostPath(prefix, file.path), file.content, file.readOnly, error)) return false;
    const std::vector<uint8_t> stub = ReadBytes(paths.programsDir + "/msiexec_stub.exe");
    if (stub.empty() || !WriteFile(HostPath(prefix, "C:\\windows\\system32\\msiexec.exe"), stub, false, error)) {
        error = "cannot install the stub installer: " + error;
        return false;
    }
    return true;
}

}  // namespace winetest
