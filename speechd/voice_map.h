// SPDX-License-Identifier: GPL-3.0-or-later
// Speech Dispatcher's way of naming voices - a synthesis voice name, or a
// language and a voice type (MALE1, FEMALE2, CHILD_MALE ...) - mapped onto the
// speech server's voice list.
//
// A server voice named BASE+VARIANT ("English (America)+f3") is a variant of
// BASE: it is listed with its variant, and it is chosen for a voice type by
// its sex after the voices without a variant.
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
    // LANGUAGE is a tag such as "en-US", VARIANT "none" for a voice without.
    std::vector<std::string> ListLines() const;

    // The server voice to speak with, "" for the server's own default.
    //  - synthesisVoice names a voice (as the voice choice of the tools reads
    //    names): that voice.
    //  - Else for the language (or, without one, the default voice's): the
    //    default voice when it speaks the language, else the language's own
    //    voice; with a voice type, its Nth voice of that sex among the
    //    language's voices (this one first, then its variants, then those of
    //    the same tag, then the rest, voices before variants), the first of
    //    that sex when there are fewer, this one when there is none. MALE1,
    //    what Speech Dispatcher asks for when nobody chose a type, keeps the
    //    default voice.
    //  - Else the default voice, when it names one.
    std::string Choose(const std::string& synthesisVoice, const std::string& language,
                       const std::string& voiceType, const std::string& defaultVoice) const;

  private:
    std::vector<frontend::VoiceEntry> voices_;
};

}  // namespace speechd
}  // namespace vrelay

#endif
