// SPDX-License-Identifier: MIT
#include "wire/markup_tag.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "wire/html_entities.h"
#include "wire/utf8.h"

namespace vrelay {
namespace wire {

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

bool IsReferenceChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '#';
}

}  // namespace

const Delimited kComment{"<!--", "-->"};
const Delimited kCdata{"<![CDATA[", "]]>"};
const Delimited kInstruction{"<?", "?>"};

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

std::string DecodeEntities(const std::string& text) {
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

bool ClassifyConstruct(const std::string& text, size_t pos, const Delimited** kind) {
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
                attribute.value = DecodeEntities(text.substr(i + 1, close - i - 1));
                i = close + 1;
            } else {
                const size_t value_start = i;
                while (i < end && !IsBlank(text[i])) {
                    ++i;
                }
                attribute.value = DecodeEntities(text.substr(value_start, i - value_start));
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

}  // namespace wire
}  // namespace vrelay
