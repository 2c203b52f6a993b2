// SPDX-License-Identifier: MIT
// Number conversions on counted text. Integer readers saturate at the limits
// of their type instead of wrapping, so no input can overflow.
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "textproc/toolkit/string_ops.h"

namespace {

// A bounded view of counted text: len < 0 means up to the NUL.
class Cursor {
  public:
    Cursor(const char* s, int32_t len) : s_(s), len_(len) {}
    // The byte at the cursor, or 0 at the end of the text.
    unsigned char peek() const {
        if (s_ == nullptr || (len_ >= 0 && i_ >= len_))
            return 0;
        return static_cast<unsigned char>(s_[i_]);
    }
    void next() { ++i_; }

  private:
    const char* s_;
    int32_t len_;
    int32_t i_ = 0;
};

// Skips white space when the length is positive, then reads the sign: "-"
// optionally followed by "+", or "+". Returns true for a negative sign.
bool read_prefix(Cursor& c, int32_t len) {
    if (len > 0) {
        while (c.peek() != 0 && KVTP_is_whitespace(c.peek()))
            c.next();
    }
    if (c.peek() == '-') {
        c.next();
        if (c.peek() == '+')
            c.next();
        return true;
    }
    if (c.peek() == '+')
        c.next();
    return false;
}

// Reads a signed integer whose magnitude saturates at `max_pos` (positive) or
// max_pos + 1 (negative). sep < 0: no separator.
int64_t read_integer(const char* s, int32_t len, int sep, uint64_t max_pos) {
    if (s == nullptr || len == 0)
        return 0;
    Cursor c(s, len);
    const bool neg = read_prefix(c, len);
    if (!KVTP_is_digit(c.peek()))
        return 0;
    const uint64_t limit = neg ? max_pos + 1 : max_pos;
    const unsigned char sep_byte = static_cast<unsigned char>(sep);
    uint64_t mag = 0;
    for (unsigned char b = c.peek(); b != 0; c.next(), b = c.peek()) {
        if (KVTP_is_digit(b)) {
            const uint64_t d = static_cast<uint64_t>(b - '0');
            mag = (mag > (limit - d) / 10) ? limit : mag * 10 + d;
        } else if (sep >= 0 && b == sep_byte) {
            continue;
        } else {
            break;
        }
    }
    if (!neg)
        return static_cast<int64_t>(mag);
    // -(max_pos + 1) is representable; compute it without overflowing.
    return mag == 0 ? 0 : -static_cast<int64_t>(mag - 1) - 1;
}

// Copies `text` into buf truncated to its size, always NUL-terminated.
void write_clipped(char* buf, int32_t size, const char* text) {
    if (buf == nullptr || size < 1)
        return;
    size_t n = std::strlen(text);
    if (n > static_cast<size_t>(size) - 1)
        n = static_cast<size_t>(size) - 1;
    std::memcpy(buf, text, n);
    buf[n] = '\0';
}

// Decimal digits of v into tmp (most significant first); returns the count.
int digits_of(uint64_t v, char* tmp) {
    char rev[24];
    int n = 0;
    do {
        rev[n++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0);
    for (int i = 0; i < n; ++i)
        tmp[i] = rev[n - 1 - i];
    return n;
}

int write_integer(int64_t v, char* buf, int32_t size) {
    if (buf == nullptr || size < 1)
        return 0;
    if (size < 30) {
        write_clipped(buf, size, "TO_SHORT");
        return 0;
    }
    const bool neg = v < 0;
    const uint64_t mag = neg ? static_cast<uint64_t>(-(v + 1)) + 1 : static_cast<uint64_t>(v);
    char tmp[24];
    const int n = digits_of(mag, tmp);
    if (n + (neg ? 1 : 0) + 1 > size) {
        write_clipped(buf, size, "OVERFLOW");
        return 0;
    }
    int pos = 0;
    if (neg)
        buf[pos++] = '-';
    std::memcpy(buf + pos, tmp, static_cast<size_t>(n));
    buf[pos + n] = '\0';
    return 1;
}

constexpr uint64_t kPow10[] = {1ULL,
                               10ULL,
                               100ULL,
                               1000ULL,
                               10000ULL,
                               100000ULL,
                               1000000ULL,
                               10000000ULL,
                               100000000ULL,
                               1000000000ULL,
                               10000000000ULL,
                               100000000000ULL,
                               1000000000000ULL,
                               10000000000000ULL,
                               100000000000000ULL,
                               1000000000000000ULL,
                               10000000000000000ULL,
                               100000000000000000ULL,
                               1000000000000000000ULL};
// Adds one to the last of n decimal digits. When the carry runs off the
// front, the digits become 1 followed by zeros, one digit longer for fixed
// notation: returns 1 in that case (the caller decides whether to keep the
// extra digit), else 0.
int round_up(char* digits, int n) {
    for (int i = n - 1; i >= 0; --i) {
        if (digits[i] != '9') {
            ++digits[i];
            return 0;
        }
        digits[i] = '0';
    }
    // All nines: 1 then n zeros.
    std::memmove(digits + 1, digits, static_cast<size_t>(n));
    digits[0] = '1';
    return 1;
}

}  // namespace

int32_t KVTP_atoi(const char* s, int32_t len) {
    return static_cast<int32_t>(read_integer(s, len, -1, INT32_MAX));
}
int64_t KVTP_atol(const char* s, int32_t len) {
    return read_integer(s, len, -1, INT64_MAX);
}
int32_t KVTP_atoisep(const char* s, int32_t len, int sep) {
    return static_cast<int32_t>(
        read_integer(s, len, static_cast<unsigned char>(sep) == 0 ? -1 : (sep & 0xFF), INT32_MAX));
}
int64_t KVTP_atolsep(const char* s, int32_t len, int sep) {
    return read_integer(s, len, static_cast<unsigned char>(sep) == 0 ? -1 : (sep & 0xFF),
                        INT64_MAX);
}

int32_t KVTP_atoifp(const char* s, int32_t len, int32_t decimals) {
    // Marker for values that do not fit: more than 10 significant digits.
    constexpr int32_t kTooBig = 999999999;
    if (s == nullptr || len == 0)
        return 0;
    if (decimals < 0)
        decimals = 0;
    Cursor c(s, len);
    const bool neg = read_prefix(c, len);
    if (!KVTP_is_digit(c.peek()) && c.peek() != '.')
        return 0;
    int64_t int_part = 0;
    int64_t significant = 0;
    for (; KVTP_is_digit(c.peek()); c.next()) {
        const int d = c.peek() - '0';
        if (significant > 0 || d != 0)
            ++significant;
        if (significant <= 11)
            int_part = int_part * 10 + d;
    }
    int64_t frac = 0;
    int64_t frac_digits = 0;
    if (c.peek() == '.') {
        c.next();
        for (; KVTP_is_digit(c.peek()); c.next()) {
            if (frac_digits < decimals) {
                if (frac_digits < 11)
                    frac = frac * 10 + (c.peek() - '0');
                ++frac_digits;
            }
        }
    }
    if (significant + decimals > 10)
        return neg ? -kTooBig : kTooBig;
    // Here decimals <= 10 and the integer part has at most 10 - decimals
    // digits, so everything fits in 64 bits.
    int64_t value = int_part * static_cast<int64_t>(kPow10[decimals]) +
                    frac * static_cast<int64_t>(kPow10[decimals - frac_digits]);
    if (value > INT32_MAX)
        return neg ? -kTooBig : kTooBig;
    return static_cast<int32_t>(neg ? -value : value);
}

int KVTP_itoa(int32_t v, char* buf, int32_t size) {
    return write_integer(v, buf, size);
}
int KVTP_ltoa(int64_t v, char* buf, int32_t size) {
    return write_integer(v, buf, size);
}

int KVTP_ftoa(float v, char* buf, int32_t size, int32_t precision, const char* format) {
    if (buf == nullptr || size < 1)
        return 0;
    if (size < 30) {
        write_clipped(buf, size, "TO_SHORT");
        return 0;
    }
    if (std::isnan(v)) {
        write_clipped(buf, size, "nan");
        return 1;
    }
    const bool neg = v < 0;
    if (std::isinf(v)) {
        write_clipped(buf, size, neg ? "-inf" : "inf");
        return 1;
    }
    const double x = std::fabs(static_cast<double>(v));
    const bool fixed =
        format != nullptr && (std::strcmp(format, "f") == 0 || std::strcmp(format, "F") == 0);
    // The C library prints the exact binary value; printing kExtra digits
    // more than needed and rounding half up on them gives "add half a unit of
    // the last digit, then take the digits".
    constexpr int kExtra = 25;
    char exact[256];
    char digits[128];
    int nd = 0;  // digits kept
    int int_digits = 0;
    int exp10 = 0;
    int p = 0;
    if (fixed) {
        p = precision < 0 ? 0 : (precision > 60 ? 60 : precision);
        std::snprintf(exact, sizeof exact, "%.*f", p + kExtra, x);
        const char* dot = std::strchr(exact, '.');
        int_digits = static_cast<int>(dot - exact);
        std::memcpy(digits, exact, static_cast<size_t>(int_digits));
        std::memcpy(digits + int_digits, dot + 1, static_cast<size_t>(p));
        nd = int_digits + p;
        if (dot[1 + p] >= '5')
            nd += round_up(digits, nd);
        int_digits = nd - p;
    } else {
        p = precision <= 0 ? 7 : (precision + 1 > 23 ? 23 : precision + 1);  // significant
        std::snprintf(exact, sizeof exact, "%.*e", p - 1 + kExtra, x);
        digits[0] = exact[0];
        std::memcpy(digits + 1, exact + 2, static_cast<size_t>(p - 1));
        nd = p;
        const char* e = std::strchr(exact, 'e');
        exp10 = std::atoi(e + 1);
        if (exact[p + 1] >= '5' && round_up(digits, nd) != 0) {
            ++exp10;  // 9.99.. became 10.0..: keep p digits
        }
    }
    char text[160];
    int pos = 0;
    if (neg)
        text[pos++] = '-';
    if (fixed) {
        std::memcpy(text + pos, digits, static_cast<size_t>(int_digits));
        pos += int_digits;
        if (p > 0) {
            text[pos++] = '.';
            std::memcpy(text + pos, digits + int_digits, static_cast<size_t>(p));
            pos += p;
        }
    } else {
        text[pos++] = digits[0];
        if (p > 1) {
            text[pos++] = '.';
            std::memcpy(text + pos, digits + 1, static_cast<size_t>(p - 1));
            pos += p - 1;
        }
        text[pos++] = 'E';
        if (exp10 != 0) {
            if (exp10 < 0)
                text[pos++] = '-';
            char ed[24];
            const int n = digits_of(static_cast<uint64_t>(exp10 < 0 ? -exp10 : exp10), ed);
            std::memcpy(text + pos, ed, static_cast<size_t>(n));
            pos += n;
        }
    }
    if (pos + 1 > size) {
        write_clipped(buf, size, "OVERFLOW");
        return 0;
    }
    text[pos] = '\0';
    std::memcpy(buf, text, static_cast<size_t>(pos) + 1);
    return 1;
}

double KVTP_atod(const char* s, int32_t len) {
    if (s == nullptr || len == 0)
        return 0.0;
    Cursor c(s, len);
    const bool neg = read_prefix(c, len);
    uint64_t mant = 0;
    int sig = 0;        // significant digits kept in mant
    int64_t exp10 = 0;  // decimal exponent applied to mant
    bool any_digit = false;
    for (; KVTP_is_digit(c.peek()); c.next()) {
        any_digit = true;
        const int d = c.peek() - '0';
        if (sig < 19) {
            if (sig > 0 || d != 0)
                ++sig;
            mant = mant * 10 + static_cast<uint64_t>(d);
        } else if (exp10 < 100000) {
            ++exp10;  // digit dropped beyond the kept precision
        }
    }
    if (c.peek() == '.') {
        c.next();
        for (; KVTP_is_digit(c.peek()); c.next()) {
            any_digit = true;
            const int d = c.peek() - '0';
            if (sig < 19) {
                if (sig > 0 || d != 0)
                    ++sig;
                mant = mant * 10 + static_cast<uint64_t>(d);
                if (exp10 > -100000)
                    --exp10;
            }
        }
    }
    if (!any_digit)
        return 0.0;
    if (c.peek() == 'e' || c.peek() == 'E') {
        c.next();
        bool eneg = false;
        if (c.peek() == '-' || c.peek() == '+') {
            eneg = c.peek() == '-';
            c.next();
        }
        int64_t ev = 0;
        for (; KVTP_is_digit(c.peek()); c.next()) {
            if (ev < 100000)
                ev = ev * 10 + (c.peek() - '0');
        }
        exp10 += eneg ? -ev : ev;
    }
    if (mant == 0)
        return neg ? -0.0 : 0.0;
    long double value = static_cast<long double>(mant) * std::pow(10.0L, exp10);
    if (value > static_cast<long double>(DBL_MAX))
        value = HUGE_VALL;
    const double d = std::isinf(value) ? HUGE_VAL : static_cast<double>(value);
    return neg ? -d : d;
}

float KVTP_atof(const char* s, int32_t len) {
    const double d = KVTP_atod(s, len);
    if (std::isinf(d) || std::fabs(d) > static_cast<double>(FLT_MAX)) {
        return d < 0 ? -HUGE_VALF : HUGE_VALF;
    }
    return static_cast<float>(d);
}
