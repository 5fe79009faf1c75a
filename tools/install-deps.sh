#!/bin/sh
# Installs the Debian packages velta builds with, when any is missing.
# As root it runs apt-get; otherwise it prints the command and fails.
set -e
pkgs="cmake ninja-build g++ pkg-config libzstd-dev zlib1g-dev libgtest-dev libbenchmark-dev libcli11-dev libdtl-dev libgit2-dev python3 python3-pip python3-setuptools python3-wheel"
[ "$1" = "--fuzz" ] && pkgs="$pkgs clang libclang-rt-14-dev"
[ "$1" = "--coverage" ] && pkgs="$pkgs gcovr"
missing=""
for p in $pkgs; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
if [ "$(id -u)" != 0 ]; then
  echo "velta needs:$missing"
  echo "run: sudo apt-get update && sudo apt-get install -y$missing"
  exit 1
fi
echo "installing:$missing"
apt-get update -qq
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $missing
