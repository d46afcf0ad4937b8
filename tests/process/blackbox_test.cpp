// Black-box tests: the built binary run as a CGI process with an exact
// environment, its output compared byte for byte. Fake nvidia-smi and
// rocm-smi on PATH stand in for the vendor tools, so the real command path
// (shell, pipe, deadline) is exercised.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include "expected.h"
#include "fake_tools.h"
#include "json_check.h"
#include "run_plugin.h"

namespace {

const std::string NOTE = "Opened directly from the node API.";
const std::string NO_GPU = "No local NVIDIA/AMD GPU detected";

// Bytes of every value, from a fixed recipe, standing in for binary garbage.
std::string noise(size_t n) {
    std::string out;
    for (size_t i = 0; i < n; ++i)
        out += static_cast<char>((i * 7919 + 13) & 0xff);
    return out;
}

// The raw token of a top-level member: "source" -> "\"nvidia\"", "count" -> "2".
std::string member(const std::string &body, const std::string &key) {
    size_t p = body.find("\"" + key + "\":");
    if (p == std::string::npos)
        return "(absent)";
    p += key.size() + 3;
    size_t end = body[p] == '"' ? body.find('"', p + 1) + 1 : body.find_first_of(",}", p);
    return body.substr(p, end - p);
}

// One strict JSON value in valid UTF-8, ending in a line feed.
bool is_json_document(const std::string &text) {
    jcheck::value v;
    return jcheck::reader().parse(text, &v, jcheck::reader::utf8) && !text.empty() && text.back() == '\n';
}

// Expectations every response shares: exit 0 and nothing on stderr.
void expect_clean(const plugin_result &r) {
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
}

// A metrics response: the JSON header and one valid document.
std::string metrics_body(const plugin_result &r) {
    expect_clean(r);
    EXPECT_EQ(r.out.compare(0, expected_json_header().size(), expected_json_header()), 0) << r.out.substr(0, 200);
    std::string body = r.out.substr(std::min(expected_json_header().size(), r.out.size()));
    EXPECT_TRUE(is_json_document(body)) << body.substr(0, 400);
    EXPECT_EQ(member(body, "action"), "\"metrics\"");
    return body;
}

// A metrics request on a node with the fake tools, logging to a fresh log.
std::string metrics_with_fakes(const std::string &log, const std::vector<std::string> &env) {
    std::remove(log.c_str());
    return metrics_body(run_plugin(with(env, {"QUERY_STRING=action=metrics", fakes_path(), "FAKE_LOG=" + log})));
}

// The binary under test is the sanitizer build. Its runtime needs /proc and
// a thread of its own at exit (LeakSanitizer), so it cannot run where a test
// takes those away.
bool sanitized_build() {
    static const bool sanitized = read_file(plugin_path()).find("__asan_init") != std::string::npos;
    return sanitized;
}
const char *const NO_SANITIZER = "the sanitizer runtime cannot run there (no /proc, or no thread)";

// A metrics response is the expected file but for the stamp.
void expect_metrics(const plugin_result &r, const char *name) {
    metrics_body(r);
    EXPECT_EQ(with_utc_placeholder(r.out), expected(name));
}

// ---- the cases both systems share ------------------------------------------

// Each case of tests/data/cases: flags and discovery before the gate, the
// gate, the info and error documents, a CSV fixture, routing.
TEST(SharedCases, EachGetsItsResponse) {
    const std::string page = run_plugin({}).out, embedded_page = run_plugin({"QUERY_STRING=embed=1"}).out;
    for (const shared_case &c : shared_cases()) {
        plugin_result r = run_plugin(c.env, c.args);
        expect_clean(r);
        if (c.expected == "page" || c.expected == "embedded-page") {
            EXPECT_TRUE(r.out == (c.expected == "page" ? page : embedded_page))
                << c.name << ": " << r.out.substr(0, 300);
            continue;
        }
        auto fills = c.fills;
        fills.emplace_back("<PLATFORM>", "linux");
        fills.emplace_back("<PID>", std::to_string(r.pid));
        EXPECT_EQ(with_utc_placeholder(r.out), fill(expected(c.expected), fills)) << c.name;
    }
}

// Each node of tests/data/failures, replayed by the fake tools: the whole
// metrics document, every failure told in its message; the fakes were asked
// exactly the queries the case names and left nothing running.
TEST(SharedCases, EachReplayedNodeGetsItsDocument) {
    for (const failure_case &c : failure_cases()) {
        scratch_dir s;
        const std::string log = s.file("calls.log");
        plugin_result r = run_plugin(
            with(c.env, {"QUERY_STRING=action=metrics", c.fakes ? fakes_path() : NO_TOOLS, "FAKE_LOG=" + log}));
        metrics_body(r);
        EXPECT_EQ(with_utc_placeholder(r.out), expected(c.expected)) << c.name;
        EXPECT_EQ(fake_calls(log), c.calls) << c.name;
        EXPECT_TRUE(no_fake_left(log)) << c.name;
    }
}

TEST(Flags, HelpIsFourteenLines) {
    const std::string help = expected("help");
    EXPECT_EQ(help.find("\n\n\n"), std::string::npos);
    EXPECT_EQ(std::count(help.begin(), help.end(), '\n'), 14);
}

// ---- the page ---------------------------------------------------------------

TEST(Page, HeaderBlockAndNoteOnlyWhenNotEmbedded) {
    plugin_result direct = run_plugin({});
    plugin_result embedded = run_plugin({"QUERY_STRING=embed=1"});
    expect_clean(direct);
    ASSERT_EQ(direct.out.compare(0, 100, expected_html_header()), 0);
    EXPECT_EQ(expected_html_header().size(), 100u);
    // The two pages differ by exactly the note.
    size_t at = direct.out.find(NOTE);
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(embedded.out.find(NOTE), std::string::npos);
    EXPECT_LT(embedded.out.size(), direct.out.size());
    for (unsigned char c : direct.out)
        ASSERT_LT(c, 0x80) << "the page is ASCII";
}

// ---- password gate ---------------------------------------------------------

// The refusals, the places the password passes through and a password that
// holds a route's marker are shared cases.
TEST(Gate, RefusalIs178Bytes) { EXPECT_EQ(expected_refusal().size(), 178u); }

// ---- info and error documents ----------------------------------------------

TEST(Info, ReportsPlatformPidAndStamp) {
    std::time_t before = std::time(nullptr);
    plugin_result r = run_plugin({"QUERY_STRING=action=info", "BOT_PASSWORD="});
    std::time_t after = std::time(nullptr);
    expect_clean(r);
    EXPECT_EQ(
        with_utc_placeholder(r.out),
        fill(expected("info"), {{"<PLATFORM>", "linux"}, {"<PID>", std::to_string(r.pid)}, {"<NODE_AUTH>", "false"}}));
    std::tm t{};
    ASSERT_NE(strptime(member(body_of(r.out), "utc").c_str(), "\"%Y-%m-%dT%H:%M:%SZ\"", &t), nullptr);
    std::time_t stamp = timegm(&t);
    EXPECT_GE(stamp, before);
    EXPECT_LE(stamp, after);
}

// ---- metrics through the whole program -------------------------------------

TEST(Metrics, NoneWhenNoSourceAnswers) {
    expect_metrics(run_plugin({"QUERY_STRING=action=metrics", NO_TOOLS}), "metrics-none");
}

// The healthy rocm-smi report is a shared replay. Lines about a GPU number
// below zero, however large, name no GPU and change nothing.
TEST(Metrics, RocmSmiLinesOfNegativeGpuNumbers) {
    scratch_dir s;
    const std::string log = s.file("calls.log");
    const std::string negative =
        s.write("negative.txt", "GPU[-99999999999]\t\t: GPU use (%): 99\n" + read_file(fixture("rocm-two-gpus.txt")) +
                                    "GPU[-1]\t\t: Card SKU: \t\tNEGATIVE\n");
    plugin_result r =
        run_plugin({"QUERY_STRING=action=metrics", fakes_path(), "FAKE_LOG=" + log, "FAKE_ROCM_OUT=" + negative});
    expect_metrics(r, "metrics-amd");
    EXPECT_EQ(fake_calls(log), "gpu report");
}

// The release is built against musl, whose strtod and printf are not glibc's;
// for numbers that are hard to read and to write its document must be the
// glibc build's to the byte, the clock's stamp aside. The fixture leads both
// into their libraries' own number code: strtod beyond plain decimals (long
// digit runs, exponents, hexadecimal, subnormals, overflow) and printf for
// values of 2^52 and more (the largest doubles, sums that saturate).
TEST(Metrics, HardNumbersAsTheGlibcBuildWritesThem) {
    const std::string glibc_bin = env_or("VISTREL_GLIBC_BIN", "build/glibc/plugin_vistrel");
    const std::vector<std::string> env = {"QUERY_STRING=action=metrics", NO_TOOLS,
                                          "VISTREL_MOCK_CSV=" + fixture("hard-numbers.csv")};
    plugin_result ours = run_plugin(env), glibc = run_plugin(env, {}, glibc_bin);
    std::string body = metrics_body(ours);
    EXPECT_EQ(glibc.status, 0) << glibc_bin;
    EXPECT_EQ(with_utc_placeholder(ours.out), with_utc_placeholder(glibc.out));
    EXPECT_EQ(member(body, "count"), "7");
    EXPECT_EQ(member(body, "process_count"), "4");
    EXPECT_EQ(member(body, "mem_used_mb").size(), 309u) << "the overflowing sum saturates at the largest double";
}

// ---- the probe chain -------------------------------------------------------

// What a metrics document says of the outcome: source, available, mocked,
// count and process_count, as in "nvidia true false 3 0".
std::string outcome(const std::string &body) {
    std::string source = member(body, "source");
    return source.substr(1, source.size() - 2) + " " + member(body, "available") + " " + member(body, "mocked") + " " +
           member(body, "count") + " " + member(body, "process_count");
}

TEST(Chain, OutcomesAndWhatRan) {
    scratch_dir s;
    const std::string log = s.file("calls.log");
    // The variables that name a file, and the files: written here, or missing.
    const std::string csv = "VISTREL_MOCK_CSV=", nv = "VISTREL_MOCK_NVIDIA=", rocm = "VISTREL_MOCK_ROCM=",
                      rocm_out = "FAKE_ROCM_OUT=";
    const std::string comments = s.write("comments.csv", "# nothing here\n#\n");
    const std::string empty = s.write("empty.csv", "\n\r\n");
    const std::string nv_apps_only = s.write("nv-apps.txt", "# compute apps only\nAPP,GPU-x,42,orphan,10\n");
    const std::string nv_gpus = s.write("nv-gpus.txt", "0, GPU-m, Mock GPU, 5, 1, 2, 30, 10, 20, 1.0\n");
    const std::string nv_useless = s.write("nv-useless.txt", "app, GPU-x, 1, too, few\n");
    const std::string rocm_gpu = s.write("rocm.txt", "GPU[0]\t\t: GPU use (%): 7\n");
    const std::string rocm_banner = s.write("rocm-banner.txt", "==== ROCm System Management Interface ====\n");
    const std::string nv_error = s.write("nv-error.txt", "NVIDIA-SMI has failed because it couldn't communicate "
                                                         "with the NVIDIA driver.\n");
    const std::string missing = s.file("missing");
    const std::string gpus = "FAKE_NVIDIA_GPU=" + fixture("nvidia-gpus.txt");
    const std::vector<std::string> tools_fail = {"FAKE_NVIDIA_GPU=" + nv_error, "FAKE_NVIDIA_EXIT=9",
                                                 rocm_out + rocm_banner};
    const std::string ok = "\"\"", no_gpu = "\"" + NO_GPU + "\"";
    const struct {
        const char *what;
        std::vector<std::string> env;
        std::string outcome, message, ran;
    } cases[] = {
        {"CSV of comments only", {csv + comments, gpus}, "mock false true 0 0", no_gpu, ""},
        {"missing CSV", {csv + missing, gpus}, "nvidia true false 3 0", ok, "gpu apps"},
        {"empty CSV", {csv + empty, gpus}, "nvidia true false 3 0", ok, "gpu apps"},
        {"empty CSV variable", {csv, gpus}, "nvidia true false 3 0", ok, "gpu apps"},
        {"missing NVIDIA mock", {nv + missing, rocm_out + rocm_gpu}, "amd true true 1 0", ok, "report"},
        {"NVIDIA mock of compute apps only", {nv + nv_apps_only}, "none false true 0 1", no_gpu, "report"},
        {"both mocks usable", {nv + nv_gpus, rocm + rocm_gpu}, "nvidia true true 1 0", ok, "apps"},
        // The NVIDIA mock file stands for the tool's output: a line that is no
        // record is told as the tool's own would be.
        {"both mocks useless",
         {nv + nv_useless, rocm + rocm_banner},
         "none false true 0 0",
         "\"VISTREL_MOCK_NVIDIA: app, GPU-x, 1, too, few\"",
         ""},
        {"empty NVIDIA mock variable", {nv, gpus}, "nvidia true false 3 0", ok, "gpu apps"},
        {"nvidia-smi prints only an error and exits 9", tools_fail, "none false false 0 0",
         "\"nvidia-smi: exit status 9: NVIDIA-SMI has failed because it couldn't communicate with the NVIDIA driver.\"",
         "gpu report"},
        {"nvidia-smi is killed after the GPUs",
         {gpus, "FAKE_NVIDIA_DIE=gpu"},
         "nvidia true false 3 0",
         "\"nvidia-smi: killed by signal 9\"",
         "gpu apps"},
        {"nvidia-smi prints GPUs and exits 15",
         {gpus, "FAKE_NVIDIA_EXIT=15"},
         "nvidia true false 3 0",
         "\"nvidia-smi: exit status 15; nvidia-smi compute-apps query: exit status 15\"",
         "gpu apps"},
    };
    for (const auto &c : cases) {
        std::string body = metrics_with_fakes(log, c.env);
        EXPECT_EQ(outcome(body), c.outcome) << c.what;
        EXPECT_EQ(member(body, "message"), c.message) << c.what;
        EXPECT_EQ(fake_calls(log), c.ran) << c.what;
    }
}

TEST(Chain, NvidiaMockWithoutTheTool) {
    scratch_dir s;
    const std::string mock = s.write("nv.txt", "  # a comment after blanks\n"
                                               "APP,GPU-m,7,first,3\n"
                                               "0, GPU-m, Mock GPU, 5, 1, 2, 30, 10, 20, 1.0\n"
                                               "app,GPU-m,8,lower case is a GPU line,3\n");
    std::string body =
        metrics_body(run_plugin({"QUERY_STRING=action=metrics", NO_TOOLS, "VISTREL_MOCK_NVIDIA=" + mock}));
    EXPECT_EQ(member(body, "source"), "\"nvidia\"");
    EXPECT_EQ(member(body, "mocked"), "true");
    EXPECT_EQ(member(body, "driver"), "\"1.0\"");
    EXPECT_EQ(member(body, "process_count"), "1");
    EXPECT_NE(body.find("\"gpu_index\":0,\"pid\":7,"), std::string::npos);
}

// ---- bad input: always a complete document, exit 0, nothing left running ---

// Only regular files are fixtures: anything else (a folder, a device, a
// FIFO with or without a writer) counts as unreadable, and the request ends
// at once, neither held by a FIFO's open nor by a device without end. A FIFO
// whose writer holds a usable row shows that it was not read.
TEST(BadInput, FixturesThatCannotBeUsed) {
    scratch_dir s;
    const std::string garbage = s.write("garbage.bin", noise(4096));
    mkdir(s.file("a-directory").c_str(), 0755);
    const std::string fifo = s.file("fifo"), fed_fifo = s.file("fed-fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    ASSERT_EQ(mkfifo(fed_fifo.c_str(), 0644), 0);
    const struct {
        const char *var, *row;  // a row this variable's file would take
        std::string unreadable; // the outcome when it cannot be read, no tool on PATH
    } vars[] = {
        {"VISTREL_MOCK_CSV=", "GPU,0,GPU-f,Fifo,1,2,3,4,5,6,7\n", "none false false 0 0"},
        {"VISTREL_MOCK_NVIDIA=", "0, GPU-f, Fifo, 1, 2, 3, 4, 5, 6, 7\n", "none false true 0 0"},
        {"VISTREL_MOCK_ROCM=", "GPU[0]\t\t: GPU use (%): 7\n", "none false true 0 0"},
    };
    const std::string unusable[] = {s.file("missing"), s.file("a-directory"), "/dev/zero", "/dev/null", fifo,
                                    fed_fifo,          s.write("empty", "")};
    for (const auto &v : vars) {
        // The writer stays open for the whole request: a reader that took the
        // FIFO would get the row and then wait for more.
        int writer = open(fed_fifo.c_str(), O_RDWR | O_CLOEXEC);
        ASSERT_GE(writer, 0);
        ASSERT_EQ(write(writer, v.row, strlen(v.row)), static_cast<ssize_t>(strlen(v.row)));
        for (const std::string &p : unusable) {
            plugin_result r = run_plugin({"QUERY_STRING=action=metrics", NO_TOOLS, v.var + p});
            EXPECT_EQ(outcome(metrics_body(r)), v.unreadable) << v.var << p;
            EXPECT_LT(r.seconds, 2.0) << v.var << p;
        }
        close(writer);
        plugin_result r = run_plugin({"QUERY_STRING=action=metrics", NO_TOOLS, v.var + garbage});
        EXPECT_NE(member(metrics_body(r), "source"), "(absent)") << v.var << garbage;
    }
}

TEST(BadInput, PiecesOfOverlongLines) {
    scratch_dir s;
    // A 200 000-byte line arrives as a 131 071-byte piece and the rest; a
    // piece that happens to read as a row is taken like any other line.
    std::string csv = std::string(131071, 'x') + "GPU,5,GPU-tail,Tail,1,2,3,4,5,6,7\n" + std::string(200000, 'y') +
                      "\nGPU,1,GPU-after,After,1,2,3,4,5,6,7\n";
    std::string body = metrics_body(
        run_plugin({"QUERY_STRING=action=metrics", NO_TOOLS, "VISTREL_MOCK_CSV=" + s.write("long.csv", csv)}));
    EXPECT_EQ(member(body, "count"), "2");
    EXPECT_NE(body.find("\"uuid\":\"GPU-tail\""), std::string::npos);
    EXPECT_NE(body.find("\"uuid\":\"GPU-after\""), std::string::npos);
}

TEST(BadInput, ToolsThatMisbehave) {
    scratch_dir s;
    const std::string log = s.file("calls.log");
    const std::string gpu = "FAKE_NVIDIA_GPU=", apps = "FAKE_NVIDIA_APPS=";
    const std::string good = "0, GPU-ok, Survivor, 50, 1, 2, 40, 100, 200, 9.9\n";
    const std::string garbage = s.write("noise", noise(300000));
    const std::string long_lines = s.write("long", std::string(200000, 'z') + "\n" + good + std::string(200000, 'q'));
    const std::string good_cut = s.write("cut", good + "1, GPU-cut, Cut Of");
    const std::string good_only = s.write("good", good), app_cut = s.write("app-cut", "GPU-ok, 5, x");
    const std::string commented = s.write("commented", "# 1, GPU-c, Commented, 1, 2, 3, 4, 5, 6, 7\n" + good);
    const struct {
        const char *what;
        std::vector<std::string> env;
        std::string source, count;
    } cases[] = {
        {"binary garbage", {gpu + garbage}, "\"none\"", "0"},
        {"200 000-byte lines around a good one", {gpu + long_lines}, "\"nvidia\"", "1"},
        {"killed mid-line", {gpu + good_cut, "FAKE_NVIDIA_DIE=gpu"}, "\"nvidia\"", "1"},
        {"killed mid-line, apps query", {gpu + good_only, apps + app_cut, "FAKE_NVIDIA_DIE=apps"}, "\"nvidia\"", "1"},
        {"rocm-smi garbage", {"FAKE_ROCM_OUT=" + garbage}, "\"none\"", "0"},
        {"a '#' line of ten fields", {gpu + commented}, "\"nvidia\"", "1"},
    };
    for (const auto &c : cases) {
        std::string body = metrics_with_fakes(log, c.env);
        EXPECT_EQ(member(body, "source"), c.source) << c.what;
        EXPECT_EQ(member(body, "count"), c.count) << c.what;
        EXPECT_TRUE(no_fake_left(log)) << c.what;
    }
}

TEST(BadInput, HangingToolIsStoppedAndTheRequestEnds) {
    // The GPU query prints its lines and then never ends, either holding its
    // output open or having closed it. The deadline kills it and everything it
    // started, and the request answers with what it read.
    for (const char *mode : {"FAKE_NVIDIA_HANG=gpu", "FAKE_NVIDIA_LINGER=gpu"}) {
        scratch_dir s;
        const std::string log = s.file("calls.log");
        plugin_result r = run_plugin(
            with(nvidia_fixture_env(), {"QUERY_STRING=action=metrics", fakes_path(), "FAKE_LOG=" + log, mode}));
        std::string body = metrics_body(r);
        EXPECT_EQ(member(body, "source"), "\"nvidia\"") << mode;
        EXPECT_EQ(member(body, "count"), "3") << mode;
        EXPECT_EQ(member(body, "process_count"), "2") << mode;
        EXPECT_EQ(fake_calls(log), "gpu apps") << mode;
        EXPECT_LT(r.seconds, 30.0) << mode << ": the request must end soon after the tool's deadline";
        EXPECT_TRUE(no_fake_left(log)) << mode;
    }
}

TEST(BadInput, HugeFixtureIsReadAtConstantMemory) {
    scratch_dir s;
    std::string small = s.write("small.csv", "APP,GPU-x,1,p,1\n");
    std::string huge_path = s.file("huge.csv");
    {
        std::ofstream out(huge_path, std::ios::binary);
        std::string row = "APP,GPU-x,1,process-with-a-longish-name,12\n";
        std::string block;
        while (block.size() < (1 << 20))
            block += row;
        for (int i = 0; i < 100; ++i)
            out << block;
    }
    plugin_result base = run_plugin({"QUERY_STRING=action=metrics", NO_TOOLS, "VISTREL_MOCK_CSV=" + small});
    plugin_result huge = run_plugin({"QUERY_STRING=action=metrics", NO_TOOLS, "VISTREL_MOCK_CSV=" + huge_path});
    EXPECT_EQ(member(metrics_body(huge), "process_count"), "256");
    // Under AddressSanitizer the runtime's fake stack (detect_stack_use_after_return)
    // takes pages as calls go by, whatever the program does; the bound is
    // looser there, still far below what the file's size would take.
    EXPECT_LT(huge.max_rss_kb - base.max_rss_kb, sanitized_build() ? 8192 : 1024)
        << "reading 100 MB must not grow memory";
}

// ---- nothing outlives or stalls a request ---------------------------------

// A metrics request among the fake tools, the server or the tool doing what
// real ones do: the request ends within the bounds (well before the tool
// deadline unless a tool is slow), with the whole document, exit 0, nothing
// on stderr, no process of the tool left and no request variable seen by it.
TEST(Lifetime, ServersAndToolsThatMisbehave) {
    scratch_dir s;
    const std::string log = s.file("calls.log");
    // More node variables ahead of PATH than any count cap would keep.
    std::vector<std::string> crowded;
    crowded.reserve(1100);
    for (int i = 0; i < 1100; ++i)
        crowded.push_back("NODE_SETTING_" + std::to_string(i) + "=x");
    // What servers set beside the query and the credentials; under Apache
    // SERVER_NAME, SERVER_PORT and SERVER_SIGNATURE come from the client's
    // Host header. One name for each that no tool may see.
    const std::vector<std::string> server = {
        "BOT_PASSWORD=pw",
        "HTTP_X_BOT_PASSWORD=pw",
        "HTTP_AUTHORIZATION=Bearer pw",
        "HTTP_HOST=evil.example",
        "SERVER_NAME=evil.example",
        "SERVER_PORT=8080",
        "SERVER_SIGNATURE=<address>Apache Server at evil.example Port 8080</address>",
        "SERVER_SOFTWARE=Apache",
        "SERVER_PROTOCOL=HTTP/1.1",
        "SERVER_ADDR=127.0.0.1",
        "DOCUMENT_ROOT=/var/www/html",
        "DOCUMENT_URI=/plugin_vistrel",
        "CONTEXT_PREFIX=",
        "CONTEXT_DOCUMENT_ROOT=/usr/lib/cgi-bin/",
        "HTTPS=on",
        "GATEWAY_INTERFACE=CGI/1.1",
        "REQUEST_URI=/plugin_vistrel?action=metrics",
        "REQUEST_METHOD=GET",
        "REQUEST_SCHEME=https",
        "REMOTE_ADDR=203.0.113.9",
        "REMOTE_PORT=51234",
        "REMOTE_USER=someone",
        "AUTH_TYPE=Bearer",
        "CONTENT_LENGTH=0",
        "CONTENT_TYPE=text/plain",
        "PATH_INFO=/x",
        "PATH_TRANSLATED=/var/www/html/x",
        "SCRIPT_NAME=/plugin_vistrel",
        "SCRIPT_FILENAME=/usr/lib/cgi-bin/plugin_vistrel",
        "REDIRECT_STATUS=200",
        "SSL_PROTOCOL=TLSv1.3",
        "UNIQUE_ID=Zx1",
        "FCGI_ROLE=RESPONDER",
    };
    run_options sigchld_ignored, all_blocked, late_reader;
    sigchld_ignored.ignore_sigchld = true;
    all_blocked.block_signals = true;
    late_reader.small_nonblocking_out = true;
    late_reader.while_running = [](long) { usleep(300000); };
    const std::string metrics = expected("metrics-nvidia"), page = run_plugin({}).out;
    const struct {
        const char *what;
        run_options opt;
        std::vector<std::string> env; // ahead of the node's own variables
        bool metrics;                 // a metrics request; else the page
        double min_s, max_s;
    } cases[] = {
        {"started with SIGCHLD ignored", sigchld_ignored, {}, true, 0, 5},
        {"started with every signal blocked", all_blocked, {}, true, 0, 5},
        // The quiet time after the shell has ended, not the deadline, ends it.
        {"tool leaves a detached process holding its output", {}, {"FAKE_NVIDIA_DETACH=gpu"}, true, 0, 1},
        {"tool leaves a background process", {}, {"FAKE_NVIDIA_BACKGROUND=apps"}, true, 0, 5},
        {"tool answers after 2 s", {}, {"FAKE_NVIDIA_SLOW=gpu"}, true, 1.9, 9},
        {"1100 variables ahead of PATH", {}, crowded, true, 0, 5},
        {"every request variable a server sets", {}, server, true, 0, 5},
        {"non-blocking standard output, late reader", late_reader, {}, false, 0, 5},
    };
    ASSERT_GT(page.size(), 4096u * 4) << "the page must outgrow the one-page pipe";
    for (const auto &c : cases) {
        std::remove(log.c_str());
        std::vector<std::string> env = c.env;
        for (const auto &e : nvidia_fixture_env())
            env.push_back(e);
        env.push_back(fakes_path());
        env.push_back("FAKE_LOG=" + log);
        if (c.metrics)
            env.push_back("QUERY_STRING=action=metrics");
        plugin_result r = run_plugin(c.opt, env);
        expect_clean(r);
        const std::string got = with_utc_placeholder(r.out), &want = c.metrics ? metrics : page;
        EXPECT_EQ(got.size(), want.size()) << c.what;
        EXPECT_TRUE(got == want) << c.what << ":\n" << got.substr(0, 800);
        EXPECT_GE(r.seconds, c.min_s) << c.what;
        EXPECT_LT(r.seconds, c.max_s) << c.what;
        EXPECT_EQ(fake_calls(log), c.metrics ? "gpu apps" : "") << c.what;
        EXPECT_TRUE(no_leak(log)) << c.what;
        EXPECT_TRUE(no_fake_left(log)) << c.what;
    }
}

// No core file from the signals whose default leaves one (QUIT, XCPU).
void no_core(long pid) {
    rlimit none{0, 0};
    prlimit(static_cast<pid_t>(pid), RLIMIT_CORE, &none, nullptr);
}

// Waits until the hanging fake has printed and started what it leaves
// running (its "sleeper" line, or for an exec'd hang its own line).
void wait_for_tool(const std::string &log, const std::string &line = "sleeper ") {
    for (int i = 0; i < 500 && read_file(log).find(line) == std::string::npos; ++i)
        usleep(10000);
    usleep(50000); // the exec or fork the line announces
}

// The server stops the request (lighttpd sends SIGTERM when it stops
// mid-request; others are told to send another signal, a timer or a CPU
// limit sends its own) while a tool hangs or while a fixture is read, also
// when it started the plugin with every signal blocked: the plugin ends by
// that signal at once, and the tool and what it started go with it, a
// process in a session of its own that ignores SIGTERM included.
TEST(Lifetime, StopSignalEndsTheToolToo) {
    const std::vector<std::string> hang = {"FAKE_NVIDIA_HANG=gpu"}, endless = {"VISTREL_MOCK_CSV=/proc/self/pagemap"},
                                   stubborn = {"FAKE_NVIDIA_DETACH=gpu", "FAKE_NVIDIA_HANG=gpu", "FAKE_IGNORE_TERM=1"};
    const struct {
        int sig;
        const std::vector<std::string> &situation;
    } cases[] = {
        // A process the tool detached, which ignores SIGTERM, is what only the
        // handler reaches: without it the tool's group still ends with the
        // plugin. SIGRTMIN + 1: the first realtime signal that both C
        // libraries leave to programs (musl keeps one more than glibc).
        {SIGTERM, stubborn}, {SIGHUP, stubborn},  {SIGINT, stubborn},    {SIGQUIT, stubborn},      {SIGUSR1, stubborn},
        {SIGUSR2, stubborn}, {SIGALRM, stubborn}, {SIGXCPU, stubborn},   {SIGVTALRM, stubborn},    {SIGPROF, stubborn},
        {SIGIO, stubborn},   {SIGPWR, stubborn},  {SIGSTKFLT, stubborn}, {SIGRTMIN + 1, stubborn}, {SIGRTMAX, stubborn},
        {SIGTERM, hang},     {SIGTERM, endless},
    };
    for (const auto &c : cases) {
        for (bool blocked : {false, true}) {
            const bool tool = &c.situation != &endless;
            SCOPED_TRACE(std::string(strsignal(c.sig)) + ", " + c.situation.back() +
                         (blocked ? ", signals blocked" : ""));
            scratch_dir s;
            const std::string log = s.file("calls.log");
            run_options opt;
            opt.block_signals = blocked;
            opt.while_running = [&](long pid) {
                no_core(pid);
                if (tool)
                    wait_for_tool(log);
                else
                    usleep(200000); // the fixture is being read by then
                kill(static_cast<pid_t>(pid), c.sig);
            };
            std::vector<std::string> env =
                with(nvidia_fixture_env(), {"QUERY_STRING=action=metrics", fakes_path(), "FAKE_LOG=" + log});
            env.insert(env.end(), c.situation.begin(), c.situation.end());
            plugin_result r = run_plugin(opt, env);
            if (tool) {
                EXPECT_NE(read_file(log).find("sleeper "), std::string::npos) << "the tool was not running";
            }
            EXPECT_EQ(r.signal, c.sig);
            EXPECT_EQ(r.out, "") << "nothing is written before the tools have answered";
            EXPECT_EQ(r.err, "");
            EXPECT_LT(r.seconds, 5.0) << "the signal must end the request well before the deadline";
            EXPECT_TRUE(no_fake_left(log));
        }
    }
}

// The plugin run through a wrapper that sets up its conditions and then
// execs it in place (setsid, prlimit, setpriv, env, unshare), so the pid the
// test sees is the plugin's.
plugin_result run_wrapped(const run_options &opt, const std::vector<std::string> &env,
                          std::vector<std::string> wrapper) {
    std::string bin = wrapper.front();
    wrapper.erase(wrapper.begin());
    wrapper.push_back(plugin_path());
    return run_plugin(opt, env, wrapper, bin);
}

// A mount namespace of our own in which /proc is a bare tmpfs, or /bin/sh
// is another file: the setup runs before the plugin is exec'd as "$0".
std::vector<std::string> in_namespace(const std::string &setup) {
    return {"/usr/bin/unshare", "-m", "/bin/sh", "-c", setup + " && exec \"$0\""};
}
const char *const WITHOUT_PROC = "mount -t tmpfs none /proc";
const char *const BASH_AS_SH = "mount --bind /bin/bash /bin/sh";

// The kernel may refuse the namespace or the mount (no privilege, a
// container); the wrapper then says so on stderr and the plugin never runs.
bool namespace_refused(const plugin_result &r) {
    return r.out.empty() && (r.err.find("unshare:") != std::string::npos || r.err.find("mount:") != std::string::npos);
}

// Kills that no handler sees, while the tool hangs (waiting for a child it
// started, or in its own process): SIGKILL of the plugin alone, and of the
// plugin's whole process group (a hard timeout, a server that stops its CGI
// so; the plugin leads a session of its own here, as under a server that
// starts each CGI so). Neither reaches the tool's own process group; the
// tool and what it started go all the same.
TEST(Lifetime, KillsThatNoHandlerSees) {
    const struct {
        const char *what, *mode, *started;
        bool group;
        std::vector<std::string> wrapper;
    } cases[] = {
        {"the plugin, the tool waits for a child", "FAKE_NVIDIA_HANG=gpu", "sleeper ", false, {"/usr/bin/setsid"}},
        {"the plugin, the tool hangs in its own process",
         "FAKE_NVIDIA_EXEC=gpu",
         "nvidia-smi gpu ",
         false,
         {"/usr/bin/setsid"}},
        {"the group, the tool waits for a child", "FAKE_NVIDIA_HANG=gpu", "sleeper ", true, {"/usr/bin/setsid"}},
        {"the group, the tool hangs in its own process",
         "FAKE_NVIDIA_EXEC=gpu",
         "nvidia-smi gpu ",
         true,
         {"/usr/bin/setsid"}},
        {"the plugin without /proc, the tool waits for a child", "FAKE_NVIDIA_HANG=gpu", "sleeper ", false,
         in_namespace(WITHOUT_PROC)},
    };
    for (const auto &c : cases) {
        if (sanitized_build() && c.wrapper != std::vector<std::string>{"/usr/bin/setsid"}) {
            std::printf("skipped \"%s\": %s\n", c.what, NO_SANITIZER);
            continue;
        }
        scratch_dir s;
        const std::string log = s.file("calls.log");
        run_options opt;
        opt.while_running = [&](long pid) {
            wait_for_tool(log, c.started);
            kill(static_cast<pid_t>(c.group ? -pid : pid), SIGKILL);
        };
        plugin_result r = run_wrapped(
            opt, with(nvidia_fixture_env(), {"QUERY_STRING=action=metrics", fakes_path(), "FAKE_LOG=" + log, c.mode}),
            c.wrapper);
        if (namespace_refused(r)) {
            std::printf("skipped \"%s\": the kernel refused the mount namespace: %s\n", c.what, r.err.c_str());
            continue;
        }
        EXPECT_NE(read_file(log).find(c.started), std::string::npos) << c.what << ": the tool was not running";
        EXPECT_EQ(r.signal, SIGKILL) << c.what;
        EXPECT_EQ(r.out, "") << c.what;
        EXPECT_EQ(r.err, "") << c.what;
        EXPECT_TRUE(no_fake_left(log)) << c.what;
    }
}

// Without /proc the walk over the plugin's children sees nothing: killing
// the tool's process group is what ends a child the tool left in it, before
// the next command starts and when a stop signal comes.
TEST(Lifetime, WithoutProcTheToolsGroupIsKilled) {
    if (sanitized_build())
        GTEST_SKIP() << NO_SANITIZER;
    const struct {
        const char *what, *mode;
        int sig; // sent once the tool runs; 0: none
    } cases[] = {
        {"the tool leaves a background child", "FAKE_NVIDIA_BACKGROUND=gpu", 0},
        {"SIGTERM while the tool waits for a child", "FAKE_NVIDIA_HANG=gpu", SIGTERM},
    };
    for (const auto &c : cases) {
        scratch_dir s;
        const std::string log = s.file("calls.log");
        run_options opt;
        if (c.sig)
            opt.while_running = [&](long pid) {
                wait_for_tool(log);
                kill(static_cast<pid_t>(pid), c.sig);
            };
        plugin_result r = run_wrapped(
            opt, with(nvidia_fixture_env(), {"QUERY_STRING=action=metrics", fakes_path(), "FAKE_LOG=" + log, c.mode}),
            in_namespace(WITHOUT_PROC));
        if (namespace_refused(r))
            GTEST_SKIP() << "the kernel refused a mount namespace without /proc: " << r.err;
        expect_ended_by(r, c.sig, c.what);
        EXPECT_NE(read_file(log).find("sleeper "), std::string::npos) << c.what << ": the tool left nothing";
        EXPECT_TRUE(no_fake_left(log)) << c.what;
    }
}

// The tool starts with every signal at its default and none blocked, and
// with no descriptor but its standard three, however the server started the
// plugin: SIGPIPE ignored and every signal blocked (inherited across exec),
// descriptors left open (a request body). dash clears the mask itself; bash
// as /bin/sh, as on many distributions, keeps it, so both are tried.
TEST(Lifetime, ToolStartsInTheDefaultState) {
    scratch_dir s;
    const std::string log = s.file("calls.log");
    // Left open by the "server": the lowest free descriptor and a high one,
    // both inherited by the plugin.
    int low = open(s.write("body", "request body").c_str(), O_RDONLY);
    ASSERT_GE(low, 3);
    int high = fcntl(low, F_DUPFD, 100);
    ASSERT_GE(high, 100);
    const std::string peek = "FAKE_PEEK_FDS=" + std::to_string(low) + " " + std::to_string(high);
    const std::vector<std::string> ignore_and_block = {"/usr/bin/env", "--ignore-signal=PIPE", "--block-signal"};
    std::vector<std::string> bash_blocked =
        in_namespace(std::string(BASH_AS_SH) + " && exec /usr/bin/env --ignore-signal=PIPE --block-signal \"$0\"");
    const struct {
        const char *what;
        std::vector<std::string> wrapper;
    } cases[] = {
        {"plain start", {}},
        {"SIGPIPE ignored, every signal blocked", ignore_and_block},
        {"the same, bash as /bin/sh", bash_blocked},
    };
    const std::string defaults = "nvidia-smi STATE 0000000000000000 0000000000000000 ";
    for (const auto &c : cases) {
        std::remove(log.c_str());
        const std::vector<std::string> env =
            with(nvidia_fixture_env(),
                 {"QUERY_STRING=action=metrics", fakes_path(), "FAKE_LOG=" + log, "FAKE_NVIDIA_STATE=gpu", peek});
        plugin_result r = c.wrapper.empty() ? run_plugin(env) : run_wrapped(run_options(), env, c.wrapper);
        if (namespace_refused(r)) {
            std::printf("skipped \"%s\": the kernel refused the mount namespace: %s\n", c.what, r.err.c_str());
            continue;
        }
        expect_clean(r);
        EXPECT_EQ(with_utc_placeholder(r.out), expected("metrics-nvidia")) << c.what;
        const std::string calls = read_file(log);
        EXPECT_NE(calls.find(defaults), std::string::npos) << c.what << ":\n" << calls;
        EXPECT_EQ(calls.find(" FD "), std::string::npos) << c.what << ": the tool holds a descriptor of ours:\n"
                                                         << calls;
        EXPECT_TRUE(no_fake_left(log)) << c.what;
    }
    close(low);
    close(high);
}

// Limits and failures that must not end the plugin silently, nor read as
// "no GPU": a write past a file size limit fails and the plugin exits 0
// with what fitted; a soft CPU limit ends it like a stop signal, its tool
// gone; a command that cannot be started (no process left to the user, no
// descriptor, no interpreter) is told in the message, the rest of the
// document as when no tool answers.
TEST(Lifetime, LimitsAndStartFailures) {
    scratch_dir s;
    const std::string page = run_plugin({}).out;
    ASSERT_GT(page.size(), 4096u);
    {
        // Standard output a regular file, RLIMIT_FSIZE below the page.
        int out = open(s.file("out").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        int err = open(s.file("err").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        pid_t pid = spawn_plugin("/usr/bin/prlimit", {"--fsize=4096", plugin_path()}, {}, out, err);
        int status = 0;
        waitpid(pid, &status, 0);
        close(out);
        close(err);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
        EXPECT_EQ(read_file(s.file("err")), "");
        EXPECT_TRUE(read_file(s.file("out")) == page.substr(0, 4096)) << "the file holds what fitted";
    }
    {
        // The tool floods its output; once it runs, the plugin alone gets a
        // soft CPU limit of one second.
        const std::string log = s.file("flood.log");
        run_options opt;
        opt.while_running = [&](long pid) {
            no_core(pid);
            wait_for_tool(log, "nvidia-smi gpu ");
            rlimit cpu{1, RLIM_INFINITY};
            prlimit(static_cast<pid_t>(pid), RLIMIT_CPU, &cpu, nullptr);
        };
        plugin_result r = run_plugin(
            opt, {"QUERY_STRING=action=metrics", fakes_path(), "FAKE_LOG=" + log, "FAKE_NVIDIA_GPU=/dev/zero"});
        EXPECT_EQ(r.signal, SIGXCPU);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "");
        EXPECT_LT(r.seconds, 9.0) << "the limit, not the deadline, ends it";
        EXPECT_TRUE(no_fake_left(log));
    }
    // Neither tool starts, for the same reason: both are told.
    auto neither = [](const std::string &why) {
        return "Could not start nvidia-smi: " + why + "; Could not start rocm-smi: " + why;
    };
    // Either C library's words for running out of descriptors.
    const std::string no_fd[] = {"No file descriptors available", "Too many open files"};
    const struct {
        const char *what;
        std::vector<std::string> wrapper;
        std::vector<std::string> messages; // any of these
        bool threads = true;               // the sanitizer runtime can run
    } cases[] = {
        {"fork fails: RLIMIT_NPROC as an unprivileged user",
         {"/usr/bin/prlimit", "--nproc=1", "/usr/bin/setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"},
         {neither("fork: Resource temporarily unavailable")},
         false},
        {"no descriptor for the pipe",
         {"/usr/bin/prlimit", "--nofile=5"},
         {neither("pipe: " + no_fd[0]), neither("pipe: " + no_fd[1])}},
        {"/bin/sh cannot be executed",
         in_namespace("mount --bind /dev/null /bin/sh"),
         {neither("/bin/sh: Permission denied")}},
    };
    const std::string none = expected("metrics-none");
    for (const auto &c : cases) {
        if (sanitized_build() && !c.threads) {
            std::printf("skipped \"%s\": %s\n", c.what, NO_SANITIZER);
            continue;
        }
        const std::string log = s.file("calls.log");
        std::remove(log.c_str());
        plugin_result r = run_wrapped(
            run_options(), with(nvidia_fixture_env(), {"QUERY_STRING=action=metrics", fakes_path(), "FAKE_LOG=" + log}),
            c.wrapper);
        if (namespace_refused(r)) {
            std::printf("skipped \"%s\": the kernel refused the mount namespace: %s\n", c.what, r.err.c_str());
            continue;
        }
        expect_clean(r);
        const std::string got = with_utc_placeholder(r.out);
        bool matched = false;
        for (const std::string &m : c.messages)
            matched = matched || got == fill(none, {{NO_GPU, m}});
        EXPECT_TRUE(matched) << c.what << ":\n" << got;
        EXPECT_EQ(fake_calls(log), "") << c.what;
    }
}

// /proc/self/pagemap is a regular file of about 256 GiB: reading it obeys
// the tool deadline and the request answers with what it read.
TEST(Lifetime, EndlessFixtureEndsAtTheDeadline) {
    plugin_result r = run_plugin({"QUERY_STRING=action=metrics", NO_TOOLS, "VISTREL_MOCK_CSV=/proc/self/pagemap"});
    metrics_body(r);
    EXPECT_GT(r.seconds, 9.0) << "the file is read until the deadline";
    EXPECT_LT(r.seconds, 15.0);
}

// ---- vendor tools come only from PATH --------------------------------------

TEST(ToolsOnlyFromPath, NeverFromTheWorkingFolder) {
    scratch_dir s;
    const std::string log = s.file("calls.log"), canary = s.file("CANARY");
    // The server's working folder (under lighttpd the binary's own) holds a
    // tool of that name. An empty entry of PATH or "." means that folder to
    // the shell.
    const std::string planted = s.write("nvidia-smi", "#!/bin/sh\n/usr/bin/touch '" + canary +
                                                          "'\necho '0, GPU-planted, Planted, 1, 2, 3, 4, 5, 6, 7'\n");
    ASSERT_EQ(chmod(planted.c_str(), 0755), 0);
    const std::string fakes = data_dir() + "/fakes";
    const struct {
        std::string path;
        bool fakes_run;
    } cases[] = {
        {":/usr/bin:/bin", false},
        {"/usr/bin:/bin:", false},
        {"/usr/bin::/bin", false},
        {".:/usr/bin:/bin", false},
        {"::" + fakes + ":/usr/bin:/bin", true},
        {".:" + fakes + ":/usr/bin:/bin", true},
        {"/usr/bin:" + fakes + "::/bin:", true},
    };
    run_options in_folder;
    in_folder.cwd = s.path();
    for (const auto &c : cases) {
        std::remove(log.c_str());
        std::string body =
            metrics_body(run_plugin(in_folder, with(nvidia_fixture_env(), {"QUERY_STRING=action=metrics",
                                                                           "PATH=" + c.path, "FAKE_LOG=" + log})));
        EXPECT_FALSE(path_exists(canary)) << "the planted tool ran, PATH=" << c.path;
        EXPECT_EQ(outcome(body), c.fakes_run ? "nvidia true false 3 2" : "none false false 0 0") << c.path;
        EXPECT_EQ(fake_calls(log), c.fakes_run ? "gpu apps" : "") << c.path;
        std::remove(canary.c_str());
    }
}

// ---- valid UTF-8 in every document -----------------------------------------

// nvidia-smi on Windows prints names in the console's code page ("Jos\xe9"),
// and names are cut at 95 bytes, here inside an "é": every source gives valid
// UTF-8, U+FFFD for the byte of no character, and the cut character left out.
TEST(Utf8, CodePageBytesAndCutCharactersFromEachSource) {
    scratch_dir s;
    const std::string log = s.file("calls.log");
    const std::string cut = std::string(94, 'a') + "\xc3\xa9";
    const std::string csv = s.write("names.csv", "GPU,0,GPU-u,Jos\xe9,1,2,3,4,5,6,7\nAPP,GPU-u,5," + cut + ",1\n");
    const std::string gpus = s.write("gpus.txt", "0, GPU-u, Jos\xe9, 1, 2, 3, 4, 5, 6, 7\n");
    const std::string apps = s.write("apps.txt", "GPU-u, 5, " + cut + ", 1\n");
    const std::vector<std::vector<std::string>> sources = {
        {"VISTREL_MOCK_CSV=" + csv},
        {"FAKE_NVIDIA_GPU=" + gpus, "FAKE_NVIDIA_APPS=" + apps},
    };
    for (const auto &env : sources) {
        std::string body = metrics_with_fakes(log, env); // read as strict UTF-8
        EXPECT_NE(body.find("\"name\":\"Jos\\ufffd\""), std::string::npos) << body;
        EXPECT_NE(body.find("\"name\":\"" + std::string(94, 'a') + "\""), std::string::npos) << body;
        EXPECT_EQ(member(body, "process_count"), "1");
    }
}

} // namespace
