// SPDX-License-Identifier: MIT
#include "connection/lexer.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cstring>
#include <new>

#include "connection/lexer_markup.h"
#include "textproc/scanner/pattern_set.h"
#include "transport/log.h"
#include "wire/xml_escape.h"

namespace vrelay {

namespace {

// The five white-space characters of the lexer (LF, CR, tab, space and EM
// SPACE U+2003) stand in slots 9 and 10 as literal characters, not escapes.
#define VR_LEXER_SPACE "\n\r\t \xE2\x80\x83"

// Tried in slot order at every input position; the first match wins. All are
// anchored at the position (each starts with ^; PCRE2_ANCHORED at compile
// time says the same and keeps the JIT usable).
const kvtp::PatternSource kPatterns[Lexer::kPatternCount] = {
    /* 0 comment start */ {"^(<!--)", 0},
    /* 1 comment end */ {"^(-->)", 0},
    /* 2 CDATA start */ {"^(<!\\[CDATA\\[)", 0},
    /* 3 CDATA end */ {"^(\\]\\]>)", 0},
    /* 4 processing instruction */ {"(^<\\?.*?\\?>)", PCRE2_DOTALL},
    /* 5 document type */
    {"^(<!DOCTYPE\\s+.+?\\s+((\\[(<!.*?>)*\\s*\\])|[^<]+>)\\s*>)", PCRE2_DOTALL},
    /* 6 empty-element tag */ {"(^<\\s*.+?(\\s+.+?=[\"'].*?[\"'])*\\s*/\\s*>)", 0},
    /* 7 start tag */ {"(^<\\s*.+?(\\s+.+?=[\"'].*?[\"'])*\\s*>)", 0},
    /* 8 end tag */ {"(^<\\s*/\\s*.+?\\s*>)", 0},
    /* 9 white space */ {"(^[" VR_LEXER_SPACE "]+)", 0},
    /* 10 word */ {"(^[^" VR_LEXER_SPACE "<]+)", 0},
    /* 11 lone < */ {"(^[<])", 0},
};

#undef VR_LEXER_SPACE

enum Slot {
    kCommentStart = 0,
    kCommentEnd = 1,
    kCDataStart = 2,
    kCDataEnd = 3,
    kWord = 10,
    kUnreadMarkup = Lexer::kPatternCount,  // not a slot: see TokeniseChunk
};

// The markup slots (processing instruction to end tag) nest lazy repeats: a
// backtracking engine can take time exponential in the line before it fails.
// The engine runs them with step limits, and where it gives up the exact
// matcher of lexer_markup.h decides, so a limit never changes which slot wins.
// The reference limits (tests) are the engine's own defaults.
constexpr int kFirstMarkup = 4;
constexpr int kLastMarkup = 8;
constexpr kvtp::MatchLimits kLimits = {100000, 10000, 0, 512 * 1024, 8};
constexpr kvtp::MatchLimits kReferenceLimits = {10000000, 10000000, 0, 8 * 1024 * 1024, 8};

// Trailing bytes that follow a lead byte, by the standard UTF-8 table (0 for
// ASCII and for continuation bytes, 1 to 5 for lead bytes).
int TrailingBytes(unsigned char lead) {
    if (lead < 0xC0) {
        return 0;
    }
    if (lead < 0xE0) {
        return 1;
    }
    if (lead < 0xF0) {
        return 2;
    }
    if (lead < 0xF8) {
        return 3;
    }
    if (lead < 0xFC) {
        return 4;
    }
    return 5;
}

// Length of the longest prefix of s that is valid UTF-8 by the rules the
// regular-expression engine relies on (no overlong forms, no surrogates,
// nothing above U+10FFFF), ending on a character boundary.
size_t ValidUtf8Prefix(const unsigned char* s, size_t n) {
    size_t i = 0;
    while (i < n) {
        const unsigned char c = s[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        size_t extra;
        uint32_t lowest;
        uint32_t cp;
        if (c >= 0xC2 && c <= 0xDF) {
            extra = 1;
            lowest = 0x80;
            cp = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            extra = 2;
            lowest = 0x800;
            cp = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            extra = 3;
            lowest = 0x10000;
            cp = c & 0x07;
        } else {
            return i;
        }
        if (n - i <= extra) {
            return i;
        }
        for (size_t k = 1; k <= extra; ++k) {
            const unsigned char t = s[i + k];
            if ((t & 0xC0) != 0x80) {
                return i;
            }
            cp = (cp << 6) | (t & 0x3F);
        }
        if (cp < lowest || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            return i;
        }
        i += extra + 1;
    }
    return i;
}

void AppendToken(const char* text, size_t length, int xml, std::string* out) {
    if (xml) {
        out->append(text, length);
    } else {
        // Escaped text ends at a NUL, as a C string would.
        const size_t n = static_cast<size_t>(std::find(text, text + length, '\0') - text);
        wire::AppendEscapedXml(text, n, wire::XmlContext::kText, out);
    }
}

void AppendDecimal(long long value, std::string* out) {
    char digits[24];
    const auto result = std::to_chars(digits, digits + sizeof digits, value);
    out->append(digits, result.ptr);
}

// Prosody values are written in the shortest decimal form that reads back as
// the same float ("1.5", "120", "0.1"), independent of the C locale.
void AppendFloat(float value, std::string* out) {
    char digits[48];
    const auto result = std::to_chars(digits, digits + sizeof digits, value);
    out->append(digits, result.ptr);
}

// Offsets run on for the life of the lexer; they wrap instead of overflowing.
int32_t AddWrapping(int32_t a, uint64_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}

// The compiled patterns, shared read-only by every lexer: compiling (and
// JIT-compiling) all twelve costs far more than the rest of a lexer.
const kvtp::PatternSet* SharedPatterns() {
    static const kvtp::PatternSet* set =
        kvtp::PatternSet::create_shared(kPatterns, Lexer::kPatternCount);
    if (!set) {
        throw std::bad_alloc();
    }
    return set;
}

// The markup slots as exact matchers, built once from the same sources and
// shared likewise (never freed, like the compiled patterns).
const MarkupPattern* const* SharedMarkup() {
    static const MarkupPattern* const* markup = [] {
        auto** patterns = new const MarkupPattern*[kLastMarkup - kFirstMarkup + 1];
        for (int s = kFirstMarkup; s <= kLastMarkup; ++s) {
            patterns[s - kFirstMarkup] =
                new MarkupPattern(kPatterns[s].text, (kPatterns[s].options & PCRE2_DOTALL) != 0);
        }
        return patterns;
    }();
    return markup;
}

}  // namespace

// Per-lexer matching state: the engine's match data and limits, and the exact
// matcher's scratch. reference (tests only) sends every slot to the engine
// with its default limits.
struct LexerMatchState {
    kvtp::Matcher engine{kLimits};
    MarkupScratch markup;
    std::unique_ptr<kvtp::Matcher> reference;
    // Absolute position of the next '>' in the current chunk, or npos.
    size_t nextGt = 0;
    bool nextGtKnown = false;
};

// Tries the slots in order on subject (valid UTF-8 of length > 0) at offset
// `at` of the chunk. On a match stores the slot and the match's end.
Lexer::MatchResult Lexer::MatchFirst(const unsigned char* chunk, size_t at, size_t length,
                                     int* slot, size_t* end) {
    LexerMatchState& state = *state_;
    const unsigned char* subject = chunk + at;
    const kvtp::PatternSet& patterns = *patterns_;
    kvtp::Matcher& engine = state.reference ? *state.reference : state.engine;
    for (int s = 0; s < kPatternCount; ++s) {
        // Patterns that cannot start with this byte are skipped without a
        // call.
        const int first = patterns.first_byte(s);
        if (first >= 0 && subject[0] != first) {
            continue;
        }
        const bool markup = s >= kFirstMarkup && s <= kLastMarkup;
        if (markup) {
            // Every markup pattern ends with '>': without one ahead none
            // matches. The position is kept for the rest of the chunk.
            if (!state.nextGtKnown || state.nextGt < at) {
                const void* gt = memchr(subject, '>', length);
                state.nextGt =
                    gt ? static_cast<size_t>(static_cast<const unsigned char*>(gt) - chunk)
                       : std::string::npos;
                state.nextGtKnown = true;
            }
            if (state.nextGt == std::string::npos) {
                s = kLastMarkup;
                continue;
            }
        }
        const int rc = engine.match(patterns, s, subject, length);
        if (markup && !state.reference && kvtp::Matcher::limit_hit(rc)) {
            // The engine gave up; the exact matcher decides instead. (When
            // the engine finishes within its limits its answer is already
            // the unlimited one.)
            const MarkupPattern::Result r =
                SharedMarkup()[s - kFirstMarkup]->Match(subject, length, end, &state.markup);
            if (r == MarkupPattern::kUndecided) {
                *end = state.nextGt - at + 1;
                return kUndecided;
            }
            if (r == MarkupPattern::kMatch && *end > 0) {
                *slot = s;
                return kMatched;
            }
            continue;
        }
        if (rc < 0) {
            continue;
        }
        const PCRE2_SIZE* ovector = engine.ovector();
        if (ovector[0] != 0 || ovector[1] == 0 || ovector[1] > length) {
            continue;  // an empty or unanchored match would not advance
        }
        *slot = s;
        *end = ovector[1];
        return kMatched;
    }
    return kNone;
}

Lexer::Lexer() : patterns_(SharedPatterns()), state_(new LexerMatchState()) {
    if (!state_->engine.ready()) {
        throw std::bad_alloc();
    }
}

#ifdef VRELAY_TEST_HOOKS
void Lexer::UseReferenceEngine(bool on) {
    state_->reference.reset(on ? new kvtp::Matcher(kReferenceLimits) : nullptr);
}
#endif

Lexer::~Lexer() = default;

bool Lexer::HasPattern(int slot) const {
    return patterns_->has(slot);
}

void Lexer::TokeniseText(const char* text, bool xml, bool final, int32_t requestMode,
                         std::string* tokenised) {
    if (!tokenised) {
        return;
    }
    tokenised->clear();
    if (!xml && requestMode == 0) {
        tokenised->append("<parent>");
    }
    if (text) {
        pending_.append(text);
    }
    if (final) {
        TokeniseChunk(pending_, -1, xml, tokenised);
        // Whatever could not be lexed (invalid UTF-8) is dropped here.
        pending_.clear();
        if (!xml) {
            tokenised->append("</parent>");
        }
        char_offset_ = 0;
        byte_offset_ = 0;
        return;
    }
    const long long n = static_cast<long long>(pending_.size()) - kCarryOver;
    if (n > kCarryOver) {
        const int limit = n > INT_MAX ? INT_MAX : static_cast<int>(n);
        const int consumed = TokeniseChunk(pending_, limit, xml, tokenised);
        pending_.erase(0, static_cast<size_t>(consumed));
    }
}

int Lexer::TokeniseChunk(const std::string& buffer, int limit, int xml, std::string* tokenised) {
    if (!tokenised) {
        return 0;
    }
    const unsigned char* base = reinterpret_cast<const unsigned char*>(buffer.data());
    // Only the valid prefix is ever matched (the engine runs without its own
    // validity check); the count returned must fit an int.
    size_t valid = ValidUtf8Prefix(base, buffer.size());
    if (valid > static_cast<size_t>(INT_MAX)) {
        valid = static_cast<size_t>(INT_MAX);
    }
    size_t consumed = 0;
    state_->nextGtKnown = false;
    while (consumed < valid) {
        const unsigned char* at = base + consumed;
        const size_t rest = valid - consumed;
        int slot = -1;
        size_t end = 0;
        const MatchResult found = MatchFirst(base, consumed, rest, &slot, &end);
        if (found == kNone) {
            break;  // only possible when a slot failed to compile
        }
        if (found == kUndecided) {
            // Markup whose reading needs more than MarkupPattern::kMaxMarkup
            // bytes: it goes out unmarked up to the next '>', so no mark ever
            // lands inside a tag.
            VR_LOG(logWARNING) << "lexer: markup at byte " << byte_offset_ << " is longer than "
                               << MarkupPattern::kMaxMarkup << " bytes; " << end
                               << " bytes passed on without marks";
            slot = kUnreadMarkup;
        }
        // The token runs to the end of the UTF-8 sequence the match ends in;
        // characters are counted by their lead bytes.
        size_t length = 0;
        int32_t chars = 0;
        while (length < end) {
            length += 1 + static_cast<size_t>(TrailingBytes(at[length]));
            ++chars;
        }
        if (length > rest) {
            break;  // would run past the valid input; cannot happen on valid UTF-8
        }
        const char* token = reinterpret_cast<const char*>(at);
        // Comment and CDATA delimiters switch the state; words outside both
        // are marked; every other token is copied.
        if (slot == kCommentStart || slot == kCommentEnd) {
            in_comment_ = slot == kCommentStart ? 1 : 0;
        } else if (slot == kCDataStart || slot == kCDataEnd) {
            in_cdata_ = slot == kCDataStart ? 1 : 0;
        }
        if (slot == kWord && !in_comment_ && !in_cdata_) {
            EmitWord(token, length, chars, xml, tokenised);
        } else {
            AppendToken(token, length, xml, tokenised);
        }
        consumed += length;
        char_offset_ = AddWrapping(char_offset_, static_cast<uint64_t>(chars));
        byte_offset_ = AddWrapping(byte_offset_, length);
        if (limit > 0 && consumed >= static_cast<size_t>(limit)) {
            break;
        }
    }
    return static_cast<int>(consumed);
}

void Lexer::EmitWord(const char* word, size_t length, int32_t chars, int xml,
                     std::string* tokenised) const {
    struct Attribute {
        const char* name;
        float value;
    };
    const Attribute prosody[] = {{"rate", sig_rate_},
                                 {"f0", sig_f0_},
                                 {"f0range", sig_f0_range_},
                                 {"amplitude", sig_amplitude_}};
    bool sig = false;
    for (const Attribute& attribute : prosody) {
        if (attribute.value != kUnset) {
            if (!sig) {
                tokenised->append("<sig");
                sig = true;
            }
            tokenised->append(" ");
            tokenised->append(attribute.name);
            tokenised->append("=\"");
            AppendFloat(attribute.value, tokenised);
            tokenised->append("\"");
        }
    }
    if (sig) {
        tokenised->append(">");
    }
    tokenised->append("<mark name=\"kvoxtk_");
    AppendDecimal(char_offset_, tokenised);
    tokenised->push_back('_');
    AppendDecimal(byte_offset_, tokenised);
    tokenised->push_back('_');
    AppendDecimal(chars, tokenised);
    tokenised->push_back('_');
    AppendDecimal(static_cast<long long>(length), tokenised);
    tokenised->append("\"/>");
    AppendToken(word, length, xml, tokenised);
    if (sig) {
        tokenised->append("</sig>");
    }
}

}  // namespace vrelay
