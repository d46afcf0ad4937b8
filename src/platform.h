// Everything that differs between operating systems, behind one interface:
// the environment, standard output, the clock, the process id, files and
// child processes. Each system has a file of its own (platform_posix.cpp,
// platform_win32.cpp) and the build picks one; nothing else in the program
// knows which system it runs on.
#pragma once

// Where the vendor commands send their error output: the null device of the
// command interpreter that runs them.
#if defined(_WIN32)
#define PLATFORM_NULL_REDIRECT "2>NUL"
#else
#define PLATFORM_NULL_REDIRECT "2>/dev/null"
#endif

// The exit status the command interpreter gives a command it cannot find:
// the shell's 127, cmd.exe's 9009 ("is not recognized as an internal or
// external command"). Wine's cmd.exe exits 0 there instead, which with
// nothing printed reads as no failure too.
#if defined(_WIN32)
constexpr unsigned long PLATFORM_NOT_FOUND_STATUS = 9009;
#else
constexpr unsigned long PLATFORM_NOT_FOUND_STATUS = 127;
#endif

// Called first in main: standard output gets blocking writes and untranslated
// line ends; a client that hangs up, or a file size limit, makes writes fail
// quietly instead of killing the process.
void platform_init();

// Writes n bytes to standard output, in order after everything written
// before, all of them unless writing fails (a client that hung up). The
// response leaves through here, from the output unit.
void platform_write(const char *bytes, long n);

// The value of an environment variable as bytes, or NULL when it is not set.
const char *platform_getenv(const char *name);

// The value of an environment variable that is set and not empty, else NULL.
const char *env_nonempty(const char *name);

// "linux" or "windows", as the info document reports it.
const char *platform_name();

long platform_pid();

// Seconds since 1970-01-01 00:00:00 UTC; false when the clock cannot be read.
bool platform_time(long long *seconds);

// How a stream ended. The deadline wins: a command whose reading the
// deadline cut short is PLATFORM_END_DEADLINE whatever its exit status.
enum platform_end : unsigned char {
    PLATFORM_END_UNKNOWN,     // a file read to its end; a command not yet closed
    PLATFORM_END_EXIT,        // the interpreter exited; status is its exit status
    PLATFORM_END_SIGNAL,      // the interpreter was ended by signal number status (POSIX)
    PLATFORM_END_DEADLINE,    // the deadline ended the reading, and the command was stopped
    PLATFORM_END_NOT_STARTED, // platform_open_cmd failed; failure says why
};

// An open file or the standard output of a running command, read in chunks.
// Plain integers so that this header needs no system headers.
struct platform_stream {
    long long handle;      // file descriptor (POSIX) or HANDLE (Windows)
    long long child;       // process id (POSIX) or process HANDLE (Windows); 0 for a file
    long long job;         // Windows job object holding the command's processes; 0 elsewhere
    long long deadline_ms; // monotonic time after which reading stops (and a command is stopped)
    unsigned long status;  // see end
    bool ended;            // end of output, read error or deadline reached
    bool exited;           // the command's interpreter has ended
    platform_end end;      // how it ended, once platform_close has returned
    // For PLATFORM_END_NOT_STARTED: the step that failed and the system's
    // text for the error, "fork: Resource temporarily unavailable".
    char failure[160];
};

// Opens a file for reading; false when it cannot be opened. Reading it ends
// when timeout_ms have passed, so even a file without end cannot hold us.
bool platform_open_file(platform_stream *s, const char *path, int timeout_ms);

// Runs the command text through the command interpreter, unchanged (a POSIX
// shell is told to exec it, so the tool runs in the shell's own process),
// with its standard output connected to the stream and nothing else of ours.
// The command and everything it starts are stopped when timeout_ms have
// passed, when we end however we end, and once the interpreter has ended its
// output is waited for only a short quiet time; no wait, for the command or
// for a process of ours, lasts past the deadline and the kill grace. False when it cannot start (no
// process, no interpreter, no descriptor left), with the stream's end and
// failure saying why; a command that starts but is not found is not such a
// failure (it exits with PLATFORM_NOT_FOUND_STATUS).
bool platform_open_cmd(platform_stream *s, const char *cmd, int timeout_ms);

// Reads up to cap bytes. Returns the number read, or 0 at the end of output,
// on a read error, or when the deadline has passed (the command is then
// killed). Never blocks past the deadline.
long platform_read(platform_stream *s, char *buf, long cap);

// Closes the stream and leaves in its end (and status) how it ended. For a
// command: waits for it to end until the deadline, kills it and everything
// it started, detached processes included, and reaps it; a process that
// ignores even the kill (stuck inside a driver) is waited for only a short
// grace.
void platform_close(platform_stream *s);

// The longest PCI address kept, terminator included: "0000:0b:00.0", or
// one with a wider domain.
constexpr int PCI_ADDRESS_SIZE = 24;

// The NVIDIA GPUs on the PCI bus that no driver holds: a GPU whose probe
// failed, or that fell off the bus hard enough, is let go by the driver,
// and nvidia-smi then lists the others as if it never existed. Display and
// 3D controllers of NVIDIA's vendor id without a driver count; one held by
// any driver (vfio-pci for a virtual machine, nouveau) is someone's choice,
// and NVIDIA's other functions (audio, NVSwitch bridges) and the virtual
// functions of a partitioned GPU are no such GPU. Writes the addresses of
// the first cap of them, in address order, and returns how many there are
// in all; 0 where the bus cannot be read. Linux only: 0 elsewhere.
int platform_unbound_nvidia_gpus(char (*addresses)[PCI_ADDRESS_SIZE], int cap);
