// The launcher under Wine: the raw command line reaching the child, exit codes, standard
// handles, the job, and the launcher's own fatal ends.
#include <algorithm>

#include "e2e/e2e_fixture.h"

namespace {

using Launcher = EndToEnd;

const host::Environment venv = {{"VIRTUAL_ENV", "C:\\venv"}};

TEST_F(Launcher, VirtualEnvRoadPassesTheUserArgumentsAsTyped) {
    install_stub("C:\\venv\\Scripts\\zelkor.exe");
    host::Result r = host::run("\"C:\\d\\tool.exe\"   a  \"b c\" ", venv);
    EXPECT_EQ(r.exit_code, 0u) << r.err;
    EXPECT_EQ(r.out, ran("C:\\venv\\Scripts\\zelkor.exe C:\\d\\tool-script.zk a  \"b c\" "));
    EXPECT_EQ(r.err, "");
}

TEST_F(Launcher, ALauncherDirectoryWithABlankQuotesTheScriptPath) {
    install_stub("C:\\venv\\Scripts\\zelkor.exe");
    install_launcher("C:\\my dir\\tool.exe");
    host::write_file("C:\\my dir\\tool-script.zk", "");
    host::Result r = host::run("\"C:\\my dir\\tool.exe\" x", venv);
    EXPECT_EQ(r.out, ran("C:\\venv\\Scripts\\zelkor.exe \"C:\\my dir\\tool-script.zk\" x"));
}

// With C:\zkt\My.exe present, an interpreter path "C:\zkt\My ..." that stood unquoted at
// the front of the child's command line would start C:\zkt\My.exe (the system tries the
// path's first word first); an empty InstallPath would probe the root of the current
// drive, where C:\zelkor.exe lies. Each road must run the interpreter it names.
TEST_F(Launcher, TheProgramNamedRunsNotOneThatAPathCutWouldName) {
    struct Case {
        const char* road;
        std::string interpreter, script;
        host::Environment env, spawn;
        uint32_t code;
        std::string out, err;
    };
    const std::string tail = " C:\\d\\tool-script.zk a";
    const std::string tools = "C:\\zkt\\My Tools\\mytool.exe";
    const std::string venv_zelkor = "C:\\zkt\\My Envs\\app\\Scripts\\zelkor.exe";
    const Case cases[] = {
        {"VIRTUAL_ENV", venv_zelkor, "", {{"VIRTUAL_ENV", "C:\\zkt\\My Envs\\app"}}, {}, 0,
         ran("\"" + venv_zelkor + "\"" + tail), ""},
        {"search path", tools, "#!mytool -x\n", {}, {{"ZKSPAWN_PATH", "C:\\zkt\\My Tools"}}, 0,
         ran("\"" + tools + "\" -x" + tail), ""},
        {"custom command", tools, "#!custom -x\n", {}, {}, 0, ran("\"" + tools + "\" -x" + tail), ""},
        {"empty InstallPath", "C:\\zelkor.exe", "", {}, {{"ZKSPAWN_DIR", "C:\\d"}}, 103, "",
         "Can't find a default Zelkor.\n"},
    };
    for (const Case& c : cases) {
        host::forget_files();
        host::reg_clean();
        install_launcher("C:\\d\\tool.exe");
        host::write_file("C:\\d\\tool-script.zk", c.script);
        host::write_file("C:\\d\\zk.ini", "[commands]\r\ncustom=\"" + tools + "\"\r\n");
        host::reg_import("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Zelkor\\ZelkorCore\\3.6\\InstallPath]\r\n@=\"\"\r\n\r\n");
        // Any other program will do: the spawn helper, which exits with 2 here.
        host::copy_file(host::native_build("spawn.exe"), "C:\\zkt\\My.exe");
        install_stub(c.interpreter);
        host::Result r = host::run("C:\\d\\tool.exe a", c.env, "", c.spawn);
        EXPECT_EQ(r.exit_code, c.code) << c.road;
        EXPECT_EQ(r.out, c.out) << c.road;
        EXPECT_EQ(r.err, c.err) << c.road;
    }
}

// However the launcher is started: by its short name (as a batch file's %~s0 does), or
// through a symbolic link to it (a package manager's bin folder), renamed or not, or a
// linked folder; both launchers, the interpreter of VIRTUAL_ENV in each case.
TEST_F(Launcher, FoundThroughItsShortName) {
    if (std::string why = host::missing(host::Feature::short_names); !why.empty()) GTEST_SKIP() << why;
    install_stub("C:\\venv\\Scripts\\zelkor.exe");
    for (bool windowless : {false, true}) {
        std::string what = windowless ? " (windowless)" : "";
        install_launcher("C:\\p\\longtoolname.exe", windowless);
        host::write_file("C:\\p\\longtoolname-script.zk", "");
        std::string short_name = host::short_path("C:\\p\\longtoolname.exe");
        ASSERT_NE(short_name.find('~'), std::string::npos) << "the volume makes 8.3 names, but gave none: " << short_name;
        // By the loader (or a parent) that hands that name on.
        host::Result r = host::run_by_loader(short_name, "a", venv);
        EXPECT_EQ(r.exit_code, 0u) << short_name << what << "\n" << r.err;
        EXPECT_EQ(r.out, ran("C:\\venv\\Scripts\\zelkor.exe C:\\p\\longtoolname-script.zk a")) << short_name << what;
    }
}

// Links as the host makes them: from the Unix side, Unix links that Wine follows as
// Windows follows file and folder links and junctions; inside Windows, its own symbolic
// links (CreateSymbolicLinkW) and a junction for the linked folder.
TEST_F(Launcher, FoundThroughALink) {
    if (std::string why = host::missing(host::Feature::links); !why.empty()) GTEST_SKIP() << why;
    install_stub("C:\\venv\\Scripts\\zelkor.exe");
    install_stub("C:\\zkt\\h\\helper.exe");
    const std::string venv_run = "C:\\venv\\Scripts\\zelkor.exe ";
    for (bool windowless : {false, true}) {
        std::string what = windowless ? " (windowless)" : "";
        for (const char* real : {"real", "real3", "real4"}) install_launcher("C:\\zkt\\" + std::string(real) + "\\tool.exe", windowless);
        host::write_file("C:\\zkt\\real\\tool-script.zk", "");
        host::write_file("C:\\zkt\\real4\\tool-script.zk", "#!zkhelper -x\n");
        host::write_file("C:\\zkt\\real4\\zk.ini", "[commands]\r\nzkhelper=C:\\zkt\\h\\helper.exe --ini\r\n");
        for (auto [target, link] : {std::pair{"C:\\zkt\\real\\tool.exe", "C:\\zkt\\bin\\tool.exe"},
                                    {"C:\\zkt\\real\\tool.exe", "C:\\zkt\\bin\\other.exe"},
                                    {"C:\\zkt\\real", "C:\\zkt\\lnk"},
                                    {"C:\\zkt\\real\\tool.exe", "C:\\zkt\\bin2\\tool.exe"},
                                    {"C:\\zkt\\real3\\tool.exe", "C:\\zkt\\bin3\\tool.exe"},
                                    {"C:\\zkt\\real4\\tool.exe", "C:\\zkt\\bin4\\tool.exe"}})
            ASSERT_EQ(host::symlink(target, link), "") << link;
        ASSERT_EQ(host::junction("C:\\zkt\\real", "C:\\zkt\\jct"), "");
        host::write_file("C:\\zkt\\bin2\\tool-script.zk", "");
        struct Case {
            const char* started;
            uint32_t code;
            std::string out_or_err;
        };
        const Case cases[] = {
            {"C:\\zkt\\bin\\tool.exe", 0, ran(venv_run + "C:\\zkt\\real\\tool-script.zk a")},
            {"C:\\zkt\\bin\\other.exe", 0, ran(venv_run + "C:\\zkt\\real\\tool-script.zk a")},  // the target's name
            {"C:\\zkt\\lnk\\tool.exe", 0, ran(venv_run + "C:\\zkt\\lnk\\tool-script.zk a")},   // a script beside it
            {"C:\\zkt\\jct\\tool.exe", 0, ran(venv_run + "C:\\zkt\\jct\\tool-script.zk a")},
            {"C:\\zkt\\bin2\\tool.exe", 0, ran(venv_run + "C:\\zkt\\bin2\\tool-script.zk a")},
            {"C:\\zkt\\bin3\\tool.exe", 105, "Script file 'C:\\zkt\\bin3\\tool-script.zk' is not present.\n"},
            {"C:\\zkt\\bin4\\tool.exe", 0, ran("C:\\zkt\\h\\helper.exe --ini -x C:\\zkt\\real4\\tool-script.zk a")},
        };
        for (const Case& c : cases) {
            host::Result r = host::run(std::string(c.started) + " a", venv);
            EXPECT_EQ(r.exit_code, c.code) << c.started << what << "\n" << r.err;
            EXPECT_EQ(c.code == 0 ? r.out : r.err, c.out_or_err) << c.started << what;
        }
    }
}

TEST_F(Launcher, ExitCodesPassThroughWhole) {
    install_stub("C:\\venv\\Scripts\\zelkor.exe");
    for (const char* code : {"0", "7", "103", "0xC0000005"}) {
        host::Environment env = venv;
        env.emplace_back("ZKSTUB_EXIT", code);
        EXPECT_EQ(host::run("C:\\d\\tool.exe", env).exit_code, std::stoul(code, nullptr, 0)) << code;
    }
}

TEST_F(Launcher, StandardInputAndOutputAreInherited) {
    install_stub("C:\\venv\\Scripts\\zelkor.exe");
    host::Environment env = venv;
    env.emplace_back("ZKSTUB_ECHO", "1");
    host::Result r = host::run("C:\\d\\tool.exe", env, "hello there\n");
    EXPECT_EQ(r.out, ran("C:\\venv\\Scripts\\zelkor.exe C:\\d\\tool-script.zk ") + "stdin: hello there\n");
}

TEST_F(Launcher, TraceGoesToStandardErrorAsUtf8) {
    install_stub("C:\\venv\\Scripts\\zelkor.exe");
    host::Environment env = venv;
    env.emplace_back("ZKLAUNCH_DEBUG", "1");
    host::Result r = host::run("C:\\d\\tool.exe \xC3\xA9t\xC3\xA9", env);
    EXPECT_NE(r.err.find(wow64() ? "launcher build: 32bit\n" : "launcher build: 64bit\n"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("Called with command line: \xC3\xA9t\xC3\xA9\n"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("child process exit code: 0\n"), std::string::npos) << r.err;
}

// Letters beyond ASCII and a character beyond U+FFFF (a surrogate pair in UTF-16), as
// UTF-8 on the Unix side.
const std::string kocsi = "Ko\xC4\x8D\xC3\xAD";  // Kočí
const std::string smile = "\xF0\x9F\x98\x80";     // U+1F600

TEST_F(Launcher, TextBeyondAsciiReachesTheChildAndTheTraceWhole) {
    const std::string folder = "C:\\zkt\\" + kocsi + smile, venv_folder = "C:\\zkt\\v\xC3\xA9" + smile;
    install_launcher(folder + "\\tool.exe");
    host::write_file(folder + "\\tool-script.zk", "");
    install_stub(venv_folder + "\\Scripts\\zelkor.exe");
    host::Result r = host::run(folder + "\\tool.exe " + kocsi + " " + smile,
                               {{"VIRTUAL_ENV", venv_folder}, {"ZKLAUNCH_DEBUG", "1"}});
    const std::string child =
        venv_folder + "\\Scripts\\zelkor.exe " + folder + "\\tool-script.zk " + kocsi + " " + smile;
    EXPECT_EQ(r.out, ran(child)) << r.err;
    for (const std::string& line : {"Called with command line: " + kocsi + " " + smile + "\n",
                                    "Using wrapped script file '" + folder + "\\tool-script.zk'\n",
                                    "Checking for Zelkor executable in virtual env '" + venv_folder + "'\n",
                                    "run_child: about to run '" + child + "'\n"})
        EXPECT_NE(r.err.find(line), std::string::npos) << line << "\n" << r.err;

    install_launcher(folder + "\\other.exe");
    r = host::run(folder + "\\other.exe");
    EXPECT_EQ(r.exit_code, 105u);
    EXPECT_EQ(r.err, "Script file '" + folder + "\\other-script.zk' is not present.\n");
}

// On a console the launcher writes Unicode (WriteConsoleW). Wine's console shows each
// UTF-16 unit of a surrogate pair as U+FFFD, so only letters of the first plane are
// compared there; redirected output is checked whole above.
TEST_F(Launcher, TheConsoleShowsTextBeyondAscii) {
    const std::string folder = "C:\\zkt\\" + kocsi;
    install_launcher(folder + "\\tool.exe");
    host::write_file(folder + "\\tool-script.zk", "");
    install_stub("C:\\venv\\Scripts\\zelkor.exe");
    host::Environment env = venv;
    env.emplace_back("ZKLAUNCH_DEBUG", "1");
    host::Result r = host::run_on_console(folder + "\\tool.exe " + kocsi, env, "child process exit code", "");
    EXPECT_EQ(r.exit_code, 0u) << r.out;
    EXPECT_NE(r.out.find("Called with command line: " + kocsi + "\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(ran("C:\\venv\\Scripts\\zelkor.exe " + folder + "\\tool-script.zk " + kocsi)),
              std::string::npos)
        << r.out;

    install_launcher(folder + "\\other.exe");
    r = host::run_on_console(folder + "\\other.exe", {}, "is not present.", "");
    EXPECT_EQ(r.exit_code, 105u);
    EXPECT_NE(r.out.find("Script file '" + folder + "\\other-script.zk' is not present.\n"), std::string::npos)
        << r.out;
}

// Ctrl+C typed at the console reaches the child, which handles it and exits with a code
// of its own; the launcher ignores the event, waits, and exits with that code.
TEST_F(Launcher, CtrlCReachesTheChildWhileTheLauncherWaits) {
    install_stub("C:\\venv\\Scripts\\zelkor.exe");
    host::Environment env = venv;
    env.emplace_back("ZKSTUB_CTRL", "42");
    env.emplace_back("ZKSTUB_SLEEP_MS", "30000");
    host::Result r = host::run_on_console("C:\\d\\tool.exe", env, "zelkor-stub: ", "C-c");
    EXPECT_NE(r.out.find("zelkor-stub: control event 0\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.exit_code, 42u) << r.out;
}

// The console window closed while the script cleans up (saving a buffer, a journal): the
// launcher stays until the script has ended in its own time, and exits with its code.
TEST_F(Launcher, TheConsoleClosedWhileTheScriptCleansUp) {
    if (std::string why = host::missing(host::Feature::console_close); !why.empty()) GTEST_SKIP() << why;
    install_stub("C:\\venv\\Scripts\\zelkor.exe");
    host::Environment env = venv;
    env.emplace_back("ZKSTUB_CTRL", "42");
    env.emplace_back("ZKSTUB_CLEANUP", "C:\\zktest\\cleanup.txt");
    env.emplace_back("ZKSTUB_SLEEP_MS", "30000");
    host::Result r = host::run_on_console("C:\\d\\tool.exe", env, "zelkor-stub: ", "close");
    EXPECT_EQ(host::read_file("C:\\zktest\\cleanup.txt"), "clean-up: begun\nclean-up: done\n");
    EXPECT_EQ(r.exit_code, 42u) << r.out;
}

// A fatal message of 20,000 characters on a real console arrives whole: before Windows 8 a
// console takes a write from a heap of 64 KiB and refuses a longer one outright.
TEST_F(Launcher, ALongFatalMessageReachesARealConsoleWhole) {
    if (std::string why = host::missing(host::Feature::console_screen); !why.empty()) GTEST_SKIP() << why;
    host::write_file("C:\\zkv\\Scripts\\zelkor.exe", "not a program");
    const std::string arguments(20000, 'a');
    host::Result r = host::run_on_console("C:\\d\\tool.exe " + arguments, {{"VIRTUAL_ENV", "C:\\zkv"}}, "", "");
    EXPECT_EQ(r.exit_code, 101u);
    EXPECT_NE(r.out.find("Unable to create process using 'C:\\zkv\\Scripts\\zelkor.exe C:\\d\\tool-script.zk " +
                         arguments + "'\n"),
              std::string::npos)
        << r.out.size() << " characters on the screen";
}

// A launcher signed as a release signs it (Authenticode, SHA-256, here with a throwaway
// authority of the test's own) runs its script as the unsigned one does.
TEST_F(Launcher, ASignedLauncherRunsItsScript) {
    if (std::string why = host::missing(host::Feature::signing); !why.empty()) GTEST_SKIP() << why;
    host::copy_file(host::signed_copy(host::launcher_exe()), "C:\\d\\tool.exe");
    install_stub("C:\\venv\\Scripts\\zelkor.exe");
    host::Result r = host::run("C:\\d\\tool.exe a", venv);
    EXPECT_EQ(r.exit_code, 0u) << r.err;
    EXPECT_EQ(r.out, ran("C:\\venv\\Scripts\\zelkor.exe C:\\d\\tool-script.zk a"));
}

// A folder of exactly `length` characters below `start`, in components of at most 60 (a
// Unix file name has at most 255 bytes).
std::string deep_folder(const std::string& start, size_t length) {
    std::string folder = start;
    while (folder.size() < length) {
        size_t piece = std::min<size_t>(60, length - folder.size() - 1);
        folder += "\\" + std::string(piece == 0 ? 1 : piece, 'd');
    }
    return folder.substr(0, length);
}

// The launcher as deep as this Wine starts programs (its path 256 and 259 characters, a
// blank in its folder): it runs, its trace and its missing-script message carry the whole
// paths, its zk.ini is read, and a script without a shebang gets its invented line.
TEST_F(Launcher, LongPathsOfTheLauncherAndItsScript) {
    for (size_t length : {256u, 259u}) {
        const std::string folder = deep_folder("C:\\zkl\\a b", length - 9), launcher = folder + "\\tool.exe";
        ASSERT_EQ(launcher.size(), length);
        const std::string script = folder + "\\tool-script.zk", parent = folder.substr(0, folder.rfind('\\'));
        install_launcher(launcher);
        install_launcher(folder + "\\miss.exe");
        install_stub(parent + "\\zelkor.exe");
        host::write_file(script, "print()\n");
        host::write_file(folder + "\\zk.ini", "[commands]\r\n");
        host::Result r = host::run("\"" + launcher + "\" a", {{"ZKLAUNCH_DEBUG", "1"}});
        const std::string child = "\"" + parent + "\\zelkor.exe\" \"" + script + "\" a";
        EXPECT_EQ(r.exit_code, 0u) << length << "\n" << r.err;
        EXPECT_EQ(r.out, ran(child)) << length;
        for (const std::string& line : {"Using global configuration file '" + folder + "\\zk.ini'\n",
                                        "Using wrapped script file '" + script + "'\n",
                                        "invented shebang: #!\"" + parent + "\\zelkor.exe\"\n",
                                        "run_child: about to run '" + child + "'\n"})
            EXPECT_NE(r.err.find(line), std::string::npos) << length << ": " << line << "\n" << r.err;

        r = host::run("\"" + folder + "\\miss.exe\"");
        EXPECT_EQ(r.exit_code, 105u) << length;
        EXPECT_EQ(r.err, "Script file '" + folder + "\\miss-script.zk' is not present.\n") << length;
    }
}

// Where Windows has long paths enabled: the launcher, its script and its interpreter in
// folders beyond 260 characters, a blank in the launcher's.
TEST_F(Launcher, FoldersBeyond260Characters) {
    if (std::string why = host::missing(host::Feature::long_paths); !why.empty()) GTEST_SKIP() << why;
    const std::string folder = deep_folder("C:\\zkl\\a b", 300), venv_folder = deep_folder("C:\\zkv", 300);
    install_launcher(folder + "\\tool.exe");
    host::write_file(folder + "\\tool-script.zk", "");
    install_stub(venv_folder + "\\Scripts\\zelkor.exe");
    host::Result r = host::run("\"" + folder + "\\tool.exe\" a", {{"VIRTUAL_ENV", venv_folder}});
    EXPECT_EQ(r.exit_code, 0u) << r.err;
    EXPECT_EQ(r.out, ran(venv_folder + "\\Scripts\\zelkor.exe \"" + folder + "\\tool-script.zk\" a"));
}

// Interpreters in folders of about 300 characters, on every road that finds one: the
// trace's line names the whole command line, and the interpreter runs where the host
// starts programs at such a path; elsewhere the 101 message names the whole line. A
// command line of 20,000 characters that cannot start is named whole too.
TEST_F(Launcher, LongInterpreterPathsOnEveryRoad) {
    const std::string folder = deep_folder("C:\\zkl\\x y", 300), exe = folder + "\\zelkor.exe";
    std::string escaped;
    for (char c : folder) escaped += c == '\\' ? std::string("\\\\") : std::string(1, c);
    install_stub(exe);
    install_stub(folder + "\\Scripts\\zelkor.exe");
    struct Case {
        const char* road;
        std::string script, zk_ini;
        host::Environment env;
        std::string interpreter;
    };
    const std::string quoted = "\"" + exe + "\"";
    const bool starts = host::missing(host::Feature::long_paths).empty();
    const Case cases[] = {
        {"InstallPath, a version asked", "#!/usr/bin/zelkor3.6\n", "", {}, quoted},
        {"InstallPath, the default", "", "", {}, quoted},
        {"VIRTUAL_ENV", "", "", {{"VIRTUAL_ENV", folder}}, "\"" + folder + "\\Scripts\\zelkor.exe\""},
        {"the PATH search", "#!/usr/bin/env zelkor\n", "", {{"PATH", folder}}, quoted},
        {"a custom command", "#!custom\n", "[commands]\r\ncustom=" + exe + "\r\n", {}, quoted},
    };
    for (const Case& c : cases) {
        host::reg_clean();
        host::reg_import("[HKEY_CURRENT_USER\\SOFTWARE\\Zelkor\\ZelkorCore\\3.6\\InstallPath]\r\n@=\"" + escaped +
                         "\"\r\n");
        host::write_file("C:\\d\\tool-script.zk", c.script);
        host::write_file("C:\\d\\zk.ini", c.zk_ini);
        host::Environment env = c.env;
        env.emplace_back("ZKLAUNCH_DEBUG", "1");
        host::Result r = host::run("C:\\d\\tool.exe a", env);
        const std::string line = c.interpreter + " C:\\d\\tool-script.zk a";
        EXPECT_EQ(r.exit_code, starts ? 0u : 101u) << c.road << "\n" << r.err;
        EXPECT_NE(r.err.find("run_child: about to run '" + line + "'\n"), std::string::npos) << c.road << "\n" << r.err;
        const std::string message = starts ? "" : "Unable to create process using '" + line + "'\n";
        EXPECT_EQ(r.err.substr(r.err.size() - std::min(r.err.size(), message.size())), message) << c.road;
        EXPECT_EQ(r.out, starts ? ran(line) : "") << c.road;
    }
    host::reg_clean();

    // A venv interpreter that is no program, and 20,000 characters of arguments.
    host::write_file("C:\\d\\tool-script.zk", "");
    host::write_file("C:\\zkv\\Scripts\\zelkor.exe", "not a program");
    const std::string arguments(20000, 'a');
    host::Result r = host::run("C:\\d\\tool.exe " + arguments, {{"VIRTUAL_ENV", "C:\\zkv"}});
    EXPECT_EQ(r.exit_code, 101u);
    EXPECT_EQ(r.err, "Unable to create process using 'C:\\zkv\\Scripts\\zelkor.exe C:\\d\\tool-script.zk " +
                         arguments + "'\n");
}

TEST_F(Launcher, MissingScriptIs105) {
    install_launcher("C:\\e\\other.exe");
    host::Result r = host::run("C:\\e\\other.exe", venv);
    EXPECT_EQ(r.exit_code, 105u);
    EXPECT_EQ(r.err, "Script file 'C:\\e\\other-script.zk' is not present.\n");
}

TEST_F(Launcher, NoInterpreterIs103) {
    host::Result r = host::run("C:\\d\\tool.exe", {});
    EXPECT_EQ(r.exit_code, 103u);
    EXPECT_EQ(r.err, "Can't find a default Zelkor.\n");
    EXPECT_EQ(r.out, "");
}

TEST_F(Launcher, HelpTextComesBeforeTheChildsOutput) {
    install_stub("C:\\venv\\Scripts\\zelkor.exe");
    host::Result r = host::run("C:\\d\\tool.exe --help", venv);
    // The version is the launcher's version resource's. Only the 32-bit launcher on
    // 64-bit Windows offers the 32-bit versions.
    EXPECT_EQ(r.out,
              "Zelkor Launcher for Windows (Tavrin/Plennet variant) Version " ZK_VERSION "\n\n"
              "usage: C:\\d\\tool.exe [ launcher-arguments ] [ zelkor-arguments ] script [ script-arguments ]\n\n"
              "Launcher arguments:\n\n-2     : Launch the latest Zelkor 2.x version\n-3     : Launch the latest "
              "Zelkor 3.x version\n-X.Y   : Launch the specified Zelkor version\n" +
                  std::string(wow64() ? "-X.Y-32: Launch the specified 32bit Zelkor version" : "") +
                  "\n\nThe following help text is from Zelkor:\n\n" +
                  ran("C:\\venv\\Scripts\\zelkor.exe C:\\d\\tool-script.zk --help"));
}

// The launcher is killed as soon as the stub has started (its report written), however
// long the starts take (emulated, over a second each).
TEST_F(Launcher, TheChildEndsWhenTheLauncherIsTerminated) {
    install_stub("C:\\venv\\Scripts\\zelkor.exe");
    host::Environment env = venv;
    env.emplace_back("ZKSTUB_REPORT", "C:\\zktest\\started");
    env.emplace_back("ZKSTUB_SLEEP_MS", "2500");
    env.emplace_back("ZKSTUB_MARKER", "C:\\zktest\\outlived");
    for (bool windowless : {false, true}) {
        install_launcher("C:\\d\\tool.exe", windowless);
        // Control: left alone, the stub outlives its sleep and leaves the marker.
        host::run("C:\\d\\tool.exe", env);
        ASSERT_TRUE(host::exists("C:\\zktest\\outlived")) << windowless;
        for (const char* file : {"C:\\zktest\\outlived", "C:\\zktest\\started"}) host::remove_file(file);

        host::Result r = host::run("C:\\d\\tool.exe", env, "",
                                   {{"ZKSPAWN_KILL_WHEN", "C:\\zktest\\started"}, {"ZKSPAWN_LINGER_MS", "3000"}});
        // The stub had started: its line, and the "x" its report writes; it was in the
        // launcher's job from its start.
        EXPECT_EQ(r.out, ran("C:\\venv\\Scripts\\zelkor.exe C:\\d\\tool-script.zk ") + "x");
        EXPECT_FALSE(host::exists("C:\\zktest\\outlived")) << windowless;
        EXPECT_NE(host::read_file("C:\\zktest\\started").find("job: 1\n"), std::string::npos) << windowless;
    }
}

// The windowless launcher, started as each kind of caller starts it, on the harness's own
// display: which windows show, where its failures go, what the child is given. Every
// window that shows is closed by a key; the spawn helper ends a case that hangs (0xDEAD).
TEST_F(Launcher, WindowlessLauncher) {
    struct Case {
        const char* name;
        const char* launcher;  // C:\d\tool.exe has its script; C:\e\tool.exe has none
        host::Environment env, spawn;
        uint32_t code;
        std::string out, err, report;  // report: what the stub was given, when it runs
        std::vector<std::string> windows;
    };
    const std::string child = ran("C:\\venv\\Scripts\\zelkor.exe C:\\d\\tool-script.zk ");
    const std::string missing = "Script file 'C:\\e\\tool-script.zk' is not present.\n";
    const host::Environment explorer = {{"ZKSPAWN_HANDLES", "none"}};
    const host::Environment stub = {{"VIRTUAL_ENV", "C:\\venv"},
                                    {"ZKSTUB_REPORT", "C:\\zktest\\report.txt"},
                                    {"ZKSTUB_SLEEP_MS", "1500"},
                                    {"ZKSTUB_EXIT", "7"}};
    const Case cases[] = {
        {"as Explorer starts it: no console window, NUL streams", "C:\\d\\tool.exe", stub, explorer, 7, "", "",
         "stdin: eof\nstdout: written\nshow: 0 0\njob: 1\n", {}},
        {"a shortcut set to Run: Minimized", "C:\\d\\tool.exe", stub, {{"ZKSPAWN_HANDLES", "none"}, {"ZKSPAWN_SHOW", "7"}},
         7, "", "", "stdin: eof\nstdout: written\nshow: 1 7\njob: 1\n", {}},
        {"redirected: output reaches the file", "C:\\d\\tool.exe", stub, {}, 7, child + "x", "",
         "stdin: eof\nstdout: written\nshow: 0 0\njob: 1\n", {}},
        {"a missing script: a box", "C:\\e\\tool.exe", {}, explorer, 105, "", "", "", {"tool.exe"}},
        {"a missing script, standard error redirected", "C:\\e\\tool.exe", {}, {{"ZKSPAWN_HANDLES", "2"}}, 105, "",
         missing, "", {}},
        {"a missing script on an invisible window station", "C:\\e\\tool.exe", {},
         {{"ZKSPAWN_HANDLES", "none"}, {"ZKSPAWN_DESKTOP", "zkhidden\\Default"}, {"ZKSPAWN_TIMEOUT_MS", "10000"}}, 105,
         "", "", "", {}},
    };
    install_stub("C:\\venv\\Scripts\\zelkor.exe");
    install_launcher("C:\\d\\tool.exe", true);
    install_launcher("C:\\e\\tool.exe", true);
    for (const Case& c : cases) {
        host::remove_file("C:\\zktest\\report.txt");
        std::vector<std::string> windows;
        host::Result r = c.windows.empty() ? host::run(c.launcher, c.env, "", c.spawn, &windows)
                                           : host::run_showing(c.launcher, c.env, c.spawn, &windows);
        EXPECT_EQ(r.exit_code, c.code) << c.name;
        EXPECT_EQ(r.out, c.out) << c.name;
        EXPECT_EQ(r.err, c.err) << c.name;
        EXPECT_EQ(windows, c.windows) << c.name << "\n"
                                      << (windows != c.windows ? host::explain_windows(c.launcher, c.env, c.spawn) : "");
        if (!c.report.empty()) {
            EXPECT_EQ(host::read_file("C:\\zktest\\report.txt"), c.report) << c.name;
        }
    }
    // The trace names the kind of launcher.
    host::Result r = host::run("C:\\d\\tool.exe", {{"VIRTUAL_ENV", "C:\\venv"}, {"ZKLAUNCH_DEBUG", "1"}});
    EXPECT_NE(r.err.find("\nlauncher executable: Windows\n"), std::string::npos) << r.err;
}

// DLLs planted beside the launcher and in the current folder, under the names of DLLs
// that the launcher or the system DLLs it calls load by name, searched for as Windows
// searches (the program's folder first): on no road may one be loaded. Each leaves a
// marker when it is.
TEST_F(Launcher, PlantedDllsAreNeverLoaded) {
    const char* const dlls[] = {"version", "uxtheme", "dwmapi", "userenv", "profapi", "cryptbase", "shell32"};
    const char* const folders[] = {"C:\\d\\", "C:\\e\\", "C:\\cwd\\"};
    const host::Environment search_as_windows = host::dll_search_as_windows({dlls, std::end(dlls)});
    struct Case {
        const char* road;
        const char* command;  // C:\d\tool.exe has its script; C:\e\tool.exe has none
        std::string script, zk_ini, local_appdata;  // local_appdata: the .reg value, if not the system's
        host::Environment env, spawn;
        uint32_t code;
        std::string out;  // its start
        std::vector<std::string> windows = {};
        bool windowless_only = false;
    };
    const std::string venv_child = ran("C:\\venv\\Scripts\\zelkor.exe C:\\d\\tool-script.zk a");
    const std::string z36_child = ran("C:\\Z36\\zelkor.exe C:\\d\\tool-script.zk a");
    const host::Environment traced = {{"VIRTUAL_ENV", "C:\\venv"}, {"ZKLAUNCH_DEBUG", "1"}};
    const Case cases[] = {
        {"plain", "C:\\d\\tool.exe a", "", "", "", venv, {}, 0, venv_child},
        {"traced", "C:\\d\\tool.exe a", "", "", "", traced, {}, 0, venv_child},
        {"help", "C:\\d\\tool.exe -h", "", "", "", venv, {}, 0, "Zelkor Launcher for Windows"},
        {"registry", "C:\\d\\tool.exe a", "#!zelkor3.6\n", "", "", {}, {}, 0, z36_child},
        {"custom command", "C:\\d\\tool.exe a", "#!custom\n", "[commands]\r\ncustom=C:\\Z36\\zelkor.exe\r\n", "",
         {}, {}, 0, z36_child},
        // A per-user folder value that only shell32 can expand: shell32 is loaded.
        {"shell32", "C:\\d\\tool.exe a", "", "", host::expand_sz("%SystemDrive%\\zkt"), traced, {}, 0, venv_child},
        // The windowless launcher's error box (user32 and the theme DLLs it brings).
        {"error box", "C:\\e\\tool.exe", "", "", "", {}, {{"ZKSPAWN_HANDLES", "none"}}, 105, "", {"tool.exe"}, true},
    };
    install_stub("C:\\venv\\Scripts\\zelkor.exe");
    install_stub("C:\\Z36\\zelkor.exe");
    const std::string planted = host::launcher_build("planted.dll");
    for (const char* folder : folders)
        for (const char* dll : dlls) host::copy_file(planted, folder + std::string(dll) + ".dll");
    for (bool windowless : {false, true}) {
        install_launcher("C:\\d\\tool.exe", windowless);
        install_launcher("C:\\e\\tool.exe", windowless);
        for (const Case& c : cases) {
            if (c.windowless_only && !windowless) continue;
            const std::string name = std::string(c.road) + (windowless ? ", windowless" : "");
            host::reg_clean();
            host::reg_import("[HKEY_CURRENT_USER\\SOFTWARE\\Zelkor\\ZelkorCore\\3.6\\InstallPath]\r\n@=\"C:\\\\Z36\"\r\n");
            if (!c.local_appdata.empty()) host::set_local_appdata_value(c.local_appdata);
            host::write_file("C:\\d\\tool-script.zk", c.script);
            host::write_file("C:\\d\\zk.ini", c.zk_ini);
            host::Environment env = c.env, spawn = c.spawn;
            env.insert(env.end(), search_as_windows.begin(), search_as_windows.end());
            spawn.emplace_back("ZKSPAWN_DIR", "C:\\cwd");
            std::vector<std::string> windows;
            host::Result r = c.windows.empty() ? host::run(c.command, env, "", spawn, &windows)
                                               : host::run_showing(c.command, env, spawn, &windows);
            EXPECT_EQ(r.exit_code, c.code) << name << "\n" << r.err;
            EXPECT_EQ(r.out.substr(0, c.out.size()), c.out) << name;
            EXPECT_EQ(windows, c.windows) << name << "\n"
                                          << (windows != c.windows ? host::explain_windows(c.command, env, spawn) : "");
            for (const char* folder : folders)
                for (const char* dll : dlls)
                    EXPECT_FALSE(host::exists(folder + std::string(dll) + ".dll.loaded")) << name << ": " << folder << dll;
        }
    }
    host::reg_clean();
}

// The per-user zk.ini lies in the folder that SHGetFolderPathW(CSIDL_LOCAL_APPDATA) names,
// whatever the user's "Local AppData" value holds; the launcher reads the common values
// itself, without shell32, and leaves the rest to it. Another USERPROFILE in the
// environment is the shell's to judge (one system's shell expands the value with it,
// another gives the profile's folder): the launcher names what the shell names.
TEST_F(Launcher, ThePerUserFolderIsTheShellsInEveryCase) {
    const std::string standard = host::local_appdata();
    struct Case {
        const char* name;
        std::string value;  // .reg value text; empty: as the system made it
        host::Environment env;
        std::string trace;
    };
    const std::string used = "Using local configuration file '";
    const host::Environment another_profile = {{"USERPROFILE", "C:\\zkt"}, {"LOCALAPPDATA", "C:\\zkt\\redirected"}};
    const Case cases[] = {
        {"as the system made it", "", {}, used + standard + "\\zk.ini'\n"},
        {"another USERPROFILE: the shell's answer", "", another_profile,
         used + host::local_appdata(another_profile) + "\\zk.ini'\n"},
        {"redirected to a folder", "\"C:\\\\zkt\\\\redirected\"", {}, used + "C:\\zkt\\redirected\\zk.ini'\n"},
        {"redirected with another variable", host::expand_sz("%SystemDrive%\\zkt\\sysdrive"), {},
         used + "C:\\zkt\\sysdrive\\zk.ini'\n"},
        {"a missing folder", "\"C:\\\\zkt\\\\gone\"", {}, "SHGetFolderPath failed: 80070002\n"},
        {"deleted", "-", {}, used + standard + "\\zk.ini'\n"},
    };
    install_stub("C:\\venv\\Scripts\\zelkor.exe");
    for (const std::string& folder : {standard, std::string("C:\\zkt\\redirected"), std::string("C:\\zkt\\sysdrive")})
        host::write_file(folder + "\\zk.ini", "");
    for (const Case& c : cases) {
        host::reg_clean();
        if (!c.value.empty()) host::set_local_appdata_value(c.value);
        host::Environment env = c.env;
        env.emplace_back("VIRTUAL_ENV", "C:\\venv");
        env.emplace_back("ZKLAUNCH_DEBUG", "1");
        host::Result r = host::run("C:\\d\\tool.exe", env);
        EXPECT_EQ(r.exit_code, 0u) << c.name;
        EXPECT_NE(r.err.find("launcher executable: Console\n" + c.trace), std::string::npos) << c.name << "\n" << r.err;
    }
    host::reg_clean();
}

}  // namespace
