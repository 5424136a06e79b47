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

// The length of `path` without the dots and blanks that end it, which Windows drops from
// a name ("tool.bat." is tool.bat).
size_t length_without_ending_dots(const char16_t* path) {
    size_t n = text::length(path);
    while (n > 0 && (path[n - 1] == u'.' || path[n - 1] == u' ')) --n;
    return n;
}

// Whether `path` names a batch file, which Windows runs through the command interpreter:
// its extension read as Windows reads it, without the dots and blanks that end it.
bool is_batch_file(const char16_t* path) {
    size_t n = length_without_ending_dots(path);
    return n >= 4 && (text::compare_folded_n(path + n - 4, u".bat", 4) == 0 ||
                      text::compare_folded_n(path + n - 4, u".cmd", 4) == 0);
}

// Whether the command interpreter would read `c` as more than a character of a path.
bool special_to_cmd(char16_t c) { return c != 0 && text::find(u"&|<>^(),;= \t", c) != nullptr; }

// A batch file's command line is read a second time, by the command interpreter, which
// splits it at & | < > ^ ( ) , ; = blanks and tabs outside double quotes, and looks for a
// first word without a folder in the current folder first. So the program's full path
// (`program`, its ending dots and blanks dropped by the caller) stands first, in double
// quotes whatever it holds, and the script's path (the front of
// `rest`, the tail of `line`) is quoted where it holds any of those; the text between
// them, the shebang's arguments, and the user's arguments stay as written. A path that
// holds "%", which the interpreter expands even inside quotes, cannot be written so that
// it names the same file: the run ends as a start that failed.
char16_t* batch_command_line(const char16_t* line, size_t used, const char16_t* program, const char16_t* rest) {
    size_t rest_start = text::length(line) - text::length(rest);
    text::Growable batch;
    text::format(batch, u"\"%ls\"", program);
    if (used < rest_start) {
        text::append_n(batch, line + used, rest_start - used);
        size_t word = 0;
        if (rest[0] != u'"')
            while (rest[word] != 0 && rest[word] != u' ') ++word;
        bool quote = false;
        for (size_t i = 0; i < word; ++i) quote = quote || special_to_cmd(rest[i]);
        if (quote) {
            text::append(batch, u"\"");
            text::append_n(batch, rest, word);
            text::append(batch, u"\"");
            rest += word;
        }
        text::append(batch, rest);
    } else if (used < text::length(line)) {
        text::append(batch, line + used);
    }
    if (text::find(program, u'%') != nullptr) {
        trace(u"run_child: %ls is a batch file whose path holds '%%', which the command interpreter expands: not "
              u"started\n",
              program);
        fail(exit_child_process, u"Unable to create process using '%ls'", batch.data);
    }
    trace(u"run_child: %ls is a batch file: its path written whole, in quotes, for the command interpreter\n", program);
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
    if (is_batch_file(program)) {
        // The file the name without its ending dots and blanks names, as Windows reads it
        // (but for the \\?\ form, which it takes as it stands): CreateProcessW is given
        // that name, which it knows for a batch file.
        size_t n = length_without_ending_dots(program);
        if (n != text::length(program) && text::compare_n(program, u"\\\\?\\", 4) != 0) {
            text::Growable stripped;
            text::assign_n(stripped, program, n);
            program = stripped.data;
        }
        line = batch_command_line(line, used, program, rest);
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
    if (platform::resume_thread(child.thread) != platform::resume_failed) return;
    trace(u"run_child: ResumeThread failed: error %d\n", static_cast<int32_t>(platform::get_last_error()));
    platform::terminate_process(child.process, exit_child_process);
    fail(exit_child_process, u"Unable to create process using '%ls'", command_line);
}

}  // namespace

[[noreturn]] void run_child(char16_t* command_line, const char16_t* program) {
    trace(u"run_child: about to run '%ls'\n", command_line);
    running_child.store(nullptr);
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
    platform::ProcessInformation child = start_in_job(program, command_line, creation_flags, &startup, job, &outside);
    // The handler knows the child from its creation: an event that comes before the resume
    // waits for it as for a running one, while this thread resumes it.
    running_child.store(child.process);
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
