// SPDX-License-Identifier: MIT
// A small lexer beside the connection (the client library does not carry
// it; vrelay_lexer is its own target): splits UTF-8 text (plain or XML) into
// tokens with twelve anchored regular expressions, puts a numbered word mark
// before every word, and optionally wraps each word in a sig element carrying
// prosody values.
//
// A mark names the word's place in the input: <mark name="kvoxtk_C_B_N_L"/>
// with C and B the characters and bytes of input consumed before the word and
// N and L the word's own length in characters and bytes. Both offsets count
// every token (tags, white space, words) and run on across calls until a final
// TokeniseText resets them.
//
// Input must be UTF-8. The lexer works only on the longest valid UTF-8 prefix
// of what it is given: at the first invalid or truncated sequence it stops and
// reports the bytes consumed so far, so it never loops and never hands invalid
// UTF-8 to the regular-expression engine.
//
// The first pattern that matches at a position is taken, exactly as an
// unlimited backtracking engine would choose, for every construct of up to
// 16 KiB (MarkupPattern::kMaxMarkup). A tag, processing instruction or
// DOCTYPE whose recognition needs more text than that is not guessed at: a
// warning is logged and the text from its '<' through the next '>' is passed
// on as it is, unmarked, so no mark ever lands inside a tag.
//
// A Lexer is used by one thread at a time (its owner's lock sees to that).
// The compiled patterns are shared read-only by all lexers.
#ifndef VRELAY_CONNECTION_LEXER_H
#define VRELAY_CONNECTION_LEXER_H

#include <cstdint>
#include <memory>
#include <string>

namespace kvtp {
class PatternSet;
}  // namespace kvtp

namespace vrelay {

struct LexerMatchState;

class Lexer {
  public:
    static constexpr int kPatternCount = 12;
    // Bytes kept back untokenised between non-final TokeniseText calls, so a
    // word is not cut in two by the caller's chunking.
    static constexpr int kCarryOver = 4096;
    // A non-final TokeniseText only buffers until more than this is pending.
    static constexpr int kThreshold = 2 * kCarryOver;
    // A prosody value equal to this is unset and not written.
    static constexpr float kUnset = -1.0f;

    Lexer();
    ~Lexer();
    Lexer(const Lexer&) = delete;
    Lexer& operator=(const Lexer&) = delete;

    // Tokenises text (NUL-terminated; null counts as empty) into *tokenised,
    // which is cleared first. requestMode is the owner's stream mode (0: no
    // text stream open); plain text outside a stream is wrapped in
    // <parent>...</parent>. A non-final call only buffers until more than
    // kThreshold bytes are pending and then lexes all but about kCarryOver of
    // them; a final call lexes everything, drops what could not be lexed
    // (invalid UTF-8) and resets the offsets.
    void TokeniseText(const char* text, bool xml, bool final, int32_t requestMode,
                      std::string* tokenised);

    // Lexes buffer from its start, appending to *tokenised, until at least
    // limit bytes are consumed (whole tokens only) or the buffer is exhausted;
    // limit <= 0 means all. With xml zero, copied text is escaped (&lt; &gt;
    // &amp;). Returns the bytes consumed, which is less than asked for when
    // the buffer holds invalid UTF-8 (lexing stops in front of it).
    int TokeniseChunk(const std::string& buffer, int limit, int xml, std::string* tokenised);

    int32_t CharOffset() const { return char_offset_; }
    int32_t ByteOffset() const { return byte_offset_; }
    const std::string& Pending() const { return pending_; }
    int32_t InComment() const { return in_comment_; }
    int32_t InCData() const { return in_cdata_; }

    float SigRate() const { return sig_rate_; }
    float SigF0() const { return sig_f0_; }
    float SigF0Range() const { return sig_f0_range_; }
    float SigAmplitude() const { return sig_amplitude_; }
    void SetSigRate(float value) { sig_rate_ = value; }
    void SetSigF0(float value) { sig_f0_ = value; }
    void SetSigF0Range(float value) { sig_f0_range_ = value; }
    void SetSigAmplitude(float value) { sig_amplitude_ = value; }

    // True when the pattern of that slot compiled.
    bool HasPattern(int slot) const;

#ifdef VRELAY_TEST_HOOKS
    // With on, every slot runs on the regular-expression engine with its
    // default limits (the reference the markup matcher must agree with); off
    // restores the normal matching.
    void UseReferenceEngine(bool on);
#endif

  private:
    enum MatchResult { kMatched, kNone, kUndecided };
    MatchResult MatchFirst(const unsigned char* chunk, size_t at, size_t length, int* slot,
                           size_t* end);
    void EmitWord(const char* word, size_t length, int32_t chars, int xml,
                  std::string* tokenised) const;

    int32_t char_offset_ = 0;
    int32_t byte_offset_ = 0;
    std::string pending_;
    int32_t in_comment_ = 0;
    int32_t in_cdata_ = 0;
    float sig_rate_ = kUnset;
    float sig_f0_ = kUnset;
    float sig_f0_range_ = kUnset;
    float sig_amplitude_ = kUnset;
    const kvtp::PatternSet* patterns_;
    std::unique_ptr<LexerMatchState> state_;
};

}  // namespace vrelay

#endif
