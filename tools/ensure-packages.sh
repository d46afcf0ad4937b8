#!/bin/sh
# Installs the Debian packages that provide what a make step needs, only when
# something is missing. Arguments are CHECK:PACKAGE pairs, where CHECK is a
# command name or an absolute file path.
#   tools/ensure-packages.sh cppcheck:cppcheck /usr/include/gtest/gtest.h:libgtest-dev
set -eu
missing=""
for pair in "$@"; do
  check=${pair%%:*}
  package=${pair#*:}
  case $check in
    /*) [ -e "$check" ] && continue ;;
    *) command -v "$check" >/dev/null 2>&1 && continue ;;
  esac
  case " $missing " in *" $package "*) ;; *) missing="$missing $package" ;; esac
done
[ -z "$missing" ] && exit 0
if [ "$(id -u)" != 0 ]; then
  echo "missing packages:$missing" >&2
  echo "install them with: sudo apt-get install -y$missing" >&2
  exit 1
fi
echo "installing:$missing"
export DEBIAN_FRONTEND=noninteractive

# Servers (lighttpd, apache2, nginx) enable and start a system service on
# port 80 when installed; our steps run private instances instead. A
# policy-rc.d that answers 101 tells the packages' scripts not to start
# anything. One that is already there (a container's) is left as it is.
policy=/usr/sbin/policy-rc.d
if [ ! -e "$policy" ]; then
  printf '#!/bin/sh\n# placed by vistrel tools/ensure-packages.sh during an install\nexit 101\n' >"$policy"
  chmod 755 "$policy"
  trap 'rm -f "$policy"' EXIT
  trap 'exit 1' INT TERM HUP
fi

# Another apt run (a second make step, unattended upgrades) may hold the lock.
apt="apt-get -q -y -o DPkg::Lock::Timeout=300"

# apt's own account, shortened to a line per package fetched and one per
# package set up (a large install takes minutes); its warnings and errors go
# to standard error as they are.
show_progress() {
  while IFS= read -r line; do
    case $line in
      Get:* | 'Setting up '* | *' newly installed, '* | 'Need to get '*) printf '  %s\n' "$line" ;;
    esac
  done
}
# Runs apt-get with the arguments, its output through show_progress; fails
# as apt-get does.
apt_get() {
  status_file=$(mktemp)
  { status=0; $apt "$@" || status=$?; echo "$status" >"$status_file"; } | show_progress
  status=$(cat "$status_file")
  rm -f "$status_file"
  return "${status:-1}"
}

# Empty or old package lists know none of the names: refresh them first, so
# no "Unable to locate package" error is printed on the way.
for package in $missing; do
  if ! apt-cache show --no-all-versions "$package" >/dev/null 2>&1; then
    echo "refreshing the package lists (apt-get update)"
    apt_get update
    break
  fi
done
# Lists that name a version the mirror no longer has fail to download: one
# refresh and a second try.
# shellcheck disable=SC2086
if ! apt_get install $missing; then
  echo "refreshing the package lists (apt-get update) and trying again"
  apt_get update
  # shellcheck disable=SC2086
  apt_get install $missing
fi
echo "installed:$missing"
