// The JSON documents, written through the output unit from what the front
// hands over: the metrics document from a filled snapshot, the info
// document and the error document for an unknown action.
#pragma once

#include "snapshot.h"

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
