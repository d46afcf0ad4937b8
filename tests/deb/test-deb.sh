#!/bin/sh
# tests/deb/test-deb.sh PACKAGE.deb: the package as an operator meets it, in
# fresh minimal Debian 12 and Debian 13 roots (tools/fresh-debian.sh makes
# them; base roots cached in /var/cache/vistrel/roots). In each: apt installs
# it; lighttpd, Apache and nginx with fcgiwrap, enabled the README's way,
# each started in the foreground in a network of its own (lo only), refuse a
# request without the password, serve the page and the metrics of a fake
# nvidia-smi with the generated one, and reach the program through no
# /cgi-bin/ route; a reinstall keeps the password; a purge leaves no file of
# the package, and every server still starts. A line per step.
#   VISTREL_DEB_RELEASES="bookworm trixie"   the releases to try
set -eu

deb=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
[ -f "$deb" ] || { echo "test-deb: no package $1" >&2; exit 1; }
[ "$(id -u)" = 0 ] || { echo "test-deb: needs root (it makes and mounts roots)" >&2; exit 1; }
repo=$(cd "$(dirname "$0")/../.." && pwd)
cd "$repo"
FRESH_DEBIAN_LIB=1 FRESH_TOOLS=$repo/tools . tools/fresh-debian.sh

start=$(date +%s)
root=
fails=0
trap '[ -z "$root" ] || fresh_cleanup "$root"' EXIT
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
# RuntimeDirectory=, User=, LoadCredential= (a private copy of the password
# file its user may read) and ExecStart, in a clean environment.
fcgiwrap_cmd() {
  unit=$(in_root "ls /lib/systemd/system/vistrel-fcgiwrap.service /usr/lib/systemd/system/vistrel-fcgiwrap.service 2>/dev/null | head -n 1")
  exe=$(sed -n 's/^ExecStart=//p' "$root$unit")
  user=$(sed -n 's/^User=//p' "$root$unit")
  rundir=$(sed -n 's/^RuntimeDirectory=//p' "$root$unit")
  cred=$(sed -n 's/^LoadCredential=//p' "$root$unit")
  echo "rm -rf /run/$rundir /run/credentials/vistrel && mkdir -p /run/$rundir /run/credentials/vistrel &&" \
    "{ [ ! -e ${cred#*:} ] || cp ${cred#*:} /run/credentials/vistrel/${cred%%:*}; } &&" \
    "chown -R $user:$user /run/$rundir /run/credentials/vistrel && chmod 500 /run/credentials/vistrel &&" \
    "exec setpriv --reuid=$user --regid=$user --init-groups env -i PATH=/usr/bin:/bin" \
    "CREDENTIALS_DIRECTORY=/run/credentials/vistrel $exe"
}

# check_server NAME MODE: starts the server (and fcgiwrap for nginx) inside
# the root in a private network and checks it on 127.0.0.1:80. MODE
# "installed": the gate, the page, the metrics, no /cgi-bin/ route; "shut":
# with the password file emptied (Apache's copy gone), the server refuses to
# start or the program to answer; "purged": it starts and answers, and
# nothing of vistrel does.
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
(run "$cmd" >"$root/tmp/server.log" 2>&1) & pids="$pids $!"
n=0 nostart=
until curl -s -o /dev/null http://127.0.0.1/; do
  [ $n -lt 100 ] || { echo "result no-start"; nostart=1; tail -n 5 "$root/tmp/server.log" "$root/tmp/fcgiwrap.log" 2>/dev/null; break; }
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

test_release() {
  release=$1
  t0=$(date +%s)
  root=$(mktemp -d "${TMPDIR:-/var/tmp}/vistrel-deb-$release.XXXXXX")
  say "$release: fresh root in $root"
  fresh_root "$release" "$root"
  say "$release: apt-get install lighttpd apache2 nginx fcgiwrap"
  in_root "apt-get -q update" >/dev/null
  apt_in "install --no-install-recommends lighttpd apache2 nginx fcgiwrap"

  say "$release: apt install ./$(basename "$deb")"
  cp "$deb" "$root/tmp/"
  apt_in "install /tmp/$(basename "$deb")"
  in_root "dpkg -s vistrel" | grep -q '^Status: install ok installed' && ok "installed" || bad "not installed"

  # The generated password: one line of 64 hex digits, root's alone.
  pwfile=$root/etc/vistrel/node-password
  perms=$(stat -c '%a %U %G' "$pwfile" "$root/etc/vistrel" 2>/dev/null | tr '\n' ' ')
  [ "$perms" = "600 root root 700 root root " ] && ok "password file 0600 root in a 0700 folder" || bad "password file modes: $perms"
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

  say "$release: apt install --reinstall"
  apt_in "install --reinstall /tmp/$(basename "$deb")"
  [ "$(sha256sum <"$pwfile" | cut -d" " -f1)" = "$first" ] && ok "reinstall kept the password" || bad "reinstall changed the password"
  check_server lighttpd installed

  say "$release: an empty password file shuts the gate, never opens it"
  cp -p "$pwfile" "$pwfile.keep"
  mv "$root/etc/vistrel/apache2-password.conf" "$root/etc/vistrel/apache2-password.keep"
  : >"$pwfile"
  for s in lighttpd apache nginx; do
    check_server "$s" shut
  done
  mv "$pwfile.keep" "$pwfile"
  mv "$root/etc/vistrel/apache2-password.keep" "$root/etc/vistrel/apache2-password.conf"
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

  fresh_cleanup "$root" || bad "root not cleaned up"
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
