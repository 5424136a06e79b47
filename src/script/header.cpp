// Script header decoding: compiled scripts, byte-order marks and the first line.
// Portable code only.
#include "script/header.h"

#include "child/child.h"
#include "discovery/selection.h"
#include "launcher/diagnostics.h"
#include "launcher/launcher.h"
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

// Fixed-width encodings: one UTF-16 unit from each `width`-byte unit, built from the
// bytes at offsets `low` and `high`. Only the low 16 bits of a UTF-32 unit are kept.
int decode_units(const uint8_t* line, size_t byte_length, size_t width, size_t low, size_t high,
                 char16_t* out) {
    size_t units = byte_length / width;
    if (units > max_units) return 0;
    for (size_t i = 0; i < units; ++i)
        out[i] = static_cast<char16_t>(line[i * width + low] | (line[i * width + high] << 8));
    return static_cast<int>(units);
}

}  // namespace

void run_compiled_script(const uint8_t* bytes, size_t count, const char16_t* new_command_line) {
    if (count <= 3 || bytes[2] != 0x0D || bytes[3] != 0x0A) return;
    unsigned magic = bytes[0] | (bytes[1] << 8);
    for (const CompiledMagic* row = compiled_magic_table; row->min_magic != 0; ++row) {
        if (magic < row->min_magic || magic > row->max_magic) continue;
        if (const InstalledInterpreter* found = select_interpreter(row->version, false)) {
            trace(u"script file is compiled against Zelkor %ls\n", found->version);
            launch_with_args(found->executable, nullptr, new_command_line);
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

    // The line end is searched byte by byte, whatever the unit size; the line then takes
    // in the rest of the terminator's unit.
    size_t end = start;
    while (end < count && bytes[end] != 0x0D && bytes[end] != 0x0A) ++end;
    // A file cut inside the terminator's unit has no complete line end among the bytes
    // read either: nothing beyond them is looked at.
    if (end < count) end += 1 + (code_page == 1200 ? 1 : code_page == 12000 ? 3 : 0);
    else end = count + 1;
    if (end > count) {
        trace(u"maybe_handle_shebang: No line terminator found\n");
        return false;
    }
    const uint8_t* line = bytes + start;
    size_t byte_length = end - start;
    int32_t length = static_cast<int32_t>(byte_length);
    int units = 0;
    switch (code_page) {
        case 1200:
            if (byte_length % 2 != 0) return trace(u"UTF-16LE, but an odd number of bytes: %d\n", length), false;
            units = decode_units(line, byte_length, 2, 0, 1, header.text);
            break;
        case 1201:
            if (byte_length % 2 != 0)
                return trace(u"maybe_handle_shebang: UTF-16BE, but an odd number of bytes: %d\n", length), false;
            units = decode_units(line, byte_length, 2, 1, 0, header.text);
            break;
        case 12000:
            if (byte_length % 4 != 0) return trace(u"UTF-32LE, but not divisible by 4: %d\n", length), false;
            units = decode_units(line, byte_length, 4, 0, 1, header.text);
            break;
        case 12001:
            if (byte_length % 4 != 0) return trace(u"UTF-32BE, but not divisible by 4: %d\n", length), false;
            units = decode_units(line, byte_length, 4, 3, 2, header.text);
            break;
        default:
            units = platform::multi_byte_to_wide_char(65001, 0, reinterpret_cast<const char*>(line), length,
                                                      header.text, static_cast<int>(max_units));
            break;
    }
    if (units < 1) return false;
    header.text[units - 1] = 0;  // the unit that holds the CR or LF
    header.length = units - 1;
    return true;
}

void maybe_handle_shebang(platform::Handle script, const char16_t* new_command_line) {
    static uint8_t header[header_size];
    size_t count = platform::read_file(header, header_size, script);
    trace(u"maybe_handle_shebang: read %d bytes\n", static_cast<int32_t>(count));
    platform::close_file(script);

    run_compiled_script(header, count, new_command_line);
    if (!decode_first_line(header, count, script_header)) return;
    ShebangCommand command;
    if (parse_shebang(script_header, wrapped_script_path, command))
        run_shebang_command(command, new_command_line);
}
