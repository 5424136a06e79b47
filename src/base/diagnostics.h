// Trace log, fatal errors, environment access and system error texts.
// Portable code only: everything reaches the system through platform.h.
#pragma once

#include <cstdint>

#include "base/text.h"
#include "platform/platform.h"

enum class LogStream { none, standard_error };

// Where `trace` writes: none when the process starts; the main flow sets it to standard
// error once when ZKLAUNCH_DEBUG is non-empty.
extern LogStream log_stream;

// The launcher's own exit codes.
enum ExitCode : uint32_t {
    exit_standard_handles = 100,
    exit_child_process = 101,
    exit_bad_shebang = 102,
    exit_no_interpreter = 103,
    exit_out_of_memory = 104,
    exit_missing_script = 105,
};

void trace_args(const char16_t* format, const text::FormatArg* args, size_t count);
[[noreturn]] void fail_args(uint32_t status, const char16_t* format, const text::FormatArg* args,
                            size_t count);

// Writes the formatted text to the trace log, unchanged, when the log is on. While it is
// off the arguments are not even formatted.
template <class... A>
inline void trace(const char16_t* format, const A&... a) {
    if (log_stream == LogStream::none) return;
    const text::FormatArg args[] = {text::format_arg(a)..., text::FormatArg{}};
    trace_args(format, args, sizeof...(A));
}

// Writes the whole message and a line feed to standard error (the windowless launcher
// without one: in a box), whether tracing is on or not, and exits with `status` (100 to
// 105). Never returns.
template <class... A>
[[noreturn]] inline void fail(uint32_t status, const char16_t* format, const A&... a) {
    const text::FormatArg args[] = {text::format_arg(a)..., text::FormatArg{}};
    fail_args(status, format, args, sizeof...(A));
}

// The value of an environment variable, or null when it is absent or empty. A value of
// up to 255 characters comes back in one static buffer that the next call overwrites;
// a longer one in a heap copy that is never released. No memory for the copy: exit 104.
const char16_t* read_env_var(const char16_t* name);

// The system's text for a Windows error code, line break included, into `buffer` of
// 1024 units. A code the system has no text for gives "error 0x%X\n", so that a trace
// line that quotes it still ends its line.
void system_error_text(uint32_t code, char16_t* buffer);

// Writes `length` units of text to a standard stream at once, in pieces that a console
// takes on every Windows (platform::write_text), none ending inside a surrogate pair.
void write_whole(platform::Stream stream, const char16_t* text, size_t length);

// Writes text to standard output at once (the help text).
void write_output(const char16_t* format, const text::FormatArg* args, size_t count);

// The launcher's own full path, whole at any length and in its long form where it was
// started by a short (8.3) name (traced), into `path`; false (path empty) when it cannot
// be had.
bool read_own_path(text::Growable& path);

// After a call on `path` failed with `error`: when Windows refused the path for its length
// (206, or 3 for a folder it cannot reach, and the path is 260 units or more), one trace
// line that says so.
void trace_long_path(const char16_t* path, uint32_t error);

// The value `name` of the open registry key `key` (the default one for null), whole, into
// `value`, terminated whether the stored data was or not; its type in `*type` and the
// data's size in `*bytes`. RegQueryValueExW's status; a value of more than 32,767 units,
// too long for any path, gives 206 (ERROR_FILENAME_EXCED_RANGE).
int32_t query_text_value(platform::Handle key, const char16_t* name, uint32_t* type, text::Growable& value,
                         uint32_t* bytes);
