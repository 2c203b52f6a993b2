// SPDX-License-Identifier: MIT
// UTF-8 routines. None of them reads past a NUL byte.
#include <cstring>

#include "textproc/toolkit/string_ops.h"

namespace {

bool is_cont(unsigned char b) {
    return (b & 0xC0) == 0x80;
}

unsigned char byte_at(const char* s, int32_t i) {
    return static_cast<unsigned char>(s[i]);
}

}  // namespace

int32_t KVTP_u8_seqlen(unsigned char lead) {
    if (lead < 0xC0)
        return 1;
    if (lead < 0xE0)
        return 2;
    if (lead < 0xF0)
        return 3;
    if (lead < 0xF8)
        return 4;
    if (lead < 0xFC)
        return 5;
    return 6;
}

int32_t KVTP_u8_inc(const char* s, int32_t* i) {
    if (i == nullptr)
        return 0;
    if (s == nullptr)
        return ++*i;
    const bool at_nul = s[*i] == '\0';
    ++*i;
    if (at_nul)
        return *i;
    for (int k = 1; k < 4 && is_cont(byte_at(s, *i)); ++k)
        ++*i;
    return *i;
}

int32_t KVTP_u8_dec(const char* s, int32_t* i, int32_t len) {
    if (i == nullptr)
        return 0;
    if (s == nullptr || *i < 1 || *i > len)
        return --*i;
    --*i;
    for (int k = 1; k < 4 && *i > 0 && is_cont(byte_at(s, *i)); ++k)
        --*i;
    return *i;
}

int32_t KVTP_u8_strlen(const char* s) {
    if (s == nullptr)
        return 0;
    int32_t n = 0;
    for (int32_t i = 0; s[i] != '\0'; KVTP_u8_inc(s, &i))
        ++n;
    return n;
}

const char* KVTP_u8_at(const char* s, int32_t n) {
    if (s == nullptr)
        return nullptr;
    int32_t i = 0;
    for (int32_t k = 0; k < n && s[i] != '\0'; ++k)
        KVTP_u8_inc(s, &i);
    return s + i;
}

int32_t KVTP_u8_bytelen(const char* s, int32_t n) {
    if (s == nullptr || n < 1)
        return 0;
    int32_t i = 0;
    for (int32_t k = 0; k < n; ++k) {
        if (s[i] == '\0')
            return 0;
        KVTP_u8_inc(s, &i);
    }
    return i;
}

int32_t KVTP_check_utf8(const char* s, int32_t len, int32_t* bad_len) {
    int32_t scratch = 0;
    int32_t& bad = bad_len != nullptr ? *bad_len : scratch;
    bad = -1;
    if (s == nullptr || len < 1)
        return -1;
    int32_t i = 0;
    while (i < len) {
        const unsigned char c = byte_at(s, i);
        if (c == 0) {
            bad = 1;
            return i;
        }
        if (c < 0x80) {
            ++i;
            continue;
        }
        if (c < 0xC2) {  // stray continuation or overlong two-byte lead
            bad = 1;
            return i;
        }
        if (c == 0xFF) {
            bad = 2;
            return i;
        }
        const int32_t cont = KVTP_u8_seqlen(c) - 1;
        const int32_t left = len - i;
        if (c > 0xF4 || cont + 1 > left) {
            bad = left < cont ? left : cont;
            return i;
        }
        const unsigned char c1 = byte_at(s, i + 1);
        if (!is_cont(c1)) {
            bad = cont;
            return i;
        }
        if ((c == 0xE0 && c1 < 0xA0) || (c == 0xED && c1 > 0x9F)) {
            bad = 2;
            return i;
        }
        if ((c == 0xF0 && c1 < 0x90) || (c == 0xF4 && c1 > 0x8F)) {
            bad = 3;
            return i;
        }
        for (int32_t k = 2; k <= cont; ++k) {
            if (!is_cont(byte_at(s, i + k))) {
                bad = cont - k + 1;
                return i;
            }
        }
        i += cont + 1;
    }
    return -1;
}

int KVTP_utf82ISO88591(unsigned char c, char* out) {
    if (out == nullptr)
        return 0;
    std::memset(out, 0, 3);
    if (c < 0x80) {
        out[0] = static_cast<char>(c);
        return 0;
    }
    out[0] = static_cast<char>(0xC0 | (c >> 6));
    out[1] = static_cast<char>(0x80 | (c & 0x3F));
    return 1;
}

int KVTP_utf82unicode(uint32_t* cp, const char* s) {
    uint32_t scratch = 0;
    uint32_t& out = cp != nullptr ? *cp : scratch;
    out = 0;
    if (s == nullptr)
        return 0;
    const unsigned char c = byte_at(s, 0);
    if (c < 0x80) {
        out = c;
        return 1;
    }
    if (c < 0xC0 || c > 0xF7)
        return 0;
    const int cont = KVTP_u8_seqlen(c) - 1;
    uint32_t value = c & (0x3F >> cont);
    for (int k = 1; k <= cont; ++k) {
        const unsigned char b = byte_at(s, k);
        if (!is_cont(b))
            return 0;
        value = (value << 6) | (b & 0x3F);
    }
    out = value;
    return 1;
}

int KVTP_unicode2utf8(uint32_t cp, char* out) {
    if (out == nullptr)
        return 0;
    std::memset(out, 0, 5);
    if (cp > 0x10FFFF)
        return 0;
    if (cp < 0x80) {
        out[0] = static_cast<char>(cp);
    } else if (cp < 0x800) {
        out[0] = static_cast<char>(0xC0 | (cp >> 6));
        out[1] = static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out[0] = static_cast<char>(0xE0 | (cp >> 12));
        out[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out[2] = static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out[0] = static_cast<char>(0xF0 | (cp >> 18));
        out[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out[3] = static_cast<char>(0x80 | (cp & 0x3F));
    }
    return 1;
}

int32_t KVTP_next_utf8_char(const char* s, char* out) {
    if (out == nullptr)
        return 0;
    out[0] = '\0';
    if (s == nullptr)
        return 0;
    const int32_t n = KVTP_u8_seqlen(byte_at(s, 0));
    int32_t k = 0;
    while (k < n && s[k] != '\0') {
        out[k] = s[k];
        ++k;
    }
    out[k] = '\0';
    return k;
}

int32_t KVTP_utf8_strncpy(char* dst, const char* src, int32_t n) {
    if (dst == nullptr || n < 1)
        return 0;
    int32_t written = 0;
    if (src != nullptr) {
        for (;;) {
            if (src[written] == '\0')
                break;
            // The character's bytes, cut short by a NUL.
            const int32_t want = KVTP_u8_seqlen(byte_at(src, written));
            int32_t clen = 0;
            while (clen < want && src[written + clen] != '\0')
                ++clen;
            if (written + clen > n - 1)
                break;
            std::memcpy(dst + written, src + written, static_cast<size_t>(clen));
            written += clen;
        }
    }
    dst[written] = '\0';
    return written;
}
