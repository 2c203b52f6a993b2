// SPDX-License-Identifier: MIT
// The tokeniser's patterns and the choice of the token at a position.
//
// The 17 token patterns, the entity pattern and the bad-character pattern are
// compiled once per process (JIT where available), shared by every tokeniser,
// and matched anchored, with limits that turn pathological backtracking into
// "no match". The token at a position is the first of the candidate patterns (in
// index order) that matches. Patterns whose first character cannot match the
// byte at the position are skipped, and the simple patterns (comment and CDATA
// delimiters, entity, white space, text, markup character) are matched by
// equivalent hand-written scanners; the markup patterns (processing
// instruction, document type, tags) always go through the compiled
// expressions. Bytes that are not valid UTF-8 are never handed to the
// expression engine: they only occur inside text tokens.
#ifndef VRELAY_TEXTPROC_TOKENISE_LEXER_H
#define VRELAY_TEXTPROC_TOKENISE_LEXER_H

#include <cstdint>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "textproc/scanner/pattern_set.h"

namespace kvtp_tokenise {

enum PatternIndex : int {
    kCommentStart = 0,
    kCommentEnd = 1,
    kCDATAStart = 2,
    kCDATAEnd = 3,
    kHeader = 4,
    kDoctype = 5,
    kEmpty = 6,
    kClose = 7,
    kOpen = 8,
    kHTMLOpen = 9,
    kEntity = 10,
    kWhitespace = 11,
    kText = 12,
    kChar = 13,
    kVSpace = 14,
    kHSpace = 15,
    kSymbols = 16,
    kTokenPatterns = 17,
    kEntityPattern = 17,   // slot of the escaping entity pattern
    kBadCharPattern = 18,  // slot of the bad-character pattern
    // XMLDoctype without its internal subset: what XMLDoctype matches where
    // no subset can close, found without the subset's backtracking.
    kDoctypeNoSubset = 19,
    kAllPatterns = 20,
};

// Name under which a pattern that failed to compile is reported.
const char* pattern_name(int index);
// Source text of a pattern.
const char* pattern_source(int index);

enum LexState { kNormal = 0, kInComment = 1, kInCDATA = 2 };

struct Token {
    int cls;        // pattern index; -1 when nothing matched
    int32_t len;    // bytes
    int32_t chars;  // characters (an invalid byte run counts as one)
    bool plain;     // text token of printable ASCII only: escaping leaves it as is
};

// The shared compiled patterns with this tokeniser's matching state.
class Patterns {
  public:
    Patterns();
    Patterns(const Patterns&) = delete;
    Patterns& operator=(const Patterns&) = delete;

    // Attaches the shared patterns (compiling them on first use); returns the
    // number missing. report(index) is called for each missing one.
    template <typename F>
    int compile(F report) {
        attach();
        int missing = 0;
        for (int i = 0; i < kAllPatterns; ++i) {
            if (!has(i)) {
                ++missing;
                report(i);
            }
        }
        return missing;
    }
    bool has(int index) const { return set_ != nullptr && set_->has(index); }
    // Length of the anchored match of pattern `index` at subject[start...], or
    // -1 (also when the pattern is missing or a limit was hit). The subject
    // must be valid UTF-8.
    int32_t match(int index, const char* subject, int32_t len, int32_t start = 0) const;

  private:
    void attach();

    const kvtp::PatternSet* set_ = nullptr;
    mutable kvtp::Matcher matcher_;
};

// Bytes below 0x80 that end a text token (\h, \v and <>&]-); ASCII white
// space (no byte from 0x80 up: a table of 256 spares the range test); bytes
// that a text token takes and escaping leaves as they are (printable ASCII
// but for <>&]-); and bytes that end such a run so that the text token ends
// too (ASCII stop bytes: not control characters, not bytes of longer
// sequences).
struct ByteClasses {
    bool text_stop[128];
    bool space[256];
    bool plain[256];
    bool ends_text[256];
};
extern const ByteClasses kByteClasses;

// First position at or after i (below size) whose byte is not plain, or size.
// Runs of words are the bulk of any text: sixteen bytes are tested at once.
inline int32_t plain_run_end(const unsigned char* u, int32_t i, int32_t size) {
#ifdef __SSE2__
    while (size - i >= 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(u + i));
        // Signed comparison: control characters, the blank and every byte
        // from 0x80 up are below 0x21.
        __m128i stop = _mm_cmplt_epi8(v, _mm_set1_epi8(0x21));
        // v | 2 is '>' for '<' and '>' alone.
        stop = _mm_or_si128(stop,
                            _mm_cmpeq_epi8(_mm_or_si128(v, _mm_set1_epi8(2)), _mm_set1_epi8('>')));
        stop = _mm_or_si128(stop, _mm_cmpeq_epi8(v, _mm_set1_epi8('&')));
        stop = _mm_or_si128(stop, _mm_cmpeq_epi8(v, _mm_set1_epi8(']')));
        stop = _mm_or_si128(stop, _mm_cmpeq_epi8(v, _mm_set1_epi8('-')));
        const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(stop));
        if (mask != 0)
            return i + __builtin_ctz(mask);
        i += 16;
    }
#endif
    while (i < size && kByteClasses.plain[u[i]])
        ++i;
    return i;
}

// Chooses tokens over one buffer, caching the extent of valid UTF-8 and the
// position of the next ">" so that a run of failed markup attempts costs
// linear time.
class Lexer {
  public:
    // The first known_valid bytes of buf are known to be valid UTF-8.
    Lexer(const Patterns& patterns, const char* buf, int32_t size, int32_t known_valid = 0);
    // The token at pos (pos < size). With reference set, every candidate
    // pattern is matched by the compiled expression (used to cross-check the
    // hand-written scanners; the text must then be valid UTF-8).
    inline Token next(int32_t pos, LexState state, bool reference = false);

  private:
    Token next_slow(int32_t pos, LexState state, bool reference);
    int32_t valid_end(int32_t pos);
    bool gt_ahead(int32_t pos, int32_t limit);
    bool subset_end_ahead(int32_t pos, int32_t limit);
    int32_t try_markup(int32_t pos, int32_t end);
    Token next_reference(int32_t pos, LexState state);

    const Patterns& patterns_;
    const char* buf_;
    int32_t size_;
    int32_t known_valid_;
    int32_t valid_from_ = -1;
    int32_t valid_to_ = -1;
    int32_t gt_ = -1;          // position of the next '>', size_ when there is none
    int32_t last_len_ = 0;     // length of the markup match try_markup found
    int32_t subset_end_ = -1;  // position of the next "]" W* ">", size_ when none
};

// Hand-written scanners, exposed for tests.
int32_t scan_whitespace(const char* s, int32_t len, int32_t* chars);
// *plain (may be null) tells whether the text is printable ASCII only.
int32_t scan_text(const char* s, int32_t len, int32_t* chars, bool* plain = nullptr);
int32_t scan_entity(const char* s, int32_t len);
// Start, empty-element and end tags with ASCII names and quoted attribute
// values, recognised by hand (s[0] is "<"). Their grammar parses in exactly
// one way, so a tag read to its end here is exactly what XMLEmpty, XMLClose or
// XMLOpen matches (in that order of precedence). Returns the pattern index and
// sets *tag_len, or returns -1 when the tag needs the expression engine.
int simple_tag(const unsigned char* s, int32_t len, int32_t* tag_len);
// Characters in [s, s+len): each valid sequence, and each invalid unit (the
// longest prefix of a sequence, or one byte), counts one.
int32_t count_chars(const char* s, int32_t len);

// ASCII text and white space, by far the most frequent tokens, are scanned
// here inline; everything else takes the general path. An ASCII byte that is
// neither a stop byte nor space can only start a text token, whatever the
// state, and a space byte only a white-space token.
inline Token Lexer::next(int32_t pos, LexState state, bool reference) {
    const unsigned char* s = reinterpret_cast<const unsigned char*>(buf_) + pos;
    const int32_t len = size_ - pos;
    const unsigned char c = s[0];
    if (!reference && c < 0x80) {
        const ByteClasses& k = kByteClasses;
        if (!k.text_stop[c]) {
            bool control = c < 0x20;
            int32_t i = 1;
            for (; i < len; ++i) {
                const unsigned char d = s[i];
                if (d >= 0x80)
                    return next_slow(pos, state, false);
                if (k.text_stop[d])
                    break;
                control |= d < 0x20;
            }
            return {kText, i, i, !control};
        }
        if (k.space[c]) {
            int32_t i = 1;
            for (; i < len; ++i) {
                const unsigned char d = s[i];
                if (d >= 0x80)
                    return next_slow(pos, state, false);
                if (!k.space[d])
                    break;
            }
            return {kWhitespace, i, i, false};
        }
    }
    return next_slow(pos, state, reference);
}

}  // namespace kvtp_tokenise

#endif  // VRELAY_TEXTPROC_TOKENISE_LEXER_H
