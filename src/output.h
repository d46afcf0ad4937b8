// The response's bytes on their way to standard output. A metrics document
// is thousands of small pieces; they are gathered here and handed to stdio in
// large blocks, so each piece costs a copy instead of a stdio call.
#pragma once

#include <stddef.h>
#include <string.h>

constexpr size_t OUT_BUFFER_SIZE = 16384;

struct out_buffer {
    size_t len;
    char bytes[OUT_BUFFER_SIZE];
};

extern out_buffer out_pending;

// Hands every gathered byte to standard output. Whatever writes through this
// unit calls it before it returns to code that writes through stdio or ends
// the process.
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
