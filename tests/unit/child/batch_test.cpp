// A batch file's road, held to Windows' cmd through the model of how cmd reads its line
// (support/cmd_model), and the model itself against cmd's documented rules.
#include "child/child.h"

#include "base/diagnostics.h"
#include "launcher_fixture.h"
#include "support/cmd_model.h"

using fake::utf8;

namespace {

using Batch = LauncherTest;
using Arguments = std::vector<std::u16string>;

// The model: how cmd reads a line, by its own rules (cmd /?), and the split every caller
// writes for. The first rows are the lines Windows gives cmd for a batch file handed to
// CreateProcessW ("/c" and the line as it stands): its quote rule breaks them.
TEST(CmdModel, ReadsAsCmdDocuments) {
    struct Case {
        std::u16string line;
        std::u16string program;
        Arguments arguments;  // as cmd hands them, quotes kept
        std::u16string separators = u"";
        std::vector<std::u16string> variables = {};
    };
    const Case cases[] = {
        // Two quotes with & between them: the first and the last quote go.
        {u"cmd.exe /c \"C:\\zkt\\R&D\\bin\\mybat.cmd\" -x", u"C:\\zkt\\R", {}, u"&"},
        // More than two quotes: the same, and the rest of the line is read inside out.
        {u"cmd.exe /c \"C:\\bin\\b.cmd\" \"C:\\zkt\\a&b\\t-script.zk\" a", u"C:\\bin\\b.cmd C:\\zkt\\a", {}, u"&"},
        // Two quotes around a path with a blank and nothing special: kept.
        {u"cmd.exe /c \"C:\\My Tools\\b.cmd\" x", u"C:\\My Tools\\b.cmd", {u"x"}},
        // /s: the outer quotes alone removed; quoted operators and doubled quotes hold.
        {u"\"C:\\W\\cmd.exe\" /d /e:on /v:off /s /c \"\"C:\\R&D\\b.cmd\" \"a&b\" \"\"\"&del x\" ,;= \"\"\"",
         u"C:\\R&D\\b.cmd", {u"\"a&b\"", u"\"\"\"&del x\"", u"\"\""}},
        // %NAME% expands even inside quotes; an undefined one stays; ^ escapes outside them.
        {u"cmd /s /c \"\"b.cmd\" \"%ZKW%\" %NONE% a^&b \"^&\"\"", u"b.cmd", {u"\"x&y\"", u"%NONE%", u"a&b", u"\"^&\""}, u"",
         {u"ZKW", u"NONE"}},
        {u"cmd /c b.cmd a&echo x|more>o<i (y)", u"b.cmd", {u"a"}, u"&|><()"},
    };
    for (const Case& c : cases) {
        cmd_model::Reading r = cmd_model::read(c.line, {{u"ZKW", u"x&y"}});
        EXPECT_EQ(utf8(r.error), "") << utf8(c.line);
        EXPECT_EQ(utf8(r.program), utf8(c.program)) << utf8(c.line);
        EXPECT_EQ(r.arguments, c.arguments) << utf8(c.line);
        EXPECT_EQ(utf8(r.separators), utf8(c.separators)) << utf8(c.line);
        EXPECT_EQ(r.variables, c.variables) << utf8(c.line);
    }
    EXPECT_EQ(utf8(cmd_model::unquoted(u"\"a\"\"b\"")), "a\"\"b");
    EXPECT_EQ(utf8(cmd_model::unquoted(u"\"\"\"\"")), "\"\"");
    EXPECT_EQ(utf8(cmd_model::unquoted(u"\"\"")), "");
}

TEST(CmdModel, SplitsAsCommandLineToArgvW) {
    struct Case {
        std::u16string tail;
        Arguments arguments;
    };
    const Case cases[] = {
        {u"  a\tb  ", {u"a", u"b"}},
        {u"\"\\\"&del x\"", {u"\"&del x"}},
        {u"a\\\\b \"c\\\\\" d\\\\\\\"e \\\\\\\\\"f g\"", {u"a\\\\b", u"c\\", u"d\\\"e", u"\\\\f g"}},
        {u"\"\" \"a\"\"b\"", {u"", u"a\"b"}},
        {u"\"x\"\"\"y z\"", {u"x\"y z"}},
        {u"\"open to the end", {u"open to the end"}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(cmd_model::split_arguments(c.tail), c.arguments) << utf8(c.tail);
        // What a caller writes reads back the same.
        EXPECT_EQ(cmd_model::split_arguments(cmd_model::join_arguments(c.arguments)), c.arguments) << utf8(c.tail);
    }
}

const std::u16string cmd_exe = u"C:\\Windows\\System32\\cmd.exe";

// Each row starts a batch file as launch_with_args is asked to (a program found on PATH,
// or given), and reads the child's line as Windows' cmd reads it: the batch file runs
// with every argument as CommandLineToArgvW reads it from the launcher's line, nothing
// outside quotes where cmd splits, nothing expanded; or the run ends with 101 before
// anything exists.
TEST_F(Batch, EveryArgumentAsItsCallerMeantIt) {
    struct Case {
        const char* name;
        std::u16string executable, arguments, rest;
        const char16_t* program;  // null: decided from the line
        Arguments expected;       // empty: refused (101), `refusal` in the trace
        const char* refusal = "";
    };
    const std::u16string batch = u"C:\\bin\\mybat.cmd";
    const Case cases[] = {
        {"a batch file in R&D", u"mybat2.cmd", u"-x", u"C:\\d\\tool-script.zk a", nullptr,
         {u"-x", u"C:\\d\\tool-script.zk", u"a"}},
        {"a script in a&b", u"\"" + batch + u"\"", u"", u"C:\\zkt\\a&b\\tool-script.zk a", batch.c_str(),
         {u"C:\\zkt\\a&b\\tool-script.zk", u"a"}},
        {"a script folder with a blank, a quoted argument", u"\"" + batch + u"\"", u"-q",
         u"\"C:\\zkt\\a b\\tool-script.zk\" \"x y\" z", batch.c_str(), {u"-q", u"C:\\zkt\\a b\\tool-script.zk", u"x y", u"z"}},
        {"an argument escaped with \\\" and &", u"\"" + batch + u"\"", u"", u"C:\\d\\tool-script.zk \"\\\"&del x\"",
         batch.c_str(), {u"C:\\d\\tool-script.zk", u"\"&del x"}},
        {"what cmd splits at, escapes and ends a quote with", u"\"" + batch + u"\"", u"a&b",
         u"C:\\d\\t-script.zk \"a\\\\\" ^x \"\" ,;= \"q\\\"r\" !x! (y) caf\u00e9 \"\u00a0\"", batch.c_str(),
         {u"a&b", u"C:\\d\\t-script.zk", u"a\\", u"^x", u"", u",;=", u"q\"r", u"!x!", u"(y)", u"caf\u00e9", u"\u00a0"}},
        {"% in an argument", u"\"" + batch + u"\"", u"", u"C:\\d\\tool-script.zk 50%", batch.c_str(), {},
         "run_child: the argument '50%' of batch file C:\\bin\\mybat.cmd holds '%', which the command interpreter "
         "expands even inside quotes: not started\n"},
        {"% in the script's path", u"\"" + batch + u"\"", u"", u"C:\\zkt\\%ZKW%\\tool-script.zk a", batch.c_str(), {},
         "run_child: the argument 'C:\\zkt\\%ZKW%\\tool-script.zk' of batch file C:\\bin\\mybat.cmd holds '%'"},
        {"% in the first line's arguments", u"\"" + batch + u"\"", u"%%cd:~,%ZKW%", u"C:\\d\\t-script.zk", batch.c_str(),
         {}, "holds '%'"},
        {"a line feed", u"\"" + batch + u"\"", u"\"a\nb\"", u"C:\\d\\t-script.zk", batch.c_str(), {},
         "holds a line feed, which ends the command interpreter's line: not started\n"},
        {"a carriage return", u"\"" + batch + u"\"", u"", u"C:\\d\\t-script.zk a\rb", batch.c_str(), {},
         "holds a carriage return"},
        // cmd reads 8191 characters after /c: "<inner>" of 38 units and the argument.
        {"a line cmd reads whole", u"\"" + batch + u"\"", u"", u"C:\\d\\t-script.zk " + std::u16string(8153, u'x'),
         batch.c_str(), {u"C:\\d\\t-script.zk", std::u16string(8153, u'x')}},
        {"a line longer than cmd reads", u"\"" + batch + u"\"", u"", u"C:\\d\\t-script.zk " + std::u16string(8154, u'x'),
         batch.c_str(), {}, "would be 8192 characters, more than the 8191 it reads: not started\n"},
    };
    for (const Case& c : cases) {
        fake::reset();
        log_stream = LogStream::standard_error;
        fake::set_path({u"C:\\zkt\\R&D\\bin"});
        fake::add_file(u"C:\\zkt\\R&D\\bin\\mybat2.cmd");
        std::u16string executable = c.executable;
        uint32_t code = fake::exit_code_of([&] {
            launch_with_args(executable.data(), c.arguments.c_str(), c.rest.c_str(), c.program);
        });
        std::string err = utf8(fake::world.err);
        if (c.expected.empty()) {
            EXPECT_EQ(code, 101u) << c.name;
            EXPECT_NE(err.find(c.refusal), std::string::npos) << c.name << "\n" << err;
            EXPECT_NE(err.find("Unable to create process using '"), std::string::npos) << c.name << "\n" << err;
            EXPECT_TRUE(fake::world.calls.empty()) << c.name;  // not even a job
            continue;
        }
        EXPECT_EQ(code, 0u) << c.name << "\n" << err;
        ASSERT_EQ(fake::world.child_command_lines.size(), 1u) << c.name;
        EXPECT_EQ(utf8(fake::world.child_programs[0]), utf8(cmd_exe)) << c.name;
        cmd_model::Reading r = cmd_model::read(fake::world.child_command_lines[0], {{u"ZKW", u"x&y"}});
        std::string line = utf8(fake::world.child_command_lines[0]);
        EXPECT_EQ(utf8(r.error), "") << c.name << "\n" << line;
        EXPECT_TRUE(r.s_switch && r.d_switch && r.extensions_on && r.delayed_off) << c.name << "\n" << line;
        EXPECT_EQ(utf8(r.separators), "") << c.name << "\n" << line;
        EXPECT_TRUE(r.variables.empty()) << c.name << "\n" << line;
        EXPECT_NE(r.program.find(u"mybat"), std::u16string::npos) << c.name << "\n" << line;
        EXPECT_EQ(utf8(r.program), utf8(c.program != nullptr ? c.program : u"C:\\zkt\\R&D\\bin\\mybat2.cmd")) << c.name;
        Arguments got;
        for (const std::u16string& a : r.arguments) got.push_back(cmd_model::unquoted(a));
        Arguments expected;
        for (const std::u16string& a : c.expected) expected.push_back(cmd_model::as_handed(a));
        EXPECT_EQ(got, expected) << c.name << "\n" << line;
        // The trace shows the whole line handed to cmd.exe.
        EXPECT_NE(err.find("run_child: about to run '" + line + "'\n"), std::string::npos) << c.name << "\n" << err;
    }
}

// The line exactly, as the trace and a failed start show it.
TEST_F(Batch, TheCommandInterpretersLine) {
    fake::world.system_directory = u"C:\\windows\\system32";
    log_stream = LogStream::standard_error;
    fake::fail_call(fake::Op::create_process_in_job, 1, 87);
    fake::fail_call(fake::Op::create_process, 1, 2);
    std::u16string executable = u"\"C:\\zkt\\R&D\\mybat.cmd\"";
    uint32_t code = fake::exit_code_of([&] {
        launch_with_args(executable.data(), u"-x", u"\"C:\\a b\\t-script.zk\" \"\\\"q\" &", u"C:\\zkt\\R&D\\mybat.cmd");
    });
    const std::string line = "\"C:\\windows\\system32\\cmd.exe\" /d /e:on /v:off /s /c \"\"C:\\zkt\\R&D\\mybat.cmd\" -x "
                             "\"C:\\a b\\t-script.zk\" \"\"\"q\" \"&\"\"";
    EXPECT_EQ(code, 101u);
    EXPECT_EQ(utf8(fake::world.err),
              "run_child: C:\\zkt\\R&D\\mybat.cmd is a batch file: run by C:\\windows\\system32\\cmd.exe, each argument "
              "written for it\nrun_child: about to run '" + line + "'\nrun_child: CreateProcessW failed: error 2\n"
              "Unable to create process using '" + line + "'\n");
    EXPECT_EQ(utf8(fake::world.child_programs.back()), "C:\\windows\\system32\\cmd.exe");
    // No system folder: no command interpreter, nothing started.
    fake::reset();
    fake::fail_call(fake::Op::get_system_directory, 1, 5);
    code = fake::exit_code_of([&] { launch_with_args(executable.data(), u"", u"s", u"C:\\zkt\\R&D\\mybat.cmd"); });
    EXPECT_EQ(code, 101u);
    EXPECT_EQ(utf8(fake::world.err), "Unable to create process using '\"C:\\zkt\\R&D\\mybat.cmd\" s'\n");
    EXPECT_TRUE(fake::world.calls.empty());
}

}  // namespace
