#!/bin/sh
# The CI workflows validate against GitHub's workflow schema (action-validator, pinned in
# tests/tools and installed by the bootstrap), and a workflow with a misspelt key does not:
# the validator is really reading them.
# Usage: workflow_check.sh SOURCE_DIR VALIDATOR
set -u
source_dir=$1
validator=$2
fail() { echo "workflow check: $*" >&2; exit 1; }
[ -x "$validator" ] || fail "no validator at $validator (scripts/bootstrap installs it)"
count=0
for workflow in "$source_dir"/.github/workflows/*.yml; do
  [ -f "$workflow" ] || continue
  "$validator" "$workflow" >/dev/null 2>&1 || { "$validator" "$workflow" >&2; fail "$workflow does not validate"; }
  count=$((count + 1))
done
[ "$count" -gt 0 ] || fail "no workflow in $source_dir/.github/workflows"
broken=$(mktemp --suffix=.yml)
trap 'rm -f "$broken"' EXIT
sed 's/^\( *\)steps:/\1stepz:/' "$(ls "$source_dir"/.github/workflows/*.yml | head -n 1)" > "$broken"
"$validator" "$broken" >/dev/null 2>&1 && fail "a workflow with a misspelt key validates: the validator reads nothing"
echo "workflow check: $count workflow(s) valid"
