#!/bin/sh
# tests/deb/test-deb.sh PACKAGE.deb LATER.deb: the package as an operator
# meets it, in fresh minimal Debian 12 and Debian 13 roots (tools/fresh-debian.sh
# makes them; base roots, and those with the web servers installed, cached in
# /var/cache/vistrel/roots). LATER.deb is the same sources at a higher
# version. Each root is first a chroot: apt installs the package; lighttpd,
# Apache and nginx with fcgiwrap, enabled the README's way, each started in
# the foreground in a network of its own (lo only), refuse a request without
# the password, serve the page and the metrics of a fake nvidia-smi with the
# generated one, and reach the program through no /cgi-bin/ route; a
# reinstall keeps the password; an emptied password file shuts the gate; a
# purge leaves no file of the package, and every server still starts. Then
# the same root boots with systemd (systemd-nspawn, private network), all
# three servers running, for an operator's year: enabling each host and
# reloading it (never restarted by systemd), a new password (taken at the
# reload or restart the README says, the old one refused), unusable password
# files (the host refuses to start, saying why), mod_info and lighttpd's
# status pages (no password), an upgrade to LATER.deb while nginx serves
# (still serving) and a reinstall with the unit stopped (stays stopped),
# removal and purge (every server starts). A line per step.
#   HOST_PACKAGES="lighttpd apache2 nginx fcgiwrap"   the servers' packages (make sets it)
#   VISTREL_DEB_RELEASES="bookworm trixie"             the releases to try
set -eu

die() { echo "test-deb: $*" >&2; exit 1; }
[ $# = 2 ] || die "usage: tests/deb/test-deb.sh PACKAGE.deb LATER.deb"
deb=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
next=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
[ -f "$deb" ] || die "no package $1"
[ -f "$next" ] || die "no package $2"
[ "$(id -u)" = 0 ] || die "needs root (it makes, mounts and boots roots)"
[ -n "${HOST_PACKAGES:-}" ] || die "HOST_PACKAGES (the web servers' Debian packages) is not set; make test-deb sets it"
repo=$(cd "$(dirname "$0")/../.." && pwd)
cd "$repo"
FRESH_DEBIAN_LIB=1 FRESH_TOOLS=$repo/tools . tools/fresh-debian.sh

start=$(date +%s)
root=
fails=0
nspawn=
# The root, and the files beside it that hold a step's output.
trap 'halt_box; [ -z "$root" ] || { fresh_cleanup "$root"; rm -f "$root".*; }' EXIT
trap 'exit 1' INT TERM HUP
say() { echo "test-deb: [$(($(date +%s) - start)) s] $*"; }
ok() { say "ok   $release: $*"; }
bad() { say "FAIL $release: $*"; fails=$((fails + 1)); }
in_root() { fresh_in "$root" "$@"; }
# Runs apt-get in the root, showing only what it sets up or removes.
apt_in() {
  if in_root "apt-get -q -y $*" >"$root.apt.log" 2>&1; then
    grep -E '^(Setting up|Removing|Purging)' "$root.apt.log" || true
  else
    tail -n 20 "$root.apt.log"
    bad "apt-get $*"
  fi
  rm -f "$root.apt.log"
}

# The commands that start each server in the foreground, as its package's
# own service would, and what must be there first.
server_cmd() {
  case $1 in
    lighttpd) echo 'exec lighttpd -D -f /etc/lighttpd/lighttpd.conf' ;;
    apache) echo 'exec apache2ctl -D FOREGROUND' ;;
    nginx) echo 'exec nginx -g "daemon off;"' ;;
  esac
}

# fcgiwrap as vistrel-fcgiwrap.service starts it under systemd: its
# RuntimeDirectory=, User=, Group=, UMask=, LoadCredential= (private copies,
# that its user may read, of the password folder's files, each named
# ID_FILE), ExecStartPre and ExecStart, in a clean environment.
fcgiwrap_cmd() {
  unit=$(in_root "ls /lib/systemd/system/vistrel-fcgiwrap.service /usr/lib/systemd/system/vistrel-fcgiwrap.service 2>/dev/null | head -n 1")
  pre=$(sed -n 's/^ExecStartPre=//p' "$root$unit")
  exe=$(sed -n 's/^ExecStart=//p' "$root$unit")
  user=$(sed -n 's/^User=//p' "$root$unit")
  group=$(sed -n 's/^Group=//p' "$root$unit")
  mask=$(sed -n 's/^UMask=//p' "$root$unit")
  rundir=$(sed -n 's/^RuntimeDirectory=//p' "$root$unit")
  cred=$(sed -n 's/^LoadCredential=//p' "$root$unit")
  creds=/run/credentials/vistrel
  as="setpriv --reuid=$user --regid=$group --clear-groups env -i PATH=/usr/bin:/bin CREDENTIALS_DIRECTORY=$creds"
  echo "rm -rf /run/$rundir $creds && mkdir -p /run/$rundir $creds &&" \
    "for f in ${cred#*:}*; do [ ! -f \"\$f\" ] || cp \"\$f\" $creds/${cred%%:*}_\$(basename \"\$f\"); done &&" \
    "chown -R $user:$group /run/$rundir $creds && chmod 500 $creds && umask ${mask:-0022} &&" \
    "{ [ -z '$pre' ] || $as $pre; } && exec $as $exe"
}

# check_server NAME MODE: starts the server (and fcgiwrap for nginx) inside
# the root in a private network and checks it on 127.0.0.1:80. MODE
# "installed": the gate, the page, the metrics, no /cgi-bin/ route; "shut":
# with the password file emptied, the server refuses to start or the program
# to answer; "purged": it starts and answers, and nothing of vistrel does.
check_server() {
  name=$1 mode=$2
  password=
  [ "$mode" = installed ] && password=$(cat "$root/etc/vistrel/node-password")
  extra=
  [ "$name" = nginx ] && [ "$mode" != purged ] && extra=$(fcgiwrap_cmd)
  out=$root/tmp/check.out
  : >"$out"
  unshare -n sh -s "$root" "$(server_cmd "$name")" "$extra" "$mode" "$password" >"$out" 2>&1 <<'EOF' || true
root=$1 cmd=$2 extra=$3 mode=$4 pw=$5
ip link set lo up
# Each in a session of its own, stopped as a group (fcgiwrap's workers do
# not end with their parent).
run() { exec setsid chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C /bin/sh -c "$1"; }
pids=
if [ -n "$extra" ]; then
  (run "$extra" >"$root/tmp/fcgiwrap.log" 2>&1) & pids=$!
fi
(run "$cmd" >"$root/tmp/server.log" 2>&1) & server=$! pids="$pids $!"
n=0 nostart=
# Up to 10 s, or until the server has ended (one that refuses to start).
until curl -s -o /dev/null http://127.0.0.1/; do
  if [ $n -ge 100 ] || ! kill -0 "$server" 2>/dev/null; then
    echo "result no-start"; nostart=1; tail -n 5 "$root/tmp/server.log" "$root/tmp/fcgiwrap.log" 2>/dev/null; break
  fi
  sleep 0.1; n=$((n + 1))
done
# Listening comes first; mod_cgid's daemon and fcgiwrap's workers a moment later.
sleep 0.5
# One line per request: the check's name, the status, and whether the body
# is what the program writes for it.
get() {
  label=$1; shift
  code=$(curl -s -o "$root/tmp/body" -w '%{http_code}' "$@") || code=000
  what=other
  grep -q 'window.kvApplyTheme' "$root/tmp/body" && what=page
  grep -q '^{"ok":' "$root/tmp/body" && what=json
  echo "result $label $code $what $(tr -d '\r\n' <"$root/tmp/body" | head -c 160)"
}
u=http://127.0.0.1
if [ "$mode" = installed ]; then
  get nopw "$u/plugin_vistrel"
  get wrongpw -H "X-Bot-Password: ${pw}x" "$u/plugin_vistrel?action=info"
  get page -H "X-Bot-Password: $pw" "$u/plugin_vistrel"
  get metrics -H "X-Bot-Password: $pw" "$u/plugin_vistrel?action=metrics"
  get bearer -H "Authorization: Bearer $pw" "$u/plugins?plugin=vistrel&action=info"
  get cgibin -H "X-Bot-Password: $pw" "$u/cgi-bin/plugin_vistrel?action=info&pwd=$pw"
  get cgibin-page "$u/cgi-bin/plugin_vistrel"
  get subpath -H "X-Bot-Password: $pw" "$u/plugin_vistrel/x?action=info"
elif [ "$mode" = shut ]; then
  [ -n "$nostart" ] || get gone "$u/plugin_vistrel?action=info"
else
  get root "$u/"
  get gone "$u/plugin_vistrel?action=info"
fi
for p in $pids; do kill -TERM "-$p" 2>/dev/null || true; done
n=0
while [ $n -lt 50 ] && for p in $pids; do kill -0 "-$p" 2>/dev/null && exit 0; done; exit 1; do
  sleep 0.1; n=$((n + 1))
done
for p in $pids; do kill -KILL "-$p" 2>/dev/null && echo "result killed $p"; done
wait
EOF
  # Nothing of the server may stay behind in the root.
  sleep 0.5
  for p in /proc/[0-9]*; do
    if [ "$(readlink "$p/root" 2>/dev/null)" = "$(cd "$root" && pwd -P)" ]; then
      bad "$name left process ${p#/proc/} ($(tr '\0' ' ' <"$p/cmdline" | head -c 60))"
      kill -KILL "${p#/proc/}" 2>/dev/null || true
    fi
  done
  result() { sed -n "s/^result $1 //p" "$out"; }
  if [ "$mode" = shut ]; then
    r=$(result gone)
    case $r in
      *' json '* | *' page '* | 200*) bad "$name without a password served the program: $r" ;;
      '') ok "$name without a password: refuses to start" ;;
      *) ok "$name without a password: ${r%% *}, not the program" ;;
    esac
    return
  fi
  if grep -q '^result no-start' "$out"; then
    bad "$name did not start ($mode):"
    sed -n '/^result no-start/,$p' "$out"
    return
  fi
  if [ "$mode" = installed ]; then
    expect() { # label, status, text the body must hold
      r=$(result "$1")
      case $r in
        "$2 "*"$3"*) ok "$name $1: $2" ;;
        *) bad "$name $1: wanted $2 and '$3', got: $r" ;;
      esac
    }
    expect nopw 401 'json {"ok":false,"error":"invalid node password"}'
    expect wrongpw 401 'json {"ok":false,"error":"invalid node password"}'
    expect page 200 'page <!DOCTYPE html>'
    expect metrics 200 'json {"ok":true,"action":"metrics","available":true,"source":"nvidia","mocked":false,"driver":"590.48.01"'
    expect bearer 200 '"node_auth":true'
    grep -q '^result killed' "$out" && bad "$name needed SIGKILL to stop"
    for label in cgibin cgibin-page subpath; do
      r=$(result "$label")
      case $r in
        *' page '* | *' json '* | 200*) bad "$name $label reached the program: $r" ;;
        [0-9][0-9][0-9]*) ok "$name $label: ${r%% *}, not the program" ;;
        *) bad "$name $label: no answer" ;;
      esac
    done
  else
    r=$(result root)
    case $r in [0-9][0-9][0-9]*) ok "$name starts after the purge (/ answers ${r%% *})" ;; *) bad "$name: no answer after the purge" ;; esac
    r=$(result gone)
    case $r in *' json '* | 200*) bad "$name still runs vistrel after the purge: $r" ;; *) ok "$name: /plugin_vistrel is gone (${r%% *})" ;; esac
  fi
}

# hosts_root RELEASE DIR: a fresh root of RELEASE with the web servers and
# systemd installed, made from the cached base and cached itself beside it
# (made again with the base, or when the list of packages changes).
hosts_root() {
  base=$(fresh_base "$1")
  packages="$HOST_PACKAGES systemd"
  tar=$FRESH_CACHE/$1-hosts-$(echo "$packages" | cksum | cut -d' ' -f1).tar
  (
    flock 9
    [ -s "$tar" ] && [ "$tar" -nt "$base" ] && exit 0
    work=$(mktemp -d "$FRESH_CACHE/.make-$1-hosts.XXXXXX")
    trap 'fresh_cleanup "$work/root"; rm -rf "$work"' EXIT
    say "$1: apt-get install $packages (cached in $tar)"
    fresh_root "$1" "$work/root"
    fresh_in "$work/root" "apt-get -q update && apt-get -q -y install --no-install-recommends $packages && apt-get clean" \
      >"$work/log" 2>&1 || { tail -n 20 "$work/log"; exit 1; }
    grep -c '^Setting up' "$work/log" | sed 's/^/  packages set up: /'
    fresh_unmount "$work/root"
    tar -C "$work/root" -cf "$work/root.tar" .
    rm -f "$FRESH_CACHE/$1"-hosts-*.tar
    mv "$work/root.tar" "$tar"
  ) 9>"$FRESH_CACHE/.$1-hosts.lock" || die "could not make the $1 root with the web servers"
  fresh_root "$1" "$2" "$tar"
}

# ---- the root booted with systemd ------------------------------------------
# systemd-nspawn, on a host whose own init may not be systemd: no machine
# registration, no scope of its own (--keep-unit: the cgroup made here), the
# root's systemd on the unified cgroup hierarchy (what Debian 12 and 13 boot
# on; Debian 13's systemd only marks itself tainted on the hybrid one, later
# ones refuse it), and a network of its own with nothing but lo.
# Every port of the servers is then only reachable through the box's own
# network namespace (nsenter -n).
HTTP_LIGHTTPD=81 HTTP_APACHE=82 HTTP_NGINX=83
BLANK="begins or ends with a blank, which servers trim from headers"

boot_box() {
  cg2=$(findmnt -n -t cgroup2 -o TARGET | head -n 1)
  [ -n "$cg2" ] || { bad "no cgroup2 hierarchy mounted here (findmnt -t cgroup2): systemd-nspawn cannot boot a root"; return 1; }
  cgroup=$cg2$(sed -n 's/^0:://p' /proc/self/cgroup)/vistrel-deb-$$
  mkdir -p "$cgroup"
  SYSTEMD_NSPAWN_UNIFIED_HIERARCHY=1 sh -c 'echo $$ >"$1/cgroup.procs" && shift && exec "$@"' sh "$cgroup" \
    systemd-nspawn -q -D "$root" -b --private-network --register=no --keep-unit --console=pipe \
    </dev/null >"$root.boot.log" 2>&1 &
  nspawn=$!
  n=0
  leader=
  while [ -z "$leader" ]; do
    c=$(pgrep -P "$nspawn" | head -n 1 || true)
    [ -n "$c" ] && grep -q '^NSpid:.*[[:space:]]1$' "/proc/$c/status" 2>/dev/null && leader=$c
    if ! kill -0 "$nspawn" 2>/dev/null || [ $n -ge 300 ]; then
      bad "systemd-nspawn did not boot the root:"
      cat "$root.boot.log"
      return 1
    fi
    sleep 0.1
    n=$((n + 1))
  done
  # systemd answers once its socket is there; then until the boot is done.
  n=0
  until box "test -S /run/systemd/private" || [ $n -ge 300 ]; do sleep 0.1; n=$((n + 1)); done
  state=$(box "timeout 120 systemctl is-system-running --wait" 2>&1 || true)
  case $state in
    running) ok "booted with systemd $(box "systemctl --version" | sed -n '1s/^systemd \([0-9]*\).*/\1/p'): running" ;;
    *) bad "booted, but the system is $state: $(box "systemctl --failed --plain --no-legend" | cut -d' ' -f1 | tr '\n' ' ')" ;;
  esac
}

# Halts the box: systemd shuts down on nspawn's SIGTERM; what is left after
# 30 s is killed with the cgroup. Leaves no cgroup or nspawn state behind.
halt_box() {
  [ -n "$nspawn" ] || return 0
  kill -TERM "$nspawn" 2>/dev/null || true
  n=0
  while kill -0 "$nspawn" 2>/dev/null && [ $n -lt 300 ]; do sleep 0.1; n=$((n + 1)); done
  if kill -0 "$nspawn" 2>/dev/null; then
    bad "the box did not halt in 30 s; killed"
    echo 1 >"$cgroup/cgroup.kill" 2>/dev/null || kill -KILL "$nspawn"
  fi
  wait "$nspawn" 2>/dev/null || true
  nspawn=
  find "$cgroup" -depth -type d -exec rmdir {} + 2>/dev/null || true
  [ ! -e "$cgroup" ] || say "warning: cgroup $cgroup is still there"
  rm -rf "/run/systemd/nspawn/propagate/$(basename "$root")" "$root.boot.log"
}

# box COMMAND: a shell command inside the booted root, as root.
box() {
  nsenter -t "$leader" -a /usr/bin/env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    LANG=C DEBIAN_FRONTEND=noninteractive /bin/sh -c "$*"
}
# box_apt ARGS: apt-get in the box (no network: packages from files only).
box_apt() {
  if box "apt-get -q -y $*" >"$root.apt.log" 2>&1; then
    grep -E '^(Setting up|Removing|Purging)' "$root.apt.log" || true
  else
    tail -n 20 "$root.apt.log"
    bad "apt-get $*"
  fi
  rm -f "$root.apt.log"
}

# ask PORT TARGET [CURL ARGS]: "STATUS KIND" of a request to 127.0.0.1:PORT
# in the box; KIND is json, page or other.
ask() {
  port=$1 target=$2
  shift 2
  body=$root.body
  rm -f "$body"
  code=$(nsenter -t "$leader" -n curl -s -m 20 -o "$body" -w '%{http_code}' "$@" "http://127.0.0.1:$port$target") || code=000
  kind=other
  grep -q 'window.kvApplyTheme' "$body" 2>/dev/null && kind=page
  grep -q '^{"ok":' "$body" 2>/dev/null && kind=json
  echo "$code $kind"
}
# gate NAME PORT PASSWORD OLD: the program answers with PASSWORD and refuses
# OLD (when given) and no password.
gate() {
  r=$(ask "$2" '/plugin_vistrel?action=metrics' -H "X-Bot-Password: $3")
  [ "$r" = "200 json" ] && grep -q '"source":"nvidia"' "$root.body" && ok "$1: the password answers (metrics)" ||
    bad "$1: the password: $r $(head -c 120 "$root.body")"
  if [ -n "$4" ]; then
    r=$(ask "$2" '/plugin_vistrel?action=info' -H "X-Bot-Password: $4")
    [ "$r" = "401 json" ] && ok "$1: the old password is refused" || bad "$1: the old password: $r"
  fi
  r=$(ask "$2" '/plugin_vistrel?action=info')
  [ "$r" = "401 json" ] && ok "$1: no password is refused" || bad "$1: no password: $r"
}
# until_gate PORT PASSWORD: waits up to 10 s for the password to answer
# (a reload of lighttpd or nginx is asked for when systemctl returns, not
# yet in effect).
until_gate() {
  n=0
  until [ "$(ask "$1" '/plugin_vistrel?action=info' -H "X-Bot-Password: $2")" = "200 json" ] || [ $n -ge 50 ]; do
    sleep 0.2
    n=$((n + 1))
  done
}

# unit UNIT PROPERTY: one property of a unit in the box.
unit() { box "systemctl show -p $2 --value $1"; }
# steady NAME UNIT PID: the unit runs, with the same main process, and
# systemd never restarted it.
steady() {
  st="$(unit "$2" ActiveState) $(unit "$2" NRestarts) $(unit "$2" MainPID)"
  [ "$st" = "active 0 $3" ] && ok "$1: still the same process, never restarted (NRestarts 0)" ||
    bad "$1: wanted active, 0 restarts, main process $3; got $st"
}
# refused_start NAME UNIT WHAT: the unit does not start, and its journal has
# the one line naming the password file and WHAT is wrong.
refused_start() {
  box "systemctl reset-failed $2; systemctl restart $2" >/dev/null 2>&1 &&
    bad "$1 started with an unusable password file ($3)"
  line=$(box "journalctl -q -u $2 -o cat --no-pager" | grep -F "vistrel: /etc/vistrel/node-password: $3" | tail -n 1)
  [ "$(unit "$2" ActiveState)" != active ] && [ -n "$line" ] && ok "$1 refuses to start: $line" ||
    bad "$1 with the password file $3: $(unit "$2" ActiveState), journal line '${line:-none}'"
}
restart_all() {
  for u in lighttpd apache2 nginx; do
    box "systemctl reset-failed $u; systemctl restart $u" >/dev/null 2>&1 || true
    [ "$(unit $u ActiveState)" = active ] && ok "$1: $u starts" || bad "$1: $u does not start: $(box "journalctl -q -u $u -n 3 -o cat --no-pager" | tr '\n' ' ')"
  done
}

# The operator's year in the booted root; vistrel is not installed at the
# start, the servers run on ports of their own.
operator_year() {
  say "$release: systemd-nspawn -b (private network)"
  boot_box || { halt_box; return 0; }
  for u in lighttpd apache2 nginx; do
    [ "$(unit $u ActiveState)" = active ] || bad "$u is not running at boot"
  done

  say "$release: apt install $(basename "$deb"), the three hosts enabled as the README says"
  box_apt "install /root/$(basename "$deb")"
  st="$(unit vistrel-fcgiwrap ActiveState) $(box "systemctl is-enabled vistrel-fcgiwrap" || true)"
  [ "$st" = "inactive disabled" ] && ok "vistrel-fcgiwrap installed, neither enabled nor started" || bad "vistrel-fcgiwrap after install: $st"
  pw=$(cat "$root/etc/vistrel/node-password")
  pid=$(unit lighttpd MainPID)
  box "lighty-enable-mod vistrel && systemctl reload lighttpd" >/dev/null || bad "lighty-enable-mod vistrel && systemctl reload lighttpd failed"
  until_gate $HTTP_LIGHTTPD "$pw"
  gate lighttpd $HTTP_LIGHTTPD "$pw" ""
  steady "lighttpd after the reload" lighttpd "$pid"
  box "a2enmod -q cgid && a2enconf -q vistrel && systemctl restart apache2" >/dev/null || bad "a2enconf vistrel && systemctl restart apache2 failed"
  gate apache $HTTP_APACHE "$pw" ""
  pid=$(unit nginx MainPID)
  box "systemctl enable --now vistrel-fcgiwrap && systemctl reload nginx" >/dev/null 2>&1 || bad "systemctl enable --now vistrel-fcgiwrap failed"
  until_gate $HTTP_NGINX "$pw"
  gate nginx $HTTP_NGINX "$pw" ""
  steady "nginx after the reload" nginx "$pid"
  # The program under nginx runs as the unit's own user: www-data, the user
  # of every other web application, cannot read its environment.
  fpid=$(unit vistrel-fcgiwrap MainPID)
  box "grep -qz '^BOT_PASSWORD=' /proc/$fpid/environ" || bad "fcgiwrap's environment has no BOT_PASSWORD"
  who=$(box "stat -c %U /proc/$fpid" || true)
  if [ "$who" = vistrel ] && ! box "setpriv --reuid=www-data --regid=www-data --init-groups cat /proc/$fpid/environ" >/dev/null 2>&1; then
    ok "fcgiwrap runs as vistrel; www-data cannot read its environment"
  else
    bad "fcgiwrap runs as $who, and www-data can read its environment"
  fi

  say "$release: a new password, as the README says, under umask 000"
  rotate=$(grep -m 1 '| /usr/lib/vistrel/vistrel-node-password set$' README.md || true)
  [ -n "$rotate" ] || bad "README.md has no command that sets a new password"
  box "umask 000 && $rotate" || bad "$rotate failed"
  old=$pw
  pw=$(cat "$root/etc/vistrel/node-password")
  [ "$pw" != "$old" ] && grep -qxE '[0-9a-f]{64}' "$root/etc/vistrel/node-password" || bad "no new password: $pw"
  perms=$(stat -c '%a %U %G' "$root/etc/vistrel/node-password")
  [ "$perms" = "640 root www-data" ] && ok "new password: mode 0640 root www-data" || bad "new password: mode $perms"
  pid=$(unit lighttpd MainPID)
  box "systemctl reload lighttpd" || bad "systemctl reload lighttpd failed"
  until_gate $HTTP_LIGHTTPD "$pw"
  gate "lighttpd after systemctl reload lighttpd" $HTTP_LIGHTTPD "$pw" "$old"
  steady "lighttpd after the reload" lighttpd "$pid"
  gate "apache, read at the next request" $HTTP_APACHE "$pw" "$old"
  box "systemctl restart vistrel-fcgiwrap" || bad "systemctl restart vistrel-fcgiwrap failed"
  until_gate $HTTP_NGINX "$pw"
  gate "nginx after systemctl restart vistrel-fcgiwrap" $HTTP_NGINX "$pw" "$old"

  say "$release: no server shows the password: mod_info, lighttpd's status pages"
  box "a2enmod -q info && systemctl restart apache2" >/dev/null || bad "a2enmod info failed"
  sed -i 's/^# *\(status\.\(status\|config\)-url\)/\1/' "$root/etc/lighttpd/conf-available/10-status.conf"
  box "lighty-enable-mod status >/dev/null; systemctl reload lighttpd" || bad "lighty-enable-mod status failed"
  n=0
  until [ "$(ask $HTTP_LIGHTTPD /server-config)" = "200 other" ] || [ $n -ge 50 ]; do sleep 0.2; n=$((n + 1)); done
  # The configuration page shows vistrel's lines, so the password's absence
  # means something.
  r=$(ask $HTTP_APACHE '/server-info?config')
  [ "$r" = "200 other" ] && grep -q SetEnvIfExpr "$root.body" || bad "/server-info?config: $r, without vistrel's configuration"
  for page in "$HTTP_APACHE /server-info?config" "$HTTP_APACHE /server-info" "$HTTP_LIGHTTPD /server-config" \
    "$HTTP_LIGHTTPD /server-status"; do
    r=$(ask ${page% *} "${page#* }")
    if grep -q "$pw" "$root.body"; then
      bad "${page#* } shows the password"
    elif [ "$r" = "200 other" ]; then
      ok "${page#* }: no password in its $(wc -c <"$root.body") bytes"
    else
      bad "${page#* }: $r"
    fi
  done

  say "$release: unusable password files stop each host, saying why"
  cp -p "$root/etc/vistrel/node-password" "$root/root/node-password.keep"
  printf '%s \n' "$pw" >"$root/etc/vistrel/node-password"
  r=$(ask $HTTP_APACHE '/plugin_vistrel?action=info' -H "X-Bot-Password: $pw ")
  [ "${r%% *}" = 403 ] && ok "apache: a trailing blank refuses the next request (403)" || bad "apache with a trailing blank: $r"
  # A reload that finds it so fails where Debian's unit tests the
  # configuration first (Debian 13); where it only signals lighttpd (Debian
  # 12), lighttpd stops, as at any error in its configuration. Either way
  # the reload does not pass for a success that serves the old password.
  if box "systemctl reload lighttpd" >/dev/null 2>&1; then how="reload ran"; else how="reload failed"; fi
  sleep 2
  st=$(unit lighttpd ActiveState)
  line=$(box "journalctl -q -u lighttpd -o cat --no-pager" | grep -F "vistrel: /etc/vistrel/node-password: $BLANK" | tail -n 1)
  r=$(ask $HTTP_LIGHTTPD '/plugin_vistrel?action=info' -H "X-Bot-Password: $pw")
  if [ -n "$line" ] && { [ "$how" = "reload failed" ] || [ "$st" != active ]; }; then
    ok "lighttpd reloaded with it: $how, lighttpd $st, the old password answers ${r%% *}: $line"
  else
    bad "lighttpd reloaded with it: $how, lighttpd $st, journal line '${line:-none}'"
  fi
  refused_start lighttpd lighttpd "$BLANK"
  refused_start apache apache2 "$BLANK"
  refused_start fcgiwrap vistrel-fcgiwrap "$BLANK"
  # dpkg-reconfigure runs the same check, and leaves nothing behind.
  if box "dpkg-reconfigure vistrel" >"$root.out" 2>&1; then
    bad "dpkg-reconfigure took the unusable password file"
  elif grep -qF "vistrel: /etc/vistrel/node-password: $BLANK" "$root.out" && [ "$(ls -A "$root/etc/vistrel")" = node-password ]; then
    ok "dpkg-reconfigure fails, saying why, and leaves nothing behind"
  else
    bad "dpkg-reconfigure: $(tr '\n' ' ' <"$root.out"), left: $(ls -A "$root/etc/vistrel" | tr '\n' ' ')"
  fi
  rm -f "$root.out"
  cp -p "$root/root/node-password.keep" "$root/etc/vistrel/node-password"
  chmod 0600 "$root/etc/vistrel/node-password"
  refused_start "lighttpd, whose reload would read it as www-data," lighttpd "unreadable by www-data"
  cp -p "$root/root/node-password.keep" "$root/etc/vistrel/node-password"
  restart_all "the password file mended"
  box "systemctl reset-failed vistrel-fcgiwrap; systemctl restart vistrel-fcgiwrap" || bad "vistrel-fcgiwrap does not start again"
  until_gate $HTTP_NGINX "$pw"
  gate nginx $HTTP_NGINX "$pw" ""
  gate lighttpd $HTTP_LIGHTTPD "$pw" ""

  say "$release: apt install $(basename "$next") while nginx serves"
  fpid=$(unit vistrel-fcgiwrap MainPID)
  # A client polling through nginx all along, as the dashboard does.
  nsenter -t "$leader" -n sh -c 'while [ ! -e "$1.stop" ]; do
      curl -s -m 5 -o /dev/null -w "%{http_code}\n" -H "X-Bot-Password: $2" "http://127.0.0.1:$3/plugin_vistrel?action=info"
      sleep 0.05
    done >"$1.polls"' sh "$root" "$pw" $HTTP_NGINX &
  poller=$!
  box_apt "install /root/$(basename "$next")"
  touch "$root.stop"
  wait $poller || true
  say "$release: while upgrading: $(grep -c '^200$' "$root.polls") of $(wc -l <"$root.polls") requests through nginx answered 200 ($(grep -v '^200$' "$root.polls" | sort | uniq -c | tr -s ' \n' ' ')others)"
  rm -f "$root.stop" "$root.polls"
  v=$(box "dpkg-query -W -f '\${Version}' vistrel")
  [ "vistrel_${v}_amd64.deb" = "$(basename "$next")" ] && ok "upgraded to $v" || bad "not upgraded: $v"
  st="$(unit vistrel-fcgiwrap ActiveState) $(unit vistrel-fcgiwrap MainPID)"
  [ "${st%% *}" = active ] && [ "${st#* }" != "$fpid" ] && ok "vistrel-fcgiwrap active after the upgrade (restarted)" ||
    bad "vistrel-fcgiwrap after the upgrade: $st (main process before: $fpid)"
  until_gate $HTTP_NGINX "$pw"
  gate "nginx after the upgrade" $HTTP_NGINX "$pw" ""
  gate "apache after the upgrade" $HTTP_APACHE "$pw" ""
  box "systemctl stop vistrel-fcgiwrap"
  box_apt "install --reinstall /root/$(basename "$next")"
  st="$(unit vistrel-fcgiwrap ActiveState) $(box "systemctl is-enabled vistrel-fcgiwrap" || true)"
  [ "$st" = "inactive enabled" ] && ok "a stopped vistrel-fcgiwrap stays stopped through a reinstall" || bad "stopped vistrel-fcgiwrap after a reinstall: $st"

  say "$release: apt remove vistrel, then apt purge vistrel"
  box "systemctl start vistrel-fcgiwrap"
  box_apt "remove vistrel"
  [ "$(unit vistrel-fcgiwrap ActiveState)" != active ] && ok "removal stopped vistrel-fcgiwrap" || bad "vistrel-fcgiwrap runs after the removal"
  restart_all "after the removal"
  for p in $HTTP_LIGHTTPD $HTTP_APACHE $HTTP_NGINX; do
    r=$(ask $p '/plugin_vistrel?action=info' -H "X-Bot-Password: $pw")
    case $r in 200* | *json) bad "port $p still runs vistrel after the removal: $r" ;; esac
  done
  box_apt "purge vistrel"
  [ -e "$root/etc/vistrel" ] && bad "/etc/vistrel is left after the purge"
  restart_all "after the purge"
  halt_box
  say "$release: the box halted"
}

test_release() {
  release=$1
  t0=$(date +%s)
  root=$(mktemp -d "${TMPDIR:-/var/tmp}/vistrel-deb-$release.XXXXXX")
  say "$release: fresh root in $root"
  hosts_root "$release" "$root"
  in_root "apt-get -q update" >/dev/null

  say "$release: apt install ./$(basename "$deb")"
  cp "$deb" "$root/tmp/"
  apt_in "install /tmp/$(basename "$deb")"
  in_root "dpkg -s vistrel" | grep -q '^Status: install ok installed' && ok "installed" || bad "not installed"

  # The generated password: one line of 64 hex digits, root's, readable by
  # the servers' www-data, in a folder anyone may enter.
  pwfile=$root/etc/vistrel/node-password
  perms=$(stat -c '%a %U %G' "$pwfile" "$root/etc/vistrel" 2>/dev/null | tr '\n' ' ')
  [ "$perms" = "640 root www-data 755 root root " ] && ok "password file 0640 root:www-data in a 0755 folder" ||
    bad "password file modes: $perms"
  grep -qxE '[0-9a-f]{64}' "$pwfile" && [ "$(wc -l <"$pwfile")" = 1 ] && ok "password: 256 random bits as hex" ||
    bad "password is not 64 hex digits on one line"
  first=$(sha256sum <"$pwfile" | cut -d" " -f1)
  [ -e "$root/usr/lib/cgi-bin/plugin_vistrel" ] && bad "program in /usr/lib/cgi-bin" || ok "nothing in /usr/lib/cgi-bin"

  # A fake nvidia-smi on the PATH the configurations set, with the real
  # tool's command lines checked by the fake itself.
  mkdir -p "$root/usr/local/lib/vistrel-fake"
  cp tests/data/fakes/nvidia-smi tests/data/fakes/fake-common.sh tests/data/fixtures/nvidia-gpus.txt \
    tests/data/fixtures/nvidia-apps.txt "$root/usr/local/lib/vistrel-fake/"
  printf '#!/bin/sh\nd=/usr/local/lib/vistrel-fake\nFAKE_NVIDIA_GPU=$d/nvidia-gpus.txt FAKE_NVIDIA_APPS=$d/nvidia-apps.txt exec $d/nvidia-smi "$@"\n' \
    >"$root/usr/local/bin/nvidia-smi"
  chmod 755 "$root/usr/local/bin/nvidia-smi"

  # Enabled as the README says, with the stock /cgi-bin/ routes on as well.
  in_root "lighty-enable-mod cgi vistrel" >/dev/null 2>&1 || true
  in_root "a2enmod -q cgid && a2enconf -q vistrel serve-cgi-bin" >/dev/null 2>&1 || true
  sed -i 's|^\([[:space:]]*\)server_name _;|&\n\1include snippets/vistrel*.conf;|' "$root/etc/nginx/sites-available/default"
  grep -q 'include snippets/vistrel\*.conf;' "$root/etc/nginx/sites-available/default" || bad "could not add the nginx include"
  # One server at a time on port 80: the others' sites are disabled for it.
  for s in lighttpd apache nginx; do
    check_server "$s" installed
  done

  # Over what older versions left: the file root's alone, in a closed
  # folder, and Apache's copy of it beside.
  say "$release: apt install --reinstall, over an older version's layout"
  chmod 0600 "$pwfile"
  chown root:root "$pwfile"
  chmod 0700 "$root/etc/vistrel"
  echo 'SetEnv BOT_PASSWORD "old"' >"$root/etc/vistrel/apache2-password.conf"
  apt_in "install --reinstall /tmp/$(basename "$deb")"
  [ "$(sha256sum <"$pwfile" | cut -d" " -f1)" = "$first" ] && ok "reinstall kept the password" || bad "reinstall changed the password"
  perms=$(stat -c '%a %U %G' "$pwfile" "$root/etc/vistrel" 2>/dev/null | tr '\n' ' ')
  [ "$perms" = "640 root www-data 755 root root " ] && [ ! -e "$root/etc/vistrel/apache2-password.conf" ] &&
    ok "the old layout mended: 0640 root:www-data, no copy for Apache" || bad "after the reinstall: $perms $(ls "$root/etc/vistrel")"
  check_server lighttpd installed

  say "$release: an empty password file shuts the gate, never opens it"
  cp -p "$pwfile" "$pwfile.keep"
  : >"$pwfile"
  for s in lighttpd apache nginx; do
    check_server "$s" shut
  done
  mv "$pwfile.keep" "$pwfile"
  passwords="$passwords $first"

  say "$release: apt purge vistrel"
  files=$(in_root "dpkg-query -L vistrel; cat /var/lib/dpkg/info/vistrel.conffiles" | sort -u)
  apt_in "purge vistrel"
  left=
  for f in $files /etc/vistrel; do
    [ -d "$root$f" ] && [ "$f" != /etc/vistrel ] && continue
    { [ -e "$root$f" ] || [ -L "$root$f" ]; } && left="$left $f"
  done
  for d in /usr/lib/vistrel /usr/share/doc/vistrel; do [ -e "$root$d" ] && left="$left $d"; done
  [ -z "$left" ] && ok "purge left no file of the package" || bad "purge left:$left"
  for s in lighttpd apache nginx; do
    check_server "$s" purged
  done

  # Booted: the servers as their units start them, each on a port of its
  # own, nothing kept from the chroot's policy-rc.d.
  fresh_unmount "$root" || bad "root still mounted"
  rm -f "$root/usr/sbin/policy-rc.d"
  cp "$deb" "$next" "$root/root/"
  sed -i "s/^server.port .*/server.port = $HTTP_LIGHTTPD/" "$root/etc/lighttpd/lighttpd.conf"
  sed -i "s/^Listen 80\$/Listen $HTTP_APACHE/" "$root/etc/apache2/ports.conf"
  sed -i "s/^<VirtualHost \*:80>/<VirtualHost *:$HTTP_APACHE>/" "$root/etc/apache2/sites-available/000-default.conf"
  sed -i "s/listen \(\[::\]:\)\{0,1\}80 default_server;/listen \1$HTTP_NGINX default_server;/" "$root/etc/nginx/sites-available/default"
  operator_year

  fresh_cleanup "$root" || bad "root not cleaned up"
  rm -f "$root.body"
  root=
  say "$release: done in $(($(date +%s) - t0)) s"
}

passwords=
for r in ${VISTREL_DEB_RELEASES:-bookworm trixie}; do
  test_release "$(fresh_release "$r")"
done
# No two installations share a password.
release=all
n=$(echo "$passwords" | tr ' ' '\n' | grep -c . || true)
u=$(echo "$passwords" | tr ' ' '\n' | grep . | sort -u | wc -l)
[ "$n" = "$u" ] && ok "$n installations, $u different passwords" || bad "installations share a password"
if [ "$fails" -ne 0 ]; then
  say "$fails checks failed"
  exit 1
fi
say "all checks passed"
