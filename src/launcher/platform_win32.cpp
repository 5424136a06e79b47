// The platform operations on Win32, and the only file that includes <windows.h>. Each
// function forwards to its Win32 call and converts nothing but pointer types. The
// exceptions: write_text, which chooses between the console and a UTF-8 byte stream; the
// calls into shell32, version and user32, which load their DLL from the system folder
// first; and the user's SID, which takes three calls.
#include "launcher/platform.h"

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

// A function of a DLL that is not among the known DLLs (which Windows always takes from
// the system folder), loaded from the system folder and nowhere else: a DLL of that name
// beside the launcher or on PATH would otherwise run its code in every launch. Null when
// it cannot be loaded; the last error then says why.
template <class Function>
Function system_function(const wchar_t* dll, const char* name) {
    HMODULE module = LoadLibraryExW(dll, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module == nullptr && GetLastError() == ERROR_INVALID_PARAMETER) {
        // A Windows without the search flags (Vista, 7 without KB2533623): the full path
        // in the system folder, whose own imports are then looked for there first.
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
    if (set_default == nullptr || !set_default(LOAD_LIBRARY_SEARCH_SYSTEM32)) SetDllDirectoryW(L"");
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

int wgetenv_s(size_t* required, char16_t* buffer, size_t size, const char16_t* name) {
    return _wgetenv_s(required, w(buffer), size, w(name));
}

uint32_t get_module_file_name(char16_t* buffer, uint32_t size) {
    return GetModuleFileNameW(nullptr, w(buffer), size);
}

const char16_t* get_command_line() { return reinterpret_cast<const char16_t*>(GetCommandLineW()); }

bool is_wow64_process(bool* wow64) {
    BOOL result = FALSE;
    bool ok = IsWow64Process(GetCurrentProcess(), &result) != 0;
    *wow64 = ok && result != 0;
    return ok;
}

// version.dll, loaded at the first call of the three, which come in this order.
namespace {
using GetFileVersionInfoSize = DWORD(WINAPI*)(LPCWSTR, LPDWORD);
using GetFileVersionInfo = BOOL(WINAPI*)(LPCWSTR, DWORD, DWORD, LPVOID);
using VerQueryValue = BOOL(WINAPI*)(LPCVOID, LPCWSTR, LPVOID*, PUINT);
GetFileVersionInfo get_file_version_info_function;
VerQueryValue ver_query_value_function;
}  // namespace

uint32_t get_file_version_info_size(const char16_t* path) {
    auto size_function = system_function<GetFileVersionInfoSize>(L"version.dll", "GetFileVersionInfoSizeW");
    get_file_version_info_function = system_function<GetFileVersionInfo>(L"version.dll", "GetFileVersionInfoW");
    ver_query_value_function = system_function<VerQueryValue>(L"version.dll", "VerQueryValueW");
    if (size_function == nullptr || get_file_version_info_function == nullptr || ver_query_value_function == nullptr)
        return 0;
    DWORD ignored = 0;
    return size_function(w(path), &ignored);
}

bool get_file_version_info(const char16_t* path, uint32_t size, void* block) {
    return get_file_version_info_function(w(path), 0, size, block) != 0;
}

bool ver_query_file_version(void* block, uint32_t* most_significant, uint32_t* least_significant) {
    VS_FIXEDFILEINFO* info = nullptr;
    UINT length = 0;
    if (!ver_query_value_function(block, L"\\", reinterpret_cast<void**>(&info), &length) || info == nullptr)
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

uint32_t search_path(const char16_t* file, const char16_t* extension, uint32_t size, char16_t* buffer) {
    return SearchPathW(nullptr, w(file), w(extension), size, w(buffer), nullptr);
}

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

bool create_process(char16_t* command_line, bool inherit_handles, uint32_t creation_flags,
                    StartupInfo* startup, ProcessInformation* process) {
    return CreateProcessW(nullptr, w(command_line), nullptr, nullptr, inherit_handles, creation_flags,
                          nullptr, nullptr, reinterpret_cast<STARTUPINFOW*>(startup),
                          reinterpret_cast<PROCESS_INFORMATION*>(process)) != 0;
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

bool allow_set_foreground_window(uint32_t process_id) {
    using AllowSetForegroundWindow = BOOL(WINAPI*)(DWORD);
    auto function = system_function<AllowSetForegroundWindow>(L"user32.dll", "AllowSetForegroundWindow");
    return function != nullptr && function(process_id) != 0;
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
        int n = WideCharToMultiByte(CP_UTF8, 0, w(text), static_cast<int>(piece), bytes,
                                    sizeof bytes, nullptr, nullptr);
        if (n > 0) WriteFile(out, bytes, n, &written, nullptr);
        text += piece;
        length -= piece;
    }
}

[[noreturn]] void exit_process(uint32_t code) { exit(static_cast<int>(code)); }

}  // namespace platform
