// The one unit that knows which operating system it runs on. POSIX and
// Windows sit side by side; nothing outside this file uses #ifdef.
#include "platform.h"

#include <cstdio>
#include <ctime>

namespace {

// Standard output is fully buffered in static storage: stdio would otherwise
// take its buffer from the heap on the first write.
char out_buf[1 << 16];

// After a command is killed, a process stuck inside the GPU driver may not
// die at once (even SIGKILL waits for the driver call to return). The request
// waits this long for it and then answers without it.
constexpr int KILL_GRACE_MS = 1500;

// A vendor tool gets the node's environment (PATH, driver library paths) but
// not the request: the query, the headers and the node password stay with
// us. CGI servers name request data with these prefixes.
constexpr const char *REQUEST_VARIABLES[] = {"HTTP_",     "QUERY_STRING",    "REQUEST_",    "REDIRECT_",
                                             "PATH_INFO", "PATH_TRANSLATED", "SCRIPT_",     "REMOTE_",
                                             "CONTENT_",  "AUTH_TYPE",       "BOT_PASSWORD"};

bool is_request_variable(const char *entry) {
    for (const char *prefix : REQUEST_VARIABLES) {
        size_t n = 0;
        while (prefix[n] && entry[n] == prefix[n])
            ++n;
        if (!prefix[n])
            return true;
    }
    return false;
}

// Room for the environment a tool inherits; a longer one is cut.
constexpr int MAX_TOOL_ENV = 1024;

} // namespace

#if defined(_WIN32)

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstring>
#include <cwchar>
#include <fcntl.h>
#include <io.h>

// Arguments are taken exactly as the server passes them: the mingw runtime
// would otherwise expand wildcards in them before main.
extern "C" {
int _dowildcard = 0;
}

namespace {

// Command lines and pipe names are built here, not on the heap. The fixed
// commands are about 200 bytes.
char cmd_line[1024];
char pipe_name[96];
long pipe_serial;

// Handles a child may inherit: the pipe's write end and the null device.
// The attribute list lives in static storage; its size for one attribute is
// a few dozen bytes on every Windows version.
alignas(16) unsigned char attr_buf[256];

// The environment block a tool gets: ours without the request variables,
// kept in UTF-16 as the system holds it, so no value passes through a code
// page on its way.
wchar_t tool_env[1 << 15];

// Names of environment variables are case-insensitive on Windows (getenv
// finds Query_String as QUERY_STRING), so they are compared in capitals.
bool is_request_entry(const wchar_t *entry) {
    char name[24];
    size_t n = 0;
    for (; n < sizeof name - 1 && entry[n] && entry[n] != L'='; ++n) {
        wchar_t c = entry[n];
        name[n] = c >= L'a' && c <= L'z' ? static_cast<char>(c - L'a' + 'A') : c < 0x80 ? static_cast<char>(c) : '?';
    }
    name[n] = '\0';
    return is_request_variable(name);
}

// Copies our environment into tool_env, leaving out the request variables;
// entries beyond MAX_TOOL_ENV or the block's room are left out too. False
// when the environment cannot be read: then no tool runs at all rather than
// one that sees the request.
bool build_tool_env() {
    wchar_t *block = GetEnvironmentStringsW();
    if (!block)
        return false;
    size_t used = 0;
    int count = 0;
    constexpr size_t room = sizeof tool_env / sizeof tool_env[0] - 1; // the block's final NUL
    for (const wchar_t *e = block; *e; e += std::wcslen(e) + 1) {
        size_t len = std::wcslen(e) + 1;
        if (is_request_entry(e) || count == MAX_TOOL_ENV || used + len > room)
            continue;
        std::memcpy(tool_env + used, e, len * sizeof *e);
        used += len;
        ++count;
    }
    tool_env[used] = L'\0';
    if (used == 0)
        tool_env[1] = L'\0'; // an empty block is two NULs
    FreeEnvironmentStringsW(block);
    return true;
}

// One overlapped read is ever in flight (each platform_read finishes or
// cancels its own before returning), so one event serves every stream.
HANDLE read_event;

long long now_ms() { return static_cast<long long>(GetTickCount64()); }

// plat_stream keeps handles as plain integers so that its header needs no
// system headers; these two casts are the only way between the two forms.
HANDLE as_handle(long long h) {
    return reinterpret_cast<HANDLE>(static_cast<intptr_t>(h)); // NOLINT(performance-no-int-to-ptr)
}
long long as_value(HANDLE h) { return static_cast<long long>(reinterpret_cast<intptr_t>(h)); }

// Stops the command and everything it started: the job holds them all. Only
// when the job could not be set up is the interpreter alone stopped.
void stop_command(plat_stream *s) {
    if (s->job)
        TerminateJobObject(as_handle(s->job), 1);
    else if (s->child)
        TerminateProcess(as_handle(s->child), 1);
}

// A job whose processes are killed when its last handle closes, so even a
// request that ends unexpectedly leaves no tool running.
HANDLE make_job() {
    HANDLE job = CreateJobObjectA(nullptr, nullptr);
    if (!job)
        return nullptr;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
        CloseHandle(job);
        return nullptr;
    }
    return job;
}

// The read end of a pipe that can be read with a time limit. Anonymous pipes
// (CreatePipe) do not do overlapped I/O, so a read on them can only be bounded
// by polling PeekNamedPipe with sleeps, which adds a timer tick (about 16 ms)
// of delay per empty poll and wakes the process again and again while a slow
// tool works. A named pipe opened for overlapped reads lets one wait end the
// moment data or the end of output arrives, or when the deadline passes. The
// name is unique (process id and a counter), only one instance may exist and
// remote clients are refused, so no other process can take our place.
bool make_pipe(HANDLE *read_end, HANDLE *write_end) {
    std::snprintf(pipe_name, sizeof pipe_name, "\\\\.\\pipe\\vistrel-%lu-%ld", GetCurrentProcessId(), ++pipe_serial);
    *read_end = CreateNamedPipeA(pipe_name, PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
                                 PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, 0,
                                 1 << 16, 0, nullptr);
    if (*read_end == INVALID_HANDLE_VALUE)
        return false;
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    *write_end = CreateFileA(pipe_name, GENERIC_WRITE, 0, &inherit, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (*write_end == INVALID_HANDLE_VALUE) {
        CloseHandle(*read_end);
        return false;
    }
    return true;
}

// Starts the interpreter suspended, puts it into the job before it runs a
// single instruction (so nothing it starts can escape the job), then lets it
// go. Only the given handles are inherited: without the list every
// inheritable handle of ours would go along, the server's end of our standard
// output included, and a tool that outlives us would hold the response open.
bool spawn(const char *app, HANDLE out, HANDLE null_dev, HANDLE *job, PROCESS_INFORMATION *pi) {
    STARTUPINFOEXA si{};
    si.StartupInfo.cb = sizeof si;
    si.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    si.StartupInfo.hStdInput = null_dev;
    si.StartupInfo.hStdOutput = out;
    si.StartupInfo.hStdError = null_dev;
    HANDLE inherited[2] = {out, null_dev};
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    DWORD flags = CREATE_SUSPENDED | CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT;
    if (size > 0 && size <= sizeof attr_buf) {
        auto *list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attr_buf);
        if (InitializeProcThreadAttributeList(list, 1, 0, &size)) {
            if (UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited, sizeof inherited,
                                          nullptr, nullptr)) {
                si.lpAttributeList = list;
                flags |= EXTENDED_STARTUPINFO_PRESENT;
            } else {
                DeleteProcThreadAttributeList(list);
            }
        }
    }
    BOOL started = CreateProcessA(app, cmd_line, nullptr, nullptr, TRUE, flags, tool_env, nullptr, &si.StartupInfo, pi);
    if (si.lpAttributeList)
        DeleteProcThreadAttributeList(si.lpAttributeList);
    if (!started)
        return false;
    // Without the job (Windows 7 and older forbid nested jobs, and the
    // server may run us in one) the interpreter still runs; a timeout then
    // stops the interpreter alone.
    if (*job && !AssignProcessToJobObject(*job, pi->hProcess)) {
        CloseHandle(*job);
        *job = nullptr;
    }
    ResumeThread(pi->hThread);
    CloseHandle(pi->hThread);
    return true;
}

} // namespace

void platform_init() {
    // Critical-error and file-open dialogs would wait for a click nobody
    // gives; the setting is inherited by the tools too.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    // Untranslated output: the runtime would turn every LF into CR LF, header
    // ends included, and the responses must leave byte for byte as written.
    // A server may start us without standard output; the runtime then has no
    // descriptor for it, and _setmode must not see an invalid one.
    if (_fileno(stdout) >= 0)
        _setmode(_fileno(stdout), _O_BINARY);
    std::setvbuf(stdout, out_buf, _IOFBF, sizeof out_buf);
}

const char *platform_name() { return "windows"; }

long platform_pid() { return static_cast<long>(GetCurrentProcessId()); }

bool platform_time(long long *seconds) {
    __time64_t t = _time64(nullptr);
    *seconds = static_cast<long long>(t);
    return t != static_cast<__time64_t>(-1);
}

bool platform_open_file(plat_stream *s, const char *path) {
    *s = plat_stream{};
    HANDLE h = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    // Only files on disk are read: NUL, CON, a serial port or a named pipe
    // could deliver endless data or none at all and hold the request.
    if (GetFileType(h) != FILE_TYPE_DISK) {
        CloseHandle(h);
        return false;
    }
    s->handle = as_value(h);
    return true;
}

bool platform_open_cmd(plat_stream *s, const char *cmd, int timeout_ms) {
    *s = plat_stream{};
    // The interpreter from the system folder, never one found through the
    // current folder or PATH. /d skips AutoRun commands of the registry; with
    // /s the interpreter drops the outer quotes and runs the text between
    // them exactly as it is.
    char app[MAX_PATH + 16];
    UINT dir_len = GetSystemDirectoryA(app, MAX_PATH);
    if (dir_len == 0 || dir_len >= MAX_PATH)
        return false;
    std::snprintf(app + dir_len, sizeof app - dir_len, "\\cmd.exe");
    int line_len = std::snprintf(cmd_line, sizeof cmd_line, "cmd.exe /d /s /c \"%s\"", cmd);
    if (line_len < 0 || line_len >= static_cast<int>(sizeof cmd_line))
        return false;
    if (!read_event && !(read_event = CreateEventA(nullptr, TRUE, FALSE, nullptr)))
        return false;
    if (!build_tool_env())
        return false;

    HANDLE read_end = nullptr, write_end = nullptr;
    if (!make_pipe(&read_end, &write_end))
        return false;
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE null_dev = CreateFileA("NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                  OPEN_EXISTING, 0, nullptr);
    HANDLE job = make_job();
    PROCESS_INFORMATION pi{};
    bool ok = null_dev != INVALID_HANDLE_VALUE && spawn(app, write_end, null_dev, &job, &pi);
    // The child holds its own copies now; ours must go, or the end of its
    // output would never be seen.
    CloseHandle(write_end);
    if (null_dev != INVALID_HANDLE_VALUE)
        CloseHandle(null_dev);
    if (!ok) {
        if (job)
            CloseHandle(job);
        CloseHandle(read_end);
        return false;
    }
    s->handle = as_value(read_end);
    s->child = as_value(pi.hProcess);
    s->job = as_value(job);
    s->deadline_ms = now_ms() + timeout_ms;
    return true;
}

long platform_read(plat_stream *s, char *buf, long cap) {
    HANDLE h = as_handle(s->handle);
    DWORD want = static_cast<DWORD>(cap);
    while (!s->ended) {
        DWORD got = 0;
        if (!s->child) { // a file
            if (ReadFile(h, buf, want, &got, nullptr) && got > 0)
                return static_cast<long>(got);
            s->ended = true;
            break;
        }
        long long left = s->deadline_ms - now_ms();
        if (left <= 0) { // the tool hangs: stop it and go on without it
            stop_command(s);
            s->ended = true;
            break;
        }
        OVERLAPPED ov{};
        ov.hEvent = read_event;
        if (!ReadFile(h, buf, want, &got, &ov)) {
            if (GetLastError() != ERROR_IO_PENDING) { // ERROR_BROKEN_PIPE: every writer is gone
                s->ended = true;
                break;
            }
            if (WaitForSingleObject(read_event, static_cast<DWORD>(left)) != WAIT_OBJECT_0) {
                // The read must be over before buf may be given back; a
                // cancelled read that raced with data still delivers it.
                CancelIoEx(h, &ov);
                stop_command(s);
            }
            if (!GetOverlappedResult(h, &ov, &got, TRUE)) {
                s->ended = true;
                break;
            }
        }
        if (got > 0)
            return static_cast<long>(got);
        // A zero-byte write of the tool completes a read with nothing; wait on.
    }
    return 0;
}

void platform_close(plat_stream *s) {
    CloseHandle(as_handle(s->handle));
    if (!s->child)
        return;
    HANDLE process = as_handle(s->child);
    long long left = s->deadline_ms - now_ms();
    if (WaitForSingleObject(process, static_cast<DWORD>(left > 0 ? left : 0)) != WAIT_OBJECT_0) {
        stop_command(s);
        WaitForSingleObject(process, KILL_GRACE_MS);
    }
    stop_command(s); // whatever the tool left behind in the job
    if (s->job)
        CloseHandle(as_handle(s->job));
    CloseHandle(process);
    s->child = 0;
    s->job = 0;
}

#else

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

long long now_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Waits until the child has been reaped or the given time has passed.
// SIGCHLD stays blocked from the spawn on, so sigtimedwait sleeps until the
// child changes state instead of polling.
bool reap_until(pid_t pid, long long until_ms) {
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
void kill_group(plat_stream *s) {
    if (s->child > 0)
        kill(-static_cast<pid_t>(s->child), SIGKILL);
}

} // namespace

void platform_init() {
    // A server may start us with a standard descriptor closed; without this a
    // pipe or file could land on 0, 1 or 2 and be mixed up with them.
    for (int fd = 0; fd <= 2; ++fd)
        if (fcntl(fd, F_GETFD) < 0 && errno == EBADF)
            open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    std::setvbuf(stdout, out_buf, _IOFBF, sizeof out_buf);
    std::signal(SIGPIPE, SIG_IGN);
}

const char *platform_name() { return "linux"; }

long platform_pid() { return static_cast<long>(getpid()); }

bool platform_time(long long *seconds) {
    std::time_t t = std::time(nullptr);
    *seconds = static_cast<long long>(t);
    return t != static_cast<std::time_t>(-1);
}

bool platform_open_file(plat_stream *s, const char *path) {
    *s = plat_stream{};
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

bool platform_open_cmd(plat_stream *s, const char *cmd, int timeout_ms) {
    *s = plat_stream{};
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return false;
    sigset_t chld, old;
    sigemptyset(&chld);
    sigaddset(&chld, SIGCHLD);
    sigprocmask(SIG_BLOCK, &chld, &old);
    pid_t pid = fork();
    if (pid == 0) {
        // The child: its own process group, the pipe as standard output, no
        // request body on standard input, and nothing of ours on stderr.
        setpgid(0, 0);
        sigprocmask(SIG_SETMASK, &old, nullptr);
        std::signal(SIGPIPE, SIG_DFL);
        dup2(fds[1], 1);
        int null_fd = open("/dev/null", O_RDWR);
        if (null_fd >= 0) {
            dup2(null_fd, 0);
            dup2(null_fd, 2);
        }
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

long platform_read(plat_stream *s, char *buf, long cap) {
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

void platform_close(plat_stream *s) {
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

#endif
