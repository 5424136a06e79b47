// The child's command line and its execution. Portable code only.
#include "child/child.h"

#include <atomic>

#include "base/diagnostics.h"
#include "base/text.h"
#include "child/handover.h"
#include "child/program.h"

// The records handed to the system must have its layout. The 32-bit product's sizes are
// fixed; other builds use their own, checked against the real types in platform_win32.cpp.
#if defined(_WIN32) && !defined(_WIN64)
static_assert(sizeof(platform::JobExtendedLimits) == 112);
static_assert(sizeof(platform::StartupInfo) == 68);
#endif

namespace {

// The length of the name Windows opens for `path`: without the dots and blanks that end
// it, which Windows drops ("tool.bat." is tool.bat), but for the \\?\ form, which it takes
// as it stands.
size_t length_as_opened(const char16_t* path) {
    size_t n = text::length(path);
    if (text::compare_n(path, u"\\\\?\\", 4) == 0) return n;
    while (n > 0 && (path[n - 1] == u'.' || path[n - 1] == u' ')) --n;
    return n;
}

// Whether `path` names a batch file, which Windows runs through the command interpreter:
// its extension read as Windows reads it.
bool is_batch_file(const char16_t* path) {
    size_t n = length_as_opened(path);
    return n >= 4 && (text::compare_folded_n(path + n - 4, u".bat", 4) == 0 ||
                      text::compare_folded_n(path + n - 4, u".cmd", 4) == 0);
}

// Whether cmd reads `c`, in a batch file's argument, as something other than itself: its
// separators and operators (& | < > ( )), its escape (^), the quote, the delimiters
// between a batch file's arguments (blank, tab, "," ";" "="), "!" (delayed expansion,
// should it be on), every other control unit and, since what cmd takes for a blank
// beyond ASCII is nowhere written down, every unit beyond ASCII. Inside double quotes
// cmd reads each of these as itself.
bool quoted_for_cmd(char16_t c) {
    return c <= u' ' || c >= 0x7F || text::find(u"\"&|<>()^,;=!", c) != nullptr;
}

// Why cmd cannot be handed `c` at all, or null: it expands %NAME% on its command line even
// inside quotes, and documents no way to keep a "%" there (%% keeps one in a batch file
// only; the undocumented tricks some use are not honoured by every cmd, this Wine's among
// them); a carriage return or a line feed ends its line.
const char16_t* refused_by_cmd(char16_t c) {
    return c == u'%' ? u"'%', which the command interpreter expands even inside quotes"
           : c == u'\r' ? u"a carriage return, which ends the command interpreter's line"
           : c == u'\n' ? u"a line feed, which ends the command interpreter's line"
                        : nullptr;
}

// Appends `argument` (`n` units) to `inner` so that cmd hands the batch file that
// argument in %1..%N: as it is when cmd reads each unit as itself, else in double quotes
// with a quote it holds doubled (the batch file's %~1 keeps the doubled quote). Returns
// why cmd cannot be handed it, or null.
const char16_t* append_for_cmd(text::Growable& inner, const char16_t* argument, size_t n) {
    const char16_t* refusal = nullptr;
    bool quote = n == 0;
    for (size_t i = 0; i < n && refusal == nullptr; ++i) {
        refusal = refused_by_cmd(argument[i]);
        quote = quote || quoted_for_cmd(argument[i]);
    }
    text::append(inner, u" ");
    if (!quote) {
        text::append_n(inner, argument, n);
        return refusal;
    }
    text::append(inner, u"\"");
    for (size_t i = 0; i < n; ++i) {
        if (argument[i] == u'"') text::append(inner, u"\"");
        text::append_n(inner, argument + i, 1);
    }
    text::append(inner, u"\"");
    return refusal;
}

// Calls `take(argument, n)` with each argument of `tail` (the part of a command line after
// its program), read as CommandLineToArgvW reads it, the rules every caller writes a
// Windows command line for: blanks and tabs separate arguments outside double quotes; 2n
// backslashes and a quote are n backslashes and a quote that opens or closes; 2n+1
// backslashes and a quote are n backslashes and a literal quote; other backslashes are
// themselves; inside quotes two quotes in a row give a literal one and close the quotes.
// (The C runtime since Visual C++ 2008 leaves the quotes open there: a"b"" c d is its one
// argument ab" c d. Callers that escape a quote with a backslash, as Windows' own
// documentation writes them, are read alike by both.)
template <class Take>
void each_argument(const char16_t* tail, Take take) {
    text::Growable argument;
    for (const char16_t* p = tail;;) {
        while (text::is_blank(*p)) ++p;
        if (*p == 0) break;
        text::assign(argument, u"");
        int quotes = 0;  // 1 inside quotes
        size_t backslashes = 0;
        for (; *p != 0 && (quotes != 0 || !text::is_blank(*p)); ++p) {
            if (*p == u'\\') {
                ++backslashes;
                text::append(argument, u"\\");
                continue;
            }
            if (*p != u'"') {
                backslashes = 0;
                text::append_n(argument, p, 1);
                continue;
            }
            text::truncate(argument, argument.length - backslashes / 2 - backslashes % 2);
            if (backslashes % 2 != 0)
                text::append(argument, u"\"");
            else
                ++quotes;
            backslashes = 0;
            while (p[1] == u'"') {
                ++p;
                if (++quotes == 3) {
                    text::append(argument, u"\"");
                    quotes = 0;
                }
            }
            if (quotes == 2) quotes = 0;
        }
        take(argument.data, argument.length);
    }
    text::release(argument);
}

// A batch file runs under the command interpreter, which reads its line a second time:
// splits it at & | < > ( ), takes ^ as an escape, expands %NAME% and, started by
// CreateProcessW on the batch file, strips the line's first and last quote where it holds
// more than two (cmd /?). So the launcher starts cmd.exe from the system folder itself,
// with its line "<system folder>\cmd.exe" /d /e:on /v:off /s /c "<inner>": no AutoRun
// commands, command extensions on and delayed expansion off whatever the registry says,
// and /s, by which cmd removes the outer quotes alone. <inner> is the batch file's full
// path (`program`) in quotes, then each argument of the line after its first `used`
// units (the first line's arguments, env's words, the script's path and the user's
// arguments), read as CreateProcessW's callers write them and written for cmd. What cmd
// cannot be handed safely ("%", a carriage return, a line feed, in the path or any
// argument; a line longer than cmd reads) ends the run as a start that failed, before
// anything is created. `cmd` is set to cmd.exe's full path.
char16_t* batch_command_line(const char16_t* line, size_t used, const char16_t* program, text::Growable& cmd) {
    text::Growable inner;
    text::format(inner, u"\"%ls\"", program);
    const char16_t* refusal = nullptr;
    for (const char16_t* c = program; *c != 0 && refusal == nullptr; ++c) refusal = refused_by_cmd(*c);
    if (refusal != nullptr)
        trace(u"run_child: %ls is a batch file whose path holds %ls: not started\n", program, refusal);
    const char16_t* tail = used < text::length(line) ? line + used : u"";
    each_argument(tail, [&](const char16_t* argument, size_t n) {
        const char16_t* why = append_for_cmd(inner, argument, n);
        if (why != nullptr && refusal == nullptr) {
            refusal = why;
            trace(u"run_child: the argument '%ls' of batch file %ls holds %ls: not started\n", argument, program, why);
        }
    });
    // cmd reads at most 8191 characters after /c; beyond, it says its line is too long and
    // runs nothing, an exit code the launcher would pass on as the batch file's own.
    constexpr size_t cmd_line_limit = 8191;
    if (refusal == nullptr && inner.length + 2 > cmd_line_limit) {
        refusal = u"";
        trace(u"run_child: the command interpreter's line for batch file %ls would be %d characters, more than the "
              u"%d it reads: not started\n",
              program, static_cast<int32_t>(inner.length + 2), static_cast<int32_t>(cmd_line_limit));
    }
    if (refusal != nullptr) fail(exit_child_process, u"Unable to create process using '%ls'", inner.data);
    if (!text::fill(cmd, platform::get_system_directory)) {
        trace(u"run_child: GetSystemDirectoryW failed (error %d): no command interpreter for batch file %ls\n",
              static_cast<int32_t>(platform::get_last_error()), program);
        fail(exit_child_process, u"Unable to create process using '%ls'", inner.data);
    }
    text::append(cmd, u"\\cmd.exe");
    text::Growable batch;
    text::format(batch, u"\"%ls\" /d /e:on /v:off /s /c \"%ls\"", cmd.data, inner.data);
    trace(u"run_child: %ls is a batch file: run by %ls, each argument written for it\n", program, cmd.data);
    text::release(inner);
    return batch.data;
}

}  // namespace

[[noreturn]] void launch_with_args(const char16_t* executable, const char16_t* arguments,
                                   const char16_t* rest, const char16_t* program) {
    bool has_arguments = arguments != nullptr && arguments[0] != 0;
    auto* line = const_cast<char16_t*>(executable);
    if (has_arguments || rest[0] != 0) {
        size_t size = text::length(executable) + text::length(rest) + 2;
        if (has_arguments) size += text::length(arguments) + 1;
        line = static_cast<char16_t*>(platform::allocate(size * sizeof(char16_t)));
        if (line == nullptr)
            fail(exit_child_process, u"unable to allocate %d bytes for child command.",
                 static_cast<int32_t>(size * sizeof(char16_t)));
        if (has_arguments)
            text::format(line, size, u"%ls %ls %ls", executable, arguments, rest);
        else
            text::format(line, size, u"%ls %ls", executable, rest);
    }
    // The program, decided before anything is created: one found nowhere ends the run as
    // a start that failed.
    size_t used = text::length(executable);
    text::Growable decided;
    if (program == nullptr) {
        if (!decide_program(line, decided, &used)) fail(exit_child_process, u"Unable to create process using '%ls'", line);
        program = decided.data;
    }
    text::Growable cmd;
    if (is_batch_file(program)) {
        // The file the name names as Windows reads it: cmd is given that name, which it
        // knows for a batch file.
        size_t n = length_as_opened(program);
        if (n != text::length(program)) {
            text::Growable stripped;
            text::assign_n(stripped, program, n);
            program = stripped.data;
        }
        line = batch_command_line(line, used, program, cmd);
        program = cmd.data;
    }
    run_child(line, program);
}

bool duplicate_inheritable(platform::Handle handle, platform::Handle* slot) {
    *slot = nullptr;
    platform::Handle self = platform::get_current_process();
    // INVALID_HANDLE_VALUE is also the pseudo-handle of the current process: duplicated,
    // it would give the child a full-access handle to the launcher. It is no handle.
    if (handle == platform::invalid_handle_value) {
        trace(u"DuplicateHandle returned ERROR_INVALID_HANDLE\n");
        return true;
    }
    if (platform::duplicate_handle(self, handle, self, slot, 0, true,
                                   platform::duplicate_same_access))
        return true;
    uint32_t error = platform::get_last_error();
    if (error == platform::error_invalid_handle) {
        trace(u"DuplicateHandle returned ERROR_INVALID_HANDLE\n");
        return true;
    }
    trace(u"DuplicateHandle returned %d\n", static_cast<int32_t>(error));
    return false;
}

namespace {

// The child's process handle, for the control handler's thread: set once the child
// exists, and kept until the launcher ends.
std::atomic<platform::Handle> running_child{nullptr};

// Whether the child has been let run, for the handler's thread and the main thread, which
// each claim the suspended child once: the main thread to resume it, the handler to end it.
enum ChildState : int { child_suspended, child_resumed, child_ended_unrun };
std::atomic<int> child_state{child_suspended};

// The code Windows gives a console process that a close, logoff or shutdown ended.
constexpr uint32_t status_control_c_exit = 0xC000013A;

}  // namespace

// Ctrl+C and Ctrl+Break reach the child, which shares the console and decides for itself;
// the launcher stays to report its exit code. Closing the console window, logging off and
// shutting down give every process of the console its own time to end, and a handler
// that returns lets Windows end the launcher at once, and its job the child with it, in
// the middle of the child's own clean-up. So once the child exists the handler waits for
// it (Windows' deadline still ends both; the launcher adds no time of its own), and then
// for the main thread, whose wait has ended too, to end the run with the child's exit
// code: it does not return, which would leave the code to Windows. A service that
// receives the logoff of another user's session runs on as long as its child does.
int PLATFORM_CALLBACK ignore_console_ctrl(uint32_t event) {
    constexpr uint32_t ctrl_close_event = 2, ctrl_logoff_event = 5, ctrl_shutdown_event = 6;
    if (event != ctrl_close_event && event != ctrl_logoff_event && event != ctrl_shutdown_event) return 1;
    platform::Handle child = running_child.load();
    if (child == nullptr) return 1;  // nothing exists that could lose its work
    // Suspended still, the child has not yet joined the console (a process attaches as it
    // starts), so a close or a shutdown never reaches it: let run, it would start into a
    // closing console with no warning and Windows' deadline ending it. It has run nothing:
    // ended here, and the main thread reports its code. A logoff names no user and may be
    // another session's (a service's launcher receives them all): the child runs on.
    // (Just after the resume, before the child has attached, an event still misses it; the
    // handler then waits for it as for any running child.)
    int suspended = child_suspended;
    if (event != ctrl_logoff_event && child_state.compare_exchange_strong(suspended, child_ended_unrun))
        platform::terminate_process(child, status_control_c_exit);
    platform::wait_for_single_object_ex(child, platform::infinite, false);
    // The launcher's own process ends only with the run.
    platform::wait_for_single_object_ex(platform::get_current_process(), platform::infinite, false);
    return 1;
}

namespace {

// A fresh anonymous job whose last handle, closed by the system when the launcher ends
// however it ends, kills the child; the child's own children break away and are spared.
platform::Handle create_kill_on_close_job() {
    platform::Handle job = platform::create_job_object();
    platform::JobExtendedLimits limits{};
    uint32_t returned = 0;
    if (job == nullptr ||
        !platform::query_information_job_object(job, platform::job_object_extended_limit_information,
                                                &limits, sizeof limits, &returned) ||
        returned != sizeof limits)
        fail(exit_child_process, u"Job information querying failed");
    limits.basic.limit_flags |= platform::job_object_limit_kill_on_job_close |
                                platform::job_object_limit_silent_breakaway_ok;
    if (!platform::set_information_job_object(job, platform::job_object_extended_limit_information,
                                              &limits, sizeof limits))
        fail(exit_child_process, u"Job information setting failed");
    return job;
}

// The child's handle for one standard stream: a copy of the launcher's, or for a stream
// the launcher lacks what the variant gives in its place.
bool pass_standard_handle(uint32_t which, platform::Handle* slot) {
    if (!duplicate_inheritable(platform::get_std_handle(which), slot)) return false;
    return *slot != nullptr || variant::stand_in_for_absent_stream(slot);
}

// CreateProcessW with the older Windows' DLL search restriction lifted for the call alone
// (it is the launcher's own, not the child's): put back before anything else can happen,
// a fatal message's box among them. False with `*error` the creation's last error.
bool create_child(bool in_job, const char16_t* program, char16_t* command_line, uint32_t creation_flags,
                  platform::StartupInfo* startup, platform::ProcessInformation* child, platform::Handle job,
                  int32_t* error) {
    platform::lift_dll_directory_for_child(true);
    bool created = in_job ? platform::create_process_in_job(program, command_line, true, creation_flags, startup,
                                                            child, job)
                          : platform::create_process(program, command_line, true, creation_flags, startup, child);
    *error = static_cast<int32_t>(platform::get_last_error());
    // The handler knows the child from CreateProcessW's return, on every road: a console
    // close that came before it is joined (the fallback road) or resumed would otherwise
    // end the launcher and leave the child suspended, outside any job.
    if (created) running_child.store(child->process);
    platform::lift_dll_directory_for_child(false);
    return created;
}

// Creates the child suspended and, where Windows allows, already in `job`, so that there
// is no moment in which the launcher's end would leave it running. Where the job cannot
// be named at creation (Windows before 10 1607 refuses the attribute; a job that cannot
// be joined makes the creation fail), the child is created the plain way and joined
// before it runs. A failed join leaves it outside the job, where nothing would end it
// should the launcher be ended while it is suspended: `*outside` is set, and it is to be
// resumed at once.
platform::ProcessInformation start_in_job(const char16_t* program, char16_t* command_line, uint32_t creation_flags,
                                          platform::StartupInfo* startup, platform::Handle job, bool* outside) {
    platform::ProcessInformation child{};
    int32_t refused = 0, error = 0;
    if (create_child(true, program, command_line, creation_flags, startup, &child, job, &refused)) {
        trace(u"run_child: started inside the job\n");
        return child;
    }
    if (!create_child(false, program, command_line, creation_flags, startup, &child, job, &error)) {
        trace(u"run_child: CreateProcessW failed: error %d\n", error);
        fail(exit_child_process, u"Unable to create process using '%ls'", command_line);
    }
    *outside = !platform::assign_process_to_job_object(job, child.process);
    if (!*outside)
        trace(u"run_child: not started inside the job (error %d): started suspended, then joined to it\n", refused);
    else
        trace(u"run_child: not started inside the job (error %d) and not joined to it (error %d): runs outside it\n",
              refused, static_cast<int32_t>(platform::get_last_error()));
    return child;
}

// Lets the suspended child run; one that cannot is ended, so that nothing runs that the
// launcher does not wait for.
void resume(const platform::ProcessInformation& child, const char16_t* command_line) {
    int suspended = child_suspended;
    if (!child_state.compare_exchange_strong(suspended, child_resumed)) return;  // ended by the handler
    if (platform::resume_thread(child.thread) != platform::resume_failed) return;
    trace(u"run_child: ResumeThread failed: error %d\n", static_cast<int32_t>(platform::get_last_error()));
    platform::terminate_process(child.process, exit_child_process);
    fail(exit_child_process, u"Unable to create process using '%ls'", command_line);
}

}  // namespace

[[noreturn]] void run_child(char16_t* command_line, const char16_t* program) {
    trace(u"run_child: about to run '%ls'\n", command_line);
    running_child.store(nullptr);
    child_state.store(child_suspended);
    platform::Handle job = create_kill_on_close_job();

    platform::StartupInfo startup{};
    startup.cb = sizeof startup;
    if (!pass_standard_handle(platform::std_input_handle, &startup.std_input))
        fail(exit_standard_handles, u"stdin duplication failed");
    if (!pass_standard_handle(platform::std_output_handle, &startup.std_output))
        fail(exit_standard_handles, u"stdout duplication failed");
    if (!pass_standard_handle(platform::std_error_handle, &startup.std_error))
        fail(exit_standard_handles, u"stderr duplication failed");
    // Installed before the child exists, so that no Ctrl+C can end the launcher while the
    // child runs; it stays until the launcher ends.
    if (!variant::shield_from_console_events(ignore_console_ctrl))
        fail(exit_child_process, u"control handler setting failed");
    startup.flags = platform::startf_usestdhandles;
    uint32_t creation_flags = variant::prepare_child_start(&startup) | platform::create_suspended;
    // At logoff and shutdown Windows asks the processes of higher levels first: the
    // launcher, whose job would end the child, asks to be asked after it (one below the
    // level every process has by default).
    constexpr uint32_t default_shutdown_level = 0x280;
    if (!platform::set_process_shutdown_parameters(default_shutdown_level - 1, 0))
        trace(u"run_child: SetProcessShutdownParameters failed: error %d\n",
              static_cast<int32_t>(platform::get_last_error()));

    bool outside = false;
    // The handler knows the child from its creation (create_child): a close or shutdown
    // that comes before the resume ends the suspended child; any later event, and a
    // logoff at any time, waits for the child.
    platform::ProcessInformation child = start_in_job(program, command_line, creation_flags, &startup, job, &outside);
    if (outside) resume(child, command_line);
    // Suspended still (but outside a job): whatever the variant grants the child (the
    // foreground) is in place before its first instruction.
    variant::child_created(child);
    if (!outside) resume(child, command_line);
    variant::child_resumed(child);
    platform::close_handle(child.thread);
    platform::wait_for_single_object_ex(child.process, platform::infinite, false);

    uint32_t exit_code = 0;
    if (!platform::get_exit_code_process(child.process, &exit_code))
        fail(exit_child_process, u"Failed to get exit code of process");
    trace(u"child process exit code: %d\n", static_cast<int32_t>(exit_code));
    platform::exit_process(exit_code);
}
