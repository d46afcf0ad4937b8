// The platform layer on Windows, built with mingw-w64.
#include "platform.h"
#include "platform_common.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <wchar.h>

// Arguments are taken exactly as the server passes them: the mingw runtime
// would otherwise expand wildcards in them before main.
extern "C" {
int _dowildcard = 0;
}

// Command lines and pipe names are built here, not on the heap. The fixed
// commands are a fraction of this.
static char cmd_line[1024];
static char pipe_name[96];
static long pipe_serial;

// Handles a child may inherit: the pipe's write end and the null device.
// The attribute list lives in static storage, which is far more than one
// attribute needs on any Windows version (spawn checks the size it asks for).
alignas(16) static unsigned char attr_buf[256];

// The environment block a tool gets: ours without the request variables,
// kept in UTF-16 as the system holds it, so no value passes through a code
// page on its way.
static wchar_t tool_env[1 << 15];

// Names of environment variables are case-insensitive on Windows (getenv
// finds Query_String as QUERY_STRING), so they are compared in capitals.
static bool is_request_entry(const wchar_t *entry) {
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
static bool build_tool_env() {
    wchar_t *block = GetEnvironmentStringsW();
    if (!block)
        return false;
    size_t used = 0;
    int count = 0;
    constexpr size_t room = sizeof tool_env / sizeof tool_env[0] - 1; // the block's final NUL
    for (const wchar_t *e = block; *e; e += wcslen(e) + 1) {
        size_t len = wcslen(e) + 1;
        if (is_request_entry(e) || count == MAX_TOOL_ENV || used + len > room)
            continue;
        memcpy(tool_env + used, e, len * sizeof *e);
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
static HANDLE read_event;

static long long now_ms() { return static_cast<long long>(GetTickCount64()); }

// platform_stream keeps handles as plain integers so that its header needs no
// system headers; these two casts are the only way between the two forms.
static HANDLE as_handle(long long h) {
    return reinterpret_cast<HANDLE>(static_cast<intptr_t>(h)); // NOLINT(performance-no-int-to-ptr)
}
static long long as_value(HANDLE h) { return static_cast<long long>(reinterpret_cast<intptr_t>(h)); }

// Stops the command and everything it started: the job holds them all. Only
// when the job could not be set up is the interpreter alone stopped.
static void stop_command(platform_stream *s) {
    if (s->job)
        TerminateJobObject(as_handle(s->job), 1);
    else if (s->child)
        TerminateProcess(as_handle(s->child), 1);
}

// A job whose processes are killed when its last handle closes, so even a
// request that ends unexpectedly leaves no tool running.
static HANDLE make_job() {
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
// by polling PeekNamedPipe with sleeps, which adds a timer tick of delay per
// empty poll and wakes the process again and again while a slow tool works.
// A named pipe opened for overlapped reads lets one wait end the moment data
// or the end of output arrives, or when the deadline passes. The name is
// unique (process id and a counter), only one instance may exist and remote
// clients are refused, so no other process can take our place.
static bool make_pipe(HANDLE *read_end, HANDLE *write_end) {
    snprintf(pipe_name, sizeof pipe_name, "\\\\.\\pipe\\vistrel-%lu-%ld", GetCurrentProcessId(), ++pipe_serial);
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
static bool spawn(const char *app, HANDLE out, HANDLE null_dev, HANDLE *job, PROCESS_INFORMATION *pi) {
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
    setvbuf(stdout, platform_out_buf, _IOFBF, sizeof platform_out_buf);
}

const char *platform_getenv(const char *name) { return getenv(name); }

const char *platform_name() { return "windows"; }

long platform_pid() { return static_cast<long>(GetCurrentProcessId()); }

bool platform_time(long long *seconds) {
    __time64_t t = _time64(nullptr);
    *seconds = static_cast<long long>(t);
    return t != static_cast<__time64_t>(-1);
}

bool platform_open_file(platform_stream *s, const char *path) {
    *s = platform_stream{};
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

bool platform_open_cmd(platform_stream *s, const char *cmd, int timeout_ms) {
    *s = platform_stream{};
    // The interpreter from the system folder, never one found through the
    // current folder or PATH. /d skips AutoRun commands of the registry; with
    // /s the interpreter drops the outer quotes and runs the text between
    // them exactly as it is.
    char app[MAX_PATH + 16];
    UINT dir_len = GetSystemDirectoryA(app, MAX_PATH);
    if (dir_len == 0 || dir_len >= MAX_PATH)
        return false;
    snprintf(app + dir_len, sizeof app - dir_len, "\\cmd.exe");
    int line_len = snprintf(cmd_line, sizeof cmd_line, "cmd.exe /d /s /c \"%s\"", cmd);
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

long platform_read(platform_stream *s, char *buf, long cap) {
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

void platform_close(platform_stream *s) {
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
