#include "server/markup.h"

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
    const size_t semi = text.find(';', pos);
    // References are short; a far ';' belongs to something else.
    if (semi == std::string::npos || semi - pos > 12 || semi == pos + 1) {
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

// End of the tag starting at text[pos] ('<'): index of its '>', skipping
// quoted attribute values; npos when the tag is cut.
size_t TagEnd(const std::string& text, size_t pos) {
    char quote = 0;
    for (size_t i = pos + 1; i < text.size(); ++i) {
        const char c = text[i];
        if (quote != 0) {
            if (c == quote) {
                quote = 0;
            }
        } else if (c == '"' || c == '\'') {
            quote = c;
        } else if (c == '>') {
            return i;
        }
    }
    return std::string::npos;
}

bool StartsWith(const std::string& text, size_t pos, const char* prefix) {
    return text.compare(pos, std::strlen(prefix), prefix) == 0;
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
            // anybody's guess, so nothing of it is trusted.
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

std::string EscapeXml(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&apos;";
                break;
            default:
                out.push_back(c);
        }
    }
    return out;
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
        Element element = tag.element;
        element.name = name;
        (*current)->breaks.push_back(std::move(element));
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
        if (StartsWith(text, i, "<!--")) {
            const size_t end = text.find("-->", i + 4);
            i = end == std::string::npos ? text.size() : end + 3;
            continue;
        }
        if (StartsWith(text, i, "<![CDATA[")) {
            const size_t end = text.find("]]>", i + 9);
            const size_t stop = end == std::string::npos ? text.size() : end;
            add_text(text.substr(i + 9, stop - i - 9));
            i = end == std::string::npos ? text.size() : end + 3;
            continue;
        }
        if (StartsWith(text, i, "<?")) {
            const size_t end = text.find("?>", i + 2);
            i = end == std::string::npos ? text.size() : end + 2;
            continue;
        }
        const size_t end = TagEnd(text, i);
        if (end == std::string::npos) {
            break;  // a tag cut at the end: dropped
        }
        Tag tag;
        if (ParseTag(text.substr(i, end - i + 1), &tag)) {
            OnTag(tag, words, &current);
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
    size_t pos = text_.size();
    while (pos > 0) {
        pos = text_.rfind("<mark", pos - 1);
        if (pos == std::string::npos) {
            return std::string();
        }
        const size_t after = pos + 5;
        const bool named = after < text_.size() && (IsBlank(text_[after]) || text_[after] == '/');
        if (named && TagEnd(text_, pos) != std::string::npos) {
            std::string whole = text_.substr(0, pos);
            text_.erase(0, pos);
            return whole;
        }
        if (pos == 0) {
            break;
        }
    }
    return std::string();
}

std::string StreamBuffer::TakeAll() {
    std::string all;
    all.swap(text_);
    return all;
}

}  // namespace server
}  // namespace vrelay
