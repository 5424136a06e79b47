#!/bin/sh
# Checks a shipped 32-bit launcher: PE32 for i386, its subsystem (console for
# zklaunch.exe, Windows for zklaunchw.exe), the manifest resource embedded, imports from
# system DLLs only (user32 for the windowless one alone), at most 64 KiB.
# Usage: product_check.sh EXE console|windows
exe="$1"
kind="$2"
fail() { echo "product check: $exe: $*" >&2; exit 1; }
[ -f "$exe" ] || fail "no such file"
headers=$(objdump -p "$exe") || fail "objdump cannot read $exe"
echo "$headers" | grep -q 'file format pei-i386' || fail "not a PE for i386"
echo "$headers" | grep -Eq '^Magic[[:space:]]+010b' || fail "not PE32"
allowed="kernel32.dll advapi32.dll shell32.dll version.dll msvcrt.dll"
case "$kind" in
  console) subsystem=00000003 ;;
  windows) subsystem=00000002 allowed="$allowed user32.dll" ;;
  *) fail "the kind is console or windows, not '$kind'" ;;
esac
echo "$headers" | grep -Eq "^Subsystem[[:space:]]+$subsystem" || fail "not a $kind program"
imports=$(echo "$headers" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z' | sort)
for dll in $imports; do
  case " $allowed " in
    *" $dll "*) ;;
    *) fail "imports $dll, which a $kind launcher must not" ;;
  esac
done
# The manifest: resource type 24 holding the execution level and the supported systems.
objdump -h "$exe" | grep -q '\.rsrc' || fail "no resource section"
grep -q 'asInvoker' "$exe" || fail "no manifest with asInvoker"
grep -q '8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a' "$exe" || fail "manifest does not declare Windows 10"
grep -q 'e2011457-1546-43c5-a5fe-008deee3d3f0' "$exe" || fail "manifest does not declare Windows Vista"
size=$(stat -c %s "$exe")
[ "$size" -le 65536 ] || fail "$size bytes, more than 64 KiB"
echo "product check: $size bytes, $exe is PE32 i386, $kind, manifest embedded, imports: $(echo $imports)"
