// The checks and models behind the fuzz targets, in a unit of their own that
// is built without coverage instrumentation: libFuzzer then steers by the
// program's code alone, and its cov: and ft: figures count only that code.
#include "fuzz_common.h"

#include <cfloat>

#include "expected.h"
#include "json_check.h"
#include "output.h"

namespace fuzz {

// ---- standard output in memory ---------------------------------------------

static bool capture_stdout() {
    int fd = memfd_create("fuzz-stdout", 0);
    if (fd < 0 || dup2(fd, 1) < 0)
        std::abort();
    close(fd);
    return true;
}

void capture_begin() {
    static const bool captured = capture_stdout();
    (void)captured;
    std::fflush(stdout);
    if (ftruncate(1, 0) != 0 || lseek(1, 0, SEEK_SET) != 0)
        std::abort();
}

std::string capture_end() {
    out_flush();
    std::fflush(stdout);
    off_t n = lseek(1, 0, SEEK_CUR);
    std::string text(static_cast<size_t>(n), '\0');
    if (n > 0 && pread(1, &text[0], static_cast<size_t>(n), 0) != n)
        std::abort();
    return text;
}

// ---- the snapshot ----------------------------------------------------------

gpu_snapshot &fresh_snapshot() {
    static gpu_snapshot snap;
    snap = gpu_snapshot{};
    return snap;
}

bool terminated(const char *field, size_t size) { return std::memchr(field, 0, size) != nullptr; }

static bool all_zero(const void *p, size_t n) {
    const unsigned char *b = static_cast<const unsigned char *>(p);
    for (size_t i = 0; i < n; ++i)
        if (b[i])
            return false;
    return true;
}

static bool flag(int v) { return v == 0 || v == 1; }

// Every entry past the count is all zero bytes.
template <typename T, int N> static void check_zero_past(const T (&entries)[N], int count, const char *what) {
    for (int i = count; i < N; ++i)
        FUZZ_CHECK(all_zero(&entries[i], sizeof entries[i]), "%s entry %d past the count %d is not zero", what, i,
                   count);
}

void check_snapshot(const gpu_snapshot &s) {
    FUZZ_CHECK(s.gpu_count >= 0 && s.gpu_count <= MAX_GPUS, "gpu_count %d", s.gpu_count);
    FUZZ_CHECK(s.proc_count >= 0 && s.proc_count <= MAX_PROCS, "proc_count %d", s.proc_count);
    FUZZ_CHECK(terminated(s.driver, DRIVER_SIZE) && terminated(s.source, SOURCE_SIZE) &&
                   terminated(s.message, MESSAGE_SIZE),
               "unterminated outcome text");
    FUZZ_CHECK(flag(s.available) && flag(s.mocked), "available %d mocked %d", s.available, s.mocked);
    check_zero_past(s.gpus, s.gpu_count, "GPU");
    for (int i = 0; i < s.gpu_count; ++i) {
        const gpu_info &g = s.gpus[i];
        FUZZ_CHECK(terminated(g.uuid, UUID_SIZE) && terminated(g.name, NAME_SIZE), "GPU %d text unterminated", i);
        FUZZ_CHECK(flag(g.has_temp) && flag(g.has_power) && flag(g.has_power_limit), "GPU %d flags %d %d %d", i,
                   g.has_temp, g.has_power, g.has_power_limit);
        FUZZ_CHECK(std::isfinite(g.util_gpu) && std::isfinite(g.mem_used_mb) && std::isfinite(g.mem_total_mb) &&
                       std::isfinite(g.temp_c) && std::isfinite(g.power_w) && std::isfinite(g.power_limit_w),
                   "GPU %d holds a number that is not finite", i);
        FUZZ_CHECK(g.has_temp || g.temp_c == 0.0, "GPU %d temperature without flag", i);
        FUZZ_CHECK(g.has_power || g.power_w == 0.0, "GPU %d power without flag", i);
        FUZZ_CHECK(g.has_power_limit || g.power_limit_w == 0.0, "GPU %d limit without flag", i);
    }
    check_zero_past(s.procs, s.proc_count, "process");
    for (int i = 0; i < s.proc_count; ++i) {
        const proc_info &p = s.procs[i];
        FUZZ_CHECK(terminated(p.gpu_uuid, UUID_SIZE) && terminated(p.name, NAME_SIZE), "process %d unterminated", i);
        FUZZ_CHECK(std::isfinite(p.used_mb), "process %d used_mb not finite", i);
    }
}

// ---- query values, written plainly from the rules --------------------------

query_model model_query_val(const std::string &q, const std::string &name, size_t size) {
    query_model m;
    size_t pos = 0;
    while (pos < q.size()) {
        if (q.compare(pos, name.size(), name) == 0 && pos + name.size() < q.size() && q[pos + name.size()] == '=') {
            m.found = true;
            size_t start = pos + name.size() + 1;
            size_t end = q.find('&', start);
            std::string raw = q.substr(start, (end == std::string::npos ? q.size() : end) - start);
            if (raw.size() > size - 1)
                raw.resize(size - 1);
            for (size_t i = 0; i < raw.size();) {
                if (raw[i] == '%' && i + 2 < raw.size() && jcheck::hex_digit(raw[i + 1]) >= 0 &&
                    jcheck::hex_digit(raw[i + 2]) >= 0) {
                    m.value += static_cast<char>(jcheck::hex_digit(raw[i + 1]) * 16 + jcheck::hex_digit(raw[i + 2]));
                    i += 3;
                } else {
                    m.value += raw[i] == '+' ? ' ' : raw[i];
                    i += 1;
                }
            }
            m.value = cut_at_nul(m.value); // a %00 ends the value for every reader
            return m;
        }
        size_t amp = q.find('&', pos);
        if (amp == std::string::npos)
            break;
        pos = amp + 1;
    }
    return m;
}

// ---- the metrics document --------------------------------------------------

bool ascii(const char *s) {
    for (; *s; ++s)
        if (static_cast<unsigned char>(*s) >= 0x80)
            return false;
    return true;
}

static bool snapshot_ascii(const gpu_snapshot &s) {
    bool ok = ascii(s.driver) && ascii(s.source) && ascii(s.message);
    for (int i = 0; i < s.gpu_count; ++i)
        ok = ok && ascii(s.gpus[i].uuid) && ascii(s.gpus[i].name);
    for (int i = 0; i < s.proc_count; ++i)
        ok = ok && ascii(s.procs[i].gpu_uuid) && ascii(s.procs[i].name);
    return ok;
}

static void check_text(const jcheck::value *v, const char *field, const char *where) {
    FUZZ_CHECK(v && v->kind == jcheck::value::string_v, "%s is no string", where);
    FUZZ_CHECK(v->text == jcheck::json_text(field), "%s does not round-trip", where);
}

// A number member: null exactly when the value is unset, otherwise the very
// text printf gives with the document's conversion ("%.0f" or "%.1f").
static void check_number(const jcheck::value *v, bool has, const char *fmt, double value, const char *where) {
    FUZZ_CHECK(v, "%s missing", where);
    FUZZ_CHECK(has ? v->kind == jcheck::value::number_v : v->kind == jcheck::value::null_v, "%s: null iff unset",
               where);
    if (!has)
        return;
    char want[400];
    std::snprintf(want, sizeof want, fmt, value);
    FUZZ_CHECK(v->text == want, "%s of %.17g written as %s, printf gives %s", where, value, v->text.c_str(), want);
}

// The document saturates sums that overflow and writes 0 for NaN.
static double saturated(double v) {
    if (std::isnan(v))
        return 0.0;
    if (std::isinf(v))
        return v < 0 ? -DBL_MAX : DBL_MAX;
    return v;
}

void check_json_str(const std::string &s) {
    std::string lit = captured([&] { json_str(s.c_str()); });
    jcheck::value v;
    jcheck::reader rd;
    bool ok = rd.parse(lit, &v, ascii(s.c_str()) ? jcheck::reader::refuse : jcheck::reader::utf8);
    FUZZ_CHECK(ok && v.kind == jcheck::value::string_v, "json_str wrote no JSON string (%s): %s", rd.error().c_str(),
               lit.c_str());
    FUZZ_CHECK(v.text == jcheck::json_text(cut_at_nul(s)), "json_str does not round-trip");
}

void check_metrics_document(const gpu_snapshot &s) {
    std::string outp = captured([&] { json_metrics(&s, "2026-01-02T03:04:05Z"); });
    const std::string &hdr = expected_json_header();
    FUZZ_CHECK(outp.compare(0, hdr.size(), hdr) == 0, "no JSON header block");
    std::string body = outp.substr(hdr.size());
    FUZZ_CHECK(!body.empty() && body.find('\n') == body.size() - 1, "document is not one line");
    jcheck::value doc;
    jcheck::reader rd;
    bool ok = rd.parse(body, &doc, snapshot_ascii(s) ? jcheck::reader::refuse : jcheck::reader::utf8);
    FUZZ_CHECK(ok, "not JSON: %s\n%.600s", rd.error().c_str(), body.c_str());
    static const char *KEYS[] = {"ok",      "action", "available",     "source",       "mocked",      "driver",
                                 "utc",     "count",  "process_count", "util_gpu_avg", "mem_used_mb", "mem_total_mb",
                                 "power_w", "gpus",   "processes",     "message"};
    FUZZ_CHECK(doc.kind == jcheck::value::object_v && doc.members.size() == 16, "not 16 members");
    for (size_t i = 0; i < 16; ++i)
        FUZZ_CHECK(doc.members[i].first == KEYS[i], "member %zu is %s", i, doc.members[i].first.c_str());
    check_text(doc.get("source"), s.source, "source");
    check_text(doc.get("driver"), s.driver, "driver");
    check_text(doc.get("message"), s.message, "message");
    FUZZ_CHECK(doc.get("available")->flag == (s.available != 0), "available");
    FUZZ_CHECK(doc.get("count")->text == std::to_string(s.gpu_count), "count");
    FUZZ_CHECK(doc.get("process_count")->text == std::to_string(s.proc_count), "process_count");
    bool any_power = false;
    double util = 0.0, used = 0.0, total = 0.0, power = 0.0;
    const jcheck::value *gpus = doc.get("gpus");
    FUZZ_CHECK(gpus->items.size() == static_cast<size_t>(s.gpu_count), "gpus array size");
    for (int i = 0; i < s.gpu_count; ++i) {
        const gpu_info &g = s.gpus[i];
        const jcheck::value &o = gpus->items[static_cast<size_t>(i)];
        FUZZ_CHECK(o.members.size() == 9, "GPU object %d has %zu members", i, o.members.size());
        FUZZ_CHECK(o.get("index")->text == std::to_string(g.index), "GPU %d index", i);
        check_text(o.get("uuid"), g.uuid, "uuid");
        check_text(o.get("name"), g.name, "name");
        check_number(o.get("util_gpu"), true, "%.1f", g.util_gpu, "util_gpu");
        check_number(o.get("mem_used_mb"), true, "%.0f", g.mem_used_mb, "mem_used_mb");
        check_number(o.get("mem_total_mb"), true, "%.0f", g.mem_total_mb, "mem_total_mb");
        check_number(o.get("temp_c"), g.has_temp, "%.0f", g.temp_c, "temp_c");
        check_number(o.get("power_w"), g.has_power, "%.1f", g.power_w, "power_w");
        check_number(o.get("power_limit_w"), g.has_power_limit, "%.1f", g.power_limit_w, "power_limit_w");
        util += g.util_gpu;
        used += g.mem_used_mb;
        total += g.mem_total_mb;
        if (g.has_power) {
            power += g.power_w;
            any_power = true;
        }
    }
    // Totals added up in array order, as the document must.
    check_number(doc.get("util_gpu_avg"), true, "%.1f", saturated(s.gpu_count ? util / s.gpu_count : 0.0),
                 "util_gpu_avg");
    check_number(doc.get("mem_used_mb"), true, "%.0f", saturated(used), "total mem_used_mb");
    check_number(doc.get("mem_total_mb"), true, "%.0f", saturated(total), "total mem_total_mb");
    check_number(doc.get("power_w"), any_power, "%.1f", saturated(power), "total power_w");
    const jcheck::value *procs = doc.get("processes");
    FUZZ_CHECK(procs->items.size() == static_cast<size_t>(s.proc_count), "processes array size");
    for (int i = 0; i < s.proc_count; ++i) {
        const proc_info &p = s.procs[i];
        const jcheck::value &o = procs->items[static_cast<size_t>(i)];
        FUZZ_CHECK(o.members.size() == 5, "process object %d", i);
        check_text(o.get("gpu_uuid"), p.gpu_uuid, "gpu_uuid");
        check_text(o.get("name"), p.name, "process name");
        FUZZ_CHECK(o.get("pid")->text == std::to_string(p.pid), "pid");
        check_number(o.get("used_mb"), true, "%.0f", p.used_mb, "used_mb");
        int want = -1;
        for (int k = 0; p.gpu_uuid[0] && k < s.gpu_count; ++k)
            if (std::strcmp(s.gpus[k].uuid, p.gpu_uuid) == 0) {
                want = s.gpus[k].index;
                break;
            }
        FUZZ_CHECK(o.get("gpu_index")->text == std::to_string(want), "gpu_index of process %d", i);
    }
}

} // namespace fuzz
