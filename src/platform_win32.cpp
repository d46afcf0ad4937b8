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

static bool is_path_entry(const wchar_t *e) {
    return (e[0] | 0x20) == L'p' && (e[1] | 0x20) == L'a' && (e[2] | 0x20) == L't' && (e[3] | 0x20) == L'h' &&
           e[4] == L'=';
}

// Copies our environment into tool_env, leaving out the request variables.
// Should the rest not fit, entries are left out, but never PATH, without
// which no tool is found. False when the environment cannot be read: then no
// tool runs at all rather than one that sees the request.
static bool build_tool_env() {
    wchar_t *block = GetEnvironmentStringsW();
    if (!block)
        return false;
    size_t path_len = 0;
    for (const wchar_t *e = block; *e; e += wcslen(e) + 1)
        if (is_path_entry(e))
            path_len = wcslen(e) + 1;
    size_t used = 0;
    constexpr size_t room = sizeof tool_env / sizeof tool_env[0] - 1; // the block's final NUL
    for (const wchar_t *e = block; *e; e += wcslen(e) + 1) {
        size_t len = wcslen(e) + 1;
        bool path = is_path_entry(e);
        if (is_request_entry(e) || used + len + (path ? 0 : path_len) > room)
            continue;
        memcpy(tool_env + used, e, len * sizeof *e);
        used += len;
        if (path)
            path_len = 0;
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

// The stream of the command that platform_open_cmd is starting, for the
// record of a failure.
static platform_stream *starting;

// Records why the command could not start, in the system's words for the
// last error.
static bool fail_start(const char *step) {
    static char reason[128];
    DWORD error = GetLastError();
    if (!FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, reason,
                        sizeof reason, nullptr))
        snprintf(reason, sizeof reason, "error %lu", static_cast<unsigned long>(error));
    return start_failed(starting, step, reason);
}

// Starts the interpreter suspended, puts it into the job before it runs a
// single instruction (so nothing it starts can escape the job), then lets it
// go. Only the given handles are inherited: without the list every
// inheritable handle of ours would go along, the server's end of our standard
// output included, and a tool that outlives us would hold the response open.
static bool spawn(const char *app, const char *folder, HANDLE out, HANDLE null_dev, HANDLE *job,
                  PROCESS_INFORMATION *pi) {
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
            if (UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, static_cast<void *>(inherited),
                                          sizeof inherited, nullptr, nullptr)) {
                si.lpAttributeList = list;
                flags |= EXTENDED_STARTUPINFO_PRESENT;
            } else {
                DeleteProcThreadAttributeList(list);
            }
        }
    }
    // Without the list every inheritable handle would go along: no tool
    // runs rather than one that holds what the server left us.
    if (!si.lpAttributeList)
        return fail_start("PROC_THREAD_ATTRIBUTE_HANDLE_LIST");
    BOOL started = CreateProcessA(app, cmd_line, nullptr, nullptr, TRUE, flags, tool_env, folder, &si.StartupInfo, pi);
    DWORD error = GetLastError();
    DeleteProcThreadAttributeList(si.lpAttributeList);
    if (!started) {
        SetLastError(error);
        return fail_start("CreateProcess");
    }
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
}

// Straight to the descriptor, which platform_init has made binary: the
// output unit has gathered the bytes already, and stdio would only copy them
// into a buffer of its own once more.
void platform_write(const char *bytes, long n) {
    int fd = _fileno(stdout);
    while (fd >= 0 && n > 0) {
        int w = _write(fd, bytes, static_cast<unsigned>(n < (1 << 30) ? n : (1 << 30)));
        if (w <= 0)
            return;
        bytes += w;
        n -= w;
    }
}

// The C runtime's getenv hands out the environment in the ANSI code page,
// with "?" for every character the code page lacks, so two different
// passwords could read the same. Values are read from the Unicode
// environment instead and converted to UTF-8: the bytes a Linux server
// would pass. Each name is converted once, into a slot of its own that holds
// the longest value Windows allows; the program reads far fewer names than
// there are slots.
constexpr int ENV_SLOTS = 16;
constexpr int ENV_VALUE_UNITS = 32767;                   // UTF-16 units, the system's limit
constexpr int ENV_VALUE_BYTES = ENV_VALUE_UNITS * 3 + 1; // each unit gives at most 3 UTF-8 bytes
static char env_values[ENV_SLOTS][ENV_VALUE_BYTES];
static const char *env_names[ENV_SLOTS];
static bool env_set[ENV_SLOTS];
static wchar_t wide_buf[ENV_VALUE_UNITS + 1];

const char *platform_getenv(const char *name) {
    int slot = 0;
    for (; slot < ENV_SLOTS && env_names[slot]; ++slot)
        if (strcmp(env_names[slot], name) == 0)
            return env_set[slot] ? env_values[slot] : nullptr;
    if (slot == ENV_SLOTS)
        return nullptr;
    wchar_t wide_name[64];
    size_t n = 0;
    for (; n < 63 && name[n]; ++n)
        wide_name[n] = static_cast<unsigned char>(name[n]);
    wide_name[n] = L'\0';
    SetLastError(ERROR_SUCCESS);
    DWORD len = GetEnvironmentVariableW(wide_name, wide_buf, ENV_VALUE_UNITS + 1);
    env_names[slot] = name;
    if (len > ENV_VALUE_UNITS || (len == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND))
        return nullptr;
    int bytes = len ? WideCharToMultiByte(CP_UTF8, 0, wide_buf, static_cast<int>(len), env_values[slot],
                                          ENV_VALUE_BYTES - 1, nullptr, nullptr)
                    : 0;
    if (len && bytes <= 0)
        return nullptr;
    env_values[slot][bytes] = '\0';
    env_set[slot] = true;
    return env_values[slot];
}

const char *platform_name() { return "windows"; }

long platform_pid() { return static_cast<long>(GetCurrentProcessId()); }

bool platform_time(long long *seconds) {
    __time64_t t = _time64(nullptr);
    *seconds = static_cast<long long>(t);
    return t != static_cast<__time64_t>(-1);
}

bool platform_open_file(platform_stream *s, const char *path, int timeout_ms) {
    *s = platform_stream{};
    // The path arrives as UTF-8, like every value the program reads, and is
    // opened through its Unicode form.
    if (!MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, wide_buf, ENV_VALUE_UNITS + 1))
        return false;
    HANDLE h = CreateFileW(wide_buf, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
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
    s->deadline_ms = now_ms() + timeout_ms;
    return true;
}

bool platform_open_cmd(platform_stream *s, const char *cmd, int timeout_ms) {
    *s = platform_stream{};
    // The interpreter from the system folder, never one found through the
    // current folder or PATH, and started in the system folder: cmd.exe
    // looks for a command in its current folder before PATH, so a tool
    // planted in the server's folder would run. /d skips AutoRun commands of
    // the registry; with /s the interpreter drops the outer quotes and runs
    // the text between them exactly as it is.
    starting = s;
    char folder[MAX_PATH], app[MAX_PATH + 16];
    UINT dir_len = GetSystemDirectoryA(folder, MAX_PATH);
    if (dir_len == 0 || dir_len >= MAX_PATH)
        return fail_start("GetSystemDirectory");
    snprintf(app, sizeof app, "%s\\cmd.exe", folder);
    int line_len = snprintf(cmd_line, sizeof cmd_line, "cmd.exe /d /s /c \"%s\"", cmd);
    if (line_len < 0 || line_len >= static_cast<int>(sizeof cmd_line))
        return start_failed(s, "command line", "too long");
    if (!read_event)
        read_event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!read_event)
        return fail_start("CreateEvent");
    if (!build_tool_env())
        return fail_start("GetEnvironmentStrings");

    HANDLE read_end = nullptr, write_end = nullptr;
    if (!make_pipe(&read_end, &write_end))
        return fail_start("CreatePipe");
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE null_dev = CreateFileA("NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                  OPEN_EXISTING, 0, nullptr);
    HANDLE job = make_job();
    PROCESS_INFORMATION pi{};
    bool ok = null_dev != INVALID_HANDLE_VALUE ? spawn(app, folder, write_end, null_dev, &job, &pi) : fail_start("NUL");
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

// How long the next wait for output may last: until the deadline, and once
// the interpreter has ended, until its output has been quiet a short while.
static long long wait_limit(const platform_stream *s, long long quiet_until) {
    long long limit = s->deadline_ms;
    if (s->exited && quiet_until < limit)
        limit = quiet_until;
    return limit - now_ms();
}

// The reading is over; when the deadline ended it, that is how the stream
// ended, whatever the command does next.
static void end_reading(platform_stream *s) {
    s->ended = true;
    if (now_ms() >= s->deadline_ms)
        s->end = PLATFORM_END_DEADLINE;
}

long platform_read(platform_stream *s, char *buf, long cap) {
    HANDLE h = as_handle(s->handle);
    DWORD want = static_cast<DWORD>(cap);
    long long quiet_until = now_ms() + QUIET_AFTER_EXIT_MS;
    while (!s->ended) {
        DWORD got = 0;
        if (!s->child) { // a file, read until its end or the deadline
            if (now_ms() < s->deadline_ms && ReadFile(h, buf, want, &got, nullptr) && got > 0)
                return static_cast<long>(got);
            end_reading(s);
            break;
        }
        if (wait_limit(s, quiet_until) <= 0) { // the tool hangs, or is gone and its output quiet
            end_reading(s);
            break;
        }
        OVERLAPPED ov{};
        ov.hEvent = read_event;
        if (!ReadFile(h, buf, want, &got, &ov)) {
            if (GetLastError() != ERROR_IO_PENDING) { // ERROR_BROKEN_PIPE: every writer is gone
                end_reading(s);
                break;
            }
            HANDLE events[2] = {read_event, as_handle(s->child)};
            for (;;) {
                long long left = wait_limit(s, quiet_until);
                DWORD w =
                    WaitForMultipleObjects(s->exited ? 1 : 2, events, FALSE, static_cast<DWORD>(left > 0 ? left : 0));
                if (w == WAIT_OBJECT_0 + 1) { // the interpreter has ended
                    s->exited = true;
                    quiet_until = now_ms() + QUIET_AFTER_EXIT_MS;
                    continue;
                }
                if (w != WAIT_OBJECT_0) {
                    // The read must be over before buf may be given back; a
                    // cancelled read that raced with data still delivers it.
                    CancelIoEx(h, &ov);
                    if (!s->exited)
                        stop_command(s);
                }
                break;
            }
            if (!GetOverlappedResult(h, &ov, &got, TRUE)) {
                end_reading(s);
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
    DWORD code = 0;
    if (WaitForSingleObject(process, static_cast<DWORD>(left > 0 ? left : 0)) != WAIT_OBJECT_0) {
        stop_command(s);
        s->end = PLATFORM_END_DEADLINE;
        WaitForSingleObject(process, KILL_GRACE_MS);
    } else if (s->end != PLATFORM_END_DEADLINE && GetExitCodeProcess(process, &code)) {
        s->end = PLATFORM_END_EXIT;
        s->status = code;
    }
    stop_command(s); // whatever the tool left behind in the job
    if (s->job)
        CloseHandle(as_handle(s->job));
    CloseHandle(process);
    s->child = 0;
    s->job = 0;
}

// ---- the PCI bus -----------------------------------------------------------

// Windows has no folder of PCI functions to read, and its GPU tools have a
// way of their own to lose a GPU; the check is Linux's.
int platform_unbound_nvidia_gpus(char (*)[PCI_ADDRESS_SIZE], int) { return 0; }
