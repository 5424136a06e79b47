// Script header decoding: compiled scripts, byte-order marks and the first line.
// Portable code only.
#include "script/header.h"

#include "base/diagnostics.h"
#include "child/child.h"
#include "discovery/selection.h"
#include "script/shebang.h"

ScriptHeader script_header;

namespace {

constexpr size_t header_size = 2048;
constexpr size_t max_units = 256;  // the line and its terminator

const ByteOrderMark* find_byte_order_mark(const uint8_t* bytes, size_t count) {
    for (const ByteOrderMark* row = bom_table; row->mark_length != 0; ++row) {
        size_t n = static_cast<size_t>(row->mark_length);
        bool match = count >= n;
        for (size_t i = 0; match && i < n; ++i) match = bytes[i] == row->mark[i];
        if (match) return row;
    }
    return nullptr;
}

// How the line's bytes make code units: UTF-8 byte by byte; UTF-16 and UTF-32 in whole
// units of their width, in their byte order.
struct UnitLayout {
    size_t width;
    bool big_endian;
};

UnitLayout layout_of(int32_t code_page) {
    switch (code_page) {
        case 1200: return {2, false};
        case 1201: return {2, true};
        case 12000: return {4, false};
        case 12001: return {4, true};
        default: return {1, false};
    }
}

uint32_t unit_at(const uint8_t* p, UnitLayout layout) {
    uint32_t value = 0;
    for (size_t i = 0; i < layout.width; ++i)
        value |= uint32_t(p[layout.big_endian ? layout.width - 1 - i : i]) << (8 * i);
    return value;
}

// The bytes from `start` through the first whole unit that is CR or LF, or 0 when the
// bytes read hold none (a unit cut by the end of the read is no line end: nothing beyond
// the bytes read is looked at). Whole units, so that a character one of whose bytes is
// 0x0A or 0x0D (U+010D, U+0A05) neither ends the line nor shifts it out of step.
size_t line_byte_length(const uint8_t* bytes, size_t count, size_t start, UnitLayout layout) {
    for (size_t at = start; at + layout.width <= count; at += layout.width) {
        uint32_t unit = unit_at(bytes + at, layout);
        if (unit == 0x0A || unit == 0x0D) return at + layout.width - start;
    }
    return 0;
}

// UTF-16 or UTF-32 units into UTF-16: UTF-16 units are copied as they are (a lone
// surrogate stays one, as Windows paths allow); a UTF-32 unit above U+FFFF becomes a
// surrogate pair, one that is no character (above U+10FFFF, or a surrogate) U+FFFD, as
// the system's UTF-8 conversion does. 0 when the line needs more than 256 units.
int decode_fixed_width(const uint8_t* line, size_t byte_length, UnitLayout layout, char16_t* out) {
    size_t n = 0;
    for (size_t at = 0; at < byte_length; at += layout.width) {
        uint32_t c = unit_at(line + at, layout);
        if (layout.width == 4 && (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))) c = 0xFFFD;
        if (n + (c > 0xFFFF ? 2 : 1) > max_units) return 0;
        if (c > 0xFFFF) {
            out[n++] = static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
            out[n++] = static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            out[n++] = static_cast<char16_t>(c);
        }
    }
    return static_cast<int>(n);
}

}  // namespace

void run_compiled_script(const uint8_t* bytes, size_t count, const char16_t* new_command_line) {
    if (count <= 3 || bytes[2] != 0x0D || bytes[3] != 0x0A) return;
    unsigned magic = bytes[0] | (bytes[1] << 8);
    for (const CompiledMagic* row = compiled_magic_table; row->min_magic != 0; ++row) {
        if (magic < row->min_magic || magic > row->max_magic) continue;
        if (const InstalledInterpreter* found = select_interpreter(row->version, false)) {
            trace(u"script file is compiled against Zelkor %ls\n", found->version);
            launch_with_args(found->executable, nullptr, new_command_line, found->path);
        }
    }
}

bool decode_first_line(const uint8_t* bytes, size_t count, ScriptHeader& header) {
    const ByteOrderMark* mark = find_byte_order_mark(bytes, count);
    int32_t code_page = 65001;
    size_t start = 0;
    if (mark != nullptr) {
        trace(u"maybe_handle_shebang: BOM found, code page %d\n", mark->code_page);
        code_page = mark->code_page;
        start = static_cast<size_t>(mark->mark_length);
    } else {
        trace(u"maybe_handle_shebang: BOM not found, using UTF-8\n");
    }

    UnitLayout layout = layout_of(code_page);
    size_t byte_length = line_byte_length(bytes, count, start, layout);
    if (byte_length == 0) {
        trace(u"maybe_handle_shebang: No line terminator found\n");
        return false;
    }
    const uint8_t* line = bytes + start;
    int units = layout.width == 1
                    ? platform::multi_byte_to_wide_char(65001, 0, reinterpret_cast<const char*>(line),
                                                        static_cast<int>(byte_length), header.text,
                                                        static_cast<int>(max_units))
                    : decode_fixed_width(line, byte_length, layout, header.text);
    if (units < 1) return false;
    header.text[units - 1] = 0;  // the unit that holds the CR or LF
    header.length = units - 1;
    return true;
}

void maybe_handle_shebang(platform::Handle script, const char16_t* script_path, const char16_t* new_command_line) {
    static uint8_t header[header_size];
    size_t count = platform::read_file(header, header_size, script);
    trace(u"maybe_handle_shebang: read %d bytes\n", static_cast<int32_t>(count));
    platform::close_file(script);

    run_compiled_script(header, count, new_command_line);
    if (!decode_first_line(header, count, script_header)) return;
    ShebangCommand command;
    if (parse_shebang(script_header, script_path, command))
        run_shebang_command(command, new_command_line);
}
