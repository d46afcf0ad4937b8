// What the platform files share; nothing outside them includes this.
#pragma once

// Standard output is fully buffered in static storage: stdio would otherwise
// take its buffer from the heap on the first write.
extern char platform_out_buf[1 << 16];

// After a command is killed, a process stuck inside the GPU driver may not
// die at once (even SIGKILL waits for the driver call to return). The request
// waits this long for it and then answers without it.
constexpr int KILL_GRACE_MS = 1500;

// Room for the environment a tool inherits; a longer one is cut.
constexpr int MAX_TOOL_ENV = 1024;

// True for the variables that carry the request or the node password, which
// a vendor tool never gets. entry is "NAME=value" or a bare name.
bool is_request_variable(const char *entry);
