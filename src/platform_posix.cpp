// The platform layer on Linux and other POSIX systems.
#include "platform.h"
#include "platform_common.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static long long now_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Waits until the child has been reaped or the given time has passed.
// SIGCHLD stays blocked from the spawn on, so sigtimedwait sleeps until the
// child changes state instead of polling.
static bool reap_until(pid_t pid, long long until_ms) {
    sigset_t chld;
    sigemptyset(&chld);
    sigaddset(&chld, SIGCHLD);
    for (;;) {
        int status = 0;
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid || (r < 0 && errno != EINTR))
            return true; // reaped, or not ours to wait for any more
        long long left = until_ms - now_ms();
        if (left <= 0)
            return false;
        timespec ts{static_cast<time_t>(left / 1000), static_cast<long>(left % 1000) * 1000000L};
        sigtimedwait(&chld, nullptr, &ts);
    }
}

// The command runs in a process group of its own, so one signal reaches the
// shell, the tool and anything the tool started.
static void kill_group(platform_stream *s) {
    if (s->child > 0)
        kill(-static_cast<pid_t>(s->child), SIGKILL);
}

void platform_init() {
    // A server may start us with a standard descriptor closed; without this a
    // pipe or file could land on 0, 1 or 2 and be mixed up with them.
    for (int fd = 0; fd <= 2; ++fd)
        if (fcntl(fd, F_GETFD) < 0 && errno == EBADF)
            open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    setvbuf(stdout, platform_out_buf, _IOFBF, sizeof platform_out_buf);
    signal(SIGPIPE, SIG_IGN);
}

const char *platform_getenv(const char *name) { return getenv(name); }

const char *platform_name() { return "linux"; }

long platform_pid() { return static_cast<long>(getpid()); }

bool platform_time(long long *seconds) {
    time_t t = time(nullptr);
    *seconds = static_cast<long long>(t);
    return t != static_cast<time_t>(-1);
}

bool platform_open_file(platform_stream *s, const char *path) {
    *s = platform_stream{};
    // O_NONBLOCK keeps a FIFO without a writer from blocking the open; only
    // regular files are read, so /dev/zero or a FIFO cannot hold a request.
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return false;
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return false;
    }
    s->handle = fd;
    return true;
}

// The child's side of platform_open_cmd: its own process group, the pipe as
// standard output, no request body on standard input, nothing of ours on
// standard error, and the environment without the request. A step that fails
// ends the child before the command runs, as a careful CGI runner does.
[[noreturn]] static void exec_command(const char *cmd, int out_fd, const sigset_t *mask) {
    setpgid(0, 0);
    sigprocmask(SIG_SETMASK, mask, nullptr);
    signal(SIGPIPE, SIG_DFL);
    int null_fd = open("/dev/null", O_RDWR);
    if (null_fd < 0 || dup2(out_fd, 1) < 0 || dup2(null_fd, 0) < 0 || dup2(null_fd, 2) < 0)
        _exit(127);
    static char *tool_env[MAX_TOOL_ENV + 1];
    int n = 0;
    for (char **e = environ; *e && n < MAX_TOOL_ENV; ++e)
        if (!is_request_variable(*e))
            tool_env[n++] = *e;
    tool_env[n] = nullptr;
    char *const argv[] = {const_cast<char *>("sh"), const_cast<char *>("-c"), const_cast<char *>(cmd), nullptr};
    execve("/bin/sh", argv, tool_env);
    _exit(127);
}

bool platform_open_cmd(platform_stream *s, const char *cmd, int timeout_ms) {
    *s = platform_stream{};
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return false;
    sigset_t chld, old;
    sigemptyset(&chld);
    sigaddset(&chld, SIGCHLD);
    sigprocmask(SIG_BLOCK, &chld, &old);
    pid_t pid = fork();
    if (pid == 0)
        exec_command(cmd, fds[1], &old);
    close(fds[1]);
    if (pid < 0) {
        close(fds[0]);
        return false;
    }
    setpgid(pid, pid); // also here, so the group exists before any kill
    s->handle = fds[0];
    s->child = pid;
    s->deadline_ms = now_ms() + timeout_ms;
    return true;
}

long platform_read(platform_stream *s, char *buf, long cap) {
    int fd = static_cast<int>(s->handle);
    while (!s->ended) {
        if (s->child > 0) {
            long long left = s->deadline_ms - now_ms();
            pollfd p{fd, POLLIN, 0};
            int r = left > 0 ? poll(&p, 1, static_cast<int>(left)) : 0;
            if (r < 0 && errno == EINTR)
                continue;
            if (r == 0) { // the tool hangs: stop it and go on without it
                kill_group(s);
                s->ended = true;
                break;
            }
        }
        ssize_t n = read(fd, buf, static_cast<size_t>(cap));
        if (n > 0)
            return static_cast<long>(n);
        if (n < 0 && errno == EINTR)
            continue;
        s->ended = true; // end of output or read error
    }
    return 0;
}

void platform_close(platform_stream *s) {
    close(static_cast<int>(s->handle));
    if (s->child <= 0)
        return;
    pid_t pid = static_cast<pid_t>(s->child);
    if (!reap_until(pid, s->deadline_ms)) {
        kill_group(s);
        reap_until(pid, now_ms() + KILL_GRACE_MS);
    }
    kill_group(s); // whatever the tool left behind in its group
    s->child = 0;
}
