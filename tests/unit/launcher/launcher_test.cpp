// The main flow: user arguments, the wrapped script, the command line it builds, the
// configuration files, the fallback roads and the help text.
#include "launcher/launcher.h"
#include "launcher/local_appdata.h"

#include "launcher_fixture.h"

using fake::utf8;

namespace {

using MainFlow = LauncherTest;

TEST_F(MainFlow, UserArgumentsAreTheRawTailAsTyped) {
    struct Case {
        const char16_t* command_line;
        const char* child;
    };
    const Case cases[] = {
        // Quoted name, blanks after it: inner and trailing blanks are kept.
        {u"\"C:\\d\\tool.exe\"   a  \"b c\" ", "C:\\venv\\Scripts\\zelkor.exe C:\\d\\tool-script.zk a  \"b c\" "},
        // Missing closing quote: nothing the user typed reaches the child.
        {u"\"C:\\d\\tool.exe a b", "C:\\venv\\Scripts\\zelkor.exe C:\\d\\tool-script.zk "},
        // An unquoted name ends at a blank, not at a tab.
        {u"tool.exe\t-x", "C:\\venv\\Scripts\\zelkor.exe C:\\d\\tool-script.zk "},
        // A blank inside an unquoted path: the rest of the path becomes arguments.
        {u"C:\\my tools\\tool.exe -x", "C:\\venv\\Scripts\\zelkor.exe C:\\d\\tool-script.zk tools\\tool.exe -x"},
        // No arguments at all: the script path and one blank.
        {u"tool.exe", "C:\\venv\\Scripts\\zelkor.exe C:\\d\\tool-script.zk "},
        // Any white space after the name is skipped, not only blanks.
        {u"tool.exe \t\r\n x", "C:\\venv\\Scripts\\zelkor.exe C:\\d\\tool-script.zk x"},
    };
    for (const Case& c : cases) {
        fake::reset();
        fake::add_file(u"C:\\d\\tool-script.zk");
        with_venv();
        fake::world.command_line = c.command_line;
        fake::RunResult r = fake::run();
        EXPECT_EQ(r.exit_code, 0u);
        EXPECT_EQ(r.child, c.child) << utf8(c.command_line);
    }
}

TEST_F(MainFlow, PathsWithABlankAreQuoted) {
    fake::reset();
    with_venv();
    fake::world.module_path = u"C:\\Program Files\\d\\tool.exe";
    fake::add_file(u"C:\\Program Files\\d\\tool-script.zk");
    fake::world.command_line = u"\"C:\\Program Files\\d\\tool.exe\" x";
    EXPECT_EQ(fake::run().child, "C:\\venv\\Scripts\\zelkor.exe \"C:\\Program Files\\d\\tool-script.zk\" x");
    // Unquoted, the system would start C:\My.exe first.
    fake::reset();
    fake::add_file(u"C:\\d\\tool-script.zk");
    fake::set_env(u"VIRTUAL_ENV", u"C:\\My Envs\\app");
    fake::add_file(u"C:\\My Envs\\app\\Scripts\\zelkor.exe");
    EXPECT_EQ(fake::run().child, "\"C:\\My Envs\\app\\Scripts\\zelkor.exe\" C:\\d\\tool-script.zk ");
}

TEST_F(MainFlow, ScriptNameIsCutAtTheLastDotOfTheWholePath) {
    fake::reset();
    with_venv();
    fake::world.module_path = u"C:\\v1.2\\tool";
    fake::add_file(u"C:\\v1-script.zk");
    EXPECT_EQ(fake::run().child, "C:\\venv\\Scripts\\zelkor.exe C:\\v1-script.zk ");
}

TEST_F(MainFlow, FatalRoadsOfTheMainFlow) {
    struct Case {
        const char* name;
        void (*arrange)();
        uint32_t code;
        const char* err;
    };
    const Case cases[] = {
        {"own path unreadable", [] { fake::fail_call(fake::Op::get_module_file_name, 1, 5); }, 105,
         "Wrapper name '' is not valid.\n"},
        {"no dot in the launcher path", [] { fake::world.module_path = u"C:\\d\\tool"; }, 105,
         "Wrapper name 'C:\\d\\tool' is not valid.\n"},
        {"script missing", [] { fake::world.files.clear(); }, 105,
         "Script file 'C:\\d\\tool-script.zk' is not present.\n"},
        // "C:\d\tool-script.zk " and its terminator: 42 bytes.
        {"no memory for the command line", [] { fake::world.failing_allocation_bytes = 42; }, 104,
         "Could not allocate new command line\n"},
        {"no memory for a path", [] { fake::fail_call(fake::Op::allocate, 2, 8); }, 104,
         "Could not allocate 258 bytes of text\n"},
        {"no interpreter", [] {}, 103, "Can't find a default Zelkor.\n"},
        {"venv without an interpreter", [] { fake::set_env(u"VIRTUAL_ENV", u"C:\\venv"); }, 103,
         "Can't find a default Zelkor.\n"},
    };
    for (const Case& c : cases) {
        fake::reset();
        fake::add_file(u"C:\\d\\tool-script.zk");
        c.arrange();
        fake::RunResult r = fake::run();
        EXPECT_EQ(r.exit_code, c.code) << c.name;
        EXPECT_EQ(r.err, c.err) << c.name;
        EXPECT_TRUE(fake::world.child_command_lines.empty()) << c.name;
    }
}

TEST_F(MainFlow, AScriptDirectoryOfTheScriptsNamePasses) {
    fake::reset();
    with_venv();
    fake::add_directory(u"C:\\d\\tool-script.zk");
    EXPECT_EQ(fake::run().exit_code, 0u);
}

// Paths as long as Windows allows: the launcher's own (GetModuleFileNameW asked again while
// it fills the buffer), the script's, a zk.ini beside it, the invented line's
// interpreter, VIRTUAL_ENV's; and what a machine without long paths refuses.
TEST_F(MainFlow, LongPathsAreUsedWhole) {
    struct Case {
        const char* name;
        std::u16string folder;  // the launcher's, which holds tool.exe and its script
        bool long_paths;
        std::u16string venv;    // empty: none; the folder's parent's zelkor.exe runs
        uint32_t code;
    };
    auto deep = [](size_t length, const std::u16string& inner = u"") {  // a folder of `length` units
        std::u16string folder = inner.empty() ? u"C:\\" : u"C:\\" + inner + u"\\";
        return folder + std::u16string(length - folder.size(), u'd');
    };
    const Case cases[] = {
        {"own path of 259 units", deep(259 - 9), true, u"C:\\venv", 0},
        {"own path of 260 units, which fills the first buffer", deep(260 - 9), true, u"C:\\venv", 0},
        {"own path of 1,000 units with a blank", deep(1000 - 9, u"a b"), true, u"", 0},
        {"own path of 32,000 units", deep(32000 - 9), true, u"", 0},
        {"a VIRTUAL_ENV of 309 units with a blank", u"C:\\d", true, deep(309, u"v e"), 0},
        {"no long paths: the script is refused", deep(300), false, u"", 105},
    };
    for (const Case& c : cases) {
        fake::reset();
        trace_on();
        fake::world.long_paths = c.long_paths;
        fake::world.module_path = c.folder + u"\\tool.exe";
        const std::u16string script = c.folder + u"\\tool-script.zk";
        // No shebang: the invented line names the interpreter; empty: inspection gives up.
        fake::add_file(script, c.venv.empty() ? "print()\n" : "");
        fake::add_file(c.folder + u"\\zk.ini");
        std::u16string interpreter = c.folder.substr(0, c.folder.rfind(u'\\')) + u"\\zelkor.exe";
        if (!c.venv.empty()) {
            interpreter = c.venv + u"\\Scripts\\zelkor.exe";
            fake::set_env(u"VIRTUAL_ENV", c.venv);
        }
        fake::add_file(interpreter);
        fake::RunResult r = fake::run();
        EXPECT_EQ(r.exit_code, c.code) << c.name;
        auto quoted = [](const std::u16string& p) { return p.find(u' ') == p.npos ? p : u"\"" + p + u"\""; };
        if (c.code == 0) {
            EXPECT_EQ(r.child, utf8(quoted(interpreter) + u" " + quoted(script) + u" ")) << c.name;
            EXPECT_EQ(utf8(fake::world.child_programs.back()), utf8(interpreter)) << c.name;
            EXPECT_NE(r.err.find("Using global configuration file '" + utf8(c.folder) + "\\zk.ini'\n"),
                      std::string::npos)
                << c.name;
        } else {
            EXPECT_NE(r.err.find("File '" + utf8(script) + "' non-existent\n" + utf8(script) +
                                 ": longer than 259 characters: Windows takes such a path only where long "
                                 "paths are enabled\nScript file '" + utf8(script) + "' is not present.\n"),
                      std::string::npos)
                << c.name;
        }
    }
}

// Started by its short name, or through a link to it: the script, the zk.ini beside the
// launcher and its folder in the program search follow the long form of its path, or
// the link's target when no script lies beside the link.
TEST_F(MainFlow, FoundHoweverItIsStarted) {
    struct Case {
        const char* name;
        std::u16string started;  // what GetModuleFileNameW says
        std::u16string resolved;  // the long form, or the link's final path as Windows gives it
        std::u16string folder;    // where the script, zk.ini and helper.exe lie ("": nowhere)
        uint32_t code;
        std::string trace;  // a line of the trace, or the message of the 105
    };
    const std::u16string deep = u"C:\\" + std::u16string(300, u'd');
    const Case cases[] = {
        {"a short name", u"C:\\PROGRA~1\\LONGTO~1.EXE", u"C:\\Program Files\\longtool.exe", u"C:\\Program Files", 0,
         "own path is a short name: using C:\\Program Files\\longtool.exe\n"},
        {"a short name Windows cannot lengthen", u"C:\\PROGRA~1\\LONGTO~1.EXE", u"", u"C:\\Program Files", 105,
         "Script file 'C:\\PROGRA~1\\LONGTO~1-script.zk' is not present.\n"},
        {"a link", u"C:\\zkt\\bin\\other.exe", u"\\\\?\\C:\\zkt\\real\\longtool.exe", u"C:\\zkt\\real", 0,
         "no script beside the link: using the link's target C:\\zkt\\real\\longtool.exe\n"},
        {"a link to a share", u"C:\\zkt\\bin\\longtool.exe", u"\\\\?\\UNC\\srv\\share\\r\\longtool.exe",
         u"\\\\srv\\share\\r", 0, "using the link's target \\\\srv\\share\\r\\longtool.exe\n"},
        {"a link to a volume without a drive letter", u"C:\\zkt\\bin\\longtool.exe", u"\\\\?\\Volume{7}\\r\\longtool.exe",
         u"\\\\?\\Volume{7}\\r", 0, "using the link's target \\\\?\\Volume{7}\\r\\longtool.exe\n"},
        {"a link into a long folder", u"C:\\zkt\\bin\\longtool.exe", u"\\\\?\\" + deep + u"\\longtool.exe", deep, 0,
         "using the link's target " + utf8(deep) + "\\longtool.exe\n"},
        {"a link whose target has no script either", u"C:\\zkt\\bin\\longtool.exe",
         u"\\\\?\\C:\\zkt\\real\\longtool.exe", u"", 105,
         "File 'C:\\zkt\\bin\\longtool-script.zk' non-existent\nFile 'C:\\zkt\\real\\longtool-script.zk' non-existent\n"
         "Script file 'C:\\zkt\\bin\\longtool-script.zk' is not present.\n"},
        {"no link: the file is itself", u"C:\\zkt\\bin\\longtool.exe", u"\\\\?\\C:\\zkt\\bin\\longtool.exe", u"", 105,
         "Script file 'C:\\zkt\\bin\\longtool-script.zk' is not present.\n"},
    };
    for (const Case& c : cases) {
        fake::reset();
        trace_on();
        fake::world.module_path = c.started;
        fake::add_file(c.started);
        (c.resolved.starts_with(u"\\\\?") ? fake::world.final_paths : fake::world.long_paths_of)
            .emplace_back(c.started, c.resolved);
        if (!c.folder.empty()) {
            fake::add_file(c.folder + u"\\longtool-script.zk", "#!helper -x\n");
            fake::add_file(c.folder + u"\\helper.exe");
            fake::add_ini(c.folder + u"\\zk.ini", u"defaults", u"zelkor", u"3.6");
        }
        fake::RunResult r = fake::run();
        EXPECT_EQ(r.exit_code, c.code) << c.name << "\n" << r.err;
        EXPECT_NE(r.err.find(c.trace), std::string::npos) << c.name << "\n" << r.err;
        if (c.code != 0) continue;
        auto quoted = [](const std::u16string& p) { return p.find(u' ') == p.npos ? p : u"\"" + p + u"\""; };
        EXPECT_EQ(r.child, utf8(u"helper -x " + quoted(c.folder + u"\\longtool-script.zk") + u" ")) << c.name;
        EXPECT_EQ(utf8(fake::world.child_programs.back()), utf8(c.folder + u"\\helper.exe")) << c.name;
        EXPECT_NE(r.err.find("Using global configuration file '" + utf8(c.folder) + "\\zk.ini'\n"), std::string::npos)
            << c.name;
    }
}

// An own file that cannot be opened has no final path: the path as started, as before.
TEST_F(MainFlow, AnOwnFileThatCannotBeOpenedKeepsThePathAsStarted) {
    fake::world.module_path = u"C:\\zkt\\bin\\tool.exe";
    fake::world.final_paths = {{fake::world.module_path, u"\\\\?\\C:\\d\\tool.exe"}};
    fake::RunResult r = fake::run();  // C:\\d\\tool-script.zk exists, but the own file does not
    EXPECT_EQ(r.exit_code, 105u);
    EXPECT_EQ(r.err, "Script file 'C:\\zkt\\bin\\tool-script.zk' is not present.\n");
    EXPECT_EQ(fake::call_count(fake::Op::get_final_path_name_by_handle), 0);
}

// Started by its own long path, nothing of the above is asked of Windows.
TEST_F(MainFlow, ALongPathStartedAsItIsAsksNothingMore) {
    with_venv();
    fake::run();
    for (fake::Op op : {fake::Op::get_long_path_name, fake::Op::get_final_path_name_by_handle, fake::Op::create_file})
        EXPECT_EQ(fake::call_count(op), 0);
}

TEST_F(MainFlow, TraceOfAWholeRunOnTheVirtualEnvRoad) {
    trace_on();
    with_venv();
    fake::world.appdata_result = static_cast<int32_t>(0x80070005);
    fake::add_file(u"C:\\d\\zk.ini");
    fake::world.command_line = u"tool.exe a";
    fake::world.child_exit_code = 3;
    fake::RunResult r = fake::run();
    EXPECT_EQ(r.exit_code, 3u);
    EXPECT_EQ(r.err,
              "launcher build: 64bit\n"
              "launcher executable: Console\n"
              "SHGetFolderPath failed: 80070005\n"
              "GetFileVersionInfoSize failed: The specified resource type cannot be found in the image file.\r\n\n"
              "Using global configuration file 'C:\\d\\zk.ini'\n"
              "Called with command line: a\n"
              "Using wrapped script file 'C:\\d\\tool-script.zk'\n"
              "Running wrapped script with command line 'C:\\d\\tool-script.zk a'\n"
              "maybe_handle_shebang: read 0 bytes\n"
              "maybe_handle_shebang: BOM not found, using UTF-8\n"
              "maybe_handle_shebang: No line terminator found\n"
              "Checking for Zelkor executable in virtual env 'C:\\venv'\n"
              "run_child: about to run 'C:\\venv\\Scripts\\zelkor.exe C:\\d\\tool-script.zk a'\n"
              "run_child: started inside the job\n"
              "child process exit code: 3\n");
}

TEST_F(MainFlow, ConfigurationFilesAndVersionTraces) {
    trace_on();
    with_venv();
    fake::add_file(u"C:\\Users\\me\\AppData\\Local\\zk.ini");
    fake::world.module_path = u"tool.exe";  // no backslash: no global file
    fake::add_file(u"tool-script.zk");
    fake::world.has_version_resource = true;
    fake::fail_call(fake::Op::get_file_version_info, 1, 5);
    std::string err = fake::run().err;
    EXPECT_NE(err.find("Using local configuration file 'C:\\Users\\me\\AppData\\Local\\zk.ini'\n"), std::string::npos);
    EXPECT_NE(err.find("GetFileVersionInfo failed: 5\n"), std::string::npos);
    EXPECT_NE(err.find("GetModuleFileNameW returned value has no backslash: tool.exe\n"), std::string::npos);

    fake::reset();
    trace_on();
    with_venv();
    fake::add_file(u"C:\\d\\tool-script.zk");
    fake::world.has_version_resource = true;
    fake::fail_call(fake::Op::ver_query_file_version, 1, 1813);
    err = fake::run().err;
    EXPECT_NE(err.find("VerQueryValue failed: 715\n"), std::string::npos);
    EXPECT_NE(err.find("File 'C:\\Users\\me\\AppData\\Local\\zk.ini' non-existent\n"), std::string::npos);
    EXPECT_NE(err.find("File 'C:\\d\\zk.ini' non-existent\n"), std::string::npos);
}

TEST_F(MainFlow, AScriptThatCannotBeOpenedTakesTheDefaultRoadSilently) {
    with_venv();
    fake::fail_call(fake::Op::open_file_for_reading, 1, 13);
    fake::RunResult r = fake::run();
    EXPECT_EQ(r.exit_code, 0u);
    EXPECT_EQ(r.err, "");
}

// A VIRTUAL_ENV that is not an absolute folder names one through the current folder or
// drive: passed over as if unset, whatever lies there.
TEST_F(MainFlow, VirtualEnvOnlyWhenAbsolute) {
    const std::u16string values[] = {u"venv", u".\\venv", u"\\venv", u"/venv", u"C:venv", u"\\\\", u"C:"};
    for (const std::u16string& venv : values) {
        fake::reset();
        fake::add_file(u"C:\\d\\tool-script.zk");
        trace_on();
        fake::set_env(u"VIRTUAL_ENV", venv);
        fake::add_file(venv + u"\\Scripts\\zelkor.exe");  // what the current folder or drive holds
        fake::add_install(fake::current_user, fake::native_view, u"3.6", u"C:\\Z36");
        fake::add_file(u"C:\\Z36\\zelkor.exe");
        fake::RunResult r = fake::run();
        EXPECT_EQ(r.child, "C:\\Z36\\zelkor.exe C:\\d\\tool-script.zk ") << utf8(venv);
        EXPECT_NE(r.err.find("VIRTUAL_ENV '" + utf8(venv) + "' is not an absolute folder: passed over\n"),
                  std::string::npos)
            << r.err;
        EXPECT_EQ(r.err.find("Checking for Zelkor executable"), std::string::npos) << utf8(venv);
    }
    fake::reset();
    fake::add_file(u"C:\\d\\tool-script.zk");
    fake::set_env(u"VIRTUAL_ENV", u"\\\\srv\\envs\\app");
    fake::add_file(u"\\\\srv\\envs\\app\\Scripts\\zelkor.exe");
    EXPECT_EQ(fake::run().child, "\\\\srv\\envs\\app\\Scripts\\zelkor.exe C:\\d\\tool-script.zk ");
}

TEST_F(MainFlow, MissingVenvInterpreterIsTraced) {
    trace_on();
    fake::set_env(u"VIRTUAL_ENV", u"C:\\venv\\");
    std::string err = fake::run().err;
    EXPECT_NE(err.find("Zelkor executable C:\\venv\\\\Scripts\\zelkor.exe missing from virtual env\n"),
              std::string::npos);
}

constexpr const char* help_head =
    "Zelkor Launcher for Windows (Tavrin/Plennet variant) Version 0.1\n\n"
    "usage: tool.exe [ launcher-arguments ] [ zelkor-arguments ] script [ script-arguments ]\n\n"
    "Launcher arguments:\n\n-2     : Launch the latest Zelkor 2.x version\n-3     : Launch the latest "
    "Zelkor 3.x version\n-X.Y   : Launch the specified Zelkor version\n";
constexpr const char* help_tail = "\n\nThe following help text is from Zelkor:\n\n";

TEST_F(MainFlow, HelpText) {
    struct Case {
        std::vector<std::u16string> argv;
        bool wow64;
        std::string out;
    };
    const std::string wow_line = "-X.Y-32: Launch the specified 32bit Zelkor version";
    const Case cases[] = {
        {{u"tool.exe", u"-h"}, false, std::string(help_head) + help_tail},
        {{u"tool.exe", u"--HELP"}, true, std::string(help_head) + wow_line + help_tail},
        {{u"tool.exe", u"-h", u"x"}, false, ""},
        {{u"tool.exe", u"-help"}, false, ""},
    };
    for (const Case& c : cases) {
        fake::reset();
        fake::add_file(u"C:\\d\\tool-script.zk");
        with_venv();
        fake::world.wow64 = c.wow64;
        fake::world.command_line = u"tool.exe " + c.argv.back();
        fake::RunResult r = fake::run(c.argv);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.exit_code, 0u);
        // The option is not the launcher's: the child receives it.
        EXPECT_EQ(r.child, "C:\\venv\\Scripts\\zelkor.exe C:\\d\\tool-script.zk " + utf8(c.argv.back()));
    }
}

TEST_F(MainFlow, HelpShowsTheFileVersionWhenThereIsOne) {
    with_venv();
    fake::world.has_version_resource = true;
    fake::world.version_ms = 0x00030007;
    fake::world.version_ls = 0x0002FFFF;
    fake::RunResult r = fake::run({u"tool.exe", u"-h"});
    EXPECT_EQ(r.out.rfind("Zelkor Launcher for Windows (Tavrin/Plennet variant) Version 3.7.2.65535\n\n", 0), 0u);
}

}  // namespace

// Where the per-user zk.ini is looked for: the registry's "Local AppData" when its meaning
// is certain (the environment's USERPROFILE the recorded profile), else whatever
// SHGetFolderPathW says (here C:\Shell\Local, or its failure).
TEST_F(MainFlow, TheLocalAppDataFolderIsShell32sWithoutAskingIt) {
    const std::u16string folders = u"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";
    const std::u16string profiles = u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList\\";
    const std::u16string sid = u"S-1-5-21-1-2-3-1001";
    const std::string expand_default = fake::reg_sz(u"%USERPROFILE%\\AppData\\Local");
    struct Case {
        const char* name;
        uint32_t type;      // of "Local AppData"; 0: no such value
        std::string value;  // its bytes
        std::u16string profile = u"C:\\Users\\me";  // ProfileImagePath; empty: none
        void (*arrange)() = [] {};
        int32_t result = 0;
        std::string folder = "C:\\Shell\\Local";
        bool asks_shell32 = true;
    };
    const Case cases[] = {
        {"the default, expanded from the profile list", 2, expand_default, u"C:\\Users\\me", [] {}, 0,
         "C:\\Users\\me\\AppData\\Local", false},
        {"the variable in any case, and more than once", 2, fake::reg_sz(u"%userprofile%\\x\\%UserProfile%"),
         u"C:\\P", [] {}, 0, "C:\\P\\x\\C:\\P", false},
        {"USERPROFILE differing only in case", 2, expand_default, u"C:\\Users\\me",
         [] { fake::set_env(u"USERPROFILE", u"c:\\USERS\\Me"); }, 0, "C:\\Users\\me\\AppData\\Local", false},
        // Windows' shell expands with the environment: another USERPROFILE is its to judge.
        {"USERPROFILE names another folder", 2, expand_default, u"C:\\Users\\me",
         [] { fake::set_env(u"USERPROFILE", u"C:\\Elsewhere"); }},
        {"USERPROFILE absent", 2, expand_default, u"C:\\Users\\me", [] { fake::world.environment.clear(); }},
        {"USERPROFILE absent, REG_SZ", 1, fake::reg_sz(u"D:\\Data\\Local"), u"C:\\Users\\me",
         [] { fake::world.environment.clear(); }},
        {"a REG_SZ holding a percent sign", 1, fake::reg_sz(u"%USERPROFILE%\\AppData\\Local")},
        {"a redirected REG_SZ as it stands", 1, fake::reg_sz(u"D:\\Data\\Local"), u"C:\\Users\\me", [] {}, 0,
         "D:\\Data\\Local", false},
        {"a network share", 1, fake::reg_sz(u"\\\\srv\\home\\Local"), u"C:\\Users\\me", [] {}, 0,
         "\\\\srv\\home\\Local", false},
        {"data without its terminator", 1, std::string("D\0:\0\\\0L\0", 8), u"C:\\Users\\me", [] {}, 0, "D:\\L",
         false},
        {"no value", 0, ""},
        {"a value of another type", 4, std::string(4, '\0')},
        {"data of an odd length", 1, fake::reg_sz(u"D:\\L") + "x"},
        {"another variable", 2, fake::reg_sz(u"%SystemDrive%\\Data")},
        {"a lone percent sign", 2, fake::reg_sz(u"C:\\100%\\Data")},
        {"a profile path that itself needs expanding", 2, expand_default, u"%SystemDrive%\\Users\\me"},
        {"no profile path", 2, expand_default, u""},
        {"no SID", 2, expand_default, u"C:\\Users\\me", [] { fake::world.user_sid.clear(); }},
        {"a relative path", 1, fake::reg_sz(u"AppData")},
        {"a path on the current drive", 1, fake::reg_sz(u"\\AppData")},
        {"a trailing separator", 1, fake::reg_sz(u"D:\\Data\\Local\\")},
        {"a file, not a folder", 1, fake::reg_sz(u"D:\\file.txt")},
        {"a folder of 1,000 characters once expanded", 2,
         fake::reg_sz(u"%USERPROFILE%\\" + std::u16string(988, u'x')), u"C:\\Users\\me",
         [] { fake::add_directory(u"C:\\Users\\me\\" + std::u16string(988, u'x')); }, 0,
         "C:\\Users\\me\\" + std::string(988, 'x'), false},
        // SHGetFolderPathW fails for a folder that does not exist, and then so does this.
        {"a missing folder", 1, fake::reg_sz(u"D:\\Gone"), u"C:\\Users\\me",
         [] { fake::world.appdata_result = static_cast<int32_t>(0x80070002); }, static_cast<int32_t>(0x80070002),
         ""},
    };
    for (const Case& c : cases) {
        fake::reset();
        fake::world.appdata = u"C:\\Shell\\Local";
        if (c.type != 0) fake::add_reg_value(fake::current_user, fake::native_view, folders, c.type, c.value, u"Local AppData");
        if (!c.profile.empty())
            fake::add_reg_value(fake::local_machine, fake::view_64, profiles + sid, 2, fake::reg_sz(c.profile),
                                u"ProfileImagePath");
        for (const char16_t* folder : {u"C:\\Users\\me\\AppData\\Local", u"C:\\P\\x\\C:\\P", u"D:\\Data\\Local",
                                       u"\\\\srv\\home\\Local", u"D:\\L", u"C:\\Shell\\Local"})
            fake::add_directory(folder);
        fake::add_file(u"D:\\file.txt");
        // The environment's profile is the recorded one unless a row says otherwise.
        if (!c.profile.empty()) fake::set_env(u"USERPROFILE", c.profile);
        c.arrange();
        text::Growable folder;
        EXPECT_EQ(locate_local_appdata(folder), c.result) << c.name;
        if (c.result == 0) {
            EXPECT_EQ(utf8(text::c_str(folder)), c.folder) << c.name;
        }
        EXPECT_EQ(fake::call_count(fake::Op::sh_get_folder_path), c.asks_shell32 ? 1 : 0) << c.name;
        EXPECT_EQ(fake::world.open_keys, 0) << c.name;
    }
}

// The launcher's own version is read only when the help text or the trace shows it; DLL
// search is restricted before anything else.
TEST_F(MainFlow, TheVersionIsReadOnlyWhenShown) {
    struct Case {
        std::vector<std::u16string> argv;
        bool trace;
        int reads;
    };
    const Case cases[] = {
        {{u"tool.exe"}, false, 0},
        {{u"tool.exe", u"-x"}, false, 0},
        {{u"tool.exe"}, true, 1},
        {{u"tool.exe", u"--Help"}, false, 1},
    };
    for (const Case& c : cases) {
        fake::reset();
        fake::add_file(u"C:\\d\\tool-script.zk");
        with_venv();
        if (c.trace) trace_on();
        fake::run(c.argv);
        EXPECT_EQ(fake::call_count(fake::Op::get_file_version_info_size), c.reads) << c.trace << c.argv.size();
        EXPECT_EQ(fake::world.calls.front(), "restrict_dll_search");
    }
}
