// The response's bytes on their way to standard output: every response is
// written through here. A metrics document is thousands of small pieces;
// they are gathered in a static buffer and leave in one write, so each piece
// costs a copy instead of a stdio call. The buffer holds as much as the
// pipe to the server does, so a response of that size leaves in one write.
#pragma once

#include <stddef.h>
#include <string.h>

constexpr size_t OUT_BUFFER_SIZE = 65536;

// Page-aligned, so that a short response and the count share one page.
struct alignas(4096) out_buffer {
    size_t len;
    char bytes[OUT_BUFFER_SIZE];
};

extern out_buffer out_pending;

// Hands every gathered byte to standard output (platform_write). Called
// before the process ends, on every way it ends.
void out_flush();

// Room for n more bytes (at most OUT_BUFFER_SIZE): flushes first when the
// buffer holds too much to add them.
inline char *out_room(size_t n) {
    if (n > OUT_BUFFER_SIZE - out_pending.len)
        out_flush();
    return out_pending.bytes + out_pending.len;
}

// Takes the bytes written at out_room's pointer up to end.
inline void out_commit(const char *end) { out_pending.len = static_cast<size_t>(end - out_pending.bytes); }

void out_large(const char *s, size_t n);

inline void out_bytes(const char *s, size_t n) {
    if (n > OUT_BUFFER_SIZE - out_pending.len) {
        out_large(s, n);
        return;
    }
    memcpy(out_pending.bytes + out_pending.len, s, n);
    out_pending.len += n;
}

inline void out_char(char c) {
    char *p = out_room(1);
    *p = c;
    out_commit(p + 1);
}

// A text whose length the compiler knows.
template <size_t N> inline void out_lit(const char (&text)[N]) { out_bytes(text, N - 1); }

inline void out_text(const char *s) { out_bytes(s, strlen(s)); }
