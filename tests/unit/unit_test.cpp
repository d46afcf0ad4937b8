// Unit tests of the helpers, parsers and writers, linked against the real
// units. Cases are tables of real-looking input mapped to expected results.
#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cfloat>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sstream>
#include <string>
#include <vector>

#include "capture.h"
#include "collect.h"
#include "expected.h"
#include "files.h"
#include "json.h"
#include "output.h"
#include "plugin_vistrel.h"
#include "response_headers.h"
#include "snapshot.h"
#include "text.h"

namespace {

// ---- query values ----------------------------------------------------------

struct query_case {
    const char *query; // nullptr: no query text at all
    const char *name;
    int size;
    int found;
    std::string value;
};

TEST(GetQueryVal, FindsDecodesAndCuts) {
    const std::string x61(61, 'x');
    const std::string x61_escape = "action=" + x61 + "%41";
    const std::string x63(63, 'y'), x64(64, 'y');
    const std::string exact = "action=" + x63, over = "action=" + x64;
    const query_case cases[] = {
        {nullptr, "pwd", 256, 0, ""},
        {"", "pwd", 256, 0, ""},
        {"&&&", "pwd", 256, 0, ""},
        {"a=1&", "action", 64, 0, ""},
        {"action=", "action", 64, 1, ""},
        {"a=1&&action=info", "action", 64, 1, "info"},
        {"pwd&pwd=x", "pwd", 256, 1, "x"},
        {"pwd=one&pwd=two", "pwd", 256, 1, "one"},
        {"pwd=a%2Bb+c", "pwd", 256, 1, "a+b c"},
        {"pwd=100%", "pwd", 256, 1, "100%"},
        {"pwd=%zz%4", "pwd", 256, 1, "%zz%4"},
        {"pwd=%4a%4A", "pwd", 256, 1, "JJ"},
        {"pwd=%252B", "pwd", 256, 1, "%2B"},
        {"pwd=a=b", "pwd", 256, 1, "a=b"},
        {"action=in%00fo", "action", 64, 1, "in"},
        {"p%77d=x", "pwd", 256, 0, ""},
        {"Pwd=x", "pwd", 256, 0, ""},
        {"xpwd=1&pwdx=2&q=pwd=3", "pwd", 256, 0, ""},
        {"pwd=%C3%A9%ff", "pwd", 256, 1, "\xC3\xA9\xFF"},
        {x61_escape.c_str(), "action", 64, 1, x61 + "%4"},
        {exact.c_str(), "action", 64, 1, x63},
        {over.c_str(), "action", 64, 1, x63},
        {"a;pwd=1", "pwd", 256, 0, ""},
    };
    for (const query_case &c : cases) {
        char out[256];
        std::memset(out, 'Z', sizeof out);
        int found = get_query_val(c.query, c.name, out, c.size);
        EXPECT_EQ(found, c.found) << (c.query ? c.query : "(no query)");
        EXPECT_EQ(std::string(out), c.value) << (c.query ? c.query : "(no query)");
    }
}

TEST(GetQueryVal, NeverWritesPastTheBuffer) {
    char out[8];
    std::memset(out, 'Z', sizeof out);
    EXPECT_EQ(get_query_val("pwd=abcdefghijk", "pwd", out, 4), 1);
    EXPECT_STREQ(out, "abc");
    EXPECT_EQ(out[4], 'Z');
}

// ---- node password gate ----------------------------------------------------

struct auth_case {
    const char *password, *header, *authorization, *query;
    bool ok;
};

void set_or_unset(const char *name, const char *value) {
    if (value)
        setenv(name, value, 1);
    else
        unsetenv(name);
}

TEST(NodeAuth, AcceptsExactlyTheThreePlaces) {
    const auth_case cases[] = {
        {nullptr, nullptr, nullptr, nullptr, true},
        {"", nullptr, nullptr, nullptr, true},
        {"s3cret", nullptr, nullptr, nullptr, false},
        {"s3cret", "s3cret", nullptr, "pwd=wrong", true},
        {"s3cret", "wrong", nullptr, "pwd=s3cret", true},
        {"s3cret", "s3cret ", nullptr, nullptr, false},
        {"s3cret", "S3CRET", nullptr, nullptr, false},
        {"s3cret", nullptr, "Bearer s3cret", nullptr, true},
        {"s3cret", nullptr, "  Bearer   s3cret", nullptr, true},
        {"s3cret", nullptr, "bearer s3cret", nullptr, false},
        {"s3cret", nullptr, "Basic s3cret", "pwd=s3cret", true},
        {"s3cret", nullptr, "Bearers3cret", nullptr, false},
        {"s3cret", nullptr, "Bearer\ts3cret", nullptr, false},
        {"s3cret", nullptr, "Bearer s3cret ", nullptr, false},
        {"s3cret", nullptr, "\tBearer s3cret", nullptr, false},
        {" lead", nullptr, "Bearer  lead", nullptr, false},
        {" lead", " lead", nullptr, nullptr, true},
        {" lead", nullptr, nullptr, "pwd=%20lead", true},
        {" lead", nullptr, nullptr, "pwd=+lead", true},
        {"a+b", nullptr, nullptr, "pwd=a+b", false},
        {"a+b", nullptr, nullptr, "pwd=a%2Bb", true},
        {"s3cret", nullptr, nullptr, "pwd=", false},
        {"s3cret", nullptr, nullptr, "pwd=wrong&pwd=s3cret", false},
        {"s3cret", nullptr, nullptr, "action=info", false},
        {"s3cret", nullptr, nullptr, "pwd=s3cret%00tail", true},
        {"s3cret", nullptr, nullptr, "pwd=s3cre", false},
        {"s3cret", nullptr, nullptr, "pwd=s3crets", false},
    };
    for (const auth_case &c : cases) {
        set_or_unset("BOT_PASSWORD", c.password);
        set_or_unset("HTTP_X_BOT_PASSWORD", c.header);
        set_or_unset("HTTP_AUTHORIZATION", c.authorization);
        set_or_unset("QUERY_STRING", c.query);
        EXPECT_EQ(node_auth_ok(), c.ok) << "password=" << (c.password ? c.password : "(unset)")
                                        << " header=" << (c.header ? c.header : "(unset)")
                                        << " auth=" << (c.authorization ? c.authorization : "(unset)")
                                        << " query=" << (c.query ? c.query : "(unset)");
    }
    for (const char *v : {"BOT_PASSWORD", "HTTP_X_BOT_PASSWORD", "HTTP_AUTHORIZATION", "QUERY_STRING"})
        unsetenv(v);
}

TEST(NodeAuth, PwdLongerThan255RawBytesOnlyThroughHeaders) {
    std::string pw(300, 'p');
    setenv("BOT_PASSWORD", pw.c_str(), 1);
    setenv("QUERY_STRING", ("pwd=" + pw).c_str(), 1);
    EXPECT_FALSE(node_auth_ok());
    setenv("HTTP_AUTHORIZATION", ("Bearer " + pw).c_str(), 1);
    EXPECT_TRUE(node_auth_ok());
    for (const char *v : {"BOT_PASSWORD", "HTTP_AUTHORIZATION", "QUERY_STRING"})
        unsetenv(v);
}

// The compare must read every byte of the given value whatever it holds, so
// that its time tells nothing of where the first difference lies. Each value
// is placed with its last byte alone on a page that cannot be read; the
// first touch of that page marks it read and opens it. A compare that stops
// at the first difference, or at a length that differs, never touches it.
namespace last_byte {
char *page = nullptr;
size_t page_size = 0;
volatile sig_atomic_t read = 0;

void on_fault(int, siginfo_t *info, void *) {
    char *at = static_cast<char *>(info->si_addr);
    if (at < page || at >= page + page_size) { // any other fault: fail as usual
        signal(SIGSEGV, SIG_DFL);
        return;
    }
    read = 1;
    mprotect(page, page_size, PROT_READ);
}
} // namespace last_byte

TEST(SameSecret, ReadsEveryByteOfTheGivenValue) {
    last_byte::page_size = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    void *mem = mmap(nullptr, 2 * last_byte::page_size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(mem, MAP_FAILED);
    last_byte::page = static_cast<char *>(mem) + last_byte::page_size;
    struct sigaction on_fault = {}, before = {};
    on_fault.sa_sigaction = last_byte::on_fault;
    on_fault.sa_flags = SA_SIGINFO;
    sigaction(SIGSEGV, &on_fault, &before);
    const char *secret = "s3cret-password";
    const struct {
        std::string given;
        bool same;
    } cases[] = {
        {"s3cret-password", true}, {"X3cret-password", false},          {"s3cret-passworX", false},
        {"s3cret", false},         {"s3cret-password-and-more", false}, {std::string(15, '\0'), false},
        {"\xff", false},
    };
    for (const auto &c : cases) {
        const size_t n = c.given.size();
        mprotect(last_byte::page, last_byte::page_size, PROT_READ | PROT_WRITE);
        char *at = last_byte::page - (n - 1);
        std::copy(c.given.begin(), c.given.end(), at);
        mprotect(last_byte::page, last_byte::page_size, PROT_NONE);
        last_byte::read = 0;
        EXPECT_EQ(same_secret(at, n, secret), c.same) << c.given;
        EXPECT_TRUE(last_byte::read) << "the compare did not read the last byte of \"" << c.given << "\"";
    }
    sigaction(SIGSEGV, &before, nullptr);
    munmap(mem, 2 * last_byte::page_size);
}

// ---- text helpers ----------------------------------------------------------

TEST(Trim, StripsTheFourBlanksOnly) {
    const struct {
        const char *in, *out;
    } cases[] = {
        {" \t hello world \r\n", "hello world"}, {" \t  \t", ""}, {"", ""}, {"\vx\f", "\vx\f"},
        {"\x01 a \x80", "\x01 a \x80"},
    };
    for (const auto &c : cases) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "%s", c.in);
        char *t = trim(buf);
        EXPECT_STREQ(t, c.out) << c.in;
        EXPECT_GE(t, buf);
    }
    EXPECT_EQ(trim(nullptr), nullptr);
    char buf[] = "  ab";
    EXPECT_EQ(trim(buf), buf + 2);
    EXPECT_EQ(buf[0], ' '); // bytes before the result are untouched
}

TEST(ParseNum, ReadsOneFiniteNumberStrictly) {
    const struct {
        const char *in;
        int ok;
        double value;
    } cases[] = {
        {"45 %", 1, 45.0},   {"  7", 1, 7.0}, {"631.95", 1, 631.95}, {"-3.5W", 1, -3.5},
        {"1e3", 1, 1000.0},  {"[N/A]", 0, 0}, {"n/a", 0, 0},         {"12 N/A", 0, 0},
        {"", 0, 0},          {"watts", 0, 0}, {"1e999", 0, 0},       {"inf", 0, 0},
        {"-infinity", 0, 0}, {"nan", 0, 0},   {"NAN(1)", 0, 0},      {"[Not Supported]", 0, 0},
    };
    for (const auto &c : cases) {
        double v = 99.0;
        EXPECT_EQ(parse_num(c.in, &v), c.ok) << c.in;
        EXPECT_DOUBLE_EQ(v, c.ok ? c.value : 99.0) << c.in;
    }
    double v = 5.0;
    EXPECT_EQ(parse_num(nullptr, &v), 0);
    EXPECT_EQ(v, 5.0);
}

// parse_num reads plain decimals itself and leaves the rest to strtod; every
// text must give what strtod gives, to the last bit (and the sign of zero).
TEST(ParseNum, AgreesWithStrtodToTheBit) {
    auto reference = [](const char *s, double *out) {
        if (!*s || std::strstr(s, "N/A") || std::strstr(s, "n/a"))
            return 0;
        errno = 0;
        char *end = nullptr;
        double v = std::strtod(s, &end);
        if (end == s || errno != 0 || !std::isfinite(v))
            return 0;
        *out = v;
        return 1;
    };
    // Hand-picked: signs, points, zeros, the 2^53 and 22-digit limits, what
    // strtod reads beyond plain decimals, what it reads only in part; twenty
    // digits past 2^64, which a 64-bit integer holds only wrapped (to 5).
    std::istringstream hard(
        "0 -0 +0 -0.0 0. .0 -.5 . - + -. 00012.50 1.2.3 5W 61.4% 9007199254740991 9007199254740992 "
        "9007199254740993 -9007199254740993.0 900719925474099.3 1234567890123456789 12345678901234567890 "
        "0.1234567890123456789 0.0000000000000000000001 0.00000000000000000000001 1.0000000000000000000000 "
        "1.00000000000000000000000 0x1A 0X1p3 1e5 1E-5 1e 2.5e-3x 1N/A 3/4 N/ /A "
        "0.000000000000000000000000001234 1e-320 4.9406564584124654e-324 2.2250738585072011e-308 "
        "179769313486231570000000000000000000000000 123456789012345678901234567890.123 "
        "0000000000000000000000000000000000001.5 -00.000 7e0 1.7976931348623157e308 18446744073709551621 "
        "1844674407370955162.1 -184467440737095516.21 ");
    std::vector<std::string> texts;
    for (std::string t; hard >> t;)
        texts.push_back(t);
    unsigned long long state = 2463534242ULL;
    auto next = [&state] {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state;
    };
    for (int i = 0; i < 50000; ++i) { // digit runs of every length around the limits, with a point anywhere
        std::string t = next() % 4 == 0 ? "-" : "";
        int len = static_cast<int>(next() % 26) + 1, point = static_cast<int>(next() % (len + 2)) - 1;
        for (int k = 0; k < len; ++k) {
            if (k == point)
                t += '.';
            t += static_cast<char>('0' + (next() % 3 == 0 ? 0 : next() % 10));
        }
        texts.push_back(t + (next() % 5 == 0 ? " MiB" : ""));
    }
    for (const std::string &t : texts) {
        double got = 99.0, want = 99.0;
        ASSERT_EQ(parse_num(t.c_str(), &got), reference(t.c_str(), &want)) << t;
        // Equal values of the same sign: the same double (neither is NaN).
        ASSERT_TRUE(got == want && std::signbit(got) == std::signbit(want)) << t << ": " << got << " vs " << want;
    }
}

TEST(CopyStr, CutsAtSizeMinusOne) {
    char field[16];
    copy_str(field, sizeof field, "abcdefghijklmnopqrst"); // 20 bytes
    EXPECT_STREQ(field, "abcdefghijklmno");
    copy_str(field, sizeof field, "abcdefghijklmno"); // 15 bytes
    EXPECT_STREQ(field, "abcdefghijklmno");
    copy_str(field, sizeof field, nullptr);
    EXPECT_STREQ(field, "");
    char one[1] = {'x'};
    copy_str(one, 1, "abc");
    EXPECT_EQ(one[0], '\0');
}

// A cut inside a well-formed character leaves it out whole; the bytes of a
// malformed sequence are cut one by one like any other.
TEST(CopyStr, NeverEndsInsideACharacter) {
    const std::string a94(94, 'a'), e = "\xc3\xa9", euro = "\xe2\x82\xac", fire = "\xf0\x9f\x94\xa5";
    auto a = [](size_t n) { return std::string(n, 'a'); };
    const struct {
        int size;
        std::string in, out;
    } cases[] = {
        {NAME_SIZE, a94 + e, a94},
        {NAME_SIZE, a(93) + e, a(93) + e},
        {NAME_SIZE, a(95) + e, a(95)},
        // A character that ends exactly at the cut stays, whatever follows.
        {NAME_SIZE, a(93) + e + "b", a(93) + e},
        {NAME_SIZE, a(93) + e + "\x80", a(93) + e},
        {16, a(12) + euro + "\xbf", a(12) + euro},
        {16, a(11) + fire + "\x80\x80", a(11) + fire},
        {16, a(14) + euro, a(14)},
        {16, a(13) + euro, a(13)},
        {16, a(12) + euro, a(12) + euro},
        {16, a(14) + fire, a(14)},
        {16, a(13) + fire, a(13)},
        {16, a(12) + fire, a(12)},
        {16, a(11) + fire, a(11) + fire},
        {16, a(13) + "\xff" + e, a(13) + "\xff"},
        {16, a(14) + "\xc0\xaf", a(14) + "\xc0"},
        {16, a(13) + "\xed\xa0\x80", a(13) + "\xed\xa0"},
        {16, a(12) + "\xf4\x90\x80\x80", a(12) + "\xf4\x90\x80"},
        {16, a(13) + "\xe2\x82" + "x", a(13) + "\xe2\x82"},
        {16, a(14) + "\x80\x80", a(14) + "\x80"},
    };
    for (const auto &c : cases) {
        char field[NAME_SIZE];
        std::memset(field, 'Z', sizeof field);
        copy_str(field, c.size, c.in.c_str());
        EXPECT_EQ(std::string(field), c.out) << c.size << " bytes: " << c.in;
    }
}

// ---- the output buffer -----------------------------------------------------

// Pieces of one byte less than the free room, exactly the room and one byte
// more, written at the buffer's end, then more: the bytes arrive whole and
// in order, and none is written past the buffer (the sanitizer build runs
// this too). So do pieces larger than the whole buffer.
TEST(Output, PiecesAtTheEdgeOfTheBuffer) {
    auto pattern = [](size_t n, char base) {
        std::string text(n, base);
        for (size_t i = 0; i < n; ++i)
            text[i] = static_cast<char>(base + i % 23);
        return text;
    };
    const std::string tail = "|end";
    for (size_t room : {size_t{1}, size_t{2}, size_t{100}, OUT_BUFFER_SIZE})
        for (size_t n : {room - 1, room, room + 1, OUT_BUFFER_SIZE + 1}) {
            const std::string head = pattern(OUT_BUFFER_SIZE - room, 'a'), piece = pattern(n, 'A');
            size_t free_before = 0, free_after = 0;
            std::string got = capture_stdout([&] {
                out_bytes(head.data(), head.size());
                free_before = out_free();
                out_bytes(piece.data(), piece.size());
                free_after = out_free(); // past the buffer's end it would wrap around
                out_char(tail[0]);
                out_text(tail.c_str() + 1);
            });
            EXPECT_EQ(free_before, room);
            EXPECT_LE(free_after, OUT_BUFFER_SIZE) << "room " << room << ", piece " << n;
            std::string want = head;
            want.append(piece).append(tail);
            EXPECT_TRUE(got == want) << "room " << room << ", piece " << n << ": " << got.size() << " bytes, "
                                     << want.size() << " expected";
        }
}

// ---- JSON writing ----------------------------------------------------------

TEST(JsonStr, EscapesDropsAndPassesBytes) {
    const struct {
        const char *in, *out;
    } cases[] = {
        {"plain", "\"plain\""},
        {"a\"b\\c", "\"a\\\"b\\\\c\""},
        {"line\r\nnext\ttab", "\"line\\r\\nnext\\ttab\""},
        {"x\x01y\x1f\x0b\x0cz", "\"xyz\""},
        {"\x7f\xc3\xa9\xff", "\"\x7f\xc3\xa9\\ufffd\""},
        {"", "\"\""},
        {"</script>", "\"</script>\""},
    };
    for (const auto &c : cases)
        EXPECT_EQ(capture_stdout([&] { json_str(c.in); }), c.out) << c.in;
}

// Well-formed UTF-8 (RFC 3629) passes unchanged, its smallest and largest
// characters of each length included; every byte of anything else is one
// U+FFFD: overlong forms, surrogates, values above U+10FFFF, cut sequences,
// lone continuation bytes, bytes that start nothing.
TEST(JsonStr, ReplacesEachByteOfNoCharacter) {
    const std::string R = "\\ufffd";
    const struct {
        std::string in, out; // out without the quotes
    } cases[] = {
        {"\xc2\x80", "\xc2\x80"},
        {"\xdf\xbf", "\xdf\xbf"},
        {"Jos\xc3\xa9", "Jos\xc3\xa9"},
        {"\xe0\xa0\x80", "\xe0\xa0\x80"},
        {"\xe2\x82\xac", "\xe2\x82\xac"},
        {"\xed\x9f\xbf", "\xed\x9f\xbf"},
        {"\xee\x80\x80", "\xee\x80\x80"},
        {"\xef\xbf\xbd\xef\xbf\xbf", "\xef\xbf\xbd\xef\xbf\xbf"},
        {"\xf0\x90\x80\x80", "\xf0\x90\x80\x80"},
        {"\xf0\x9f\x94\xa5", "\xf0\x9f\x94\xa5"},
        {"\xf4\x8f\xbf\xbf", "\xf4\x8f\xbf\xbf"},
        {"Jos\xe9", "Jos" + R},
        {"\xc0\xaf", R + R},
        {"\xc1\xbf", R + R},
        {"\xe0\x80\xaf", R + R + R},
        {"\xe0\x9f\xbf", R + R + R},
        {"\xf0\x80\x80\xaf", R + R + R + R},
        {"\xf0\x8f\xbf\xbf", R + R + R + R},
        {"\xed\xa0\x80", R + R + R},
        {"\xed\xbf\xbf", R + R + R},
        {"\xf4\x90\x80\x80", R + R + R + R},
        {"\xf5\x80\x80\x80", R + R + R + R},
        {"\xf8\x88\x80\x80\x80", R + R + R + R + R},
        {"\xc3", R},
        {"\xe2\x82", R + R},
        {"\xf0\x9f\x94", R + R + R},
        {"\xe2\x82"
         "x",
         R + R + "x"},
        {"\xf0\x9f\x94\xc3\xa9", R + R + R + "\xc3\xa9"},
        {"\xc3\xc3\xa9", R + "\xc3\xa9"},
        {"\x80", R},
        {"\xbf"
         "a",
         R + "a"},
        {"\xc3\xa9\xa9", "\xc3\xa9" + R},
        {"\xff", R},
        {"\xfe\xff", R + R},
        {"\xff\"\x01\n", R + "\\\"\\n"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(capture_stdout([&] { json_str(c.in.c_str()); }), "\"" + c.out + "\"") << c.in;
}

TEST(JsonHeader, Is107Bytes) {
    const std::string h = JSON_HEADER_BLOCK;
    EXPECT_EQ(h, expected_json_header());
    EXPECT_EQ(h.size(), 107u);
}

gpu_info make_gpu(int index, const char *uuid, const char *name, double util, double used, double total) {
    gpu_info g{};
    g.index = index;
    copy_str(g.uuid, UUID_SIZE, uuid);
    copy_str(g.name, NAME_SIZE, name);
    g.util_gpu = util;
    g.mem_used_mb = used;
    g.mem_total_mb = total;
    return g;
}

proc_info make_proc(const char *uuid, int pid, const char *name, double used) {
    proc_info p{};
    copy_str(p.gpu_uuid, UUID_SIZE, uuid);
    p.pid = pid;
    copy_str(p.name, NAME_SIZE, name);
    p.used_mb = used;
    return p;
}

TEST(JsonMetrics, NoneDocument) {
    static gpu_snapshot snap;
    settle_outcome(&snap, nullptr, nullptr, 0, nullptr);
    std::string doc = capture_stdout([] { json_metrics(&snap, "2024-05-01T12:00:00Z"); });
    EXPECT_EQ(doc, fill(expected("metrics-none"), {{"<UTC>", "2024-05-01T12:00:00Z"}}));
}

// The snapshot that the CSV fixture two-gpus.csv gives.
TEST(JsonMetrics, WorkedExample) {
    static gpu_snapshot snap;
    snap = gpu_snapshot{};
    snap.available = 1;
    snap.mocked = 1;
    copy_str(snap.source, SOURCE_SIZE, "mock");
    copy_str(snap.driver, DRIVER_SIZE, "1.2.3");
    copy_str(snap.message, MESSAGE_SIZE, "");
    snap.gpus[0] = make_gpu(0, "GPU-aaaa", "Example GPU A", 40.0, 2048.0, 8192.0);
    snap.gpus[0].temp_c = 61.4;
    snap.gpus[0].power_w = 120.4;
    snap.gpus[0].power_limit_w = 250.0;
    snap.gpus[0].has_temp = snap.gpus[0].has_power = snap.gpus[0].has_power_limit = 1;
    snap.gpus[1] = make_gpu(3, "GPU-bbbb", "Example GPU B", 13.0, 1024.0, 8192.0);
    snap.gpu_count = 2;
    snap.procs[0] = make_proc("GPU-bbbb", 812, "trainer", 1536.0);
    snap.procs[1] = make_proc("", 77, "orphan", 12.0);
    snap.proc_count = 2;
    std::string doc = capture_stdout([] { json_metrics(&snap, "2024-05-01T12:00:00Z"); });
    EXPECT_EQ(doc, fill(expected("metrics-csv"), {{"<UTC>", "2024-05-01T12:00:00Z"}}));
}

TEST(JsonMetrics, GpuIndexLookupAndNullPower) {
    static gpu_snapshot snap;
    snap = gpu_snapshot{};
    snap.gpus[0] = make_gpu(7, "GPU-same", "first", 0, 0, 0);
    snap.gpus[1] = make_gpu(9, "GPU-same", "second", 0, 0, 0);
    snap.gpus[2] = make_gpu(4, "", "no uuid", 0, 0, 0);
    snap.gpu_count = 3;
    snap.procs[0] = make_proc("GPU-same", 1, "dup uuid takes the first", 0);
    snap.procs[1] = make_proc("gpu-same", 2, "case differs", 0);
    snap.procs[2] = make_proc("", 3, "empty uuid never matches", 0);
    snap.proc_count = 3;
    std::string doc = capture_stdout([] { json_metrics(&snap, "x"); });
    EXPECT_NE(doc.find("\"power_w\":null,\"gpus\""), std::string::npos);
    EXPECT_NE(doc.find("\"gpu_index\":7,\"pid\":1,"), std::string::npos);
    EXPECT_NE(doc.find("\"gpu_index\":-1,\"pid\":2,"), std::string::npos);
    EXPECT_NE(doc.find("\"gpu_index\":-1,\"pid\":3,"), std::string::npos);
}

// Every GPU slot in use, uuids that differ only in their last bytes: a
// process finds the last GPU, and one naming a uuid no GPU has, or only the
// start of one, gets -1.
TEST(JsonMetrics, GpuIndexLookupAmongAllGpus) {
    static gpu_snapshot snap;
    snap = gpu_snapshot{};
    auto uuid = [](int i) { return "GPU-5e7f4c1a-0000-4000-8000-6c9d0b7e1f" + std::to_string(10 + i); };
    for (int i = 0; i < MAX_GPUS; ++i)
        snap.gpus[i] = make_gpu(100 + i, uuid(i).c_str(), "g", 0, 0, 0);
    snap.gpu_count = MAX_GPUS;
    const struct {
        std::string uuid;
        int gpu_index;
    } cases[] = {
        {uuid(0), 100},
        {uuid(MAX_GPUS - 1), 100 + MAX_GPUS - 1},
        {"GPU-5e7f4c1a-0000-4000-8000-6c9d0b7e1f99", -1},
        {"GPU-5e7f4c1a-0000-4000-8000-6c9d0b7e1f1", -1},
        {uuid(5) + "0", -1},
    };
    for (const auto &c : cases) {
        snap.procs[0] = make_proc(c.uuid.c_str(), 1, "p", 0);
        snap.proc_count = 1;
        std::string doc = capture_stdout([] { json_metrics(&snap, "x"); });
        EXPECT_NE(doc.find("\"gpu_index\":" + std::to_string(c.gpu_index) + ",\"pid\":1,"), std::string::npos)
            << c.uuid;
    }
}

TEST(JsonMetrics, RoundsHalfToEvenAndSaturatesOverflow) {
    static gpu_snapshot snap;
    snap = gpu_snapshot{};
    snap.gpus[0] = make_gpu(0, "a", "a", 0.25, 2.5, 1e308);
    snap.gpus[1] = make_gpu(1, "b", "b", 0.25, 0.5, 1e308);
    snap.gpu_count = 2;
    std::string doc = capture_stdout([] { json_metrics(&snap, "x"); });
    EXPECT_NE(doc.find("\"util_gpu\":0.2,\"mem_used_mb\":2,"), std::string::npos) << doc;
    EXPECT_NE(doc.find("\"util_gpu_avg\":0.2,\"mem_used_mb\":3,"), std::string::npos) << doc;
    EXPECT_EQ(doc.find("inf"), std::string::npos) << "the total overflows a double and must not print as inf";
    EXPECT_NE(doc.find("\"mem_total_mb\":17976931348623157"), std::string::npos);
    // Below zero the sums saturate at -DBL_MAX, written as printf writes it.
    snap = gpu_snapshot{};
    for (int i = 0; i < 2; ++i) {
        snap.gpus[i] = make_gpu(i, "u", "n", 0, -1e308, -1e308);
        snap.gpus[i].power_w = -1e308;
        snap.gpus[i].has_power = 1;
    }
    snap.gpu_count = 2;
    doc = capture_stdout([] { json_metrics(&snap, "x"); });
    char totals[1024];
    std::snprintf(totals, sizeof totals, "\"mem_used_mb\":%.0f,\"mem_total_mb\":%.0f,\"power_w\":%.1f,", -DBL_MAX,
                  -DBL_MAX, -DBL_MAX);
    EXPECT_NE(doc.find(totals), std::string::npos) << doc;
}

// The document writes its numbers without printf's floating-point path; the
// text must stay exactly what "%.1f" and "%.0f" give.
TEST(JsonMetrics, NumbersMatchPrintfExactly) {
    std::vector<double> values = {0.0,
                                  -0.0,
                                  0.05,
                                  0.15,
                                  0.25,
                                  0.35,
                                  2.5,
                                  3.5,
                                  9.95,
                                  9.96,
                                  99.95,
                                  -0.04,
                                  -2.5,
                                  1e-300,
                                  0.0039,
                                  631.95,
                                  758.25,
                                  1e15 + 0.5,
                                  4503599627370495.5,
                                  4503599627370496.0,
                                  9007199254740993.0,
                                  1e300};
    unsigned long long state = 88172645463325252ULL;
    for (int i = 0; i < 20000; ++i) { // xorshift: a fixed, reproducible spread of magnitudes and fractions
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        double unit = static_cast<double>(state >> 11) / 9007199254740992.0;
        values.push_back((i % 2 ? -1 : 1) * unit * std::pow(10.0, i % 9 - 2));
        values.push_back(std::round(unit * 2000.0) / 20.0); // multiples of 0.05: near every tie
    }
    static gpu_snapshot snap;
    for (size_t at = 0; at < values.size(); at += MAX_GPUS) {
        snap = gpu_snapshot{};
        std::string want;
        for (size_t i = at; i < values.size() && i < at + MAX_GPUS; ++i) {
            gpu_info &g = snap.gpus[snap.gpu_count++];
            g.util_gpu = g.mem_used_mb = values[i];
            char buf[1024];
            std::snprintf(buf, sizeof buf, "\"util_gpu\":%.1f,\"mem_used_mb\":%.0f,", values[i], values[i]);
            want += buf;
        }
        std::string doc = capture_stdout([] { json_metrics(&snap, "x"); });
        std::string got;
        for (size_t p = doc.find("\"util_gpu\":"); p != std::string::npos; p = doc.find("\"util_gpu\":", p + 1))
            got += doc.substr(p, doc.find(",\"mem_total_mb\"", p) - p) + ",";
        ASSERT_EQ(got, want);
    }
}

// The stamp is calendar arithmetic written by hand; gmtime and glibc's
// strftime are the reference, in every year.
TEST(UtcFormat, MatchesGmtime) {
    std::vector<long long> times = {0, -1, 86399, 86400, 951782399, 951782400, 951868800, 1709164800, 1714564800,
                                    4107542400, 4102444799, -2208988800, 253402300799,
                                    // years of other than four digits, which musl's strftime would pad or sign
                                    253402300800, 9999999999999, -30610224001, -30610224000, -62135596800, -62167219200,
                                    -62198755200, -99999999999};
    for (long long t = -4000000000LL; t < 10000000000LL; t += 7919LL * 361) // ~33-day steps over 440 years
        times.push_back(t);
    for (long long t : times) {
        std::time_t tt = static_cast<std::time_t>(t);
        std::tm ref{};
        ASSERT_NE(gmtime_r(&tt, &ref), nullptr);
        char want[UTC_STAMP_SIZE], got[UTC_STAMP_SIZE];
        std::strftime(want, sizeof want, "%Y-%m-%dT%H:%M:%SZ", &ref);
        utc_format(t, got);
        ASSERT_STREQ(got, want) << t;
    }
    char stamp[UTC_STAMP_SIZE];
    utc_format(1714564800, stamp);
    EXPECT_STREQ(stamp, "2024-05-01T12:00:00Z");
}

// ---- NVIDIA lines ----------------------------------------------------------

struct nv_fixture : ::testing::Test {
    gpu_snapshot *snap = nullptr;
    line_errors errors{};
    void SetUp() override {
        static gpu_snapshot storage;
        snap = &storage;
        *snap = gpu_snapshot{};
    }
    void gpu(const char *text) {
        std::string line = text;
        nv_gpu_line(line.data(), static_cast<long>(line.size()), snap, &errors);
    }
    void proc(const char *text) {
        std::string line = text;
        nv_proc_line(line.data(), static_cast<long>(line.size()), snap, &errors);
    }
};

TEST_F(nv_fixture, GpuLineFieldsAndPlaceholders) {
    gpu("0, GPU-5e7f, NVIDIA H100 80GB HBM3, 100, 19818, 81559, 59, 631.95, 700.00, 590.48.01");
    gpu("1, GPU-mig, NVIDIA A100, [N/A], 12, 40960, [N/A], [Not Supported], [Unknown Error], 999");
    ASSERT_EQ(snap->gpu_count, 2);
    const gpu_info &a = snap->gpus[0];
    EXPECT_EQ(a.index, 0);
    EXPECT_STREQ(a.uuid, "GPU-5e7f");
    EXPECT_STREQ(a.name, "NVIDIA H100 80GB HBM3");
    EXPECT_DOUBLE_EQ(a.util_gpu, 100.0);
    EXPECT_DOUBLE_EQ(a.mem_used_mb, 19818.0);
    EXPECT_DOUBLE_EQ(a.mem_total_mb, 81559.0);
    EXPECT_EQ(a.has_temp, 1);
    EXPECT_DOUBLE_EQ(a.power_w, 631.95);
    EXPECT_EQ(a.has_power_limit, 1);
    const gpu_info &b = snap->gpus[1];
    EXPECT_EQ(b.util_gpu, 0.0);
    EXPECT_EQ(b.has_temp, 0);
    EXPECT_EQ(b.has_power, 0);
    EXPECT_EQ(b.has_power_limit, 0);
    EXPECT_STREQ(snap->driver, "590.48.01"); // the first line decides
}

TEST_F(nv_fixture, GpuLineFieldCounts) {
    gpu("0, a, b, 1, 2, 3, 4, 5, 6");             // 9 fields: ignored
    gpu("-4, u, n, 1, 2, 3, 4, 5, 6, , x, y, z"); // 13 fields: taken, empty driver
    gpu("1, u, n, 1, 2, 3, 4, 5, 6, 2.0, extra");
    ASSERT_EQ(snap->gpu_count, 2);
    EXPECT_EQ(snap->gpus[0].index, -4);
    EXPECT_STREQ(snap->driver, "2.0");
    EXPECT_EQ(snap->gpus[2].index, 0); // entries past the count stay zero
}

// The lists hold MAX_GPUS and MAX_PROCS entries; a row past either is
// dropped whole, from the CSV fixture and from nvidia-smi alike. A row
// written past a list would land on its count and on the next list, so every
// entry is checked, not only the counts.
TEST_F(nv_fixture, CapacitiesDropWholeRowsInBothReaders) {
    scratch_dir dir("unit");
    const std::string csv_path = dir.file("full.csv");
    setenv("VISTREL_MOCK_CSV", csv_path.c_str(), 1);
    for (int extra : {0, 1}) {
        for (bool csv : {true, false}) {
            SCOPED_TRACE(std::string(csv ? "CSV fixture" : "nvidia-smi lines") + (extra ? ", one row past" : ", full"));
            std::string file;
            *snap = gpu_snapshot{};
            char row[128];
            for (int j = 0; j < MAX_PROCS + extra; ++j) {
                std::snprintf(row, sizeof row, "GPU-x, %d, p%d, 5", 1000 + j, j);
                if (csv)
                    file.append("APP,").append(row).append("\n");
                else
                    proc(row);
            }
            for (int i = 0; i < MAX_GPUS + extra; ++i) {
                std::snprintf(row, sizeof row, "%d, GPU-%d, n%d, 1, 2, 3, 4, 5, 6, d%d", 100 + i, i, i, i);
                if (csv)
                    file.append("GPU,").append(row).append("\n");
                else
                    gpu(row);
            }
            if (csv) {
                write_file(csv_path, file);
                ASSERT_EQ(collect_mock_csv(snap), 1);
            }
            ASSERT_EQ(snap->gpu_count, MAX_GPUS);
            ASSERT_EQ(snap->proc_count, MAX_PROCS);
            EXPECT_STREQ(snap->driver, "d0");
            for (int i = 0; i < MAX_GPUS; ++i) {
                EXPECT_EQ(snap->gpus[i].index, 100 + i);
                EXPECT_EQ(std::string(snap->gpus[i].uuid), "GPU-" + std::to_string(i));
                EXPECT_EQ(std::string(snap->gpus[i].name), "n" + std::to_string(i));
            }
            for (int j = 0; j < MAX_PROCS; ++j) {
                EXPECT_STREQ(snap->procs[j].gpu_uuid, "GPU-x");
                EXPECT_EQ(snap->procs[j].pid, 1000 + j);
                EXPECT_EQ(std::string(snap->procs[j].name), "p" + std::to_string(j));
            }
        }
    }
    unsetenv("VISTREL_MOCK_CSV");
}

// The driver of a CSV fixture is the first that a GPU row names; "-" and an
// empty field name none.
TEST_F(nv_fixture, CsvDriverIsTheFirstNamed) {
    scratch_dir dir("unit");
    const std::string csv_path = dir.file("drivers.csv");
    setenv("VISTREL_MOCK_CSV", csv_path.c_str(), 1);
    const struct {
        const char *first, *second, *driver;
    } cases[] = {
        {"-", "2.0", "2.0"}, {"1.0", "2.0", "1.0"}, {"", "2.0", "2.0"}, {"-", "-", ""}, {"1.0", "-", "1.0"},
    };
    for (const auto &c : cases) {
        write_file(csv_path, std::string("GPU,0,GPU-a,A,1,2,3,4,5,6,") + c.first + "\nGPU,1,GPU-b,B,1,2,3,4,5,6," +
                                 c.second + "\n");
        *snap = gpu_snapshot{};
        ASSERT_EQ(collect_mock_csv(snap), 1);
        EXPECT_EQ(snap->gpu_count, 2);
        EXPECT_STREQ(snap->driver, c.driver) << c.first << " then " << c.second;
    }
    unsetenv("VISTREL_MOCK_CSV");
}

TEST_F(nv_fixture, ProcLines) {
    proc("GPU-5e7f, 11345, ./gpu_burn, 15690");
    proc("GPU-5e7f, [N/A], C:\\Program Files (x86)\\app.exe, [N/A]");
    proc("GPU-5e7f, 1, too few");
    proc("GPU-x, 9, a, 1, e5, e6, e7, e8, e9");
    ASSERT_EQ(snap->proc_count, 3);
    EXPECT_EQ(snap->procs[0].pid, 11345);
    EXPECT_STREQ(snap->procs[0].name, "./gpu_burn");
    EXPECT_DOUBLE_EQ(snap->procs[0].used_mb, 15690.0);
    EXPECT_EQ(snap->procs[1].pid, 0);
    EXPECT_STREQ(snap->procs[1].name, "C:\\Program Files (x86)\\app.exe");
    EXPECT_EQ(snap->procs[1].used_mb, 0.0);
}

TEST_F(nv_fixture, LongTextsAreCut) {
    std::string name(100, 'n'), uuid(70, 'u');
    std::string line = "0, " + uuid + ", " + name + ", 1, 2, 3, 4, 5, 6, " + std::string(60, 'd');
    gpu(line.c_str());
    EXPECT_EQ(std::strlen(snap->gpus[0].name), 95u);
    EXPECT_EQ(std::strlen(snap->gpus[0].uuid), 63u);
    EXPECT_EQ(std::strlen(snap->driver), 47u);
}

TEST_F(nv_fixture, IndexSaturatesInsteadOfOverflowing) {
    // 2^64 + 5: a reader that lets 64 bits wrap would make it GPU 5.
    const struct {
        const char *digits;
        int index;
    } cases[] = {
        {"99999999999999", INT_MAX},        {"-99999999999999", INT_MIN},
        {"99999999999999999999", INT_MAX},  {"18446744073709551621", INT_MAX},
        {"-18446744073709551621", INT_MIN}, {"2147483647", INT_MAX},
        {"-2147483648", INT_MIN},           {"2147483648", INT_MAX},
    };
    for (const auto &c : cases) {
        *snap = gpu_snapshot{};
        gpu((std::string(c.digits) + ", u, n, 1, 2, 3, 4, 5, 6, d").c_str());
        ASSERT_EQ(snap->gpu_count, 1) << c.digits;
        EXPECT_EQ(snap->gpus[0].index, c.index) << c.digits;
        *snap = gpu_snapshot{};
        proc((std::string("GPU-x, ") + c.digits + ", p, 1").c_str());
        EXPECT_EQ(snap->procs[0].pid, c.index) << c.digits;
    }
}

// ---- AMD lines -------------------------------------------------------------

struct amd_fixture : nv_fixture {
    void line(const char *text) {
        std::string l = text;
        amd_line(l.data(), static_cast<long>(l.size()), snap, &errors);
    }
};

TEST_F(amd_fixture, LineAboutGpuNCreatesAllUpToN) {
    line("GPU[1]\t\t: GPU use (%): 57");
    ASSERT_EQ(snap->gpu_count, 2);
    EXPECT_EQ(snap->gpus[0].index, 0);
    EXPECT_STREQ(snap->gpus[0].name, "AMD GPU");
    EXPECT_EQ(snap->gpus[0].util_gpu, 0.0);
    EXPECT_EQ(snap->gpus[1].index, 1);
    EXPECT_DOUBLE_EQ(snap->gpus[1].util_gpu, 57.0);
    EXPECT_STREQ(snap->gpus[1].uuid, "");
}

TEST_F(amd_fixture, FirstReadingWinsForFlaggedValues) {
    const struct {
        const char *first, *second;
        double temp;
    } cases[] = {
        {"GPU[0] : Temperature (Sensor edge) (C): 45.0", "GPU[0] : Temperature (Sensor junction) (C): 50.0", 45.0},
        {"GPU[0] : Temperature (Sensor junction) (C): 50.0", "GPU[0] : Temperature (Sensor edge) (C): 45.0", 50.0},
        {"GPU[0] : Temperature (Sensor edge) (C): N/A", "GPU[0] : Temperature (Sensor junction) (C): 44", 44.0},
    };
    for (const auto &c : cases) {
        *snap = gpu_snapshot{};
        line(c.first);
        line(c.second);
        EXPECT_EQ(snap->gpus[0].has_temp, 1) << c.first;
        EXPECT_DOUBLE_EQ(snap->gpus[0].temp_c, c.temp) << c.first;
    }
    *snap = gpu_snapshot{};
    line("GPU[0]\t\t: Current Socket Graphics Package Power (W): 142.0");
    line("GPU[0]\t\t: Average Graphics Package Power (W): 35.0");
    line("GPU[0]\t\t: Max Graphics Package Power (W): 300");
    EXPECT_DOUBLE_EQ(snap->gpus[0].power_w, 142.0);
    EXPECT_DOUBLE_EQ(snap->gpus[0].power_limit_w, 300.0);
}

TEST_F(amd_fixture, LastReadingWinsForNamesAndMemory) {
    line("GPU[0] : Card series: A");
    line("GPU[0] : Card SKU: B");
    line("GPU[0] : VRAM Total Memory (B): 17163091968");
    line("GPU[0] : VRAM Total Used Memory (B): 1073741824");
    EXPECT_STREQ(snap->gpus[0].name, "B");
    EXPECT_DOUBLE_EQ(snap->gpus[0].mem_total_mb, 16368.0);
    EXPECT_DOUBLE_EQ(snap->gpus[0].mem_used_mb, 1024.0);
    line("GPU[0] : VRAM Total Memory (B): 1048576");
    line("GPU[0] : VRAM Total Memory (B): N/A");
    EXPECT_DOUBLE_EQ(snap->gpus[0].mem_total_mb, 1.0);
    line("GPU[0] : Card series: A:B"); // split at the last colon
    EXPECT_STREQ(snap->gpus[0].name, "B");
    line("GPU[0]\t\t: Card SKU: \t\tD67301"); // product values carry extra TABs
    EXPECT_STREQ(snap->gpus[0].name, "D67301");
}

TEST_F(amd_fixture, IgnoredLinesCreateNothing) {
    for (const char *l : {"GPU[32] : GPU use (%): 5", "GPU[-1] : GPU use (%): 5", "GPU[-99999999999] : GPU use (%): 5",
                          "GPU[99999999999] : GPU use (%): 5", "gpu[0] : GPU use (%): 5", " GPU[0] : GPU use (%): 5",
                          "GPU[0] : Card series:", "GPU[0] Card series A", "GPU[0 : GPU use (%): 5",
                          "WARNING: something", "=== ROCm System Management Interface ==="})
        line(l);
    EXPECT_EQ(snap->gpu_count, 0);
    line("GPU[0] : Card vendor: Example");
    ASSERT_EQ(snap->gpu_count, 1);
    EXPECT_STREQ(snap->gpus[0].name, "AMD GPU");
    line("GPU[x] : GPU use (%): 5"); // no digits reads as GPU 0
    EXPECT_DOUBLE_EQ(snap->gpus[0].util_gpu, 5.0);
}

// ---- error lines and fields -------------------------------------------------

// What each parser notes of a line: lines printed in place of a record and
// values in error, named by GPU or process and column; values a GPU simply
// does not have are no error. One line at a time, from fresh notes.
TEST_F(amd_fixture, ErrorLinesAndFieldsOfEachParser) {
    enum parser { GPU, PROC, AMD };
    const struct {
        parser p;
        const char *line;
        int lines, fields;
        const char *first;
    } cases[] = {
        {GPU, "Unable to determine the device handle for GPU 0000:0B:00.0: Unknown Error", 1, 0,
         "Unable to determine the device handle for GPU 0000:0B:00.0: Unknown Error"},
        {GPU, "No devices were found", 1, 0, "No devices were found"},
        {GPU, "  \t ", 0, 0, ""},
        {GPU, "1, GPU-b, B, 3, 4, 5, 6, [GPU requires reset], 250.00, 550.54.15", 0, 1,
         "GPU 1 power.draw [GPU requires reset]"},
        {GPU, "2, GPU-c, C, [GPU is lost], [Insufficient Permissions], 5, 6, 7, 8, 550.54.15", 0, 2,
         "GPU 2 utilization.gpu [GPU is lost]"},
        {GPU, "0, GPU-a, A, [N/A], [n/a], 5, N/A, [Not Supported], [Requested functionality has been deprecated], 1", 0,
         0, ""},
        {GPU, "0, GPU-a, A, [not supported], 4, 5, 6, 7, 8, 1", 0, 0, ""},
        {PROC, "GPU-a, 4242, [Insufficient Permissions], [N/A]", 0, 1,
         "process 4242 process_name [Insufficient Permissions]"},
        {PROC, "Failed to initialize NVML: Unknown Error", 1, 0, "Failed to initialize NVML: Unknown Error"},
        {AMD, "ERROR: 15 GPU[0]: power: Data (usually from reading a file) was not of the type that was expected\t", 1,
         0, "ERROR: 15 GPU[0]: power: Data (usually from reading a file) was not of the type that was expected"},
        {AMD, "ERROR: GPU[0] \t        : Unable to get GPU memory use.", 1, 0,
         "ERROR: GPU[0] : Unable to get GPU memory use."},
        {AMD,
         "ERROR: 2 GPU[0]: ras: RSMI_STATUS_NOT_SUPPORTED: This function is not supported in the current environment.",
         0, 0, ""},
        {AMD, "ERROR: GPU[0] \t\t: fclk clock is unsupported", 0, 0, ""},
        {AMD,
         "ERROR: 9 GPU[0]: od volt: The called function has not been implemented in this system for this device type",
         0, 0, ""},
        {AMD, "WARNING:  \t\t One or more commands failed", 0, 0, ""},
        {AMD, "GPU[0]\t\t: get_power_cap, Not supported on the given system", 0, 0, ""},
    };
    for (const auto &c : cases) {
        errors = line_errors{};
        *snap = gpu_snapshot{};
        if (c.p == GPU)
            gpu(c.line);
        else if (c.p == PROC)
            proc(c.line);
        else
            line(c.line);
        EXPECT_EQ(errors.lines, c.lines) << c.line;
        EXPECT_EQ(errors.fields, c.fields) << c.line;
        EXPECT_STREQ(errors.first, c.first) << c.line;
    }
    // A line printed in place of a GPU is kept before a value in error that
    // came first, not after; a later field does not replace it.
    errors = line_errors{};
    gpu("1, GPU-b, B, 3, 4, 5, 6, [Unknown Error], 250.00, 1");
    gpu("Unable to determine the device handle for GPU 0000:0B:00.0: Unknown Error");
    gpu("2, GPU-c, C, 3, 4, 5, 6, [GPU requires reset], 250.00, 1");
    EXPECT_EQ(errors.lines + errors.fields, 3);
    EXPECT_STREQ(errors.first, "Unable to determine the device handle for GPU 0000:0B:00.0: Unknown Error");
}

// ---- the outcome -------------------------------------------------------------

attempt tool(const char *who, attempt_end end, unsigned long status = 0, const char *error = "", int gpus = 0) {
    attempt a{};
    a.who = who;
    a.end = end;
    a.status = status;
    a.gpus = gpus;
    a.lines = *error ? 1 : 0;
    a.errors.lines = *error ? 1 : 0;
    copy_str(a.errors.first, MESSAGE_SIZE, error);
    return a;
}

attempt failed_start(const char *who, const char *why) {
    attempt a = tool(who, ATTEMPT_NOT_STARTED);
    copy_str(a.errors.first, MESSAGE_SIZE, why);
    a.errors.lines = 0;
    return a;
}

// source, available and message from the attempts alone: every failure told,
// the most telling first, the tool's own text over a bare status; nothing to
// tell is "" with GPUs and the no-GPU text without.
TEST(Outcome, FromTheAttempts) {
    const std::string driver = "NVIDIA-SMI has failed because it couldn't communicate with the NVIDIA driver.";
    const std::string lost = "Unable to determine the device handle for GPU 0000:0B:00.0: Unknown Error";
    attempt fields = tool("nvidia-smi", ATTEMPT_EXITED);
    fields.errors.fields = 3;
    copy_str(fields.errors.first, MESSAGE_SIZE, "GPU 1 power.draw [GPU requires reset]");
    attempt file = tool("VISTREL_MOCK_NVIDIA", ATTEMPT_STOPPED, 0, "", 2);
    file.is_file = true;
    const struct {
        const char *what;
        const char *answered;
        int gpus;
        std::vector<attempt> attempts;
        const char *source;
        long available;
        std::string message;
    } cases[] = {
        {"no source at all", nullptr, 0, {}, "none", 0, NO_GPU_MESSAGE},
        {"no tool installed",
         nullptr,
         0,
         {tool("nvidia-smi", ATTEMPT_NOT_INSTALLED, 127), tool("rocm-smi", ATTEMPT_NOT_INSTALLED, 127)},
         "none",
         0,
         NO_GPU_MESSAGE},
        {"a healthy node",
         "nvidia",
         3,
         {tool("nvidia-smi", ATTEMPT_EXITED), tool("nvidia-smi compute-apps query", ATTEMPT_EXITED)},
         "nvidia",
         1,
         ""},
        {"a CSV fixture of comments", "mock", 0, {tool("VISTREL_MOCK_CSV", ATTEMPT_READ)}, "mock", 0, NO_GPU_MESSAGE},
        {"the tool's words after a bare status that came first",
         "amd",
         1,
         {tool("nvidia-smi", ATTEMPT_EXITED, 2),
          tool("rocm-smi", ATTEMPT_EXITED, 0, "ERROR: GPU[0] : Unable to get GPU use.")},
         "amd",
         1,
         "rocm-smi: ERROR: GPU[0] : Unable to get GPU use.; nvidia-smi: exit status 2"},
        {"fields in error, more than one",
         "nvidia",
         2,
         {fields},
         "nvidia",
         1,
         "nvidia-smi: GPU 1 power.draw [GPU requires reset] (and 2 more)"},
        {"a hang after GPUs, a fixture cut at the bound",
         "nvidia",
         2,
         {file, tool("nvidia-smi compute-apps query", ATTEMPT_STOPPED, 0, "", 0)},
         "nvidia",
         1,
         "VISTREL_MOCK_NVIDIA: stopped after 10 s (2 GPUs read before); nvidia-smi compute-apps query: stopped after "
         "10 s"},
        {"one GPU before the hang",
         "nvidia",
         1,
         {tool("nvidia-smi", ATTEMPT_STOPPED, 0, "", 1)},
         "nvidia",
         1,
         "nvidia-smi: stopped after 10 s (1 GPU printed before)"},
        {"killed, and a crash on Windows",
         nullptr,
         0,
         {tool("nvidia-smi", ATTEMPT_SIGNALLED, 9), tool("rocm-smi", ATTEMPT_EXITED, 0xC0000005UL)},
         "none",
         0,
         "nvidia-smi: killed by signal 9; rocm-smi: exit status 0xC0000005"},
        {"the same error from both queries is told once",
         "nvidia",
         3,
         {tool("nvidia-smi", ATTEMPT_EXITED, 15, lost.c_str()),
          tool("nvidia-smi compute-apps query", ATTEMPT_EXITED, 15, lost.c_str())},
         "nvidia",
         1,
         "nvidia-smi: exit status 15: " + lost + "; nvidia-smi compute-apps query: exit status 15"},
        {"the same error without a status",
         "nvidia",
         3,
         {tool("nvidia-smi", ATTEMPT_EXITED, 0, lost.c_str()),
          tool("nvidia-smi compute-apps query", ATTEMPT_EXITED, 0, lost.c_str())},
         "nvidia",
         1,
         "nvidia-smi: " + lost + "; nvidia-smi compute-apps query: the same error"},
        {"neither tool could start",
         nullptr,
         0,
         {failed_start("nvidia-smi", "fork: Resource temporarily unavailable"),
          failed_start("rocm-smi", "fork: Resource temporarily unavailable")},
         "none",
         0,
         "Could not start nvidia-smi: fork: Resource temporarily unavailable; Could not start rocm-smi: fork: Resource "
         "temporarily unavailable"},
        {"a broken driver on a node whose AMD side answers",
         "amd",
         2,
         {tool("nvidia-smi", ATTEMPT_EXITED, 9, driver.c_str()), tool("rocm-smi", ATTEMPT_EXITED)},
         "amd",
         1,
         "nvidia-smi: exit status 9: " + driver},
    };
    static gpu_snapshot snap;
    for (const auto &c : cases) {
        snap = gpu_snapshot{};
        snap.gpu_count = c.gpus;
        settle_outcome(&snap, c.answered, c.attempts.data(), static_cast<int>(c.attempts.size()), nullptr);
        EXPECT_STREQ(snap.source, c.source) << c.what;
        EXPECT_EQ(snap.available, c.available) << c.what;
        EXPECT_EQ(snap.message, c.message) << c.what;
    }
}

// The message holds 191 bytes. A first finding longer than that is cut there,
// never inside a character; a later one is joined only while it can show a
// little of itself, and "(and N more)" comes whole or not at all.
TEST(Outcome, CutToTheField) {
    static gpu_snapshot snap;
    auto settle = [](const std::vector<attempt> &attempts) {
        snap = gpu_snapshot{};
        settle_outcome(&snap, nullptr, attempts.data(), static_cast<int>(attempts.size()), nullptr);
        return std::string(snap.message);
    };
    // "rocm-smi: " is 10 bytes: an "é" (2 bytes) from byte 190 would end past the field.
    const std::string long_text = std::string(180, 'x') + "\xc3\xa9" + std::string(50, 'y');
    std::string cut = settle({tool("rocm-smi", ATTEMPT_EXITED, 0, long_text.c_str())});
    EXPECT_EQ(cut, "rocm-smi: " + std::string(180, 'x'));
    const std::string fits = "rocm-smi: " + std::string(179, 'x') + "\xc3\xa9";
    EXPECT_EQ(settle({tool("rocm-smi", ATTEMPT_EXITED, 0, (std::string(179, 'x') + "\xc3\xa9yy").c_str())}), fits);
    EXPECT_EQ(fits.size(), 191u);

    // 150 bytes, then room for "; " and 39 bytes: the second is joined, cut.
    const std::string first(150 - 12, 'a'); // "nvidia-smi: " + 138
    std::string two = settle({tool("nvidia-smi", ATTEMPT_EXITED, 0, first.c_str()),
                              tool("rocm-smi", ATTEMPT_EXITED, 0, std::string(100, 'b').c_str())});
    EXPECT_EQ(two, "nvidia-smi: " + first + "; rocm-smi: " + std::string(191 - 150 - 2 - 10, 'b'));
    // 170 bytes: 19 left, too few for a second finding to say anything.
    const std::string longer(170 - 12, 'a');
    EXPECT_EQ(settle({tool("nvidia-smi", ATTEMPT_EXITED, 0, longer.c_str()),
                      tool("rocm-smi", ATTEMPT_EXITED, 0, "ERROR: GPU[0] : Unable to get GPU use.")}),
              "nvidia-smi: " + longer);

    attempt many = tool("nvidia-smi", ATTEMPT_EXITED, 0, std::string(160, 'c').c_str());
    many.errors.lines = 3;
    EXPECT_EQ(settle({many}), "nvidia-smi: " + std::string(160, 'c') + " (and 2 more)");
    copy_str(many.errors.first, MESSAGE_SIZE, std::string(170, 'c').c_str());
    EXPECT_EQ(settle({many}), "nvidia-smi: " + std::string(170, 'c'));
}

// GPUs on the bus that no driver holds: their addresses first in the
// message, whatever else it tells and whichever source answered, whole
// addresses only, "(and N more)" for those the field cannot hold.
TEST(Outcome, UnboundGpusAreTold) {
    auto bus_of = [](int count) {
        unbound_gpus bus{};
        bus.count = count;
        for (int i = 0; i < count && i < MAX_GPUS; ++i)
            std::snprintf(bus.addresses[i], PCI_ADDRESS_SIZE, "0000:%02x:00.0", 0x10 + i);
        return bus;
    };
    const std::string prefix = "NVIDIA GPUs on the PCI bus without a driver: ";
    // As many as fit with room left for "(and 31 more)".
    std::string nine = prefix;
    for (int i = 0; i < 9; ++i)
        nine += (i ? ", 0000:" : "0000:") + std::to_string(10 + i) + ":00.0";
    const struct {
        const char *what;
        const char *answered;
        std::vector<attempt> attempts;
        int gpus;
        int unbound;
        long available;
        std::string message;
    } cases[] = {
        {"one, beside the GPUs that answered",
         "nvidia",
         {tool("nvidia-smi", ATTEMPT_EXITED), tool("nvidia-smi compute-apps query", ATTEMPT_EXITED)},
         3,
         1,
         1,
         "NVIDIA GPU on the PCI bus without a driver: 0000:10:00.0"},
        {"two, where no tool is installed: no more the no-GPU text",
         nullptr,
         {tool("nvidia-smi", ATTEMPT_NOT_INSTALLED, 127), tool("rocm-smi", ATTEMPT_NOT_INSTALLED, 127)},
         0,
         2,
         0,
         prefix + "0000:10:00.0, 0000:11:00.0"},
        {"before the tool's own words",
         nullptr,
         {tool("nvidia-smi", ATTEMPT_EXITED, 6, "No devices were found")},
         0,
         1,
         0,
         "NVIDIA GPU on the PCI bus without a driver: 0000:10:00.0; nvidia-smi: exit status 6: No devices were found"},
        {"more than the field holds", nullptr, {}, 0, 12, 0, nine + " (and 3 more)"},
        {"more than are kept", nullptr, {}, 0, MAX_GPUS + 8, 0, nine + " (and 31 more)"},
    };
    static gpu_snapshot snap;
    for (const auto &c : cases) {
        snap = gpu_snapshot{};
        snap.gpu_count = c.gpus;
        const unbound_gpus bus = bus_of(c.unbound);
        settle_outcome(&snap, c.answered, c.attempts.data(), static_cast<int>(c.attempts.size()), &bus);
        EXPECT_EQ(snap.available, c.available) << c.what;
        EXPECT_EQ(snap.message, c.message) << c.what;
    }
}

} // namespace
