// Telemetry collection. Sections in the order a request meets them: line
// reading, GPU and process records, error lines and fields, CSV fixture,
// NVIDIA, AMD, the sources and the chain, then the outcome.
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

// ---- line reading ----------------------------------------------------------

namespace {

typedef void (*line_handler)(char *line, long len, gpu_snapshot *snap, line_errors *errors);

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

// One attempt: opens the file or runs the command, hands each line that the
// rule lets through to the handler, its line end removed, closes the stream
// and records in a how it all ended.
static void run_attempt(attempt *a, const char *what, line_rule rule, line_handler handler, gpu_snapshot *snap) {
    line_reader r{};
    bool opened = a->is_file ? platform_open_file(&r.stream, what, VENDOR_TOOL_TIMEOUT_MS)
                             : platform_open_cmd(&r.stream, what, VENDOR_TOOL_TIMEOUT_MS);
    if (!opened) {
        a->end = a->is_file ? ATTEMPT_UNREADABLE : ATTEMPT_NOT_STARTED;
        copy_str(a->errors.first, MESSAGE_SIZE, r.stream.failure);
        return;
    }
    const int gpus_before = snap->gpu_count;
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
            a->lines += rule.comments_count;
            continue;
        }
        handler(line, len, snap, &a->errors);
        ++a->lines;
    }
    platform_close(&r.stream);
    a->gpus = snap->gpu_count - gpus_before;
    a->status = r.stream.status;
    switch (r.stream.end) {
    case PLATFORM_END_DEADLINE: a->end = ATTEMPT_STOPPED; break;
    case PLATFORM_END_SIGNAL: a->end = ATTEMPT_SIGNALLED; break;
    case PLATFORM_END_EXIT:
        // A tool that is simply not there is no failure: the node has none.
        a->end = r.stream.status == PLATFORM_NOT_FOUND_STATUS && a->lines == 0 ? ATTEMPT_NOT_INSTALLED : ATTEMPT_EXITED;
        break;
    default: a->end = a->is_file ? ATTEMPT_READ : ATTEMPT_EXITED; break;
    }
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

// ---- error lines and fields -------------------------------------------------

// Keeps the first error's text: an error line's before a field's.
static void keep_error(line_errors *e, bool is_line, const char *text, int len) {
    if (e->first[0] && (e->first_is_line || !is_line))
        return;
    text_out out = text_into(e->first, MESSAGE_SIZE);
    // One space for every run of blanks: rocm-smi pads its lines with TABs.
    for (int i = 0; i < len && !out.full;) {
        int start = i;
        while (i < len && !is_blank(text[i]))
            ++i;
        if (i > start) {
            if (out.len)
                add_str(&out, " ");
            add_span(&out, text + start, i - start);
        }
        while (i < len && is_blank(text[i]))
            ++i;
    }
    e->first_is_line = is_line && out.len > 0;
}

// A line that a tool printed in place of a record, its own words for what
// went wrong: "Unable to determine the device handle for GPU 0000:0B:00.0:
// Unknown Error". A line of blanks says nothing.
static void note_error_line(line_errors *e, const char *line, long len) {
    long i = 0;
    while (i < len && is_blank(line[i]))
        ++i;
    if (i == len)
        return;
    ++e->lines;
    keep_error(e, true, line, static_cast<int>(len)); // a piece of LINE_BUF_SIZE at most
}

// The words compared letter by letter, ASCII letters in either case.
static bool same_ignoring_case(const char *s, int len, const char *word) {
    int i = 0;
    for (; i < len && word[i]; ++i) {
        char a = s[i], b = word[i];
        if (a >= 'A' && a <= 'Z')
            a = static_cast<char>(a - 'A' + 'a');
        if (b >= 'A' && b <= 'Z')
            b = static_cast<char>(b - 'A' + 'a');
        if (a != b)
            return false;
    }
    return i == len && !word[i];
}

static bool contains_ignoring_case(const char *s, long len, const char *word) {
    int n = static_cast<int>(strlen(word));
    for (long i = 0; i + n <= len; ++i)
        if (same_ignoring_case(s + i, n, word))
            return true;
    return false;
}

// What nvidia-smi writes, brackets included and in any letter case, for a
// value that the GPU simply does not have (MIG, laptops, Windows): no error.
constexpr const char *NV_NOT_AVAILABLE[] = {"[N/A]", "[Not Supported]",
                                            "[Requested functionality has been deprecated]"};

// Every other value in brackets is an error in place of the value:
// [Unknown Error], [GPU requires reset], [Insufficient Permissions], [GPU is lost].
static bool is_error_value(const char *text, int len) {
    if (len < 2 || text[0] != '[' || text[len - 1] != ']')
        return false;
    for (const char *na : NV_NOT_AVAILABLE)
        if (same_ignoring_case(text, len, na))
            return false;
    return true;
}

// Notes each of the line's fields that carries an error, named by the
// record it belongs to and its column: "GPU 1 power.draw [GPU requires
// reset]". key is the field that names the record.
template <int N>
static void note_error_fields(line_errors *e, const char *record, const field &key, const field *f,
                              const char *const (&columns)[N]) {
    for (int i = 0; i < N; ++i) {
        if (!is_error_value(f[i].text, f[i].len))
            continue;
        ++e->fields;
        char text[MESSAGE_SIZE];
        text_out out = text_into(text, MESSAGE_SIZE);
        add_str(&out, record);
        add_span(&out, key.text, key.len);
        add_str(&out, " ");
        add_str(&out, columns[i]);
        add_str(&out, " ");
        add_span(&out, f[i].text, f[i].len);
        keep_error(e, false, text, out.len);
    }
}

// How many comma-separated fields the line has, counted up to max.
static int fields_in(const char *line, long len, int max) {
    int n = 1;
    for (const char *p = line, *end = line + len; n < max;) {
        p = static_cast<const char *>(memchr(p, ',', static_cast<size_t>(end - p)));
        if (!p)
            break;
        ++n;
        ++p;
    }
    return n;
}

// ---- CSV fixture -----------------------------------------------------------

// "GPU,index,uuid,name,util,mem_used,mem_total,temp,power,limit,driver"
// "APP,gpu_uuid,pid,name,used_mb". Written by hand, so it has rules of its
// own: no error lines or fields.
static void csv_row(char *line, long len, gpu_snapshot *snap, line_errors *) {
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

// ---- NVIDIA ----------------------------------------------------------------

// The columns of the two queries, as nvidia-smi names them.
constexpr const char *NV_GPU_COLUMNS[] = {
    "index",           "uuid",       "name",        "utilization.gpu", "memory.used", "memory.total",
    "temperature.gpu", "power.draw", "power.limit", "driver_version"};
constexpr const char *NV_APP_COLUMNS[] = {"gpu_uuid", "pid", "process_name", "used_memory"};
constexpr int NV_GPU_FIELDS = sizeof NV_GPU_COLUMNS / sizeof NV_GPU_COLUMNS[0];
constexpr int NV_APP_FIELDS = sizeof NV_APP_COLUMNS / sizeof NV_APP_COLUMNS[0];

// index, uuid, name, utilization.gpu, memory.used, memory.total,
// temperature.gpu, power.draw, power.limit, driver_version. A line of fewer
// fields is what nvidia-smi prints in place of a GPU it cannot read.
void nv_gpu_line(char *line, long len, gpu_snapshot *snap, line_errors *errors) {
    if (fields_in(line, len, NV_GPU_FIELDS) < NV_GPU_FIELDS) {
        note_error_line(errors, line, len);
        return;
    }
    field f[12];
    trimmed_fields(line, len, f, 12);
    gpu_info *g = add_gpu(snap);
    if (!g)
        return;
    fill_gpu(g, f);
    if (!snap->driver[0])
        copy_field(snap->driver, DRIVER_SIZE, f[9]);
    note_error_fields(errors, "GPU ", f[0], f, NV_GPU_COLUMNS);
}

// gpu_uuid, pid, process_name, used_memory
void nv_proc_line(char *line, long len, gpu_snapshot *snap, line_errors *errors) {
    if (fields_in(line, len, NV_APP_FIELDS) < NV_APP_FIELDS) {
        note_error_line(errors, line, len);
        return;
    }
    field f[8];
    trimmed_fields(line, len, f, 8);
    proc_info *p = add_proc(snap);
    if (!p)
        return;
    fill_proc(p, f);
    note_error_fields(errors, "process ", f[1], f, NV_APP_COLUMNS);
}

// The mock file mixes both layouts: "APP," marks a compute-process line.
static void nv_mock_line(char *line, long len, gpu_snapshot *snap, line_errors *errors) {
    if (strncmp(line, "APP,", 4) == 0)
        nv_proc_line(line + 4, len - 4, snap, errors);
    else
        nv_gpu_line(line, len, snap, errors);
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

// rocm-smi reports a value the card lacks as an ERROR too
// ("RSMI_STATUS_NOT_SUPPORTED: This function is not supported in the
// current environment", "fclk clock is unsupported", "has not been
// implemented in this system for this device type"): no error of the node.
constexpr const char *AMD_NOT_AVAILABLE[] = {"not supported", "unsupported", "not been implemented"};

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
// "ERROR: 15 GPU[0]: power: ..." is one of its own failures, on standard
// output in some versions.
void amd_line(char *line, long len, gpu_snapshot *snap, line_errors *errors) {
    if (strncmp(line, "ERROR", 5) == 0) {
        for (const char *na : AMD_NOT_AVAILABLE)
            if (contains_ignoring_case(line, len, na))
                return;
        note_error_line(errors, line, len);
        return;
    }
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

// ---- the sources and the chain ----------------------------------------------

namespace {

// One command of a source.
struct query {
    const char *who; // how the message names it
    const char *command;
    line_handler handler;
};

// A source of telemetry. Its fixture file, when the variable names one,
// stands in for its first query; the second query runs only when the first
// found a GPU.
struct source {
    const char *name;    // the document's source when this one answers
    const char *fixture; // the variable naming the fixture file
    line_rule fixture_lines;
    line_handler fixture_handler;
    query queries[2];
    // Any line that counts settles the request, GPU or not: a CSV fixture of
    // comments alone stands for a node without GPUs.
    bool fixture_settles;
    // When it answers it stands in for the whole node, which is then not
    // probed at all, its PCI bus neither: the CSV fixture, read instead of
    // probing, whose GPUs are none of the bus's.
    bool whole_node;
};

// Tried in this order, the first that answers ends the chain.
constexpr source SOURCES[] = {
    {"mock", "VISTREL_MOCK_CSV", CSV_LINES, csv_row, {}, true, true},
    {"nvidia",
     "VISTREL_MOCK_NVIDIA",
     NV_MOCK_LINES,
     nv_mock_line,
     {{"nvidia-smi", NV_GPU_QUERY, nv_gpu_line}, {"nvidia-smi compute-apps query", NV_APPS_QUERY, nv_proc_line}},
     false,
     false},
    {"amd", "VISTREL_MOCK_ROCM", TOOL_LINES, amd_line, {{"rocm-smi", ROCM_QUERY, amd_line}, {}}, false, false},
};

// At most one attempt per source before one answers, and the answering one's
// second query.
constexpr int MAX_ATTEMPTS = sizeof SOURCES / sizeof SOURCES[0] + 1;

struct attempt_log {
    attempt made[MAX_ATTEMPTS];
    int count;
};

} // namespace

static attempt *next_attempt(attempt_log *log, const char *who, bool is_file) {
    attempt *a = &log->made[log->count++];
    a->who = who;
    a->is_file = is_file;
    return a;
}

// Tries one source: true when it answered.
static bool try_source(const source &src, gpu_snapshot *snap, attempt_log *log) {
    attempt *first;
    if (const char *path = env_nonempty(src.fixture)) {
        // An NVIDIA or ROCm fixture takes part as soon as it is named,
        // whatever it holds; a CSV fixture only when it settles.
        if (!src.fixture_settles)
            snap->mocked = 1;
        first = next_attempt(log, src.fixture, true);
        run_attempt(first, path, src.fixture_lines, src.fixture_handler, snap);
        if (src.fixture_settles) {
            snap->mocked |= first->lines > 0;
            return first->lines > 0;
        }
    } else if (const query &q = src.queries[0]; q.command) {
        first = next_attempt(log, q.who, false);
        run_attempt(first, q.command, TOOL_LINES, q.handler, snap);
    } else {
        return false;
    }
    if (first->lines == 0 || snap->gpu_count == 0)
        return false;
    if (const query &q = src.queries[1]; q.command)
        run_attempt(next_attempt(log, q.who, false), q.command, TOOL_LINES, q.handler, snap);
    return true;
}

// The first of the n sources that answers, or NULL.
static const source *first_answer(const source *sources, int n, gpu_snapshot *snap, attempt_log *log) {
    for (int i = 0; i < n; ++i)
        if (try_source(sources[i], snap, log))
            return &sources[i];
    return nullptr;
}

int collect_mock_csv(gpu_snapshot *snap) {
    attempt_log log{};
    const source *answered = first_answer(SOURCES, 1, snap, &log);
    if (answered)
        settle_outcome(snap, answered->name, log.made, log.count, nullptr);
    return answered != nullptr;
}

void collect_snapshot(gpu_snapshot *snap) {
    // Written first, though they are zero: a page whose first touch is a
    // read is faulted in twice (the zero page, then its copy).
    snap->gpu_count = 0;
    snap->source[0] = '\0';
    attempt_log log{};
    const source *answered = first_answer(SOURCES, sizeof SOURCES / sizeof SOURCES[0], snap, &log);
    if (answered && answered->whole_node) {
        settle_outcome(snap, answered->name, log.made, log.count, nullptr);
        return;
    }
    // After the tools: running nvidia-smi may have loaded the driver, which
    // then holds the GPUs it could take.
    unbound_gpus bus;
    bus.count = platform_unbound_nvidia_gpus(bus.addresses, MAX_GPUS);
    settle_outcome(snap, answered ? answered->name : nullptr, log.made, log.count, &bus);
}

// ---- the outcome -------------------------------------------------------------

namespace {

// What the message tells, most telling first: GPUs on the bus that no
// driver holds (short, and told by nothing else), a tool's own words (a lost
// GPU, a broken driver), then values in error, then a tool that never
// finished or could not start, then one killed, then a bare exit status.
enum finding_rank : unsigned char {
    RANK_UNBOUND_GPU,
    RANK_ERROR_LINE,
    RANK_ERROR_FIELD,
    RANK_NO_ANSWER,
    RANK_SIGNAL,
    RANK_EXIT_STATUS,
    RANKS
};

// One thing the message tells: what an attempt has to say, at most one each,
// and the unbound GPUs.
constexpr int MAX_FINDINGS = MAX_ATTEMPTS + 1;

struct finding {
    finding_rank rank;
    char text[MESSAGE_SIZE];
};

// What separates two findings in the message. A later finding that could
// show less than FINDING_MIN_SHOWN bytes of itself is left out.
constexpr const char *FINDING_SEPARATOR = "; ";
constexpr int FINDING_MIN_SHOWN = 24;

} // namespace

// The rank of what the attempt has to tell; false when it has nothing.
static bool rank_of(const attempt &a, finding_rank *rank) {
    if (a.errors.lines)
        *rank = RANK_ERROR_LINE;
    else if (a.errors.fields)
        *rank = RANK_ERROR_FIELD;
    else if (a.end == ATTEMPT_STOPPED || a.end == ATTEMPT_NOT_STARTED)
        *rank = RANK_NO_ANSWER;
    else if (a.end == ATTEMPT_SIGNALLED)
        *rank = RANK_SIGNAL;
    else if (a.end == ATTEMPT_EXITED && a.status != 0)
        *rank = RANK_EXIT_STATUS;
    else
        return false;
    return true;
}

// " (and 3 more)" into text; its length. Added whole or not at all: "(and
// 1" would read as part of the text before it.
static int more_text(char (&text)[32], int more) {
    text_out t = text_into(text, sizeof text);
    add_str(&t, " (and ");
    add_uint(&t, static_cast<unsigned long>(more), 10);
    add_str(&t, " more)");
    return t.len;
}

// "nvidia-smi: exit status 9: NVIDIA-SMI has failed because it couldn't
// communicate with the NVIDIA driver. ...", "nvidia-smi: stopped after 10 s
// (1 GPU printed before)", "Could not start rocm-smi: fork: ...". An error
// text that an earlier attempt told already is not told again.
static bool tell_attempt(const attempt *attempts, int i, finding *f) {
    const attempt &a = attempts[i];
    if (!rank_of(a, &f->rank))
        return false;
    text_out out = text_into(f->text, MESSAGE_SIZE);
    if (a.end == ATTEMPT_NOT_STARTED) {
        add_str(&out, "Could not start ");
        add_str(&out, a.who);
        add_str(&out, ": ");
        add_str(&out, a.errors.first);
        return true;
    }
    add_str(&out, a.who);
    bool ending = true;
    if (a.end == ATTEMPT_STOPPED) {
        add_str(&out, ": stopped after ");
        add_uint(&out, VENDOR_TOOL_TIMEOUT_MS / 1000, 10);
        add_str(&out, " s");
        if (a.gpus > 0) {
            add_str(&out, " (");
            add_uint(&out, static_cast<unsigned long>(a.gpus), 10);
            add_str(&out, a.gpus == 1 ? " GPU " : " GPUs ");
            add_str(&out, a.is_file ? "read before)" : "printed before)");
        }
    } else if (a.end == ATTEMPT_SIGNALLED) {
        add_str(&out, ": killed by signal ");
        add_uint(&out, a.status, 10);
    } else if (a.end == ATTEMPT_EXITED && a.status != 0) {
        // Windows ends a crashed program with an NTSTATUS, read in hexadecimal.
        add_str(&out, a.status > 0xFFFF ? ": exit status 0x" : ": exit status ");
        add_uint(&out, a.status, a.status > 0xFFFF ? 16 : 10);
    } else {
        ending = false;
    }
    const int errors = a.errors.lines + a.errors.fields;
    if (errors == 0)
        return true;
    for (int j = 0; j < i; ++j)
        if (attempts[j].errors.lines + attempts[j].errors.fields > 0 &&
            strcmp(attempts[j].errors.first, a.errors.first) == 0) {
            if (!ending)
                add_str(&out, ": the same error");
            return true;
        }
    add_str(&out, ": ");
    add_str(&out, a.errors.first);
    char more[32];
    if (errors > 1 && MESSAGE_SIZE - 1 - out.len >= more_text(more, errors - 1))
        add_str(&out, more);
    return true;
}

// "NVIDIA GPU on the PCI bus without a driver: 0000:0b:00.0", "NVIDIA GPUs
// on the PCI bus without a driver: 0000:0b:00.0, 0000:41:00.0": whole
// addresses only, and "(and N more)" for those the field cannot hold.
static void tell_unbound(const unbound_gpus &bus, finding *f) {
    f->rank = RANK_UNBOUND_GPU;
    text_out out = text_into(f->text, MESSAGE_SIZE);
    add_str(&out, bus.count == 1 ? "NVIDIA GPU" : "NVIDIA GPUs");
    add_str(&out, " on the PCI bus without a driver: ");
    for (int i = 0; i < bus.count; ++i) {
        // Each address leaves room for naming how many come after it.
        char more[32];
        const int after = bus.count - i - 1;
        const int reserved = after ? more_text(more, after) : 0;
        const char *address = i < MAX_GPUS ? bus.addresses[i] : nullptr;
        if (!address || MESSAGE_SIZE - 1 - out.len < (i ? 2 : 0) + static_cast<int>(strlen(address)) + reserved) {
            more_text(more, after + 1);
            add_str(&out, more);
            return;
        }
        if (i)
            add_str(&out, ", ");
        add_str(&out, address);
    }
}

// The findings joined, most telling first and in the order of the attempts
// within a rank, as far as the field holds them.
static void write_message(gpu_snapshot *snap, const finding *found, int count) {
    text_out out = text_into(snap->message, MESSAGE_SIZE);
    const int separator = static_cast<int>(strlen(FINDING_SEPARATOR));
    for (int rank = 0; rank < RANKS; ++rank)
        for (int i = 0; i < count; ++i) {
            if (found[i].rank != rank)
                continue;
            if (out.len > 0) {
                if (MESSAGE_SIZE - 1 - out.len < separator + FINDING_MIN_SHOWN)
                    return;
                add_str(&out, FINDING_SEPARATOR);
            }
            add_str(&out, found[i].text);
        }
}

void settle_outcome(gpu_snapshot *snap, const char *answered, const attempt *attempts, int count,
                    const unbound_gpus *bus) {
    copy_str(snap->source, SOURCE_SIZE, answered ? answered : "none");
    snap->available = answered && snap->gpu_count > 0;
    finding found[MAX_FINDINGS];
    int n = 0;
    for (int i = 0; i < count && n < MAX_FINDINGS - 1; ++i)
        n += tell_attempt(attempts, i, &found[n]);
    if (bus && bus->count > 0)
        tell_unbound(*bus, &found[n++]);
    if (n > 0)
        write_message(snap, found, n);
    else
        copy_str(snap->message, MESSAGE_SIZE, snap->available ? "" : NO_GPU_MESSAGE);
}
