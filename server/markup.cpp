// SPDX-License-Identifier: GPL-3.0-or-later
#include "server/markup.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace vrelay {
namespace server {

using wire::ClassifyConstruct;
using wire::ConstructEnd;
using wire::DecodeEntity;
using wire::Delimited;
using wire::kCdata;

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
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
        if (!ClassifyConstruct(text, i, &kind)) {
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
            if (!ClassifyConstruct(text_, lt, &kind)) {
                break;  // told when more text comes
            }
            open_ = lt;
            quote_ = 0;
        } else {
            ClassifyConstruct(text_, open_, &kind);
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
