#!/bin/sh
# How many processes a metrics request holds at its peak, and whether ten
# requests at once are all served under a pids limit of three per request:
# the program, a shell and the tool, what a request needed before the
# program had a guard process for its tool. The tool is
# a one-process nvidia-smi that prints one GPU and then waits half a second,
# so each request's peak is the program and what it starts for the tool.
# Runs each request in a cgroup v1 pids hierarchy of its own
# (/sys/fs/cgroup/pids); needs root.
#
#   bench/process_peak.sh [PLUGIN]
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
plugin=${1:-$here/build/plugin_vistrel}
pids_root=/sys/fs/cgroup/pids
[ -w "$pids_root" ] || { echo "no writable cgroup v1 pids hierarchy at $pids_root" >&2; exit 1; }
dir=$(mktemp -d /tmp/vistrel-peak.XXXXXX)
group=$pids_root/vistrel-peak-$$
cleanup() {
  for g in "$group"/*/ "$group"/; do [ -d "$g" ] && rmdir "$g" 2>/dev/null || :; done
  rm -rf "$dir"
}
trap cleanup EXIT
# printf and exec are shell builtins: the tool never forks.
cat > "$dir/nvidia-smi" <<'SH'
#!/bin/sh
case $1 in
--query-gpu=*) printf '0, GPU-peak, Peak GPU, 1, 2, 3, 4, 5, 6, 1.0\n' ;;
esac
exec sleep 0.5
SH
chmod 755 "$dir/nvidia-smi"
mkdir "$group"
# run_in CGROUP OUT: one metrics request inside the cgroup.
run_in() {
  env -i PATH="$dir:/usr/bin:/bin" QUERY_STRING=action=metrics \
    /bin/sh -c 'echo $$ > "$1/cgroup.procs" && exec "$2"' sh "$1" "$plugin" > "$2" 2>&1
}
mkdir "$group/one"
run_in "$group/one" "$dir/one.out"
echo "processes at a request's peak: $(cat "$group/one/pids.peak") (the program included)"
mkdir "$group/ten"
echo 30 > "$group/ten/pids.max"
for i in 0 1 2 3 4 5 6 7 8 9; do run_in "$group/ten" "$dir/ten-$i.out" & done
wait
served=$(grep -l '"available":true' "$dir"/ten-*.out | wc -l)
echo "ten requests at once under pids.max 30: $served served"
for f in "$dir"/ten-*.out; do
  grep -q '"available":true' "$f" || echo "  not served: $(grep -o '"message":"[^"]*"' "$f" || head -c 200 "$f")"
done
