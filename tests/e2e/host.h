// The test host: what the end-to-end cases ask of the machine the launchers run on. Two
// implementations, chosen at link time, give the cases the same Windows:
// - host_wine.cpp, a Unix program that drives Wine from outside: one prefix under the
//   build tree and one persistent wineserver for the run, files written under the
//   prefix's drive C, the registry changed through .reg imports, processes started by a
//   Windows-side spawn helper with an exact raw command line (Wine would re-quote Unix
//   arguments), a real console in a tmux pane, windows on an Xvfb display of its own;
// - host_windows.cpp, a Windows program (zk_e2e.exe) that does the same from inside with
//   Win32 calls only, under Wine here and natively on Windows: the launchers under test
//   and their width come from its command line.
// The cases never see which host runs them; where a host cannot give what a case needs,
// missing() says why and the case skips with that reason.
//
// Paths are Windows paths (C:\...), text is UTF-8. A failure of the host itself (a file
// it cannot write, a process it cannot start) throws std::runtime_error.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace host {

using Environment = std::vector<std::pair<std::string, std::string>>;

// Sets the machine up for the run, and puts back at the end what the run changed.
void start();
void stop();

// ---- Files -----------------------------------------------------------------------------

// Writes a file, creating its folders. forget_files() removes every folder the run
// created at the top of a drive since its last call, and the per-user zk.ini.
void write_file(const std::string& path, const std::string& bytes);
// Copies a file of the host's (native_build() and the like name them) to `path`.
void copy_file(const std::string& host_source, const std::string& path);
void forget_files();
bool exists(const std::string& path);
// The file's bytes, "" when it does not exist; remove_file() removes a file if it is there.
std::string read_file(const std::string& path);
void remove_file(const std::string& path);
// Makes `link` a symbolic link to `target` (a file or a folder), or for junction() a
// junction to the folder `target`, as Windows follows them. "" when made; else why not
// (on a host where missing(Feature::links) is "", a fault of the case's).
std::string symlink(const std::string& target, const std::string& link);
std::string junction(const std::string& target, const std::string& link);
// The 8.3 short form of an existing file's path, as Windows gives it (cmd's %~s); the
// path itself where the volume makes no short names.
std::string short_path(const std::string& path);

// The per-user local application-data folder (where the per-user zk.ini lives).
std::string local_appdata();
// What the shell answers for that folder (SHGetFolderPathW(CSIDL_LOCAL_APPDATA)) to a
// program started as run() starts the cases' commands, with `environment`: the folder,
// or "SHGetFolderPath failed: HRESULT" (8 hexadecimal digits).
std::string local_appdata(const Environment& environment);

// ---- Registry --------------------------------------------------------------------------

// Applies a .reg file's text (without its "Windows Registry Editor Version 5.00" header):
// keys, [-deleted] keys, default and named values as strings ("..."), REG_EXPAND_SZ
// (hex(2): ANSI bytes and a final 00) and deletions (=-), in the 64-bit view, where
// HKEY_LOCAL_MACHINE\SOFTWARE\WOW6432Node is the machine's 32-bit view, as regedit's files
// name it (the Windows host opens such a key as SOFTWARE\... in the 32-bit view).
void reg_import(const std::string& body);
// Deletes the Zelkor keys of both roots, in both registry views, and gives the user's
// "Local AppData" folder value back its default.
void reg_clean();
// Sets the value "Local AppData" of the user's User Shell Folders key to `data`, a .reg
// file's value text: "\"C:\\\\x\"" (REG_SZ), expand_sz(...) (REG_EXPAND_SZ) or "-" (deleted).
void set_local_appdata_value(const std::string& data);
std::string expand_sz(const std::string& text);

// ---- Processes ---------------------------------------------------------------------------

struct Result {
    uint32_t exit_code;  // the full 32-bit exit code of the command
    std::string out, err;
};

// Starts `command_line` as typed, through the spawn helper (tests/support/spawn.cpp), with
// exactly `environment` added to the host's own (a variable of the case's replaces one of
// that name), and the given standard input text. Extra spawn options go in
// `spawn_options` (ZKSPAWN_*). With `windows`, the host's desktop is watched while the
// command runs: the title of every top-level window that shows is added to it, and the
// window closed as a user would. A start that meets Wine's own chance failure
// (CreateProcessW failing with 1359, as measured) is made again, twice at most; nothing
// else is, and more than three runs made again in one suite run fail the suite.
Result run(const std::string& command_line, const Environment& environment = {},
           const std::string& input = "", const Environment& spawn_options = {},
           std::vector<std::string>* windows = nullptr);

// run() for a case whose command must show a window: under load, this Wine now and then
// shows none at all (the message box's call returning at once, seen in two full runs of
// every suite, never in a suite run alone, lasting seconds), so a run that showed none is
// made again, twice at most, two and then four seconds later.
Result run_showing(const std::string& command_line, const Environment& environment,
                   const Environment& spawn_options, std::vector<std::string>* windows);

// What a failure of run()'s window watch adds: the code, the windows seen, and what the
// host can say of its desktop.
std::string explain_windows(const std::string& command_line, const Environment& environment,
                            const Environment& spawn_options);

// Starts the program at `path` by that path, as a Windows parent starting it so would
// (a short name stays short where the system hands it on), with `arguments` (no blanks or
// quotes of their own) and `environment`. The exit code may have only 8 bits.
Result run_by_loader(const std::string& path, const std::string& arguments, const Environment& environment = {});

// Starts `command_line` like run(), but on a real console of its own. Once the screen
// shows `ready`, `keys` are typed: "C-c" (Ctrl+C), "C-Break", or "close" (the console
// window closed as a user closes it); none when empty. `out` is the screen's text, wrapped
// lines joined; `err` stays empty.
Result run_on_console(const std::string& command_line, const Environment& environment,
                      const std::string& ready, const std::string& keys);

// ---- What the host can give --------------------------------------------------------------

enum class Feature {
    console_close,  // a console window closed as a user closes it, its event delivered
    long_paths,     // programs started from folders of 260 characters or more
    signing,        // a launcher signed as a release signs it, whose signature verifies
    console_screen, // a console's screen read back as Windows holds it, a long line whole
    links,          // symbolic links and junctions that Windows follows
    short_names,    // 8.3 short names on the volume of drive C
};
// "" when the host gives it; else why not, said specifically ("this Wine delivers no
// console close event"). Asked once and remembered for the run.
std::string missing(Feature feature);

// The host's file `host_source` signed as a release signs it (Authenticode, SHA-256), as
// a host path: a copy signed with a throwaway authority of the run's own, or, where the
// launchers under test come signed, the file itself once its signature verifies (a
// signature that does not throws, naming the system's answer).
std::string signed_copy(const std::string& host_source);

// The environment that makes the system search for the DLLs `names` (without ".dll")
// as Windows does, the program's folder first; none where it searches so already.
Environment dll_search_as_windows(const std::vector<std::string>& names);

// ---- The programs under test and the helpers ---------------------------------------------

// Paths of the built programs: the host's own architecture (x86-64, or ARM64 for the
// arm64 Wine), i686, and the launcher's (i686 for the x86 launchers).
std::string native_build(const std::string& file);
std::string win32_build(const std::string& file);
std::string launcher_build(const std::string& file);
// The launcher under test (the console one, or its windowless twin) and its bits (32 or 64).
std::string launcher_exe(bool windowless = false);
int launcher_bits();
// How an i686 program started on this host ends when the host cannot run it (the arm64
// Wine has no DLL of that width: 0xC0000135, at once), 0 where it runs them; asked once,
// of the i686 stub, and remembered. runs_i386(): that code is 0.
uint32_t i386_start_failure();
bool runs_i386();

}  // namespace host

// ---- Shared by the two implementations (host_common.cpp) --------------------------------
namespace host::detail {

// One start of run(), without making anything again; throws std::runtime_error with
// what the spawn helper said when it could not start the command.
Result run_once(const std::string& command_line, const Environment& environment, const std::string& input,
                const Environment& spawn_options, std::vector<std::string>* windows);
// What the host made again after a chance failure of Wine's: noted on standard error,
// and more than three in one suite run fail the suite (check_made_again, at the end).
void note_made_again(const std::string& what);
void check_made_again();
// Waits `seconds` (before a run made again).
void pause(int seconds);
// The spawn helper as the command of a run(): its Windows path.
std::string spawn_helper();
// Whether the host starts a program from a folder of 300 characters: "" when it does,
// else what its start of the stub there said. Asked once, in C:\zktest.
std::string long_path_start();

}  // namespace host::detail
