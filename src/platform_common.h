// What the platform files share; nothing outside them includes this.
#pragma once

// After a command is killed, a process stuck inside the GPU driver may not
// die at once (even SIGKILL waits for the driver call to return). The request
// waits this long for it and then answers without it.
constexpr int KILL_GRACE_MS = 1500;

// Once a command's interpreter has ended, its output is waited for only this
// long after the last byte: a process it left behind may hold the pipe open
// without ever writing.
constexpr int QUIET_AFTER_EXIT_MS = 150;

// True for the variables that carry the request or the node password, which
// a vendor tool never gets. entry is "NAME=value" or a bare name.
bool is_request_variable(const char *entry);

// Records in the stream that its command could not be started, and why: the
// step that failed ("fork", "/bin/sh", "CreateProcess") and the system's text
// for the error. Returns false, for platform_open_cmd to return.
bool start_failed(platform_stream *s, const char *step, const char *reason);
