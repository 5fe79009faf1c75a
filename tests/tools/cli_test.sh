#!/bin/sh
# The velta tool end to end in a scratch directory: every command once on
# the happy path, then each bad input with its exit code, its message on
# stderr, and the store's files byte for byte unchanged.
set -u
tool=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cd "$dir" || exit 1
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
v() { "$tool" "$@"; }

# ok NAME CMD...: must exit 0.
ok() {
  what=$1; shift
  "$tool" "$@" > out 2> err || fail "$what: exit $? ($(cat err))"
}
# bad CODE MESSAGE CMD...: exit CODE, MESSAGE on stderr, no store file changed.
bad() {
  code=$1 msg=$2; shift 2
  before=$(cksum s.vl* 2> /dev/null)
  "$tool" "$@" > out 2> err
  rc=$?
  [ "$rc" = "$code" ] || fail "velta $*: exit $rc, want $code ($(cat err))"
  [ -z "$msg" ] || grep -q -- "$msg" err || fail "velta $*: stderr '$(cat err)' lacks '$msg'"
  [ "$(cksum s.vl* 2> /dev/null)" = "$before" ] || fail "velta $*: the store changed"
}
expect() { [ "$1" = "$2" ] || fail "$3: got '$1', want '$2'"; }

# ----------------------------------------------------------- happy paths
printf 'the quick brown fox\nline two\nline three\n' > a.txt
printf 'the quick red fox jumps\nline two\nline three\n' > b.txt
ok init init s.vl
ok put-create put s.vl doc a.txt
ok put-splice put s.vl doc b.txt
ok put-same put s.vl doc b.txt
grep -q 'no version added' out || fail "identical put: $(cat out)"
expect "$(v ls s.vl)" "doc                                   2 versions           44 bytes  text" ls
expect "$(v cat s.vl doc -v 0 | head -1)" "the quick brown fox" "cat -v 0"
expect "$(v cat s.vl doc --range 4:5)" "quick" "cat --range"
ok cat-o cat s.vl doc -o copy.txt
cmp -s copy.txt b.txt || fail "cat -o"
# The second version replaced 9 bytes with 13, not the whole text.
expect "$(v log s.vl doc | tail -1)" "      1           44         18  @10 -9 +13" log
v log s.vl doc --json | grep -q '"removed": 9' || fail "log --json"
v diff s.vl doc 0 1 > out
grep -q '^-the quick brown fox$' out && grep -q '^+the quick red fox jumps$' out &&
  grep -q '^ line two$' out || fail "diff: $(cat out)"
expect "$(v search s.vl line)" "doc:24
doc:33" search
expect "$(v search s.vl brown --all-versions)" "doc@0:10" "search --all-versions"
expect "$(v search s.vl line --count)" "doc 2" "search --count"
v search s.vl e -n 1 > out 2> err
[ "$(wc -l < out)" = 1 ] && grep -q 'more hits not shown' err || fail "search -n 1"
ok search-huge-n search s.vl fox -n 100000000
v search s.vl o --json | grep -q '"shown": ' || fail "search --json"
printf 'a -flag here\n' | v put s.vl flags - > /dev/null
expect "$(v search s.vl -- -flag)" "flags:2" "search -- -flag"
expect "$(v search s.vl -e -flag)" "flags:2" "search -e -flag"
expect "$(v history s.vl doc 10 3)" "1" history
ok merge-preview merge s.vl doc 0 1 --preview
ok mv mv s.vl flags flags2
expect "$(v cat s.vl flags2)" "a -flag here" "mv keeps text"
ok rm rm s.vl flags2
v ls s.vl --json | grep -q '"name": "doc"' || fail "ls --json"
ok train train s.vl a.txt
ok trim trim s.vl doc --keep 1
expect "$(v log s.vl doc | wc -l)" 2 "trim leaves one version"
ok save-mappable save s.vl --mappable
v info s.vl | grep -q '^layout *mappable$' || fail "info after save --mappable"
ok save-plain save s.vl --plain
v info s.vl --json | grep -q '"layout": "plain"' || fail "info --json"
ok verify verify s.vl
ok version --version
ok help help put
grep -q -- '--force' out || fail "help put"

# A three-way merge: version 3 undoes the first change, then version 1's
# change is merged back in.
printf 'one\ntwo\nthree\n' > m0; printf 'ONE\ntwo\nthree\n' > m1; printf 'one\ntwo\nTHREE\n' > m2
for f in m0 m1 m2; do v put s.vl m $f > /dev/null; done
ok merge merge s.vl m 0 1
expect "$(v cat s.vl m)" "ONE
two
THREE" merge

# import: a directory in name order, files, and a git history.
mkdir hist && printf 'v1\n' > hist/01 && printf 'v2\n' > hist/02 && printf 'v2\n' > hist/03
ok import-dir import s.vl hist
grep -q 'hist: 2 versions added (1 identical skipped)' out || fail "import dir: $(cat out)"
ok import-files import s.vl a.txt b.txt --name pair
expect "$(v log s.vl pair | wc -l)" 3 "import files"
if command -v git > /dev/null; then
  git init -q repo && for i in 1 2 3; do
    printf 'rev %s\n' $i > repo/f.txt
    git -C repo add f.txt && git -C repo -c user.name=t -c user.email=t@t commit -qm "c$i"
  done
  ok import-git import s.vl --git repo f.txt
  expect "$(v cat s.vl f.txt -v 0)" "rev 1" "import --git oldest first"
fi
ok init-other init t.vl
ok put-binary put t.vl blob a.txt --binary --chunk-size 64
v ls t.vl | grep -q 'binary' || fail "put --binary"

# ------------------------------------------------------------ bad inputs
long=$(printf 'n%.0s' $(seq 64))
bad 2 "version of 'doc' from 0 to 0" cat s.vl doc -v -5
bad 2 "version of 'doc' from 0 to 0" cat s.vl doc -v 4294967296
bad 2 "ends past" cat s.vl doc --range 40:10
bad 2 "at least 1" history s.vl doc 0 0
bad 2 "not within" history s.vl doc 40 100
bad 2 "whole number" history s.vl doc -1 2
bad 2 "names hold at most 63" put s.vl "$long" a.txt
bad 2 "is a directory" put s.vl doc hist
bad 2 "NUL bytes" put s.vl doc /bin/sh
bad 2 "pattern cannot be empty" search s.vl ""
bad 2 "must be from 1" trim s.vl doc --keep 0
bad 2 "cannot be asked for zlib" save s.vl --zlib
bad 2 "at most 1" save s.vl --plain --mappable
bad 2 "velta help" frobnicate s.vl
bad 2 "version of 'm'" merge s.vl m 0 9
bad 1 "no object named 'nothing'" cat s.vl nothing
bad 1 "no object named 'nothing'" rm s.vl nothing
bad 1 "no store at missing.vl" info missing.vl
bad 1 "no store at missing.vl" rm missing.vl doc
bad 1 "" search s.vl "no such text"
bad 3 "already exists" init s.vl
bad 3 "already exists" mv s.vl doc m
bad 5 "directory nowhere" put nowhere/s.vl doc a.txt
bad 5 "cannot read no-such-file" put s.vl doc no-such-file
printf 'not a store' > x.vl
bad 4 "not a velta store" verify x.vl
bad 4 "not a velta store" info x.vl
head -c 40 s.vl > short.vl
bad 4 "damaged store header" verify short.vl
# One flipped byte in the body is damage, whatever the layout.
cp s.vl flip.vl
printf '\377' | dd of=flip.vl bs=1 seek=70 conv=notrunc 2> /dev/null
bad 4 "damaged" verify flip.vl
[ ! -e nowhere ] || fail "put created a directory"
# A conflicting merge changes nothing.
printf 'one\ntwo\nTHREE!\n' | v put s.vl m - > /dev/null
bad 3 "conflict" merge s.vl m 1 2

# A held lock: put fails, says how to unlock, and the edit never appears,
# not even after the lock is gone (it was never logged).
sleep 60 & holder=$!
echo $holder > s.vl.lock
bad 3 "velta unlock s.vl" put s.vl doc a.txt
bad 3 "still running" unlock s.vl
kill $holder
wait $holder 2> /dev/null
ok unlock-stale unlock s.vl
[ ! -e s.vl.lock ] || fail "unlock left the lock"
expect "$(v log s.vl doc | wc -l)" 2 "failed put left a version behind"
bad 1 "not locked" unlock s.vl
# A log the tool cannot write: refused in words, not as a lost race.
mv s.vl.wal wal.saved && mkdir s.vl.wal
bad 5 "cannot write the store's log" put s.vl doc a.txt
rmdir s.vl.wal && mv wal.saved s.vl.wal

[ "$failures" = 0 ] || { echo "cli: $failures checks failed"; exit 1; }
echo "cli: all checks passed"
