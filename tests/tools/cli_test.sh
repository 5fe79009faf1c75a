#!/bin/sh
# The velta tool end to end: put, commit twice, read back old and new
# versions, search, history and verify, in a scratch directory.
set -eu
tool="$1"
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

printf 'the quick brown fox' > "$dir/a.txt"
printf 'the quick red fox jumps' > "$dir/b.txt"
"$tool" put "$dir/s.vl" doc "$dir/a.txt"
"$tool" put "$dir/s.vl" doc "$dir/b.txt"
[ "$("$tool" cat "$dir/s.vl" doc)" = "the quick red fox jumps" ] || fail "cat newest"
[ "$("$tool" cat "$dir/s.vl" doc -v 0)" = "the quick brown fox" ] || fail "cat version 0"
"$tool" info "$dir/s.vl" | grep -q '^generation *2$' || fail "generation after two commits"
"$tool" ls "$dir/s.vl" | grep -q '^doc .* 2 versions' || fail "ls"
[ "$("$tool" search "$dir/s.vl" fox)" = "doc:14" ] || fail "search"
"$tool" history "$dir/s.vl" doc 0 3 > /dev/null || fail "history"
"$tool" verify "$dir/s.vl" | grep -q 'format 3' || fail "verify"
if "$tool" cat "$dir/s.vl" nothing 2> /dev/null; then fail "missing object accepted"; fi
printf 'not a store' > "$dir/x.vl"
if "$tool" verify "$dir/x.vl" > /dev/null; then fail "verify of a non-store"; fi
echo "cli: all checks passed"
