// Black-box tests: the built binary run as a CGI process with an exact
// environment, its output compared byte for byte. Fake nvidia-smi and
// rocm-smi on PATH stand in for the vendor tools, so the real command path
// (shell, pipe, deadline) is exercised.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>

#include <cerrno>
#include <ctime>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "json_check.h"
#include "responses.h"
#include "run_plugin.h"

namespace {

const std::string DISCOVERY = "{\"name\":\"vistrel\",\"desc\":\"Local GPUs\"}\n";
const std::string NOTE = "Opened directly from the node API.";
const std::string NO_GPU = "No local NVIDIA/AMD GPU detected";

std::string fakes() { return tests_dir() + "/data/fakes"; }
std::string fixture(const std::string &name) { return tests_dir() + "/data/fixtures/" + name; }

// PATH with the fake tools first; the fakes themselves need cat and sleep.
std::string fake_path() { return "PATH=" + fakes() + ":/usr/bin:/bin"; }
const std::string NO_TOOLS = "PATH=/nonexistent";

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// A scratch folder per test run for generated fixtures and call logs.
struct scratch {
    std::string dir;
    scratch() {
        char tmpl[] = "/tmp/vistrel-test-XXXXXX";
        dir = mkdtemp(tmpl);
    }
    ~scratch() { std::system(("rm -rf " + dir).c_str()); }
    std::string write(const std::string &name, const std::string &text) const {
        std::string path = dir + "/" + name;
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }
    std::string log() const { return dir + "/calls.log"; }
};

// Bytes of every value, from a fixed recipe, standing in for binary garbage.
std::string noise(size_t n) {
    std::string out;
    for (size_t i = 0; i < n; ++i)
        out += static_cast<char>((i * 7919 + 13) & 0xff);
    return out;
}

// The "utc" stamp is the one value that changes between runs.
std::string without_stamp(const std::string &body) {
    return std::regex_replace(body, std::regex("\"utc\":\"[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}Z\""),
                              "\"utc\":\"STAMP\"");
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

// One strict JSON value; names pass through as bytes, so any high byte is allowed.
bool is_json_document(const std::string &text) {
    jcheck::value v;
    return jcheck::reader().parse(text, &v, jcheck::reader::any) && !text.empty() && text.back() == '\n';
}

// Expectations every response shares: exit 0 and nothing on stderr.
void expect_clean(const plugin_result &r) {
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
}

// A metrics response: the JSON header and one valid document.
std::string metrics_body(const plugin_result &r) {
    expect_clean(r);
    EXPECT_EQ(r.out.compare(0, JSON_HEADER.size(), JSON_HEADER), 0) << r.out.substr(0, 200);
    std::string body = r.out.substr(std::min(JSON_HEADER.size(), r.out.size()));
    EXPECT_TRUE(is_json_document(body)) << body.substr(0, 400);
    EXPECT_EQ(member(body, "action"), "\"metrics\"");
    return body;
}

// Running, as opposed to gone or a zombie waiting for init to reap it. A
// killed process takes a moment to die, so this waits up to two seconds.
// A metrics request on a node with the fake tools, logging to a fresh log.
std::string metrics_with_fakes(const scratch &s, std::vector<std::string> env) {
    std::remove(s.log().c_str());
    env.push_back("QUERY_STRING=action=metrics");
    env.push_back(fake_path());
    env.push_back("FAKE_LOG=" + s.log());
    return metrics_body(run_plugin(env));
}

bool process_alive(long pid) {
    for (int tries = 0; tries < 200; ++tries) {
        std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
        size_t paren = stat.rfind(')');
        if (pid <= 0 || paren == std::string::npos || stat.compare(paren + 2, 1, "Z") == 0)
            return false;
        usleep(10000);
    }
    return true;
}

// Every process the fakes logged ("nvidia-smi gpu 123", "sleeper 456") is gone.
void expect_no_process_left(const std::string &log) {
    std::istringstream in(read_file(log));
    std::string line;
    while (std::getline(in, line)) {
        long pid = std::atol(line.substr(line.find_last_of(' ') + 1).c_str());
        EXPECT_FALSE(process_alive(pid)) << "still running: " << line;
    }
}

// Which queries the fakes answered, in order: "gpu apps", "report", ...
std::string calls(const std::string &log) {
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

// ---- flags and discovery ---------------------------------------------------

const std::string HELP = "usage: plugin_vistrel [--meta|--version|--help]\n"
                         "\n"
                         "Runs as a CGI-style program under kelvane-server.\n"
                         "  --meta      print discovery metadata JSON and exit\n"
                         "  --version   print the plugin version and exit\n"
                         "\n"
                         "Query string actions:\n"
                         "  (none) or action=metrics   local GPU telemetry + compute procs\n"
                         "  action=info                plugin/platform capabilities\n"
                         "  format=json                same as an action, JSON output\n"
                         "  (any other)                HTML dashboard\n"
                         "\n"
                         "Environment:\n"
                         "  VISTREL_MOCK_CSV=<path>      read a CSV fixture instead of probing\n";

TEST(Flags, AnswerBeforeDiscoveryAndGate) {
    const struct {
        std::vector<std::string> args, env;
        std::string out;
    } cases[] = {
        {{"--meta"}, {}, DISCOVERY},
        {{"--meta", "--version", "x"}, {}, DISCOVERY},
        {{"--version"}, {"BOT_PASSWORD=secret"}, "1.0.3\n"},
        {{"--version"}, {"KV_PLUGIN_META=1"}, "1.0.3\n"},
        {{"--help"}, {"BOT_PASSWORD=secret"}, HELP},
        {{}, {"KV_PLUGIN_META="}, DISCOVERY},
        {{}, {"KV_PLUGIN_META=x", "BOT_PASSWORD=secret", "QUERY_STRING=action=info"}, DISCOVERY},
        {{"--META"}, {"BOT_PASSWORD=secret"}, REFUSAL},
        {{"x", "--help"}, {"BOT_PASSWORD=secret"}, REFUSAL},
        {{"--meta=1"}, {"BOT_PASSWORD=secret"}, REFUSAL},
    };
    for (const auto &c : cases) {
        plugin_result r = run_plugin(c.env, c.args);
        expect_clean(r);
        EXPECT_EQ(r.out, c.out) << (c.args.empty() ? "(no args)" : c.args[0]);
    }
    EXPECT_EQ(HELP.find("\n\n\n"), std::string::npos);
    EXPECT_EQ(std::count(HELP.begin(), HELP.end(), '\n'), 14);
}

// ---- routing ---------------------------------------------------------------

// "page", "page+note", or the JSON document's action / error.
std::string response_kind(const plugin_result &r) {
    if (r.out.compare(0, HTML_HEADER.size(), HTML_HEADER) == 0) {
        std::string doc = r.out.substr(HTML_HEADER.size());
        EXPECT_EQ(doc.compare(0, 16, "<!DOCTYPE html>\n"), 0);
        EXPECT_EQ(doc.substr(doc.size() - 8), "</html>\n");
        return doc.find(NOTE) != std::string::npos ? "page+note" : "page";
    }
    std::string body = body_of(r.out);
    EXPECT_TRUE(is_json_document(body)) << r.out;
    std::string action = member(body, "action");
    return action != "(absent)" ? action : member(body, "error");
}

TEST(Routing, RawMarkersDecide) {
    const struct {
        const char *query; // nullptr: no QUERY_STRING at all
        const char *kind;
    } cases[] = {
        {nullptr, "page+note"},
        {"", "page+note"},
        {"action=metrics", "\"metrics\""},
        {"action=info", "\"info\""},
        {"transaction=5", "\"metrics\""},
        {"q=action=info", "\"metrics\""},
        {"format=json", "\"metrics\""},
        {"format=jsonp", "\"metrics\""},
        {"format=json&action=info", "\"info\""},
        {"action=info&embed=1", "\"info\""},
        {"Action=info", "page+note"},
        {"ACTION=info", "page+note"},
        {"action%3Dinfo", "page+note"},
        {"%61ction=info", "page+note"},
        {"theme=dark&embed=true", "page"},
        {"embed=1", "page"},
        {"embed=10", "page"},
        {"noembed=1", "page"},
        {"embed=trueish", "page"},
        {"embed=0", "page+note"},
        {"embed=yes", "page+note"},
        {"EMBED=1", "page+note"},
        {"action=bogus", "\"unknown_action\""},
    };
    for (const auto &c : cases) {
        std::vector<std::string> env{NO_TOOLS};
        if (c.query)
            env.push_back(std::string("QUERY_STRING=") + c.query);
        plugin_result r = run_plugin(env);
        expect_clean(r);
        EXPECT_EQ(response_kind(r), c.kind) << (c.query ? c.query : "(no query)");
    }
}

TEST(Page, HeaderBlockAndNoteOnlyWhenNotEmbedded) {
    plugin_result direct = run_plugin({});
    plugin_result embedded = run_plugin({"QUERY_STRING=embed=1"});
    expect_clean(direct);
    ASSERT_EQ(direct.out.compare(0, 100, HTML_HEADER), 0);
    EXPECT_EQ(HTML_HEADER.size(), 100u);
    // The two pages differ by exactly the note.
    size_t at = direct.out.find(NOTE);
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(embedded.out.find(NOTE), std::string::npos);
    EXPECT_LT(embedded.out.size(), direct.out.size());
    for (unsigned char c : direct.out)
        ASSERT_LT(c, 0x80) << "the page is ASCII";
}

// ---- password gate ---------------------------------------------------------

TEST(Gate, RefusesWithTheWhole178ByteResponse) {
    EXPECT_EQ(REFUSAL.size(), 178u);
    const std::vector<std::vector<std::string>> refused = {
        {},
        {"QUERY_STRING="},
        {"QUERY_STRING=action=info"},
        {"QUERY_STRING=embed=1"},
        {"QUERY_STRING=pwd=wrong&pwd=s3cret"},
        {"QUERY_STRING=pwd="},
        {"HTTP_X_BOT_PASSWORD=S3CRET"},
        {"HTTP_AUTHORIZATION=bearer s3cret"},
        {"HTTP_AUTHORIZATION=Basic czNjcmV0"},
    };
    for (auto env : refused) {
        env.push_back("BOT_PASSWORD=s3cret");
        plugin_result r = run_plugin(env);
        expect_clean(r);
        EXPECT_EQ(r.out, REFUSAL) << (env.size() > 1 ? env[0] : "(no credential)");
    }
}

TEST(Gate, PassesThroughEachPlace) {
    const std::vector<std::vector<std::string>> passed = {
        {"HTTP_X_BOT_PASSWORD=s3cret", "QUERY_STRING=action=info&pwd=wrong"},
        {"HTTP_X_BOT_PASSWORD=wrong", "QUERY_STRING=action=info&pwd=s3cret"},
        {"HTTP_AUTHORIZATION=  Bearer   s3cret", "QUERY_STRING=action=info"},
        {"QUERY_STRING=pwd=s3cret&action=info"},
    };
    for (auto env : passed) {
        env.push_back("BOT_PASSWORD=s3cret");
        plugin_result r = run_plugin(env);
        expect_clean(r);
        EXPECT_EQ(member(body_of(r.out), "node_auth"), "true") << env[0];
    }
    // The pwd pair stays in the query: a password holding action= routes to JSON.
    plugin_result r = run_plugin({"BOT_PASSWORD=action=1", "QUERY_STRING=pwd=action=1", NO_TOOLS});
    EXPECT_EQ(response_kind(r), "\"metrics\"");
}

// ---- info and error documents ----------------------------------------------

TEST(Info, ReportsPlatformPidAndStamp) {
    std::time_t before = std::time(nullptr);
    plugin_result r = run_plugin({"QUERY_STRING=action=info", "BOT_PASSWORD="});
    std::time_t after = std::time(nullptr);
    expect_clean(r);
    ASSERT_EQ(r.out.compare(0, JSON_HEADER.size(), JSON_HEADER), 0);
    std::smatch m;
    std::string body = body_of(r.out);
    ASSERT_TRUE(std::regex_match(
        body, m,
        std::regex("\\{\"ok\":true,\"action\":\"info\",\"plugin\":\"plugin_vistrel\",\"version\":\"1\\.0\\.3\","
                   "\"platform\":\"linux\",\"pid\":([0-9]+),\"utc\":\"([0-9TZ:-]{20})\",\"node_auth\":false,"
                   "\"supported\":\\[\"metrics\",\"info\"\\],\"probes\":\\[\"nvidia-smi\",\"rocm-smi\"\\],"
                   "\"mock_hook\":\"VISTREL_MOCK_CSV\",\"max_gpus\":32,\"zero_network\":true\\}\n")))
        << body;
    EXPECT_EQ(std::stol(m[1]), r.pid);
    std::tm t{};
    ASSERT_NE(strptime(m[2].str().c_str(), "%Y-%m-%dT%H:%M:%SZ", &t), nullptr);
    std::time_t stamp = timegm(&t);
    EXPECT_GE(stamp, before);
    EXPECT_LE(stamp, after);
}

TEST(ErrorDocument, EchoesTheDecodedAction) {
    const std::string raw70(70, 'a');
    const struct {
        std::string query, requested;
    } cases[] = {
        {"action=Info", "\"Info\""},
        {"action=metrics%20", "\"metrics \""},
        {"action=a%22b%5Cc", "\"a\\\"b\\\\c\""},
        {"action=x%01y", "\"xy\""},
        {"action=%3Cb%3E%0D%0A", "\"<b>\\r\\n\""},
        {"action=" + raw70, "\"" + std::string(63, 'a') + "\""},
    };
    for (const auto &c : cases) {
        plugin_result r = run_plugin({"QUERY_STRING=" + c.query});
        expect_clean(r);
        EXPECT_EQ(r.out, JSON_HEADER +
                             "{\"ok\":false,\"error\":\"unknown_action\",\"supported\":[\"metrics\",\"info\"],"
                             "\"requested\":" +
                             c.requested + "}\n")
            << c.query;
    }
    for (const char *q : {"action=%00x", "action=", "action=info&action=bogus"}) {
        plugin_result r = run_plugin({std::string("QUERY_STRING=") + q, NO_TOOLS});
        EXPECT_NE(response_kind(r), "\"unknown_action\"") << q;
    }
}

// ---- metrics through the whole program -------------------------------------

const std::string NONE_DOCUMENT =
    "{\"ok\":true,\"action\":\"metrics\",\"available\":false,\"source\":\"none\",\"mocked\":false,\"driver\":\"\","
    "\"utc\":\"STAMP\",\"count\":0,\"process_count\":0,\"util_gpu_avg\":0.0,\"mem_used_mb\":0,\"mem_total_mb\":0,"
    "\"power_w\":null,\"gpus\":[],\"processes\":[],\"message\":\"No local NVIDIA/AMD GPU detected\"}\n";

TEST(Metrics, NoneWhenNoSourceAnswers) {
    plugin_result r = run_plugin({"QUERY_STRING=action=metrics", NO_TOOLS});
    EXPECT_EQ(without_stamp(metrics_body(r)), NONE_DOCUMENT);
}

TEST(Metrics, WorkedCsvFixture) {
    plugin_result r = run_plugin({"QUERY_STRING=format=json", "VISTREL_MOCK_CSV=" + fixture("two-gpus.csv"), NO_TOOLS});
    EXPECT_EQ(
        without_stamp(metrics_body(r)),
        "{\"ok\":true,\"action\":\"metrics\",\"available\":true,\"source\":\"mock\",\"mocked\":true,\"driver\":\"1.2."
        "3\",\"utc\":\"STAMP\",\"count\":2,\"process_count\":2,\"util_gpu_avg\":26.5,\"mem_used_mb\":3072,\"mem_"
        "total_mb\":16384,\"power_w\":120.4,\"gpus\":[{\"index\":0,\"uuid\":\"GPU-aaaa\",\"name\":\"Example GPU "
        "A\",\"util_gpu\":40.0,\"mem_used_mb\":2048,\"mem_total_mb\":8192,\"temp_c\":61,\"power_w\":120.4,\"power_"
        "limit_w\":250.0},{\"index\":3,\"uuid\":\"GPU-bbbb\",\"name\":\"Example GPU B\",\"util_gpu\":13.0,\"mem_used_"
        "mb\":1024,\"mem_total_mb\":8192,\"temp_c\":null,\"power_w\":null,\"power_limit_w\":null}],\"processes\":[{"
        "\"gpu_uuid\":\"GPU-bbbb\",\"gpu_index\":3,\"pid\":812,\"name\":\"trainer\",\"used_mb\":1536},{\"gpu_uuid\":"
        "\"\",\"gpu_index\":-1,\"pid\":77,\"name\":\"orphan\",\"used_mb\":12}],\"message\":\"\"}\n");
}

TEST(Metrics, RealShapedNvidiaSmiOutput) {
    scratch s;
    plugin_result r =
        run_plugin({"QUERY_STRING=action=metrics", fake_path(), "FAKE_LOG=" + s.log(),
                    "FAKE_NVIDIA_GPU=" + fixture("nvidia-gpus.txt"), "FAKE_NVIDIA_APPS=" + fixture("nvidia-apps.txt")});
    EXPECT_EQ(
        without_stamp(metrics_body(r)),
        "{\"ok\":true,\"action\":\"metrics\",\"available\":true,\"source\":\"nvidia\",\"mocked\":false,\"driver\":"
        "\"590.48.01\",\"utc\":\"STAMP\",\"count\":3,\"process_count\":2,\"util_gpu_avg\":33.3,\"mem_used_mb\":19834,"
        "\"mem_total_mb\":204078,\"power_w\":758.3,\"gpus\":[{\"index\":0,\"uuid\":\"GPU-5e7f4c1a-9b0d-4e3f-8a21-"
        "6c9d0b7e1f42\",\"name\":\"NVIDIA H100 80GB HBM3\",\"util_gpu\":100.0,\"mem_used_mb\":19818,\"mem_total_mb\":"
        "81559,\"temp_c\":59,\"power_w\":632.0,\"power_limit_w\":700.0},{\"index\":1,\"uuid\":\"GPU-0b1c2d3e-4f50-"
        "6172-8394-a5b6c7d8e9f0\",\"name\":\"NVIDIA H100 80GB HBM3\",\"util_gpu\":0.0,\"mem_used_mb\":4,\"mem_total_"
        "mb\":81559,\"temp_c\":31,\"power_w\":71.2,\"power_limit_w\":700.0},{\"index\":2,\"uuid\":\"GPU-77aa88bb-99cc-"
        "4dd0-8ee1-f2a3b4c5d6e7\",\"name\":\"NVIDIA A100-SXM4-40GB\",\"util_gpu\":0.0,\"mem_used_mb\":12,\"mem_total_"
        "mb\":40960,\"temp_c\":35,\"power_w\":55.1,\"power_limit_w\":null}],\"processes\":[{\"gpu_uuid\":\"GPU-"
        "5e7f4c1a-9b0d-4e3f-8a21-6c9d0b7e1f42\",\"gpu_index\":0,\"pid\":11345,\"name\":\"./gpu_burn\",\"used_mb\":"
        "15690},{\"gpu_uuid\":\"GPU-77aa88bb-99cc-4dd0-8ee1-f2a3b4c5d6e7\",\"gpu_index\":2,\"pid\":0,\"name\":"
        "\"python3\",\"used_mb\":0}],\"message\":\"\"}\n");
    EXPECT_EQ(calls(s.log()), "gpu apps");
    expect_no_process_left(s.log());
}

TEST(Metrics, RealShapedRocmSmiReport) {
    scratch s;
    plugin_result r = run_plugin({"QUERY_STRING=action=metrics", fake_path(), "FAKE_LOG=" + s.log(),
                                  "FAKE_ROCM_OUT=" + fixture("rocm-two-gpus.txt")});
    // rocm-smi gives no uuid and no driver; a later "Card SKU" line names the GPU.
    EXPECT_EQ(without_stamp(metrics_body(r)),
              "{\"ok\":true,\"action\":\"metrics\",\"available\":true,\"source\":\"amd\",\"mocked\":false,\"driver\":"
              "\"\",\"utc\":\"STAMP\",\"count\":2,\"process_count\":0,\"util_gpu_avg\":54.5,\"mem_used_mb\":11264,"
              "\"mem_total_mb\":212960,\"power_w\":177.0,\"gpus\":[{\"index\":0,\"uuid\":\"\",\"name\":\"D41205\","
              "\"util_gpu\":12.0,\"mem_used_mb\":1024,\"mem_total_mb\":16368,\"temp_c\":41,\"power_w\":35.0,\"power_"
              "limit_w\":null},{\"index\":1,\"uuid\":\"\",\"name\":\"M3000100\",\"util_gpu\":97.0,\"mem_used_mb\":"
              "10240,\"mem_total_mb\":196592,\"temp_c\":38,\"power_w\":142.0,\"power_limit_w\":null}],\"processes\":[],"
              "\"message\":\"\"}\n");
    EXPECT_EQ(calls(s.log()), "gpu report"); // nvidia-smi answered nothing, so rocm-smi ran
}

// ---- the probe chain -------------------------------------------------------

TEST(Chain, OutcomesAndWhatRan) {
    scratch s;
    const std::string comments = s.write("comments.csv", "# nothing here\n#\n");
    const std::string empty = s.write("empty.csv", "\n\r\n");
    const std::string nv_apps_only = s.write("nv-apps.txt", "# compute apps only\nAPP,GPU-x,42,orphan,10\n");
    const std::string nv_gpus = s.write("nv-gpus.txt", "0, GPU-m, Mock GPU, 5, 1, 2, 30, 10, 20, 1.0\n");
    const std::string nv_useless = s.write("nv-useless.txt", "app, GPU-x, 1, too, few\n");
    const std::string rocm_gpu = s.write("rocm.txt", "GPU[0]\t\t: GPU use (%): 7\n");
    const std::string rocm_banner = s.write("rocm-banner.txt", "==== ROCm System Management Interface ====\n");
    const std::string nv_error = s.write("nv-error.txt", "NVIDIA-SMI has failed because it couldn't communicate "
                                                         "with the NVIDIA driver.\n");
    const std::string missing = s.dir + "/missing";
    const std::string gpus = "FAKE_NVIDIA_GPU=" + fixture("nvidia-gpus.txt");
    const struct {
        const char *what;
        std::vector<std::string> env;
        std::string source, available, mocked, count, procs, message, ran;
    } cases[] = {
        {"CSV of comments only",
         {"VISTREL_MOCK_CSV=" + comments, gpus},
         "\"mock\"",
         "false",
         "true",
         "0",
         "0",
         "\"" + NO_GPU + "\"",
         ""},
        {"missing CSV",
         {"VISTREL_MOCK_CSV=" + missing, gpus},
         "\"nvidia\"",
         "true",
         "false",
         "3",
         "0",
         "\"\"",
         "gpu apps"},
        {"empty CSV", {"VISTREL_MOCK_CSV=" + empty, gpus}, "\"nvidia\"", "true", "false", "3", "0", "\"\"", "gpu apps"},
        {"empty CSV variable",
         {"VISTREL_MOCK_CSV=", gpus},
         "\"nvidia\"",
         "true",
         "false",
         "3",
         "0",
         "\"\"",
         "gpu apps"},
        {"missing NVIDIA mock",
         {"VISTREL_MOCK_NVIDIA=" + missing, "FAKE_ROCM_OUT=" + rocm_gpu},
         "\"amd\"",
         "true",
         "true",
         "1",
         "0",
         "\"\"",
         "report"},
        {"NVIDIA mock of compute apps only",
         {"VISTREL_MOCK_NVIDIA=" + nv_apps_only},
         "\"none\"",
         "false",
         "true",
         "0",
         "1",
         "\"" + NO_GPU + "\"",
         "report"},
        {"both mocks usable",
         {"VISTREL_MOCK_NVIDIA=" + nv_gpus, "VISTREL_MOCK_ROCM=" + rocm_gpu},
         "\"nvidia\"",
         "true",
         "true",
         "1",
         "0",
         "\"\"",
         "apps"},
        {"both mocks useless",
         {"VISTREL_MOCK_NVIDIA=" + nv_useless, "VISTREL_MOCK_ROCM=" + rocm_banner},
         "\"none\"",
         "false",
         "true",
         "0",
         "0",
         "\"" + NO_GPU + "\"",
         ""},
        {"empty NVIDIA mock variable",
         {"VISTREL_MOCK_NVIDIA=", gpus},
         "\"nvidia\"",
         "true",
         "false",
         "3",
         "0",
         "\"\"",
         "gpu apps"},
        {"nvidia-smi prints only an error and exits 9",
         {"FAKE_NVIDIA_GPU=" + nv_error, "FAKE_NVIDIA_EXIT=9", "FAKE_ROCM_OUT=" + rocm_banner},
         "\"none\"",
         "false",
         "false",
         "0",
         "0",
         "\"" + NO_GPU + "\"",
         "gpu report"},
        {"nvidia-smi prints GPUs and exits 15",
         {gpus, "FAKE_NVIDIA_EXIT=15"},
         "\"nvidia\"",
         "true",
         "false",
         "3",
         "0",
         "\"\"",
         "gpu apps"},
    };
    for (const auto &c : cases) {
        std::string body = metrics_with_fakes(s, c.env);
        EXPECT_EQ(member(body, "source"), c.source) << c.what;
        EXPECT_EQ(member(body, "available"), c.available) << c.what;
        EXPECT_EQ(member(body, "mocked"), c.mocked) << c.what;
        EXPECT_EQ(member(body, "count"), c.count) << c.what;
        EXPECT_EQ(member(body, "process_count"), c.procs) << c.what;
        EXPECT_EQ(member(body, "message"), c.message) << c.what;
        EXPECT_EQ(calls(s.log()), c.ran) << c.what;
    }
}

TEST(Chain, NvidiaMockWithoutTheTool) {
    scratch s;
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

TEST(BadInput, FixturesThatCannotBeUsed) {
    scratch s;
    const std::string garbage = s.write("garbage.bin", noise(4096));
    mkdir((s.dir + "/a-directory").c_str(), 0755);
    const std::string paths[] = {s.dir + "/missing", s.dir + "/a-directory", s.write("empty", ""), garbage, "/dev/zero",
                                 "/dev/null"};
    for (const std::string &p : paths)
        for (const char *var : {"VISTREL_MOCK_CSV=", "VISTREL_MOCK_NVIDIA=", "VISTREL_MOCK_ROCM="}) {
            plugin_result r = run_plugin({"QUERY_STRING=action=metrics", NO_TOOLS, var + p});
            std::string body = metrics_body(r);
            EXPECT_NE(member(body, "source"), "(absent)") << var << p;
        }
}

TEST(BadInput, PiecesOfOverlongLines) {
    scratch s;
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
    scratch s;
    const std::string garbage = noise(300000);
    const std::string good = "0, GPU-ok, Survivor, 50, 1, 2, 40, 100, 200, 9.9\n";
    const struct {
        const char *what;
        std::vector<std::string> env;
        std::string source, count;
    } cases[] = {
        {"binary garbage", {"FAKE_NVIDIA_GPU=" + s.write("noise", garbage)}, "\"none\"", "0"},
        {"200 000-byte lines around a good one",
         {"FAKE_NVIDIA_GPU=" + s.write("long", std::string(200000, 'z') + "\n" + good + std::string(200000, 'q'))},
         "\"nvidia\"",
         "1"},
        {"killed mid-line",
         {"FAKE_NVIDIA_GPU=" + s.write("cut", good + "1, GPU-cut, Cut Of"), "FAKE_NVIDIA_DIE=gpu"},
         "\"nvidia\"",
         "1"},
        {"killed mid-line in the apps query",
         {"FAKE_NVIDIA_GPU=" + s.write("g", good), "FAKE_NVIDIA_APPS=" + s.write("a", "GPU-ok, 5, x"),
          "FAKE_NVIDIA_DIE=apps"},
         "\"nvidia\"",
         "1"},
        {"rocm-smi garbage", {"FAKE_ROCM_OUT=" + s.write("rnoise", garbage)}, "\"none\"", "0"},
    };
    for (const auto &c : cases) {
        std::string body = metrics_with_fakes(s, c.env);
        EXPECT_EQ(member(body, "source"), c.source) << c.what;
        EXPECT_EQ(member(body, "count"), c.count) << c.what;
        expect_no_process_left(s.log());
    }
}

TEST(BadInput, HangingToolIsStoppedAndTheRequestEnds) {
    // The GPU query prints its lines and then never ends, either holding its
    // output open or having closed it. The deadline kills it and everything it
    // started, and the request answers with what it read.
    for (const char *mode : {"FAKE_NVIDIA_HANG=gpu", "FAKE_NVIDIA_LINGER=gpu"}) {
        scratch s;
        plugin_result r = run_plugin({"QUERY_STRING=action=metrics", fake_path(), "FAKE_LOG=" + s.log(),
                                      "FAKE_NVIDIA_GPU=" + fixture("nvidia-gpus.txt"),
                                      "FAKE_NVIDIA_APPS=" + fixture("nvidia-apps.txt"), mode});
        std::string body = metrics_body(r);
        EXPECT_EQ(member(body, "source"), "\"nvidia\"") << mode;
        EXPECT_EQ(member(body, "count"), "3") << mode;
        EXPECT_EQ(member(body, "process_count"), "2") << mode;
        EXPECT_EQ(calls(s.log()), "gpu apps") << mode;
        EXPECT_LT(r.seconds, 30.0) << mode << ": the request must end soon after the tool's deadline";
        expect_no_process_left(s.log());
    }
}

TEST(BadInput, HugeFixtureIsReadAtConstantMemory) {
    scratch s;
    std::string small = s.write("small.csv", "APP,GPU-x,1,p,1\n");
    std::string huge_path = s.dir + "/huge.csv";
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
    EXPECT_LT(huge.max_rss_kb - base.max_rss_kb, 1024) << "reading 100 MB must not grow memory";
}

} // namespace
