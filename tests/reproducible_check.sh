#!/bin/sh
# Two builds of the products of one preset from the same sources in different
# directories must give byte-identical executables, with no build path inside.
# Usage: reproducible_check.sh SOURCE_DIR PRESET REFERENCE_EXE...
set -eu
source_dir=$(realpath "$1")
preset=$2
shift 2
work=$(mktemp -d /tmp/zklaunch-repro.XXXXXX)
trap 'rm -rf "$work"' EXIT
# The tracked files (or, outside a checkout, the tree) in a directory of another name.
mkdir -p "$work/elsewhere-src"
if git -C "$source_dir" rev-parse >/dev/null 2>&1; then
  git -C "$source_dir" ls-files -z | (cd "$source_dir" && xargs -0 tar -cf -) | tar -xf - -C "$work/elsewhere-src"
else
  cp -r "$source_dir/." "$work/elsewhere-src"
fi
cd "$work/elsewhere-src"
cmake --preset "$preset" -B "$work/build" >/dev/null
for exe in "$@"; do
  reference=$(realpath "$exe")
  name=$(basename "$reference" .exe)
  cmake --build "$work/build" --target "$name" >/dev/null
  if ! cmp "$reference" "$work/build/$name.exe"; then
    echo "reproducible check: two builds of $preset's $name.exe differ" >&2
    exit 1
  fi
  for dir in "$source_dir" "$work" "$(dirname "$reference")"; do
    if grep -q -F "$dir" "$reference"; then
      echo "reproducible check: $name.exe holds the build path $dir" >&2
      exit 1
    fi
  done
  echo "reproducible check: $preset's $name.exe identical ($(stat -c %s "$reference") bytes), no build path inside"
done
