// Custom commands from zk.ini and the search-path lookup.
#include "script/commands.h"

#include "child/program.h"

#include "base/diagnostics.h"
#include "launcher_fixture.h"

using fake::utf8;

namespace {

class Commands : public LauncherTest {
protected:
    void SetUp() override {
        LauncherTest::SetUp();
        log_stream = LogStream::standard_error;
    }
    static std::string resolved(const char16_t* name) {
        const CommandEntry* e = resolve_command_name(name);
        return e == nullptr ? "none" : utf8(e->value);
    }
    static std::vector<std::string> table() {
        std::vector<std::string> rows;
        for (int i = 0; i < custom_command_count; ++i)
            rows.push_back(utf8(custom_commands[i].key) + "=" + utf8(custom_commands[i].value));
        return rows;
    }
};

TEST_F(Commands, LocalOverridesGlobalInPlaceAndBlankValuesAreSkipped) {
    fake::add_ini(u"G", u"commands", u"mytool", u"C:\\g\\mytool.exe");
    fake::add_ini(u"G", u"commands", u"other", u"C:\\g\\other.exe");
    fake::add_ini(u"G", u"commands", u"kept", u"C:\\g\\kept.exe");
    fake::add_ini(u"L", u"commands", u"MyTool", u"C:\\l\\mytool.exe --x ");
    fake::add_ini(u"L", u"commands", u"kept", u" \t ");
    fake::add_ini(u"L", u"commands", u"blank", u"");
    fake::add_ini(u"L", u"commands", u"new", u"C:\\l\\new.exe");
    // The reader trims blanks and strips one pair of enclosing quotes, as Windows does.
    fake::add_ini(u"L", u"commands", u"quoted", u" \"C:\\My Tools\\q.exe\" ");
    fake::add_ini(u"L", u"commands", u"inner", u"\"C:\\My Tools\\q.exe\" -x");
    read_commands(u"G");
    read_commands(u"L");
    EXPECT_EQ(table(), (std::vector<std::string>{"MyTool=C:\\l\\mytool.exe --x", "other=C:\\g\\other.exe",
                                                 "kept=C:\\g\\kept.exe", "new=C:\\l\\new.exe",
                                                 "quoted=C:\\My Tools\\q.exe", "inner=\"C:\\My Tools\\q.exe\" -x"}));
    EXPECT_EQ(resolved(u"MYTOOL"), "C:\\l\\mytool.exe --x");
    EXPECT_EQ(resolved(u"\u00C9"), "none");
    EXPECT_EQ(utf8(fake::world.err), "");
}

TEST_F(Commands, FoldingIsOnlyAToZ) {
    fake::add_ini(u"G", u"commands", u"\u00E9t\u00E9", u"C:\\x.exe");
    read_commands(u"G");
    EXPECT_EQ(resolved(u"\u00C9T\u00C9"), "none");
    EXPECT_EQ(resolved(u"\u00E9T\u00E9"), "C:\\x.exe");
}

TEST_F(Commands, AHundredEntriesThenNoRoomButUpdatesGoOn) {
    for (int i = 0; i < 101; ++i)
        fake::add_ini(u"G", u"commands", fake::utf16("c" + std::to_string(i)), u"v");
    fake::add_ini(u"L", u"commands", u"c5", u"five");
    fake::add_ini(u"L", u"commands", u"extra", u"x");
    // The names list of 101 keys fits: "c0".."c100" is under 1023 characters.
    read_commands(u"G");
    read_commands(u"L");
    EXPECT_EQ(custom_command_count, 100);
    EXPECT_EQ(utf8(custom_commands[5].value), "five");
    EXPECT_EQ(utf8(fake::world.err), "can't add c100 = 'v': no room\ncan't add extra = 'x': no room\n");
}

// A value is read only where it can change the table: not for a name the file repeats,
// nor, once the table is full, for one it does not hold (but for the trace of the first
// ten); and no more than 1,000 names of a file. An override gives back what it replaces.
TEST_F(Commands, ReadingIsBoundedAndOverridesKeepNoCopies) {
    for (int i = 0; i < 1200; ++i) fake::add_ini(u"G", u"commands", fake::utf16("c" + std::to_string(i)), u"v");
    fake::add_ini(u"G", u"commands", u"c5", u"repeated");
    int before = fake::call_count(fake::Op::get_private_profile_string);
    read_commands(u"G");
    // The list (asked with 1,024 units, then twice as many up to 8,192), 100 values
    // stored, ten more for the trace.
    EXPECT_EQ(fake::call_count(fake::Op::get_private_profile_string) - before, 4 + 100 + 10);
    EXPECT_EQ(custom_command_count, 100);
    EXPECT_EQ(utf8(custom_commands[5].value), "v");
    std::string err = utf8(fake::world.err);
    EXPECT_NE(err.find("can't add c109 = 'v': no room\nread_commands: G: more than 1000 names: the rest are not "
                       "read\nread_commands: G: 890 more names not added: no room\n"),
              std::string::npos)
        << err;
    EXPECT_EQ(err.find("c110 ="), std::string::npos);
    fake::add_ini(u"L", u"commands", u"c5", u"local");
    read_commands(u"L");
    size_t held = fake::heap_blocks();
    for (int round = 0; round < 3; ++round) read_commands(u"L");
    EXPECT_EQ(fake::heap_blocks(), held);
    EXPECT_EQ(utf8(custom_commands[5].value), "local");
}

// Lists and values longer than the first buffer are asked for again with more room:
// a value may be a path of 32,767 characters.
TEST_F(Commands, LongNameListsAndValuesAreReadWhole) {
    log_stream = LogStream::standard_error;
    // Keys of 100 characters: ten of them and their terminators pass the first 1023 units.
    for (int i = 0; i < 12; ++i)
        fake::add_ini(u"G", u"commands", std::u16string(98, u'k') + fake::utf16(std::to_string(10 + i)), u"v");
    fake::add_ini(u"G", u"commands", u"long", std::u16string(32767, u'v'));
    fake::add_ini(u"G", u"commands", std::u16string(300, u'n'), u"v");
    read_commands(u"G");
    EXPECT_EQ(utf8(fake::world.err), "");
    ASSERT_EQ(custom_command_count, 14);
    EXPECT_EQ(utf8(custom_commands[11].key), std::string(98, 'k') + "21");
    EXPECT_EQ(utf8(custom_commands[12].value), std::string(32767, 'v'));
    EXPECT_EQ(utf8(custom_commands[13].key), std::string(300, 'n'));
}

TEST_F(Commands, CustomCommandBeatsAProgramOnThePath) {
    fake::set_path({u"C:\\bin"});
    fake::add_file(u"C:\\bin\\mytool.exe");
    fake::set_env(u"PATHEXT", u".EXE");
    EXPECT_EQ(resolved(u"mytool"), "C:\\bin\\mytool.EXE");  // the extension as PATHEXT gives it
    fake::add_ini(u"G", u"commands", u"mytool", u"C:\\tools\\mytool.exe");
    read_commands(u"G");
    EXPECT_EQ(resolved(u"mytool"), "C:\\tools\\mytool.exe");
}

TEST_F(Commands, PathSearch) {
    struct Case {
        const char* name;
        const char16_t* pathext;  // null: unset
        const char16_t* program;
        const char* found;
        const char16_t* script_folder = u"C:\\tools\\sub";
    };
    const Case cases[] = {
        {"PATHEXT order before directory order", u".COM;.EXE", u"tool", "C:\\last\\tool.COM"},
        {"empty items skipped", u";;.EXE;", u"tool", "C:\\first\\tool.EXE"},
        {"no PATHEXT: never searched bare", nullptr, u"tool", "none"},
        {"a dot: searched as written", u".COM", u"tool.exe", "C:\\first\\tool.exe"},
        {"a dot in a directory part", u".COM", u"..\\bin\\tool", "none"},
        {"PATHEXT without extensions", u";;", u"tool", "none"},
        // The order: the launcher's folder, the system folder, the Windows folder, PATH;
        // never a PATH entry that is not absolute, which the current folder would decide.
        {"the launcher's own folder first", u".EXE", u"both", "C:\\d\\both.EXE"},
        {"the system folder before PATH", u".EXE", u"sys", "C:\\Windows\\System32\\sys.EXE"},
        {"the Windows folder before PATH", u".EXE", u"win", "C:\\Windows\\win.EXE"},
        {"relative PATH entries skipped", u".EXE", u"planted", "none"},
        {"an extension through every folder first", u".COM;.EXE", u"both", "C:\\last\\both.COM"},
        // A path with a folder part is the script's (C:\tools\sub), never the current folder's.
        {"relative", nullptr, u"rt\\x.exe", "C:\\tools\\sub\\rt\\x.exe"},
        {"the parent", nullptr, u"..\\rt\\x.exe", "C:\\tools\\rt\\x.exe"},
        {"forward slashes", nullptr, u"./../rt/x.exe", "C:\\tools\\rt\\x.exe"},
        {"above the root", nullptr, u"..\\..\\..\\top\\x.exe", "C:\\top\\x.exe"},
        {"rooted: never, the current drive decides", nullptr, u"\\top\\x.exe", "none"},
        {"rooted with slashes: never", nullptr, u"/top/x.exe", "none"},
        {"drive-relative: never", nullptr, u"D:x.exe", "none"},
        {"absolute: as written", nullptr, u"C:\\top\\x.exe", "C:\\top\\x.exe"},
        {"a folder is no program", nullptr, u"C:\\top", "none"},
        // ".." never climbs above a root: a share's, a volume's.
        {"\\\\?\\UNC: the share is the root", nullptr, u"..\\..\\..\\x.exe", "\\\\?\\UNC\\srv\\share\\x.exe",
         u"\\\\?\\UNC\\srv\\share\\sub"},
        {"a network path: the share is the root", nullptr, u"..\\..\\x.exe", "\\\\srv\\share\\x.exe", u"\\\\srv\\share\\sub"},
        {"a volume without a letter", nullptr, u"..\\..\\x.exe", "\\\\?\\Volume{7}\\x.exe", u"\\\\?\\Volume{7}\\sub"},
    };
    for (const Case& c : cases) {
        fake::reset();
        set_program_folders(u"C:\\d", c.script_folder);
        fake::set_path({u"C:\\first", u".", u"bin", u"", u"..\\x", u"C:\\last\\"});
        for (const char16_t* file : {u"C:\\first\\tool.exe", u"C:\\last\\tool.com", u"C:\\first\\tool",
                                     u"C:\\d\\both.exe", u"C:\\first\\both.exe", u"C:\\last\\both.com",
                                     u"C:\\Windows\\System32\\sys.exe", u"C:\\first\\sys.exe",
                                     u"C:\\Windows\\win.exe", u"C:\\first\\win.exe", u"C:\\tools\\sub\\rt\\x.exe",
                                     u"C:\\tools\\rt\\x.exe", u"C:\\top\\x.exe",
                                     // what a search relative to the current folder would find
                                     u".\\planted.exe", u"bin\\planted.exe", u"..\\x\\planted.exe", u"\\planted.exe",
                                     u"rt\\x.exe", u"D:x.exe", u"\\\\?\\UNC\\srv\\share\\x.exe", u"\\\\?\\UNC\\x.exe",
                                     u"\\\\srv\\share\\x.exe", u"\\\\?\\Volume{7}\\x.exe"})
            fake::add_file(file);
        if (c.pathext != nullptr) fake::set_env(u"PATHEXT", c.pathext);
        const CommandEntry* e = search_path_with_extensions(c.program);
        EXPECT_EQ(e == nullptr ? "none" : utf8(e->value), c.found) << c.name;
        EXPECT_EQ(utf8(search_result.key), utf8(c.program)) << c.name;
    }
}

TEST_F(Commands, TheTraceSaysWhereTheSearchLooked) {
    set_program_folders(u"C:\\d", u"C:\\d");
    fake::set_path({u"C:\\bin", u".", u"", u"C:"});
    fake::set_env(u"PATHEXT", u".COM;.EXE");
    EXPECT_EQ(search_path_with_extensions(u"tool"), nullptr);
    EXPECT_EQ(search_path_with_extensions(u"rt\\x.exe"), nullptr);
    EXPECT_EQ(search_path_with_extensions(u"D:x.exe"), nullptr);
    EXPECT_EQ(search_path_with_extensions(u"/usr/bin/env"), nullptr);
    EXPECT_EQ(utf8(fake::world.err),
              "find_program: PATH entry '.' skipped: not an absolute folder\n"
              "find_program: PATH entry '' skipped: not an absolute folder\n"
              "find_program: PATH entry 'C:' skipped: not an absolute folder\n"
              "find_program: tool with .COM;.EXE not found in C:\\d; C:\\Windows\\System32; C:\\Windows; C:\\bin\n"
              "find_program: rt\\x.exe is the script's: C:\\d\\rt\\x.exe\n"
              "find_program: C:\\d\\rt\\x.exe not found\n"
              "find_program: D:x.exe: a path relative to the current folder of its drive: not looked for\n"
              "find_program: /usr/bin/env: a path rooted on no drive, which the current drive decides: not looked "
              "for\n");
}

TEST_F(Commands, TheSearchResultIsOneSharedRecord) {
    fake::set_path({u"C:\\bin"});
    fake::add_file(u"C:\\bin\\a.exe");
    fake::add_file(u"C:\\bin\\b.exe");
    const CommandEntry* first = search_path_with_extensions(u"a.exe");
    const CommandEntry* second = search_path_with_extensions(u"b.exe");
    EXPECT_EQ(first, second);
    EXPECT_EQ(utf8(first->key), "b.exe");
    EXPECT_EQ(utf8(first->value), "C:\\bin\\b.exe");
}

TEST_F(Commands, LongNamesAndPathsAreFoundWhole) {
    // A name of 300 characters is searched and recorded whole.
    std::u16string name = std::u16string(296, u'n') + u".exe";
    fake::set_path({u"C:\\b"});
    fake::add_file(u"C:\\b\\" + name);
    const CommandEntry* e = search_path_with_extensions(name.c_str());
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(utf8(e->value), "C:\\b\\" + utf8(name));
    EXPECT_EQ(utf8(e->key), utf8(name));
    fake::reset();
    // A found path longer than the first buffer: SearchPathW is asked again with its size.
    std::u16string dir = u"C:\\" + std::u16string(32000, u'd');
    fake::set_path({dir});
    fake::add_file(dir + u"\\x.exe");
    e = search_path_with_extensions(u"x.exe");
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(utf8(e->value), utf8(dir + u"\\x.exe"));
}

TEST_F(Commands, PathextOutOfMemoryIsNotFound) {
    fake::set_path({u"C:\\bin"});
    fake::add_file(u"C:\\bin\\tool.exe");
    fake::set_env(u"PATHEXT", u".EXE");
    fake::fail_call(fake::Op::allocate, 2, 8);  // the first holds the name
    EXPECT_EQ(search_path_with_extensions(u"tool"), nullptr);
    EXPECT_NE(search_path_with_extensions(u"tool"), nullptr);
}

}  // namespace
