// json_str and json_metrics: any text through json_str reads back as itself
// (less the dropped control bytes, U+FFFD for each byte of no character) in
// valid UTF-8, copy_str never ends inside a character, and any snapshot that
// the parsers could produce (finite numbers, terminated texts, flags 0/1,
// zero past the counts) gives a complete, strict metrics document.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>

#include "fuzz_common.h"
#include "json_check.h"

namespace {

// Mostly readings of a plausible size; now and then any finite double, up
// to the largest (whose sums overflow and whose "%.0f" is 309 digits long).
double finite(FuzzedDataProvider &in) {
    if (in.remaining_bytes() == 0)
        return 0.0; // an exhausted provider would give the lowest double every time
    double v =
        in.ConsumeIntegralInRange(0, 7) ? in.ConsumeFloatingPointInRange(-1e6, 1e6) : in.ConsumeFloatingPoint<double>();
    return std::isfinite(v) ? v : 0.0;
}

// A field filled by copy_str: the text cut to size - 1 bytes, less a
// well-formed character that the cut would split.
void text(FuzzedDataProvider &in, char *dst, int size) {
    std::string s = fuzz::cut_at_nul(in.ConsumeRandomLengthString(static_cast<size_t>(size) + 8));
    copy_str(dst, size, s.c_str());
    FUZZ_CHECK(dst == s.substr(0, jcheck::utf8_cut(s, static_cast<size_t>(size - 1))), "copy_str into %d bytes", size);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);

    // One text through json_str alone.
    std::string s = in.ConsumeRandomLengthString(512);
    fuzz::check_json_str(s);

    // A snapshot built from the rest.
    gpu_snapshot &snap = fuzz::fresh_snapshot();
    snap.gpu_count = in.ConsumeIntegralInRange(0, MAX_GPUS);
    snap.proc_count = in.ConsumeIntegralInRange(0, MAX_PROCS);
    text(in, snap.driver, DRIVER_SIZE);
    text(in, snap.source, SOURCE_SIZE);
    text(in, snap.message, MESSAGE_SIZE);
    snap.available = in.ConsumeBool();
    snap.mocked = in.ConsumeBool();
    for (int i = 0; i < snap.gpu_count; ++i) {
        gpu_info &g = snap.gpus[i];
        g.index = in.ConsumeIntegral<int>();
        // Often the UUID of an earlier GPU, so processes find a match.
        if (i > 0 && in.ConsumeBool())
            copy_str(g.uuid, UUID_SIZE, snap.gpus[in.ConsumeIntegralInRange(0, i - 1)].uuid);
        else
            text(in, g.uuid, UUID_SIZE);
        text(in, g.name, NAME_SIZE);
        g.util_gpu = finite(in);
        g.mem_used_mb = finite(in);
        g.mem_total_mb = finite(in);
        g.has_temp = in.ConsumeBool();
        g.has_power = in.ConsumeBool();
        g.has_power_limit = in.ConsumeBool();
        g.temp_c = g.has_temp ? finite(in) : 0.0;
        g.power_w = g.has_power ? finite(in) : 0.0;
        g.power_limit_w = g.has_power_limit ? finite(in) : 0.0;
    }
    for (int i = 0; i < snap.proc_count; ++i) {
        proc_info &p = snap.procs[i];
        if (snap.gpu_count > 0 && in.ConsumeBool())
            copy_str(p.gpu_uuid, UUID_SIZE, snap.gpus[in.ConsumeIntegralInRange(0, snap.gpu_count - 1)].uuid);
        else
            text(in, p.gpu_uuid, UUID_SIZE);
        p.pid = in.ConsumeIntegral<int>();
        text(in, p.name, NAME_SIZE);
        p.used_mb = finite(in);
    }
    fuzz::check_snapshot(snap);
    fuzz::check_metrics_document(snap);
    return 0;
}
