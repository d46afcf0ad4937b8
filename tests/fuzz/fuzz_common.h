// Shared by the fuzz targets: a check that aborts (so libFuzzer keeps the
// input), standard output captured in memory, the run's snapshot and its
// invariants, a plain model of query decoding, and the metrics document
// check. The definitions are in fuzz_support.cpp.
#pragma once

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "collect.h"
#include "json.h"
#include "plugin_vistrel.h"
#include "snapshot.h"
#include "text.h"

#define FUZZ_CHECK(cond, ...)                                                                                          \
    do {                                                                                                               \
        if (!(cond)) {                                                                                                 \
            std::fprintf(stderr, "check failed at %s:%d: %s\n  ", __FILE__, __LINE__, #cond);                          \
            std::fprintf(stderr, __VA_ARGS__);                                                                         \
            std::fprintf(stderr, "\n");                                                                                \
            std::abort();                                                                                              \
        }                                                                                                              \
    } while (0)

namespace fuzz {

// The text up to its first zero byte: what the program sees of it as a C string.
inline std::string cut_at_nul(const std::string &s) { return std::string(s.c_str(), std::strlen(s.c_str())); }

// Everything the function writes to standard output, through stdio or the
// output unit. From the first capture on, file descriptor 1 is an in-memory
// file for the rest of the run; libFuzzer itself reports on standard error.
void capture_begin();
std::string capture_end();
template <typename F> std::string captured(F fn) {
    capture_begin();
    fn();
    return capture_end();
}

// The run's one snapshot, all zero afresh, as a request's, for each input that
// calls this: static, as the program keeps its own, and far larger than a
// stack frame should be.
gpu_snapshot &fresh_snapshot();

bool terminated(const char *field, size_t size);
bool ascii(const char *s);

// Counts within capacity, entries past the counts all zero, texts
// terminated within their fields, flags 0 or 1, numbers finite.
void check_snapshot(const gpu_snapshot &s);

struct query_model {
    bool found = false;
    std::string value; // decoded, as a C string would show it (up to a zero byte)
};

// get_query_val's rules, written plainly over std::string.
query_model model_query_val(const std::string &q, const std::string &name, size_t size);

// json_str writes s as a JSON string in valid UTF-8 (strict ASCII when s
// is ASCII) that reads back as s less the dropped control bytes, with U+FFFD
// for each byte of no well-formed character.
void check_json_str(const std::string &s);

// Writes the metrics document for the snapshot and checks it completely:
// header block, one line, strict JSON in valid UTF-8 (ASCII only when the
// snapshot's texts are ASCII), the sixteen members in order, and every text
// (as json_str must write it) and count.
void check_metrics_document(const gpu_snapshot &s);

} // namespace fuzz
