// The platform layer on Linux. POSIX throughout, and Linux's child subreaper
// and signalfd where a vendor tool's descendants must be found and stopped.
#include "platform.h"
#include "platform_common.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

// Every signal whose default action ends the process and that comes from
// outside: a server or supervisor that stops us (TERM, HUP, INT, QUIT, and
// whatever else it was told to send: USR1, USR2, ALRM, PWR, IO, STKFLT,
// realtime signals), a timer (ALRM, VTALRM, PROF) or a soft CPU limit
// (XCPU). While a tool runs, each of them first ends the tool and all it
// started, then ends us the same way. Left alone: PIPE and XFSZ, which are
// ignored so that a write fails instead; and the faults (SEGV, BUS, FPE, ILL,
// TRAP, ABRT, SYS), which report a fault of our own, where walking processes
// from a broken state is unsound and the sanitizers want the signal; the
// command's guard still ends the tool then.
static constexpr int STOP_SIGNALS[] = {SIGTERM, SIGHUP, SIGINT, SIGQUIT,   SIGUSR1,   SIGUSR2, SIGALRM,
                                       SIGXCPU, SIGPWR, SIGIO,  SIGSTKFLT, SIGVTALRM, SIGPROF};
static sigset_t stop_set;

// The command that runs now, 0 when none does: its process (the shell, which
// becomes the tool), and its process group, which its guard leads (see
// platform_open_cmd). The stop handler reads them, so they are written only
// while the stop signals are blocked (set_running).
static volatile sig_atomic_t running_child;
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

static void block_stop_signals(int how) { sigprocmask(how, &stop_set, nullptr); }

// Changes the running ids, then unblocks the stop signals; called with them
// blocked or not.
static void set_running(pid_t child, pid_t group) {
    block_stop_signals(SIG_BLOCK);
    running_child = child;
    running_group = group;
    block_stop_signals(SIG_UNBLOCK);
}

// Waits until a child has changed state or until_ms has passed, whichever
// comes first; never longer than the given pause. Only system calls, for
// the stop handler.
static void await_child_event(long long until_ms, int pause_ms) {
    long long left = until_ms - now_ms();
    if (left <= 0)
        return;
    pollfd p{child_events, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left < pause_ms ? left : pause_ms)) > 0) {
        signalfd_siginfo info;
        while (read(child_events, &info, sizeof info) > 0) {
        }
    }
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

// Kills the command and every descendant it has: as child subreaper we
// adopt whatever the tool left behind, detached ones included, so killing
// our children until none is left reaches the whole tree. Without /proc the
// walk sees nothing, and the tool's own process group is what is killed,
// and waited for until none of it is left (its orphans are ours to reap).
// Gives up at until_ms on a process that will not die (stuck in the driver)
// or cannot be reaped (held by a cgroup freezer). Between rounds it waits for
// the next child to end, so a kill that takes at once costs no pause. Only
// async-signal-safe calls, for the stop handler.
static void kill_descendants(pid_t child, pid_t group, long long until_ms) {
    if (group > 0)
        kill(-group, SIGKILL);
    if (child > 0)
        kill(child, SIGKILL);
    for (;;) {
        while (waitpid(-1, nullptr, WNOHANG) > 0) {
        }
        pid_t pids[256];
        int n = read_children(pids, 256);
        if ((n == 0 && (group <= 0 || kill(-group, 0) != 0)) || now_ms() >= until_ms)
            return;
        for (int i = 0; i < n; ++i)
            kill(pids[i], SIGKILL);
        await_child_event(until_ms, 5);
    }
}

// A server that gives up on the request stops us; the tool and everything it
// started go with us instead of living on without a reader. The stop signals
// stay blocked while this runs, and the one that came ends us once it
// returns.
static void on_stop_signal(int sig) {
    kill_descendants(static_cast<pid_t>(running_child), static_cast<pid_t>(running_group), now_ms() + 100);
    signal(sig, SIG_DFL);
    raise(sig);
}

// Done with the first command: a request without one never needs them, and
// each costs a system call. Realtime signals are the program's own, minus
// those the C library keeps for itself below SIGRTMIN.
static void install_stop_handlers() {
    sigemptyset(&stop_set);
    for (int sig : STOP_SIGNALS)
        sigaddset(&stop_set, sig);
    for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig)
        sigaddset(&stop_set, sig);
    struct sigaction sa = {};
    sa.sa_handler = on_stop_signal;
    sa.sa_mask = stop_set;
    sa.sa_flags = SA_RESTART;
    for (int sig = 1; sig < NSIG; ++sig)
        if (sigismember(&stop_set, sig) == 1)
            sigaction(sig, &sa, nullptr);
}

void platform_init() {
    // A server may start us with a standard descriptor closed; without this a
    // pipe or file could land on 0, 1 or 2 and be mixed up with them. The
    // lowest free descriptor is fd itself.
    for (int fd = 0; fd <= 2; ++fd)
        if (fcntl(fd, F_GETFD) < 0 && errno == EBADF)
            if (int opened = openat(AT_FDCWD, "/dev/null", (fd == 0 ? O_RDONLY : O_WRONLY) | O_CLOEXEC);
                opened >= 0 && opened != fd)
                close(opened);
    // A descriptor shared with the server may come in non-blocking; a write
    // that the reader is not ready for would then fail and cut the response.
    int flags = fcntl(1, F_GETFL);
    if (flags >= 0 && (flags & O_NONBLOCK))
        fcntl(1, F_SETFL, flags & ~O_NONBLOCK);
    // Dispositions and the signal mask are inherited across exec, and some
    // servers and supervisors leave SIGCHLD ignored or signals blocked; the
    // child handling relies on neither. A write past a file size limit, like
    // one to a client that hung up, fails instead of ending the process.
    signal(SIGPIPE, SIG_IGN);
    signal(SIGXFSZ, SIG_IGN);
    signal(SIGCHLD, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
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

// The pipe whose end tells each command's guard that we are gone: only we
// hold its write end, close-on-exec, so it ends with us however we end; each
// guard holds the read end.
static int alive_fd = -1;
static int alive_read = -1;

// What the child tells its parent when it cannot run the command: which step
// failed and the error number. Nothing arrives when the exec succeeds.
struct start_report {
    int step;
    int error;
};

static constexpr const char *START_STEPS[] = {"/dev/null", "chdir /", "dup2", "/bin/sh"};

[[noreturn]] static void fail_start(int report_fd, int step) {
    start_report r{step, errno};
    ssize_t ignored = write(report_fd, &r, sizeof r);
    (void)ignored;
    _exit(127);
}

// Calls visit with each name in the open folder dir, read with the raw
// getdents64 call into a buffer of our own: the C library's opendir
// allocates. The kernel's linux_dirent64 is the inode (8 bytes), the offset
// (8), the record's length (2), the type (1), then the terminated name.
template <typename Visit> static void each_entry(int dir, Visit visit) {
    constexpr long RECLEN_AT = 16, NAME_AT = 19;
    alignas(8) char entries[4096];
    for (long got; (got = syscall(SYS_getdents64, dir, entries, sizeof entries)) > 0;)
        for (long at = 0; at + NAME_AT < got;) {
            unsigned short reclen = 0;
            memcpy(&reclen, entries + at + RECLEN_AT, sizeof reclen);
            if (reclen == 0)
                return;
            visit(entries + at + NAME_AT);
            at += reclen;
        }
}

// Closes every descriptor from first up: whatever the server left open (a
// request body, a listening socket) must not reach a tool.
static void close_from(int first) {
#ifndef SYS_close_range
#define SYS_close_range 436 // the same on every architecture since Linux 5.3
#endif
    if (syscall(SYS_close_range, first, ~0U, 0) == 0)
        return;
    // Kernels before 5.9: the open descriptors are listed in /proc/self/fd,
    // also one above the descriptor limit (a server that lowered it after
    // opening), which a loop up to the limit would miss; the loop is for
    // where /proc is missing.
    int dir = openat(AT_FDCWD, "/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) {
        long last = sysconf(_SC_OPEN_MAX);
        for (long fd = first; fd < last; ++fd)
            close(static_cast<int>(fd));
        return;
    }
    each_entry(dir, [&](const char *name) {
        int fd = 0;
        const char *c = name;
        for (; *c >= '0' && *c <= '9'; ++c)
            fd = fd * 10 + (*c - '0');
        if (c != name && !*c && fd >= first && fd != dir)
            close(fd);
    });
    close(dir);
}

// The guard of a command: a copy of us that leads the command's process
// group and holds nothing but the read end of the alive pipe. When we end,
// by a SIGKILL that no handler sees or a kill of our own process group that
// does not reach the command's, the read ends and the guard kills the group,
// itself included. A command that ends normally is killed with its group by
// platform_close, the guard with it.
[[noreturn]] static void guard_command(int alive_in) {
    sigset_t all;
    sigfillset(&all);
    sigprocmask(SIG_SETMASK, &all, nullptr);
    // Its own group before anything else: a kill of its group must never
    // reach ours. Where it cannot have one it ends at once, killing nothing.
    if (setpgid(0, 0) != 0 || dup2(alive_in, 3) < 0)
        _exit(0);
    close(0);
    close(1);
    close(2);
    close_from(4);
    char byte;
    while (read(3, &byte, 1) < 0 && errno == EINTR) {
    }
    kill(0, SIGKILL);
    _exit(0);
}

// The child's side of platform_open_cmd: in the guard's process group,
// killed when we die, the root as working folder (an empty or "." entry of
// PATH must not find a tool in the server's folder), the pipe as standard
// output, no request body on standard input, nothing of ours on standard
// error and no other descriptor, every signal at its default and none
// blocked, and the environment without the request. A step that fails is
// reported on report_fd and ends the child before the command runs.
[[noreturn]] static void exec_command(const char *line, int out_fd, int report_fd, pid_t parent, pid_t group) {
    setpgid(0, group);
    // Even a SIGKILL of ours, which no handler sees, ends the tool: the
    // shell execs it, so this process is the tool's own, and the signal
    // survives that exec. Should we have died before this took effect, the
    // child ends at once.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent)
        _exit(127);
    // Handled signals return to their defaults by the exec itself; ignored
    // ones (ours, or a server's) would stay ignored. Through the system call:
    // the C library refuses the signals it keeps for itself, which a server
    // may have left ignored too. An all-zero kernel sigaction is the default
    // action with no flags and no mask, whatever the field order.
    static const unsigned long dfl[8] = {};
    for (int sig = 1; sig < NSIG; ++sig)
        if (sig != SIGKILL && sig != SIGSTOP && sigismember(&stop_set, sig) != 1)
            syscall(SYS_rt_sigaction, sig, dfl, nullptr, (NSIG - 1) / 8);
    int null_fd = openat(AT_FDCWD, "/dev/null", O_RDWR | O_CLOEXEC);
    if (null_fd < 0)
        fail_start(report_fd, 0);
    if (chdir("/") != 0)
        fail_start(report_fd, 1);
    if (dup2(out_fd, 1) < 0 || dup2(null_fd, 0) < 0 || dup2(null_fd, 2) < 0)
        fail_start(report_fd, 2);
    // The report's descriptor goes to 3, closed by the exec; all above it now.
    if (report_fd != 3 && dup3(report_fd, 3, O_CLOEXEC) < 0)
        fail_start(report_fd, 2);
    close_from(4);
    // Our own copy of the environment after fork: the request variables are
    // taken out of it in place, so nothing else is dropped, however long.
    char **keep = environ;
    for (char **e = environ; *e; ++e)
        if (!is_request_variable(*e))
            *keep++ = *e;
    *keep = nullptr;
    char *const argv[] = {const_cast<char *>("sh"), const_cast<char *>("-c"), const_cast<char *>(line), nullptr};
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execve("/bin/sh", argv, environ);
    fail_start(3, 3);
}

// What the first command sets up for every later one: the stop handlers,
// the descriptor that tells a child's end, and the alive pipe. Empty when
// all is ready, else the step that failed.
static const char *prepare_commands() {
    if (child_events < 0) {
        install_stop_handlers();
        sigset_t chld;
        sigemptyset(&chld);
        sigaddset(&chld, SIGCHLD);
        child_events = signalfd(-1, &chld, SFD_CLOEXEC | SFD_NONBLOCK);
        if (child_events < 0)
            return "signalfd";
    }
    if (alive_read < 0) {
        int alive[2];
        if (pipe2(alive, O_CLOEXEC) != 0)
            return "pipe";
        alive_read = alive[0];
        alive_fd = alive[1];
    }
    return "";
}

// Starts the guard, then the child that runs the command line, in the
// guard's process group, and records both for the stop handler. The stop
// signals stay blocked until then, so that neither new process runs our
// handler before it has set up its own state. Returns the child's process
// id, or -1 with errno set when a fork failed (*guard is then the guard's,
// or -1 too).
static pid_t start_guard_and_child(const char *line, int out_fd, int report_fd, pid_t *guard) {
    pid_t parent = getpid();
    block_stop_signals(SIG_BLOCK);
    // The guard first: its process id is the command's process group, which
    // also lets the group be killed where /proc cannot show our children.
    *guard = fork();
    if (*guard == 0)
        guard_command(alive_read);
    pid_t child = -1;
    if (*guard > 0) {
        setpgid(*guard, *guard); // also here, so the group exists before any kill
        child = fork();
        if (child == 0)
            exec_command(line, out_fd, report_fd, parent, *guard);
        if (child > 0)
            setpgid(child, *guard);
    }
    int error = errno;
    set_running(child > 0 ? child : 0, *guard > 0 ? *guard : 0);
    errno = error;
    return child;
}

// How the child's start went, as its report pipe tells: the pipe ends with
// the exec, or brings the step that failed. A child that has told nothing
// by the deadline (stopped before its exec, a frozen cgroup) is waited for
// no longer.
enum start_outcome : unsigned char { START_EXECUTED, START_FAILED, START_NO_ANSWER };

static start_outcome read_start_report(int fd, long long deadline_ms, start_report *r) {
    for (;;) {
        long long left = deadline_ms - now_ms();
        if (left <= 0)
            return START_NO_ANSWER;
        pollfd p{fd, POLLIN, 0};
        int ready = poll(&p, 1, static_cast<int>(left));
        if (ready == 0 || (ready < 0 && errno == EINTR))
            continue;
        ssize_t got = read(fd, r, sizeof *r);
        if (got < 0 && errno == EINTR)
            continue;
        return got == static_cast<ssize_t>(sizeof *r) ? START_FAILED : START_EXECUTED;
    }
}

// The command line the shell is given: told to exec the command, so that
// the shell finds the tool on PATH, sets up the redirection and then becomes
// the tool: no process more than the tool itself, and the parent-death
// signal set in the child is the tool's own. NULL when it does not fit.
static const char *exec_line(const char *cmd) {
    static constexpr char EXEC[] = "exec ";
    static char line[512];
    size_t cmd_len = strlen(cmd);
    if (sizeof EXEC + cmd_len > sizeof line)
        return nullptr;
    memcpy(line, EXEC, sizeof EXEC - 1);
    memcpy(line + sizeof EXEC - 1, cmd, cmd_len + 1);
    return line;
}

bool platform_open_cmd(platform_stream *s, const char *cmd, int timeout_ms) {
    *s = platform_stream{};
    // SIGCHLD is blocked for the rest of the process, so the command's end is
    // read from child_events.
    sigset_t chld;
    sigemptyset(&chld);
    sigaddset(&chld, SIGCHLD);
    sigprocmask(SIG_BLOCK, &chld, nullptr);
    if (const char *failed = prepare_commands(); *failed)
        return start_failed(s, failed, strerror(errno));
    const char *line = exec_line(cmd);
    if (!line)
        return start_failed(s, "/bin/sh", strerror(E2BIG));
    int fds[2], report[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return start_failed(s, "pipe", strerror(errno));
    if (pipe2(report, O_CLOEXEC) != 0) {
        int error = errno;
        close(fds[0]);
        close(fds[1]);
        return start_failed(s, "pipe", strerror(error));
    }
    // Whatever the tool leaves behind becomes our child, to be found later.
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    s->deadline_ms = now_ms() + timeout_ms;
    pid_t guard = -1;
    pid_t pid = start_guard_and_child(line, fds[1], report[1], &guard);
    start_report r{0, errno};
    close(fds[1]);
    close(report[1]);
    start_outcome started = pid > 0 ? read_start_report(report[0], s->deadline_ms, &r) : START_FAILED;
    close(report[0]);
    if (started != START_FAILED) {
        s->handle = fds[0];
        s->child = pid;
        if (started == START_NO_ANSWER) { // nothing to read; platform_close stops it
            s->ended = true;
            s->end = PLATFORM_END_DEADLINE;
        }
        return true;
    }
    close(fds[0]);
    kill_descendants(0, guard, now_ms() + KILL_GRACE_MS); // the guard, and the child that failed
    set_running(0, 0);
    if (pid < 0)
        return start_failed(s, "fork", strerror(r.error));
    return start_failed(s, START_STEPS[r.step >= 0 && r.step < 4 ? r.step : 3], strerror(r.error));
}

// Takes note when the command's interpreter has ended, and how, and reaps it
// only once the stop handler can no longer signal its process id.
static void note_exit(platform_stream *s) {
    signalfd_siginfo info;
    while (read(child_events, &info, sizeof info) > 0) {
    }
    siginfo_t si{};
    pid_t pid = static_cast<pid_t>(s->child);
    if (s->exited || waitid(P_PID, static_cast<id_t>(pid), &si, WEXITED | WNOHANG | WNOWAIT) != 0 || si.si_pid != pid)
        return;
    set_running(0, static_cast<pid_t>(running_group));
    waitpid(pid, nullptr, 0);
    s->exited = true;
    if (s->end != PLATFORM_END_DEADLINE) {
        s->end = si.si_code == CLD_EXITED ? PLATFORM_END_EXIT : PLATFORM_END_SIGNAL;
        s->status = static_cast<unsigned long>(si.si_status);
    }
}

// The reading is over; when the deadline ended it, that is how the stream
// ended, whatever the command does next.
static void end_reading(platform_stream *s) {
    s->ended = true;
    if (now_ms() >= s->deadline_ms)
        s->end = PLATFORM_END_DEADLINE;
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
            end_reading(s);
            break;
        }
        if (s->child > 0) {
            pollfd p[2] = {{fd, POLLIN, 0}, {child_events, POLLIN, 0}};
            int r = poll(p, s->exited ? 1 : 2, static_cast<int>(left));
            if (r < 0 && errno != EINTR) {
                end_reading(s);
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
        end_reading(s); // end of output or read error
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
    pid_t group = static_cast<pid_t>(running_group);
    // One grace for the shell and whatever it left: a process stuck in the
    // driver holds the request that long once, not once per wait.
    bool ended = wait_exit(s, s->deadline_ms);
    if (!ended) {
        kill(group > 0 ? -group : static_cast<pid_t>(s->child), SIGKILL);
        s->end = PLATFORM_END_DEADLINE;
    }
    long long grace_end = now_ms() + KILL_GRACE_MS;
    if (!ended)
        wait_exit(s, grace_end);
    // Whatever the tool left behind, in its group or detached from it; the
    // tool itself only while it is not reaped.
    kill_descendants(s->exited ? 0 : static_cast<pid_t>(s->child), group, grace_end);
    set_running(0, 0);
    prctl(PR_SET_CHILD_SUBREAPER, 0);
    s->child = 0;
}

// ---- the PCI bus -------------------------------------------------------------

// The kernel's folder of PCI functions: an entry per function, named by its
// address, with its ids in small text files and a link to the driver that
// holds it.
static constexpr const char *PCI_DEVICES = "/sys/bus/pci/devices";

// One file or link of a function: "0000:0b:00.0/vendor". False when the
// address is too long to be one.
static bool function_path(char *path, int size, const char *address, const char *name) {
    int n = 0;
    for (const char *p = address; *p; ++p) {
        if (n == PCI_ADDRESS_SIZE - 1)
            return false;
        path[n++] = *p;
    }
    path[n++] = '/';
    for (const char *p = name; *p && n < size - 1; ++p)
        path[n++] = *p;
    path[n] = '\0';
    return true;
}

// The function's attribute file read whole into text (a line: "0x10de"),
// or false. openat, as everywhere: no fcntl after the open.
static bool read_attribute(int devices, const char *address, const char *name, char *text, int size) {
    char path[PCI_ADDRESS_SIZE + 16];
    if (!function_path(path, sizeof path, address, name))
        return false;
    int fd = openat(devices, path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    ssize_t n = read(fd, text, static_cast<size_t>(size - 1));
    close(fd);
    if (n < 0)
        return false;
    text[n] = '\0';
    return true;
}

// The function has the link (driver, physfn). A link that cannot be looked
// at for any other reason than its absence counts as there: no alarm from
// what cannot be told.
static bool has_link(int devices, const char *address, const char *name) {
    char path[PCI_ADDRESS_SIZE + 16];
    if (!function_path(path, sizeof path, address, name))
        return true;
    struct stat st = {};
    return fstatat(devices, path, &st, AT_SYMLINK_NOFOLLOW) == 0 || errno != ENOENT;
}

// The attribute's value is the given one, as the kernel writes it: the
// value, a line end.
static bool value_is(const char *text, const char *value) {
    size_t n = strlen(value);
    return strncmp(text, value, n) == 0 && (text[n] == '\n' || text[n] == '\0');
}

// An NVIDIA display or 3D controller (class 0x0300xx, 0x0302xx) that no
// driver holds and that is no virtual function. The vendor is read first:
// on most functions of a node it is the only file read.
static bool is_unbound_nvidia_gpu(int devices, const char *address) {
    char text[16];
    if (!read_attribute(devices, address, "vendor", text, sizeof text) || !value_is(text, "0x10de"))
        return false;
    if (!read_attribute(devices, address, "class", text, sizeof text) ||
        !(strncmp(text, "0x0300", 6) == 0 || strncmp(text, "0x0302", 6) == 0))
        return false;
    return !has_link(devices, address, "driver") && !has_link(devices, address, "physfn");
}

// Inserts the address among the first ones kept in order (count of them
// seen before, cap kept at most).
static void keep_in_order(char (*kept)[PCI_ADDRESS_SIZE], int cap, int count, const char *address) {
    int n = count < cap ? count : cap;
    int at = n;
    while (at > 0 && strcmp(kept[at - 1], address) > 0)
        --at;
    if (at == cap)
        return;
    for (int i = n < cap ? n : cap - 1; i > at; --i)
        memcpy(kept[i], kept[i - 1], PCI_ADDRESS_SIZE);
    memcpy(kept[at], address, strlen(address) + 1);
}

int platform_unbound_nvidia_gpus(char (*addresses)[PCI_ADDRESS_SIZE], int cap) {
    int devices = openat(AT_FDCWD, PCI_DEVICES, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (devices < 0)
        return 0;
    int count = 0;
    each_entry(devices, [&](const char *address) {
        if (address[0] == '.' || !is_unbound_nvidia_gpu(devices, address))
            return;
        keep_in_order(addresses, cap, count, address);
        ++count;
    });
    close(devices);
    return count;
}
