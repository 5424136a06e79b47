// The least launcher possible, the benchmark's yardstick: it starts the command line
// that follows its own (unquoted) name, with the standard handles inherited, waits, and
// exits with the child's exit code. A Windows program.
#include <windows.h>

int wmain() {
    wchar_t* line = GetCommandLineW();
    while (*line != 0 && *line != L' ') ++line;
    if (*line == L' ') ++line;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child{};
    if (!CreateProcessW(nullptr, line, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &child)) return 101;
    CloseHandle(child.hThread);
    WaitForSingleObject(child.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(child.hProcess, &code);
    ExitProcess(code);
}
