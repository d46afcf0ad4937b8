// get_query_val against a plain model of its rules, for any query text, any
// parameter name and every buffer size from 2 to 257. The buffer is exactly
// the size given, so AddressSanitizer sees any byte written past it.
#include <cstdint>

#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2)
        return 0;
    const int buf_size = 2 + data[0];
    std::string rest(reinterpret_cast<const char *>(data) + 2, size - 2);
    rest = fuzz::cut_at_nul(rest); // the query reaches the program as a C string
    // The names the program asks for, a short one, and one from the input
    // (text after the first ' ', so the name can hold '=', '&' or '%').
    std::string name;
    switch (data[1] % 4) {
    case 0: name = "action"; break;
    case 1: name = "pwd"; break;
    case 2: name = "a"; break;
    default: {
        size_t sp = rest.find(' ');
        if (sp == std::string::npos || sp + 1 == rest.size())
            return 0;
        name = rest.substr(sp + 1);
        rest.resize(sp);
    }
    }
    char *out = static_cast<char *>(std::malloc(static_cast<size_t>(buf_size)));
    std::memset(out, 0x5A, static_cast<size_t>(buf_size));
    int found = get_query_val(rest.c_str(), name.c_str(), out, buf_size);
    FUZZ_CHECK(found == 0 || found == 1, "result %d", found);
    FUZZ_CHECK(fuzz::terminated(out, static_cast<size_t>(buf_size)), "buffer of %d bytes not terminated", buf_size);
    FUZZ_CHECK(found || out[0] == '\0', "no pair but the buffer holds text");
    fuzz::query_model m = fuzz::model_query_val(rest, name, static_cast<size_t>(buf_size));
    FUZZ_CHECK(found == (m.found ? 1 : 0), "found %d, model %d", found, m.found);
    FUZZ_CHECK(m.value == out, "value \"%s\", model \"%s\"", out, m.value.c_str());

    // No query text at all.
    std::memset(out, 0x5A, static_cast<size_t>(buf_size));
    FUZZ_CHECK(get_query_val(nullptr, name.c_str(), out, buf_size) == 0 && out[0] == '\0', "no query text");
    std::free(out);
    return 0;
}
