// The node password gate: the password and the three places a request can
// carry it come from the input (fields separated by zero bytes; the first
// byte says which variables exist), and node_auth_ok must agree with a plain
// model of the rules.
#include <cstdint>

#include "fuzz_common.h"

namespace {

struct request {
    const char *secret, *header, *auth, *query; // nullptr: variable absent
};

bool model_auth_ok(const request &r) {
    if (!r.secret || !*r.secret)
        return true;
    const std::string secret = r.secret;
    if (r.header && secret == r.header)
        return true;
    if (r.auth) {
        std::string a = r.auth;
        size_t i = a.find_first_not_of(' ');
        if (i != std::string::npos && a.compare(i, 7, "Bearer ") == 0) {
            i += 7;
            while (i < a.size() && a[i] == ' ')
                ++i;
            if (a.substr(i) == secret)
                return true;
        }
    }
    if (!r.query)
        return false;
    fuzz::query_model m = fuzz::model_query_val(r.query, "pwd", 256);
    return m.found && m.value == secret;
}

void put(const char *name, const char *value) {
    if (value)
        setenv(name, value, 1);
    else
        unsetenv(name);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1)
        return 0;
    const unsigned present = data[0];
    std::string fields[4];
    size_t k = 0;
    for (size_t i = 1; i < size; ++i) {
        if (data[i] == 0 && k < 3)
            ++k;
        else if (data[i] != 0)
            fields[k] += static_cast<char>(data[i]);
    }
    // Bit 4 turns the request into one that carries the password itself in
    // the place named by the low bits, so matches are reached often.
    if (present & 16) {
        if ((present & 3) == 1)
            fields[1] = fields[0];
        else if ((present & 3) == 2)
            fields[2] = "  Bearer  " + fields[0];
    }
    // Bits 5, 6 and 7 leave out the password, the header and Authorization;
    // bits 2 and 3 together leave out the query.
    request r{};
    r.secret = present & 32 ? nullptr : fields[0].c_str();
    r.header = present & 64 ? nullptr : fields[1].c_str();
    r.auth = present & 128 ? nullptr : fields[2].c_str();
    r.query = (present & 12) == 12 ? nullptr : fields[3].c_str();
    put("BOT_PASSWORD", r.secret);
    put("HTTP_X_BOT_PASSWORD", r.header);
    put("HTTP_AUTHORIZATION", r.auth);
    put("QUERY_STRING", r.query);
    bool got = node_auth_ok();
    bool want = model_auth_ok(r);
    FUZZ_CHECK(got == want, "node_auth_ok %d, model %d", got, want);
    return 0;
}
