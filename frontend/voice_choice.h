// SPDX-License-Identifier: GPL-3.0-or-later
// Finding the voice a user means: "French (France)", "french", "fr" or
// "fr-FR" all name a voice of the server's list, and LANG+VARIANT
// ("en+f3"), "+VARIANT" ("+f3") or NAME+VARIANT ("English (Great
// Britain)+whisper") one of its variants, the same through every door.
//
// Doors: vrelay-say's --voice and the render worker's jobs go through
// ChooseVoiceName; vrelay-web resolves the page's choice with it; sd_vrelay's
// voice map builds on ChooseVoice and SpeaksLanguage; the Python package
// follows the same rule, checked against the same table of cases
// (tests/frontend/voice_choice.tsv). Pure functions: any thread.
#ifndef VRELAY_FRONTEND_VOICE_CHOICE_H
#define VRELAY_FRONTEND_VOICE_CHOICE_H

#include <vrelay/vrelay.h>

#include <string>
#include <vector>

namespace vrelay {
namespace frontend {

struct VoiceEntry {
    std::string name;      // "French (France)"
    std::string language;  // "French"
    std::string iso;       // "fr"
    std::string country;   // "FR", or ""
    std::string sex;
    int sampleRate = 0;

    // "fr-FR", or "fr" for a voice without a country.
    std::string Tag() const { return country.empty() ? iso : iso + "-" + country; }
    // A variant of any voice ("+f3"), listed beside the voices.
    bool IsVariant() const { return language == "variant"; }
};

// The server's voices, read through a voice enumerator of the connection.
// False when the list cannot be read.
bool ReadVoices(vr_handle connection, std::vector<VoiceEntry>* voices);

// The voice that wanted names, or null (variants are not voices). In order:
// a voice name, a language
// tag ("de-DE", "de_de"), a language code ("de") or a language name
// ("German"), all without regard to case. A language with several voices
// gives its home country's (fr: fr-FR), else one without a country, else the
// first listed; a tag whose country has no voice falls back to its language.
const VoiceEntry* ChooseVoice(const std::vector<VoiceEntry>& voices, const std::string& wanted);

// The name to select for wanted: ChooseVoice's voice; for LANG+VARIANT
// ("en+f3", "fr+female") that of LANG's voice followed by "+VARIANT", which
// the server reads (a variant, a sex or an age); "+VARIANT" alone as it is
// (the server's current voice with the variant). "" when no voice matches.
std::string ChooseVoiceName(const std::vector<VoiceEntry>& voices, const std::string& wanted);

// Whether the voice speaks the language: a code or tag ("fr", "fr-BE") or a
// language name, without regard to case.
bool SpeaksLanguage(const VoiceEntry& voice, const std::string& language);

}  // namespace frontend
}  // namespace vrelay

#endif
