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
//                              window station, which nobody can see
//   ZKSPAWN_SHOW=n             how its window is to be shown (STARTF_USESHOWWINDOW, n)
//   ZKSPAWN_TIMEOUT_MS=n       terminate the command when it has not ended after n ms
//                              (default 60000); its exit code is then 0xDEAD
// On a console of its own (started with CREATE_NEW_CONSOLE), the helper also plays the
// user at that console:
//   ZKSPAWN_SCREEN=path        writes the console's screen there, as UTF-8 lines (a row
//                              filled to its end joined with the next), once the command
//                              has ended; the screen is 400 columns wide
//   ZKSPAWN_READY=text         waits until the screen shows that text, then does what
//   ZKSPAWN_KEYS=what          says: "C-c" (Ctrl+C) or "C-Break" to every process of the
//                              console, or "close", the console window closed as a user
//                              closes it (WM_CLOSE)
// Or, with ZKSPAWN_SHORT_NAME=path alone, it prints that path's 8.3 short form.
// The variables are removed before the command starts. The command inherits the
// standard handles and the rest of the environment. Exit code 0, or 2 when the command
// could not be started. On a console the helper outlives Ctrl+C and Ctrl+Break, so that
// it still reports the command's exit code; it uses a handler of its own for that, since
// ignoring the events outright would be inherited by the command under test.
#include <windows.h>

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
LONG reported = 0;

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

void write_utf8(const wchar_t* path, const wchar_t* text) {
    FILE* f = _wfopen(path, L"wb");
    if (f == nullptr) return;
    int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    auto* bytes = static_cast<char*>(malloc(static_cast<size_t>(n)));
    if (bytes != nullptr && WideCharToMultiByte(CP_UTF8, 0, text, -1, bytes, n, nullptr, nullptr) > 0)
        fwrite(bytes, 1, static_cast<size_t>(n - 1), f);
    free(bytes);
    fclose(f);
}

// Once: the command's exit code (it has ended) and the screen.
void report() {
    if (InterlockedExchange(&reported, 1) != 0) return;
    DWORD code = 0;
    GetExitCodeProcess(command, &code);
    if (screen_path[0] != 0) write_utf8(screen_path, screen());
    FILE* f = _wfopen(result_path, L"w");
    if (f == nullptr) return;
    fprintf(f, "%lu\n", static_cast<unsigned long>(code));
    fclose(f);
}

// Ctrl+C and Ctrl+Break: outlived. A closed console: the command has its own time to end,
// and so does the helper, which waits for it and reports before Windows ends it.
BOOL WINAPI outlive_control_event(DWORD event) {
    if ((event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) && command != nullptr) {
        WaitForSingleObject(command, 20000);
        report();
    }
    return TRUE;
}

}  // namespace

int wmain() {
    SetConsoleCtrlHandler(outlive_control_event, TRUE);
    static wchar_t command_line[32768];
    if (take_env(L"ZKSPAWN_SHORT_NAME", command_line, 32768)) {
        static wchar_t short_name[32768];
        if (GetShortPathNameW(command_line, short_name, 32768) == 0) return 2;
        printf("%ls\n", short_name);
        return 0;
    }
    wchar_t value[64];
    if (!take_env(L"ZKSPAWN_CMDLINE", command_line, 32768) ||
        !take_env(L"ZKSPAWN_RESULT", result_path, 1024))
        return 2;
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

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
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
    if (take_env(L"ZKSPAWN_DESKTOP", desktop, 256)) startup.lpDesktop = desktop;
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
    PROCESS_INFORMATION child{};
    if (!CreateProcessW(nullptr, command_line, nullptr, nullptr, inherit, flags, nullptr,
                        has_directory ? directory : nullptr, &startup, &child)) {
        fprintf(stderr, "spawn: CreateProcessW failed: %lu\n", GetLastError());
        return 2;
    }
    command = child.hProcess;
    if (wait_ready) {
        DWORD start = GetTickCount();
        while (wcsstr(screen(), ready) == nullptr && GetTickCount() - start < timeout &&
               WaitForSingleObject(child.hProcess, 50) == WAIT_TIMEOUT) {
        }
        if (wcscmp(keys, L"C-c") == 0) GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
        if (wcscmp(keys, L"C-Break") == 0) GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, 0);
        if (wcscmp(keys, L"close") == 0) PostMessageW(GetConsoleWindow(), WM_CLOSE, 0, 0);
    }
    if (kill_on_file) {
        while (GetFileAttributesW(kill_when) == INVALID_FILE_ATTRIBUTES &&
               WaitForSingleObject(child.hProcess, 20) == WAIT_TIMEOUT) {
        }
        TerminateProcess(child.hProcess, 1);
        Sleep(linger);
    }
    if (WaitForSingleObject(child.hProcess, timeout) == WAIT_TIMEOUT) TerminateProcess(child.hProcess, 0xDEAD);
    WaitForSingleObject(child.hProcess, INFINITE);
    report();
    return 0;
}
