// Stands in for nvidia-smi.exe (built with -DFAKE_NVIDIA) or rocm-smi.exe
// (-DFAKE_ROCM) on the Wine PATH. Answers only the fixed queries the plugin
// runs, compared argument by argument; anything else fails loudly, so a
// changed command line shows.
//   FAKE_NVIDIA_GPU / FAKE_NVIDIA_APPS   file printed for the GPU / compute-apps query
//   FAKE_ROCM_OUT                        file printed as the rocm-smi report
//   FAKE_NVIDIA_HANG=gpu|apps, FAKE_ROCM_HANG=1
//        after printing, start a sleeper that shares standard output and
//        never end
//   FAKE_NVIDIA_DETACH=gpu|apps
//        after printing, start such a sleeper detached from us (no console,
//        a process group of its own, and out of our job if the job lets it
//        go) and end at once: the output stays open although the tool is gone
//   FAKE_NVIDIA_EXIT, FAKE_ROCM_EXIT   exit status after printing (default 0)
//   FAKE_NVIDIA_APPS_EXIT              the compute-apps query's, when it differs
//   FAKE_INHERITED  the value of a handle to a file of 4242 bytes that the
//        plugin was left: one that reaches the tool is logged as
//        "<tool> INHERITED <pid>"
//   FAKE_LOG  one line per call appended here: "<tool> <query> <pid>",
//             "sleeper <pid>" for a sleeper, and "<tool> LEAK(<name>) <pid>"
//             for each variable of the request that reached the tool
// The printed file goes through the text-mode standard output, so every LF
// leaves as CR LF, as the real tools' output does on Windows.
#include <windows.h>

#include "std_handles.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

namespace {

#if defined(FAKE_NVIDIA)
const char *const TOOL = "nvidia-smi";
const char *const GPU_ARGS[] = {"--query-gpu=index,uuid,name,utilization.gpu,memory.used,memory.total,"
                                "temperature.gpu,power.draw,power.limit,driver_version",
                                "--format=csv,noheader,nounits"};
const char *const APPS_ARGS[] = {"--query-compute-apps=gpu_uuid,pid,process_name,used_memory",
                                 "--format=csv,noheader,nounits"};
#elif defined(FAKE_ROCM)
const char *const TOOL = "rocm-smi";
const char *const REPORT_ARGS[] = {"--showproductname", "--showuse",  "--showmeminfo", "vram",
                                   "--showtemp",        "--showpower"};
#else
#error "build with -DFAKE_NVIDIA or -DFAKE_ROCM"
#endif

template <int N> bool args_are(int argc, char **argv, const char *const (&want)[N]) {
    if (argc != N + 1)
        return false;
    for (int i = 0; i < N; ++i)
        if (std::strcmp(argv[i + 1], want[i]) != 0)
            return false;
    return true;
}

void log_line(const char *what, unsigned long pid) {
    const char *path = std::getenv("FAKE_LOG");
    if (!path || !*path)
        return;
    if (FILE *f = std::fopen(path, "a")) {
        std::fprintf(f, "%s %lu\n", what, pid);
        std::fclose(f);
    }
}

void print_file(const char *path) {
    if (!path || !*path)
        return;
    FILE *f = std::fopen(path, "rb");
    if (!f)
        return;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        std::fwrite(buf, 1, n, stdout);
    std::fclose(f);
    std::fflush(stdout);
}

// A copy of this program that only sleeps, holding our standard output.
void start_sleeper(bool detached) {
    char self[MAX_PATH];
    if (!GetModuleFileNameA(nullptr, self, MAX_PATH))
        return;
    static char line[MAX_PATH + 32];
    std::snprintf(line, sizeof line, "\"%s\" --sleeper", self);
    STARTUPINFOA si = with_std_handles();
    SetHandleInformation(si.hStdOutput, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    PROCESS_INFORMATION pi{};
    DWORD flags = detached ? DETACHED_PROCESS | CREATE_NEW_PROCESS_GROUP : 0;
    // Leaving the job is refused unless the job allows it; then the sleeper
    // stays in it, detached all the same.
    bool started = detached && CreateProcessA(self, line, nullptr, nullptr, TRUE, flags | CREATE_BREAKAWAY_FROM_JOB,
                                              nullptr, nullptr, &si, &pi);
    if (started || CreateProcessA(self, line, nullptr, nullptr, TRUE, flags, nullptr, nullptr, &si, &pi)) {
        log_line("sleeper", pi.dwProcessId);
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
    }
}

// The request's variables and the servers' usual additions, one word each.
const char KEPT_BACK[] = "QUERY_STRING HTTP_X_BOT_PASSWORD HTTP_AUTHORIZATION HTTP_HOST BOT_PASSWORD REQUEST_URI "
                         "REQUEST_METHOD SERVER_NAME SERVER_PORT SERVER_SIGNATURE SERVER_SOFTWARE DOCUMENT_ROOT "
                         "CONTEXT_DOCUMENT_ROOT CONTEXT_PREFIX HTTPS GATEWAY_INTERFACE REMOTE_ADDR REMOTE_PORT "
                         "SCRIPT_NAME SCRIPT_FILENAME CONTENT_LENGTH CONTENT_TYPE AUTH_TYPE PATH_INFO PATH_TRANSLATED "
                         "REDIRECT_STATUS SSL_PROTOCOL UNIQUE_ID";

bool env_is(const char *name, const char *value) {
    const char *v = std::getenv(name);
    return v && std::strcmp(v, value) == 0;
}

} // namespace

int main(int argc, char **argv) {
    if (argc == 2 && std::strcmp(argv[1], "--sleeper") == 0) {
        Sleep(300000);
        return 0;
    }
    const char *query = nullptr;
    const char *file = nullptr;
    const char *exit_status = nullptr;
    bool hang = false, detach = false;
#if defined(FAKE_NVIDIA)
    if (args_are(argc, argv, GPU_ARGS)) {
        query = "gpu";
        file = std::getenv("FAKE_NVIDIA_GPU");
    } else if (args_are(argc, argv, APPS_ARGS)) {
        query = "apps";
        file = std::getenv("FAKE_NVIDIA_APPS");
    }
    if (query) {
        hang = env_is("FAKE_NVIDIA_HANG", query);
        detach = env_is("FAKE_NVIDIA_DETACH", query);
        exit_status = std::getenv(std::strcmp(query, "apps") == 0 && std::getenv("FAKE_NVIDIA_APPS_EXIT")
                                      ? "FAKE_NVIDIA_APPS_EXIT"
                                      : "FAKE_NVIDIA_EXIT");
    }
#else
    if (args_are(argc, argv, REPORT_ARGS)) {
        query = "report";
        file = std::getenv("FAKE_ROCM_OUT");
        hang = env_is("FAKE_ROCM_HANG", "1");
        exit_status = std::getenv("FAKE_ROCM_EXIT");
    }
#endif
    char what[64];
    if (!query) {
        std::snprintf(what, sizeof what, "%s BAD-ARGS(%d)", TOOL, argc - 1);
        log_line(what, GetCurrentProcessId());
        std::fprintf(stderr, "fake %s: unexpected arguments\n", TOOL);
        return 64;
    }
    // A tool must never see the request, the node password or what a server
    // derives from the request (getenv finds a name in any letter case here,
    // as Windows does). The tests set each of these.
    for (const char *p = KEPT_BACK; *p;) {
        char name[32];
        size_t n = std::strcspn(p, " ");
        std::snprintf(name, sizeof name, "%.*s", static_cast<int>(n), p);
        p += n + (p[n] == ' ');
        if (std::getenv(name)) {
            std::snprintf(what, sizeof what, "%s LEAK(%s)", TOOL, name);
            log_line(what, GetCurrentProcessId());
        }
    }
    std::snprintf(what, sizeof what, "%s %s", TOOL, query);
    log_line(what, GetCurrentProcessId());
    if (const char *inherited = std::getenv("FAKE_INHERITED")) {
        HANDLE h = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(std::strtoull(inherited, nullptr, 10)));
        LARGE_INTEGER size{};
        DWORD flags = 0;
        if (GetHandleInformation(h, &flags) && GetFileType(h) == FILE_TYPE_DISK && GetFileSizeEx(h, &size) &&
            size.QuadPart == 4242) {
            std::snprintf(what, sizeof what, "%s INHERITED", TOOL);
            log_line(what, GetCurrentProcessId());
        }
    }
    print_file(file);
    if (hang || detach)
        start_sleeper(detach);
    if (hang)
        Sleep(300000);
    return exit_status ? std::atoi(exit_status) : 0;
}
