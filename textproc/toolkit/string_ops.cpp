// SPDX-License-Identifier: MIT
// Character classes, length-limited scanners, comparison and field scanners.
#include "textproc/toolkit/string_ops.h"

#include <cstring>

#include "textproc/toolkit/oswrappers.h"

const char KVTP_whitespace_chars[] = " \n\t\r";
const char KVTP_newline_chars[] = "\n\r";
const char KVTP_eol_chars[] = "\n";
const char KVTP_quote_chars[] = "\"'";
const char KVTP_digit_chars[] = "0123456789";
const char KVTP_empty_string[] = "";

int KVTP_is_whitespace(int c) {
    return c == ' ' || c == '\n' || c == '\t' || c == '\r';
}
int KVTP_is_newline(int c) {
    return c == '\n' || c == '\r';
}
int KVTP_is_eol(int c) {
    return c == '\n';
}
int KVTP_is_quote(int c) {
    return c == '"' || c == '\'';
}
int KVTP_is_matching_quote(int c) {
    return KVTP_is_quote(c) ? c : 0;
}
int KVTP_is_digit(int c) {
    return c >= '0' && c <= '9';
}

namespace {

// Counts leading bytes for which `stop` is false, within len and before a NUL.
// A negative length is no limit only where the scanner allows it.
template <typename Stop>
int32_t scan(const char* s, int32_t len, bool negative_unlimited, Stop stop) {
    if (s == nullptr)
        return 0;
    if (len < 1 && !(len < 0 && negative_unlimited))
        return 0;
    int32_t i = 0;
    while ((len < 0 || i < len) && s[i] != '\0' && !stop(static_cast<unsigned char>(s[i]))) {
        ++i;
    }
    return i;
}

bool is_ws_byte(unsigned char c) {
    return KVTP_is_whitespace(c) != 0;
}

}  // namespace

int32_t KVTP_strlen_ws(const char* s, int32_t len) {
    return scan(s, len, false, [](unsigned char c) { return !is_ws_byte(c); });
}
int32_t KVTP_strlen_nws(const char* s, int32_t len) {
    return scan(s, len, false, is_ws_byte);
}
int32_t KVTP_strlen_newline(const char* s, int32_t len) {
    return scan(s, len, false, [](unsigned char c) { return KVTP_is_newline(c) != 0; });
}
int32_t KVTP_strlen_eol(const char* s, int32_t len) {
    return scan(s, len, true, [](unsigned char c) { return c == '\n'; });
}
int32_t KVTP_strlen_equals(const char* s, int32_t len) {
    return scan(s, len, false, [](unsigned char c) { return c == '='; });
}
int32_t KVTP_strlen_colon(const char* s, int32_t len) {
    return scan(s, len, false, [](unsigned char c) { return c == ':'; });
}
int32_t KVTP_strlen_comma(const char* s, int32_t len) {
    return scan(s, len, false, [](unsigned char c) { return c == ','; });
}
int32_t KVTP_strlen_quote(const char* s, int32_t len) {
    return scan(s, len, true, [](unsigned char c) { return KVTP_is_quote(c) != 0; });
}
int32_t KVTP_strlen_char(const char* s, int32_t len, int c) {
    const unsigned char target = static_cast<unsigned char>(c);
    return scan(s, len, true, [target](unsigned char b) { return b == target; });
}

int32_t KVTP_strnlen(const char* s, int32_t len) {
    if (s == nullptr)
        return 0;
    if (len < 0)
        return static_cast<int32_t>(strlen(s));
    const void* nul = memchr(s, '\0', static_cast<size_t>(len));
    return nul == nullptr ? len : static_cast<int32_t>(static_cast<const char*>(nul) - s);
}

const char* KVTP_strnchr(const char* s, int32_t len, int c) {
    const unsigned char target = static_cast<unsigned char>(c);
    if (s == nullptr || target == 0)
        return nullptr;
    for (int32_t i = 0; (len < 0 || i < len) && s[i] != '\0'; ++i) {
        if (static_cast<unsigned char>(s[i]) == target)
            return s + i;
    }
    return nullptr;
}

const char* KVTP_strnstr(const char* s, int32_t len, const char* needle, int32_t nlen) {
    const int32_t n = KVTP_strnlen(needle, nlen);
    if (n == 0)
        return s;
    if (s == nullptr)
        return nullptr;
    const int32_t hay = KVTP_strnlen(s, len);
    for (int32_t i = 0; i + n <= hay; ++i) {
        if (s[i] == needle[0] && std::memcmp(s + i, needle, static_cast<size_t>(n)) == 0) {
            return s + i;
        }
    }
    return nullptr;
}

int32_t KVTP_charcount(const char* s, int32_t len, int c) {
    const unsigned char target = static_cast<unsigned char>(c);
    if (s == nullptr || target == 0)
        return 0;
    int32_t count = 0;
    for (int32_t i = 0; (len < 0 || i < len) && s[i] != '\0'; ++i) {
        if (static_cast<unsigned char>(s[i]) == target)
            ++count;
    }
    return count;
}

int32_t KVTP_strcpy_ws(char* dst, const char* src, int32_t len) {
    if (dst == nullptr)
        return 0;
    const int32_t n = KVTP_strlen_nws(src, len);
    KVTP_memcpy(dst, src, static_cast<size_t>(n));
    dst[n] = '\0';
    return n;
}

int32_t KVTP_strcpy_newline(char* dst, const char* src, int32_t len) {
    if (dst == nullptr)
        return 0;
    const int32_t n = KVTP_strlen_newline(src, len);
    KVTP_memcpy(dst, src, static_cast<size_t>(n));
    dst[n] = '\0';
    return n;
}

char* KVTP_strndup(const char* s, int32_t len) {
    if (s == nullptr)
        return nullptr;
    const int32_t n = KVTP_strnlen(s, len);
    char* d = static_cast<char*>(KVTP_malloc(static_cast<size_t>(n) + 1));
    if (d != nullptr)
        KVTP_memcpy(d, s, static_cast<size_t>(n));
    return d;
}

void KVTP_asciilower(char* s, int32_t len) {
    if (s == nullptr)
        return;
    for (int32_t i = 0; (len < 0 || i < len) && s[i] != '\0'; ++i) {
        if (s[i] >= 'A' && s[i] <= 'Z')
            s[i] = static_cast<char>(s[i] + 32);
    }
}

void KVTP_asciiupper(char* s, int32_t len) {
    if (s == nullptr)
        return;
    for (int32_t i = 0; (len < 0 || i < len) && s[i] != '\0'; ++i) {
        if (s[i] >= 'a' && s[i] <= 'z')
            s[i] = static_cast<char>(s[i] - 32);
    }
}

void KVTP_asciireplace(char* s, int from, int to, int32_t len) {
    if (s == nullptr)
        return;
    const char f = static_cast<char>(from);
    const char t = static_cast<char>(to);
    if (f == '\0')
        return;
    for (int32_t i = 0; (len < 0 || i < len) && s[i] != '\0'; ++i) {
        if (s[i] == f)
            s[i] = t;
    }
}

int KVTP_strcmp_nocase(const char* a, const char* b) {
    if (a == nullptr || b == nullptr)
        return 0;
    for (;; ++a, ++b) {
        const int ca = static_cast<unsigned char>(*a);
        const int cb = static_cast<unsigned char>(*b);
        if (ca == 0 || cb == 0)
            return ca == cb;
        const int diff = ca - cb;
        if (diff != 0 && diff != 32 && diff != -32)
            return 0;
    }
}

// ---------------------------------------------------------------------------
// Fields

namespace {

// Start of the next field at or after offset *i within n bytes; advances *i
// past it and returns its length, or -1 when there is none.
int32_t next_field(const char* s, int32_t n, int32_t* i, int32_t* start) {
    while (*i < n && KVTP_is_whitespace(s[*i]))
        ++*i;
    if (*i >= n)
        return -1;
    *start = *i;
    while (*i < n && !KVTP_is_whitespace(s[*i]))
        ++*i;
    return *i - *start;
}

}  // namespace

int32_t KVTP_no_strings(const char* s, int32_t len) {
    return KVTP_strfield_len(s, len);
}

int32_t KVTP_strfield_len(const char* s, int32_t len) {
    const int32_t n = KVTP_strnlen(s, len);
    int32_t i = 0, start = 0, count = 0;
    while (next_field(s, n, &i, &start) >= 0)
        ++count;
    return count;
}

const char* KVTP_strfield(const char* s, int32_t len, int32_t n, int32_t* field_len) {
    if (field_len != nullptr)
        *field_len = 0;
    if (n < 0)
        return nullptr;
    const int32_t total = KVTP_strnlen(s, len);
    int32_t i = 0, start = 0;
    for (int32_t k = 0;; ++k) {
        const int32_t flen = next_field(s, total, &i, &start);
        if (flen < 0)
            return nullptr;
        if (k == n) {
            if (field_len != nullptr)
                *field_len = flen;
            return s + start;
        }
    }
}

const char* KVTP_strfield_next(const char* pos, int32_t len, int32_t* field_len) {
    if (field_len != nullptr)
        *field_len = 0;
    const int32_t total = KVTP_strnlen(pos, len);
    int32_t i = 0, start = 0;
    while (i < total && !KVTP_is_whitespace(pos[i]))
        ++i;
    const int32_t flen = next_field(pos, total, &i, &start);
    if (flen < 0)
        return nullptr;
    if (field_len != nullptr)
        *field_len = flen;
    return pos + start;
}

int32_t KVTP_strfield_floats(const char* s, int32_t len, float* out, int32_t max) {
    if (out == nullptr || max < 1)
        return 0;
    const int32_t total = KVTP_strnlen(s, len);
    int32_t i = 0, start = 0, count = 0, flen = 0;
    while (count < max && (flen = next_field(s, total, &i, &start)) >= 0) {
        out[count++] = KVTP_atof(s + start, flen);
    }
    return count;
}

int32_t KVTP_unpack_noseq(const char* s, int32_t len, int32_t decimals) {
    int32_t flen = 0;
    const char* f = KVTP_strfield(s, len, 0, &flen);
    return f == nullptr ? 0 : KVTP_atoifp(f, flen, decimals);
}
