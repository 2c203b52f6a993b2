// SPDX-License-Identifier: MIT
#include "textproc/toolkit/dystr.h"

#include <climits>
#include <cstdarg>
#include <cstring>

#include "textproc/toolkit/array_internal.h"
#include "textproc/toolkit/oswrappers.h"
#include "textproc/toolkit/string_ops.h"

namespace {

constexpr int32_t kStep = 8;
constexpr int32_t kKeep = 256;

// Shared, writable empty text for empty or missing strings.
char g_empty[1] = {'\0'};

int32_t text_len(const char* text, int32_t len) {
    if (len >= 0)
        return len;
    return KVTP_strnlen(text, -1);
}

struct Piece {
    const char* text;
    int32_t len;
};

// Appends the pieces with one reservation: all or nothing.
int append_pieces(KVTP_dystr* s, const Piece* pieces, int n) {
    if (s == nullptr)
        return 0;
    int64_t total = 0;
    int32_t lens[4];
    for (int i = 0; i < n; ++i) {
        lens[i] = text_len(pieces[i].text, pieces[i].len);
        if (pieces[i].text == nullptr && lens[i] > 0)
            return 0;
        total += lens[i];
    }
    const int32_t base = s->count > 0 ? s->count - 1 : 0;
    char* old = nullptr;
    if (!kvtp_detail::array_reserve(s, base + total + 1, &old))
        return 0;
    int64_t pos = base;
    for (int i = 0; i < n; ++i) {
        KVTP_memmove(s->data + pos, pieces[i].text, static_cast<size_t>(lens[i]));
        pos += lens[i];
    }
    s->data[pos] = '\0';
    s->count = static_cast<int32_t>(pos + 1);
    KVTP_free(old);
    return 1;
}

}  // namespace

KVTP_dystr* KVTP_dystr_newcustom(const char* text, int32_t reserve, int32_t step, int32_t keep) {
    KVTP_dystr* s = kvtp_detail::array_make<KVTP_dystr>(step, keep, 1, 0);
    if (s == nullptr)
        return nullptr;
    const int32_t n = text_len(text, -1);
    int64_t want = static_cast<int64_t>(n) + 1;
    if (reserve > want)
        want = reserve;
    char* data = static_cast<char*>(KVTP_malloc(static_cast<size_t>(want)));
    if (data == nullptr) {
        KVTP_free(s);
        return nullptr;
    }
    KVTP_memcpy(data, text, static_cast<size_t>(n));
    s->data = data;
    s->capacity = static_cast<int32_t>(want);
    s->count = n + 1;
    return s;
}

KVTP_dystr* KVTP_dystr_new(const char* text, int32_t reserve) {
    return KVTP_dystr_newcustom(text, reserve, kStep, kKeep);
}

void KVTP_dystr_delete(KVTP_dystr* s) {
    KVTP_array_delete(s);
}

int KVTP_dystr_append(KVTP_dystr* s, const char* text, int32_t len) {
    const Piece p[] = {{text, len}};
    return append_pieces(s, p, 1);
}

int KVTP_dystr_append2(KVTP_dystr* s, const char* t1, int32_t l1, const char* t2, int32_t l2) {
    const Piece p[] = {{t1, l1}, {t2, l2}};
    return append_pieces(s, p, 2);
}

int KVTP_dystr_append3(KVTP_dystr* s, const char* t1, int32_t l1, const char* t2, int32_t l2,
                       const char* t3, int32_t l3) {
    const Piece p[] = {{t1, l1}, {t2, l2}, {t3, l3}};
    return append_pieces(s, p, 3);
}

int KVTP_dystr_append4(KVTP_dystr* s, const char* t1, int32_t l1, const char* t2, int32_t l2,
                       const char* t3, int32_t l3, const char* t4, int32_t l4) {
    const Piece p[] = {{t1, l1}, {t2, l2}, {t3, l3}, {t4, l4}};
    return append_pieces(s, p, 4);
}

int KVTP_dystr_appendint(KVTP_dystr* s, int32_t v) {
    char buf[32];
    KVTP_itoa(v, buf, sizeof buf);
    return KVTP_dystr_append(s, buf, -1);
}

int KVTP_dystr_appendfloat(KVTP_dystr* s, float v, int32_t precision, const char* format) {
    char buf[128];
    KVTP_ftoa(v, buf, sizeof buf, precision, format);
    return KVTP_dystr_append(s, buf, -1);
}

int KVTP_dystr_append2intCR(KVTP_dystr* s, const char* text, int32_t len, int32_t v) {
    char buf[32];
    KVTP_itoa(v, buf, sizeof buf);
    return KVTP_dystr_append3(s, text, len, buf, -1, "\n", 1);
}

int KVTP_dystr_printf(KVTP_dystr* s, const char* fmt, ...) {
    if (s == nullptr || fmt == nullptr)
        return 0;
    va_list ap;
    va_start(ap, fmt);
    va_list measure;
    va_copy(measure, ap);
    const int n = std::vsnprintf(nullptr, 0, fmt, measure);
    va_end(measure);
    int ok = 0;
    const int32_t base = s->count > 0 ? s->count - 1 : 0;
    char* old = nullptr;
    if (n >= 0 && kvtp_detail::array_reserve(s, static_cast<int64_t>(base) + n + 1, &old)) {
        std::vsnprintf(s->data + base, static_cast<size_t>(n) + 1, fmt, ap);
        s->count = base + n + 1;
        KVTP_free(old);
        ok = 1;
    }
    va_end(ap);
    return ok;
}

int KVTP_dystr_replace(KVTP_dystr* s, const char* text, int32_t len) {
    if (s == nullptr)
        return 0;
    const int32_t n = text_len(text, len);
    if (text == nullptr && n > 0)
        return 0;
    char* old = nullptr;
    if (!kvtp_detail::array_reserve(s, static_cast<int64_t>(n) + 1, &old))
        return 0;
    // The text may be part of the current contents: move, then clean the tail.
    KVTP_memmove(s->data, text, static_cast<size_t>(n));
    s->data[n] = '\0';
    if (s->count > n + 1)
        KVTP_memset(s->data + n + 1, 0, static_cast<size_t>(s->count - n - 1));
    s->count = n + 1;
    KVTP_free(old);
    return 1;
}

void KVTP_dystr_clear(KVTP_dystr* s) {
    if (s == nullptr)
        return;
    KVTP_array_clear(s);
    // With the storage kept, the empty text keeps its NUL.
    if (s->capacity > 0)
        s->count = 1;
}

int KVTP_dystr_truncate(KVTP_dystr* s, int32_t size) {
    if (s == nullptr)
        return 0;
    if (size < 0)
        size = 0;
    if (size >= KVTP_dystr_sz(s))
        return 1;
    KVTP_memset(s->data + size, 0, static_cast<size_t>(s->count - size));
    s->count = size + 1;
    return 1;
}

int32_t KVTP_dystr_sz(const KVTP_dystr* s) {
    return (s == nullptr || s->count < 1) ? 0 : s->count - 1;
}

char* KVTP_dystr_cstr(const KVTP_dystr* s) {
    return (s == nullptr || s->count < 1) ? g_empty : s->data;
}

int KVTP_dystr_delete_upto(KVTP_dystr* s, int32_t n) {
    return KVTP_dystr_delete_range(s, 0, n);
}

int KVTP_dystr_delete_range(KVTP_dystr* s, int32_t start, int32_t n) {
    if (s == nullptr)
        return 0;
    const int32_t size = KVTP_dystr_sz(s);
    if (start < 0)
        start = 0;
    if (start > size)
        start = size;
    if (n < 0)
        n = 0;
    if (n > size - start)
        n = size - start;
    return KVTP_array_delete_range(s, start, n);
}

int KVTP_dystr_insert_range(KVTP_dystr* s, const char* text, int32_t len, int32_t pos) {
    if (s == nullptr)
        return 0;
    const int32_t n = text_len(text, len);
    if (text == nullptr && n > 0)
        return 0;
    if (n == 0)
        return 1;
    const int32_t size = KVTP_dystr_sz(s);
    if (pos < 0)
        pos = 0;
    if (pos > size)
        pos = size;
    if (s->count == 0)
        return KVTP_dystr_append(s, text, n);
    return KVTP_array_insert_range(s, text, n, pos);
}

int KVTP_dystr_readline(KVTP_dystr* s, FILE* f) {
    if (s == nullptr || f == nullptr)
        return 0;
    // Build the line aside so that a failed allocation leaves s as it was.
    KVTP_dystr* line = KVTP_dystr_newcustom(nullptr, 128, 128, 0);
    if (line == nullptr)
        return 0;
    char chunk[256];
    int used = 0;
    bool any = false;
    bool ok = true;
    int c;
    while ((c = std::getc(f)) != EOF) {
        any = true;
        chunk[used++] = static_cast<char>(c);
        if (used == static_cast<int>(sizeof chunk) || c == '\n') {
            ok = KVTP_dystr_append(line, chunk, used) != 0;
            used = 0;
            if (!ok || c == '\n')
                break;
        }
    }
    if (ok && used > 0)
        ok = KVTP_dystr_append(line, chunk, used) != 0;
    if (ok) {
        // Hand the line's storage over to s.
        KVTP_free(s->data);
        s->data = line->data;
        s->capacity = line->capacity;
        s->count = line->count;
        line->data = nullptr;
        line->capacity = 0;
        line->count = 0;
    }
    KVTP_dystr_delete(line);
    return ok && any ? 1 : 0;
}

void KVTP_dystr_asciilower(KVTP_dystr* s) {
    KVTP_asciilower(KVTP_dystr_cstr(s), KVTP_dystr_sz(s));
}

void KVTP_dystr_asciiupper(KVTP_dystr* s) {
    KVTP_asciiupper(KVTP_dystr_cstr(s), KVTP_dystr_sz(s));
}

void KVTP_dystr_asciireplace(KVTP_dystr* s, int from, int to) {
    KVTP_asciireplace(KVTP_dystr_cstr(s), from, to, KVTP_dystr_sz(s));
}

void KVTP_dystr_asciistrip(KVTP_dystr* s) {
    const int32_t size = KVTP_dystr_sz(s);
    if (size == 0)
        return;
    int32_t end = size;
    while (end > 0 && KVTP_is_whitespace(s->data[end - 1]))
        --end;
    KVTP_dystr_truncate(s, end);
    KVTP_dystr_delete_upto(s, KVTP_strlen_ws(s->data, end));
}

void KVTP_dystr_remove_non_ascii(KVTP_dystr* s) {
    const int32_t size = KVTP_dystr_sz(s);
    int32_t out = 0;
    for (int32_t i = 0; i < size; ++i) {
        if (static_cast<unsigned char>(s->data[i]) < 0x80)
            s->data[out++] = s->data[i];
    }
    KVTP_dystr_truncate(s, out);
}

int KVTP_dystr_extend(KVTP_dystr* s, int32_t n) {
    return KVTP_array_extend(s, n);
}

int KVTP_dystr_insert_fast(KVTP_dystr* s, const char* text, int32_t len, int32_t pos) {
    const int32_t size = KVTP_dystr_len(s);
    if (KVTP_dystr_tail(s, len) == nullptr || pos < 0 || pos > size)
        return KVTP_dystr_insert_range(s, text, len, pos);
    const int32_t tail = size - pos + 1;  // with the NUL
    if (tail <= 32) {
        // Marks go in front of short words: a byte loop beats a call.
        for (int32_t i = tail - 1; i >= 0; --i)
            s->data[pos + len + i] = s->data[pos + i];
    } else {
        memmove(s->data + pos + len, s->data + pos, static_cast<size_t>(tail));
    }
    memcpy(s->data + pos, text, static_cast<size_t>(len));
    s->count = size + len + 1;
    return 1;
}

void KVTP_dystr_drop_front(KVTP_dystr* s, int32_t n) {
    const int32_t size = KVTP_dystr_len(s);
    if (n <= 0 || size == 0)
        return;
    if (n > size)
        n = size;
    memmove(s->data, s->data + n, static_cast<size_t>(size - n + 1));
    s->count = size - n + 1;
}
