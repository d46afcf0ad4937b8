// proc_alive PID...: prints "PID alive" or "PID gone" for each process id and
// exits with 1 when any is alive. A process that is already being stopped
// gets up to two seconds to finish dying before it counts as alive.
// proc_alive --kill PID...: stops those processes (what a failed check left).
// proc_alive --self-check: shows that the check tells a running process from
// an ended one here: starts a sleeping copy of itself, which must count as
// alive, stops it, and then it must count as gone. Exits 0 when both hold.
// proc_alive --sleep: sleeps until it is stopped.
// proc_alive --launch-inheriting EXE ARG...: runs EXE as a server might, with
// our standard handles, and exits with its exit code. An inheritable handle
// of a file of 4242 bytes is left open and inherited by EXE; its value is in
// FAKE_INHERITED, for the fake tool to look for it in itself.
#include <windows.h>

#include "std_handles.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

static bool is_alive(DWORD pid) {
    HANDLE h = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    bool running = h && WaitForSingleObject(h, 2000) == WAIT_TIMEOUT;
    if (h)
        CloseHandle(h);
    return running;
}

static int self_check() {
    char self[MAX_PATH];
    static char line[MAX_PATH + 16];
    if (!GetModuleFileNameA(nullptr, self, MAX_PATH))
        return 2;
    std::snprintf(line, sizeof line, "\"%s\" --sleep", self);
    STARTUPINFOA si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessA(self, line, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        return 2;
    bool seen_alive = is_alive(pi.dwProcessId);
    TerminateProcess(pi.hProcess, 1);
    WaitForSingleObject(pi.hProcess, 5000);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    bool seen_gone = !is_alive(pi.dwProcessId);
    std::printf("running copy seen %s, stopped copy seen %s\n", seen_alive ? "alive" : "gone",
                seen_gone ? "gone" : "alive");
    return seen_alive && seen_gone ? 0 : 1;
}

static int launch_inheriting(int argc, char **argv) {
    static char line[32768];
    size_t used = 0;
    for (int i = 0; i < argc; ++i) {
        int n = std::snprintf(line + used, sizeof line - used, "%s\"%s\"", i ? " " : "", argv[i]);
        if (n < 0 || static_cast<size_t>(n) >= sizeof line - used)
            return 2;
        used += static_cast<size_t>(n);
    }
    char temp[MAX_PATH], name[MAX_PATH];
    if (!GetTempPathA(MAX_PATH, temp) || !GetTempFileNameA(temp, "vis", 0, name))
        return 2;
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE file =
        CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, &inherit, CREATE_ALWAYS, FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    static char body[4242];
    DWORD wrote = 0;
    if (file == INVALID_HANDLE_VALUE || !WriteFile(file, body, sizeof body, &wrote, nullptr))
        return 2;
    char value[32];
    std::snprintf(value, sizeof value, "%llu", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(file)));
    SetEnvironmentVariableA("FAKE_INHERITED", value);
    STARTUPINFOA si = with_std_handles();
    PROCESS_INFORMATION pi{};
    if (!CreateProcessA(nullptr, line, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi))
        return 2;
    WaitForSingleObject(pi.hProcess, INFINITE);
    DWORD code = 2;
    GetExitCodeProcess(pi.hProcess, &code);
    return static_cast<int>(code);
}

int main(int argc, char **argv) {
    if (argc > 2 && std::strcmp(argv[1], "--launch-inheriting") == 0)
        return launch_inheriting(argc - 2, argv + 2);
    if (argc == 2 && std::strcmp(argv[1], "--sleep") == 0) {
        Sleep(INFINITE);
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--self-check") == 0)
        return self_check();
    if (argc > 1 && std::strcmp(argv[1], "--kill") == 0) {
        for (int i = 2; i < argc; ++i) {
            HANDLE h = OpenProcess(PROCESS_TERMINATE, FALSE, static_cast<DWORD>(std::strtoul(argv[i], nullptr, 10)));
            if (h) {
                TerminateProcess(h, 1);
                CloseHandle(h);
            }
        }
        return 0;
    }
    int alive = 0;
    for (int i = 1; i < argc; ++i) {
        DWORD pid = static_cast<DWORD>(std::strtoul(argv[i], nullptr, 10));
        bool running = is_alive(pid);
        std::printf("%lu %s\n", pid, running ? "alive" : "gone");
        alive += running;
    }
    return alive ? 1 : 0;
}
