// Captures what a function writes to standard output: through the output
// unit, whose buffer is flushed at the end as the request's end flushes it,
// or through stdio.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <string>

#include "output.h"

template <typename F> std::string capture_stdout(F fn) {
    std::fflush(stdout);
    std::FILE *tmp = std::tmpfile();
    int saved = dup(1);
    dup2(fileno(tmp), 1);
    fn();
    out_flush();
    std::fflush(stdout);
    dup2(saved, 1);
    close(saved);
    std::string text;
    std::rewind(tmp);
    char buf[4096];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, tmp)) > 0;)
        text.append(buf, n);
    std::fclose(tmp);
    return text;
}
