// SPDX-License-Identifier: GPL-3.0-or-later
#include "frontend/input_cleaner.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "wire/markup_tag.h"
#include "wire/utf8.h"
#include "wire/xml_escape.h"

namespace vrelay {
namespace frontend {

namespace {

// Windows-1252 at 0x80 to 0x9F; 0 where it has no character (those become a
// blank). Latin-1 is the same from 0xA0 on.
const uint16_t kWindows1252[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178,
};

// A space that is not a blank to the tokeniser, UTF-8 encoded: no-break,
// en, em, thin and the like.
bool IsWideSpace(const std::string& character) {
    static const char* const kSpaces[] = {
        "\xC2\xA0",     "\xE2\x80\x80", "\xE2\x80\x81", "\xE2\x80\x82", "\xE2\x80\x83",
        "\xE2\x80\x84", "\xE2\x80\x85", "\xE2\x80\x86", "\xE2\x80\x87", "\xE2\x80\x88",
        "\xE2\x80\x89", "\xE2\x80\x8A", "\xE2\x80\xAF", "\xE2\x81\x9F", "\xE3\x80\x80"};
    for (const char* space : kSpaces) {
        if (character == space) {
            return true;
        }
    }
    return false;
}

bool SameIgnoringCase(const std::string& text, size_t at, const std::string& word) {
    if (at + word.size() > text.size()) {
        return false;
    }
    for (size_t k = 0; k < word.size(); ++k) {
        if (std::tolower(static_cast<unsigned char>(text[at + k])) != word[k]) {
            return false;
        }
    }
    return true;
}

size_t FindIgnoringCase(const std::string& text, size_t from, const std::string& word) {
    for (size_t at = text.find(word[0], from); at != std::string::npos;
         at = text.find(word[0], at + 1)) {
        if (SameIgnoringCase(text, at, word)) {
            return at;
        }
    }
    return std::string::npos;
}

// Whether text[at...] may still become prefix once more text comes: it is
// prefix cut by the end of the text.
bool CutPrefix(const std::string& text, size_t at, const char* prefix) {
    const size_t have = text.size() - at;
    return have < std::strlen(prefix) && SameIgnoringCase(text, at, std::string(prefix, have));
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

// A voice start tag that asks for a sex or an age but names no voice, with
// the name that asks the server for them ("+female+70", after the language
// of xml:lang if it has one); the tag as it is otherwise.
std::string NamedVoiceTag(const std::string& tag) {
    wire::Tag parsed;
    if (!wire::ParseTag(tag, &parsed) || parsed.kind == wire::Tag::kClose ||
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

}  // namespace

std::string InputCleaner::Decode(const std::string& bytes, bool last) {
    std::string in = partial_ + bytes;
    partial_.clear();
    std::string out;
    out.reserve(in.size());
    size_t i = 0;
    // The length changed just before in[i]: remember where the texts meet.
    const auto shifted = [&] {
        decode_shifts_.push_back({decoded_ + static_cast<int64_t>(out.size()),
                                 offset_ + static_cast<int64_t>(i)});
    };
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
            shifted();
        }
    }
    for (; i < in.size();) {
        const unsigned char c = static_cast<unsigned char>(in[i]);
        if (c == 0) {
            if (!saw_nul_) {
                saw_nul_ = true;
                notices_.push_back("the input holds a NUL byte at offset " +
                                   std::to_string(offset_ + static_cast<int64_t>(i)) +
                                   "; NUL bytes are skipped");
            }
            ++i;
            shifted();
            continue;
        }
        const int length = wire::Utf8Length(in, i);
        if (length < 0 && !last) {
            partial_ = in.substr(i);
            break;
        }
        if (length > 0) {
            const std::string character = in.substr(i, static_cast<size_t>(length));
            out += IsWideSpace(character) ? std::string(character.size(), ' ') : character;
            i += static_cast<size_t>(length);
            continue;
        }
        if (!saw_foreign_) {
            saw_foreign_ = true;
            char byte[8];
            std::snprintf(byte, sizeof byte, "0x%02X", c);
            notices_.push_back(std::string("the input is not UTF-8 (byte ") + byte + " at offset " +
                               std::to_string(offset_ + static_cast<int64_t>(i)) +
                               "); such bytes are read as Latin-1 (Windows-1252)");
        }
        const uint32_t code = c >= 0xA0 ? c : kWindows1252[c - 0x80];
        wire::AppendUtf8(code != 0 && code != 0xA0 ? code : ' ', &out);
        ++i;
        shifted();
    }
    offset_ += static_cast<int64_t>(in.size() - partial_.size());
    decoded_ += static_cast<int64_t>(out.size());
    return out;
}

size_t InputCleaner::SkipElement(const std::string& in, size_t at, bool last, std::string* out) {
    const bool element = skipping_[0] == '<' && skipping_[1] == '/';
    const size_t close = FindIgnoringCase(in, at, skipping_);
    size_t end = close;
    if (close != std::string::npos && element) {
        end = in.find('>', close);
    }
    if (end == std::string::npos) {
        if (last) {
            out->append(in.size() - at, ' ');
            return in.size();
        }
        // Keep what may be the start of the end.
        const size_t keep = close != std::string::npos ? in.size() - close
                                                        : std::min(in.size() - at, skipping_.size());
        out->append(in.size() - at - keep, ' ');
        held_ = in.substr(in.size() - keep);
        return in.size();
    }
    end += element ? 1 : skipping_.size();
    out->append(end - at, ' ');
    skipping_.clear();
    return end;
}

size_t InputCleaner::Construct(const std::string& in, size_t at, bool last, std::string* out) {
    const auto hold = [&] {
        held_ = in.substr(at);
        return in.size();
    };
    if (in[at] == '&') {
        // An entity for a wide space is blanked; every other goes on as it is.
        std::string decoded;
        const size_t end = wire::DecodeEntity(in, at, &decoded);
        const bool cut = end == at + 1 && in.size() - at <= 12 &&
                         in.find_first_not_of("#0123456789abcdefghijklmnopqrstuvwxyz"
                                              "ABCDEFGHIJKLMNOPQRSTUVWXYZ",
                                              at + 1) == std::string::npos;
        if (cut && !last) {
            return hold();
        }
        out->append(IsWideSpace(decoded) ? std::string(end - at, ' ') : in.substr(at, end - at));
        return end;
    }
    for (const char* prefix : {"<!--", "<![CDATA[", "<!"}) {
        if (CutPrefix(in, at, prefix) && !last) {
            return hold();
        }
    }
    if (SameIgnoringCase(in, at, "<!--") || (SameIgnoringCase(in, at, "<!") &&
                                             !SameIgnoringCase(in, at, "<![cdata["))) {
        // A comment or a declaration (<!DOCTYPE html>): nothing to speak.
        skipping_ = SameIgnoringCase(in, at, "<!--") ? "-->" : ">";
        out->append(2, ' ');
        return at + 2;
    }
    bool undecided = false;
    const std::string name = ElementAt(in, at, &undecided);
    const size_t gt = name.empty() ? std::string::npos : in.find('>', at);
    if ((undecided || (!name.empty() && gt == std::string::npos)) && !last) {
        return hold();
    }
    if (name.empty() || gt == std::string::npos) {
        out->push_back('<');
        return at + 1;
    }
    if (name == "voice") {
        *out += NamedVoiceTag(in.substr(at, gt + 1 - at));
    } else {
        out->append(gt + 1 - at, ' ');
        if (in[gt - 1] != '/') {
            skipping_ = "</" + name;
        }
    }
    return gt + 1;
}

std::string InputCleaner::Markup(const std::string& text, bool last) {
    std::string in = held_ + text;
    held_.clear();
    std::string out;
    out.reserve(in.size());
    for (size_t i = 0; i < in.size();) {
        if (!skipping_.empty()) {
            i = SkipElement(in, i, last, &out);
            continue;
        }
        const size_t special = in.find_first_of("<&", i);
        if (special == std::string::npos) {
            out.append(in, i, std::string::npos);
            break;
        }
        out.append(in, i, special - i);
        const size_t before = out.size();
        i = Construct(in, special, last, &out);
        if (out.size() - before != i - special && held_.empty()) {
            markup_shifts_.push_back({cleaned_ + static_cast<int64_t>(out.size()),
                                     marked_ + static_cast<int64_t>(i)});
        }
    }
    marked_ += static_cast<int64_t>(in.size() - held_.size());
    cleaned_ += static_cast<int64_t>(out.size());
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

int64_t InputCleaner::Across(const std::vector<Shift>& shifts, int64_t at, bool fromOut) {
    const auto from = [&](const Shift& s) { return fromOut ? s.out : s.in; };
    const auto to = [&](const Shift& s) { return fromOut ? s.in : s.out; };
    const auto next = std::upper_bound(shifts.begin(), shifts.end(), at,
                                       [&](int64_t x, const Shift& s) { return x < from(s); });
    int64_t mapped = at;
    if (next != shifts.begin()) {
        const Shift& base = *std::prev(next);
        mapped = to(base) + (at - from(base));
    }
    return next == shifts.end() ? mapped : std::min(mapped, to(*next));
}

int64_t InputCleaner::InputOffset(int64_t cleaned) const {
    return Across(decode_shifts_, Across(markup_shifts_, cleaned, true), true);
}

int64_t InputCleaner::CleanedOffset(int64_t input) const {
    return Across(markup_shifts_, Across(decode_shifts_, input, false), false);
}

bool IsUtf8Text(const std::string& bytes, std::string* problem) {
    for (size_t i = 0; i < bytes.size();) {
        const int length = wire::Utf8Length(bytes, i);
        if (length <= 0) {
            char byte[8];
            std::snprintf(byte, sizeof byte, "0x%02X", static_cast<unsigned char>(bytes[i]));
            *problem = std::string("the text is not UTF-8 (byte ") + byte + " at offset " +
                       std::to_string(i) + ")";
            return false;
        }
        if (bytes[i] == '\0') {
            *problem = "the text holds a NUL character at offset " + std::to_string(i);
            return false;
        }
        i += static_cast<size_t>(length);
    }
    return true;
}

}  // namespace frontend
}  // namespace vrelay
