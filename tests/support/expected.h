// The expected responses of tests/data/expected/, byte for byte what the
// program writes, shared with the Windows suite. What no test can know ahead
// is a placeholder there: <UTC> the stamp, <PID> the process id, and in the
// info and unknown-action documents <PLATFORM>, <NODE_AUTH> and <REQUESTED>.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "files.h"

inline std::string expected(const std::string &name) {
    std::string path = data_dir() + "/expected/" + name;
    std::string text = read_file(path);
    if (text.empty()) { // no expected response is empty
        std::fprintf(stderr, "cannot read the expected response %s (is VISTREL_TESTS the tests folder?)\n",
                     path.c_str());
        std::abort();
    }
    return text;
}

// The text with each placeholder replaced by its value.
inline std::string fill(std::string text, const std::vector<std::pair<std::string, std::string>> &values) {
    for (const auto &v : values)
        for (size_t at = text.find(v.first); at != std::string::npos; at = text.find(v.first, at + v.second.size()))
            text.replace(at, v.first.size(), v.second);
    return text;
}

// A response with its utc stamp, if it has the stamp's form, made <UTC>.
inline std::string with_utc_placeholder(const std::string &text) {
    static const std::regex stamp("\"utc\":\"[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}Z\"");
    return std::regex_replace(text, stamp, "\"utc\":\"<UTC>\"");
}

// The fixed pieces that the suites compare responses with.
inline const std::string &expected_json_header() {
    static const std::string text = expected("json-header");
    return text;
}
inline const std::string &expected_html_header() {
    static const std::string text = expected("html-header");
    return text;
}
inline const std::string &expected_refusal() {
    static const std::string text = expected("refusal");
    return text;
}
