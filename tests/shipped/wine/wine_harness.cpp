#include "wine_harness.h"

#include "image/machine_image.h"
#include "image/reg_file.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iterator>
#include <set>
#include <fstream>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;

namespace winetest {

const char kDriveIconsKey[] = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\DriveIcons";

const char* const kRelayedFunctions[] = {"SetupDiRemoveDevice", "RegDeleteKeyA", "RegSetValueExA", "CreateFileA",
                                         "DeleteFileA",         "MoveFileA",     "SetFileAttributesA",
                                         "MessageBoxA",         "ShellExecuteA", "SendMessageA",
                                         nullptr};

namespace {

using Env = std::map<std::string, std::string>;
using Clock = std::chrono::steady_clock;

const char kTemplateStamp[] = ".zavtest-template";

// ---------------------------------------------------------------- processes

// Starts a program in its own process group, output appended to `output`.
pid_t Spawn(const std::vector<std::string>& args, const Env& env, const std::string& cwd,
            const std::string& output) {
    const pid_t pid = fork();
    if (pid != 0) return pid;
    setpgid(0, 0);
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
    const int in = open("/dev/null", O_RDONLY);
    const int out = open(output.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (in < 0 || out < 0) _exit(126);
    dup2(in, 0);
    dup2(out, 1);
    dup2(out, 2);
    // Display-less: the prefix sets Wine's null graphics driver; no X or
    // Wayland display of the caller leaks in.
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
    for (const auto& [name, value] : env) setenv(name.c_str(), value.c_str(), 1);
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
}

// The exit status once the process has ended, -1 while it runs.
int Poll(pid_t pid) {
    int status = 0;
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (done < 0) return 255;
    return -1;
}

// Ends a process this harness started, with its process group.
void Stop(pid_t pid) {
    kill(-pid, SIGKILL);
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
}

// Waits for the exit status; -1 (and the process stopped) after `seconds`.
int WaitFor(pid_t pid, double seconds) {
    const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
    for (;;) {
        const int status = Poll(pid);
        if (status >= 0) return status;
        if (Clock::now() > deadline) {
            Stop(pid);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

int Run(const std::vector<std::string>& args, const Env& env, const std::string& cwd,
        const std::string& output, double seconds) {
    const pid_t pid = Spawn(args, env, cwd, output);
    if (pid < 0) return -2;
    return WaitFor(pid, seconds);
}

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<uint8_t> ReadBytes(const std::string& path) {
    const std::string text = ReadText(path);
    return std::vector<uint8_t>(text.begin(), text.end());
}

std::vector<std::string> ReadLines(const std::string& path) {
    std::vector<std::string> lines;
    std::istringstream in(ReadText(path));
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

bool WaitUntil(double seconds, const std::function<bool()>& done) {
    const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
    while (!done()) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

bool HasLine(const std::string& path, const std::string& wanted) {
    for (const std::string& line : ReadLines(path))
        if (line == wanted) return true;
    return false;
}

// ---------------------------------------------------------------- wine

// A prefix of the architecture's own, run by its own loader: once the
// 32-bit Wine is installed beside the 64-bit one, the plain `wine` command
// starts the 32-bit loader, which cannot run a prefix made by the 64-bit one.
Env WineEnv(const HarnessPaths& paths, const std::string& prefix, const std::string& logDir) {
    Env env;
    env["WINEPREFIX"] = prefix;
    env["WINEARCH"] = paths.wineArch;
    env["WINELOADER"] = paths.loader;
    env["WINEDEBUG"] = "-all";
    // No Mono or Gecko set-up; the stub installer instead of Wine's own.
    env["WINEDLLOVERRIDES"] = "mscoree,mshtml=;msiexec.exe=n";
    if (!logDir.empty()) env["ZAVTEST_LOGDIR"] = WindowsPathOf(logDir);
    return env;
}

// A Wine command line: the environment's loader, then the arguments.
std::vector<std::string> Wine(const Env& env, std::vector<std::string> args) {
    args.insert(args.begin(), env.at("WINELOADER"));
    return args;
}

std::string WineVersion(const std::string& loader) {
    char path[] = "/tmp/zavtest-wine-version-XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0) return "";
    close(fd);
    const int status = Run({loader, "--version"}, Env{{"WINEDEBUG", "-all"}}, "", path, 30);
    std::string version = ReadText(path);
    unlink(path);
    if (status != 0) return "";
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
            const bool belowDriveC = relative.begin() != relative.end() && *relative.begin() == "drive_c";
            if (belowDriveC && it->file_size(ec) > 65536) {
                fs::create_hard_link(it->path(), target, ec);
                if (ec) {
                    ec.clear();
                    fs::copy_file(it->path(), target, ec);
                }
            } else {
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

std::string MakeTemplate(const HarnessPaths& paths, const std::string& wineVersion) {
    // The harness's own mark: a template made by an older harness is made anew.
    const std::string version = wineVersion + "\n" + paths.wineArch + "\nnull graphics driver\n";
    const std::string& workDir = paths.workDir;
    const std::string dir = workDir + "/template";
    const std::string stamp = dir + "/" + kTemplateStamp;
    if (ReadText(stamp) == version) return "";
    std::error_code ec;
    fs::create_directories(workDir, ec);
    // One maker at a time, should two test processes start together.
    const int lock = open((workDir + "/template.lock").c_str(), O_RDWR | O_CREAT, 0644);
    if (lock < 0) return "cannot create " + workDir + "/template.lock";
    flock(lock, LOCK_EX);
    std::string why;
    if (ReadText(stamp) != version) {
        const std::string fresh = dir + ".new";
        const std::string log = workDir + "/template.log";
        fs::remove_all(fresh, ec);
        fs::remove_all(dir, ec);
        const Env env = WineEnv(paths, fresh, "");
        int status = Run(Wine(env, {"wineboot", "-i"}), env, workDir, log, 300);
        if (status != 0) {
            why = "wineboot -i failed (status " + std::to_string(status) + ", see " + log + ")";
        } else {
            status = Run(Wine(env, {"reg", "add", "HKCU\\Software\\Wine\\Drivers", "/v", "Graphics", "/d", "null", "/f"}),
                         env, workDir, log, 120);
            // The server writes the registry files when it ends.
            const int waited = Run({"wineserver", "-w"}, env, workDir, log, 120);
            if (status != 0 || waited != 0 || !fs::exists(fresh + "/system.reg")) {
                why = "setting up the prefix failed (see " + log + ")";
            } else {
                fs::rename(fresh, dir, ec);
                if (ec) why = "cannot rename " + fresh + ": " + ec.message();
                else std::ofstream(stamp, std::ios::binary) << version;
            }
        }
        if (!why.empty()) Run({"wineserver", "-k"}, env, workDir, log, 30);
    }
    flock(lock, LOCK_UN);
    close(lock);
    return why;
}

// ---------------------------------------------------------------- machine state

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

const uint64_t kDigestLimit = 256 * 1024;

image::StateLines SnapshotFiles(const std::string& prefix) {
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
        std::string relative = it->path().lexically_relative(root).string();
        std::string path = "C:\\" + relative;
        for (char& c : path)
            if (c == '/') c = '\\';
        const bool directory = fs::is_directory(status);
        bool readOnly = false;
        uint64_t size = 0;
        std::string digest;
        struct stat info;
        if (lstat(it->path().c_str(), &info) == 0) {
            readOnly = (info.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0;
            if (!directory) {
                size = static_cast<uint64_t>(info.st_size);
                if (size <= kDigestLimit) {
                    digest = image::ContentDigest(ReadBytes(it->path().string()));
                } else {
                    digest = "size " + std::to_string(info.st_size) + " time " +
                             std::to_string(info.st_mtim.tv_sec) + "." + std::to_string(info.st_mtim.tv_nsec);
                }
            }
        }
        // Wine shows a file without write permission as read-only; a
        // folder's is not compared.
        image::AddFile(files, path, directory, readOnly && !directory ? FILE_ATTRIBUTE_READONLY : 0, size, digest);
    }
    return files;
}

// regedit /E FILE KEY (every root for an empty KEY) into a FILE removed
// first; the exit status.
int RegeditExport(const Env& env, const std::string& logDir, const std::string& file, const std::string& key) {
    fs::remove(file);
    std::vector<std::string> args = {"regedit", "/E", WindowsPathOf(file)};
    if (!key.empty()) args.push_back(key);
    return Run(Wine(env, args), env, logDir, logDir + "/wine.log", 120);
}

bool ExportRegistry(const Env& env, const std::string& logDir, const std::string& key, const std::string& file,
                    sim::Registry& registry, std::string& error) {
    const int status = RegeditExport(env, logDir, file, key);
    if (status == -1) {
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

bool WriteFile(const std::string& path, const std::vector<uint8_t>& bytes, bool readOnly, std::string& error) {
    std::error_code ec;
    fs::create_directories(fs::path(path).parent_path(), ec);
    fs::remove(path, ec);  // never write through a hard link into the template
    {
        std::ofstream out(path, std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        if (!out) {
            error = "cannot write " + path;
            return false;
        }
    }
    // Wine reports a file without write permission as read-only.
    if (readOnly && chmod(path.c_str(), 0444) != 0) {
        error = "cannot make " + path + " read-only";
        return false;
    }
    return true;
}

// ---------------------------------------------------------------- relay trace

// The registry lines that limit Wine's relay trace to the functions that
// change the machine (in HKEY_CURRENT_USER, which the run's comparisons
// leave out; it is set before anything is compared).
std::string RelayRegistry() {
    std::string list;
    for (const char* const* f = kRelayedFunctions; *f != nullptr; ++f)
        list += (list.empty() ? "" : ";") + std::string(*f);
    return "[HKEY_CURRENT_USER\\Software\\Wine\\Debug]\r\n\"RelayInclude\"=\"" + list + "\"\r\n\r\n";
}

// The exe's size in memory (SizeOfImage of its PE header); 0 when unreadable.
uint64_t ImageSize(const std::string& exe) {
    const std::vector<uint8_t> b = ReadBytes(exe);
    auto u32 = [&](size_t at) -> uint64_t {
        return at + 4 <= b.size() ? (uint64_t(b[at]) | uint64_t(b[at + 1]) << 8 | uint64_t(b[at + 2]) << 16 |
                                     uint64_t(b[at + 3]) << 24)
                                  : 0;
    };
    const uint64_t header = u32(0x3C);
    return u32(static_cast<size_t>(header) + 24 + 56);  // the same offset in PE32 and PE32+
}

// A text argument as Wine's trace escapes it, back to its bytes.
std::string Unescape(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 >= text.size()) {
            out.push_back(text[i]);
            continue;
        }
        const char c = text[++i];
        if (c == 'n') out.push_back('\n');
        else if (c == 'r') out.push_back('\r');
        else if (c == 't') out.push_back('\t');
        else if (c == 'x' && i + 2 < text.size()) {
            out.push_back(static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16)));
            i += 2;
        } else out.push_back(c);
    }
    return out;
}

// "0024:Call advapi32.RegSetValueExA(0000005c,00406380 \"ImagePath\",...) ret=00402ee6"
// and its "Ret" line: the calls whose return address lies in the exe, which
// "+loaddll" says where Wine loaded it, made by the thread that loaded it
// (the program has no other; a program it starts writes its trace to the
// same output, and may be loaded at the same address).
std::vector<RelayCall> ReadRelayCalls(const std::string& trace, const std::string& exe, std::string& error) {
    std::vector<RelayCall> calls;
    const std::string exeName = Lower(fs::path(exe).filename().string());
    uint64_t base = 0;
    std::string mainThread;
    const uint64_t size = ImageSize(exe);
    std::map<std::string, std::vector<size_t>> open;  // by thread: calls without their Ret line yet
    std::istringstream lines(trace);
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        const std::string thread = line.substr(0, colon), rest = line.substr(colon + 1);
        if (base == 0 && rest.rfind("trace:loaddll:", 0) == 0 &&
            Lower(rest).find(exeName + "\" at ") != std::string::npos) {
            base = std::stoull(rest.substr(rest.rfind(" at ") + 4), nullptr, 16);
            mainThread = thread;
            continue;
        }
        const bool call = rest.rfind("Call ", 0) == 0, ret = rest.rfind("Ret  ", 0) == 0;
        const size_t paren = rest.find('('), retAt = rest.rfind(" ret=");
        if ((!call && !ret) || paren == std::string::npos || retAt == std::string::npos || thread != mainThread)
            continue;
        const uint64_t from = std::stoull(rest.substr(retAt + 5), nullptr, 16);
        if (from < base || from >= base + size) continue;  // a DLL's own call
        const std::string qualified = rest.substr(5, paren - 5);
        const std::string function = qualified.substr(qualified.find('.') + 1);
        bool relayed = false;
        for (const char* const* f = kRelayedFunctions; *f != nullptr; ++f) relayed = relayed || function == *f;
        if (!relayed) continue;
        if (call) {
            RelayCall c;
            c.function = function;
            const std::string args = rest.substr(paren + 1, rest.rfind(')', retAt) - paren - 1);
            std::string arg;
            bool quoted = false;
            for (size_t i = 0; i <= args.size(); ++i) {
                if (i == args.size() || (args[i] == ',' && !quoted)) {
                    c.numbers.push_back(arg.substr(0, arg.find(' ')));
                    const size_t q = arg.find('"');
                    if (q != std::string::npos && arg.size() >= q + 2)
                        c.texts.push_back(Unescape(arg.substr(q + 1, arg.rfind('"') - q - 1)));
                    arg.clear();
                    continue;
                }
                if (quoted && args[i] == '\\' && i + 1 < args.size()) {
                    arg.push_back(args[i++]);  // an escaped character, a quote among them
                } else if (args[i] == '"') {
                    quoted = !quoted;
                }
                arg.push_back(args[i]);
            }
            open[thread].push_back(calls.size());
            calls.push_back(c);
        } else {
            std::vector<size_t>& pending = open[thread];
            for (size_t i = pending.size(); i-- > 0;) {
                if (calls[pending[i]].function != function) continue;
                const size_t at = rest.find("retval=");
                if (at != std::string::npos) calls[pending[i]].retval = std::stoull(rest.substr(at + 7), nullptr, 16);
                pending.erase(pending.begin() + static_cast<long>(i));
                break;
            }
        }
    }
    if (base == 0) error = "the relay trace does not say where " + exeName + " was loaded";
    return calls;
}

// ---------------------------------------------------------------- collecting

// Every root of the registry as regedit exports it, as text.
bool ExportWholeRegistry(const Env& env, const std::string& logDir, const std::string& file, std::string& text,
                         std::string& error) {
    if (RegeditExport(env, logDir, file, "") != 0 || !image::ReadHostFile(file, &text)) {
        error = "regedit /E " + file + " failed";
        return false;
    }
    return true;
}

// The lines of the UTF-16LE export `a` that `b` lacks, prefixed with `mark`.
void LinesOnlyIn(const std::string& a, const std::string& b, const std::string& mark, std::vector<std::string>& out) {
    auto lines = [](const std::string& bytes) {
        std::multiset<std::string> set;
        std::string line;
        for (size_t i = 2; i + 1 < bytes.size(); i += 2) {  // past the byte order mark; ASCII is enough to show
            const char c = bytes[i + 1] == 0 ? bytes[i] : '?';
            if (c == '\n') {
                set.insert(line);
                line.clear();
            } else if (c != '\r') {
                line.push_back(c);
            }
        }
        set.insert(line);
        return set;
    };
    const std::multiset<std::string> la = lines(a), lb = lines(b);
    std::vector<std::string> only;
    std::set_difference(la.begin(), la.end(), lb.begin(), lb.end(), std::back_inserter(only));
    for (const std::string& line : only) out.push_back(mark + line);
}

}  // namespace

std::string WindowsPathOf(const std::string& hostPath) {
    std::string path = "Z:" + fs::absolute(hostPath).lexically_normal().string();
    for (char& c : path)
        if (c == '/') c = '\\';
    return path;
}

bool MakePrefix(const HarnessPaths& paths, const std::string& name, std::string& prefix, std::string& error) {
    prefix = paths.workDir + "/" + name + "/prefix";
    return CopyPrefix(paths.workDir + "/template", prefix, error);
}

int RunInPrefix(const HarnessPaths& paths, const std::string& prefix, const std::vector<std::string>& args,
                double seconds) {
    const Env env = WineEnv(paths, prefix, "");
    const std::string folder = fs::path(prefix).parent_path().string();
    return Run(Wine(env, args), env, folder, folder + "/wine.log", seconds);
}

int RunWithBox(const HarnessPaths& paths, const std::string& prefix, const std::vector<std::string>& args,
               const std::string& caption, std::vector<std::string>& box) {
    const std::string folder = fs::path(prefix).parent_path().string(), logs = folder + "/box";
    std::error_code ec;
    fs::remove_all(logs, ec);
    fs::create_directories(logs, ec);
    const Env env = WineEnv(paths, prefix, logs);
    const std::string go = logs + "/go";
    std::ofstream(go, std::ios::binary) << "go\n";  // dismissed as soon as it is recorded
    const pid_t program = Spawn(Wine(env, args), env, folder, folder + "/wine.log");
    Run(Wine(env, {paths.programsDir + "/boxwatch.exe", "60", WindowsPathOf(go), caption}), env, folder,
        folder + "/wine.log", 90);
    box.clear();
    for (const std::string& line : ReadLines(logs + "/boxwatch.log"))
        if (line != "shown" && line != "dismissed") box.push_back(line);
    return WaitFor(program, 60);
}

void EndPrefix(const HarnessPaths& paths, const std::string& prefix) {
    const Env env = WineEnv(paths, prefix, "");
    const std::string folder = fs::path(prefix).parent_path().string();
    Run({"wineserver", "-k"}, env, folder, folder + "/wine.log", 30);
}

void LeaveOutWineOwnKeys(sim::Registry& registry) {
    // The 32-bit view of a 64-bit prefix: its keys shared with the 64-bit
    // view (DriveIcons among them) are links that an export writes out a
    // second time. The 64-bit program works in the 64-bit view; a 32-bit
    // prefix has no such view.
    registry.DeleteTree("HKEY_LOCAL_MACHINE\\Software\\Wow6432Node");
    // Wine registers its display driver below Control\Video when its desktop
    // first starts, which in a fresh prefix can fall during the run: Wine's
    // own key, which the program never touches.
    for (const char* set : {"CurrentControlSet", "ControlSet001"})
        registry.DeleteTree(std::string("HKEY_LOCAL_MACHINE\\System\\") + set + "\\Control\\Video");
}

std::string HostPath(const std::string& prefix, const std::string& windowsPath) {
    fs::path path = fs::path(prefix) / "drive_c";
    std::string rest = windowsPath.size() > 3 ? windowsPath.substr(3) : "";
    std::istringstream parts(rest);
    std::string part;
    while (std::getline(parts, part, '\\')) {
        if (part.empty()) continue;
        std::string name = part;
        std::error_code ec;
        if (fs::is_directory(path, ec)) {
            for (const auto& entry : fs::directory_iterator(path, ec)) {
                if (Lower(entry.path().filename().string()) == Lower(part)) {
                    name = entry.path().filename().string();
                    break;
                }
            }
        }
        path /= name;
    }
    return path.string();
}

std::string WineUnavailableReason(const HarnessPaths& paths) {
    static std::map<std::string, std::string> known;  // by loader
    const auto found = known.find(paths.loader);
    if (found != known.end()) return found->second;
    std::string& why = known[paths.loader];
    const std::string version = WineVersion(paths.loader);
    if (version.empty()) return why = "the Wine loader " + paths.loader + " does not run (" + paths.loader + " --version failed)";
    why = MakeTemplate(paths, version);
    if (!why.empty()) why = "Wine (" + paths.loader + ") cannot start: " + why;
    return why;
}

bool RunScenario(const HarnessPaths& paths, const Scenario& scenario, Outcome& outcome, std::string& error) {
    outcome = Outcome();
    const std::string work = paths.workDir + "/" + scenario.name;
    const std::string prefix = work + "/prefix";
    const std::string logs = work + "/logs";
    outcome.logDir = logs;
    std::error_code ec;
    fs::remove_all(work, ec);
    fs::create_directories(logs, ec);
    if (!CopyPrefix(paths.workDir + "/template", prefix, error)) return false;
    const Env env = WineEnv(paths, prefix, logs);
    const std::string wineLog = logs + "/wine.log";
    std::vector<pid_t> started;
    auto finish = [&](bool ok) {
        for (pid_t pid : started)
            if (Poll(pid) < 0) Stop(pid);
        // The prefix stays for a look (wine regedit, winedbg) until the
        // scenario runs again.
        Run({"wineserver", "-k"}, env, work, wineLog, 30);
        return ok;
    };

    // The machine before: version, registry, files, the stub installer.
    const std::string seed = work + "/seed.reg";
    std::ofstream(seed, std::ios::binary) << VersionRegistry(scenario) << "\r\n" << RelayRegistry()
                                          << (scenario.registry.empty() ? "" : scenario.registry.substr(10));
    if (Run(Wine(env, {"regedit", "/S", WindowsPathOf(seed)}), env, work, wineLog, 120) != 0) {
        error = "regedit /S " + seed + " failed";
        return finish(false);
    }
    if (!scenario.registryUnicode.empty()) {
        const std::string unicode = work + "/seed-unicode.reg";
        std::ofstream(unicode, std::ios::binary) << Utf16leWithMark(scenario.registryUnicode);
        if (Run(Wine(env, {"regedit", "/S", WindowsPathOf(unicode)}), env, work, wineLog, 120) != 0) {
            error = "regedit /S " + unicode + " failed";
            return finish(false);
        }
    }
    Run(Wine(env, {paths.programsDir + "/osversion.exe"}), env, work, wineLog, 60);
    const std::vector<std::string> version = ReadLines(logs + "/osversion.log");
    outcome.windowsVersion = version.empty() ? "" : version[0];
    for (const ScenarioFile& file : scenario.files)
        if (!WriteFile(HostPath(prefix, file.path), file.content, file.readOnly, error)) return finish(false);
    std::vector<uint8_t> stub = ReadBytes(paths.programsDir + "/msiexec_stub.exe");
    if (stub.empty() ||
        !WriteFile(HostPath(prefix, "C:\\windows\\system32\\msiexec.exe"), stub, false, error)) {
        error = "cannot install the stub installer: " + error;
        return finish(false);
    }
    if (!ExportRegistry(env, logs, "HKEY_LOCAL_MACHINE", work + "/before.reg", outcome.registryBefore, error))
        return finish(false);
    outcome.filesBefore = SnapshotFiles(prefix);

    // The companion window first, then the program and the watcher.
    const pid_t companion = Spawn(Wine(env, {paths.programsDir + "/companion.exe", "120"}), env, work, wineLog);
    started.push_back(companion);
    if (!WaitUntil(60, [&] { return HasLine(logs + "/companion.log", "ready"); })) {
        error = "the companion window did not come up";
        return finish(false);
    }
    // The collector, with the machine as the program will find it (the
    // companion's window up); the whole registry and drive_c around it.
    std::string registryBeforeCollecting, registryAfterCollecting;
    if (!ExportWholeRegistry(env, logs, work + "/whole-before-collecting.reg", registryBeforeCollecting, error))
        return finish(false);
    const image::StateLines filesBeforeCollecting = SnapshotFiles(prefix);
    outcome.imageDir = work + "/image";
    std::vector<std::string> collect = {paths.collector, "/quiet", WindowsPathOf(outcome.imageDir)};
    if (scenario.collectAll) collect.insert(collect.begin() + 1, "/all");
    outcome.collectorExit = Run(Wine(env, collect), env, work, logs + "/zavcollect.out", 180);
    if (!ExportWholeRegistry(env, logs, work + "/whole-after-collecting.reg", registryAfterCollecting, error))
        return finish(false);
    std::vector<std::string>& changed = outcome.changedByCollecting;
    LinesOnlyIn(registryBeforeCollecting, registryAfterCollecting, "registry before only: ", changed);
    LinesOnlyIn(registryAfterCollecting, registryBeforeCollecting, "registry after only:  ", changed);
    const image::StateDifference files = image::Difference(filesBeforeCollecting, SnapshotFiles(prefix));
    for (const auto& line : files.removed) changed.push_back("file before: " + image::Line(line));
    for (const auto& line : files.added) changed.push_back("file after:  " + image::Line(line));

    // The program, its calls that change the machine traced (the trace goes
    // to its output).
    Env traced = env;
    traced["WINEDEBUG"] = "+relay,+loaddll";
    const pid_t program = Spawn(Wine(traced, {paths.exe}), traced, work, logs + "/zavuninst.out");
    started.push_back(program);
    const std::string go = logs + "/go";
    const pid_t watcher = Spawn(Wine(env, {paths.programsDir + "/boxwatch.exe", "60", WindowsPathOf(go)}), env, work,
                                wineLog);
    started.push_back(watcher);
    const std::string boxLog = logs + "/boxwatch.log";
    WaitUntil(75, [&] { return HasLine(boxLog, "shown") || Poll(watcher) >= 0; });
    for (const std::string& line : ReadLines(boxLog)) {
        if (line.compare(0, 8, "caption=") == 0) outcome.boxCaption = line.substr(8);
        if (line.compare(0, 5, "text=") == 0) outcome.boxText = line.substr(5);
        if (line.compare(0, 8, "buttons=") == 0) outcome.boxButtons = line.substr(8);
        if (line == "shown") outcome.boxShown = true;
    }
    if (!outcome.boxShown) {
        error = "no completion message appeared";
        return finish(false);
    }

    // The machine while the message is up, then the user's OK.
    outcome.programRunningAtBox = Poll(program) < 0;
    outcome.installerStartedAtBox = fs::exists(logs + "/msiexec.log");
    outcome.companionAtBox = ReadLines(logs + "/companion.log");
    if (!ExportRegistry(env, logs, kDriveIconsKey, work + "/icons-at-box.reg", outcome.driveIconsAtBox, error))
        return finish(false);
    std::ofstream(go, std::ios::binary) << "go\n";
    if (WaitFor(watcher, 60) != 0) {
        error = "the watcher could not dismiss the message";
        return finish(false);
    }
    outcome.exitCode = WaitFor(program, 60);
    if (outcome.exitCode < 0) {
        error = "zavuninst.exe did not end after the message was dismissed";
        return finish(false);
    }
    // The installer is started and not waited for: give the stub its moment.
    // Its log exists from the stub's fopen on, and holds the line from its
    // fclose on.
    WaitUntil(20, [&] {
        const std::string log = ReadText(logs + "/msiexec.log");
        return !log.empty() && log.back() == '\n';
    });
    WaitFor(companion, 30);
    outcome.installerLog = ReadLines(logs + "/msiexec.log");
    outcome.companionLog = ReadLines(logs + "/companion.log");

    if (!ExportRegistry(env, logs, "HKEY_LOCAL_MACHINE", work + "/after.reg", outcome.registryAfter, error))
        return finish(false);
    outcome.filesAfter = SnapshotFiles(prefix);
    outcome.calls = ReadRelayCalls(ReadText(logs + "/zavuninst.out"), paths.exe, error);
    return finish(error.empty());
}

}  // namespace winetest
