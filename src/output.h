// The response's bytes on their way to standard output: every response is
// written through here. A metrics document is thousands of small pieces;
// they are gathered in a static buffer and leave in one write, so each piece
// costs a copy instead of a stdio call. The buffer holds as much as the
// pipe to the server does, so a response of that size leaves in one write.
#pragma once

#include <stddef.h>
#include <string.h>

constexpr size_t OUT_BUFFER_SIZE = 65536;

// The gathered bytes run from out_buf to out_end. out_end has an initial
// value, so it lives among the initialized data that start-up has touched
// already; the buffer's first page is then first touched by a write, which
// faults it in once (a first read would map the zero page, and the write
// after it fault again).
extern char out_buf[OUT_BUFFER_SIZE];
extern char *out_end;

// Hands every gathered byte to standard output (platform_write). Called by
// this unit when the buffer is full, and once at the end of the request.
void out_flush();

inline size_t out_free() { return static_cast<size_t>(out_buf + OUT_BUFFER_SIZE - out_end); }

// Room for n more bytes (at most OUT_BUFFER_SIZE): flushes first when the
// buffer holds too much to add them.
inline char *out_room(size_t n) {
    if (n > out_free())
        out_flush();
    return out_end;
}

// Takes the bytes written at out_room's pointer up to end.
inline void out_commit(char *end) { out_end = end; }

void out_large(const char *s, size_t n);

inline void out_bytes(const char *s, size_t n) {
    if (n > out_free()) {
        out_large(s, n);
        return;
    }
    memcpy(out_end, s, n);
    out_end += n;
}

inline void out_char(char c) {
    char *p = out_room(1);
    *p = c;
    out_commit(p + 1);
}

// A text whose length the compiler knows.
template <size_t N> inline void out_lit(const char (&text)[N]) { out_bytes(text, N - 1); }

inline void out_text(const char *s) { out_bytes(s, strlen(s)); }
