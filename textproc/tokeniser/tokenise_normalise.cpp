// SPDX-License-Identifier: MIT
#include "textproc/tokeniser/tokenise_normalise.h"

#include <utf8proc.h>

#include <cstdlib>
#include <cstring>

namespace {

// Every code point below U+0300 is a starter that is stable under canonical
// composition, so text whose bytes are all below 0xCC (the lead byte of
// U+0300) is already in form C. Form KC changes some of those (U+00A0,
// U+00B2, ...), so there only ASCII is left alone.
bool already_composed(const unsigned char* p, int32_t len, bool compatibility) {
    const unsigned char limit = compatibility ? 0x80 : 0xCC;
    for (int32_t i = 0; i < len; ++i) {
        if (p[i] >= limit)
            return false;
    }
    return true;
}

}  // namespace

int KVTP_utf8_normalise_composed(const char* text, int32_t len, KVTP_dystr* out,
                                 int32_t compatibility) {
    if (out == nullptr)
        return 0;
    if (text == nullptr)
        return 1;
    if (len < 0)
        len = static_cast<int32_t>(strlen(text));
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
    if (len == 0)
        return 1;
    if (already_composed(p, len, compatibility != 0))
        return KVTP_dystr_append(out, text, len);

    utf8proc_uint8_t* composed = nullptr;
    int options = UTF8PROC_STABLE | UTF8PROC_COMPOSE;
    if (compatibility != 0)
        options |= UTF8PROC_COMPAT;
    utf8proc_ssize_t n = utf8proc_map(p, len, &composed, static_cast<utf8proc_option_t>(options));
    if (n < 0) {
        // Invalid UTF-8 or no memory: the text goes out as it came.
        free(composed);
        return KVTP_dystr_append(out, text, len);
    }
    int ok =
        KVTP_dystr_append(out, reinterpret_cast<const char*>(composed), static_cast<int32_t>(n));
    free(composed);
    return ok;
}
