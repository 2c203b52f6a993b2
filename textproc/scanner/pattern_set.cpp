// SPDX-License-Identifier: MIT
#include "textproc/scanner/pattern_set.h"

#include <new>

namespace kvtp {

namespace {

// The JIT stack starts at this size and grows up to the matcher's maximum.
constexpr size_t kJitStackStart = 32 * 1024;

// The literal ASCII byte every match of code starts with, or -1.
int literal_first_byte(const pcre2_code* code) {
    uint32_t type = 0;
    uint32_t unit = 0;
    if (pcre2_pattern_info(code, PCRE2_INFO_FIRSTCODETYPE, &type) == 0 && type == 1 &&
        pcre2_pattern_info(code, PCRE2_INFO_FIRSTCODEUNIT, &unit) == 0 && unit < 0x80) {
        return static_cast<int>(unit);
    }
    return -1;
}

}  // namespace

PatternSet::PatternSet(const PatternSource* sources, int count)
    : count_(count < 0 ? 0 : count),
      code_(new (std::nothrow) pcre2_code* [count_ + 1] {}),
      jit_(new (std::nothrow) bool[count_ + 1]{}),
      first_byte_(new (std::nothrow) int[count_ + 1]{}) {
    pcre2_compile_context* context = pcre2_compile_context_create(nullptr);
    if (code_ == nullptr || jit_ == nullptr || first_byte_ == nullptr || context == nullptr) {
        pcre2_compile_context_free(context);
        missing_ = count_;
        return;
    }
    // '.' and '$' treat LF alone as a line end, whatever the library's build
    // default; surrogate code points may be named (the tokeniser's
    // bad-character pattern looks for them).
    pcre2_set_newline(context, PCRE2_NEWLINE_LF);
    pcre2_set_compile_extra_options(context, PCRE2_EXTRA_ALLOW_SURROGATE_ESCAPES);
    for (int i = 0; i < count_; ++i) {
        int error = 0;
        PCRE2_SIZE offset = 0;
        code_[i] = pcre2_compile(
            reinterpret_cast<PCRE2_SPTR>(sources[i].text), PCRE2_ZERO_TERMINATED,
            PCRE2_UTF | PCRE2_ANCHORED | sources[i].options, &error, &offset, context);
        first_byte_[i] = -1;
        if (code_[i] == nullptr) {
            ++missing_;
            continue;
        }
        // Without JIT support the interpreter runs the same pattern.
        jit_[i] = pcre2_jit_compile(code_[i], PCRE2_JIT_COMPLETE) == 0;
        first_byte_[i] = literal_first_byte(code_[i]);
    }
    pcre2_compile_context_free(context);
}

PatternSet::~PatternSet() {
    if (code_ != nullptr) {
        for (int i = 0; i < count_; ++i)
            pcre2_code_free(code_[i]);
    }
    delete[] code_;
    delete[] jit_;
    delete[] first_byte_;
}

const PatternSet* PatternSet::create_shared(const PatternSource* sources, int count) {
    PatternSet* set = new (std::nothrow) PatternSet(sources, count);
    if (set != nullptr &&
        (set->code_ == nullptr || set->jit_ == nullptr || set->first_byte_ == nullptr)) {
        delete set;  // its tables could not be allocated
        return nullptr;
    }
    return set;
}

Matcher::Matcher(const MatchLimits& limits)
    : jit_stack_max_(limits.jit_stack < kJitStackStart ? kJitStackStart : limits.jit_stack),
      data_(pcre2_match_data_create(limits.ovector, nullptr)),
      context_(pcre2_match_context_create(nullptr)) {
    if (context_ == nullptr)
        return;
    pcre2_set_match_limit(context_, limits.match);
    pcre2_set_depth_limit(context_, limits.depth);
    if (limits.heap_kib != 0)
        pcre2_set_heap_limit(context_, limits.heap_kib);
    pcre2_jit_stack_assign(context_, jit_stack_for, this);
}

Matcher::~Matcher() {
    pcre2_jit_stack_free(jit_stack_);
    pcre2_match_context_free(context_);
    pcre2_match_data_free(data_);
}

// Called by every JIT match before it starts. The stack is made on the first
// call; if that fails, the library's 32 KiB machine-stack area serves.
pcre2_jit_stack* Matcher::jit_stack_for(void* matcher) {
    Matcher* m = static_cast<Matcher*>(matcher);
    if (m->jit_stack_ == nullptr)
        m->jit_stack_ = pcre2_jit_stack_create(kJitStackStart, m->jit_stack_max_, nullptr);
    return m->jit_stack_;
}

int Matcher::match(const PatternSet& set, int i, const unsigned char* subject, size_t len,
                   size_t start) {
    if (!set.has(i) || !ready())
        return PCRE2_ERROR_NOMATCH;
    // The subject is valid UTF-8 or the pattern copes with invalid input, so
    // the up-front validity check (which reads the whole subject) is skipped.
    return set.jit(i)
               ? pcre2_jit_match(set.code(i), subject, len, start, 0, data_, context_)
               : pcre2_match(set.code(i), subject, len, start, PCRE2_NO_UTF_CHECK, data_, context_);
}

}  // namespace kvtp
