// The platform layer on Linux. POSIX throughout, and Linux's child subreaper
// and signalfd where a vendor tool's descendants must be found and stopped.
#include "platform.h"
#include "platform_common.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

// The signals with which a server stops a CGI program it no longer wants.
static constexpr int STOP_SIGNALS[] = {SIGTERM, SIGHUP, SIGINT, SIGQUIT};

// The process group of the command that runs now, 0 when none does. The stop
// handler reads it, so it is written only while those signals are blocked.
static volatile sig_atomic_t running_group;

// Readable when a child has changed state: SIGCHLD stays blocked while a
// command runs and is read from here, so no handler and no polling is needed.
static int child_events = -1;

// Clocks are read through plain system calls: a request reads them a few
// times, and the C library would first look them up in the vDSO, whose pages
// cost more to fault in than those few calls.
static long long now_ms() {
    timespec ts{};
    syscall(SYS_clock_gettime, CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

template <int N> static void block_signals(int how, const int (&signals)[N]) {
    sigset_t set;
    sigemptyset(&set);
    for (int sig : signals)
        sigaddset(&set, sig);
    sigprocmask(how, &set, nullptr);
}

// Reads the process ids of our children from /proc into pids; returns how
// many. Only system calls, so the stop handler may use it too. The program
// has one thread, so its thread's children are all of them.
static int read_children(pid_t *pids, int cap) {
    int fd = open("/proc/thread-self/children", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    char buf[4096];
    ssize_t len = read(fd, buf, sizeof buf);
    close(fd);
    int n = 0;
    long v = 0;
    bool in_number = false;
    for (ssize_t i = 0; i < len && n < cap; ++i) {
        if (buf[i] >= '0' && buf[i] <= '9') {
            v = v * 10 + (buf[i] - '0');
            in_number = true;
        } else if (in_number) {
            pids[n++] = static_cast<pid_t>(v);
            v = 0;
            in_number = false;
        }
    }
    if (in_number && n < cap)
        pids[n++] = static_cast<pid_t>(v);
    return n;
}

// Kills the command's process group and every other descendant: as child
// subreaper we adopt whatever the tool left behind, detached ones included,
// so killing our children until none is left reaches the whole tree. Gives
// up after wait_ms on a process that will not die (stuck in the driver).
// Only async-signal-safe calls, for the stop handler.
static void kill_descendants(pid_t group, long long wait_ms) {
    if (group > 0)
        kill(-group, SIGKILL);
    for (long long waited = 0;; waited += 5) {
        while (waitpid(-1, nullptr, WNOHANG) > 0) {
        }
        pid_t pids[256];
        int n = read_children(pids, 256);
        if (n == 0 || waited >= wait_ms)
            return;
        for (int i = 0; i < n; ++i)
            kill(pids[i], SIGKILL);
        timespec pause{0, 5000000L};
        nanosleep(&pause, nullptr);
    }
}

// A server that gives up on the request stops us; the tool and everything it
// started go with us instead of living on without a reader.
static void on_stop_signal(int sig) {
    kill_descendants(static_cast<pid_t>(running_group), 100);
    signal(sig, SIG_DFL);
    raise(sig);
}

void platform_init() {
    // A server may start us with a standard descriptor closed; without this a
    // pipe or file could land on 0, 1 or 2 and be mixed up with them.
    for (int fd = 0; fd <= 2; ++fd)
        if (fcntl(fd, F_GETFD) < 0 && errno == EBADF)
            open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    // A descriptor shared with the server may come in non-blocking; a write
    // that the reader is not ready for would then fail and cut the response.
    int flags = fcntl(1, F_GETFL);
    if (flags >= 0 && (flags & O_NONBLOCK))
        fcntl(1, F_SETFL, flags & ~O_NONBLOCK);
    // Dispositions and the signal mask are inherited across exec, and some
    // servers and supervisors leave SIGCHLD ignored or signals blocked; the
    // child handling relies on neither.
    signal(SIGPIPE, SIG_IGN);
    signal(SIGCHLD, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int sig : STOP_SIGNALS)
        signal(sig, on_stop_signal);
}

// Straight to the descriptor: the output unit has gathered the bytes
// already, and a second buffer in stdio would only copy them once more.
void platform_write(const char *bytes, long n) {
    while (n > 0) {
        ssize_t w = write(1, bytes, static_cast<size_t>(n));
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return;
        bytes += w;
        n -= w;
    }
}

const char *platform_getenv(const char *name) { return getenv(name); }

const char *platform_name() { return "linux"; }

long platform_pid() { return static_cast<long>(getpid()); }

bool platform_time(long long *seconds) {
    timespec ts{};
    if (syscall(SYS_clock_gettime, CLOCK_REALTIME, &ts) != 0)
        return false;
    *seconds = static_cast<long long>(ts.tv_sec);
    return true;
}

bool platform_open_file(platform_stream *s, const char *path, int timeout_ms) {
    *s = platform_stream{};
    // O_NONBLOCK keeps a FIFO without a writer from blocking the open; only
    // regular files are read, so /dev/zero or a FIFO cannot hold a request.
    // openat: musl's open follows O_CLOEXEC with an fcntl that only kernels
    // before 2.6.23 need, one more system call per file.
    int fd = openat(AT_FDCWD, path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return false;
    struct stat st = {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return false;
    }
    s->handle = fd;
    s->deadline_ms = now_ms() + timeout_ms;
    return true;
}

// The child's side of platform_open_cmd: its own process group, the root as
// working folder (an empty or "." entry of PATH must not find a tool in the
// server's folder), the pipe as standard output, no request body on standard
// input, nothing of ours on standard error, default signals, and the
// environment without the request. A step that fails ends the child before
// the command runs, as a careful CGI runner does.
[[noreturn]] static void exec_command(const char *cmd, int out_fd) {
    setpgid(0, 0);
    for (int sig : STOP_SIGNALS)
        signal(sig, SIG_DFL);
    signal(SIGPIPE, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    int null_fd = open("/dev/null", O_RDWR);
    if (null_fd < 0 || chdir("/") != 0 || dup2(out_fd, 1) < 0 || dup2(null_fd, 0) < 0 || dup2(null_fd, 2) < 0)
        _exit(127);
    // Our own copy of the environment after fork: the request variables are
    // taken out of it in place, so nothing else is dropped, however long.
    char **keep = environ;
    for (char **e = environ; *e; ++e)
        if (!is_request_variable(*e))
            *keep++ = *e;
    *keep = nullptr;
    char *const argv[] = {const_cast<char *>("sh"), const_cast<char *>("-c"), const_cast<char *>(cmd), nullptr};
    execve("/bin/sh", argv, environ);
    _exit(127);
}

bool platform_open_cmd(platform_stream *s, const char *cmd, int timeout_ms) {
    *s = platform_stream{};
    // SIGCHLD is blocked for the rest of the process, so the command's end is
    // read from child_events; the stop signals only while running_group
    // changes.
    static constexpr int CHILD[] = {SIGCHLD};
    block_signals(SIG_BLOCK, CHILD);
    if (child_events < 0) {
        sigset_t chld;
        sigemptyset(&chld);
        sigaddset(&chld, SIGCHLD);
        child_events = signalfd(-1, &chld, SFD_CLOEXEC | SFD_NONBLOCK);
    }
    int fds[2];
    if (child_events < 0 || pipe2(fds, O_CLOEXEC) != 0)
        return false;
    // Whatever the tool leaves behind becomes our child, to be found later.
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    block_signals(SIG_BLOCK, STOP_SIGNALS);
    pid_t pid = fork();
    if (pid == 0)
        exec_command(cmd, fds[1]);
    close(fds[1]);
    if (pid > 0) {
        setpgid(pid, pid); // also here, so the group exists before any kill
        running_group = pid;
    }
    block_signals(SIG_UNBLOCK, STOP_SIGNALS);
    if (pid < 0) {
        close(fds[0]);
        return false;
    }
    s->handle = fds[0];
    s->child = pid;
    s->deadline_ms = now_ms() + timeout_ms;
    return true;
}

// Takes note when the command's interpreter has ended (and reaps it).
static void note_exit(platform_stream *s) {
    signalfd_siginfo info;
    while (read(child_events, &info, sizeof info) > 0) {
    }
    if (!s->exited && waitpid(static_cast<pid_t>(s->child), nullptr, WNOHANG) == s->child)
        s->exited = true;
}

long platform_read(platform_stream *s, char *buf, long cap) {
    int fd = static_cast<int>(s->handle);
    long long quiet_until = s->child > 0 ? now_ms() + QUIET_AFTER_EXIT_MS : 0; // a command's only
    while (!s->ended) {
        long long now = now_ms();
        long long left = s->deadline_ms - now;
        if (s->child > 0 && s->exited && quiet_until - now < left)
            left = quiet_until - now;
        if (left <= 0) { // the tool hangs, or is gone and its output quiet
            s->ended = true;
            break;
        }
        if (s->child > 0) {
            pollfd p[2] = {{fd, POLLIN, 0}, {child_events, POLLIN, 0}};
            int r = poll(p, s->exited ? 1 : 2, static_cast<int>(left));
            if (r < 0 && errno != EINTR) {
                s->ended = true;
                break;
            }
            if (r > 0 && !s->exited && (p[1].revents & POLLIN)) {
                note_exit(s);
                quiet_until = now_ms() + QUIET_AFTER_EXIT_MS;
            }
            if (r <= 0 || !(p[0].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
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

// Waits until the command's interpreter has ended or the given time has
// passed; true when it has ended.
static bool wait_exit(platform_stream *s, long long until_ms) {
    for (;;) {
        note_exit(s);
        long long left = until_ms - now_ms();
        if (s->exited || left <= 0)
            return s->exited;
        pollfd p{child_events, POLLIN, 0};
        poll(&p, 1, static_cast<int>(left));
    }
}

void platform_close(platform_stream *s) {
    close(static_cast<int>(s->handle));
    if (s->child <= 0)
        return;
    if (!wait_exit(s, s->deadline_ms)) {
        kill(-static_cast<pid_t>(s->child), SIGKILL);
        wait_exit(s, now_ms() + KILL_GRACE_MS);
    }
    // Whatever the tool left behind, in its group or detached from it.
    kill_descendants(static_cast<pid_t>(s->child), KILL_GRACE_MS);
    block_signals(SIG_BLOCK, STOP_SIGNALS);
    running_group = 0;
    block_signals(SIG_UNBLOCK, STOP_SIGNALS);
    prctl(PR_SET_CHILD_SUBREAPER, 0);
    s->child = 0;
}
