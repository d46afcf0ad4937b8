// The header blocks that open the responses, written once. A CGI server
// turns the Status line into the HTTP status and passes the other lines to
// the client as they are.
#pragma once

#define JSON_HEADER_BLOCK                                                                                              \
    "Content-Type: application/json; charset=utf-8\r\n"                                                                \
    "Cache-Control: no-store\r\n"                                                                                      \
    "X-Content-Type-Options: nosniff\r\n"                                                                              \
    "\r\n"

#define HTML_HEADER_BLOCK                                                                                              \
    "Content-Type: text/html; charset=utf-8\r\n"                                                                       \
    "Cache-Control: no-store\r\n"                                                                                      \
    "X-Content-Type-Options: nosniff\r\n"                                                                              \
    "\r\n"

#define REFUSAL_RESPONSE                                                                                               \
    "Status: 401 Unauthorized\r\n" JSON_HEADER_BLOCK "{\"ok\":false,\"error\":\"invalid node password\"}\n"

static_assert(sizeof JSON_HEADER_BLOCK - 1 == 107, "the JSON header block is 107 bytes");
static_assert(sizeof HTML_HEADER_BLOCK - 1 == 100, "the HTML header block is 100 bytes");
static_assert(sizeof REFUSAL_RESPONSE - 1 == 178, "the refusal is 178 bytes");
