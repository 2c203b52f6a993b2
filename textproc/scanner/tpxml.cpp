// SPDX-License-Identifier: MIT
// Streaming XML scanner: a fixed table of anchored patterns tried in order at
// the current position; the first that matches decides what the piece is.
//
// Invalid UTF-8. The patterns are compiled with PCRE2_MATCH_INVALID_UTF, which
// makes matching defined on any bytes (an invalid sequence simply matches no
// pattern item) and skips PCRE2's up-front validity check of the whole subject.
// That check would cost the length of the rest of the buffer on every match
// call and turn a scan quadratic; PCRE2_NO_UTF_CHECK is still passed, as the
// subject needs no checking in this mode. A position where no pattern matches
// can only start an invalid sequence; its first byte is reported as one byte of
// character data, so the scanner always consumes input.
//
// Runaway matches. Some patterns (processing instructions, DOCTYPE) nest
// repeats and can backtrack exponentially on hostile input. Every match runs
// with a match, depth and heap limit; a limit hit counts as "no match", and a
// later slot (at worst the single markup character) then consumes the input.
#include "textproc/scanner/tpxml.h"

#include <cstring>
#include <new>
#include <string_view>

#include "textproc/scanner/pattern_set.h"
#include "textproc/toolkit/dystr.h"
#include "textproc/toolkit/dystrarray.h"
#include "textproc/toolkit/oswrappers.h"
#include "textproc/toolkit/string_ops.h"
#include "textproc/toolkit/voidparray.h"

namespace {

// Backtracking points allowed per match attempt. Ordinary markup needs a few
// per attribute or declaration; this bounds a hostile attempt to about a
// millisecond.
// The output vector holds 15 pairs (30 integers); no pattern has more groups.
constexpr kvtp::MatchLimits kLimits = {200000, 100000, 64 * 1024, 1024 * 1024, 15};

constexpr int32_t kInputReserve = 32768;
constexpr int32_t kNameStoreReserve = 320;
constexpr int32_t kValueStoreReserve = 20480;

#define NAME_RANGES                                                                     \
    "\\x{C0}-\\x{D6}\\x{D8}-\\x{F6}\\x{F8}-\\x{2FF}\\x{370}-\\x{37D}\\x{37F}-\\x{1FFF}" \
    "\\x{200C}-\\x{200D}\\x{2070}-\\x{218F}\\x{2C00}-\\x{2FEF}\\x{3001}-\\x{D7FF}"      \
    "\\x{F900}-\\x{FDCF}\\x{FDF0}-\\x{FFFD}\\x{10000}-\\x{EFFFF}"
#define NS "[a-zA-Z_:" NAME_RANGES "]"
#define NC "[-a-zA-Z0-9._:" NAME_RANGES "]"
#define WS "[\n\r\\s]"
// One attribute with a double- or single-quoted value, after white space `W`.
#define QATTR(W)                                                                   \
    W "+" NS NC "*" WS "*=" WS "*[\\\"][^\\\"]*[\\\"]|" W "+" NS NC "*" WS "*=" WS \
      "*[\\'][^\\']*[\\']"
#define PI_BODY "<\\?([^?]*(\\?[^>])?)*\\?>"

// Any subject bytes are safe to match (see the top of the file).
constexpr uint32_t kAnyBytes = PCRE2_MATCH_INVALID_UTF;
constexpr uint32_t kDotAll = PCRE2_MATCH_INVALID_UTF | PCRE2_DOTALL;

const kvtp::PatternSource kPatterns[KVTP_TPXML_NO_REGEXS] = {
    {"^(<!--)", kAnyBytes},
    {"^(-->)", kAnyBytes},
    {"^(<!\\[CDATA\\[)", kAnyBytes},
    {"^(\\]\\]>)", kAnyBytes},
    {"^(" PI_BODY ")", kAnyBytes},
    {"^(<!DOCTYPE" WS "+(" NS NC "*)[\\s\n\r]+"
     "(SYSTEM[\\s\n\r]+(\"[^\"]*\"|'[^']*')"
     "|PUBLIC[\\s\n\r]+(\"[-\\s\r\na-zA-Z0-9'()+,./:=?;!*#@$_%]*\""
     "|'[-\\s\r\na-zA-Z0-9()+,./:=?;!*#@$_%]*'|)"
     "[\\s\n\r]+(\"[^\"]*\"|'[^']*'))?[\\s\n\r]*"
     "(\\[[\\s\n\r]*(<![^>]*(\"[^\"]*\"|'[^']*')?[\\s\n\r]*>[\\s\n\r]*"
     "|" PI_BODY "[\\s\n\r]*|%\\w+;[\\s\n\r]*)*\\])?[\\s\n\r]*>)",
     kDotAll},
    {"(^<" NS NC "*(" QATTR("\\s") ")*" WS "*/\\s*>)", kAnyBytes},
    {"(^</" NS NC "*" WS "*>)", kAnyBytes},
    {"(^<" NS NC "*(" QATTR(WS) ")*" WS "*>)", kAnyBytes},
    {"(^<[a-zA-Z_][-a-zA-Z0-9_]*(" WS "+[a-zA-Z_][-a-zA-Z0-9_]*" WS "*=" WS
     "*[\\'\\\"][^\\'\\\"]*[\\'\\\"]|" WS "+[a-zA-Z_][-a-zA-Z0-9_]*" WS "*=[^\n\r\\s\\'\\\">]*|" WS
     "+[a-zA-Z_][-a-zA-Z0-9_]*" WS "*)*" WS "*>)",
     kAnyBytes},
    {"^&(\\#?\\w+);", kAnyBytes},
    {"(^[\\h\\v]+)", kAnyBytes},
    {"(^[^\\h\\v<>&\\]-]+)", kAnyBytes},
    {"^([<>&\\]-])", kAnyBytes},
    {"^([\\v]+)", kAnyBytes},
    {"^([\\h]+)", kAnyBytes},
    {"^([-+=/@])", kAnyBytes},
};

#undef QATTR
#undef WS
#undef NC
#undef NS
#undef NAME_RANGES
#undef PI_BODY

const kvtp::PatternSet* shared_patterns() {
    static const kvtp::PatternSet* set =
        kvtp::PatternSet::create_shared(kPatterns, KVTP_TPXML_NO_REGEXS);
    return set;
}

// First occurrence of a 3-byte marker in the current buffer, remembered for
// the rest of one scan so that a long comment or CDATA section is searched
// once, not once per piece.
struct MarkerCache {
    const char* marker;
    bool known = false;
    const char* pos = nullptr;  // null: none left in the search window

    // Offset from p of the first marker starting at p .. end - 4, or -1.
    int32_t find(const char* p, const char* end) {
        if (!known || (pos != nullptr && pos < p)) {
            const char* last = end - 1;  // the marker must end before `end`
            // string_view's find scans with memchr, about as fast as memmem,
            // which not every C library has.
            const std::string_view window(p, last > p ? static_cast<size_t>(last - p) : 0);
            const size_t at = window.find(std::string_view(marker, 3));
            pos = at == std::string_view::npos ? nullptr : p + at;
            known = true;
        }
        return pos == nullptr ? -1 : static_cast<int32_t>(pos - p);
    }
};

// Length of s cut to at most max bytes without splitting a UTF-8 sequence.
int32_t cut_utf8(const char* s, int32_t len, int32_t max) {
    if (len <= max) {
        return len;
    }
    int32_t n = max;
    for (int back = 0; back < 3 && n > 0 && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80;
         ++back) {
        --n;
    }
    // A run of continuation bytes longer than a sequence is not UTF-8; cut
    // where asked.
    return (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80 ? max : n;
}

}  // namespace

struct KVTP_tpxml {
    KVTP_dystr* tag = nullptr;
    KVTP_voidparray* atts = nullptr;
    KVTP_dystrarray* att_names = nullptr;
    KVTP_dystrarray* att_values = nullptr;
    int32_t margin = KVTP_TPXML_MARGIN;
    // Shared by every scanner; null until compiled, and when a pattern fails.
    const kvtp::PatternSet* patterns = nullptr;
    int32_t in_comment = 0;
    int32_t in_cdata = 0;
    KVTP_dystr* input = nullptr;
    void* userdata = nullptr;
    KVTP_tpxml_data_handler on_data = nullptr;
    KVTP_tpxml_data_handler on_entity = nullptr;
    KVTP_tpxml_start_handler on_start = nullptr;
    KVTP_tpxml_end_handler on_end = nullptr;
    KVTP_tpxml_cdata_handler on_cdata_start = nullptr;
    KVTP_tpxml_cdata_handler on_cdata_end = nullptr;
    int64_t byte_pos = 0;
    int64_t char_pos = 0;
    kvtp::Matcher matcher{kLimits};
    // Set while handlers run: a handler must not feed the same scanner.
    int32_t busy = 0;
};

namespace {

const char* keep_empty_atts[] = {nullptr};

// Fills the attribute list from the text after a tag's name.
const char** get_attributes(KVTP_tpxml* x, const char* text, int32_t len) {
    KVTP_voidparray_clear(x->atts);
    KVTP_dystrarray_clear(x->att_names, 0);
    KVTP_dystrarray_clear(x->att_values, 0);
    int32_t count = 0;
    while (len > 0) {
        const char* name;
        const char* value;
        int32_t name_len;
        int32_t value_len;
        const char* next = KVTP_get_keyval(text, len, &name, &name_len, &value, &value_len);
        if (next == nullptr) {
            break;
        }
        name_len = cut_utf8(name, name_len, KVTP_TPXML_MAX_NAME);
        value_len = cut_utf8(value, value_len, KVTP_TPXML_MAX_VALUE);
        if (!KVTP_dystrarray_add(x->att_names, name, name_len)) {
            break;
        }
        if (!KVTP_dystrarray_add(x->att_values, value, value_len)) {
            KVTP_dystrarray_remove(x->att_names, count);
            break;
        }
        ++count;
        len -= static_cast<int32_t>(next - text);
        text = next;
    }
    if (!KVTP_voidparray_extend(x->atts, 2 * count + 1)) {
        return keep_empty_atts;
    }
    // Pointers are taken only now: adding may move the stores.
    char* n = KVTP_dystrarray_idx(x->att_names, 0);
    char* v = KVTP_dystrarray_idx(x->att_values, 0);
    for (int32_t i = 0; i < count && n != nullptr && v != nullptr; ++i) {
        KVTP_voidparray_add(x->atts, n);
        KVTP_voidparray_add(x->atts, v);
        n = KVTP_dystrarray_next(x->att_names, n);
        v = KVTP_dystrarray_next(x->att_values, v);
    }
    KVTP_voidparray_add(x->atts, nullptr);
    return reinterpret_cast<const char**>(x->atts->data);
}

// Reports a tag matched by slot 6 (empty), 7 (end) or 8 (start).
void report_tag(KVTP_tpxml* x, int32_t slot, const char* m, int32_t mlen) {
    if (x->on_start == nullptr && x->on_end == nullptr) {
        return;
    }
    int32_t start = m[1] == '/' ? 2 : 1;
    int32_t n = KVTP_strlen_nws(m + start, mlen - start);
    if (n > 0 && m[start + n - 1] == '>') {
        --n;
    }
    // A name never contains "/", so one left over from "<a/ >" goes too.
    if (n > 0 && m[start + n - 1] == '/') {
        --n;
    }
    KVTP_dystr_replace(x->tag, m + start, cut_utf8(m + start, n, KVTP_TPXML_MAX_NAME));
    const char* name = KVTP_dystr_cstr(x->tag);
    if (slot == KVTP_TPXML_CLOSE) {
        if (x->on_end != nullptr) {
            x->on_end(x->userdata, name);
        }
        return;
    }
    if (x->on_start != nullptr) {
        const char** atts = get_attributes(x, m + start + n, mlen - start - n);
        x->on_start(x->userdata, name, atts);
    }
    if (slot == KVTP_TPXML_EMPTY && x->on_end != nullptr) {
        x->on_end(x->userdata, name);
    }
}

// Scans buf; limit > 0 stops once that many bytes are consumed. Returns the
// bytes consumed.
int32_t parse_chunk(KVTP_tpxml* x, const char* buf, int32_t size, int32_t limit) {
    const char* p = buf;
    const char* const end = buf + size;
    int32_t rest = size;
    int32_t consumed = 0;
    const kvtp::PatternSet& patterns = *x->patterns;
    const PCRE2_SIZE* ov = x->matcher.ovector();
    MarkerCache cdata_close{"]]>"};
    MarkerCache comment_close{"-->"};
    while (rest > 0) {
        int32_t slot = -1;
        int32_t len = 0;
        const int32_t lead = static_cast<unsigned char>(p[0]);
        for (int32_t s = 0; s <= KVTP_TPXML_CHAR; ++s) {
            const int first = patterns.first_byte(s);
            if (first >= 0 && first != lead) {
                continue;
            }
            int rc = x->matcher.match(patterns, s, reinterpret_cast<const unsigned char*>(p),
                                      static_cast<size_t>(rest));
            if (rc >= 0 && ov[1] > 0) {
                slot = s;
                len = static_cast<int32_t>(ov[1]);
                break;
            }
        }
        int32_t chars = 0;
        if (slot < 0) {
            // Only the start of an invalid sequence matches nothing.
            slot = KVTP_TPXML_CHAR;
            len = 1;
            chars = 1;
        } else {
            int32_t i = 0;
            while (i < len) {
                i += KVTP_u8_seqlen(static_cast<unsigned char>(p[i]));
                ++chars;
            }
            len = i < rest ? i : rest;
        }

        if (x->in_cdata) {
            if (slot == KVTP_TPXML_CDATA_END) {
                x->in_cdata = 0;
                if (x->on_cdata_end != nullptr) {
                    x->on_cdata_end(x->userdata);
                }
            } else {
                // Content goes out whole up to "]]>"; markup in it is not read.
                int32_t off = cdata_close.find(p, end);
                if (off > 0) {
                    len = off;
                }
                if (x->on_data != nullptr) {
                    x->on_data(x->userdata, p, len);
                }
            }
        } else if (x->in_comment) {
            if (slot == KVTP_TPXML_COMMENT_END) {
                x->in_comment = 0;
            } else {
                int32_t off = comment_close.find(p, end);
                if (off > 0) {
                    len = off;
                }
            }
        } else {
            switch (slot) {
                case KVTP_TPXML_COMMENT_START:
                    x->in_comment = 1;
                    break;
                case KVTP_TPXML_CDATA_START:
                    x->in_cdata = 1;
                    if (x->on_cdata_start != nullptr) {
                        x->on_cdata_start(x->userdata);
                    }
                    break;
                case KVTP_TPXML_HEAD:
                case KVTP_TPXML_DOCTYPE:
                case KVTP_TPXML_LOOSE_OPEN:
                    break;
                case KVTP_TPXML_EMPTY:
                case KVTP_TPXML_CLOSE:
                case KVTP_TPXML_OPEN:
                    report_tag(x, slot, p, len);
                    break;
                case KVTP_TPXML_ENTITY:
                    if (x->on_entity != nullptr) {
                        x->on_entity(x->userdata, p, len);
                    }
                    break;
                default:  // stray "-->" or "]]>", white space, text, markup byte
                    if (x->on_data != nullptr) {
                        x->on_data(x->userdata, p, len);
                    }
                    break;
            }
        }

        rest -= len;
        consumed += len;
        x->byte_pos += len;
        x->char_pos += chars;
        p += len;
        if (limit > 0 && consumed >= limit) {
            break;
        }
    }
    return consumed;
}

}  // namespace

KVTP_tpxml* KVTP_tpxml_new() {
    void* mem = KVTP_malloc(sizeof(KVTP_tpxml));
    if (mem == nullptr) {
        return nullptr;
    }
    KVTP_tpxml* x = new (mem) KVTP_tpxml();
    x->tag = KVTP_dystr_new(nullptr, KVTP_TPXML_MAX_NAME + 1);
    x->atts = KVTP_voidparray_newcustom(10, 8, 64);
    x->att_names = KVTP_dystrarray_newcustom(0, kNameStoreReserve, 2, 32, kNameStoreReserve);
    x->att_values = KVTP_dystrarray_newcustom(0, kValueStoreReserve, 2, 2048, kValueStoreReserve);
    x->input = KVTP_dystr_newcustom(nullptr, kInputReserve, 1024, kInputReserve);
    if (x->tag == nullptr || x->atts == nullptr || x->att_names == nullptr ||
        x->att_values == nullptr || x->input == nullptr || !x->matcher.ready()) {
        KVTP_tpxml_delete(x);
        return nullptr;
    }
    KVTP_tpxml_setup_regex(x);
    return x;
}

void KVTP_tpxml_delete(KVTP_tpxml* x) {
    if (x == nullptr) {
        return;
    }
    KVTP_dystr_delete(x->input);
    KVTP_dystrarray_delete(x->att_values);
    KVTP_dystrarray_delete(x->att_names);
    KVTP_voidparray_delete(x->atts);
    KVTP_dystr_delete(x->tag);
    x->~KVTP_tpxml();
    KVTP_free(x);
}

int KVTP_tpxml_setup_regex(KVTP_tpxml* x) {
    if (x == nullptr) {
        return 0;
    }
    if (x->patterns == nullptr) {
        const kvtp::PatternSet* set = shared_patterns();
        if (set == nullptr || set->missing() != 0) {
            return 0;
        }
        x->patterns = set;
    }
    return 1;
}

void KVTP_tpxml_reset(KVTP_tpxml* x) {
    if (x == nullptr || x->busy) {
        return;
    }
    KVTP_dystr_clear(x->input);
    x->byte_pos = 0;
    x->char_pos = 0;
}

void KVTP_tpxml_set_userdata(KVTP_tpxml* x, void* userdata) {
    if (x != nullptr) {
        x->userdata = userdata;
    }
}

void KVTP_tpxml_set_element_handler(KVTP_tpxml* x, KVTP_tpxml_start_handler start,
                                    KVTP_tpxml_end_handler end) {
    if (x != nullptr) {
        x->on_start = start;
        x->on_end = end;
    }
}

void KVTP_tpxml_set_character_data_handler(KVTP_tpxml* x, KVTP_tpxml_data_handler fn) {
    if (x != nullptr) {
        x->on_data = fn;
    }
}

void KVTP_tpxml_set_entity_handler(KVTP_tpxml* x, KVTP_tpxml_data_handler fn) {
    if (x != nullptr) {
        x->on_entity = fn;
    }
}

void KVTP_tpxml_set_cdata_section_handler(KVTP_tpxml* x, KVTP_tpxml_cdata_handler start,
                                          KVTP_tpxml_cdata_handler end) {
    if (x != nullptr) {
        x->on_cdata_start = start;
        x->on_cdata_end = end;
    }
}

int KVTP_tpxml_parse(KVTP_tpxml* x, const char* data, int32_t len, int32_t final) {
    if (x == nullptr || x->patterns == nullptr || x->busy) {
        return 0;
    }
    if (data != nullptr && len < 0) {
        len = static_cast<int32_t>(strlen(data));
    }
    if (data != nullptr && len > 0 && !KVTP_dystr_append(x->input, data, len)) {
        return 0;
    }
    int32_t size = KVTP_dystr_sz(x->input);
    x->busy = 1;
    if (final) {
        if (size > 0) {
            parse_chunk(x, KVTP_dystr_cstr(x->input), size, -1);
        }
        KVTP_dystr_clear(x->input);
    } else if (size - x->margin >= 1) {
        int32_t consumed = parse_chunk(x, KVTP_dystr_cstr(x->input), size, size - x->margin);
        KVTP_dystr_delete_upto(x->input, consumed);
    }
    x->busy = 0;
    return 1;
}

int64_t KVTP_tpxml_byte_position(const KVTP_tpxml* x) {
    return x == nullptr ? 0 : x->byte_pos;
}

int64_t KVTP_tpxml_char_position(const KVTP_tpxml* x) {
    return x == nullptr ? 0 : x->char_pos;
}

pcre2_code** KVTP_tpxml_get_regexs(KVTP_tpxml* x) {
    // The table is shared and never written; the type is the historical one.
    return x == nullptr || x->patterns == nullptr ? nullptr
                                                  : const_cast<pcre2_code**>(x->patterns->table());
}

int32_t KVTP_tpxml_get_no_compiled_regexs(const KVTP_tpxml* x) {
    return x == nullptr || x->patterns == nullptr ? 0 : x->patterns->count();
}

size_t KVTP_tpxml_get_compiled_regex_sz(const KVTP_tpxml* x, int32_t i) {
    if (x == nullptr || x->patterns == nullptr || !x->patterns->has(i)) {
        return 0;
    }
    size_t size = 0;
    if (pcre2_pattern_info(x->patterns->code(i), PCRE2_INFO_SIZE, &size) != 0) {
        return 0;
    }
    return size;
}

int KVTP_tpxml_get_compiled_regex(const KVTP_tpxml* x, int32_t i, void* buf) {
    size_t size = KVTP_tpxml_get_compiled_regex_sz(x, i);
    if (size == 0 || buf == nullptr) {
        return 0;
    }
    memcpy(buf, x->patterns->code(i), size);
    return 1;
}

const char* KVTP_get_keyval(const char* text, int32_t len, const char** name, int32_t* name_len,
                            const char** value, int32_t* value_len) {
    if (text == nullptr || len < 1) {
        return nullptr;
    }
    int32_t ws = KVTP_strlen_ws(text, len);
    const char* n = text + ws;
    int32_t eq = KVTP_strlen_equals(n, len - ws);
    if (ws + eq >= len || n[eq] != '=') {
        return nullptr;
    }
    int32_t nlen = KVTP_strlen_nws(n, eq);
    const char* v = n + eq + 1;
    int32_t left = len - ws - eq - 1;
    int32_t vws = KVTP_strlen_ws(v, left);
    if (vws >= left) {
        return nullptr;
    }
    int quote = KVTP_is_matching_quote(v[vws]);
    if (quote == 0) {
        return nullptr;
    }
    v += vws + 1;
    left -= vws + 1;
    int32_t vlen = KVTP_strlen_char(v, left, quote);
    if (vlen >= left) {
        return nullptr;
    }
    if (name != nullptr) {
        *name = n;
    }
    if (name_len != nullptr) {
        *name_len = nlen;
    }
    if (value != nullptr) {
        *value = v;
    }
    if (value_len != nullptr) {
        *value_len = vlen;
    }
    return v + vlen + 1;
}
