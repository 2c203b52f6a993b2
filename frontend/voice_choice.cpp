// SPDX-License-Identifier: GPL-3.0-or-later
#include "frontend/voice_choice.h"

#include <cctype>
#include <sstream>

namespace vrelay {
namespace frontend {

namespace {

// Lower case, "_" as "-": the spelling tags are compared in.
std::string TagSpelling(const std::string& text) {
    std::string out = text;
    for (char& c : out) {
        c = c == '_' ? '-' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return out;
}

// Whether tag is wanted or begins with it whole parts ("en" begins
// "en-gb-scotland", not "eng").
bool TagBegins(const std::string& tag, const std::string& wanted) {
    return tag.compare(0, wanted.size(), wanted) == 0 &&
           (tag.size() == wanted.size() || tag[wanted.size()] == '-');
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
        voice.languageId = Value(vrGetVoiceStringValue(list, VR_LANGUAGE_ID));
        voice.languages = Value(vrGetVoiceStringValue(list, VR_LANGUAGES));
        voice.sex = Value(vrGetVoiceStringValue(list, VR_SEX));
        voice.sampleRate = vrGetVoiceIntegerValue(list, VR_SAMPLE_RATE);
        voices->push_back(std::move(voice));
    }
    vrCloseEnumerator(list);
    return !voices->empty();
}

bool SpeaksLanguage(const VoiceEntry& voice, const std::string& language) {
    const std::string wanted = TagSpelling(language);
    if (wanted.empty()) {
        return false;
    }
    if (TagSpelling(voice.language) == wanted || TagBegins(TagSpelling(voice.Tag()), wanted)) {
        return true;
    }
    std::istringstream languages(voice.languages);
    for (std::string entry; languages >> entry;) {
        if (TagBegins(TagSpelling(entry.substr(0, entry.find(':'))), wanted)) {
            return true;
        }
    }
    return false;
}

}  // namespace frontend
}  // namespace vrelay
