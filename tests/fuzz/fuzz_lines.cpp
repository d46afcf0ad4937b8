// The line parsers nv_gpu_line, nv_proc_line and amd_line, fed any sequence
// of lines (each in a buffer of exactly its size, so AddressSanitizer sees a
// read or write past it), mixed freely into one snapshot. After every line
// the snapshot invariants hold; at the end the metrics document is checked.
// Each line is also read as one number: parse_num must give what strtod
// gives, to the bit.
#include <fuzzer/FuzzedDataProvider.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_common.h"

namespace {

void check_parse_num(const char *s) {
    double got = 0.0, want = 0.0;
    int ok = parse_num(s, &got), want_ok = 0;
    if (*s && !std::strstr(s, "N/A") && !std::strstr(s, "n/a")) {
        errno = 0;
        char *end = nullptr;
        want = std::strtod(s, &end);
        want_ok = end != s && errno == 0 && std::isfinite(want);
    }
    // Equal values of the same sign: the same double (neither is NaN).
    bool same = got == want && std::signbit(got) == std::signbit(want);
    FUZZ_CHECK(ok == want_ok && (!ok || same), "parse_num(\"%s\") gives %d %.17g", s, ok, got);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    gpu_snapshot &snap = fuzz::fresh_snapshot();
    line_errors errors{};
    while (in.remaining_bytes() > 0) {
        int which = in.ConsumeIntegralInRange(0, 2);
        std::string line = in.ConsumeRandomLengthString(2048);
        check_parse_num(line.c_str());
        std::vector<char> buf(line.begin(), line.end());
        buf.push_back('\0');
        const int gpus_before = snap.gpu_count, procs_before = snap.proc_count;
        const long len = static_cast<long>(std::strlen(buf.data()));
        switch (which) {
        case 0: nv_gpu_line(buf.data(), len, &snap, &errors); break;
        case 1: nv_proc_line(buf.data(), len, &snap, &errors); break;
        default: amd_line(buf.data(), len, &snap, &errors); break;
        }
        FUZZ_CHECK(fuzz::terminated(errors.first, MESSAGE_SIZE), "the kept error text is unterminated");
        fuzz::check_snapshot(snap);
        FUZZ_CHECK(snap.proc_count - procs_before <= 1, "one line added %d processes", snap.proc_count - procs_before);
        if (which == 0)
            FUZZ_CHECK(snap.gpu_count - gpus_before <= 1, "one NVIDIA line added %d GPUs",
                       snap.gpu_count - gpus_before);
        if (which == 1)
            FUZZ_CHECK(snap.gpu_count == gpus_before, "a process line changed the GPUs");
        if (which == 2) {
            FUZZ_CHECK(snap.proc_count == procs_before, "an AMD line added a process");
            FUZZ_CHECK(snap.gpu_count >= gpus_before, "an AMD line removed GPUs");
        }
    }
    fuzz::check_metrics_document(snap);
    return 0;
}
