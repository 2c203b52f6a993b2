// SPDX-License-Identifier: MIT
#include "connection/lexer_markup.h"

#include <algorithm>
#include <bitset>
#include <memory>
#include <utility>

namespace vrelay {

// One instruction of the backtracking program.
struct MarkupPattern::Insn {
    enum Op : uint8_t { kChar, kSplit, kJump, kBegin, kAccept };
    explicit Insn(Op kind) : op(kind) {}
    Op op;
    // kChar: the character class. Code points from 0x80 up match when the
    // class is negated or is "any".
    bool any = false;
    bool negated = false;
    std::bitset<128> ascii;
    // kSplit: try x first, then y. kJump: go to x.
    int x = 0;
    int y = 0;
};

namespace {

using Insn = MarkupPattern::Insn;

// A parsed pattern: a tree of these.
struct Node {
    enum Kind { kClass, kBegin, kCat, kAlt, kStar, kPlus, kQuest } kind;
    bool greedy = true;
    Insn cls{Insn::kChar};
    std::vector<std::unique_ptr<Node>> kids;
};

std::bitset<128> SpaceSet() {
    // \s without Unicode properties: tab, LF, VT, FF, CR and space.
    std::bitset<128> set;
    for (char c : {'\t', '\n', '\v', '\f', '\r', ' '}) {
        set.set(static_cast<unsigned char>(c));
    }
    return set;
}

}  // namespace

// Recursive-descent parser and code generator for the pattern subset.
class MarkupCompiler {
  public:
    MarkupCompiler(const char* source, bool dotAll) : p_(source), dot_all_(dotAll) {}

    bool Compile(std::vector<Insn>* program) {
        std::unique_ptr<Node> root = ParseAlt();
        if (!ok_ || *p_ != '\0' || !root) {
            return false;
        }
        program_ = program;
        Emit(*root);
        Insn accept{Insn::kAccept};
        program->push_back(accept);
        return true;
    }

  private:
    std::unique_ptr<Node> ParseAlt() {
        auto alt = std::make_unique<Node>();
        alt->kind = Node::kAlt;
        alt->kids.push_back(ParseCat());
        while (ok_ && *p_ == '|') {
            ++p_;
            alt->kids.push_back(ParseCat());
        }
        return alt;
    }

    std::unique_ptr<Node> ParseCat() {
        auto cat = std::make_unique<Node>();
        cat->kind = Node::kCat;
        while (ok_ && *p_ != '\0' && *p_ != '|' && *p_ != ')') {
            std::unique_ptr<Node> atom = ParseAtom();
            if (!ok_) {
                break;
            }
            if (*p_ == '*' || *p_ == '+' || *p_ == '?') {
                auto rep = std::make_unique<Node>();
                rep->kind = *p_ == '*' ? Node::kStar : *p_ == '+' ? Node::kPlus : Node::kQuest;
                ++p_;
                if (*p_ == '?') {
                    rep->greedy = false;
                    ++p_;
                }
                rep->kids.push_back(std::move(atom));
                atom = std::move(rep);
            }
            cat->kids.push_back(std::move(atom));
        }
        return cat;
    }

    std::unique_ptr<Node> ParseAtom() {
        auto node = std::make_unique<Node>();
        node->kind = Node::kClass;
        const char c = *p_++;
        switch (c) {
            case '(': {
                node = ParseAlt();
                ok_ = ok_ && *p_ == ')';
                ++p_;
                return node;
            }
            case '[':
                ParseClass(&node->cls);
                return node;
            case '.':
                node->cls.any = true;
                if (!dot_all_) {
                    // Any character but a line feed: a negated class of LF.
                    node->cls.any = false;
                    node->cls.negated = true;
                    node->cls.ascii.set('\n');
                }
                return node;
            case '^':
                node->kind = Node::kBegin;
                return node;
            case '\\':
                ParseEscape(&node->cls.ascii);
                return node;
            default:
                if (static_cast<unsigned char>(c) >= 0x80 || c == '*' || c == '+' || c == '?') {
                    ok_ = false;
                }
                node->cls.ascii.set(static_cast<unsigned char>(c) & 0x7F);
                return node;
        }
    }

    void ParseEscape(std::bitset<128>* set) {
        const char c = *p_++;
        if (c == 's') {
            *set |= SpaceSet();
        } else if (c != '\0' &&
                   !((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))) {
            set->set(static_cast<unsigned char>(c) & 0x7F);
            ok_ = ok_ && static_cast<unsigned char>(c) < 0x80;
        } else {
            ok_ = false;  // not part of the subset
        }
    }

    void ParseClass(Insn* cls) {
        if (*p_ == '^') {
            cls->negated = true;
            ++p_;
        }
        while (ok_ && *p_ != ']') {
            const char c = *p_++;
            if (c == '\0' || static_cast<unsigned char>(c) >= 0x80 || c == '-') {
                ok_ = false;  // ranges and non-ASCII members are not needed
            } else if (c == '\\') {
                ParseEscape(&cls->ascii);
            } else {
                cls->ascii.set(static_cast<unsigned char>(c));
            }
        }
        ++p_;
    }

    int Here() const { return static_cast<int>(program_->size()); }
    int Add(Insn::Op op) {
        Insn insn{op};
        program_->push_back(insn);
        return Here() - 1;
    }
    // A split whose preferred branch is the next instruction when prefer_next.
    void SetSplit(int at, bool preferNext, int other) {
        (*program_)[at].x = preferNext ? at + 1 : other;
        (*program_)[at].y = preferNext ? other : at + 1;
    }

    void Emit(const Node& n) {
        switch (n.kind) {
            case Node::kClass:
                program_->push_back(n.cls);
                break;
            case Node::kBegin:
                Add(Insn::kBegin);
                break;
            case Node::kCat:
                for (const auto& kid : n.kids) {
                    Emit(*kid);
                }
                break;
            case Node::kAlt: {
                std::vector<int> jumps;
                for (size_t i = 0; i < n.kids.size(); ++i) {
                    int split = -1;
                    if (i + 1 < n.kids.size()) {
                        split = Add(Insn::kSplit);
                    }
                    Emit(*n.kids[i]);
                    if (split >= 0) {
                        jumps.push_back(Add(Insn::kJump));
                        SetSplit(split, true, Here());
                    }
                }
                for (int j : jumps) {
                    (*program_)[j].x = Here();
                }
                break;
            }
            case Node::kStar: {
                const int split = Add(Insn::kSplit);
                Emit(*n.kids[0]);
                const int back = Add(Insn::kJump);
                (*program_)[back].x = split;
                SetSplit(split, n.greedy, Here());
                break;
            }
            case Node::kPlus: {
                const int start = Here();
                Emit(*n.kids[0]);
                const int split = Add(Insn::kSplit);
                (*program_)[split].x = n.greedy ? start : split + 1;
                (*program_)[split].y = n.greedy ? split + 1 : start;
                break;
            }
            case Node::kQuest: {
                const int split = Add(Insn::kSplit);
                Emit(*n.kids[0]);
                SetSplit(split, n.greedy, Here());
                break;
            }
        }
    }

    const char* p_;
    bool dot_all_;
    bool ok_ = true;
    std::vector<Insn>* program_ = nullptr;
};

MarkupPattern::MarkupPattern(const char* source, bool dotAll) {
    MarkupCompiler compiler(source, dotAll);
    valid_ = compiler.Compile(&program_);
    if (!valid_) {
        program_.clear();
    }
}

MarkupPattern::~MarkupPattern() = default;

namespace {

// Length of the UTF-8 sequence led by c (the text is valid UTF-8).
size_t SequenceLength(unsigned char c) {
    return c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
}

bool ClassMatches(const Insn& insn, unsigned char lead) {
    if (insn.any) {
        return true;
    }
    const bool member = lead < 0x80 && insn.ascii.test(lead);
    return member != insn.negated;
}

}  // namespace

MarkupPattern::Result MarkupPattern::Match(const unsigned char* subject, size_t length, size_t* end,
                                           MarkupScratch* scratch) const {
    if (!valid_ || length == 0) {
        return kNoMatch;
    }
    // Text beyond the window is never read; needing it makes the result
    // undecided.
    const size_t window = length < kMaxMarkup ? length : kMaxMarkup;
    const bool cut = window < length;
    const size_t width = program_.size();
    std::vector<uint32_t>& stamps = scratch->stamps;
    if (++scratch->generation == 0) {
        std::fill(stamps.begin(), stamps.end(), 0);
        scratch->generation = 1;
    }
    const uint32_t generation = scratch->generation;
    bool blocked = false;
    Result result = kNoMatch;
    // Depth-first in priority order with an explicit stack; each pair is
    // expanded at most once, so the first accept reached is the first match
    // a backtracking engine would report.
    std::vector<std::pair<int, size_t>>& stack = scratch->stack;
    stack.clear();
    stack.emplace_back(0, 0);
    while (!stack.empty()) {
        const int pc = stack.back().first;
        const size_t pos = stack.back().second;
        stack.pop_back();
        const size_t slot = pos * width + static_cast<size_t>(pc);
        if (slot >= stamps.size()) {
            // Grows with the text actually read, so short tags stay cheap.
            stamps.resize((pos + 64) * width, 0);
        }
        if (stamps[slot] == generation) {
            continue;
        }
        stamps[slot] = generation;
        const Insn& insn = program_[static_cast<size_t>(pc)];
        if (insn.op == Insn::kAccept) {
            // An earlier path that needed text beyond the window might have
            // matched first.
            result = blocked ? kUndecided : kMatch;
            *end = pos;
            break;
        }
        switch (insn.op) {
            case Insn::kBegin:
                if (pos == 0) {
                    stack.emplace_back(pc + 1, pos);
                }
                break;
            case Insn::kJump:
                stack.emplace_back(insn.x, pos);
                break;
            case Insn::kSplit:
                stack.emplace_back(insn.y, pos);
                stack.emplace_back(insn.x, pos);
                break;
            default: {  // kChar
                const size_t next = pos < window ? pos + SequenceLength(subject[pos]) : window + 1;
                if (next > window) {
                    blocked = blocked || cut;
                } else if (ClassMatches(insn, subject[pos])) {
                    stack.emplace_back(pc + 1, next);
                }
                break;
            }
        }
    }
    if (result == kNoMatch && blocked) {
        result = kUndecided;
    }
    // Hostile text can leave megabytes here; an idle lexer keeps little.
    if (stamps.size() > 16 * 1024) {
        std::vector<uint32_t>().swap(stamps);
        std::vector<std::pair<int, size_t>>().swap(stack);
    }
    return result;
}

}  // namespace vrelay
