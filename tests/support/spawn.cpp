// Starts one command with an exact raw command line (a Windows program for the
// end-to-end tests). Wine builds a command line from Unix arguments with its own quoting,
// so the line is passed in the environment instead:
//   ZKSPAWN_CMDLINE=line       the raw command line, blanks and quotes as typed
//   ZKSPAWN_RESULT=path        where the full 32-bit exit code is written, in decimal
//   ZKSPAWN_KILL_WHEN=path     terminate the command from outside as soon as that file
//   ZKSPAWN_LINGER_MS=n        exists, then wait n milliseconds more before returning
//   ZKSPAWN_DIR=dir            the command's current directory (else the helper's own)
//   ZKSPAWN_PATH=dirs          put these directories before the command's PATH (Wine
//                              takes PATH from its registry, not from the Unix side)
//   ZKSPAWN_HANDLES=list       start the command detached (no console), as Explorer or a
//                              scheduler does, with only the standard handles listed
//                              ("2": standard error alone; "none": no handle at all, and
//                              none inherited, exactly as Explorer starts a program)
//   ZKSPAWN_DESKTOP=name       the command's desktop: "zkhidden\Default" puts it on a new
//                              window station, which nobody can see; the helper creates
//                              the station and the desktop it names (Windows creates
//                              neither for a start)
//   ZKSPAWN_SHOW=n             how its window is to be shown (STARTF_USESHOWWINDOW, n)
//   ZKSPAWN_TIMEOUT_MS=n       terminate the command when it has not ended after n ms
//                              (default 60000); its exit code is then 0xDEAD, and the
//                              helper says so on standard error
// A command whose program has a full path of 260 characters or more is started by that
// path's \\?\ form as the application name: from the command line alone, Windows reads
// a program's path up to 260 characters, long paths enabled or not. A path is refused
// whose \\?\ form would pass Windows' longest (32,767 characters).
// On a console of its own (started with CREATE_NEW_CONSOLE), the helper also plays the
// user at that console:
//   ZKSPAWN_SCREEN=path        writes the console's screen there, as UTF-8 lines (a row
//                              filled to its end joined with the next), once the command
//                              has ended; the screen is 400 columns wide
//   ZKSPAWN_READY=text         waits until the screen shows that text, then does what
//   ZKSPAWN_KEYS=what          says: "C-c" (Ctrl+C) or "C-Break" to every process of the
//                              console, or "close", the console window closed as a user
//                              closes it (WM_CLOSE)
// Without ZKSPAWN_CMDLINE, it answers a question instead: with ZKSPAWN_SHORT_NAME=path,
// prints that path's 8.3 short form; with ZKSPAWN_SHELL_FOLDER=1, the folder the shell
// names as the per-user local application-data folder (SHGetFolderPathW), or
// "SHGetFolderPath failed: HRESULT".
// The variables are removed before the command starts. The command inherits the
// standard handles, and no other handle (an explicit list), and the rest of the
// environment. Exit code 0, or 2 when the command could not be started as asked (its
// standard handles not handed on, its path too long, CreateProcessW refused), said on
// standard error. Every wait is bounded by the time-out, and one that runs out says on
// standard error what it waited for. On a console the helper outlives Ctrl+C and
// Ctrl+Break, so that it still reports the command's exit code; it uses a handler of its
// own for that, since ignoring the events outright would be inherited by the command under
// test. When the console is closed, the handler reports and ends the helper itself before
// Windows' time for a closing console (about 5 s) runs out.
#include <windows.h>
#include <shlobj.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>

namespace {

bool take_env(const wchar_t* name, wchar_t* value, DWORD size) {
    DWORD n = GetEnvironmentVariableW(name, value, size);
    SetEnvironmentVariableW(name, nullptr);
    return n > 0 && n < size;
}

// The command, and where its exit code and the screen go: the end of the run is reported
// from the main thread, or from the control handler when the console is closed (Windows
// ends the helper once its handler returns).
HANDLE command = nullptr;
wchar_t result_path[1024], screen_path[1024];
CRITICAL_SECTION reporting;
bool reported = false;
// What the report says when the command is still running at its end (under `reporting`).
const wchar_t* still_running = L"the command had not ended when its console was closed";

// Time left until `deadline` (GetTickCount's), for a bounded wait.
DWORD left(DWORD deadline) {
    DWORD now = GetTickCount();
    return static_cast<LONG>(deadline - now) > 0 ? deadline - now : 0;
}

// The console's screen (400 columns, 2000 rows at most), row by row, each row's trailing
// blanks dropped and a row filled to its end joined with the next, as a terminal joins a
// wrapped line. Fixed buffers: the helper links no C++ library (the ARM64 one has none).
constexpr int screen_columns = 400, screen_rows = 2000;
wchar_t screen_text[screen_columns * screen_rows + screen_rows + 1];

const wchar_t* screen() {
    HANDLE out = CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_EXISTING, 0, nullptr);
    CONSOLE_SCREEN_BUFFER_INFO info;
    size_t used = 0;
    if (out != INVALID_HANDLE_VALUE && GetConsoleScreenBufferInfo(out, &info)) {
        SHORT width = info.dwSize.X < screen_columns ? info.dwSize.X : screen_columns;
        for (SHORT y = 0; y <= info.dwCursorPosition.Y && y < screen_rows; ++y) {
            DWORD read = 0;
            wchar_t* row = screen_text + used;
            ReadConsoleOutputCharacterW(out, row, width, COORD{0, y}, &read);
            DWORD end = read;
            while (end > 0 && row[end - 1] == L' ') --end;
            used += end;
            if (end != static_cast<DWORD>(width)) screen_text[used++] = L'\n';
        }
    }
    screen_text[used] = 0;
    if (out != INVALID_HANDLE_VALUE) CloseHandle(out);
    return screen_text;
}

void write_utf8(HANDLE file, const wchar_t* text) {
    int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    auto* bytes = static_cast<char*>(malloc(static_cast<size_t>(n)));
    DWORD written = 0;
    if (bytes != nullptr && WideCharToMultiByte(CP_UTF8, 0, text, -1, bytes, n, nullptr, nullptr) > 0)
        WriteFile(file, bytes, static_cast<DWORD>(n - 1), &written, nullptr);
    free(bytes);
}

void write_utf8(const wchar_t* path, const wchar_t* text) {
    HANDLE f = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE) return;
    write_utf8(f, text);
    CloseHandle(f);
}

// Once, whichever thread comes first, the other waiting until it is written: the screen,
// then the command's exit code, or why there is none (a line the host shows as it is).
void report() {
    EnterCriticalSection(&reporting);
    if (!reported) {
        reported = true;
        DWORD code = 0;
        GetExitCodeProcess(command, &code);
        if (screen_path[0] != 0) write_utf8(screen_path, screen());
        wchar_t line[128];
        if (code == STILL_ACTIVE && WaitForSingleObject(command, 0) == WAIT_TIMEOUT)
            swprintf(line, 128, L"%ls\n", still_running);
        else
            swprintf(line, 128, L"%lu\n", static_cast<unsigned long>(code));
        write_utf8(result_path, line);
    }
    LeaveCriticalSection(&reporting);
}

// Ctrl+C and Ctrl+Break: outlived. A closed console: Windows ends every process of it
// about 5 s after the event, each handler's return or not; the command has its own time
// to end within that, and the helper reports and ends itself before it runs out.
BOOL WINAPI outlive_control_event(DWORD event) {
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
        if (command != nullptr) {
            WaitForSingleObject(command, 4000);
            report();
        }
        ExitProcess(0);
    }
    return TRUE;
}

// The station and desktop of "station\desktop", made for the command: Windows starts a
// program on a station only where it already exists. The handles stay open while the
// command runs.
bool make_desktop(const wchar_t* name) {
    const wchar_t* slash = wcschr(name, L'\\');
    if (slash == nullptr) return true;  // a desktop of the helper's own station
    wchar_t station_name[256];
    wcsncpy(station_name, name, static_cast<size_t>(slash - name));
    station_name[slash - name] = 0;
    HWINSTA own = GetProcessWindowStation();
    HWINSTA station = CreateWindowStationW(station_name, 0, WINSTA_ALL_ACCESS, nullptr);
    if (station == nullptr || !SetProcessWindowStation(station)) {
        fprintf(stderr, "spawn: cannot create the window station %ls: %lu\n", station_name, GetLastError());
        return false;
    }
    HDESK desktop = CreateDesktopW(slash + 1, nullptr, nullptr, 0, GENERIC_ALL, nullptr);
    DWORD error = GetLastError();
    SetProcessWindowStation(own);
    if (desktop == nullptr) fprintf(stderr, "spawn: cannot create the desktop %ls: %lu\n", name, error);
    return desktop != nullptr;
}

// The application name CreateProcessW is given for `line`, in `*chosen`: the \\?\ form of
// its first word where that is a full path of 260 characters or more, else none. False,
// said on standard error, where that form would be longer than the longest path Windows
// takes (32,767 characters, the prefix included).
bool application_name(const wchar_t* line, const wchar_t** chosen) {
    constexpr size_t longest = 32767;
    static wchar_t name[longest + 1];
    *chosen = nullptr;
    const wchar_t* start = line;
    const wchar_t* end;
    if (*start == L'"') {
        ++start;
        end = wcschr(start, L'"');
        if (end == nullptr) end = start + wcslen(start);
    } else {
        end = start + wcscspn(start, L" \t");
    }
    size_t n = static_cast<size_t>(end - start);
    bool full = n > 3 && start[1] == L':' && start[2] == L'\\';
    if (n < MAX_PATH || !full) return true;
    if (4 + n > longest) {
        fprintf(stderr, "spawn: the program's path is %lu characters: its \\\\?\\ form is longer than Windows takes\n",
                static_cast<unsigned long>(n));
        return false;
    }
    wcscpy(name, L"\\\\?\\");
    wmemcpy(name + 4, start, n);
    name[4 + n] = 0;
    *chosen = name;
    return true;
}

// The standard handles the command is given, as the one list of handles it inherits:
// no other handle of the helper's (a pipe of its parent's, say) leaks into it. Windows
// hands standard handles on (STARTF_USESTDHANDLES) only when they are inheritable and
// inherited (bInheritHandles TRUE): where a handle cannot be made so, or the list cannot
// be built, there is no start as asked, and nullptr comes back, the call that failed and
// its error said on standard error.
LPPROC_THREAD_ATTRIBUTE_LIST inherited_list(STARTUPINFOW* startup, HANDLE* list) {
    DWORD n = 0;
    const HANDLE given[] = {startup->hStdInput, startup->hStdOutput, startup->hStdError};
    for (int i = 0; i < 3; ++i) {
        const HANDLE h = given[i];
        if (h == nullptr || h == INVALID_HANDLE_VALUE) continue;
        bool twice = false;
        for (DWORD j = 0; j < n; ++j) twice = twice || list[j] == h;
        if (twice) continue;
        if (!SetHandleInformation(h, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT)) {
            fprintf(stderr, "spawn: SetHandleInformation failed for standard handle %d (HANDLE_FLAG_INHERIT): %lu\n", i,
                    GetLastError());
            return nullptr;
        }
        list[n++] = h;
    }
    if (n == 0) {
        fprintf(stderr, "spawn: no standard handle to hand on (the helper has none of those asked for)\n");
        return nullptr;
    }
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    auto attributes = static_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(HeapAlloc(GetProcessHeap(), 0, size));
    if (attributes == nullptr) {
        fprintf(stderr, "spawn: HeapAlloc failed for the attribute list (%lu bytes)\n", static_cast<unsigned long>(size));
        return nullptr;
    }
    if (!InitializeProcThreadAttributeList(attributes, 1, 0, &size)) {
        fprintf(stderr, "spawn: InitializeProcThreadAttributeList failed: %lu\n", GetLastError());
        return nullptr;
    }
    if (!UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, list, n * sizeof(HANDLE), nullptr,
                                   nullptr)) {
        fprintf(stderr, "spawn: UpdateProcThreadAttribute failed (PROC_THREAD_ATTRIBUTE_HANDLE_LIST): %lu\n",
                GetLastError());
        return nullptr;
    }
    return attributes;
}

// The helper's questions (see the top of this file), answered on standard output.
int answer() {
    static wchar_t value[32768];
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (take_env(L"ZKSPAWN_SHORT_NAME", value, 32768)) {
        static wchar_t short_name[32768];
        if (GetShortPathNameW(value, short_name, 32768) == 0) return 2;
        write_utf8(out, short_name);
        write_utf8(out, L"\n");
        return 0;
    }
    if (take_env(L"ZKSPAWN_SHELL_FOLDER", value, 32768)) {
        // From the system folder alone, whatever DLLs lie beside the helper or in its folder.
        HMODULE shell = LoadLibraryExW(L"shell32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
        auto get = shell != nullptr ? reinterpret_cast<HRESULT(WINAPI*)(HWND, int, HANDLE, DWORD, LPWSTR)>(
                                          reinterpret_cast<void*>(GetProcAddress(shell, "SHGetFolderPathW")))
                                    : nullptr;
        if (get == nullptr) return 2;
        HRESULT result = get(nullptr, CSIDL_LOCAL_APPDATA, nullptr, 0, value);
        if (result != S_OK) swprintf(value, 64, L"SHGetFolderPath failed: %08lX", static_cast<unsigned long>(result));
        write_utf8(out, value);
        write_utf8(out, L"\n");
        return 0;
    }
    return 2;
}

}  // namespace

int wmain() {
    InitializeCriticalSection(&reporting);
    SetConsoleCtrlHandler(outlive_control_event, TRUE);
    static wchar_t command_line[32768];
    if (!take_env(L"ZKSPAWN_CMDLINE", command_line, 32768)) return answer();
    wchar_t value[64];
    if (!take_env(L"ZKSPAWN_RESULT", result_path, 1024)) return 2;
    static wchar_t kill_when[1024];
    bool kill_on_file = take_env(L"ZKSPAWN_KILL_WHEN", kill_when, 1024);
    DWORD linger = take_env(L"ZKSPAWN_LINGER_MS", value, 64) ? wcstoul(value, nullptr, 0) : 0;
    static wchar_t directory[1024];
    bool has_directory = take_env(L"ZKSPAWN_DIR", directory, 1024);
    static wchar_t path[32768], old_path[32000];
    if (take_env(L"ZKSPAWN_PATH", path, 1024)) {
        if (GetEnvironmentVariableW(L"PATH", old_path, 32000) < 32000) {
            wcscat(path, L";");
            wcscat(path, old_path);
        }
        SetEnvironmentVariableW(L"PATH", path);
    }

    STARTUPINFOEXW extended{};
    STARTUPINFOW& startup = extended.StartupInfo;
    startup.cb = sizeof extended;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    BOOL inherit = TRUE;
    DWORD flags = 0;
    wchar_t handles[8];
    if (take_env(L"ZKSPAWN_HANDLES", handles, 8)) {
        flags = DETACHED_PROCESS;
        if (wcscmp(handles, L"none") == 0) {
            inherit = FALSE;
            startup.dwFlags = 0;
        }
        HANDLE* slots[] = {&startup.hStdInput, &startup.hStdOutput, &startup.hStdError};
        for (int i = 0; i < 3; ++i)
            if (!wcschr(handles, L'0' + i)) *slots[i] = nullptr;
    }
    static wchar_t desktop[256];
    if (take_env(L"ZKSPAWN_DESKTOP", desktop, 256)) {
        if (!make_desktop(desktop)) return 2;
        startup.lpDesktop = desktop;
    }
    if (take_env(L"ZKSPAWN_SHOW", value, 64)) {
        startup.dwFlags |= STARTF_USESHOWWINDOW;
        startup.wShowWindow = static_cast<WORD>(wcstoul(value, nullptr, 0));
    }
    DWORD timeout = take_env(L"ZKSPAWN_TIMEOUT_MS", value, 64) ? wcstoul(value, nullptr, 0) : 60000;
    static wchar_t ready[1024];
    wchar_t keys[16] = L"";
    bool wait_ready = take_env(L"ZKSPAWN_READY", ready, 1024);
    take_env(L"ZKSPAWN_KEYS", keys, 16);
    if (take_env(L"ZKSPAWN_SCREEN", screen_path, 1024)) {
        // Wide enough that the cases' lines do not wrap, and deep enough for long messages.
        HANDLE out = CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_EXISTING, 0, nullptr);
        SetConsoleScreenBufferSize(out, COORD{400, 2000});
        CloseHandle(out);
    }
    HANDLE listed[3];
    if (inherit) {
        LPPROC_THREAD_ATTRIBUTE_LIST attributes = inherited_list(&startup, listed);
        if (attributes == nullptr) return 2;
        extended.lpAttributeList = attributes;
        flags |= EXTENDED_STARTUPINFO_PRESENT;
    } else {
        startup.cb = sizeof startup;  // nothing handed on: no list
    }
    const wchar_t* program = nullptr;
    if (!application_name(command_line, &program)) return 2;
    PROCESS_INFORMATION child{};
    if (!CreateProcessW(program, command_line, nullptr, nullptr, inherit, flags,
                        nullptr, has_directory ? directory : nullptr, &startup, &child)) {
        fprintf(stderr, "spawn: CreateProcessW failed: %lu\n", GetLastError());
        return 2;
    }
    command = child.hProcess;
    const DWORD deadline = GetTickCount() + timeout;
    // The command ended from outside, and waited for, 10 s at most.
    auto end_command = [&](UINT code) {
        TerminateProcess(child.hProcess, code);
        if (WaitForSingleObject(child.hProcess, 10000) == WAIT_TIMEOUT) {
            const wchar_t* why = L"the command had not ended 10 s after it was terminated";
            EnterCriticalSection(&reporting);  // the control handler's thread reads it
            still_running = why;
            LeaveCriticalSection(&reporting);
            fprintf(stderr, "spawn: %ls\n", why);
        }
    };
    auto running = [&] { return WaitForSingleObject(child.hProcess, 0) == WAIT_TIMEOUT; };
    if (wait_ready) {
        while (wcsstr(screen(), ready) == nullptr && left(deadline) > 0 &&
               WaitForSingleObject(child.hProcess, 50) == WAIT_TIMEOUT) {
        }
        if (wcsstr(screen(), ready) != nullptr) {
            if (wcscmp(keys, L"C-c") == 0) GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
            if (wcscmp(keys, L"C-Break") == 0) GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, 0);
            if (wcscmp(keys, L"close") == 0) PostMessageW(GetConsoleWindow(), WM_CLOSE, 0, 0);
        } else if (running()) {
            fprintf(stderr, "spawn: the screen had not shown \"%ls\" after %lu ms\n", ready,
                    static_cast<unsigned long>(timeout));
        }
    }
    if (kill_on_file) {
        while (GetFileAttributesW(kill_when) == INVALID_FILE_ATTRIBUTES && left(deadline) > 0 &&
               WaitForSingleObject(child.hProcess, 20) == WAIT_TIMEOUT) {
        }
        if (GetFileAttributesW(kill_when) == INVALID_FILE_ATTRIBUTES && running()) {
            fprintf(stderr, "spawn: %ls had not appeared after %lu ms\n", kill_when, static_cast<unsigned long>(timeout));
        } else {
            end_command(1);
            Sleep(linger);
        }
    }
    if (WaitForSingleObject(child.hProcess, left(deadline)) == WAIT_TIMEOUT) {
        fprintf(stderr, "spawn: the command had not ended after %lu ms: ended it\n", static_cast<unsigned long>(timeout));
        end_command(0xDEAD);
    }
    report();
    return 0;
}
