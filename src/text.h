// Text helpers of the collection side and of the JSON writer: blank
// stripping, strict number reading, bounded copies and texts written piece
// by piece that never split a UTF-8 character, the test for one such
// character, and the text of a UTC time.
#pragma once

constexpr int UTC_STAMP_SIZE = 40;

// The four blanks: space, tab, line feed and carriage return; nothing else.
inline bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// Strips spaces, tabs, CR and LF at both ends, in place. NULL gives NULL.
char *trim(char *s);

// Reads one finite number at the start of s into *out and returns 1; returns
// 0 and leaves *out alone for NULL, empty text, text holding "N/A" or "n/a",
// no digits, a range error, or an infinite or not-a-number value.
int parse_num(const char *s, double *out);

// A decimal integer as atoi reads it (blanks, sign, digits up to the first
// non-digit, none gives 0), but saturating instead of overflowing.
int read_int(const char *s);

// Copies the len bytes at src into dst (size bytes, at least 1), cut to
// size-1 bytes and always terminated. A well-formed UTF-8 character that the
// cut would split is left out whole: its first bytes alone would be no text.
void copy_span(char *dst, int size, const char *src, int len);

// copy_span of the text src (NULL gives the empty text).
void copy_str(char *dst, int size, const char *src);

// The length in bytes of the well-formed UTF-8 character at s (1 for ASCII
// and for the terminator), or 0 when the bytes there are no such character:
// no overlong forms, no surrogates, nothing above U+10FFFF.
int utf8_length(const char *s);

// A text written piece by piece into a buffer of size bytes (at least 1):
// pieces are added whole while they fit; the first that does not is cut as
// copy_span cuts, and nothing is added after it. The buffer always holds a
// terminated text of len bytes.
struct text_out {
    char *buf;
    int size;
    int len;
    bool full;
};

text_out text_into(char *buf, int size);
void add_span(text_out *o, const char *s, int n);
void add_str(text_out *o, const char *s);
// v in decimal (base 10) or in capital hexadecimal digits (base 16).
void add_uint(text_out *o, unsigned long v, int base);

// Formats seconds since the epoch as UTC, "%Y-%m-%dT%H:%M:%SZ", into out,
// the text glibc's strftime gives for every year.
void utc_format(long long seconds, char out[UTC_STAMP_SIZE]);
