// Hostile requests and faults, through the real binary (VISTREL_BIN, run for
// the release and the sanitizer build): request text that a shell would
// execute, over-long and malformed query text, passwords of every byte value,
// telemetry names full of markup and control bytes, and a client that hangs
// up before reading the response.
#include <gtest/gtest.h>

#include <cstdio>

#include "expected.h"
#include "fake_tools.h"
#include "files.h"
#include "json_check.h"
#include "run_plugin.h"

namespace {

std::string percent_encode(const std::string &s) {
    static const char *hex = "0123456789ABCDEF";
    std::string r;
    for (char ch : s) {
        unsigned char c = static_cast<unsigned char>(ch);
        r += '%';
        r += hex[c >> 4];
        r += hex[c & 15];
    }
    return r;
}

// A fresh folder per test for fixtures, fake-tool logs and canaries.
class Hostile : public ::testing::Test {
  protected:
    const scratch_dir scratch{"hostile"};
    const std::string csv = scratch.write("gpus.csv", "GPU,0,GPU-aaaa,Example GPU A,40,2048,8192,61.4,120.4,250,1.2.3\n"
                                                      "APP,GPU-aaaa,812,trainer,1536\n");
    const std::string fake_log = scratch.file("fake.log");

    // A node with the CSV fixture; a shell and touch are on PATH, so text
    // that reached a command interpreter would run.
    std::vector<std::string> csv_env() const { return {fakes_path(), "VISTREL_MOCK_CSV=" + csv}; }

    // A node whose nvidia-smi is the fake: every metrics request runs the two
    // fixed queries through /bin/sh.
    std::vector<std::string> nvidia_env(const std::string &gpus = fixture("nvidia-gpus.txt"),
                                        const std::string &apps = fixture("nvidia-apps.txt")) const {
        return {fakes_path(), "FAKE_NVIDIA_GPU=" + gpus, "FAKE_NVIDIA_APPS=" + apps, "FAKE_LOG=" + fake_log};
    }
};

enum class kind : unsigned char { json, page, refusal };

// The whole response of one run is well formed and of the expected kind:
// exit status 0, nothing on stderr, a header block, and a body that is
// strict single-line JSON in valid UTF-8, a complete page, or the exact
// refusal.
::testing::AssertionResult well_formed(const plugin_result &r, kind want, jcheck::value *doc = nullptr) {
    if (r.status != 0)
        return ::testing::AssertionFailure() << "exit status " << r.status;
    if (!r.err.empty())
        return ::testing::AssertionFailure() << "stderr: " << r.err.substr(0, 400);
    switch (want) {
    case kind::refusal:
        if (r.out != expected_refusal())
            return ::testing::AssertionFailure() << "not the refusal: " << r.out.substr(0, 300);
        return ::testing::AssertionSuccess();
    case kind::page:
        if (r.out.compare(0, expected_html_header().size(), expected_html_header()) != 0)
            return ::testing::AssertionFailure() << "no HTML header block: " << r.out.substr(0, 200);
        if (r.out.size() < 8 || r.out.compare(r.out.size() - 8, 8, "</html>\n") != 0)
            return ::testing::AssertionFailure() << "page does not end with </html>";
        return ::testing::AssertionSuccess();
    case kind::json: {
        if (r.out.compare(0, expected_json_header().size(), expected_json_header()) != 0)
            return ::testing::AssertionFailure() << "no JSON header block: " << r.out.substr(0, 200);
        std::string body = r.out.substr(expected_json_header().size());
        if (body.empty() || body.find('\n') != body.size() - 1)
            return ::testing::AssertionFailure() << "body is not one line: " << body.substr(0, 300);
        jcheck::value v;
        jcheck::reader rd;
        if (!rd.parse(body, &v, jcheck::reader::utf8))
            return ::testing::AssertionFailure() << "body is no JSON (" << rd.error() << "): " << body.substr(0, 300);
        if (v.kind != jcheck::value::object_v || !v.get("ok"))
            return ::testing::AssertionFailure() << "body is no object with \"ok\"";
        if (doc)
            *doc = v;
        return ::testing::AssertionSuccess();
    }
    }
    return ::testing::AssertionFailure() << "unknown kind";
}

// ---- request data is never executed ---------------------------------------

TEST_F(Hostile, ShellTextInTheRequestNeverRuns) {
    const std::string canary = scratch.file("CANARY");
    const std::string c_enc = percent_encode(canary);
    // Raw and percent-encoded forms of the usual ways into a shell.
    const std::vector<std::string> payloads = {
        "$(touch " + canary + ")",        "`touch " + canary + "`",
        ";touch " + canary + ";",         "|touch " + canary,
        "&&touch " + canary + "&&",       "\ntouch " + canary + "\n",
        "';touch " + canary + ";'",       "\"$(touch " + canary + ")\"",
        "%24%28touch%20" + c_enc + "%29", "%60touch%20" + c_enc + "%60",
        "%3Btouch%20" + c_enc + "%3B",    "%7Ctouch%20" + c_enc,
        "%26%26touch%20" + c_enc,         "%0Atouch%20" + c_enc + "%0A",
        "() { :;}; touch " + canary, // a function definition, for shells that import them
    };
    struct placement {
        std::string before, after;
        kind want;
    };
    // In every parameter the program reads, around the route markers, and
    // in pairs it ignores.
    const std::vector<placement> places = {
        {"action=", "", kind::json},
        {"action=metrics", "", kind::json},
        {"action=metrics&x=", "", kind::json},
        {"", "&action=metrics", kind::json},
        {"format=json", "", kind::json},
        {"action=info&pwd=", "", kind::json},
        {"embed=1", "", kind::page},
        {"plugin=", "&embed=true", kind::page},
        {"", "", kind::page},
    };
    int runs = 0;
    for (const auto &env : {csv_env(), nvidia_env()}) {
        for (const auto &p : payloads) {
            for (const auto &pl : places) {
                std::string q = pl.before + p + pl.after;
                // A payload may itself hold a marker (action= inside an
                // encoded name, for example); then the route follows it.
                kind want = pl.want;
                if (want == kind::page &&
                    (q.find("action=") != std::string::npos || q.find("format=json") != std::string::npos))
                    want = kind::json;
                plugin_result r = run_plugin(with(env, {"QUERY_STRING=" + q}));
                EXPECT_TRUE(well_formed(r, want)) << "query: " << q;
                ++runs;
            }
            // The same text in both credential headers, on a node with a
            // password and on one whose password is that very text.
            for (const std::string &secret : {std::string("s3cret"), p}) {
                for (const std::string &h : {"HTTP_X_BOT_PASSWORD=" + p, "HTTP_AUTHORIZATION=Bearer " + p}) {
                    plugin_result r =
                        run_plugin(with(env, {"BOT_PASSWORD=" + secret, h, "QUERY_STRING=action=metrics"}));
                    EXPECT_TRUE(well_formed(r, secret == p ? kind::json : kind::refusal)) << h;
                    ++runs;
                }
            }
        }
    }
    EXPECT_FALSE(path_exists(canary)) << "request text was executed";
    // The fake tool really was run through the shell during the test, only
    // ever with the fixed command lines.
    std::string log = read_file(fake_log);
    EXPECT_NE(log.find("nvidia-smi gpu "), std::string::npos);
    EXPECT_NE(log.find("nvidia-smi apps "), std::string::npos);
    EXPECT_EQ(log.find("BAD ARGS"), std::string::npos) << log.substr(0, 400);
    EXPECT_TRUE(no_leak(fake_log)) << "the tools ran with BOT_PASSWORD and credentials set";
    EXPECT_TRUE(no_fake_left(fake_log));
    EXPECT_GT(runs, 0);
}

// Node settings name files; they are opened, never handed to a shell.
TEST_F(Hostile, ShellTextInFixtureNamesNeverRuns) {
    const std::string canary = scratch.file("CANARY");
    for (const char *var : {"VISTREL_MOCK_CSV=", "VISTREL_MOCK_NVIDIA=", "VISTREL_MOCK_ROCM="}) {
        for (const std::string &name : {"$(touch " + canary + ")", "`touch " + canary + "`", ";touch " + canary,
                                        "x|touch " + canary, "x\ntouch " + canary}) {
            plugin_result r =
                run_plugin({"PATH=/usr/bin:/bin", std::string(var) + name, "QUERY_STRING=action=metrics"});
            jcheck::value doc;
            ASSERT_TRUE(well_formed(r, kind::json, &doc)) << var << name;
            EXPECT_EQ(doc.get("count")->text, "0") << var << name;
        }
    }
    EXPECT_FALSE(path_exists(canary));
}

// ---- over-long and malformed query text ------------------------------------

TEST_F(Hostile, OverLongAndMalformedQueries) {
    const size_t BIG = size_t{100} * 1024;
    struct query_case {
        std::string query;
        kind want;
        std::string requested; // for the unknown-action document; empty: not that document
    };
    std::string pct(BIG, '%');
    const std::vector<query_case> cases = {
        {"action=" + std::string(BIG, 'x'), kind::json, std::string(63, 'x')},
        {"action=" + pct, kind::json, std::string(63, '%')},
        {"action=" + std::string(BIG / 3, '%') + "41", kind::json, std::string(63, '%')},
        {"action=%zz%4%%41%", kind::json, "%zz%4%A%"},
        {"action=%g1%1g%-1%+1%", kind::json, "%g1%1g%-1% 1%"},
        // Bytes of no character come back as U+FFFD, one per byte, also
        // where the 63-byte cut falls inside an escape.
        {"action=%FF%C3%A9%C3%E2%82" + std::string(BIG, '\xe9'), kind::json,
         jcheck::json_text("\xFF\xC3\xA9\xC3\xE2\x82" + std::string(45, '\xe9'))},
        {"action=" + std::string(58, 'x') + "%C3%A9", kind::json, std::string(58, 'x') + "\xEF\xBF\xBD%A"},
        {std::string(BIG, '&'), kind::page, ""},
        {std::string(BIG, '='), kind::page, ""},
        {pct, kind::page, ""},
        {std::string(BIG, '\xff'), kind::page, ""},
        {[&] {
             std::string s;
             while (s.size() < BIG)
                 s += "action=";
             return s;
         }(),
         kind::json, "action=action=action=action=action=action=action=action=action="},
        {"action=%00" + std::string(BIG, 'y'), kind::json, ""},
        {"action=info&" + std::string(BIG, 'z'), kind::json, ""},
        {"x=" + std::string(BIG, 'z') + "&action=info", kind::json, ""},
    };
    for (const auto &c : cases) {
        plugin_result r = run_plugin(with(csv_env(), {"QUERY_STRING=" + c.query}));
        jcheck::value doc;
        ASSERT_TRUE(well_formed(r, c.want, &doc))
            << "query of " << c.query.size() << " bytes: " << c.query.substr(0, 40);
        if (!c.requested.empty()) {
            ASSERT_NE(doc.get("requested"), nullptr);
            EXPECT_EQ(doc.get("requested")->text, c.requested);
        }
    }
}

TEST_F(Hostile, OverLongCredentials) {
    const std::string big(size_t{100} * 1024, 'p');
    std::string off_by_last = big;
    off_by_last.back() = 'q';
    struct cred_case {
        std::string secret, header, auth, query;
        kind want;
    };
    const std::vector<cred_case> cases = {
        {big, big, "", "action=info", kind::json},
        {big, "", "Bearer " + big, "action=info", kind::json},
        {big, "", "Bearer " + std::string(20000, ' ') + big, "action=info", kind::json},
        {big, off_by_last, "Bearer " + off_by_last, "action=info&pwd=" + big, kind::refusal},
        {big, big.substr(1), "Bearer " + big + " ", "action=info", kind::refusal},
        {"short", big, "Bearer " + big, "action=info&pwd=" + big, kind::refusal},
        // The query copy stops at 255 raw bytes: 85 escapes, 85 letters.
        {std::string(85, 'A'), "", "", "action=info&pwd=" + percent_encode(std::string(2000, 'A')), kind::json},
        {std::string(86, 'A'), "", "", "action=info&pwd=" + percent_encode(std::string(2000, 'A')), kind::refusal},
    };
    for (const auto &c : cases) {
        std::vector<std::string> env = with(csv_env(), {"BOT_PASSWORD=" + c.secret, "QUERY_STRING=" + c.query});
        if (!c.header.empty())
            env.push_back("HTTP_X_BOT_PASSWORD=" + c.header);
        if (!c.auth.empty())
            env.push_back("HTTP_AUTHORIZATION=" + c.auth);
        plugin_result r = run_plugin(env);
        EXPECT_TRUE(well_formed(r, c.want)) << "secret " << c.secret.size() << " bytes, header " << c.header.size()
                                            << ", auth " << c.auth.size() << ", query " << c.query.size();
    }
}

// ---- every byte value in a password ----------------------------------------

TEST_F(Hostile, PasswordOfEveryByteValueInEachPlace) {
    enum place : unsigned char { header, bearer, query };
    auto request = [&](place where, const std::string &secret, const std::string &given) {
        std::vector<std::string> env = with(csv_env(), {"BOT_PASSWORD=" + secret});
        switch (where) {
        case header:
            env.push_back("HTTP_X_BOT_PASSWORD=" + given);
            env.push_back("QUERY_STRING=action=info");
            break;
        case bearer:
            env.push_back("HTTP_AUTHORIZATION=Bearer " + given);
            env.push_back("QUERY_STRING=action=info");
            break;
        case query: env.push_back("QUERY_STRING=action=info&pwd=" + percent_encode(given)); break;
        }
        return run_plugin(env);
    };
    for (int b = 1; b <= 255; ++b) {
        const char c = static_cast<char>(b);
        const char other = static_cast<char>(b % 255 + 1); // a different byte, never 0
        const std::string secret = std::string("k") + c + "z";
        for (place where : {header, bearer, query}) {
            SCOPED_TRACE("byte " + std::to_string(b) + " place " + std::to_string(where));
            jcheck::value doc;
            ASSERT_TRUE(well_formed(request(where, secret, secret), kind::json, &doc));
            EXPECT_EQ(doc.get("action")->text, "info");
            EXPECT_TRUE(well_formed(request(where, secret, std::string("k") + other + "z"), kind::refusal));
        }
    }
    // Length differences at either end, in each place.
    for (place where : {header, bearer, query}) {
        SCOPED_TRACE("place " + std::to_string(where));
        const std::string secret = "k\x01\xff z";
        for (const std::string &given : {secret.substr(0, 4), secret + "z", "\x01" + secret, std::string("k")})
            EXPECT_TRUE(well_formed(request(where, secret, given), kind::refusal));
    }
}

// ---- markup and control bytes in telemetry names ---------------------------

// Names a GPU or a process may report: markup, quotes, backslashes, control
// bytes (TAB and CR inside the text survive as escapes, the others are
// dropped), DEL, UTF-8, and bytes of no character (a Windows code page, cut
// and malformed sequences), each read back as U+FFFD. No comma or colon:
// those split the tools' fields.
const std::vector<std::string> NASTY_NAMES = {
    "<script>alert(\"x\")</script>",
    "</script><!--",
    "a\"b\"\"c",
    "back\\slash\\",
    "\\\"\\u0000\\n",
    "ctl\x01\x02\x08\x0b\x0c\x0e\x1b[31m\x1f end",
    "tab\tin\rside",
    "del\x7f ok",
    "{\"ok\"=false}]",
    "\xc3\xa9t\xc3\xa9 \xe2\x82\xac \xf0\x9f\x94\xa5",
    "cp1252 Jos\xe9 \x80\x9f\xff",
    "cut \xe2\x82 and \xf0\x9f\x94 end",
    "overlong \xc0\xaf surrogate \xed\xa0\x80 big \xf4\x90\x80\x80",
};

void expect_names(const jcheck::value &doc, const char *list, const char *field, const std::vector<std::string> &want) {
    const jcheck::value *arr = doc.get(list);
    ASSERT_NE(arr, nullptr) << list;
    ASSERT_EQ(arr->items.size(), want.size()) << list;
    for (size_t i = 0; i < want.size(); ++i)
        EXPECT_EQ(arr->items[i].get(field)->text, jcheck::json_text(want[i])) << list << " " << i;
}

TEST_F(Hostile, NamesWithMarkupStayValidJsonFromEverySource) {
    // CSV fixture: GPU and process names, UUIDs and the driver.
    std::string csv_text, nv_gpus, nv_apps, rocm;
    std::vector<std::string> uuids;
    for (size_t i = 0; i < NASTY_NAMES.size(); ++i) {
        std::string uuid = "GPU-" + std::to_string(i) + "\"<" + std::to_string(i) + ">";
        uuids.push_back(uuid);
        csv_text += "GPU," + std::to_string(i) + "," + uuid + "," + NASTY_NAMES[i] + ",1,2,3,4,5,6,drv\"\\" + "\n";
        csv_text += "APP," + uuid + "," + std::to_string(100 + i) + "," + NASTY_NAMES[i] + ",7\n";
        nv_gpus += std::to_string(i) + ", " + uuid + ", " + NASTY_NAMES[i] + ", 1, 2, 3, 4, 5, 6, drv\"\\\n";
        nv_apps += uuid + ", " + std::to_string(100 + i) + ", " + NASTY_NAMES[i] + ", 7\n";
        rocm += "GPU[" + std::to_string(i) + "]\t\t: Card series: \t\t" + NASTY_NAMES[i] + "\n";
    }
    write_file(csv, csv_text);
    const std::string gpus = scratch.write("gpus.txt", nv_gpus), apps = scratch.write("apps.txt", nv_apps);

    struct source_case {
        const char *name;
        std::vector<std::string> env;
        bool has_procs;
    };
    const std::vector<source_case> sources = {
        {"csv", csv_env(), true},
        {"nvidia", nvidia_env(gpus, apps), true},
        {"rocm", {"PATH=/usr/bin:/bin", "VISTREL_MOCK_ROCM=" + scratch.write("rocm.txt", rocm)}, false},
    };
    for (const auto &s : sources) {
        SCOPED_TRACE(s.name);
        plugin_result r = run_plugin(with(s.env, {"QUERY_STRING=action=metrics"}));
        jcheck::value doc;
        ASSERT_TRUE(well_formed(r, kind::json, &doc));
        EXPECT_EQ(doc.get("count")->text, std::to_string(NASTY_NAMES.size()));
        expect_names(doc, "gpus", "name", NASTY_NAMES);
        if (!s.has_procs)
            continue;
        EXPECT_EQ(doc.get("driver")->text, "drv\"\\");
        expect_names(doc, "gpus", "uuid", uuids);
        expect_names(doc, "processes", "name", NASTY_NAMES);
        // Each process is still tied to its GPU through the odd UUID.
        const jcheck::value *procs = doc.get("processes");
        for (size_t i = 0; i < procs->items.size(); ++i)
            EXPECT_EQ(procs->items[i].get("gpu_index")->text, std::to_string(i));
    }
    EXPECT_TRUE(no_fake_left(fake_log));
}

// ---- the client hangs up ---------------------------------------------------

struct hangup_result {
    bool exited = false;
    int status = -1;
    std::string err;
};

// Runs the plugin with standard output a pipe whose read end is closed after
// keep bytes have been read (0: before the plugin even starts writing).
hangup_result run_with_hangup(const std::vector<std::string> &env, size_t keep) {
    hangup_result res;
    int out_pipe[2], err_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0)
        return res;
    if (keep == 0)
        close(out_pipe[0]);
    pid_t pid = spawn_plugin(plugin_path(), {}, env, out_pipe[1], err_pipe[1]);
    close(out_pipe[1]);
    close(err_pipe[1]);
    if (keep != 0) {
        std::string got;
        char buf[4096];
        while (got.size() < keep) {
            ssize_t n = read(out_pipe[0], buf, std::min(sizeof buf, keep - got.size()));
            if (n <= 0)
                break;
            got.append(buf, static_cast<size_t>(n));
        }
        close(out_pipe[0]);
    }
    // An upper bound that only shows the run ended; the plugin itself never
    // waits longer than its tool deadline.
    int status = 0;
    for (int i = 0; i < 3000; ++i) {
        pid_t w = waitpid(pid, &status, WNOHANG);
        if (w == pid) {
            res.exited = WIFEXITED(status);
            res.status = res.exited ? WEXITSTATUS(status) : -(WIFSIGNALED(status) ? WTERMSIG(status) : 0);
            break;
        }
        usleep(10000);
    }
    if (res.status == -1 && !res.exited) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    char buf[4096];
    for (ssize_t n; (n = read(err_pipe[0], buf, sizeof buf)) > 0;)
        res.err.append(buf, static_cast<size_t>(n));
    close(err_pipe[0]);
    return res;
}

TEST_F(Hostile, ClientThatHangsUpEarly) {
    struct request_case {
        const char *name;
        std::vector<std::string> env;
    };
    const std::vector<request_case> requests = {
        {"page", with(csv_env(), {})},
        {"embedded page", with(csv_env(), {"QUERY_STRING=embed=1"})},
        {"info", with(csv_env(), {"QUERY_STRING=action=info"})},
        {"unknown action", with(csv_env(), {"QUERY_STRING=action=nope"})},
        {"metrics from the fixture", with(csv_env(), {"QUERY_STRING=action=metrics"})},
        {"metrics from nvidia-smi", with(nvidia_env(), {"QUERY_STRING=action=metrics"})},
        {"refusal", with(csv_env(), {"BOT_PASSWORD=x", "QUERY_STRING=action=metrics"})},
    };
    for (size_t keep : {size_t{0}, size_t{1}, size_t{150}}) {
        for (const auto &rq : requests) {
            SCOPED_TRACE(std::string(rq.name) + ", client reads " + std::to_string(keep) + " bytes");
            hangup_result r = run_with_hangup(rq.env, keep);
            EXPECT_TRUE(r.exited) << "ended by signal " << -r.status;
            EXPECT_EQ(r.status, 0);
            EXPECT_EQ(r.err, "");
        }
    }
    EXPECT_NE(read_file(fake_log).find("nvidia-smi apps "), std::string::npos);
    EXPECT_TRUE(no_fake_left(fake_log));
}

} // namespace
