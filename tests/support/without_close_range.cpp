// Runs a program where close_range does not exist, as on a kernel before
// 5.9 or in a sandbox that filters it: installs a seccomp filter that
// answers ENOSYS for that system call, checks that it does, then execs the
// program with the given arguments in place.
//
//   without_close_range PROGRAM [ARG...]
#include <errno.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#ifndef SYS_close_range
#define SYS_close_range 436
#endif

int main(int argc, char **argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: %s PROGRAM [ARG...]\n", argv[0]);
        return 2;
    }
    // Another architecture's system call numbers mean something else: this
    // filter is for x86-64 and lets every other one be refused outright.
    sock_filter code[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_close_range, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog prog = {static_cast<unsigned short>(sizeof code / sizeof code[0]), code};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog) != 0) {
        fprintf(stderr, "without_close_range: seccomp: %s\n", strerror(errno));
        return 125;
    }
    // A descriptor number no process has: a close_range that still ran
    // would succeed on it.
    if (syscall(SYS_close_range, 1u << 30, ~0U, 0) != -1 || errno != ENOSYS) {
        fprintf(stderr, "without_close_range: close_range still answers\n");
        return 125;
    }
    execv(argv[1], argv + 1);
    fprintf(stderr, "without_close_range: %s: %s\n", argv[1], strerror(errno));
    return 126;
}
