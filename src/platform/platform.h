// The launcher's only way to reach the operating system.
//
// Every operation the logic needs is a plain function here, with the arguments and the
// return conventions of the Win32 call it stands for, so that each line of the logic
// reads like the call it makes. Two implementations exist and one is chosen at link
// time: platform_win32.cpp (the product) and tests/support/fake_platform.cpp (unit tests
// and fuzzers). No Windows type appears here: handles are opaque pointers, and the three
// records the child road fills (job limits, startup information, process information)
// are mirrored field for field; platform_win32.cpp checks the mirrors against the real
// structures at compile time.
#pragma once

#include <cstddef>
#include <cstdint>

// Callbacks that the system calls use the system's calling convention; only the 32-bit
// Windows build has a different one.
#if defined(_WIN32) && !defined(_WIN64)
#define PLATFORM_CALLBACK __stdcall
#else
#define PLATFORM_CALLBACK
#endif

namespace platform {

using Handle = void*;

inline constexpr uint32_t invalid_file_attributes = 0xFFFFFFFF;
inline constexpr uint32_t file_attribute_directory = 0x10;
inline constexpr uint32_t error_invalid_handle = 6;
inline constexpr uint32_t error_insufficient_buffer = 122;
inline constexpr int32_t error_more_data = 234;
inline constexpr int32_t error_no_more_items = 259;
inline constexpr uint32_t infinite = 0xFFFFFFFF;
inline const Handle invalid_handle_value = reinterpret_cast<Handle>(static_cast<intptr_t>(-1));
inline constexpr uint32_t std_input_handle = static_cast<uint32_t>(-10);
inline constexpr uint32_t std_output_handle = static_cast<uint32_t>(-11);
inline constexpr uint32_t std_error_handle = static_cast<uint32_t>(-12);

// ---- Environment, own process -------------------------------------------------------

// Restricts the DLL search of this process to the system folder, before anything else
// runs: SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32) where Windows has it, so
// that no DLL the launcher or a system DLL loads by name comes from the launcher's
// folder, the current folder or PATH. Where it is missing (Vista, 7 without KB2533623),
// SetDllDirectoryW(L"") at least takes the current folder out; the launcher's own folder
// stays in that search. Decides once which of the two this Windows has.
void restrict_dll_search();
// The fallback's SetDllDirectoryW(L"") is inherited by the processes created while it is
// in force: lifted (SetDllDirectoryW(nullptr)) with true just before the child is
// created, so that the interpreter keeps the search Windows gives it, and put back with
// false right after. Does nothing where SetDefaultDllDirectories took effect.
void lift_dll_directory_for_child(bool lifted);

// The current user's security identifier as text ("S-1-5-21-..."), from the process's
// token, into `buffer` of `size` units; false when it cannot be had or does not fit.
bool get_user_sid_string(char16_t* buffer, uint32_t size);

// GetEnvironmentVariableW: the length copied (terminator excluded), the size needed
// (terminator included) when `size` is too small, 0 when the variable is absent.
uint32_t get_environment_variable(const char16_t* name, char16_t* buffer, uint32_t size);

// SetEnvironmentVariableW (null `value`: the variable removed; "" sets it empty). False,
// with the last error, when Windows refuses the change, and so when the variable to
// remove is not there (203, ERROR_ENVVAR_NOT_FOUND). The only way the launcher changes
// its environment, and get_environment_variable the only way it reads it, so that what
// it reads after a change is what the child inherits.
bool set_environment_variable(const char16_t* name, const char16_t* value);

// GetModuleFileNameW for the launcher's own module: characters copied; `size` when the
// path was cut (and then the last error is ERROR_INSUFFICIENT_BUFFER).
uint32_t get_module_file_name(char16_t* buffer, uint32_t size);

// GetLongPathNameW(path, buffer, size): the long form of a path that holds short (8.3)
// names; the length written, the size needed when `size` is too small, 0 on failure.
uint32_t get_long_path_name(const char16_t* path, char16_t* buffer, uint32_t size);

// GetFinalPathNameByHandleW(file, buffer, size, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS):
// the path of an open file with every link resolved, in the form \\?\C:\... or
// \\?\UNC\server\share\...; the same return conventions.
uint32_t get_final_path_name_by_handle(Handle file, char16_t* buffer, uint32_t size);

// GetCommandLineW: the whole raw command line, own name included as typed.
const char16_t* get_command_line();

// IsWow64Process(GetCurrentProcess()): false when the call fails.
bool is_wow64_process(bool* wow64);

// GetFileVersionInfoSizeW / GetFileVersionInfoW / VerQueryValueW(block, "\\"):
// the last yields the file version words (dwFileVersionMS, dwFileVersionLS). version.dll
// is loaded from the system folder at the first call; when it cannot be, the first
// call gives 0 with the loader's error as the last error.
uint32_t get_file_version_info_size(const char16_t* path);
bool get_file_version_info(const char16_t* path, uint32_t size, void* block);
bool ver_query_file_version(void* block, uint32_t* most_significant, uint32_t* least_significant);

// SHGetFolderPathW(no window, folder, no token, flags, path): an HRESULT, 0 on success.
// `path` has room for 260 characters. shell32.dll is loaded from the system folder at
// the first call; when it cannot be, the loader's error as an HRESULT (0x8007....).
int32_t sh_get_folder_path(int folder, uint32_t flags, char16_t* path);

// ---- Files -----------------------------------------------------------------------------

// GetFileAttributesW: invalid_file_attributes when the path does not exist.
uint32_t get_file_attributes(const char16_t* path);

// GetBinaryTypeW: false on failure; type 0 is a 32-bit exe, 6 a 64-bit exe.
bool get_binary_type(const char16_t* path, uint32_t* type);

// GetSystemDirectoryW / GetSystemWindowsDirectoryW: the length written (terminator
// excluded), the size needed (terminator included) when `size` is too small, 0 on
// failure. The second is the machine's Windows folder: GetWindowsDirectoryW gives, on a
// Remote Desktop host, a folder of the user's own in a program that is not marked
// terminal-server aware, which no search for programs may trust.
uint32_t get_system_directory(char16_t* buffer, uint32_t size);
uint32_t get_system_windows_directory(char16_t* buffer, uint32_t size);

// GetPrivateProfileStringW: characters copied (terminator excluded); size - 1 when a
// value is cut, size - 2 when a null-key or null-section list is cut.
uint32_t get_private_profile_string(const char16_t* section, const char16_t* key,
                                    const char16_t* default_text, char16_t* buffer,
                                    uint32_t size, const char16_t* file);

// _wfopen_s(path, "rb") / fread(buffer, 1, size) / fclose. Open returns 0 on success.
int open_file_for_reading(const char16_t* path, Handle* file);
size_t read_file(void* buffer, size_t size, Handle file);
void close_file(Handle file);

// ---- Registry --------------------------------------------------------------------------

extern Handle const hkey_current_user;
extern Handle const hkey_local_machine;

inline constexpr uint32_t key_query_value = 0x1;
inline constexpr uint32_t key_read = 0x20019;
inline constexpr uint32_t key_wow64_64key = 0x100;  // the 64-bit view, also from a 32-bit process
inline constexpr uint32_t reg_sz = 1;
inline constexpr uint32_t reg_expand_sz = 2;

// RegOpenKeyExW / RegEnumKeyW / RegQueryValueExW / RegCloseKey: a Win32 status, 0 on
// success. Enumeration ends with error_no_more_items; a name that does not fit gives
// error_more_data.
int32_t reg_open_key_ex(Handle root, const char16_t* subkey, uint32_t options, uint32_t access,
                        Handle* key);
int32_t reg_enum_key(Handle key, uint32_t index, char16_t* name, uint32_t size);
int32_t reg_query_value_ex(Handle key, const char16_t* value_name, uint32_t* type, void* data,
                           uint32_t* size);
int32_t reg_close_key(Handle key);

// ---- Errors and text -------------------------------------------------------------------

uint32_t get_last_error();

// FormatMessageW(flags, no source, code, language, buffer, size, no arguments):
// characters written, 0 when the system has no text.
uint32_t format_message(uint32_t flags, uint32_t code, uint32_t language, char16_t* buffer,
                        uint32_t size);

// MultiByteToWideChar: units written, 0 on failure (including an output that does not fit).
int multi_byte_to_wide_char(uint32_t code_page, uint32_t flags, const char* bytes, int byte_count,
                            char16_t* out, int out_size);

// ---- Job, handles, child process ---------------------------------------------------------

// JOBOBJECT_EXTENDED_LIMIT_INFORMATION, field for field (112 bytes in a 32-bit build).
struct JobBasicLimits {
    int64_t per_process_user_time_limit;
    int64_t per_job_user_time_limit;
    uint32_t limit_flags;
    uintptr_t minimum_working_set_size;
    uintptr_t maximum_working_set_size;
    uint32_t active_process_limit;
    uintptr_t affinity;
    uint32_t priority_class;
    uint32_t scheduling_class;
};
struct JobIoCounters {
    uint64_t read_operations, write_operations, other_operations;
    uint64_t read_transfer, write_transfer, other_transfer;
};
struct JobExtendedLimits {
    JobBasicLimits basic;
    JobIoCounters io;
    uintptr_t process_memory_limit;
    uintptr_t job_memory_limit;
    uintptr_t peak_process_memory_used;
    uintptr_t peak_job_memory_used;
};

// STARTUPINFOW, field for field (68 bytes in a 32-bit build).
struct StartupInfo {
    uint32_t cb;
    char16_t* reserved;
    char16_t* desktop;
    char16_t* title;
    uint32_t x, y, x_size, y_size, x_count_chars, y_count_chars, fill_attribute;
    uint32_t flags;
    uint16_t show_window;
    uint16_t reserved2_size;
    uint8_t* reserved2;
    Handle std_input;
    Handle std_output;
    Handle std_error;
};

// PROCESS_INFORMATION, field for field.
struct ProcessInformation {
    Handle process;
    Handle thread;
    uint32_t process_id;
    uint32_t thread_id;
};

inline constexpr int job_object_extended_limit_information = 9;
inline constexpr uint32_t job_object_limit_silent_breakaway_ok = 0x1000;
inline constexpr uint32_t job_object_limit_kill_on_job_close = 0x2000;
inline constexpr uint32_t startf_useshowwindow = 0x1;
inline constexpr uint32_t startf_usestdhandles = 0x100;
inline constexpr uint32_t duplicate_same_access = 2;

// CreateJobObjectW(no security attributes, no name): null on failure.
Handle create_job_object();
bool query_information_job_object(Handle job, int information_class, void* info, uint32_t size,
                                  uint32_t* returned);
bool set_information_job_object(Handle job, int information_class, void* info, uint32_t size);
bool assign_process_to_job_object(Handle job, Handle process);

Handle get_std_handle(uint32_t which);
Handle get_current_process();
bool duplicate_handle(Handle source_process, Handle source, Handle target_process, Handle* target,
                      uint32_t access, bool inherit, uint32_t options);

using ConsoleCtrlHandler = int(PLATFORM_CALLBACK*)(uint32_t event);
bool set_console_ctrl_handler(ConsoleCtrlHandler handler, bool add);

// CreateProcessW(application_name, command_line, no security attributes, inherit,
// creation_flags, no environment, no directory, startup, process). The application name
// is the program's full path, so that Windows searches for nothing.
bool create_process(const char16_t* application_name, char16_t* command_line, bool inherit_handles,
                    uint32_t creation_flags, StartupInfo* startup, ProcessInformation* process);
// The same, with the startup record extended by an attribute list naming `job`
// (PROC_THREAD_ATTRIBUTE_JOB_LIST): the process is in the job from its creation. False,
// with the last error set, when Windows refuses the attribute (before Windows 10 1607)
// or the creation fails.
bool create_process_in_job(const char16_t* application_name, char16_t* command_line, bool inherit_handles,
                           uint32_t creation_flags, StartupInfo* startup, ProcessInformation* process, Handle job);
inline constexpr uint32_t create_suspended = 0x4;
// ResumeThread: the thread's previous suspend count, resume_failed on failure.
inline constexpr uint32_t resume_failed = 0xFFFFFFFF;
uint32_t resume_thread(Handle thread);
bool terminate_process(Handle process, uint32_t exit_code);
// SetProcessShutdownParameters(level, flags): the order in which Windows asks processes
// to end at logoff and shutdown, higher levels first (0x280 for any process by default).
bool set_process_shutdown_parameters(uint32_t level, uint32_t flags);
bool close_handle(Handle handle);
// CreateFileW(path, access, share, security attributes whose bInheritHandle is `inherit`,
// disposition, flags, no template): invalid_handle_value on failure.
Handle create_file(const char16_t* path, uint32_t access, uint32_t share, bool inherit, uint32_t disposition,
                   uint32_t flags);
uint32_t wait_for_single_object_ex(Handle handle, uint32_t milliseconds, bool alertable);
bool get_exit_code_process(Handle process, uint32_t* exit_code);

// ---- The desktop (the windowless launcher) ----------------------------------------------

// GetStartupInfoW: how the launcher itself was started (its show-window setting).
void get_startup_info(StartupInfo* startup);
// GetUserObjectInformationW(GetProcessWindowStation(), UOI_FLAGS): the station's dwFlags
// (1, WSF_VISIBLE, when its windows can be seen); false when the query fails.
bool get_window_station_flags(uint32_t* flags);
// MessageBoxW(no owner, text, caption, type): the button chosen, 0 on failure.
int message_box(const char16_t* text, const char16_t* caption, uint32_t type);
// AllowSetForegroundWindow(process_id); false, with the last error, when refused.
bool allow_set_foreground_window(uint32_t process_id);
// Loads user32 and finds AllowSetForegroundWindow now, so that the call above costs no
// load later; false (the last error the loader's) when it cannot be had.
bool prepare_foreground_grant();

// qsort. Not stable: records that compare equal may end in any order.
void sort(void* base, size_t count, size_t size, int (*compare)(const void*, const void*));

// ---- Heap, output, exit -----------------------------------------------------------------

// Zero-filled heap memory, or null when the heap refuses.
void* allocate(size_t bytes);
void release(void* block);

enum class Stream { output, error };

// Writes UTF-16 text to standard output or error at once: on a console as Unicode, on
// anything else as UTF-8 without a byte-order mark. Errors are ignored. At most 8,000
// units a call: before Windows 8 a console takes a write from a shared heap of 64 KiB
// and refuses a longer one whole (base's write_whole cuts longer text).
void write_text(Stream stream, const char16_t* text, size_t length);

// Ends the process through the runtime's normal exit with `code`.
[[noreturn]] void exit_process(uint32_t code);

}  // namespace platform
