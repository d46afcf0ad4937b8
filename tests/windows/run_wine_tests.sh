#!/usr/bin/env bash
# Black-box checks of the Windows build, run under Wine: the .exe gets a
# controlled environment as a CGI server would give it, fake nvidia-smi.exe
# and rocm-smi.exe on its PATH, and its standard output is compared byte for
# byte with the expected response in tests/data/expected/, the files the
# Linux suites compare with too. Only the utc stamp and the pid, which no
# test can know, are checked by form and range instead.
#
#   WIN_BUILD      folder of plugin_vistrel.exe, fakes/ and proc_alive.exe
#   VISTREL_TESTS  the tests folder (data/fixtures, data/expected)
#   WINE           the Wine loader (default /usr/lib/wine/wine64)
#   LINUX_BIN      optional: the Linux build; pages must match it byte for byte
set -u

WIN_BUILD=${WIN_BUILD:?set WIN_BUILD}
TESTS=${VISTREL_TESTS:?set VISTREL_TESTS}
WINE=${WINE:-/usr/lib/wine/wine64}
WINESERVER=${WINESERVER:-$(dirname "$WINE")/wineserver}
[ -x "$WINESERVER" ] || WINESERVER=wineserver
EXE=$WIN_BUILD/plugin_vistrel.exe
PROBE=$WIN_BUILD/proc_alive.exe

export WINEPREFIX=$WIN_BUILD/wineprefix
export WINEDEBUG=-all
# No Mono or Gecko: their installers would ask, and nothing here needs them.
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY

# Z: is the whole Unix tree in every Wine prefix.
winpath() { printf 'Z:%s' "${1//\//\\}"; }
FAKES_WIN=$(winpath "$WIN_BUILD/fakes")
FIX=$TESTS/data/fixtures
EXPECTED=$TESTS/data/expected

# ---- the Wine prefix, made once and quietly ---------------------------------
# Several runs may share the prefix (make test in parallel trees of work):
# it is made under a lock, and no run stops the shared wineserver.
mkdir -p "$WINEPREFIX"
(
    flock 9
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        echo "test-windows: creating the Wine prefix in $WINEPREFIX (once, about 15 s)"
        if ! "$WINE" wineboot --init >"$WIN_BUILD/wineboot.log" 2>&1 || ! "$WINESERVER" -w; then
            echo "test-windows: wineboot failed; see $WIN_BUILD/wineboot.log"
            exit 1
        fi
    fi
) 9>"$WIN_BUILD/wineprefix.lock" || exit 1
# Wine starts its server to end the moment its last program has ended, and a
# program that starts while it is ending fails ("recvmsg: Connection reset by
# peer"): one sleeping program holds the server for the whole suite.
"$WINE" "$WIN_BUILD/proc_alive.exe" --sleep </dev/null >/dev/null 2>&1 &
HOLDER=$!
trap 'kill -KILL "$HOLDER" 2>/dev/null' EXIT
# Each run has a folder of its own, kept only when something failed.
WORK=$(mktemp -d "$WIN_BUILD/wine-tests.XXXXXX")
mkdir -p "$WORK/bin"
# The binaries under test are copied first: others may rebuild build/ while
# the checks run, and the page comparison needs both from the same sources.
cp "$EXE" "$WORK/bin/plugin_vistrel.exe" && EXE=$WORK/bin/plugin_vistrel.exe
if [ -n "${LINUX_BIN:-}" ]; then
    cp "$LINUX_BIN" "$WORK/bin/plugin_vistrel" && LINUX_BIN=$WORK/bin/plugin_vistrel
fi

# ---- running the plugin -------------------------------------------------------
PASSED=0
FAILED=0
CURRENT=
ok() { PASSED=$((PASSED + 1)); }
fail() {
    FAILED=$((FAILED + 1))
    echo "FAIL $CURRENT: $*"
}

# run NAME [VAR=VALUE...] [-- ARG...]: runs the plugin with exactly that
# environment (plus Wine's own settings, a UTF-8 locale as on a Debian server,
# and the fakes' folder as PATH), from the folder $RUN_CWD when set. Leaves
# $OUT (file), $ERR (file), $STATUS and $MS (milliseconds the run took), and
# $BEFORE / $AFTER, the UTC times around it.
# RUN_OUT names another file for standard output; RUN_CLOSE_STDOUT=1 starts
# the plugin without one. A run that has not ended after two minutes is
# stopped (status 124), so a request that never ends fails instead of
# holding the suite; RUN_KILL_AFTER=N kills it after N seconds instead, as a
# server that gives up on it would (status 137).
run() {
    CURRENT=$1
    shift
    local envs=()
    while [ $# -gt 0 ] && [ "$1" != -- ]; do
        envs+=("$1")
        shift
    done
    [ $# -gt 0 ] && shift
    OUT=$WORK/$CURRENT.out
    ERR=$WORK/$CURRENT.err
    BEFORE=$(date -u +%Y-%m-%dT%H:%M:%SZ)
    local start end
    start=$(date +%s%N)
    (
        exec <"/dev/null" >"${RUN_OUT:-$OUT}" 2>"$ERR"
        if [ -n "${RUN_CLOSE_STDOUT:-}" ]; then exec >&-; fi
        cd "${RUN_CWD:-$WORK}" &&
            timeout -k 5 ${RUN_KILL_AFTER:+-s KILL} "${RUN_KILL_AFTER:-120}" \
                env -i PATH=/usr/bin:/bin HOME="$HOME" WINEPREFIX="$WINEPREFIX" WINEDEBUG="$WINEDEBUG" \
                WINEDLLOVERRIDES="$WINEDLLOVERRIDES" WINEPATH="${WINEPATH_FOR_RUN-$FAKES_WIN}" \
                LANG=C.UTF-8 LC_ALL=C.UTF-8 "${envs[@]}" "$WINE" "$EXE" "$@"
    )
    STATUS=$?
    end=$(date +%s%N)
    MS=$(((end - start) / 1000000))
    AFTER=$(date -u +%Y-%m-%dT%H:%M:%SZ)
}

# Every run ends with status 0 and writes nothing to standard error.
clean_exit() {
    local clean=0
    [ "$STATUS" -eq 0 ] || { fail "exit status $STATUS"; clean=1; }
    [ ! -s "$ERR" ] || { fail "standard error not empty: $(head -c 300 "$ERR")"; clean=1; }
    return $clean
}

# same FILE EXPECTED_FILE: the two files hold the same bytes.
same() {
    if cmp -s "$1" "$2"; then
        return 0
    fi
    fail "bytes differ from $2: $(cmp "$1" "$2" 2>&1 | head -1)"
    echo "  got:      $(head -c 400 "$1" | od -An -c | head -4 | tr -s ' ')"
    echo "  expected: $(head -c 400 "$2" | od -An -c | head -4 | tr -s ' ')"
    return 1
}

# expect NAME: the run wrote exactly the expected response NAME, and ended
# cleanly.
expect() {
    clean_exit
    same "$OUT" "$EXPECTED/$1" && ok
}

# fill NAME PLACEHOLDER VALUE...: the expected response NAME with each
# placeholder replaced by its value, as $OUT.expected. The values are taken
# as they are: nothing in them is a pattern or an escape.
fill() {
    local text
    IFS= read -r -d '' text <"$EXPECTED/$1"
    shift
    while [ $# -ge 2 ]; do
        text=${text%%"$1"*}$2${text#*"$1"}
        shift 2
    done
    printf '%s' "$text" >"$OUT.expected"
}

# The run's output with the 20 bytes of the utc stamp replaced by <UTC>; the
# stamp itself must have the stamp's form and lie between BEFORE and AFTER.
# Leaves the result in $OUT.utc.
cut_utc() {
    local doc marker='"utc":"' stamp
    IFS= read -r -d '' doc <"$OUT"
    if [[ "$doc" != *"$marker"* ]]; then
        fail "no utc member"
        printf '%s' "$doc" >"$OUT.utc"
        return
    fi
    local head=${doc%%"$marker"*} rest=${doc#*"$marker"}
    stamp=${rest:0:20}
    printf '%s' "$head$marker<UTC>${rest:20}" >"$OUT.utc"
    # shellcheck disable=SC2053
    if [[ "$stamp" != [0-9][0-9][0-9][0-9]-[0-9][0-9]-[0-9][0-9]T[0-9][0-9]:[0-9][0-9]:[0-9][0-9]Z ]] ||
        [[ "$stamp" < "$BEFORE" ]] || [[ "$stamp" > "$AFTER" ]]; then
        fail "utc stamp $stamp is not a UTC time between $BEFORE and $AFTER"
    fi
}

# expect_doc NAME: the run wrote exactly the expected response NAME but for
# the utc stamp, which is the time of the request.
expect_doc() {
    clean_exit
    cut_utc
    same "$OUT.utc" "$EXPECTED/$1" && ok
}

# doc_pid FILE: the "pid" member of the document in FILE, as $PID; the check
# fails when it is no process id.
doc_pid() {
    local doc
    doc=$(cat "$1")
    PID=${doc#*'"pid":'}
    PID=${PID%%,*}
    [[ -n "$PID" && "$PID" != *[!0-9]* && "$PID" != 0 ]] && return 0
    fail "pid is not a process id: [$PID]"
    return 1
}

# fake_calls EXPECTED: the fake tools were called in this order, each line
# "<tool> <query>" (the pids that the log also holds are left out).
fake_calls() {
    local got
    got=$(cut -d' ' -f1,2 "$WORK/$CURRENT.log" 2>/dev/null | grep -v '^sleeper ')
    [ "$got" = "$1" ] && return 0
    fail "fake tools called as [$got], expected [$1]"
    return 1
}

NV_FIX=(FAKE_NVIDIA_GPU="$(winpath "$FIX/nvidia-gpus.txt")" FAKE_NVIDIA_APPS="$(winpath "$FIX/nvidia-apps.txt")")
log_for() { printf 'FAKE_LOG=%s' "$(winpath "$WORK/$1.log")"; }

# ---- the checks ---------------------------------------------------------------

CURRENT=probe
if "$WINE" "$PROBE" --self-check >"$WORK/probe.out" 2>&1; then ok; else fail "$(cat "$WORK/probe.out")"; fi

# The cases both systems share (tests/data/cases, the black-box suite runs
# them too): each request gets its response byte for byte, the stamp checked
# by form and range and the process id by form. "page" is the page this
# build writes for an empty query, "embedded-page" the page for embed=1.
run page-reference QUERY_STRING=
clean_exit && cp "$OUT" "$WORK/page" && ok
run embedded-page-reference QUERY_STRING=embed=1
clean_exit && cp "$OUT" "$WORK/embedded-page" && ok
while IFS='|' read -r name args envs expected fills; do
    case $name in '' | '#'*) continue ;; esac
    read -r -a case_args <<<"$args"
    read -r -a case_env <<<"$envs"
    read -r -a case_fills <<<"$fills"
    case_args=("${case_args[@]//\\x20/ }")
    case_env=("${case_env[@]//\\x20/ }")
    case_fills=("${case_fills[@]//\\x20/ }")
    for i in "${!case_env[@]}"; do
        value=${case_env[$i]#*=}
        [[ "$value" == @* ]] && case_env[i]="${case_env[i]%%=*}=$(winpath "$FIX/${value#@}")"
    done
    run "$name" "${case_env[@]}" -- "${case_args[@]}"
    clean_exit || continue
    if [ "$expected" = page ] || [ "$expected" = embedded-page ]; then
        same "$OUT" "$WORK/$expected" && ok
        continue
    fi
    subs=()
    for f in "${case_fills[@]}"; do subs+=("${f%%=*}" "${f#*=}"); done
    got=$OUT
    if grep -qF '<UTC>' "$EXPECTED/$expected"; then
        cut_utc
        got=$OUT.utc
    fi
    if grep -qF '<PID>' "$EXPECTED/$expected"; then
        doc_pid "$got" || continue
        subs+=('<PID>' "$PID")
    fi
    grep -qF '<PLATFORM>' "$EXPECTED/$expected" && subs+=('<PLATFORM>' windows)
    fill "$expected" "${subs[@]}"
    same "$got" "$OUT.expected" && ok
done <"$TESTS/data/cases"

# The nodes both systems replay (tests/data/failures, the black-box suite
# runs them too): the fakes print real output, of failures with the exit
# status each capture shows, and the metrics document must be the Linux
# one byte for byte, every failure told. "none" runs with no tool on PATH; the calls become the log's
# lines ("gpu" -> "nvidia-smi gpu").
while IFS='|' read -r name tools envs expected calls; do
    case $name in '' | '#'*) continue ;; esac
    read -r -a case_env <<<"$envs"
    for i in "${!case_env[@]}"; do
        value=${case_env[$i]#*=}
        [[ "$value" == @* ]] && case_env[i]="${case_env[i]%%=*}=$(winpath "$TESTS/data/${value#@}")"
    done
    want=
    for call in $calls; do
        case $call in report) want+=$'\n'"rocm-smi $call" ;; *) want+=$'\n'"nvidia-smi $call" ;; esac
    done
    path=$FAKES_WIN
    [ "$tools" = none ] && path=
    WINEPATH_FOR_RUN=$path run "failure-$name" QUERY_STRING=action=metrics "${case_env[@]}" "$(log_for "failure-$name")"
    expect_doc "$expected"
    fake_calls "${want#$'\n'}" || true
done <"$TESTS/data/failures"

# Arguments are not wildcard-expanded: with a file called --help in the
# current folder, --hel* would become --help if the runtime globbed.
mkdir -p "$WORK/glob" && : >"$WORK/glob/--help"
RUN_CWD=$WORK/glob run glob-off -- '--hel*'
clean_exit
head -c 100 "$OUT" >"$OUT.head"
same "$OUT.head" "$EXPECTED/html-header" && ok

# The info document of a password given in the request: "windows", this
# process's id, the stamp, node_auth.
check_info() { # NAME NODE_AUTH VAR=VALUE...
    local name=$1 auth=$2
    shift 2
    run "$name" "$@"
    clean_exit
    cut_utc
    doc_pid "$OUT.utc" || return
    fill info '<PLATFORM>' windows '<PID>' "$PID" '<NODE_AUTH>' "$auth"
    same "$OUT.utc" "$OUT.expected" && ok
}

# Passwords beyond ASCII are compared as their UTF-8 bytes, as on Linux: the
# runtime's getenv would turn every letter its code page lacks into "?", and
# "пароль" and "секрет" would both read "??????". Each row: the node
# password, the credential (a variable, or "pwd=..." added to the query) and
# whether it is accepted.
while IFS='|' read -r name secret credential verdict; do
    request=(QUERY_STRING=action=info "$credential")
    [[ "$credential" == pwd=* ]] && request=("QUERY_STRING=action=info&$credential")
    if [ "$verdict" = accepted ]; then
        check_info "$name" true BOT_PASSWORD="$secret" "${request[@]}"
    else
        run "$name" BOT_PASSWORD="$secret" "${request[@]}"
        expect refusal
    fi
done <<'EOF'
cyrillic-header-wrong|пароль|HTTP_X_BOT_PASSWORD=секрет|refused
cyrillic-header-right|пароль|HTTP_X_BOT_PASSWORD=пароль|accepted
cyrillic-bearer-wrong|пароль|HTTP_AUTHORIZATION=Bearer секрет|refused
cyrillic-bearer-right|пароль|HTTP_AUTHORIZATION=Bearer пароль|accepted
cyrillic-pwd-wrong|пароль|pwd=%D1%81%D0%B5%D0%BA%D1%80%D0%B5%D1%82|refused
cyrillic-pwd-right|пароль|pwd=%D0%BF%D0%B0%D1%80%D0%BE%D0%BB%D1%8C|accepted
chinese-header-wrong|密码|HTTP_X_BOT_PASSWORD=口令|refused
chinese-header-right|密码|HTTP_X_BOT_PASSWORD=密码|accepted
chinese-bearer-wrong|密码|HTTP_AUTHORIZATION=Bearer 口令|refused
chinese-bearer-right|密码|HTTP_AUTHORIZATION=Bearer 密码|accepted
chinese-pwd-wrong|密码|pwd=%E5%8F%A3%E4%BB%A4|refused
chinese-pwd-right|密码|pwd=%E5%AF%86%E7%A0%81|accepted
latin-header-utf8|pässwörd|HTTP_X_BOT_PASSWORD=pässwörd|accepted
latin-pwd-utf8|pässwörd|pwd=p%C3%A4ssw%C3%B6rd|accepted
latin-pwd-latin1|pässwörd|pwd=p%E4ssw%F6rd|refused
EOF

# A CSV fixture path that is no regular file is not read, and the chain goes
# on to the tools.
for target in NUL "$(winpath "$FIX")"; do
    name=mock-csv-not-a-file-${target//[^A-Za-z]/}
    run "$name" QUERY_STRING=action=metrics VISTREL_MOCK_CSV="$target" "$(log_for "$name")"
    expect_doc metrics-none
    fake_calls $'nvidia-smi gpu\nrocm-smi report' || true
done

# A fixture path in any script is read: it reaches the program as UTF-8 and
# is opened through its Unicode form, not through the ANSI code page, which
# has no Cyrillic or Chinese letters.
UNICODE_DIR="$WORK/données тест 数据"
mkdir -p "$UNICODE_DIR" && cp "$FIX/two-gpus.csv" "$UNICODE_DIR/"
run mock-csv-unicode-path QUERY_STRING=action=metrics VISTREL_MOCK_CSV="$(winpath "$UNICODE_DIR/two-gpus.csv")" \
    "$(log_for mock-csv-unicode-path)"
expect_doc metrics-csv
fake_calls "" || true

# The fake tools, called with the exact fixed arguments, never see the
# request's variables, whatever the letter case of their names: the query,
# the credentials and what the server derives from the request, some of it
# from the client's Host header (the fakes log a LEAK line for each that
# reaches them).
REQUEST_ENV=(BOT_PASSWORD=s3cret HTTP_X_BOT_PASSWORD=s3cret 'Http_Authorization=Bearer s3cret' HTTP_HOST=evil.example
    REQUEST_URI=/plugin_vistrel REQUEST_METHOD=GET SERVER_NAME=evil.example SERVER_PORT=80
    'SERVER_SIGNATURE=<address>Apache Server at evil.example</address>' SERVER_SOFTWARE=Apache
    'DOCUMENT_ROOT=C:\srv\www' 'CONTEXT_DOCUMENT_ROOT=C:\srv\www' CONTEXT_PREFIX= HTTPS=on GATEWAY_INTERFACE=CGI/1.1
    REMOTE_ADDR=192.0.2.1 REMOTE_PORT=40000 SCRIPT_NAME=/plugin_vistrel 'SCRIPT_FILENAME=C:\srv\plugin_vistrel.exe'
    CONTENT_LENGTH=0 CONTENT_TYPE=text/plain AUTH_TYPE=Basic PATH_INFO=/x 'PATH_TRANSLATED=C:\srv\www\x'
    REDIRECT_STATUS=200 SSL_PROTOCOL=TLSv1.3 UNIQUE_ID=abc)
run nvidia-request-hidden QUERY_STRING=action=metrics "${REQUEST_ENV[@]}" "${NV_FIX[@]}" \
    "$(log_for nvidia-request-hidden)"
expect_doc metrics-nvidia
fake_calls $'nvidia-smi gpu\nnvidia-smi apps' || true

# The tool's environment is bounded by its size alone, and PATH always goes
# along, however many variables come before it (Wine puts PATH after every
# variable it is given): many small ones, or so much that the rest cannot
# fit. Without PATH no tool would be found and the GPUs would vanish.
many=() bulky=()
for i in $(seq 1 1100); do many+=("NODE_VAR_$i=x"); done
for i in $(seq 1 40); do bulky+=("NODE_BULK_$i=$(printf '%*s' 1000 '' | tr ' ' b)"); done
run env-many-variables QUERY_STRING=action=metrics "${NV_FIX[@]}" "$(log_for env-many-variables)" "${many[@]}"
expect_doc metrics-nvidia
fake_calls $'nvidia-smi gpu\nnvidia-smi apps' || true
run env-block-full QUERY_STRING=action=metrics "${NV_FIX[@]}" "$(log_for env-block-full)" "${bulky[@]}"
expect_doc metrics-nvidia
fake_calls $'nvidia-smi gpu\nnvidia-smi apps' || true

# Tools come from PATH only: an nvidia-smi.exe, .bat or .cmd in the server's
# working folder never runs, with PATH as it is or led by ".", and the fakes
# on PATH still do. If a planted one ran it would show in the log: the .bat
# and .cmd append "planted ...", and the planted .exe is the fake
# rocm-smi.exe, which logs "rocm-smi BAD-ARGS" when called with nvidia-smi's
# arguments. (An empty PATH entry shows nothing here: Wine's cmd.exe ends its
# search of PATH at the first one.)
for kind in exe bat cmd; do
    planted=$WORK/planted-$kind
    mkdir -p "$planted"
    if [ "$kind" = exe ]; then
        cp "$WIN_BUILD/fakes/rocm-smi.exe" "$planted/nvidia-smi.exe"
    else
        printf '@echo planted nvidia-smi.%s>>"%%FAKE_LOG%%"\r\n' "$kind" >"$planted/nvidia-smi.$kind"
    fi
    for lead in '' '.;'; do
        name=planted-$kind${lead:+-dot}
        RUN_CWD=$planted WINEPATH_FOR_RUN=$lead$FAKES_WIN run "$name" QUERY_STRING=action=metrics "${NV_FIX[@]}" \
            "$(log_for "$name")"
        expect_doc metrics-nvidia
        fake_calls $'nvidia-smi gpu\nnvidia-smi apps' || true
    done
done

# No tool on PATH: the interpreter's complaint goes to NUL, not to us.
WINEPATH_FOR_RUN='' run no-tools QUERY_STRING=action=metrics
expect_doc metrics-none

# The page: the 100-byte header block with CR LF intact, and no CR anywhere
# else (the page's assets hold none); the note only when not embedded.
NOTE='Opened directly from the node API.'
while IFS='|' read -r name query note; do
    run "$name" QUERY_STRING="$query"
    clean_exit
    head -c 100 "$OUT" >"$OUT.head"
    same "$OUT.head" "$EXPECTED/html-header" || continue
    crs=$(tr -cd '\r' <"$OUT" | wc -c)
    [ "$crs" -eq 4 ] || { fail "$crs CR bytes in the page, 4 expected"; continue; }
    [ "$(tail -c 8 "$OUT")" = '</html>' ] || { fail "page does not end in </html> LF"; continue; }
    if [ "$note" = yes ]; then grep -qF "$NOTE" "$OUT" || { fail "note missing"; continue; }; fi
    if [ "$note" = no ]; then ! grep -qF "$NOTE" "$OUT" || { fail "note present when embedded"; continue; }; fi
    # The same program on Linux writes the same bytes for the same request.
    if [ -n "${LINUX_BIN:-}" ]; then
        env -i QUERY_STRING="$query" "$LINUX_BIN" >"$OUT.linux" 2>/dev/null
        cmp -s "$OUT" "$OUT.linux" || { fail "page differs from the Linux build's: $(cmp "$OUT" "$OUT.linux" 2>&1)"; continue; }
    fi
    ok
done <<'EOF'
page||yes
page-embedded|theme=dark&embed=true|no
page-embedded-1|embed=1|no
EOF

# Without a usable standard output (none at all, or one where every write
# fails, as when the client has gone) a request, tools included, still ends
# cleanly: status 0 and nothing on standard error.
RUN_CLOSE_STDOUT=1 run stdout-closed QUERY_STRING=action=metrics "${NV_FIX[@]}"
clean_exit && ok
RUN_OUT=/dev/full run stdout-full QUERY_STRING=action=metrics "${NV_FIX[@]}"
clean_exit && ok
RUN_OUT=/dev/full run stdout-full-page QUERY_STRING=
clean_exit && ok

# A fixture without end holds the request no longer than a tool may: a file
# of 1 TiB (sparse, so it costs no disk) whose rows are followed by zeros is
# read until the 10 s bound, and the answer holds the rows read and says that
# the reading was cut. 30 s is a generous limit that only shows that the
# request ended.
CURRENT=mock-csv-endless
if cp "$FIX/two-gpus.csv" "$WORK/endless.csv" && truncate -s 1T "$WORK/endless.csv"; then
    run mock-csv-endless QUERY_STRING=action=metrics VISTREL_MOCK_CSV="$(winpath "$WORK/endless.csv")" \
        "$(log_for mock-csv-endless)"
    [ "$MS" -lt 30000 ] || fail "request took $MS ms"
    echo "test-windows: mock-csv-endless: the request ended after $MS ms"
    clean_exit
    cut_utc
    fill metrics-csv '"message":""' '"message":"VISTREL_MOCK_CSV: stopped after 10 s (2 GPUs read before)"'
    same "$OUT.utc" "$OUT.expected" && ok
    fake_calls "" || true
else
    fail "no sparse file of 1 TiB can be made in $WORK"
fi
rm -f "$WORK/endless.csv"

# none_left NAME: every process the fakes logged in NAME's run, sleepers
# included, has ended; any left is reported and stopped.
none_left() {
    # shellcheck disable=SC2046
    if "$WINE" "$PROBE" $(awk '{print $NF}' "$WORK/$1.log") <"/dev/null" >"$WORK/$1.alive" 2>&1; then
        return 0
    fi
    # The probe writes text-mode lines, each ending in CR LF.
    fail "processes left running: $(awk '$2 ~ /^alive/ {print $1}' "$WORK/$1.alive" | tr '\n' ' ')"
    # shellcheck disable=SC2046
    "$WINE" "$PROBE" --kill $(awk '$2 ~ /^alive/ {print $1}' "$WORK/$1.alive") </dev/null >/dev/null 2>&1
    return 1
}

# A tool that hangs after printing is stopped after the 10 s bound with
# everything it started; the request goes on with what was read, says so, and
# ends (30 s is a generous limit that only shows that it ended). A tool that
# ends at once but leaves a detached process holding its output is not
# waited for: the request ends well before the bound (5 s), as from a healthy
# tool, and the detached process is gone with the rest.
while IFS='|' read -r name mode limit_ms expected; do
    run "$name" QUERY_STRING=action=metrics "${NV_FIX[@]}" "$mode" "$(log_for "$name")"
    [ "$MS" -lt "$limit_ms" ] || fail "request took $MS ms, more than $limit_ms"
    echo "test-windows: $name: the request ended after $MS ms"
    expect_doc "$expected"
    fake_calls $'nvidia-smi gpu\nnvidia-smi apps' || true
    grep -q '^sleeper ' "$WORK/$name.log" || fail "the fake started no sleeper"
    none_left "$name" && ok
done <<'EOF'
bound-hang|FAKE_NVIDIA_HANG=gpu|30000|metrics-hang-after-gpus
bound-detach-gpu|FAKE_NVIDIA_DETACH=gpu|5000|metrics-nvidia
bound-detach-apps|FAKE_NVIDIA_DETACH=apps|5000|metrics-nvidia
EOF

# The server kills the program while a tool hangs (a server's own time limit,
# TerminateProcess on Windows): the tool's job closes with the program, and
# the tool and everything it started end with it.
RUN_KILL_AFTER=3 run killed-mid-tool QUERY_STRING=action=metrics "${NV_FIX[@]}" FAKE_NVIDIA_HANG=gpu \
    "$(log_for killed-mid-tool)"
[ "$STATUS" -eq 137 ] || fail "exit status $STATUS, the run was to be killed (137)"
grep -q '^sleeper ' "$WORK/killed-mid-tool.log" || fail "the fake started no sleeper"
none_left killed-mid-tool && ok

# ---- Windows lifecycle: what a tool inherits ---------------------------------
# The plugin is started by the probe as a server might start it, the probe
# standing in for the server (the run's EXE is the probe, the plugin its
# argument).
PLUGIN_EXE=$EXE

# A handle the server left inheritable (a file of 4242 bytes, inherited by
# the plugin) does not reach the tool: only the pipe and the null device are
# handed on. The fake logs an INHERITED line when it holds it.
EXE=$PROBE run inherited-handle QUERY_STRING=action=metrics "${NV_FIX[@]}" "$(log_for inherited-handle)" \
    -- --launch-inheriting "$(winpath "$PLUGIN_EXE")"
expect_doc metrics-nvidia
if grep -q ' INHERITED ' "$WORK/inherited-handle.log"; then
    fail "the tool holds a handle the server left to the plugin"
else
    fake_calls $'nvidia-smi gpu\nnvidia-smi apps' && ok
fi

EXE=$PLUGIN_EXE

echo "test-windows: $PASSED passed, $FAILED failed (Wine $("$WINE" --version 2>/dev/null))"
if [ "$FAILED" -ne 0 ]; then
    echo "test-windows: outputs kept in $WORK"
    exit 1
fi
rm -rf "$WORK"
