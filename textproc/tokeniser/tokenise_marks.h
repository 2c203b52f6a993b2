// SPDX-License-Identifier: MIT
// The numbered mark written before each word: <mark name="kvtk_C_B_N_L"/>
// with the word's character and byte offsets and its length in characters
// and bytes. Marks are the bulk of the tokeniser's output (one for every
// word), so their numbers are written without division where that is
// possible.
#ifndef VRELAY_TEXTPROC_TOKENISE_MARKS_H
#define VRELAY_TEXTPROC_TOKENISE_MARKS_H

#include <cstdint>
#include <cstring>

namespace kvtp_tokenise {

inline constexpr uint32_t kPow10[] = {1,      10,      100,      1000,      10000,
                                      100000, 1000000, 10000000, 100000000, 1000000000};

// Digits of u.
inline int digit_count(uint32_t u) {
    // Digits from the bit length: log10(2) ~ 1233 / 4096, corrected by one
    // comparison (u | 1 gives 0 its one digit and changes no other count).
    const int lg = ((32 - __builtin_clz(u | 1)) * 1233) >> 12;
    return lg + ((u | 1) >= kPow10[lg] ? 1 : 0);
}

// Decimal text of v at p, two digits at a time; returns the end.
char* put_int(char* p, int64_t v);

// Numbers below 10^8 (offsets in the first 100 MB of a document) as eight
// ASCII digits in one word, first digit in the lowest byte, computed without
// division: the number splits into two halves of four digits, each half into
// two pairs and each pair into two digits, all lanes at once.
inline constexpr uint32_t kSwarLimit = 100000000;

inline uint64_t eight_digits(uint32_t u) {
    uint64_t x = static_cast<uint64_t>(u / 10000) | (static_cast<uint64_t>(u % 10000) << 32);
    const uint64_t hundreds = ((x * 10486) >> 20) & 0x0000007F0000007Full;  // lane / 100
    x = hundreds | ((x - hundreds * 100) << 16);
    const uint64_t tens = ((x * 103) >> 10) & 0x000F000F000F000Full;  // lane / 10
    x = tens | ((x - tens * 10) << 8);
    return x + 0x3030303030303030ull;
}

// Stores the `digits` significant digits of an eight_digits() word at p;
// writes eight bytes, so p needs that much room.
inline char* store_digits(char* p, uint64_t word, int digits) {
    word >>= 8 * (8 - digits);
    memcpy(p, &word, 8);
    return p + digits;
}

// Word lengths are mostly one or two digits.
inline char* put_small(char* p, int64_t v) {
    if (v >= 0 && v < 10) {
        *p = static_cast<char>('0' + v);
        return p + 1;
    }
    if (v >= 10 && v < 100) {
        p[0] = static_cast<char>('0' + v / 10);
        p[1] = static_cast<char>('0' + v % 10);
        return p + 2;
    }
    return put_int(p, v);
}

// A mark holds 23 bytes of text and four numbers of at most 20 characters;
// the eight-byte digit stores may write up to seven bytes past its end.
inline constexpr int32_t kMaxMark = 128;

// The digit bytes (units in the low byte) of every step below 100.
struct DecimalSteps {
    uint16_t bytes[100];
};
constexpr DecimalSteps make_decimal_steps() {
    DecimalSteps steps{};
    for (int n = 0; n < 100; ++n)
        steps.bytes[n] = static_cast<uint16_t>((n % 10) | ((n / 10) << 8));
    return steps;
}
inline constexpr DecimalSteps kDecimalSteps = make_decimal_steps();

// The decimal digits of an offset that grows by small steps, as from word
// to word in a run of text: one digit per byte, least significant first,
// carried forward by a byte-wise decimal add, which costs a fraction of a
// conversion afresh. Holds values below kSwarLimit.
class DecimalOffset {
  public:
    explicit DecimalOffset(uint32_t v)
        : value_(v),
          digits_(digit_count(v)),
          digit_bytes_(__builtin_bswap64(eight_digits(v) - kZeros)),
          next_power_(kPow10[digits_]) {}

    // Adds n; false (and the value unchanged) when the sum has more than
    // eight digits.
    bool add(uint32_t n) {
        if (n >= kSwarLimit - value_)
            return false;
        if (n >= 100) {
            *this = DecimalOffset(value_ + n);
            return true;
        }
        // With 0xF6 added to every byte, a byte carries into the next exactly
        // when its digit sum reaches ten, and then holds the right digit; a
        // byte that did not carry holds its digit plus 0xF6 (its top bit set),
        // which is taken off again.
        const uint64_t sum = digit_bytes_ + kDecimalSteps.bytes[n] + 0xF6F6F6F6F6F6F6F6ull;
        const uint64_t kept = (sum >> 7) & 0x0101010101010101ull;
        digit_bytes_ = sum - kept * 0xF6;
        value_ += n;
        while (value_ >= next_power_)
            next_power_ = kPow10[++digits_];
        return true;
    }

    // Writes the digits at p, which needs eight bytes of room; returns the end.
    char* put(char* p) const {
        return store_digits(p, __builtin_bswap64(digit_bytes_) | kZeros, digits_);
    }

  private:
    static constexpr uint64_t kZeros = 0x3030303030303030ull;

    uint32_t value_;
    int digits_;
    uint64_t digit_bytes_;
    uint32_t next_power_;  // the least value with one digit more
};

inline constexpr char kMarkStart[] = "<mark name=\"kvtk_";
inline constexpr int32_t kMarkStartLen = sizeof kMarkStart - 1;
// The mark that ends every request's text.
inline constexpr char kFinalMark[] = "<mark name=\"kvox_final\"/>";

// The end of a mark, after its offsets: "_chars_bytes\"/>". An ASCII word
// has as many characters as bytes, mostly fewer than 100: then the end goes
// out in one or two stores (writing a byte past it).
inline char* put_mark_end(char* p, int64_t chars, int64_t bytes) {
    if (chars == bytes && chars >= 0 && chars < 10) {
        // "_0_0\"/>" with the digit added twice.
        const uint64_t end = 0x003E2F22305F305Full + static_cast<uint64_t>(chars) * 0x01000100ull;
        memcpy(p, &end, 8);
        return p + 7;
    }
    if (chars == bytes && chars >= 10 && chars < 100) {
        // "_00_00\"/" with the tens and the units added twice, then ">".
        const uint64_t tens = static_cast<uint64_t>(chars / 10);
        const uint64_t units = static_cast<uint64_t>(chars % 10);
        const uint64_t end =
            0x2F2230305F30305Full + tens * 0x0100000100ull + units * 0x010000010000ull;
        memcpy(p, &end, 8);
        p[8] = '>';
        return p + 9;
    }
    *p++ = '_';
    p = put_small(p, chars);
    *p++ = '_';
    p = put_small(p, bytes);
    memcpy(p, "\"/>", 3);
    return p + 3;
}

// Writes the mark of a word at p, which has kMaxMark bytes of room, and
// returns its end. c and b are the word's character and byte offsets in the
// submitted text.
inline char* put_mark(char* p, int64_t c, int64_t b, int64_t chars, int64_t bytes) {
    memcpy(p, kMarkStart, kMarkStartLen);
    p += kMarkStartLen;
    if (c >= 0 && b >= 0 && c < kSwarLimit && b < kSwarLimit) {
        // In ASCII text both offsets are equal: the digits are written twice.
        const uint64_t cw = eight_digits(static_cast<uint32_t>(c));
        const int c_digits = digit_count(static_cast<uint32_t>(c));
        p = store_digits(p, cw, c_digits);
        *p++ = '_';
        p = b == c ? store_digits(p, cw, c_digits)
                   : store_digits(p, eight_digits(static_cast<uint32_t>(b)),
                                  digit_count(static_cast<uint32_t>(b)));
    } else {
        p = put_int(p, c);
        *p++ = '_';
        p = put_int(p, b);
    }
    return put_mark_end(p, chars, bytes);
}

}  // namespace kvtp_tokenise

#endif  // VRELAY_TEXTPROC_TOKENISE_MARKS_H
