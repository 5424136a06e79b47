#!/bin/sh
# Checks the shipped 32-bit launcher: PE32 for i386, console subsystem, the manifest
# resource embedded, and imports from system DLLs only.
exe="$1"
fail() { echo "product check: $exe: $*" >&2; exit 1; }
[ -f "$exe" ] || fail "no such file"
headers=$(objdump -p "$exe") || fail "objdump cannot read $exe"
echo "$headers" | grep -q 'file format pei-i386' || fail "not a PE for i386"
echo "$headers" | grep -Eq '^Magic[[:space:]]+010b' || fail "not PE32"
echo "$headers" | grep -Eq '^Subsystem[[:space:]]+00000003' || fail "not a console program"
imports=$(echo "$headers" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z' | sort)
for dll in $imports; do
  case "$dll" in
    kernel32.dll|advapi32.dll|shell32.dll|version.dll|msvcrt.dll) ;;
    *) fail "imports $dll, which is not a system DLL" ;;
  esac
done
# The manifest: resource type 24 holding the execution level and the supported systems.
objdump -h "$exe" | grep -q '\.rsrc' || fail "no resource section"
grep -q 'asInvoker' "$exe" || fail "no manifest with asInvoker"
grep -q '8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a' "$exe" || fail "manifest does not declare Windows 10"
grep -q 'e2011457-1546-43c5-a5fe-008deee3d3f0' "$exe" || fail "manifest does not declare Windows Vista"
size=$(stat -c %s "$exe")
[ "$size" -le 65536 ] || fail "$size bytes, more than 64 KiB"
echo "product check: $size bytes, $exe is PE32 i386, console, manifest embedded, imports: $(echo $imports)"
