// The gathering buffer of output.h and its way out.
#include "output.h"

#include "platform.h"

out_buffer out_pending;

void out_flush() {
    platform_write(out_pending.bytes, static_cast<long>(out_pending.len));
    out_pending.len = 0;
}

// Bytes that do not fit beside what is gathered: what is gathered goes
// first, then the bytes are gathered, or written at once when even an empty
// buffer could not hold them.
void out_large(const char *s, size_t n) {
    out_flush();
    if (n > OUT_BUFFER_SIZE) {
        platform_write(s, static_cast<long>(n));
        return;
    }
    memcpy(out_pending.bytes, s, n);
    out_pending.len = n;
}
