#!/bin/sh
# The CI workflows validate against GitHub's workflow schema (action-validator, pinned in
# tests/tools and installed by the bootstrap), and a workflow with a misspelt key does not:
# the validator is really reading them. Each action is pinned to a full commit (its tag
# in a comment), each job has its time limit, no container is privileged.
# Usage: workflow_check.sh SOURCE_DIR VALIDATOR
set -u
source_dir=$1
validator=$2
fail() { echo "workflow check: $*" >&2; exit 1; }
[ -x "$validator" ] || fail "no validator at $validator (scripts/bootstrap installs it)"
# What the schema allows but a runner's owner must not get: an action by a tag that its
# owner can move (only a full commit, its tag in a comment), a job without a time limit (a
# hang costs six hours), a privileged container.
hygiene() {  # workflow
  awk -v file="$1" '
    BEGIN { pinned = "uses: *[^@ ]+@"; for (i = 0; i < 40; i++) pinned = pinned "[0-9a-f]"; pinned = pinned " # v[0-9][^ ]*$" }
    /^jobs:/ { in_jobs = 1; next }
    in_jobs && /^  [A-Za-z0-9_-]+:/ { if (job != "" && !limited) bad = bad " " job; job = $1; limited = 0; sub(/:$/, "", job); next }
    in_jobs && /^    timeout-minutes: *[0-9]+/ { limited = 1 }
    /uses:/ && $0 !~ pinned { print file ": not pinned to a commit with its tag: " $0; failed = 1 }
    /--privileged/ { print file ": a privileged container: " $0; failed = 1 }
    END {
      if (job != "" && !limited) bad = bad " " job
      if (bad != "") { print file ": jobs without timeout-minutes:" bad; failed = 1 }
      exit failed
    }' "$1"
}
count=0
for workflow in "$source_dir"/.github/workflows/*.yml; do
  [ -f "$workflow" ] || continue
  "$validator" "$workflow" >/dev/null 2>&1 || { "$validator" "$workflow" >&2; fail "$workflow does not validate"; }
  hygiene "$workflow" >&2 || fail "$workflow: see above"
  count=$((count + 1))
done
[ "$count" -gt 0 ] || fail "no workflow in $source_dir/.github/workflows"
broken=$(mktemp --suffix=.yml)
trap 'rm -f "$broken"' EXIT
sed 's/^\( *\)steps:/\1stepz:/' "$(ls "$source_dir"/.github/workflows/*.yml | head -n 1)" > "$broken"
"$validator" "$broken" >/dev/null 2>&1 && fail "a workflow with a misspelt key validates: the validator reads nothing"
# The hygiene check reads them too: an action by its tag, a job without its limit.
first=$(ls "$source_dir"/.github/workflows/*.yml | head -n 1)
sed 's/^\( *- uses: [^@]*\)@[0-9a-f]\{40\} # \(v[^ ]*\)$/\1@\2/' "$first" > "$broken"
hygiene "$broken" >/dev/null && fail "an action named by its tag passes the hygiene check"
sed '/^    timeout-minutes:/d' "$first" > "$broken"
hygiene "$broken" >/dev/null && fail "a job without timeout-minutes passes the hygiene check"
echo "workflow check: $count workflow(s) valid"
