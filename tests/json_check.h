// A strict JSON syntax check (RFC 8259 grammar, one value, nothing after it
// but a single optional line feed), enough to prove a document parses.
#pragma once

#include <cstring>
#include <string>

struct json_checker {
    const char *p;
    const char *end;

    void ws() {
        while (p < end && (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r'))
            ++p;
    }
    bool lit(const char *word) {
        size_t n = std::strlen(word);
        if (static_cast<size_t>(end - p) < n || std::memcmp(p, word, n) != 0)
            return false;
        p += n;
        return true;
    }
    bool digits() {
        const char *s = p;
        while (p < end && *p >= '0' && *p <= '9')
            ++p;
        return p > s;
    }
    bool number() {
        if (p < end && *p == '-')
            ++p;
        if (p < end && *p == '0')
            ++p;
        else if (!digits())
            return false;
        if (p < end && *p == '.' && (++p, !digits()))
            return false;
        if (p < end && (*p == 'e' || *p == 'E')) {
            ++p;
            if (p < end && (*p == '+' || *p == '-'))
                ++p;
            if (!digits())
                return false;
        }
        return true;
    }
    bool string() {
        if (p >= end || *p != '"')
            return false;
        for (++p; p < end; ++p) {
            unsigned char c = static_cast<unsigned char>(*p);
            if (c == '"') {
                ++p;
                return true;
            }
            if (c < 0x20)
                return false;
            if (c == '\\') {
                if (++p >= end)
                    return false;
                if (*p == 'u') {
                    for (int i = 0; i < 4; ++i)
                        if (++p >= end || !std::strchr("0123456789abcdefABCDEF", *p))
                            return false;
                } else if (!std::strchr("\"\\/bfnrt", *p)) {
                    return false;
                }
            }
        }
        return false;
    }
    bool value(int depth) {
        if (depth > 64)
            return false;
        ws();
        if (p >= end)
            return false;
        bool ok;
        if (*p == '{' || *p == '[') {
            char close = *p == '{' ? '}' : ']';
            bool object = *p == '{';
            ++p;
            ws();
            if (p < end && *p == close) {
                ++p;
                return true;
            }
            for (;;) {
                if (object) {
                    ws();
                    if (!string())
                        return false;
                    ws();
                    if (p >= end || *p++ != ':')
                        return false;
                }
                if (!value(depth + 1))
                    return false;
                ws();
                if (p < end && *p == ',') {
                    ++p;
                    continue;
                }
                ok = p < end && *p == close;
                ++p;
                return ok;
            }
        }
        if (*p == '"')
            return string();
        if (*p == 't')
            return lit("true");
        if (*p == 'f')
            return lit("false");
        if (*p == 'n')
            return lit("null");
        return number();
    }
};

// True when text is one JSON value followed by at most one line feed.
inline bool is_json_document(const std::string &text) {
    json_checker c{text.data(), text.data() + text.size()};
    if (!c.value(0))
        return false;
    if (c.p < c.end && *c.p == '\n')
        ++c.p;
    return c.p == c.end;
}
