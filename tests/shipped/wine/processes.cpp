// Running programs: Linux processes in process groups of their own, each
// with a time limit; Windows programs under a prefix's Wine; the message-box
// watcher (boxwatch.exe), which records a box and presses OK; their logs.
#include "wine_harness.h"

#include "image/machine_image.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

namespace fs = std::filesystem;

namespace winetest {

pid_t Spawn(const std::vector<std::string>& args, const Env& env, const std::string& cwd, const std::string& output) {
    const pid_t pid = fork();
    if (pid != 0) return pid;
    setpgid(0, 0);
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(125);
    const int in = open("/dev/null", O_RDONLY);
    const int out = open(output.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (in < 0 || out < 0) _exit(125);
    dup2(in, 0);
    dup2(out, 1);
    dup2(out, 2);
    // Display-less: the prefix sets Wine's null graphics driver.
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
    for (const auto& [name, value] : env) setenv(name.c_str(), value.c_str(), 1);
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    // A path is executed as it is: execvp would hand a file the kernel
    // refuses to /bin/sh as a script.
    if (args[0].find('/') != std::string::npos)
        execv(argv[0], argv.data());
    else
        execvp(argv[0], argv.data());
    // As the shell reports it: 126 a file the kernel will not execute (a
    // 32-bit program on a kernel without 32-bit support), 127 any other.
    _exit(errno == ENOEXEC ? kCannotExecute : 127);
}

int Poll(pid_t pid) {
    int status = 0;
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (done < 0) return 255;
    return -1;
}

void Stop(pid_t pid) {
    kill(-pid, SIGKILL);
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
}

bool WaitUntil(double seconds, const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

int WaitFor(pid_t pid, double seconds) {
    int status = -1;
    if (!WaitUntil(seconds, [&] { return (status = Poll(pid)) >= 0; })) Stop(pid);
    return status;
}

int Run(const std::vector<std::string>& args, const Env& env, const std::string& cwd, const std::string& output,
        double seconds) {
    const pid_t pid = Spawn(args, env, cwd, output);
    if (pid < 0) return -2;
    return WaitFor(pid, seconds);
}

std::string ReadText(const std::string& path) {
    std::string text;
    image::ReadHostFile(path, &text);
    return text;
}

std::vector<uint8_t> ReadBytes(const std::string& path) {
    const std::string text = ReadText(path);
    return std::vector<uint8_t>(text.begin(), text.end());
}

std::vector<std::string> ReadLines(const std::string& path) { return TextLines(ReadText(path)); }

std::string WindowsPathOf(const std::string& hostPath) {
    std::string path = "Z:" + fs::absolute(hostPath).lexically_normal().string();
    std::replace(path.begin(), path.end(), '/', '\\');
    return path;
}

Env WineEnv(const HarnessPaths& paths, const std::string& prefix, const std::string& logDir) {
    // No Mono or Gecko set-up; the stub installer instead of Wine's own.
    Env env = {{"WINEPREFIX", prefix}, {"WINEARCH", paths.wineArch}, {"WINELOADER", paths.loader},
               {"WINEDEBUG", "-all"}, {"WINEDLLOVERRIDES", "mscoree,mshtml=;msiexec.exe=n"}};
    if (!logDir.empty()) env["ZAVTEST_LOGDIR"] = WindowsPathOf(logDir);
    return env;
}

std::vector<std::string> Wine(const Env& env, std::vector<std::string> args) {
    args.insert(args.begin(), env.at("WINELOADER"));
    return args;
}

int RunInPrefix(const HarnessPaths& paths, const std::string& prefix, const std::vector<std::string>& args,
                double seconds) {
    const Env env = WineEnv(paths, prefix, "");
    const std::string folder = fs::path(prefix).parent_path().string();
    return Run(Wine(env, args), env, folder, folder + "/wine.log", seconds);
}

pid_t StartBoxWatcher(const HarnessPaths& paths, const Env& env, const std::string& go, const std::string& cwd,
                      const std::string& output, const std::string& caption) {
    std::vector<std::string> args = {paths.programsDir + "/boxwatch.exe", "60", WindowsPathOf(go)};
    if (!caption.empty()) args.push_back(caption);
    return Spawn(Wine(env, args), env, cwd, output);
}

ShownBox ReadShownBox(const std::string& logDir) {
    ShownBox box;
    for (const std::string& line : ReadLines(logDir + "/boxwatch.log")) {
        if (line.rfind("caption=", 0) == 0) box.caption = line.substr(8);
        if (line.rfind("text=", 0) == 0) box.text = line.substr(5);
        if (line.rfind("buttons=", 0) == 0) box.buttons = line.substr(8);
        box.shown = box.shown || line == "shown";
    }
    return box;
}

int RunWithBox(const HarnessPaths& paths, const std::string& prefix, const std::vector<std::string>& args,
               const std::string& caption, ShownBox& box) {
    const std::string folder = fs::path(prefix).parent_path().string(), logs = folder + "/box";
    std::error_code ec;
    fs::remove_all(logs, ec);
    fs::create_directories(logs, ec);
    const Env env = WineEnv(paths, prefix, logs);
    const std::string go = logs + "/go";
    std::ofstream(go, std::ios::binary) << "go\n";  // dismissed as soon as it is recorded
    const pid_t program = Spawn(Wine(env, args), env, folder, folder + "/wine.log");
    WaitFor(StartBoxWatcher(paths, env, go, folder, folder + "/wine.log", caption), 90);
    box = ReadShownBox(logs);
    return WaitFor(program, 60);
}

}  // namespace winetest
