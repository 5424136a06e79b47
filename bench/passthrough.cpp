// The least launcher possible, the benchmark's yardstick: it starts the command line
// that follows its own (unquoted) name, with the standard handles inherited, waits, and
// exits with the child's exit code. A Windows program.
//
// Built with ZK_FOLDER_LOOKUP it first asks for the per-user local application-data
// folder, as every launcher run must to find its per-user zk.ini: the second yardstick,
// which carries the cost of loading shell32.
#include <windows.h>
#if defined(ZK_FOLDER_LOOKUP)
#include <shlobj.h>
#endif

int wmain() {
#if defined(ZK_FOLDER_LOOKUP)
    wchar_t folder[MAX_PATH];
    SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, 0, folder);
#endif
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
