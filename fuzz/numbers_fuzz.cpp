// SPDX-License-Identifier: MIT
// Fuzzes the number parsers and printers: no input may read out of bounds or
// overflow, and printed integers and floats read back to the same value.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "textproc/toolkit/string_ops.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > 4096)
        return 0;
    // First byte picks the parameters; the rest is the text.
    const int param = data[0];
    const int32_t len = static_cast<int32_t>(size - 1);
    std::vector<char> raw(data + 1, data + size);  // exactly sized, no NUL
    std::vector<char> text(data + 1, data + size);
    text.push_back('\0');
    const char* r = raw.data();

    const int32_t decimals = (param % 24) - 2;
    const int sep = param & 0x80 ? ',' : '.';
    const int32_t counted[] = {
        KVTP_atoi(r, len),
        KVTP_atoisep(r, len, sep),
        KVTP_atoifp(r, len, decimals),
        KVTP_atoi(text.data(), -1),
        KVTP_atoisep(text.data(), -1, sep),
    };
    const int64_t wide[] = {KVTP_atol(r, len), KVTP_atolsep(r, len, sep),
                            KVTP_atol(text.data(), -1)};
    // The 32-bit readers agree with the 64-bit ones where the value fits.
    if (wide[0] >= INT32_MIN && wide[0] <= INT32_MAX)
        FuzzCheck(wide[0] == counted[0]);
    if (wide[1] >= INT32_MIN && wide[1] <= INT32_MAX)
        FuzzCheck(wide[1] == counted[1]);
    const int32_t fp = counted[2];
    FuzzCheck(fp >= -2147483647 && fp <= 2147483647);

    char buf[40];
    for (int32_t v : counted) {
        FuzzCheck(KVTP_itoa(v, buf, sizeof buf) == 1);
        FuzzCheck(KVTP_atoi(buf, -1) == v);
    }
    for (int64_t v : wide) {
        FuzzCheck(KVTP_ltoa(v, buf, sizeof buf) == 1);
        FuzzCheck(KVTP_atol(buf, -1) == v);
    }
    FuzzCheck(KVTP_itoa(counted[0], buf, param % 30) == 0 || param % 30 >= 30);

    const float f = KVTP_atof(r, len);
    (void)KVTP_atof(text.data(), -1);
    char fbuf[64];
    const int32_t precision = (param % 70) - 5;
    KVTP_ftoa(f, fbuf, sizeof fbuf, precision, (param & 1) ? "f" : "e");
    FuzzCheck(std::strlen(fbuf) < sizeof fbuf);
    KVTP_ftoa(f, fbuf, 30, precision, "f");
    FuzzCheck(std::strlen(fbuf) < 30);
    if (std::isfinite(f) && std::fpclassify(f) != FP_SUBNORMAL) {
        FuzzCheck(KVTP_ftoa(f, fbuf, sizeof fbuf, 8, "e") == 1);
        FuzzCheck(KVTP_atof(fbuf, -1) == f);
    }
    float fields[4];
    FuzzCheck(KVTP_strfield_floats(r, len, fields, 4) <= 4);
    return 0;
}
