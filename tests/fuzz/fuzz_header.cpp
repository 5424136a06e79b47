// Fuzz target: arbitrary bytes as the wrapped script, through the whole launcher against
// the fake platform: compiled-file check, byte-order marks, line decoding, shebang
// parsing, custom commands, selection and the child's command line. Bytes after a
// separator FF FF FF, read as UTF-8, become the launcher's raw command line instead, so
// the split of the user's arguments is fuzzed along, and so is the per-user folder's
// registry value, made of the same bytes.
//
// An oracle over the line decoding: text made of the same bytes (valid code points, no
// CR or LF, at most 255 UTF-16 units), written in UTF-8 with and without a mark, UTF-16
// and UTF-32 in both byte orders, and ended with LF, must decode to the same UTF-16 line
// in all six forms.
#include <cstddef>
#include <cstdint>
#include <string>

#include "script/header.h"
#include "support/fake_platform.h"

namespace {

// Code points from 3 bytes each: any value below U+110000 but the surrogates, CR and LF.
std::u32string text_of(const uint8_t* data, size_t size) {
    std::u32string text;
    size_t units = 0;
    for (size_t i = 0; i + 3 <= size; i += 3) {
        char32_t c = (uint32_t(data[i]) << 16 | uint32_t(data[i + 1]) << 8 | data[i + 2]) % 0x110000;
        if (c >= 0xD800 && c <= 0xDFFF) c -= 0x800;       // a character nearby instead
        if (c == U'\r' || c == U'\n') c ^= 0x20;
        size_t need = c > 0xFFFF ? 2 : 1;
        if (units + need > 255) break;
        units += need;
        text += c;
    }
    return text;
}

std::string encoded(const std::u32string& text, int width, bool big_endian) {
    std::string bytes;
    auto put = [&](uint32_t unit, int n) {
        for (int i = 0; i < n; ++i) bytes += char(unit >> 8 * (big_endian ? n - 1 - i : i));
    };
    for (char32_t c : text) {
        if (width == 4) {
            put(c, 4);
        } else if (width == 2) {
            if (c > 0xFFFF) {
                put(0xD800 + ((c - 0x10000) >> 10), 2);
                put(0xDC00 + ((c - 0x10000) & 0x3FF), 2);
            } else {
                put(c, 2);
            }
        } else if (c < 0x80) {
            bytes += char(c);
        } else if (c < 0x800) {
            bytes += {char(0xC0 | c >> 6), char(0x80 | (c & 0x3F))};
        } else if (c < 0x10000) {
            bytes += {char(0xE0 | c >> 12), char(0x80 | ((c >> 6) & 0x3F)), char(0x80 | (c & 0x3F))};
        } else {
            bytes += {char(0xF0 | c >> 18), char(0x80 | ((c >> 12) & 0x3F)), char(0x80 | ((c >> 6) & 0x3F)),
                      char(0x80 | (c & 0x3F))};
        }
    }
    return bytes;
}

std::u16string decoded(const std::string& bytes) {
    ScriptHeader header{};
    if (!decode_first_line(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), header))
        return u"(refused)";
    return std::u16string(header.text, size_t(header.length));
}

void check_every_encoding_decodes_alike(const uint8_t* data, size_t size) {
    const std::u32string text = text_of(data, size) + U'\n';
    std::u16string expected;
    for (char32_t c : text.substr(0, text.size() - 1)) {
        if (c > 0xFFFF) {
            expected += char16_t(0xD800 + ((c - 0x10000) >> 10));
            expected += char16_t(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            expected += char16_t(c);
        }
    }
    struct Form {
        const char* mark;
        size_t mark_length;
        int width;
        bool big_endian;
    };
    const Form forms[] = {{"", 0, 1, false},          {"\xEF\xBB\xBF", 3, 1, false}, {"\xFF\xFE", 2, 2, false},
                          {"\xFE\xFF", 2, 2, true},    {"\xFF\xFE\0\0", 4, 4, false}, {"\0\0\xFE\xFF", 4, 4, true}};
    for (const Form& f : forms) {
        // The mark table's own ambiguities: a first U+FEFF is the UTF-8 mark, and UTF-16LE
        // text that starts with U+0000 reads as the UTF-32LE mark.
        if (f.mark_length == 0 && text[0] == 0xFEFF) continue;
        if (f.width == 2 && !f.big_endian && text[0] == 0) continue;
        std::string bytes = std::string(f.mark, f.mark_length) + encoded(text, f.width, f.big_endian);
        if (decoded(bytes) != expected) __builtin_trap();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fake::reset();
    check_every_encoding_decodes_alike(data, size);
    fake::reset();
    std::string script(reinterpret_cast<const char*>(data), size);
    std::u16string command_line = u"\"C:\\d\\tool.exe\" a  \"b c\"";
    size_t separator = script.find("\xFF\xFF\xFF");
    if (separator != std::string::npos) {
        command_line = fake::utf16(script.substr(separator + 3));
        script.resize(separator);
    }
    fake::add_file(u"C:\\d\\tool-script.zk", script);
    fake::add_install(fake::current_user, fake::native_view, u"3.6", u"C:\\Program Files\\Z36");
    fake::add_install(fake::local_machine, fake::native_view, u"2.7", u"C:\\Z27\\");
    fake::add_file(u"C:\\Program Files\\Z36\\zelkor.exe");
    fake::add_file(u"C:\\Z27\\Vornix\\win32\\zelkor.exe").binary_type = 0;
    fake::add_ini(u"C:\\d\\zk.ini", u"commands", u"mytool", u"C:\\tools\\mytool.exe");
    fake::add_ini(u"C:\\d\\zk.ini", u"defaults", u"zelkor3", u"3.6");
    fake::set_path({u"C:\\bin"});
    fake::add_file(u"C:\\bin\\zelkor.exe");
    fake::add_file(u"C:\\bin\\tool.com");
    fake::set_env(u"PATHEXT", u".COM;.EXE");
    fake::set_env(u"ZKLAUNCH_DEBUG", u"1");
    fake::world.command_line = command_line;
    // The per-user folder's registry value: the command line's bytes as they stand, of
    // either string type (odd lengths, no terminator, stray and doubled percent signs).
    size_t raw_size = command_line.size() * 2;
    if (raw_size > 0 && size & 2) --raw_size;
    std::string raw(reinterpret_cast<const char*>(command_line.data()), raw_size);
    fake::add_reg_value(fake::current_user, fake::native_view,
                        u"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders", size & 1 ? 2 : 1,
                        raw, u"Local AppData");
    fake::add_reg_value(fake::local_machine, fake::view_64,
                        u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList\\" + fake::world.user_sid, 2,
                        fake::reg_sz(u"C:\\Users\\me"), u"ProfileImagePath");
    fake::run();
    fake::reset();  // the run's heap goes back within the input, as libFuzzer counts it
    return 0;
}
