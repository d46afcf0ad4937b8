// The JSON side. Every document goes straight to standard output as it is
// produced: fixed text as literals, strings through json_str, numbers through
// printf. Nothing is assembled in memory.
#include "json.h"

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "collect.h"
#include "platform.h"
#include "plugin_vistrel.h"

static void out(const char *s) { std::fputs(s, stdout); }

static void out_bool(int flag) { out(flag ? "true" : "false"); }

// Sums of finite readings can still overflow to infinity; the document
// saturates instead of writing "inf", which no JSON reader accepts.
static double finite_or_max(double v) {
    if (std::isnan(v))
        return 0.0;
    if (std::isinf(v))
        return v < 0 ? -DBL_MAX : DBL_MAX;
    return v;
}

void json_header() {
    out("Content-Type: application/json; charset=utf-8\r\n"
        "Cache-Control: no-store\r\n"
        "X-Content-Type-Options: nosniff\r\n"
        "\r\n");
}

void json_str(const char *s) {
    std::putchar('"');
    const char *run = s; // bytes that go out unchanged are written in runs
    for (const char *p = s;; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c >= 0x20 && c != '"' && c != '\\')
            continue;
        std::fwrite(run, 1, static_cast<size_t>(p - run), stdout);
        run = p + 1;
        if (c == '\0')
            break;
        switch (c) {
        case '"': out("\\\""); break;
        case '\\': out("\\\\"); break;
        case '\n': out("\\n"); break;
        case '\r': out("\\r"); break;
        case '\t': out("\\t"); break;
        default: break; // other control bytes are dropped
        }
    }
    std::putchar('"');
}

// "index" of the first GPU whose uuid equals the process's, or -1.
static int gpu_index_of(const gpu_snapshot *snap, const char *gpu_uuid) {
    if (!gpu_uuid[0])
        return -1;
    for (int i = 0; i < snap->gpu_count; ++i)
        if (std::strcmp(snap->gpus[i].uuid, gpu_uuid) == 0)
            return snap->gpus[i].index;
    return -1;
}

static void out_optional(int has, const char *fmt, double v) {
    if (has)
        std::printf(fmt, v);
    else
        out("null");
}

void json_metrics(const gpu_snapshot *snap, const char *stamp) {
    json_header();
    out("{\"ok\":true,\"action\":\"metrics\"");
    out(",\"available\":");
    out_bool(snap->available);
    out(",\"source\":");
    json_str(snap->source);
    out(",\"mocked\":");
    out_bool(snap->mocked);
    out(",\"driver\":");
    json_str(snap->driver);
    out(",\"utc\":");
    json_str(stamp);
    std::printf(",\"count\":%d,\"process_count\":%d", snap->gpu_count, snap->proc_count);

    double util = 0.0, used = 0.0, total = 0.0, power = 0.0;
    int powered = 0;
    for (int i = 0; i < snap->gpu_count; ++i) {
        const gpu_info *g = &snap->gpus[i];
        util += g->util_gpu;
        used += g->mem_used_mb;
        total += g->mem_total_mb;
        if (g->has_power) {
            power += g->power_w;
            powered++;
        }
    }
    double avg = snap->gpu_count > 0 ? util / snap->gpu_count : 0.0;
    std::printf(",\"util_gpu_avg\":%.1f,\"mem_used_mb\":%.0f,\"mem_total_mb\":%.0f", finite_or_max(avg),
                finite_or_max(used), finite_or_max(total));
    out(",\"power_w\":");
    out_optional(powered, "%.1f", finite_or_max(power));

    out(",\"gpus\":[");
    for (int i = 0; i < snap->gpu_count; ++i) {
        const gpu_info *g = &snap->gpus[i];
        std::printf("%s{\"index\":%d,\"uuid\":", i ? "," : "", g->index);
        json_str(g->uuid);
        out(",\"name\":");
        json_str(g->name);
        std::printf(",\"util_gpu\":%.1f,\"mem_used_mb\":%.0f,\"mem_total_mb\":%.0f,\"temp_c\":", g->util_gpu,
                    g->mem_used_mb, g->mem_total_mb);
        out_optional(g->has_temp, "%.0f", g->temp_c);
        out(",\"power_w\":");
        out_optional(g->has_power, "%.1f", g->power_w);
        out(",\"power_limit_w\":");
        out_optional(g->has_power_limit, "%.1f", g->power_limit_w);
        out("}");
    }

    out("],\"processes\":[");
    for (int i = 0; i < snap->proc_count; ++i) {
        const proc_info *p = &snap->procs[i];
        out(i ? ",{\"gpu_uuid\":" : "{\"gpu_uuid\":");
        json_str(p->gpu_uuid);
        std::printf(",\"gpu_index\":%d,\"pid\":%ld,\"name\":", gpu_index_of(snap, p->gpu_uuid),
                    static_cast<long>(p->pid));
        json_str(p->name);
        std::printf(",\"used_mb\":%.0f}", p->used_mb);
    }
    out("],\"message\":");
    json_str(snap->message);
    out("}\n");
}

void utc_stamp(char out_stamp[UTC_STAMP_SIZE]) {
    std::tm t{};
    // A clock that cannot be read gives the all-zero broken-down time. It is
    // written directly: some C runtimes reject day 0 in strftime.
    if (!platform_utc_now(&t) || std::strftime(out_stamp, UTC_STAMP_SIZE, "%Y-%m-%dT%H:%M:%SZ", &t) == 0)
        copy_str(out_stamp, UTC_STAMP_SIZE, "1900-01-00T00:00:00Z");
}

static void json_info(const char *stamp) {
    json_header();
    out("{\"ok\":true,\"action\":\"info\",\"plugin\":\"plugin_vistrel\",\"version\":\"");
    out(PLUGIN_VERSION);
    out("\",\"platform\":");
    json_str(platform_name());
    std::printf(",\"pid\":%ld,\"utc\":", platform_pid());
    json_str(stamp);
    const char *pw = std::getenv("BOT_PASSWORD");
    out(",\"node_auth\":");
    out_bool(pw && *pw);
    std::printf(",\"supported\":[\"metrics\",\"info\"],\"probes\":[\"nvidia-smi\",\"rocm-smi\"],"
                "\"mock_hook\":\"VISTREL_MOCK_CSV\",\"max_gpus\":%d,\"zero_network\":true}\n",
                MAX_GPUS);
}

int mode_json(const char *query) {
    char action[64] = "";
    if (query)
        get_query_val(query, "action", action, sizeof action);
    if (!action[0])
        copy_str(action, sizeof action, "metrics");
    bool info = std::strcmp(action, "info") == 0;
    if (!info && std::strcmp(action, "metrics") != 0) {
        json_header();
        out("{\"ok\":false,\"error\":\"unknown_action\",\"supported\":[\"metrics\",\"info\"],\"requested\":");
        json_str(action);
        out("}\n");
        return 0;
    }
    char stamp[UTC_STAMP_SIZE];
    utc_stamp(stamp);
    if (info) {
        json_info(stamp);
        return 0;
    }
    static gpu_snapshot snap; // about 60 KiB: static storage keeps it off small stacks
    collect_snapshot(&snap);
    json_metrics(&snap, stamp);
    return 0;
}
