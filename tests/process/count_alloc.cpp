// Linked into a test build of the plugin (build/alloc/plugin_vistrel) with
// -Wl,--wrap for main and the allocation functions: every call to them, from
// the program, libstdc++ or the C library, passes through here. Counting
// starts when main starts (the C library's own start-up may allocate) and
// the tally is appended to the file named by VISTREL_ALLOC_LOG when the
// process ends, as one line:
//   allocations N bytes B callers ADDR ADDR ...
// with the return addresses of the first few allocating calls (resolve them
// with addr2line -f -C -e build/alloc/plugin_vistrel ADDR).
// With VISTREL_ALLOC_PROBE set, main itself first allocates once through the
// C library (strdup), so a test can show that such calls are seen.
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>

// The names below are fixed by the linker's --wrap and the C library.
// NOLINTBEGIN(bugprone-reserved-identifier)
extern "C" {
void *__real_malloc(size_t n);
void *__real_calloc(size_t n, size_t size);
void *__real_realloc(void *p, size_t n);
void *__real_aligned_alloc(size_t align, size_t n);
void *__real_memalign(size_t align, size_t n);
int __real_posix_memalign(void **p, size_t align, size_t n);
int __real_main(int argc, char **argv, char **envp);
}

namespace {

constexpr int MAX_CALLERS = 8;
bool counting = false;
unsigned long allocations = 0;
unsigned long long bytes = 0;
void *callers[MAX_CALLERS];
int caller_count = 0;

void note(void *caller, size_t n) {
    if (!counting)
        return;
    ++allocations;
    bytes += n;
    if (caller_count < MAX_CALLERS)
        callers[caller_count++] = caller;
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
    const char *path = std::getenv("VISTREL_ALLOC_LOG");
    if (!path)
        return;
    char line[64 + MAX_CALLERS * 24];
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
    note(__builtin_return_address(0), n);
    return __real_malloc(n);
}

void *__wrap_calloc(size_t n, size_t size) {
    note(__builtin_return_address(0), n * size);
    return __real_calloc(n, size);
}

void *__wrap_realloc(void *p, size_t n) {
    note(__builtin_return_address(0), n);
    return __real_realloc(p, n);
}

void *__wrap_aligned_alloc(size_t align, size_t n) {
    note(__builtin_return_address(0), n);
    return __real_aligned_alloc(align, n);
}

void *__wrap_memalign(size_t align, size_t n) {
    note(__builtin_return_address(0), n);
    return __real_memalign(align, n);
}

int __wrap_posix_memalign(void **p, size_t align, size_t n) {
    note(__builtin_return_address(0), n);
    return __real_posix_memalign(p, align, n);
}

int __wrap_main(int argc, char **argv, char **envp) {
    std::atexit(report);
    counting = true;
    if (std::getenv("VISTREL_ALLOC_PROBE"))
        std::free(strdup("probe"));
    return __real_main(argc, argv, envp);
}
}
// NOLINTEND(bugprone-reserved-identifier)
