// Requests under what the kernel and the server impose beyond signals: a
// cgroup freezer that holds a tool's guard process, a tool that kills its
// guard, a pids limit with requests at once, a kernel without close_range.
// Each checks the document or the ending, an empty standard error and that
// no process is left.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "expected.h"
#include "fake_tools.h"
#include "run_plugin.h"

namespace {

// The sanitizer runtime adds threads of its own, which a pids limit counts.
bool sanitizer_build() { return read_file(plugin_path()).find("__asan_init") != std::string::npos; }

// Writes the text to a kernel file at once; false (and errno) when the
// kernel refuses it.
bool put(const std::string &path, const std::string &text) {
    int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    int error = errno;
    close(fd);
    errno = error;
    return ok;
}

// A cgroup of its own below a hierarchy's root, removed once it is empty.
class cgroup {
  public:
    explicit cgroup(const std::string &root) {
        static int made = 0;
        std::string path = root + "/vistrel-test-" + std::to_string(getpid()) + "-" + std::to_string(++made);
        if (mkdir(path.c_str(), 0755) == 0)
            path_ = path;
        else
            why_ = path + ": " + std::strerror(errno);
    }
    ~cgroup() {
        // The kernel keeps the folder while a process is in it.
        for (int tries = 0; !path_.empty() && rmdir(path_.c_str()) != 0 && errno == EBUSY && tries < 300; ++tries)
            usleep(10000);
    }
    cgroup(const cgroup &) = delete;
    cgroup &operator=(const cgroup &) = delete;

    bool made() const { return !path_.empty(); }
    const std::string &why() const { return why_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

  private:
    std::string path_, why_;
};

// A cgroup freezer to hold one process in. cgroup v1's freezer keeps even a
// SIGKILLed process frozen, unreapable until thawed; v2's lets a killed one
// die, so v1 is taken where the machine has it.
class freezer {
  public:
    freezer() : v1_("/sys/fs/cgroup/freezer"), v2_(v1_.made() ? "/nonexistent" : "/sys/fs/cgroup/unified") {
        if (v1_.made() && !put(v1_.file("freezer.state"), "FROZEN"))
            why_ = "cgroup v1 freezer: " + std::string(std::strerror(errno));
        else if (!v1_.made() && (!v2_.made() || !put(v2_.file("cgroup.freeze"), "1")))
            why_ = v1_.why() + "; " + (v2_.made() ? "cgroup.freeze: " + std::string(std::strerror(errno)) : v2_.why());
    }
    ~freezer() { thaw(); }
    freezer(const freezer &) = delete;
    freezer &operator=(const freezer &) = delete;

    // Empty when the kernel lets this test freeze a process, else why not.
    const std::string &refused() const { return why_; }

    // Moves the process in and waits until it is frozen; false when it is
    // not within two seconds.
    bool hold(long pid) {
        if (!put(v1_.made() ? v1_.file("tasks") : v2_.file("cgroup.procs"), std::to_string(pid)))
            return false;
        for (int tries = 0; tries < 200; ++tries) {
            if (v1_.made() ? read_file(v1_.file("freezer.state")) == "FROZEN\n"
                           : read_file(v2_.file("cgroup.events")).find("frozen 1") != std::string::npos)
                return true;
            usleep(10000);
        }
        return false;
    }

    void thaw() { v1_.made() ? put(v1_.file("freezer.state"), "THAWED") : put(v2_.file("cgroup.freeze"), "0"); }

  private:
    cgroup v1_, v2_;
    std::string why_;
};

// Waits (five seconds at most) until the log holds a line that starts with
// the given text; returns the number at that line's end, 0 when none came.
long wait_for_logged(const std::string &log, const std::string &start) {
    for (int tries = 0; tries < 500; ++tries) {
        std::string text = read_file(log);
        for (size_t at = text.find(start); at != std::string::npos; at = text.find(start, at + 1))
            if (at == 0 || text[at - 1] == '\n') {
                size_t end = text.find('\n', at);
                if (end != std::string::npos)
                    return std::strtol(text.c_str() + text.rfind(' ', end) + 1, nullptr, 10);
            }
        usleep(10000);
    }
    return 0;
}

// The process group a process is in, from /proc/PID/stat.
long process_group(long pid) {
    std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    size_t paren = stat.rfind(')');
    if (paren == std::string::npos)
        return 0;
    long state_ppid_pgrp[3] = {};
    const char *p = stat.c_str() + paren + 4; // past ") S "
    for (long &v : state_ppid_pgrp) {
        char *end = nullptr;
        v = std::strtol(p, &end, 10);
        p = end;
    }
    return state_ppid_pgrp[1];
}

std::string read_link(const std::string &path) {
    char buf[4096];
    ssize_t n = readlink(path.c_str(), buf, sizeof buf);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

std::vector<std::string> metrics_env(const std::string &log, std::initializer_list<std::string> more) {
    return with(with(nvidia_fixture_env(), {"QUERY_STRING=action=metrics", fakes_path(), "FAKE_LOG=" + log}), more);
}

} // namespace

// A cgroup freezer holds the guard of the running tool, so it can neither
// die nor be reaped: the request still ends within its bounds, with the
// whole document when the tool ends, or by the stop signal a server sends
// while the tool hangs. Once thawed, the guard is gone too.
TEST(RealLimits, FrozenGuardHoldsNoWait) {
    const struct {
        const char *what;
        std::string mode;
        int sig; // sent once the tool hangs; 0: the tool ends by itself
    } cases[] = {
        {"the tool then ends normally", "FAKE_NVIDIA_EXIT=0", 0},
        {"SIGTERM while the tool hangs", "FAKE_NVIDIA_HANG=gpu", SIGTERM},
    };
    for (const auto &c : cases) {
        freezer cold;
        if (!cold.refused().empty())
            GTEST_SKIP() << "the kernel gives this test no cgroup freezer: " << cold.refused();
        scratch_dir s;
        const std::string log = s.file("calls.log"), go = s.file("go");
        long guard = 0;
        bool frozen = false;
        run_options opt;
        opt.while_running = [&](long pid) {
            guard = process_group(wait_for_logged(log, "nvidia-smi AWAIT "));
            frozen = guard > 0 && cold.hold(guard);
            write_file(go, "");
            if (c.sig) {
                wait_for_logged(log, "sleeper ");
                kill(static_cast<pid_t>(pid), c.sig);
            }
        };
        plugin_result r = run_plugin(opt, metrics_env(log, {"FAKE_NVIDIA_AWAIT=" + go, c.mode}));
        cold.thaw();
        EXPECT_TRUE(frozen) << c.what << ": the guard (" << guard << ") was not frozen";
        expect_ended_by(r, c.sig, c.what);
        // Below the tool bound: no wait ran into a deadline.
        EXPECT_LT(r.seconds, 8.0) << c.what;
        EXPECT_TRUE(process_gone(guard)) << c.what << ": the guard is still there once thawed";
        EXPECT_TRUE(no_fake_left(log)) << c.what;
    }
}

// The tool kills its own guard, then hangs in its own process; a SIGKILL
// of the program, which no handler sees, still ends the tool.
TEST(RealLimits, ToolEndsWithTheProgramWhenItsGuardIsGone) {
    scratch_dir s;
    const std::string log = s.file("calls.log");
    bool guard_gone = false;
    run_options opt;
    opt.while_running = [&](long pid) {
        long guard = wait_for_logged(log, "nvidia-smi GUARD ");
        guard_gone = guard > 0 && process_gone(guard);
        usleep(50000); // the exec that follows
        kill(static_cast<pid_t>(pid), SIGKILL);
    };
    plugin_result r = run_plugin(opt, metrics_env(log, {"FAKE_NVIDIA_KILL_GUARD=KILL", "FAKE_NVIDIA_EXEC=gpu"}));
    EXPECT_TRUE(guard_gone) << "the tool did not kill its guard:\n" << read_file(log);
    EXPECT_EQ(r.signal, SIGKILL);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(no_fake_left(log));
}

// Requests at once under a cgroup pids limit of three processes each: the
// program, a shell and the tool, what a request needed before the program
// gave each tool a guard. The tool here never forks (shell builtins, then
// an exec), so every request is served; below that, a start that fails is
// told, never "no GPU". No process is left in the cgroup.
TEST(RealLimits, PidsLimitServesEveryRequestAtOnce) {
    if (sanitizer_build())
        GTEST_SKIP() << "the sanitizer runtime's own threads count against the limit";
    scratch_dir s;
    const std::string tool =
        s.write("nvidia-smi", "#!/bin/sh\n"
                              "case $1 in --query-gpu=*) f=$FAKE_NVIDIA_GPU ;; *) f=$FAKE_NVIDIA_APPS ;; esac\n"
                              "while IFS= read -r line; do printf '%s\\n' \"$line\"; done < \"$f\"\n"
                              "exec sleep 0.3\n");
    ASSERT_EQ(chmod(tool.c_str(), 0755), 0);
    const std::string fork_failed = "fork: Resource temporarily unavailable";
    const std::string told =
        "Could not start nvidia-smi: " + fork_failed + "; Could not start rocm-smi: " + fork_failed;
    const struct {
        int requests, pids_max;
        std::string response; // the expected document, <UTC> for the stamp
    } cases[] = {
        {10, 30, expected("metrics-nvidia")},
        {1, 2, fill(expected("metrics-none"), {{"No local NVIDIA/AMD GPU detected", told}})},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.requests) + " at once under pids.max " + std::to_string(c.pids_max));
        cgroup limit("/sys/fs/cgroup/pids");
        if (!limit.made())
            GTEST_SKIP() << "the kernel gives this test no pids cgroup: " << limit.why();
        ASSERT_TRUE(put(limit.file("pids.max"), std::to_string(c.pids_max))) << std::strerror(errno);
        const std::vector<std::string> env =
            with(nvidia_fixture_env(), {"QUERY_STRING=action=metrics", "PATH=" + s.path() + ":/usr/bin:/bin"});
        // The shell joins the cgroup, then becomes the plugin.
        const std::vector<std::string> join = {"-c", "echo $$ > \"$1\" && exec \"$0\"", plugin_path(),
                                               limit.file("cgroup.procs")};
        std::vector<plugin_result> results(static_cast<size_t>(c.requests));
        std::vector<std::thread> running;
        running.reserve(results.size());
        for (auto &r : results)
            running.emplace_back([&] { r = run_plugin(run_options(), env, join, "/bin/sh"); });
        for (auto &t : running)
            t.join();
        for (const auto &r : results) {
            EXPECT_EQ(r.status, 0);
            EXPECT_EQ(r.err, "");
            EXPECT_EQ(with_utc_placeholder(r.out), c.response);
        }
        std::string left;
        for (int tries = 0; tries < 300 && (left = read_file(limit.file("pids.current"))) != "0\n"; ++tries)
            usleep(10000);
        EXPECT_EQ(left, "0\n") << "processes left in the cgroup";
    }
}

// Where close_range does not exist (a kernel before 5.9, a sandbox that
// filters it), the tool still holds no descriptor but its standard three,
// whatever the server left open: the lowest free one, a high one, and one
// above the descriptor limit, which the server lowered after opening it.
TEST(RealLimits, DescriptorsClosedWithoutCloseRange) {
    scratch_dir s;
    const std::string log = s.file("calls.log");
    const std::string self = read_link("/proc/self/exe");
    const std::string launcher = self.substr(0, self.rfind('/')) + "/without_close_range";
    rlimit files{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &files), 0);
    if (files.rlim_max <= 2000)
        GTEST_SKIP() << "the descriptor limit leaves no room above 2000";
    rlimit raised = {files.rlim_max, files.rlim_max};
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &raised), 0);
    std::vector<int> left_open = {open(s.write("body", "request body").c_str(), O_RDONLY)};
    ASSERT_GE(left_open[0], 3);
    left_open.push_back(fcntl(left_open[0], F_DUPFD, 100));
    left_open.push_back(fcntl(left_open[0], F_DUPFD, 2000));
    setrlimit(RLIMIT_NOFILE, &files);
    std::string peek = "FAKE_PEEK_FDS=";
    for (int fd : left_open)
        peek += std::to_string(fd) + " ";
    plugin_result r = run_plugin(run_options(), metrics_env(log, {peek}), {"--nofile=1024", launcher, plugin_path()},
                                 "/usr/bin/prlimit");
    for (int fd : left_open)
        close(fd);
    ASSERT_GE(left_open[2], 2000);
    if (r.status == 125 && r.err.find("seccomp:") != std::string::npos)
        GTEST_SKIP() << "the kernel refused the seccomp filter: " << r.err;
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(with_utc_placeholder(r.out), expected("metrics-nvidia"));
    const std::string calls = read_file(log);
    EXPECT_NE(calls.find("nvidia-smi gpu "), std::string::npos) << calls;
    EXPECT_EQ(calls.find(" FD "), std::string::npos) << "the tool holds a descriptor of ours:\n" << calls;
    EXPECT_TRUE(no_fake_left(log));
}
