// Telemetry collection. Sections in the order a request meets them: line
// reading, GPU and process records, CSV fixture, NVIDIA, AMD, then the chain.
#include "collect.h"

#include <string.h>

#include "platform.h"
#include "text.h"

// A vendor tool that has not finished after this long is killed and the
// request goes on with what it printed. Long enough for nvidia-smi without
// persistence mode on a healthy machine with many GPUs (it then pays the
// driver's start-up on every call), short enough that a wedged GPU, which can
// hold the tool forever, cannot hold the dashboard. Reading a fixture file
// ends at the same bound, so a file without end cannot hold it either.
constexpr int VENDOR_TOOL_TIMEOUT_MS = 10000;

// The only commands the program ever runs. Nothing from the request or the
// environment enters them.
constexpr const char *NV_GPU_QUERY =
    "nvidia-smi --query-gpu=index,uuid,name,utilization.gpu,memory.used,memory.total,"
    "temperature.gpu,power.draw,power.limit,driver_version --format=csv,noheader,nounits " PLATFORM_NULL_REDIRECT;
constexpr const char *NV_APPS_QUERY = "nvidia-smi --query-compute-apps=gpu_uuid,pid,process_name,used_memory "
                                      "--format=csv,noheader,nounits " PLATFORM_NULL_REDIRECT;
constexpr const char *ROCM_QUERY =
    "rocm-smi --showproductname --showuse --showmeminfo vram --showtemp --showpower " PLATFORM_NULL_REDIRECT;

// The outcome "no source": what a snapshot says before and when none succeeded.
static void set_no_source(gpu_snapshot *snap) {
    copy_str(snap->source, SOURCE_SIZE, "none");
    snap->available = 0;
    // A vendor command that could not even be started tells nothing of the
    // GPUs: the user is told why instead of "no GPU".
    const char *failure = platform_start_failure();
    copy_str(snap->message, MESSAGE_SIZE, failure ? failure : NO_GPU_MESSAGE);
}

void snapshot_init(gpu_snapshot *snap) {
    *snap = gpu_snapshot{};
    set_no_source(snap);
}

// ---- line reading ----------------------------------------------------------

namespace {

typedef void (*line_cb)(char *line, long len, gpu_snapshot *snap);

// Which lines a reader hands on. Empty lines never count; the readers differ
// only in these two points.
struct line_rule {
    bool trim;           // blanks at both ends are stripped before the tests
    bool comments_count; // a '#' line, though not handed on, counts as read
};

// The vendor tools' output and the ROCm mock file: the lines as they are.
constexpr line_rule TOOL_LINES = {false, false};
// The NVIDIA mock file is written by hand: indented lines are lines too.
constexpr line_rule NV_MOCK_LINES = {true, false};
// A CSV fixture of comments alone still stands for "no GPU here".
constexpr line_rule CSV_LINES = {false, true};

enum source_kind { FROM_FILE, FROM_COMMAND };

// fgets over a file or a command's output, through the chunk buffer below.
struct line_reader {
    platform_stream stream;
    long pos; // in read_chunk
    long len;
};

} // namespace

// One line of input at a time, in the one buffer all readers share, read
// through one chunk buffer: streams are read one after the other. Static
// storage: a request touches only the pages its input reaches.
static char line_buf[LINE_BUF_SIZE];
static char read_chunk[16384];

// Reads the next piece into line_buf as fgets would: up to the first line
// feed, at most LINE_BUF_SIZE-1 bytes, terminated. Returns its length, 0 at
// the end.
static long next_piece(line_reader *r) {
    long n = 0;
    while (n < LINE_BUF_SIZE - 1) {
        if (r->pos == r->len) {
            long got = platform_read(&r->stream, read_chunk, sizeof read_chunk);
            if (got <= 0)
                break;
            r->pos = 0;
            r->len = got;
        }
        const char *from = read_chunk + r->pos;
        long take = r->len - r->pos;
        if (take > LINE_BUF_SIZE - 1 - n)
            take = LINE_BUF_SIZE - 1 - n;
        const char *lf = static_cast<const char *>(memchr(from, '\n', static_cast<size_t>(take)));
        if (lf)
            take = static_cast<long>(lf - from) + 1;
        memcpy(line_buf + n, from, static_cast<size_t>(take));
        n += take;
        r->pos += take;
        if (lf)
            break;
    }
    line_buf[n] = '\0';
    return n;
}

// Opens the file or runs the command, hands each line that the rule lets
// through to cb, its line end removed, and closes the stream. 1 when any
// line counted, 0 when none did or the source could not be opened.
static int read_lines(source_kind kind, const char *what, line_rule rule, line_cb cb, gpu_snapshot *snap) {
    line_reader r{};
    bool opened = kind == FROM_COMMAND ? platform_open_cmd(&r.stream, what, VENDOR_TOOL_TIMEOUT_MS)
                                       : platform_open_file(&r.stream, what, VENDOR_TOOL_TIMEOUT_MS);
    if (!opened)
        return 0;
    int counted = 0;
    for (long n; (n = next_piece(&r)) > 0;) {
        // The text ends at its first zero byte, as a C string read by fgets.
        char *line = line_buf;
        long len = static_cast<long>(strnlen(line, static_cast<size_t>(n)));
        while (len > 0 && (line[len - 1] == '\n' || line[len - 1] == '\r'))
            line[--len] = '\0';
        if (rule.trim) {
            while (len > 0 && is_blank(line[len - 1]))
                line[--len] = '\0';
            for (; is_blank(*line); --len)
                ++line;
        }
        if (len == 0)
            continue;
        if (line[0] == '#') {
            counted |= rule.comments_count;
            continue;
        }
        cb(line, len, snap);
        counted = 1;
    }
    platform_close(&r.stream);
    return counted;
}

// ---- GPU and process records -------------------------------------------------

// Starts the next entry, zeroed as a whole and counted from now on; NULL
// when the list is full, and the line that wanted it is then dropped whole.
static gpu_info *add_gpu(gpu_snapshot *snap) {
    if (snap->gpu_count >= MAX_GPUS)
        return nullptr;
    gpu_info *g = &snap->gpus[snap->gpu_count++];
    *g = gpu_info{};
    return g;
}

static proc_info *add_proc(gpu_snapshot *snap) {
    if (snap->proc_count >= MAX_PROCS)
        return nullptr;
    proc_info *p = &snap->procs[snap->proc_count++];
    *p = proc_info{};
    return p;
}

namespace {

// A field of a line, trimmed and terminated in place.
struct field {
    char *text;
    int len;
};

} // namespace

static void copy_field(char *dst, int size, const field &f) { copy_span(dst, size, f.text, f.len); }

// The field is the given word.
template <int N> static bool is_word(const field &f, const char (&word)[N]) {
    return f.len == N - 1 && memcmp(f.text, word, N - 1) == 0;
}

// index, uuid, name, utilisation %, memory used MiB, memory total MiB,
// temperature C, power W, power limit W: the column order of both the CSV
// fixture's GPU rows and nvidia-smi's GPU query, from f[0] on, trimmed.
static void fill_gpu(gpu_info *g, const field *f) {
    g->index = read_int(f[0].text);
    copy_field(g->uuid, UUID_SIZE, f[1]);
    copy_field(g->name, NAME_SIZE, f[2]);
    parse_num(f[3].text, &g->util_gpu);
    parse_num(f[4].text, &g->mem_used_mb);
    parse_num(f[5].text, &g->mem_total_mb);
    g->has_temp = parse_num(f[6].text, &g->temp_c);
    g->has_power = parse_num(f[7].text, &g->power_w);
    g->has_power_limit = parse_num(f[8].text, &g->power_limit_w);
}

// gpu uuid, pid, name, used MiB: the CSV fixture's process rows and
// nvidia-smi's compute-apps query alike.
static void fill_proc(proc_info *p, const field *f) {
    copy_field(p->gpu_uuid, UUID_SIZE, f[0]);
    p->pid = read_int(f[1].text);
    copy_field(p->name, NAME_SIZE, f[2]);
    parse_num(f[3].text, &p->used_mb);
}

// Cuts the line (len bytes) at commas into at most max fields, each trimmed
// as trim does; returns how many. The comma after the last field that can be
// taken is cut too; the rest of the line is ignored.
static int trimmed_fields(char *line, long len, field *f, int max) {
    char *p = line, *end = line + len;
    int n = 0;
    while (n < max) {
        char *stop = p;
        while (stop < end && *stop != ',')
            ++stop;
        bool comma = stop < end;
        char *last = stop;
        while (p < last && is_blank(*p))
            ++p;
        while (last > p && is_blank(last[-1]))
            --last;
        *last = '\0';
        *stop = '\0';
        f[n++] = {p, static_cast<int>(last - p)};
        if (!comma)
            break;
        p = stop + 1;
    }
    return n;
}

// ---- CSV fixture -----------------------------------------------------------

// "GPU,index,uuid,name,util,mem_used,mem_total,temp,power,limit,driver"
// "APP,gpu_uuid,pid,name,used_mb"
static void csv_row(char *line, long len, gpu_snapshot *snap) {
    field f[12];
    int n = trimmed_fields(line, len, f, 12);
    if (is_word(f[0], "GPU") && n >= 11) {
        gpu_info *g = add_gpu(snap);
        if (!g)
            return;
        fill_gpu(g, f + 1);
        if (!snap->driver[0] && f[10].len && !is_word(f[10], "-"))
            copy_field(snap->driver, DRIVER_SIZE, f[10]);
    } else if (is_word(f[0], "APP") && n >= 5) {
        if (proc_info *p = add_proc(snap))
            fill_proc(p, f + 1);
    }
}

int collect_mock_csv(gpu_snapshot *snap) {
    const char *path = env_nonempty("VISTREL_MOCK_CSV");
    if (!path || !read_lines(FROM_FILE, path, CSV_LINES, csv_row, snap))
        return 0;
    snap->mocked = 1;
    copy_str(snap->source, SOURCE_SIZE, "mock");
    snap->available = snap->gpu_count > 0;
    if (snap->gpu_count > 0)
        copy_str(snap->message, MESSAGE_SIZE, "");
    return 1;
}

// ---- NVIDIA ----------------------------------------------------------------

// index, uuid, name, utilization.gpu, memory.used, memory.total,
// temperature.gpu, power.draw, power.limit, driver_version
void nv_gpu_line(char *line, long len, gpu_snapshot *snap) {
    field f[12];
    if (trimmed_fields(line, len, f, 12) < 10)
        return;
    gpu_info *g = add_gpu(snap);
    if (!g)
        return;
    fill_gpu(g, f);
    if (!snap->driver[0])
        copy_field(snap->driver, DRIVER_SIZE, f[9]);
}

// gpu_uuid, pid, process_name, used_memory
void nv_proc_line(char *line, long len, gpu_snapshot *snap) {
    field f[8];
    if (trimmed_fields(line, len, f, 8) < 4)
        return;
    if (proc_info *p = add_proc(snap))
        fill_proc(p, f);
}

// The mock file mixes both layouts: "APP," marks a compute-process line.
static void nv_mock_line(char *line, long len, gpu_snapshot *snap) {
    if (strncmp(line, "APP,", 4) == 0)
        nv_proc_line(line + 4, len - 4, snap);
    else
        nv_gpu_line(line, len, snap);
}

static int collect_nvidia(gpu_snapshot *snap) {
    int fed;
    if (const char *mock = env_nonempty("VISTREL_MOCK_NVIDIA")) {
        snap->mocked = 1;
        fed = read_lines(FROM_FILE, mock, NV_MOCK_LINES, nv_mock_line, snap); // unreadable: no query runs
    } else {
        fed = read_lines(FROM_COMMAND, NV_GPU_QUERY, TOOL_LINES, nv_gpu_line, snap);
    }
    if (!fed || snap->gpu_count == 0)
        return 0;
    read_lines(FROM_COMMAND, NV_APPS_QUERY, TOOL_LINES, nv_proc_line, snap);
    return 1;
}

// ---- AMD -------------------------------------------------------------------

namespace {

enum amd_effect : unsigned char {
    AMD_NAME,
    AMD_UTIL,
    AMD_MEM_TOTAL,
    AMD_MEM_USED,
    AMD_TEMP,
    AMD_POWER,
    AMD_POWER_LIMIT
};

struct amd_property {
    const char *key_part; // as rocm-smi spells it; found anywhere in the key
    amd_effect effect;
};

// Tried in order; the first row whose text the key contains decides.
constexpr amd_property AMD_PROPERTIES[] = {
    {"Card series", AMD_NAME},
    {"Card SKU", AMD_NAME},
    {"GPU use (%)", AMD_UTIL},
    {"VRAM Total Memory (B)", AMD_MEM_TOTAL},
    {"VRAM Total Used Memory (B)", AMD_MEM_USED},
    {"Temperature (Sensor edge)", AMD_TEMP},
    {"Temperature (Sensor junction)", AMD_TEMP},
    {"Average Graphics Package Power", AMD_POWER},
    {"Current Socket Graphics Package Power", AMD_POWER},
    {"Max Graphics Package Power", AMD_POWER_LIMIT},
};

constexpr double BYTES_PER_MIB = 1048576.0;

} // namespace

// Sets a flagged value from the first line that reads; later lines are ignored.
static void set_once(int *flag, double *value, const char *text) {
    if (!*flag)
        *flag = parse_num(text, value);
}

static void amd_apply(gpu_info *g, amd_effect effect, const char *value) {
    double v = 0.0;
    switch (effect) {
    case AMD_NAME: copy_str(g->name, NAME_SIZE, value); break;
    case AMD_UTIL: parse_num(value, &g->util_gpu); break;
    case AMD_MEM_TOTAL:
        if (parse_num(value, &v))
            g->mem_total_mb = v / BYTES_PER_MIB; // bytes -> MiB
        break;
    case AMD_MEM_USED:
        if (parse_num(value, &v))
            g->mem_used_mb = v / BYTES_PER_MIB; // bytes -> MiB
        break;
    case AMD_TEMP: set_once(&g->has_temp, &g->temp_c, value); break;
    case AMD_POWER: set_once(&g->has_power, &g->power_w, value); break;
    case AMD_POWER_LIMIT: set_once(&g->has_power_limit, &g->power_limit_w, value); break;
    }
}

// "GPU[n]\t\t: key: value" -- rocm-smi prints two TABs after the bracket.
void amd_line(char *line, long, gpu_snapshot *snap) {
    if (strncmp(line, "GPU[", 4) != 0)
        return;
    int gpu = read_int(line + 4);
    if (gpu < 0 || gpu >= MAX_GPUS)
        return;
    char *close = strchr(line + 4, ']');
    if (!close)
        return;
    char *rest = trim(close + 1);
    if (*rest == ':')
        ++rest;
    char *colon = strrchr(rest, ':');
    if (!colon)
        return;
    *colon = '\0';
    char *key = trim(rest);
    char *value = trim(colon + 1);
    if (!*key || !*value)
        return;
    // A line about GPU n brings every GPU up to n into being.
    while (gpu >= snap->gpu_count) {
        gpu_info *g = add_gpu(snap); // never NULL: gpu is below MAX_GPUS
        g->index = snap->gpu_count - 1;
        copy_str(g->name, NAME_SIZE, "AMD GPU");
    }
    for (const amd_property &p : AMD_PROPERTIES)
        if (strstr(key, p.key_part)) {
            amd_apply(&snap->gpus[gpu], p.effect, value);
            return;
        }
}

static int collect_amd(gpu_snapshot *snap) {
    if (const char *mock = env_nonempty("VISTREL_MOCK_ROCM")) {
        snap->mocked = 1;
        return read_lines(FROM_FILE, mock, TOOL_LINES, amd_line, snap);
    }
    return read_lines(FROM_COMMAND, ROCM_QUERY, TOOL_LINES, amd_line, snap);
}

// ---- the chain -------------------------------------------------------------

void collect_snapshot(gpu_snapshot *snap) {
    // Written first, though they are zero: a page whose first touch is a
    // read is faulted in twice (the zero page, then its copy).
    snap->gpu_count = 0;
    set_no_source(snap);
    if (collect_mock_csv(snap))
        return;
    if (collect_nvidia(snap)) {
        copy_str(snap->source, SOURCE_SIZE, "nvidia");
        snap->available = 1;
        copy_str(snap->message, MESSAGE_SIZE, "");
        return;
    }
    if (collect_amd(snap) && snap->gpu_count > 0) {
        copy_str(snap->source, SOURCE_SIZE, "amd");
        snap->available = 1;
        copy_str(snap->message, MESSAGE_SIZE, "");
        return;
    }
    set_no_source(snap);
}
