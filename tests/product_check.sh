#!/bin/sh
# Checks a shipped launcher: a PE file for its architecture (PE32 for x86, PE32+ for x64
# and ARM64), its subsystem (console for zklaunch.exe, Windows for zklaunchw.exe),
# imports exactly from the known DLLs kernel32, advapi32 and msvcrt (everything else is
# loaded at run time from the system folder), the manifest and the version resource
# embedded, terminal-server aware, the PE checksum right, at most 64 KiB. llvm-readobj
# reads PE files of every architecture.
# Usage: product_check.sh EXE x86|x64|arm64 console|windows VERSION
exe="$1"
arch="$2"
kind="$3"
version="$4"
fail() { echo "product check: $exe: $*" >&2; exit 1; }
[ -f "$exe" ] || fail "no such file"
headers=$(llvm-readobj --file-headers --coff-imports --coff-resources "$exe" 2>&1) || fail "llvm-readobj cannot read it: $headers"
field() { echo "$headers" | sed -n "s/^ *$1: //p" | head -n 1; }
case "$arch" in
  x86) format=COFF-i386 magic=0x10B ;;
  x64) format=COFF-x86-64 magic=0x20B ;;
  arm64) format=COFF-ARM64 magic=0x20B ;;
  *) fail "the architecture is x86, x64 or arm64, not '$arch'" ;;
esac
[ "$(field Format)" = "$format" ] || fail "format $(field Format), not $format"
[ "$(field Magic | head -n 1)" = "$magic" ] || fail "optional header magic $(field Magic), not $magic"
case "$kind" in
  console) subsystem="IMAGE_SUBSYSTEM_WINDOWS_CUI (0x3)" description="Zelkor script launcher" name=zklaunch ;;
  windows) subsystem="IMAGE_SUBSYSTEM_WINDOWS_GUI (0x2)" description="Zelkor script launcher, windowless" name=zklaunchw ;;
  *) fail "the kind is console or windows, not '$kind'" ;;
esac
[ "$(field Subsystem)" = "$subsystem" ] || fail "subsystem $(field Subsystem), not a $kind program"
# Terminal-server aware, with ASLR and DEP: a Remote Desktop host gives it the machine's
# Windows folder, not a per-user one.
for flag in TERMINAL_SERVER_AWARE DYNAMIC_BASE NX_COMPAT; do
  echo "$headers" | grep -q "IMAGE_DLL_CHARACTERISTICS_$flag " || fail "not marked $flag"
done
imports=$(echo "$headers" | sed -n '/^ *Import {/,/}/s/^ *Name: //p' | tr 'A-Z' 'a-z' | sort | tr '\n' ' ')
[ "$imports" = "advapi32.dll kernel32.dll msvcrt.dll " ] ||
  fail "imports $imports; only advapi32.dll kernel32.dll msvcrt.dll, the known DLLs, may be"
# The manifest: the execution level, the supported systems, long paths.
echo "$headers" | grep -q 'Type: MANIFEST (ID 24)' || fail "no manifest resource"
grep -q 'asInvoker' "$exe" || fail "no manifest with asInvoker"
grep -q '8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a' "$exe" || fail "manifest does not declare Windows 10"
grep -q 'e2011457-1546-43c5-a5fe-008deee3d3f0' "$exe" || fail "manifest does not declare Windows Vista"
grep -q 'http://schemas.microsoft.com/SMI/2016/WindowsSettings' "$exe" &&
  grep -q '<ws2:longPathAware>true</ws2:longPathAware>' "$exe" || fail "manifest does not declare longPathAware"
# The version resource and its strings, as UTF-16 text, each value with its terminator.
echo "$headers" | grep -q 'Type: VERSIONINFO' || fail "no version resource"
bytes=" $(od -An -v -tx1 "$exe" | tr -s ' \n' '  ') "
utf16() { printf '%s' "$1" | iconv -f UTF-8 -t UTF-16LE | od -An -v -tx1 | tr -s ' \n' '  ' | sed 's/^ //; s/ $//'; }
for entry in "FileDescription=$description" "FileVersion=$version" "ProductVersion=$version" \
             "ProductName=zklaunch" "InternalName=$name" "OriginalFilename=$name.exe" \
             "LegalCopyright=Copyright (c) 2026 the zklaunch developers. MIT licence (SPDX-License-Identifier: MIT)"; do
  case "$bytes" in
    *" $(utf16 "${entry%%=*}") 00 00 "*) ;;
    *) fail "no ${entry%%=*} in the version resource" ;;
  esac
  case "$bytes" in
    *" $(utf16 "${entry#*=}") 00 00 "*) ;;
    *) fail "the version resource's ${entry%%=*} is not '${entry#*=}'" ;;
  esac
done
# The PE checksum is the file's (a signature removed, the file comes back whole).
copy=$(mktemp)
cp "$exe" "$copy"
python3 "$(dirname "$0")/../cmake/pe_checksum.py" "$copy"
cmp -s "$exe" "$copy" || { rm -f "$copy"; fail "the PE checksum is not the file's"; }
rm -f "$copy"
size=$(stat -c %s "$exe")
[ "$size" -le 65536 ] || fail "$size bytes, more than 64 KiB"
echo "product check: $size bytes, $exe is $format ($magic), $kind, manifest and version $version embedded, imports: $imports"
