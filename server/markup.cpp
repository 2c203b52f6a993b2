// SPDX-License-Identifier: GPL-3.0-or-later
#include "server/markup.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "server/html_entities.h"

namespace vrelay {
namespace server {

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

bool IsReferenceChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '#';
}

void AppendUtf8(uint32_t code, std::string* out) {
    if (code < 0x80) {
        out->push_back(static_cast<char>(code));
    } else if (code < 0x800) {
        out->push_back(static_cast<char>(0xC0 | (code >> 6)));
        out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
        out->push_back(static_cast<char>(0xE0 | (code >> 12)));
        out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
        out->push_back(static_cast<char>(0xF0 | (code >> 18)));
        out->push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
}

// Decodes the entity at text[pos] ('&') into out; returns the index after it.
// XML's five entities, HTML's named ones and character references are
// decoded; a lone '&' stays itself; an unknown or invalid reference becomes a
// blank.
size_t DecodeEntity(const std::string& text, size_t pos, std::string* out) {
    // A reference is a short run of letters, digits and '#' ended by ';'.
    // Looking no further keeps a run of '&' linear, and leaves markup after
    // an '&' to be read as markup.
    constexpr size_t kMaxReference = 12;
    size_t semi = pos + 1;
    while (semi < text.size() && semi - pos <= kMaxReference && IsReferenceChar(text[semi])) {
        ++semi;
    }
    if (semi == text.size() || text[semi] != ';' || semi - pos > kMaxReference || semi == pos + 1) {
        out->push_back('&');
        return pos + 1;
    }
    const std::string name = text.substr(pos + 1, semi - pos - 1);
    static const struct {
        const char* name;
        char value;
    } kNamed[] = {{"amp", '&'}, {"lt", '<'}, {"gt", '>'}, {"quot", '"'}, {"apos", '\''}};
    for (const auto& named : kNamed) {
        if (name == named.name) {
            out->push_back(named.value);
            return semi + 1;
        }
    }
    if (const uint32_t code = HtmlEntityCodePoint(name)) {
        AppendUtf8(code, out);
        return semi + 1;
    }
    if (name[0] == '#') {
        const bool hex = name.size() > 1 && (name[1] == 'x' || name[1] == 'X');
        const std::string digits = name.substr(hex ? 2 : 1);
        char* end = nullptr;
        const unsigned long code =
            digits.empty() ? 0 : std::strtoul(digits.c_str(), &end, hex ? 16 : 10);
        const bool valid = !digits.empty() && end != nullptr && *end == 0 && code > 0 &&
                           code <= 0x10FFFF && (code < 0xD800 || code > 0xDFFF);
        if (valid) {
            AppendUtf8(static_cast<uint32_t>(code), out);
            return semi + 1;
        }
    }
    out->push_back(' ');
    return semi + 1;
}

std::string DecodeText(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size();) {
        if (text[i] == '&') {
            i = DecodeEntity(text, i, &out);
        } else {
            out.push_back(text[i++]);
        }
    }
    return out;
}

// Markup that is not a tag, with what opens and closes it.
struct Delimited {
    const char* open;
    const char* close;
};
constexpr Delimited kComment{"<!--", "-->"};
constexpr Delimited kCdata{"<![CDATA[", "]]>"};
constexpr Delimited kInstruction{"<?", "?>"};

// What starts at text[pos] ('<'): *kind is one of the above, or null for a
// tag. False when the text ends before that can be told.
bool Classify(const std::string& text, size_t pos, const Delimited** kind) {
    for (const Delimited* d : {&kComment, &kCdata, &kInstruction}) {
        const size_t n = std::strlen(d->open);
        const size_t have = std::min(n, text.size() - pos);
        if (text.compare(pos, have, d->open, have) == 0) {
            if (have < n) {
                return false;
            }
            *kind = d;
            return true;
        }
    }
    *kind = nullptr;
    return true;
}

// Index of the last character of the construct of that kind starting at
// text[start], a tag's '>' found past quoted attribute values. The scan
// starts at *from (start for a fresh one); npos when the text ends first,
// with *from and *quote saved so that a call on the longer text goes on
// where this one stopped.
size_t ConstructEnd(const std::string& text, size_t start, const Delimited* kind, size_t* from,
                    char* quote) {
    if (kind != nullptr) {
        // A closing sequence may straddle the end of the text scanned before.
        const size_t n = std::strlen(kind->close);
        const size_t begin = std::max(start + std::strlen(kind->open), std::max(*from, n) - n + 1);
        const size_t at = text.find(kind->close, begin);
        *from = text.size();
        return at == std::string::npos ? at : at + n - 1;
    }
    for (size_t i = std::max(*from, start + 1); i < text.size(); ++i) {
        const char c = text[i];
        if (*quote != 0) {
            if (c == *quote) {
                *quote = 0;
            }
        } else if (c == '"' || c == '\'') {
            *quote = c;
        } else if (c == '>') {
            return i;
        }
    }
    *from = text.size();
    return std::string::npos;
}

std::string CanonicalName(const std::string& name) {
    if (name == "sentence") {
        return "s";
    }
    if (name == "paragraph") {
        return "p";
    }
    return name;
}

}  // namespace

std::string DecodeEntities(const std::string& text) {
    return DecodeText(text);
}

std::string Element::Get(const std::string& attribute, const std::string& fallback) const {
    for (const Attribute& a : attributes) {
        if (a.name == attribute) {
            return a.value;
        }
    }
    return fallback;
}

bool ParseTag(const std::string& text, Tag* tag) {
    if (text.size() < 3 || text.front() != '<' || text.back() != '>') {
        return false;
    }
    size_t i = 1;
    Tag result;
    if (text[i] == '/') {
        result.kind = Tag::kClose;
        ++i;
    }
    const size_t name_start = i;
    while (i < text.size() - 1 && !IsBlank(text[i]) && text[i] != '/' && text[i] != '>') {
        ++i;
    }
    result.element.name = text.substr(name_start, i - name_start);
    if (result.element.name.empty() || result.element.name[0] == '!' ||
        result.element.name[0] == '?') {
        return false;
    }
    const size_t end = text.size() - 1;  // the '>'
    while (i < end) {
        if (IsBlank(text[i])) {
            ++i;
            continue;
        }
        if (text[i] == '/') {
            if (result.kind == Tag::kOpen) {
                result.kind = Tag::kEmpty;
            }
            ++i;
            continue;
        }
        const size_t attr_start = i;
        while (i < end && !IsBlank(text[i]) && text[i] != '=' && text[i] != '/') {
            ++i;
        }
        Attribute attribute;
        attribute.name = text.substr(attr_start, i - attr_start);
        while (i < end && IsBlank(text[i])) {
            ++i;
        }
        if (i < end && text[i] == '=') {
            ++i;
            while (i < end && IsBlank(text[i])) {
                ++i;
            }
            if (i < end && (text[i] == '"' || text[i] == '\'')) {
                const char quote = text[i];
                const size_t close = text.find(quote, i + 1);
                if (close == std::string::npos || close > end) {
                    return false;
                }
                attribute.value = DecodeText(text.substr(i + 1, close - i - 1));
                i = close + 1;
            } else {
                const size_t value_start = i;
                while (i < end && !IsBlank(text[i])) {
                    ++i;
                }
                attribute.value = DecodeText(text.substr(value_start, i - value_start));
            }
        }
        if (!attribute.name.empty()) {
            // A repeated attribute makes the tag ill-formed: which value would count is
            // anybody's guess, so nothing of it is trusted. No element of ours has
            // many attributes: a tag with more is refused before checking them costs.
            if (result.element.attributes.size() == kMaxTagAttributes) {
                return false;
            }
            for (const Attribute& earlier : result.element.attributes) {
                if (earlier.name == attribute.name) {
                    return false;
                }
            }
            result.element.attributes.push_back(std::move(attribute));
        }
    }
    *tag = std::move(result);
    return true;
}

bool Word::Silent() const {
    for (char c : text) {
        if (!IsBlank(c)) {
            return false;
        }
    }
    return true;
}

bool Word::EndsSentence() const {
    size_t end = text.size();
    while (end > 0 && IsBlank(text[end - 1])) {
        --end;
    }
    // Closing quotes and brackets, ASCII and the common typographic ones.
    static const char* const kClosers[] = {"\"",           "'",       ")", "]", "\xE2\x80\x9D",
                                           "\xE2\x80\x99", "\xC2\xBB"};
    bool stripped = true;
    while (stripped && end > 0) {
        stripped = false;
        for (const char* closer : kClosers) {
            const size_t n = std::strlen(closer);
            if (end >= n && text.compare(end - n, n, closer) == 0) {
                end -= n;
                stripped = true;
                break;
            }
        }
    }
    return end > 0 && (text[end - 1] == '.' || text[end - 1] == '?' || text[end - 1] == '!');
}

bool Word::EndsParagraph() const {
    int newlines = 0;
    for (size_t i = text.size(); i > 0 && IsBlank(text[i - 1]); --i) {
        newlines += text[i - 1] == '\n' ? 1 : 0;
    }
    return newlines >= 2;
}

bool IsKeptContainer(const std::string& name) {
    return name == "s" || name == "p" || name == "emphasis" || name == "prosody" ||
           name == "say-as";
}

void MarkupParser::OnTag(const Tag& tag, std::vector<Word>* words, Word** current) {
    const std::string name = CanonicalName(tag.element.name);
    if (name == "mark") {
        if (tag.kind == Tag::kClose) {
            return;
        }
        const std::string mark = tag.element.Get("name");
        if (mark.empty()) {
            return;
        }
        Word word;
        word.mark = mark;
        word.context = OpenContext();
        words->push_back(std::move(word));
        *current = &words->back();
        return;
    }
    if (name == "break") {
        if (*current == nullptr) {
            words->push_back(Word());
            words->back().context = OpenContext();
            *current = &words->back();
        }
        if ((*current)->breaks.size() < kMaxBreaksPerWord) {
            Element element = tag.element;
            element.name = name;
            (*current)->breaks.push_back(std::move(element));
        }
        return;
    }
    if (!IsKeptContainer(name)) {
        return;
    }
    if (tag.kind == Tag::kOpen) {
        if (open_.size() >= kMaxOpenElements) {
            return;
        }
        Element element = tag.element;
        element.name = name;
        size_t bytes = 0;
        size_t kept = 0;
        for (const Attribute& a : element.attributes) {
            bytes += a.name.size() + a.value.size();
            if (bytes > kMaxAttributeBytes) {
                break;
            }
            ++kept;
        }
        element.attributes.resize(kept);
        open_.push_back(std::move(element));
        dirty_ = true;
    } else if (tag.kind == Tag::kClose) {
        // Close the innermost element of that name and whatever it encloses;
        // an end tag with no open element of its name is ignored.
        for (size_t i = open_.size(); i > 0; --i) {
            if (open_[i - 1].name == name) {
                open_.resize(i - 1);
                dirty_ = true;
                break;
            }
        }
    }
}

const Context& MarkupParser::OpenContext() {
    if (dirty_) {
        snapshot_.Assign(open_);
        dirty_ = false;
    }
    return snapshot_;
}

void MarkupParser::Reset() {
    open_.clear();
    snapshot_.Assign({});
    dirty_ = false;
}

void MarkupParser::Parse(const std::string& text, std::vector<Word>* words) {
    // current is null or the last word: every push_back re-points it.
    const size_t first = words->size();
    Word* current = nullptr;
    auto add_text = [&](const std::string& data) {
        if (current == nullptr) {
            words->push_back(Word());
            words->back().context = OpenContext();
            current = &words->back();
        }
        current->text += data;
    };
    std::string run;
    size_t i = 0;
    while (i < text.size()) {
        const char c = text[i];
        if (c == '&') {
            i = DecodeEntity(text, i, &run);
            continue;
        }
        if (c != '<') {
            run.push_back(c);
            ++i;
            continue;
        }
        if (!run.empty()) {
            add_text(run);
            run.clear();
        }
        const Delimited* kind = nullptr;
        if (!Classify(text, i, &kind)) {
            break;  // cut at the end: dropped
        }
        size_t from = i;
        char quote = 0;
        const size_t end = ConstructEnd(text, i, kind, &from, &quote);
        if (kind == &kCdata) {
            const size_t begin = i + std::strlen(kCdata.open);
            const size_t stop = end == std::string::npos ? text.size() : end + 1 - 3;
            add_text(text.substr(begin, stop - begin));
        } else if (kind == nullptr && end != std::string::npos) {
            Tag tag;
            if (ParseTag(text.substr(i, end - i + 1), &tag)) {
                OnTag(tag, words, &current);
            }
        }
        if (end == std::string::npos) {
            break;  // a tag cut at the end is dropped, a comment or CDATA runs to it
        }
        i = end + 1;
    }
    if (!run.empty()) {
        add_text(run);
    }
    // Text before the first mark that has nothing to say is not a word.
    size_t kept = first;
    for (size_t k = first; k < words->size(); ++k) {
        Word& word = (*words)[k];
        if (!word.HasMark() && word.Silent() && word.breaks.empty()) {
            continue;
        }
        if (kept != k) {
            (*words)[kept] = std::move(word);
        }
        ++kept;
    }
    words->resize(kept);
}

const std::vector<Element>& Context::Elements() const {
    static const std::vector<Element> kNone;
    return elements_ ? *elements_ : kNone;
}

void Context::push_back(Element element) {
    auto copy = std::make_shared<std::vector<Element>>(Elements());
    copy->push_back(std::move(element));
    elements_ = std::move(copy);
}

void Context::Assign(std::vector<Element> elements) {
    if (elements.empty()) {
        elements_.reset();
    } else {
        elements_ = std::make_shared<const std::vector<Element>>(std::move(elements));
    }
}

std::string StreamBuffer::TakeWholeWords() {
    while (scan_ < text_.size()) {
        const Delimited* kind = nullptr;
        if (open_ == std::string::npos) {
            const size_t lt = text_.find('<', scan_);
            if (lt == std::string::npos) {
                scan_ = text_.size();
                break;
            }
            scan_ = lt;
            if (!Classify(text_, lt, &kind)) {
                break;  // told when more text comes
            }
            open_ = lt;
            quote_ = 0;
        } else {
            Classify(text_, open_, &kind);
        }
        const size_t end = ConstructEnd(text_, open_, kind, &scan_, &quote_);
        if (end == std::string::npos) {
            break;
        }
        // A mark that starts a word, as MarkupParser::OnTag reads it.
        Tag tag;
        if (kind == nullptr && text_.compare(open_, 5, "<mark") == 0 &&
            ParseTag(text_.substr(open_, end - open_ + 1), &tag) && tag.kind != Tag::kClose &&
            tag.element.name == "mark" && !tag.element.Get("name").empty()) {
            cut_ = open_;
        }
        open_ = std::string::npos;
        scan_ = end + 1;
    }
    if (cut_ == std::string::npos || cut_ == 0) {
        return std::string();
    }
    // The text from the mark on stays: a byte moves once, or twice when a
    // mark tag around it was still open the first time.
    std::string whole = text_.substr(0, cut_);
    text_.erase(0, cut_);
    scan_ -= cut_;
    if (open_ != std::string::npos) {
        open_ -= cut_;
    }
    cut_ = 0;
    return whole;
}

std::string StreamBuffer::TakeAll() {
    std::string all;
    all.swap(text_);
    Clear();
    return all;
}

void StreamBuffer::Clear() {
    std::string().swap(text_);
    scan_ = 0;
    open_ = std::string::npos;
    quote_ = 0;
    cut_ = std::string::npos;
}

}  // namespace server
}  // namespace vrelay
