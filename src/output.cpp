// The gathering buffer of output.h and its way out.
#include "output.h"

#include "platform.h"

alignas(4096) char out_buf[OUT_BUFFER_SIZE];
char *out_end = out_buf;

void out_flush() {
    platform_write(out_buf, static_cast<long>(out_end - out_buf));
    out_end = out_buf;
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
    memcpy(out_buf, s, n);
    out_end = out_buf + n;
}
