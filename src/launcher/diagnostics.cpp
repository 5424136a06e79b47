// Trace log, fatal errors, environment access and system error texts.
#include "launcher/diagnostics.h"

#include "launcher/platform.h"
#include "launcher/variant.h"

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

void trace_args(const char16_t* format, const text::FormatArg* args, size_t count) {
    if (log_stream == LogStream::none) return;
    stream_out<platform::Stream::error>(format, args, count);
}

void write_output(const char16_t* format, const text::FormatArg* args, size_t count) {
    stream_out<platform::Stream::output>(format, args, count);
}

void fail_args(uint32_t status, const char16_t* format, const text::FormatArg* args, size_t count) {
    char16_t message[1024];
    size_t n = text::format_args(message, 1024, format, args, count);
    message[n] = u'\n';  // fits: the formatter leaves at least the terminator's unit free
    variant::report_fatal(message, n + 1);
    platform::exit_process(status);
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
