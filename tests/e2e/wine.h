// The end-to-end harness: one Wine prefix under the build tree and one persistent
// wineserver for the whole run, Windows files written under the prefix's drive C, the
// registry changed through .reg imports, and the launcher started by a Windows-side spawn
// helper with an exact raw command line (Wine would re-quote Unix arguments), its
// standard streams redirected or on a real console (a tmux pane).
//
// The launcher under test is chosen by ZK_E2E_LAUNCHER: "x86", the 32-bit product, which
// runs under WOW64 (wine32, with qemu-user where the kernel cannot run i386 itself),
// "x64", the 64-bit one, or "arm64", the ARM64 one, under Debian's arm64 Wine run by
// qemu-user (emulated, about 0.7 s a process).
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace wine {

using Environment = std::vector<std::pair<std::string, std::string>>;

// Creates the prefix when it is missing (or was made without WOW64), starts an X server
// of the harness's own (Xvfb on a display it chooses), the wineserver and the session's
// desktop; stop() ends them.
void start();
void stop();

// Where a Windows path (C:\...) lies on the Unix side.
std::string unix_path(const std::string& windows_path);

// Writes a file, creating its directories. Removes every file and directory written
// since the last call of forget_files(), and the per-user zk.ini.
void write_file(const std::string& windows_path, const std::string& bytes);
void copy_file(const std::string& unix_source, const std::string& windows_path);
void forget_files();
bool exists(const std::string& windows_path);
// Makes `link` a symbolic link to `target` (both Windows paths), from the Unix side: Wine
// follows it as Windows follows a file or folder link (Wine's own mklink makes nothing).
void symlink(const std::string& target, const std::string& link);
// The 8.3 short form of an existing file's path, as Windows gives it (cmd's %~s).
std::string short_path(const std::string& windows_path);

// The per-user local application-data folder (where the per-user zk.ini lives).
std::string local_appdata();

// Imports a .reg file's text (the "Windows Registry Editor Version 5.00" header is added).
void reg_import(const std::string& body);
// Deletes the Zelkor keys of both roots, in both registry views, and gives the user's
// "Local AppData" folder value back its default.
void reg_clean();
// Sets the value "Local AppData" of the user's User Shell Folders key to `data`, a .reg
// file's value text: "\"C:\\\\x\"" (REG_SZ), expand_sz(...) (REG_EXPAND_SZ) or "-" (deleted).
void set_local_appdata_value(const std::string& data);
std::string expand_sz(const std::string& text);

struct Result {
    uint32_t exit_code;  // the full 32-bit exit code of the command
    std::string out, err;
};

// Starts `command_line` as typed, with exactly `environment` added to Wine's own, and the
// given standard input text. Extra spawn options go in `spawn_options` (ZKSPAWN_*). A
// start that meets Wine's own chance failure (CreateProcessW failing with 1359, as
// measured) is made again, twice at most; nothing else is, and more than three runs made
// again in one suite run fail the suite. With
// `windows`, the harness's display is watched while the command runs: the title of every
// top-level window that shows is added to it, and the window closed by a key (Return).
Result run(const std::string& command_line, const Environment& environment = {},
           const std::string& input = "", const Environment& spawn_options = {},
           std::vector<std::string>* windows = nullptr);

// run() for a case whose command must show a window: under load, this Wine now and then
// shows none at all (the message box's call returning at once, seen in two full runs of
// every suite, never in a suite run alone, lasting seconds), so a run that showed none is
// made again, twice at most, two and then four seconds later.
Result run_showing(const std::string& command_line, const Environment& environment,
                   const Environment& spawn_options, std::vector<std::string>* windows);

// Runs a case again with Wine's log of processes, windows and message boxes on; what a
// failure of run()'s window watch adds: the code, the windows seen, the log's end.
std::string explain_windows(const std::string& command_line, const Environment& environment,
                            const Environment& spawn_options);

// The visible top-level windows of the harness's display (Xvfb): id and title.
std::vector<std::pair<std::string, std::string>> visible_windows();

// Starts the program at `windows_path` through the Wine loader itself, as a Windows parent
// starting it by that path would, with `arguments` (no blanks or quotes of their own) and
// `environment`: the loader hands the path on as given (a short name stays short), where
// the spawn helper's CreateProcessW may hand on the long one. The exit code has 8 bits.
Result run_by_loader(const std::string& windows_path, const std::string& arguments,
                     const Environment& environment = {});

// Starts `command_line` like run(), but on a real console: a tmux pane of its own. Once
// the screen shows `ready`, `keys` are typed (tmux send-keys names, such as "C-c"; none
// when empty). `out` is the screen's text, wrapped lines joined; `err` stays empty.
Result run_on_console(const std::string& command_line, const Environment& environment,
                      const std::string& ready, const std::string& keys);

// Paths of the built programs: the Wine's own architecture (x86-64, or ARM64 for the
// arm64 run), i686, and the launcher's (i686 for the x86 run).
std::string native_build(const std::string& file);
std::string win32_build(const std::string& file);
std::string launcher_build(const std::string& file);
// The launcher under test (the console one, or its windowless twin) and its bits (32 or 64).
std::string launcher_exe(bool windowless = false);
int launcher_bits();
// Whether this Wine starts i686 programs (the arm64 one cannot).
bool runs_i386();

}  // namespace wine
