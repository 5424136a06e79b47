// Runs the Windows test program zk_e2e.exe under this Wine, against the launchers of one
// width: the prefix, the display, the wineserver and the desktop as the Unix host makes
// them for its own cases, then the program, whose output and exit status are passed on.
// Usage: zk_e2e_windows_under_wine x64|x86 [zk_e2e.exe's and GoogleTest's options]
//        zk_e2e_windows_under_wine put-back
// The second checks the program's put-back: runs killed half-way through the set-aside
// and in the middle of a case, then the next run and --put-back alone, must leave the
// registry keys, the per-user zk.ini and the folders the cases touch as they were before.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "e2e/host.h"
#include "e2e/host_wine.h"

namespace fs = std::filesystem;

namespace {

std::vector<std::string> program(const std::string& width) {
    const std::string launchers = width == "x64" ? ZK_WIN64_DIR : ZK_WIN32_DIR;
    return {host::wine::windows_path(std::string(ZK_WIN64_DIR) + "/e2e/zk_e2e.exe"),
            "--launchers", host::wine::windows_path(launchers), "--width", width,
            "--helpers", host::wine::windows_path(ZK_E2E_HELPERS)};
}

int run_program(const std::vector<std::string>& options) {
    std::vector<std::string> arguments = program("x64");
    arguments.insert(arguments.end(), options.begin(), options.end());
    return host::wine::run_windows_program(arguments);
}

const std::string drive_c = std::string(ZK_WINE_PREFIX) + "/drive_c";
const std::string shell_folders = "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";

// What the cases touch, as text, by what it is: the keys (reg query's answer, or that there
// is none), the folders at the root of drive C, the per-user folder's files and zk.ini.
std::map<std::string, std::string> dump() {
    std::map<std::string, std::string> state;
    for (const std::string key : {"HKLM\\SOFTWARE\\Zelkor", "HKLM\\SOFTWARE\\WOW6432Node\\Zelkor", "HKCU\\SOFTWARE\\Zelkor",
                                  "HKCU\\Console\\%%Startup", "HKLM\\SOFTWARE\\zklaunch-e2e"})
        state[key] = host::wine::windows_command_output({"reg", "query", key, "/s"});
    state["Local AppData"] = host::wine::windows_command_output({"reg", "query", shell_folders, "/v", "Local AppData"});
    std::set<std::string> top, seed;  // in an order of their own
    for (const auto& entry : fs::directory_iterator(drive_c)) top.insert(entry.path().filename().string() + "\n");
    for (const auto& entry : fs::recursive_directory_iterator(drive_c + "/zkseed")) seed.insert(entry.path().string() + "\n");
    for (const std::string& name : top) state["drive C"] += name;
    for (const std::string& name : seed) state["C:\\zkseed"] += name;
    const std::string appdata = host::local_appdata();
    std::string files;
    for (const std::string name : {"zk.ini", "zk.ini.zk-e2e-saved"})
        files += name + (host::exists(appdata + "\\" + name) ? ": " + host::read_file(appdata + "\\" + name) : " absent") + "\n";
    state["per-user folder"] = files;
    return state;
}

// The entries that differ, both ways, but for those named in `apart`.
std::string differences(const std::map<std::string, std::string>& before, const std::map<std::string, std::string>& after,
                        const std::string& apart = "") {
    std::string said;
    for (const auto& [what, text] : before)
        if (what != apart && after.at(what) != text) said += "-- " + what + " before:\n" + text + "-- after:\n" + after.at(what);
    return said;
}

bool check(bool good, const std::string& what) {
    printf("%s: %s\n", good ? "ok" : "FAILED", what.c_str());
    return good;
}

int put_back_check() {
    // What was there before: keys of both roots and of both views of the machine's (each
    // put back in its own view), a folder value, no console delegation key (as on Windows
    // 10; the run makes one), a per-user zk.ini and a folder at the root of drive C.
    host::reg_import("[HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\Zelkor\\ZelkorCore\\9.8-32\\InstallPath]\r\n"
                     "@=\"C:\\\\zkseed\\\\32\"\r\n\r\n"
                     "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Zelkor\\ZelkorCore\\9.9\\InstallPath]\r\n@=\"C:\\\\zkseed\"\r\n\r\n"
                     "[HKEY_CURRENT_USER\\SOFTWARE\\Zelkor\\Seed]\r\n\"v\"=\"the user's\"\r\n\r\n"
                     "[-HKEY_CURRENT_USER\\Console\\%%Startup]\r\n");
    host::set_local_appdata_value(host::expand_sz("%USERPROFILE%\\AppData\\Local"));
    host::write_file(host::local_appdata() + "\\zk.ini", "[seed]\r\n");
    host::write_file("C:\\zkseed\\keep.txt", "kept");
    const auto before = dump();
    printf("What the runs must leave as it is:\n");
    for (const auto& [what, text] : before) printf("-- %s:\n%s", what.c_str(), text.c_str());
    bool good = check(before.at("HKLM\\SOFTWARE\\zklaunch-e2e").find("exit 1") != std::string::npos,
                      "no set-aside before the runs");

    const std::string a_case = "--gtest_filter=Launcher.ThePerUserFolderIsTheShellsInEveryCase";
    good &= check(run_program({"--terminate-at", "set-aside", a_case}) == 9, "a run killed during its set-aside");
    auto state = dump();
    good &= check(differences(before, state, "HKLM\\SOFTWARE\\zklaunch-e2e").empty(),
                  "nothing changed before the set-aside was complete\n" +
                      differences(before, state, "HKLM\\SOFTWARE\\zklaunch-e2e"));
    good &= check(state.at("HKLM\\SOFTWARE\\zklaunch-e2e").find("exit 0") != std::string::npos,
                  "the half-made set-aside is there");

    for (const std::string next : {"the next run", "--put-back"}) {
        good &= check(run_program({"--terminate-at", "change:14", a_case}) == 9, "a run killed in the middle of a case");
        state = dump();
        good &= check(!differences(before, state, "HKLM\\SOFTWARE\\zklaunch-e2e").empty(),
                      "the killed run left changes");
        const int status = next == "--put-back" ? host::wine::run_windows_program(
                                                      {program("x64")[0], "--put-back"})
                                                : run_program({"--gtest_filter=Launcher.MissingScriptIs105"});
        good &= check(status == 0, next + " ended well");
        state = dump();
        const std::string left = differences(before, state);
        good &= check(left.empty(), next + " put everything back as it was\n" + left);
    }

    host::reg_import("[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Zelkor]\r\n\r\n[-HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\Zelkor]\r\n\r\n"
                     "[-HKEY_CURRENT_USER\\SOFTWARE\\Zelkor]\r\n");
    host::forget_files();
    return good ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc >= 2 ? argv[1] : "";
    if (mode != "x64" && mode != "x86" && mode != "put-back") {
        fprintf(stderr, "usage: zk_e2e_windows_under_wine x64|x86 [options] | put-back\n");
        return 2;
    }
    std::vector<std::string> arguments = program(mode == "x86" ? "x86" : "x64");
    for (int i = 2; i < argc; ++i) {
        // A file of the Unix side's, for the program as a Windows path.
        const bool file = i > 2 && std::string(argv[i - 1]) == "--allowed-skips";
        arguments.push_back(file ? host::wine::windows_path(argv[i]) : argv[i]);
    }
    try {
        host::start();
        int status = mode == "put-back" ? put_back_check() : host::wine::run_windows_program(arguments);
        host::stop();
        return status;
    } catch (const std::exception& e) {
        fprintf(stderr, "zk_e2e_windows_under_wine: %s\n", e.what());
        return 1;
    }
}
