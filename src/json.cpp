// The JSON side. Every document is written as it is produced, through the
// output unit: fixed text as literals, strings through json_str, numbers by
// hand. Nothing is assembled in memory beyond the output unit's buffer.
#include "json.h"

#include <float.h>
#include <math.h>
#include <stdio.h>
#include <string.h>

#include "output.h"
#include "response_headers.h"
#include "text.h"
#include "version.h"

static void out_bool(int flag) {
    if (flag)
        out_lit("true");
    else
        out_lit("false");
}

// Sums of finite readings can still overflow to infinity; the document
// saturates instead of writing "inf", which no JSON reader accepts.
static double finite_or_max(double v) {
    if (isnan(v))
        return 0.0;
    if (isinf(v))
        return v < 0 ? -DBL_MAX : DBL_MAX;
    return v;
}

// What a string literal does with each byte: PLAIN bytes go out as they are,
// DROP is a control byte that is left out, HIGH the start of a UTF-8
// character (or of no character at all); any other value is the letter that
// follows the backslash of the byte's escape.
enum : unsigned char { PLAIN, DROP, HIGH };

struct byte_classes {
    unsigned char of[256];
    constexpr byte_classes() : of() {
        for (int c = 0; c < 256; ++c)
            of[c] = c < 0x20 ? DROP : c >= 0x80 ? HIGH : PLAIN;
        escape('"', '"');
        escape('\\', '\\');
        escape('\n', 'n');
        escape('\r', 'r');
        escape('\t', 't');
    }
    constexpr void escape(char c, char letter) {
        of[static_cast<unsigned char>(c)] = static_cast<unsigned char>(letter);
    }
};

static constexpr byte_classes BYTE_CLASS;

// Input bytes written per reservation of room: a byte becomes at most six
// (\ufffd), and a character that starts in a segment may end past it.
constexpr size_t TEXT_SEGMENT = 1024;

// Writes the string literal of the text in the n bytes at s, which ends at
// its first zero byte if one comes within them.
static void write_text(const char *s, size_t n) {
    const char *end = s + n;
    out_char('"');
    for (bool ended = s == end; !ended;) {
        const char *stop = end - s > static_cast<ptrdiff_t>(TEXT_SEGMENT) ? s + TEXT_SEGMENT : end;
        char *p = out_room(6 * TEXT_SEGMENT + 3);
        while (s < stop) {
            unsigned char kind = BYTE_CLASS.of[static_cast<unsigned char>(*s)];
            if (kind == PLAIN) {
                *p++ = *s++;
            } else if (int len = kind == HIGH ? utf8_length(s) : 0) {
                // Well-formed: its bytes lie before the terminator.
                for (int i = 0; i < len; ++i)
                    *p++ = *s++;
            } else if (kind == HIGH) {
                // A byte of no well-formed character: the replacement
                // character, so the document stays valid UTF-8.
                static constexpr char REPLACEMENT[] = {'\\', 'u', 'f', 'f', 'f', 'd'};
                memcpy(p, REPLACEMENT, sizeof REPLACEMENT);
                p += sizeof REPLACEMENT;
                ++s;
            } else if (*s == '\0') {
                break;
            } else {
                if (kind != DROP) {
                    p[0] = '\\';
                    p[1] = static_cast<char>(kind);
                    p += 2;
                }
                ++s;
            }
        }
        out_commit(p);
        ended = s == end || *s == '\0';
    }
    out_char('"');
}

// A text field of the snapshot, read no further than its size.
template <size_t N> static void put_field(const char (&field)[N]) { write_text(field, N); }

void json_str(const char *s) { write_text(s, strlen(s)); }

// "index" of the first GPU whose uuid equals the process's, or -1. Whole
// fields are compared (both hold zeros after their text): the compiler
// compares a fixed size in a few word steps, where a comparison of texts
// walks byte by byte through what two uuids share ("GPU-" at least).
static int gpu_index_of(const gpu_snapshot *snap, const char (&gpu_uuid)[UUID_SIZE]) {
    if (!gpu_uuid[0])
        return -1;
    for (int i = 0; i < snap->gpu_count; ++i)
        if (memcmp(snap->gpus[i].uuid, gpu_uuid, UUID_SIZE) == 0)
            return snap->gpus[i].index;
    return -1;
}

// Room for any number that out_int and out_fixed write themselves: a sign,
// twenty digits, a point and a decimal.
constexpr size_t NUMBER_ROOM = 24;

struct digit_pairs {
    char at[200];
    constexpr digit_pairs() : at() {
        for (size_t i = 0; i < 100; ++i) {
            at[2 * i] = static_cast<char>('0' + i / 10);
            at[2 * i + 1] = static_cast<char>('0' + i % 10);
        }
    }
};

static constexpr digit_pairs DIGIT_PAIRS;

// Writes the decimal digits of v at p, two at a time; returns their end.
static char *put_digits(char *p, unsigned long long v) {
    struct powers {
        unsigned long long of[20];
        constexpr powers() : of() {
            of[0] = 1;
            for (int i = 1; i < 20; ++i)
                of[i] = of[i - 1] * 10;
        }
    };
    static constexpr powers POW10;
    // The digit count from the bit length: bits * log10(2), rounded down,
    // is it or one short of it, and one comparison settles that (zero has
    // one digit too).
    int bits = 64 - __builtin_clzll(v | 1);
    int n = (bits * 1233) >> 12;
    n += n < 20 && v >= POW10.of[n];
    n += n == 0;
    char *end = p + n, *q = end;
    for (; v >= 100; v /= 100) {
        q -= 2;
        memcpy(q, DIGIT_PAIRS.at + 2 * (v % 100), 2);
    }
    if (v >= 10)
        memcpy(q - 2, DIGIT_PAIRS.at + 2 * v, 2);
    else
        q[-1] = static_cast<char>('0' + v);
    return end;
}

static void out_int(long v) {
    char *p = out_room(NUMBER_ROOM);
    if (v < 0)
        *p++ = '-';
    out_commit(put_digits(p, v < 0 ? 0ULL - static_cast<unsigned long long>(v) : static_cast<unsigned long long>(v)));
}

// The same text as printf's "%.0f" (decimals 0) or "%.1f" (decimals 1): the
// decimal nearest to the exact binary value, ties to the even digit, and a
// sign whenever the sign bit is set ("-0.0"). glibc's printf gets there
// through multi-precision arithmetic, and a large document holds hundreds of
// such numbers (bench/ has the measurements). Below 2^52 the whole part and the
// fraction of a double are exact, and the fraction fits exactly in 60 bits of
// fixed point whenever it can reach the first decimal, so integers decide the
// rounding. Larger values (the saturated sums) still go through snprintf.
static void out_fixed(double v, int decimals) {
    double mag = fabs(v);
    if (!(mag < 4503599627370496.0)) { // 2^52; also catches NaN
        char text[DBL_MAX_10_EXP + 8]; // the largest double's digits, a sign, a point, a decimal
        int n = snprintf(text, sizeof text, decimals ? "%.1f" : "%.0f", v);
        out_bytes(text, n > 0 ? static_cast<size_t>(n) : 0);
        return;
    }
    double whole_part = floor(mag);
    auto whole = static_cast<unsigned long long>(whole_part);
    // frac in [0, 1), exact; scaled by 2^60 it stays exact down to 2^-60,
    // and a fraction with lower bits than that is below 2^-8, far from any
    // rounding boundary at one decimal.
    auto frac = static_cast<unsigned long long>((mag - whole_part) * 1152921504606846976.0); // 2^60
    constexpr unsigned long long ONE = 1ULL << 60, HALF = 1ULL << 59;
    unsigned digit = 0;
    unsigned long long rest = frac;
    if (decimals) {
        unsigned long long tenths = frac * 10; // below 10 * 2^60 < 2^64
        digit = static_cast<unsigned>(tenths >> 60);
        rest = tenths & (ONE - 1);
    }
    bool odd = decimals ? (digit & 1) : (whole & 1);
    if (rest > HALF || (rest == HALF && odd)) {
        if (decimals && digit < 9) {
            ++digit;
        } else {
            digit = 0;
            ++whole;
        }
    }
    char *p = out_room(NUMBER_ROOM);
    if (signbit(v))
        *p++ = '-';
    p = put_digits(p, whole);
    if (decimals) {
        p[0] = '.';
        p[1] = static_cast<char>('0' + digit);
        p += 2;
    }
    out_commit(p);
}

static void out_optional(int has, int decimals, double v) {
    if (has)
        out_fixed(v, decimals);
    else
        out_lit("null");
}

// The document's totals over the GPUs, added up in array order.
struct gpu_totals {
    double util_avg, mem_used_mb, mem_total_mb, power_w;
    int powered; // GPUs that report their power
};

static gpu_totals totals_of(const gpu_snapshot *snap) {
    gpu_totals t = {};
    double util = 0.0;
    for (int i = 0; i < snap->gpu_count; ++i) {
        const gpu_info *g = &snap->gpus[i];
        util += g->util_gpu;
        t.mem_used_mb += g->mem_used_mb;
        t.mem_total_mb += g->mem_total_mb;
        if (g->has_power) {
            t.power_w += g->power_w;
            t.powered++;
        }
    }
    t.util_avg = snap->gpu_count > 0 ? util / snap->gpu_count : 0.0;
    return t;
}

static void write_gpu(const gpu_info *g) {
    out_lit("{\"index\":");
    out_int(g->index);
    out_lit(",\"uuid\":");
    put_field(g->uuid);
    out_lit(",\"name\":");
    put_field(g->name);
    out_lit(",\"util_gpu\":");
    out_fixed(g->util_gpu, 1);
    out_lit(",\"mem_used_mb\":");
    out_fixed(g->mem_used_mb, 0);
    out_lit(",\"mem_total_mb\":");
    out_fixed(g->mem_total_mb, 0);
    out_lit(",\"temp_c\":");
    out_optional(g->has_temp, 0, g->temp_c);
    out_lit(",\"power_w\":");
    out_optional(g->has_power, 1, g->power_w);
    out_lit(",\"power_limit_w\":");
    out_optional(g->has_power_limit, 1, g->power_limit_w);
    out_lit("}");
}

static void write_process(const gpu_snapshot *snap, const proc_info *p) {
    out_lit("{\"gpu_uuid\":");
    put_field(p->gpu_uuid);
    out_lit(",\"gpu_index\":");
    out_int(gpu_index_of(snap, p->gpu_uuid));
    out_lit(",\"pid\":");
    out_int(p->pid);
    out_lit(",\"name\":");
    put_field(p->name);
    out_lit(",\"used_mb\":");
    out_fixed(p->used_mb, 0);
    out_lit("}");
}

void json_metrics(const gpu_snapshot *snap, const char *stamp) {
    out_lit(JSON_HEADER_BLOCK);
    out_lit("{\"ok\":true,\"action\":\"metrics\"");
    out_lit(",\"available\":");
    out_bool(snap->available);
    out_lit(",\"source\":");
    put_field(snap->source);
    out_lit(",\"mocked\":");
    out_bool(snap->mocked);
    out_lit(",\"driver\":");
    put_field(snap->driver);
    out_lit(",\"utc\":");
    json_str(stamp);
    out_lit(",\"count\":");
    out_int(snap->gpu_count);
    out_lit(",\"process_count\":");
    out_int(snap->proc_count);

    gpu_totals t = totals_of(snap);
    out_lit(",\"util_gpu_avg\":");
    out_fixed(finite_or_max(t.util_avg), 1);
    out_lit(",\"mem_used_mb\":");
    out_fixed(finite_or_max(t.mem_used_mb), 0);
    out_lit(",\"mem_total_mb\":");
    out_fixed(finite_or_max(t.mem_total_mb), 0);
    out_lit(",\"power_w\":");
    out_optional(t.powered, 1, finite_or_max(t.power_w));

    out_lit(",\"gpus\":[");
    for (int i = 0; i < snap->gpu_count; ++i) {
        if (i)
            out_char(',');
        write_gpu(&snap->gpus[i]);
    }
    out_lit("],\"processes\":[");
    for (int i = 0; i < snap->proc_count; ++i) {
        if (i)
            out_char(',');
        write_process(snap, &snap->procs[i]);
    }
    out_lit("],\"message\":");
    put_field(snap->message);
    out_lit("}\n");
}

// The names as a JSON array.
static void out_names(const char *const *names, int count) {
    out_char('[');
    for (int i = 0; i < count; ++i) {
        if (i)
            out_char(',');
        json_str(names[i]);
    }
    out_char(']');
}

void json_info(const char *stamp, const char *platform, long pid, bool node_auth, const char *const *supported,
               int count) {
    out_lit(JSON_HEADER_BLOCK);
    out_lit("{\"ok\":true,\"action\":\"info\",\"plugin\":\"plugin_vistrel\",\"version\":");
    json_str(PLUGIN_VERSION);
    out_lit(",\"platform\":");
    json_str(platform);
    out_lit(",\"pid\":");
    out_int(pid);
    out_lit(",\"utc\":");
    json_str(stamp);
    out_lit(",\"node_auth\":");
    out_bool(node_auth);
    out_lit(",\"supported\":");
    out_names(supported, count);
    out_lit(",\"probes\":[\"nvidia-smi\",\"rocm-smi\"],\"mock_hook\":\"VISTREL_MOCK_CSV\",\"max_gpus\":");
    out_int(MAX_GPUS);
    out_lit(",\"zero_network\":true}\n");
}

void json_error(const char *action, const char *const *supported, int count) {
    out_lit(JSON_HEADER_BLOCK);
    out_lit("{\"ok\":false,\"error\":\"unknown_action\",\"supported\":");
    out_names(supported, count);
    out_lit(",\"requested\":");
    json_str(action);
    out_lit("}\n");
}
