// The CSV fixture reader, through a real file: the input is the fixture.
// collect_mock_csv must settle the request exactly when some line counts,
// leave the snapshot untouched otherwise, take the GPU and process rows a
// plain model of the row rules finds (up to the capacities), keep the
// snapshot invariants, and give a valid metrics document.
#include <cstdint>

#include "fuzz_common.h"

namespace {

gpu_snapshot fresh;
int fixture_fd = -1;
char fixture_path[] = "/tmp/vistrel-fuzz-csv-XXXXXX";

std::string trimmed(const std::string &s) {
    const char *blank = " \t\r\n";
    size_t a = s.find_first_not_of(blank);
    if (a == std::string::npos)
        return "";
    size_t b = s.find_last_not_of(blank);
    return s.substr(a, b - a + 1);
}

struct csv_model {
    bool counted = false;
    int gpus = 0, procs = 0;
};

// Pieces as the reader cuts them: up to and including a line feed, at most
// LINE_BUF_SIZE - 1 bytes; each seen as a C string without its line end.
csv_model model(const std::string &file) {
    csv_model m;
    for (size_t pos = 0; pos < file.size();) {
        size_t lf = file.find('\n', pos);
        size_t len = (lf == std::string::npos ? file.size() : lf + 1) - pos;
        if (len > static_cast<size_t>(LINE_BUF_SIZE - 1))
            len = LINE_BUF_SIZE - 1;
        std::string line = fuzz::cut_at_nul(file.substr(pos, len));
        pos += len;
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
            line.pop_back();
        if (line.empty())
            continue;
        m.counted = true;
        if (line[0] == '#')
            continue;
        size_t fields = 1;
        for (char c : line)
            fields += c == ',';
        std::string kind = trimmed(line.substr(0, line.find(',')));
        if (kind == "GPU" && fields >= 11 && m.gpus < MAX_GPUS)
            ++m.gpus;
        else if (kind == "APP" && fields >= 5 && m.procs < MAX_PROCS)
            ++m.procs;
    }
    return m;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // The file is unlinked at once and reached through /proc/self/fd, so no
    // run, not even one that ends in a crash, leaves it behind.
    fixture_fd = mkstemp(fixture_path);
    if (fixture_fd < 0)
        std::abort();
    unlink(fixture_path);
    setenv("VISTREL_MOCK_CSV", ("/proc/self/fd/" + std::to_string(fixture_fd)).c_str(), 1);
    fresh = gpu_snapshot{};
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (ftruncate(fixture_fd, 0) != 0 || (size > 0 && pwrite(fixture_fd, data, size, 0) != static_cast<ssize_t>(size)))
        std::abort();
    gpu_snapshot &snap = fuzz::fresh_snapshot();
    int settled = collect_mock_csv(&snap);
    fuzz::check_snapshot(snap);
    csv_model m = model(std::string(reinterpret_cast<const char *>(data), size));
    FUZZ_CHECK(settled == (m.counted ? 1 : 0), "result %d, model %d", settled, m.counted);
    if (!settled) {
        // Both were set up as a whole from one zeroed record, padding included.
        // NOLINTNEXTLINE(bugprone-suspicious-memory-comparison)
        FUZZ_CHECK(std::memcmp(&snap, &fresh, sizeof snap) == 0, "no line counted but the snapshot changed");
        return 0;
    }
    FUZZ_CHECK(snap.gpu_count == m.gpus && snap.proc_count == m.procs, "rows %d/%d, model %d/%d", snap.gpu_count,
               snap.proc_count, m.gpus, m.procs);
    FUZZ_CHECK(snap.mocked == 1 && std::strcmp(snap.source, "mock") == 0, "outcome is not mock");
    FUZZ_CHECK(snap.available == (snap.gpu_count > 0), "available %d with %d GPUs", snap.available, snap.gpu_count);
    FUZZ_CHECK(std::strcmp(snap.message, snap.gpu_count > 0 ? "" : NO_GPU_MESSAGE) == 0, "message \"%s\"",
               snap.message);
    fuzz::check_metrics_document(snap);
    return 0;
}
