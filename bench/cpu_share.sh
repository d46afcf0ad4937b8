#!/bin/sh
# CPU cost of whole requests, load-robust: runs each binary and the floor in
# turn, N times, under `perf record` (cpu-clock sampling), and prints the
# samples each one got. Interleaving puts every binary under the same load,
# and sample counts leave out the time spent waiting for a CPU, which wall
# times on a shared machine do not. Needs perf (Debian: linux-perf).
#
#   bench/cpu_share.sh N FLOOR_BYTES BIN... 
#
# The request comes from the environment (QUERY_STRING, VISTREL_MOCK_CSV, ...).
# Each binary must have a distinct file name: perf tells them apart by it.
set -eu
n=$1; bytes=$2; shift 2
here=$(cd "$(dirname "$0")/.." && pwd)
floor=${FLOOR:-$here/build/bench/floor-musl}
data=$(mktemp /tmp/cpu_share.XXXXXX)
loop='i=0; while [ $i -lt '"$n"' ]; do'
for b in "$@"; do loop="$loop \"$b\" >/dev/null;"; done
loop="$loop \"$floor\" $bytes >/dev/null; i=\$((i+1)); done"
perf record -q -F 20000 -o "$data" -- sh -c "$loop" >/dev/null 2>&1
echo "samples at 20 kHz over $n runs each (50 us a sample):"
for b in "$@" "$floor"; do
  c=$(basename "$b" | cut -c1-15)
  s=$(perf report -i "$data" -n --comm "$c" --sort comm --stdio 2>/dev/null | awk '!/^#/ && NF {print $2}')
  echo "$c ${s:-0}"
done | awk '{print; v[NR]=$2; name[NR]=$1} END {for (i = 1; i < NR; i++) printf "%s / floor = %.2f\n", name[i], v[i] / v[NR]}'
rm -f "$data" "$data.old"
