// UTF-16 text helpers and the formatter. Portable code only.
#include "base/text.h"

#include "base/diagnostics.h"
#include "platform/platform.h"

namespace text {

size_t length(const char16_t* s) {
    size_t n = 0;
    while (s[n] != 0) ++n;
    return n;
}

bool copy_n(char16_t* destination, size_t size, const char16_t* source, size_t count) {
    size_t i = 0;
    for (; i < count && source[i] != 0; ++i) {
        if (i + 1 >= size) {
            destination[i] = 0;
            return false;
        }
        destination[i] = source[i];
    }
    destination[i] = 0;
    return true;
}

bool copy(char16_t* destination, size_t size, const char16_t* source) {
    return copy_n(destination, size, source, static_cast<size_t>(-1));
}

bool append(char16_t* destination, size_t size, const char16_t* source) {
    size_t used = length(destination);
    if (used >= size) return false;
    return copy(destination + used, size - used, source);
}

static char16_t fold(char16_t c) { return (c >= u'A' && c <= u'Z') ? char16_t(c + 32) : c; }

int compare_n(const char16_t* a, const char16_t* b, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
        if (a[i] == 0) return 0;
    }
    return 0;
}

int compare(const char16_t* a, const char16_t* b) { return compare_n(a, b, static_cast<size_t>(-1)); }

int compare_folded_n(const char16_t* a, const char16_t* b, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        char16_t x = fold(a[i]), y = fold(b[i]);
        if (x != y) return x < y ? -1 : 1;
        if (x == 0) return 0;
    }
    return 0;
}

int compare_folded(const char16_t* a, const char16_t* b) {
    return compare_folded_n(a, b, static_cast<size_t>(-1));
}

const char16_t* find(const char16_t* s, char16_t unit) {
    for (; *s != 0; ++s)
        if (*s == unit) return s;
    return nullptr;
}

const char16_t* find_last(const char16_t* s, char16_t unit) {
    const char16_t* last = nullptr;
    for (; *s != 0; ++s)
        if (*s == unit) last = s;
    return last;
}

const char16_t* find_text(const char16_t* haystack, const char16_t* needle) {
    size_t n = length(needle);
    for (; *haystack != 0; ++haystack)
        if (compare_n(haystack, needle, n) == 0) return haystack;
    return n == 0 ? haystack : nullptr;
}

// ---- Formatter ------------------------------------------------------------------------

static void put(FormatSink& sink, char16_t c) {
    if (sink.used + 1 >= sink.size) {
        if (sink.flush == nullptr) return;  // truncating sink: full, drop the rest
        sink.buffer[sink.used] = 0;
        sink.flush(sink);  // leaves sink.used below sink.size - 1
    }
    sink.buffer[sink.used++] = c;
}

static void put_text(FormatSink& sink, const char16_t* s) {
    if (s == nullptr) s = u"(null)";
    for (; *s != 0; ++s) put(sink, *s);
}

static void put_number(FormatSink& sink, uint32_t value, unsigned base, bool negative) {
    char16_t digits[12];
    int n = 0;
    do {
        unsigned d = value % base;
        digits[n++] = static_cast<char16_t>(d < 10 ? u'0' + d : u'A' + d - 10);
        value /= base;
    } while (value != 0);
    if (negative) put(sink, u'-');
    while (n > 0) put(sink, digits[--n]);
}

void format_into(FormatSink& sink, const char16_t* format, const FormatArg* args, size_t count) {
    size_t next = 0;
    auto take = [&]() { return next < count ? args[next++] : FormatArg{}; };
    for (const char16_t* p = format; *p != 0; ++p) {
        if (*p != u'%') {
            put(sink, *p);
            continue;
        }
        const char16_t* conversion = p + 1;
        if (*conversion == u'%') {
            put(sink, u'%');
            p = conversion;
        } else if (*conversion == u's' || (*conversion == u'l' && conversion[1] == u's')) {
            FormatArg a = take();
            put_text(sink, a.kind == FormatArg::wide ? a.wide_text : nullptr);
            p = (*conversion == u'l') ? conversion + 1 : conversion;
        } else if (*conversion == u'd') {
            FormatArg a = take();
            int32_t v = static_cast<int32_t>(a.bits);
            // Negate in unsigned arithmetic so that INT32_MIN is printed, not overflowed.
            put_number(sink, v < 0 ? 0u - a.bits : a.bits, 10, v < 0);
            p = conversion;
        } else if (*conversion == u'X') {
            put_number(sink, take().bits, 16, false);
            p = conversion;
        } else {
            put(sink, u'%');
            if (*conversion == 0) break;
        }
    }
    if (sink.size > 0) sink.buffer[sink.used] = 0;
}

bool needs_quotes(const char16_t* path) { return path[0] != u'"' && find(path, u' ') != nullptr; }

const char16_t* quoted_if_blank(const char16_t* path) {
    if (!needs_quotes(path)) return path;
    Growable quoted;  // kept for the rest of the run: a command line is made of it
    format(quoted, u"\"%ls\"", path);
    return quoted.data;
}

bool is_absolute_folder(const char16_t* path, size_t length) {
    auto separator = [&](size_t i) { return i < length && (path[i] == u'\\' || path[i] == u'/'); };
    auto letter = [](char16_t c) { return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z'); };
    if (length >= 3 && letter(path[0]) && path[1] == u':' && separator(2)) return true;
    if (!separator(0) || !separator(1)) return false;
    // \\server\share: a name, one separator, then at least one unit of a second name.
    size_t i = 2;
    while (i < length && !separator(i)) ++i;
    return i > 2 && separator(i) && i + 1 < length && !separator(i + 1);
}

size_t format_args(char16_t* buffer, size_t size, const char16_t* format, const FormatArg* args,
                   size_t count) {
    FormatSink sink{buffer, size, 0, nullptr};
    format_into(sink, format, args, count);
    return sink.used;
}

// ---- Text that grows --------------------------------------------------------------------

bool try_reserve(Growable& t, size_t units) {
    if (units < t.capacity) return true;
    // Doubling keeps a text built piece by piece to a few copies.
    size_t capacity = t.capacity < 64 ? 64 : t.capacity;
    while (capacity <= units) capacity *= 2;
    auto* data = static_cast<char16_t*>(platform::allocate(capacity * sizeof(char16_t)));
    if (data == nullptr) return false;
    for (size_t i = 0; i < t.length; ++i) data[i] = t.data[i];
    data[t.length] = 0;
    if (t.data != nullptr) platform::release(t.data);
    t.data = data;
    t.capacity = capacity;
    return true;
}

void reserve(Growable& t, size_t units) {
    if (!try_reserve(t, units))
        fail(exit_out_of_memory, u"Could not allocate %d bytes of text",
             static_cast<int32_t>((units + 1) * sizeof(char16_t)));
}

void append_n(Growable& t, const char16_t* source, size_t count) {
    size_t n = 0;
    while (n < count && source[n] != 0) ++n;
    reserve(t, t.length + n);
    for (size_t i = 0; i < n; ++i) t.data[t.length + i] = source[i];
    t.length += n;
    t.data[t.length] = 0;
}

void assign_n(Growable& t, const char16_t* source, size_t count) {
    truncate(t, 0);
    append_n(t, source, count);
}

void truncate(Growable& t, size_t units) {
    if (t.data == nullptr) return;
    if (units < t.length) t.length = units;
    t.data[t.length] = 0;
}

const char16_t* kept_copy(const char16_t* s) {
    Growable copy;
    assign(copy, s);
    return copy.data;
}

void release(Growable& t) {
    if (t.data != nullptr) platform::release(t.data);
    t = Growable{};
}

void settle(Growable& t) { t.length = t.data == nullptr ? 0 : length(t.data); }

namespace {
// The sink's flush for a Growable: twice the room, the text kept.
void grow_sink(FormatSink& sink) {
    auto& t = *static_cast<Growable*>(sink.context);
    t.length = sink.used;
    reserve(t, sink.size * 2);
    sink.buffer = t.data;
    sink.size = t.capacity;
}
}  // namespace

void append_format_args(Growable& t, const char16_t* format, const FormatArg* args, size_t count) {
    reserve(t, t.length + 16);
    FormatSink sink{t.data, t.capacity, t.length, grow_sink, &t};
    format_into(sink, format, args, count);
    t.length = sink.used;
}

}  // namespace text
