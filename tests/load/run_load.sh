#!/bin/bash
# Load test against a real CGI server: a private lighttpd on 127.0.0.1 runs
# the plugin for concurrent metrics (CSV fixture, and the fake nvidia-smi on
# the CGI's PATH), info, page and refused requests driven by wrk, every
# response checked (check.lua), then a follow-up that reads N whole responses
# of each kind (verify.mjs), and finally a check that no process started for
# the test is left over.
#   run_load.sh [PLUGIN_BINARY]        (default build/plugin_vistrel)
# Tunables: LOAD_SECONDS (per phase, default 4), LOAD_LIMIT (responses per
# wrk thread and phase, default 6000), LOAD_CONNECTIONS (default 16).
set -u
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
bin=${1:-$root/build/plugin_vistrel}
seconds=${LOAD_SECONDS:-4}
limit=${LOAD_LIMIT:-6000}
conns=${LOAD_CONNECTIONS:-16}
work=$root/build/load
secret=load-test-secret

"$root/tools/ensure-packages.sh" lighttpd:lighttpd wrk:wrk node:nodejs || exit 1
lighttpd_bin=$(command -v lighttpd || echo /usr/sbin/lighttpd)

rm -rf "$work"
mkdir -p "$work/docroot" "$work/log"
# A copy of our own: its path tells this test's plugin processes apart from
# those of anything else running on the machine.
cp "$bin" "$work/plugin_vistrel"
cp "$root/tests/data/fixtures/two-gpus.csv" "$work/gpus.csv"
: > "$work/fake.log"
# Every process started for a request carries this in its environment.
run_tag="vistrel-load-$$-$(date +%s%N)"

free_port() {
  node -e "const s=require('net').createServer();s.listen(0,'127.0.0.1',()=>{console.log(s.address().port);s.close()})"
}
port=$(free_port)

cgi_block() { # URL-PATH, then setenv pairs
  local url=$1; shift
  printf '$HTTP["url"] =~ "^%s$" {\n' "$url"
  printf '  alias.url = ( "%s" => "%s" )\n' "$url" "$work/plugin_vistrel"
  printf '  cgi.assign = ( "" => "" )\n'
  printf '  setenv.add-environment = ( "LOAD_RUN" => "%s"' "$run_tag"
  while [ $# -gt 0 ]; do printf ', "%s" => "%s"' "$1" "$2"; shift 2; done
  printf ' )\n}\n'
}

{
  cat <<CONF
server.modules       = ( "mod_alias", "mod_setenv", "mod_cgi" )
server.bind          = "127.0.0.1"
server.port          = $port
server.document-root = "$work/docroot"
server.errorlog      = "$work/log/error.log"
server.breakagelog   = "$work/log/cgi-stderr.log"
server.max-connections = 256
CONF
  cgi_block /plugin_vistrel PATH /usr/bin:/bin VISTREL_MOCK_CSV "$work/gpus.csv"
  cgi_block /nv/plugin_vistrel PATH "$root/tests/data/fakes:/usr/bin:/bin" \
    FAKE_NVIDIA_GPU "$root/tests/data/fixtures/nvidia-gpus.txt" FAKE_NVIDIA_APPS "$root/tests/data/fixtures/nvidia-apps.txt" \
    FAKE_LOG "$work/fake.log"
  cgi_block /locked/plugin_vistrel PATH /usr/bin:/bin VISTREL_MOCK_CSV "$work/gpus.csv" BOT_PASSWORD "$secret"
} > "$work/lighttpd.conf"

"$lighttpd_bin" -tt -f "$work/lighttpd.conf" || { echo "load: lighttpd rejects the configuration"; exit 1; }
"$lighttpd_bin" -D -f "$work/lighttpd.conf" > "$work/log/lighttpd.out" 2>&1 &
server=$!

stop_server() {
  if [ -n "${server:-}" ] && kill -0 "$server" 2>/dev/null; then
    kill -TERM "$server" 2>/dev/null
    wait "$server" 2>/dev/null
  fi
  server=
}
trap stop_server EXIT

for _ in $(seq 100); do
  (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
  sleep 0.05
done

fail=0
base="http://127.0.0.1:$port"
phase() { # KIND PATH
  echo "== wrk: $1 ($2), $conns connections, at most ${seconds} s and $((2 * limit)) responses"
  LOAD_KIND=$1 LOAD_LIMIT=$limit wrk -t2 -c"$conns" -d"${seconds}s" --timeout 15s -s "$here/check.lua" "$base$2" \
    > "$work/wrk-$1.txt" 2>&1 || fail=1
  grep -E '^(LOAD|first wrong)' "$work/wrk-$1.txt" || { cat "$work/wrk-$1.txt"; fail=1; }
}
phase metrics-mock "/plugin_vistrel?action=metrics"
phase metrics-nvidia "/nv/plugin_vistrel?action=metrics"
phase info "/plugin_vistrel?action=info"
phase page "/plugin_vistrel"
phase refused "/locked/plugin_vistrel?action=metrics&pwd=wrong"

echo "== follow-up: whole responses of each kind"
node "$here/verify.mjs" "$port" "$secret" 40 || fail=1

stop_server
trap - EXIT

# Nothing started for the test may outlive it: no plugin, no fake tool, no
# sleeper. Processes killed with their request may take a moment to go.
leftovers() {
  local p
  for p in /proc/[0-9]*; do
    grep -qs "LOAD_RUN=$run_tag" "$p/environ" && echo "${p#/proc/} $(tr '\0' ' ' < "$p/cmdline" 2>/dev/null)"
  done
}
left=
for _ in $(seq 50); do
  left=$(leftovers)
  [ -z "$left" ] && break
  sleep 0.1
done
if [ -n "$left" ]; then
  echo "load: processes left over:"; echo "$left"; fail=1
fi
tool_runs=$(grep -c '^nvidia-smi ' "$work/fake.log")
if grep -q 'BAD ARGS' "$work/fake.log"; then
  echo "load: the fake nvidia-smi got unexpected arguments"; fail=1
fi
if [ -s "$work/log/cgi-stderr.log" ]; then
  echo "load: the plugin wrote to standard error:"; head -5 "$work/log/cgi-stderr.log"; fail=1
fi

total=$(awk '/^LOAD/ { for (i = 1; i <= NF; i++) if ($i ~ /^requests=/) { sub("requests=", "", $i); s += $i } } END { print s + 0 }' "$work"/wrk-*.txt)
echo "load: $total requests under wrk, $tool_runs fake nvidia-smi runs, leftover processes: ${left:-none}"
if [ $fail -ne 0 ]; then echo "load: FAILED"; exit 1; fi
echo "load: passed"
