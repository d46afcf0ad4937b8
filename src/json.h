// The JSON documents, written through the output unit from what the front
// hands over: the metrics document from a filled snapshot, the info
// document and the error document for an unknown action.
#pragma once

#include "snapshot.h"

constexpr int UTC_STAMP_SIZE = 40;

// Writes s as a JSON string literal. Quote, backslash, LF, CR and TAB are
// escaped; other control bytes are dropped; well-formed UTF-8 characters go
// out as they are, and every byte of no such character as \ufffd, so the
// document is valid UTF-8 whatever the source printed.
void json_str(const char *s);

// Each writes the JSON header block and then its document. The info and
// error documents list the count names at supported as the actions there are.
void json_metrics(const gpu_snapshot *snap, const char *utc_stamp);
void json_info(const char *utc_stamp, const char *platform, long pid, bool node_auth, const char *const *supported,
               int count);
void json_error(const char *requested_action, const char *const *supported, int count);

// Formats seconds since the epoch as UTC, "%Y-%m-%dT%H:%M:%SZ", into out,
// the text glibc's strftime gives for every year.
void utc_format(long long seconds, char out[UTC_STAMP_SIZE]);

// The current time through utc_format; the all-zero time when the clock
// cannot be read.
void utc_stamp(char out[UTC_STAMP_SIZE]);
