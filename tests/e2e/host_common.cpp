// What the two test hosts share: the registry's standard entries as .reg text, the runs
// made again after a chance failure of Wine's, and the questions a host answers by
// starting programs as the cases do.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <stdexcept>

#include "e2e/host.h"

namespace host {

std::string expand_sz(const std::string& text) {
    // In an ASCII .reg file the data are the ANSI bytes and a final 00.
    std::string hex = "hex(2):";
    char byte[4];
    for (unsigned char c : text) {
        snprintf(byte, sizeof byte, "%02x,", c);
        hex += byte;
    }
    return hex + "00";
}

namespace {

std::string local_appdata_entry(const std::string& data) {
    return "[HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders]\r\n"
           "\"Local AppData\"=" + data + "\r\n";
}

// Wine's chance failure, as measured here: CreateProcessW failing with 1359
// (ERROR_INTERNAL_ERROR) for no reason of the program's, once in a few thousand starts
// (3,477 starts of the spawn helper, each starting the launcher and the stub, saw one).
// The spawn helper's start of the launcher says so; the launcher's start of its child
// meets it as well, but falls back to its second way of creating the child, which a
// second such failure would have to hit too: a launcher's 101 is never made again.
bool chance_failure(const std::string& spawn_error) {
    // The helper's standard error is in text mode: its lines end in CR LF.
    const std::string said = "spawn: CreateProcessW failed: 1359";
    size_t at = spawn_error.find(said);
    return at != std::string::npos && (spawn_error[at + said.size()] == '\r' || spawn_error[at + said.size()] == '\n');
}

std::vector<std::string> made_again;

}  // namespace

void set_local_appdata_value(const std::string& data) { reg_import(local_appdata_entry(data)); }

void reg_clean() {
    reg_import(
        "[-HKEY_CURRENT_USER\\SOFTWARE\\Zelkor]\r\n\r\n[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Zelkor]\r\n\r\n"
        "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\Zelkor]\r\n\r\n" +
        local_appdata_entry(expand_sz("%USERPROFILE%\\AppData\\Local")));
}

Result run(const std::string& command_line, const Environment& environment, const std::string& input,
           const Environment& spawn_options, std::vector<std::string>* windows) {
    for (int attempt = 1;; ++attempt) {
        try {
            if (windows != nullptr) windows->clear();
            return detail::run_once(command_line, environment, input, spawn_options, windows);
        } catch (const std::runtime_error& e) {
            if (attempt == 3 || !chance_failure(e.what())) throw;
        }
        detail::note_made_again("a process start (CreateProcessW 1359): " + command_line);
    }
}

Result run_showing(const std::string& command_line, const Environment& environment,
                   const Environment& spawn_options, std::vector<std::string>* windows) {
    for (int attempt = 1;; ++attempt) {
        Result r = run(command_line, environment, "", spawn_options, windows);
        if (!windows->empty() || attempt == 3) return r;
        detail::note_made_again("a window that did not show: " + command_line);
        detail::pause(2 * attempt);  // once seen, it lasted seconds
    }
}

std::string local_appdata(const Environment& environment) {
    // Asked of a process that a Windows parent starts, as the launcher is started.
    Environment asking = environment;
    asking.emplace_back("ZKSPAWN_SHELL_FOLDER", "1");
    Result r = run("\"" + detail::spawn_helper() + "\"", asking);
    std::string folder = r.out;
    while (!folder.empty() && (folder.back() == '\n' || folder.back() == '\r')) folder.pop_back();
    if (r.exit_code != 0 || folder.empty())
        throw std::runtime_error("the shell named no per-user folder (" + std::to_string(r.exit_code) + "): " + r.err);
    return folder;
}

uint32_t i386_start_failure() {
    static const uint32_t code = [] {
        copy_file(win32_build("zelkor_stub.exe"), "C:\\zktest\\probe32.exe");
        Result r = run("C:\\zktest\\probe32.exe");
        remove_file("C:\\zktest\\probe32.exe");
        if (r.exit_code == 0 && r.out.rfind("zelkor-stub: ", 0) == 0) return 0u;
        if (r.exit_code == 0) throw std::runtime_error("the i686 stub ended at once with 0 and wrote: " + r.out);
        return r.exit_code;
    }();
    return code;
}

bool runs_i386() { return i386_start_failure() == 0; }

namespace detail {

std::string long_path_start() {
    static const std::string answer = [] {
        // 300 characters, in parts a Unix file name can hold.
        std::string folder = "C:\\zktest\\long";
        while (folder.size() < 300) {
            size_t piece = std::min<size_t>(60, 300 - folder.size() - 1);
            folder += "\\" + std::string(piece == 0 ? 1 : piece, 'l');
        }
        folder = folder.substr(0, 300);
        const std::string stub = folder + "\\zelkor.exe";
        copy_file(native_build("zelkor_stub.exe"), stub);
        std::string why;
        try {
            Result r = run("\"" + stub + "\"");
            if (r.exit_code != 0 || r.out.rfind("zelkor-stub: ", 0) != 0)
                why = "the stub there ended with " + std::to_string(r.exit_code) + ": " + r.out + r.err;
        } catch (const std::runtime_error& e) {
            why = e.what();
        }
        remove_file(stub);
        return why;
    }();
    return answer;
}

void note_made_again(const std::string& what) {
    made_again.push_back(what);
    fprintf(stderr, "host: made again: %s\n", what.c_str());
}

void check_made_again() {
    // More than a few in one suite run is no chance any more.
    if (made_again.size() <= 3) return;
    std::string list;
    for (const std::string& what : made_again) list += "\n  " + what;
    ADD_FAILURE() << made_again.size() << " runs were made again after a chance failure of Wine's:" << list;
}

}  // namespace detail

namespace {
// The host for the whole run of the cases: set up first, put back last.
class Host : public ::testing::Environment {
    void SetUp() override { start(); }
    void TearDown() override {
        forget_files();
        stop();
        detail::check_made_again();
    }
};
[[maybe_unused]] ::testing::Environment* const host_environment = ::testing::AddGlobalTestEnvironment(new Host);
}  // namespace

}  // namespace host
