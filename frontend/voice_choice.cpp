// SPDX-License-Identifier: GPL-3.0-or-later
#include "frontend/voice_choice.h"

#include <cctype>

namespace vrelay {
namespace frontend {

namespace {

bool SameIgnoringCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

// "de-DE" or "de_de" into "de" and "DE"; the country is "" without one.
void SplitTag(const std::string& tag, std::string* language, std::string* country) {
    const size_t cut = tag.find_first_of("-_");
    *language = tag.substr(0, cut);
    *country = cut == std::string::npos ? std::string() : tag.substr(cut + 1);
}

// Among the voices matching, the home-country voice, else one without a
// country, else the first.
template <typename Match>
const VoiceEntry* Best(const std::vector<VoiceEntry>& voices, Match match) {
    const VoiceEntry* first = nullptr;
    const VoiceEntry* countryless = nullptr;
    for (const VoiceEntry& voice : voices) {
        if (voice.IsVariant() || !match(voice)) {
            continue;
        }
        if (SameIgnoringCase(voice.country, voice.iso)) {
            return &voice;
        }
        if (countryless == nullptr && voice.country.empty()) {
            countryless = &voice;
        }
        if (first == nullptr) {
            first = &voice;
        }
    }
    return countryless != nullptr ? countryless : first;
}

std::string Value(const char* text) {
    return text != nullptr ? text : "";
}

}  // namespace

bool ReadVoices(vr_handle connection, std::vector<VoiceEntry>* voices) {
    const vr_handle list = vrEnumerateConnectionVoices(connection);
    if (list < 0) {
        return false;
    }
    while (const char* name = vrNextVoice(list)) {
        VoiceEntry voice;
        voice.name = name;
        voice.language = Value(vrGetVoiceStringValue(list, VR_LANGUAGE));
        voice.iso = Value(vrGetVoiceStringValue(list, VR_LANGUAGE_CODE_ISO));
        voice.country = Value(vrGetVoiceStringValue(list, VR_COUNTRY_CODE_ISO));
        voice.sex = Value(vrGetVoiceStringValue(list, VR_SEX));
        voice.sampleRate = vrGetVoiceIntegerValue(list, VR_SAMPLE_RATE);
        voices->push_back(std::move(voice));
    }
    vrCloseEnumerator(list);
    return !voices->empty();
}

bool SpeaksLanguage(const VoiceEntry& voice, const std::string& language) {
    std::string code, country;
    SplitTag(language, &code, &country);
    return (SameIgnoringCase(voice.iso, code) &&
            (country.empty() || SameIgnoringCase(voice.country, country))) ||
           SameIgnoringCase(voice.language, language);
}

const VoiceEntry* ChooseVoice(const std::vector<VoiceEntry>& voices, const std::string& wanted) {
    for (const VoiceEntry& voice : voices) {
        if (!voice.IsVariant() && SameIgnoringCase(voice.name, wanted)) {
            return &voice;
        }
    }
    if (wanted.empty()) {
        return nullptr;
    }
    if (const VoiceEntry* voice =
            Best(voices, [&](const VoiceEntry& v) { return SpeaksLanguage(v, wanted); })) {
        return voice;
    }
    // No voice for that country: any of the language ("de-DE" with only "de").
    std::string language, country;
    SplitTag(wanted, &language, &country);
    if (country.empty()) {
        return nullptr;
    }
    return Best(voices, [&](const VoiceEntry& v) { return SpeaksLanguage(v, language); });
}

std::string ChooseVoiceName(const std::vector<VoiceEntry>& voices, const std::string& wanted) {
    const size_t plus = wanted.find('+');
    if (plus == 0) {
        return wanted;
    }
    if (plus + 1 == wanted.size()) {
        return "";  // "fr+": no variant named
    }
    const VoiceEntry* voice = ChooseVoice(voices, wanted.substr(0, plus));
    if (voice == nullptr) {
        return "";
    }
    return plus == std::string::npos ? voice->name : voice->name + wanted.substr(plus);
}

}  // namespace frontend
}  // namespace vrelay
