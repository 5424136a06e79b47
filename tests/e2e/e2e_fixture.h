// Common set-up of the end-to-end tests: a clean drive C and registry for each test, the
// launcher under test (of the width the host tests, host.h) installed as C:\d\tool.exe
// beside an empty C:\d\tool-script.zk.
#pragma once

#include <gtest/gtest.h>

#include "e2e/host.h"

class EndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        host::forget_files();
        host::reg_clean();
        install_launcher("C:\\d\\tool.exe");
        host::write_file("C:\\d\\tool-script.zk", "");
    }
    void TearDown() override { host::forget_files(); }

    static void install_launcher(const std::string& path, bool windowless = false) {
        host::copy_file(host::launcher_exe(windowless), path);
    }
    // The stub interpreter, 64-bit or the i686 build.
    static void install_stub(const std::string& path, int bits = 64) {
        host::copy_file(bits == 64 ? host::native_build("zelkor_stub.exe") : host::win32_build("zelkor_stub.exe"),
                        path);
    }
    // The line the stub prints for its command line.
    static std::string ran(const std::string& command_line) { return "zelkor-stub: " + command_line + "\n"; }
    // Where the two builds differ by design: the 32-bit one runs under WOW64.
    static bool wow64() { return host::launcher_bits() == 32; }
};
