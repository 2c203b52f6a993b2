// SPDX-License-Identifier: MIT
// Exact matching of the lexer's markup patterns (processing instruction,
// document type, empty-element, start and end tag).
//
// Those patterns nest lazy repeats, so a backtracking engine can need time
// exponential in the length of the line before it reports "no match"; with a
// step limit it gives up instead, and giving up changed which pattern won.
// This matcher computes the same result as an unlimited backtracking engine
// (the first match in priority order) in time and memory linear in the text
// it reads: the pattern runs as a small backtracking program, and a (program
// position, text position) pair that has failed once is never tried again,
// since without back-references its outcome depends on nothing else.
//
// It reads at most kMaxMarkup bytes from the start of a construct. When the
// outcome depends on text beyond that, Match() says so (kUndecided) instead
// of guessing.
#ifndef VRELAY_CONNECTION_LEXER_MARKUP_H
#define VRELAY_CONNECTION_LEXER_MARKUP_H

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace vrelay {

// Memory a matcher needs while running, owned by one user (one thread): which
// (instruction, position) pairs the current call has tried, and the stack.
struct MarkupScratch {
    std::vector<uint32_t> stamps;  // == generation: tried in this call
    uint32_t generation = 0;
    std::vector<std::pair<int, size_t>> stack;
};

class MarkupPattern {
  public:
    static constexpr size_t kMaxMarkup = 16 * 1024;
    enum Result { kNoMatch, kMatch, kUndecided };

    // Compiles source, a pattern in the subset the lexer's markup patterns use:
    // literals, '.', \s, \?, \[, \], bracket classes, groups with '|', the
    // quantifiers * + ? and their lazy forms, and '^' at the start. dotAll
    // lets '.' match a line feed. A source outside the subset gives a pattern
    // that never matches (valid() false).
    MarkupPattern(const char* source, bool dotAll);
    ~MarkupPattern();

    bool valid() const { return valid_; }

    // Anchored match at subject[0] (valid UTF-8 of length bytes). On kMatch
    // *end is the length of the match. The pattern itself is never written,
    // so one pattern serves every thread, each with its own scratch.
    Result Match(const unsigned char* subject, size_t length, size_t* end,
                 MarkupScratch* scratch) const;

    // One instruction of the compiled program (defined in the source file).
    struct Insn;

  private:
    std::vector<Insn> program_;
    bool valid_ = false;
    friend class MarkupCompiler;
};

}  // namespace vrelay

#endif
