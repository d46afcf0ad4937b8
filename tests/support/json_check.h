// A small strict JSON reader for the tests and fuzz targets: RFC 8259
// grammar, no extensions, no duplicate keys, no raw control bytes in strings,
// a depth limit. It builds a plain tree so a test can look at the values it
// cares about. No exceptions: parse() reports failure with a position.
#pragma once

#include <cctype>
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace jcheck {

// The value of a hexadecimal digit in either case, or -1. Written apart
// from the program's own decoding, which the tests check against it.
inline int hex_digit(int c) {
    const char *digits = "0123456789abcdef";
    for (int v = 0; v < 16; ++v)
        if (c == digits[v] || c == std::toupper(digits[v]))
            return v;
    return -1;
}

struct value {
    enum kind_t { null_v, bool_v, number_v, string_v, array_v, object_v } kind = null_v;
    bool flag = false;                                  // bool_v
    std::string text;                                   // string_v: decoded bytes; number_v: the literal
    std::vector<value> items;                           // array_v
    std::vector<std::pair<std::string, value>> members; // object_v, in document order

    // The member called key of an object, or nullptr.
    const value *get(const std::string &key) const {
        for (const auto &m : members)
            if (m.first == key)
                return &m.second;
        return nullptr;
    }
};

class reader {
  public:
    // What a string may hold in bytes of 0x80 and above: nothing, valid UTF-8
    // only, or any such byte (the program passes names through as bytes).
    enum high_bytes { refuse, utf8, any };

    // Reads exactly one JSON value spanning the whole text (blanks allowed
    // around it).
    bool parse(const std::string &text, value *out, high_bytes high = utf8) {
        s_ = text.data();
        n_ = text.size();
        i_ = 0;
        high_ = high;
        error_.clear();
        skip_ws();
        if (!read_value(out, 0))
            return false;
        skip_ws();
        if (i_ != n_)
            return fail("text after the value");
        return true;
    }

    const std::string &error() const { return error_; }
    size_t position() const { return i_; }

  private:
    static constexpr int MAX_DEPTH = 64;
    const char *s_ = nullptr;
    size_t n_ = 0, i_ = 0;
    high_bytes high_ = utf8;
    std::string error_;

    bool fail(const char *why) {
        error_ = std::string(why) + " at byte " + std::to_string(i_);
        return false;
    }
    int peek() const { return i_ < n_ ? static_cast<unsigned char>(s_[i_]) : -1; }
    void skip_ws() {
        while (i_ < n_ && (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\n' || s_[i_] == '\r'))
            ++i_;
    }
    bool literal(const char *word) {
        size_t k = 0;
        for (; word[k]; ++k)
            if (i_ + k >= n_ || s_[i_ + k] != word[k])
                return fail("bad literal");
        i_ += k;
        return true;
    }

    bool read_value(value *v, int depth) {
        if (depth > MAX_DEPTH)
            return fail("nesting too deep");
        int c = peek();
        switch (c) {
        case '{': return read_object(v, depth);
        case '[': return read_array(v, depth);
        case '"': v->kind = value::string_v; return read_string(&v->text);
        case 't':
            v->kind = value::bool_v;
            v->flag = true;
            return literal("true");
        case 'f':
            v->kind = value::bool_v;
            v->flag = false;
            return literal("false");
        case 'n': v->kind = value::null_v; return literal("null");
        default:
            if (c == '-' || (c >= '0' && c <= '9')) {
                v->kind = value::number_v;
                return read_number(&v->text);
            }
            return fail("unexpected byte");
        }
    }

    // Steps over c when it comes next.
    bool eat(int c) {
        if (peek() != c)
            return false;
        ++i_;
        return true;
    }

    // The items of an object or array, separated by commas, up to the closing
    // byte; the opening one is next.
    template <typename F> bool read_items(char close, const char *no_end, F read_item) {
        ++i_;
        skip_ws();
        if (eat(close))
            return true;
        for (;;) {
            skip_ws();
            if (!read_item())
                return false;
            skip_ws();
            if (eat(close))
                return true;
            if (!eat(','))
                return fail(no_end);
        }
    }

    bool read_object(value *v, int depth) {
        v->kind = value::object_v;
        return read_items('}', "comma or closing brace expected", [&] {
            if (peek() != '"')
                return fail("object key expected");
            std::string key;
            if (!read_string(&key))
                return false;
            for (const auto &m : v->members)
                if (m.first == key)
                    return fail("duplicate key");
            skip_ws();
            if (!eat(':'))
                return fail("colon expected");
            skip_ws();
            v->members.emplace_back(key, value{});
            return read_value(&v->members.back().second, depth + 1);
        });
    }

    bool read_array(value *v, int depth) {
        v->kind = value::array_v;
        return read_items(']', "comma or closing bracket expected", [&] {
            v->items.emplace_back();
            return read_value(&v->items.back(), depth + 1);
        });
    }

    bool digits() {
        size_t start = i_;
        while (i_ < n_ && s_[i_] >= '0' && s_[i_] <= '9')
            ++i_;
        return i_ > start;
    }

    bool read_number(std::string *out) {
        size_t start = i_;
        if (peek() == '-')
            ++i_;
        if (peek() == '0') {
            ++i_;
        } else if (!digits()) {
            return fail("digit expected");
        }
        if (peek() == '.') {
            ++i_;
            if (!digits())
                return fail("digit expected after the decimal point");
        }
        if (peek() == 'e' || peek() == 'E') {
            ++i_;
            if (peek() == '+' || peek() == '-')
                ++i_;
            if (!digits())
                return fail("digit expected in the exponent");
        }
        out->assign(s_ + start, i_ - start);
        return true;
    }

    bool read_hex4(unsigned *cp) {
        *cp = 0;
        for (int k = 0; k < 4; ++k) {
            int h = hex_digit(peek());
            if (h < 0)
                return fail("bad \\u escape");
            *cp = *cp << 4 | static_cast<unsigned>(h);
            ++i_;
        }
        return true;
    }

    static void put_utf8(std::string *out, unsigned cp) {
        if (cp < 0x80) {
            out->push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out->push_back(static_cast<char>(0xC0 | cp >> 6));
            out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out->push_back(static_cast<char>(0xE0 | cp >> 12));
            out->push_back(static_cast<char>(0x80 | (cp >> 6 & 0x3F)));
            out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out->push_back(static_cast<char>(0xF0 | cp >> 18));
            out->push_back(static_cast<char>(0x80 | (cp >> 12 & 0x3F)));
            out->push_back(static_cast<char>(0x80 | (cp >> 6 & 0x3F)));
            out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }

    // One UTF-8 sequence starting at a byte of 0x80 or above.
    bool read_utf8(std::string *out) {
        unsigned char b = static_cast<unsigned char>(s_[i_]);
        int more = b >= 0xC2 && b <= 0xDF ? 1 : b >= 0xE0 && b <= 0xEF ? 2 : b >= 0xF0 && b <= 0xF4 ? 3 : -1;
        if (more < 0)
            return fail("bad UTF-8 lead byte");
        unsigned cp = b & (more == 1 ? 0x1F : more == 2 ? 0x0F : 0x07);
        for (int k = 1; k <= more; ++k) {
            if (i_ + static_cast<size_t>(k) >= n_)
                return fail("truncated UTF-8");
            unsigned char cb = static_cast<unsigned char>(s_[i_ + static_cast<size_t>(k)]);
            if ((cb & 0xC0) != 0x80)
                return fail("bad UTF-8 continuation");
            cp = cp << 6 | (cb & 0x3F);
        }
        if ((more == 2 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) ||
            (more == 3 && (cp < 0x10000 || cp > 0x10FFFF)))
            return fail("bad UTF-8 code point");
        out->append(s_ + i_, static_cast<size_t>(more) + 1);
        i_ += static_cast<size_t>(more) + 1;
        return true;
    }

    bool read_string(std::string *out) {
        ++i_; // opening quote
        for (;;) {
            int c = peek();
            if (c < 0)
                return fail("unterminated string");
            if (c == '"') {
                ++i_;
                return true;
            }
            if (c < 0x20)
                return fail("raw control byte in a string");
            if (c >= 0x80) {
                if (high_ == refuse)
                    return fail("byte above 0x7F");
                if (high_ == any) {
                    out->push_back(static_cast<char>(c));
                    ++i_;
                    continue;
                }
                if (!read_utf8(out))
                    return false;
                continue;
            }
            if (c != '\\') {
                out->push_back(static_cast<char>(c));
                ++i_;
                continue;
            }
            ++i_;
            int e = peek();
            ++i_;
            switch (e) {
            case '"': out->push_back('"'); break;
            case '\\': out->push_back('\\'); break;
            case '/': out->push_back('/'); break;
            case 'b': out->push_back('\b'); break;
            case 'f': out->push_back('\f'); break;
            case 'n': out->push_back('\n'); break;
            case 'r': out->push_back('\r'); break;
            case 't': out->push_back('\t'); break;
            case 'u': {
                unsigned cp;
                if (!read_hex4(&cp))
                    return false;
                if (cp >= 0xDC00 && cp <= 0xDFFF)
                    return fail("lone low surrogate");
                if (cp >= 0xD800 && cp <= 0xDBFF) {
                    unsigned lo;
                    if (peek() != '\\' || i_ + 1 >= n_ || s_[i_ + 1] != 'u')
                        return fail("lone high surrogate");
                    i_ += 2;
                    if (!read_hex4(&lo))
                        return false;
                    if (lo < 0xDC00 || lo > 0xDFFF)
                        return fail("bad low surrogate");
                    cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
                }
                put_utf8(out, cp);
                break;
            }
            default: --i_; return fail("bad escape");
            }
        }
    }
};

// The text as json_str must write it: control bytes other than TAB, LF and
// CR dropped (those three survive as escapes and decode back to themselves),
// well-formed UTF-8 characters kept, and every other byte replaced by U+FFFD.
inline std::string as_json_str_writes(const std::string &s) {
    // The well-formed byte sequences of the Unicode standard (table 3-7): a
    // lead byte range, then the range of each following byte.
    struct form {
        unsigned char lead_lo, lead_hi;
        int len;
        unsigned char second_lo, second_hi;
    };
    static const form forms[] = {{0xC2, 0xDF, 2, 0x80, 0xBF}, {0xE0, 0xE0, 3, 0xA0, 0xBF}, {0xE1, 0xEC, 3, 0x80, 0xBF},
                                 {0xED, 0xED, 3, 0x80, 0x9F}, {0xEE, 0xEF, 3, 0x80, 0xBF}, {0xF0, 0xF0, 4, 0x90, 0xBF},
                                 {0xF1, 0xF3, 4, 0x80, 0xBF}, {0xF4, 0xF4, 4, 0x80, 0x8F}};
    auto byte = [&s](size_t i) { return i < s.size() ? static_cast<unsigned char>(s[i]) : 0; };
    std::string r;
    for (size_t i = 0; i < s.size();) {
        unsigned char c = byte(i);
        if (c < 0x80) {
            if (c >= 0x20 || c == '\t' || c == '\n' || c == '\r')
                r.push_back(static_cast<char>(c));
            ++i;
            continue;
        }
        int len = 0;
        for (const form &f : forms) {
            if (c < f.lead_lo || c > f.lead_hi || byte(i + 1) < f.second_lo || byte(i + 1) > f.second_hi)
                continue;
            len = f.len;
            for (int k = 2; k < f.len; ++k)
                if (byte(i + k) < 0x80 || byte(i + k) > 0xBF)
                    len = 0;
        }
        if (len) {
            r.append(s, i, static_cast<size_t>(len));
            i += static_cast<size_t>(len);
        } else {
            r += "\xEF\xBF\xBD";
            ++i;
        }
    }
    return r;
}

} // namespace jcheck
