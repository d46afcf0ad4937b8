/* The floor a request is measured against: the least a process can do and
 * still give the same answer size. It writes BYTES bytes to standard output
 * and exits. Given commands, it first runs each one through /bin/sh -c, one
 * after the other, reading its output through a pipe and throwing it away,
 * as a program that asks a tool must at least do.
 *
 *   floor BYTES [COMMAND...]
 *
 * Exits 1 when a command cannot be run or does not exit with status 0, so a
 * bench whose tool rejects the command line fails instead of measuring it.
 * Built static, like the program it stands beside, against musl and against
 * glibc (mk/bench.mk). */
#define _POSIX_C_SOURCE 200809L
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

static char zeros[1 << 16]; /* never written: the kernel maps the zero page */

static int run(const char *cmd) {
    int fds[2];
    if (pipe(fds) != 0)
        return 0;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], 1);
        close(fds[0]);
        close(fds[1]);
        execl("/bin/sh", "sh", "-c", cmd, (char *)0);
        _exit(127);
    }
    close(fds[1]);
    if (pid < 0) {
        close(fds[0]);
        return 0;
    }
    char buf[16384];
    while (read(fds[0], buf, sizeof buf) > 0) {
    }
    close(fds[0]);
    int status = 0;
    if (waitpid(pid, &status, 0) != pid)
        return 0;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

int main(int argc, char **argv) {
    if (argc < 2)
        return 2;
    long left = atol(argv[1]);
    for (int i = 2; i < argc; ++i)
        if (!run(argv[i]))
            return 1;
    while (left > 0) {
        ssize_t n = write(1, zeros, left < (long)sizeof zeros ? (size_t)left : sizeof zeros);
        if (n <= 0)
            return 1;
        left -= n;
    }
    return 0;
}
