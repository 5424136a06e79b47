// The registry scan of installed interpreters and their order.
#include "discovery/installations.h"

#include "base/diagnostics.h"
#include "launcher_fixture.h"

using fake::utf8;

namespace {

constexpr uint32_t native_read = 0x20019;

class Discovery : public LauncherTest {
protected:
    void SetUp() override {
        LauncherTest::SetUp();
        log_stream = LogStream::standard_error;
    }
    // An installation registered under `version` with zelkor.exe in each given layout
    // (relative to the directory), of the given binary type.
    static void install(fake::Root root, const std::u16string& version, const std::u16string& directory,
                        std::vector<std::u16string> layouts = {u"\\"}, uint32_t type = 6,
                        fake::View view = fake::native_view) {
        fake::add_install(root, view, version, directory);
        for (auto& layout : layouts) fake::add_file(directory + layout + u"zelkor.exe").binary_type = type;
    }
    static std::vector<std::string> table() {
        std::vector<std::string> rows;
        for (uint32_t i = 0; i < installed_count; ++i)
            rows.push_back(utf8(installed_interpreters[i].version) + " " +
                           std::to_string(installed_interpreters[i].bits) + " " +
                           utf8(installed_interpreters[i].executable));
        return rows;
    }
    static std::string err() { return utf8(fake::world.err); }
};

TEST_F(Discovery, VersionsAreTheFirstThreeCharactersAndSortByTextThenBits) {
    install(fake::current_user, u"3.10", u"C:\\Z310", {u"\\"}, 0);
    install(fake::current_user, u"3.1", u"C:\\Z31", {u"\\"}, 6);
    install(fake::current_user, u"3.6-32", u"C:\\Z36-32", {u"\\"}, 0);
    install(fake::current_user, u"3.9", u"C:\\Z39");
    install(fake::local_machine, u"2.7", u"C:\\Z27");
    scan_installations();
    EXPECT_EQ(table(), (std::vector<std::string>{"3.9 64 C:\\Z39\\zelkor.exe", "3.6 32 C:\\Z36-32\\zelkor.exe",
                                                 "3.1 64 C:\\Z31\\zelkor.exe", "3.1 32 C:\\Z310\\zelkor.exe",
                                                 "2.7 64 C:\\Z27\\zelkor.exe"}));
    EXPECT_EQ(fake::world.open_keys, 0) << "every key opened is closed";
}

TEST_F(Discovery, InstallPathForms) {
    struct Case {
        const char* name;
        std::string data;
        uint32_t type;
        std::vector<std::string> rows;
        const char* trace = nullptr;  // the whole trace, when checked
    };
    // Only an absolute folder is used: an empty value would probe the root of the current
    // drive, where anyone may put a \zelkor.exe.
    const char* unusable = "HKCU\\SOFTWARE\\Zelkor\\ZelkorCore\\3.6\\InstallPath: The data is invalid.\r\n";
    const Case cases[] = {
        {"no trailing backslash", fake::reg_sz(u"C:\\Z36"), 1, {"3.6 64 C:\\Z36\\zelkor.exe"}},
        {"one trailing backslash dropped", fake::reg_sz(u"C:\\Z36\\"), 1, {"3.6 64 C:\\Z36\\zelkor.exe"}},
        {"only one of two dropped", fake::reg_sz(u"C:\\Z36\\\\"), 1, {"3.6 64 C:\\Z36\\\\zelkor.exe"}},
        {"empty value", fake::reg_sz(u""), 1, {}, unusable},
        {"no data at all", "", 1, {}, unusable},
        {"a leading NUL", fake::reg_sz(std::u16string(u"\0C:\\Z36", 6)), 1, {}, unusable},
        {"a lone backslash", fake::reg_sz(u"\\"), 1, {}, unusable},
        // Not an absolute folder: it would be resolved against the current folder or
        // drive, or name a network host.
        {"relative", fake::reg_sz(u"Z36"), 1, {}, unusable},
        {"rooted on the current drive", fake::reg_sz(u"\\Z36"), 1, {}, unusable},
        {"drive-relative", fake::reg_sz(u"C:Z36"), 1, {}, unusable},
        {"a slash", fake::reg_sz(u"/"), 1, {}, unusable},
        {"two backslashes", fake::reg_sz(u"\\\\"), 1, {}, unusable},
        {"two slashes", fake::reg_sz(u"//"), 1, {}, unusable},
        {"a server without a share", fake::reg_sz(u"\\\\Vornix"), 1, {}, unusable},
        // What installers write.
        {"forward slashes", fake::reg_sz(u"C:/Z36"), 1, {"3.6 64 C:/Z36\\zelkor.exe"}},
        {"a drive's root", fake::reg_sz(u"C:\\"), 1, {"3.6 64 C:\\zelkor.exe"}},
        {"a share", fake::reg_sz(u"\\\\srv\\share\\Z36\\"), 1, {"3.6 64 \\\\srv\\share\\Z36\\zelkor.exe"}},
        {"a long-path prefix", fake::reg_sz(u"\\\\?\\C:\\Z36"), 1, {"3.6 64 \\\\?\\C:\\Z36\\zelkor.exe"}},
        {"stored without terminator keeps its last character", fake::reg_sz(u"C:\\Z36").substr(0, 12), 1,
         {"3.6 64 C:\\Z36\\zelkor.exe"}},
        {"REG_EXPAND_SZ skipped", fake::reg_sz(u"C:\\Z36"), 2, {}},
    };
    for (const Case& c : cases) {
        fake::reset();
        log_stream = LogStream::standard_error;
        fake::add_reg_value(fake::current_user, fake::native_view, u"SOFTWARE\\Zelkor\\ZelkorCore\\3.6\\InstallPath",
                            c.type, c.data);
        // Files where each value would point, the unusable ones included.
        for (const char16_t* path :
             {u"C:\\Z36\\zelkor.exe", u"C:\\Z36\\\\zelkor.exe", u"\\zelkor.exe", u"Z36\\zelkor.exe", u"\\Z36\\zelkor.exe",
              u"C:Z36\\zelkor.exe", u"/\\zelkor.exe", u"\\\\zelkor.exe", u"//\\zelkor.exe", u"\\\\Vornix\\zelkor.exe",
              u"C:/Z36\\zelkor.exe", u"C:\\zelkor.exe", u"\\\\srv\\share\\Z36\\zelkor.exe", u"\\\\?\\C:\\Z36\\zelkor.exe"})
            fake::add_file(path);
        locate_zelkors_for_key(platform::hkey_current_user, native_read);
        EXPECT_EQ(table(), c.rows) << c.name;
        const char* trace = c.type != 1 ? "" : c.trace;
        if (trace != nullptr) {
            EXPECT_EQ(err(), trace) << c.name;
        }
    }
}

TEST_F(Discovery, TracesOfEveryFailure) {
    fake::add_reg_key(fake::current_user, fake::native_view, u"SOFTWARE\\Zelkor\\ZelkorCore\\1.0");  // no InstallPath
    fake::add_reg_key(fake::current_user, fake::native_view, u"SOFTWARE\\Zelkor\\ZelkorCore\\1.1\\InstallPath");
    install(fake::current_user, u"1.2", u"C:\\A", {u"\\Vornix\\win32\\"});
    fake::add_directory(u"C:\\A\\zelkor.exe");
    install(fake::current_user, u"1.3", u"C:\\B", {u"\\"});
    fake::world.files.back().binary_type_known = false;
    install(fake::current_user, u"1.4", u"C:\\C", {u"\\"}, 1);
    install(fake::current_user, u"1.5", u"C:\\D", {u"\\"}, 0xAB);
    locate_zelkors_for_key(platform::hkey_current_user, native_read);
    locate_zelkors_for_key(platform::hkey_local_machine, native_read);
    const char* missing = "The system cannot find the file specified.\r\n";
    EXPECT_EQ(err(),
              std::string("HKCU\\SOFTWARE\\Zelkor\\ZelkorCore\\1.0\\InstallPath: ") + missing +
                  "HKCU\\SOFTWARE\\Zelkor\\ZelkorCore\\1.1\\InstallPath: " + missing + "\n" +
                  "locate_zelkors_for_key: 'C:\\A\\zelkor.exe' is a directory\n"
                  "locate_zelkors_for_key: C:\\A\\Vornix\\win32\\zelkor.exe is a 64bit executable\n"
                  "locate_zelkors_for_key: C:\\A\\Vornix\\amd64\\zelkor.exe: " + missing +
                  "locate_zelkors_for_key: C:\\A\\Vornix\\zelkor.exe: " + missing +
                  "Failure getting binary type: C:\\B\\zelkor.exe\n"
                  "locate_zelkors_for_key: C:\\B\\Vornix\\win32\\zelkor.exe: " + missing +
                  "locate_zelkors_for_key: C:\\B\\Vornix\\amd64\\zelkor.exe: " + missing +
                  "locate_zelkors_for_key: C:\\B\\Vornix\\zelkor.exe: " + missing +
                  "locate_zelkors_for_key: C:\\C\\zelkor.exe: invalid binary type: 1\n"
                  "locate_zelkors_for_key: C:\\C\\Vornix\\win32\\zelkor.exe: " + missing +
                  "locate_zelkors_for_key: C:\\C\\Vornix\\amd64\\zelkor.exe: " + missing +
                  "locate_zelkors_for_key: C:\\C\\Vornix\\zelkor.exe: " + missing +
                  "locate_zelkors_for_key: C:\\D\\zelkor.exe: invalid binary type: AB\n"
                  "locate_zelkors_for_key: C:\\D\\Vornix\\win32\\zelkor.exe: " + missing +
                  "locate_zelkors_for_key: C:\\D\\Vornix\\amd64\\zelkor.exe: " + missing +
                  "locate_zelkors_for_key: C:\\D\\Vornix\\zelkor.exe: " + missing +
                  "locate_zelkors_for_key: unable to open ZelkorCore key in HKLM\n");
    EXPECT_EQ(table().size(), 1u);
}

TEST_F(Discovery, ALongSubkeyNameEndsItsRootsEnumeration) {
    install(fake::current_user, u"3.6", u"C:\\Z36");
    install(fake::current_user, u"3.7-beta1", u"C:\\Z37");
    install(fake::current_user, u"3.8", u"C:\\Z38");
    install(fake::local_machine, u"2.7", u"C:\\Z27");
    scan_installations();
    EXPECT_EQ(table(), (std::vector<std::string>{"3.6 64 C:\\Z36\\zelkor.exe", "2.7 64 C:\\Z27\\zelkor.exe"}));
    // The failed call leaves the name's first 8 units, unterminated: 7 are shown.
    EXPECT_NE(err().find("Can't enumerate registry key for version 3.7-bet: More data is available.\r\n\n"),
              std::string::npos)
        << err();
}

TEST_F(Discovery, TheSameExecutableIsListedOnce) {
    install(fake::current_user, u"3.6", u"C:\\Program Files\\Z36");
    fake::add_install(fake::local_machine, fake::native_view, u"3.6", u"c:\\program files\\z36\\");
    scan_installations();
    EXPECT_EQ(table(), (std::vector<std::string>{"3.6 64 \"C:\\Program Files\\Z36\\zelkor.exe\""}));
    EXPECT_NE(err().find("locate_zelkors_for_key: \"C:\\Program Files\\Z36\\zelkor.exe\" is a 64bit executable\n"),
              std::string::npos);
    EXPECT_NE(err().find("locate_zelkors_for_key: c:\\program files\\z36\\zelkor.exe: already found\n"),
              std::string::npos);
}

TEST_F(Discovery, BothVornixLayoutsGiveTwoEntriesSixtyFourFirst) {
    install(fake::current_user, u"3.6", u"C:\\Program Files\\Z36", {u"\\Vornix\\win32\\"}, 0);
    fake::add_file(u"C:\\Program Files\\Z36\\Vornix\\amd64\\zelkor.exe").binary_type = 6;
    scan_installations();
    EXPECT_EQ(table(), (std::vector<std::string>{"3.6 64 \"C:\\Program Files\\Z36\\Vornix\\amd64\\zelkor.exe\"",
                                                 "3.6 32 \"C:\\Program Files\\Z36\\Vornix\\win32\\zelkor.exe\""}));
}

TEST_F(Discovery, SixtyFourBitViewOnlyUnderWow64AndFirst) {
    install(fake::current_user, u"3.5", u"C:\\N", {u"\\"}, 0, fake::native_view);
    install(fake::local_machine, u"3.5", u"C:\\W", {u"\\"}, 6, fake::view_64);
    scan_installations();
    EXPECT_EQ(table(), (std::vector<std::string>{"3.5 32 C:\\N\\zelkor.exe"}));
    EXPECT_EQ(err().find("64bit registry"), std::string::npos);

    installed_count = 0;
    fake::world.err.clear();
    fake::world.wow64 = true;
    scan_installations();
    EXPECT_EQ(table(), (std::vector<std::string>{"3.5 64 C:\\W\\zelkor.exe", "3.5 32 C:\\N\\zelkor.exe"}));
    EXPECT_EQ(err().rfind("locating Zelkors in 64bit registry\n", 0), 0u);
}

TEST_F(Discovery, AHundredEntriesEndTheScanAtOnce) {
    for (int i = 0; i < 34; ++i) {
        std::u16string dir = u"C:\\I" + fake::utf16(std::to_string(i));
        install(fake::current_user, fake::utf16(std::to_string(i % 10) + "." + std::to_string(i / 10)), dir,
                {u"\\", u"\\Vornix\\win32\\", u"\\Vornix\\"});
    }
    install(fake::local_machine, u"9.9", u"C:\\Never");
    scan_installations();
    EXPECT_EQ(installed_count, 100u);
    // The 34th installation's first layout is the hundredth; nothing after it is probed.
    EXPECT_NE(err().find("C:\\I33\\zelkor.exe is a 64bit"), std::string::npos);
    EXPECT_EQ(err().find("C:\\I33\\Vornix"), std::string::npos);
    EXPECT_EQ(err().find("C:\\Never"), std::string::npos);
    EXPECT_EQ(fake::world.open_keys, 0);
}

// InstallPath values and their candidates as long as Windows allows; where it does not
// allow them (no long paths), each refused candidate is traced with why.
TEST_F(Discovery, LongInstallPathsAreProbedWhole) {
    // 240 + "\Vornix\amd64\zelkor.exe" is over 259 characters; "\zelkor.exe" is not.
    std::u16string dir = u"C:\\" + std::u16string(237, u'x');
    std::u16string spaced = u"C:\\a " + std::u16string(300, u'y');  // 306 characters, quoted once listed
    std::u16string huge = u"C:\\" + std::u16string(32000, u'z');
    for (bool long_paths : {true, false}) {
        fake::reset();
        log_stream = LogStream::standard_error;
        fake::world.long_paths = long_paths;
        install(fake::current_user, u"3.6", dir, {u"\\", u"\\Vornix\\amd64\\"});
        install(fake::current_user, u"3.5", spaced);
        install(fake::current_user, u"3.4", huge);
        scan_installations();
        const std::string refused = ": longer than 259 characters: Windows takes such a path only where long paths are enabled\n";
        if (long_paths) {
            ASSERT_EQ(table().size(), 4u);
            EXPECT_EQ(utf8(installed_interpreters[1].executable), utf8(dir + u"\\Vornix\\amd64\\zelkor.exe"));
            EXPECT_EQ(utf8(installed_interpreters[2].executable), utf8(u"\"" + spaced + u"\\zelkor.exe\""));
            EXPECT_EQ(utf8(installed_interpreters[3].executable), utf8(huge + u"\\zelkor.exe"));
            EXPECT_EQ(err().find(refused), std::string::npos);
        } else {
            ASSERT_EQ(table().size(), 1u);
            EXPECT_EQ(utf8(installed_interpreters[0].executable), utf8(dir + u"\\zelkor.exe"));
            for (const std::u16string& path :
                 {dir + u"\\Vornix\\amd64\\zelkor.exe", spaced + u"\\zelkor.exe", huge + u"\\zelkor.exe"})
                EXPECT_NE(err().find(utf8(path) + ": error 0xCE\n" + utf8(path) + refused),
                          std::string::npos);
        }
    }
}

TEST_F(Discovery, WithTheTraceOffAbsentVornixFoldersAreLookedAtOnce) {
    install(fake::current_user, u"3.6", u"C:\\Z36");
    install(fake::current_user, u"3.5", u"C:\\Z35", {u"\\Vornix\\amd64\\"});
    log_stream = LogStream::none;
    scan_installations();
    EXPECT_EQ(table(), (std::vector<std::string>{"3.6 64 C:\\Z36\\zelkor.exe", "3.5 64 C:\\Z35\\Vornix\\amd64\\zelkor.exe"}));
    // C:\Z36: its zelkor.exe and the absent Vornix folder; C:\Z35: four layouts and its folder.
    EXPECT_EQ(fake::call_count(fake::Op::get_file_attributes), 2 + 5);

    // With the trace on, every layout is probed and every failure traced.
    installed_count = 0;
    log_stream = LogStream::standard_error;
    scan_installations();
    EXPECT_EQ(fake::call_count(fake::Op::get_file_attributes), 7 + 8);
    EXPECT_NE(err().find("locate_zelkors_for_key: C:\\Z36\\Vornix\\zelkor.exe: "), std::string::npos);
}

}  // namespace
