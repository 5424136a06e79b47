#!/usr/bin/env bash
# The set-up script's failure road: run by a user without root, with a package made to
# look missing (a dpkg-query that knows no package), it must print exactly one line
# "bootstrap: cannot ..." on its standard error, also inside a pipeline, and exit 1.
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
chmod 1777 "$work"  # the unprivileged user works in it too
trap 'rm -rf "$work"' EXIT
printf '#!/bin/sh\nexit 1\n' > "$work/dpkg-query"
chmod 755 "$work/dpkg-query"

as_user=()
if [ "$(id -u)" -eq 0 ]; then
  as_user=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
elif sudo -n true 2>/dev/null; then
  echo "bootstrap_check: run it as root or as a user without sudo" >&2
  exit 1
fi
run() { "${as_user[@]}" env -i PATH="$work:/usr/sbin:/usr/bin:/sbin:/bin" HOME="$work" TMPDIR="$work" "$@"; }

expected="bootstrap: cannot install wine32:i386: it needs root (or sudo without a password)"
fail() { echo "bootstrap_check: $*" >&2; exit 1; }

run "$top/scripts/bootstrap" > "$work/out" 2> "$work/err"
status=$?
[ "$status" -eq 1 ] || fail "exit status $status, not 1"
[ "$(cat "$work/err")" = "$expected" ] || fail "standard error was: $(cat "$work/err")"
[ ! -s "$work/out" ] || fail "standard output was: $(cat "$work/out")"

# In a pipeline, both streams into it: the line once.
piped=$(run bash -c '"$1" 2>&1 | cat' _ "$top/scripts/bootstrap")
[ "$piped" = "$expected" ] || fail "in a pipeline it printed: $piped"
echo "bootstrap_check: passed"
