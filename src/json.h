// The JSON side: the header block, string escaping, the metrics document and
// mode_json, which answers every request routed to JSON.
#pragma once

#include "snapshot.h"

constexpr int UTC_STAMP_SIZE = 40;

void json_header();

// Writes s as a JSON string literal. Quote, backslash, LF, CR and TAB are
// escaped; other control bytes are dropped; well-formed UTF-8 characters go
// out as they are, and every byte of no such character as \ufffd, so the
// document is valid UTF-8 whatever the source printed.
void json_str(const char *s);

// Writes the header block and the metrics document for a filled snapshot.
void json_metrics(const gpu_snapshot *snap, const char *utc_stamp);

// Formats seconds since the epoch as UTC, "%Y-%m-%dT%H:%M:%SZ", into out,
// the text glibc's strftime gives for every year.
void utc_format(long long seconds, char out[UTC_STAMP_SIZE]);

// The current time through utc_format; the all-zero time when the clock
// cannot be read.
void utc_stamp(char out[UTC_STAMP_SIZE]);

// Answers a JSON request from its raw query text (may be NULL). Returns 0.
int mode_json(const char *query);
