#!/bin/sh
# One bounded libFuzzer run per target named:
#   run_fuzz.sh BUILD_DIR SECONDS MAX_LEN TARGET...
# New inputs go to BUILD_DIR/corpus/TARGET (the seeds in
# tests/fuzz/corpus/TARGET are read only); the log of each run is
# BUILD_DIR/TARGET.log and one line per target is added to
# BUILD_DIR/summary.txt. Each run prints a line when it starts and one with
# its figures when it ends. Fails on the first target that finds anything.
set -u
dir=$1 seconds=$2 max_len=$3
shift 3
here=$(cd "$(dirname "$0")" && pwd)
# The document check reads the expected header from the tests folder, and
# each run goes from $dir.
VISTREL_TESTS=${VISTREL_TESTS:-$(cd "$here/.." && pwd)}
export VISTREL_TESTS
for t in "$@"; do
  mkdir -p "$dir/corpus/$t"
  dict=
  [ -f "$here/$t.dict" ] && dict="-dict=$here/$t.dict"
  echo "$t: started, $seconds s"
  if ! (cd "$dir" && "./$t" -max_total_time="$seconds" -max_len="$max_len" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 $dict "corpus/$t" "$here/corpus/$t" > "$t.log" 2>&1); then
    tail -n 40 "$dir/$t.log"
    echo "$t: FAILED; the input is saved as $dir/crash-* (replay: $dir/$t FILE)"
    exit 1
  fi
  figures=$(awk '
    /^#[0-9]+.*DONE/ { done = $0 }
    /stat::number_of_executed_units/ { ex = $2 }
    END {
      c = done; sub(/.*cov: /, "", c); sub(/ .*/, "", c)
      f = done; sub(/.*ft: /, "", f); sub(/ .*/, "", f)
      n = done; sub(/.*corp: /, "", n); sub(/ .*/, "", n)
      printf "executions %-9s cov %-5s ft %-6s corpus %s\n", ex, c, f, n
    }' "$dir/$t.log")
  printf '%-11s %s\n' "$t" "$figures" >>"$dir/summary.txt"
  echo "$t: nothing found; $figures"
done
