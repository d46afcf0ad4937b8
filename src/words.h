// Text eight bytes at a time: a word loaded from any address, and masks that
// mark, in the high bit of each byte, the bytes of a word that have some
// property. Every mask is exact for each byte (no carry runs from one byte
// into the next), so the marks of a word can be visited one after another.
// Little-endian: the first byte in memory is the lowest of the word.
#pragma once

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
