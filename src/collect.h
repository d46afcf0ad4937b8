// Telemetry collection: fixtures and vendor tools, read line by line into a
// gpu_snapshot. The sources are tried in the order CSV fixture, NVIDIA, AMD.
#pragma once

#include "snapshot.h"

// Every piece of tool output and every fixture line goes through one buffer
// of this size; a longer line arrives in several pieces.
constexpr int LINE_BUF_SIZE = 131072;

// The line parsers: one writable, terminated line of len bytes (its line end
// removed), which they may cut in place, and the snapshot they fill.
void nv_gpu_line(char *line, long len, gpu_snapshot *snap);
void nv_proc_line(char *line, long len, gpu_snapshot *snap);
void amd_line(char *line, long len, gpu_snapshot *snap);

// The initial state of every metrics request: all zero, source "none" and the
// no-GPU message.
void snapshot_init(gpu_snapshot *snap);

// The CSV fixture named by VISTREL_MOCK_CSV: 1 when it was read, whatever it
// held.
int collect_mock_csv(gpu_snapshot *snap);

// Fills the snapshot from the first source that succeeds and records the
// outcome in source, available, mocked and message. The snapshot must be
// all zero bytes, as static storage is that nothing has written: zeroing it
// here would write (and fault in) every page of it, where a request with few
// GPUs and processes touches only the first ones.
void collect_snapshot(gpu_snapshot *snap);
