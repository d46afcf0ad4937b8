// Text eight bytes at a time: a word loaded from any address, and masks that
// mark, in the high bit of each byte, the bytes of a word that have some
// property. Every mask is exact for each byte (no carry runs from one byte
// into the next), so the marks of a word can be visited one after another.
// Little-endian: the first byte in memory is the lowest of the word.
#pragma once

#include <stddef.h>
#include <string.h>

constexpr unsigned long long WORD_ONES = 0x0101010101010101ULL;
constexpr unsigned long long WORD_HIGHS = 0x8080808080808080ULL;

inline unsigned long long load_word(const char *p) {
    unsigned long long w;
    memcpy(&w, p, sizeof w);
    return w;
}

inline void store_word(char *p, unsigned long long w) { memcpy(p, &w, sizeof w); }

// Bytes below bound (at most 0x80).
inline unsigned long long bytes_below(unsigned long long w, unsigned bound) {
    return ~(((w & ~WORD_HIGHS) + WORD_ONES * (0x80 - bound)) | w) & WORD_HIGHS;
}

inline unsigned long long zero_bytes(unsigned long long w) { return bytes_below(w, 1); }

inline unsigned long long bytes_equal(unsigned long long w, char c) {
    return zero_bytes(w ^ (WORD_ONES * static_cast<unsigned char>(c)));
}

// The position in the word of the first marked byte (marks not zero).
inline int first_mark(unsigned long long marks) { return __builtin_ctzll(marks) / 8; }

// Copies n bytes between buffers that do not overlap, without a call: the C
// library's copy starts a string instruction, which for a short text costs
// more than the copy. Whole words, the last one overlapping the one before
// it; fewer than eight bytes in two overlapping halves.
inline void copy_bytes(char *dst, const char *src, size_t n) {
    if (n >= 8) {
        for (size_t i = 0; i + 8 < n; i += 8)
            store_word(dst + i, load_word(src + i));
        store_word(dst + n - 8, load_word(src + n - 8));
    } else if (n >= 4) {
        unsigned int head, tail;
        memcpy(&head, src, 4);
        memcpy(&tail, src + n - 4, 4);
        memcpy(dst, &head, 4);
        memcpy(dst + n - 4, &tail, 4);
    } else if (n > 0) {
        char first = src[0], middle = src[n / 2], last = src[n - 1];
        dst[0] = first;
        dst[n / 2] = middle;
        dst[n - 1] = last;
    }
}
