#!/usr/bin/env bash
# Builds what Debian lacks to link ARM64 Windows programs: the mingw-w64 C runtime for
# aarch64 (startup code, mingw32, mingwex, msvcrt, the import libraries of the system
# DLLs, compiler-rt), from the sources and definition files of the repackaged Zig in
# ZIG_DIR, into SYSROOT laid out as clang's MinGW driver expects it:
#   SYSROOT/lib        crt2.o, crt2u.o (the wide entry point), dllcrt2.o, crtbegin.o, crtend.o,
#                      lib<name>.a for every library the driver names
#   SYSROOT/include    the mingw-w64 headers; include/c++/v1 libc++'s headers, which
#                      take their configuration from the command line, as Zig gives it
#   SYSROOT/share/notices  mingw-w64's licence, Zig's licence and the package's package.json
# Zig builds the libraries once (its own clang compiles mingw-w64's sources, and it writes
# the import libraries from their .def files); Debian's clang compiles the wide startup
# code, which Zig 0.11 does not build; Debian's llvm-ar puts the archives together.
# The same ZIG_DIR gives the same files. Usage: runtime.sh ZIG_DIR SYSROOT
set -euo pipefail
zig_dir=$(realpath "$1")
sysroot=$(realpath -m "$2")
# A work folder of a fixed name: Zig names the members of its archives by their path in its
# cache, so a folder of another name each time would give other archives.
work=$sysroot.build
rm -rf "$work"
mkdir -p "$work"
trap 'rm -rf "$work"' EXIT
export ZIG_GLOBAL_CACHE_DIR="$work/cache" ZIG_LOCAL_CACHE_DIR="$work/local-cache"

# A program that needs every library the launchers and the test programs link with; Zig
# names the files it built on its link line. Without link-time optimisation, so that the
# objects are machine code, which Debian's LLVM 14 links, not Zig's LLVM 16 bitcode.
printf '#include <windows.h>\nint main(void) { return 0; }\n' > "$work/probe.c"
(cd "$work" && "$zig_dir/zig" build-exe probe.c -target aarch64-windows-gnu -lc -ladvapi32 -luser32 -lshell32 \
  -O ReleaseSmall -fno-lto --verbose-link) > "$work/link.txt" 2>&1 || { cat "$work/link.txt" >&2; exit 1; }
link=$(grep '^lld-link ' "$work/link.txt") || { echo "runtime.sh: no link line from zig" >&2; exit 1; }

# What is made goes into $out, which becomes SYSROOT once complete.
out=$work/sysroot
mkdir -p "$out/lib"
built() {  # the file Zig built under this name
  local f
  for f in $link; do
    [ "${f##*/}" != "$1" ] || { echo "$f"; return; }
  done
  echo "runtime.sh: zig built no $1" >&2
  exit 1
}
cp "$(built crt2.obj)" "$out/lib/crt2.o"
for name in mingw32 mingwex uuid kernel32 advapi32 user32 shell32 ntdll; do
  cp "$(built $name.lib)" "$out/lib/lib$name.a"
done
# compiler-rt stands where the driver looks for libgcc; msvcrt is the import library and
# mingw-w64's own additions in one archive, as mingw-w64 ships it.
cp "$(built compiler_rt.lib)" "$out/lib/libgcc.a"
llvm-ar-14 qcLD "$out/lib/libmsvcrt.a" "$(built msvcrt.lib)" "$(built msvcrt-os.lib)"
llvm-ar-14 sD "$out/lib/libmsvcrt.a"
# Named by the driver, empty here: exceptions are off, and lld provides the constructor
# lists that crtbegin.o and crtend.o would mark.
llvm-ar-14 rcD "$out/lib/libgcc_eh.a"
llvm-ar-14 rcD "$out/lib/libmoldname.a"
target=(--target=aarch64-w64-windows-gnu -nostdlibinc -isystem "$zig_dir/lib/libc/include/any-windows-any")
: > "$work/empty.c"
for crt in crtbegin crtend; do clang-14 "${target[@]}" -c "$work/empty.c" -o "$out/lib/$crt.o"; done
# The wide entry point (wmain), which Zig 0.11 does not build, and a DLL's, which it builds
# only for a DLL: with the flags Zig builds crt2.obj with.
crt=(-Os -DHAVE_CONFIG_H -I "$zig_dir/lib/libc/mingw/include" -D_CRTBLD -D_WIN32_WINNT=0x0f00 \
  -D__MSVCRT_VERSION__=0x700 -D__USE_MINGW_ANSI_STDIO=0 -D_SYSCRT=1 -DCRTDLL=1 -U__CRTDLL__ -D__MSVCRT__ -Wno-pragma-pack)
clang-14 "${target[@]}" "${crt[@]}" -DUNICODE -D_UNICODE -DWPRFLAG=1 -c "$zig_dir/lib/libc/mingw/crt/crtexe.c" \
  -o "$out/lib/crt2u.o"
clang-14 "${target[@]}" "${crt[@]}" -c "$zig_dir/lib/libc/mingw/crt/crtdll.c" -o "$out/lib/dllcrt2.o"

# The notices of what is linked from here (mingw-w64's licence as Zig carries it) and of
# the package it came from (Zig's licence, its package.json), which the release's
# third-party notices and bill of materials are written from.
mkdir -p "$out/share/notices"
cp "$zig_dir/lib/libc/mingw/COPYING" "$out/share/notices/mingw-w64-COPYING"
cp "$zig_dir/LICENSE" "$out/share/notices/zig-LICENSE"
cp "$zig_dir/package.json" "$out/share/notices/package.json"

mkdir -p "$out/include/c++"
cp -r "$zig_dir/lib/libc/include/any-windows-any/." "$out/include/"
cp -r "$zig_dir/lib/libcxx/include" "$out/include/c++/v1"

chmod -R a+rX "$out"
rm -rf "$sysroot"
mv "$out" "$sysroot"
