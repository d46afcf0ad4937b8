// The text helpers of text.h.
#include "text.h"

#include <errno.h>
#include <limits.h>
#include <math.h>
#include <stddef.h>
#include <stdlib.h>
#include <string.h>

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
// longer digit runs, no digit at all. A document holds hundreds of numbers,
// and this is much cheaper than musl's strtod (bench/results/ counts it).
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

int read_int(const char *s) {
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

void copy_span(char *dst, int size, const char *src, int len) {
    int n = len < size - 1 ? len : size - 1;
    if (len > n) {
        // The character that holds the byte at the cut starts at most three
        // bytes before it; it stays only when it ends before the cut.
        int start = n;
        while (start > 0 && n - start < 3 && (static_cast<unsigned char>(src[start]) & 0xC0) == 0x80)
            --start;
        if (start < n && start + utf8_length(src + start) > n)
            n = start;
    }
    memcpy(dst, src, static_cast<size_t>(n));
    dst[n] = '\0';
}

void copy_str(char *dst, int size, const char *src) {
    if (!src) {
        dst[0] = '\0';
        return;
    }
    copy_span(dst, size, src, static_cast<int>(strnlen(src, static_cast<size_t>(size))));
}

text_out text_into(char *buf, int size) {
    buf[0] = '\0';
    return text_out{buf, size, 0, false};
}

void add_span(text_out *o, const char *s, int n) {
    if (o->full)
        return;
    int room = o->size - 1 - o->len;
    copy_span(o->buf + o->len, room + 1, s, n);
    if (n > room) {
        o->full = true;
        o->len += static_cast<int>(strlen(o->buf + o->len));
    } else {
        o->len += n;
    }
}

void add_str(text_out *o, const char *s) { add_span(o, s, static_cast<int>(strlen(s))); }

void add_uint(text_out *o, unsigned long v, int base) {
    char digits[24];
    int n = sizeof digits;
    do {
        digits[--n] = "0123456789ABCDEF"[v % static_cast<unsigned long>(base)];
        v /= static_cast<unsigned long>(base);
    } while (v);
    add_span(o, digits + n, static_cast<int>(sizeof digits) - n);
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
