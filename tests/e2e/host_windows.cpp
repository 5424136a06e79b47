// The test host inside Windows (host.h), with Win32 calls only: zk_e2e.exe, which runs the
// end-to-end cases under Wine here and natively on Windows, against the launchers its
// command line names:
//
//   zk_e2e.exe --launchers DIR --width x64|x86|arm64 [--helpers DIR] [GoogleTest's options]
//
// DIR holds zklaunch.exe and zklaunchw.exe; the helpers folder (by default "helpers"
// beside the program) holds x64\, x86\ and arm64\, each with the stub interpreter, the
// spawn helper and the DLL the cases plant, of that width.
//
// The cases change the machine: folders at the root of drive C (C:\d, C:\zkt, ...), the
// Zelkor keys of both registry roots, the user's "Local AppData" folder value and the
// per-user zk.ini. The program needs an administrator's rights for the first two, sets
// aside what was there before it starts, and puts it back when it ends (or, after a run
// that was killed, when it next starts). Run it on a machine kept for testing all the same.
#include <windows.h>
#include <shlobj.h>
#include <winioctl.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cwchar>
#include <set>
#include <stdexcept>
#include <thread>

#include "e2e/host.h"

namespace host {

namespace {

enum class Width { x86, x64, arm64 };
struct Options {
    std::wstring launchers, helpers;
    Width width = Width::x64;
} options;

// The launchers' width as the command line and the helpers' folders name it.
const wchar_t* width_name() { return options.width == Width::x86 ? L"x86" : options.width == Width::x64 ? L"x64" : L"arm64"; }

std::wstring wide(const std::string& text) {
    int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring w(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), w.data(), n);
    return w;
}

std::string utf8(const std::wstring& text) {
    int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string s(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), s.data(), n, nullptr, nullptr);
    return s;
}

[[noreturn]] void fail(const std::string& what, DWORD error = GetLastError()) {
    throw std::runtime_error(what + " (error " + std::to_string(error) + ")");
}

bool under_wine() {
    return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

// A path as the file functions take it at any length: \\?\ before a long absolute one.
std::wstring api_path(const std::wstring& path) {
    if (path.size() >= 248 && path.size() > 2 && path[1] == L':') return L"\\\\?\\" + path;
    return path;
}

DWORD attributes(const std::wstring& path) { return GetFileAttributesW(api_path(path).c_str()); }
bool present(const std::wstring& path) { return attributes(path) != INVALID_FILE_ATTRIBUTES; }

std::wstring parent_of(const std::wstring& path) { return path.substr(0, path.find_last_of(L'\\')); }

// What the run created, each the highest folder or file it made where nothing was: removed
// by forget_files().
std::vector<std::wstring> created;

void note_created(const std::wstring& path) {
    for (const std::wstring& c : created)
        if (path.size() >= c.size() && path.compare(0, c.size(), c) == 0 &&
            (path.size() == c.size() || path[c.size()] == L'\\'))
            return;  // inside what the run made already
    created.push_back(path);
}

void make_folders(const std::wstring& folder) {
    if (folder.size() <= 3 || present(folder)) return;
    make_folders(parent_of(folder));
    if (!CreateDirectoryW(api_path(folder).c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
        fail("cannot create the folder " + utf8(folder));
    note_created(folder);
}

// Removes a file, a link (never what it leads to) or a folder with all it holds.
void remove_tree(const std::wstring& path) {
    DWORD a = attributes(path);
    if (a == INVALID_FILE_ATTRIBUTES) return;
    std::wstring p = api_path(path);
    SetFileAttributesW(p.c_str(), a & ~FILE_ATTRIBUTE_READONLY);
    if ((a & FILE_ATTRIBUTE_DIRECTORY) && !(a & FILE_ATTRIBUTE_REPARSE_POINT)) {
        WIN32_FIND_DATAW found;
        HANDLE search = FindFirstFileW((p + L"\\*").c_str(), &found);
        if (search != INVALID_HANDLE_VALUE) {
            do {
                std::wstring name = found.cFileName;
                if (name != L"." && name != L"..") remove_tree(path + L"\\" + name);
            } while (FindNextFileW(search, &found));
            FindClose(search);
        }
    }
    if (a & FILE_ATTRIBUTE_DIRECTORY)
        RemoveDirectoryW(p.c_str());
    else
        DeleteFileW(p.c_str());
}

std::wstring system_folder() {
    wchar_t folder[MAX_PATH];
    GetSystemDirectoryW(folder, MAX_PATH);
    return folder;
}

std::wstring local_appdata_folder() {
    wchar_t folder[MAX_PATH];
    if (SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, 0, folder) != S_OK)
        throw std::runtime_error("no per-user local application-data folder");
    return folder;
}

// ---- Registry ---------------------------------------------------------------------------

// "HKEY_CURRENT_USER\x" as the root and the rest.
HKEY split_root(const std::wstring& key, std::wstring* rest) {
    const struct {
        const wchar_t* name;
        HKEY root;
    } roots[] = {{L"HKEY_CURRENT_USER\\", HKEY_CURRENT_USER}, {L"HKEY_LOCAL_MACHINE\\", HKEY_LOCAL_MACHINE}};
    for (auto& r : roots)
        if (key.compare(0, wcslen(r.name), r.name) == 0) {
            *rest = key.substr(wcslen(r.name));
            return r.root;
        }
    throw std::runtime_error("no registry root of the cases in " + utf8(key));
}

// A .reg quoted string's text, its \\ and \" unescaped; `*at` moves past it.
std::wstring reg_string(const std::wstring& line, size_t* at) {
    std::wstring text;
    size_t i = *at + 1;  // after the opening quote
    for (; i < line.size() && line[i] != L'"'; ++i) {
        if (line[i] == L'\\' && i + 1 < line.size()) ++i;
        text += line[i];
    }
    *at = i + 1;
    return text;
}

void set_value(HKEY key, const std::wstring& name, const std::wstring& data_text) {
    const wchar_t* value_name = name.empty() ? nullptr : name.c_str();
    LSTATUS status = ERROR_SUCCESS;
    if (data_text == L"-") {
        status = RegDeleteValueW(key, value_name);
        if (status == ERROR_FILE_NOT_FOUND) status = ERROR_SUCCESS;
    } else if (!data_text.empty() && data_text[0] == L'"') {
        size_t at = 0;
        std::wstring text = reg_string(data_text, &at);
        status = RegSetValueExW(key, value_name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                                static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
    } else if (data_text.compare(0, 7, L"hex(2):") == 0) {
        // The ANSI bytes of an ASCII .reg file, and a final 00: stored as UTF-16 text.
        std::string bytes;
        for (size_t i = 7; i + 1 < data_text.size(); i += 3) bytes += static_cast<char>(std::stoul(data_text.substr(i, 2), nullptr, 16));
        while (!bytes.empty() && bytes.back() == '\0') bytes.pop_back();
        std::wstring text = wide(bytes);
        status = RegSetValueExW(key, value_name, 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                                static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
    } else {
        throw std::runtime_error("a .reg value the cases do not use: " + utf8(data_text));
    }
    if (status != ERROR_SUCCESS) fail("cannot set the registry value " + utf8(name), static_cast<DWORD>(status));
}

// The keys the cases change, set aside under this key while the run goes on.
const wchar_t* const backup_key = L"SOFTWARE\\zklaunch-e2e-saved";
const struct Saved {
    HKEY root;
    const wchar_t* key;
    const wchar_t* as;
} saved_keys[] = {{HKEY_CURRENT_USER, L"SOFTWARE\\Zelkor", L"user"},
                  {HKEY_LOCAL_MACHINE, L"SOFTWARE\\Zelkor", L"machine"},
                  {HKEY_LOCAL_MACHINE, L"SOFTWARE\\WOW6432Node\\Zelkor", L"machine32"}};
const wchar_t* const shell_folders = L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";

// Copies the tree `from` (of `from_root`) to `to` (of `to_root`), in place of what was there.
void copy_tree(HKEY from_root, const std::wstring& from, HKEY to_root, const std::wstring& to) {
    RegDeleteTreeW(to_root, to.c_str());
    HKEY source = nullptr, target = nullptr;
    if (RegOpenKeyExW(from_root, from.c_str(), 0, KEY_READ, &source) != ERROR_SUCCESS) return;
    LSTATUS status = RegCreateKeyExW(to_root, to.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &target, nullptr);
    if (status == ERROR_SUCCESS) status = RegCopyTreeW(source, nullptr, target);
    RegCloseKey(source);
    if (target != nullptr) RegCloseKey(target);
    if (status != ERROR_SUCCESS) fail("cannot copy the registry key " + utf8(from), static_cast<DWORD>(status));
}

// The user's "Local AppData" folder value, kept as the value of that name of the key
// `to` (none where there is none).
void save_local_appdata(const wchar_t* to) {
    HKEY target = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, to, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &target, nullptr) != ERROR_SUCCESS)
        fail("cannot open the registry key " + utf8(to));
    BYTE data[4096];
    DWORD type = 0, size = sizeof data;
    if (RegGetValueW(HKEY_CURRENT_USER, shell_folders, L"Local AppData", RRF_RT_ANY | RRF_NOEXPAND, &type, data, &size) ==
        ERROR_SUCCESS)
        RegSetValueExW(target, L"Local AppData", 0, type, data, size);
    else
        RegDeleteValueW(target, L"Local AppData");
    RegCloseKey(target);
}

void put_back_what_was_saved() {
    HKEY saved = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, backup_key, 0, KEY_READ, &saved) != ERROR_SUCCESS) return;
    RegCloseKey(saved);
    for (const Saved& k : saved_keys) {
        RegDeleteTreeW(k.root, k.key);
        copy_tree(HKEY_CURRENT_USER, std::wstring(backup_key) + L"\\" + k.as, k.root, k.key);
    }
    // The folder value, as it was (or none).
    BYTE data[4096];
    DWORD type = 0, size = sizeof data;
    HKEY folders = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, shell_folders, 0, KEY_SET_VALUE, &folders) == ERROR_SUCCESS) {
        if (RegGetValueW(HKEY_CURRENT_USER, backup_key, L"Local AppData", RRF_RT_ANY | RRF_NOEXPAND, &type, data,
                         &size) == ERROR_SUCCESS)
            RegSetValueExW(folders, L"Local AppData", 0, type, data, size);
        else
            RegDeleteValueW(folders, L"Local AppData");
        RegCloseKey(folders);
    }
    RegDeleteTreeW(HKEY_CURRENT_USER, backup_key);
}

// ---- Processes --------------------------------------------------------------------------

std::wstring helper(const wchar_t* width, const std::string& file) { return options.helpers + L"\\" + width + L"\\" + wide(file); }

// The host's environment with the case's variables: the launcher's own variables and
// anything a runner may have set that would change a case (a zelkor.exe on PATH, a
// VIRTUAL_ENV, a configured default) are not passed on; PATH holds Windows' folders only.
std::wstring environment_block(const Environment& environment) {
    std::vector<std::wstring> entries;
    wchar_t* strings = GetEnvironmentStringsW();
    for (const wchar_t* e = strings; *e != 0; e += wcslen(e) + 1) {
        std::wstring entry = e, name = entry.substr(0, entry.find(L'=', 1));
        std::wstring folded = name;
        for (wchar_t& c : folded) c = static_cast<wchar_t>(towupper(c));
        if (folded == L"PATH" || folded == L"ZKLAUNCH_DEBUG" || folded == L"VIRTUAL_ENV" ||
            folded.compare(0, 3, L"ZK_") == 0 || folded.compare(0, 7, L"ZKSTUB_") == 0 ||
            folded.compare(0, 8, L"ZKSPAWN_") == 0)
            continue;
        entries.push_back(entry);
    }
    FreeEnvironmentStringsW(strings);
    const std::wstring system = system_folder(), windows = parent_of(system);
    entries.push_back(L"PATH=" + system + L";" + windows + L";" + system + L"\\Wbem");
    for (auto& [name, value] : environment) {
        std::wstring n = wide(name);
        std::erase_if(entries, [&](const std::wstring& e) {
            return e.size() > n.size() && e[n.size()] == L'=' && CompareStringOrdinal(e.c_str(), static_cast<int>(n.size()), n.c_str(), static_cast<int>(n.size()), TRUE) == CSTR_EQUAL;
        });
        entries.push_back(n + L"=" + wide(value));
    }
    std::wstring block;
    for (const std::wstring& e : entries) block += e + L'\0';
    return block + L'\0';
}

// Reads a pipe to its end on a thread of its own, so that no pipe fills while another is
// waited on.
struct PipeReader {
    HANDLE read = nullptr;
    std::string text;
    std::thread thread;
    void start() {
        thread = std::thread([this] {
            char buffer[4096];
            DWORD n = 0;
            while (ReadFile(read, buffer, sizeof buffer, &n, nullptr) && n > 0) text.append(buffer, n);
        });
    }
    void finish() {
        if (thread.joinable()) thread.join();
        CloseHandle(read);
    }
};

// The visible top-level windows with a title.
std::vector<std::pair<HWND, std::string>> visible_windows() {
    std::vector<std::pair<HWND, std::string>> windows;
    EnumWindows(
        [](HWND window, LPARAM list) -> BOOL {
            wchar_t title[512];
            if (IsWindowVisible(window) && GetWindowTextW(window, title, 512) > 0)
                reinterpret_cast<std::vector<std::pair<HWND, std::string>>*>(list)->emplace_back(window, utf8(title));
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&windows));
    return windows;
}

const std::wstring scratch = L"C:\\zktest";

// Starts the spawn helper with the case's environment and options, as the Unix host starts
// it through Wine: standard streams through pipes, or (`console`) on a console of its own.
Result spawn(const std::string& command_line, const Environment& environment, const std::string& input,
             const Environment& spawn_options, std::vector<std::string>* windows, bool console) {
    const std::wstring result_file = scratch + L"\\exit-code.txt", screen_file = scratch + L"\\screen.txt";
    DeleteFileW(result_file.c_str());
    DeleteFileW(screen_file.c_str());
    Environment env = environment;
    for (auto& option : spawn_options) env.push_back(option);
    env.emplace_back("ZKSPAWN_CMDLINE", command_line);
    env.emplace_back("ZKSPAWN_RESULT", utf8(result_file));
    if (console) env.emplace_back("ZKSPAWN_SCREEN", utf8(screen_file));
    std::wstring block = environment_block(env);

    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE in_read = nullptr;
    PipeReader out, err;
    HANDLE out_write = nullptr, err_write = nullptr;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    if (!console) {
        // Standard input from a file, as the Unix host gives it: its end is an end of file, where
        // a pipe's would be an error (ERROR_BROKEN_PIPE).
        const std::wstring input_file = scratch + L"\\stdin.txt";
        write_file(utf8(input_file), input);
        in_read = CreateFileW(input_file.c_str(), GENERIC_READ, FILE_SHARE_READ, &inheritable, OPEN_EXISTING, 0, nullptr);
        if (in_read == INVALID_HANDLE_VALUE || !CreatePipe(&out.read, &out_write, &inheritable, 0) ||
            !CreatePipe(&err.read, &err_write, &inheritable, 0))
            fail("cannot make the standard streams of a process");
        for (HANDLE own : {out.read, err.read}) SetHandleInformation(own, HANDLE_FLAG_INHERIT, 0);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = in_read;
        startup.hStdOutput = out_write;
        startup.hStdError = err_write;
    }
    std::wstring program = helper(L"x64", "spawn.exe"), line = L"spawn.exe";
    // A console of its own, hidden (the run's), or shown (a user's console).
    DWORD flags = CREATE_UNICODE_ENVIRONMENT | (console ? CREATE_NEW_CONSOLE : CREATE_NO_WINDOW);
    std::vector<std::pair<HWND, std::string>> before;
    if (windows != nullptr) before = visible_windows();
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, !console, flags, block.data(), nullptr,
                        &startup, &process))
        fail("cannot start " + utf8(program));
    CloseHandle(process.hThread);
    if (!console) {
        for (HANDLE child_end : {in_read, out_write, err_write}) CloseHandle(child_end);
        out.start();
        err.start();
    }
    // Every window that shows is noted, then closed as a user closes it, so that no case
    // waits for a click (the spawn helper's time-out ends it all the same).
    std::set<HWND> seen;
    for (auto& [window, title] : before) seen.insert(window);
    while (WaitForSingleObject(process.hProcess, 50) == WAIT_TIMEOUT) {
        if (windows == nullptr) continue;
        for (auto& [window, title] : visible_windows()) {
            if (!seen.insert(window).second) continue;
            windows->push_back(title);
            PostMessageW(window, WM_CLOSE, 0, 0);
        }
    }
    DWORD status = 0;
    GetExitCodeProcess(process.hProcess, &status);
    CloseHandle(process.hProcess);
    if (!console) {
        out.finish();
        err.finish();
    }
    Result r{0, out.text, err.text};
    if (console) r.out = read_file(utf8(screen_file));
    std::string code = read_file(utf8(result_file));
    if (status != 0 || code.empty()) throw std::runtime_error("spawn failed (" + std::to_string(status) + "): " + r.err);
    r.exit_code = static_cast<uint32_t>(std::stoul(code));
    return r;
}

// A mount point's reparse data (REPARSE_DATA_BUFFER, which the SDK headers keep to drivers).
struct MountPointReparse {
    DWORD tag;
    WORD data_length, reserved;
    WORD substitute_offset, substitute_length, print_offset, print_length;
    wchar_t paths[1024];
};

}  // namespace

// ---- The host's operations ----------------------------------------------------------------

void start() {
    // A child that crashes must not wait for a dialog nobody answers.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    HKEY probe = nullptr;
    LSTATUS status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\zklaunch-e2e-check", 0, nullptr, 0, KEY_WRITE,
                                     nullptr, &probe, nullptr);
    if (status != ERROR_SUCCESS)
        fail("the cases write HKEY_LOCAL_MACHINE and folders at the root of drive C: run zk_e2e.exe as an "
             "administrator (an elevated prompt)",
             static_cast<DWORD>(status));
    RegCloseKey(probe);
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\zklaunch-e2e-check");
    // What a run that was killed left set aside goes back first.
    put_back_what_was_saved();
    for (const Saved& k : saved_keys) copy_tree(k.root, k.key, HKEY_CURRENT_USER, std::wstring(backup_key) + L"\\" + k.as);
    save_local_appdata(backup_key);
    const std::wstring ini = local_appdata_folder() + L"\\zk.ini", aside = ini + L".zk-e2e-saved";
    if (present(ini) && !present(aside)) MoveFileW(ini.c_str(), aside.c_str());
    make_folders(scratch);
}

void stop() {
    put_back_what_was_saved();
    const std::wstring ini = local_appdata_folder() + L"\\zk.ini", aside = ini + L".zk-e2e-saved";
    if (present(aside)) MoveFileExW(aside.c_str(), ini.c_str(), MOVEFILE_REPLACE_EXISTING);
    for (const std::wstring& c : created) remove_tree(c);
    created.clear();
}

void write_file(const std::string& path, const std::string& bytes) {
    std::wstring p = wide(path);
    make_folders(parent_of(p));
    bool existed = present(p);
    HANDLE f = CreateFileW(api_path(p).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) fail("cannot write " + path);
    DWORD written = 0;
    BOOL ok = WriteFile(f, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(f);
    if (!ok) fail("cannot write " + path);
    if (!existed) note_created(p);
}

void copy_file(const std::string& host_source, const std::string& path) {
    write_file(path, "");
    if (!CopyFileW(api_path(wide(host_source)).c_str(), api_path(wide(path)).c_str(), FALSE))
        fail("cannot copy " + host_source + " to " + path);
}

void forget_files() {
    for (const std::wstring& c : created)
        if (c != scratch) remove_tree(c);
    std::erase_if(created, [](const std::wstring& c) { return c != scratch; });
    DeleteFileW((local_appdata_folder() + L"\\zk.ini").c_str());
}

bool exists(const std::string& path) { return present(wide(path)); }

std::string read_file(const std::string& path) {
    HANDLE f = CreateFileW(api_path(wide(path)).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE) return "";
    std::string bytes;
    char buffer[4096];
    DWORD n = 0;
    while (ReadFile(f, buffer, sizeof buffer, &n, nullptr) && n > 0) bytes.append(buffer, n);
    CloseHandle(f);
    return bytes;
}

void remove_file(const std::string& path) { DeleteFileW(api_path(wide(path)).c_str()); }

std::string symlink(const std::string& target, const std::string& link) {
    std::wstring t = wide(target), l = wide(link);
    remove_tree(l);
    make_folders(parent_of(l));
    DWORD flags = (attributes(t) & FILE_ATTRIBUTE_DIRECTORY) ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0;
    // Without elevation only in Developer Mode; Windows before 10 1703 refuses the flag.
    constexpr DWORD allow_unprivileged = 0x2;
    BOOL made = CreateSymbolicLinkW(l.c_str(), t.c_str(), flags | allow_unprivileged);
    if (!made && GetLastError() == ERROR_INVALID_PARAMETER) made = CreateSymbolicLinkW(l.c_str(), t.c_str(), flags);
    if (!made)
        return "Windows made no symbolic link (error " + std::to_string(GetLastError()) +
               "): it needs Developer Mode or the right to create symbolic links";
    note_created(l);
    if (!(attributes(l) & FILE_ATTRIBUTE_REPARSE_POINT) || !present(l))
        return under_wine() ? "this Wine's CreateSymbolicLinkW returns TRUE and makes no link"
                            : "CreateSymbolicLinkW made no link that Windows follows";
    return "";
}

std::string junction(const std::string& target, const std::string& link) {
    std::wstring t = wide(target), l = wide(link);
    remove_tree(l);
    make_folders(l);
    HANDLE folder = CreateFileW(l.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (folder == INVALID_HANDLE_VALUE) fail("cannot open " + link);
    const std::wstring substitute = L"\\??\\" + t;
    MountPointReparse data{};
    data.tag = IO_REPARSE_TAG_MOUNT_POINT;
    data.substitute_length = static_cast<WORD>(substitute.size() * sizeof(wchar_t));
    data.print_offset = static_cast<WORD>(data.substitute_length + sizeof(wchar_t));
    data.print_length = static_cast<WORD>(t.size() * sizeof(wchar_t));
    wmemcpy(data.paths, substitute.c_str(), substitute.size());
    wmemcpy(data.paths + substitute.size() + 1, t.c_str(), t.size());
    data.data_length = static_cast<WORD>(8 + data.print_offset + data.print_length + sizeof(wchar_t));
    DWORD returned = 0;
    BOOL made = DeviceIoControl(folder, FSCTL_SET_REPARSE_POINT, &data, data.data_length + 8, nullptr, 0, &returned,
                                nullptr);
    DWORD error = GetLastError();
    CloseHandle(folder);
    if (!made || !(attributes(l) & FILE_ATTRIBUTE_REPARSE_POINT))
        return (under_wine() ? "this Wine makes no junction (error " : "Windows made no junction (error ") +
               std::to_string(made ? 0 : error) + ")";
    return "";
}

std::string short_path(const std::string& path) {
    wchar_t short_name[32768];
    DWORD n = GetShortPathNameW(api_path(wide(path)).c_str(), short_name, 32768);
    if (n == 0 || n >= 32768) return path;
    std::wstring s = short_name;
    if (s.compare(0, 4, L"\\\\?\\") == 0) s = s.substr(4);
    return utf8(s);
}

std::string local_appdata() { return utf8(local_appdata_folder()); }

void reg_import(const std::string& body) {
    std::wstring text = wide(body);
    HKEY current = nullptr;
    auto close_current = [&] {
        if (current != nullptr) RegCloseKey(current);
        current = nullptr;
    };
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find(L'\n', start);
        if (end == std::wstring::npos) end = text.size();
        std::wstring line = text.substr(start, end - start);
        start = end + 1;
        while (!line.empty() && (line.back() == L'\r' || line.back() == L' ')) line.pop_back();
        if (line.empty()) continue;
        if (line[0] == L'[') {
            close_current();
            bool remove = line[1] == L'-';
            std::wstring rest;
            HKEY root = split_root(line.substr(remove ? 2 : 1, line.size() - (remove ? 3 : 2)), &rest);
            if (remove) {
                LSTATUS status = RegDeleteTreeW(root, rest.c_str());
                if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND)
                    fail("cannot delete the registry key " + utf8(rest), static_cast<DWORD>(status));
                continue;
            }
            LSTATUS status = RegCreateKeyExW(root, rest.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &current, nullptr);
            if (status != ERROR_SUCCESS) fail("cannot create the registry key " + utf8(rest), static_cast<DWORD>(status));
            continue;
        }
        if (current == nullptr) throw std::runtime_error("a .reg value outside a key: " + utf8(line));
        size_t at = 0;
        std::wstring name;
        if (line[0] == L'@') {
            at = 1;
        } else {
            name = reg_string(line, &at);
        }
        if (at >= line.size() || line[at] != L'=') throw std::runtime_error("a .reg line the cases do not use: " + utf8(line));
        set_value(current, name, line.substr(at + 1));
    }
    close_current();
}

Result detail::run_once(const std::string& command_line, const Environment& environment, const std::string& input,
                        const Environment& spawn_options, std::vector<std::string>* windows) {
    return spawn(command_line, environment, input, spawn_options, windows, false);
}

void detail::pause(int seconds) { Sleep(static_cast<DWORD>(seconds) * 1000); }

std::string explain_windows(const std::string& command_line, const Environment& environment,
                            const Environment& spawn_options) {
    std::vector<std::string> windows;
    Result r = detail::run_once(command_line, environment, "", spawn_options, &windows);
    std::string report = "again: exit code " + std::to_string(r.exit_code) + ", windows:";
    for (const std::string& title : windows) report += " '" + title + "'";
    report += "\nvisible now:";
    for (auto& [window, title] : visible_windows()) report += " '" + title + "'";
    return report + "\n" + r.err;
}

Result run_by_loader(const std::string& path, const std::string& arguments, const Environment& environment) {
    return run(arguments.empty() ? path : path + " " + arguments, environment);
}

Result run_on_console(const std::string& command_line, const Environment& environment, const std::string& ready,
                      const std::string& keys) {
    Environment options;
    if (!ready.empty()) options.emplace_back("ZKSPAWN_READY", ready);
    if (!keys.empty()) options.emplace_back("ZKSPAWN_KEYS", keys);
    return spawn(command_line, environment, "", options, nullptr, true);
}

std::string missing(Feature feature) {
    switch (feature) {
    case Feature::console_close:
        return under_wine() ? "this Wine delivers no console close event (a closed console ends its processes "
                              "without calling their handlers)"
                            : "";
    case Feature::long_paths: {
        if (under_wine()) return "this Wine starts no program from a path of 260 characters or more";
        DWORD enabled = 0, size = sizeof enabled;
        if (RegGetValueW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\FileSystem", L"LongPathsEnabled",
                         RRF_RT_REG_DWORD, nullptr, &enabled, &size) != ERROR_SUCCESS ||
            enabled != 1)
            return "long paths are not enabled on this machine (LongPathsEnabled is not 1)";
        return "";
    }
    case Feature::console_screen:
        return "";
    case Feature::signing:
        return "signing a launcher needs osslsigncode and a throwaway authority, which the Unix side has; to test "
               "signed launchers here, point --launchers at a signed release";
    }
    return "unknown feature";
}

std::string signed_copy(const std::string&) { throw std::runtime_error("signing is the Unix side's"); }

std::string native_build(const std::string& file) { return utf8(helper(L"x64", file)); }
std::string win32_build(const std::string& file) { return utf8(helper(L"x86", file)); }
std::string launcher_build(const std::string& file) {
    return utf8(helper(width_name(), file));
}
std::string launcher_exe(bool windowless) {
    return utf8(options.launchers + (windowless ? L"\\zklaunchw.exe" : L"\\zklaunch.exe"));
}
int launcher_bits() { return options.width == Width::x86 ? 32 : 64; }
bool runs_i386() { return true; }

}  // namespace host

namespace {

int usage(const char* problem) {
    fprintf(stderr,
            "zk_e2e: %s\nusage: zk_e2e.exe --launchers DIR --width x64|x86|arm64 [--helpers DIR] "
            "[GoogleTest's options]\n",
            problem);
    return 2;
}

std::wstring full_path(const std::wstring& path) {
    wchar_t full[32768];
    DWORD n = GetFullPathNameW(path.c_str(), 32768, full, nullptr);
    std::wstring f = n > 0 && n < 32768 ? std::wstring(full) : path;
    while (f.size() > 3 && f.back() == L'\\') f.pop_back();
    return f;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    SetConsoleOutputCP(CP_UTF8);
    ::testing::InitGoogleTest(&argc, argv);
    using host::options;
    wchar_t own[32768];
    GetModuleFileNameW(nullptr, own, 32768);
    options.helpers = std::wstring(own).substr(0, std::wstring(own).find_last_of(L'\\')) + L"\\helpers";
    bool width_given = false;
    for (int i = 1; i < argc; ++i) {
        std::wstring option = argv[i];
        if (i + 1 >= argc) return usage("an option without its value, or an unknown option");
        std::wstring value = argv[++i];
        if (option == L"--launchers") {
            options.launchers = full_path(value);
        } else if (option == L"--helpers") {
            options.helpers = full_path(value);
        } else if (option == L"--width") {
            width_given = true;
            if (value == L"x86") options.width = host::Width::x86;
            else if (value == L"x64") options.width = host::Width::x64;
            else if (value == L"arm64") options.width = host::Width::arm64;
            else return usage("the width is x64, x86 or arm64");
        } else {
            return usage("an unknown option");
        }
    }
    if (options.launchers.empty() || !width_given) return usage("--launchers and --width are needed");
    for (const wchar_t* name : {L"\\zklaunch.exe", L"\\zklaunchw.exe"})
        if (!host::present(options.launchers + name)) return usage("no zklaunch.exe and zklaunchw.exe in --launchers");
    for (const char* file : {"spawn.exe", "zelkor_stub.exe"})
        if (!host::present(host::helper(L"x64", file)) || !host::present(host::helper(L"x86", file)))
            return usage("the helpers folder lacks x64\\ or x86\\ with spawn.exe and zelkor_stub.exe");
    if (!host::present(host::helper(host::width_name(), "planted.dll")))
        return usage("the helpers folder lacks the planted.dll of the launchers' width");
    printf("zk_e2e: the %ls launchers in %ls%s\n", host::width_name(),
           options.launchers.c_str(), host::under_wine() ? ", under Wine" : "");
    return RUN_ALL_TESTS();
}
