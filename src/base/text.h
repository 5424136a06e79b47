// UTF-16 text helpers and the launcher's formatter. Portable code only.
//
// Every copy into a fixed buffer is bounded and always terminated. Functions that must
// not cut (a path that would name another file once cut) report whether the text fit,
// and the caller decides what a cut means.
#pragma once

#include <cstddef>
#include <cstdint>

namespace text {

size_t length(const char16_t* s);

// Copies `source` into `destination` of `size` units (size > 0), truncating and always
// terminating. True when nothing was cut.
bool copy(char16_t* destination, size_t size, const char16_t* source);
// The same for at most `count` units of `source`.
bool copy_n(char16_t* destination, size_t size, const char16_t* source, size_t count);
// Appends `source` to the terminated text in `destination`; true when nothing was cut.
bool append(char16_t* destination, size_t size, const char16_t* source);

// wcscmp / wcsncmp: code-unit order.
int compare(const char16_t* a, const char16_t* b);
int compare_n(const char16_t* a, const char16_t* b, size_t count);
// _wcsicmp / _wcsnicmp in the "C" locale: only A-Z fold onto a-z.
int compare_folded(const char16_t* a, const char16_t* b);
int compare_folded_n(const char16_t* a, const char16_t* b, size_t count);

const char16_t* find(const char16_t* s, char16_t unit);
const char16_t* find_last(const char16_t* s, char16_t unit);
const char16_t* find_text(const char16_t* haystack, const char16_t* needle);
inline char16_t* find(char16_t* s, char16_t unit) {
    return const_cast<char16_t*>(find(static_cast<const char16_t*>(s), unit));
}
inline char16_t* find_last(char16_t* s, char16_t unit) {
    return const_cast<char16_t*>(find_last(static_cast<const char16_t*>(s), unit));
}

// The six whitespace units: U+0009 to U+000D and U+0020.
inline bool is_space(char16_t c) { return c == u' ' || (c >= u'\t' && c <= u'\r'); }
// A blank or a tab: what separates the words of a command line or of env's words.
inline bool is_blank(char16_t c) { return c == u' ' || c == u'\t'; }

// The length of the next piece of `text` (`length` units) to write on its own: at most
// `most` units (most > 1), never ending between the two halves of a surrogate pair.
inline size_t piece_length(const char16_t* text, size_t length, size_t most) {
    if (length <= most) return length;
    bool high = text[most - 1] >= 0xD800 && text[most - 1] <= 0xDBFF;
    return high ? most - 1 : most;
}

// ---- Paths ----------------------------------------------------------------------------

// Whether `path` must be quoted to stand first in a command line: it holds a blank and
// does not start with a quote of its own. Unquoted, CreateProcessW would first try to
// start the path's first word as a program ("C:\My Envs\zelkor.exe" runs C:\My.exe when
// that exists).
bool needs_quotes(const char16_t* path);
// `path` itself, or when it needs quotes a copy in double quotes, in heap storage kept
// for the rest of the run; `path` may have any length.
const char16_t* quoted_if_blank(const char16_t* path);

// Paths of 260 units or more: the longest a Windows without long paths takes is 259
// characters. Such a path is refused there with 206 (ERROR_FILENAME_EXCED_RANGE), or with
// 3 (ERROR_PATH_NOT_FOUND) for a folder it cannot reach.
inline constexpr size_t short_path_limit = 260;

// Whether the first `length` units of `path` name an absolute folder: a drive letter, a
// colon and a separator (C:\..., C:/...), or two separators, a server name, a separator
// and a share (\\server\share..., also \\?\C:\...). Anything else is resolved against the
// current folder or the current drive (Z36, \Z36, C:Z36), or, being only separators,
// turns into a network path once a file name is appended.
bool is_absolute_folder(const char16_t* path, size_t length);

// ---- Formatter ------------------------------------------------------------------------
//
// Conversions: "%ls" and "%s" take wide text, "%d" a signed int, "%X" an unsigned int in
// upper-case hexadecimal, "%%" a percent sign. Anything else after "%" is copied as is.
// An argument of the wrong kind prints as the conversion can read it (an int for "%X" is
// taken as unsigned); a missing or null text prints "(null)".

struct FormatArg {
    enum Kind : uint8_t { none, wide, signed_int, unsigned_int } kind = none;
    const char16_t* wide_text = nullptr;
    uint32_t bits = 0;
};

inline FormatArg format_arg(const char16_t* s) { return {FormatArg::wide, s, 0}; }
inline FormatArg format_arg(char16_t* s) { return {FormatArg::wide, s, 0}; }
inline FormatArg format_arg(int32_t v) { return {FormatArg::signed_int, nullptr, static_cast<uint32_t>(v)}; }
inline FormatArg format_arg(uint32_t v) { return {FormatArg::unsigned_int, nullptr, v}; }

// Where formatted text goes: a buffer of `size` units. When `flush` is null the sink
// truncates (at most size - 1 units, always terminated); otherwise it is called with the
// full, terminated buffer, writes it out and sets `used` to what it kept (at most one
// unit, moved to the front), so text of any length passes through.
struct FormatSink {
    char16_t* buffer;
    size_t size;
    size_t used;
    void (*flush)(FormatSink& sink);
    void* context = nullptr;  // the flush's own
};

void format_into(FormatSink& sink, const char16_t* format, const FormatArg* args, size_t count);

// Formats into `buffer` of `size` units (size > 0), truncating; returns the units written.
size_t format_args(char16_t* buffer, size_t size, const char16_t* format, const FormatArg* args,
                   size_t count);

template <class... A>
size_t format(char16_t* buffer, size_t size, const char16_t* format_text, const A&... a) {
    const FormatArg args[] = {format_arg(a)..., FormatArg{}};
    return format_args(buffer, size, format_text, args, sizeof...(A));
}

// ---- Text that grows --------------------------------------------------------------------
//
// Paths (up to 32,767 units where long paths are enabled) and command lines live in heap
// storage sized to what they hold, grown as text is put in, never released: the run ends
// by exiting. Text put in is always terminated; an untouched one reads as "". When the
// heap refuses to grow one, the run ends: exit 104, "Could not allocate %d bytes of text".

struct Growable {
    char16_t* data = nullptr;
    size_t length = 0;
    size_t capacity = 0;  // units, the terminator's included
};

inline const char16_t* c_str(const Growable& t) { return t.data != nullptr ? t.data : u""; }

// Room for `units` units and a terminator, the text kept; false (nothing changed) when
// the heap refuses. reserve() ends the run instead.
bool try_reserve(Growable& t, size_t units);
void reserve(Growable& t, size_t units);
void assign_n(Growable& t, const char16_t* source, size_t count);
inline void assign(Growable& t, const char16_t* source) { assign_n(t, source, length(source)); }
void append_n(Growable& t, const char16_t* source, size_t count);
inline void append(Growable& t, const char16_t* source) { append_n(t, source, length(source)); }
// A copy of `s` in storage of its own, kept for the rest of the run.
const char16_t* kept_copy(const char16_t* s);
// Gives the storage back, for text of a passing use; `t` is then untouched again.
void release(Growable& t);
// Cuts the text to its first `units` units (no more than it holds).
void truncate(Growable& t, size_t units);
// Sets the length to that of the terminated text in the storage (after a call that wrote
// into it directly).
void settle(Growable& t);

void append_format_args(Growable& t, const char16_t* format, const FormatArg* args, size_t count);

// Fills `t` with what `call(buffer, size)` writes, a call of Win32's usual kind: the
// length written (terminator excluded), the size it needs (terminator included) when the
// buffer is too small, 0 on failure. Asked again with the room it asks for, a few times
// at most (what it reads may grow between two calls). False, `t` empty, when the call
// fails or the heap refuses: a fatal message in a box may need this, so it never ends
// the run.
template <class Call>
bool fill(Growable& t, Call call) {
    size_t units = short_path_limit;
    for (int attempt = 0; attempt < 4 && try_reserve(t, units); ++attempt) {
        auto size = static_cast<uint32_t>(t.capacity);
        uint32_t n = call(t.data, size);
        if (n == 0) break;
        if (n < size) {
            t.data[n] = 0;
            t.length = n;
            return true;
        }
        units = n;
    }
    truncate(t, 0);
    return false;
}

// Formats into `t`, in place of what it held.
template <class... A>
void format(Growable& t, const char16_t* format_text, const A&... a) {
    const FormatArg args[] = {format_arg(a)..., FormatArg{}};
    truncate(t, 0);
    append_format_args(t, format_text, args, sizeof...(A));
}

}  // namespace text
