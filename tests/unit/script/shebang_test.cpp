// The script's first line decides the interpreter: virtual commands, versions, custom
// commands, PATH, and the invented line.
#include "script/shebang.h"

#include "base/diagnostics.h"
#include "launcher_fixture.h"
#include "support/cmd_model.h"

using fake::utf8;

namespace {

// The message of a first line whose words after "/usr/bin/env " are not env's.
std::string env_words_error(const std::string& problem, const std::string& line) {
    return "Invalid words of env: " + problem + ".\nIn the first line of the script, '" + line +
           "', the words after '/usr/bin/env' are read as env -S reads them.\nPlease check the documentation.\n";
}

const char* const version_advice =
    "In the first line of the script, 'zelkor' needs to be followed by a valid version specifier.\n"
    "Please check the documentation.\n";

class Shebang : public LauncherTest {
protected:
    // 3.6 and 2.7 installed; mytool and others custom commands; tool.exe and spaced.exe
    // on PATH, the latter in a folder with a blank.
    static void world(const std::string& first_line) {
        fake::reset();
        fake::add_file(u"C:\\d\\tool-script.zk", first_line + "\r\nprint()\r\n");
        fake::add_install(fake::current_user, fake::native_view, u"3.6", u"C:\\Z36");
        fake::add_install(fake::current_user, fake::native_view, u"2.7", u"C:\\Z27");
        fake::add_file(u"C:\\Z36\\zelkor.exe");
        fake::add_file(u"C:\\Z27\\zelkor.exe");
        fake::add_ini(u"C:\\d\\zk.ini", u"commands", u"mytool", u"C:\\tools\\mytool.exe");
        fake::add_ini(u"C:\\d\\zk.ini", u"commands", u"mine", u"\"C:\\My Tools\\mine.exe\"");
        fake::add_ini(u"C:\\d\\zk.ini", u"commands", u"withargs", u"C:\\My Tools\\mine.exe -q");
        fake::add_ini(u"C:\\d\\zk.ini", u"commands", u"folder", u"C:\\My Tools");
        fake::add_ini(u"C:\\d\\zk.ini", u"commands", u"relative", u"rt\\zelkor.exe -v");
        fake::add_ini(u"C:\\d\\zk.ini", u"commands", u"rooted", u"\\rt\\zelkor.exe -v");
        fake::add_ini(u"C:\\d\\zk.ini", u"commands", u"unixlike", u"/rt/zelkor.exe");
        // What a user may plant in the root of the system drive.
        fake::add_file(u"C:\\usr\\bin\\env.exe");
        fake::add_file(u"C:\\usr\\bin\\nowhere-tool.exe");
        fake::add_file(u"C:\\d\\local.exe");
        fake::add_file(u"C:\\rt\\zelkor.exe");
        fake::add_file(u"C:\\d\\rt\\zelkor.exe");
        fake::add_file(u"D:zelkor.exe");  // what the current folder of D: might hold
        fake::add_file(u"C:\\other\\tool.exe");
        fake::add_file(u"C:\\My Tools\\mine.exe");
        fake::set_path({u"C:\\bin", u"C:\\My Tools"});
        fake::add_file(u"C:\\bin\\tool.exe");
        fake::add_file(u"C:\\My Tools\\spaced.exe");
        fake::add_file(u"C:\\bin\\.EXE");  // what a search for no name with ".EXE" would find
        fake::add_file(u"C:\\tools\\mytool.exe");
        fake::add_file(u"C:\\zelkor.exe");
        fake::set_env(u"PATHEXT", u".COM;.EXE");
        fake::world.command_line = u"tool.exe a";
        fake::set_env(u"ZKEMPTY", u"");
    }
};

TEST_F(Shebang, FirstLines) {
    struct Case {
        std::string line;
        uint32_t code;
        std::string child_or_error;
        std::string program = "";  // what CreateProcessW is given; "": the child's first word
    };
    const std::string tail = " C:\\d\\tool-script.zk a";
    const Case cases[] = {
        {"#!/usr/bin/env zelkor", 0, "C:\\Z27\\zelkor.exe" + tail},  // not on PATH: prefers major 2
        {"#!/usr/bin/env zelkor -u", 0, "C:\\Z27\\zelkor.exe -u" + tail},
        {"#!/usr/bin/env zelkor3 -u", 0, "C:\\Z36\\zelkor.exe -u" + tail},
        {"#!/usr/bin/zelkor3.6", 0, "C:\\Z36\\zelkor.exe" + tail},
        {"#!/usr/local/bin/zelkor2", 0, "C:\\Z27\\zelkor.exe" + tail},
        {"#!zelkor", 0, "C:\\Z27\\zelkor.exe" + tail},
        {"#!  zelkor3.6 -u -x  ", 0, "C:\\Z36\\zelkor.exe -u -x" + tail},
        {"#!zelkor3.6-32", 103, "Requested Zelkor version (3.6-32) is not installed\n"},
        {"#!/usr/bin/zelkor3.6-32", 103, "Requested Zelkor version (3.6-32) is not installed\n"},
        {"#!zelkor3.10", 102, "Invalid version specification: '3.10'.\n" + std::string(version_advice)},
        {"#!zelkorw", 102, "Invalid version specification: 'w'.\n" + std::string(version_advice)},
        {"#!zelkor3\t-u", 102, "Invalid version specification: '3\t-u'.\n" + std::string(version_advice)},
        {"#!zelkor4", 103, "Requested Zelkor version (4) is not installed\n"},
        // Not virtual, found nowhere: run as written, and Windows would not start it.
        {"#!Zelkor3", 101, "Unable to create process using 'Zelkor3" + tail + "'\n"},
        {"#!mytool -x  ", 0, "C:\\tools\\mytool.exe -x" + tail},
        {"#!MYTOOL", 0, "C:\\tools\\mytool.exe" + tail},
        {"#!/USR/BIN/ENV mytool -x", 0, "C:\\tools\\mytool.exe -x" + tail},
        {"#!/usr/bin/env  mytool", 0, "C:\\tools\\mytool.exe" + tail},
        {"#!/usr/bin/tool -v", 0, "C:\\bin\\tool.EXE -v" + tail},
        // A path with a blank the launcher puts first is quoted: unquoted, the system
        // would start C:\My.exe. A configured value with arguments stays as written.
        {"#!spaced -x", 0, "\"C:\\My Tools\\spaced.EXE\" -x" + tail},
        {"#!mine -x", 0, "\"C:\\My Tools\\mine.exe\" -x" + tail},
        {"#!withargs -x", 0, "C:\\My Tools\\mine.exe -q -x" + tail, "C:\\My Tools\\mine.exe"},
        // A relative path is the script's (C:\d), never the current folder's; a
        // drive-relative one is nobody's.
        {"#!.\\local.exe -x", 0, "C:\\d\\local.exe -x" + tail},
        {"#!../rt/zelkor.exe", 0, "C:\\rt\\zelkor.exe" + tail},
        {"#!D:zelkor.exe", 101, "Unable to create process using 'D:zelkor.exe" + tail + "'\n"},
        {"#!relative", 0, "rt\\zelkor.exe -v" + tail, "C:\\d\\rt\\zelkor.exe"},  // a custom command's value
        // A path rooted on no drive is the current drive's: nobody's.
        {"#!/usr/bin/env nowhere-tool -x", 101, "Unable to create process using '/usr/bin/env nowhere-tool -x" + tail + "'\n"},
        {"#!/usr/bin/nowhere-tool", 101, "Unable to create process using '/usr/bin/nowhere-tool" + tail + "'\n"},
        {"#!\\rt\\zelkor.exe", 101, "Unable to create process using '\\rt\\zelkor.exe" + tail + "'\n"},
        {"#!rooted -x", 101, "Unable to create process using '\\rt\\zelkor.exe -v -x" + tail + "'\n"},
        {"#!unixlike", 101, "Unable to create process using '/rt/zelkor.exe" + tail + "'\n"},
        // env's own words before the command; then as if the rest followed "/usr/bin/env ".
        {"#!/usr/bin/env -S zelkor3 -X utf8", 0, "C:\\Z36\\zelkor.exe -X utf8" + tail},
        {"#!/usr/bin/env -Szelkor3 -x", 0, "C:\\Z36\\zelkor.exe -x" + tail},
        {"#!/usr/bin/env --split-string=zelkor2 -x  ", 0, "C:\\Z27\\zelkor.exe -x" + tail},
        {"#!/usr/bin/env --split-string\tzelkor2", 0, "C:\\Z27\\zelkor.exe" + tail},
        {"#!/usr/bin/env -S zelkor -X", 0, "C:\\Z27\\zelkor.exe -X" + tail},  // PATH, then 2.x first
        {"#!/usr/bin/env -S zelkorw", 102, "Invalid version specification: 'w'.\n" + std::string(version_advice)},
        {"#!/USR/BIN/ENV -S ZK_A=1 -u ZK_B -- zelkor3", 0, "C:\\Z36\\zelkor.exe" + tail},
        {"#!/usr/bin/env ZK_A=\"x y\" -S mytool -x", 0, "C:\\tools\\mytool.exe -x" + tail},
        {"#!/usr/bin/env -u ZK_B -S -- -x", 101, "Unable to create process using '/usr/bin/env -u ZK_B -S -- -x" + tail + "'\n"},
        {"#!/usr/bin/env zelkor -S x", 0, "C:\\Z27\\zelkor.exe -S x" + tail},  // after the command: its own
        {"#!/usr/bin/env PATH='C:\\other' tool -v", 0, "C:\\other\\tool.EXE -v" + tail},  // PATH decides the search
        // With env's words the line is split as env -S splits it, and each argument written
        // for a Windows command line.
        {"#!/usr/bin/env -S zelkor3 -c 'print(\"a b\")' \"x\\\\\"", 0, "C:\\Z36\\zelkor.exe -c \"print(\\\"a b\\\")\" x\\" + tail},
        {"#!/usr/bin/env -S \"zelkor3\" -x", 0, "C:\\Z36\\zelkor.exe -x" + tail},
        {"#!/usr/bin/env -S 'mytool' 'it\\'s' \"a\\\"b\" a\\\\b '' \"x\\_y\" p\\_q", 0,
         "C:\\tools\\mytool.exe it's \"a\\\"b\" a\\b \"\" \"x y\" p q" + tail},
        {"#!/usr/bin/env -S mytool ${PATHEXT} '${PATHEXT}' \"${ZK_UNSET}x\"", 0,
         "C:\\tools\\mytool.exe .COM;.EXE ${PATHEXT} x" + tail},
        {"#!/usr/bin/env -S mytool -x #-y", 0, "C:\\tools\\mytool.exe -x" + tail},
        {"#!/usr/bin/env -S mytool -x\\c -y", 0, "C:\\tools\\mytool.exe -x" + tail},
        {"#!/usr/bin/env -S mytool \"a\\tb\" 'C:\\x y\\\\'", 0, "C:\\tools\\mytool.exe \"a\tb\" \"C:\\x y\\\\\"" + tail},
        {"#!/usr/bin/env ZK_A='x y' mytool -x", 0, "C:\\tools\\mytool.exe -x" + tail},
        // ${NAME} alone, unset or empty, makes no word, as env makes none.
        {"#!/usr/bin/env -S mytool ${ZK_UNSET} -x ${ZKEMPTY}", 0, "C:\\tools\\mytool.exe -x" + tail},
        {"#!/usr/bin/env -S ${ZK_UNSET} mytool '' \"${ZK_UNSET}\"", 0, "C:\\tools\\mytool.exe \"\" \"\"" + tail},
        // Without -S a backslash is a backslash: Windows paths as values and arguments.
        {"#!/usr/bin/env ZK_A=1 mytool C:\\x\\ \"C:\\a b\\\" 'c d' ${ZK_UNSET}", 0,
         "C:\\tools\\mytool.exe C:\\x\\ \"C:\\a b\\\\\" \"c d\"" + tail},
        {"#!/usr/bin/env -S mytool 'x", 102, env_words_error("a quote is not closed", "#!/usr/bin/env -S mytool 'x")},
        {"#!/usr/bin/env -S \"zelkor3 -x", 102, env_words_error("a quote is not closed", "#!/usr/bin/env -S \"zelkor3 -x")},
        {"#!/usr/bin/env -S mytool C:\\x", 102, env_words_error("\\x is no escape of env", "#!/usr/bin/env -S mytool C:\\x")},
        {"#!/usr/bin/env -S mytool $HOME", 102,
         env_words_error("only ${NAME} is expanded, not '$HOME'", "#!/usr/bin/env -S mytool $HOME")},
        {"#!/usr/bin/env -S mytool x\\", 102, env_words_error("a backslash ends the line", "#!/usr/bin/env -S mytool x\\")},
        {"#!/usr/bin/env -S mytool \"\\c\"", 102,
         env_words_error("\\c inside double quotes", "#!/usr/bin/env -S mytool \"\\c\"")},
        {"#!/usr/bin/env -S 'zelkor3 -x'", 102, "Invalid version specification: '3 -x'.\n" + std::string(version_advice)},
        // Without env's words a line keeps its plain reading.
        {"#!/usr/bin/env mytool 'x y' C:\\x", 0, "C:\\tools\\mytool.exe 'x y' C:\\x" + tail},
        {"#!/usr/bin/env -S", 101, "Unable to create process using '/usr/bin/env -S" + tail + "'\n"},  // no command
        {"#!/usr/bin/env ZK_A=1  ", 101, "Unable to create process using '/usr/bin/env ZK_A=1" + tail + "'\n"},
        {"#!/usr/bin/env -u", 101, "Unable to create process using '/usr/bin/env -u" + tail + "'\n"},
        {"#!/usr/bin/env =x", 101, "Unable to create process using '/usr/bin/env =x" + tail + "'\n"},  // no name: a command
        {"#!folder", 101, "Unable to create process using 'C:\\My Tools" + tail + "'\n"},
        {"#!/usr/bin/ -x", 101, "Unable to create process using '/usr/bin/ -x" + tail + "'\n"},  // names nothing
        {"#!nothere -x", 101, "Unable to create process using 'nothere -x" + tail + "'\n"},
        {"#!a   ", 101, "Unable to create process using 'a" + tail + "'\n"},
        {"#!", 0, "C:\\Z36\\zelkor.exe" + tail},     // names nothing: the default road
        {"#!  \t ", 0, "C:\\Z36\\zelkor.exe" + tail},
        {"print()", 0, "C:\\zelkor.exe" + tail},     // invented: the parent of C:\d
        {"", 0, "C:\\zelkor.exe" + tail},
    };
    for (const Case& c : cases) {
        world(c.line);
        fake::RunResult r = fake::run();
        EXPECT_EQ(r.exit_code, c.code) << c.line;
        EXPECT_EQ(c.code == 0 ? r.child : r.err, c.child_or_error) << c.line;
        if (c.code != 0) continue;
        std::string program = c.program;
        if (program.empty()) {
            bool quoted = r.child[0] == '"';
            program = r.child.substr(quoted, r.child.find(quoted ? '"' : ' ', quoted) - quoted);
        }
        ASSERT_FALSE(fake::world.child_programs.empty()) << c.line;
        EXPECT_EQ(utf8(fake::world.child_programs.back()), program) << c.line;
    }
}

// env's variables change in the order written, for the launcher and so for the child,
// before the command is looked up; an option env has but the launcher cannot honour ends
// the run before anything changes.
TEST_F(Shebang, EnvWords) {
    world("#!/usr/bin/env ZK_A=1 -u ZK_B -uZK_C --unset=ZK_D --unset ZK_E ZK_A=\"2 3\"x ZK_F=a=b ZK_G= ZK_H='p q' "
          "zelkor3");
    for (const char16_t* name : {u"ZK_B", u"ZK_C", u"ZK_D", u"ZK_E"}) fake::set_env(name, u"set");
    trace_on();
    fake::RunResult r = fake::run();
    EXPECT_EQ(r.child, "C:\\Z36\\zelkor.exe C:\\d\\tool-script.zk a");
    std::vector<std::string> left;
    for (auto& [name, value] : fake::world.environment)
        if (name.starts_with(u"ZK_")) left.push_back(utf8(name + u"=" + value));
    EXPECT_EQ(left, (std::vector<std::string>{"ZK_A=2 3x", "ZK_F=a=b", "ZK_G=", "ZK_H=p q"}));  // ZK_G set empty
    EXPECT_NE(r.err.find("parse_shebang: env sets ZK_A=1\nparse_shebang: env removes ZK_B\nparse_shebang: env removes "
                         "ZK_C\nparse_shebang: env removes ZK_D\nparse_shebang: env removes ZK_E\nparse_shebang: env "
                         "sets ZK_A=2 3x\nparse_shebang: env sets ZK_F=a=b\nparse_shebang: env sets ZK_G=\nparse_shebang: env "
                         "sets ZK_H=p q\nparse_shebang: env runs zelkor3\n"),
              std::string::npos)
        << r.err;

    for (const char* option : {"-i", "--ignore-environment", "-", "-C", "--chdir=C:\\x", "-P", "-0", "-v", "--debug",
                               "--default-signal", "--block-signal=INT", "-x", "--unset="}) {
        world("#!/usr/bin/env ZK_A=1 " + std::string(option) + " zelkor3");
        r = fake::run();
        EXPECT_EQ(r.exit_code, 102u) << option;
        EXPECT_EQ(r.err, "Unsupported option of env: '" + std::string(option) +
                             "'.\nIn the first line of the script, '#!/usr/bin/env ZK_A=1 " + option +
                             " zelkor3', '/usr/bin/env' may be followed only by -S, -u NAME, NAME=VALUE and -- before "
                             "the command.\nPlease check the documentation.\n");
        EXPECT_TRUE(fake::world.child_command_lines.empty()) << option;
        for (const std::string& call : fake::world.calls) EXPECT_FALSE(call.starts_with("set_environment")) << option;
    }

    // A change Windows refuses ends the run, naming the variable; nothing is started.
    const std::string refused = "', '/usr/bin/env' sets or removes a variable as Windows does not allow.\nPlease check "
                                "the documentation.\n";
    world("#!/usr/bin/env ZK_A=1 -u ZK_B zelkor3");
    fake::fail_call(fake::Op::set_environment_variable, 2, 8);
    r = fake::run();
    EXPECT_EQ(r.exit_code, 102u);
    EXPECT_EQ(r.err, "Unable to change the variable 'ZK_B' of env (error 8).\nIn the first line of the script, "
                     "'#!/usr/bin/env ZK_A=1 -u ZK_B zelkor3" + refused);
    EXPECT_TRUE(fake::world.child_command_lines.empty());
    world("#!/usr/bin/env -u A=B zelkor3");
    r = fake::run();
    EXPECT_EQ(r.err, "Unable to change the variable 'A=B' of env (error 87).\nIn the first line of the script, "
                     "'#!/usr/bin/env -u A=B zelkor3" + refused);
    // A line whose words are not env's changes nothing.
    world("#!/usr/bin/env ZK_A=1 zelkor3 'x");
    EXPECT_EQ(fake::run().exit_code, 102u);
    for (const std::string& call : fake::world.calls) EXPECT_FALSE(call.starts_with("set_environment"));
}

// As Windows takes them: -u of a variable that is not there (Windows refuses to remove it,
// 203) has removed it; without -S a Windows path is a value as written, after it env -S's
// escapes are read.
TEST_F(Shebang, EnvWordsAsWindowsTakesThem) {
    auto value_of = [](const char16_t* name) {
        for (auto& [n, v] : fake::world.environment)
            if (n == name) return utf8(v);
        return std::string("(unset)");
    };
    world("#!/usr/bin/env -u ZK_ABSENT ZK_P=\"C:\\Program Files\\Zelkor\" ZK_Q=C:\\tools\\new zelkor3");
    fake::RunResult r = fake::run();
    EXPECT_EQ(r.exit_code, 0u) << r.err;
    EXPECT_EQ(r.child, "C:\\Z36\\zelkor.exe C:\\d\\tool-script.zk a");
    EXPECT_EQ(value_of(u"ZK_P"), "C:\\Program Files\\Zelkor");
    EXPECT_EQ(value_of(u"ZK_Q"), "C:\\tools\\new");
    EXPECT_EQ(value_of(u"ZK_ABSENT"), "(unset)");
    world("#!/usr/bin/env -S ZK_Q=C:\\tools\\new zelkor3");
    EXPECT_EQ(fake::run().exit_code, 0u);
    EXPECT_EQ(value_of(u"ZK_Q"), "C:\tools\new");
}

// env's words reach a batch file each as one argument, read back as Windows' cmd reads
// the line: "a&b" runs nothing.
TEST_F(Shebang, EnvWordsReachABatchFileWhole) {
    world("#!/usr/bin/env -S mybat.cmd \"a&b\" 'c d'");
    fake::add_file(u"C:\\bin\\mybat.cmd");
    fake::RunResult r = fake::run();
    EXPECT_EQ(r.exit_code, 0u) << r.err;
    ASSERT_FALSE(fake::world.child_command_lines.empty());
    cmd_model::Reading read = cmd_model::read(fake::world.child_command_lines.back());
    EXPECT_EQ(utf8(read.program), "C:\\bin\\mybat.cmd") << r.child;
    EXPECT_EQ(utf8(read.separators), "") << r.child;
    std::vector<std::string> arguments;
    for (const std::u16string& a : read.arguments) arguments.push_back(utf8(cmd_model::unquoted(a)));
    EXPECT_EQ(arguments, (std::vector<std::string>{"a&b", "c d", "C:\\d\\tool-script.zk", "a"})) << r.child;
}

TEST_F(Shebang, EnvZelkorFindsThePathFirst) {
    world("#!/usr/bin/env zelkor -u");
    fake::add_file(u"C:\\bin\\zelkor.exe");
    trace_on();
    fake::RunResult r = fake::run();
    EXPECT_EQ(r.child, "C:\\bin\\zelkor.exe -u C:\\d\\tool-script.zk a");
    EXPECT_NE(r.err.find("searching PATH for zelkor executable\nZelkor on path: C:\\bin\\zelkor.exe\n"
                         "located zelkor on PATH: C:\\bin\\zelkor.exe\n"),
              std::string::npos)
        << r.err;
    // A path with a blank is quoted, so that the system does not take its first word.
    world("#!/usr/bin/env zelkor");
    fake::set_path({u"C:\\Program Files\\Z"});
    fake::add_file(u"C:\\Program Files\\Z\\zelkor.exe");
    EXPECT_EQ(fake::run().child, "\"C:\\Program Files\\Z\\zelkor.exe\" C:\\d\\tool-script.zk a");
}

TEST_F(Shebang, NothingInstalledAndNotOnPath) {
    fake::reset();
    fake::add_file(u"C:\\d\\tool-script.zk", "#!/usr/bin/env zelkor\n");
    trace_on();
    fake::RunResult r = fake::run();
    EXPECT_EQ(r.exit_code, 103u);
    const std::string message = "Requested Zelkor version () is not installed\n";
    EXPECT_EQ(r.err.substr(r.err.size() - message.size()), message);
    EXPECT_NE(r.err.find("Zelkor on path: <not found>\n"), std::string::npos);
}

TEST_F(Shebang, OneDigitVersionsHonourTheirConfiguredDefault) {
    world("#!zelkor3");
    fake::add_install(fake::current_user, fake::native_view, u"3.9", u"C:\\Z39");
    fake::add_file(u"C:\\Z39\\zelkor.exe");
    EXPECT_EQ(fake::run().child, "C:\\Z39\\zelkor.exe C:\\d\\tool-script.zk a");
    world("#!zelkor3");
    fake::add_install(fake::current_user, fake::native_view, u"3.9", u"C:\\Z39");
    fake::add_file(u"C:\\Z39\\zelkor.exe");
    fake::set_env(u"zk_zelkor3", u"3.6");
    EXPECT_EQ(fake::run().child, "C:\\Z36\\zelkor.exe C:\\d\\tool-script.zk a");
}

TEST_F(Shebang, InventedLines) {
    struct Case {
        std::u16string script;
        const char* invented;
    };
    const Case cases[] = {
        {u"C:\\Envs\\tools\\Scripts\\tool-script.zk", "#!C:\\Envs\\tools\\zelkor.exe"},
        {u"C:\\tool-script.zk", "#!C:\\zelkor.exe"},
        {u"C:/Envs/x/tool-script.zk", "#!C:\\Envs\\zelkor.exe"},
        {u"\\\\server\\share\\d\\tool-script.zk", "#!\\\\server\\share\\zelkor.exe"},
        {u"tool-script.zk", "#!zelkor.exe"},
        {u"d\\tool-script.zk", "#!zelkor.exe"},
        {u"C:\\Program Files\\d\\tool-script.zk", "#!\"C:\\Program Files\\zelkor.exe\""},
    };
    for (const Case& c : cases) {
        fake::reset();
        log_stream = LogStream::standard_error;
        ScriptHeader header{u"print()", 7};
        ShebangCommand command{};
        ASSERT_TRUE(parse_shebang(header, c.script.c_str(), command));
        std::string err = utf8(fake::world.err);
        EXPECT_NE(err.find("parse_shebang called without a valid shebang print() (for argv0 " + utf8(c.script) +
                           ")\ninvented shebang: " + c.invented + "\n"),
                  std::string::npos)
            << err;
    }
    // A folder of any length gives its line whole.
    std::u16string deep = u"C:\\" + std::u16string(30000, u'd');
    std::u16string script = deep + u"\\sub\\tool-script.zk";
    ScriptHeader header{u"x", 1};
    ShebangCommand command{};
    fake::reset();
    ASSERT_TRUE(parse_shebang(header, script.c_str(), command));
    EXPECT_EQ(utf8(command.command), utf8(u"#!" + deep + u"\\zelkor.exe").substr(2));
    EXPECT_FALSE(parse_shebang(header, u"", command));
}

TEST_F(Shebang, VersionSpecifications) {
    for (const char16_t* valid : {u"", u"3", u"3.6", u"3.6-32", u"0.0-32"}) EXPECT_TRUE(check_version_spec(valid));
    for (const char16_t* invalid : {u"3.", u"3.10", u"3-32", u"3.6-64", u"3.6-32 ", u"x", u".6", u"3,6", u"36"})
        EXPECT_FALSE(check_version_spec(invalid)) << utf8(invalid);
}

}  // namespace
