// Linked into a test build of the plugin (build/alloc/plugin_vistrel) with
// -Wl,--wrap for main and the allocation functions: every call to them, from
// the program or the C library, passes through here. musl's own code calls
// its allocator under the names __libc_malloc, __libc_calloc and
// __libc_realloc as well, so those are wrapped too; glibc has them as well.
// One allocation that passes through several wrapped entries (musl's calloc
// calls malloc) counts once. Counting starts when main starts (the C
// library's own start-up may allocate) and the tally is appended to the file
// named by VISTREL_ALLOC_LOG when the process ends, as one line:
//   allocations N bytes B callers ADDR ADDR ...
// with the return addresses of the first few allocating calls (resolve them
// with addr2line -f -C -e build/alloc/plugin_vistrel ADDR).
// VISTREL_ALLOC_PROBE makes main itself first allocate through the C
// library, so a test can show that such calls are seen: "strdup" through the
// public malloc, "spawn" through posix_spawn_file_actions_addclose, which
// musl serves from __libc_malloc.
// Compiled like the program, against the release's C library: C headers only.
#include <fcntl.h>
#include <spawn.h>
#include <stddef.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

// The names below are fixed by the linker's --wrap and the C library.
// NOLINTBEGIN(bugprone-reserved-identifier)
extern "C" {
void *__real_malloc(size_t n);
void *__real_calloc(size_t n, size_t size);
void *__real_realloc(void *p, size_t n);
void *__real_aligned_alloc(size_t align, size_t n);
void *__real_memalign(size_t align, size_t n);
int __real_posix_memalign(void **p, size_t align, size_t n);
void *__real___libc_malloc(size_t n);
void *__real___libc_calloc(size_t n, size_t size);
void *__real___libc_realloc(void *p, size_t n);
int __real_main(int argc, char **argv, char **envp);
}

namespace {

constexpr int MAX_CALLERS = 8;
bool counting = false;
unsigned long allocations = 0;
unsigned long long bytes = 0;
void *callers[MAX_CALLERS];
int caller_count = 0;
int depth = 0; // wrapped calls in progress: only the outermost one counts

void note(void *caller, size_t n) {
    if (!counting || depth > 1)
        return;
    ++allocations;
    bytes += n;
    if (caller_count < MAX_CALLERS)
        callers[caller_count++] = caller;
}

// Counts the call unless a wrapped call is already in progress, then makes it.
template <typename F> auto counted(void *caller, size_t n, F call) {
    ++depth;
    note(caller, n);
    auto result = call();
    --depth;
    return result;
}

// Formatting by hand: stdio could itself allocate while we report.
char *put_num(char *p, unsigned long long v, int base) {
    char tmp[32];
    int n = 0;
    do {
        tmp[n++] = "0123456789abcdef"[v % static_cast<unsigned>(base)];
        v /= static_cast<unsigned>(base);
    } while (v);
    while (n)
        *p++ = tmp[--n];
    return p;
}

char *put_str(char *p, const char *s) {
    while (*s)
        *p++ = *s++;
    return p;
}

void report() {
    counting = false;
    const char *path = getenv("VISTREL_ALLOC_LOG");
    if (!path)
        return;
    char line[64 + MAX_CALLERS * 24] = {};
    char *p = put_str(line, "allocations ");
    p = put_num(p, allocations, 10);
    p = put_str(p, " bytes ");
    p = put_num(p, bytes, 10);
    p = put_str(p, " callers");
    for (int i = 0; i < caller_count; ++i) {
        p = put_str(p, " 0x");
        p = put_num(p, reinterpret_cast<unsigned long long>(callers[i]), 16);
    }
    *p++ = '\n';
    int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd >= 0) {
        ssize_t w = write(fd, line, static_cast<size_t>(p - line));
        (void)w;
        close(fd);
    }
}

} // namespace

extern "C" {

void *__wrap_malloc(size_t n) {
    return counted(__builtin_return_address(0), n, [&] { return __real_malloc(n); });
}

void *__wrap_calloc(size_t n, size_t size) {
    return counted(__builtin_return_address(0), n * size, [&] { return __real_calloc(n, size); });
}

void *__wrap_realloc(void *p, size_t n) {
    return counted(__builtin_return_address(0), n, [&] { return __real_realloc(p, n); });
}

void *__wrap_aligned_alloc(size_t align, size_t n) {
    return counted(__builtin_return_address(0), n, [&] { return __real_aligned_alloc(align, n); });
}

void *__wrap_memalign(size_t align, size_t n) {
    return counted(__builtin_return_address(0), n, [&] { return __real_memalign(align, n); });
}

int __wrap_posix_memalign(void **p, size_t align, size_t n) {
    return counted(__builtin_return_address(0), n, [&] { return __real_posix_memalign(p, align, n); });
}

void *__wrap___libc_malloc(size_t n) {
    return counted(__builtin_return_address(0), n, [&] { return __real___libc_malloc(n); });
}

void *__wrap___libc_calloc(size_t n, size_t size) {
    return counted(__builtin_return_address(0), n * size, [&] { return __real___libc_calloc(n, size); });
}

void *__wrap___libc_realloc(void *p, size_t n) {
    return counted(__builtin_return_address(0), n, [&] { return __real___libc_realloc(p, n); });
}

int __wrap_main(int argc, char **argv, char **envp) {
    atexit(report);
    counting = true;
    if (const char *probe = getenv("VISTREL_ALLOC_PROBE")) {
        if (strcmp(probe, "strdup") == 0)
            free(strdup("probe"));
        if (strcmp(probe, "spawn") == 0) {
            posix_spawn_file_actions_t actions;
            posix_spawn_file_actions_init(&actions);
            posix_spawn_file_actions_addclose(&actions, 3);
            posix_spawn_file_actions_destroy(&actions);
        }
    }
    return __real_main(argc, argv, envp);
}
}
// NOLINTEND(bugprone-reserved-identifier)
