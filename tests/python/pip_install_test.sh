#!/bin/sh
# `pip install --no-build-isolation` of python/ works offline, and the
# installed package drives the library. Args: source dir, libvelta.so,
# interpreters to try. Exit 77 (skipped) when none has pip, setuptools and
# wheel.
set -eu
src="$1" lib="$2"; shift 2
py=""
for candidate in "$@" /usr/bin/python3; do
  if "$candidate" -c "import setuptools, wheel, pip" 2> /dev/null; then py="$candidate"; break; fi
done
[ -n "$py" ] || { echo "no interpreter with pip, setuptools and wheel"; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp -r "$src" "$work/src"
"$py" -m pip install -q --no-build-isolation --no-index --no-deps --target "$work/site" \
  "$work/src" 2>&1 | grep -v 'as the .root. user' || true
cd "$work"
PYTHONPATH="$work/site" "$py" -c "
import velta, sys
assert velta.__file__.startswith('$work/site'), velta.__file__
velta.load_library('$lib')
with velta.Engine() as e:
    e.create('doc', 'installed')
    assert e['doc'].text() == 'installed'
print('pip install: ok')
"
