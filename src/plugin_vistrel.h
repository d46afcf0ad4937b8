// The request front: the entry, query values, the node password gate and
// the routing of a request to its document or the page.
#pragma once

#include <stddef.h>

// Finds the first name=value pair called name in the raw query text and
// URL-decodes its value into out (size bytes, at least 2). Returns 1 when the
// pair exists, else 0 with out empty.
int get_query_val(const char *query, const char *name, char *out, int size);

// Byte-for-byte equality of the given_len bytes at given and the text
// secret, whose time depends on the lengths only, never on where the first
// difference lies: every byte of given is read, whatever it holds.
bool same_secret(const char *given, size_t given_len, const char *secret);

// True when the node has no password or the request carries it in the
// X-Bot-Password header, a Bearer token or the pwd parameter.
bool node_auth_ok();

// Serves one request, or answers a flag or discovery, from the process
// arguments and the environment. Returns the exit status, always 0.
int plugin_main(int argc, char **argv);
