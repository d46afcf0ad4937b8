// Captures what a function writes to standard output: through the output
// unit, whose buffer is flushed at the end as the request's end flushes it,
// or through stdio.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "output.h"

template <typename F> std::string capture_stdout(F fn) {
    std::fflush(stdout);
    std::FILE *tmp = std::tmpfile();
    int saved = dup(1);
    // Without a place to write to, no test can tell what was written.
    if (!tmp || saved < 0 || dup2(fileno(tmp), 1) < 0)
        std::abort();
    fn();
    out_flush();
    std::fflush(stdout);
    dup2(saved, 1);
    close(saved);
    std::string text;
    if (std::fseek(tmp, 0, SEEK_SET) != 0)
        std::abort();
    char buf[4096];
    // A short read is the end of the file: no read after it.
    for (size_t n = sizeof buf; n == sizeof buf;) {
        n = std::fread(buf, 1, sizeof buf, tmp);
        text.append(buf, n);
    }
    std::fclose(tmp);
    return text;
}
