// The fixed response texts the black-box suites compare against.
#pragma once

#include <string>

const std::string JSON_HEADER = "Content-Type: application/json; charset=utf-8\r\n"
                                "Cache-Control: no-store\r\n"
                                "X-Content-Type-Options: nosniff\r\n"
                                "\r\n";
const std::string HTML_HEADER = "Content-Type: text/html; charset=utf-8\r\n"
                                "Cache-Control: no-store\r\n"
                                "X-Content-Type-Options: nosniff\r\n"
                                "\r\n";
const std::string REFUSAL =
    "Status: 401 Unauthorized\r\n" + JSON_HEADER + "{\"ok\":false,\"error\":\"invalid node password\"}\n";
