// Runs the built plugin as a CGI server would: a fresh process with exactly
// the environment the test gives, standard output and standard error
// captured separately, and the exit status; optionally started the ways
// real servers start it (another working folder, signals ignored or
// blocked, a non-blocking standard output). Also: whether a process the run
// left behind is gone.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "files.h"

struct plugin_result {
    std::string out;
    std::string err;
    int status = -1; // exit status, or -1 when it did not exit normally
    int signal = 0;  // the signal that ended it, 0 when it exited
    double seconds = 0;
    long pid = 0;        // the plugin's process id
    long max_rss_kb = 0; // peak resident memory of the plugin and its reaped children
};

// The binary under test: VISTREL_BIN, else the release build.
inline std::string plugin_path() { return env_or("VISTREL_BIN", "build/plugin_vistrel"); }

// An environment and more variables: with(node_env, {"QUERY_STRING=..."}).
inline std::vector<std::string> with(std::vector<std::string> env, std::initializer_list<std::string> more) {
    env.insert(env.end(), more.begin(), more.end());
    return env;
}

// What a server may leave the plugin with, beyond its environment.
struct run_options {
    std::string cwd;                    // working folder; empty: the suite's own
    bool ignore_sigchld = false;        // SIGCHLD ignored (inherited across exec)
    bool block_signals = false;         // every signal blocked (inherited across exec)
    bool small_nonblocking_out = false; // standard output a one-page pipe in non-blocking mode
    // Called with the plugin's pid once it runs, before its output is read:
    // a late reader, or a server that stops it.
    std::function<void(long pid)> while_running;
    // Called in the plugin's process just before it starts (a mount
    // namespace of its own); false ends it there with status 125.
    std::function<bool()> before_exec;
};

// Starts the plugin with exactly env, standard input on /dev/null and
// standard output and error on out_fd and err_fd. Pipes should be made with
// O_CLOEXEC, so the child keeps only the ends it was given.
inline pid_t spawn_plugin(const std::string &bin, const std::vector<std::string> &args,
                          const std::vector<std::string> &env, int out_fd, int err_fd,
                          const run_options &opt = run_options()) {
    std::vector<char *> argv{const_cast<char *>(bin.c_str())};
    for (const auto &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<char *> envp;
    for (const auto &e : env)
        envp.push_back(const_cast<char *>(e.c_str()));
    envp.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        int null_fd = open("/dev/null", O_RDONLY);
        if (null_fd < 0)
            _exit(126);
        dup2(null_fd, 0);
        dup2(out_fd, 1);
        dup2(err_fd, 2);
        if (!opt.cwd.empty() && chdir(opt.cwd.c_str()) != 0)
            _exit(126);
        if (opt.ignore_sigchld)
            signal(SIGCHLD, SIG_IGN);
        if (opt.block_signals) {
            sigset_t all;
            sigfillset(&all);
            sigprocmask(SIG_SETMASK, &all, nullptr);
        }
        if (opt.before_exec && !opt.before_exec())
            _exit(125);
        execve(bin.c_str(), argv.data(), envp.data());
        _exit(126);
    }
    return pid;
}

inline plugin_result run_plugin(const run_options &opt, const std::vector<std::string> &env,
                                const std::vector<std::string> &args = {}, const std::string &bin = plugin_path()) {
    int out_pipe[2], err_pipe[2];
    plugin_result r;
    if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0)
        return r;
    // The write end only: a server's shared descriptor, its flag on the
    // plugin's side, and a buffer that a response outgrows.
    if (opt.small_nonblocking_out &&
        (fcntl(out_pipe[1], F_SETPIPE_SZ, 4096) < 0 || fcntl(out_pipe[1], F_SETFL, O_NONBLOCK) != 0))
        return r;
    auto start = std::chrono::steady_clock::now();
    pid_t pid = spawn_plugin(bin, args, env, out_pipe[1], err_pipe[1], opt);
    close(out_pipe[1]);
    close(err_pipe[1]);
    if (opt.while_running)
        opt.while_running(pid);
    pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
    std::string *sinks[2] = {&r.out, &r.err};
    int open_count = 2;
    char buf[65536];
    // A plugin that never ends would hang the whole suite: stop it after a
    // minute, far beyond any bound the plugin keeps, and let the test fail.
    auto give_up = start + std::chrono::seconds(60);
    while (open_count > 0) {
        int wait_ms = static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(give_up - std::chrono::steady_clock::now()).count());
        if (wait_ms <= 0) {
            kill(pid, SIGKILL);
            wait_ms = 1000;
        }
        if (poll(fds, 2, wait_ms) <= 0)
            continue;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                sinks[i]->append(buf, static_cast<size_t>(n));
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open_count;
            }
        }
    }
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    r.pid = pid;
    r.max_rss_kb = usage.ru_maxrss;
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return r;
}

inline plugin_result run_plugin(const std::vector<std::string> &env, const std::vector<std::string> &args = {},
                                const std::string &bin = plugin_path()) {
    return run_plugin(run_options(), env, args, bin);
}

// The response body: everything after the blank line that ends the header block.
inline std::string body_of(const std::string &out) {
    size_t p = out.find("\r\n\r\n");
    return p == std::string::npos ? std::string() : out.substr(p + 4);
}

// Gone: ended, or a zombie that only waits for its parent (init, for the
// orphans of a killed process group) to reap it. A killed process takes a
// moment to die, so this waits up to three seconds for it.
inline bool process_gone(long pid) {
    for (int tries = 0; tries < 300; ++tries) {
        std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
        size_t paren = stat.rfind(')'); // the state follows the name, which may hold anything
        if (paren == std::string::npos || stat.compare(paren + 2, 1, "Z") == 0)
            return true;
        usleep(10000);
    }
    return false;
}
