// Telemetry collection: fixtures and vendor tools, read line by line into a
// gpu_snapshot. The sources are tried in the order CSV fixture, NVIDIA, AMD;
// each attempt leaves a record of how it ended, and the outcome (source,
// available, message) is decided from those records in one place.
#pragma once

#include "platform.h"
#include "snapshot.h"

// Every piece of tool output and every fixture line goes through one buffer
// of this size; a longer line arrives in several pieces.
constexpr int LINE_BUF_SIZE = 131072;

// What a line parser found wrong in the lines it was given: lines that a
// tool printed in place of a record, and fields that carry an error instead
// of a value. The first error's text is kept, an error line's before a
// field's: a line printed in place of a GPU says more than a value the GPU
// could not give.
struct line_errors {
    int lines;
    int fields;
    bool first_is_line;
    char first[MESSAGE_SIZE];
};

// The line parsers: one writable, terminated line of len bytes (its line end
// removed), which they may cut in place, the snapshot they fill and where
// they note what they found wrong.
void nv_gpu_line(char *line, long len, gpu_snapshot *snap, line_errors *errors);
void nv_proc_line(char *line, long len, gpu_snapshot *snap, line_errors *errors);
void amd_line(char *line, long len, gpu_snapshot *snap, line_errors *errors);

// How one attempt ended: one fixture file read or one command run.
enum attempt_end : unsigned char {
    ATTEMPT_UNREADABLE,    // the fixture file could not be opened
    ATTEMPT_READ,          // the fixture file was read to its end
    ATTEMPT_NOT_INSTALLED, // the interpreter found no such command, and nothing was printed
    ATTEMPT_NOT_STARTED,   // the command could not be started: errors.first says why
    ATTEMPT_EXITED,        // the command exited with status, 0 when it succeeded
    ATTEMPT_SIGNALLED,     // the command was ended by signal number status
    ATTEMPT_STOPPED,       // the time bound ended the reading, and the command with it
};

struct attempt {
    const char *who;      // how the message names it: "nvidia-smi", "VISTREL_MOCK_ROCM"
    unsigned long status; // see end
    int lines;            // lines that counted: those handed to its parser, and a CSV fixture's comments
    int gpus;             // GPUs it added
    line_errors errors;
    attempt_end end;
    bool is_file;
};

// The NVIDIA GPUs on the PCI bus that no driver holds, which no tool
// reports: how many in all, and the addresses of the first ones in order.
struct unbound_gpus {
    int count;
    char addresses[MAX_GPUS][PCI_ADDRESS_SIZE];
};

// Writes the request's source, available and message from the source that
// answered (its name in the document; NULL when none did), the attempts
// made, in the order they were made, and the GPUs the bus holds unbound
// (NULL: the bus was not looked at). The message tells every failure and
// every such GPU, the most telling first, cut to the field at a character
// boundary; with none to tell it is empty when GPUs are there and the no-GPU
// text otherwise.
void settle_outcome(gpu_snapshot *snap, const char *answered, const attempt *attempts, int count,
                    const unbound_gpus *bus);

// The CSV fixture named by VISTREL_MOCK_CSV alone, as the chain tries it
// first, without looking at the bus: 1 when it settled the request (the
// outcome then written), else 0 with the snapshot untouched. The snapshot
// must be all zero bytes.
int collect_mock_csv(gpu_snapshot *snap);

// Fills the snapshot from the first source that answers, looks at the PCI
// bus for GPUs that no tool can see (unless a CSV fixture answered, which
// stands in for the whole node), and settles the outcome. The snapshot
// must be all zero bytes, as static storage is that nothing has written:
// zeroing it here would write (and fault in) every page of it, where a
// request with few GPUs and processes touches only the first ones.
void collect_snapshot(gpu_snapshot *snap);
