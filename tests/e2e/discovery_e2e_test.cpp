// Installed interpreters found in Wine's real registry, and the configured defaults.
#include "e2e/e2e_fixture.h"

namespace {

using Discovery = EndToEnd;

// A .reg entry registering `directory` (a Windows path) for `version` under `root`.
std::string registered(const std::string& root, const std::string& version, const std::string& directory) {
    std::string escaped;
    for (char c : directory) escaped += c == '\\' ? std::string("\\\\") : std::string(1, c);
    return "[" + root + "\\SOFTWARE\\Zelkor\\ZelkorCore\\" + version + "\\InstallPath]\r\n@=\"" + escaped +
           "\"\r\n\r\n";
}

const std::string hkcu = "HKEY_CURRENT_USER", hklm = "HKEY_LOCAL_MACHINE";

TEST_F(Discovery, AnInstallDirectoryWithASpaceIsQuoted) {
    install_stub("C:\\Program Files\\Z36\\zelkor.exe");
    wine::reg_import(registered(hkcu, "3.6", "C:\\Program Files\\Z36\\"));
    wine::Result r = wine::run("C:\\d\\tool.exe x");
    EXPECT_EQ(r.exit_code, 0u) << r.err;
    EXPECT_EQ(r.out, ran("\"C:\\Program Files\\Z36\\zelkor.exe\" C:\\d\\tool-script.zk x"));
}

TEST_F(Discovery, CurrentUserAndMachineInstallsAreBothSeen) {
    install_stub("C:\\Z27\\zelkor.exe");
    install_stub("C:\\Z35\\zelkor.exe");
    wine::reg_import(registered(hkcu, "2.7", "C:\\Z27") + registered(hklm, "3.5", "C:\\Z35"));
    wine::Result r = wine::run("C:\\d\\tool.exe", {{"ZKLAUNCH_DEBUG", "1"}});
    EXPECT_EQ(r.out, ran("C:\\Z35\\zelkor.exe C:\\d\\tool-script.zk "));
    EXPECT_NE(r.err.find("locate_zelkors_for_key: C:\\Z27\\zelkor.exe is a 64bit executable\n"), std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("search for default Zelkor found version 3.5 at 'C:\\Z35\\zelkor.exe'\n"), std::string::npos);
}

TEST_F(Discovery, VornixLayoutsAreClassifiedByBinaryType) {
    install_stub("C:\\Z 36\\Vornix\\win32\\zelkor.exe", 32);
    install_stub("C:\\Z 36\\Vornix\\amd64\\zelkor.exe", 64);
    wine::reg_import(registered(hkcu, "3.6", "C:\\Z 36"));
    wine::Result r = wine::run("C:\\d\\tool.exe", {{"ZKLAUNCH_DEBUG", "1"}});
    EXPECT_EQ(r.out, ran("\"C:\\Z 36\\Vornix\\amd64\\zelkor.exe\" C:\\d\\tool-script.zk "));
    EXPECT_NE(r.err.find("locate_zelkors_for_key: \"C:\\Z 36\\Vornix\\win32\\zelkor.exe\" is a 32bit executable\n"),
              std::string::npos)
        << r.err;
    // Asked for a 32-bit build, the launcher picks the i686 one, which Wine here cannot run.
    r = wine::run("C:\\d\\tool.exe", {{"zk_zelkor", "3.6-32"}});
    EXPECT_EQ(r.exit_code, 101u);
    EXPECT_EQ(r.err, "Unable to create process using '\"C:\\Z 36\\Vornix\\win32\\zelkor.exe\" C:\\d\\tool-script.zk '\n");
}

TEST_F(Discovery, ConfiguredDefaultsDecide) {
    install_stub("C:\\Z27\\zelkor.exe");
    install_stub("C:\\Z36\\zelkor.exe");
    install_stub("C:\\Z39\\zelkor.exe");
    wine::reg_import(registered(hkcu, "2.7", "C:\\Z27") + registered(hkcu, "3.6", "C:\\Z36") +
                     registered(hklm, "3.9", "C:\\Z39"));
    EXPECT_EQ(wine::run("C:\\d\\tool.exe").out, ran("C:\\Z39\\zelkor.exe C:\\d\\tool-script.zk "));
    EXPECT_EQ(wine::run("C:\\d\\tool.exe", {{"zk_zelkor", "3.6"}}).out,
              ran("C:\\Z36\\zelkor.exe C:\\d\\tool-script.zk "));
    wine::write_file("C:\\d\\zk.ini", "[defaults]\r\nzelkor=2\r\n");
    EXPECT_EQ(wine::run("C:\\d\\tool.exe").out, ran("C:\\Z27\\zelkor.exe C:\\d\\tool-script.zk "));
    wine::write_file(wine::local_appdata() + "\\zk.ini", "[defaults]\r\nzelkor = 3.6\r\n");
    EXPECT_EQ(wine::run("C:\\d\\tool.exe").out, ran("C:\\Z36\\zelkor.exe C:\\d\\tool-script.zk "));
    // The environment comes before both files.
    EXPECT_EQ(wine::run("C:\\d\\tool.exe", {{"zk_zelkor", "3.9"}}).out,
              ran("C:\\Z39\\zelkor.exe C:\\d\\tool-script.zk "));
}

TEST_F(Discovery, NothingInstalledIs103) {
    wine::Result r = wine::run("C:\\d\\tool.exe");
    EXPECT_EQ(r.exit_code, 103u);
    EXPECT_EQ(r.err, "Can't find a default Zelkor.\n");
}

}  // namespace
