// The expected responses of tests/data/expected/, byte for byte what the
// program writes, and the cases of tests/data/cases and tests/data/failures,
// all shared with the Windows suite. What no test can know ahead
// is a placeholder there: <UTC> the stamp, <PID> the process id, and in the
// info and unknown-action documents <PLATFORM>, <NODE_AUTH> and <REQUESTED>.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <regex>
#include <sstream>
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

// One line of tests/data/cases: a request and the response it must get.
struct shared_case {
    std::string name;
    std::vector<std::string> args, env;
    std::string expected; // a file of expected/, "page" or "embedded-page"
    std::vector<std::pair<std::string, std::string>> fills;
};

// The words of a field, split at single spaces, each "\x20" made a space.
inline std::vector<std::string> case_words(const std::string &field) {
    std::vector<std::string> words;
    std::istringstream in(field);
    for (std::string w; std::getline(in, w, ' ');) {
        if (w.empty())
            continue;
        for (size_t at; (at = w.find("\\x20")) != std::string::npos;)
            w.replace(at, 4, " ");
        words.push_back(w);
    }
    return words;
}

// The rows of a table of tests/data (a name of it): the five fields of each
// line that is no comment, split at "|". A table without a row stops the
// run: a suite over it would pass having checked nothing.
inline std::vector<std::vector<std::string>> table_rows(const std::string &name) {
    std::vector<std::vector<std::string>> rows;
    std::istringstream in(read_file(data_dir() + "/" + name));
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#')
            continue;
        std::vector<std::string> f;
        std::istringstream fields(line);
        for (std::string x; std::getline(fields, x, '|');)
            f.push_back(x);
        f.resize(5);
        rows.push_back(f);
    }
    if (rows.empty()) {
        std::fprintf(stderr, "no case in %s/%s\n", data_dir().c_str(), name.c_str());
        std::abort();
    }
    return rows;
}

// The words of an environment field, each "VAR=@name" made "VAR=<folder>name".
inline std::vector<std::string> env_words(const std::string &field, const std::string &folder) {
    std::vector<std::string> env = case_words(field);
    for (std::string &e : env) {
        size_t eq = e.find('=');
        if (eq != std::string::npos && e.compare(eq + 1, 1, "@") == 0)
            e.replace(eq + 1, 1, folder);
    }
    return env;
}

// Every case of tests/data/cases, "@name" values made fixture paths.
inline std::vector<shared_case> shared_cases() {
    std::vector<shared_case> cases;
    for (const auto &f : table_rows("cases")) {
        shared_case c{f[0], case_words(f[1]), env_words(f[2], data_dir() + "/fixtures/"), f[3], {}};
        for (const std::string &v : case_words(f[4])) {
            size_t eq = v.find('=');
            c.fills.emplace_back(v.substr(0, eq), v.substr(eq + 1));
        }
        cases.push_back(c);
    }
    return cases;
}

// One line of tests/data/failures: a node the fake tools replay, healthy or not,
// and the metrics response it must get.
struct failure_case {
    std::string name;
    bool fakes; // the fake tools on PATH; else no vendor tool at all
    std::vector<std::string> env;
    std::string expected; // a file of expected/
    std::string calls;    // the queries the fakes answered: "gpu report"
};

// Every case of tests/data/failures, "@path" values made paths in tests/data.
inline std::vector<failure_case> failure_cases() {
    std::vector<failure_case> cases;
    for (const auto &f : table_rows("failures"))
        cases.push_back({f[0], f[1] == "fakes", env_words(f[2], data_dir() + "/"), f[3], f[4]});
    return cases;
}
