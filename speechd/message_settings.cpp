// SPDX-License-Identifier: GPL-3.0-or-later
#include "speechd/message_settings.h"

#include <cctype>
#include <initializer_list>

#include "transport/address.h"
#include "wire/xml_escape.h"

namespace vrelay {
namespace speechd {

namespace {

std::string Lower(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

bool ParseLevel(const std::string& value, int* level) {
    long n = 0;
    if (!ParseWholeNumber(value, -100, 100, &n)) {
        return false;
    }
    *level = static_cast<int>(n);
    return true;
}

bool OneOf(const std::string& value, std::initializer_list<const char*> allowed) {
    for (const char* a : allowed) {
        if (value == a) {
            return true;
        }
    }
    return false;
}

std::string EscapeText(const std::string& text) {
    return wire::EscapeXml(text, wire::XmlContext::kText);
}

std::string Spelled(const std::string& text) {
    return "<say-as interpret-as=\"characters\">" + text + "</say-as>";
}

// One UTF-8 character: a lead byte and its continuation bytes only.
bool OneCharacter(const std::string& text) {
    if (text.empty()) {
        return false;
    }
    for (size_t i = 1; i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
            return false;
        }
    }
    return true;
}

// "shift_kp-enter" as "shift kp enter"; a one-character part is spelled.
std::string KeyWords(const std::string& key) {
    std::string out;
    size_t start = 0;
    while (start < key.size()) {
        size_t end = key.find('_', start);
        end = end == std::string::npos ? key.size() : end;
        std::string part = key.substr(start, end - start);
        start = end + 1;
        if (part.empty()) {
            continue;
        }
        if (!out.empty()) {
            out += ' ';
        }
        if (OneCharacter(part)) {
            out += Spelled(EscapeText(part));
            continue;
        }
        for (char& c : part) {
            c = c == '-' ? ' ' : c;
        }
        out += EscapeText(part);
    }
    return out;
}

}  // namespace

MessageSettings::Result MessageSettings::Apply(const std::string& line) {
    const size_t equals = line.find('=');
    if (equals == std::string::npos || equals == 0 || equals + 1 == line.size()) {
        return Result::kBadSyntax;
    }
    const std::string name = line.substr(0, equals);
    const std::string value = line.substr(equals + 1);
    const std::string lower = Lower(value);
    const bool null = value == "NULL";
    if (name == "rate" || name == "pitch" || name == "pitch_range" || name == "volume") {
        int* target = name == "rate"          ? &rate_
                      : name == "pitch"       ? &pitch_
                      : name == "pitch_range" ? &pitch_range_
                                              : &volume_;
        return ParseLevel(value, target) ? Result::kOk : Result::kBadValue;
    }
    if (name == "punctuation_mode" && OneOf(lower, {"none", "some", "most", "all"})) {
        punctuation_ = lower;
    } else if (name == "spelling_mode" && OneOf(lower, {"on", "off"})) {
        spelling_ = lower == "on";
    } else if (name == "cap_let_recogn" && OneOf(lower, {"none", "spell", "icon"})) {
        capitals_ = lower;
    } else if ((name == "voice" || name == "voice_type") &&
               (null || OneOf(lower, {"male1", "male2", "male3", "female1", "female2", "female3",
                                      "child_male", "child_female"}))) {
        voice_type_ = null ? "" : lower;
    } else if (name == "language") {
        // "c" is the language of the C locale: no language asked for.
        language_ = null || lower == "c" || lower == "none" ? "" : value;
    } else if (name == "synthesis_voice") {
        synthesis_voice_ = null ? "" : value;
    } else {
        return Result::kBadValue;
    }
    return Result::kOk;
}

frontend::ProsodySetting MessageSettings::Prosody() const {
    return frontend::SpeechDispatcherProsody(rate_, pitch_, pitch_range_, volume_);
}

std::string MessageSettings::Markup(MessageKind kind, const std::string& text) const {
    switch (kind) {
        case MessageKind::kCharacter:
            return OneCharacter(text) ? Spelled(EscapeText(text)) : EscapeText(text);
        case MessageKind::kKey:
            return KeyWords(text);
        default:
            return text;
    }
}

}  // namespace speechd
}  // namespace vrelay
