// The child's command line, the job, the handles and every failure before the child runs.
#include "child/child.h"

#include "child/program.h"

#include <algorithm>

#include "base/diagnostics.h"
#include "launcher_fixture.h"

using fake::utf8;

namespace {

using Child = LauncherTest;

TEST_F(Child, CommandLineAssembly) {
    struct Case {
        const char16_t* executable;
        const char16_t* arguments;
        const char16_t* rest;
        const char* line;
        int allocations;
    };
    const Case cases[] = {
        {u"C:\\zk\\zelkor.exe", u"-u", u"C:\\dir\\tool-script.zk a b", "C:\\zk\\zelkor.exe -u C:\\dir\\tool-script.zk a b", 1},
        {u"C:\\zk\\zelkor.exe", nullptr, u"s a", "C:\\zk\\zelkor.exe s a", 1},
        {u"C:\\zk\\zelkor.exe", u"", u"s a", "C:\\zk\\zelkor.exe s a", 1},
        {u"C:\\zk\\zelkor.exe", u"", u"", "C:\\zk\\zelkor.exe", 0},
        {u"C:\\zk\\zelkor.exe", u"-u", u"", "C:\\zk\\zelkor.exe -u ", 1},
        {u"C:\\Program Files\\zelkor.exe", nullptr, u"s", "C:\\Program Files\\zelkor.exe s", 1},
    };
    for (const Case& c : cases) {
        fake::reset();
        std::u16string executable = c.executable;
        EXPECT_EQ(fake::exit_code_of([&] { launch_with_args(executable.data(), c.arguments, c.rest, c.executable); }), 0u);
        ASSERT_EQ(fake::world.child_command_lines.size(), 1u);
        EXPECT_EQ(utf8(fake::world.child_command_lines[0]), c.line);
        EXPECT_EQ(utf8(fake::world.child_programs[0]), utf8(c.executable));
        EXPECT_EQ(fake::call_count(fake::Op::allocate), c.allocations) << c.line;
    }
}

TEST_F(Child, CommandLineBufferIsSizedExactly) {
    fake::fail_call(fake::Op::allocate, 1, 8);
    uint32_t code = fake::exit_code_of(
        [] { launch_with_args(u"C:\\zk\\zelkor.exe", u"-u", u"C:\\dir\\tool-script.zk a b", u"C:\\zk\\zelkor.exe"); });
    EXPECT_EQ(code, 101u);
    // 45 characters and the terminator, two bytes each.
    EXPECT_EQ(utf8(fake::world.err), "unable to allocate 92 bytes for child command.\n");
}

TEST_F(Child, RunsInAKillOnCloseJobWithInheritedHandles) {
    fake::world.job_initial_flags = 0x8;
    fake::world.child_exit_code = 0xC0000005;
    trace_on();
    log_stream = LogStream::standard_error;
    std::u16string line = u"C:\\zk\\zelkor.exe s";
    EXPECT_EQ(fake::exit_code_of([&] { run_child(line.data(), u"C:\\zk\\zelkor.exe"); }), 0xC0000005u);
    EXPECT_EQ(fake::world.job_flags_set, 0x3008u);
    const std::vector<std::string> order = {
        "create_job_object", "query_information_job_object", "set_information_job_object",
        "duplicate_handle",  "duplicate_handle",             "duplicate_handle",
        "set_console_ctrl_handler", "set_process_shutdown_parameters 639", "dll_directory lifted",
        "create_process suspended in job",
        "dll_directory restricted", "resume_thread", "close_handle", "wait_for_single_object_ex",
        "get_exit_code_process"};
    EXPECT_EQ(fake::world.calls, order);
    const platform::StartupInfo& s = fake::world.child_startup;
    EXPECT_EQ(s.cb, sizeof(platform::StartupInfo));
    EXPECT_EQ(s.flags, 0x100u);
    EXPECT_EQ(s.std_input, reinterpret_cast<platform::Handle>(0x1010));
    EXPECT_EQ(s.std_output, reinterpret_cast<platform::Handle>(0x1014));
    EXPECT_EQ(s.std_error, reinterpret_cast<platform::Handle>(0x1018));
    EXPECT_EQ(utf8(fake::world.err),
              "run_child: about to run 'C:\\zk\\zelkor.exe s'\nrun_child: started inside the job\n"
              "child process exit code: -1073741819\n");
}

// Each way the child can be started: it never runs (is resumed) before it is in the job
// where a job could be had, and a failure to resume it ends it before the 101.
TEST_F(Child, TheChildIsInItsJobBeforeItRuns) {
    struct Case {
        const char* name;
        std::vector<std::pair<fake::Op, uint32_t>> faults;  // each op's first call fails
        uint32_t code;
        std::vector<std::string> calls;  // from the creation on
        const char* err;                 // the trace after "about to run", or the message
    };
    const Case cases[] = {
        {"in the job", {}, 7, {"create_process suspended in job", "resume_thread", "close_handle"},
         "run_child: started inside the job\nchild process exit code: 7\n"},
        {"attribute refused: suspended, joined, resumed", {{fake::Op::create_process_in_job, 87}}, 7,
         {"create_process_in_job refused", "create_process suspended", "assign_process_to_job_object", "resume_thread",
          "close_handle"},
         "run_child: not started inside the job (error 87): started suspended, then joined to it\n"
         "child process exit code: 7\n"},
        {"creation in the job fails: the plain way still runs it", {{fake::Op::create_process, 5}}, 7,
         {"create_process suspended in job", "create_process suspended", "assign_process_to_job_object",
          "resume_thread", "close_handle"},
         "run_child: not started inside the job (error 5): started suspended, then joined to it\n"
         "child process exit code: 7\n"},
        {"refused and the join fails: runs outside the job",
         {{fake::Op::create_process_in_job, 87}, {fake::Op::assign_process_to_job_object, 5}}, 7,
         {"create_process_in_job refused", "create_process suspended", "assign_process_to_job_object", "resume_thread",
          "close_handle"},
         "run_child: not started inside the job (error 87) and not joined to it (error 5): runs outside it\n"
         "child process exit code: 7\n"},
        {"resume fails: the child is ended", {{fake::Op::resume_thread, 5}}, 101,
         {"create_process suspended in job", "resume_thread", "terminate_process 101"},
         "run_child: started inside the job\nrun_child: ResumeThread failed: error 5\n"
         "Unable to create process using 'C:\\zk\\zelkor.exe s'\n"},
        {"both ways fail", {{fake::Op::create_process_in_job, 87}, {fake::Op::create_process, 2}}, 101,
         {"create_process_in_job refused", "create_process suspended"},
         "run_child: CreateProcessW failed: error 2\nUnable to create process using 'C:\\zk\\zelkor.exe s'\n"},
    };
    for (const Case& c : cases) {
        fake::reset();
        fake::world.child_exit_code = 7;
        log_stream = LogStream::standard_error;
        for (auto [op, error] : c.faults) fake::fail_call(op, 1, error);
        std::u16string line = u"C:\\zk\\zelkor.exe s";
        EXPECT_EQ(fake::exit_code_of([&] { run_child(line.data(), u"C:\\zk\\zelkor.exe"); }), c.code) << c.name;
        std::vector<std::string> calls = fake::world.calls;
        // The older Windows' DLL restriction is back after each creation, before any report.
        auto restriction = std::find_if(calls.rbegin(), calls.rend(),
                                        [](const std::string& call) { return call.starts_with("dll_directory"); });
        ASSERT_NE(restriction, calls.rend()) << c.name;
        EXPECT_EQ(*restriction, "dll_directory restricted") << c.name;
        calls.erase(calls.begin(), calls.begin() + 8);  // the job, the handles, the handler, the shutdown level
        std::erase_if(calls, [](const std::string& call) { return call.starts_with("dll_directory"); });
        calls.resize(std::min(calls.size(), c.calls.size()));
        EXPECT_EQ(calls, c.calls) << c.name;
        EXPECT_EQ(utf8(fake::world.err), "run_child: about to run 'C:\\zk\\zelkor.exe s'\n" + std::string(c.err))
            << c.name;
    }
}

TEST_F(Child, EveryFailureBeforeTheChildRuns) {
    struct Case {
        fake::Op op;
        int nth;
        uint32_t code;
        const char* err;
    };
    const Case cases[] = {
        {fake::Op::create_job_object, 1, 101, "Job information querying failed\n"},
        {fake::Op::query_information_job_object, 1, 101, "Job information querying failed\n"},
        {fake::Op::set_information_job_object, 1, 101, "Job information setting failed\n"},
        {fake::Op::duplicate_handle, 1, 100, "stdin duplication failed\n"},
        {fake::Op::duplicate_handle, 2, 100, "stdout duplication failed\n"},
        {fake::Op::duplicate_handle, 3, 100, "stderr duplication failed\n"},
        {fake::Op::set_console_ctrl_handler, 1, 101, "control handler setting failed\n"},
        {fake::Op::resume_thread, 1, 101, "Unable to create process using 'C:\\zk\\zelkor.exe s'\n"},
        {fake::Op::get_exit_code_process, 1, 101, "Failed to get exit code of process\n"},
    };
    for (const Case& c : cases) {
        fake::reset();
        fake::fail_call(c.op, c.nth, 5);
        std::u16string line = u"C:\\zk\\zelkor.exe s";
        EXPECT_EQ(fake::exit_code_of([&] { run_child(line.data(), u"C:\\zk\\zelkor.exe"); }), c.code) << c.err;
        EXPECT_EQ(utf8(fake::world.err), c.err);
    }
}

TEST_F(Child, AMissingStandardHandleIsAccepted) {
    // Started without standard error (null), or with INVALID_HANDLE_VALUE for it, which
    // duplicated would hand the child a handle to the launcher's own process.
    for (auto missing : {platform::Handle(nullptr), platform::invalid_handle_value}) {
        fake::reset();
        fake::world.std_handles[2] = missing;
        log_stream = LogStream::standard_error;
        std::u16string line = u"C:\\zk\\zelkor.exe s";
        EXPECT_EQ(fake::exit_code_of([&] { run_child(line.data(), u"C:\\zk\\zelkor.exe"); }), 0u);
        EXPECT_EQ(fake::world.child_startup.std_error, nullptr) << missing;
        EXPECT_NE(utf8(fake::world.err).find("DuplicateHandle returned ERROR_INVALID_HANDLE\n"), std::string::npos);
        EXPECT_EQ(fake::world.child_startup.std_output, reinterpret_cast<platform::Handle>(0x1014));
    }
}

TEST_F(Child, OtherDuplicationErrorsAreTracedWithTheirCode) {
    log_stream = LogStream::standard_error;
    fake::fail_call(fake::Op::duplicate_handle, 2, 5);
    std::u16string line = u"x";
    EXPECT_EQ(fake::exit_code_of([&] { run_child(line.data(), u"C:\\zk\\zelkor.exe"); }), 100u);
    EXPECT_NE(utf8(fake::world.err).find("DuplicateHandle returned 5\nstdout duplication failed\n"), std::string::npos);
}

TEST_F(Child, AFailedJobAssignmentStillRunsTheChild) {
    fake::world.child_exit_code = 104;
    fake::fail_call(fake::Op::create_process_in_job, 1, 87);
    fake::fail_call(fake::Op::assign_process_to_job_object, 1, 5);
    std::u16string line = u"x";
    EXPECT_EQ(fake::exit_code_of([&] { run_child(line.data(), u"C:\\zk\\zelkor.exe"); }), 104u);
}

// A line that comes without its program has it decided as CreateProcessW would decide it,
// searched where the launcher searches; CreateProcessW then gets the path and searches
// nothing. A program found nowhere ends the run before anything is created.
TEST_F(Child, TheProgramIsDecidedBeforeAnythingIsCreated) {
    struct Case {
        const char16_t* line;
        std::string program;  // or the message of the 101
        std::string child;
        const char16_t* rest = u"";  // the main flow's tail: the script's path, the user's arguments
        bool given = false;          // the line is the program's path, found by the caller
    };
    const std::string cmd = "C:\\Windows\\System32\\cmd.exe";
    auto via_cmd = [&](const std::string& inner) { return "\"" + cmd + "\" /d /e:on /v:off /s /c \"" + inner + "\""; };
    const Case cases[] = {
        {u"\"C:\\My Tools\\mine.exe\" -x s", "C:\\My Tools\\mine.exe", "\"C:\\My Tools\\mine.exe\" -x s"},
        {u"C:\\My Tools\\mine.exe -q s", "C:\\My Tools\\mine.exe", "C:\\My Tools\\mine.exe -q s"},
        {u"C:\\Big Tools\\x.exe s", "C:\\Big.exe", "C:\\Big Tools\\x.exe s"},  // shortest first, as Windows
        {u"C:\\zk\\zelkor s", "C:\\zk\\zelkor.exe", "C:\\zk\\zelkor s"},       // ".exe" appended
        {u"  mytool\t--flag s", "C:\\d\\mytool.exe", "  mytool\t--flag s"},         // the launcher's folder
        {u"rt\\zelkor.exe s", "C:\\d\\rt\\zelkor.exe", "rt\\zelkor.exe s"},      // the script's folder
        // A batch file runs under the system's cmd.exe, started by the launcher: its full
        // path first, always quoted, then each argument written for cmd (read back as cmd
        // reads them in batch_test.cpp).
        {u"mytool.bat --flag s", cmd, via_cmd("\"C:\\bin\\mytool.bat\" --flag s")},
        {u"spaced.cmd x", cmd, via_cmd("\"C:\\My Tools\\spaced.cmd\" x")},
        {u"\"C:\\My Tools\\spaced.cmd\" x", cmd, via_cmd("\"C:\\My Tools\\spaced.cmd\" x")},
        {u"C:\\bin\\MYTOOL.BAT", cmd, via_cmd("\"C:\\bin\\MYTOOL.BAT\"")},
        {u"rd.cmd -x", cmd, via_cmd("\"C:\\R&D\\bin\\rd.cmd\" -x C:\\d\\tool-script.zk \"a&b\""), u"C:\\d\\tool-script.zk a&b"},
        {u"C:\\R&D\\bin\\rd.cmd", cmd, via_cmd("\"C:\\R&D\\bin\\rd.cmd\" \"C:\\a&b\\t-script.zk\" x y"),
         u"C:\\a&b\\t-script.zk x y", true},
        {u"mytool.bat", cmd, via_cmd("\"C:\\bin\\mytool.bat\" \"C:\\x(1),y;z=w^\\t-script.zk\" a"),
         u"C:\\x(1),y;z=w^\\t-script.zk a"},
        {u"mytool.bat -q", cmd, via_cmd("\"C:\\bin\\mytool.bat\" -q \"C:\\a b\\t-script.zk\" a"), u"\"C:\\a b\\t-script.zk\" a"},
        {u"mytool.bat", cmd, via_cmd("\"C:\\bin\\mytool.bat\" C:\\d\\t-script.zk"), u"C:\\d\\t-script.zk"},
        // Windows drops the dots and blanks that end a name: still a batch file.
        {u"\"C:\\bin\\tool.bat.\" x", cmd, via_cmd("\"C:\\bin\\tool.bat\" x")},
        {u"\"C:\\bin\\tool.cmd .\" x", cmd, via_cmd("\"C:\\bin\\tool.cmd\" x")},
        // But for the \\?\ form, taken as it stands: "tool.cmd." has no extension.
        {u"\\\\?\\C:\\bin\\tool.cmd. x", "\\\\?\\C:\\bin\\tool.cmd.", "\\\\?\\C:\\bin\\tool.cmd. x"},
        {u"C:\\bin\\tool.exe. x", "C:\\bin\\tool.exe.", "C:\\bin\\tool.exe. x"},
        // "%" is expanded by the interpreter even inside quotes: no line names that file.
        {u"C:\\50%\\p.cmd x", "Unable to create process using '\"C:\\50%\\p.cmd\" x'\n", ""},
        {u"nothere -x s", "Unable to create process using 'nothere -x s'\n", ""},
        {u"D:zelkor.exe s", "Unable to create process using 'D:zelkor.exe s'\n", ""},
        {u"\\zk\\zelkor.exe s", "Unable to create process using '\\zk\\zelkor.exe s'\n", ""},
        {u"/usr/bin/env nowhere -x", "Unable to create process using '/usr/bin/env nowhere -x'\n", ""},
        {u"\"\" s", "Unable to create process using '\"\" s'\n", ""},
        {u"\"C:\\My Tools", "Unable to create process using '\"C:\\My Tools'\n", ""},
    };
    for (const Case& c : cases) {
        fake::reset();
        set_program_folders(u"C:\\d", u"C:\\d");
        fake::set_path({u"C:\\bin", u"C:\\My Tools", u"C:\\R&D\\bin"});
        for (const char16_t* file : {u"C:\\My Tools\\mine.exe", u"C:\\Big.exe", u"C:\\zk\\zelkor.exe",
                                     u"C:\\d\\mytool.exe", u"C:\\d\\rt\\zelkor.exe", u"C:\\bin\\mytool.bat",
                                     u"C:\\My Tools\\spaced.cmd", u"D:zelkor.exe", u"C:\\R&D\\bin\\rd.cmd",
                                     u"C:\\bin\\tool.bat.", u"C:\\bin\\tool.cmd .", u"C:\\bin\\tool.exe.",
                                     u"\\\\?\\C:\\bin\\tool.cmd.",
                                     u"C:\\50%\\p.cmd", u"C:\\zk\\zelkor.exe", u"C:\\usr\\bin\\env.exe"})
            fake::add_file(file);
        fake::set_env(u"PATHEXT", u".EXE;.CMD");
        std::u16string line = c.line;
        uint32_t code = fake::exit_code_of([&] { launch_with_args(line.data(), nullptr, c.rest, c.given ? c.line : nullptr); });
        if (c.child.empty()) {
            EXPECT_EQ(code, 101u) << c.program;
            EXPECT_EQ(utf8(fake::world.err), c.program);
            EXPECT_TRUE(fake::world.calls.empty()) << c.program;  // not even a job
            continue;
        }
        EXPECT_EQ(code, 0u) << c.program;
        ASSERT_EQ(fake::world.child_programs.size(), 1u) << c.program;
        EXPECT_EQ(utf8(fake::world.child_programs[0]), c.program);
        EXPECT_EQ(utf8(fake::world.child_command_lines[0]), c.child);
    }
}

// Ctrl+C and Ctrl+Break are the child's; console close, logoff and shutdown give the
// child the time Windows gives it: the handler waits for the child, then for the main
// thread to end the run with the child's code. A child not yet resumed, which would never
// hear a close or a shutdown, is ended unrun and never resumed. Before the child exists the handler
// returns at once.
TEST_F(Child, ConsoleEvents) {
    enum When { on_install, on_join, on_resume, during_wait };
    struct Case {
        int event;
        When when;
        std::vector<std::string> handler_calls;
        uint32_t exit_code = 7;
    };
    const std::vector<std::string> waits = {"wait_for_single_object_ex", "wait_for_single_object_ex self"};
    const std::vector<std::string> unrun = {"terminate_process 3221225786", "wait_for_single_object_ex",
                                            "wait_for_single_object_ex self"};
    const Case cases[] = {
        {0, during_wait, {}}, {1, during_wait, {}}, {2, during_wait, waits}, {5, during_wait, waits},
        {6, during_wait, waits}, {0, on_install, {}}, {1, on_install, {}}, {2, on_install, {}},
        {5, on_install, {}}, {6, on_install, {}}, {0, on_resume, {"resume_thread"}},
        {2, on_resume, waits}, {5, on_resume, waits}, {6, on_resume, waits},
        // Created suspended outside the job (the attribute refused), before the join.
        {0, on_join, {"assign_process_to_job_object"}},
        {2, on_join, unrun, 0xC000013A}, {6, on_join, unrun, 0xC000013A},
        {5, on_join, waits},  // a logoff may be another session's: the child runs on
    };
    for (const Case& c : cases) {
        fake::reset();
        fake::world.child_exit_code = 7;
        int* moment[] = {&fake::world.console_event_on_install, &fake::world.console_event_on_join,
                         &fake::world.console_event_on_resume, &fake::world.console_event_during_wait};
        *moment[c.when] = c.event;
        if (c.when == on_join) fake::fail_call(fake::Op::create_process_in_job, 1, 87);
        std::u16string line = u"C:\\zk\\zelkor.exe s";
        EXPECT_EQ(fake::exit_code_of([&] { run_child(line.data(), u"C:\\zk\\zelkor.exe"); }), c.exit_code) << c.event;
        // Ended unrun, it is never let run.
        EXPECT_EQ(std::count(fake::world.calls.begin(), fake::world.calls.end(), "resume_thread"),
                  c.exit_code == 7 ? 1 : 0) << c.event;
        EXPECT_EQ(fake::world.handler_returned, 1) << c.event;
        std::vector<std::string>& calls = fake::world.calls;
        auto event = std::find(calls.begin(), calls.end(), "console event " + std::to_string(c.event));
        ASSERT_NE(event, calls.end()) << c.event;
        std::vector<std::string> after(event + 1, event + 1 + std::min<size_t>(c.handler_calls.size(), calls.end() - event - 1));
        EXPECT_EQ(after, c.handler_calls) << c.event << " at moment " << c.when;
        EXPECT_EQ(calls.back(), "get_exit_code_process") << c.event;
    }
    // After the child ended (the main thread ending the run), the same waits.
    fake::world.calls.clear();
    EXPECT_EQ(ignore_console_ctrl(2), 1);
    EXPECT_EQ(fake::world.calls, waits);
}

// Both launchers ask to end after their child at logoff and shutdown; Windows' refusal is
// only traced.
TEST_F(Child, ShutdownLevelBelowTheChilds) {
    log_stream = LogStream::standard_error;
    fake::fail_call(fake::Op::set_process_shutdown_parameters, 1, 5);
    std::u16string line = u"C:\\zk\\zelkor.exe s";
    EXPECT_EQ(fake::exit_code_of([&] { run_child(line.data(), u"C:\\zk\\zelkor.exe"); }), 0u);
    EXPECT_NE(utf8(fake::world.err).find("run_child: SetProcessShutdownParameters failed: error 5\n"), std::string::npos);
}

}  // namespace
