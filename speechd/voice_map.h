// SPDX-License-Identifier: GPL-3.0-or-later
// Speech Dispatcher's way of naming voices - a synthesis voice name, or a
// language and a voice type (MALE1, FEMALE2, CHILD_MALE ...) - as a voice
// request for the speech server, which chooses the voice as it does for
// every door (a name, a language tag or name, "+" and a variant).
//
// Voice types are espeak-ng's variants of the language's voice: MALE1 the
// voice as it is, MALE2 "+m2", MALE3 "+m3", FEMALE1 "+f1", FEMALE2 "+f2",
// FEMALE3 "+f3". espeak-ng has no child voices: CHILD_MALE and CHILD_FEMALE
// take the two high variants the female types leave, "+f4" and "+f5".
#ifndef VRELAY_SPEECHD_VOICE_MAP_H
#define VRELAY_SPEECHD_VOICE_MAP_H

#include <string>
#include <vector>

#include "frontend/voice_choice.h"

namespace vrelay {
namespace speechd {

class VoiceMap {
  public:
    VoiceMap() = default;
    explicit VoiceMap(std::vector<frontend::VoiceEntry> voices) : voices_(std::move(voices)) {}

    bool Empty() const { return voices_.empty(); }

    // One "NAME\tLANGUAGE\tVARIANT" line per voice, in the server's order;
    // LANGUAGE is the language with its region ("en-gb-scotland", "en-029"),
    // VARIANT "none" for a voice; a variant of espeak-ng's is listed as
    // "+f3\tnone\tf3".
    std::vector<std::string> ListLines() const;

    // The voice to ask the server for, "" for the server's own default:
    //  - a synthesis voice as it is ("English (Scotland)", "en+f3"); one that
    //    is only a variant ("+whisper") with the language, as below;
    //  - else the language ("fr", "en-US") with the voice type's variant;
    //    the default voice (DefaultVoice) instead when there is no language
    //    or it speaks the language; MALE1 keeps the default voice's own
    //    variant, other types replace it.
    std::string Choose(const std::string& synthesisVoice, const std::string& language,
                       const std::string& voiceType, const std::string& defaultVoice) const;

  private:
    // Whether the default voice (a voice's name or a language, perhaps with
    // a variant) speaks language's primary language.
    bool DefaultSpeaks(const std::string& defaultVoice, const std::string& language) const;

    std::vector<frontend::VoiceEntry> voices_;
};

}  // namespace speechd
}  // namespace vrelay

#endif
