// The parts of the platform layer that are the same on every system.
#include "platform.h"
#include "platform_common.h"

// A vendor tool gets the node's environment (PATH, driver library paths) but
// nothing of the request: not the query, the headers or the node password,
// and none of the values a server derives from the request, some of them
// from the client's own Host header. These are the CGI meta-variables and
// the common servers' additions, matched as prefixes of the name.
static constexpr const char *REQUEST_VARIABLES[] = {
    "AUTH_TYPE", "CONTENT_", "GATEWAY_INTERFACE", "PATH_INFO", "PATH_TRANSLATED", "QUERY_STRING", "REMOTE_",
    "REQUEST_",  "SCRIPT_",  "SERVER_",           "HTTP_",     "HTTPS",           "DOCUMENT_",    "CONTEXT_",
    "REDIRECT_", "SSL_",     "UNIQUE_ID",         "FCGI_",     "BOT_PASSWORD",
};

bool is_request_variable(const char *entry) {
    for (const char *prefix : REQUEST_VARIABLES) {
        int n = 0;
        while (prefix[n] && entry[n] == prefix[n])
            ++n;
        if (!prefix[n])
            return true;
    }
    return false;
}

const char *env_nonempty(const char *name) {
    const char *v = platform_getenv(name);
    return v && *v ? v : nullptr;
}

static char *append(char *at, const char *end, const char *text) {
    while (at < end && *text)
        *at++ = *text++;
    return at;
}

bool start_failed(platform_stream *s, const char *step, const char *reason) {
    char *at = s->failure;
    const char *end = s->failure + sizeof s->failure - 1;
    at = append(at, end, step);
    at = append(at, end, ": ");
    at = append(at, end, reason);
    // The system's texts may end in a full stop and a line end (Windows).
    while (at > s->failure && (at[-1] == '\n' || at[-1] == '\r' || at[-1] == '.' || at[-1] == ' '))
        --at;
    *at = '\0';
    s->end = PLATFORM_END_NOT_STARTED;
    return false;
}
