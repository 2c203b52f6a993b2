// SPDX-License-Identifier: MIT
// Fuzzes the UTF-8 validator against the decoder, the encoder and the
// character-stepping routines: on text the validator accepts they must all
// agree; on any text none may read out of bounds.
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "textproc/toolkit/string_ops.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 1 << 16)
        return 0;
    const int32_t len = static_cast<int32_t>(size);
    // Exactly sized copy, so reads past the end are caught.
    std::vector<char> raw(data, data + size);
    std::vector<char> text(data, data + size);
    text.push_back('\0');
    const char* s = text.data();

    int32_t bad = 0;
    const int32_t at = KVTP_check_utf8(raw.data(), len, &bad);
    if (at >= 0) {
        FuzzCheck(at < len && bad >= 1 && bad <= 5);
        // Everything before the problem is valid.
        int32_t bad2 = 0;
        FuzzCheck(KVTP_check_utf8(raw.data(), at, &bad2) == -1 && bad2 == -1);
    } else {
        FuzzCheck(bad == -1);
        // Valid text: decode and re-encode reproduces it byte for byte, and
        // the stepping routines count the same characters.
        int32_t i = 0, chars = 0;
        while (i < len) {
            uint32_t cp = 0;
            FuzzCheck(KVTP_utf82unicode(&cp, s + i) == 1);
            char out[5];
            FuzzCheck(KVTP_unicode2utf8(cp, out) == 1);
            const int32_t n = KVTP_u8_seqlen(static_cast<unsigned char>(s[i]));
            FuzzCheck(std::strlen(out) == static_cast<size_t>(n));
            FuzzCheck(std::memcmp(out, s + i, n) == 0);
            char one[8];
            FuzzCheck(KVTP_next_utf8_char(s + i, one) == n);
            int32_t j = i;
            FuzzCheck(KVTP_u8_inc(s, &j) == i + n);
            int32_t k = j;
            FuzzCheck(KVTP_u8_dec(s, &k, len) == i);
            i += n;
            ++chars;
        }
        FuzzCheck(KVTP_u8_strlen(s) == chars);
        FuzzCheck(KVTP_u8_bytelen(s, chars) == (chars == 0 ? 0 : len));
        FuzzCheck(KVTP_u8_at(s, chars) == s + len);
    }

    // On any input: stepping stays inside the string, copies stay inside
    // their buffers and end on a character boundary.
    const int32_t nul = static_cast<int32_t>(std::strlen(s));
    int32_t i = 0, steps = 0;
    while (i < nul) {
        KVTP_u8_inc(s, &i);
        ++steps;
    }
    FuzzCheck(i <= nul + 1 && KVTP_u8_strlen(s) == steps);
    for (int32_t n = 0; n <= 12 && n <= nul + 1; ++n) {
        std::vector<char> dst(n > 0 ? n : 1, 'Z');
        const int32_t copied = KVTP_utf8_strncpy(dst.data(), s, n);
        FuzzCheck(copied <= (n > 0 ? n - 1 : 0));
        if (n > 0)
            FuzzCheck(dst[copied] == '\0' && std::memcmp(dst.data(), s, copied) == 0);
    }
    for (int32_t k = 0; k < len && k < 64; ++k) {
        uint32_t cp = 0;
        KVTP_utf82unicode(&cp, s + k);
        char iso[3];
        KVTP_utf82ISO88591(static_cast<unsigned char>(s[k]), iso);
        int32_t back = k + 1;
        KVTP_u8_dec(s, &back, len);
        FuzzCheck(back >= 0 && back <= k);
    }
    return 0;
}
