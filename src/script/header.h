// Reading and decoding the wrapped script's first line. Portable code only.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

// The decoded first line, without its line end.
struct ScriptHeader {
    char16_t text[256];
    int length;  // units before the terminator, 0 to 255
};

struct CompiledMagic {
    uint16_t min_magic;  // 0 ends the table
    uint16_t max_magic;
    char16_t version[4];
};

struct ByteOrderMark {
    int32_t mark_length;  // 0 ends the table
    uint8_t mark[4];
    int32_t code_page;
};

inline constexpr CompiledMagic compiled_magic_table[] = {
    {50823, 50823, u"2.0"}, {60202, 60202, u"2.1"}, {60717, 60717, u"2.2"}, {62011, 62021, u"2.3"},
    {62041, 62061, u"2.4"}, {62071, 62131, u"2.5"}, {62151, 62161, u"2.6"}, {62171, 62211, u"2.7"},
    {3000, 3131, u"3.0"},   {3141, 3151, u"3.1"},   {3160, 3180, u"3.2"},   {3190, 3230, u"3.3"},
    {3250, 3310, u"3.4"},   {3320, 3351, u"3.5"},   {3360, 3379, u"3.6"},   {0, 0, u""}};

// The UTF-32LE mark begins with the UTF-16LE one, so it comes first.
inline constexpr ByteOrderMark bom_table[] = {
    {3, {0xEF, 0xBB, 0xBF, 0}, 65001},   {4, {0xFF, 0xFE, 0, 0}, 12000}, {4, {0, 0, 0xFE, 0xFF}, 12001},
    {2, {0xFF, 0xFE, 0, 0}, 1200},       {2, {0xFE, 0xFF, 0, 0}, 1201},  {0, {0, 0, 0, 0}, 0}};

// The first line read from the script; shebang interpretation cuts it in place.
extern ScriptHeader script_header;

// Reads up to 2048 bytes of the open script (whose path is `script_path`) and closes it.
// A compiled script, or a first line that names an interpreter, starts the child (or
// ends the run with a fatal error) and does not return; the function returns when the
// script gives nothing usable, and the main flow goes on with its default road.
void maybe_handle_shebang(platform::Handle script, const char16_t* script_path, const char16_t* new_command_line);

// Runs a compiled script (its magic number and CR LF in the first four bytes) under an
// installed interpreter of its version; returns when it is none or none is installed.
void run_compiled_script(const uint8_t* bytes, size_t count, const char16_t* new_command_line);

// Decodes the first line of `bytes` (after any byte-order mark) into `header`. False,
// traced, when the line has no end within the bytes or cannot be decoded into 255 units.
bool decode_first_line(const uint8_t* bytes, size_t count, ScriptHeader& header);
