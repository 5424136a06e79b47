// The script's first bytes deciding the interpreter, under Wine.
#include "e2e/e2e_fixture.h"

namespace {

class Script : public EndToEnd {
protected:
    void SetUp() override {
        EndToEnd::SetUp();
        install_stub("C:\\Z36\\zelkor.exe");
        install_stub("C:\\Z27\\zelkor.exe");
        host::reg_import(
            "[HKEY_CURRENT_USER\\SOFTWARE\\Zelkor\\ZelkorCore\\3.6\\InstallPath]\r\n@=\"C:\\\\Z36\"\r\n\r\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Zelkor\\ZelkorCore\\2.7\\InstallPath]\r\n@=\"C:\\\\Z27\\\\\"\r\n\r\n");
    }
    static host::Result run_script(const std::string& bytes, const std::string& command_line = "C:\\d\\tool.exe a",
                                   const host::Environment& env = {}, const host::Environment& spawn = {}) {
        host::write_file("C:\\d\\tool-script.zk", bytes);
        return host::run(command_line, env, "", spawn);
    }
};

// The code points of UTF-8 text (well-formed, as the tests write it).
std::u32string code_points(const std::string& utf8) {
    std::u32string r;
    for (size_t i = 0; i < utf8.size();) {
        unsigned char c = utf8[i];
        int extra = c < 0x80 ? 0 : c < 0xE0 ? 1 : c < 0xF0 ? 2 : 3;
        char32_t cp = extra == 0 ? c : c & (0x3F >> extra);
        for (int k = 1; k <= extra; ++k) cp = (cp << 6) | (utf8[i + k] & 0x3F);
        r += cp;
        i += extra + 1;
    }
    return r;
}

// UTF-8 text re-encoded as UTF-16 or UTF-32 bytes, without a byte-order mark.
std::string utf16(const std::string& utf8, bool big_endian) {
    std::string r;
    auto unit = [&](char16_t u) { r += big_endian ? std::string{char(u >> 8), char(u)} : std::string{char(u), char(u >> 8)}; };
    for (char32_t cp : code_points(utf8)) {
        if (cp < 0x10000) {
            unit(char16_t(cp));
        } else {
            unit(char16_t(0xD800 + ((cp - 0x10000) >> 10)));
            unit(char16_t(0xDC00 + ((cp - 0x10000) & 0x3FF)));
        }
    }
    return r;
}
std::string utf32(const std::string& utf8, bool big_endian) {
    std::string r;
    for (char32_t cp : code_points(utf8))
        for (int i = 0; i < 4; ++i) r += char(cp >> 8 * (big_endian ? 3 - i : i));
    return r;
}

TEST_F(Script, TheDoneWhenCase) {
    host::Result r = run_script("#!/usr/bin/env zelkor3 -u\r\nprint()\r\n");
    EXPECT_EQ(r.exit_code, 0u) << r.err;
    EXPECT_EQ(r.out, ran("C:\\Z36\\zelkor.exe -u C:\\d\\tool-script.zk a"));
}

// `line` (UTF-8) as a script in each encoding the launcher reads: plain UTF-8 and the
// five byte order marks.
std::vector<std::pair<const char*, std::string>> in_every_encoding(const std::string& line) {
    return {
        {"UTF-8", line},
        {"UTF-8 mark", "\xEF\xBB\xBF" + line},
        {"UTF-16LE", "\xFF\xFE" + utf16(line, false)},
        {"UTF-16BE", "\xFE\xFF" + utf16(line, true)},
        {"UTF-32LE", std::string("\xFF\xFE\0\0", 4) + utf32(line, false)},
        {"UTF-32BE", std::string("\0\0\xFE\xFF", 4) + utf32(line, true)},
    };
}

TEST_F(Script, EveryByteOrderMark) {
    for (auto& [name, bytes] : in_every_encoding("#!zelkor2 -x\r\n"))
        EXPECT_EQ(run_script(bytes).out, ran("C:\\Z27\\zelkor.exe -x C:\\d\\tool-script.zk a")) << name;
}

// Interpreter paths with letters beyond ASCII and a character beyond U+FFFF, in every
// encoding. "č" is U+010D, whose UTF-16LE bytes 0D 01 hold a CR byte: cut there, the line
// would name C:\zkt\Ko, and C:\zkt\Ko.exe (another program) would run.
TEST_F(Script, AShebangPathBeyondAscii) {
    host::copy_file(host::native_build("spawn.exe"), "C:\\zkt\\Ko.exe");
    for (const std::string path : {"C:\\zkt\\Ko\xC4\x8D\xC3\xAD\\zelkor.exe",                  // Kočí
                                   "C:\\zkt\\\xC5\xBDlu\xC5\xA5\xF0\x9F\x98\x80\\zelkor.exe"}) {  // Žluť, U+1F600
        install_stub(path);
        for (auto& [name, bytes] : in_every_encoding("#!" + path + " -x\r\n"))
            EXPECT_EQ(run_script(bytes).out, ran(path + " -x C:\\d\\tool-script.zk a")) << name << " " << path;
    }
}

TEST_F(Script, ACompiledScriptRunsUnderItsVersion) {
    host::Result r = run_script(std::string("\x33\x0D\x0D\x0A", 4) + std::string(64, '\0'));
    EXPECT_EQ(r.out, ran("C:\\Z36\\zelkor.exe C:\\d\\tool-script.zk a"));
}

TEST_F(Script, EnvZelkorPrefersThePath) {
    install_stub("C:\\onpath\\zelkor.exe");
    host::Result r = run_script("#!/usr/bin/env zelkor\n", "C:\\d\\tool.exe a", {}, {{"ZKSPAWN_PATH", "C:\\onpath"}});
    EXPECT_EQ(r.out, ran("C:\\onpath\\zelkor.exe C:\\d\\tool-script.zk a"));
    // Not on the path: the registry, major 2 first.
    EXPECT_EQ(run_script("#!/usr/bin/env zelkor\n").out, ran("C:\\Z27\\zelkor.exe C:\\d\\tool-script.zk a"));
}

TEST_F(Script, CustomCommandsFromBothFiles) {
    install_stub("C:\\tools\\g.exe");
    install_stub("C:\\tools\\l.exe");
    host::write_file("C:\\d\\zk.ini", "[commands]\r\nglobaltool=C:\\tools\\g.exe --from-global\r\nboth=C:\\tools\\g.exe\r\n");
    host::write_file(host::local_appdata() + "\\zk.ini", "[commands]\r\nBOTH=C:\\tools\\l.exe\r\n");
    EXPECT_EQ(run_script("#!globaltool -v\n").out,
              ran("C:\\tools\\g.exe --from-global -v C:\\d\\tool-script.zk a"));
    EXPECT_EQ(run_script("#!/usr/bin/env both -w\n").out, ran("C:\\tools\\l.exe -w C:\\d\\tool-script.zk a"));
}

TEST_F(Script, OneDigitVersionHonoursZkZelkor3) {
    install_stub("C:\\Z39\\zelkor.exe");
    host::reg_import("[HKEY_CURRENT_USER\\SOFTWARE\\Zelkor\\ZelkorCore\\3.9\\InstallPath]\r\n@=\"C:\\\\Z39\"\r\n\r\n");
    EXPECT_EQ(run_script("#!zelkor3\n").out, ran("C:\\Z39\\zelkor.exe C:\\d\\tool-script.zk a"));
    EXPECT_EQ(run_script("#!zelkor3\n", "C:\\d\\tool.exe a", {{"zk_zelkor3", "3.6"}}).out,
              ran("C:\\Z36\\zelkor.exe C:\\d\\tool-script.zk a"));
    host::write_file("C:\\d\\zk.ini", "[defaults]\r\nzelkor3=3.6\r\n");
    EXPECT_EQ(run_script("#!zelkor3\n").out, ran("C:\\Z36\\zelkor.exe C:\\d\\tool-script.zk a"));
}

TEST_F(Script, FatalShebangs) {
    host::Result r = run_script("#!zelkor3.10\n");
    EXPECT_EQ(r.exit_code, 102u);
    EXPECT_EQ(r.err,
              "Invalid version specification: '3.10'.\n"
              "In the first line of the script, 'zelkor' needs to be followed by a valid version specifier.\n"
              "Please check the documentation.\n");
    r = run_script("#!/usr/bin/zelkor3.5\n");
    EXPECT_EQ(r.exit_code, 103u);
    EXPECT_EQ(r.err, "Requested Zelkor version (3.5) is not installed\n");
    r = run_script("#!nowhere-tool -x\n");
    EXPECT_EQ(r.exit_code, 101u);
    EXPECT_EQ(r.err, "Unable to create process using 'nowhere-tool -x C:\\d\\tool-script.zk a'\n");
    EXPECT_EQ(r.out, "");
}

// The user stands in C:\work\sub, where a copy of another program (the spawn helper, which
// exits with 2 and prints nothing) lies under every name a first line might give: none
// of them ever runs. PATH holds C:\pathdir, or only relative entries.
TEST_F(Script, OnlyTheProgramTheScriptNamesRuns) {
    struct Case {
        std::string first_line;
        std::string path;  // put before Wine's PATH
        uint32_t code;
        std::string out_or_err;
    };
    const std::string tail = " C:\\d\\tool-script.zk a";
    const Case cases[] = {
        {"#!/usr/bin/env zelkor", "C:\\pathdir", 0, ran("C:\\pathdir\\zelkor.exe" + tail)},
        {"#!/usr/bin/env zelkor", "C:\\empty", 0, ran("C:\\Z27\\zelkor.exe" + tail)},  // the registry's default
        {"#!nowhere-tool -x", "C:\\pathdir", 101, "Unable to create process using 'nowhere-tool -x" + tail + "'\n"},
        {"#!mytool -x", "C:\\pathdir", 0, ran("mytool.exe --flag -x" + tail)},  // mytool=mytool.exe --flag
        {"#!tool2", ".;bin;..\\sub", 101, "Unable to create process using 'tool2" + tail + "'\n"},
        {"#!.\\local.exe -x", "C:\\pathdir", 0, ran("C:\\d\\local.exe -x" + tail)},
        {"#!..\\rt\\zelkor.exe", "C:\\pathdir", 0, ran("C:\\rt\\zelkor.exe" + tail)},
        {"#!rt/zelkor.exe -y", "C:\\pathdir", 0, ran("C:\\d\\rt\\zelkor.exe -y" + tail)},
        {"#!ownfolder -x", "C:\\pathdir", 0, ran("C:\\d\\ownfolder.exe -x" + tail)},
        {"#!my tool.exe -x", "C:\\pathdir", 0, ran("my tool.exe -x" + tail)},  // not C:\work\sub\my.exe
        {"#!\"C:\\zkt\\My Tools\\q.exe\" -x", "C:\\pathdir", 0, ran("\"C:\\zkt\\My Tools\\q.exe\" -x" + tail)},
        {"#!batty -x", "C:\\pathdir", 0, "batty -x" + tail + "\r\n"},
        {"#!cbat -x", "C:\\pathdir", 0, "batty --flag -x" + tail + "\r\n"},  // cbat=cbat.cmd --flag
        // Rooted on no drive: whatever a user planted in the root of the drive never runs.
        {"#!/usr/bin/env nowhere-tool -x", "C:\\pathdir", 101,
         "Unable to create process using '/usr/bin/env nowhere-tool -x" + tail + "'\n"},
        {"#!/usr/bin/nowhere-tool", "C:\\pathdir", 101, "Unable to create process using '/usr/bin/nowhere-tool" + tail + "'\n"},
        {"#!rootcmd -x", "C:\\pathdir", 101, "Unable to create process using '\\zkt\\rooted\\r.exe --flag -x" + tail + "'\n"},
        // A batch file run by the system folder's cmd.exe, its path quoted whatever it holds.
        {"#!/usr/bin/env mybat -x", "C:\\zkt\\R&D\\bin", 0, "batty -x" + tail + "\r\n"},
        {"#!C:\\zkt\\R&D\\bin\\tool.bat. -x", "C:\\pathdir", 0, "batty -x" + tail + "\r\n"},
        {"#!C:\\zkt\\p%c\\pct.cmd", "C:\\pathdir", 101,
         "Unable to create process using '\"C:\\zkt\\p%c\\pct.cmd\"" + tail + "'\n"},
    };
    const std::string decoy = host::native_build("spawn.exe");
    for (const char* name : {"zelkor.exe", "nowhere-tool.exe", "mytool.exe", "tool2.exe", "bin\\tool2.exe",
                             "local.exe", "rt\\zelkor.exe", "ownfolder.exe", "my.exe"})
        host::copy_file(decoy, std::string("C:\\work\\sub\\") + name);
    host::copy_file(decoy, "C:\\work\\rt\\zelkor.exe");
    for (const char* planted : {"C:\\usr\\bin\\env.exe", "C:\\usr\\bin\\nowhere-tool.exe", "C:\\zkt\\rooted\\r.exe"})
        host::copy_file(decoy, planted);
    host::write_file("C:\\work\\sub\\batty.cmd", "@echo decoy\r\n");
    host::write_file("C:\\work\\sub\\cbat.cmd", "@echo decoy\r\n");
    for (const char* stub : {"C:\\pathdir\\zelkor.exe", "C:\\pathdir\\mytool.exe", "C:\\d\\local.exe", "C:\\rt\\zelkor.exe",
                             "C:\\d\\rt\\zelkor.exe", "C:\\d\\ownfolder.exe", "C:\\pathdir\\my tool.exe",
                             "C:\\zkt\\My Tools\\q.exe"})
        install_stub(stub);
    host::write_file("C:\\pathdir\\batty.cmd", "@echo batty %*\r\n");
    host::write_file("C:\\pathdir\\cbat.cmd", "@echo batty %*\r\n");
    for (const char* batch : {"C:\\zkt\\R&D\\bin\\mybat.cmd", "C:\\zkt\\R&D\\bin\\tool.bat", "C:\\zkt\\p%c\\pct.cmd"})
        host::write_file(batch, "@echo batty %*\r\n");
    host::write_file("C:\\d\\zk.ini",
                     "[commands]\r\nmytool=mytool.exe --flag\r\ncbat=cbat.cmd --flag\r\nrootcmd=\\zkt\\rooted\\r.exe --flag\r\n");
    for (bool windowless : {false, true}) {
        install_launcher("C:\\d\\tool.exe", windowless);
        for (const Case& c : cases) {
            host::Environment spawn = {{"ZKSPAWN_DIR", "C:\\work\\sub"}, {"ZKSPAWN_PATH", c.path}};
            host::Result r = run_script(c.first_line + "\n", "C:\\d\\tool.exe a", {}, spawn);
            std::string what = c.first_line + (windowless ? " (windowless)" : "");
            EXPECT_EQ(r.exit_code, c.code) << what << "\n" << r.err;
            EXPECT_EQ(c.code == 0 ? r.out : r.err, c.out_or_err) << what;
        }
        // The script's own path, where the command interpreter would split it, quoted.
        install_launcher("C:\\zkt\\a&b\\tool.exe", windowless);
        host::write_file("C:\\zkt\\a&b\\tool-script.zk", "#!/usr/bin/env mybat -x\n");
        host::Result r = host::run("C:\\zkt\\a&b\\tool.exe a", {}, "",
                                   {{"ZKSPAWN_DIR", "C:\\work\\sub"}, {"ZKSPAWN_PATH", "C:\\zkt\\R&D\\bin"}});
        EXPECT_EQ(r.out, "batty -x \"C:\\zkt\\a&b\\tool-script.zk\" a\r\n") << r.err;
    }
}

// A batch file runs under the system's cmd.exe, started by the launcher with /s /c and
// every argument written for cmd: an argument its caller escaped for an ordinary program
// ("\"&echo ..."), a word of env holding "&", a folder holding "&" reach the batch file
// whole and run nothing; a "%", which cmd expands even inside quotes (and this Wine's cmd
// however it is written), ends the run with 101, nothing started. On both launchers.
TEST_F(Script, BatchFilesGetEveryArgumentAsMeant) {
    struct Case {
        std::string launcher;  // the launcher's folder
        std::string first_line;
        std::string arguments;  // the user's, as typed
        uint32_t code;
        std::string out_or_err;
    };
    const std::string tail = " C:\\d\\tool-script.zk";
    const std::string mybat = "\"C:\\zkt\\R&D\\bin\\mybat.cmd\"";
    const Case cases[] = {
        {"C:\\d", "#!/usr/bin/env mybat -x", "\"\\\"&echo INJECTED\"", 0,
         "batty -x" + tail + " \"\"\"&echo INJECTED\"\r\n"},
        {"C:\\d", "#!/usr/bin/env mybat -x", "a&b \"x y\" \"\" ^c", 0, "batty -x" + tail + " \"a&b\" \"x y\" \"\" \"^c\"\r\n"},
        {"C:\\d", "#!/usr/bin/env -S mybat 'a&b' ${ZKT_UNSET}", "z", 0, "batty \"a&b\"" + tail + " z\r\n"},
        {"C:\\d", "#!/usr/bin/env mybat -x", "50%ZKW%", 101,
         "Unable to create process using '" + mybat + " -x" + tail + " 50%ZKW%'\n"},
        {"C:\\zkt\\p%ZKW%", "#!/usr/bin/env mybat -x", "a", 101,
         "Unable to create process using '" + mybat + " -x C:\\zkt\\p%ZKW%\\tool-script.zk a'\n"},
        {"C:\\zkt\\a&b", "#!/usr/bin/env mybat -x", "a", 0, "batty -x \"C:\\zkt\\a&b\\tool-script.zk\" a\r\n"},
    };
    host::write_file("C:\\zkt\\R&D\\bin\\mybat.cmd", "@echo batty %*\r\n");
    for (bool windowless : {false, true}) {
        for (const Case& c : cases) {
            install_launcher(c.launcher + "\\tool.exe", windowless);
            host::write_file(c.launcher + "\\tool-script.zk", c.first_line + "\n");
            host::Result r = host::run(c.launcher + "\\tool.exe " + c.arguments, {{"ZKW", "x"}}, "",
                                       {{"ZKSPAWN_PATH", "C:\\zkt\\R&D\\bin"}});
            std::string what = c.first_line + " " + c.arguments + (windowless ? " (windowless)" : "");
            EXPECT_EQ(r.exit_code, c.code) << what << "\n" << r.err;
            EXPECT_EQ(c.code == 0 ? r.out : r.err, c.out_or_err) << what;
            if (c.code != 0) {
                EXPECT_EQ(r.out, "") << what;
            }
        }
        // The trace shows the whole line handed to the system folder's cmd.exe.
        install_launcher("C:\\d\\tool.exe", windowless);
        host::write_file("C:\\d\\tool-script.zk", "#!/usr/bin/env mybat -x\n");
        host::Result r = host::run("C:\\d\\tool.exe a", {{"ZKLAUNCH_DEBUG", "1"}}, "",
                                   {{"ZKSPAWN_PATH", "C:\\zkt\\R&D\\bin"}});
        EXPECT_EQ(r.out, "batty -x" + tail + " a\r\n") << r.err;
        const std::string line = "\\cmd.exe\" /d /e:on /v:off /s /c \"" + mybat + " -x" + tail + " a\"'\n";
        size_t about = r.err.find("run_child: about to run '\"");
        ASSERT_NE(about, std::string::npos) << r.err;
        std::string traced = r.err.substr(about, r.err.find('\n', about) + 1 - about);
        EXPECT_TRUE(traced.ends_with(line)) << traced;
        EXPECT_NE(traced.find("system32\\cmd.exe\" /d"), std::string::npos) << traced;  // any case of the folder
    }
}

// A VIRTUAL_ENV that is not an absolute folder (relative, rooted, drive-relative) names one
// through where the user stands: passed over, whatever lies there; the registry's default.
TEST_F(Script, AVirtualEnvThatIsNotAbsoluteIsPassedOver) {
    const std::string decoy = host::native_build("spawn.exe");
    host::copy_file(decoy, "C:\\zkt\\cwd\\venv\\Scripts\\zelkor.exe");
    for (const char* venv : {"venv", "\\zkt\\cwd\\venv", "C:venv"}) {
        host::Result r = run_script("", "C:\\d\\tool.exe a", {{"VIRTUAL_ENV", venv}}, {{"ZKSPAWN_DIR", "C:\\zkt\\cwd"}});
        EXPECT_EQ(r.exit_code, 0u) << venv;
        EXPECT_EQ(r.out, ran("C:\\Z36\\zelkor.exe C:\\d\\tool-script.zk a")) << venv;
    }
}

// env's words in a first line written for other systems, on both launchers.
TEST_F(Script, EnvWordsBeforeTheCommand) {
    struct Case {
        std::string first_line;
        uint32_t code;
        std::string out_or_err;
    };
    const std::string tail = " C:\\d\\tool-script.zk a";
    const std::string vars = "ZKT_A=x y\nZKT_B unset\n";
    const Case cases[] = {
        {"#!/usr/bin/env -S zelkor3 -X utf8", 0, ran("C:\\Z36\\zelkor.exe -X utf8" + tail) + "ZKT_A unset\nZKT_B=set\n"},
        {"#!/usr/bin/env ZKT_A=\"x y\" -u ZKT_B zelkor3", 0, ran("C:\\Z36\\zelkor.exe" + tail) + vars},
        {"#!/usr/bin/env -S ZKT_A=\"x y\" -uZKT_B zelkor -u", 0, ran("C:\\Z27\\zelkor.exe -u" + tail) + vars},
        {"#!/usr/bin/env -S ZKT_A='x y' ZKT_B= zelkor3 -c 'print(\"a b\")' ${ZKT_B}z", 0,
         ran("C:\\Z36\\zelkor.exe -c \"print(\\\"a b\\\")\" setz" + tail) + "ZKT_A=x y\nZKT_B=\n"},
        {"#!/usr/bin/env -S \"zelkor3\" \"x\\\\\" 'it\\'s'", 0, ran("C:\\Z36\\zelkor.exe x\\ it's" + tail) + "ZKT_A unset\nZKT_B=set\n"},
        // Without -S a Windows path is a value as written; -u of a variable that is not
        // there succeeds (Windows refuses the removal itself); ${NAME} unset makes no word.
        {"#!/usr/bin/env -u ZKT_NONE ZKT_A=\"C:\\Program Files\\Zelkor\" zelkor3 ${ZKT_NONE}", 0,
         ran("C:\\Z36\\zelkor.exe" + tail) + "ZKT_A=C:\\Program Files\\Zelkor\nZKT_B=set\n"},
        {"#!/usr/bin/env ZKT_A=C:\\tools\\new zelkor3", 0, ran("C:\\Z36\\zelkor.exe" + tail) + "ZKT_A=C:\\tools\\new\nZKT_B=set\n"},
        {"#!/usr/bin/env -S zelkor3 ${ZKT_NONE} -x", 0, ran("C:\\Z36\\zelkor.exe -x" + tail) + "ZKT_A unset\nZKT_B=set\n"},
        {"#!/usr/bin/env -S zelkor3 'x", 102,
         "Invalid words of env: a quote is not closed.\nIn the first line of the script, '#!/usr/bin/env -S zelkor3 'x', "
         "the words after '/usr/bin/env' are read as env -S reads them.\nPlease check the documentation.\n"},
        {"#!/usr/bin/env -i zelkor3", 102,
         "Unsupported option of env: '-i'.\nIn the first line of the script, '#!/usr/bin/env -i zelkor3', "
         "'/usr/bin/env' may be followed only by -S, -u NAME, NAME=VALUE and -- before the command.\n"
         "Please check the documentation.\n"},
    };
    for (bool windowless : {false, true}) {
        install_launcher("C:\\d\\tool.exe", windowless);
        for (const Case& c : cases) {
            host::Result r = run_script(c.first_line + "\r\n", "C:\\d\\tool.exe a",
                                        {{"ZKT_B", "set"}, {"ZKSTUB_PRINT", "ZKT_A;ZKT_B"}});
            std::string what = c.first_line + (windowless ? " (windowless)" : "");
            EXPECT_EQ(r.exit_code, c.code) << what << "\n" << r.err;
            EXPECT_EQ(c.code == 0 ? r.out : r.err, c.out_or_err) << what;
            if (c.code != 0) {
                EXPECT_EQ(r.out, "") << what;
            }
        }
    }
}

TEST_F(Script, NoShebangRunsZelkorInTheParentDirectory) {
    install_launcher("C:\\e\\d\\tool.exe");
    host::write_file("C:\\e\\d\\tool-script.zk", "print('no shebang')\n");
    install_stub("C:\\e\\zelkor.exe");
    EXPECT_EQ(host::run("C:\\e\\d\\tool.exe a").out, ran("C:\\e\\zelkor.exe C:\\e\\d\\tool-script.zk a"));
}

TEST_F(Script, OnlyBlanksAfterTheMarkTakeTheDefaultRoad) {
    EXPECT_EQ(run_script("#!   \n").out, ran("C:\\Z36\\zelkor.exe C:\\d\\tool-script.zk a"));
    install_stub("C:\\venv\\Scripts\\zelkor.exe");
    EXPECT_EQ(run_script("#!\n", "C:\\d\\tool.exe a", {{"VIRTUAL_ENV", "C:\\venv"}}).out,
              ran("C:\\venv\\Scripts\\zelkor.exe C:\\d\\tool-script.zk a"));
}

}  // namespace
