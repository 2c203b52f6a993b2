// SPDX-License-Identifier: GPL-3.0-or-later
#include "tools/input_cleaner.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "server/markup.h"
#include "wire/xml_escape.h"

namespace vrelay {
namespace tools {

namespace {

// Windows-1252 at 0x80 to 0x9F; 0 where it has no character (those become a
// blank). Latin-1 is the same from 0xA0 on.
const uint16_t kWindows1252[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178,
};

void AppendUtf8(uint32_t code, std::string* out) {
    if (code < 0x80) {
        out->push_back(static_cast<char>(code));
    } else if (code < 0x800) {
        out->push_back(static_cast<char>(0xC0 | code >> 6));
        out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
        out->push_back(static_cast<char>(0xE0 | code >> 12));
        out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
}

// The length of the UTF-8 character at text[at]: 1 to 4, 0 when the bytes
// there are not UTF-8, -1 when they may be but the text ends too soon.
int CharacterLength(const std::string& text, size_t at) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    int length = 0;
    unsigned char low = 0x80;  // the second byte's range (no overlong forms, no surrogates)
    unsigned char high = 0xBF;
    if (lead < 0x80) {
        return 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    for (int k = 1; k < length; ++k) {
        if (at + static_cast<size_t>(k) >= text.size()) {
            return -1;
        }
        const unsigned char c = byte(at + static_cast<size_t>(k));
        if (k == 1 ? (c < low || c > high) : (c < 0x80 || c > 0xBF)) {
            return 0;
        }
    }
    return length;
}

bool SameIgnoringCase(const std::string& text, size_t at, const char* word) {
    for (size_t k = 0; word[k] != 0; ++k) {
        if (at + k >= text.size() ||
            std::tolower(static_cast<unsigned char>(text[at + k])) != word[k]) {
            return false;
        }
    }
    return true;
}

size_t FindIgnoringCase(const std::string& text, size_t from, const std::string& word) {
    for (size_t at = text.find('<', from); at != std::string::npos; at = text.find('<', at + 1)) {
        if (SameIgnoringCase(text, at, word.c_str())) {
            return at;
        }
    }
    return std::string::npos;
}

// The element of interest a tag at text[at] ("<...") opens: "script",
// "style", "voice" or "" for any other. *undecided: the text ends before it
// can be told.
std::string ElementAt(const std::string& text, size_t at, bool* undecided) {
    *undecided = false;
    for (const char* name : {"script", "style", "voice"}) {
        const size_t length = std::strlen(name);
        size_t k = 0;
        while (k < length && at + 1 + k < text.size() &&
               std::tolower(static_cast<unsigned char>(text[at + 1 + k])) == name[k]) {
            ++k;
        }
        if (at + 1 + k == text.size()) {
            *undecided = true;  // so far the same, and the text ends
        } else if (k == length) {
            const char after = text[at + 1 + k];
            if (after == '>' || after == '/' || std::isspace(static_cast<unsigned char>(after))) {
                return name;
            }
        }
    }
    return "";
}

}  // namespace

std::string InputCleaner::Decode(const std::string& bytes, bool last) {
    std::string in = partial_ + bytes;
    partial_.clear();
    std::string out;
    out.reserve(in.size());
    size_t i = 0;
    if (!started_) {
        static const char kMark[] = "\xEF\xBB\xBF";
        const size_t have = std::min<size_t>(in.size(), 3);
        if (have < 3 && !last && in.compare(0, have, kMark, have) == 0) {
            partial_ = in;
            return out;
        }
        started_ = true;
        if (in.compare(0, 3, kMark) == 0) {
            i = 3;
        }
    }
    for (; i < in.size();) {
        const unsigned char c = static_cast<unsigned char>(in[i]);
        if (c == 0) {
            if (!sawNul_) {
                sawNul_ = true;
                notices_.push_back("the input holds a NUL byte at offset " +
                                   std::to_string(offset_ + static_cast<int64_t>(i)) +
                                   "; NUL bytes are skipped");
            }
            ++i;
            continue;
        }
        const int length = CharacterLength(in, i);
        if (length < 0 && !last) {
            partial_ = in.substr(i);
            break;
        }
        if (length > 0) {
            out.append(in, i, static_cast<size_t>(length));
            i += static_cast<size_t>(length);
            continue;
        }
        if (!sawForeign_) {
            sawForeign_ = true;
            char byte[8];
            std::snprintf(byte, sizeof byte, "0x%02X", c);
            notices_.push_back(std::string("the input is not UTF-8 (byte ") + byte + " at offset " +
                               std::to_string(offset_ + static_cast<int64_t>(i)) +
                               "); such bytes are read as Latin-1 (Windows-1252)");
        }
        const uint32_t code = c >= 0xA0 ? c : kWindows1252[c - 0x80];
        AppendUtf8(code != 0 ? code : ' ', &out);
        ++i;
    }
    offset_ += static_cast<int64_t>(in.size() - partial_.size());
    return out;
}

// A voice start tag that asks for a sex or an age but names no voice, with
// the name that asks the server for them ("+female+70", after the language
// of xml:lang if it has one); the tag as it is otherwise.
std::string NamedVoiceTag(const std::string& tag) {
    server::Tag parsed;
    if (!server::ParseTag(tag, &parsed) || parsed.kind == server::Tag::kClose ||
        !parsed.element.Get("name").empty()) {
        return tag;
    }
    std::string name = parsed.element.Get("xml:lang");
    const std::string gender = parsed.element.Get("gender");
    const std::string age = parsed.element.Get("age");
    if (gender == "female" || gender == "male") {
        name += "+" + gender;
    }
    if (!age.empty() && age.find_first_not_of("0123456789") == std::string::npos) {
        name += "+" + age;
    }
    if (name.find('+') == std::string::npos) {
        return tag;
    }
    return "<voice name=\"" + wire::EscapeXml(name, wire::XmlContext::kAnywhere) + "\"" +
           tag.substr(6);
}

std::string InputCleaner::Markup(const std::string& text, bool last) {
    std::string in = held_ + text;
    held_.clear();
    std::string out;
    out.reserve(in.size());
    size_t i = 0;
    while (i < in.size()) {
        if (!skipping_.empty()) {
            const std::string end = "</" + skipping_;
            const size_t close = FindIgnoringCase(in, i, end);
            const size_t gt = close == std::string::npos ? close : in.find('>', close);
            if (gt == std::string::npos) {
                if (!last) {
                    // Keep what may be the start of the end tag.
                    const size_t from = close != std::string::npos   ? close
                                        : in.size() > i + end.size() ? in.size() - end.size()
                                                                     : i;
                    held_ = in.substr(from);
                }
                return out;
            }
            skipping_.clear();
            i = gt + 1;
            continue;
        }
        const size_t lt = in.find('<', i);
        if (lt == std::string::npos) {
            out.append(in, i, std::string::npos);
            break;
        }
        out.append(in, i, lt - i);
        bool undecided = false;
        const std::string name = ElementAt(in, lt, &undecided);
        const size_t gt = name.empty() ? std::string::npos : in.find('>', lt);
        if ((undecided || (!name.empty() && gt == std::string::npos)) && !last) {
            held_ = in.substr(lt);
            return out;
        }
        if (name.empty() || gt == std::string::npos) {
            out.push_back('<');
            i = lt + 1;
            continue;
        }
        if (name == "voice") {
            out += NamedVoiceTag(in.substr(lt, gt + 1 - lt));
        } else if (in[gt - 1] != '/') {
            skipping_ = name;
        }
        i = gt + 1;
    }
    return out;
}

std::string InputCleaner::Clean(const std::string& bytes, bool last) {
    const std::string text = Decode(bytes, last);
    return markup_ ? Markup(text, last) : text;
}

std::vector<std::string> InputCleaner::TakeNotices() {
    std::vector<std::string> taken;
    taken.swap(notices_);
    return taken;
}

}  // namespace tools
}  // namespace vrelay
