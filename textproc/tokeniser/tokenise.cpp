// SPDX-License-Identifier: MIT
#include "textproc/tokeniser/tokenise.h"

#include <cstdio>
#include <cstring>
#include <new>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "textproc/scanner/configsettings.h"
#include "textproc/scanner/logger.h"
#include "textproc/tokeniser/tokenise_lexer.h"
#include "textproc/tokeniser/tokenise_marks.h"
#include "textproc/tokeniser/tokenise_normalise.h"
#include "textproc/tokeniser/tokenise_utf8.h"
#include "textproc/tokeniser/tpc.h"
#include "textproc/toolkit/intarray.h"
#include "textproc/toolkit/oswrappers.h"
#include "textproc/toolkit/strarray.h"
#include "textproc/toolkit/string_ops.h"

using kvtp_tokenise::DecimalOffset;
using kvtp_tokenise::kFinalMark;
using kvtp_tokenise::kMarkStart;
using kvtp_tokenise::kMarkStartLen;
using kvtp_tokenise::kMaxMark;
using kvtp_tokenise::kSwarLimit;
using kvtp_tokenise::Lexer;
using kvtp_tokenise::LexState;
using kvtp_tokenise::Patterns;
using kvtp_tokenise::put_mark;
using kvtp_tokenise::put_mark_end;
using kvtp_tokenise::Token;

namespace {

constexpr int32_t kMaxContext = 4096;
constexpr int32_t kMaxAppNames = 8;
// The encoding is only estimated over more than this many bytes, and an
// invalid sequence this close to the end of a non-final buffer is left for
// more input to complete.
constexpr int32_t kEncodingWindow = 255;

constexpr int32_t kEncUtf8 = 0;
constexpr int32_t kEncUtf16BE = 1;
constexpr int32_t kEncStray = 2;
constexpr int32_t kEncUtf16LE = 3;

const char kParent[] = "<parent>";

struct Word {
    bool open = false;
    int64_t char_start = 0;
    int64_t byte_start = 0;
    int64_t chars = 0;
    int64_t bytes = 0;
    int32_t out_start = 0;  // output position where the word's text begins
    // While every token of the word is left unchanged by escaping, nothing is
    // written: at its end the mark and then the input bytes from in_start go
    // out in one piece, with no insertion before text already written.
    bool held = false;
    int32_t in_start = 0;
};

}  // namespace

struct KVTP_tokenise {
    const char* module_name;
    int32_t xml_input;
    int32_t document_start;
    int32_t check_encoding;
    int32_t lax;
    int32_t iso_fallback;
    int32_t context_size;
    int32_t processing_mode;
    KVTP_tpc* channel;
    // Offsets run over a whole document, which may exceed 2 GiB as a stream.
    int64_t char_offset;
    int64_t byte_offset;
    // Open-element stack: the start-tag texts, outermost first, one after the
    // other in one string, with their start offsets.
    KVTP_dystr* stack_text;
    KVTP_intarray* stack_starts;
    // Received text: bytes before input_head are consumed and wait for the
    // next compaction, so that a call rarely moves what it leaves pending.
    // Input positions (checked, raw_from, token positions) count from
    // input_head.
    KVTP_dystr* input;
    int32_t input_head;
    KVTP_dystr* output;
    KVTP_dystr* repair;
    KVTP_dystr* escaped;  // escaped token before normalisation
    KVTP_dystr* work;     // encoding repair
    KVTP_dystr* scratch;  // result of KVTP_tokenise_escaped_xml, re-inserted tags
    // Output of non-final calls that carried no content since the last
    // application tag. The channel drops such text when an application tag
    // follows, so it is released only together with what comes next: where
    // the pieces are cut then makes no difference.
    KVTP_dystr* deferred;
    Patterns* patterns;
    void* nrules;
    int32_t in_comment;
    int32_t in_cdata;
    int32_t marks_enabled;
    int32_t content_pending;
    int32_t detected_encoding;
    int32_t app_found;
    int32_t app_skip;
    int64_t char_shift;
    int64_t byte_shift;
    KVTP_dystr* app_tag;
    KVTP_strarray* app_names;
    int32_t app_name_len[kMaxAppNames];  // lengths of the first names, for a quick test
    bool app_first[256];                 // first bytes of the names: most tags fail here
    // Encoding repair state.
    int32_t checked;   // leading input bytes already known to be valid
    int32_t utf16;     // 0, or the byte order (1 or 3) of a UTF-16 run being decoded
    int32_t raw_from;  // input offset of the first undecoded UTF-16 byte
    int32_t missing_patterns;
#ifdef VRELAY_TEST_HOOKS
    // Every token through the general path and the compiled patterns.
    int32_t reference;
#endif
};

namespace {

// Reference mode exists only in test builds.
bool reference_mode(const KVTP_tokenise* tk) {
#ifdef VRELAY_TEST_HOOKS
    return tk->reference != 0;
#else
    (void)tk;
    return false;
#endif
}

KVTP_logger* logger_of(const KVTP_tokenise* tk) {
    return tk->channel != nullptr ? tk->channel->logger : nullptr;
}

bool is_space(unsigned char c) {
    return c == ' ' || (c >= 0x09 && c <= 0x0D);
}

inline void out(KVTP_tokenise* tk, const char* text, int32_t len) {
    KVTP_dystr_append_fast(tk->output, text, len);
}

// The input not yet tokenised and its length.
inline const char* pending_text(const KVTP_tokenise* tk) {
    return KVTP_dystr_cstr(tk->input) + tk->input_head;
}

inline int32_t pending_size(const KVTP_tokenise* tk) {
    return KVTP_dystr_len(tk->input) - tk->input_head;
}

// ---------------------------------------------------------------------------
// Configuration.

void apply_processing_mode(KVTP_tokenise* tk, const char* mode) {
    struct Mode {
        const char* name;
        int32_t value, check, lax, iso;
    };
    static const Mode kModes[] = {
        {"strict_utf8_xml", 0, 0, 0, 0},
        {"strict_xml", 1, 1, 0, 0},
        {"lax", 2, 1, 1, 0},
        {"lax_iso", 3, 1, 1, 1},
    };
    if (mode == nullptr)
        mode = "lax";  // the documented default
    // An unknown mode checks the encoding but repairs no markup, like mode 1.
    Mode chosen = {nullptr, 1, 1, 0, 0};
    for (const Mode& m : kModes) {
        if (strcmp(mode, m.name) == 0)
            chosen = m;
    }
    tk->processing_mode = chosen.value;
    tk->check_encoding = chosen.check;
    tk->lax = chosen.lax;
    tk->iso_fallback = chosen.iso;
}

int32_t read_context_size(const char* value) {
    if (value == nullptr)
        return kMaxContext;
    int32_t n = KVTP_atoi(value, static_cast<int32_t>(strlen(value)));
    return n >= 1 && n <= kMaxContext ? n : kMaxContext;
}

// ---------------------------------------------------------------------------
// Tag names.

// Tag names are short: a byte loop beats a call.
inline bool names_equal(const char* a, int32_t alen, const char* b, int32_t blen) {
    if (alen != blen)
        return false;
    if (alen > 16)
        return memcmp(a, b, static_cast<size_t>(alen)) == 0;
    for (int32_t i = 0; i < alen; ++i) {
        if (a[i] != b[i])
            return false;
    }
    return true;
}

bool listed_app_name(const KVTP_tokenise* tk, const char* name, int32_t len) {
    int32_t n = KVTP_strarray_sz(tk->app_names);
    for (int32_t i = 0; i < n; ++i) {
        if (i < kMaxAppNames && tk->app_name_len[i] != len)
            continue;
        const char* a = KVTP_strarray_idx(tk->app_names, i);
        // The length is known equal for the first names.
        const int32_t alen = i < kMaxAppNames ? len : static_cast<int32_t>(strlen(a));
        if (names_equal(a, alen, name, len))
            return true;
    }
    return false;
}

// Most names fail on their first byte: that test is made inline.
inline bool is_app_name(const KVTP_tokenise* tk, const char* name, int32_t len) {
    if (len > 0 && !tk->app_first[static_cast<unsigned char>(name[0])])
        return false;
    return listed_app_name(tk, name, len);
}

// Name of an end tag "</name W*>".
const char* close_tag_name(const char* tag, int32_t len, int32_t* name_len) {
    int32_t i = 2;
    while (i < len && tag[i] != '>' && !is_space(static_cast<unsigned char>(tag[i])))
        ++i;
    *name_len = i > 2 ? i - 2 : 0;
    return tag + (len >= 2 ? 2 : len);
}

// The stack is read on every word and tag: its arrays are accessed directly.
inline int32_t stack_size(const KVTP_tokenise* tk) {
    return tk->stack_starts->count;
}

inline int32_t stack_start(const KVTP_tokenise* tk, int32_t i) {
    return reinterpret_cast<const int32_t*>(tk->stack_starts->data)[i];
}

const char* stack_tag(const KVTP_tokenise* tk, int32_t i, int32_t* len) {
    const int32_t n = stack_size(tk);
    const int32_t start = stack_start(tk, i);
    const int32_t end = i + 1 < n ? stack_start(tk, i + 1) : KVTP_dystr_len(tk->stack_text);
    *len = end - start;
    return tk->stack_text->data + start;
}

void stack_push(KVTP_tokenise* tk, const char* tag, int32_t len) {
    KVTP_intarray* starts = tk->stack_starts;
    const int32_t start = KVTP_dystr_len(tk->stack_text);
    if (starts->data != nullptr && starts->count < starts->capacity) {
        reinterpret_cast<int32_t*>(starts->data)[starts->count++] = start;
    } else if (!KVTP_intarray_add(starts, start)) {
        return;
    }
    KVTP_dystr_append_fast(tk->stack_text, tag, len);
}

void stack_pop(KVTP_tokenise* tk) {
    const int32_t n = stack_size(tk);
    if (n == 0)
        return;
    KVTP_dystr_cut(tk->stack_text, stack_start(tk, n - 1));
    tk->stack_starts->count = n - 1;
}

void stack_clear(KVTP_tokenise* tk) {
    KVTP_dystr_clear(tk->stack_text);
    KVTP_intarray_clear(tk->stack_starts);
}

const char* element_name(const KVTP_tokenise* tk, int32_t i, int32_t* name_len) {
    int32_t len = 0;
    const char* tag = stack_tag(tk, i, &len);
    return KVTP_tokenise_opentagname(tag, len, name_len);
}

// Whether the innermost open element is named name, which is not empty and
// holds neither white space nor ">" (an end tag's name). Its start tag is
// compared as it is, without measuring its name: the names are equal when the
// tag goes on after the name with white space, or ends there with ">".
bool innermost_is(const KVTP_tokenise* tk, const char* name, int32_t len) {
    const int32_t depth = stack_size(tk);
    if (depth == 0)
        return false;
    int32_t tag_len = 0;
    const char* tag = stack_tag(tk, depth - 1, &tag_len);
    if (tag_len < len + 2 || !names_equal(tag + 1, len, name, len))
        return false;
    const unsigned char after = static_cast<unsigned char>(tag[len + 1]);
    return is_space(after) || (after == '>' && tag_len == len + 2);
}

// "</name>" for every open element, innermost first, down to index `lowest`.
void append_closes(KVTP_tokenise* tk, KVTP_dystr* dst, int32_t lowest) {
    for (int32_t i = stack_size(tk) - 1; i >= lowest; --i) {
        int32_t n = 0;
        const char* name = element_name(tk, i, &n);
        KVTP_dystr_append3(dst, "</", 2, name, n, ">", 1);
    }
}

// Re-inserts the start tags of open elements [0, upto) into the input at pos
// so that the next call opens them again; the inserted text is subtracted from
// the mark offsets through the shifts. With count_skip, re-inserted
// application start tags are to be passed as ordinary tags.
void reinsert_open_elements(KVTP_tokenise* tk, int32_t upto, int32_t pos, bool count_skip) {
    KVTP_dystr_clear(tk->scratch);
    for (int32_t i = 0; i < upto; ++i) {
        int32_t tag_len = 0;
        const char* tag = stack_tag(tk, i, &tag_len);
        KVTP_dystr_append(tk->scratch, tag, tag_len);
        if (count_skip) {
            int32_t n = 0;
            const char* name = element_name(tk, i, &n);
            if (is_app_name(tk, name, n))
                ++tk->app_skip;
        }
    }
    int32_t len = KVTP_dystr_sz(tk->scratch);
    if (len == 0)
        return;
    const char* text = KVTP_dystr_cstr(tk->scratch);
    KVTP_dystr_insert_range(tk->input, text, len, tk->input_head + pos);
    tk->char_shift += kvtp_tokenise::count_chars(text, len);
    tk->byte_shift += len;
    if (pos <= tk->checked)
        tk->checked += len;
    if (tk->utf16 != 0 && pos <= tk->raw_from)
        tk->raw_from += len;
}

// ---------------------------------------------------------------------------
// Escaping.

bool is_bad_ascii(unsigned char c) {
    return c < 0x20 && c != '\t' && c != '\n' && c != '\r';
}

// Text that escaping leaves unchanged: printable ASCII, tab, LF, CR.
bool plain_ascii(const char* s, int32_t len) {
    for (int32_t i = 0; i < len; ++i) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (c >= 0x80 || c == '<' || c == '>' || c == '&' || is_bad_ascii(c))
            return false;
    }
    return true;
}

// Appends the escaped and normalised text of a token to dst.
void escape_into(KVTP_tokenise* tk, const char* s, int32_t len, KVTP_dystr* dst) {
    if (plain_ascii(s, len)) {
        KVTP_dystr_append(dst, s, len);
        return;
    }
    KVTP_dystr* e = tk->escaped;
    KVTP_dystr_clear(e);
    const unsigned char* p = reinterpret_cast<const unsigned char*>(s);
    const unsigned char* end = p + len;
    int32_t i = 0;
    while (i < len) {
        unsigned char c = p[i];
        if (c == '<') {
            KVTP_dystr_append(e, "&lt;", 4);
            ++i;
        } else if (c == '>') {
            KVTP_dystr_append(e, "&gt;", 4);
            ++i;
        } else if (c == '&') {
            bool entity =
                tk->patterns->has(kvtp_tokenise::kEntityPattern)
                    ? tk->patterns->match(kvtp_tokenise::kEntityPattern, s + i, len - i) > 0
                    : kvtp_tokenise::scan_entity(s + i, len - i) > 0;
            // The text up to the end of the entity is valid ASCII, so matching
            // it without a validity check is safe.
            if (entity) {
                KVTP_dystr_append(e, "&", 1);
            } else {
                KVTP_dystr_append(e, "&amp;", 5);
            }
            ++i;
        } else if (c < 0x80) {
            char ch = is_bad_ascii(c) ? '_' : static_cast<char>(c);
            KVTP_dystr_append(e, &ch, 1);
            ++i;
        } else {
            int n = kvtp_tokenise::valid_seq(p + i, end);
            if (n == 0) {
                KVTP_dystr_append(e, "_", 1);
                i += kvtp_tokenise::invalid_seq(p + i, end);
                continue;
            }
            // The bad-character pattern sees only this valid character.
            bool bad;
            if (tk->patterns->has(kvtp_tokenise::kBadCharPattern)) {
                bad = tk->patterns->match(kvtp_tokenise::kBadCharPattern, s + i, n) > 0;
            } else {
                uint32_t cp = kvtp_tokenise::decode(p + i, n);
                bad = cp == 0xFFFE || cp == 0xFFFF;
            }
            if (bad) {
                KVTP_dystr_append(e, "_", 1);
            } else {
                KVTP_dystr_append(e, s + i, n);
            }
            i += n;
        }
    }
    KVTP_utf8_normalise_composed(KVTP_dystr_cstr(e), KVTP_dystr_sz(e), dst, 0);
}

// ---------------------------------------------------------------------------
// Marks.

// Appends a mark and then len bytes of text to the output: straight into its
// spare room when that suffices (the usual case), else in two appends.
inline void out_mark_and_text(KVTP_tokenise* tk, int64_t c, int64_t b, int64_t chars, int64_t bytes,
                              const char* text, int32_t len) {
    KVTP_dystr* o = tk->output;
    char* const tail = KVTP_dystr_tail(o, kMaxMark + len);
    if (tail != nullptr) {
        char* p = put_mark(tail, c, b, chars, bytes);
        KVTP_copy_short(p, text, len);
        KVTP_dystr_commit(o, static_cast<int32_t>(p - tail) + len);
        return;
    }
    char mark[kMaxMark];
    out(tk, mark, static_cast<int32_t>(put_mark(mark, c, b, chars, bytes) - mark));
    out(tk, text, len);
}

// Ends the open word: its mark goes before its text (and the held text, if
// any, after the mark). `input` is the input buffer the word was read from.
void close_word(KVTP_tokenise* tk, const Word& w, const char* input) {
    const int32_t word_bytes = static_cast<int32_t>(w.bytes);
    const int64_t c = w.char_start - tk->char_shift;
    const int64_t b = w.byte_start - tk->byte_shift;
    if (!tk->marks_enabled) {
        if (w.held)
            out(tk, input + w.in_start, word_bytes);
    } else if (w.held) {
        out_mark_and_text(tk, c, b, w.chars, w.bytes, input + w.in_start, word_bytes);
    } else {
        // The word's text is already out: the mark goes in before it.
        char mark[kMaxMark];
        const char* end = put_mark(mark, c, b, w.chars, w.bytes);
        KVTP_dystr_insert_fast(tk->output, mark, static_cast<int32_t>(end - mark), w.out_start);
    }
}

// ---------------------------------------------------------------------------
// Application tags.

// Application-tag check for a start or empty-element tag at input position
// pos. Returns true when the call is to stop before the tag.
bool stop_at_app_tag(KVTP_tokenise* tk, const char* tag, int32_t len, int32_t pos) {
    // The name runs to the first white space, or to the last character when
    // there is none (so "<voice/>" is named "voice/" and never qualifies).
    int32_t name_len = 0;
    const char* name = tag + 1;
    // No application name starts with this byte: the usual case, decided
    // before the name is measured.
    if (len > 2 && !is_space(static_cast<unsigned char>(name[0])) &&
        !tk->app_first[static_cast<unsigned char>(name[0])])
        return false;
    while (name_len < len - 1 && !is_space(static_cast<unsigned char>(name[name_len])))
        ++name_len;
    if (name_len == len - 1)
        name_len = len - 2;
    if (!is_app_name(tk, name, name_len))
        return false;
    if (tk->app_skip > 0) {
        --tk->app_skip;
        return false;
    }
    if (names_equal(KVTP_dystr_cstr(tk->app_tag), KVTP_dystr_sz(tk->app_tag), tag, len)) {
        KVTP_dystr_clear(tk->app_tag);  // met again after its callback
        return false;
    }
    KVTP_dystr_replace(tk->app_tag, tag, len);  // before the input moves
    append_closes(tk, tk->output, 0);
    reinsert_open_elements(tk, stack_size(tk), pos, true);
    stack_clear(tk);
    tk->app_found = 1;
    return true;
}

// A start, empty-element or end tag in XML mode, outside comments and CDATA.
// Returns false when the call is to stop before the tag (an application start
// tag); an application end tag is consumed and sets the found flag.
inline bool handle_tag(KVTP_tokenise* tk, int cls, const char* tok, int32_t len, int32_t pos) {
    if (cls == kvtp_tokenise::kClose) {
        const char* repair = nullptr;
        int32_t repair_len = 0;
        int copy = KVTP_tokenise_check_closetags(tk, tok, len, pos + len, &repair, &repair_len);
        out(tk, repair, repair_len);
        if (copy)
            out(tk, tok, len);
        return true;
    }
    if (stop_at_app_tag(tk, tok, len, pos))
        return false;
    out(tk, tok, len);
    if (cls == kvtp_tokenise::kOpen) {
        stack_push(tk, tok, len);
    } else {
        tk->content_pending = 1;
    }
    return true;
}

// True when [p, p + len) is ASCII only.
inline bool all_ascii(const unsigned char* p, int32_t len) {
    int32_t i = 0;
    for (; i + 8 <= len; i += 8) {
        uint64_t w;
        memcpy(&w, p + i, 8);
        if ((w & 0x8080808080808080ull) != 0)
            return false;
    }
    for (; i < len; ++i) {
        if (p[i] >= 0x80)
            return false;
    }
    return true;
}

// In lax XML mode a word outside every element opens a repaired <parent>.
inline void wrap_outside_element(KVTP_tokenise* tk, bool xml) {
    if (xml && tk->lax && stack_size(tk) == 0) {
        stack_push(tk, kParent, sizeof kParent - 1);
        out(tk, "<parent><xmlfixopen/>", 21);
    }
}

// Opens a word at input position pos. In lax XML mode text outside every
// element is wrapped in a repaired <parent> element first. The word's text is
// held back (see Word) until something escaping changes comes along.
inline void open_word(KVTP_tokenise* tk, Word& word, int32_t pos, bool xml) {
    word.open = true;
    word.char_start = tk->char_offset;
    word.byte_start = tk->byte_offset;
    word.chars = 0;
    word.bytes = 0;
    wrap_outside_element(tk, xml);
    word.out_start = KVTP_dystr_len(tk->output);
    word.held = true;
    word.in_start = pos;
}

// First position at or after i (below size) whose byte is not ASCII white
// space, or size.
inline int32_t space_run_end(const unsigned char* u, int32_t i, int32_t size) {
    const kvtp_tokenise::ByteClasses& k = kvtp_tokenise::kByteClasses;
    while (i < size && k.space[u[i]])
        ++i;
    return i;
}

// Room for n more bytes at the end of the output, grown if need be: where
// they go, with *room_end set to the end of the room (the string's NUL goes
// there at the commit); null when the output cannot grow.
inline char* output_room(KVTP_dystr* o, int32_t n, char** room_end) {
    char* tail = KVTP_dystr_tail(o, n);
    if (tail == nullptr && KVTP_dystr_extend(o, n))
        tail = KVTP_dystr_tail(o, n);
    if (tail != nullptr)
        *room_end = o->data + o->capacity - 1;
    return tail;
}

// Words of plain bytes, each followed by ASCII white space that ends it, in
// XML mode with no word open: the bulk of any text. The first word is
// [pos, end) with its space up to space_end. Each word opens and closes at
// once; its mark, its text and its space go straight into the output, with
// the offsets and the output position kept in locals. Stops before anything
// else, at the end of the input or at the limit (as the caller's loop would),
// and returns the position reached.
int32_t out_plain_words(KVTP_tokenise* tk, const unsigned char* u, int32_t pos, int32_t end,
                        int32_t space_end, int32_t size, int32_t limit) {
    const kvtp_tokenise::ByteClasses& k = kvtp_tokenise::kByteClasses;
    wrap_outside_element(tk, true);  // one element then holds every word
    tk->content_pending = 1;
    const bool marks = tk->marks_enabled != 0;
    const int64_t start_pos = pos;
    int64_t c = tk->char_offset - tk->char_shift;
    int64_t b = tk->byte_offset - tk->byte_shift;
    // The words are ASCII: both offsets advance alike and, equal (as they are
    // until the first other character), are carried forward in decimal.
    bool carried = c == b && c >= 0 && c < kSwarLimit;
    DecimalOffset offset(carried ? static_cast<uint32_t>(c) : 0);
    KVTP_dystr* o = tk->output;
    char* room_start = nullptr;
    char* room_end = nullptr;
    char* dst = nullptr;
    for (;;) {
        const int32_t len = end - pos;
        const int32_t n = space_end - pos;
        if (dst == nullptr || room_end - dst < kMaxMark + n) {
            if (dst != nullptr)
                KVTP_dystr_commit(o, static_cast<int32_t>(dst - room_start));
            dst = room_start = output_room(o, kMaxMark + n, &room_end);
        }
        if (dst == nullptr) {
            // No room to be had: the appends report the failure.
            if (marks) {
                out_mark_and_text(tk, c, b, len, len, reinterpret_cast<const char*>(u) + pos, n);
            } else {
                out(tk, reinterpret_cast<const char*>(u) + pos, n);
            }
        } else {
            if (marks && carried) {
                memcpy(dst, kMarkStart, kMarkStartLen);
                dst = offset.put(dst + kMarkStartLen);
                *dst++ = '_';
                dst = put_mark_end(offset.put(dst), len, len);
            } else if (marks) {
                dst = put_mark(dst, c, b, len, len);
            }
            KVTP_copy_short(dst, reinterpret_cast<const char*>(u) + pos, n);
            dst += n;
        }
        c += n;
        b += n;
        carried = carried && offset.add(static_cast<uint32_t>(n));
        pos = space_end;
        // The next word must have the same shape.
        if (pos >= size || (limit > 0 && pos >= limit) || !k.plain[u[pos]])
            break;
        end = kvtp_tokenise::plain_run_end(u, pos + 1, size);
        if (end >= size || !k.space[u[end]])
            break;
        space_end = space_run_end(u, end + 1, size);
        if (space_end < size && u[space_end] >= 0x80)
            break;
    }
    if (dst != nullptr)
        KVTP_dystr_commit(o, static_cast<int32_t>(dst - room_start));
    tk->char_offset += pos - start_pos;
    tk->byte_offset += pos - start_pos;
    return pos;
}

// Ends the word if one is open: its mark goes out.
inline void end_word(KVTP_tokenise* tk, Word& word, const char* input) {
    if (word.open) {
        close_word(tk, word, input);
        word.open = false;
    }
}

// Markup-free text goes out as it is in XML mode and escaped otherwise.
inline void out_text(KVTP_tokenise* tk, bool xml, const char* tok, int32_t len) {
    if (xml) {
        out(tk, tok, len);
    } else {
        escape_into(tk, tok, len, tk->output);
    }
}

// The limit falls between words: a word open at the limit is read to its
// end, so that a word made of several tokens (letters and entities, say) is
// never cut in two where the caller's pieces meet.
inline bool reached_end(const Word& word, int32_t pos, int32_t size, int32_t limit) {
    return pos >= size || (limit > 0 && pos >= limit && !word.open);
}

// The fast path: runs of printable ASCII text and (in XML mode) ASCII white
// space and plain tags outside comments and CDATA, the bulk of any document,
// handled without the general token machinery, with the same result. Moves
// *pos past them; true when the loop is done (at *pos), false when the next
// token (markup, other characters) is the general path's.
bool tokenise_fast(KVTP_tokenise* tk, Word& word, const char* buf, int32_t size, int32_t limit,
                   int32_t* pos_io) {
    const bool xml = tk->xml_input != 0;
    const unsigned char* u = reinterpret_cast<const unsigned char*>(buf);
    const kvtp_tokenise::ByteClasses& k = kvtp_tokenise::kByteClasses;
    int32_t& pos = *pos_io;
    while (pos < size) {
        const unsigned char c = u[pos];
        int32_t i;
        if (k.plain[c]) {
            i = kvtp_tokenise::plain_run_end(u, pos + 1, size);
            if (i < size && !k.ends_text[u[i]])
                return false;  // the token goes on with bytes escaping may change
            if (xml && !word.open && i < size && k.space[u[i]]) {
                const int32_t j = space_run_end(u, i + 1, size);
                if (j == size || u[j] < 0x80) {
                    pos = out_plain_words(tk, u, pos, i, j, size, limit);
                    if (reached_end(word, pos, size, limit))
                        return true;
                    continue;
                }
            }
            const int32_t len = i - pos;
            if (!word.open) {
                open_word(tk, word, pos, xml);
            } else if (!word.held) {
                out(tk, buf + pos, len);
            }
            tk->content_pending = 1;
            word.chars += len;
            word.bytes += len;
        } else if (xml && k.space[c]) {
            i = space_run_end(u, pos + 1, size);
            if (i < size && u[i] >= 0x80)
                return false;  // may go on with other white space
            end_word(tk, word, buf);
            out(tk, buf + pos, i - pos);
        } else if (c == '<' && xml) {
            // Plain tags, read by hand. An ASCII tag lies in valid text,
            // where the general path would read it the same way.
            int32_t tag_len = 0;
            const int cls = kvtp_tokenise::simple_tag(u + pos, size - pos, &tag_len);
            if (cls < 0 || !all_ascii(u + pos, tag_len))
                return false;
            end_word(tk, word, buf);
            if (!handle_tag(tk, cls, buf + pos, tag_len, pos))
                return true;  // tag not consumed
            i = pos + tag_len;
            if (tk->app_found) {
                // An application end tag: the input behind it changed.
                tk->char_offset += tag_len;
                tk->byte_offset += tag_len;
                pos = i;
                return true;
            }
        } else {
            return false;
        }
        tk->char_offset += i - pos;
        tk->byte_offset += i - pos;
        pos = i;
        if (reached_end(word, pos, size, limit)) {
            end_word(tk, word, buf);
            return true;
        }
    }
    return false;
}

// A token that belongs to a word, outside comments and CDATA: opens the word
// or goes on with it, the token escaped unless escaping leaves it unchanged.
void out_word_token(KVTP_tokenise* tk, Word& word, const Token& t, int cls, const char* buf,
                    int32_t pos) {
    const bool xml = tk->xml_input != 0;
    const char* tok = buf + pos;
    if (!word.open)
        open_word(tk, word, pos, xml);
    tk->content_pending = 1;
    // Tokens that escaping leaves unchanged: plain text, entity references,
    // "-" and "]"; in strict XML mode every word token.
    const bool unchanged = (xml && !tk->lax) || t.plain || cls == kvtp_tokenise::kEntity ||
                           (cls == kvtp_tokenise::kChar && (tok[0] == '-' || tok[0] == ']'));
    if (!(word.held && unchanged)) {
        if (word.held) {
            out(tk, buf + word.in_start, pos - word.in_start);
            word.held = false;
        }
        if (unchanged) {
            out(tk, tok, t.len);
        } else {
            escape_into(tk, tok, t.len, tk->output);
        }
    }
    word.chars += t.chars;
    word.bytes += t.len;
}

// Any other token outside comments and CDATA: markup, white space, or what
// is dropped. False when a tag was not consumed.
bool out_other_token(KVTP_tokenise* tk, int cls, const char* tok, int32_t len, int32_t pos) {
    const bool xml = tk->xml_input != 0;
    switch (cls) {
        case kvtp_tokenise::kCommentStart:
            tk->in_comment = 1;
            break;
        case kvtp_tokenise::kCDATAStart:
            tk->in_cdata = 1;
            tk->content_pending = 1;
            out_text(tk, xml, tok, len);
            break;
        case kvtp_tokenise::kWhitespace:
            out_text(tk, xml, tok, len);
            break;
        case kvtp_tokenise::kEmpty:
        case kvtp_tokenise::kOpen:
        case kvtp_tokenise::kClose:
            if (!xml)
                out_text(tk, xml, tok, len);
            else if (!handle_tag(tk, cls, tok, len, pos))
                return false;
            break;
        default:
            break;  // a header, doctype or <html>: dropped
    }
    return true;
}

// The general path: the next token by the lexer, whatever it is. Moves *pos
// past it; true when the loop is done (at *pos).
bool tokenise_general(KVTP_tokenise* tk, Word& word, Lexer& lexer, const char* buf, int32_t size,
                      int32_t limit, int32_t* pos_io) {
    int32_t& pos = *pos_io;
    const LexState state = tk->in_comment ? kvtp_tokenise::kInComment
                           : tk->in_cdata ? kvtp_tokenise::kInCDATA
                                          : kvtp_tokenise::kNormal;
    Token t = lexer.next(pos, state, reference_mode(tk));
    if (t.cls < 0)
        t = {kvtp_tokenise::kWhitespace, 0, 0, false};  // nothing matched
    int cls = t.cls;
    if (cls == kvtp_tokenise::kCommentEnd && !tk->in_comment)
        cls = kvtp_tokenise::kText;
    if (cls == kvtp_tokenise::kCDATAEnd && !tk->in_cdata)
        cls = kvtp_tokenise::kText;
    const bool inside = tk->in_comment || tk->in_cdata;
    const bool word_token = !inside && (cls == kvtp_tokenise::kEntity ||
                                        cls == kvtp_tokenise::kText || cls == kvtp_tokenise::kChar);
    if (!word_token)
        end_word(tk, word, buf);
    const char* tok = buf + pos;
    if (tk->in_comment) {
        // Everything inside a comment is dropped.
        if (cls == kvtp_tokenise::kCommentEnd)
            tk->in_comment = 0;
    } else if (tk->in_cdata) {
        if (cls == kvtp_tokenise::kCDATAEnd)
            tk->in_cdata = 0;
        out_text(tk, tk->xml_input != 0, tok, t.len);
    } else if (word_token) {
        out_word_token(tk, word, t, cls, buf, pos);
    } else if (!out_other_token(tk, cls, tok, t.len, pos)) {
        return true;  // tag not consumed
    }
    tk->char_offset += t.chars;
    tk->byte_offset += t.len;
    pos += t.len;
    if (reached_end(word, pos, size, limit)) {
        end_word(tk, word, buf);
        return true;
    }
    return t.len == 0 || tk->app_found;
}

// ---------------------------------------------------------------------------
// The core loop: tokenises from the start of the input buffer until the input
// is exhausted, `limit` bytes are consumed (limit > 0), or an application tag
// stops it. Returns the bytes consumed.
int32_t tokenise_upto(KVTP_tokenise* tk, int32_t limit) {
    int32_t size = pending_size(tk);
    if (size == 0)
        return 0;
    const char* buf = pending_text(tk);
    // With the encoding checked, the first `checked` bytes are known to be
    // valid and need no second look.
    Lexer lexer(*tk->patterns, buf, size, tk->check_encoding ? tk->checked : 0);
    const bool fast = !reference_mode(tk);
    Word word;
    int32_t pos = 0;
    for (;;) {
        // Neither comment nor CDATA state changes on the fast path: it is
        // tested once per general token.
        if (fast && !tk->in_comment && !tk->in_cdata &&
            tokenise_fast(tk, word, buf, size, limit, &pos))
            return pos;
        if (tokenise_general(tk, word, lexer, buf, size, limit, &pos))
            return pos;
    }
}

// ---------------------------------------------------------------------------
// Encoding repair.

// Encoding estimate over [from, to) of the input. Returns the first invalid
// sequence it met (-1: none), or -2 when it did not look for one.
int32_t estimate_encoding(KVTP_tokenise* tk, const char* s, int32_t from, int32_t to) {
    // A NUL counts as invalid: clean text, the usual case, is decided by one
    // scan.
    if (kvtp_tokenise::first_invalid(s, from, to, true) < 0) {
        tk->detected_encoding = kEncUtf8;
        return -1;
    }
    int32_t len = to - from;
    int32_t nuls = 0;
    for (const char* q = s + from;
         (q = static_cast<const char*>(memchr(q, 0, static_cast<size_t>(s + to - q)))) != nullptr;
         ++q) {
        ++nuls;
        if (q + 1 >= s + to)
            break;
    }
    if (static_cast<int64_t>(nuls) * 20 > len) {
        tk->detected_encoding = kEncUtf16BE;
        return -2;
    }
    const unsigned char* p = reinterpret_cast<const unsigned char*>(s);
    int32_t invalid = 0;
    int32_t first = -1;
    int32_t i = from;
    while (i < to) {
        int32_t bad = kvtp_tokenise::first_invalid(s, i, to, true);
        if (bad < 0)
            break;
        if (invalid == 0)
            first = bad;
        ++invalid;
        i = bad + (p[bad] == 0 ? 1 : kvtp_tokenise::invalid_seq(p + bad, p + to));
    }
    if (static_cast<int64_t>(invalid) * 8 > len) {
        tk->detected_encoding = kEncUtf16BE;
    } else if (static_cast<int64_t>(invalid) * 20 <= len) {
        tk->detected_encoding = invalid > 0 ? kEncStray : kEncUtf8;
    }
    return first;
}

// Decodes UTF-16 bytes [from, to) of s in the given byte order into dst.
// Returns the number of bytes consumed: an odd trailing byte, or a high
// surrogate that may pair with later input, is left when more input follows.
int32_t decode_utf16(const char* s, int32_t from, int32_t to, int32_t order, bool final,
                     KVTP_dystr* dst) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(s);
    auto unit = [&](int32_t i) -> uint32_t {
        return order == kEncUtf16LE ? (p[i] | (p[i + 1] << 8)) : ((p[i] << 8) | p[i + 1]);
    };
    char enc[4];
    int32_t i = from;
    while (to - i >= 2) {
        uint32_t u = unit(i);
        uint32_t cp = u;
        int32_t step = 2;
        if (u >= 0xD800 && u <= 0xDBFF) {
            if (to - i < 4 && !final)
                break;  // the pair may complete later
            uint32_t low = to - i >= 4 ? unit(i + 2) : 0;
            if (low >= 0xDC00 && low <= 0xDFFF) {
                cp = 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00);
                step = 4;
            } else {
                cp = 0xFFFD;
            }
        } else if (u >= 0xDC00 && u <= 0xDFFF) {
            cp = 0xFFFD;
        }
        i += step;
        if (cp == 0 || cp == 0xFEFF)
            continue;  // NUL units and byte-order marks carry no text
        KVTP_dystr_append(dst, enc, kvtp_tokenise::encode(cp, enc));
    }
    if (final)
        i = to;  // an odd last byte is dropped
    return i - from;
}

// Replaces input bytes [from, size) by `replacement`.
void splice_input(KVTP_tokenise* tk, int32_t from, KVTP_dystr* replacement) {
    KVTP_dystr_truncate(tk->input, tk->input_head + from);
    KVTP_dystr_append(tk->input, KVTP_dystr_cstr(replacement), KVTP_dystr_sz(replacement));
}

// Converts the undecoded UTF-16 tail of the input.
void continue_utf16(KVTP_tokenise* tk, bool final) {
    int32_t size = pending_size(tk);
    if (tk->raw_from >= size)
        return;
    KVTP_dystr* w = tk->work;
    KVTP_dystr_clear(w);
    const char* s = pending_text(tk);
    int32_t used = decode_utf16(s, tk->raw_from, size, tk->utf16, final, w);
    int32_t decoded = KVTP_dystr_sz(w);
    KVTP_dystr_append(w, s + tk->raw_from + used, size - tk->raw_from - used);
    splice_input(tk, tk->raw_from, w);
    tk->raw_from += decoded;
    tk->checked = tk->raw_from;
}

// Rebuilds the input from its first invalid sequence at `bad`.
void rebuild_input(KVTP_tokenise* tk, int32_t bad, bool final) {
    const char* s = pending_text(tk);
    const unsigned char* p = reinterpret_cast<const unsigned char*>(s);
    const int32_t size = pending_size(tk);
    const unsigned char* end = p + size;
    KVTP_dystr* w = tk->work;
    KVTP_dystr_clear(w);
    int32_t from = bad;
    int32_t i = bad;
    int32_t held = -1;  // work offset of bytes left for more input to complete
    while (i < size) {
        int32_t next_bad = kvtp_tokenise::first_invalid(s, i, size, true);
        if (next_bad < 0)
            next_bad = size;
        KVTP_dystr_append(w, s + i, next_bad - i);
        i = next_bad;
        if (i >= size)
            break;
        if (p[i] == 0xFF && i + 1 < size && p[i + 1] == 0xFE) {
            tk->detected_encoding = kEncUtf16LE;
            i += 2;
            continue;
        }
        if (p[i] == 0xFE && i + 1 < size && p[i + 1] == 0xFF) {
            tk->detected_encoding = kEncUtf16BE;
            i += 2;
            continue;
        }
        if (p[i] == 0xF9 && i + 2 < size && p[i + 1] == 0xBB && p[i + 2] == 0xBF) {
            tk->detected_encoding = kEncUtf8;
            i += 3;
            continue;
        }
        if (!final && kvtp_tokenise::incomplete_seq(p + i, end)) {
            held = KVTP_dystr_sz(w);
            KVTP_dystr_append(w, s + i, size - i);
            break;
        }
        if (tk->iso_fallback || tk->detected_encoding == kEncStray) {
            // The byte read as ISO-8859-1; a NUL becomes "_" so that no NUL
            // reaches the output.
            char enc[4];
            int n = p[i] == 0 ? (enc[0] = '_', 1) : kvtp_tokenise::encode(p[i], enc);
            KVTP_dystr_append(w, enc, n);
            ++i;
        } else if (tk->detected_encoding == kEncUtf16BE || tk->detected_encoding == kEncUtf16LE) {
            int32_t order = tk->detected_encoding;
            // Little-endian ASCII shows up as "x NUL": the unit starts at the
            // byte before the NUL, which was copied as valid text.
            if (order == kEncUtf16LE && p[i] == 0 && i > 0 && p[i - 1] >= 1 && p[i - 1] < 0x80) {
                if (KVTP_dystr_sz(w) > 0) {
                    KVTP_dystr_truncate(w, KVTP_dystr_sz(w) - 1);
                    --i;
                } else if (from > 0 && i == from) {
                    --from;
                    --i;
                }
            }
            int32_t used = decode_utf16(s, i, size, order, final, w);
            tk->utf16 = order;
            held = KVTP_dystr_sz(w);
            KVTP_dystr_append(w, s + i + used, size - i - used);
            i = size;
            break;
        } else {
            KVTP_dystr_append(w, "_", 1);
            i += p[i] == 0 ? 1 : kvtp_tokenise::invalid_seq(p + i, end);
        }
    }
    int32_t clean = held >= 0 ? held : KVTP_dystr_sz(w);
    splice_input(tk, from, w);
    tk->checked = from + clean;
    if (tk->utf16 != 0)
        tk->raw_from = from + clean;
}

void repair_encoding(KVTP_tokenise* tk, int32_t old_size, bool final) {
    const int32_t size = pending_size(tk);
    const char* s = pending_text(tk);
    const int32_t added = size - old_size;
    // The estimate scans for invalid sequences too: when it started where
    // the check below starts, its first find is the check's answer.
    int32_t scanned_from = -1;
    int32_t first_bad = -2;
    if (old_size > kEncodingWindow && added > kEncodingWindow) {
        scanned_from = old_size;
        first_bad = estimate_encoding(tk, s, old_size, size);
    } else if (size > kEncodingWindow) {
        scanned_from = 0;
        first_bad = estimate_encoding(tk, s, 0, size);
    }
    if (tk->utf16 != 0) {
        continue_utf16(tk, final);
        return;
    }
    if (tk->checked > size)
        tk->checked = size;
    int32_t bad = first_bad != -2 && scanned_from == tk->checked
                      ? first_bad
                      : kvtp_tokenise::first_invalid(s, tk->checked, size, true);
    if (bad < 0) {
        tk->checked = size;
        return;
    }
    tk->checked = bad;
    if (!final && size - bad <= kEncodingWindow)
        return;  // more input may complete it
    rebuild_input(tk, bad, final);
}

void consume_input(KVTP_tokenise* tk, int32_t n) {
    if (n <= 0)
        return;
    const int32_t size = pending_size(tk);
    if (size == 0)
        return;
    if (n > size)
        n = size;
    tk->input_head += n;
    const int32_t left = size - n;
    if (left == 0) {
        KVTP_dystr_cut(tk->input, 0);
        tk->input_head = 0;
    } else if (tk->input_head >= 4 * tk->context_size && tk->input_head > left) {
        // Consumed input is moved out only once it is large beside the
        // context kept back and more than what remains: a byte is moved a
        // bounded number of times, and in a stream of small pieces only the
        // context every few pieces, while the buffer stays a few contexts
        // long (every open connection has one).
        KVTP_dystr_drop_front(tk->input, tk->input_head);
        tk->input_head = 0;
    }
    tk->checked = tk->checked > n ? tk->checked - n : 0;
    tk->raw_from = tk->raw_from > n ? tk->raw_from - n : 0;
}

void clear_document_state(KVTP_tokenise* tk) {
    KVTP_dystr_clear(tk->input);
    tk->input_head = 0;
    KVTP_dystr_clear(tk->deferred);
    stack_clear(tk);
    tk->char_offset = 0;
    tk->byte_offset = 0;
    tk->in_comment = 0;
    tk->in_cdata = 0;
    tk->content_pending = 0;
    tk->detected_encoding = kEncUtf8;
    tk->app_skip = 0;
    tk->char_shift = 0;
    tk->byte_shift = 0;
    // A stored tag must not make the same tag of the next document ordinary.
    tk->app_found = 0;
    KVTP_dystr_clear(tk->app_tag);
    tk->checked = 0;
    tk->utf16 = 0;
    tk->raw_from = 0;
}

void set_app_names(KVTP_tokenise* tk, const char* const* names, int n) {
    KVTP_strarray_clear(tk->app_names);
    memset(tk->app_first, 0, sizeof tk->app_first);
    for (int i = 0; i < n; ++i) {
        KVTP_strarray_add(tk->app_names, names[i], -1);
        tk->app_first[static_cast<unsigned char>(names[i][0])] = names[i][0] != '\0';
        if (i < kMaxAppNames)
            tk->app_name_len[i] = static_cast<int32_t>(strlen(names[i]));
    }
}

}  // namespace

// ---------------------------------------------------------------------------
// Public interface.

KVTP_tokenise* KVTP_tokenise_new(KVTP_tpc* channel) {
    auto* tk = static_cast<KVTP_tokenise*>(KVTP_malloc(sizeof(KVTP_tokenise)));
    if (tk == nullptr)
        return nullptr;
    tk->module_name = "tokenise";
    tk->channel = channel;
    const KVTP_configsettings* settings = channel != nullptr ? channel->settings : nullptr;
    apply_processing_mode(
        tk, KVTP_configsettings_lookup(settings, "tokenise", -1, "processing_mode", -1));
    tk->context_size =
        read_context_size(KVTP_configsettings_lookup(settings, "tokenise", -1, "context_size", -1));
    // Steps and keep limits large enough that a piece of text never makes the
    // buffers shrink and regrow between calls. Nothing is reserved: the first
    // text grows them, so an idle tokeniser (every open connection has one)
    // costs next to nothing.
    const int32_t ctx = tk->context_size;
    tk->input = KVTP_dystr_newcustom(nullptr, 0, 4 * ctx, 64 * ctx);
    tk->input_head = 0;
    tk->output = KVTP_dystr_newcustom(nullptr, 0, 8 * ctx, 64 * ctx);
    tk->repair = KVTP_dystr_new(nullptr, 64);
    tk->escaped = KVTP_dystr_new(nullptr, 64);
    tk->work = KVTP_dystr_new(nullptr, 64);
    tk->scratch = KVTP_dystr_new(nullptr, 64);
    tk->deferred = KVTP_dystr_new(nullptr, 64);
    tk->app_tag = KVTP_dystr_new(nullptr, 64);
    tk->stack_text = KVTP_dystr_newcustom(nullptr, 256, 256, 4096);
    tk->stack_starts = KVTP_intarray_new();
    tk->app_names = KVTP_strarray_new();
    tk->patterns = new (std::nothrow) Patterns();
    if (tk->input == nullptr || tk->output == nullptr || tk->repair == nullptr ||
        tk->escaped == nullptr || tk->work == nullptr || tk->scratch == nullptr ||
        tk->deferred == nullptr || tk->app_tag == nullptr || tk->stack_text == nullptr ||
        tk->stack_starts == nullptr || tk->app_names == nullptr || tk->patterns == nullptr) {
        KVTP_tokenise_delete(tk);
        return nullptr;
    }
    static const char* const kAppNames[] = {"voice", "metadata", "audio"};
    set_app_names(tk, kAppNames, 3);
    tk->marks_enabled = 1;
#ifdef VRELAY_TEST_HOOKS
    tk->reference = 0;
#endif
    tk->document_start = 1;
    tk->xml_input = channel != nullptr ? (channel->xml != 0) : 1;
    tk->nrules = nullptr;  // no database: no normalisation rules
    KVTP_logger* logger = logger_of(tk);
    tk->missing_patterns = tk->patterns->compile([logger](int index) {
        KVTP_logger_set_error(logger, KVTP_ERR_CRITICAL_MESSAGE, "Missing XML regex",
                              kvtp_tokenise::pattern_name(index));
    });
    return tk;
}

void KVTP_tokenise_delete(KVTP_tokenise* tk) {
    if (tk == nullptr)
        return;
    KVTP_dystr_delete(tk->input);
    KVTP_dystr_delete(tk->output);
    KVTP_dystr_delete(tk->repair);
    KVTP_dystr_delete(tk->escaped);
    KVTP_dystr_delete(tk->work);
    KVTP_dystr_delete(tk->scratch);
    KVTP_dystr_delete(tk->deferred);
    KVTP_dystr_delete(tk->app_tag);
    KVTP_dystr_delete(tk->stack_text);
    KVTP_intarray_delete(tk->stack_starts);
    KVTP_strarray_delete(tk->app_names);
    delete tk->patterns;
    KVTP_free(tk);
}

void KVTP_tokenise_reset(KVTP_tokenise* tk, KVTP_tpc* channel) {
    if (tk == nullptr)
        return;
    if (channel != nullptr)
        tk->channel = channel;
    if (tk->document_start == 0) {
        KVTP_logger_set_error(logger_of(tk), KVTP_ERR_RESET_DATA_LOSS, "Tokenise context lost", "");
    }
    tk->document_start = 1;
    clear_document_state(tk);
    if (tk->channel != nullptr)
        tk->xml_input = tk->channel->xml != 0;
}

void KVTP_tokenise_reset_tpdb(KVTP_tokenise* tk, KVTP_tpc* channel) {
    if (tk == nullptr)
        return;
    if (channel != nullptr)
        tk->channel = channel;
    tk->nrules = nullptr;  // the database holds no normalisation rules here
}

#ifdef VRELAY_TEST_HOOKS
void KVTP_tokenise_set_reference_mode(KVTP_tokenise* tk, int32_t on) {
    if (tk != nullptr)
        tk->reference = on != 0;
}
#endif

void KVTP_tokenise_set_server_mode(KVTP_tokenise* tk) {
    if (tk == nullptr)
        return;
    tk->lax = 0;
    tk->marks_enabled = 0;
    static const char* const kServerNames[] = {"lexicon", "audio"};
    set_app_names(tk, kServerNames, 2);
}

KVTP_dystr* KVTP_tokenise_process(KVTP_tokenise* tk, const char* text, int32_t len, int32_t mode) {
    if (tk == nullptr)
        return nullptr;
    KVTP_dystr_reset(tk->output);
    if (KVTP_dystr_sz(tk->deferred) > 0) {
        out(tk, KVTP_dystr_cstr(tk->deferred), KVTP_dystr_sz(tk->deferred));
        KVTP_dystr_clear(tk->deferred);
    }
    if (tk->app_found)
        tk->content_pending = 0;
    tk->app_found = 0;
    if (!tk->xml_input && tk->document_start)
        out(tk, kParent, sizeof kParent - 1);

    if (text == nullptr)
        len = 0;
    if (len < 0)
        len = static_cast<int32_t>(strlen(text));
    const int32_t old_size = pending_size(tk);
    if (len > 0)
        KVTP_dystr_append(tk->input, text, len);
    if (tk->check_encoding)
        repair_encoding(tk, old_size, mode != 0);

    int32_t next_start = 0;
    if (mode != 0) {
        int32_t consumed = tokenise_upto(tk, pending_size(tk));
        consume_input(tk, consumed);
        if (pending_size(tk) == 0 && !tk->app_found) {
            if (tk->marks_enabled)
                out(tk, kFinalMark, sizeof kFinalMark - 1);
            if (!tk->xml_input) {
                out(tk, "</parent>", 9);
            } else if (tk->lax) {
                KVTP_tokenise_close_off_tags(tk);
            }
            next_start = mode;
        }
    } else {
        int32_t n = pending_size(tk) - tk->context_size;
        if (n > 0)
            consume_input(tk, tokenise_upto(tk, n));
        if (!tk->app_found && !tk->content_pending && KVTP_dystr_sz(tk->output) > 0) {
            KVTP_dystr_replace(tk->deferred, KVTP_dystr_cstr(tk->output),
                               KVTP_dystr_sz(tk->output));
            KVTP_dystr_clear(tk->output);
        }
    }

    KVTP_logger* logger = logger_of(tk);
    const char* jobid = tk->channel != nullptr ? tk->channel->jobid : nullptr;
    KVTP_logger_logmodule(logger, jobid, tk->module_name, tk->document_start,
                          KVTP_dystr_cstr(tk->output));
    tk->document_start = next_start;
    KVTP_logger_log(logger, KVTP_LOG_INFO, "TOKENISE", "tokenise", "tokeniser process finished",
                    KVTP_dystr_cstr(tk->output));
    return tk->output;
}

const char* KVTP_tokenise_application_tag(KVTP_tokenise* tk, int32_t* len, int32_t* found,
                                          int32_t* pending) {
    if (tk == nullptr) {
        if (len != nullptr)
            *len = 0;
        if (found != nullptr)
            *found = 0;
        if (pending != nullptr)
            *pending = 0;
        return nullptr;
    }
    if (len != nullptr)
        *len = KVTP_dystr_sz(tk->app_tag);
    if (found != nullptr)
        *found = tk->app_found;
    if (pending != nullptr)
        *pending = tk->content_pending;
    return KVTP_dystr_cstr(tk->app_tag);
}

const char* KVTP_tokenise_escaped_xml(KVTP_tokenise* tk, const char* text, int32_t len,
                                      int32_t* out_len) {
    if (tk == nullptr) {
        if (out_len != nullptr)
            *out_len = 0;
        return nullptr;
    }
    if (text == nullptr)
        len = 0;
    if (len < 0)
        len = static_cast<int32_t>(strlen(text));
    KVTP_dystr_clear(tk->scratch);
    escape_into(tk, text, len, tk->scratch);
    if (out_len != nullptr)
        *out_len = KVTP_dystr_sz(tk->scratch);
    return KVTP_dystr_cstr(tk->scratch);
}

const char* KVTP_tokenise_opentagname(const char* tag, int32_t len, int32_t* name_len) {
    if (tag == nullptr) {
        if (name_len != nullptr)
            *name_len = 0;
        return nullptr;
    }
    if (len < 0)
        len = static_cast<int32_t>(strlen(tag));
    if (len < 1) {
        if (name_len != nullptr)
            *name_len = 0;
        return tag;
    }
    const char* name = tag + 1;
    int32_t n = 0;
    while (n < len - 1 && !is_space(static_cast<unsigned char>(name[n])))
        ++n;
    if (n == len - 1 && n > 0 && name[n - 1] == '>')
        --n;
    if (name_len != nullptr)
        *name_len = n;
    return name;
}

const char* KVTP_tokenise_opentagattr(const char* tag, int32_t len, int32_t* attr_len) {
    if (attr_len != nullptr)
        *attr_len = 0;
    if (tag == nullptr)
        return KVTP_empty_string;
    if (len < 0)
        len = static_cast<int32_t>(strlen(tag));
    int32_t n = 0;
    const char* name = KVTP_tokenise_opentagname(tag, len, &n);
    int32_t i = static_cast<int32_t>(name - tag) + n;
    while (i < len && is_space(static_cast<unsigned char>(tag[i])))
        ++i;
    int32_t end = len;
    if (end > i && tag[end - 1] == '>')
        --end;
    if (end <= i)
        return KVTP_empty_string;
    if (attr_len != nullptr)
        *attr_len = end - i;
    return tag + i;
}

int KVTP_tokenise_check_closetags(KVTP_tokenise* tk, const char* tag, int32_t len,
                                  int32_t insert_at, const char** repair, int32_t* repair_len) {
    if (repair != nullptr)
        *repair = KVTP_empty_string;
    if (repair_len != nullptr)
        *repair_len = 0;
    if (tk == nullptr || tag == nullptr)
        return 1;
    if (len < 0)
        len = static_cast<int32_t>(strlen(tag));
    KVTP_dystr* r = tk->repair;
    KVTP_dystr_reset(r);
    int copy = 1;
    int32_t name_len = 0;
    const char* name = close_tag_name(tag, len, &name_len);
    int32_t depth = stack_size(tk);
    int32_t top_len = 0;
    const char* top = nullptr;
    bool matches_top;
    if (name_len > 0) {
        matches_top = innermost_is(tk, name, name_len);
    } else {
        top = depth > 0 ? element_name(tk, depth - 1, &top_len) : nullptr;
        matches_top = top != nullptr && names_equal(name, name_len, top, top_len);
    }
    if (matches_top) {
        if (is_app_name(tk, name, name_len)) {
            // An application end tag closes everything and stops the call;
            // the enclosing elements are opened again after it.
            // The name may lie in the input, which the re-insertion moves:
            // it is stored first.
            KVTP_dystr_clear(tk->app_tag);
            KVTP_dystr_append3(tk->app_tag, "</", 2, name, name_len, ">", 1);
            append_closes(tk, r, 0);
            if (insert_at < 0)
                insert_at = 0;
            reinsert_open_elements(tk, depth - 1, insert_at, false);
            stack_clear(tk);
            tk->app_found = 1;
            copy = 0;
        } else {
            stack_pop(tk);
            tk->app_found = 0;
            KVTP_dystr_reset(tk->app_tag);
        }
    } else if (tk->lax) {
        if (top == nullptr && depth > 0)
            top = element_name(tk, depth - 1, &top_len);
        int32_t below_len = 0;
        const char* below = depth > 1 ? element_name(tk, depth - 2, &below_len) : nullptr;
        if (below != nullptr && names_equal(name, name_len, below, below_len)) {
            KVTP_dystr_append3(r, "<xmlfixforgotclose/></", 22, top, top_len, ">", 1);
            stack_pop(tk);
            stack_pop(tk);
        } else if (depth > 1) {
            KVTP_dystr_append3(r, "<xmlfixcloselastopen/></", 24, top, top_len, ">", 1);
            stack_pop(tk);
            copy = 0;
        } else if (depth == 1) {
            KVTP_dystr_append(r, "<xmlfixbadclose/>", 17);
            copy = 0;
        } else {
            KVTP_dystr_append(r, "<xmlfixnoopen/>", 15);
            copy = 0;
        }
    }
    if (repair != nullptr)
        *repair = KVTP_dystr_cstr(r);
    if (repair_len != nullptr)
        *repair_len = KVTP_dystr_len(r);
    return copy;
}

int KVTP_tokenise_close_off_tags(KVTP_tokenise* tk) {
    if (tk == nullptr)
        return 0;
    if (tk->in_cdata)
        out(tk, "]]><xmlfixclosecdata/>", 22);
    if (tk->in_comment)
        out(tk, "--><xmlfixclosecomment/>", 24);
    tk->in_cdata = 0;
    tk->in_comment = 0;
    if (stack_size(tk) > 0) {
        out(tk, "<xmlfixcloseoffopen/>", 21);
        append_closes(tk, tk->output, 0);
        stack_clear(tk);
    }
    return 1;
}

#ifdef VRELAY_TEST_HOOKS
int32_t KVTP_tokenise_context_size(const KVTP_tokenise* tk) {
    return tk != nullptr ? tk->context_size : 0;
}

int32_t KVTP_tokenise_processing_mode(const KVTP_tokenise* tk) {
    return tk != nullptr ? tk->processing_mode : 0;
}

int32_t KVTP_tokenise_marks_enabled(const KVTP_tokenise* tk) {
    return tk != nullptr ? tk->marks_enabled : 0;
}

int32_t KVTP_tokenise_missing_patterns(const KVTP_tokenise* tk) {
    return tk != nullptr ? tk->missing_patterns : 0;
}

int32_t KVTP_tokenise_detected_encoding(const KVTP_tokenise* tk) {
    return tk != nullptr ? tk->detected_encoding : 0;
}

int32_t KVTP_tokenise_open_elements(const KVTP_tokenise* tk) {
    return tk != nullptr ? stack_size(tk) : 0;
}

int32_t KVTP_tokenise_pending_input(const KVTP_tokenise* tk) {
    return tk != nullptr ? pending_size(tk) : 0;
}
#endif  // VRELAY_TEST_HOOKS
