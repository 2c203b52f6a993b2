// SPDX-License-Identifier: GPL-3.0-or-later
// The server's voice list as the doors show and filter it. Which voice a
// name means ("fr", "french", "en+f3", "+whisper") is the server's to decide:
// the doors pass what a person typed to it unchanged (the render worker's
// SelectVoice), so every door chooses alike. Pure functions: any thread.
#ifndef VRELAY_FRONTEND_VOICE_CHOICE_H
#define VRELAY_FRONTEND_VOICE_CHOICE_H

#include <vrelay/vrelay.h>

#include <string>
#include <vector>

namespace vrelay {
namespace frontend {

struct VoiceEntry {
    std::string name;        // "English (Scotland)"
    std::string language;    // "English"
    std::string iso;         // "en"
    std::string country;     // "GB", or ""
    std::string languageId;  // the language with its region: "en-gb-scotland", "en-029"
    // Every language the voice speaks with its priority, lower is better:
    // "en-gb-scotland:5 en:4" (the server's LANGUAGES; "" from a server
    // without it).
    std::string languages;
    std::string sex;
    int sampleRate = 0;

    // The language with its region ("en-gb-scotland"); from a server without
    // LANGUAGE_ID, "fr-FR" or "fr".
    std::string Tag() const {
        return !languageId.empty() ? languageId : country.empty() ? iso : iso + "-" + country;
    }
    // A variant of any voice ("+f3"), listed beside the voices.
    bool IsVariant() const { return language == "variant"; }
};

// The server's voices, read through a voice enumerator of the connection.
// False when the list cannot be read.
bool ReadVoices(vr_handle connection, std::vector<VoiceEntry>* voices);

// Whether the voice speaks the language, without regard to case: a
// language's name ("english"), or a tag ("en", "en-GB", "en_us") that is its
// tag or one of its languages, or begins one of them ("en" for
// "en-gb-scotland", "zh" for Chinese (Mandarin), which lists "zh").
bool SpeaksLanguage(const VoiceEntry& voice, const std::string& language);

}  // namespace frontend
}  // namespace vrelay

#endif
