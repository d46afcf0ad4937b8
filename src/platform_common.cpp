// The parts of the platform layer that are the same on every system.
#include "platform.h"
#include "platform_common.h"

char platform_out_buf[1 << 16];

// A vendor tool gets the node's environment (PATH, driver library paths) but
// not the request: the query, the headers and the node password stay with
// us. CGI servers name request data with these prefixes.
static constexpr const char *REQUEST_VARIABLES[] = {"HTTP_",     "QUERY_STRING",    "REQUEST_",    "REDIRECT_",
                                                    "PATH_INFO", "PATH_TRANSLATED", "SCRIPT_",     "REMOTE_",
                                                    "CONTENT_",  "AUTH_TYPE",       "BOT_PASSWORD"};

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
