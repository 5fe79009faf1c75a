#!/bin/sh
# The velta tool, a guided tour: import five drafts of a short text, then
# look at their history the way a newcomer would. Run by `make demo`.
# Usage: cli_tour.sh VELTA_TOOL HISTORY_DIR
set -eu
velta="$1"
drafts="$2"
dir=$(mktemp -d /tmp/velta-tour-XXXXXX)
trap 'rm -rf "$dir"' EXIT
store="$dir/keeper.vl"

step() { printf '\n== %s\n' "$*"; }
run() { printf '$ velta %s\n' "$*" | sed "s|$dir/||g; s|$drafts|examples/history/keeper|g"; "$velta" "$@"; }

step "Import five drafts as five versions of one object, in one commit"
run import "$store" "$drafts" --name keeper

step "Each version, and the byte span it changed against the one before"
run log "$store" keeper

step "What changed between the first and second drafts (a unified line diff)"
run diff "$store" keeper 0 1

step "Search the newest text, then every version"
run search "$store" "steps"
run search "$store" "ninety steps" --all-versions

step "Which versions changed the bytes of \"ninety steps\" (bytes 125..137 of draft 1)?"
run history "$store" keeper 125 12
echo "(answered from shared structure, without reading text: a version that rebuilt"
echo " the piece of tree holding those bytes counts, so small texts report generously)"

step "An editor starts again from draft 3 and retitles it..."
"$velta" cat "$store" keeper -v 2 | sed '1s/.*/The Harbour Light/' > "$dir/retitled.txt"
run put "$store" keeper "$dir/retitled.txt"
step "...then draft 4's new ending (its change against draft 3) is merged in"
run merge "$store" keeper 2 3 --preview
run merge "$store" keeper 2 3
run cat "$store" keeper --range 0:17
echo
run cat "$store" keeper | tail -3

step "Storage: every version is kept, yet versions share what they did not change"
run ls "$store"
"$velta" info "$store" > "$dir/info"
history=$(sed -n 's/^history_bytes *//p' "$dir/info")
tokens=$(sed -n 's/^token_bytes *//p' "$dir/info")
snapshot=$(sed -n 's/^snapshot_bytes *//p' "$dir/info")
versions=$(sed -n 's/^versions *//p' "$dir/info")
echo "$versions versions hold $history bytes of text in all;"
echo "the store keeps $tokens bytes of tokens for them, and its file is $snapshot bytes."
run verify "$store"
