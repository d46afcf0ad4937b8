// No heap on the request path: build/alloc/plugin_vistrel is the release
// objects linked with count_alloc.cpp, against the release's C library (musl
// unless built with LIBC=glibc), which counts every malloc, calloc, realloc
// and aligned allocation made after main starts (by the program or the C
// library, its internal entry points included) and appends the tally to
// VISTREL_ALLOC_LOG.
// Every kind of request must end with zero.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>

#include "fake_tools.h"
#include "files.h"
#include "run_plugin.h"

namespace {

std::string alloc_bin() { return env_or("VISTREL_ALLOC_BIN", "build/alloc/plugin_vistrel"); }

class NoHeap : public ::testing::Test {
  protected:
    const scratch_dir scratch{"alloc"};
    const std::string log = scratch.file("alloc.log");

    // Runs one request and returns its tally line ("allocations N ...").
    std::string tally(std::vector<std::string> env, const std::vector<std::string> &args = {}) {
        std::remove(log.c_str());
        env.push_back("VISTREL_ALLOC_LOG=" + log);
        plugin_result r = run_plugin(env, args, alloc_bin());
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
        EXPECT_FALSE(r.out.empty());
        std::string line = read_file(log);
        EXPECT_EQ(line.compare(0, 12, "allocations "), 0) << "no tally written: " << line;
        return line;
    }

    // The tally line with the callers resolved to function names.
    std::string explain(const std::string &line) {
        std::string text = line;
        std::istringstream in(line);
        for (std::string word; in >> word;) {
            if (word.compare(0, 2, "0x") != 0)
                continue;
            std::string cmd = "addr2line -f -C -e " + alloc_bin() + " " + word + " 2>/dev/null";
            if (FILE *p = popen(cmd.c_str(), "r")) {
                char fn[256] = "";
                if (std::fgets(fn, sizeof fn, p))
                    text += "  " + word + " in " + fn;
                pclose(p);
            }
        }
        return text;
    }
};

const std::string ZERO = "allocations 0 bytes 0 callers\n";

TEST_F(NoHeap, EveryKindOfRequest) {
    const std::string csv = "VISTREL_MOCK_CSV=" + fixture("two-gpus.csv");
    const std::string rocm_fixture = "FAKE_ROCM_OUT=" + fixture("rocm-two-gpus.txt");
    // The largest fixture the program takes: 32 GPUs and 256 processes with
    // the largest numbers (309-digit "%.0f" values, sums that overflow) and
    // names at their limits.
    const std::string big_csv = scratch.file("big.csv");
    {
        std::ofstream big(big_csv);
        for (int i = 0; i < 40; ++i)
            big << "GPU," << i << ",GPU-" << i << std::string(80, 'u') << "," << std::string(120, 'n')
                << ",1e308,1.7976931348623157e308,1.7976931348623157e308,-1e308,1e308,1e308," << std::string(60, 'd')
                << "\n";
        for (int i = 0; i < 300; ++i)
            big << "APP,GPU-" << i % 32 << std::string(80, 'u') << "," << -i << ",\"<p>\"\\" << i
                << ",1.7976931348623157e308\n";
    }
    struct request_case {
        const char *name;
        std::vector<std::string> env;
        std::vector<std::string> args;
    };
    const std::vector<request_case> cases = {
        {"page", {csv}, {}},
        {"embedded page", {csv, "QUERY_STRING=embed=1"}, {}},
        {"info", {csv, "QUERY_STRING=action=info", "BOT_PASSWORD=pw", "HTTP_X_BOT_PASSWORD=pw"}, {}},
        {"unknown action", {csv, "QUERY_STRING=action=%3Cscript%3E"}, {}},
        {"refusal", {csv, "QUERY_STRING=action=info&pwd=no", "BOT_PASSWORD=pw"}, {}},
        {"metrics from the CSV fixture", {csv, "QUERY_STRING=action=metrics"}, {}},
        {"metrics from the largest fixture", {"VISTREL_MOCK_CSV=" + big_csv, "QUERY_STRING=format=json"}, {}},
        {"metrics from nvidia-smi", with(nvidia_fixture_env(), {fakes_path(), "QUERY_STRING=action=metrics"}), {}},
        {"metrics from rocm-smi", {fakes_path(), rocm_fixture, "QUERY_STRING=action=metrics"}, {}},
        {"metrics with no source", {"PATH=" + scratch.path(), "QUERY_STRING=action=metrics"}, {}},
        {"discovery", {"KV_PLUGIN_META=1"}, {}},
        {"--meta", {}, {"--meta"}},
        {"--help", {}, {"--help"}},
    };
    for (const auto &c : cases) {
        std::string line = tally(c.env, c.args);
        EXPECT_EQ(line, ZERO) << c.name << ": " << explain(line);
    }
}

// The counter sees allocations made inside the C library, not only the
// program's own calls: with VISTREL_ALLOC_PROBE, main allocates once before
// the request, through strdup (the public malloc) or through
// posix_spawn_file_actions_addclose, which musl serves from its internal
// __libc_malloc (the size is the C library's own: any will do).
TEST_F(NoHeap, CounterSeesAllocationsInsideTheCLibrary) {
    std::string line = tally({"VISTREL_ALLOC_PROBE=strdup"}, {"--version"});
    EXPECT_EQ(line.compare(0, 22, "allocations 1 bytes 6 "), 0) << line;
    line = tally({"VISTREL_ALLOC_PROBE=spawn"}, {"--version"});
    EXPECT_TRUE(std::regex_search(line, std::regex("^allocations 1 bytes [1-9][0-9]* callers 0x"))) << line;
}

} // namespace
