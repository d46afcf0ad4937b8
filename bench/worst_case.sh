#!/bin/sh
# The longest a metrics request can take: nvidia-smi and rocm-smi both hang
# in a process the plugin cannot kill, as a process stuck inside the GPU
# driver ignores even SIGKILL. Here the stand-in is a process the plugin may
# not signal: the plugin runs as nobody, and each fake tool execs a
# set-user-ID-root program that makes itself root through and through and
# waits. Prints the wall time of one request, each time it is run.
# Needs root (to make the helper and switch to nobody) and a C compiler.
#
#   bench/worst_case.sh [PLUGIN]
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
plugin=${1:-$here/build/plugin_vistrel}
dir=$(mktemp -d /tmp/vistrel-worst.XXXXXX)
# The helpers write their process ids to $dir/pids and are ended by them.
cleanup() {
  for p in $(cat "$dir/pids" 2>/dev/null); do kill -KILL "$p" 2>/dev/null || :; done
  rm -rf "$dir"
}
trap cleanup EXIT
cat > "$dir/stuck.c" <<'C'
#define _GNU_SOURCE
#include <signal.h>
#include <stdio.h>
#include <unistd.h>
int main(int argc, char **argv) {
    if (argc < 2 || setresuid(0, 0, 0) != 0)
        return 1;
    FILE *pids = fopen(argv[1], "a");
    if (!pids)
        return 1;
    fprintf(pids, "%d\n", (int)getpid());
    fclose(pids);
    signal(SIGTERM, SIG_IGN);
    for (int i = 0; i < 120; ++i) /* ends by itself after two minutes at most */
        sleep(1);
    return 0;
}
C
cc -O1 -o "$dir/stuck" "$dir/stuck.c"
chmod 4755 "$dir/stuck"
for tool in nvidia-smi rocm-smi; do
  printf '#!/bin/sh\nexec %s/stuck %s/pids\n' "$dir" "$dir" > "$dir/$tool"
  chmod 755 "$dir/$tool"
done
chmod 755 "$dir"
start=$(date +%s%N)
setpriv --reuid=nobody --regid=nogroup --clear-groups \
  env -i PATH="$dir:/usr/bin:/bin" QUERY_STRING=action=metrics "$plugin" > "$dir/out"
end=$(date +%s%N)
tail -c 80 "$dir/out"; echo
echo "worst case: $(( (end - start) / 1000000 )) ms"
