// The JSON side. Every document is written as it is produced, through the
// output unit: fixed text as literals, strings through json_str, numbers by
// hand. Nothing is assembled in memory beyond the output unit's buffer.
#include "json.h"

#include <float.h>
#include <math.h>
#include <stdio.h>
#include <string.h>

#include "collect.h"
#include "output.h"
#include "platform.h"
#include "plugin_vistrel.h"
#include "response_headers.h"
#include "words.h"

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

void json_header() {
    out_lit(JSON_HEADER_BLOCK);
    out_flush();
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

// The high bit of each byte of w that is not PLAIN: control bytes (the
// terminator among them), bytes of 0x80 and above, quotes and backslashes.
// Among bytes below 0x80 (t keeps their seven bits) one addition per test
// sets the high bit exactly where the byte passes it.
static unsigned long long care_bytes(unsigned long long w) {
    unsigned long long t = w & ~WORD_HIGHS;
    unsigned long long not_control = t + WORD_ONES * (0x80 - 0x20);
    unsigned long long not_quote = (t ^ (WORD_ONES * '"')) + WORD_ONES * 0x7F;
    unsigned long long not_backslash = (t ^ (WORD_ONES * '\\')) + WORD_ONES * 0x7F;
    return ~(not_control & not_quote & not_backslash & ~w) & WORD_HIGHS;
}

// Writes the inside of the string literal of the text at s at p, until its
// terminator or until stop is reached, whichever comes first; words are read
// only below limit, which must lie past the terminator. Returns where it
// stopped reading (the terminator, or at most eight bytes past stop) and
// moves *out past what it wrote: at most six bytes for each byte read before
// stop (\ufffd), and eight more.
static const char *write_text(char **out, const char *s, const char *stop, const char *limit) {
    char *p = *out;
    while (s < stop) {
        // Most text is plain: eight bytes go out at a time, and where a word
        // holds a byte that needs care, those before it do.
        if (limit - s >= 8) {
            unsigned long long w = load_word(s), care = care_bytes(w);
            store_word(p, w);
            if (!care) {
                p += 8;
                s += 8;
                continue;
            }
            int plain = first_mark(care);
            p += plain;
            s += plain;
        }
        unsigned char kind = BYTE_CLASS.of[static_cast<unsigned char>(*s)];
        if (kind == PLAIN) {
            *p++ = *s++;
        } else if (int len = kind == HIGH ? utf8_length(s) : 0) {
            for (int i = 0; i < len; ++i)
                p[i] = s[i];
            p += len;
            s += len;
        } else if (kind == HIGH) {
            // A byte of no well-formed character: the replacement character,
            // so the document stays valid UTF-8.
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
    *out = p;
    return s;
}

// Input bytes written per reservation of room.
constexpr size_t TEXT_SEGMENT = 1024;

// json_str without handing the bytes on: the documents write many strings.
static void put_str(const char *s) {
    const char *limit = s + strlen(s) + 1;
    char *p = out_room(1);
    *p++ = '"';
    for (;;) {
        out_commit(p);
        p = out_room(6 * TEXT_SEGMENT + 8 + 1);
        s = write_text(&p, s, s + TEXT_SEGMENT, limit);
        if (s < limit && *s == '\0')
            break;
    }
    *p++ = '"';
    out_commit(p);
}

// A text field of the snapshot: read a word at a time within its size, so
// that the terminator need not be found first, with room for all of it.
template <size_t N> static void put_field(const char (&field)[N]) {
    char *p = out_room(6 * N + 8 + 2);
    *p++ = '"';
    write_text(&p, field, field + N, field + N);
    *p++ = '"';
    out_commit(p);
}

void json_str(const char *s) {
    put_str(s);
    out_flush();
}

// A uuid's length and a mix of its bytes: a process's GPU is looked up by
// this key, and whole texts are compared only where the keys agree. Uuids
// share long prefixes, so plain string comparisons would walk far into every
// one of them.
struct text_key {
    size_t len;
    unsigned long long mix;
};

// The key of a uuid field (size bytes, a multiple of 8, terminated within):
// read a word at a time, the bytes from the terminator on left out.
template <size_t N> static text_key key_of(const char (&s)[N]) {
    static_assert(N % 8 == 0, "uuid fields are read in whole words");
    constexpr unsigned long long MUL = 0x9E3779B97F4A7C15ULL; // odd: every word changes the mix
    unsigned long long h = 0;
    for (size_t i = 0; i < N; i += 8) {
        unsigned long long w = load_word(s + i), zeros = zero_bytes(w);
        if (zeros) {
            int text_bytes = first_mark(zeros);
            w &= text_bytes ? ~0ULL >> (64 - 8 * text_bytes) : 0;
            h = (h ^ w) * MUL;
            size_t len = i + static_cast<size_t>(text_bytes);
            h ^= len;
            return {len, h ^ (h >> 29)};
        }
        h = (h ^ w) * MUL;
    }
    return {N, h}; // not reached: the field is terminated
}

// Equal texts of n bytes, compared a word at a time.
static bool same_bytes(const char *a, const char *b, size_t n) {
    size_t i = 0;
    for (; i + 8 <= n; i += 8)
        if (load_word(a + i) != load_word(b + i))
            return false;
    for (; i < n; ++i)
        if (a[i] != b[i])
            return false;
    return true;
}

// The GPUs' uuids by key, in a small open-addressed table, so that a
// process's GPU is found in a probe or two. Only the first GPU of a uuid is
// entered: it is the one a process names.
struct gpu_table {
    static constexpr int SLOTS = 2 * MAX_GPUS; // a power of two, never more than half full
    text_key key[SLOTS];
    int gpu[SLOTS]; // array position in the snapshot, -1 for an empty slot
};

// The slot holding the uuid, or the empty slot where it belongs.
template <size_t N>
static int find_slot(const gpu_table &t, const gpu_snapshot *snap, const text_key &k, const char (&uuid)[N]) {
    int slot = static_cast<int>(k.mix & (gpu_table::SLOTS - 1));
    for (; t.gpu[slot] >= 0; slot = (slot + 1) & (gpu_table::SLOTS - 1)) {
        const text_key &o = t.key[slot];
        if (o.mix == k.mix && o.len == k.len && same_bytes(snap->gpus[t.gpu[slot]].uuid, uuid, k.len))
            break;
    }
    return slot;
}

static void fill_gpu_table(gpu_table *t, const gpu_snapshot *snap) {
    for (int &g : t->gpu)
        g = -1;
    for (int i = 0; i < snap->gpu_count; ++i) {
        if (!snap->gpus[i].uuid[0])
            continue;
        text_key k = key_of(snap->gpus[i].uuid);
        int slot = find_slot(*t, snap, k, snap->gpus[i].uuid);
        if (t->gpu[slot] < 0) {
            t->key[slot] = k;
            t->gpu[slot] = i;
        }
    }
}

// "index" of the first GPU whose uuid equals the process's, or -1.
static int gpu_index_of(const gpu_table &t, const gpu_snapshot *snap, const char (&gpu_uuid)[UUID_SIZE]) {
    if (!gpu_uuid[0])
        return -1;
    int slot = find_slot(t, snap, key_of(gpu_uuid), gpu_uuid);
    return t.gpu[slot] < 0 ? -1 : snap->gpus[t.gpu[slot]].index;
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
    put_str(stamp);
    out_lit(",\"count\":");
    out_int(snap->gpu_count);
    out_lit(",\"process_count\":");
    out_int(snap->proc_count);

    double util = 0.0, used = 0.0, total = 0.0, power = 0.0;
    int powered = 0;
    for (int i = 0; i < snap->gpu_count; ++i) {
        const gpu_info *g = &snap->gpus[i];
        util += g->util_gpu;
        used += g->mem_used_mb;
        total += g->mem_total_mb;
        if (g->has_power) {
            power += g->power_w;
            powered++;
        }
    }
    double avg = snap->gpu_count > 0 ? util / snap->gpu_count : 0.0;
    out_lit(",\"util_gpu_avg\":");
    out_fixed(finite_or_max(avg), 1);
    out_lit(",\"mem_used_mb\":");
    out_fixed(finite_or_max(used), 0);
    out_lit(",\"mem_total_mb\":");
    out_fixed(finite_or_max(total), 0);
    out_lit(",\"power_w\":");
    out_optional(powered, 1, finite_or_max(power));

    out_lit(",\"gpus\":[");
    for (int i = 0; i < snap->gpu_count; ++i) {
        const gpu_info *g = &snap->gpus[i];
        if (i)
            out_char(',');
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

    out_lit("],\"processes\":[");
    gpu_table table;
    fill_gpu_table(&table, snap);
    for (int i = 0; i < snap->proc_count; ++i) {
        const proc_info *p = &snap->procs[i];
        if (i)
            out_char(',');
        out_lit("{\"gpu_uuid\":");
        put_field(p->gpu_uuid);
        out_lit(",\"gpu_index\":");
        out_int(gpu_index_of(table, snap, p->gpu_uuid));
        out_lit(",\"pid\":");
        out_int(p->pid);
        out_lit(",\"name\":");
        put_field(p->name);
        out_lit(",\"used_mb\":");
        out_fixed(p->used_mb, 0);
        out_lit("}");
    }
    out_lit("],\"message\":");
    put_field(snap->message);
    out_lit("}\n");
    out_flush();
}

void utc_format(long long seconds, char out_stamp[UTC_STAMP_SIZE]) {
    // Calendar arithmetic instead of gmtime: glibc's gmtime loads the time
    // zone first, from the heap and with system calls, only to ignore it.
    // This is civil_from_days of Howard Hinnant's date algorithms.
    long long days = seconds / 86400, secs = seconds % 86400;
    if (secs < 0) {
        secs += 86400;
        --days;
    }
    long long z = days + 719468; // days since 0000-03-01
    long long era = (z >= 0 ? z : z - 146096) / 146097;
    long long doe = z - era * 146097;                                      // [0, 146096]
    long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365; // [0, 399]
    long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);               // [0, 365], from March 1st
    long long mp = (5 * doy + 2) / 153;                                    // March is 0
    long long year = yoe + era * 400 + (mp >= 10);
    long long fields[] = {mp < 10 ? mp + 3 : mp - 9, doy - (153 * mp + 2) / 5 + 1, secs / 3600, secs / 60 % 60,
                          secs % 60}; // month, day, hour, minute, second
    // Written by hand, as glibc's strftime writes "%Y-%m-%dT%H:%M:%SZ": the
    // year with as many digits as it has (musl's pads it to four and puts a
    // '+' before five), the other fields with two.
    char *p = out_stamp;
    if (year < 0)
        *p++ = '-';
    char digits[24];
    int n = 0;
    for (unsigned long long y = year < 0 ? 0ULL - static_cast<unsigned long long>(year) : year; n == 0 || y; y /= 10)
        digits[n++] = static_cast<char>('0' + y % 10);
    while (n)
        *p++ = digits[--n];
    const char seps[] = "--T::";
    for (int i = 0; i < 5; ++i) {
        *p++ = seps[i];
        *p++ = static_cast<char>('0' + fields[i] / 10);
        *p++ = static_cast<char>('0' + fields[i] % 10);
    }
    *p++ = 'Z';
    *p = '\0';
}

void utc_stamp(char out_stamp[UTC_STAMP_SIZE]) {
    long long now = 0;
    if (platform_time(&now))
        utc_format(now, out_stamp);
    else // written directly: some C runtimes reject day 0 in strftime
        copy_str(out_stamp, UTC_STAMP_SIZE, "1900-01-00T00:00:00Z");
}

static void json_info(const char *stamp) {
    out_lit(JSON_HEADER_BLOCK);
    out_lit("{\"ok\":true,\"action\":\"info\",\"plugin\":\"plugin_vistrel\",\"version\":\"");
    out_text(PLUGIN_VERSION);
    out_lit("\",\"platform\":");
    put_str(platform_name());
    out_lit(",\"pid\":");
    out_int(platform_pid());
    out_lit(",\"utc\":");
    put_str(stamp);
    out_lit(",\"node_auth\":");
    out_bool(env_nonempty("BOT_PASSWORD") != nullptr);
    out_lit(",\"supported\":[\"metrics\",\"info\"],\"probes\":[\"nvidia-smi\",\"rocm-smi\"],"
            "\"mock_hook\":\"VISTREL_MOCK_CSV\",\"max_gpus\":");
    out_int(MAX_GPUS);
    out_lit(",\"zero_network\":true}\n");
    out_flush();
}

int mode_json(const char *query) {
    char action[64] = "";
    if (query)
        get_query_val(query, "action", action, sizeof action);
    if (!action[0])
        copy_str(action, sizeof action, "metrics");
    bool info = strcmp(action, "info") == 0;
    if (!info && strcmp(action, "metrics") != 0) {
        out_lit(JSON_HEADER_BLOCK);
        out_lit("{\"ok\":false,\"error\":\"unknown_action\",\"supported\":[\"metrics\",\"info\"],\"requested\":");
        put_str(action);
        out_lit("}\n");
        out_flush();
        return 0;
    }
    char stamp[UTC_STAMP_SIZE];
    utc_stamp(stamp);
    if (info) {
        json_info(stamp);
        return 0;
    }
    // Static storage: off small stacks, and all zero, as collect_snapshot
    // wants it; this is its only use in the process.
    static gpu_snapshot snap;
    collect_snapshot(&snap);
    json_metrics(&snap, stamp);
    return 0;
}
