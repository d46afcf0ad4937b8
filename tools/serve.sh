#!/bin/sh
# Serves the built plugin with lighttpd as the node's web server would run it:
# one CGI process per request at /plugin_vistrel and /plugins. Foreground;
# Ctrl-C stops it. Settings, all from the environment:
#   PORT=8080            port on 127.0.0.1
#   DEMO=auto|1|0        1: the simulated nvidia-smi of tools/demo first on the
#                        CGI's PATH; auto: only when no nvidia-smi/rocm-smi is found
#   BOT_PASSWORD=...     passed to the plugin: turns its password gate on
#   VISTREL_MOCK_CSV=f   passed to the plugin: a CSV fixture instead of the tools
#   VISTREL_BIN=path     the binary to serve (default build/plugin_vistrel)
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
bin=${VISTREL_BIN:-$root/build/plugin_vistrel}
port=${PORT:-8080}
demo=${DEMO:-auto}

case $bin in /*) ;; *) bin=$root/$bin ;; esac
[ -x "$bin" ] || { echo "serve: $bin is missing; run make first" >&2; exit 1; }
case $port in '' | *[!0-9]*) echo "serve: PORT must be a number" >&2; exit 1 ;; esac

"$root/tools/ensure-packages.sh" /usr/sbin/lighttpd:lighttpd
lighttpd=$(PATH=$PATH:/usr/sbin:/sbin command -v lighttpd)

# lighttpd hands a CGI no environment of its own: the plugin finds the vendor
# tools only through the PATH set here.
cgi_path=/usr/local/bin:/usr/bin:/bin
real=
for tool in nvidia-smi rocm-smi; do
  found=$(command -v "$tool" || true)
  case $found in /*) cgi_path=$(dirname "$found"):$cgi_path real=$tool ;; esac
done
if [ "$demo" = 1 ] || { [ "$demo" = auto ] && [ -z "$real" ]; }; then
  cgi_path=$root/tools/demo:$cgi_path
  demo=1
fi

tmp=$(mktemp -d "${TMPDIR:-/tmp}/vistrel-serve.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
trap 'exit 0' INT TERM
mkdir "$tmp/docroot"

# Values reach lighttpd as env.NAME, so a password needs no quoting here.
extra=
if [ -n "${BOT_PASSWORD+set}" ]; then extra="$extra, \"BOT_PASSWORD\" => env.BOT_PASSWORD"; fi
if [ -n "${VISTREL_MOCK_CSV:-}" ]; then
  # The CGI runs in the binary's folder: the fixture needs an absolute path.
  VISTREL_MOCK_CSV=$(cd "$(dirname "$VISTREL_MOCK_CSV")" && pwd)/$(basename "$VISTREL_MOCK_CSV")
  export VISTREL_MOCK_CSV
  extra="$extra, \"VISTREL_MOCK_CSV\" => env.VISTREL_MOCK_CSV"
fi
if [ "$demo" = 1 ]; then
  export VISTREL_DEMO_STATE="$tmp/demo-step"
  extra="$extra, \"VISTREL_DEMO_STATE\" => env.VISTREL_DEMO_STATE"
fi
export VISTREL_CGI_PATH="$cgi_path" VISTREL_SERVE_BIN="$bin"

cat >"$tmp/lighttpd.conf" <<EOF
server.modules       = ( "mod_alias", "mod_redirect", "mod_setenv", "mod_cgi" )
server.bind          = "127.0.0.1"
server.port          = $port
server.document-root = "$tmp/docroot"
server.errorlog      = "$tmp/error.log"
server.breakagelog   = "$tmp/cgi-stderr.log"
url.redirect         = ( "^/$" => "/plugin_vistrel" )
# Exact paths only: alias.url alone is a prefix match and would hand out the
# binary itself for /plugins/anything.
\$HTTP["url"] =~ "^/(plugin_vistrel|plugins)\$" {
  alias.url  = ( "/plugin_vistrel" => env.VISTREL_SERVE_BIN, "/plugins" => env.VISTREL_SERVE_BIN )
  cgi.assign = ( "" => "" )
  setenv.add-environment = ( "PATH" => env.VISTREL_CGI_PATH$extra )
}
EOF

"$lighttpd" -tt -f "$tmp/lighttpd.conf" >/dev/null
echo "vistrel dashboard: http://127.0.0.1:$port/plugin_vistrel"
[ "$demo" = 1 ] && echo "  (demo: simulated nvidia-smi from tools/demo; DEMO=0 to turn it off)"
[ -n "${BOT_PASSWORD:-}" ] && echo "  (password gate on: open http://127.0.0.1:$port/plugin_vistrel?pwd=...)"
echo "  Ctrl-C stops the server"
"$lighttpd" -D -f "$tmp/lighttpd.conf"
