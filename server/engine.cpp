// SPDX-License-Identifier: GPL-3.0-or-later
#include "server/engine.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>

#include "server/espeak_engine.h"
#include "server/tone_engine.h"
#include "wire/xml_escape.h"

namespace vrelay {
namespace server {

namespace {

std::string Lower(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

}  // namespace

std::unique_ptr<Engine> MakeEngine(const std::string& name, std::string* error) {
    if (name == "tone") {
        return std::make_unique<ToneEngine>();
    }
    if (name == "espeak") {
        return EspeakEngine::Create(error);
    }
    *error = "unknown engine \"" + name + "\" (use espeak or tone)";
    return nullptr;
}

namespace {

// The parts of a language tag, lower case; "_" separates as "-" does.
std::vector<std::string> TagParts(const std::string& tag) {
    std::vector<std::string> parts(1);
    for (char c : Lower(tag)) {
        if (c == '-' || c == '_') {
            parts.emplace_back();
        } else {
            parts.back() += c;
        }
    }
    return parts;
}

// How well a voice suits a wanted language, as espeak-ng scores it: for each
// language of the voice, 5 less one for each part of either tag past the
// parts they share from the start, times 100, less twice the language's
// priority; the best of them, 0 when none shares its first part.
int LanguageScore(const VoiceInfo& voice, const std::vector<std::string>& wanted) {
    int best = 0;
    for (const auto& language : voice.languages) {
        const std::vector<std::string> parts = TagParts(language.first);
        size_t shared = 0;
        while (shared < parts.size() && shared < wanted.size() &&
               parts[shared] == wanted[shared]) {
            ++shared;
        }
        if (shared == 0) {
            continue;
        }
        const int fit = 5 - static_cast<int>((wanted.size() - shared) + (parts.size() - shared));
        best = std::max(best, fit * 100 - 2 * language.second);
    }
    return best;
}

// A language tag's voice: the one that suits it best, ties to the first
// name in byte order ("zh": Chinese (Mandarin, latin as English)); null when
// none speaks it.
const VoiceInfo* BestForLanguage(const std::vector<VoiceInfo>& voices, const std::string& tag) {
    const std::vector<std::string> parts = TagParts(tag);
    const VoiceInfo* best = nullptr;
    int best_score = 0;
    for (const VoiceInfo& voice : voices) {
        const int score = voice.variant ? 0 : LanguageScore(voice, parts);
        if (score > 0 && (score > best_score || (score == best_score && voice.name < best->name))) {
            best = &voice;
            best_score = score;
        }
    }
    return best;
}

}  // namespace

const VoiceInfo* FindVoice(const std::vector<VoiceInfo>& voices, const std::string& name) {
    for (const VoiceInfo& voice : voices) {
        if (voice.name == name) {
            return &voice;
        }
    }
    const std::string wanted = Lower(name);
    if (wanted.empty()) {
        return nullptr;
    }
    for (const VoiceInfo& voice : voices) {
        if (Lower(voice.name) == wanted) {
            return &voice;
        }
    }
    // Then espeak-ng's file name of the voice, whole ("gmw/en-us") or its
    // last part ("en-us", and "en" for gmw/en, British English).
    for (const VoiceInfo& voice : voices) {
        if (Lower(voice.voice_id) == wanted) {
            return &voice;
        }
    }
    for (const VoiceInfo& voice : voices) {
        const std::string id = Lower(voice.voice_id);
        if (id.size() > wanted.size() && id.compare(id.size() - wanted.size(), wanted.size(),
                                                    wanted) == 0 &&
            id[id.size() - wanted.size() - 1] == '/') {
            return &voice;
        }
    }
    if (const VoiceInfo* voice = BestForLanguage(voices, name)) {
        return voice;
    }
    // Then a language by its name ("french", "English"), chosen as its code
    // would be: the code of the first voice listed with that language.
    for (const VoiceInfo& voice : voices) {
        if (!voice.variant && !voice.language_iso.empty() && Lower(voice.language) == wanted) {
            return BestForLanguage(voices, voice.language_iso);
        }
    }
    return nullptr;
}

namespace {

const VoiceInfo* FindVariant(const std::vector<VoiceInfo>& voices, const std::string& id) {
    const std::string wanted = "+" + Lower(id);
    for (const VoiceInfo& voice : voices) {
        if (voice.variant && Lower(voice.name) == wanted) {
            return &voice;
        }
    }
    return nullptr;
}

// f1, m3: the variants of plain voices, preferred to the characters.
bool Numbered(const VoiceInfo& variant) {
    return variant.name.size() >= 3 && (variant.name[1] == 'f' || variant.name[1] == 'm') &&
           std::isdigit(static_cast<unsigned char>(variant.name[2]));
}

}  // namespace

bool FindVoiceAndVariant(const std::vector<VoiceInfo>& voices, const std::string& name,
                         const VoiceInfo** voice, const VoiceInfo** variant) {
    const size_t plus = name.find('+');
    *variant = nullptr;
    *voice = plus == 0 ? nullptr : FindVoice(voices, name.substr(0, plus));
    if (*voice == nullptr || (*voice)->variant) {
        return false;
    }
    if (plus != std::string::npos) {
        *variant = FindVariant(voices, name.substr(plus + 1));
        return *variant != nullptr;
    }
    return true;
}

std::string ChooseVoiceName(const std::vector<VoiceInfo>& voices, const std::string& request,
                            const std::string& current) {
    const size_t plus = request.find('+');
    const VoiceInfo* voice = nullptr;
    const VoiceInfo* variant = nullptr;
    if (plus == 0) {
        FindVoiceAndVariant(voices, current, &voice, &variant);
        variant = nullptr;
    } else {
        voice = FindVoice(voices, request.substr(0, plus));
    }
    if (voice == nullptr || voice->variant) {
        return "";
    }
    std::string sex;
    int age = 0;
    for (size_t at = plus; at != std::string::npos && at < request.size();) {
        const size_t next = request.find('+', at + 1);
        const std::string part = Lower(request.substr(at + 1, next - at - 1));
        at = next;
        char* end = nullptr;
        const long years = std::strtol(part.c_str(), &end, 10);
        if (part == "female" || part == "male") {
            sex = part;
        } else if (part == "neutral" || part.empty()) {
        } else if (!part.empty() && *end == 0 && years > 0 && years < 200) {
            age = static_cast<int>(years);
        } else if ((variant = FindVariant(voices, part)) == nullptr) {
            return "";
        }
    }
    if (variant == nullptr && (!sex.empty() || age > 0)) {
        // The candidates in order of preference; the first nearest wins.
        std::vector<const VoiceInfo*> candidates = {voice};
        for (int numbered = 1; numbered >= 0; --numbered) {
            for (const VoiceInfo& v : voices) {
                if (v.variant && Numbered(v) == (numbered == 1)) {
                    candidates.push_back(&v);
                }
            }
        }
        const int wanted = age > 0 ? age : 30;
        int best = -1;
        for (const VoiceInfo* candidate : candidates) {
            if (!sex.empty() && candidate->sex != sex) {
                continue;
            }
            const int distance = std::abs((candidate->age > 0 ? candidate->age : 30) - wanted);
            if (best < 0 || distance < best) {
                best = distance;
                variant = candidate;
            }
        }
        if (variant == nullptr) {
            return "";  // no variant of that sex
        }
        if (variant == voice) {
            variant = nullptr;
        }
    }
    return variant == nullptr ? voice->name : voice->name + variant->name;
}

std::string VoiceListXml(const std::vector<VoiceInfo>& voices) {
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<voices>\n";
    for (const VoiceInfo& v : voices) {
        std::string languages;
        for (const auto& language : v.languages) {
            languages += (languages.empty() ? "" : " ") + language.first + ":" +
                         std::to_string(language.second);
        }
        const struct {
            const char* key;
            std::string value;
        } attributes[] = {
            {"name", v.name},
            {"VOICE_ID", v.voice_id},
            {"SEX", v.sex},
            {"LANGUAGE", v.language},
            {"LANGUAGE_ID", v.language_id},
            {"COUNTRY", v.country},
            {"COUNTRY_ID", v.country_id},
            {"REGION", v.region},
            {"ACCENT", v.accent},
            {"ACCENT_ID", v.accent_id},
            {"VOICE_UUID", v.uuid},
            {"SAMPLE_RATE", std::to_string(v.sample_rate)},
            {"SAMPLE_BITS", "16"},
            {"ENCODING", "pcm16le"},
            {"LANGUAGE_CODE_ISO", v.language_iso},
            {"LANGUAGE_CODE_MICROSOFT", v.language_microsoft},
            {"COUNTRY_CODE_ISO", v.country_iso},
            {"LANGUAGES", languages},
        };
        xml += "<voice";
        for (const auto& a : attributes) {
            xml += ' ';
            xml += a.key;
            xml += "=\"" + wire::EscapeXml(a.value, wire::XmlContext::kAnywhere) + "\"";
        }
        xml += "/>\n";
    }
    xml += "</voices>\n";
    return xml;
}

int BreakMilliseconds(const Element& element) {
    const std::string time = element.Get("time");
    if (time.empty()) {
        // The strength names, roughly as long as a reader pauses for them.
        static const struct {
            const char* name;
            int ms;
        } kStrengths[] = {{"none", 0},     {"x-weak", 100}, {"weak", 200},
                          {"medium", 400}, {"strong", 700}, {"x-strong", 1200}};
        const std::string strength = element.Get("strength");
        for (const auto& s : kStrengths) {
            if (strength == s.name) {
                return s.ms;
            }
        }
        return 200;
    }
    char* end = nullptr;
    const double value = std::strtod(time.c_str(), &end);
    if (end == time.c_str() || !(value >= 0)) {
        return 200;
    }
    const std::string unit(end);
    const double ms = unit == "ms" ? value : unit == "s" ? value * 1000 : -1;
    if (ms < 0) {
        return 200;
    }
    return static_cast<int>(std::min<double>(ms, kMaxBreakMs));
}

std::string StableUuid(const std::string& key) {
    // Two FNV-1a passes with different offsets give 128 bits.
    uint64_t a = 14695981039346656037ull;
    uint64_t b = 1099511628211ull * 31;
    for (unsigned char c : key) {
        a = (a ^ c) * 1099511628211ull;
        b = (b ^ c) * 1099511628211ull + 7;
    }
    char text[40];
    std::snprintf(text, sizeof text, "%08x-%04x-%04x-%04x-%012llx", static_cast<unsigned>(a >> 32),
                  static_cast<unsigned>((a >> 16) & 0xffff),
                  static_cast<unsigned>(0x5000 | (a & 0x0fff)),
                  static_cast<unsigned>(0x8000 | ((b >> 48) & 0x3fff)),
                  static_cast<unsigned long long>(b & 0xffffffffffffull));
    return text;
}

std::vector<std::string> SpokenLetters(const std::string& text) {
    std::vector<std::string> letters;
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        size_t n = 1;
        if (c >= 0xF0) {
            n = 4;
        } else if (c >= 0xE0) {
            n = 3;
        } else if (c >= 0xC0) {
            n = 2;
        }
        if (i + n > text.size()) {
            n = text.size() - i;
        }
        if (c >= 0x80) {
            letters.push_back(text.substr(i, n));
        } else if (!std::isspace(c) && !std::ispunct(c) && !std::iscntrl(c)) {
            letters.push_back(std::string(1, static_cast<char>(std::tolower(c))));
        }
        i += n;
    }
    return letters;
}

}  // namespace server
}  // namespace vrelay
