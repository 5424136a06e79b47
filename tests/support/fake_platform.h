// The fake platform: an in-memory Windows that a unit test fills in a few lines, then
// runs the launcher on. It implements every operation of src/platform/platform.h, keeps
// a log of the calls whose order matters, and can fail the N-th call of an operation with
// a chosen error code. exit_process throws ExitCalled, so a test gets control back.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"

namespace fake {

enum class Op {
    get_environment_variable,
    set_environment_variable,
    get_module_file_name,
    get_long_path_name,
    get_final_path_name_by_handle,
    get_file_version_info_size,
    get_file_version_info,
    ver_query_file_version,
    is_wow64_process,
    get_file_attributes,
    get_binary_type,
    get_system_directory,
    get_private_profile_string,
    open_file_for_reading,
    read_file,
    reg_open_key_ex,
    reg_enum_key,
    reg_query_value_ex,
    multi_byte_to_wide_char,
    create_job_object,
    query_information_job_object,
    set_information_job_object,
    assign_process_to_job_object,
    duplicate_handle,
    set_console_ctrl_handler,
    create_process,
    create_process_in_job,
    resume_thread,
    set_process_shutdown_parameters,
    get_exit_code_process,
    create_file,
    get_window_station_flags,
    allow_set_foreground_window,
    prepare_foreground_grant,
    get_user_sid_string,
    sh_get_folder_path,
    allocate,
    count
};

struct File {
    std::u16string path;
    std::string bytes;
    uint32_t attributes = 0x20;  // FILE_ATTRIBUTE_ARCHIVE; 0x10 makes a directory
    bool binary_type_known = true;
    uint32_t binary_type = 6;  // SCS_64BIT_BINARY
};

// A key, or one value of a key: the default value (name empty) or a named one.
struct RegKey {
    std::u16string path;  // below the root, e.g. SOFTWARE\Zelkor\ZelkorCore\3.6\InstallPath
    bool has_value = false;
    uint32_t type = 1;  // REG_SZ
    std::string data;   // the value's bytes as stored
    std::u16string name;
    // An installer rewriting the value while the launcher runs: from the second read on,
    // these bytes (when `rewritten`).
    bool rewritten = false;
    std::string later_data;
    int reads = 0;
};

struct IniFile {
    std::u16string path;
    std::vector<std::pair<std::u16string, std::vector<std::pair<std::u16string, std::u16string>>>> sections;
};

enum Root { current_user, local_machine };
enum View { native_view, view_64 };

struct World {
    std::vector<std::pair<std::u16string, std::u16string>> environment;
    std::u16string module_path = u"C:\\d\\tool.exe";
    // What GetLongPathNameW gives for a path (else the path itself, when it exists), and
    // GetFinalPathNameByHandleW for a file opened by its path (else \\?\ and the path).
    std::vector<std::pair<std::u16string, std::u16string>> long_paths_of, final_paths;
    std::u16string command_line = u"C:\\d\\tool.exe";
    // What SHGetFolderPathW(CSIDL_LOCAL_APPDATA) gives; the user's SID ("" when the token
    // cannot be read).
    int32_t appdata_result = 0;
    std::u16string appdata = u"C:\\Users\\me\\AppData\\Local";
    std::u16string user_sid = u"S-1-5-21-1-2-3-1001";
    bool wow64 = false;
    // Whether the machine has long paths enabled; without, a file operation on a path of
    // 260 units or more fails with 206 and an ini file there reads as empty.
    bool long_paths = true;
    // The first allocation of exactly this many bytes fails (0: none).
    size_t failing_allocation_bytes = 0;
    bool has_version_resource = false;
    uint32_t version_ms = 0, version_ls = 0;
    std::vector<File> files;
    // [root][view]; HKCU is one key in both views, kept in [current_user][native_view].
    std::vector<RegKey> registry[2][2];
    std::vector<IniFile> ini_files;
    // What GetSystemDirectoryW and GetSystemWindowsDirectoryW give ("" makes the call fail).
    std::u16string system_directory = u"C:\\Windows\\System32";
    std::u16string windows_directory = u"C:\\Windows";
    uint32_t child_exit_code = 0;
    uint32_t job_initial_flags = 0;
    // What GetStdHandle gives: null for a stream the launcher was started without; -1
    // (INVALID_HANDLE_VALUE) as a parent may leave it.
    platform::Handle std_handles[3] = {reinterpret_cast<platform::Handle>(0x10),
                                       reinterpret_cast<platform::Handle>(0x14),
                                       reinterpret_cast<platform::Handle>(0x18)};

    // How the launcher itself was started (GetStartupInfoW), and whether its window
    // station can be seen (WSF_VISIBLE).
    platform::StartupInfo own_startup{};
    bool station_visible = true;

    // A console event (2 close, 5 logoff, 6 shutdown, 0 Ctrl+C...) delivered to the
    // launcher's control handler as it is installed, as the suspended child is about to be
    // joined to the job (the road where it could not be created in it) or resumed, or while
    // the launcher waits for its child (-1: none); what the handler returned.
    int console_event_on_install = -1, console_event_on_join = -1, console_event_on_resume = -1,
        console_event_during_wait = -1;
    int handler_returned = -1;

    // What the run did.
    std::u16string out, err;
    size_t longest_write = 0;  // units in one write_text call
    int split_pairs = 0;       // writes that ended between the halves of a surrogate pair
    std::vector<std::u16string> child_command_lines;
    std::vector<std::u16string> child_programs;  // each creation's application name
    int batch_files_given = 0;                   // creations given a batch file as the program
    platform::StartupInfo child_startup{};
    uint32_t child_creation_flags = 0;
    std::vector<std::string> message_boxes;  // "caption|text|type", UTF-8
    uint32_t job_flags_set = 0;
    std::vector<std::string> calls;  // the job, handle and process calls, in order
    int open_keys = 0;               // registry keys opened and not yet closed
    uint32_t last_error = 0;
};

extern World world;

// Clears the world and every launcher global, so each test starts from a new process.
void reset();

// The `nth` call (1 for the next) of `op` fails with `error`.
void fail_call(Op op, int nth, uint32_t error);
// Every call of `op` (reg_open_key_ex, reg_enum_key at `index`, reg_query_value_ex) on the
// key `path` of `root` and `view` fails with `error`, however many calls come before it.
void fail_key(Op op, Root root, View view, const std::u16string& path, uint32_t error, uint32_t index = 0);
int call_count(Op op);
// The creations given a batch file as the program since the last call, across resets.
int take_batch_files_given();
// The heap blocks the run holds.
size_t heap_blocks();

// ---- Filling the world -----------------------------------------------------------------
void set_env(const std::u16string& name, const std::u16string& value);
File& add_file(const std::u16string& path, const std::string& bytes = "");
void add_directory(const std::u16string& path);
// A key without values; a value of a key (the default one unless `name` is given): its
// type and bytes as stored (reg_sz() gives a string's).
void add_reg_key(Root root, View view, const std::u16string& path);
void add_reg_value(Root root, View view, const std::u16string& path, uint32_t type, const std::string& data,
                   const std::u16string& name = u"");
void add_install(Root root, View view, const std::u16string& version, const std::u16string& install_path);
// The value, already added, answers `data` from its second read on.
void rewrite_on_second_read(Root root, View view, const std::u16string& path, const std::string& data,
                            const std::u16string& name = u"");
void add_ini(const std::u16string& path, const std::u16string& section, const std::u16string& key,
             const std::u16string& value);
std::string reg_sz(const std::u16string& value);  // UTF-16LE bytes with the terminator

// ---- Running ---------------------------------------------------------------------------
struct ExitCalled {
    uint32_t code;
};

struct RunResult {
    uint32_t exit_code;
    std::string out, err, child;  // UTF-8; child is the last child command line
};

// PATH, from its folders in order.
void set_path(const std::vector<std::u16string>& folders);

// Runs launcher_main with `argv` (defaults to the launcher's own name) until it exits.
RunResult run(std::vector<std::u16string> argv = {u"tool.exe"});

// Runs any code that ends in exit_process and returns its exit code.
template <class F>
uint32_t exit_code_of(F&& f) {
    try {
        f();
    } catch (const ExitCalled& e) {
        return e.code;
    }
    return 0xDEADBEEF;  // returned: not a legal end of a road
}

std::string utf8(const std::u16string& s);
std::u16string utf16(const std::string& s);

}  // namespace fake
