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
    MarkupCompiler(const char* source, bool dotAll) : m_p(source), m_dotAll(dotAll) {}

    bool Compile(std::vector<Insn>* program) {
        std::unique_ptr<Node> root = ParseAlt();
        if (!m_ok || *m_p != '\0' || !root) {
            return false;
        }
        m_program = program;
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
        while (m_ok && *m_p == '|') {
            ++m_p;
            alt->kids.push_back(ParseCat());
        }
        return alt;
    }

    std::unique_ptr<Node> ParseCat() {
        auto cat = std::make_unique<Node>();
        cat->kind = Node::kCat;
        while (m_ok && *m_p != '\0' && *m_p != '|' && *m_p != ')') {
            std::unique_ptr<Node> atom = ParseAtom();
            if (!m_ok) {
                break;
            }
            if (*m_p == '*' || *m_p == '+' || *m_p == '?') {
                auto rep = std::make_unique<Node>();
                rep->kind = *m_p == '*' ? Node::kStar : *m_p == '+' ? Node::kPlus : Node::kQuest;
                ++m_p;
                if (*m_p == '?') {
                    rep->greedy = false;
                    ++m_p;
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
        const char c = *m_p++;
        switch (c) {
            case '(': {
                node = ParseAlt();
                m_ok = m_ok && *m_p == ')';
                ++m_p;
                return node;
            }
            case '[':
                ParseClass(&node->cls);
                return node;
            case '.':
                node->cls.any = true;
                if (!m_dotAll) {
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
                    m_ok = false;
                }
                node->cls.ascii.set(static_cast<unsigned char>(c) & 0x7F);
                return node;
        }
    }

    void ParseEscape(std::bitset<128>* set) {
        const char c = *m_p++;
        if (c == 's') {
            *set |= SpaceSet();
        } else if (c != '\0' &&
                   !((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))) {
            set->set(static_cast<unsigned char>(c) & 0x7F);
            m_ok = m_ok && static_cast<unsigned char>(c) < 0x80;
        } else {
            m_ok = false;  // not part of the subset
        }
    }

    void ParseClass(Insn* cls) {
        if (*m_p == '^') {
            cls->negated = true;
            ++m_p;
        }
        while (m_ok && *m_p != ']') {
            const char c = *m_p++;
            if (c == '\0' || static_cast<unsigned char>(c) >= 0x80 || c == '-') {
                m_ok = false;  // ranges and non-ASCII members are not needed
            } else if (c == '\\') {
                ParseEscape(&cls->ascii);
            } else {
                cls->ascii.set(static_cast<unsigned char>(c));
            }
        }
        ++m_p;
    }

    int Here() const { return static_cast<int>(m_program->size()); }
    int Add(Insn::Op op) {
        Insn insn{op};
        m_program->push_back(insn);
        return Here() - 1;
    }
    // A split whose preferred branch is the next instruction when prefer_next.
    void SetSplit(int at, bool preferNext, int other) {
        (*m_program)[at].x = preferNext ? at + 1 : other;
        (*m_program)[at].y = preferNext ? other : at + 1;
    }

    void Emit(const Node& n) {
        switch (n.kind) {
            case Node::kClass:
                m_program->push_back(n.cls);
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
                    (*m_program)[j].x = Here();
                }
                break;
            }
            case Node::kStar: {
                const int split = Add(Insn::kSplit);
                Emit(*n.kids[0]);
                const int back = Add(Insn::kJump);
                (*m_program)[back].x = split;
                SetSplit(split, n.greedy, Here());
                break;
            }
            case Node::kPlus: {
                const int start = Here();
                Emit(*n.kids[0]);
                const int split = Add(Insn::kSplit);
                (*m_program)[split].x = n.greedy ? start : split + 1;
                (*m_program)[split].y = n.greedy ? split + 1 : start;
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

    const char* m_p;
    bool m_dotAll;
    bool m_ok = true;
    std::vector<Insn>* m_program = nullptr;
};

MarkupPattern::MarkupPattern(const char* source, bool dotAll) {
    MarkupCompiler compiler(source, dotAll);
    m_valid = compiler.Compile(&m_program);
    if (!m_valid) {
        m_program.clear();
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
    if (!m_valid || length == 0) {
        return kNoMatch;
    }
    // Text beyond the window is never read; needing it makes the result
    // undecided.
    const size_t window = length < kMaxMarkup ? length : kMaxMarkup;
    const bool cut = window < length;
    const size_t width = m_program.size();
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
        const Insn& insn = m_program[static_cast<size_t>(pc)];
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
