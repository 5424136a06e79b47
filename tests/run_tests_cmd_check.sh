#!/usr/bin/env bash
# The tests zip's run-tests.cmd, read by this Wine's cmd: the launchers' folder reaches
# zk_e2e.exe as one argument naming that folder, typed with or without its trailing
# backslash (which would otherwise end the quoted argument in \"), with a blank in it, or
# a drive's root; the options after it pass on (one holding "=" in quotes, as cmd needs); the program's exit code is the script's;
# no folder is a usage line and 2. zk_e2e.exe is played by the stub interpreter, which
# prints its own command line and exits with ZKSTUB_EXIT; each line is typed as at cmd's
# prompt, through the spawn helper (Wine would quote Unix arguments its own way).
# Usage: run_tests_cmd_check.sh SOURCE_DIR WINDOWS_X64_BUILD PREFIX
set -uo pipefail
source_dir=$1 built=$2 prefix=$3
fail() { echo "run_tests_cmd_check: $*" >&2; exit 1; }
wine() {
  env -i WINEPREFIX="$prefix" WINELOADER=/usr/lib/wine/wine64 WINEDEBUG=-all LANG=C.UTF-8 HOME="${HOME:-/root}" \
    "$@"
}
mkdir -p "$prefix"
wine /usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1 || fail "cannot make the Wine prefix $prefix"
trap 'wine /usr/lib/wine/wineserver64 -k 2>/dev/null' EXIT
folder="$prefix/drive_c/zk tests"
mkdir -p "$folder"
cp "$source_dir/tests/support/run-tests.cmd" "$folder/"
cp "$built/zelkor_stub.exe" "$folder/zk_e2e.exe"
cp "$built/spawn.exe" "$folder/spawn.exe"
# typed LINE: what cmd's prompt runs for that line; its output, then "exit N".
typed() {
  wine ZKSTUB_EXIT=7 ZKSPAWN_CMDLINE="C:\windows\system32\cmd.exe /d /s /c \"$1\"" \
    ZKSPAWN_RESULT='C:\zk tests\result' /usr/lib/wine/wine64 "C:\\zk tests\\spawn.exe" 2>&1 | tr -d '\r'
  echo "exit $(tr -d '\r\n' < "$folder/result" 2>/dev/null)"
  rm -f "$folder/result"
}
# folder as typed | what zk_e2e.exe's command line holds after --launchers
while IFS='|' read -r folder_typed launchers; do
  out=$(typed "\"C:\\zk tests\\run-tests.cmd\" x64 $folder_typed \"--gtest_filter=A.B\" --runner x")
  want="--width x64 --launchers \"$launchers\" --gtest_output=xml:zk_e2e-x64.xml \"--gtest_filter=A.B\" --runner x"
  [[ "$out" == *"zk_e2e.exe\" $want"* ]] || fail "$folder_typed: zk_e2e.exe ran as: $out"
  [[ "$out" == *"exit 7" ]] || fail "$folder_typed: not the program's exit code 7: $out"
done <<'ROWS'
C:\rel\x64|C:\rel\x64
C:\rel\x64\|C:\rel\x64\.
"C:\rel\x64\"|C:\rel\x64\.
"C:\my rel\x64\"|C:\my rel\x64\.
C:\|C:\.
ROWS
out=$(typed '"C:\zk tests\run-tests.cmd" x64')
[[ "$out" == "usage: run-tests.cmd x86|x64|arm64 LAUNCHERS_FOLDER"*"exit 2" ]] || fail "no folder: $out"
echo "run_tests_cmd_check: passed"
