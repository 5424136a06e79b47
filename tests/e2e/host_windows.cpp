// The test host inside Windows (host.h), with Win32 calls only: zk_e2e.exe, which runs the
// end-to-end cases under Wine here and natively on Windows, against the launchers its
// command line names:
//
//   zk_e2e.exe --launchers DIR --width x64|x86|arm64 [--helpers DIR]
//              [--allowed-skips FILE --runner NAME] [GoogleTest's options]
//   zk_e2e.exe --put-back
//
// DIR holds zklaunch.exe and zklaunchw.exe; the helpers folder (by default "helpers"
// beside the program) holds x64\, x86\ and arm64\, each with the stub interpreter, the
// spawn helper and the DLL the cases plant, of that width. With --allowed-skips, every
// case that skips must have a row for the runner NAME in FILE (skip_list.h), else the
// program fails naming each skip that has none.
//
// The cases change the machine: folders at the root of drive C (C:\d, C:\zkt, ...), the
// Zelkor keys of both registry roots, the user's "Local AppData" folder value, the
// console's delegation values (conhost's console for the run, whatever the user chose)
// and the per-user zk.ini. The program needs an administrator's rights, sets aside what
// was there before it changes anything (the set-aside, in the machine's key
// SOFTWARE\zklaunch-e2e, where any administrator's later run finds it, complete once its
// last value is written), and puts it back when it ends; after a run that was killed, at
// the next start, or with --put-back alone. Run it on a machine kept for testing all the same.
#include <windows.h>
#include <sddl.h>
#include <shlobj.h>
#include <softpub.h>
#include <wintrust.h>
#include <winioctl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <map>
#include <set>
#include <stdexcept>

#include "e2e/host.h"
#include "e2e/skip_list.h"

namespace host {

namespace {

enum class Width { x86, x64, arm64 };
struct Options {
    std::wstring launchers, helpers, allowed_skips, runner, terminate_at;
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

// A run killed at a chosen point (--terminate-at, for the check of the put-back), as a
// killed run ends: at once, nothing put back. "set-aside": half-way through the
// set-aside; "change:N": at the N-th change the cases make (a file written, a .reg
// applied), in the middle of a case.
void terminate_at(const wchar_t* point) {
    static int changes = 0;
    const std::wstring& chosen = options.terminate_at;
    if (chosen.empty()) return;
    bool now = chosen == point;
    if (wcscmp(point, L"change") == 0 && chosen.compare(0, 7, L"change:") == 0)
        now = ++changes == _wtoi(chosen.c_str() + 7);
    if (!now) return;
    fflush(stdout);
    TerminateProcess(GetCurrentProcess(), 9);
}

// A path as the file functions take it at any length: \\?\ before a long absolute one.
std::wstring api_path(const std::wstring& path) {
    if (path.size() >= 248 && path.size() > 2 && path[1] == L':') return L"\\\\?\\" + path;
    return path;
}

DWORD attributes(const std::wstring& path) { return GetFileAttributesW(api_path(path).c_str()); }
bool present(const std::wstring& path) { return attributes(path) != INVALID_FILE_ATTRIBUTES; }

std::wstring parent_of(const std::wstring& path) { return path.substr(0, path.find_last_of(L'\\')); }

// A file a program has just ended with can be held a moment longer (its image still
// mapped, a scanner reading it, a delete still pending in its folder): such errors are
// tried again for up to five seconds. `attempt` returns whether it succeeded, the error
// in GetLastError when not.
template <class F>
bool retried(F&& attempt) {
    const DWORD start = GetTickCount();
    for (;;) {
        if (attempt()) return true;
        const DWORD error = GetLastError();
        const bool transient = error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION ||
                               error == ERROR_ACCESS_DENIED || error == ERROR_DIR_NOT_EMPTY ||
                               error == ERROR_USER_MAPPED_FILE;
        if (!transient || GetTickCount() - start > 5000) {
            SetLastError(error);
            return false;
        }
        Sleep(50);
    }
}

// Removes a file, a link (never what it leads to) or a folder with all it holds; false
// (the error in GetLastError) when something stayed.
bool remove_tree(const std::wstring& path) {
    DWORD a = attributes(path);
    if (a == INVALID_FILE_ATTRIBUTES) return true;
    std::wstring p = api_path(path);
    SetFileAttributesW(p.c_str(), a & ~FILE_ATTRIBUTE_READONLY);
    bool all = true;
    if ((a & FILE_ATTRIBUTE_DIRECTORY) && !(a & FILE_ATTRIBUTE_REPARSE_POINT)) {
        WIN32_FIND_DATAW found;
        HANDLE search = FindFirstFileW((p + L"\\*").c_str(), &found);
        if (search != INVALID_HANDLE_VALUE) {
            do {
                std::wstring name = found.cFileName;
                if (name != L"." && name != L"..") all = remove_tree(path + L"\\" + name) && all;
            } while (FindNextFileW(search, &found));
            FindClose(search);
        }
    }
    if (a & FILE_ATTRIBUTE_DIRECTORY) return retried([&] { return RemoveDirectoryW(p.c_str()) != FALSE; }) && all;
    return retried([&] { return DeleteFileW(p.c_str()) != FALSE; }) && all;
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

const std::wstring scratch = L"C:\\zktest";

// ---- The set-aside -----------------------------------------------------------------------
//
// HKEY_LOCAL_MACHINE\SOFTWARE\zklaunch-e2e\set-aside holds what the run will change, as it
// was: under parts\N each key tree, value or file (its kind, where it is, whether it
// existed, a copy), under folders\ each folder or file the run created (written before it
// is created), and the value "complete", written last. Nothing is changed before it is
// there: a record without it is a set-aside that was killed half-way, which changed
// nothing and is dropped. A user's part names that user's hive (HKEY_USERS\SID): another
// administrator's run puts it back while that hive is loaded, and otherwise keeps it under
// zklaunch-e2e\left for a later run.
//
// The registry's two views (Windows' registry redirector): every key is opened in the view
// it belongs to, named explicitly (KEY_WOW64_64KEY, KEY_WOW64_32KEY), and a key tree of the
// 32-bit view is saved, deleted and put back through handles opened in that view; the
// reserved WOW6432Node is never opened by name. A part records its view (32 or 64).

const wchar_t* const own_key = L"SOFTWARE\\zklaunch-e2e";
const wchar_t* const record_key = L"SOFTWARE\\zklaunch-e2e\\set-aside";
const wchar_t* const left_key = L"SOFTWARE\\zklaunch-e2e\\left";
const wchar_t* const shell_folders = L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";
// Windows 11 may hand a new console to Windows Terminal, whose window is no console window
// and whose buffer is the window's size: the cases' consoles are conhost's.
const wchar_t* const console_startup = L"Console\\%%Startup";
const wchar_t* const conhost = L"{B23D10C0-E52E-411E-9D5B-C09FDF709C7D}";

struct Part {
    const wchar_t* kind;  // "tree" or "value"
    bool user;            // of the user's hive, else of the machine's
    const wchar_t* key;
    const wchar_t* value;
    REGSAM view;          // KEY_WOW64_64KEY or KEY_WOW64_32KEY
};
const Part parts[] = {
    {L"tree", false, L"SOFTWARE\\Zelkor", nullptr, KEY_WOW64_64KEY},
    {L"tree", false, L"SOFTWARE\\Zelkor", nullptr, KEY_WOW64_32KEY},
    {L"tree", true, L"SOFTWARE\\Zelkor", nullptr, KEY_WOW64_64KEY},
    {L"value", true, shell_folders, L"Local AppData", KEY_WOW64_64KEY},
    {L"value", true, console_startup, L"DelegationConsole", KEY_WOW64_64KEY},
    {L"value", true, console_startup, L"DelegationTerminal", KEY_WOW64_64KEY},
};

HKEY create_key(HKEY root, const std::wstring& path, REGSAM view = KEY_WOW64_64KEY) {
    HKEY key = nullptr;
    LSTATUS status = RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | view, nullptr, &key, nullptr);
    if (status != ERROR_SUCCESS) fail("cannot create the registry key " + utf8(path), static_cast<DWORD>(status));
    return key;
}

HKEY open_key(HKEY root, const std::wstring& path, REGSAM view = KEY_WOW64_64KEY) {
    HKEY key = nullptr;
    return RegOpenKeyExW(root, path.c_str(), 0, KEY_ALL_ACCESS | view, &key) == ERROR_SUCCESS ? key : nullptr;
}

// Deletes the key `path` of `root`, in `view`, with all it holds: its subkeys and values
// through its own handle opened in that view (RegDeleteTreeW), then the key itself
// (RegDeleteKeyExW, which takes the view). ERROR_FILE_NOT_FOUND where there is none.
LSTATUS delete_tree(HKEY root, const std::wstring& path, REGSAM view) {
    HKEY key = nullptr;
    const REGSAM rights = DELETE | KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE | KEY_SET_VALUE;  // RegDeleteTreeW's
    LSTATUS status = RegOpenKeyExW(root, path.c_str(), 0, rights | view, &key);
    if (status != ERROR_SUCCESS) return status;
    status = RegDeleteTreeW(key, nullptr);
    RegCloseKey(key);
    return status != ERROR_SUCCESS ? status : RegDeleteKeyExW(root, path.c_str(), view, 0);
}

// A machine key as a .reg file names it, as the key and its view: a .reg file (regedit's
// own exports) writes the 32-bit view's keys under SOFTWARE\WOW6432Node, which is opened
// here as SOFTWARE in the 32-bit view.
std::wstring in_view(const std::wstring& key, REGSAM* view) {
    const std::wstring node = L"SOFTWARE\\WOW6432Node";
    *view = KEY_WOW64_64KEY;
    if (key.size() < node.size() || (key.size() > node.size() && key[node.size()] != L'\\') ||
        CompareStringOrdinal(key.c_str(), static_cast<int>(node.size()), node.c_str(), static_cast<int>(node.size()),
                             TRUE) != CSTR_EQUAL)
        return key;
    *view = KEY_WOW64_32KEY;
    return L"SOFTWARE" + key.substr(node.size());
}

void set_raw(HKEY key, const wchar_t* name, DWORD type, const void* data, size_t size) {
    LSTATUS status = RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), static_cast<DWORD>(size));
    if (status != ERROR_SUCCESS) fail("cannot set the registry value " + utf8(name ? name : L"@"), static_cast<DWORD>(status));
}
void set_text(HKEY key, const wchar_t* name, const std::wstring& text) {
    set_raw(key, name, REG_SZ, text.c_str(), (text.size() + 1) * sizeof(wchar_t));
}
void set_dword(HKEY key, const wchar_t* name, DWORD value) { set_raw(key, name, REG_DWORD, &value, sizeof value); }

// A value's type and bytes as stored (unexpanded); false when there is none.
bool get_raw(HKEY key, const wchar_t* name, DWORD* type, std::vector<BYTE>* data) {
    DWORD size = 0;
    const DWORD flags = RRF_RT_ANY | RRF_NOEXPAND;
    if (RegGetValueW(key, nullptr, name, flags, type, nullptr, &size) != ERROR_SUCCESS) return false;
    data->resize(size);
    if (RegGetValueW(key, nullptr, name, flags, type, data->data(), &size) != ERROR_SUCCESS) return false;
    data->resize(size);
    return true;
}
std::wstring get_text(HKEY key, const wchar_t* name) {
    DWORD type = 0;
    std::vector<BYTE> data;
    if (!get_raw(key, name, &type, &data) || type != REG_SZ) return L"";
    return std::wstring(reinterpret_cast<const wchar_t*>(data.data()));
}
DWORD get_dword(HKEY key, const wchar_t* name) {
    DWORD value = 0, size = sizeof value;
    return RegGetValueW(key, nullptr, name, RRF_RT_REG_DWORD, nullptr, &value, &size) == ERROR_SUCCESS ? value : 0;
}

std::vector<std::wstring> subkeys(HKEY key) {
    std::vector<std::wstring> names;
    wchar_t name[256];
    for (DWORD i = 0;; ++i) {
        DWORD size = 256;
        if (RegEnumKeyExW(key, i, name, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        names.push_back(name);
    }
    return names;
}

std::vector<std::wstring> value_names(HKEY key) {
    std::vector<std::wstring> names;
    std::vector<wchar_t> name(32768);
    for (DWORD i = 0;; ++i) {
        DWORD size = static_cast<DWORD>(name.size());
        if (RegEnumValueW(key, i, name.data(), &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        names.emplace_back(name.data(), size);
    }
    return names;
}

std::wstring user_sid() {
    HANDLE token = nullptr;
    BYTE buffer[512];
    DWORD size = 0;
    wchar_t* text = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) ||
        !GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size) ||
        !ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &text))
        fail("cannot read the user's SID");
    CloseHandle(token);
    std::wstring sid = text;
    LocalFree(text);
    return sid;
}

// The root a part names ("HKLM", or "HKU\SID"), nullptr where that user's hive is not
// loaded; given back with close_root().
HKEY open_root(const std::wstring& name) {
    if (name == L"HKLM") return HKEY_LOCAL_MACHINE;
    return name.compare(0, 4, L"HKU\\") == 0 ? open_key(HKEY_USERS, name.substr(4)) : nullptr;
}
void close_root(HKEY root) {
    if (root != nullptr && root != HKEY_LOCAL_MACHINE) RegCloseKey(root);
}

void save_part(HKEY record, int index, const Part& part, const std::wstring& root_name) {
    HKEY saved = create_key(record, L"parts\\" + std::to_wstring(index));
    HKEY root = open_root(root_name);
    if (root == nullptr) fail("cannot open the registry of " + utf8(root_name));
    set_text(saved, L"kind", part.kind);
    set_text(saved, L"root", root_name);
    set_text(saved, L"key", part.key);
    set_dword(saved, L"view", part.view == KEY_WOW64_32KEY ? 32 : 64);
    DWORD existed = 0;
    if (wcscmp(part.kind, L"tree") == 0) {
        HKEY source = nullptr;
        if (RegOpenKeyExW(root, part.key, 0, KEY_READ | part.view, &source) == ERROR_SUCCESS) {
            existed = 1;
            HKEY copy = create_key(saved, L"copy");
            LSTATUS status = RegCopyTreeW(source, nullptr, copy);
            RegCloseKey(copy);
            RegCloseKey(source);
            if (status != ERROR_SUCCESS) fail("cannot copy the registry key " + utf8(part.key), static_cast<DWORD>(status));
        }
    } else {
        set_text(saved, L"value", part.value);
        HKEY key = open_key(root, part.key, part.view);
        set_dword(saved, L"key existed", key != nullptr ? 1 : 0);
        DWORD type = 0;
        std::vector<BYTE> data;
        if (key != nullptr && get_raw(key, part.value, &type, &data)) {
            existed = 1;
            set_raw(saved, L"data", type, data.data(), data.size());
        }
        if (key != nullptr) RegCloseKey(key);
    }
    set_dword(saved, L"existed", existed);
    close_root(root);
    RegCloseKey(saved);
}

void save_file(HKEY record, int index, const std::wstring& path) {
    HKEY saved = create_key(record, L"parts\\" + std::to_wstring(index));
    set_text(saved, L"kind", L"file");
    set_text(saved, L"path", path);
    set_text(saved, L"aside", path + L".zk-e2e-saved");
    set_dword(saved, L"existed", present(path) ? 1 : 0);
    RegCloseKey(saved);
}

// Puts one saved part back as it was; false where it is of a user whose hive is not
// loaded (nothing done).
bool put_back_part(HKEY saved) {
    const std::wstring kind = get_text(saved, L"kind");
    const bool existed = get_dword(saved, L"existed") != 0;
    if (kind == L"file") {
        // Moved aside after the set-aside was complete: where the move never came, the
        // file is still the user's own.
        const std::wstring path = api_path(get_text(saved, L"path")), aside = api_path(get_text(saved, L"aside"));
        bool done = true;
        if (existed && present(aside))
            done = retried([&] { return MoveFileExW(aside.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE; });
        else if (!existed && present(path))
            done = retried([&] { return DeleteFileW(path.c_str()) != FALSE; });
        if (!done) fail("cannot put back " + utf8(path));
        return true;
    }
    HKEY root = open_root(get_text(saved, L"root"));
    if (root == nullptr) return false;
    // A part recorded without its view names a 32-bit machine key by WOW6432Node.
    REGSAM view = KEY_WOW64_64KEY;
    const DWORD recorded_view = get_dword(saved, L"view");
    const std::wstring key = recorded_view != 0 ? get_text(saved, L"key") : in_view(get_text(saved, L"key"), &view);
    if (recorded_view == 32) view = KEY_WOW64_32KEY;
    if (kind == L"tree") {
        delete_tree(root, key, view);
        if (existed) {
            HKEY copy = open_key(saved, L"copy"), target = create_key(root, key, view);
            LSTATUS status = copy != nullptr ? RegCopyTreeW(copy, nullptr, target) : ERROR_FILE_NOT_FOUND;
            RegCloseKey(target);
            if (copy != nullptr) RegCloseKey(copy);
            if (status != ERROR_SUCCESS) fail("cannot put back the registry key " + utf8(key), static_cast<DWORD>(status));
        }
    } else {
        const std::wstring value = get_text(saved, L"value");
        DWORD type = 0;
        std::vector<BYTE> data;
        LSTATUS status = ERROR_SUCCESS;
        if (existed && get_raw(saved, L"data", &type, &data)) {
            HKEY target = create_key(root, key, view);
            status = RegSetValueExW(target, value.c_str(), 0, type, data.data(), static_cast<DWORD>(data.size()));
            RegCloseKey(target);
        } else if (!existed) {
            if (HKEY target = open_key(root, key, view)) {
                RegDeleteValueW(target, value.c_str());
                RegCloseKey(target);
            }
        }
        if (status != ERROR_SUCCESS) fail("cannot put back the registry value " + utf8(value), static_cast<DWORD>(status));
        // A key the run made for the value goes too, once nothing else is in it.
        HKEY made = get_dword(saved, L"key existed") == 0 ? open_key(root, key, view) : nullptr;
        if (made != nullptr) {
            DWORD keys = 0, values = 0;
            LSTATUS asked = RegQueryInfoKeyW(made, nullptr, nullptr, nullptr, &keys, nullptr, nullptr, &values, nullptr,
                                             nullptr, nullptr, nullptr);
            RegCloseKey(made);
            if (asked == ERROR_SUCCESS && keys == 0 && values == 0) RegDeleteKeyExW(root, key.c_str(), view, 0);
        }
    }
    close_root(root);
    return true;
}

// Puts back every part kept under `parent` (one subkey each) and drops it; a part of a
// user whose hive is not loaded is moved under `left` (keep_unloaded) or stays.
void put_back_parts(HKEY parent, bool keep_unloaded) {
    for (const std::wstring& name : subkeys(parent)) {
        HKEY saved = open_key(parent, name);
        if (saved == nullptr) continue;
        const bool done = put_back_part(saved);
        if (!done && keep_unloaded) {
            HKEY kept = create_key(HKEY_LOCAL_MACHINE, std::wstring(left_key) + L"\\" + name + L"-" +
                                                           std::to_wstring(GetTickCount()));
            RegCopyTreeW(saved, nullptr, kept);
            RegCloseKey(kept);
            fprintf(stderr, "zk_e2e: kept for a later run: %ls (that user's registry is not loaded)\n",
                    get_text(saved, L"root").c_str());
        }
        RegCloseKey(saved);
        if (done || keep_unloaded) RegDeleteTreeW(parent, name.c_str());
    }
}

// Puts back what a run set aside (this run's, or a killed one's), and removes the folders
// it created; true when there was a set-aside.
bool put_back() {
    if (HKEY left = open_key(HKEY_LOCAL_MACHINE, left_key)) {
        put_back_parts(left, false);
        RegCloseKey(left);
    }
    HKEY record = open_key(HKEY_LOCAL_MACHINE, record_key);
    if (record == nullptr) {
        RegDeleteKeyExW(HKEY_LOCAL_MACHINE, left_key, KEY_WOW64_64KEY, 0);  // only when empty
        RegDeleteKeyExW(HKEY_LOCAL_MACHINE, own_key, KEY_WOW64_64KEY, 0);
        return false;
    }
    std::string stayed;
    if (get_dword(record, L"complete") == 1) {
        // What the run created first: a file it made where a saved one was moved aside
        // (the per-user zk.ini) goes before the saved one comes back.
        if (HKEY folders = open_key(record, L"folders")) {
            for (const std::wstring& path : value_names(folders)) {
                if (remove_tree(path))
                    RegDeleteValueW(folders, path.c_str());
                else
                    stayed += " " + utf8(path) + " (error " + std::to_string(GetLastError()) + ")";
            }
            RegCloseKey(folders);
        }
        if (HKEY saved = open_key(record, L"parts")) {
            put_back_parts(saved, true);
            RegCloseKey(saved);
        }
    }
    RegCloseKey(record);
    // Kept while something could not be removed: the next run tries again.
    if (!stayed.empty()) throw std::runtime_error("the run's folders could not all be removed:" + stayed);
    delete_tree(HKEY_LOCAL_MACHINE, record_key, KEY_WOW64_64KEY);
    RegDeleteKeyExW(HKEY_LOCAL_MACHINE, left_key, KEY_WOW64_64KEY, 0);
    RegDeleteKeyExW(HKEY_LOCAL_MACHINE, own_key, KEY_WOW64_64KEY, 0);
    return true;
}

std::wstring user_ini() { return local_appdata_folder() + L"\\zk.ini"; }

// Everything the run will change, as it is, then the value that makes the record
// complete; only then the changes of the run's own: the per-user zk.ini moved aside, the
// console delegated to conhost.
void set_aside() {
    HKEY record = create_key(HKEY_LOCAL_MACHINE, record_key);
    const std::wstring user = L"HKU\\" + user_sid();
    int index = 0;
    for (const Part& part : parts) {
        save_part(record, index++, part, part.user ? user : L"HKLM");
        terminate_at(L"set-aside");
    }
    save_file(record, index++, user_ini());
    set_dword(record, L"complete", 1);
    RegFlushKey(record);
    RegCloseKey(record);

    const std::wstring ini = user_ini(), aside = ini + L".zk-e2e-saved";
    if (present(ini) && !retried([&] { return MoveFileExW(ini.c_str(), aside.c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE; }))
        fail("cannot set aside " + utf8(ini));
    for (const wchar_t* name : {L"DelegationConsole", L"DelegationTerminal"}) {
        HKEY startup = create_key(HKEY_CURRENT_USER, console_startup);
        set_text(startup, name, conhost);
        RegCloseKey(startup);
    }
}

// What the run created, each the highest folder or file it made where nothing was: in the
// set-aside before it is made, and removed by forget_files() or at the end.
std::vector<std::wstring> created;

void note_created(const std::wstring& path) {
    for (const std::wstring& c : created)
        if (path.size() >= c.size() && path.compare(0, c.size(), c) == 0 &&
            (path.size() == c.size() || path[c.size()] == L'\\'))
            return;  // inside what the run made already
    HKEY folders = create_key(HKEY_LOCAL_MACHINE, std::wstring(record_key) + L"\\folders");
    set_dword(folders, path.c_str(), 1);
    RegCloseKey(folders);
    created.push_back(path);
}

void forget_created(const std::wstring& path) {
    if (!remove_tree(path)) fail("cannot remove " + utf8(path));
    HKEY folders = open_key(HKEY_LOCAL_MACHINE, std::wstring(record_key) + L"\\folders");
    if (folders != nullptr) {
        RegDeleteValueW(folders, path.c_str());
        RegCloseKey(folders);
    }
}

void make_folders(const std::wstring& folder) {
    if (folder.size() <= 3 || present(folder)) return;
    make_folders(parent_of(folder));
    note_created(folder);
    if (!CreateDirectoryW(api_path(folder).c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
        fail("cannot create the folder " + utf8(folder));
}

// ---- Registry --------------------------------------------------------------------------

// "HKEY_CURRENT_USER\x" as the root, the rest and the rest's view (in_view).
HKEY split_root(const std::wstring& key, std::wstring* rest, REGSAM* view) {
    const struct {
        const wchar_t* name;
        HKEY root;
    } roots[] = {{L"HKEY_CURRENT_USER\\", HKEY_CURRENT_USER}, {L"HKEY_LOCAL_MACHINE\\", HKEY_LOCAL_MACHINE}};
    for (auto& r : roots)
        if (key.compare(0, wcslen(r.name), r.name) == 0) {
            *rest = key.substr(wcslen(r.name));
            *view = KEY_WOW64_64KEY;
            if (r.root == HKEY_LOCAL_MACHINE) *rest = in_view(*rest, view);
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
    // Sorted by name, ignoring case, in Unicode order, as Windows wants an environment block
    // (CreateProcessW's lpEnvironment, "Changing Environment Variables").
    auto name_of = [](const std::wstring& e) { return e.substr(0, e.find(L'=', 1)); };
    std::stable_sort(entries.begin(), entries.end(), [&](const std::wstring& a, const std::wstring& b) {
        const std::wstring x = name_of(a), y = name_of(b);
        return CompareStringOrdinal(x.c_str(), static_cast<int>(x.size()), y.c_str(), static_cast<int>(y.size()), TRUE) ==
               CSTR_LESS_THAN;
    });
    std::wstring block;
    for (const std::wstring& e : entries) block += e + L'\0';
    return block + L'\0';
}

// Reads a pipe to its end on a thread of its own, so that no pipe fills while another is
// waited on. Made with new and never freed: a reader whose pipe never ends (a writer that
// could not be ended) is left to its thread.
struct PipeReader {
    HANDLE read = nullptr, thread = nullptr;
    std::string text;
    static DWORD WINAPI run(void* self) {
        auto* reader = static_cast<PipeReader*>(self);
        char buffer[4096];
        DWORD n = 0;
        while (ReadFile(reader->read, buffer, sizeof buffer, &n, nullptr) && n > 0) reader->text.append(buffer, n);
        return 0;
    }
    void start() {
        thread = CreateThread(nullptr, 0, run, this, 0, nullptr);
        if (thread == nullptr) fail("cannot start a pipe reader");
    }
    // Whether the pipe ended within `ms`. When not, the read still waiting is cancelled and
    // the pipe left to its thread: what came so far is not the whole text.
    bool finish(DWORD ms) {
        if (WaitForSingleObject(thread, ms) != WAIT_OBJECT_0) {
            CancelSynchronousIo(thread);
            return false;
        }
        CloseHandle(thread);
        CloseHandle(read);
        return true;
    }
};

// The case's processes: the spawn helper and all it starts, in a job that ends them all
// when the host lets it go.
HANDLE new_job() {
    HANDLE job = CreateJobObjectW(nullptr, nullptr);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (job == nullptr || !SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits))
        fail("cannot make a job for a case's processes");
    return job;
}

// The visible top-level windows with a title of the processes in `job`: no other window
// (the runner's, a person's) is ever noted or closed.
std::vector<std::pair<HWND, std::string>> windows_of(HANDLE job) {
    struct Search {
        std::set<DWORD> processes;
        std::vector<std::pair<HWND, std::string>> found;
    } search;
    // The job's processes by their ids (a case starts a handful).
    struct {
        JOBOBJECT_BASIC_PROCESS_ID_LIST list;
        ULONG_PTR more[255];
    } ids{};
    ids.list.NumberOfAssignedProcesses = 256;
    if (!QueryInformationJobObject(job, JobObjectBasicProcessIdList, &ids, sizeof ids, nullptr))
        fail("cannot list the processes of a case's job");
    for (DWORD i = 0; i < ids.list.NumberOfProcessIdsInList; ++i)
        search.processes.insert(static_cast<DWORD>(ids.list.ProcessIdList[i]));
    EnumWindows(
        [](HWND window, LPARAM context) -> BOOL {
            auto* s = reinterpret_cast<Search*>(context);
            wchar_t title[512];
            DWORD pid = 0;
            if (IsWindowVisible(window) && GetWindowTextW(window, title, 512) > 0 &&
                GetWindowThreadProcessId(window, &pid) != 0 && s->processes.count(pid) != 0)
                s->found.emplace_back(window, utf8(title));
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

// The spawn helper's time-out for the command (ZKSPAWN_TIMEOUT_MS, 60 s by default), to
// which the host adds its own margin.
DWORD helper_timeout(const Environment& spawn_options) {
    for (auto& [name, value] : spawn_options)
        if (name == "ZKSPAWN_TIMEOUT_MS") return static_cast<DWORD>(std::stoul(value));
    return 60000;
}

// The spawn helper's report: the exit code, or why there is none.
uint32_t exit_code_of(const std::string& report) {
    if (report.empty() || report[0] < '0' || report[0] > '9') throw std::runtime_error("spawn: " + report);
    return static_cast<uint32_t>(std::stoul(report));
}

// Starts the spawn helper with the case's environment and options, as the Unix host starts
// it through Wine: standard streams through pipes, or (`console`) on a console of its own.
// Every wait is bounded: the helper's time-out and 30 s more for the helper, 10 s for its
// pipes once it has ended; a wait that runs out throws, naming what it waited for.
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
    HANDLE in_read = nullptr, out_write = nullptr, err_write = nullptr;
    auto* out = new PipeReader;
    auto* err = new PipeReader;
    STARTUPINFOEXW extended{};
    STARTUPINFOW& startup = extended.StartupInfo;
    startup.cb = sizeof startup;
    LPPROC_THREAD_ATTRIBUTE_LIST attributes = nullptr;
    HANDLE inherited[3];
    if (!console) {
        // Standard input from a file, as the Unix host gives it: its end is an end of file, where
        // a pipe's would be an error (ERROR_BROKEN_PIPE).
        const std::wstring input_file = scratch + L"\\stdin.txt";
        write_file(utf8(input_file), input);
        in_read = CreateFileW(input_file.c_str(), GENERIC_READ, FILE_SHARE_READ, &inheritable, OPEN_EXISTING, 0, nullptr);
        if (in_read == INVALID_HANDLE_VALUE || !CreatePipe(&out->read, &out_write, &inheritable, 0) ||
            !CreatePipe(&err->read, &err_write, &inheritable, 0))
            fail("cannot make the standard streams of a process");
        for (HANDLE own : {out->read, err->read}) SetHandleInformation(own, HANDLE_FLAG_INHERIT, 0);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = inherited[0] = in_read;
        startup.hStdOutput = inherited[1] = out_write;
        startup.hStdError = inherited[2] = err_write;
        // These three alone reach the helper: no other inheritable handle of the host's (the
        // runner's own pipes among them) does.
        SIZE_T size = 0;
        InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
        attributes = static_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(HeapAlloc(GetProcessHeap(), 0, size));
        if (attributes == nullptr || !InitializeProcThreadAttributeList(attributes, 1, 0, &size) ||
            !UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited, sizeof inherited,
                                       nullptr, nullptr))
            fail("cannot list the handles a process inherits");
        extended.lpAttributeList = attributes;
        startup.cb = sizeof extended;
    }
    std::wstring program = helper(L"x64", "spawn.exe"), line = L"spawn.exe";
    // A console of its own, hidden (the run's), or shown (a user's console).
    DWORD flags = CREATE_UNICODE_ENVIRONMENT | CREATE_SUSPENDED | (console ? CREATE_NEW_CONSOLE : CREATE_NO_WINDOW) |
                  (console ? 0 : EXTENDED_STARTUPINFO_PRESENT);
    HANDLE job = new_job();
    PROCESS_INFORMATION process{};
    BOOL started = FALSE;
    DWORD start_error = 0;
    for (int attempt = 1; attempt <= 3 && !started; ++attempt) {
        started = CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, !console, flags, block.data(), nullptr,
                                 &startup, &process);
        start_error = GetLastError();
        // Wine's chance failure of a start (see host_common.cpp), made again as run() does.
        if (!started && start_error == ERROR_INTERNAL_ERROR && attempt < 3)
            detail::note_made_again("a start of the spawn helper (CreateProcessW 1359): " + command_line);
        else if (!started)
            break;
    }
    if (attributes != nullptr) {
        DeleteProcThreadAttributeList(attributes);
        HeapFree(GetProcessHeap(), 0, attributes);
    }
    if (!console)
        for (HANDLE child_end : {in_read, out_write, err_write}) CloseHandle(child_end);
    if (!started) fail("cannot start " + utf8(program), start_error);
    if (!AssignProcessToJobObject(job, process.hProcess)) {
        DWORD error = GetLastError();
        TerminateProcess(process.hProcess, 1);
        fail("cannot put the spawn helper in the case's job", error);
    }
    if (ResumeThread(process.hThread) == static_cast<DWORD>(-1)) {
        DWORD error = GetLastError();
        TerminateJobObject(job, 1);
        fail("cannot resume the spawn helper", error);
    }
    CloseHandle(process.hThread);
    if (!console) {
        out->start();
        err->start();
    }
    // Every window of the case's that shows is noted, then closed as a user closes it, so
    // that no case waits for a click (the spawn helper's time-out ends it all the same).
    const DWORD limit = helper_timeout(spawn_options) + 30000, begun = GetTickCount();
    std::set<HWND> seen;
    bool ended = false;
    while (!(ended = WaitForSingleObject(process.hProcess, 50) == WAIT_OBJECT_0) && GetTickCount() - begun < limit) {
        if (windows == nullptr) continue;
        for (auto& [window, title] : windows_of(job)) {
            if (!seen.insert(window).second) continue;
            windows->push_back(title);
            PostMessageW(window, WM_CLOSE, 0, 0);
        }
    }
    DWORD status = 0;
    GetExitCodeProcess(process.hProcess, &status);
    CloseHandle(process.hProcess);
    // Whatever of the case's still runs holds the pipes open: it ends with the job.
    TerminateJobObject(job, 0xDEAD);
    CloseHandle(job);
    std::string waited;
    if (!ended) waited = "the spawn helper running '" + command_line + "' had not ended after " +
                         std::to_string(limit / 1000) + " s";
    if (!console) {
        if (!out->finish(10000)) waited += "; its standard output had not ended 10 s after it";
        if (!err->finish(10000)) waited += "; its standard error had not ended 10 s after it";
    }
    if (!waited.empty()) throw std::runtime_error(waited);
    Result r{0, out->text, err->text};
    delete out;
    delete err;
    if (console) r.out = read_file(utf8(screen_file));
    std::string code = read_file(utf8(result_file));
    if (status != 0 || code.empty()) throw std::runtime_error("spawn failed (" + std::to_string(status) + "): " + r.err);
    r.exit_code = exit_code_of(code);
    return r;
}

// A mount point's reparse data (REPARSE_DATA_BUFFER, which the SDK headers keep to drivers).
struct MountPointReparse {
    DWORD tag;
    WORD data_length, reserved;
    WORD substitute_offset, substitute_length, print_offset, print_length;
    wchar_t paths[1024];
};

// ---- What the host gives ----------------------------------------------------------------

// The Authenticode signature of `file` checked as Windows checks it (WinVerifyTrust): 0
// when it verifies; TRUST_E_NOSIGNATURE with `*unsigned_file` when there is none.
LONG verify_signature(const std::wstring& file, bool* unsigned_file) {
    WINTRUST_FILE_INFO info{};
    info.cbStruct = sizeof info;
    info.pcwszFilePath = file.c_str();
    WINTRUST_DATA data{};
    data.cbStruct = sizeof data;
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;  // a throwaway authority publishes no list
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &info;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    LONG status = WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    // No signature at all, as against one that fails: what GetLastError adds (Windows'
    // own example of WinVerifyTrust tells them apart so).
    DWORD detail = GetLastError();
    *unsigned_file = status == TRUST_E_NOSIGNATURE &&
                     (detail == static_cast<DWORD>(TRUST_E_NOSIGNATURE) || detail == static_cast<DWORD>(TRUST_E_SUBJECT_FORM_UNKNOWN) ||
                      detail == static_cast<DWORD>(TRUST_E_PROVIDER_UNKNOWN));
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    return status;
}

// Whether links can be made here that Windows follows: a symbolic link and a junction
// made in the scratch folder, and looked at.
std::string links_missing() {
    const std::wstring target = scratch + L"\\link-target", link = scratch + L"\\link-probe";
    write_file(utf8(target + L"\\file"), "");
    std::string why = symlink(utf8(target + L"\\file"), utf8(link));
    if (why.empty()) why = junction(utf8(target), utf8(link + L"-junction"));
    for (const std::wstring& made : {link, link + L"-junction", target}) remove_tree(made);
    return why;
}

// Whether the volume of drive C makes 8.3 names, as its settings say (fsutil's 8dot3name):
// the machine's NtfsDisable8dot3NameCreation (0 on every volume, 1 on none, 2 as each
// volume says, 3 on the system volume alone), and the volume's own state. Where these
// cannot be read, a new file's name is looked at.
std::string short_names_missing() {
    DWORD setting = 0, size = sizeof setting;
    bool known = RegGetValueW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\FileSystem",
                              L"NtfsDisable8dot3NameCreation", RRF_RT_REG_DWORD, nullptr, &setting, &size) == ERROR_SUCCESS;
    if (known && setting == 1) return "this machine makes no 8.3 names (NtfsDisable8dot3NameCreation is 1)";
    if (known && setting == 3 && towupper(system_folder()[0]) != L'C')
        return "this machine makes 8.3 names on its system volume alone, which is not C:";
    if (known && setting == 2) {
        struct {
            ULONG flags, mask, version, reserved[8];
        } state{0, 1, 1, {}};  // FILE_FS_PERSISTENT_VOLUME_INFORMATION, for the short-name flag (1)
        HANDLE volume = CreateFileW(L"\\\\.\\C:", 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
        DWORD returned = 0;
        bool asked = volume != INVALID_HANDLE_VALUE &&
                     DeviceIoControl(volume, FSCTL_QUERY_PERSISTENT_VOLUME_STATE, &state, sizeof state, &state,
                                     sizeof state, &returned, nullptr);
        if (volume != INVALID_HANDLE_VALUE) CloseHandle(volume);
        if (asked) return (state.flags & 1) ? "the volume C: makes no 8.3 names (fsutil 8dot3name query C:)" : "";
    }
    if (known && (setting == 0 || setting == 3)) return "";
    const std::wstring probe = scratch + L"\\longer-than-eight.probe";
    write_file(utf8(probe), "");
    std::string short_name = short_path(utf8(probe));
    remove_tree(probe);
    return short_name.find('~') != std::string::npos ? "" : "the volume C: gave a new file no 8.3 name";
}

}  // namespace

// ---- The host's operations ----------------------------------------------------------------

void start() {
    // A child that crashes must not wait for a dialog nobody answers.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    HKEY probe = nullptr;
    LSTATUS status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\zklaunch-e2e-check", 0, nullptr, 0,
                                     KEY_WRITE | KEY_WOW64_64KEY, nullptr, &probe, nullptr);
    if (status != ERROR_SUCCESS)
        fail("the cases write HKEY_LOCAL_MACHINE and folders at the root of drive C: run zk_e2e.exe as an "
             "administrator (an elevated prompt)",
             static_cast<DWORD>(status));
    RegCloseKey(probe);
    RegDeleteKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\zklaunch-e2e-check", KEY_WOW64_64KEY, 0);
    // What a run that was killed left goes back first.
    if (put_back()) printf("zk_e2e: put back what a run that did not end left set aside\n");
    set_aside();
    make_folders(scratch);
}

void stop() {
    put_back();
    created.clear();
}

void write_file(const std::string& path, const std::string& bytes) {
    terminate_at(L"change");
    std::wstring p = wide(path);
    make_folders(parent_of(p));
    if (!present(p)) note_created(p);
    HANDLE f = INVALID_HANDLE_VALUE;
    retried([&] {
        f = CreateFileW(api_path(p).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        return f != INVALID_HANDLE_VALUE;
    });
    if (f == INVALID_HANDLE_VALUE) fail("cannot write " + path);
    DWORD written = 0;
    BOOL ok = WriteFile(f, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(f);
    if (!ok) fail("cannot write " + path);
}

void copy_file(const std::string& host_source, const std::string& path) {
    write_file(path, "");
    if (!retried([&] { return CopyFileW(api_path(wide(host_source)).c_str(), api_path(wide(path)).c_str(), FALSE) != FALSE; }))
        fail("cannot copy " + host_source + " to " + path);
}

void forget_files() {
    for (const std::wstring& c : created)
        if (c != scratch) forget_created(c);
    std::erase_if(created, [](const std::wstring& c) { return c != scratch; });
    const std::wstring ini = user_ini();
    if (present(ini) && !retried([&] { return DeleteFileW(ini.c_str()) != FALSE; })) fail("cannot remove " + utf8(ini));
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

void remove_file(const std::string& path) {
    const std::wstring p = api_path(wide(path));
    retried([&] { return DeleteFileW(p.c_str()) != FALSE || GetLastError() == ERROR_FILE_NOT_FOUND; });
}

std::string symlink(const std::string& target, const std::string& link) {
    std::wstring t = wide(target), l = wide(link);
    remove_tree(l);
    make_folders(parent_of(l));
    DWORD flags = (attributes(t) & FILE_ATTRIBUTE_DIRECTORY) ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0;
    // Without elevation only in Developer Mode; Windows before 10 1703 refuses the flag.
    constexpr DWORD allow_unprivileged = 0x2;
    note_created(l);
    BOOL made = CreateSymbolicLinkW(l.c_str(), t.c_str(), flags | allow_unprivileged);
    if (!made && GetLastError() == ERROR_INVALID_PARAMETER) made = CreateSymbolicLinkW(l.c_str(), t.c_str(), flags);
    if (!made)
        return "Windows made no symbolic link (error " + std::to_string(GetLastError()) +
               "): it needs Developer Mode or the right to create symbolic links";
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
    terminate_at(L"change");
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
            REGSAM view = 0;
            HKEY root = split_root(line.substr(remove ? 2 : 1, line.size() - (remove ? 3 : 2)), &rest, &view);
            if (remove) {
                LSTATUS status = delete_tree(root, rest, view);
                if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND)
                    fail("cannot delete the registry key " + utf8(rest), static_cast<DWORD>(status));
                continue;
            }
            LSTATUS status =
                RegCreateKeyExW(root, rest.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | view, nullptr, &current, nullptr);
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

std::string detail::spawn_helper() { return utf8(helper(L"x64", "spawn.exe")); }

std::string explain_windows(const std::string& command_line, const Environment& environment,
                            const Environment& spawn_options) {
    std::vector<std::string> windows;
    Result r = detail::run_once(command_line, environment, "", spawn_options, &windows);
    std::string report = "again: exit code " + std::to_string(r.exit_code) + ", windows:";
    for (const std::string& title : windows) report += " '" + title + "'";
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

namespace {

std::string ask(Feature feature) {
    switch (feature) {
    case Feature::console_close:
        return under_wine() ? "this Wine delivers no console close event (a closed console ends its processes "
                              "without calling their handlers)"
                            : "";
    case Feature::long_paths: {
        const std::string why = detail::long_path_start();
        if (why.empty()) return "";
        if (under_wine()) return "this Wine starts no program from a path of 260 characters or more: " + why;
        DWORD enabled = 0, size = sizeof enabled;
        if (RegGetValueW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\FileSystem", L"LongPathsEnabled",
                         RRF_RT_REG_DWORD, nullptr, &enabled, &size) != ERROR_SUCCESS ||
            enabled != 1)
            return "long paths are not enabled on this machine (LongPathsEnabled is not 1): " + why;
        return "this system starts no program from a path of 260 characters or more: " + why;
    }
    case Feature::console_screen:
        return "";
    case Feature::signing: {
        bool unsigned_file = false;
        verify_signature(wide(launcher_exe()), &unsigned_file);
        return unsigned_file ? "the launchers under test carry no Authenticode signature (an unsigned build; a "
                               "release signed by its pipeline runs this case)"
                             : "";
    }
    case Feature::links:
        return links_missing();
    case Feature::short_names:
        return short_names_missing();
    }
    return "unknown feature";
}

}  // namespace

std::string missing(Feature feature) {
    static std::map<Feature, std::string> known;
    auto found = known.find(feature);
    if (found == known.end()) found = known.emplace(feature, ask(feature)).first;
    return found->second;
}

std::string signed_copy(const std::string& host_source) {
    bool unsigned_file = false;
    LONG status = verify_signature(wide(host_source), &unsigned_file);
    if (status != 0) {
        char code[16];
        snprintf(code, sizeof code, "%08lX", static_cast<unsigned long>(status));
        throw std::runtime_error(host_source + (unsigned_file ? " carries no signature" : "'s signature does not verify") +
                                 ": WinVerifyTrust gave 0x" + code);
    }
    return host_source;
}

Environment dll_search_as_windows(const std::vector<std::string>& names) {
    if (!under_wine()) return {};
    // Windows' own search is what is asked for; this Wine loads its builtin DLLs first
    // unless told to search for these as Windows does.
    std::string list;
    for (const std::string& name : names) list += (list.empty() ? "" : ",") + name;
    return {{"WINEDLLOVERRIDES", list + "=n,b"}};
}

std::string native_build(const std::string& file) { return utf8(helper(L"x64", file)); }
std::string win32_build(const std::string& file) { return utf8(helper(L"x86", file)); }
std::string launcher_build(const std::string& file) {
    return utf8(helper(width_name(), file));
}
std::string launcher_exe(bool windowless) {
    return utf8(options.launchers + (windowless ? L"\\zklaunchw.exe" : L"\\zklaunch.exe"));
}
int launcher_bits() { return options.width == Width::x86 ? 32 : 64; }

}  // namespace host

namespace {

int usage(const char* problem) {
    fprintf(stderr,
            "zk_e2e: %s\nusage: zk_e2e.exe --launchers DIR --width x64|x86|arm64 [--helpers DIR] "
            "[--allowed-skips FILE --runner NAME] [GoogleTest's options]\n       zk_e2e.exe --put-back\n",
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

// After the run: every skip must have its row for the runner in the allow-list; each that
// has none is named, and fails the run.
int judge_skips(int status) {
    using host::options;
    if (options.allowed_skips.empty()) return status;
    std::vector<skip_list::Row> rows;
    try {
        const std::string table = host::read_file(host::utf8(options.allowed_skips));
        if (table.empty() && !host::present(options.allowed_skips)) throw std::runtime_error("no such file");
        rows = skip_list::parse(table);
    } catch (const std::exception& e) {
        fprintf(stderr, "zk_e2e: the allowed skips in %ls: %s\n", options.allowed_skips.c_str(), e.what());
        return 1;
    }
    std::vector<skip_list::Skip> skipped;
    std::vector<std::string> ran;
    const ::testing::UnitTest& unit = *::testing::UnitTest::GetInstance();
    for (int i = 0; i < unit.total_test_suite_count(); ++i) {
        const ::testing::TestSuite& suite = *unit.GetTestSuite(i);
        for (int j = 0; j < suite.total_test_count(); ++j) {
            const ::testing::TestInfo& test = *suite.GetTestInfo(j);
            if (!test.should_run()) continue;
            const std::string name = std::string(suite.name()) + "." + test.name();
            ran.push_back(name);
            if (!test.result()->Skipped()) continue;
            std::string reason;
            for (int k = 0; k < test.result()->total_part_count(); ++k)
                if (test.result()->GetTestPartResult(k).skipped()) reason += test.result()->GetTestPartResult(k).message();
            skipped.push_back({name, reason});
        }
    }
    const std::string runner = host::utf8(options.runner);
    for (const skip_list::Row& row : skip_list::unused(rows, runner, ran, skipped))
        printf("zk_e2e: note: %s ran on %s, which the allowed skips still let it skip (%s)\n", row.test.c_str(),
               runner.c_str(), row.why.c_str());
    const std::vector<skip_list::Skip> unlisted = skip_list::unlisted(rows, runner, skipped);
    for (const skip_list::Skip& s : unlisted)
        fprintf(stderr, "zk_e2e: %s skipped on %s, which the allowed skips do not list: %s\n", s.test.c_str(),
                runner.c_str(), s.reason.c_str());
    return unlisted.empty() ? status : 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    SetConsoleOutputCP(CP_UTF8);
    ::testing::InitGoogleTest(&argc, argv);
    using host::options;
    if (argc == 2 && std::wstring(argv[1]) == L"--put-back") {
        try {
            printf(host::put_back() ? "zk_e2e: put back what an earlier run set aside\n"
                                    : "zk_e2e: nothing was set aside\n");
            return 0;
        } catch (const std::exception& e) {
            fprintf(stderr, "zk_e2e: %s\n", e.what());
            return 1;
        }
    }
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
        } else if (option == L"--allowed-skips") {
            options.allowed_skips = full_path(value);
        } else if (option == L"--runner") {
            options.runner = value;
        } else if (option == L"--terminate-at") {
            options.terminate_at = value;
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
    if (options.allowed_skips.empty() != options.runner.empty()) return usage("--allowed-skips and --runner go together");
    for (const wchar_t* name : {L"\\zklaunch.exe", L"\\zklaunchw.exe"})
        if (!host::present(options.launchers + name)) return usage("no zklaunch.exe and zklaunchw.exe in --launchers");
    for (const char* file : {"spawn.exe", "zelkor_stub.exe"})
        if (!host::present(host::helper(L"x64", file)) || !host::present(host::helper(L"x86", file)))
            return usage("the helpers folder lacks x64\\ or x86\\ with spawn.exe and zelkor_stub.exe");
    if (!host::present(host::helper(host::width_name(), "planted.dll")))
        return usage("the helpers folder lacks the planted.dll of the launchers' width");
    printf("zk_e2e: the %ls launchers in %ls%s\n", host::width_name(),
           options.launchers.c_str(), host::under_wine() ? ", under Wine" : "");
    return judge_skips(RUN_ALL_TESTS());
}
