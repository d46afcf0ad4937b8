#!/bin/sh
# Fails, and removes the binary, when it defines a symbol that the C++
# runtime (libstdc++, or libgcc_s with the unwinder) defines: the program is
# meant to link nothing of it. A binary without a symbol table would pass
# that unseen, so it must at least show main.
#   tools/check-no-cxx-runtime.sh BINARY LIBSTDCXX_A LIBGCC_S_SO
set -eu
bin=$1 libstdcxx=$2 libgcc_s=$3
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
nm --defined-only "$bin" | awk '{print $NF}' | sort -u >"$tmp/syms"
if ! grep -qx main "$tmp/syms"; then
    echo "$bin: no symbol table to check"
    rm -f "$bin"
    exit 1
fi
{
    nm --defined-only -D "$libgcc_s" 2>/dev/null | awk '{print $NF}'
    nm --defined-only "$libstdcxx" 2>/dev/null | awk 'NF == 3 && $2 ~ /[A-TV-Z]/ {print $3}'
} | sort -u | comm -12 - "$tmp/syms" >"$tmp/cxx"
if [ -s "$tmp/cxx" ]; then
    echo "$bin links C++ runtime symbols:"
    head "$tmp/cxx"
    rm -f "$bin"
    exit 1
fi
