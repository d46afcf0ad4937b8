#!/bin/sh
# Installs the Debian packages that provide what a make step needs, only when
# something is missing. Arguments are CHECK:PACKAGE pairs, where CHECK is a
# command name or an absolute file path.
#   tools/ensure-packages.sh cppcheck:cppcheck /usr/include/gtest/gtest.h:libgtest-dev
set -eu
missing=""
for pair in "$@"; do
  check=${pair%%:*}
  package=${pair#*:}
  case $check in
    /*) [ -e "$check" ] && continue ;;
    *) command -v "$check" >/dev/null 2>&1 && continue ;;
  esac
  missing="$missing $package"
done
[ -z "$missing" ] && exit 0
if [ "$(id -u)" != 0 ]; then
  echo "missing packages:$missing" >&2
  echo "install them with: sudo apt-get install -y$missing" >&2
  exit 1
fi
echo "installing:$missing"
export DEBIAN_FRONTEND=noninteractive
apt-get install -y -q $missing >/dev/null || { apt-get update -q >/dev/null && apt-get install -y -q $missing >/dev/null; }
