// Runs the Windows test program zk_e2e.exe under this Wine, against the launchers of one
// width: the prefix, the display, the wineserver and the desktop as the Unix host makes
// them for its own cases, then the program, whose output and exit status are passed on.
// Usage: zk_e2e_windows_under_wine x64|x86 [GoogleTest's options]
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "e2e/host.h"
#include "e2e/host_wine.h"

int main(int argc, char** argv) {
    if (argc < 2 || (std::string(argv[1]) != "x64" && std::string(argv[1]) != "x86")) {
        fprintf(stderr, "usage: zk_e2e_windows_under_wine x64|x86 [GoogleTest's options]\n");
        return 2;
    }
    const std::string width = argv[1];
    const std::string launchers = width == "x64" ? ZK_WIN64_DIR : ZK_WIN32_DIR;
    std::vector<std::string> arguments = {host::wine::windows_path(std::string(ZK_WIN64_DIR) + "/e2e/zk_e2e.exe"),
                                          "--launchers", host::wine::windows_path(launchers), "--width", width,
                                          "--helpers", host::wine::windows_path(ZK_E2E_HELPERS)};
    for (int i = 2; i < argc; ++i) arguments.push_back(argv[i]);
    try {
        host::start();
        int status = host::wine::run_windows_program(arguments);
        host::stop();
        return status;
    } catch (const std::exception& e) {
        fprintf(stderr, "zk_e2e_windows_under_wine: %s\n", e.what());
        return 1;
    }
}
