// The platform operations on Win32, and the only file that includes <windows.h>. Each
// function forwards to its Win32 call and converts nothing but pointer types. The
// exceptions: write_text, which chooses between the console and a UTF-8 byte stream; the
// calls into shell32, version and user32, which load their DLL from the system folder
// first; the DLL search and its fallback for older Windows; the user's SID, which takes
// three calls; and the child's creation inside its job, which takes an attribute list.
#include "platform/platform.h"

#include <windows.h>
#include <sddl.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cwchar>

static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 text is passed to Win32 as is");

// The mirrored records must be the system's, byte for byte.
static_assert(sizeof(platform::JobExtendedLimits) == sizeof(JOBOBJECT_EXTENDED_LIMIT_INFORMATION));
static_assert(offsetof(platform::JobExtendedLimits, basic.limit_flags) ==
              offsetof(JOBOBJECT_EXTENDED_LIMIT_INFORMATION, BasicLimitInformation.LimitFlags));
static_assert(sizeof(platform::StartupInfo) == sizeof(STARTUPINFOW));
static_assert(offsetof(platform::StartupInfo, flags) == offsetof(STARTUPINFOW, dwFlags));
static_assert(offsetof(platform::StartupInfo, show_window) == offsetof(STARTUPINFOW, wShowWindow));
static_assert(offsetof(platform::StartupInfo, std_input) == offsetof(STARTUPINFOW, hStdInput));
static_assert(offsetof(platform::StartupInfo, std_output) == offsetof(STARTUPINFOW, hStdOutput));
static_assert(offsetof(platform::StartupInfo, std_error) == offsetof(STARTUPINFOW, hStdError));
static_assert(sizeof(platform::ProcessInformation) == sizeof(PROCESS_INFORMATION));
static_assert(offsetof(platform::ProcessInformation, thread) == offsetof(PROCESS_INFORMATION, hThread));

// Older SDK headers know these only for newer Windows versions.
#ifndef LOAD_LIBRARY_SEARCH_SYSTEM32
#define LOAD_LIBRARY_SEARCH_SYSTEM32 0x00000800
#endif

namespace {
inline wchar_t* w(char16_t* s) { return reinterpret_cast<wchar_t*>(s); }
inline const wchar_t* w(const char16_t* s) { return reinterpret_cast<const wchar_t*>(s); }
inline HKEY hkey(platform::Handle h) { return static_cast<HKEY>(h); }

// Whether this Windows has SetDefaultDllDirectories and the LOAD_LIBRARY_SEARCH_* flags
// (not Vista, nor 7 without KB2533623): decided once, by restrict_dll_search.
bool search_flags_available = false;

// A function of shell32, version or user32, loaded from the system folder and nowhere
// else, and only on the road that needs it. version.dll is no known DLL, so a DLL of that
// name beside the launcher or on PATH would otherwise run its code in every launch (and
// Wine's user32 imports it). shell32 and user32 are known DLLs on Windows 7 to 11; they
// are loaded late for their cost, and so that their start-up code and the DLLs they load
// come only after the search has been restricted. Null when it cannot be loaded; the last
// error then says why.
template <class Function>
Function system_function(const wchar_t* dll, const char* name) {
    HMODULE module = nullptr;
    if (search_flags_available) {
        module = LoadLibraryExW(dll, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    } else {
        // Without the search flags: the full path in the system folder, whose own imports
        // are then looked for there first.
        wchar_t path[MAX_PATH];
        UINT length = GetSystemDirectoryW(path, MAX_PATH);
        size_t dll_length = wcslen(dll);
        if (length == 0 || length + 1 + dll_length >= MAX_PATH) return nullptr;
        path[length] = L'\\';
        wmemcpy(path + length + 1, dll, dll_length + 1);
        module = LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    }
    if (module == nullptr) return nullptr;
    // GetProcAddress gives a generic function pointer; the caller names the real type.
    return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}
}  // namespace

namespace platform {

Handle const hkey_current_user = HKEY_CURRENT_USER;
Handle const hkey_local_machine = HKEY_LOCAL_MACHINE;

void restrict_dll_search() {
    // Looked up rather than imported: a Vista or 7 without KB2533623 lacks it, and the
    // launcher must still start there.
    using SetDefaultDllDirectories = BOOL(WINAPI*)(DWORD);
    auto set_default = reinterpret_cast<SetDefaultDllDirectories>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories")));
    search_flags_available = set_default != nullptr && set_default(LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (!search_flags_available) SetDllDirectoryW(L"");
}

void lift_dll_directory_for_child(bool lifted) {
    if (!search_flags_available) SetDllDirectoryW(lifted ? nullptr : L"");
}

bool get_user_sid_string(char16_t* buffer, uint32_t size) {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
    // TOKEN_USER and the SID it points to: a SID has at most 68 bytes.
    alignas(TOKEN_USER) BYTE user[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD returned = 0;
    bool ok = GetTokenInformation(token, TokenUser, user, sizeof user, &returned) != 0;
    CloseHandle(token);
    wchar_t* sid_text = nullptr;
    if (!ok || !ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(user)->User.Sid, &sid_text)) return false;
    size_t length = wcslen(sid_text);
    ok = length < size;
    if (ok) wmemcpy(w(buffer), sid_text, length + 1);
    LocalFree(sid_text);
    return ok;
}

uint32_t get_environment_variable(const char16_t* name, char16_t* buffer, uint32_t size) {
    return GetEnvironmentVariableW(w(name), w(buffer), size);
}

bool set_environment_variable(const char16_t* name, const char16_t* value) {
    return SetEnvironmentVariableW(w(name), w(value)) != FALSE;
}

uint32_t get_module_file_name(char16_t* buffer, uint32_t size) {
    return GetModuleFileNameW(nullptr, w(buffer), size);
}

uint32_t get_long_path_name(const char16_t* path, char16_t* buffer, uint32_t size) {
    return GetLongPathNameW(w(path), w(buffer), size);
}

uint32_t get_final_path_name_by_handle(Handle file, char16_t* buffer, uint32_t size) {
    return GetFinalPathNameByHandleW(file, w(buffer), size, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
}

const char16_t* get_command_line() { return reinterpret_cast<const char16_t*>(GetCommandLineW()); }

bool is_wow64_process(bool* wow64) {
    BOOL result = FALSE;
    bool ok = IsWow64Process(GetCurrentProcess(), &result) != 0;
    *wow64 = ok && result != 0;
    return ok;
}

// version.dll's three functions, loaded together at the first call of any of them.
namespace {
struct VersionFunctions {
    DWORD(WINAPI* size)(LPCWSTR, LPDWORD);
    BOOL(WINAPI* info)(LPCWSTR, DWORD, DWORD, LPVOID);
    BOOL(WINAPI* query)(LPCVOID, LPCWSTR, LPVOID*, PUINT);
};

// Null when any of them cannot be had; the last error then says why.
const VersionFunctions* version_functions() {
    static VersionFunctions functions;
    static bool loaded = false;
    if (!loaded) {
        functions.size = system_function<decltype(functions.size)>(L"version.dll", "GetFileVersionInfoSizeW");
        functions.info = system_function<decltype(functions.info)>(L"version.dll", "GetFileVersionInfoW");
        functions.query = system_function<decltype(functions.query)>(L"version.dll", "VerQueryValueW");
        loaded = true;
    }
    bool complete = functions.size != nullptr && functions.info != nullptr && functions.query != nullptr;
    return complete ? &functions : nullptr;
}
}  // namespace

uint32_t get_file_version_info_size(const char16_t* path) {
    const VersionFunctions* version = version_functions();
    if (version == nullptr) return 0;
    DWORD ignored = 0;
    return version->size(w(path), &ignored);
}

bool get_file_version_info(const char16_t* path, uint32_t size, void* block) {
    const VersionFunctions* version = version_functions();
    return version != nullptr && version->info(w(path), 0, size, block) != 0;
}

bool ver_query_file_version(void* block, uint32_t* most_significant, uint32_t* least_significant) {
    const VersionFunctions* version = version_functions();
    VS_FIXEDFILEINFO* info = nullptr;
    UINT length = 0;
    if (version == nullptr || !version->query(block, L"\\", reinterpret_cast<void**>(&info), &length) ||
        info == nullptr)
        return false;
    *most_significant = info->dwFileVersionMS;
    *least_significant = info->dwFileVersionLS;
    return true;
}

int32_t sh_get_folder_path(int folder, uint32_t flags, char16_t* path) {
    using SHGetFolderPath = HRESULT(WINAPI*)(HWND, int, HANDLE, DWORD, LPWSTR);
    auto function = system_function<SHGetFolderPath>(L"shell32.dll", "SHGetFolderPathW");
    if (function == nullptr) {
        DWORD error = GetLastError();
        return error != 0 ? HRESULT_FROM_WIN32(error) : E_FAIL;
    }
    return function(nullptr, folder, nullptr, flags, w(path));
}

uint32_t get_file_attributes(const char16_t* path) { return GetFileAttributesW(w(path)); }

bool get_binary_type(const char16_t* path, uint32_t* type) {
    DWORD t = 0;
    bool ok = GetBinaryTypeW(w(path), &t) != 0;
    *type = t;
    return ok;
}

uint32_t get_system_directory(char16_t* buffer, uint32_t size) { return GetSystemDirectoryW(w(buffer), size); }

uint32_t get_system_windows_directory(char16_t* buffer, uint32_t size) { return GetSystemWindowsDirectoryW(w(buffer), size); }

uint32_t get_private_profile_string(const char16_t* section, const char16_t* key,
                                    const char16_t* default_text, char16_t* buffer, uint32_t size,
                                    const char16_t* file) {
    return GetPrivateProfileStringW(w(section), w(key), w(default_text), w(buffer), size, w(file));
}

int open_file_for_reading(const char16_t* path, Handle* file) {
    FILE* f = nullptr;
    int result = _wfopen_s(&f, w(path), L"rb");
    *file = f;
    return result;
}

size_t read_file(void* buffer, size_t size, Handle file) {
    return fread(buffer, 1, size, static_cast<FILE*>(file));
}

void close_file(Handle file) { fclose(static_cast<FILE*>(file)); }

int32_t reg_open_key_ex(Handle root, const char16_t* subkey, uint32_t options, uint32_t access,
                        Handle* key) {
    HKEY opened = nullptr;
    LONG status = RegOpenKeyExW(hkey(root), w(subkey), options, access, &opened);
    *key = opened;
    return status;
}

int32_t reg_enum_key(Handle key, uint32_t index, char16_t* name, uint32_t size) {
    return RegEnumKeyW(hkey(key), index, w(name), size);
}

int32_t reg_query_value_ex(Handle key, const char16_t* value_name, uint32_t* type, void* data,
                           uint32_t* size) {
    DWORD t = 0, s = *size;
    LONG status = RegQueryValueExW(hkey(key), w(value_name), nullptr, &t, static_cast<BYTE*>(data), &s);
    *type = t;
    *size = s;
    return status;
}

int32_t reg_close_key(Handle key) { return RegCloseKey(hkey(key)); }

uint32_t get_last_error() { return GetLastError(); }

uint32_t format_message(uint32_t flags, uint32_t code, uint32_t language, char16_t* buffer,
                        uint32_t size) {
    return FormatMessageW(flags, nullptr, code, language, w(buffer), size, nullptr);
}

int multi_byte_to_wide_char(uint32_t code_page, uint32_t flags, const char* bytes, int byte_count,
                            char16_t* out, int out_size) {
    return MultiByteToWideChar(code_page, flags, bytes, byte_count, w(out), out_size);
}

Handle create_job_object() { return CreateJobObjectW(nullptr, nullptr); }

bool query_information_job_object(Handle job, int information_class, void* info, uint32_t size,
                                  uint32_t* returned) {
    DWORD r = 0;
    bool ok = QueryInformationJobObject(job, static_cast<JOBOBJECTINFOCLASS>(information_class), info,
                                        size, &r) != 0;
    *returned = r;
    return ok;
}

bool set_information_job_object(Handle job, int information_class, void* info, uint32_t size) {
    return SetInformationJobObject(job, static_cast<JOBOBJECTINFOCLASS>(information_class), info,
                                   size) != 0;
}

bool assign_process_to_job_object(Handle job, Handle process) {
    return AssignProcessToJobObject(job, process) != 0;
}

Handle get_std_handle(uint32_t which) { return GetStdHandle(which); }

Handle get_current_process() { return GetCurrentProcess(); }

bool duplicate_handle(Handle source_process, Handle source, Handle target_process, Handle* target,
                      uint32_t access, bool inherit, uint32_t options) {
    return DuplicateHandle(source_process, source, target_process, target, access, inherit,
                           options) != 0;
}

bool set_console_ctrl_handler(ConsoleCtrlHandler handler, bool add) {
    // BOOL WINAPI (DWORD): the same calling convention and argument width as the handler.
    return SetConsoleCtrlHandler(reinterpret_cast<PHANDLER_ROUTINE>(handler), add) != 0;
}

bool create_process(const char16_t* application_name, char16_t* command_line, bool inherit_handles,
                    uint32_t creation_flags, StartupInfo* startup, ProcessInformation* process) {
    return CreateProcessW(w(application_name), w(command_line), nullptr, nullptr, inherit_handles, creation_flags,
                          nullptr, nullptr, reinterpret_cast<STARTUPINFOW*>(startup),
                          reinterpret_cast<PROCESS_INFORMATION*>(process)) != 0;
}

bool create_process_in_job(const char16_t* application_name, char16_t* command_line, bool inherit_handles,
                           uint32_t creation_flags, StartupInfo* startup, ProcessInformation* process, Handle job) {
    // PROC_THREAD_ATTRIBUTE_JOB_LIST (attribute 13, an input), spelt out: headers for
    // older Windows versions do not define it.
    constexpr DWORD_PTR job_list = 13 | 0x00020000;
    // One attribute needs a few dozen bytes; the size call says how many exactly.
    alignas(void*) unsigned char storage[128];
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    if (size == 0 || size > sizeof storage) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return false;
    }
    auto* attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage);
    if (!InitializeProcThreadAttributeList(attributes, 1, 0, &size)) return false;
    HANDLE jobs[1] = {job};
    bool ok = UpdateProcThreadAttribute(attributes, 0, job_list, jobs, sizeof jobs, nullptr, nullptr) != 0;
    if (ok) {
        STARTUPINFOEXW extended{};
        extended.StartupInfo = *reinterpret_cast<STARTUPINFOW*>(startup);
        extended.StartupInfo.cb = sizeof extended;
        extended.lpAttributeList = attributes;
        ok = CreateProcessW(w(application_name), w(command_line), nullptr, nullptr, inherit_handles,
                            creation_flags | EXTENDED_STARTUPINFO_PRESENT, nullptr, nullptr,
                            &extended.StartupInfo, reinterpret_cast<PROCESS_INFORMATION*>(process)) != 0;
    }
    DWORD error = GetLastError();
    DeleteProcThreadAttributeList(attributes);
    SetLastError(error);
    return ok;
}

uint32_t resume_thread(Handle thread) { return ResumeThread(thread); }

bool terminate_process(Handle process, uint32_t exit_code) { return TerminateProcess(process, exit_code) != 0; }

bool set_process_shutdown_parameters(uint32_t level, uint32_t flags) {
    return SetProcessShutdownParameters(level, flags) != 0;
}

bool close_handle(Handle handle) { return CloseHandle(handle) != 0; }

uint32_t wait_for_single_object_ex(Handle handle, uint32_t milliseconds, bool alertable) {
    return WaitForSingleObjectEx(handle, milliseconds, alertable);
}

bool get_exit_code_process(Handle process, uint32_t* exit_code) {
    DWORD code = 0;
    bool ok = GetExitCodeProcess(process, &code) != 0;
    *exit_code = code;
    return ok;
}

Handle create_file(const char16_t* path, uint32_t access, uint32_t share, bool inherit, uint32_t disposition,
                   uint32_t flags) {
    SECURITY_ATTRIBUTES attributes{sizeof attributes, nullptr, inherit};
    return CreateFileW(w(path), access, share, &attributes, disposition, flags, nullptr);
}

void get_startup_info(StartupInfo* startup) { GetStartupInfoW(reinterpret_cast<STARTUPINFOW*>(startup)); }

// The desktop operations, which only the windowless launcher calls. user32 is loaded at
// the first of them, after the DLL search has been restricted, rather than imported: the
// DLLs that user32 imports would otherwise be looked for before the launcher's first
// line, from its own folder first (Wine's user32 imports version.dll, which is no known
// DLL).
bool get_window_station_flags(uint32_t* flags) {
    using GetProcessWindowStation = HWINSTA(WINAPI*)();
    using GetUserObjectInformation = BOOL(WINAPI*)(HANDLE, int, PVOID, DWORD, LPDWORD);
    auto station = system_function<GetProcessWindowStation>(L"user32.dll", "GetProcessWindowStation");
    auto query = system_function<GetUserObjectInformation>(L"user32.dll", "GetUserObjectInformationW");
    USEROBJECTFLAGS information{};
    DWORD needed = 0;
    if (station == nullptr || query == nullptr || !query(station(), UOI_FLAGS, &information, sizeof information, &needed))
        return false;
    *flags = information.dwFlags;
    return true;
}

int message_box(const char16_t* text, const char16_t* caption, uint32_t type) {
    using MessageBox = int(WINAPI*)(HWND, LPCWSTR, LPCWSTR, UINT);
    auto function = system_function<MessageBox>(L"user32.dll", "MessageBoxW");
    return function != nullptr ? function(nullptr, w(text), w(caption), type) : 0;
}

namespace {
using AllowSetForegroundWindow = BOOL(WINAPI*)(DWORD);
AllowSetForegroundWindow allow_foreground = nullptr;
}  // namespace

bool prepare_foreground_grant() {
    if (allow_foreground == nullptr)
        allow_foreground = system_function<AllowSetForegroundWindow>(L"user32.dll", "AllowSetForegroundWindow");
    return allow_foreground != nullptr;
}

bool allow_set_foreground_window(uint32_t process_id) {
    return prepare_foreground_grant() && allow_foreground(process_id) != 0;
}

void sort(void* base, size_t count, size_t size, int (*compare)(const void*, const void*)) {
    qsort(base, count, size, compare);
}

void* allocate(size_t bytes) { return calloc(bytes, 1); }

void release(void* block) { free(block); }

void write_text(Stream stream, const char16_t* text, size_t length) {
    HANDLE out = GetStdHandle(stream == Stream::output ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
    if (out == nullptr || out == INVALID_HANDLE_VALUE || length == 0) return;
    DWORD mode = 0, written = 0;
    if (GetConsoleMode(out, &mode)) {
        WriteConsoleW(out, text, static_cast<DWORD>(length), &written, nullptr);
        return;
    }
    // Redirected: UTF-8, converted in pieces so that no buffer is needed for long text.
    // A piece never ends between the two halves of a surrogate pair.
    char bytes[3 * 256];
    while (length > 0) {
        size_t piece = length < 256 ? length : 256;
        if (piece < length && text[piece - 1] >= 0xD800 && text[piece - 1] <= 0xDBFF) --piece;
        int n = WideCharToMultiByte(CP_UTF8, 0, w(text), static_cast<int>(piece), bytes, sizeof bytes, nullptr,
                                    nullptr);
        if (n > 0) WriteFile(out, bytes, n, &written, nullptr);
        text += piece;
        length -= piece;
    }
}

[[noreturn]] void exit_process(uint32_t code) { exit(static_cast<int>(code)); }

}  // namespace platform
