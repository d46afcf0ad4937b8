#!/bin/sh
# Serves the built plugin under a real web server, started from the shipped
# configuration in docs/servers/ exactly as a node would run it: one CGI
# process per request at /plugin_vistrel and /plugins. make serve and the
# host and browser tests all start their servers through this script.
# Foreground; Ctrl-C or SIGTERM stops the server and everything it started.
# Settings, all from the environment:
#   SERVER=lighttpd|apache|nginx   the host (nginx runs the plugin through fcgiwrap)
#   PORT=8080            port on 127.0.0.1
#   DEMO=auto|1|0|lost-gpu  1: the simulated nvidia-smi of tools/demo first on the
#                        CGI's PATH; auto: only when no nvidia-smi/rocm-smi is found;
#                        lost-gpu: the same with one of its GPUs fallen off the bus
#   BOT_PASSWORD=...     passed to the plugin: turns its password gate on
#   VISTREL_MOCK_CSV=f   passed to the plugin: a CSV fixture instead of the tools
#   VISTREL_TOOL_PATH=d  folders put first on the CGI's PATH (the tests' fake tools)
#   VISTREL_BIN=path     the binary to serve (default build/plugin_vistrel)
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
bin=${VISTREL_BIN:-$root/build/plugin_vistrel}
port=${PORT:-8080}
demo=${DEMO:-auto}
server=${SERVER:-lighttpd}
servers=$root/docs/servers

die() { echo "serve: $*" >&2; exit 1; }
case $bin in /*) ;; *) bin=$root/$bin ;; esac
[ -x "$bin" ] || die "$bin is missing; run make first"
case $port in '' | *[!0-9]*) die "PORT must be a number" ;; esac
case $server in
  lighttpd | apache | nginx) ;;
  *) die "SERVER must be lighttpd, apache or nginx" ;;
esac
# The server's packages, picked from HOST_PACKAGES (mk/hosts.mk, which make
# passes on; read from there when this script is run by hand): the server's
# own (apache2 for apache), and for nginx fcgiwrap, which runs the plugin
# for it. Each installs its program as /usr/sbin/NAME.
hosts=${HOST_PACKAGES:-$(sed -n 's/^HOST_PACKAGES *= *//p' "$root/mk/hosts.mk")}
packages=
for p in $hosts; do
  case $server:$p in
    "$server:$server"* | nginx:fcgiwrap) packages="$packages /usr/sbin/$p:$p" ;;
  esac
done
[ -n "$packages" ] || die "HOST_PACKAGES ($hosts) holds no package of $server"
# The password reaches the servers as the package's does, through a
# password file of this instance's own, written and checked by the shipped
# helper (one line of printable characters without " or \ or blanks at its
# ends).
password=${BOT_PASSWORD:-}

# shellcheck disable=SC2086
"$root/tools/ensure-packages.sh" $packages
PATH=$PATH:/usr/sbin:/sbin

# Every host decides the CGI's PATH through its configuration alone: the
# plugin finds the vendor tools only through the PATH set there.
cgi_path=/usr/local/bin:/usr/bin:/bin
real=
for tool in nvidia-smi rocm-smi; do
  found=$(command -v "$tool" || true)
  case $found in /*) cgi_path=$(dirname "$found"):$cgi_path real=$tool ;; esac
done

tmp=$(mktemp -d "${TMPDIR:-/tmp}/vistrel-serve.XXXXXX")
pids=
sleeper=
# Stops every server group started below, then removes the folder. Each
# group gets SIGTERM, and SIGKILL when it is still there a few seconds later.
stop() {
  trap '' INT TERM HUP
  trap - EXIT
  [ -n "$sleeper" ] && kill "$sleeper" 2>/dev/null
  for pg in $pids; do kill -TERM "-$pg" 2>/dev/null || kill -TERM "$pg" 2>/dev/null || true; done
  n=0
  for pg in $pids; do
    while { kill -0 "-$pg" || kill -0 "$pg"; } 2>/dev/null && [ $n -lt 50 ]; do sleep 0.1; n=$((n + 1)); done
    kill -KILL "-$pg" 2>/dev/null || kill -KILL "$pg" 2>/dev/null || true
  done
  wait 2>/dev/null || true
  rm -rf "$tmp"
}
trap stop EXIT
trap 'exit 0' INT TERM HUP

# When started as root, each host runs the plugin as www-data, as Debian's
# packages do; everything the plugin touches is staged into this folder so
# that works from any checkout (a clone in /root is closed to www-data).
chmod 755 "$tmp"
mkdir "$tmp/bin" "$tmp/docroot" "$tmp/run" "$tmp/state" "$tmp/data" "$tmp/log"
cp "$bin" "$tmp/bin/plugin_vistrel"
# An empty answer to the browser's own request for an icon, so a clean page
# leaves a clean console.
: >"$tmp/docroot/favicon.ico"
user=
if [ "$(id -u)" = 0 ]; then
  user=www-data
  id "$user" >/dev/null 2>&1 || die "user $user is missing"
  chown "$user:$user" "$tmp/run" "$tmp/state" "$tmp/log"
fi

demo_fault=
if [ "$demo" = lost-gpu ]; then
  demo_fault=$demo
  demo=1
fi
if [ "$demo" = 1 ] || { [ "$demo" = auto ] && [ -z "$real" ]; }; then
  mkdir "$tmp/demo"
  cp "$root/tools/demo/nvidia-smi" "$tmp/demo/"
  cgi_path=$tmp/demo:$cgi_path
  demo=1
  export VISTREL_DEMO_STATE="$tmp/state/demo-step"
fi
[ -n "${VISTREL_TOOL_PATH:-}" ] && cgi_path=$VISTREL_TOOL_PATH:$cgi_path

# The password file and the helper that writes and reads it, as the package
# installs them, in this instance's folder (run as root, the file is
# root:www-data 0640, as the package makes it: lighttpd's reloads and
# Apache's requests read it as www-data). No password: the configurations'
# password lines are left out, and Apache's paths opened (the gate is off).
mkdir "$tmp/etc"
sed "s#/etc/vistrel/#$tmp/etc/#g" "$servers/vistrel-node-password" >"$tmp/bin/vistrel-node-password"
chmod 755 "$tmp/bin/vistrel-node-password"
if [ -n "$password" ]; then
  printf '%s\n' "$password" | "$tmp/bin/vistrel-node-password" set ||
    die "BOT_PASSWORD is not taken by the shipped configurations"
fi

# The plugin's other settings, each written into the configuration as a copy
# of the line that sets PATH.
vars=
if [ -n "${VISTREL_MOCK_CSV:-}" ]; then
  [ -f "$VISTREL_MOCK_CSV" ] || die "VISTREL_MOCK_CSV: no file $VISTREL_MOCK_CSV"
  cp "$VISTREL_MOCK_CSV" "$tmp/data/"
  VISTREL_MOCK_CSV=$tmp/data/$(basename "$VISTREL_MOCK_CSV")
  export VISTREL_MOCK_CSV
  vars="$vars VISTREL_MOCK_CSV"
fi
[ "$demo" = 1 ] && vars="$vars VISTREL_DEMO_STATE"
if [ -n "$demo_fault" ]; then
  export VISTREL_DEMO_FAULT=$demo_fault
  vars="$vars VISTREL_DEMO_FAULT"
fi

# Renders a shipped file with this run's paths, replaced as plain text: the
# binary, the password helper and files, the CGI's PATH (and the settings
# above beside it), the fcgiwrap socket; without a password, the lines that
# read it are dropped and Apache's paths granted to all. A placeholder that is no longer in the file stops the
# start, so the tests never run a configuration other than the shipped one.
render() {
  V_BIN=$tmp/bin/plugin_vistrel V_HELPER=$tmp/bin/vistrel-node-password V_ETC=$tmp/etc/ \
    V_PATH=$cgi_path V_SOCK=$tmp/run/fcgiwrap.sock V_VARS=$vars V_GATE=${password:+1} \
    awk -v need="$2" '
    function rep(s, from, to,    i, out) {
      out = ""
      while ((i = index(s, from)) > 0) { out = out substr(s, 1, i - 1) to; s = substr(s, i + length(from)) }
      return out s
    }
    {
      helper = "/usr/lib/vistrel/vistrel-node-password"
      if (index($0, helper " exec ")) seen["gate"] = 1
      else if (index($0, helper) || index($0, "vistrel_node_password") || index($0, "/etc/vistrel/")) {
        seen["gate"] = 1
        if (!ENVIRON["V_GATE"]) next
      }
      if (index($0, "Require env BOT_PASSWORD")) seen["gate"] = 1
      if (!ENVIRON["V_GATE"]) $0 = rep(rep($0, helper " exec ", ""), "Require env BOT_PASSWORD", "Require all granted")
      s = rep($0, helper, ENVIRON["V_HELPER"])
      s = rep(s, "/etc/vistrel/", ENVIRON["V_ETC"])
      if (index(s, "/usr/lib/vistrel/plugin_vistrel")) seen["bin"] = 1
      if (index(s, "/run/vistrel/fcgiwrap.sock")) seen["sock"] = 1
      s = rep(s, "/usr/lib/vistrel/plugin_vistrel", ENVIRON["V_BIN"])
      s = rep(s, "/run/vistrel/fcgiwrap.sock", ENVIRON["V_SOCK"])
      if (index(s, "\"/usr/local/bin:/usr/bin:/bin\"")) {
        seen["path"] = 1
        n = split(ENVIRON["V_VARS"], names, " ")
        for (k = 1; k <= n; k++) print rep(rep(s, "PATH", names[k]), "\"/usr/local/bin:/usr/bin:/bin\"", "\"" ENVIRON[names[k]] "\"")
        s = rep(s, "\"/usr/local/bin:/usr/bin:/bin\"", "\"" ENVIRON["V_PATH"] "\"")
      }
      print s
    }
    END {
      n = split(need, want, " ")
      for (k = 1; k <= n; k++) if (!(want[k] in seen)) {
        print "serve: " FILENAME ": the " want[k] " placeholder is gone" > "/dev/stderr"; exit 1
      }
    }' "$1"
}

conf=$tmp/$server.conf
log=$tmp/server.log
case $server in
lighttpd)
  render "$servers/lighttpd-vistrel.conf" "bin path gate" >"$tmp/vistrel.conf"
  {
    # As Debian's lighttpd.conf: the site's modules, the enabled snippets, then
    # mod_staticfile last, so a request mapped to the program runs it.
    echo 'server.modules       = ( "mod_redirect" )'
    echo 'server.bind          = "127.0.0.1"'
    echo "server.port          = $port"
    echo "server.document-root = \"$tmp/docroot\""
    echo "server.errorlog      = \"$tmp/log/error.log\""
    echo "server.breakagelog   = \"$tmp/log/cgi-stderr.log\""
    [ -n "$user" ] && echo "server.username = \"$user\"" && echo "server.groupname = \"$user\""
    echo 'mimetype.assign      = ( ".ico" => "image/x-icon" )'
    echo 'url.redirect         = ( "^/$" => "/plugin_vistrel" )'
    echo "include \"$tmp/vistrel.conf\""
    echo 'server.modules      += ( "mod_staticfile" )'
  } >"$conf"
  lighttpd -tt -f "$conf" >"$log" 2>&1 || { cat "$log" >&2; die "lighttpd rejects the configuration"; }
  set -- lighttpd -D -f "$conf"
  ;;
apache)
  render "$servers/apache2-vistrel.conf" "bin path gate" >"$tmp/vistrel.conf"
  mods=/usr/lib/apache2/modules
  {
    echo "ServerRoot \"$tmp\""
    echo "ServerName 127.0.0.1"
    echo "Listen 127.0.0.1:$port"
    echo "PidFile \"$tmp/apache.pid\""
    echo "ErrorLog \"$tmp/log/error.log\""
    echo "DefaultRuntimeDir \"$tmp/run\""
    echo "Mutex file:$tmp default"
    for m in mpm_event authz_core alias cgid env setenvif; do echo "LoadModule ${m}_module $mods/mod_$m.so"; done
    echo "ScriptSock \"$tmp/cgid.sock\""
    [ -n "$user" ] && echo "User $user" && echo "Group $user"
    # As Debian's apache2.conf: the whole file system closed, the site open.
    echo "<Directory />"
    echo "    AllowOverride None"
    echo "    Require all denied"
    echo "</Directory>"
    echo "DocumentRoot \"$tmp/docroot\""
    echo "<Directory \"$tmp/docroot\">"
    echo "    Require all granted"
    echo "</Directory>"
    echo '<Files "favicon.ico">'
    echo "    ForceType image/x-icon"
    echo "</Files>"
    echo 'RedirectMatch 301 "^/$" "/plugin_vistrel"'
    echo "Include \"$tmp/vistrel.conf\""
  } >"$conf"
  # A clean start-up environment: what the plugin gets comes from the
  # configuration alone.
  set -- env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin apache2 -f "$conf" -DFOREGROUND
  "$@" -t >"$log" 2>&1 || { cat "$log" >&2; die "apache2 rejects the configuration"; }
  ;;
nginx)
  render "$servers/nginx-vistrel.conf" "bin path sock" >"$tmp/vistrel.conf"
  # Relative includes are looked up beside the main configuration.
  cp /etc/nginx/fastcgi_params "$tmp/"
  mkdir "$tmp/nginx"
  {
    echo "daemon off;"
    echo "worker_processes 1;"
    echo "pid $tmp/nginx.pid;"
    echo "error_log $tmp/log/error.log;"
    [ -n "$user" ] && echo "user $user $user;"
    echo "events { worker_connections 256; }"
    echo "http {"
    echo "    access_log off;"
    for t in client_body proxy fastcgi uwsgi scgi; do echo "    ${t}_temp_path $tmp/nginx/$t;"; done
    echo "    types { image/x-icon ico; }"
    echo "    server {"
    echo "        listen 127.0.0.1:$port;"
    echo "        root $tmp/docroot;"
    echo "        location = / { return 301 /plugin_vistrel; }"
    echo "        include $tmp/vistrel.conf;"
    echo "    }"
    echo "}"
  } >"$conf"
  nginx -t -p "$tmp/" -e "$tmp/log/error.log" -c "$conf" >"$log" 2>&1 || { cat "$log" >&2; die "nginx rejects the configuration"; }
  # fcgiwrap exactly as the shipped unit starts it, with systemd's User=, its
  # clean environment, its LoadCredential= (private copies, that the unit's
  # user may read, of the password folder's files, each named ID_FILE) and
  # its ExecStartPre.
  render "$servers/vistrel-fcgiwrap.service" "bin sock gate" >"$tmp/fcgiwrap.service"
  unit=$(sed -n 's/^ExecStart=//p' "$tmp/fcgiwrap.service")
  [ -n "$unit" ] || die "vistrel-fcgiwrap.service has no ExecStart line"
  pre=$(sed -n 's/^ExecStartPre=//p' "$tmp/fcgiwrap.service")
  creds=
  cred=$(sed -n 's/^LoadCredential=//p' "$tmp/fcgiwrap.service")
  if [ -n "$cred" ]; then
    mkdir -m 700 "$tmp/credentials"
    for f in "${cred#*:}"*; do
      [ -f "$f" ] && cp "$f" "$tmp/credentials/${cred%%:*}_$(basename "$f")"
    done
    [ -n "$user" ] && chown -R "$user:$user" "$tmp/credentials"
    creds=CREDENTIALS_DIRECTORY=$tmp/credentials
  fi
  asuser=
  [ -n "$user" ] && asuser="setpriv --reuid=$user --regid=$user --init-groups"
  # shellcheck disable=SC2086
  if [ -n "$pre" ]; then
    env -i PATH=/usr/bin:/bin $creds $asuser $pre >"$tmp/fcgiwrap.log" 2>&1 ||
      { cat "$tmp/fcgiwrap.log" >&2; die "fcgiwrap's ExecStartPre failed"; }
  fi
  # shellcheck disable=SC2086
  setsid env -i PATH=/usr/bin:/bin $creds $asuser $unit >"$tmp/fcgiwrap.log" 2>&1 &
  pids=$!
  n=0
  while [ ! -S "$tmp/run/fcgiwrap.sock" ]; do
    if ! kill -0 "$pids" 2>/dev/null || [ $n -ge 100 ]; then
      cat "$tmp/fcgiwrap.log" >&2
      die "fcgiwrap did not start"
    fi
    sleep 0.05
    n=$((n + 1))
  done
  set -- nginx -p "$tmp/" -e "$tmp/log/error.log" -c "$conf"
  ;;
esac

# Each server in a process group of its own, stopped as a whole: fcgiwrap's
# workers do not end with their parent, and Apache leaves the caller's group.
setsid "$@" >>"$log" 2>&1 &
pids="$pids $!"

echo "vistrel dashboard: http://127.0.0.1:$port/plugin_vistrel  ($server)"
echo "  configuration and logs: $tmp (removed when it stops)"
[ "$demo" = 1 ] && echo "  (demo: simulated nvidia-smi from tools/demo; DEMO=0 to turn it off)"
[ -n "$password" ] && echo "  (password gate on: open http://127.0.0.1:$port/plugin_vistrel?pwd=...)"
echo "  runs in the foreground: Ctrl-C stops it"

# Until a signal, a server's end, or the end of whoever started this script
# (a test runner that was killed outright leaves no server behind).
parent=$PPID
while :; do
  for pg in $pids; do
    kill -0 "$pg" 2>/dev/null && continue
    echo "serve: $server stopped on its own; its log:" >&2
    tail -n 20 "$log" "$tmp/log/error.log" "$tmp/fcgiwrap.log" >&2 2>/dev/null || true
    exit 1
  done
  # Orphaned: reparented away from the one who started it (kill -0 cannot
  # tell, when that one belongs to another user).
  read -r _ _ _ ppid _ <"/proc/$$/stat"
  [ "$ppid" = "$parent" ] || exit 0
  sleep 1 &
  sleeper=$!
  wait "$sleeper" || true
  sleeper=
done
