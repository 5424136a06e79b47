// The windowless launcher, zklaunchw.exe: a Windows-subsystem program that never shows a
// console window, for scripts that open windows of their own or run unattended (Task
// Scheduler, shortcuts, a double-click). Portable code only.
#include "launcher/variant.h"

#include "base/diagnostics.h"
#include "base/text.h"

namespace variant {

const char16_t* const executable_kind = u"Windows";

namespace {

bool has_standard_error() {
    platform::Handle error = platform::get_std_handle(platform::std_error_handle);
    return error != nullptr && error != platform::invalid_handle_value;
}

// Whether a window on this process's window station can be seen, and so closed, by
// anybody. A service, or a task run while nobody is logged on, has an invisible station:
// a message box there would wait for ever for a click that cannot come. A failed query
// counts as invisible, for the same reason.
bool station_is_visible() {
    constexpr uint32_t wsf_visible = 1;
    uint32_t flags = 0;
    return platform::get_window_station_flags(&flags) && (flags & wsf_visible) != 0;
}

}  // namespace

// Redirected standard error (a log file, a pipe, a scheduler's redirection) takes the
// message as the console launcher writes it. Without one, a box captioned with the
// launcher's own file name (tool.exe) shows the message, the line feed left out.
void report_fatal(char16_t* message, size_t length) {
    if (has_standard_error()) {
        write_whole(platform::Stream::error, message, length);
        return;
    }
    if (!station_is_visible()) return;
    if (length > 0 && message[length - 1] == u'\n') message[length - 1] = 0;
    text::Growable path;
    read_own_path(path);
    const char16_t* backslash = text::find_last(text::c_str(path), u'\\');
    constexpr uint32_t mb_ok_iconerror = 0x10;  // MB_OK | MB_ICONERROR
    platform::message_box(message, backslash != nullptr ? backslash + 1 : text::c_str(path), mb_ok_iconerror);
}

// A Windows-subsystem process has no console, so no console control event can reach it;
// the child's console (hidden, see prepare_child_start) has no keyboard either.
bool shield_from_console_events(platform::ConsoleCtrlHandler) { return true; }

// Started from Explorer, a shortcut or a task without redirection, the launcher has no
// standard handles. The child gets the NUL device instead: reading it ends at once and
// writing it succeeds. Left null, a console child would use the hidden console it gets,
// from which a read waits for ever.
bool stand_in_for_absent_stream(platform::Handle* slot) {
    constexpr uint32_t generic_read_write = 0xC0000000, share_read_write = 3, open_existing = 3;
    platform::Handle nul =
        platform::create_file(u"NUL", generic_read_write, share_read_write, true, open_existing, 0);
    if (nul == platform::invalid_handle_value) {
        trace(u"CreateFile(NUL) returned %d\n", static_cast<int32_t>(platform::get_last_error()));
        return false;
    }
    trace(u"no standard handle: the child gets NUL\n");
    *slot = nul;
    return true;
}

// CREATE_NO_WINDOW: a console child, and the console programs it starts, run without a
// window; a Windows-subsystem child is unaffected. (DETACHED_PROCESS would leave the
// child without a console, and each console program it starts would open a window.) The
// launcher's own show-window setting (a shortcut's "Run: Minimized") passes on, so that
// the script's first window opens as asked.
uint32_t prepare_child_start(platform::StartupInfo* startup) {
    constexpr uint32_t create_no_window = 0x08000000;
    // user32, which the grant below needs, is loaded now rather than while the child
    // waits suspended.
    if (!platform::prepare_foreground_grant())
        trace(u"run_child: AllowSetForegroundWindow cannot be had: error %d\n",
              static_cast<int32_t>(platform::get_last_error()));
    platform::StartupInfo own{};
    own.cb = sizeof own;
    platform::get_startup_info(&own);
    if (own.flags & platform::startf_useshowwindow) {
        startup->flags |= platform::startf_useshowwindow;
        startup->show_window = own.show_window;
    }
    return create_no_window;
}

namespace {
bool grant_refused = false;
}  // namespace

// The launcher, started by the user, may bring a window to the front; the script's first
// window is the one that should, so the right passes to the child before it runs. Windows
// may refuse it for a process that has made no call to the window manager yet, as a
// suspended child has not (Wine always grants it, so this is not shown here): then it is
// asked again once the child runs.
void child_created(const platform::ProcessInformation& child) {
    grant_refused = !platform::allow_set_foreground_window(child.process_id);
    if (grant_refused)
        trace(u"run_child: AllowSetForegroundWindow refused for the suspended child (error %d): asked again once it "
              u"runs\n",
              static_cast<int32_t>(platform::get_last_error()));
}

void child_resumed(const platform::ProcessInformation& child) {
    if (!grant_refused) return;
    if (platform::allow_set_foreground_window(child.process_id))
        trace(u"run_child: AllowSetForegroundWindow granted once the child runs\n");
    else
        trace(u"run_child: AllowSetForegroundWindow refused again (error %d)\n",
              static_cast<int32_t>(platform::get_last_error()));
}

}  // namespace variant
