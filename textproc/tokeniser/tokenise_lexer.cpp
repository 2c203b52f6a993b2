// SPDX-License-Identifier: MIT
#include "textproc/tokeniser/tokenise_lexer.h"

#include <cstring>
#include <string>

#include "textproc/tokeniser/tokenise_utf8.h"

namespace kvtp_tokenise {

namespace {

// Backtracking budget of one anchored match. Tags of a few kilobytes with
// hundreds of attributes stay far below it; hostile markup (unterminated
// declarations, nested optional groups) hits it and counts as no match.
constexpr kvtp::MatchLimits kLimits = {200000, 10000, 8 * 1024, 1024 * 1024, 32};

// XML name-start characters and name characters. LF and CR appear as raw
// characters inside the white-space class W.
#define KVTP_NAME_RANGES                                                                \
    "\\x{C0}-\\x{D6}\\x{D8}-\\x{F6}\\x{F8}-\\x{2FF}\\x{370}-\\x{37D}\\x{37F}-\\x{1FFF}" \
    "\\x{200C}-\\x{200D}\\x{2070}-\\x{218F}\\x{2C00}-\\x{2FEF}\\x{3001}-\\x{D7FF}"      \
    "\\x{F900}-\\x{FDCF}\\x{FDF0}-\\x{FFFD}\\x{10000}-\\x{EFFFF}]"
#define N1 "[a-zA-Z_:" KVTP_NAME_RANGES
#define N2 "[-a-zA-Z0-9._:" KVTP_NAME_RANGES
#define W "[\n\r\\s]"
#define SNR "[\\s\n\r]"
#define PUBID_CHARS "-\\s\r\na-zA-Z0-9"

const char* const kSources[kAllPatterns] = {
    "^(<!--)",
    "^(-->)",
    "^(<!\\[CDATA\\[)",
    "^(\\]\\]>)",
    "^(<\\?([^?]*(\\?[^>])?)*\\?>)",
    "^(<!DOCTYPE" W "+(" N1 N2 "*)" SNR "+(SYSTEM" SNR "+(\"[^\"]*\"|'[^']*')|PUBLIC" SNR
    "+(\"[" PUBID_CHARS "'()+,./:=?;!*#@$_%]*\"|'[" PUBID_CHARS "()+,./:=?;!*#@$_%]*'|)" SNR
    "+(\"[^\"]*\"|'[^']*'))?" SNR "*(\\[" SNR "*(<![^>]*(\"[^\"]*\"|'[^']*')?" SNR "*>" SNR
    "*|<\\?([^?]*(\\?[^>])?)*\\?>" SNR "*|%\\w+;" SNR "*)*\\])?" SNR "*>)",
    "(^<" N1 N2 "*(\\s+" N1 N2 "*" W "*=" W "*[\"][^\"]*[\"]|\\s+" N1 N2 "*" W "*=" W
    "*[\\'][^\\']*[\\'])*" W "*/\\s*>)",
    "(^</" N1 N2 "*" W "*>)",
    "(^<" N1 N2 "*(" W "+" N1 N2 "*" W "*=" W "*[\"][^\"]*[\"]|" W "+" N1 N2 "*" W "*=" W
    "*[\\'][^\\']*[\\'])*" W "*>)",
    "(^<[a-zA-Z_][-a-zA-Z0-9_]*([\n\r\\s]+[a-zA-Z_][-a-zA-Z0-9_]*[\n\r\\s]*=[\n\r\\s]*[\\'\"][^\\'"
    "\"]*[\\'\"]|[\n\r\\s]+[a-zA-Z_][-a-zA-Z0-9_]*[\n\r\\s]*=[^\n\r\\s\\'\">]*|[\n\r\\s]+[a-zA-Z_]["
    "-a-zA-Z0-9_]*[\n\r\\s]*)*[\n\r\\s]*>)",
    "^&(\\#?\\w+);",
    "(^[\\h\\v]+)",
    "(^[^\\h\\v<>&\\]-]+)",
    "^([<>&\\]-])",
    "^([\\v]+)",
    "^([\\h]+)",
    "^([-+=/@]+)",
    // The entity pattern used when escaping.
    "^&(\\#?\\w+);",
    // Control characters other than tab, line feed and carriage return,
    // U+FFFE and U+FFFF, and unpaired surrogates.
    "([\\x00-\\x08\\x0b-\\x0c\\x0e-\\x1f\\x{fffe}-\\x{ffff}])|([\\x{d800}-\\x{dbff}][^\\x{dc00}-"
    "\\x{dfff}])|([^\\x{d800}-\\x{dbff}][\\x{dc00}-\\x{dfff}])|([\\x{d800}-\\x{dbff}]$)|(^[\\x{"
    "dc00}-"
    "\\x{dfff}])",
    // XMLDoctype without the internal subset.
    "^(<!DOCTYPE" W "+(" N1 N2 "*)" SNR "+(SYSTEM" SNR "+(\"[^\"]*\"|'[^']*')|PUBLIC" SNR
    "+(\"[" PUBID_CHARS "'()+,./:=?;!*#@$_%]*\"|'[" PUBID_CHARS "()+,./:=?;!*#@$_%]*'|)" SNR
    "+(\"[^\"]*\"|'[^']*'))?" SNR "*>)",
};

#undef KVTP_NAME_RANGES
#undef N1
#undef N2
#undef W
#undef SNR
#undef PUBID_CHARS

const char* const kNames[kAllPatterns] = {
    "XMLCommentStart", "XMLCommentEnd", "XMLCDATAStart", "XMLCDATAEnd", "XMLHeader",
    "XMLDoctype",      "XMLEmpty",      "XMLClose",      "XMLOpen",     "HTMLOpen",
    "XMLEntity",       "Whitespace",    "Text",          "XMLChar",     "VerticalSpace",
    "HorizontalSpace", "Symbols",       "Entity",        "BadXMLChar",  "XMLDoctype",
};

// Bytes that end a text token: \h and \v in the ASCII range, and <>&]-.
struct StopTable {
    bool text[256];
    bool space[256];
    StopTable() {
        memset(text, 0, sizeof text);
        memset(space, 0, sizeof space);
        for (int c = 0x09; c <= 0x0D; ++c)
            space[c] = true;
        space[0x20] = true;
        for (int c = 0; c < 256; ++c)
            text[c] = space[c];
        for (const char* p = "<>&]-"; *p != '\0'; ++p)
            text[static_cast<unsigned char>(*p)] = true;
    }
};
const StopTable kStop;

ByteClasses make_byte_classes() {
    ByteClasses k;
    for (int c = 0; c < 256; ++c) {
        if (c < 128)
            k.text_stop[c] = kStop.text[c];
        k.space[c] = kStop.space[c];
        k.plain[c] = c > 0x20 && c < 0x80 && !kStop.text[c];
        k.ends_text[c] = c < 0x80 && kStop.text[c];
    }
    return k;
}

// Horizontal and vertical space beyond ASCII, as the expression engine's \h
// and \v define them.
bool is_unicode_space(uint32_t cp) {
    return cp == 0x85 || cp == 0xA0 || cp == 0x1680 || cp == 0x180E ||
           (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 || cp == 0x202F ||
           cp == 0x205F || cp == 0x3000;
}

bool is_word_byte(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

bool has_prefix(const char* s, int32_t len, const char* prefix, int32_t plen) {
    return len >= plen && memcmp(s, prefix, static_cast<size_t>(plen)) == 0;
}

// ASCII bytes that may start a tag or attribute name and those that may go
// on with one. Tags are read byte by byte: a table beats a chain of ranges.
struct NameTable {
    bool start[256];
    bool rest[256];
    NameTable() {
        for (int c = 0; c < 256; ++c) {
            start[c] = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == ':';
            rest[c] = start[c] || (c >= '0' && c <= '9') || c == '-' || c == '.';
        }
    }
};
const NameTable kName;

bool is_ascii_name_start(unsigned char c) {
    return kName.start[c];
}

bool is_ascii_name_char(unsigned char c) {
    return kName.rest[c];
}

// \s of the expression engine: space, tab, LF, VT, FF, CR.
bool is_pattern_space(unsigned char c) {
    return kStop.space[c];
}

}  // namespace

const ByteClasses kByteClasses = make_byte_classes();

int simple_tag(const unsigned char* s, int32_t len, int32_t* tag_len) {
    int32_t i = 1;
    if (len < 3)
        return -1;
    auto skip_name = [&](int32_t j) {
        while (j < len && is_ascii_name_char(s[j]))
            ++j;
        return j;
    };
    auto skip_space = [&](int32_t j) {
        while (j < len && is_pattern_space(s[j]))
            ++j;
        return j;
    };
    if (s[1] == '/') {
        if (!is_ascii_name_start(s[2]))
            return -1;
        i = skip_name(3);
        if (i < len && s[i] >= 0x80)
            return -1;
        i = skip_space(i);
        if (i < len && s[i] == '>') {
            *tag_len = i + 1;
            return kClose;
        }
        return -1;
    }
    if (!is_ascii_name_start(s[1]))
        return -1;
    i = skip_name(2);
    for (;;) {
        if (i < len && s[i] >= 0x80)
            return -1;
        int32_t j = skip_space(i);
        if (j >= len)
            return -1;
        if (s[j] == '>') {
            *tag_len = j + 1;
            return kOpen;
        }
        if (s[j] == '/') {
            int32_t k = skip_space(j + 1);
            if (k < len && s[k] == '>') {
                *tag_len = k + 1;
                return kEmpty;
            }
            return -1;
        }
        if (j == i || !is_ascii_name_start(s[j]))
            return -1;
        j = skip_name(j + 1);
        if (j < len && s[j] >= 0x80)
            return -1;
        j = skip_space(j);
        if (j >= len || s[j] != '=')
            return -1;
        j = skip_space(j + 1);
        if (j >= len || (s[j] != '"' && s[j] != '\''))
            return -1;
        const void* q = memchr(s + j + 1, s[j], static_cast<size_t>(len - j - 1));
        if (q == nullptr)
            return -1;
        i = static_cast<int32_t>(static_cast<const unsigned char*>(q) - s) + 1;
    }
}

const char* pattern_name(int index) {
    return index >= 0 && index < kAllPatterns ? kNames[index] : "";
}

const char* pattern_source(int index) {
    return index >= 0 && index < kAllPatterns ? kSources[index] : "";
}

namespace {

// The table compiled once for the process: the sources with their options.
const kvtp::PatternSet* shared_patterns() {
    static const kvtp::PatternSet* set = [] {
        kvtp::PatternSource sources[kAllPatterns];
        for (int i = 0; i < kAllPatterns; ++i) {
            const bool dotall = i == kDoctype || i == kDoctypeNoSubset;
            sources[i] = {kSources[i], dotall ? PCRE2_DOTALL : 0u};
        }
        return kvtp::PatternSet::create_shared(sources, kAllPatterns);
    }();
    return set;
}

}  // namespace

Patterns::Patterns() : matcher_(kLimits) {}

void Patterns::attach() {
    if (matcher_.ready())
        set_ = shared_patterns();
}

int32_t Patterns::match(int index, const char* subject, int32_t len, int32_t start) const {
    if (set_ == nullptr || len < 0 || start < 0 || start > len)
        return -1;
    const int rc = matcher_.match(*set_, index, reinterpret_cast<const unsigned char*>(subject),
                                  static_cast<size_t>(len), static_cast<size_t>(start));
    if (rc < 0)
        return -1;  // no match, or a limit hit
    return static_cast<int32_t>(matcher_.ovector()[1]) - start;
}

int32_t scan_whitespace(const char* s, int32_t len, int32_t* chars) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(s);
    const unsigned char* end = p + len;
    int32_t i = 0, n = 0;
    while (i < len) {
        unsigned char c = p[i];
        if (c < 0x80) {
            if (!kStop.space[c])
                break;
            ++i;
        } else {
            int k = valid_seq(p + i, end);
            if (k == 0 || !is_unicode_space(decode(p + i, k)))
                break;
            i += k;
        }
        ++n;
    }
    *chars = n;
    return i;
}

int32_t scan_text(const char* s, int32_t len, int32_t* chars, bool* plain) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(s);
    const unsigned char* end = p + len;
    int32_t i = 0, n = 0;
    bool odd = false;
    while (i < len) {
        unsigned char c = p[i];
        if (c < 0x80) {
            if (kStop.text[c])
                break;
            odd |= c < 0x20;
            ++i;
            ++n;
            continue;
        }
        odd = true;
        int k = valid_seq(p + i, end);
        if (k == 0) {
            i += invalid_seq(p + i, end);
        } else {
            if (is_unicode_space(decode(p + i, k)))
                break;
            i += k;
        }
        ++n;
    }
    *chars = n;
    if (plain != nullptr)
        *plain = !odd;
    return i;
}

int32_t scan_entity(const char* s, int32_t len) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(s);
    if (len < 3 || p[0] != '&')
        return 0;
    int32_t i = 1;
    if (p[i] == '#')
        ++i;
    int32_t j = i;
    while (j < len && is_word_byte(p[j]))
        ++j;
    return j > i && j < len && p[j] == ';' ? j + 1 : 0;
}

int32_t count_chars(const char* s, int32_t len) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(s);
    const unsigned char* end = p + len;
    int32_t n = 0;
    while (p < end) {
        if (end - p >= 8) {
            // Eight ASCII bytes are eight characters.
            uint64_t w;
            memcpy(&w, p, 8);
            if ((w & 0x8080808080808080ull) == 0) {
                p += 8;
                n += 8;
                continue;
            }
        }
        if (*p < 0x80) {
            ++p;
        } else {
            int k = valid_seq(p, end);
            p += k != 0 ? k : invalid_seq(p, end);
        }
        ++n;
    }
    return n;
}

Lexer::Lexer(const Patterns& patterns, const char* buf, int32_t size, int32_t known_valid)
    : patterns_(patterns),
      buf_(buf),
      size_(size),
      known_valid_(known_valid < size ? known_valid : size) {}

int32_t Lexer::valid_end(int32_t pos) {
    if (valid_from_ < 0 || pos < valid_from_ || pos > valid_to_) {
        int32_t from = pos < known_valid_ ? known_valid_ : pos;
        int32_t bad = first_invalid(buf_, from, size_, false);
        valid_from_ = pos;
        valid_to_ = bad < 0 ? size_ : bad;
    }
    return valid_to_;
}

// Every markup pattern ends with ">": without one ahead (inside the valid
// text) none of them can match.
bool Lexer::gt_ahead(int32_t pos, int32_t limit) {
    if (gt_ < pos + 1) {
        const void* p = pos + 1 < size_
                            ? memchr(buf_ + pos + 1, '>', static_cast<size_t>(size_ - pos - 1))
                            : nullptr;
        gt_ = p != nullptr ? static_cast<int32_t>(static_cast<const char*>(p) - buf_) : size_;
    }
    return gt_ < limit;
}

// A document type declaration with an internal subset ends with "]", white
// space and ">": without one ahead, the subset cannot match.
bool Lexer::subset_end_ahead(int32_t pos, int32_t limit) {
    if (subset_end_ < pos) {
        const unsigned char* s = reinterpret_cast<const unsigned char*>(buf_);
        int32_t i = pos;
        subset_end_ = size_;
        while (i < size_) {
            const void* p = memchr(s + i, ']', static_cast<size_t>(size_ - i));
            if (p == nullptr)
                break;
            int32_t at = static_cast<int32_t>(static_cast<const unsigned char*>(p) - s);
            int32_t j = at + 1;
            while (j < size_ && is_pattern_space(s[j]))
                ++j;
            if (j < size_ && s[j] == '>') {
                subset_end_ = at;
                break;
            }
            i = at + 1;
        }
    }
    return subset_end_ < limit;
}

// The markup patterns 4 to 9 at a "<", in index order, each skipped when its
// second character cannot match. Returns the index, or -1.
int32_t Lexer::try_markup(int32_t pos, int32_t end) {
    const char* s = buf_ + pos;
    int32_t len = end - pos;
    if (len < 3)
        return -1;
    int simple = simple_tag(reinterpret_cast<const unsigned char*>(s), len, &last_len_);
    if (simple >= 0)
        return simple;
    if (!gt_ahead(pos, end))
        return -1;
    unsigned char c1 = static_cast<unsigned char>(s[1]);
    bool ascii_start = (c1 >= 'a' && c1 <= 'z') || (c1 >= 'A' && c1 <= 'Z') || c1 == '_';
    bool name_start = ascii_start || c1 == ':' || c1 >= 0x80;
    static const int kOrder[] = {kHeader, kDoctype, kEmpty, kClose, kOpen, kHTMLOpen};
    for (int idx : kOrder) {
        bool candidate = false;
        switch (idx) {
            case kHeader:
                candidate = c1 == '?';
                break;
            case kDoctype:
                candidate = has_prefix(s, len, "<!DOCTYPE", 9);
                break;
            case kEmpty:
            case kOpen:
                candidate = name_start;
                break;
            case kClose:
                candidate = c1 == '/';
                break;
            default:
                candidate = ascii_start;
                break;
        }
        if (!candidate)
            continue;
        int pattern = idx;
        if (idx == kDoctype && !subset_end_ahead(pos, end))
            pattern = kDoctypeNoSubset;
        int32_t n = patterns_.match(pattern, s, len);
        if (n > 0) {
            last_len_ = n;
            return idx;
        }
    }
    return -1;
}

Token Lexer::next_slow(int32_t pos, LexState state, bool reference) {
    if (reference)
        return next_reference(pos, state);
    const char* s = buf_ + pos;
    int32_t len = size_ - pos;
    unsigned char c = static_cast<unsigned char>(*s);
    switch (c) {
        case '<':
            if (state == kNormal) {
                if (has_prefix(s, len, "<!--", 4))
                    return {kCommentStart, 4, 4, false};
                if (has_prefix(s, len, "<![CDATA[", 9))
                    return {kCDATAStart, 9, 9, false};
                int idx = try_markup(pos, valid_end(pos));
                if (idx >= 0)
                    return {idx, last_len_, count_chars(s, last_len_), false};
            }
            return {kChar, 1, 1, false};
        case '-':
            if (state != kInCDATA && has_prefix(s, len, "-->", 3))
                return {kCommentEnd, 3, 3, false};
            return {kChar, 1, 1, false};
        case ']':
            if (state != kInComment && has_prefix(s, len, "]]>", 3))
                return {kCDATAEnd, 3, 3, false};
            return {kChar, 1, 1, false};
        case '&':
            if (state == kNormal) {
                int32_t n = scan_entity(s, len);
                if (n > 0)
                    return {kEntity, n, n, false};
            }
            return {kChar, 1, 1, false};
        case '>':
            return {kChar, 1, 1, false};
        default:
            break;
    }
    int32_t chars = 0;
    int32_t n = 0;
    if (c >= 0x80 || kStop.space[c]) {
        n = scan_whitespace(s, len, &chars);
        if (n > 0)
            return {kWhitespace, n, chars, false};
    }
    bool plain = false;
    n = scan_text(s, len, &chars, &plain);
    if (n > 0)
        return {kText, n, chars, plain};
    return {-1, 0, 0, false};
}

Token Lexer::next_reference(int32_t pos, LexState state) {
    static const int kNormalOrder[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13};
    static const int kCommentOrder[] = {kWhitespace, kText, kCommentEnd, kChar};
    static const int kCDATAOrder[] = {kWhitespace, kText, kCDATAEnd, kChar};
    const int* order = kNormalOrder;
    int count = 14;
    if (state == kInComment) {
        order = kCommentOrder;
        count = 4;
    } else if (state == kInCDATA) {
        order = kCDATAOrder;
        count = 4;
    }
    int32_t end = valid_end(pos);
    for (int i = 0; i < count; ++i) {
        int32_t n = patterns_.match(order[i], buf_ + pos, end - pos);
        if (n > 0)
            return {order[i], n, count_chars(buf_ + pos, n), false};
    }
    return {-1, 0, 0, false};
}

}  // namespace kvtp_tokenise
