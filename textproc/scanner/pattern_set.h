// SPDX-License-Identifier: MIT
// Compiled pattern sets and the per-user state that matches them.
//
// Every reader built on regular expressions (the XML scanner, the tokeniser,
// the connection's lexer) keeps a fixed table of anchored patterns. A
// PatternSet compiles such a table once: UTF mode, anchored, newline LF,
// surrogate escapes allowed, JIT where the library supports it. Compiled code
// is never written by matching, so one set is shared read-only by every
// thread; shared() builds a set on first use (thread-safe) and keeps it for
// the life of the process.
//
// What matching writes (match data, the match context with its limits, the
// JIT stack) belongs to a Matcher, one per user and thread. A Matcher
// allocates its JIT stack only when a JIT match first runs, so an idle reader
// costs a few hundred bytes.
#ifndef VRELAY_TEXTPROC_PATTERN_SET_H
#define VRELAY_TEXTPROC_PATTERN_SET_H

#ifndef PCRE2_CODE_UNIT_WIDTH
#define PCRE2_CODE_UNIT_WIDTH 8
#endif
#include <pcre2.h>

#include <cstddef>
#include <cstdint>

namespace kvtp {

struct PatternSource {
    const char* text;
    uint32_t options;  // compile options besides PCRE2_UTF and PCRE2_ANCHORED
};

class PatternSet {
  public:
    // Compiles count sources; a source that fails leaves its slot null.
    PatternSet(const PatternSource* sources, int count);
    ~PatternSet();
    PatternSet(const PatternSet&) = delete;
    PatternSet& operator=(const PatternSet&) = delete;

    // A set for the life of the process (never freed, so threads still
    // matching at exit are safe); null only when memory runs out. Readers
    // keep it in a function-local static, which compiles it on first use,
    // once, whichever thread comes first.
    static const PatternSet* create_shared(const PatternSource* sources, int count);

    int count() const { return count_; }
    bool has(int i) const { return i >= 0 && i < count_ && code_[i] != nullptr; }
    // Slots that failed to compile.
    int missing() const { return missing_; }
    // The compiled pattern of slot i (null when it failed), and the table of
    // all slots followed by one null entry.
    const pcre2_code* code(int i) const { return code_[i]; }
    pcre2_code* const* table() const { return code_; }
    bool jit(int i) const { return jit_[i]; }
    // The ASCII byte every match of slot i starts with, or -1 when any byte
    // may start one: lets a reader skip the call.
    int first_byte(int i) const { return first_byte_[i]; }

  private:
    int count_;
    int missing_ = 0;
    pcre2_code** code_;
    bool* jit_;
    int* first_byte_;
};

struct MatchLimits {
    uint32_t match;     // backtracking steps of one attempt
    uint32_t depth;     // nesting of backtracking (interpreter only)
    uint32_t heap_kib;  // heap for backtracking (interpreter only); 0: default
    size_t jit_stack;   // largest JIT stack, bytes
    uint32_t ovector;   // capture pairs kept
};

class Matcher {
  public:
    explicit Matcher(const MatchLimits& limits);
    ~Matcher();
    Matcher(const Matcher&) = delete;
    Matcher& operator=(const Matcher&) = delete;

    // False when the match data or context could not be allocated; match()
    // then always fails.
    bool ready() const { return data_ != nullptr && context_ != nullptr; }

    // Anchored match of slot i of set at subject[start...] (subject of len
    // bytes, valid UTF-8 unless the pattern was compiled to accept invalid
    // UTF). Returns the PCRE2 result: >= 0 on a match (see ovector()),
    // PCRE2_ERROR_NOMATCH, or another negative code such as a limit hit
    // (see limit_hit()). A missing slot gives PCRE2_ERROR_NOMATCH.
    int match(const PatternSet& set, int i, const unsigned char* subject, size_t len,
              size_t start = 0);
    const PCRE2_SIZE* ovector() const { return pcre2_get_ovector_pointer(data_); }

    // True for the results that mean "gave up", not "does not match".
    static bool limit_hit(int rc) {
        return rc == PCRE2_ERROR_MATCHLIMIT || rc == PCRE2_ERROR_DEPTHLIMIT ||
               rc == PCRE2_ERROR_HEAPLIMIT || rc == PCRE2_ERROR_JIT_STACKLIMIT ||
               rc == PCRE2_ERROR_NOMEMORY;
    }

  private:
    static pcre2_jit_stack* jit_stack_for(void* matcher);

    size_t jit_stack_max_;
    pcre2_match_data* data_;
    pcre2_match_context* context_;
    pcre2_jit_stack* jit_stack_ = nullptr;
};

}  // namespace kvtp

#endif  // VRELAY_TEXTPROC_PATTERN_SET_H
