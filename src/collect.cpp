// Telemetry collection. Sections in the order a request meets them: text
// helpers, line reading, CSV fixture, NVIDIA, AMD, then the chain.
#include "collect.h"

#include <errno.h>
#include <limits.h>
#include <math.h>
#include <stddef.h>
#include <stdlib.h>
#include <string.h>

#include "words.h"

// ---- text helpers ----------------------------------------------------------

// The outcome "no source": what a snapshot says before and when none succeeded.
static void set_no_source(gpu_snapshot *snap) {
    copy_str(snap->source, SOURCE_SIZE, "none");
    snap->available = 0;
    // A vendor command that could not even be started tells nothing of the
    // GPUs: the user is told why instead of "no GPU".
    const char *failure = platform_start_failure();
    copy_str(snap->message, MESSAGE_SIZE, failure ? failure : NO_GPU_MESSAGE);
}

void snapshot_init(gpu_snapshot *snap) {
    *snap = gpu_snapshot{};
    set_no_source(snap);
}

static bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

char *trim(char *s) {
    if (!s)
        return nullptr;
    while (is_blank(*s))
        ++s;
    char *end = s + strlen(s);
    while (end > s && is_blank(end[-1]))
        --end;
    *end = '\0';
    return s;
}

static bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Reads a plain decimal at the start of s ("61.4", "-3", "700.00", ".5"), as
// strtod would, when that can be done exactly: the digits without the point
// make an integer below 2^53 and at most 22 of them follow the point. Both
// that integer and the power of ten are then doubles without error, and one
// division rounds their quotient correctly, as strtod rounds the decimal
// (Clinger's fast path). Returns the end of the number, or NULL for anything
// else, which strtod then reads: exponents, hexadecimal, "inf" and "nan",
// longer digit runs, no digit at all.
static const char *read_plain_decimal(const char *s, double *out) {
    static constexpr double POW10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                       1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    constexpr ptrdiff_t MAX_SCALE = sizeof POW10 / sizeof POW10[0] - 1;
    constexpr ptrdiff_t MAX_DIGITS = 19; // any run of this many fits in 64 bits
    const char *p = s;
    bool negative = *p == '-';
    if (*p == '-' || *p == '+')
        ++p;
    const char *start = p;
    while (*p == '0') // leading zeros: digits, but none of the integer's
        ++p;
    unsigned long long m = 0;
    const char *first = p;
    for (; is_digit(*p); ++p)
        m = m * 10 + static_cast<unsigned>(*p - '0');
    ptrdiff_t digits = p - first, scale = 0;
    bool point = *p == '.';
    if (point) {
        const char *fraction = ++p;
        if (m == 0)
            while (*p == '0')
                ++p;
        first = p;
        // Past MAX_DIGITS m wraps, and is then not used.
        for (; is_digit(*p); ++p)
            m = m * 10 + static_cast<unsigned>(*p - '0');
        digits += p - first;
        scale = p - fraction;
    }
    bool any_digit = p - start > (point ? 1 : 0);
    // An exponent or a hexadecimal prefix would go on; strtod reads those.
    if (!any_digit || *p == 'e' || *p == 'E' || *p == 'x' || *p == 'X' || digits > MAX_DIGITS || m >= (1ULL << 53) ||
        scale > MAX_SCALE)
        return nullptr;
    double v = static_cast<double>(m) / POW10[scale];
    *out = negative ? -v : v;
    return p;
}

// "N/A" or "n/a" in s from the given position on: a '/' between the two letters.
static bool says_not_available(const char *s, const char *from) {
    for (const char *p = from; *p; ++p)
        if (*p == '/' && p > s && ((p[-1] == 'N' && p[1] == 'A') || (p[-1] == 'n' && p[1] == 'a')))
            return true;
    return false;
}

int parse_num(const char *s, double *out) {
    if (!s || !*s)
        return 0;
    double v = 0.0;
    const char *rest = read_plain_decimal(s, &v);
    // A plain number holds no letter, so only what follows it can say "N/A".
    if (says_not_available(s, rest ? rest : s))
        return 0;
    if (!rest) {
        errno = 0;
        char *end = nullptr;
        v = strtod(s, &end);
        // strtod also reads "inf" and "nan"; such words are no JSON number.
        if (end == s || errno != 0 || !isfinite(v))
            return 0;
    }
    *out = v;
    return 1;
}

int utf8_length(const char *s) {
    const unsigned char *u = reinterpret_cast<const unsigned char *>(s);
    auto in = [](unsigned char c, int lo, int hi) { return c >= lo && c <= hi; };
    unsigned char c = u[0];
    if (c < 0x80)
        return 1;
    // The second byte's range depends on the first: that is what rules out
    // overlong forms, surrogates and values above U+10FFFF.
    int len = 0, lo = 0x80, hi = 0xBF;
    if (in(c, 0xC2, 0xDF))
        len = 2;
    else if (in(c, 0xE0, 0xEF))
        len = 3, lo = c == 0xE0 ? 0xA0 : 0x80, hi = c == 0xED ? 0x9F : 0xBF;
    else if (in(c, 0xF0, 0xF4))
        len = 4, lo = c == 0xF0 ? 0x90 : 0x80, hi = c == 0xF4 ? 0x8F : 0xBF;
    else
        return 0;
    if (!in(u[1], lo, hi))
        return 0;
    for (int i = 2; i < len; ++i)
        if (!in(u[i], 0x80, 0xBF))
            return 0;
    return len;
}

// Copies the n bytes at src (n below dst's size) and terminates them; cut
// says that the text goes on after them. A cut inside a character leaves
// that character out whole: its first bytes alone would be no text at all.
static void copy_cut(char *dst, const char *src, int n, bool cut) {
    if (cut) {
        int start = n;
        while (start > 0 && n - start < 3 && (static_cast<unsigned char>(src[start]) & 0xC0) == 0x80)
            --start;
        if (start < n && start + utf8_length(src + start) > n)
            n = start;
    }
    copy_bytes(dst, src, static_cast<size_t>(n));
    dst[n] = '\0';
}

void copy_str(char *dst, int size, const char *src) {
    if (!dst)
        return;
    if (!src) {
        dst[0] = '\0';
        return;
    }
    int n = static_cast<int>(strnlen(src, static_cast<size_t>(size - 1)));
    copy_cut(dst, src, n, src[n] != '\0');
}

// Starts the next entry, zeroed as a whole and counted from now on; NULL
// when the list is full, and the line that wanted it is then dropped whole.
static gpu_info *add_gpu(gpu_snapshot *snap) {
    if (snap->gpu_count >= MAX_GPUS)
        return nullptr;
    gpu_info *g = &snap->gpus[snap->gpu_count++];
    *g = gpu_info{};
    return g;
}

static proc_info *add_proc(gpu_snapshot *snap) {
    if (snap->proc_count >= MAX_PROCS)
        return nullptr;
    proc_info *p = &snap->procs[snap->proc_count++];
    *p = proc_info{};
    return p;
}

// A decimal integer as atoi reads it (blanks, sign, digits up to the first
// non-digit, none gives 0), but saturating instead of overflowing.
static int read_int(const char *s) {
    while (*s == ' ' || (*s >= '\t' && *s <= '\r'))
        ++s;
    bool neg = *s == '-';
    if (*s == '-' || *s == '+')
        ++s;
    long long v = 0;
    for (; *s >= '0' && *s <= '9'; ++s)
        if (v <= INT_MAX)
            v = v * 10 + (*s - '0');
    if (neg)
        v = -v;
    return v > INT_MAX ? INT_MAX : v < INT_MIN ? INT_MIN : static_cast<int>(v);
}

// ---- line reading ----------------------------------------------------------

namespace {

// fgets over a file or a command's output, through the chunk buffer below.
struct line_reader {
    platform_stream stream;
    long pos; // in read_chunk
    long len;
};

// What a line feeder hands its lines to.
struct feed_target {
    line_cb cb;
    void *ctx;
};

} // namespace

// One line of input at a time, in the one buffer all readers share, read
// through one chunk buffer: streams are read one after the other. Static
// storage: a request touches only the pages its input reaches.
static char line_buf[LINE_BUF_SIZE];
static char read_chunk[16384];

// Whether w may hold a line feed or a zero byte: never false when it does.
static bool maybe_lf_or_zero(unsigned long long w) {
    unsigned long long x = w ^ (WORD_ONES * '\n');
    return (((x - WORD_ONES) & ~x) | ((w - WORD_ONES) & ~w)) & WORD_HIGHS;
}

// Reads the next piece as fgets would: up to the first line feed, at most
// size-1 bytes, terminated. Returns its length, 0 at the end; *text_len is
// the length of its text, which ends at its first zero byte if it holds one.
// Copies eight bytes at a time, looking for the line feed and a zero byte
// in each word on the way: one pass over the input.
static long next_piece(line_reader *r, char *out, int size, long *text_len) {
    long n = 0, zero = -1; // where the first zero byte is, once seen
    bool line_end = false;
    while (n < size - 1 && !line_end) {
        if (r->pos == r->len) {
            long got = platform_read(&r->stream, read_chunk, sizeof read_chunk);
            if (got <= 0)
                break;
            r->pos = 0;
            r->len = got;
        }
        const char *from = read_chunk + r->pos;
        char *to = out + n;
        long take = r->len - r->pos;
        if (take > size - 1 - n)
            take = size - 1 - n;
        long i = 0;
        for (; i + 8 <= take; i += 8) {
            unsigned long long w = load_word(from + i);
            store_word(to + i, w); // bytes past a line feed land beyond the piece's end
            if (!maybe_lf_or_zero(w))
                continue;
            unsigned long long lf = bytes_equal(w, '\n'), zeros = zero_bytes(w);
            if (lf) {
                int at = first_mark(lf);
                if (zeros && zero < 0 && first_mark(zeros) < at)
                    zero = n + i + first_mark(zeros);
                i += at + 1;
                line_end = true;
                break;
            }
            if (zeros && zero < 0)
                zero = n + i + first_mark(zeros);
        }
        for (; !line_end && i < take; ++i) {
            to[i] = from[i];
            if (from[i] == '\0' && zero < 0)
                zero = n + i;
            line_end = from[i] == '\n';
        }
        n += i;
        r->pos += i;
    }
    out[n] = '\0';
    *text_len = zero < 0 ? n : zero;
    return n;
}

// Removes every LF and CR at the end of the text (len bytes), nothing else;
// returns the length left.
static long strip_line_end(char *s, long len) {
    while (len > 0 && (s[len - 1] == '\n' || s[len - 1] == '\r'))
        s[--len] = '\0';
    return len;
}

// The one reading loop: every piece of the opened stream, its line end
// removed, goes to take with its length, and take says whether the line
// counted; then the stream is closed. 1 when any line counted. The readers
// differ only in which lines count and where they go.
static int read_lines(line_reader *r, int (*take)(char *line, long len, void *ctx), void *ctx) {
    int counted = 0;
    for (long text_len; next_piece(r, line_buf, LINE_BUF_SIZE, &text_len) > 0;)
        counted |= take(line_buf, strip_line_end(line_buf, text_len), ctx);
    platform_close(&r->stream);
    return counted;
}

// The feeders' rule: empty and '#' lines are skipped, the rest handed on.
static int feed_line(char *line, long, void *target) {
    if (line[0] == '\0' || line[0] == '#')
        return 0;
    const feed_target *t = static_cast<const feed_target *>(target);
    t->cb(line, t->ctx);
    return 1;
}

int run_cmd_lines(const char *cmd, line_cb cb, void *ctx) {
    line_reader r{};
    if (!platform_open_cmd(&r.stream, cmd, VENDOR_TOOL_TIMEOUT_MS))
        return 0;
    feed_target t{cb, ctx};
    return read_lines(&r, feed_line, &t);
}

int feed_file_lines(const char *path, line_cb cb, void *ctx) {
    line_reader r{};
    if (!platform_open_file(&r.stream, path, VENDOR_TOOL_TIMEOUT_MS))
        return 0;
    feed_target t{cb, ctx};
    return read_lines(&r, feed_line, &t);
}

// ---- GPU and process records -------------------------------------------------

namespace {

// A field of a line, trimmed and terminated in place.
struct field {
    char *text;
    int len;
};

} // namespace

static void copy_field(char *dst, int size, const field &f) {
    copy_cut(dst, f.text, f.len < size - 1 ? f.len : size - 1, f.len > size - 1);
}

// The field is the given word.
template <int N> static bool is_word(const field &f, const char (&word)[N]) {
    return f.len == N - 1 && memcmp(f.text, word, N - 1) == 0;
}

// index, uuid, name, utilisation %, memory used MiB, memory total MiB,
// temperature C, power W, power limit W: the column order of both the CSV
// fixture's GPU rows and nvidia-smi's GPU query, from f[0] on, trimmed.
static void fill_gpu(gpu_info *g, const field *f) {
    g->index = read_int(f[0].text);
    copy_field(g->uuid, UUID_SIZE, f[1]);
    copy_field(g->name, NAME_SIZE, f[2]);
    parse_num(f[3].text, &g->util_gpu);
    parse_num(f[4].text, &g->mem_used_mb);
    parse_num(f[5].text, &g->mem_total_mb);
    g->has_temp = parse_num(f[6].text, &g->temp_c);
    g->has_power = parse_num(f[7].text, &g->power_w);
    g->has_power_limit = parse_num(f[8].text, &g->power_limit_w);
}

// gpu uuid, pid, name, used MiB: the CSV fixture's process rows and
// nvidia-smi's compute-apps query alike.
static void fill_proc(proc_info *p, const field *f) {
    copy_field(p->gpu_uuid, UUID_SIZE, f[0]);
    p->pid = read_int(f[1].text);
    copy_field(p->name, NAME_SIZE, f[2]);
    parse_num(f[3].text, &p->used_mb);
}

// The bytes that may end a field or be trimmed from one: commas and bytes of
// at most ' ' (blanks, other control bytes, the terminator).
static unsigned long long field_marks(unsigned long long w) { return bytes_equal(w, ',') | bytes_below(w, ' ' + 1); }

// Cuts the line (len bytes, then its terminator) at commas into at most max
// fields, each trimmed as trim does; returns how many. The comma after the
// last field that can be taken is cut too; the rest of the line is ignored.
// One pass, eight bytes at a time: only the marked bytes are looked at one
// by one, and between them a field's text runs on.
static int trimmed_fields(char *line, long len, field *f, int max) {
    int n = 0;
    char *text = nullptr; // the field's first byte that is no blank, once seen
    char *last = nullptr; // just past its last byte that is no blank
    char *done = line;    // bytes before it have been taken into account
    // Takes the marked byte at m into account; true when the fields are done.
    auto visit = [&](char *m) {
        if (m > done) { // text up to m
            if (!text)
                text = done;
            last = m;
        }
        done = m + 1;
        char c = *m;
        if (c != ',' && c != '\0') {
            if (!is_blank(c)) { // another control byte: text like any other
                if (!text)
                    text = m;
                last = m + 1;
            }
            return false;
        }
        if (!text)
            text = last = m;
        f[n++] = {text, static_cast<int>(last - text)};
        *last = '\0';
        *m = '\0';
        text = last = nullptr;
        return c == '\0' || n == max;
    };
    char *end = line + len, *p = line;
    for (; end - p >= 8; p += 8)
        for (unsigned long long marks = field_marks(load_word(p)); marks; marks &= marks - 1)
            if (visit(p + first_mark(marks)))
                return n;
    for (; p < end; ++p)
        if ((*p == ',' || static_cast<unsigned char>(*p) <= ' ') && visit(p))
            return n;
    visit(end); // the terminator
    return n;
}

// ---- CSV fixture -----------------------------------------------------------

// "GPU,index,uuid,name,util,mem_used,mem_total,temp,power,limit,driver"
// "APP,gpu_uuid,pid,name,used_mb"
static void csv_row(char *line, long len, gpu_snapshot *snap) {
    field f[12];
    int n = trimmed_fields(line, len, f, 12);
    if (is_word(f[0], "GPU") && n >= 11) {
        gpu_info *g = add_gpu(snap);
        if (!g)
            return;
        fill_gpu(g, f + 1);
        if (!snap->driver[0] && f[10].len && !is_word(f[10], "-"))
            copy_field(snap->driver, DRIVER_SIZE, f[10]);
    } else if (is_word(f[0], "APP") && n >= 5) {
        if (proc_info *p = add_proc(snap))
            fill_proc(p, f + 1);
    }
}

// Unlike the feeders, a comment line counts: a fixture of comments alone
// still stands for "no GPU here". Lines are not trimmed before these tests.
static int csv_line(char *line, long len, void *snap) {
    if (line[0] == '\0')
        return 0;
    if (line[0] != '#')
        csv_row(line, len, static_cast<gpu_snapshot *>(snap));
    return 1;
}

int collect_mock_csv(gpu_snapshot *snap) {
    const char *path = env_nonempty("VISTREL_MOCK_CSV");
    line_reader r{};
    if (!path || !platform_open_file(&r.stream, path, VENDOR_TOOL_TIMEOUT_MS) || !read_lines(&r, csv_line, snap))
        return 0;
    snap->mocked = 1;
    copy_str(snap->source, SOURCE_SIZE, "mock");
    snap->available = snap->gpu_count > 0;
    if (snap->gpu_count > 0)
        copy_str(snap->message, MESSAGE_SIZE, "");
    return 1;
}

// ---- NVIDIA ----------------------------------------------------------------

// index, uuid, name, utilization.gpu, memory.used, memory.total,
// temperature.gpu, power.draw, power.limit, driver_version
void nv_gpu_line(char *line, void *ctx) {
    gpu_snapshot *snap = static_cast<nv_gpu_ctx *>(ctx)->snap;
    field f[12];
    if (trimmed_fields(line, static_cast<long>(strlen(line)), f, 12) < 10)
        return;
    gpu_info *g = add_gpu(snap);
    if (!g)
        return;
    fill_gpu(g, f);
    if (!snap->driver[0])
        copy_field(snap->driver, DRIVER_SIZE, f[9]);
}

// gpu_uuid, pid, process_name, used_memory
void nv_proc_line(char *line, void *ctx) {
    gpu_snapshot *snap = static_cast<gpu_snapshot *>(ctx);
    field f[8];
    if (trimmed_fields(line, static_cast<long>(strlen(line)), f, 8) < 4)
        return;
    if (proc_info *p = add_proc(snap))
        fill_proc(p, f);
}

// The mock file mixes both layouts: "APP," marks a compute-process line.
static int nv_mock_line(char *line, long, void *ctx) {
    char *t = trim(line);
    if (t[0] == '\0' || t[0] == '#')
        return 0;
    if (strncmp(t, "APP,", 4) == 0)
        nv_proc_line(t + 4, static_cast<nv_gpu_ctx *>(ctx)->snap);
    else
        nv_gpu_line(t, ctx);
    return 1;
}

int collect_nvidia(gpu_snapshot *snap) {
    nv_gpu_ctx ctx{snap};
    int fed;
    if (const char *mock = env_nonempty("VISTREL_MOCK_NVIDIA")) {
        snap->mocked = 1;
        line_reader r{};
        if (!platform_open_file(&r.stream, mock, VENDOR_TOOL_TIMEOUT_MS))
            return 0; // unreadable mock file: no query runs
        fed = read_lines(&r, nv_mock_line, &ctx);
    } else {
        fed = run_cmd_lines(NV_GPU_QUERY, nv_gpu_line, &ctx);
    }
    if (!fed || snap->gpu_count == 0)
        return 0;
    run_cmd_lines(NV_APPS_QUERY, nv_proc_line, snap);
    return 1;
}

// ---- AMD -------------------------------------------------------------------

namespace {

enum amd_effect { AMD_NAME, AMD_UTIL, AMD_MEM_TOTAL, AMD_MEM_USED, AMD_TEMP, AMD_POWER, AMD_POWER_LIMIT };

struct amd_property {
    const char *key_part; // as rocm-smi spells it; found anywhere in the key
    amd_effect effect;
};

// Tried in order; the first row whose text the key contains decides.
constexpr amd_property AMD_PROPERTIES[] = {
    {"Card series", AMD_NAME},
    {"Card SKU", AMD_NAME},
    {"GPU use (%)", AMD_UTIL},
    {"VRAM Total Memory (B)", AMD_MEM_TOTAL},
    {"VRAM Total Used Memory (B)", AMD_MEM_USED},
    {"Temperature (Sensor edge)", AMD_TEMP},
    {"Temperature (Sensor junction)", AMD_TEMP},
    {"Average Graphics Package Power", AMD_POWER},
    {"Current Socket Graphics Package Power", AMD_POWER},
    {"Max Graphics Package Power", AMD_POWER_LIMIT},
};

constexpr double BYTES_PER_MIB = 1048576.0;

} // namespace

// Sets a flagged value from the first line that reads; later lines are ignored.
static void set_once(int *flag, double *value, const char *text) {
    if (!*flag)
        *flag = parse_num(text, value);
}

static void amd_apply(gpu_info *g, amd_effect effect, const char *value) {
    double v = 0.0;
    switch (effect) {
    case AMD_NAME: copy_str(g->name, NAME_SIZE, value); break;
    case AMD_UTIL: parse_num(value, &g->util_gpu); break;
    case AMD_MEM_TOTAL:
        if (parse_num(value, &v))
            g->mem_total_mb = v / BYTES_PER_MIB; // bytes -> MiB
        break;
    case AMD_MEM_USED:
        if (parse_num(value, &v))
            g->mem_used_mb = v / BYTES_PER_MIB; // bytes -> MiB
        break;
    case AMD_TEMP: set_once(&g->has_temp, &g->temp_c, value); break;
    case AMD_POWER: set_once(&g->has_power, &g->power_w, value); break;
    case AMD_POWER_LIMIT: set_once(&g->has_power_limit, &g->power_limit_w, value); break;
    }
}

// "GPU[n]\t\t: key: value" -- rocm-smi prints two TABs after the bracket.
void amd_line(char *line, void *ctx) {
    gpu_snapshot *snap = static_cast<gpu_snapshot *>(ctx);
    if (strncmp(line, "GPU[", 4) != 0)
        return;
    int gpu = read_int(line + 4);
    if (gpu < 0 || gpu >= MAX_GPUS)
        return;
    char *close = strchr(line + 4, ']');
    if (!close)
        return;
    char *rest = trim(close + 1);
    if (*rest == ':')
        ++rest;
    char *colon = strrchr(rest, ':');
    if (!colon)
        return;
    *colon = '\0';
    char *key = trim(rest);
    char *value = trim(colon + 1);
    if (!*key || !*value)
        return;
    // A line about GPU n brings every GPU up to n into being.
    while (gpu >= snap->gpu_count) {
        gpu_info *g = add_gpu(snap); // never NULL: gpu is below MAX_GPUS
        g->index = snap->gpu_count - 1;
        copy_str(g->name, NAME_SIZE, "AMD GPU");
    }
    for (const amd_property &p : AMD_PROPERTIES)
        if (strstr(key, p.key_part)) {
            amd_apply(&snap->gpus[gpu], p.effect, value);
            return;
        }
}

int collect_amd(gpu_snapshot *snap) {
    if (const char *mock = env_nonempty("VISTREL_MOCK_ROCM")) {
        snap->mocked = 1;
        return feed_file_lines(mock, amd_line, snap);
    }
    return run_cmd_lines(ROCM_QUERY, amd_line, snap);
}

// ---- the chain -------------------------------------------------------------

void collect_snapshot(gpu_snapshot *snap) {
    // Written first, though they are zero: a page whose first touch is a
    // read is faulted in twice (the zero page, then its copy).
    snap->gpu_count = 0;
    set_no_source(snap);
    if (collect_mock_csv(snap))
        return;
    if (collect_nvidia(snap)) {
        copy_str(snap->source, SOURCE_SIZE, "nvidia");
        snap->available = 1;
        copy_str(snap->message, MESSAGE_SIZE, "");
        return;
    }
    if (collect_amd(snap) && snap->gpu_count > 0) {
        copy_str(snap->source, SOURCE_SIZE, "amd");
        snap->available = 1;
        copy_str(snap->message, MESSAGE_SIZE, "");
        return;
    }
    set_no_source(snap);
}
