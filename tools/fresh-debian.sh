#!/bin/sh
# tools/fresh-debian.sh RELEASE [TARGET...]   (bookworm or 12, trixie or 13)
# Tries the project as a newcomer would: a fresh minimal Debian root of that
# release, only the README's prerequisites installed, a clone of this
# checkout's HEAD, then the README's two commands, make serve (the demo must
# answer; SIGTERM stops it, leaving nothing) and make test. Run as root; it
# leaves nothing running or mounted. Long: make test installs everything it
# needs inside the root. TARGETs, when given, run instead of make test (make
# test-deb, say, to try the package test nested in a fresh root).
#
# The root-making part is shared: tests/deb/test-deb.sh sources this file
# with FRESH_DEBIAN_LIB=1 (and FRESH_TOOLS, this folder) and uses
# fresh_release, fresh_base, fresh_root, fresh_in, fresh_unmount and
# fresh_cleanup.
# Base roots (debootstrap --variant=minbase) are cached as tar files in
# $VISTREL_ROOT_CACHE (default /var/cache/vistrel/roots), one per release,
# made again when older than a week.
set -eu

FRESH_CACHE=${VISTREL_ROOT_CACHE:-/var/cache/vistrel/roots}
FRESH_TOOLS=${FRESH_TOOLS:-$(cd "$(dirname "$0")" && pwd)}
FRESH_MAX_AGE_DAYS=7

fresh_say() { echo "fresh-debian: $*"; }
fresh_die() { echo "fresh-debian: $*" >&2; exit 1; }

# bookworm|12 -> bookworm, trixie|13 -> trixie.
fresh_release() {
  case $1 in
    bookworm | 12) echo bookworm ;;
    trixie | 13) echo trixie ;;
    *) fresh_die "RELEASE is bookworm (12) or trixie (13), not '$1'" ;;
  esac
}

# The Debian mirror this machine's apt uses.
fresh_mirror() {
  m=$(sed -n 's/^URIs:[[:space:]]*\([^[:space:]]*\/debian\)\/*$/\1/p' /etc/apt/sources.list.d/*.sources 2>/dev/null | head -n 1)
  [ -n "$m" ] || m=$(sed -n 's/^deb[[:space:]]\{1,\}\(http[^[:space:]]*\/debian\)\/*[[:space:]].*/\1/p' /etc/apt/sources.list 2>/dev/null | head -n 1)
  echo "${m:-http://deb.debian.org/debian}"
}

# The cached base root of a release, made when missing or old. One maker at a
# time per release (flock), so parallel runs share it.
fresh_base() {
  rel=$1
  tar=$FRESH_CACHE/$rel.tar
  mkdir -p "$FRESH_CACHE"
  "$FRESH_TOOLS/ensure-packages.sh" debootstrap:debootstrap >&2
  (
    flock 9
    if [ -s "$tar" ] && [ -z "$(find "$tar" -mtime +$FRESH_MAX_AGE_DAYS)" ]; then
      exit 0
    fi
    work=$(mktemp -d "$FRESH_CACHE/.make-$rel.XXXXXX")
    trap 'rm -rf "$work"' EXIT
    mirror=$(fresh_mirror)
    fresh_say "debootstrap --variant=minbase $rel from $mirror (cached in $tar)" >&2
    debootstrap --variant=minbase "$rel" "$work/root" "$mirror" >"$work/log" 2>&1 ||
      { tail -n 20 "$work/log" >&2; exit 1; }
    tar -C "$work/root" -cf "$work/root.tar" .
    mv "$work/root.tar" "$tar"
  ) 9>"$FRESH_CACHE/.$rel.lock" || fresh_die "could not make the $rel base root"
  echo "$tar"
}

# The Debian security mirror this machine's apt uses.
fresh_security_mirror() {
  m=$(sed -n 's/^URIs:[[:space:]]*\([^[:space:]]*\/debian-security\)\/*$/\1/p' /etc/apt/sources.list.d/*.sources 2>/dev/null | head -n 1)
  [ -n "$m" ] || m=$(sed -n 's/^deb[[:space:]]\{1,\}\(http[^[:space:]]*\/debian-security\)\/*[[:space:]].*/\1/p' /etc/apt/sources.list 2>/dev/null | head -n 1)
  echo "${m:-http://deb.debian.org/debian-security}"
}

# fresh_root RELEASE DIR [TAR]: DIR becomes a fresh root of RELEASE (the
# cached base, or TAR: a root made from it) with /proc, /dev, /dev/pts and
# /dev/shm mounted, the host's name servers and extra certificate
# authorities, and a policy-rc.d that lets no service start.
fresh_root() {
  base=${3:-$(fresh_base "$1")}
  mkdir -p "$2"
  tar -C "$2" -xf "$base"
  mount -t proc proc "$2/proc"
  mount --rbind /dev "$2/dev"
  mount --make-rslave "$2/dev"
  mount -t tmpfs -o mode=1777 shm "$2/dev/shm"
  cp /etc/resolv.conf "$2/etc/resolv.conf" 2>/dev/null || true
  # A proxy that re-signs TLS is trusted inside as outside; ca-certificates
  # takes them in when it is installed (git and npm bring it).
  if [ -d /usr/local/share/ca-certificates ]; then
    mkdir -p "$2/usr/local/share/ca-certificates"
    cp -R /usr/local/share/ca-certificates/. "$2/usr/local/share/ca-certificates/"
  fi
  printf '#!/bin/sh\nexit 101\n' >"$2/usr/sbin/policy-rc.d"
  chmod 755 "$2/usr/sbin/policy-rc.d"
  # debootstrap lists the release alone; an installed Debian also has its
  # updates and security suites, without which a root gets the release's
  # first browsers (Debian 12: a Firefox ESR too old for the browser tests).
  rm -f "$2/etc/apt/sources.list"
  printf 'Types: deb\nURIs: %s\nSuites: %s %s-updates\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n\nTypes: deb\nURIs: %s\nSuites: %s-security\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
    "$(fresh_mirror)" "$1" "$1" "$(fresh_security_mirror)" "$1" >"$2/etc/apt/sources.list.d/debian.sources"
}

# fresh_in DIR COMMAND: runs a shell command inside the root. Node.js from
# nodejs.org or NodeSource trusts only its own list of authorities: it is
# pointed at the root's bundle, which holds the extra ones (Debian 13's own
# nodejs reads that bundle anyway).
fresh_in() {
  d=$1
  shift
  chroot "$d" /usr/bin/env -i HOME=/root TERM=dumb LANG=C.UTF-8 \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    NODE_EXTRA_CA_CERTS=/etc/ssl/certs/ca-certificates.crt \
    DEBIAN_FRONTEND=noninteractive /bin/sh -c "$*"
}

# fresh_unmount DIR: unmounts all below DIR; fails when something stays.
fresh_unmount() {
  real=$(cd "$1" && pwd -P)
  umount -R "$real" 2>/dev/null || true
  for m in $(awk -v d="$real" '$5 == d || index($5, d "/") == 1 {print $5}' /proc/self/mountinfo | sort -r); do
    umount -l "$m" 2>/dev/null || true
  done
  if awk -v d="$real" '$5 == d || index($5, d "/") == 1 {f=1} END {exit !f}' /proc/self/mountinfo; then
    echo "fresh-debian: $real is still mounted; left in place" >&2
    return 1
  fi
}

# fresh_cleanup DIR: ends every process whose root is DIR, unmounts all
# below it and removes it.
fresh_cleanup() {
  d=$1
  [ -d "$d" ] || return 0
  real=$(cd "$d" && pwd -P)
  for round in 1 2 3 4 5; do
    left=
    for p in /proc/[0-9]*; do
      [ "$(readlink "$p/root" 2>/dev/null)" = "$real" ] && left="$left ${p#/proc/}"
    done
    [ -z "$left" ] && break
    sig=TERM
    [ "$round" -gt 2 ] && sig=KILL
    # shellcheck disable=SC2086
    kill -s $sig $left 2>/dev/null || true
    sleep 1
  done
  fresh_unmount "$real" || return 1
  rm -rf "$real"
}

[ "${FRESH_DEBIAN_LIB:-}" = 1 ] && return 0

# ---- the newcomer's run ---------------------------------------------------------
[ $# -ge 1 ] || fresh_die "usage: tools/fresh-debian.sh bookworm|trixie|12|13 [TARGET...]"
[ "$(id -u)" = 0 ] || fresh_die "run as root (it makes and mounts a root)"
release=$(fresh_release "$1")
shift
targets=${*:-test}
repo=$(cd "$(dirname "$0")/.." && pwd)
cd "$repo"
start=$(date +%s)
root=$(mktemp -d "${TMPDIR:-/var/tmp}/vistrel-fresh-$release.XXXXXX")
trap 'fresh_cleanup "$root"' EXIT
trap 'exit 1' INT TERM HUP
step() { fresh_say "[$(($(date +%s) - start)) s] $*"; }

step "a fresh $release root in $root"
fresh_root "$release" "$root"

# The README's prerequisites, nothing more.
step "apt-get update"
fresh_in "$root" "apt-get -q update" >/dev/null
case $release in
  trixie)
    step "apt-get install git make g++ nodejs npm"
    fresh_in "$root" "apt-get -q -y install git make g++ nodejs npm" | grep '^Setting up' || true
    ;;
  bookworm)
    step "apt-get install git make g++"
    fresh_in "$root" "apt-get -q -y install git make g++" | grep '^Setting up' || true
    # Debian 12's own nodejs is 18. The README sends a Debian 12 user to
    # NodeSource's repository; this machine may not reach it, so the root
    # gets the NodeSource package the host has, repacked as it is installed.
    nodever=$(dpkg-query -W -f '${Version}' nodejs 2>/dev/null || true)
    major=$(node --version 2>/dev/null | sed 's/^v\([0-9]*\).*/\1/')
    if [ -z "$nodever" ] || [ "${major:-0}" -lt 20 ]; then
      fresh_die "Debian 12 needs Node.js 20 or later with npm (NodeSource's Debian repository, https://github.com/nodesource/distributions); install it on this machine first, so the root gets the same"
    fi
    step "nodejs $nodever from this machine (dpkg-repack), as from NodeSource"
    tools/ensure-packages.sh dpkg-repack:dpkg-repack
    mkdir "$root/tmp/node"
    (cd "$root/tmp/node" && dpkg-repack nodejs >/dev/null)
    fresh_in "$root" "apt-get -q -y install /tmp/node/*.deb" | grep '^Setting up' || true
    rm -rf "$root/tmp/node"
    # npm updated in place (npm install -g npm) leaves files dpkg does not
    # list: the repacked npm would be half old, half new. The root gets the
    # working one as it is here.
    if [ -d /usr/lib/node_modules/npm ]; then
      rm -rf "$root/usr/lib/node_modules/npm"
      cp -a /usr/lib/node_modules/npm "$root/usr/lib/node_modules/npm"
    fi
    fresh_in "$root" "node --version && npm --version" | tr '\n' ' '
    echo
    ;;
esac
fresh_in "$root" "command -v update-ca-certificates >/dev/null && update-ca-certificates >/dev/null; true"

step "git clone of $(git rev-parse --short HEAD) into /root/vistrel"
git clone -q --no-hardlinks "$repo" "$root/root/vistrel"
git -C "$root/root/vistrel" checkout -q "$(git rev-parse HEAD)"

# make serve as the README has it, on a free port of this machine (8080 may
# be taken here): it installs its server first, so it needs the network.
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
step "make serve PORT=$port (the demo must answer, SIGTERM must leave nothing)"
chroot "$root" /usr/bin/env -i HOME=/root LANG=C.UTF-8 PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
  DEBIAN_FRONTEND=noninteractive /bin/sh -c "cd /root/vistrel && exec make serve PORT=$port" >"$root.serve.log" 2>&1 &
make=$!
url=http://127.0.0.1:$port/plugin_vistrel?action=metrics
n=0
until curl -sf -o /dev/null "$url"; do
  kill -0 $make 2>/dev/null || { tail -n 20 "$root.serve.log"; fresh_die "make serve ended before it answered"; }
  [ $n -lt 600 ] || fresh_die "make serve: no answer after 600 s"
  sleep 1
  n=$((n + 1))
done
curl -s "$url" | grep -q '"driver":"demo"' || fresh_die "make serve: not the demo's answer"
kill -TERM $make
wait $make 2>/dev/null || true
sleep 1
curl -s -o /dev/null "$url" && fresh_die "make serve still answers after SIGTERM"
for p in /proc/[0-9]*; do
  [ "$(readlink "$p/root" 2>/dev/null)" = "$root" ] && fresh_die "make serve left process ${p#/proc/} running"
done
rm -f "$root.serve.log"
step "make serve answered with the demo and stopped cleanly"

step "make $targets (log: $root.test.log)"
if fresh_in "$root" "cd /root/vistrel && make $targets" >"$root.test.log" 2>&1; then
  tail -n 1 "$root.test.log"
  step "make $targets passed on $release"
else
  tail -n 40 "$root.test.log"
  fresh_die "make $targets failed on $release after $(($(date +%s) - start)) s (log: $root.test.log)"
fi
