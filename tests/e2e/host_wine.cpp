// The test host as a Unix program driving Wine from outside (host.h).
#include "e2e/host.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <algorithm>
#include <csignal>
#include <filesystem>
#include <functional>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace fs = std::filesystem;

namespace host {

namespace {

// The architecture under test, from ZK_E2E_LAUNCHER: x86 and x64 run under Debian's
// x86-64 Wine, arm64 under its arm64 Wine (the loader unpacked by the bootstrap), whose
// programs qemu-user runs; each Wine has a prefix of its own.
enum class Arch { x86, x64, arm64 };
Arch arch_under_test() {
    const char* choice = getenv("ZK_E2E_LAUNCHER");
    std::string c = choice != nullptr ? choice : "x86";
    if (c == "x86") return Arch::x86;
    if (c == "x64") return Arch::x64;
    if (c == "arm64") return Arch::arm64;
    throw std::runtime_error("ZK_E2E_LAUNCHER is x86, x64 or arm64, not " + c);
}
const Arch arch = arch_under_test();
const std::string wine_dir = arch == Arch::arm64 ? ZK_ARM64_WINE "/usr/lib/wine" : "/usr/lib/wine";
const std::string prefix = std::string(ZK_WINE_PREFIX) + (arch == Arch::arm64 ? "-arm64" : "");
const std::string loader = wine_dir + "/wine64";
const std::string server = wine_dir + "/wineserver64";
std::vector<fs::path> written;

// The harness's own X server (Xvfb), ":N" once it runs: the desktop of the windowless
// launcher's cases. Programs started before it (wineboot) see no display.
std::string display;
pid_t xvfb = 0;

std::vector<std::string> base_environment() {
    std::vector<std::string> env = {"WINEPREFIX=" + prefix, "WINELOADER=" + loader, "WINEDEBUG=-all",
                                    "LANG=C.UTF-8", "HOME=" + std::string(getenv("HOME") ? getenv("HOME") : "/root")};
    if (!display.empty()) env.push_back("DISPLAY=" + display);
    return env;
}

// Runs a Unix program with exactly `env`, standard streams from and to files; returns
// its exit status. While it runs, `poll` (when given) is called every 50 ms.
int run_unix(const std::vector<std::string>& argv, const std::vector<std::string>& env,
             const std::string& in, const std::string& out, const std::string& err,
             const std::function<void()>& poll = nullptr) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, in.c_str(), O_RDONLY, 0);
    // An empty name: the stream is the caller's own.
    if (!out.empty()) posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (!err.empty()) posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char*> a, e;
    for (auto& s : argv) a.push_back(const_cast<char*>(s.c_str()));
    for (auto& s : env) e.push_back(const_cast<char*>(s.c_str()));
    a.push_back(nullptr);
    e.push_back(nullptr);
    pid_t pid = 0;
    int rc = posix_spawn(&pid, argv[0].c_str(), &actions, nullptr, a.data(), e.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) throw std::runtime_error("cannot start " + argv[0]);
    int status = 0;
    if (poll) {
        while (waitpid(pid, &status, WNOHANG) == 0) {
            poll();
            usleep(50 * 1000);
        }
    } else {
        waitpid(pid, &status, 0);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string read_all(const fs::path& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

std::string scratch(const std::string& name) { return prefix + "/scratch-" + name; }

int wine_command(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {loader};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_unix(argv, base_environment(), "/dev/null", scratch("wine.out"), scratch("wine.err"));
}

// Starts Xvfb on a display number that it chooses itself (-displayfd): two harnesses
// started together (ctest runs the suites of two widths at once) must not both take the
// same number, since the one that ends first would end the other's display with its own.
void start_display() {
    int ready[2];
    if (pipe(ready) != 0) throw std::runtime_error("cannot make a pipe for Xvfb");
    std::vector<std::string> argv = {"/usr/bin/Xvfb", "-displayfd", "3", "-screen", "0", "1024x768x24",
                                     "-nolisten", "tcp"};
    std::vector<char*> a;
    for (auto& s : argv) a.push_back(const_cast<char*>(s.c_str()));
    a.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, scratch("xvfb.err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addclose(&actions, ready[0]);  // first: the read end may be 3
    posix_spawn_file_actions_adddup2(&actions, ready[1], 3);
    int rc = posix_spawn(&xvfb, a[0], &actions, nullptr, a.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(ready[1]);
    if (rc != 0) {
        close(ready[0]);
        throw std::runtime_error("cannot start Xvfb");
    }
    // The number, then a line feed, once the server takes connections; nothing if it ends.
    std::string number;
    char c = 0;
    while (read(ready[0], &c, 1) == 1 && c != '\n') number += c;
    close(ready[0]);
    if (number.empty()) {
        kill(xvfb, SIGTERM);
        waitpid(xvfb, nullptr, 0);
        xvfb = 0;
        throw std::runtime_error("Xvfb did not start: " + read_all(scratch("xvfb.err")));
    }
    display = ":" + number;
}

void stop_display() {
    if (xvfb == 0) return;
    kill(xvfb, SIGTERM);
    waitpid(xvfb, nullptr, 0);
    xvfb = 0;
    display.clear();
}

// The Wine processes of this prefix, each as its loader (wine64-preloader or the 32-bit
// wine-preloader) and its command line.
std::vector<std::string> prefix_processes() {
    std::vector<std::string> processes;
    for (const auto& entry : fs::directory_iterator("/proc")) {
        std::string environment = read_all(entry.path() / "environ");
        if (environment.find(std::string("WINEPREFIX=") + prefix + '\0') == std::string::npos) continue;
        std::string command = read_all(entry.path() / "cmdline");
        std::replace(command.begin(), command.end(), '\0', ' ');
        command.erase(command.find_last_not_of(' ') + 1);
        std::error_code error;
        processes.push_back(fs::read_symlink(entry.path() / "exe", error).filename().string() + ": " + command);
    }
    return processes;
}

// Windows has its desktop before any program runs; Wine starts one (explorer.exe
// /desktop) when a program first needs it, from that program, whatever its width. The
// harness starts it itself, from a 64-bit program, so that no case depends on which
// program happens to be the first to open a window, nor on that start (a start that
// fails, see run(), is made again).
void start_desktop() {
    auto running = [] {
        for (const std::string& process : prefix_processes())
            if (process.find("explorer.exe /desktop") != std::string::npos) return true;
        return false;
    };
    for (int attempt = 0; attempt < 3 && !running(); ++attempt)
        wine_command({"rundll32.exe", "user32.dll,GetDesktopWindow"});
    if (!running()) throw std::runtime_error("Wine's desktop (explorer.exe /desktop) did not start");
}

// Runs xdotool on the harness's display; its output.
std::string xdotool(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {"/usr/bin/xdotool"};
    argv.insert(argv.end(), args.begin(), args.end());
    run_unix(argv, {"DISPLAY=" + display}, "/dev/null", scratch("xdotool.out"), "/dev/null");
    return read_all(scratch("xdotool.out"));
}

// The visible top-level windows of the host's display: id and title.
std::vector<std::pair<std::string, std::string>> visible_windows() {
    std::vector<std::pair<std::string, std::string>> windows;
    std::istringstream ids(xdotool({"search", "--onlyvisible", "--name", "."}));
    for (std::string id; ids >> id;) {
        std::string title = xdotool({"getwindowname", id});
        if (!title.empty() && title.back() == '\n') title.pop_back();
        windows.emplace_back(id, title);
    }
    return windows;
}

// Where a Windows path (C:\\...) lies on the Unix side.
std::string unix_path(const std::string& windows_path) {
    if (windows_path.size() < 3 || windows_path[1] != ':' || windows_path[2] != '\\')
        throw std::runtime_error("not an absolute Windows path: " + windows_path);
    std::string rest = windows_path.substr(3);
    for (char& c : rest)
        if (c == '\\') c = '/';
    return prefix + "/drive_c/" + rest;
}

}  // namespace

void start() {
    // A prefix made before wine32 was installed has no WOW64 and runs no 32-bit program.
    if (fs::exists(prefix + "/system.reg") && !fs::exists(prefix + "/drive_c/windows/syswow64"))
        fs::remove_all(prefix);
    fs::create_directories(prefix);
    if (!fs::exists(prefix + "/system.reg")) wine_command({"wineboot", "-i"});
    start_display();
    // A persistent server makes each start fast; one still running (left by wineboot or
    // an earlier run) refuses to become persistent, so it is ended first.
    for (const char* step : {"-k", "-w", "-p"})
        run_unix({server, step}, base_environment(), "/dev/null", "/dev/null", scratch("server.err"));
    start_desktop();
    // The harness's own programs.
    fs::create_directories(prefix + "/drive_c/zktest");
    fs::copy_file(native_build("spawn.exe"), prefix + "/drive_c/zktest/spawn.exe",
                  fs::copy_options::overwrite_existing);
}

void stop() {
    run_unix({server, "-k"}, base_environment(), "/dev/null", "/dev/null", "/dev/null");
    stop_display();
}

void write_file(const std::string& windows_path, const std::string& bytes) {
    fs::path p = unix_path(windows_path);
    fs::path top = fs::path(prefix) / "drive_c" / fs::relative(p, fs::path(prefix) / "drive_c").begin()->string();
    if (!fs::exists(top)) written.push_back(top);
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << bytes;
}

void copy_file(const std::string& unix_source, const std::string& windows_path) {
    write_file(windows_path, "");
    fs::copy_file(unix_source, unix_path(windows_path), fs::copy_options::overwrite_existing);
}

bool exists(const std::string& windows_path) { return fs::exists(unix_path(windows_path)); }

std::string read_file(const std::string& windows_path) { return read_all(unix_path(windows_path)); }

void remove_file(const std::string& windows_path) {
    std::error_code none;
    fs::remove(unix_path(windows_path), none);
}

// Wine follows a Unix link as Windows follows a file or folder link, or a junction (its
// own CreateSymbolicLinkW and mklink make nothing).
std::string symlink(const std::string& target, const std::string& link) {
    std::error_code none;
    fs::remove(unix_path(link), none);  // an earlier link, through which writing would go
    write_file(link, "");               // its folders, and its top folder forgotten with the rest
    fs::remove(unix_path(link));
    fs::create_symlink(unix_path(target), unix_path(link));
    return "";
}

std::string junction(const std::string& target, const std::string& link) { return symlink(target, link); }

std::string short_path(const std::string& windows_path) {
    std::vector<std::string> env = base_environment();
    env.push_back("ZKSPAWN_SHORT_NAME=" + windows_path);
    if (run_unix({loader, "C:\\zktest\\spawn.exe"}, env, "/dev/null", scratch("out"), scratch("err")) != 0)
        throw std::runtime_error("no short path for " + windows_path);
    std::string path = read_all(scratch("out"));
    while (!path.empty() && (path.back() == '\n' || path.back() == '\r')) path.pop_back();
    return path;
}

std::string local_appdata() {
    for (auto& entry : fs::directory_iterator(prefix + "/drive_c/users"))
        if (entry.path().filename() != "Public" && fs::exists(entry.path() / "AppData" / "Local"))
            return "C:\\users\\" + entry.path().filename().string() + "\\AppData\\Local";
    throw std::runtime_error("no per-user folder in the Wine prefix");
}

void forget_files() {
    for (auto& p : written) fs::remove_all(p);
    written.clear();
    fs::remove(unix_path(local_appdata() + "\\zk.ini"));
}

void reg_import(const std::string& body) {
    std::string path = prefix + "/drive_c/zktest/import.reg";
    std::ofstream(path, std::ios::binary) << "Windows Registry Editor Version 5.00\r\n\r\n" << body;
    // reg.exe, like any program here, can fail to start by chance (see run()): made again,
    // twice at most.
    for (int attempt = 1; wine_command({"reg", "import", "C:\\zktest\\import.reg"}) != 0; ++attempt) {
        if (attempt == 3) throw std::runtime_error("reg import failed: " + read_all(scratch("wine.err")));
        detail::note_made_again("a reg import");
    }
}

namespace {

const std::string exit_code_file = prefix + "/drive_c/zktest/exit-code.txt";

// The spawn helper's report: the exit code, or why there is none.
uint32_t exit_code_of(const std::string& report) {
    if (report.empty() || report[0] < '0' || report[0] > '9') throw std::runtime_error("spawn: " + report);
    return static_cast<uint32_t>(std::stoul(report));
}

// The spawn helper's environment for one command.
std::vector<std::string> spawn_environment(const std::string& command_line, const Environment& environment,
                                           const Environment& spawn_options) {
    std::vector<std::string> env = base_environment();
    // A variable of the case's replaces Wine's own of that name (WINEDEBUG for a log).
    for (auto& [k, v] : environment) {
        auto own = std::find_if(env.begin(), env.end(), [&](const std::string& e) { return e.rfind(k + "=", 0) == 0; });
        if (own != env.end()) env.erase(own);
        env.push_back(k + "=" + v);
    }
    for (auto& [k, v] : spawn_options) env.push_back(k + "=" + v);
    env.push_back("ZKSPAWN_CMDLINE=" + command_line);
    env.push_back("ZKSPAWN_RESULT=C:\\zktest\\exit-code.txt");
    fs::remove(exit_code_file);
    return env;
}

}  // namespace

Result detail::run_once(const std::string& command_line, const Environment& environment, const std::string& input,
                        const Environment& spawn_options, std::vector<std::string>* windows) {
    std::vector<std::string> env = spawn_environment(command_line, environment, spawn_options);
    std::ofstream(scratch("in"), std::ios::binary) << input;
    // Every window that shows is noted, then closed by a key, so that no case waits for a
    // click (the spawn helper's time-out ends it all the same).
    std::vector<std::string> closed;
    auto watch = [&] {
        for (auto& [id, title] : visible_windows()) {
            if (std::find(closed.begin(), closed.end(), id) != closed.end()) continue;
            closed.push_back(id);
            windows->push_back(title);
            xdotool({"windowfocus", "--sync", id, "key", "Return"});
        }
    };
    int status = run_unix({loader, "C:\\zktest\\spawn.exe"}, env, scratch("in"), scratch("out"), scratch("err"),
                          windows != nullptr ? std::function<void()>(watch) : nullptr);
    Result r{0, read_all(scratch("out")), read_all(scratch("err"))};
    std::string code = read_all(exit_code_file);
    if (status != 0 || code.empty())
        throw std::runtime_error("spawn failed (" + std::to_string(status) + "): " + r.err);
    r.exit_code = exit_code_of(code);
    return r;
}

void detail::pause(int seconds) { sleep(static_cast<unsigned>(seconds)); }

namespace {

std::string shell_quoted(const std::string& s) {
    std::string r = "'";
    for (char c : s) r += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return r + "'";
}

// tmux on a socket of the harness's own, so that no other tmux server is touched. A pane
// stays after its command ends (Ctrl+C may end the shell too), so that it can be read.
int tmux(const std::vector<std::string>& args, const std::string& out = "/dev/null") {
    std::ofstream(scratch("tmux.conf")) << "set-option -g remain-on-exit on\n";
    std::vector<std::string> argv = {"/usr/bin/tmux", "-L", "zk-e2e-" + std::to_string(getpid()), "-u", "-f",
                                     scratch("tmux.conf")};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<std::string> env = base_environment();
    env.push_back("PATH=/usr/bin:/bin");
    env.push_back("TERM=xterm-256color");
    return run_unix(argv, env, "/dev/null", out, scratch("tmux.err"));
}

std::string screen() {
    // From the start of the history: Wine's console scrolls what it wrote out of the screen.
    tmux({"capture-pane", "-t", "zk", "-p", "-J", "-S", "-"}, scratch("screen"));
    return read_all(scratch("screen"));
}

// Polls `done` every 50 ms for up to 60 s (a 32-bit program's first start under qemu is slow).
template <class F>
bool wait_for(F&& done) {
    for (int i = 0; i < 1200; ++i) {
        if (done()) return true;
        usleep(50 * 1000);
    }
    return false;
}

}  // namespace

Result run_on_console(const std::string& command_line, const Environment& environment, const std::string& ready,
                      const std::string& keys) {
    std::string script = "env -i";
    for (const std::string& e : spawn_environment(command_line, environment, {})) script += " " + shell_quoted(e);
    script += " " + loader + " 'C:\\zktest\\spawn.exe'\n";
    std::ofstream(scratch("console.sh"), std::ios::binary) << script;
    tmux({"kill-server"});
    if (tmux({"new-session", "-d", "-s", "zk", "-x", "400", "-y", "60", "sh " + scratch("console.sh")}) != 0)
        throw std::runtime_error("tmux cannot start a session: " + read_all(scratch("tmux.err")));
    auto finished = [] { return !read_all(exit_code_file).empty(); };
    bool shown = wait_for([&] { return finished() || screen().find(ready) != std::string::npos; });
    if (shown && !keys.empty()) tmux({"send-keys", "-t", "zk", keys});
    bool ended = wait_for(finished);
    usleep(300 * 1000);  // what the command wrote last may still be on its way to the pane
    Result r{0, screen(), ""};
    tmux({"kill-server"});
    if (!shown) throw std::runtime_error("the console never showed '" + ready + "':\n" + r.out);
    if (!ended) throw std::runtime_error("the command did not end on the console:\n" + r.out);
    r.exit_code = exit_code_of(read_all(exit_code_file));
    return r;
}

Result run_by_loader(const std::string& windows_path, const std::string& arguments, const Environment& environment) {
    std::vector<std::string> env = base_environment();
    for (auto& [k, v] : environment) env.push_back(k + "=" + v);
    std::vector<std::string> argv = {loader, windows_path};
    std::istringstream words(arguments);
    for (std::string word; words >> word;) argv.push_back(word);
    int status = run_unix(argv, env, "/dev/null", scratch("out"), scratch("err"));
    return Result{static_cast<uint32_t>(status), read_all(scratch("out")), read_all(scratch("err"))};
}

std::string explain_windows(const std::string& command_line, const Environment& environment,
                            const Environment& spawn_options) {
    Environment logged = environment;
    logged.emplace_back("WINEDEBUG", "err+all,warn+msgbox,warn+dialog,warn+win,+winstation,fixme-all");
    std::vector<std::string> windows;
    Result r = detail::run_once(command_line, logged, "", spawn_options, &windows);
    std::string report = "again, with Wine's log: exit code " + std::to_string(r.exit_code) + ", windows:";
    for (const std::string& title : windows) report += " '" + title + "'";
    report += "\n" + r.err + "the prefix's processes:\n";
    for (const std::string& process : prefix_processes()) report += "  " + process + "\n";
    return report + "Xvfb said: " + read_all(scratch("xvfb.err"));
}

std::string missing(Feature feature) {
    switch (feature) {
    case Feature::console_close:
        return "this Wine delivers no console close event (a closed console ends its processes without calling "
               "their handlers)";
    case Feature::long_paths: {
        const std::string why = detail::long_path_start();
        return why.empty() ? "" : "this Wine starts no program from a path of 260 characters or more (" + why + ")";
    }
    case Feature::signing:
        return "";
    case Feature::console_screen:
        return "the console here is a tmux pane, which breaks a long line of Wine's console where it did not wrap it";
    case Feature::links:        // Unix links, which Wine follows as Windows follows its own
    case Feature::short_names:  // Wine gives every file one
        return "";
    }
    return "unknown feature";
}

// Wine loads its own builtin DLLs before any file of that name; "n,b" makes it search
// the native ones first, in Windows' order.
Environment dll_search_as_windows(const std::vector<std::string>& names) {
    std::string list;
    for (const std::string& name : names) list += (list.empty() ? "" : ",") + name;
    return {{"WINEDLLOVERRIDES", list + "=n,b"}};
}

std::string detail::spawn_helper() { return "C:\\zktest\\spawn.exe"; }

std::string signed_copy(const std::string& host_source) {
    const std::string dir = scratch("signing"), signed_file = dir + "/signed.exe";
    fs::remove_all(dir);
    fs::create_directories(dir);
    const std::vector<std::string> env = {"PATH=/usr/bin:/bin"};
    if (run_unix({"/bin/bash", std::string(ZK_SOURCE_DIR) + "/tests/support/throwaway_ca.sh", dir}, env, "/dev/null",
                 scratch("sign.out"), scratch("sign.err")) != 0 ||
        run_unix({"/usr/bin/osslsigncode", "sign", "-pkcs12", dir + "/cs.p12", "-readpass", dir + "/password.txt", "-h",
                  "sha256", "-n", "zklaunch", "-in", host_source, "-out", signed_file},
                 env, "/dev/null", scratch("sign.out"), scratch("sign.err")) != 0)
        throw std::runtime_error("cannot sign " + host_source + ": " + read_all(scratch("sign.err")));
    return signed_file;
}

std::string native_build(const std::string& file) {
    return std::string(arch == Arch::arm64 ? ZK_ARM64_DIR : ZK_WIN64_DIR) + "/" + file;
}
std::string win32_build(const std::string& file) { return std::string(ZK_WIN32_DIR) + "/" + file; }
std::string launcher_build(const std::string& file) { return arch == Arch::x86 ? win32_build(file) : native_build(file); }

int launcher_bits() { return arch == Arch::x86 ? 32 : 64; }

std::string launcher_exe(bool windowless) { return launcher_build(windowless ? "zklaunchw.exe" : "zklaunch.exe"); }

}  // namespace host

namespace host::wine {

int run_windows_program(const std::vector<std::string>& arguments) {
    std::vector<std::string> argv = {loader};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return run_unix(argv, base_environment(), "/dev/null", "", "");
}

std::string windows_command_output(const std::vector<std::string>& arguments) {
    int status = wine_command(arguments);
    return read_all(scratch("wine.out")) + read_all(scratch("wine.err")) + "exit " + std::to_string(status) + "\n";
}

std::string windows_path(const std::string& unix_path) {
    std::string path = "Z:" + fs::absolute(unix_path).lexically_normal().string();
    std::replace(path.begin(), path.end(), '/', '\\');
    return path;
}

}  // namespace host::wine
