// plugin_vistrel: one process per HTTP request, run by the node's web server
// in the CGI manner. The whole request path, in order:
//   flags and discovery -> password gate -> route -> mode_json / mode_html,
// and mode_json: the action -> the error document, the info document, or a
// snapshot collected and then written as the metrics document.
#include "plugin_vistrel.h"

#include <string.h>

#include "collect.h"
#include "json.h"
#include "output.h"
#include "page.h"
#include "platform.h"
#include "response_headers.h"
#include "text.h"
#include "version.h"

static constexpr const char *DISCOVERY_LINE = "{\"name\":\"vistrel\",\"desc\":\"Local GPUs\"}\n";

static constexpr const char *HELP_TEXT = "usage: plugin_vistrel [--meta|--version|--help]\n"
                                         "\n"
                                         "Runs as a CGI-style program under kelvane-server.\n"
                                         "  --meta      print discovery metadata JSON and exit\n"
                                         "  --version   print the plugin version and exit\n"
                                         "\n"
                                         "Query string actions:\n"
                                         "  (none) or action=metrics   local GPU telemetry + compute procs\n"
                                         "  action=info                plugin/platform capabilities\n"
                                         "  format=json                same as an action, JSON output\n"
                                         "  (any other)                HTML dashboard\n"
                                         "\n"
                                         "Environment:\n"
                                         "  VISTREL_MOCK_CSV=<path>      read a CSV fixture instead of probing\n";

// ---- query values ----------------------------------------------------------

static int hex_value(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

int get_query_val(const char *query, const char *name, char *out, int size) {
    out[0] = '\0';
    if (!query)
        return 0;
    size_t name_len = strlen(name);
    const char *p = query;
    while (*p) {
        if (strncmp(p, name, name_len) == 0 && p[name_len] == '=')
            break;
        p = strchr(p, '&');
        if (!p)
            return 0;
        ++p;
    }
    if (!*p)
        return 0;
    // The copy limit applies to the raw bytes; decoding happens in place and
    // only ever shortens the text, so it never outgrows the buffer.
    const char *value = p + name_len + 1;
    int n = 0;
    while (n < size - 1 && value[n] && value[n] != '&') {
        out[n] = value[n];
        ++n;
    }
    out[n] = '\0';
    int w = 0;
    for (int r = 0; r < n; ++w) {
        int hi = out[r] == '%' && r + 2 < n ? hex_value(out[r + 1]) : -1;
        int lo = hi >= 0 ? hex_value(out[r + 2]) : -1;
        if (lo >= 0) {
            out[w] = static_cast<char>(hi << 4 | lo);
            r += 3;
        } else {
            out[w] = out[r] == '+' ? ' ' : out[r];
            r += 1;
        }
    }
    out[w] = '\0';
    return 1;
}

// ---- node password gate ----------------------------------------------------

bool same_secret(const char *given, size_t given_len, const char *secret) {
    size_t secret_len = strlen(secret);
    unsigned diff = given_len != secret_len;
    for (size_t i = 0; i < given_len; ++i)
        diff |= static_cast<unsigned char>(given[i]) ^ static_cast<unsigned char>(secret[i % (secret_len + 1)]);
    return diff == 0;
}

static bool same_secret(const char *given, const char *secret) { return same_secret(given, strlen(given), secret); }

bool node_auth_ok() {
    const char *secret = env_nonempty("BOT_PASSWORD");
    if (!secret)
        return true;
    const char *header = platform_getenv("HTTP_X_BOT_PASSWORD");
    if (header && same_secret(header, secret))
        return true;
    // Authorization: spaces, "Bearer ", more spaces, then the password to the
    // end of the value. Any other form falls through to the query.
    if (const char *auth = platform_getenv("HTTP_AUTHORIZATION")) {
        while (*auth == ' ')
            ++auth;
        if (strncmp(auth, "Bearer ", 7) == 0) {
            auth += 7;
            while (*auth == ' ')
                ++auth;
            if (same_secret(auth, secret))
                return true;
        }
    }
    char pwd[256] = {}; // zeroed: the analyzer cannot follow strlen over a decoded value
    return get_query_val(platform_getenv("QUERY_STRING"), "pwd", pwd, sizeof pwd) && same_secret(pwd, secret);
}

// ---- the JSON actions ------------------------------------------------------

static void answer_metrics(const char *stamp);
static void answer_info(const char *stamp);

// The JSON actions: the routing finds a request's action here, and the info
// and error documents list these names as supported, in this order. A
// request that names no action asks for the first.
struct json_action {
    const char *name;
    void (*answer)(const char *stamp);
};
static constexpr json_action ACTIONS[] = {{"metrics", answer_metrics}, {"info", answer_info}};
constexpr int ACTION_COUNT = sizeof ACTIONS / sizeof ACTIONS[0];

// Their names alone, as the documents take them.
struct action_names {
    const char *of[ACTION_COUNT];
    constexpr action_names() : of() {
        for (int i = 0; i < ACTION_COUNT; ++i)
            of[i] = ACTIONS[i].name;
    }
};
static constexpr action_names SUPPORTED;

static void answer_metrics(const char *stamp) {
    // Static storage: off small stacks, and all zero, as collect_snapshot
    // wants it; this is its only use in the process.
    static gpu_snapshot snap;
    collect_snapshot(&snap);
    json_metrics(&snap, stamp);
}

static void answer_info(const char *stamp) {
    json_info(stamp, platform_name(), platform_pid(), env_nonempty("BOT_PASSWORD") != nullptr, SUPPORTED.of,
              ACTION_COUNT);
}

// The action called name; the first one for the empty name; NULL for any
// other.
static const json_action *find_action(const char *name) {
    if (!name[0])
        return &ACTIONS[0];
    for (const json_action &action : ACTIONS)
        if (strcmp(name, action.name) == 0)
            return &action;
    return nullptr;
}

// ---- routing ---------------------------------------------------------------

// The time of the request, for the documents' "utc"; the all-zero time when
// the clock cannot be read.
static void utc_stamp(char out_stamp[UTC_STAMP_SIZE]) {
    long long now = 0;
    if (platform_time(&now))
        utc_format(now, out_stamp);
    else // written directly: some C runtimes reject day 0 in strftime
        copy_str(out_stamp, UTC_STAMP_SIZE, "1900-01-00T00:00:00Z");
}

// A request routed to JSON, from its raw query text (may be NULL).
static void mode_json(const char *query) {
    char name[64] = "";
    get_query_val(query, "action", name, sizeof name);
    const json_action *action = find_action(name);
    if (!action) {
        json_error(name, SUPPORTED.of, ACTION_COUNT);
        return;
    }
    char stamp[UTC_STAMP_SIZE];
    utc_stamp(stamp);
    action->answer(stamp);
}

// ---- entry -----------------------------------------------------------------

// RFC 3875 lets a server pass a query without "=" as command-line words,
// split at "+" and URL-decoded: GET /plugin_vistrel?--help then arrives as
// the argument --help. True when arg is that first word, so it belongs to
// the request and is no flag.
static bool is_query_word(const char *arg, const char *query) {
    if (!query || strchr(query, '='))
        return false;
    const char *q = query;
    for (;; ++arg) {
        int c = *q == '+' ? '\0' : static_cast<unsigned char>(*q);
        if (c == '%' && hex_value(q[1]) >= 0 && hex_value(q[2]) >= 0) {
            c = hex_value(q[1]) << 4 | hex_value(q[2]);
            q += 3;
        } else if (c) {
            ++q;
        }
        if (c != static_cast<unsigned char>(*arg))
            return false;
        if (!c)
            return true;
    }
}

// Answers the request, or the flag or discovery, into the output unit.
static void answer(int argc, char **argv) {
    if (argc > 1 && !is_query_word(argv[1], platform_getenv("QUERY_STRING"))) {
        const char *flag = argv[1];
        if (strcmp(flag, "--meta") == 0) {
            out_text(DISCOVERY_LINE);
            return;
        }
        if (strcmp(flag, "--version") == 0) {
            out_text(PLUGIN_VERSION);
            out_char('\n');
            return;
        }
        if (strcmp(flag, "--help") == 0) {
            out_text(HELP_TEXT);
            return;
        }
    }
    if (platform_getenv("KV_PLUGIN_META")) {
        out_text(DISCOVERY_LINE);
        return;
    }
    if (!node_auth_ok()) {
        out_lit(REFUSAL_RESPONSE);
        return;
    }
    // Routing looks for markers anywhere in the raw, undecoded query text.
    const char *query = platform_getenv("QUERY_STRING");
    if (query && (strstr(query, "action=") || strstr(query, "format=json"))) {
        mode_json(query);
        return;
    }
    bool embedded = query && (strstr(query, "embed=1") || strstr(query, "embed=true"));
    mode_html(embedded);
}

int plugin_main(int argc, char **argv) {
    platform_init();
    answer(argc, argv);
    out_flush(); // the response leaves here; the buffer flushes itself only when full
    return 0;
}
