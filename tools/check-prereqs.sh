#!/bin/sh
# make test's first step: what its later steps need and cannot install by
# themselves, Node.js 20 or later with npm (the browser and host tests run
# under Node's test runner). Silent when all is there; otherwise one line
# that says what is missing and where to get it, and a failure.
# Builtins only, so it tells the truth under any PATH.
from="on Debian 13 with apt-get install nodejs npm; on Debian 12, whose own nodejs is 18, from NodeSource's Debian repository (https://github.com/nodesource/distributions) or https://nodejs.org/en/download"
if ! command -v node >/dev/null 2>&1; then
  echo "make test needs Node.js 20 or later with npm, and there is no node on PATH: get it $from" >&2
  exit 1
fi
version=$(node --version 2>/dev/null) || version=
major=${version#v}
major=${major%%.*}
case $major in
  '' | *[!0-9]*) major=0 ;;
esac
if [ "$major" -lt 20 ]; then
  echo "make test needs Node.js 20 or later with npm, and node is ${version:-unknown}: get a newer one $from" >&2
  exit 1
fi
if ! command -v npm >/dev/null 2>&1; then
  echo "make test needs npm beside node $version, and there is none on PATH: get it on Debian 13 with apt-get install npm; Node.js from NodeSource or https://nodejs.org/en/download brings its own" >&2
  exit 1
fi
