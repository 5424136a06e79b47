// A stand-in Zelkor interpreter for the end-to-end tests (a Windows program).
//
// It prints one line, "zelkor-stub: " and its own raw command line (UTF-8 when redirected,
// Unicode on a console), then, as told by its environment:
//   ZKSTUB_CTRL=code    handles Ctrl+C and Ctrl+Break (installed before the first line is
//                       printed): prints "zelkor-stub: control event N", and exits with
//                       code a second later, time enough for a launcher that does not
//                       ignore the event to end first
//   ZKSTUB_CLEANUP=path with ZKSTUB_CTRL, on a console close, logoff or shutdown: cleans
//                       up before it exits, two seconds long: writes "clean-up: begun" to
//                       that file, and after two seconds "clean-up: done"
//   ZKSTUB_ECHO=1       reads one line of standard input and prints "stdin: <line>"
//   ZKSTUB_PRINT=A;B    prints "A=<value>" ("A=" when empty, "A unset") for each variable named
//   ZKSTUB_SLEEP_MS=n   sleeps n milliseconds
//   ZKSTUB_MARKER=path  creates that file after the sleep (it proves the stub outlived it)
//   ZKSTUB_REPORT=path  writes to that file what it was given, one line each: "stdin: eof"
//                       (or "data", or "error N"), "stdout: written" (or "error N"),
//                       "show: F N" (STARTF_USESHOWWINDOW set or not, wShowWindow),
//                       "job: 1" (in a job: IsProcessInJob; else 0)
//   ZKSTUB_EXIT=code    exits with that code (decimal or 0x hex; 0 when unset)
#include <windows.h>

#include <cstdio>
#include <cwchar>

namespace {

void write_text(const wchar_t* text) {
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD written = 0, mode = 0;
    if (GetConsoleMode(out, &mode)) {
        WriteConsoleW(out, text, static_cast<DWORD>(wcslen(text)), &written, nullptr);
        return;
    }
    char bytes[8192];
    int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, bytes, sizeof bytes, nullptr, nullptr);
    if (n > 1) WriteFile(out, bytes, n - 1, &written, nullptr);
}

bool env(const wchar_t* name, wchar_t* value, DWORD size) {
    DWORD n = GetEnvironmentVariableW(name, value, size);
    return n > 0 && n < size;
}

UINT ctrl_exit_code = 0;
wchar_t cleanup_path[1024];

BOOL WINAPI on_control_event(DWORD event) {
    wchar_t line[64];
    swprintf(line, 64, L"zelkor-stub: control event %lu\n", static_cast<unsigned long>(event));
    write_text(line);
    bool ending = event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT;
    if (ending && cleanup_path[0] != 0) {
        FILE* f = _wfopen(cleanup_path, L"wb");
        if (f != nullptr) {
            fputs("clean-up: begun\n", f);
            fflush(f);
            Sleep(2000);
            fputs("clean-up: done\n", f);
            fclose(f);
        }
    } else {
        Sleep(1000);
    }
    ExitProcess(ctrl_exit_code);
}

// What the stub's standard streams and startup record are, into the file `path`. A read
// from a hidden console would wait here for ever: the spawn helper's time-out ends it.
void report(const wchar_t* path) {
    char text[256], byte = 0;
    DWORD got = 0, written = 0;
    int n = 0;
    if (!ReadFile(GetStdHandle(STD_INPUT_HANDLE), &byte, 1, &got, nullptr))
        n += snprintf(text + n, sizeof text - n, "stdin: error %lu\n", GetLastError());
    else
        n += snprintf(text + n, sizeof text - n, "stdin: %s\n", got == 0 ? "eof" : "data");
    if (!WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), "x", 1, &written, nullptr) || written != 1)
        n += snprintf(text + n, sizeof text - n, "stdout: error %lu\n", GetLastError());
    else
        n += snprintf(text + n, sizeof text - n, "stdout: written\n");
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    GetStartupInfoW(&startup);
    n += snprintf(text + n, sizeof text - n, "show: %d %u\n", (startup.dwFlags & STARTF_USESHOWWINDOW) ? 1 : 0,
                  static_cast<unsigned>(startup.wShowWindow));
    BOOL in_job = FALSE;
    IsProcessInJob(GetCurrentProcess(), nullptr, &in_job);
    n += snprintf(text + n, sizeof text - n, "job: %d\n", in_job ? 1 : 0);
    // Written beside it, then renamed: a watcher that acts as soon as the file exists (the
    // spawn helper's ZKSPAWN_KILL_WHEN) never finds it empty.
    wchar_t part[1100];
    swprintf(part, 1100, L"%ls.part", path);
    HANDLE f = CreateFileW(part, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE) return;
    WriteFile(f, text, static_cast<DWORD>(n), &written, nullptr);
    CloseHandle(f);
    MoveFileExW(part, path, MOVEFILE_REPLACE_EXISTING);
}

}  // namespace

int wmain() {
    wchar_t value[1024];
    if (env(L"ZKSTUB_CTRL", value, 1024)) {
        ctrl_exit_code = wcstoul(value, nullptr, 0);
        env(L"ZKSTUB_CLEANUP", cleanup_path, 1024);
        SetConsoleCtrlHandler(on_control_event, TRUE);
    }
    write_text(L"zelkor-stub: ");
    write_text(GetCommandLineW());
    write_text(L"\n");

    if (env(L"ZKSTUB_ECHO", value, 1024)) {
        char line[1024];
        DWORD used = 0, got = 0;
        HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
        while (used + 1 < sizeof line && ReadFile(in, line + used, 1, &got, nullptr) && got == 1 &&
               line[used] != '\n')
            ++used;
        line[used] = 0;
        DWORD written = 0;
        HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
        WriteFile(out, "stdin: ", 7, &written, nullptr);
        WriteFile(out, line, used, &written, nullptr);
        WriteFile(out, "\n", 1, &written, nullptr);
    }
    if (env(L"ZKSTUB_PRINT", value, 1024)) {
        for (wchar_t* name = value; *name != 0;) {
            wchar_t* end = wcschr(name, L';');
            if (end != nullptr) *end = 0;
            wchar_t variable[1024] = L"", line[2100];
            SetLastError(0);  // an empty variable gives 0 without the error of an absent one
            if (env(name, variable, 1024) || GetLastError() != ERROR_ENVVAR_NOT_FOUND)
                swprintf(line, 2100, L"%ls=%ls\n", name, variable);
            else
                swprintf(line, 2100, L"%ls unset\n", name);
            write_text(line);
            name = end != nullptr ? end + 1 : name + wcslen(name);
        }
    }
    if (env(L"ZKSTUB_REPORT", value, 1024)) report(value);
    if (env(L"ZKSTUB_SLEEP_MS", value, 1024)) Sleep(wcstoul(value, nullptr, 0));
    if (env(L"ZKSTUB_MARKER", value, 1024)) {
        HANDLE f = CreateFileW(value, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        if (f != INVALID_HANDLE_VALUE) CloseHandle(f);
    }
    UINT code = 0;
    if (env(L"ZKSTUB_EXIT", value, 1024)) code = wcstoul(value, nullptr, 0);
    ExitProcess(code);
}
