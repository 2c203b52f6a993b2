// SPDX-License-Identifier: MIT
#include "textproc/tokeniser/tokenise_marks.h"

#include <cstdio>

namespace kvtp_tokenise {

char* put_int(char* p, int64_t v) {
    static const char kPairs[] =
        "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
        "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
        "8081828384858687888990919293949596979899";
    if (v < 0) {
        *p++ = '-';
        v = -v;
    }
    if (v > 0xFFFFFFFF) {
        // Beyond 32 bits (documents over 4 GB): the plain way.
        char tmp[24];
        int n = snprintf(tmp, sizeof tmp, "%lld", static_cast<long long>(v));
        memcpy(p, tmp, static_cast<size_t>(n));
        return p + n;
    }
    uint32_t u = static_cast<uint32_t>(v);
    char* end = p + digit_count(u);
    char* t = end;
    while (u >= 100) {
        const uint32_t r = u % 100;
        u /= 100;
        t -= 2;
        t[0] = kPairs[2 * r];
        t[1] = kPairs[2 * r + 1];
    }
    if (u >= 10) {
        t[-2] = kPairs[2 * u];
        t[-1] = kPairs[2 * u + 1];
    } else {
        t[-1] = static_cast<char>('0' + u);
    }
    return end;
}

}  // namespace kvtp_tokenise
