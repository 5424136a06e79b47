// The main flow: configuration files, own version, user arguments, the wrapped script,
// script inspection, then the fallback roads. Portable code only.
#include "launcher/launcher.h"

#include "child/child.h"
#include "discovery/selection.h"
#include "launcher/diagnostics.h"
#include "launcher/local_appdata.h"
#include "launcher/platform.h"
#include "launcher/text.h"
#include "launcher/variant.h"
#include "script/commands.h"
#include "script/header.h"

char16_t local_ini_path[max_path];
char16_t global_ini_path[max_path];
char16_t wrapped_script_path[max_path];
char16_t venv_executable_path[max_path];
uint32_t launcher_version[2];
const char16_t* user_arguments = u"";
char16_t* new_command_line;

namespace {

// Makes `path`, a folder on entry, name the zk.ini in it, and keeps it only when that file
// exists (a directory passes too); traces either way. A path cut short could name another
// file: when "\zk.ini" does not fit, there is no such file.
void use_ini_in_folder(char16_t* path, const char16_t* found_trace) {
    if (!text::append(path, max_path, u"\\zk.ini") ||
        platform::get_file_attributes(path) == platform::invalid_file_attributes) {
        trace(u"File '%ls' non-existent\n", path);
        path[0] = 0;
    } else {
        trace(found_trace, path);
    }
}

void locate_local_ini() {
    int32_t result = locate_local_appdata(local_ini_path);
    if (result != 0) {
        trace(u"SHGetFolderPath failed: %X\n", static_cast<uint32_t>(result));
        local_ini_path[0] = 0;
        return;
    }
    use_ini_in_folder(local_ini_path, u"Using local configuration file '%ls'\n");
}

void read_launcher_version(const char16_t* path) {
    uint32_t size = platform::get_file_version_info_size(path);
    if (size == 0) {
        char16_t message[1024];
        system_error_text(platform::get_last_error(), message);
        trace(u"GetFileVersionInfoSize failed: %ls\n", message);
        return;
    }
    void* block = platform::allocate(size);
    if (block == nullptr) return;
    if (!platform::get_file_version_info(path, size, block))
        trace(u"GetFileVersionInfo failed: %X\n", platform::get_last_error());
    else if (!platform::ver_query_file_version(block, &launcher_version[0], &launcher_version[1]))
        trace(u"VerQueryValue failed: %X\n", platform::get_last_error());
    platform::release(block);
}

// The global file's buffer holds the launcher's own path on entry.
void locate_global_ini() {
    char16_t* backslash = text::find_last(global_ini_path, u'\\');
    if (backslash == nullptr) {
        trace(u"GetModuleFileNameW returned value has no backslash: %ls\n", global_ini_path);
        global_ini_path[0] = 0;
        return;
    }
    backslash[0] = 0;
    use_ini_in_folder(global_ini_path, u"Using global configuration file '%ls'\n");
}

// Everything after the launcher's own name, as typed: the name ends at the closing quote
// when it starts with one, else at the first blank (a tab does not end it).
const char16_t* find_user_arguments(const char16_t* command_line) {
    const char16_t* end = command_line[0] == u'"' ? text::find(command_line + 1, u'"')
                                                  : text::find(command_line, u' ');
    if (end == nullptr) return u"";
    ++end;
    while (text::is_space(*end)) ++end;
    return end;
}

// `own_path` is the launcher's full path; `own_path_cut` tells that it came back cut.
void derive_wrapped_script_path(const char16_t* own_path, bool own_path_cut) {
    text::copy(wrapped_script_path, max_path, own_path);
    // A cut path of 260 characters or more would name some other script.
    if (own_path_cut) fail(exit_missing_script, u"Wrapper name '%ls' is not valid.", wrapped_script_path);
    char16_t* dot = text::find_last(wrapped_script_path, u'.');
    if (dot == nullptr) {
        trace(u"GetModuleFileNameW returned value has no extension: %ls\n", wrapped_script_path);
        fail(exit_missing_script, u"Wrapper name '%ls' is not valid.", wrapped_script_path);
    }
    dot[0] = 0;
    // "-script.zk" cut short would name some other file: such a script is not present.
    if (!text::append(wrapped_script_path, max_path, u"-script.zk") ||
        platform::get_file_attributes(wrapped_script_path) == platform::invalid_file_attributes) {
        trace(u"File '%ls' non-existent\n", wrapped_script_path);
        fail(exit_missing_script, u"Script file '%ls' is not present.", wrapped_script_path);
    }
    trace(u"Using wrapped script file '%ls'\n", wrapped_script_path);
}

void build_new_command_line() {
    size_t path_length = text::length(wrapped_script_path);
    size_t arguments_length = text::length(user_arguments);
    bool quote = text::find(wrapped_script_path, u' ') != nullptr;
    size_t size = path_length + arguments_length + (quote ? 4 : 2);
    new_command_line = static_cast<char16_t*>(platform::allocate(size * sizeof(char16_t)));
    if (new_command_line == nullptr) fail(exit_out_of_memory, u"Could not allocate new command line");
    text::format(new_command_line, size, quote ? u"\"%ls\" %ls" : u"%ls %ls", wrapped_script_path,
                 user_arguments);
    trace(u"Running wrapped script with command line '%ls'\n", new_command_line);
}

// The interpreter of the active virtual environment, ready for the front of the child's
// command line, or null.
const char16_t* virtual_env_interpreter() {
    const char16_t* venv = read_env_var(u"VIRTUAL_ENV");
    if (venv == nullptr || venv[0] == 0) return nullptr;
    trace(u"Checking for Zelkor executable in virtual env '%ls'\n", venv);
    // A path cut at 259 characters could name another file: then the interpreter counts
    // as missing.
    bool fits = text::length(venv) + text::length(u"\\Scripts\\zelkor.exe") < max_path;
    text::format(venv_executable_path, max_path, u"%ls\\Scripts\\%ls", venv, u"zelkor.exe");
    if (fits && platform::get_file_attributes(venv_executable_path) != platform::invalid_file_attributes)
        return text::quoted_if_blank(venv_executable_path);
    trace(u"Zelkor executable %ls missing from virtual env\n", venv_executable_path);
    return nullptr;
}

void print_help(char16_t** argv) {
    char16_t version[max_path];
    if (launcher_version[0] == 0 && launcher_version[1] == 0)
        text::copy(version, max_path, u"0.1");
    else
        text::format(version, max_path, u"%d.%d.%d.%d", int32_t(launcher_version[0] >> 16),
                     int32_t(launcher_version[0] & 0xFFFF), int32_t(launcher_version[1] >> 16),
                     int32_t(launcher_version[1] & 0xFFFF));
    auto out = [](const char16_t* format, const char16_t* value) {
        const text::FormatArg args[] = {text::format_arg(value)};
        write_output(format, args, 1);
    };
    out(u"Zelkor Launcher for Windows (Tavrin/Plennet variant) Version %ls\n\n", version);
    out(u"usage: %ls [ launcher-arguments ] [ zelkor-arguments ] script [ script-arguments ]\n\n",
        argv[0]);
    out(u"%ls",
        u"Launcher arguments:\n\n-2     : Launch the latest Zelkor 2.x version\n-3     : Launch the "
        u"latest Zelkor 3.x version\n-X.Y   : Launch the specified Zelkor version\n");
    bool wow64 = false;
    platform::is_wow64_process(&wow64);
    if (wow64) out(u"%ls", u"-X.Y-32: Launch the specified 32bit Zelkor version");
    out(u"%ls", u"\n\nThe following help text is from Zelkor:\n\n");
}

// The single argument "-h" or "--help", in any case.
bool help_asked(int argc, char16_t** argv) {
    return argc == 2 && (text::compare_folded(argv[1], u"-h") == 0 || text::compare_folded(argv[1], u"--help") == 0);
}

}  // namespace

[[noreturn]] void launcher_main(int argc, char16_t** argv) {
    // First of all, before any DLL is loaded by name: none may come from the launcher's
    // folder, the current folder or PATH.
    platform::restrict_dll_search();
    // Standard error needs no unbuffering: every write goes to the handle at once.
    const char16_t* debug = read_env_var(u"ZKLAUNCH_DEBUG");
    if (debug != nullptr && debug[0] != 0) log_stream = LogStream::standard_error;
    trace(sizeof(void*) == 4 ? u"launcher build: 32bit\n" : u"launcher build: 64bit\n");
    trace(u"launcher executable: %ls\n", variant::executable_kind);

    locate_local_ini();
    // The launcher's own path, read once for the version, the zk.ini beside it and the
    // script's name. A path of 260 characters or more comes back cut, and nothing derived
    // from it can be trusted.
    char16_t own_path[max_path] = {};  // stays empty should the call fail
    bool own_path_cut = platform::get_module_file_name(own_path, max_path) >= max_path;
    text::copy(global_ini_path, max_path, own_path);
    if (own_path_cut) {
        global_ini_path[0] = 0;
    } else {
        // The version is shown only by the help text and the trace; reading it loads
        // version.dll and maps the launcher's resources, so no other run pays for it.
        if (help_asked(argc, argv) || log_stream != LogStream::none) read_launcher_version(global_ini_path);
        locate_global_ini();
    }

    user_arguments = find_user_arguments(platform::get_command_line());
    trace(u"Called with command line: %ls\n", user_arguments);
    derive_wrapped_script_path(own_path, own_path_cut);
    build_new_command_line();

    if (global_ini_path[0] != 0) read_commands(global_ini_path);
    if (local_ini_path[0] != 0) read_commands(local_ini_path);

    platform::Handle script = nullptr;
    if (platform::open_file_for_reading(wrapped_script_path, &script) == 0)
        maybe_handle_shebang(script, new_command_line);

    const char16_t* interpreter = virtual_env_interpreter();
    if (interpreter == nullptr) {
        const InstalledInterpreter* installed = select_interpreter(u"", false);
        if (installed == nullptr) fail(exit_no_interpreter, u"Can't find a default Zelkor.");
        interpreter = installed->executable;
    }
    if (help_asked(argc, argv)) print_help(argv);
    launch_with_args(interpreter, nullptr, new_command_line);
}
