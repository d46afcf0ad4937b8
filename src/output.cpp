// The gathering buffer of output.h and its way out, through stdio: the
// platform layer has set standard output up (static buffer, binary mode).
#include "output.h"

#include <stdio.h>

out_buffer out_pending;

void out_flush() {
    if (out_pending.len)
        fwrite(out_pending.bytes, 1, out_pending.len, stdout);
    out_pending.len = 0;
}

// Bytes that do not fit beside what is gathered: what is gathered goes
// first, then the bytes are gathered, or handed on at once when even an
// empty buffer could not hold them.
void out_large(const char *s, size_t n) {
    out_flush();
    if (n > OUT_BUFFER_SIZE) {
        fwrite(s, 1, n, stdout);
        return;
    }
    memcpy(out_pending.bytes, s, n);
    out_pending.len = n;
}
