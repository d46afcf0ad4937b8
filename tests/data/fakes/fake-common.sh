# Sourced by the fake tools (not a tool itself: no fake is named like this).
# A tool must never see the request, the node password, or any value a server
# derives from the request (some from the client's own Host header): every
# such variable a fake gets is logged as "<tool> LEAK <NAME> <pid>", which
# shows in every test that reads the log. These are the names no vendor tool
# may see, matched as prefixes, written here apart from the program's list.
REQUEST_NAMES='AUTH_TYPE|CONTENT_|GATEWAY_INTERFACE|PATH_INFO|PATH_TRANSLATED|QUERY_STRING|REMOTE_|REQUEST_|SCRIPT_'
REQUEST_NAMES="$REQUEST_NAMES|SERVER_|HTTP_|HTTPS|DOCUMENT_|CONTEXT_|REDIRECT_|SSL_|UNIQUE_ID|FCGI_|BOT_PASSWORD"

# log_leaks TOOL
log_leaks() {
  [ -n "$FAKE_LOG" ] || return 0
  for name in $(env | grep -oE "^($REQUEST_NAMES)[^=]*"); do
    echo "$1 LEAK $name $$" >> "$FAKE_LOG"
  done
}

# check_gone TOOL: every process an earlier call left running must have
# ended before this call started (the plugin runs one command at a time);
# one still there is logged as "<tool> STILL RUNNING <pid>". kill -0 needs
# no /proc, and a process the plugin has killed and reaped is gone for it.
check_gone() {
  [ -f "$FAKE_LOG" ] || return 0
  for pid in $(sed -n 's/^sleeper //p' "$FAKE_LOG"); do
    kill -0 "$pid" 2>/dev/null && echo "$1 STILL RUNNING $pid" >> "$FAKE_LOG"
  done
  return 0
}
