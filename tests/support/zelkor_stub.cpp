// A stand-in Zelkor interpreter for the end-to-end tests (a Windows program).
//
// It prints one line, "zelkor-stub: " and its own raw command line, then, as told by its
// environment:
//   ZKSTUB_ECHO=1       reads one line of standard input and prints "stdin: <line>"
//   ZKSTUB_SLEEP_MS=n   sleeps n milliseconds
//   ZKSTUB_MARKER=path  creates that file after the sleep (it proves the stub outlived it)
//   ZKSTUB_EXIT=code    exits with that code (decimal or 0x hex; 0 when unset)
#include <windows.h>

#include <cwchar>

namespace {

void write_utf8(const wchar_t* text) {
    char bytes[8192];
    int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, bytes, sizeof bytes, nullptr, nullptr);
    DWORD written = 0;
    if (n > 1) WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), bytes, n - 1, &written, nullptr);
}

bool env(const wchar_t* name, wchar_t* value, DWORD size) {
    DWORD n = GetEnvironmentVariableW(name, value, size);
    return n > 0 && n < size;
}

}  // namespace

int wmain() {
    write_utf8(L"zelkor-stub: ");
    write_utf8(GetCommandLineW());
    write_utf8(L"\n");

    wchar_t value[1024];
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
    if (env(L"ZKSTUB_SLEEP_MS", value, 1024)) Sleep(wcstoul(value, nullptr, 0));
    if (env(L"ZKSTUB_MARKER", value, 1024)) {
        HANDLE f = CreateFileW(value, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        if (f != INVALID_HANDLE_VALUE) CloseHandle(f);
    }
    UINT code = 0;
    if (env(L"ZKSTUB_EXIT", value, 1024)) code = wcstoul(value, nullptr, 0);
    ExitProcess(code);
}
