// SPDX-License-Identifier: MIT
// UTF-8 helpers private to the tokeniser. "Valid" is the strict definition
// of the regular-expression engine: no overlong forms, no surrogates, nothing
// above U+10FFFF. Every function is bounded by an explicit end pointer.
#ifndef VRELAY_TEXTPROC_TOKENISE_UTF8_H
#define VRELAY_TEXTPROC_TOKENISE_UTF8_H

#include <cstdint>
#include <cstring>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace kvtp_tokenise {

inline bool is_cont(unsigned char c) {
    return (c & 0xC0) == 0x80;
}

// Range of the second byte allowed after a lead byte.
inline void second_range(unsigned char lead, unsigned char* lo, unsigned char* hi) {
    *lo = 0x80;
    *hi = 0xBF;
    if (lead == 0xE0) {
        *lo = 0xA0;
    } else if (lead == 0xED) {
        *hi = 0x9F;
    } else if (lead == 0xF0) {
        *lo = 0x90;
    } else if (lead == 0xF4) {
        *hi = 0x8F;
    }
}

// Sequence length a valid lead byte announces; 0 for bytes that never lead.
inline int lead_length(unsigned char c) {
    if (c < 0x80)
        return 1;
    if (c < 0xC2)
        return 0;
    if (c < 0xE0)
        return 2;
    if (c < 0xF0)
        return 3;
    if (c < 0xF5)
        return 4;
    return 0;
}

// Length of the valid sequence at p, or 0 when it is invalid or cut by end.
inline int valid_seq(const unsigned char* p, const unsigned char* end) {
    unsigned char c = p[0];
    if (c < 0x80)
        return 1;
    int n = lead_length(c);
    if (n == 0 || end - p < n)
        return 0;
    unsigned char lo, hi;
    second_range(c, &lo, &hi);
    if (p[1] < lo || p[1] > hi)
        return 0;
    for (int i = 2; i < n; ++i) {
        if (!is_cont(p[i]))
            return 0;
    }
    return n;
}

// How many bytes at p (at least 1) form the longest prefix of a valid
// sequence: the unit replaced by one "_" when the bytes are invalid.
inline int invalid_seq(const unsigned char* p, const unsigned char* end) {
    int n = lead_length(p[0]);
    if (n <= 1)
        return 1;
    unsigned char lo, hi;
    second_range(p[0], &lo, &hi);
    int k = 1;
    if (p + 1 < end && p[1] >= lo && p[1] <= hi) {
        k = 2;
        while (k < n && p + k < end && is_cont(p[k]))
            ++k;
    }
    return k < n ? k : 1;
}

// True when [p, end) is a proper prefix of some valid sequence: more bytes
// may still complete it.
inline bool incomplete_seq(const unsigned char* p, const unsigned char* end) {
    int n = lead_length(p[0]);
    if (n <= 1 || end - p >= n)
        return false;
    unsigned char lo, hi;
    second_range(p[0], &lo, &hi);
    if (end - p >= 2 && (p[1] < lo || p[1] > hi))
        return false;
    for (const unsigned char* q = p + 2; q < end; ++q) {
        if (!is_cont(*q))
            return false;
    }
    return true;
}

// Code point of a valid sequence of n bytes.
inline uint32_t decode(const unsigned char* p, int n) {
    switch (n) {
        case 1:
            return p[0];
        case 2:
            return ((p[0] & 0x1Fu) << 6) | (p[1] & 0x3Fu);
        case 3:
            return ((p[0] & 0x0Fu) << 12) | ((p[1] & 0x3Fu) << 6) | (p[2] & 0x3Fu);
        default:
            return ((p[0] & 0x07u) << 18) | ((p[1] & 0x3Fu) << 12) | ((p[2] & 0x3Fu) << 6) |
                   (p[3] & 0x3Fu);
    }
}

// Writes the encoding of cp (at most U+10FFFF) to out; returns its length.
inline int encode(uint32_t cp, char* out) {
    if (cp < 0x80) {
        out[0] = static_cast<char>(cp);
        return 1;
    }
    if (cp < 0x800) {
        out[0] = static_cast<char>(0xC0 | (cp >> 6));
        out[1] = static_cast<char>(0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp < 0x10000) {
        out[0] = static_cast<char>(0xE0 | (cp >> 12));
        out[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out[2] = static_cast<char>(0x80 | (cp & 0x3F));
        return 3;
    }
    out[0] = static_cast<char>(0xF0 | (cp >> 18));
    out[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out[3] = static_cast<char>(0x80 | (cp & 0x3F));
    return 4;
}

// Offset of the first invalid sequence in [from, to) of s, or -1. With
// nul_invalid a NUL byte counts as invalid too (the encoding check treats an
// embedded NUL as a sign of another encoding).
inline int32_t first_invalid(const char* s, int32_t from, int32_t to, bool nul_invalid) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(s) + from;
    const unsigned char* end = reinterpret_cast<const unsigned char*>(s) + to;
    const uint64_t high = 0x8080808080808080ull;
    const uint64_t ones = 0x0101010101010101ull;
    while (p < end) {
#ifdef __SSE2__
        // Sixteen bytes at a time up to the first byte that is not ASCII (or
        // a NUL that counts as invalid).
        while (end - p >= 16) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
            unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(v));
            if (nul_invalid)
                mask |= static_cast<unsigned>(
                    _mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_setzero_si128())));
            if (mask != 0) {
                p += __builtin_ctz(mask);
                break;
            }
            p += 16;
        }
        if (p >= end)
            break;
#endif
        if (end - p >= 8) {
            uint64_t w;
            memcpy(&w, p, 8);
            bool has_nul = nul_invalid && ((w - ones) & ~w & high) != 0;
            if ((w & high) == 0 && !has_nul) {
                p += 8;
                continue;
            }
        }
        unsigned char c = *p;
        if (c < 0x80) {
            if (c == 0 && nul_invalid)
                break;
            ++p;
            continue;
        }
        int n = valid_seq(p, end);
        if (n == 0)
            break;
        p += n;
    }
    return p < end ? static_cast<int32_t>(p - reinterpret_cast<const unsigned char*>(s)) : -1;
}

}  // namespace kvtp_tokenise

#endif  // VRELAY_TEXTPROC_TOKENISE_UTF8_H
