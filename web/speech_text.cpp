// SPDX-License-Identifier: GPL-3.0-or-later
#include "web/speech_text.h"

#include <cstring>

namespace vrelay {
namespace web {

namespace {

// The length of the well-formed UTF-8 character at text[at], 0 when there is
// none (a stray byte, an overlong form, a surrogate or a value past U+10FFFF).
size_t CharLength(const std::string& text, size_t at) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[at + i]); };
    const unsigned char lead = byte(0);
    size_t length = lead < 0x80 ? 1 : lead >= 0xC2 && lead < 0xE0 ? 2 : lead >= 0xE0 && lead < 0xF0 ? 3
                                   : lead >= 0xF0 && lead < 0xF5 ? 4
                                                                  : 0;
    if (length == 0 || text.size() - at < length) {
        return 0;
    }
    for (size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80) {
            return 0;
        }
    }
    if ((lead == 0xE0 && byte(1) < 0xA0) || (lead == 0xED && byte(1) >= 0xA0) ||
        (lead == 0xF0 && byte(1) < 0x90) || (lead == 0xF4 && byte(1) >= 0x90)) {
        return 0;
    }
    return length;
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

bool StartsWith(const std::string& text, size_t at, const char* prefix) {
    return text.compare(at, std::strlen(prefix), prefix) == 0;
}

// The end of the markup construct starting at text[at] ('<'): just after its
// '>' (or after "-->", "]]>", "?>"), or text.size() when it is cut off.
size_t ConstructEnd(const std::string& text, size_t at) {
    static const struct {
        const char* open;
        const char* close;
    } kSpecial[] = {{"<!--", "-->"}, {"<![CDATA[", "]]>"}, {"<?", "?>"}};
    for (const auto& special : kSpecial) {
        if (StartsWith(text, at, special.open)) {
            const size_t end = text.find(special.close, at + std::strlen(special.open));
            return end == std::string::npos ? text.size() : end + std::strlen(special.close);
        }
    }
    char quote = 0;
    for (size_t i = at + 1; i < text.size(); ++i) {
        if (quote != 0) {
            quote = text[i] == quote ? 0 : quote;
        } else if (text[i] == '"' || text[i] == '\'') {
            quote = text[i];
        } else if (text[i] == '>') {
            return i + 1;
        }
    }
    return text.size();
}

std::string TagName(const std::string& tag, size_t from) {
    size_t end = from;
    while (end < tag.size() && !IsBlank(tag[end]) && tag[end] != '/' && tag[end] != '>') {
        ++end;
    }
    return tag.substr(from, end - from);
}

// HTML elements that are never closed; reopening them at every cut would
// repeat them.
bool IsVoidElement(const std::string& name) {
    static const char* const kVoid[] = {"br", "hr", "img", "meta", "link", "input", "wbr"};
    for (const char* v : kVoid) {
        if (name == v) {
            return true;
        }
    }
    return false;
}

std::string ProsodyTag(const SpeakRequest& request) {
    std::string attributes;
    if (request.rate != 100) {
        attributes += " rate=\"" + std::to_string(request.rate) + "%\"";
    }
    if (request.pitch != 0) {
        attributes += std::string(" pitch=\"") + (request.pitch > 0 ? "+" : "") +
                      std::to_string(request.pitch) + "%\"";
    }
    if (request.volume != 100) {
        attributes += " volume=\"" + std::to_string(request.volume) + "%\"";
    }
    return attributes.empty() ? std::string() : "<prosody" + attributes + ">";
}

}  // namespace

bool SpeechText::Start(const SpeakRequest& request, std::string* error) {
    size_t startByte = std::string::npos;
    uint32_t units = 0;
    for (size_t at = 0; at <= request.text.size();) {
        if (units == request.start) {
            startByte = at;
        }
        if (at == request.text.size()) {
            break;
        }
        const size_t length = CharLength(request.text, at);
        if (length == 0 || request.text[at] == '\0') {
            *error = length == 0 ? "the text is not UTF-8" : "the text holds a NUL character";
            return false;
        }
        units += length == 4 ? 2 : 1;
        at += length;
    }
    if (startByte == std::string::npos) {
        *error = "the start is not on a character of the text";
        return false;
    }
    text_ = request.text;
    markup_ = request.markup;
    prosody_ = ProsodyTag(request);
    open_.clear();
    request_.reset();
    cursorByte_ = 0;
    cursorUnit_ = 0;
    next_ = startByte;
    if (markup_) {
        // Start after the construct the start falls in, with what is open there.
        size_t at = 0;
        while (at < startByte) {
            at = text_[at] == '<' ? ConstructEnd(text_, at) : at + 1;
        }
        FollowTags(0, at);
        next_ = at;
    }
    return true;
}

size_t SpeechText::Cut(size_t from) const {
    const size_t limit = from + kRequestBytes;
    if (text_.size() <= limit) {
        return text_.size();
    }
    size_t blank = std::string::npos;
    size_t sentence = std::string::npos;
    char last = 0;  // the last character of text, tags skipped
    size_t i = from;
    while (i < text_.size() && (i < limit || blank == std::string::npos)) {
        if (markup_ && text_[i] == '<') {
            i = ConstructEnd(text_, i);
            continue;
        }
        const char c = text_[i++];
        if (IsBlank(c)) {
            blank = i;
            if (c == '\n' || last == '.' || last == '?' || last == '!') {
                sentence = i;
            }
        }
        last = c;
        if (i >= limit && blank == std::string::npos && !markup_) {
            // A plain word longer than a request is cut, on a character.
            while (i < text_.size() && (static_cast<unsigned char>(text_[i]) & 0xC0) == 0x80) {
                ++i;
            }
            return i;
        }
    }
    if (i >= text_.size()) {
        return text_.size();
    }
    // A sentence end, unless it would leave the request short.
    return sentence != std::string::npos && sentence >= from + kRequestBytes / 4 ? sentence : blank;
}

void SpeechText::FollowTags(size_t from, size_t to) {
    constexpr size_t kMaxOpen = 32;
    for (size_t i = from; i < to;) {
        if (text_[i] != '<') {
            ++i;
            continue;
        }
        const size_t end = ConstructEnd(text_, i);
        const std::string tag = text_.substr(i, end - i);
        i = end;
        if (tag.size() < 3 || tag.back() != '>' || tag[1] == '!' || tag[1] == '?') {
            continue;
        }
        if (tag[1] == '/') {
            const std::string name = TagName(tag, 2);
            for (size_t k = open_.size(); k > 0; --k) {
                if (open_[k - 1].name == name) {
                    open_.resize(k - 1);
                    break;
                }
            }
            continue;
        }
        const std::string name = TagName(tag, 1);
        if (!name.empty() && tag[tag.size() - 2] != '/' && !IsVoidElement(name) &&
            open_.size() < kMaxOpen) {
            open_.push_back({name, tag});
        }
    }
}

bool SpeechText::NextRequest(std::string* submit) {
    while (next_ < text_.size()) {
        const size_t from = next_;
        const size_t to = Cut(from);
        next_ = to;
        const std::string slice = text_.substr(from, to - from);
        bool words = false;
        for (size_t i = 0; i < slice.size() && !words;) {
            if (markup_ && slice[i] == '<') {
                i = ConstructEnd(slice, i);
            } else {
                words = !IsBlank(slice[i++]);
            }
        }
        request_ = std::make_unique<frontend::SubmittedText>(!markup_);
        requestBase_ = from;
        std::string opening = prosody_;
        for (const OpenTag& open : open_) {
            opening += open.tag;
        }
        if (markup_) {
            FollowTags(from, to);
        }
        std::string closing;
        for (size_t k = open_.size(); k > 0; --k) {
            closing += "</" + open_[k - 1].name + ">";
        }
        if (!prosody_.empty()) {
            closing += "</prosody>";
        }
        if (!words) {
            continue;
        }
        *submit = opening.empty() ? std::string() : request_->AppendMarkup(opening);
        *submit += request_->AppendUser(slice);
        if (!closing.empty()) {
            *submit += request_->AppendMarkup(closing);
        }
        return true;
    }
    return false;
}

uint32_t SpeechText::Utf16At(size_t byte) {
    if (byte < cursorByte_) {
        cursorByte_ = 0;
        cursorUnit_ = 0;
    }
    while (cursorByte_ < byte && cursorByte_ < text_.size()) {
        const size_t length = CharLength(text_, cursorByte_);
        cursorUnit_ += length == 4 ? 2 : 1;
        cursorByte_ += length == 0 ? 1 : length;
    }
    return cursorUnit_;
}

bool SpeechText::WordRange(int64_t byteOffset, int64_t byteLength, uint32_t* begin,
                           uint32_t* end) {
    if (!request_ || byteOffset < 0 || byteLength < 0 ||
        byteOffset + byteLength > request_->SubmittedBytes()) {
        return false;
    }
    const int64_t user = request_->UserOffset(byteOffset);
    const size_t length = request_->UserText(byteOffset, byteLength).size();
    if (user < 0) {
        return false;
    }
    const size_t from = requestBase_ + static_cast<size_t>(user);
    *begin = Utf16At(from);
    *end = Utf16At(from + length);
    return true;
}

}  // namespace web
}  // namespace vrelay
