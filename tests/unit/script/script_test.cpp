// The script's first bytes: compiled scripts, byte-order marks, the line end and the
// decoding into UTF-16.
#include "script/header.h"

#include "base/diagnostics.h"
#include "launcher_fixture.h"

using fake::utf8;

namespace {

class ScriptHeaderTest : public LauncherTest {
protected:
    void SetUp() override {
        LauncherTest::SetUp();
        log_stream = LogStream::standard_error;
    }
    // Decodes `bytes`; the line as UTF-8, or "refused".
    static std::string decode(const std::string& bytes) {
        ScriptHeader header{};
        if (!decode_first_line(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), header)) return "refused";
        return utf8(std::u16string(header.text, static_cast<size_t>(header.length)));
    }
    static std::string traced() { return utf8(fake::world.err); }
};

std::string u16le(const std::u16string& s) { return std::string(reinterpret_cast<const char*>(s.data()), s.size() * 2); }
std::string u16be(const std::u16string& s) {
    std::string r;
    for (char16_t c : s) r += {char(c >> 8), char(c & 0xFF)};
    return r;
}
std::string u32(const std::u32string& s, bool big_endian) {
    std::string r;
    for (char32_t c : s)
        for (int i = 0; i < 4; ++i) r += char(c >> (8 * (big_endian ? 3 - i : i)));
    return r;
}

TEST_F(ScriptHeaderTest, ByteOrderMarksAndEncodings) {
    struct Case {
        const char* name;
        std::string bytes;
        std::string line;
        const char* trace;
    };
    const Case cases[] = {
        {"UTF-8 without a mark", "#!zelkor3\r\nrest", "#!zelkor3", "BOM not found, using UTF-8"},
        {"UTF-8 mark", "\xEF\xBB\xBF#!z\xC3\xA9\n", "#!z\xC3\xA9", "BOM found, code page 65001"},
        {"UTF-16LE", "\xFF\xFE" + u16le(u"#!z\u00E9\r\n"), "#!z\xC3\xA9", "BOM found, code page 1200"},
        {"UTF-16BE", "\xFE\xFF" + u16be(u"#!z\u00E9\n"), "#!z\xC3\xA9", "BOM found, code page 1201"},
        {"UTF-32LE, not UTF-16LE", "\xFF\xFE" + std::string(2, '\0') + u32(U"#!z\n", false), "#!z",
         "BOM found, code page 12000"},
        {"UTF-32BE", std::string(2, '\0') + "\xFE\xFF" + u32(U"#!z\r", true), "#!z", "BOM found, code page 12001"},
        {"FF FE 23 00 is UTF-16LE", std::string("\xFF\xFE#\0!\0\n\0", 8), "#!", "code page 1200"},
        {"a leading 00 without the UTF-32BE mark is UTF-8", std::string("\0#\n", 3), std::string("\0#", 2),
         "BOM not found"},
        // The line ends at a whole unit that is CR or LF, never at a byte of another
        // character: U+010A, U+010D and U+0A05 hold a 0x0A or 0x0D byte.
        {"UTF-16LE U+010D U+010A U+0A05", "\xFF\xFE" + u16le(u"#!Ko\u010D\u010A\u0A05\n"),
         "#!Ko\xC4\x8D\xC4\x8A\xE0\xA8\x85", "code page 1200"},
        {"UTF-16BE U+0D0A U+0A0D", "\xFE\xFF" + u16be(u"#\u0D0A\u0A0D\r"), "#\xE0\xB4\x8A\xE0\xA8\x8D", "code page 1201"},
        {"UTF-32LE U+1000A is no line end", "\xFF\xFE" + std::string(2, '\0') + u32(U"#\U0001000A\n", false),
         "#\xF0\x90\x80\x8A", "code page 12000"},
        {"UTF-32 above U+FFFF is a surrogate pair",
         "\xFF\xFE" + std::string(2, '\0') + u32(U"#\U0001F600\n", false), "#\xF0\x9F\x98\x80", "code page 12000"},
        {"UTF-32BE no character is U+FFFD",
         std::string(2, '\0') + "\xFE\xFF" + u32({U'#', char32_t(0x110000), char32_t(0xD800), U'\n'}, true),
         "#\xEF\xBF\xBD\xEF\xBF\xBD", "code page 12001"},
        {"UTF-16 lone surrogate stays", "\xFF\xFE" + std::string("#\0\x00\xD8\n\0", 6), "#\xED\xA0\x80",
         "code page 1200"},
        {"an empty first line", "\nabc", "", "BOM not found"},
        {"CR LF ends at the CR", "ab\r\n", "ab", "BOM not found"},
    };
    for (const Case& c : cases) {
        fake::world.err.clear();
        EXPECT_EQ(decode(c.bytes), c.line) << c.name;
        EXPECT_NE(traced().find(c.trace), std::string::npos) << c.name << ": " << traced();
    }
}

TEST_F(ScriptHeaderTest, RefusedLines) {
    struct Case {
        const char* name;
        std::string bytes;
        const char* trace;  // the last trace line
    };
    const Case cases[] = {
        {"no line end", "#!zelkor3", "maybe_handle_shebang: No line terminator found\n"},
        {"nothing read", "", "maybe_handle_shebang: No line terminator found\n"},
        {"line end beyond 2048 bytes is never seen", std::string(2048, 'a'), "maybe_handle_shebang: No line terminator found\n"},
        // Bytes 0x0A and 0x0D inside other units are no line end.
        {"UTF-16BE 0x0D in a cut unit", "\xFE\xFF" + std::string("\0#\x0D", 3), "maybe_handle_shebang: No line terminator found\n"},
        {"UTF-32LE 0x0A in a unit's second byte", "\xFF\xFE" + std::string(2, '\0') + std::string("#\x0A\0\0\0\0\0\0", 8),
         "maybe_handle_shebang: No line terminator found\n"},
        {"UTF-32BE 0x0A in a cut unit", std::string("\0\0\xFE\xFF\0\0\x0A", 7), "maybe_handle_shebang: No line terminator found\n"},
        {"UTF-16LE line end cut inside its unit", "\xFF\xFE" + std::string("#\0\n", 3),
         "maybe_handle_shebang: No line terminator found\n"},
        {"UTF-32LE line end cut inside its unit", "\xFF\xFE" + std::string(2, '\0') + std::string("#\0\0\0\n\0", 6),
         "maybe_handle_shebang: No line terminator found\n"},
    };
    for (const Case& c : cases) {
        fake::world.err.clear();
        EXPECT_EQ(decode(c.bytes), "refused") << c.name;
        std::string t = traced();
        EXPECT_EQ(t.substr(t.size() - std::min(t.size(), std::string(c.trace).size())), c.trace) << c.name;
    }
}

TEST_F(ScriptHeaderTest, LineLengthLimitIs255Units) {
    EXPECT_EQ(decode(std::string(255, 'a') + "\n"), std::string(255, 'a'));
    EXPECT_EQ(decode(std::string(256, 'a') + "\n"), "refused");
    EXPECT_EQ(decode(std::string(254, 'a') + "\xC3\xA9\n").size(), 256u);  // 255 units, 256 bytes as UTF-8
    EXPECT_EQ(decode("\xFF\xFE" + u16le(std::u16string(255, u'b') + u"\n")), std::string(255, 'b'));
    EXPECT_EQ(decode("\xFF\xFE" + u16le(std::u16string(256, u'b') + u"\n")), "refused");
    // A UTF-32 character above U+FFFF takes two of the 256 units.
    const std::string u32le = "\xFF\xFE" + std::string(2, '\0');
    EXPECT_EQ(decode(u32le + u32(std::u32string(127, U'\U0001F600') + U"a\n", false)).size(), 127u * 4 + 1);
    EXPECT_EQ(decode(u32le + u32(std::u32string(128, U'\U0001F600') + U"\n", false)), "refused");
}

class CompiledScript : public LauncherTest {};

TEST_F(CompiledScript, RunsUnderTheInstalledVersionOfItsMagicNumber) {
    struct Case {
        const char* name;
        std::string bytes;
        const char* child;
    };
    const Case cases[] = {
        {"3379 is 3.6", "\x33\x0D\x0D\x0A", "C:\\Z36\\zelkor.exe C:\\d\\tool-script.zk "},
        {"62211 is 2.7", std::string("\x03\xF3\r\n") + std::string(100, '\0'), "C:\\Z27\\zelkor.exe C:\\d\\tool-script.zk "},
        // 3.5 is not installed: the bytes are a text line without "#!", and the invented
        // line names C:\zelkor.exe, the parent of the script's directory.
        {"not installed falls through to text", "\x18\x0D\x0D\x0A", "C:\\zelkor.exe C:\\d\\tool-script.zk "},
        {"3 bytes are never compiled", "\x33\x0D\x0D", "C:\\zelkor.exe C:\\d\\tool-script.zk "},
    };
    for (const Case& c : cases) {
        fake::reset();
        fake::add_file(u"C:\\d\\tool-script.zk", c.bytes);
        fake::add_install(fake::current_user, fake::native_view, u"3.6", u"C:\\Z36");
        fake::add_install(fake::current_user, fake::native_view, u"2.7", u"C:\\Z27");
        fake::add_file(u"C:\\Z36\\zelkor.exe");
        fake::add_file(u"C:\\Z27\\zelkor.exe");
        fake::add_file(u"C:\\zelkor.exe");
        fake::RunResult r = fake::run();
        EXPECT_EQ(r.exit_code, 0u) << c.name << r.err;
        EXPECT_EQ(r.child, c.child) << c.name;
        EXPECT_EQ(r.child.substr(0, r.child.find(' ')), utf8(fake::world.child_programs.back())) << c.name;
    }
}

TEST_F(CompiledScript, TracesTheInstalledVersion) {
    trace_on();
    fake::add_file(u"C:\\d\\tool-script.zk", "\x33\x0D\x0D\x0A");
    fake::add_install(fake::current_user, fake::native_view, u"3.6-32", u"C:\\Z36");
    fake::add_file(u"C:\\Z36\\zelkor.exe");
    fake::world.files.erase(fake::world.files.begin());  // the empty script of the fixture
    std::string err = fake::run().err;
    EXPECT_NE(err.find("maybe_handle_shebang: read 4 bytes\n"), std::string::npos);
    EXPECT_NE(err.find("script file is compiled against Zelkor 3.6\n"), std::string::npos) << err;
}

}  // namespace
