// The benchmark's Windows-side driver: times launches from inside Windows, so that the
// Linux side's process start does not drown the figures.
//
// For each road it knows the commands that end in the same child command line: the
// stub interpreter started directly (the baseline), the bare pass-through starting it,
// the stub started directly without a console window (CREATE_NO_WINDOW, as the windowless
// launcher starts its child: the baseline of that launcher, since the hidden console the
// child then gets is the cost of any console program started from no console, launcher
// or not), the pass-through that also looks up the per-user folder, zklaunch (as tool.exe)
// and zklaunchw (as toolw.exe) finding it, and with the argument "32" the 32-bit products
// (tool32.exe, toolw32.exe) and the 32-bit pass-throughs too. It first runs each once
// with standard output in a file and checks that the stub printed exactly the expected command line, then runs
// ROUNDS rounds, each launching every command of every road once in a shuffled order
// (interleaved, so that drift in the machine's speed touches all alike, and shuffled, so
// that no command always follows the same one), and prints one line per command:
//   road kind median_us p25_us p75_us
// then every launch's time, one line each, so that the launches of one round can be
// paired:
//   t road kind round us
// Usage: driver.exe ROUNDS [32]
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

struct Road {
    const wchar_t* name;
    const wchar_t* folder;  // where the launchers of the road's script lie
    std::wstring child;     // the command line the interpreter must receive
};

const wchar_t* const script_args = L" a";

std::vector<Road> roads() {
    return {
        {L"virtual-version", L"C:\\bench\\version\\", L"C:\\bench\\Z36\\zelkor.exe -u C:\\bench\\version\\tool-script.zk a"},
        {L"custom-command", L"C:\\bench\\custom\\", L"C:\\bench\\Z36\\zelkor.exe -u C:\\bench\\custom\\tool-script.zk a"},
        {L"path-search", L"C:\\bench\\path\\", L"C:\\bench\\onpath\\zelkor.exe C:\\bench\\path\\tool-script.zk a"},
        {L"default", L"C:\\bench\\default\\", L"C:\\bench\\Z36\\zelkor.exe C:\\bench\\default\\tool-script.zk a"},
        {L"compiled", L"C:\\bench\\compiled\\", L"C:\\bench\\Z36\\zelkor.exe C:\\bench\\compiled\\tool-script.zk a"},
    };
}

HANDLE inheritable(HANDLE h) {
    SetHandleInformation(h, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    return h;
}

DWORD last_exit_code = 0;

// Runs `command` with standard output on `out` and the creation `flags`; returns
// microseconds, or -1 on failure (last_exit_code then tells the command's exit code, or
// 0xFFFFFFFF when it did not start).
double run(const std::wstring& command, HANDLE out, DWORD flags) {
    last_exit_code = 0xFFFFFFFF;
    std::vector<wchar_t> line(command.begin(), command.end());
    line.push_back(0);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = out;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    PROCESS_INFORMATION child{};
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, flags, nullptr, nullptr, &startup, &child))
        return -1;
    WaitForSingleObject(child.hProcess, INFINITE);
    QueryPerformanceCounter(&end);
    DWORD code = 1;
    GetExitCodeProcess(child.hProcess, &code);
    CloseHandle(child.hProcess);
    CloseHandle(child.hThread);
    last_exit_code = code;
    if (code != 0) return -1;
    return double(end.QuadPart - start.QuadPart) * 1e6 / double(frequency.QuadPart);
}

std::string narrow(const std::wstring& s) {
    char buffer[4096];
    int n = WideCharToMultiByte(CP_UTF8, 0, s.c_str(), -1, buffer, sizeof buffer, nullptr, nullptr);
    return n > 0 ? std::string(buffer) : std::string();
}

// The command's standard output, run once.
std::string output_of(const std::wstring& command, DWORD flags) {
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    // Shared for writing too: under Wine the console host of a child started with
    // CREATE_NO_WINDOW inherits the handle and may hold it a moment after the launch.
    HANDLE f = CreateFileW(L"C:\\bench\\check.txt", GENERIC_WRITE | GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           &sa, CREATE_ALWAYS, 0, nullptr);
    run(command, f, flags);
    CloseHandle(f);
    FILE* in = _wfopen(L"C:\\bench\\check.txt", L"rb");
    std::string text;
    char buffer[4096];
    size_t n = 0;
    while (in != nullptr && (n = fread(buffer, 1, sizeof buffer, in)) > 0) text.append(buffer, n);
    if (in != nullptr) fclose(in);
    return text;
}

double percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    return v[static_cast<size_t>(p * double(v.size() - 1) + 0.5)];
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    int rounds = argc > 1 ? _wtoi(argv[1]) : 200;
    // The PATH road finds its interpreter in C:\bench\onpath (Wine's PATH comes from its
    // registry, not from the Unix side).
    static wchar_t path[32768] = L"C:\\bench\\onpath;";
    GetEnvironmentVariableW(L"PATH", path + wcslen(path), 32000);
    SetEnvironmentVariableW(L"PATH", path);
    const std::vector<Road> all = roads();
    // What is timed: the stub directly (with and without a console window), the
    // pass-throughs starting it, the launchers finding it (each copied into a road's
    // folder as `file`). With the argument "32" the 32-bit ones too, which are measured
    // against yardsticks of their own width: under WOW64 every process start costs more.
    constexpr DWORD create_no_window = 0x08000000;
    struct Kind {
        const wchar_t* name;
        const wchar_t* file;     // the launcher's name in a road's folder, or null
        const wchar_t* prefix;   // what comes before the child's command line, for the others
        DWORD flags;
    };
    const Kind kinds[] = {
        {L"baseline", nullptr, L"", 0},
        {L"baseline-hidden", nullptr, L"", create_no_window},
        {L"passthrough", nullptr, L"C:\\bench\\passthrough.exe ", 0},
        {L"passthrough-shell", nullptr, L"C:\\bench\\passthrough_shell.exe ", 0},
        {L"zklaunch", L"tool.exe", nullptr, 0},
        {L"zklaunchw", L"toolw.exe", nullptr, 0},
        {L"passthrough32", nullptr, L"C:\\bench\\passthrough32.exe ", 0},
        {L"passthrough-shell32", nullptr, L"C:\\bench\\passthrough_shell32.exe ", 0},
        {L"zklaunch32", L"tool32.exe", nullptr, 0},
        {L"zklaunchw32", L"toolw32.exe", nullptr, 0},
    };
    const int kind_count = argc > 2 && wcscmp(argv[2], L"32") == 0 ? 10 : 6;  // the first ones
    // What the interpreter receives: each launcher runs the script named after it
    // (toolw.exe runs toolw-script.zk); the others start the child of tool.exe.
    auto child = [&](const Road& road, int kind) {
        std::wstring line = road.child;
        if (kinds[kind].file == nullptr) return line;
        std::wstring stem = kinds[kind].file;
        stem.resize(stem.size() - 4);
        size_t at = line.find(L"\\tool-script.zk");
        return line.replace(at + 1, 4, stem);
    };
    auto command = [&](const Road& road, int kind) {
        if (kinds[kind].file != nullptr) return std::wstring(road.folder) + kinds[kind].file + script_args;
        return kinds[kind].prefix + road.child;
    };
    auto flags = [&](int kind) { return kinds[kind].flags; };

    bool ok = true;
    for (const Road& road : all)
        for (int kind = 0; kind < kind_count; ++kind) {
            std::string got = output_of(command(road, kind), flags(kind));
            std::string want = "zelkor-stub: " + narrow(child(road, kind)) + "\n";
            if (got != want) {
                printf("check failed: %s %s printed [%s], expected [%s]\n", narrow(road.name).c_str(),
                       narrow(kinds[kind].name).c_str(), got.c_str(), want.c_str());
                ok = false;
            }
        }
    if (!ok) return 1;

    HANDLE null_out = inheritable(CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
    std::vector<std::vector<double>> times(all.size() * kind_count);
    // Each round launches every command once, in an order shuffled anew for every round
    // (the same from run to run): under Wine a launch is slowed by what the one before it
    // left to clean up (the pass-through that loads shell32 most of all), so a fixed order
    // would charge that to whichever command always follows it.
    std::vector<size_t> order(all.size() * kind_count);
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    uint32_t seed = 2026;
    for (int round = 0; round < rounds; ++round) {
        for (size_t i = order.size(); i > 1; --i) {
            seed = seed * 1103515245u + 12345u;
            std::swap(order[i - 1], order[(seed >> 16) % i]);
        }
        for (size_t slot : order) {
            size_t r = slot / kind_count;
            int kind = static_cast<int>(slot % kind_count);
            // Wine now and then fails a process start (the pass-throughs too): such a
            // launch is counted and made again, three times at most.
            double t = run(command(all[r], kind), null_out, flags(kind));
            for (int retry = 0; t < 0 && retry < 3; ++retry) {
                printf("# retried: %s %s, exit code %lu, round %d\n", narrow(all[r].name).c_str(),
                       narrow(kinds[kind].name).c_str(), static_cast<unsigned long>(last_exit_code), round);
                t = run(command(all[r], kind), null_out, flags(kind));
            }
            if (t < 0) return 1;
            times[slot].push_back(t);
        }
    }
    for (size_t r = 0; r < all.size(); ++r)
        for (int kind = 0; kind < kind_count; ++kind) {
            const std::vector<double>& t = times[r * kind_count + kind];
            printf("%s %s %.0f %.0f %.0f\n", narrow(all[r].name).c_str(), narrow(kinds[kind].name).c_str(),
                   percentile(t, 0.5), percentile(t, 0.25), percentile(t, 0.75));
        }
    for (size_t r = 0; r < all.size(); ++r)
        for (int kind = 0; kind < kind_count; ++kind)
            for (int round = 0; round < rounds; ++round)
                printf("t %s %s %d %.0f\n", narrow(all[r].name).c_str(), narrow(kinds[kind].name).c_str(), round,
                       times[r * kind_count + kind][static_cast<size_t>(round)]);
    return 0;
}
