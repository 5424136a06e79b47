// Trace log, fatal errors, environment access and system error texts.
#include "base/diagnostics.h"

#include "base/report.h"
#include "platform/platform.h"

LogStream log_stream = LogStream::none;

namespace {

constexpr uint32_t env_buffer_size = 256;
char16_t env_buffer[env_buffer_size];

// Streams formatted text to one standard stream in chunks, so that a trace line of any
// length (a child command line may hold 32767 characters) is written whole. A chunk never
// ends inside a surrogate pair: its high half waits for the next chunk.
template <platform::Stream S>
void flush_chunk(text::FormatSink& sink) {
    size_t n = sink.used;
    char16_t last = n > 0 ? sink.buffer[n - 1] : 0;
    bool hold = last >= 0xD800 && last <= 0xDBFF;
    platform::write_text(S, sink.buffer, hold ? n - 1 : n);
    sink.used = 0;
    if (hold) sink.buffer[sink.used++] = last;
}

template <platform::Stream S>
void stream_out(const char16_t* format, const text::FormatArg* args, size_t count) {
    char16_t chunk[512];
    text::FormatSink sink{chunk, sizeof chunk / sizeof chunk[0], 0, flush_chunk<S>};
    text::format_into(sink, format, args, count);
    platform::write_text(S, chunk, sink.used);
}

}  // namespace

void write_whole(platform::Stream stream, const char16_t* text, size_t length) {
    while (length > 0) {
        size_t piece = text::piece_length(text, length, 8000);
        platform::write_text(stream, text, piece);
        text += piece;
        length -= piece;
    }
}

void trace_args(const char16_t* format, const text::FormatArg* args, size_t count) {
    if (log_stream == LogStream::none) return;
    stream_out<platform::Stream::error>(format, args, count);
}

void write_output(const char16_t* format, const text::FormatArg* args, size_t count) {
    stream_out<platform::Stream::output>(format, args, count);
}

namespace {

// The length of the formatted text, counted in a small buffer emptied as it fills.
size_t formatted_length(const char16_t* format, const text::FormatArg* args, size_t count) {
    char16_t chunk[64];
    size_t total = 0;
    text::FormatSink sink{chunk, 64, 0,
                          [](text::FormatSink& s) {
                              *static_cast<size_t*>(s.context) += s.used;
                              s.used = 0;
                          },
                          &total};
    text::format_into(sink, format, args, count);
    return total + sink.used;
}

}  // namespace

// The message whole, whatever its length (a path, a command line of 32,767 units); only
// when the heap refuses its size is it cut to 1023 units.
void fail_args(uint32_t status, const char16_t* format, const text::FormatArg* args, size_t count) {
    static char16_t fallback[1023 + 2];
    size_t size = formatted_length(format, args, count) + 2;  // the line feed and the terminator
    auto* message = static_cast<char16_t*>(platform::allocate(size * sizeof(char16_t)));
    if (message == nullptr) {
        message = fallback;
        size = sizeof fallback / sizeof fallback[0];
    }
    size_t n = text::format_args(message, size - 1, format, args, count);
    message[n] = u'\n';
    message[n + 1] = 0;
    variant::report_fatal(message, n + 1);
    platform::exit_process(status);
}

namespace {

// A launcher started by its short (8.3) name (a batch file's %~s0, an older program, a
// task runner) is told that name, and would look for a script that was never there:
// every short name holds a "~", and GetLongPathNameW gives the long form.
void use_long_form(text::Growable& path) {
    if (text::find(path.data, u'~') == nullptr) return;
    text::Growable long_form;
    if (text::fill(long_form, [&](char16_t* buffer, uint32_t size) {
            return platform::get_long_path_name(path.data, buffer, size);
        }) &&
        text::compare(long_form.data, path.data) != 0) {
        trace(u"own path is a short name: using %ls\n", long_form.data);
        text::release(path);
        path = long_form;
        return;
    }
    text::release(long_form);
}

}  // namespace

bool read_own_path(text::Growable& path) {
    // GetModuleFileNameW fills the buffer it is given and cuts the path there; asked
    // again with twice the room until the path fits, up to the 32,767 units Windows has.
    for (uint32_t size = text::short_path_limit; size <= 65536; size *= 2) {
        // Not reserve(): a fatal message in a box reads this path too.
        if (!text::try_reserve(path, size)) break;
        uint32_t n = platform::get_module_file_name(path.data, size);
        if (n == 0) break;
        if (n < size) {
            path.data[n] = 0;
            path.length = n;
            use_long_form(path);
            return true;
        }
    }
    text::truncate(path, 0);
    return false;
}

void trace_long_path(const char16_t* path, uint32_t error) {
    constexpr uint32_t error_path_not_found = 3, error_filename_exced_range = 206;
    if (text::length(path) < text::short_path_limit) return;
    // 206 is the refusal of the length itself; 3 is also what a missing folder gives,
    // where long paths are enabled as anywhere.
    if (error == error_filename_exced_range)
        trace(u"%ls: longer than 259 characters: Windows takes such a path only where long paths are enabled\n",
              path);
    else if (error == error_path_not_found)
        trace(u"%ls: a folder of it is missing, or, where long paths are not enabled, Windows refused it for being "
              u"longer than 259 characters\n",
              path);
}

const char16_t* read_env_var(const char16_t* name) {
    uint32_t r = platform::get_environment_variable(name, env_buffer, env_buffer_size);
    if (r < env_buffer_size) return r == 0 ? nullptr : env_buffer;
    // r is the size the value needs, terminator included. One spare unit beyond it covers
    // a value that grows by one between the two calls.
    auto* copy = static_cast<char16_t*>(platform::allocate((size_t(r) + 1) * sizeof(char16_t)));
    if (copy == nullptr) fail(exit_out_of_memory, u"Could not allocate environment buffer");
    platform::get_environment_variable(name, copy, r);
    return copy;
}

void system_error_text(uint32_t code, char16_t* buffer) {
    constexpr uint32_t from_system_ignore_inserts = 0x1200;
    constexpr uint32_t neutral_default_language = 0x400;
    if (platform::format_message(from_system_ignore_inserts, code, neutral_default_language, buffer,
                                 1024) == 0)
        text::format(buffer, 1024, u"error 0x%X\n", code);
}

int32_t query_text_value(platform::Handle key, const char16_t* name, uint32_t* type, text::Growable& value,
                         uint32_t* bytes) {
    constexpr int32_t error_more_data = 234, error_filename_exced_range = 206;
    constexpr uint32_t longest = 32767;
    text::reserve(value, text::short_path_limit);
    int32_t status = error_more_data;
    uint32_t size = 0;
    // Asked again while the value grows between two calls, a few times at most.
    for (int attempt = 0; attempt < 4 && status == error_more_data; ++attempt) {
        size = static_cast<uint32_t>((value.capacity - 1) * sizeof(char16_t));  // a unit spare for a terminator
        status = platform::reg_query_value_ex(key, name, type, value.data, &size);
        if (status == error_more_data) {
            if (size / sizeof(char16_t) > longest + 1) {
                status = error_filename_exced_range;
                break;
            }
            text::reserve(value, size / sizeof(char16_t) + 1);
        }
    }
    if (status != 0) {
        text::truncate(value, 0);
        return status;
    }
    value.data[size / sizeof(char16_t)] = 0;
    text::settle(value);
    *bytes = size;
    return 0;
}
