// The main flow: configuration files, own version, user arguments, the wrapped script,
// script inspection, then the fallback roads. Portable code only.
#include "launcher/launcher.h"

#include "base/diagnostics.h"
#include "base/text.h"
#include "child/child.h"
#include "child/program.h"
#include "discovery/selection.h"
#include "launcher/local_appdata.h"
#include "launcher/variant.h"
#include "platform/platform.h"
#include "script/commands.h"
#include "script/header.h"

text::Growable wrapped_script_path;
text::Growable venv_executable_path;
uint32_t launcher_version[2];
const char16_t* user_arguments = u"";
char16_t* new_command_line;

namespace {

// Makes `path`, a folder on entry, name the zk.ini in it, and keeps it only when that file
// exists (a directory passes too); traces either way.
void use_ini_in_folder(text::Growable& path, const char16_t* found_trace) {
    text::append(path, u"\\zk.ini");
    if (platform::get_file_attributes(path.data) == platform::invalid_file_attributes) {
        uint32_t error = platform::get_last_error();
        trace(u"File '%ls' non-existent\n", path.data);
        trace_long_path(path.data, error);
        text::truncate(path, 0);
    } else {
        trace(found_trace, path.data);
        // The ini reader opens the file itself, and it is not among the functions Windows
        // documents as taking long paths: at this length it may read nothing, long paths
        // enabled or not (Wine's reads nothing).
        if (path.length >= text::short_path_limit)
            trace(u"%ls: longer than 259 characters: GetPrivateProfileStringW is not documented to read such a path, "
                  u"even where long paths are enabled; the file may read as empty\n",
                  path.data);
    }
}

void locate_local_ini() {
    int32_t result = locate_local_appdata(local_ini_path);
    if (result != 0) {
        trace(u"SHGetFolderPath failed: %X\n", static_cast<uint32_t>(result));
        text::truncate(local_ini_path, 0);
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

// The global file's path holds the launcher's own path on entry.
void locate_global_ini() {
    const char16_t* backslash = text::find_last(text::c_str(global_ini_path), u'\\');
    if (backslash == nullptr) {
        trace(u"GetModuleFileNameW returned value has no backslash: %ls\n", text::c_str(global_ini_path));
        text::truncate(global_ini_path, 0);
        return;
    }
    text::truncate(global_ini_path, static_cast<size_t>(backslash - global_ini_path.data));
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

// The script of the launcher at `own_path` (everything from the last "." replaced by
// "-script.zk") into `script`; false when it has no "." (the launcher itself is then
// refused) or no such file exists (traced).
bool script_beside(const char16_t* own_path, text::Growable& script) {
    const char16_t* dot = text::find_last(own_path, u'.');
    if (dot == nullptr) return false;
    text::assign_n(script, own_path, static_cast<size_t>(dot - own_path));
    text::append(script, u"-script.zk");
    if (platform::get_file_attributes(script.data) != platform::invalid_file_attributes) return true;
    uint32_t error = platform::get_last_error();
    trace(u"File '%ls' non-existent\n", script.data);
    trace_long_path(script.data, error);
    return false;
}

// The path of the file the launcher's own path leads to, every link followed, in an
// ordinary form where it has one (\\?\C:\x as C:\x, \\?\UNC\server\share as
// \\server\share), else whole (\\?\Volume{...}\x, a volume without a drive letter, which
// without its prefix would name a path in the current folder); false when the file
// cannot be opened or its final path had.
bool read_final_path(const char16_t* own_path, text::Growable& final_path) {
    constexpr uint32_t share_all = 7, open_existing = 3;
    platform::Handle file = platform::create_file(own_path, 0, share_all, false, open_existing, 0);
    if (file == platform::invalid_handle_value) return false;
    bool ok = text::fill(final_path, [&](char16_t* buffer, uint32_t size) {
        return platform::get_final_path_name_by_handle(file, buffer, size);
    });
    platform::close_handle(file);
    if (!ok) return false;
    text::Growable ordinary;
    if (text::compare_n(final_path.data, u"\\\\?\\UNC\\", 8) == 0)
        text::format(ordinary, u"\\\\%ls", final_path.data + 8);
    else if (text::compare_n(final_path.data, u"\\\\?\\", 4) == 0 && text::is_absolute_folder(final_path.data + 4, 3))
        text::assign(ordinary, final_path.data + 4);
    else
        return true;
    text::release(final_path);
    final_path = ordinary;
    return true;
}

// The wrapped script: beside the launcher's path as it was started (a copy, a hard link,
// a linked folder); else, when that path is a link, beside its target, named after the
// target's file name, and the run then goes on as if the launcher had been started from
// the target (`own_path` becomes it, and the zk.ini beside it is the global one). In
// neither place: 105, naming the script beside the path as started.
void derive_wrapped_script_path(text::Growable& own_path) {
    const char16_t* path = text::c_str(own_path);
    if (text::find_last(path, u'.') == nullptr) {
        trace(u"GetModuleFileNameW returned value has no extension: %ls\n", path);
        fail(exit_missing_script, u"Wrapper name '%ls' is not valid.", path);
    }
    if (!script_beside(path, wrapped_script_path)) {
        text::Growable final_path, script;
        if (!read_final_path(path, final_path) || text::compare_folded(final_path.data, path) == 0 ||
            !script_beside(final_path.data, script))
            fail(exit_missing_script, u"Script file '%ls' is not present.", wrapped_script_path.data);
        trace(u"no script beside the link: using the link's target %ls\n", final_path.data);
        text::release(own_path);
        own_path = final_path;
        text::release(wrapped_script_path);
        wrapped_script_path = script;
        text::assign(global_ini_path, own_path.data);
        locate_global_ini();
    }
    trace(u"Using wrapped script file '%ls'\n", wrapped_script_path.data);
}

// The folder `path` names its file in (empty for a path without a backslash).
void assign_folder_of(text::Growable& folder, const text::Growable& path) {
    const char16_t* backslash = text::find_last(text::c_str(path), u'\\');
    text::assign_n(folder, text::c_str(path), backslash != nullptr ? size_t(backslash - path.data) : 0);
}

// Where the program search starts from: the launcher's own folder and the script's.
void set_search_folders(const text::Growable& own_path) {
    text::Growable own_folder, script_folder;
    assign_folder_of(own_folder, own_path);
    assign_folder_of(script_folder, wrapped_script_path);
    set_program_folders(own_folder.data, script_folder.data);
    text::release(own_folder);
    text::release(script_folder);
}

void build_new_command_line() {
    size_t path_length = wrapped_script_path.length;
    size_t arguments_length = text::length(user_arguments);
    bool quote = text::find(wrapped_script_path.data, u' ') != nullptr;
    size_t size = path_length + arguments_length + (quote ? 4 : 2);
    new_command_line = static_cast<char16_t*>(platform::allocate(size * sizeof(char16_t)));
    if (new_command_line == nullptr) fail(exit_out_of_memory, u"Could not allocate new command line");
    text::format(new_command_line, size, quote ? u"\"%ls\" %ls" : u"%ls %ls", wrapped_script_path.data,
                 user_arguments);
    trace(u"Running wrapped script with command line '%ls'\n", new_command_line);
}

// The interpreter of the active virtual environment, ready for the front of the child's
// command line, or null.
const char16_t* virtual_env_interpreter() {
    const char16_t* venv = read_env_var(u"VIRTUAL_ENV");
    if (venv == nullptr || venv[0] == 0) return nullptr;
    // A relative, rooted or drive-relative value names a folder through the current one:
    // an interpreter planted where the user stands would run.
    if (!text::is_absolute_folder(venv, text::length(venv))) {
        trace(u"VIRTUAL_ENV '%ls' is not an absolute folder: passed over\n", venv);
        return nullptr;
    }
    trace(u"Checking for Zelkor executable in virtual env '%ls'\n", venv);
    text::format(venv_executable_path, u"%ls\\Scripts\\%ls", venv, u"zelkor.exe");
    if (platform::get_file_attributes(venv_executable_path.data) != platform::invalid_file_attributes)
        return text::quoted_if_blank(venv_executable_path.data);
    uint32_t error = platform::get_last_error();
    trace(u"Zelkor executable %ls missing from virtual env\n", venv_executable_path.data);
    trace_long_path(venv_executable_path.data, error);
    return nullptr;
}

void print_help(char16_t** argv) {
    char16_t version[64];
    if (launcher_version[0] == 0 && launcher_version[1] == 0)
        text::copy(version, 64, u"0.1");
    else
        text::format(version, 64, u"%d.%d.%d.%d", int32_t(launcher_version[0] >> 16),
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
    // The launcher's own path, whole at any length, read once for the version, the zk.ini
    // beside it and the script's name; empty should the call fail.
    text::Growable own_path;
    read_own_path(own_path);
    text::assign(global_ini_path, text::c_str(own_path));
    // The version is shown only by the help text and the trace; reading it loads
    // version.dll and maps the launcher's resources, so no other run pays for it.
    if (help_asked(argc, argv) || log_stream != LogStream::none) read_launcher_version(text::c_str(own_path));
    locate_global_ini();

    user_arguments = find_user_arguments(platform::get_command_line());
    trace(u"Called with command line: %ls\n", user_arguments);
    derive_wrapped_script_path(own_path);
    set_search_folders(own_path);
    build_new_command_line();

    if (global_ini_path.length != 0) read_commands(global_ini_path.data);
    if (local_ini_path.length != 0) read_commands(local_ini_path.data);

    platform::Handle script = nullptr;
    if (platform::open_file_for_reading(wrapped_script_path.data, &script) == 0)
        maybe_handle_shebang(script, wrapped_script_path.data, new_command_line);

    const char16_t* interpreter = virtual_env_interpreter();
    const char16_t* program = venv_executable_path.data;
    if (interpreter == nullptr) {
        const InstalledInterpreter* installed = select_interpreter(u"", false);
        if (installed == nullptr) fail(exit_no_interpreter, u"Can't find a default Zelkor.");
        interpreter = installed->executable;
        program = installed->path;
    }
    if (help_asked(argc, argv)) print_help(argv);
    launch_with_args(interpreter, nullptr, new_command_line, program);
}
