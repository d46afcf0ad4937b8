/* The floor with no C library at all: floor.c's work (write BYTES bytes to
 * standard output, first running each COMMAND through /bin/sh -c and
 * reading its output away) done with raw Linux system calls from _start.
 * Nothing runs before it and nothing is set up, so it is the least that
 * starting a process that writes those bytes can cost: exec, page faults,
 * the writes, exit. x86-64 Linux only.
 *
 *   floor_nolibc BYTES [COMMAND...]
 *
 * Exits 1 when a command cannot be run or does not exit with status 0, 2
 * without BYTES. Built with -nostdlib -ffreestanding (mk/bench.mk). */

enum { SYS_READ = 0, SYS_WRITE = 1, SYS_CLOSE = 3, SYS_PIPE = 22, SYS_DUP2 = 33, SYS_FORK = 57,
       SYS_EXECVE = 59, SYS_EXIT = 60, SYS_WAIT4 = 61 };

static long sys3(long n, long a, long b, long c) {
    long r;
    __asm__ volatile("syscall" : "=a"(r) : "a"(n), "D"(a), "S"(b), "d"(c) : "rcx", "r11", "memory");
    return r;
}

static long sys4(long n, long a, long b, long c, long d) {
    long r;
    register long r10 __asm__("r10") = d;
    __asm__ volatile("syscall" : "=a"(r) : "a"(n), "D"(a), "S"(b), "d"(c), "r"(r10) : "rcx", "r11", "memory");
    return r;
}

static __attribute__((noreturn)) void sys_exit(int status) {
    for (;;)
        sys3(SYS_EXIT, status, 0, 0);
}

static char zeros[1 << 16]; /* never written: the kernel maps the zero page */
static char sink[16384];

static int run(char *cmd, char **envp) {
    int fds[2];
    if (sys3(SYS_PIPE, (long)fds, 0, 0) != 0)
        return 0;
    long pid = sys3(SYS_FORK, 0, 0, 0);
    if (pid == 0) {
        char sh[] = "/bin/sh", name[] = "sh", dash_c[] = "-c";
        char *argv[] = {name, dash_c, cmd, 0};
        sys3(SYS_DUP2, fds[1], 1, 0);
        sys3(SYS_CLOSE, fds[0], 0, 0);
        sys3(SYS_CLOSE, fds[1], 0, 0);
        sys3(SYS_EXECVE, (long)sh, (long)argv, (long)envp);
        sys_exit(127);
    }
    sys3(SYS_CLOSE, fds[1], 0, 0);
    if (pid < 0) {
        sys3(SYS_CLOSE, fds[0], 0, 0);
        return 0;
    }
    while (sys3(SYS_READ, fds[0], (long)sink, sizeof sink) > 0) {
    }
    sys3(SYS_CLOSE, fds[0], 0, 0);
    int status = 0;
    if (sys4(SYS_WAIT4, pid, (long)&status, 0, 0) != pid)
        return 0;
    return (status & 0xffff) == 0; /* exited, with status 0 */
}

/* argc, the arguments and the environment as the kernel left them on the stack. */
__attribute__((used, noreturn)) void floor_start(long *sp) {
    int argc = (int)sp[0];
    char **argv = (char **)(sp + 1);
    char **envp = argv + argc + 1;
    if (argc < 2)
        sys_exit(2);
    long left = 0;
    for (const char *p = argv[1]; *p >= '0' && *p <= '9'; ++p)
        left = left * 10 + (*p - '0');
    for (int i = 2; i < argc; ++i)
        if (!run(argv[i], envp))
            sys_exit(1);
    while (left > 0) {
        long n = sys3(SYS_WRITE, 1, (long)zeros, left < (long)sizeof zeros ? left : (long)sizeof zeros);
        if (n <= 0)
            sys_exit(1);
        left -= n;
    }
    sys_exit(0);
}

__asm__(".text\n"
        ".global _start\n"
        "_start:\n"
        "  xor %rbp, %rbp\n"
        "  mov %rsp, %rdi\n"
        "  and $-16, %rsp\n"
        "  call floor_start\n"
        "  hlt\n");
