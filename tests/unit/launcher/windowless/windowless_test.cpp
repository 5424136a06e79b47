// The windowless launcher (linked with its own variant): no console window for the child,
// NUL for the streams it lacks, its failures where somebody can see them, the start-up
// settings passed on. Everything else is the console launcher's, tested there.
#include "base/diagnostics.h"
#include "launcher_fixture.h"

using fake::utf8;

namespace {

using Windowless = LauncherTest;

const platform::Handle none = nullptr;
platform::Handle handle(uintptr_t h) { return reinterpret_cast<platform::Handle>(h); }

TEST_F(Windowless, TheChildHasNoConsoleWindowAndTheStreamsItLacksAreNul) {
    struct Case {
        platform::Handle in, out, err;
        platform::Handle child_in, child_out, child_err;
    };
    const platform::Handle invalid = platform::invalid_handle_value;
    const Case cases[] = {
        {handle(0x10), handle(0x14), handle(0x18), handle(0x1010), handle(0x1014), handle(0x1018)},  // redirected
        {none, none, none, handle(0x300), handle(0x304), handle(0x308)},                          // from Explorer
        {invalid, handle(0x14), invalid, handle(0x300), handle(0x1014), handle(0x304)},
    };
    for (const Case& c : cases) {
        fake::reset();
        fake::add_file(u"C:\\d\\tool-script.zk");
        with_venv();
        fake::world.std_handles[0] = c.in;
        fake::world.std_handles[1] = c.out;
        fake::world.std_handles[2] = c.err;
        fake::RunResult r = fake::run();
        EXPECT_EQ(r.exit_code, 0u);
        EXPECT_EQ(fake::world.child_creation_flags, 0x08000004u) << "CREATE_NO_WINDOW and suspended, never DETACHED_PROCESS";
        const platform::StartupInfo& s = fake::world.child_startup;
        EXPECT_EQ(s.std_input, c.child_in);
        EXPECT_EQ(s.std_output, c.child_out);
        EXPECT_EQ(s.std_error, c.child_err);
        for (const std::string& call : fake::world.calls) {
            if (call.rfind("create_file", 0) == 0) {
                EXPECT_EQ(call, "create_file NUL inheritable");
            }
        }
        EXPECT_EQ(fake::world.message_boxes.size(), 0u);
    }
}

TEST_F(Windowless, NulThatCannotBeOpenedIs100) {
    with_venv();
    fake::world.std_handles[1] = none;
    fake::fail_call(fake::Op::create_file, 1, 5);
    fake::RunResult r = fake::run();
    EXPECT_EQ(r.exit_code, 100u);
    EXPECT_EQ(r.err, "stdout duplication failed\n");
}

// Where the launcher's own failure shows: on standard error when it has one, else in a box
// captioned with its file name, but only on a window station somebody can see.
TEST_F(Windowless, FatalMessagesGoWhereSomebodyCanSeeThem) {
    struct Case {
        const char* name;
        bool has_stderr, station_visible, station_query_fails;
        const char* err;
        std::vector<std::string> boxes;
    };
    const char* missing = "Script file 'C:\\d\\tool-script.zk' is not present.";
    const Case cases[] = {
        {"standard error redirected", true, true, false, "Script file 'C:\\d\\tool-script.zk' is not present.\n", {}},
        {"none: a box", false, true, false, "", {std::string("tool.exe|") + missing + "|16"}},
        {"none, on an invisible station: nothing", false, false, false, "", {}},
        {"none, the station unknown: nothing", false, true, true, "", {}},
    };
    for (const Case& c : cases) {
        fake::reset();  // no script: 105
        if (!c.has_stderr) fake::world.std_handles[2] = none;
        fake::world.station_visible = c.station_visible;
        if (c.station_query_fails) fake::fail_call(fake::Op::get_window_station_flags, 1, 5);
        fake::RunResult r = fake::run();
        EXPECT_EQ(r.exit_code, 105u) << c.name;
        EXPECT_EQ(r.err, c.err) << c.name;
        EXPECT_EQ(fake::world.message_boxes, c.boxes) << c.name;
    }
    // A failure of the child's start, in a folder with a blank: the same box.
    fake::reset();
    fake::world.module_path = u"C:\\My Tools\\tool.exe";
    fake::add_file(u"C:\\My Tools\\tool-script.zk");
    with_venv();
    fake::world.std_handles[2] = none;
    fake::fail_call(fake::Op::create_process, 1, 2);
    fake::fail_call(fake::Op::create_process, 2, 2);
    EXPECT_EQ(fake::run({u"tool.exe"}).exit_code, 101u);
    EXPECT_EQ(fake::world.message_boxes,
              std::vector<std::string>{"tool.exe|Unable to create process using 'C:\\venv\\Scripts\\zelkor.exe "
                                       "\"C:\\My Tools\\tool-script.zk\" '|16"});
    // A launcher 2,000 characters deep: the box names the whole path, its caption the file.
    fake::reset();
    const std::u16string deep = u"C:\\" + std::u16string(1988, u'd');
    fake::world.module_path = deep + u"\\tool.exe";
    fake::world.std_handles[2] = none;
    EXPECT_EQ(fake::run({u"tool.exe"}).exit_code, 105u);
    EXPECT_EQ(fake::world.message_boxes, std::vector<std::string>{"tool.exe|Script file '" + fake::utf8(deep) +
                                                                  "\\tool-script.zk' is not present.|16"});
    // Started by its short name: the long one names the box and its script.
    fake::reset();
    fake::world.module_path = u"C:\\TOOLS~1\\LONGTO~1.EXE";
    fake::world.long_paths_of = {{fake::world.module_path, u"C:\\Tools\\longtoolname.exe"}};
    fake::world.std_handles[2] = none;
    EXPECT_EQ(fake::run({u"tool.exe"}).exit_code, 105u);
    EXPECT_EQ(fake::world.message_boxes,
              std::vector<std::string>{"longtoolname.exe|Script file 'C:\\Tools\\longtoolname-script.zk' is not present.|16"});
}

TEST_F(Windowless, ShowWindowAndForegroundPassToTheChildAndNoConsoleIsNeeded) {
    for (bool shortcut_minimized : {false, true}) {
        fake::reset();
        fake::add_file(u"C:\\d\\tool-script.zk");
        with_venv();
        if (shortcut_minimized) {
            fake::world.own_startup.flags = platform::startf_useshowwindow;
            fake::world.own_startup.show_window = 7;  // SW_SHOWMINNOACTIVE
        }
        // The control handler cannot matter to a program without a console.
        fake::fail_call(fake::Op::set_console_ctrl_handler, 1, 6);
        EXPECT_EQ(fake::run().exit_code, 0u);
        const platform::StartupInfo& s = fake::world.child_startup;
        EXPECT_EQ(s.flags, shortcut_minimized ? 0x101u : 0x100u);
        EXPECT_EQ(s.show_window, shortcut_minimized ? 7 : 0);
        // Created in the job and suspended; the right to the foreground comes before its
        // first instruction.
        auto started = std::find(fake::world.calls.begin(), fake::world.calls.end(),
                                 "create_process suspended in job");
        ASSERT_NE(started, fake::world.calls.end());
        EXPECT_EQ(*(started + 1), "dll_directory restricted");
        EXPECT_EQ(*(started + 2), "allow_set_foreground_window 4660");
        EXPECT_EQ(*(started + 3), "resume_thread");
        // Asked to end after the child at logoff and shutdown, as the console launcher.
        EXPECT_EQ(*(started - 2), "set_process_shutdown_parameters 639");
    }
}

// user32 is had before the child exists; a grant refused while the child is suspended is
// asked again once it runs; a child outside any job is resumed at once (were the launcher
// ended while the child waits suspended, nothing would end the child), the grant after.
TEST_F(Windowless, TheForegroundGrantAndAChildOutsideAnyJob) {
    struct Case {
        const char* name;
        std::vector<fake::Op> faults;
        std::vector<std::string> calls;  // from the creation on
        const char* trace;
    };
    const Case cases[] = {
        {"refused while suspended", {fake::Op::allow_set_foreground_window},
         {"create_process suspended in job", "dll_directory restricted", "allow_set_foreground_window 4660",
          "resume_thread", "allow_set_foreground_window 4660", "close_handle"},
         "run_child: AllowSetForegroundWindow refused for the suspended child (error 5): asked again once it runs\n"
         "run_child: AllowSetForegroundWindow granted once the child runs\n"},
        {"outside any job", {fake::Op::create_process_in_job, fake::Op::assign_process_to_job_object},
         {"create_process suspended", "dll_directory restricted", "assign_process_to_job_object", "resume_thread",
          "allow_set_foreground_window 4660", "close_handle"},
         "runs outside it\n"},
    };
    for (const Case& c : cases) {
        fake::reset();
        fake::add_file(u"C:\\d\\tool-script.zk");
        with_venv();
        trace_on();
        for (fake::Op op : c.faults) fake::fail_call(op, 1, 5);
        fake::RunResult r = fake::run();
        EXPECT_EQ(r.exit_code, 0u) << c.name;
        std::vector<std::string>& calls = fake::world.calls;
        auto grant = std::find(calls.begin(), calls.end(), "prepare_foreground_grant");
        auto created = std::find(calls.begin(), calls.end(), c.calls[0]);
        ASSERT_NE(created, calls.end()) << c.name;
        EXPECT_LT(grant, created) << c.name;
        std::vector<std::string> after(created, created + std::min<size_t>(c.calls.size(), calls.end() - created));
        EXPECT_EQ(after, c.calls) << c.name;
        EXPECT_NE(r.err.find(c.trace), std::string::npos) << c.name << "\n" << r.err;
    }
}

TEST_F(Windowless, TraceAndHelpNeverOpenABox) {
    with_venv();
    trace_on();
    for (auto& h : fake::world.std_handles) h = none;
    fake::world.command_line = u"C:\\d\\tool.exe -h";
    fake::RunResult r = fake::run({u"tool.exe", u"-h"});
    EXPECT_EQ(r.exit_code, 0u);
    EXPECT_EQ(r.err.rfind("launcher build: 64bit\nlauncher executable: Windows\n", 0), 0u) << r.err;
    EXPECT_NE(r.out.find("usage: tool.exe"), std::string::npos);
    EXPECT_EQ(fake::world.message_boxes.size(), 0u);
}

}  // namespace
