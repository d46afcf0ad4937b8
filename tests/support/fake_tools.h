// A node whose vendor tools are the fakes of tests/data/fakes: their PATH,
// the fixtures they print, and their log. Each call of a fake appends a line
// to FAKE_LOG: "<tool> <query> <pid>", "sleeper <pid>" for a process it left
// running, "<tool> BAD ARGS: ..." for a command line it does not know,
// "<tool> LEAK <NAME> <pid>" for a request variable it was given, "<tool>
// STILL RUNNING <pid>" for a process of an earlier call still there.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "expected.h"
#include "files.h"
#include "run_plugin.h"

inline std::string fixture(const std::string &name) { return data_dir() + "/fixtures/" + name; }

// PATH with the fakes first; they need sh, cat and sleep themselves.
inline std::string fakes_path() { return "PATH=" + data_dir() + "/fakes:/usr/bin:/bin"; }

// PATH on which no vendor tool is found.
const char *const NO_TOOLS = "PATH=/nonexistent";

// The fake nvidia-smi prints the real-shaped output of three GPUs and two
// processes.
inline std::vector<std::string> nvidia_fixture_env() {
    return {"FAKE_NVIDIA_GPU=" + fixture("nvidia-gpus.txt"), "FAKE_NVIDIA_APPS=" + fixture("nvidia-apps.txt")};
}

// A request among the fakes of nvidia_fixture_env() that the signal sig
// ended (with nothing written: nothing is, before the tools have answered),
// or for sig 0 that ended by itself with the whole document; nothing on
// standard error either way.
inline void expect_ended_by(const plugin_result &r, int sig, const std::string &what) {
    EXPECT_EQ(r.err, "") << what;
    if (sig) {
        EXPECT_EQ(r.signal, sig) << what;
        EXPECT_EQ(r.out, "") << what;
    } else {
        EXPECT_EQ(r.status, 0) << what;
        EXPECT_EQ(with_utc_placeholder(r.out), expected("metrics-nvidia")) << what;
    }
}

// The process id at the end of each line, for every process a fake started
// or was.
inline std::vector<long> logged_pids(const std::string &log) {
    std::vector<long> pids;
    std::istringstream in(read_file(log));
    for (std::string line; std::getline(in, line);)
        if (line.find("BAD ARGS") == std::string::npos)
            pids.push_back(std::strtol(line.c_str() + line.rfind(' ') + 1, nullptr, 10));
    return pids;
}

// Which queries the fakes answered, in order: "gpu apps", "report", ...
inline std::string fake_calls(const std::string &log) {
    std::istringstream in(read_file(log));
    std::string line, out;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string tool, which;
        words >> tool >> which;
        if (tool == "sleeper")
            continue;
        out += (out.empty() ? "" : " ") + (tool == "nvidia-smi" || tool == "rocm-smi" ? which : line);
    }
    return out;
}

// No fake saw a request variable: the log holds no LEAK line.
inline ::testing::AssertionResult no_leak(const std::string &log) {
    std::istringstream in(read_file(log));
    for (std::string line; std::getline(in, line);)
        if (line.find(" LEAK ") != std::string::npos)
            return ::testing::AssertionFailure() << "a tool saw the request: " << line;
    return ::testing::AssertionSuccess();
}

// Every process the fakes logged has ended, and each before the next
// command started.
inline ::testing::AssertionResult no_fake_left(const std::string &log) {
    std::istringstream in(read_file(log));
    for (std::string line; std::getline(in, line);)
        if (line.find(" STILL RUNNING ") != std::string::npos)
            return ::testing::AssertionFailure() << "a process of the previous command outlived it: " << line;
    for (long pid : logged_pids(log))
        if (!process_gone(pid))
            return ::testing::AssertionFailure() << "process " << pid << " started by a fake tool is still running";
    return ::testing::AssertionSuccess();
}
