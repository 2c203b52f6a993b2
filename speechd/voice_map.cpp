// SPDX-License-Identifier: GPL-3.0-or-later
#include "speechd/voice_map.h"

#include <cctype>

namespace vrelay {
namespace speechd {

namespace {

using frontend::VoiceEntry;

std::string Lower(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

// "en" of "en-US", "en_us" or "en".
std::string PrimaryLanguage(const std::string& tag) {
    return Lower(tag.substr(0, tag.find_first_of("-_")));
}

// The variant a voice type asks for, "" for MALE1 (and none).
std::string TypeVariant(const std::string& voiceType) {
    static const struct {
        const char* type;
        const char* variant;
    } kVariants[] = {{"male2", "+m2"},   {"male3", "+m3"},      {"female1", "+f1"},
                     {"female2", "+f2"}, {"female3", "+f3"},    {"child_male", "+f4"},
                     {"child_female", "+f5"}};
    for (const auto& v : kVariants) {
        if (voiceType == v.type) {
            return v.variant;
        }
    }
    return "";
}

}  // namespace

std::vector<std::string> VoiceMap::ListLines() const {
    std::vector<std::string> lines;
    for (const VoiceEntry& voice : voices_) {
        const size_t plus = voice.name.find('+');
        const std::string tag = voice.Tag().empty() ? "none" : voice.Tag();
        lines.push_back(voice.name + "\t" + tag + "\t" +
                        (plus == std::string::npos ? "none" : voice.name.substr(plus + 1)));
    }
    return lines;
}

bool VoiceMap::DefaultSpeaks(const std::string& defaultVoice, const std::string& language) const {
    const std::string voice = Lower(defaultVoice.substr(0, defaultVoice.find('+')));
    for (const VoiceEntry& listed : voices_) {
        if (Lower(listed.name) == voice) {
            return frontend::SpeaksLanguage(listed, PrimaryLanguage(language));
        }
    }
    return PrimaryLanguage(voice) == PrimaryLanguage(language);
}

std::string VoiceMap::Choose(const std::string& synthesisVoice, const std::string& language,
                             const std::string& voiceType, const std::string& defaultVoice) const {
    if (!synthesisVoice.empty() && synthesisVoice[0] != '+') {
        return synthesisVoice;
    }
    const std::string variant = !synthesisVoice.empty() ? synthesisVoice : TypeVariant(voiceType);
    if (!defaultVoice.empty() && (language.empty() || DefaultSpeaks(defaultVoice, language))) {
        return variant.empty() ? defaultVoice
                               : defaultVoice.substr(0, defaultVoice.find('+')) + variant;
    }
    return language + variant;
}

}  // namespace speechd
}  // namespace vrelay
