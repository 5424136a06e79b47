#!/usr/bin/env bash
# The release, unsigned and signed with a throwaway authority of its own (no network):
# - unsigned: SHA256SUMS, the zip (which tests whole), no SHA256SUMS.unsigned; the tests
#   folder and zip (zk_e2e.exe, run-tests.cmd, the helpers) checked likewise;
# - signed from PKCS#12, twice: the trees and the zips (the tests zip too) identical; each product's signature
#   verifies against the authority and not against another; removed, it gives the
#   unsigned release's product byte for byte; SHA256SUMS.unsigned is the unsigned
#   release's SHA256SUMS; signed from a PEM key and certificate too;
# - a wrong password, a missing key file, a certificate without the code-signing usage:
#   one line "release: ...", exit 1, and the release already there left as it was;
# - a run interrupted (SIGTERM) inside the replacement (the new folder moved in, its zip
#   not yet): the release already there back in place, whole, and nothing of the run left;
#   a first release interrupted there: no release at all.
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d /tmp/release_check.XXXXXX)
trap 'rm -rf "$work"' EXIT
fail() { echo "release_check: $*" >&2; exit 1; }
"$top/tests/support/throwaway_ca.sh" "$work/ca" || fail "cannot make the throwaway authority"
ca=$work/ca
release() {  # out-folder option ...
  local out=$1
  shift
  "$top/scripts/release" --out "$work/$out" "$@" > "$work/$out.out" 2> "$work/$out.err"
}
p12=(--pkcs12 "$ca/cs.p12" --password-file "$ca/password.txt" --ca "$ca/ca.crt")

release unsigned || fail "the unsigned release failed: $(cat "$work/unsigned.err")"
name=$(cd "$work/unsigned" && find . -maxdepth 1 -type d -name "zklaunch-*" ! -name "*-tests" -printf "%f\n")
[ -f "$work/unsigned/$name/SHA256SUMS" ] && [ ! -e "$work/unsigned/$name/SHA256SUMS.unsigned" ] ||
  fail "unsigned: SHA256SUMS missing, or SHA256SUMS.unsigned present"
unzip -tq "$work/unsigned/$name.zip" >/dev/null || fail "unsigned: the zip does not test whole"
(cd "$work/unsigned" && sha256sum -c --quiet "$name.zip.sha256") || fail "unsigned: the zip's SHA-256 is wrong"
# The tests zip: the Windows test program, its one-line runner and the helpers of each
# width, each listed in its SHA256SUMS; the zip whole, its SHA-256 right.
tests=$name-tests
(cd "$work/unsigned/$tests" && sha256sum -c --quiet SHA256SUMS) || fail "tests: SHA256SUMS does not match"
for file in zk_e2e.exe run-tests.cmd helpers/x86/spawn.exe helpers/x64/zelkor_stub.exe helpers/arm64/planted.dll; do
  grep -q "  $file\$" "$work/unsigned/$tests/SHA256SUMS" || fail "tests: $file is not listed"
done
[ "$(unzip -Z1 "$work/unsigned/$tests.zip" | LC_ALL=C sort)" = "$(cd "$work/unsigned" && find "$tests" -type f | LC_ALL=C sort)" ] ||
  fail "tests: the zip does not hold the tests folder"
(cd "$work/unsigned" && sha256sum -c --quiet "$tests.zip.sha256") || fail "tests: the zip's SHA-256 is wrong"

release signed "${p12[@]}" || fail "the signed release failed: $(cat "$work/signed.err")"
release again "${p12[@]}" || fail "the second signed release failed: $(cat "$work/again.err")"
diff -r "$work/signed" "$work/again" >/dev/null || fail "two signed releases differ"
cmp -s "$work/signed/$name.zip" "$work/unsigned/$name.zip" && fail "the signed zip is the unsigned one"
cmp -s "$work/signed/$name/SHA256SUMS.unsigned" "$work/unsigned/$name/SHA256SUMS" ||
  fail "SHA256SUMS.unsigned is not the unsigned release's SHA256SUMS"
(cd "$work/signed/$name" && sha256sum -c --quiet SHA256SUMS) || fail "signed: SHA256SUMS does not match"
release pem --key "$ca/cs.key" --cert "$ca/cs.crt" --ca "$ca/ca.crt" || fail "the PEM-signed release failed: $(cat "$work/pem.err")"
for exe in x86/zklaunch.exe x86/zklaunchw.exe x64/zklaunch.exe x64/zklaunchw.exe arm64/zklaunch.exe arm64/zklaunchw.exe; do
  for tree in signed pem; do
    signed=$work/$tree/$name/$exe
    cmp -s "$signed" "$work/unsigned/$name/$exe" && fail "$tree: $exe is not signed"
    osslsigncode verify -CAfile "$ca/ca.crt" -in "$signed" > /dev/null 2>&1 || fail "$tree: $exe does not verify"
    osslsigncode verify -CAfile "$ca/other-ca.crt" -in "$signed" > /dev/null 2>&1 &&
      fail "$tree: $exe verifies against an authority that did not sign it"
    rm -f "$work/stripped.exe"
    osslsigncode remove-signature -in "$signed" -out "$work/stripped.exe" > /dev/null 2>&1 &&
      cmp -s "$work/stripped.exe" "$work/unsigned/$name/$exe" || fail "$tree: $exe unsigned is not the unsigned product"
  done
done

# The failures, each into the folder of a complete release, which must stay as it was.
echo "not the password" > "$work/wrong-password.txt"
while IFS='|' read -r case want options; do
  read -ra args <<< "$options"
  release signed "${args[@]}" && fail "$case: the release did not fail"
  [ "$(wc -l < "$work/signed.err")" -eq 1 ] && grep -qx "release: $want" "$work/signed.err" ||
    fail "$case: it said: $(cat "$work/signed.err")"
  diff -r "$work/signed" "$work/again" >/dev/null || fail "$case: the release already there changed"
done <<EOF
a wrong password|cannot open $ca/cs.p12 with the password in $work/wrong-password.txt|--pkcs12 $ca/cs.p12 --password-file $work/wrong-password.txt
a missing key file|cannot read $ca/missing.key|--key $ca/missing.key --cert $ca/cs.crt
no code-signing usage|the certificate CN = zklaunch test signer may not sign code (no extendedKeyUsage codeSigning)|--key $ca/cs.key --cert $ca/tls.crt
EOF
# Interrupted inside the replacement: over a release (which must come back whole), and as
# the first release of its folder (which must then hold none).
interrupted() {  # out-folder
  rm -f "$work/paused"
  ZK_RELEASE_PAUSE_FILE=$work/paused "$top/scripts/release" --out "$work/$1" > "$work/paused.out" 2>&1 &
  pid=$!
  for _ in $(seq 1 1200); do [ -e "$work/paused" ] || ! kill -0 "$pid" 2>/dev/null && break; sleep 0.5; done
  [ -e "$work/paused" ] || fail "$1: the interrupted run never reached the swap: $(cat "$work/paused.out")"
  [ -d "$work/$1/$name" ] && [ ! -e "$work/$1/$name.zip" ] || fail "$1: the run paused elsewhere than inside the swap"
  kill -TERM "$pid"
  wait "$pid"
  [ -z "$(find "$work/$1" -maxdepth 1 -name '.release.*')" ] || fail "$1: the interrupted run left its folder"
}
cp -r "$work/unsigned" "$work/unsigned-before"
interrupted unsigned
diff -r "$work/unsigned" "$work/unsigned-before" >/dev/null || fail "interrupted while replacing, the release is not whole"
mkdir "$work/first"
interrupted first
[ -z "$(ls -A "$work/first")" ] || fail "a first release interrupted while moved in left: $(ls -A "$work/first")"
echo "release_check: passed"
