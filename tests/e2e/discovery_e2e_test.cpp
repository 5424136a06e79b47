// Installed interpreters found in Wine's real registry, and the configured defaults.
#include <cstdio>

#include "e2e/e2e_fixture.h"

namespace {

using Discovery = EndToEnd;

// A .reg entry registering `directory` (a Windows path) for `version` under `root`.
std::string registered(const std::string& root, const std::string& version, const std::string& directory) {
    std::string escaped;
    for (char c : directory) escaped += c == '\\' ? std::string("\\\\") : std::string(1, c);
    std::string key = root.find("WOW6432Node") != std::string::npos ? root + "\\Zelkor" : root + "\\SOFTWARE\\Zelkor";
    return "[" + key + "\\ZelkorCore\\" + version + "\\InstallPath]\r\n@=\"" + escaped + "\"\r\n\r\n";
}

const std::string hkcu = "HKEY_CURRENT_USER", hklm = "HKEY_LOCAL_MACHINE";
// The machine's 32-bit view, as a 64-bit program writes it.
const std::string hklm32 = "HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node";

// The trace lines of the registry scan that say which view is scanned and what is listed.
std::string scan_lines(const std::string& trace) {
    std::string lines, line;
    for (size_t start = 0, end; start < trace.size(); start = end + 1) {
        end = trace.find('\n', start);
        if (end == std::string::npos) end = trace.size();
        line = trace.substr(start, end - start);
        if (line.rfind("locating Zelkors", 0) == 0 || line.find("bit executable") != std::string::npos ||
            line.find(": already found") != std::string::npos)
            lines += line + "\n";
    }
    return lines;
}

TEST_F(Discovery, AnInstallDirectoryWithASpaceIsQuoted) {
    install_stub("C:\\Program Files\\Z36\\zelkor.exe");
    host::reg_import(registered(hkcu, "3.6", "C:\\Program Files\\Z36\\"));
    host::Result r = host::run("C:\\d\\tool.exe x");
    EXPECT_EQ(r.exit_code, 0u) << r.err;
    EXPECT_EQ(r.out, ran("\"C:\\Program Files\\Z36\\zelkor.exe\" C:\\d\\tool-script.zk x"));
}

TEST_F(Discovery, CurrentUserAndMachineInstallsAreBothSeen) {
    install_stub("C:\\Z27\\zelkor.exe");
    install_stub("C:\\Z35\\zelkor.exe");
    host::reg_import(registered(hkcu, "2.7", "C:\\Z27") + registered(hklm, "3.5", "C:\\Z35"));
    host::Result r = host::run("C:\\d\\tool.exe", {{"ZKLAUNCH_DEBUG", "1"}});
    EXPECT_EQ(r.out, ran("C:\\Z35\\zelkor.exe C:\\d\\tool-script.zk "));
    EXPECT_NE(r.err.find("locate_zelkors_for_key: C:\\Z27\\zelkor.exe is a 64bit executable\n"), std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("search for default Zelkor found version 3.5 at 'C:\\Z35\\zelkor.exe'\n"), std::string::npos);
}

TEST_F(Discovery, VornixLayoutsAreClassifiedByBinaryType) {
    install_stub("C:\\Z 36\\Vornix\\win32\\zelkor.exe", 32);
    install_stub("C:\\Z 36\\Vornix\\amd64\\zelkor.exe", 64);
    host::reg_import(registered(hkcu, "3.6", "C:\\Z 36"));
    host::Result r = host::run("C:\\d\\tool.exe", {{"ZKLAUNCH_DEBUG", "1"}});
    EXPECT_EQ(r.out, ran("\"C:\\Z 36\\Vornix\\amd64\\zelkor.exe\" C:\\d\\tool-script.zk "));
    EXPECT_NE(r.err.find("locate_zelkors_for_key: \"C:\\Z 36\\Vornix\\win32\\zelkor.exe\" is a 32bit executable\n"),
              std::string::npos)
        << r.err;
    // Asked for a 32-bit build, by a configured default or by the script, the launcher
    // picks the i686 one. A host that cannot start i686 programs shows the choice in the
    // trace, and the child then ends at once, as that host ends an i686 program.
    const std::string child_32 = "\"C:\\Z 36\\Vornix\\win32\\zelkor.exe\" C:\\d\\tool-script.zk ";
    if (!host::runs_i386())
        fprintf(stderr, "note: this host cannot start i686 programs; the 32-bit choice is checked in the trace\n");
    auto expect_32 = [&](const host::Environment& env) {
        host::Environment traced = env;
        traced.emplace_back("ZKLAUNCH_DEBUG", "1");
        host::Result r = host::run("C:\\d\\tool.exe", traced);
        EXPECT_NE(r.err.find("run_child: about to run '" + child_32 + "'\n"), std::string::npos) << r.err;
        EXPECT_EQ(r.out, host::runs_i386() ? ran(child_32) : "");
        EXPECT_EQ(r.exit_code, host::i386_start_failure());
    };
    expect_32({{"zk_zelkor", "3.6-32"}});
    host::write_file("C:\\d\\tool-script.zk", "#!zelkor3.6-32\n");
    expect_32({});
}

// The 32-bit launcher under WOW64 scans the 64-bit view, then its own (the machine's
// 32-bit view); the current user's key is one and the same in both. The 64-bit build
// scans its own view, the 64-bit one, alone.
TEST_F(Discovery, RegistryViews) {
    for (const char* d : {"C:\\Z27", "C:\\Z34", "C:\\Z35", "C:\\Z36"}) install_stub(std::string(d) + "\\zelkor.exe");
    host::reg_import(registered(hkcu, "3.6", "C:\\Z36") + registered(hklm, "3.5", "C:\\Z35") +
                     registered(hklm32, "2.7", "C:\\Z27") + registered(hklm, "3.4", "C:\\Z34") +
                     registered(hklm32, "3.4", "C:\\z34\\"));
    host::Result r = host::run("C:\\d\\tool.exe", {{"ZKLAUNCH_DEBUG", "1"}, {"zk_zelkor", "2.7"}});
    const std::string listed = "locate_zelkors_for_key: C:\\Z3";
    if (wow64()) {
        EXPECT_EQ(scan_lines(r.err), "locating Zelkors in 64bit registry\n" + listed +
                                         "6\\zelkor.exe is a 64bit executable\n" + listed +
                                         "4\\zelkor.exe is a 64bit executable\n" + listed +
                                         "5\\zelkor.exe is a 64bit executable\n"
                                         "locating Zelkors in native registry\n" +
                                         listed + "6\\zelkor.exe: already found\n"
                                         "locate_zelkors_for_key: C:\\Z27\\zelkor.exe is a 64bit executable\n"
                                         "locate_zelkors_for_key: C:\\z34\\zelkor.exe: already found\n");
        EXPECT_EQ(r.out, ran("C:\\Z27\\zelkor.exe C:\\d\\tool-script.zk "));
    } else {
        EXPECT_EQ(scan_lines(r.err), "locating Zelkors in native registry\n" + listed +
                                         "6\\zelkor.exe is a 64bit executable\n" + listed +
                                         "4\\zelkor.exe is a 64bit executable\n" + listed +
                                         "5\\zelkor.exe is a 64bit executable\n");
        // 2.7 is registered only where 32-bit programs look: the default is the newest 3.x.
        EXPECT_EQ(r.out, ran("C:\\Z36\\zelkor.exe C:\\d\\tool-script.zk "));
    }
}

TEST_F(Discovery, ConfiguredDefaultsDecide) {
    install_stub("C:\\Z27\\zelkor.exe");
    install_stub("C:\\Z36\\zelkor.exe");
    install_stub("C:\\Z39\\zelkor.exe");
    host::reg_import(registered(hkcu, "2.7", "C:\\Z27") + registered(hkcu, "3.6", "C:\\Z36") +
                     registered(hklm, "3.9", "C:\\Z39"));
    EXPECT_EQ(host::run("C:\\d\\tool.exe").out, ran("C:\\Z39\\zelkor.exe C:\\d\\tool-script.zk "));
    EXPECT_EQ(host::run("C:\\d\\tool.exe", {{"zk_zelkor", "3.6"}}).out,
              ran("C:\\Z36\\zelkor.exe C:\\d\\tool-script.zk "));
    host::write_file("C:\\d\\zk.ini", "[defaults]\r\nzelkor=2\r\n");
    EXPECT_EQ(host::run("C:\\d\\tool.exe").out, ran("C:\\Z27\\zelkor.exe C:\\d\\tool-script.zk "));
    host::write_file(host::local_appdata() + "\\zk.ini", "[defaults]\r\nzelkor = 3.6\r\n");
    EXPECT_EQ(host::run("C:\\d\\tool.exe").out, ran("C:\\Z36\\zelkor.exe C:\\d\\tool-script.zk "));
    // The environment comes before both files.
    EXPECT_EQ(host::run("C:\\d\\tool.exe", {{"zk_zelkor", "3.9"}}).out,
              ran("C:\\Z39\\zelkor.exe C:\\d\\tool-script.zk "));
}

// Two installations of one version and width: the first sighting runs (the current user
// before the machine), whatever the script asks and whether the trace is on or off.
TEST_F(Discovery, TiesGoToTheFirstSighting) {
    install_stub("C:\\ZA\\zelkor.exe");
    install_stub("C:\\ZB\\zelkor.exe");
    host::reg_import(registered(hkcu, "3.6", "C:\\ZA") + registered(hklm, "3.6", "C:\\ZB"));
    for (const char* script : {"#!zelkor3.6\n", "#!zelkor3\n", ""})
        for (const char* trace : {"1", ""}) {
            host::write_file("C:\\d\\tool-script.zk", script);
            host::Result r = host::run("C:\\d\\tool.exe", {{"ZKLAUNCH_DEBUG", trace}});
            EXPECT_EQ(r.out, ran("C:\\ZA\\zelkor.exe C:\\d\\tool-script.zk ")) << script << ", trace " << trace;
        }
}

// An InstallPath that is no absolute folder is not used, though a zelkor.exe lies where it
// would point from the current folder C:\w on drive C.
TEST_F(Discovery, OnlyAnAbsoluteInstallPathIsUsed) {
    struct Case {
        const char* install_path;
        const char* planted;
        const char* runs;  // null: no installation, 103
    };
    const Case cases[] = {
        {"Z36", "C:\\w\\Z36\\zelkor.exe", nullptr},
        {"\\Zelkor36", "C:\\Zelkor36\\zelkor.exe", nullptr},
        {"C:Z36", "C:\\w\\Z36\\zelkor.exe", nullptr},
        {"/", "C:\\zelkor.exe", nullptr},
        {"\\\\", "C:\\zelkor.exe", nullptr},
        {"C:/zkt/Z36", "C:\\zkt\\Z36\\zelkor.exe", "C:/zkt/Z36\\zelkor.exe"},
    };
    host::write_file("C:\\w\\keep", "");
    for (const Case& c : cases) {
        host::reg_clean();
        host::reg_import(registered(hkcu, "3.6", c.install_path));
        install_stub(c.planted);
        for (const char* trace : {"1", ""}) {
            host::Result r = host::run("C:\\d\\tool.exe", {{"ZKLAUNCH_DEBUG", trace}}, "", {{"ZKSPAWN_DIR", "C:\\w"}});
            if (c.runs != nullptr) {
                EXPECT_EQ(r.out, ran(std::string(c.runs) + " C:\\d\\tool-script.zk ")) << c.install_path << r.err;
                continue;
            }
            EXPECT_EQ(r.exit_code, 103u) << c.install_path << ", trace " << trace << "\n" << r.out;
            EXPECT_TRUE(r.err.ends_with("Can't find a default Zelkor.\n")) << c.install_path << r.err;
        }
        host::remove_file(c.planted);
    }
}

TEST_F(Discovery, NothingInstalledIs103) {
    host::Result r = host::run("C:\\d\\tool.exe");
    EXPECT_EQ(r.exit_code, 103u);
    EXPECT_EQ(r.err, "Can't find a default Zelkor.\n");
}

}  // namespace
