// Trace switch, fatal messages and environment reading.
#include "base/diagnostics.h"

#include "launcher_fixture.h"

using fake::utf8;

namespace {

using Diagnostics = LauncherTest;

TEST_F(Diagnostics, TraceFollowsZklaunchDebug) {
    struct Case {
        const char16_t* value;  // null: unset
        bool traced;
    };
    for (Case c : {Case{nullptr, false}, Case{u"", false}, Case{u"0", true}, Case{u"yes", true}}) {
        fake::reset();
        fake::add_file(u"C:\\d\\tool-script.zk");
        with_venv();
        if (c.value != nullptr) fake::set_env(u"ZKLAUNCH_DEBUG", c.value);
        fake::RunResult r = fake::run();
        EXPECT_EQ(r.exit_code, 0u);
        EXPECT_EQ(!r.err.empty(), c.traced) << (c.value ? utf8(c.value) : "unset");
        if (c.traced) {
            EXPECT_EQ(r.err.rfind("launcher build: 64bit\nlauncher executable: Console\n", 0), 0u);
        }
    }
}

// A message names a command line of up to 32,767 characters whole; only when the heap
// refuses its size is it cut, at 1023.
TEST_F(Diagnostics, FailWritesTheWholeMessageAndALineFeed) {
    for (bool heap : {true, false}) {
        fake::reset();
        std::u16string long_message(40000, u'x');
        if (!heap) fake::fail_call(fake::Op::allocate, 1, 8);
        uint32_t code = fake::exit_code_of([&] { fail(exit_bad_shebang, u"%ls", long_message.c_str()); });
        EXPECT_EQ(code, 102u);
        EXPECT_EQ(utf8(fake::world.err), std::string(heap ? 40000 : 1023, 'x') + "\n") << heap;
    }
}

TEST_F(Diagnostics, FailPrintsWithTracingOff) {
    uint32_t code = fake::exit_code_of([] { fail(exit_missing_script, u"Script file '%ls' is not present.", u"C:\\x"); });
    EXPECT_EQ(code, 105u);
    EXPECT_EQ(utf8(fake::world.err), "Script file 'C:\\x' is not present.\n");
}

TEST_F(Diagnostics, ReadEnvVarStaticBufferUpTo255CharactersThenHeap) {
    fake::set_env(u"A", std::u16string(255, u'a'));
    fake::set_env(u"B", std::u16string(256, u'b'));
    fake::set_env(u"C", u"c");
    const char16_t* a = read_env_var(u"A");
    EXPECT_EQ(fake::call_count(fake::Op::allocate), 0);
    EXPECT_EQ(utf8(a), std::string(255, 'a'));
    const char16_t* b = read_env_var(u"B");
    EXPECT_EQ(fake::call_count(fake::Op::allocate), 1);
    EXPECT_EQ(utf8(b), std::string(256, 'b'));
    EXPECT_NE(a, b);
    // The static buffer is shared: the first pointer now shows the newest short value.
    const char16_t* c = read_env_var(u"C");
    EXPECT_EQ(a, c);
    EXPECT_EQ(utf8(a), "c");
    EXPECT_EQ(read_env_var(u"MISSING"), nullptr);
}

TEST_F(Diagnostics, ReadEnvVarOutOfMemoryIs104) {
    fake::set_env(u"B", std::u16string(300, u'b'));
    fake::fail_call(fake::Op::allocate, 1, 8);
    EXPECT_EQ(fake::exit_code_of([] { read_env_var(u"B"); }), 104u);
    EXPECT_EQ(utf8(fake::world.err), "Could not allocate environment buffer\n");
}

TEST_F(Diagnostics, LongTraceLinesArriveWhole) {
    log_stream = LogStream::standard_error;
    std::u16string line(5000, u'y');
    line[509] = 0xD83D;  // a surrogate pair across the first 511-unit chunk's end
    line[510] = 0xDE00;
    trace(u"<%ls>\n", line.c_str());
    EXPECT_EQ(fake::world.err, u"<" + line + u">\n");
    EXPECT_EQ(fake::world.split_pairs, 0);
}

// A fatal message of any length reaches a console in writes it takes before Windows 8
// (at most 8,000 units), none ending inside a surrogate pair.
TEST_F(Diagnostics, LongFatalMessagesArriveInPiecesAConsoleTakes) {
    std::u16string path = std::u16string(7998, u'p') + u"\U0001F600" + std::u16string(12000, u'q');
    EXPECT_EQ(fake::exit_code_of([&] { fail(exit_child_process, u"%ls", path.c_str()); }), 101u);
    EXPECT_EQ(fake::world.err, path + u"\n");
    EXPECT_LE(fake::world.longest_write, 8000u);
    EXPECT_EQ(fake::world.split_pairs, 0);
}

TEST_F(Diagnostics, SystemErrorTextFallsBackToTheCode) {
    char16_t buffer[1024];
    system_error_text(2, buffer);
    EXPECT_EQ(utf8(buffer), "The system cannot find the file specified.\r\n");
    system_error_text(0x12345, buffer);
    EXPECT_EQ(utf8(buffer), "error 0x12345\n");
}

}  // namespace

// A failure on a path of 260 units or more is explained: 206 is the length refused; 3 is
// the length refused where long paths are not enabled, or a missing folder anywhere.
TEST_F(Diagnostics, LongPathFailuresSayWhatIsKnown) {
    struct Case {
        size_t length;
        uint32_t error;
        const char* trace;
    };
    const Case cases[] = {
        {259, 206, ""},
        {259, 3, ""},
        {260, 2, ""},
        {260, 206, ": longer than 259 characters: Windows takes such a path only where long paths are enabled\n"},
        {300, 3, ": a folder of it is missing, or, where long paths are not enabled, Windows refused it for being "
                 "longer than 259 characters\n"},
    };
    for (const Case& c : cases) {
        fake::reset();
        log_stream = LogStream::standard_error;
        std::u16string path = u"C:\\" + std::u16string(c.length - 3, u'p');
        trace_long_path(path.c_str(), c.error);
        EXPECT_EQ(utf8(fake::world.err), c.trace[0] == 0 ? "" : utf8(path) + c.trace) << c.length << " " << c.error;
    }
}
