// SPDX-License-Identifier: GPL-3.0-or-later
// The speech settings Speech Dispatcher sends with SET, checked, and what
// they make of a message for the speech server: its markup, its prosody
// (the core's mapping of Speech Dispatcher's scale) and its spelling.
#ifndef VRELAY_SPEECHD_MESSAGE_SETTINGS_H
#define VRELAY_SPEECHD_MESSAGE_SETTINGS_H

#include <string>

#include "frontend/prosody.h"

namespace vrelay {
namespace speechd {

// What kind of message a text is: SPEAK, CHAR or KEY.
enum class MessageKind { kText, kCharacter, kKey };

class MessageSettings {
  public:
    enum class Result { kOk, kBadSyntax, kBadValue };

    // Applies one "name=value" line of a SET block. Numbers (rate, pitch,
    // pitch_range, volume) are integers from -100 to 100; the value NULL
    // clears a text setting. kBadSyntax for a line without "=" or without a
    // value, kBadValue for an unknown name or a value out of its set; the
    // settings then stay as they were.
    Result Apply(const std::string& line);

    // The markup of a message for the server: a SPEAK text (SSML) as it is,
    // a character spelled, a key name ("shift_a") spoken as words.
    std::string Markup(MessageKind kind, const std::string& text) const;
    // The rate, pitch, pitch range and volume (-100 to 100, 0 the voice's
    // own) as the server reads them (frontend SpeechDispatcherProsody).
    frontend::ProsodySetting Prosody() const;
    // spelling_mode is on: a SPEAK text is spelled out.
    bool Spelling() const { return spelling_; }

    // Empty when not set (or set to NULL).
    const std::string& Language() const { return language_; }
    const std::string& SynthesisVoice() const { return synthesis_voice_; }
    // "male1" ... "male3", "female1" ... "female3", "child_male",
    // "child_female", lower case; empty when not set.
    const std::string& VoiceType() const { return voice_type_; }

  private:
    int rate_ = 0;
    int pitch_ = 0;
    int pitch_range_ = 0;
    int volume_ = 0;
    bool spelling_ = false;
    std::string punctuation_ = "none";  // taken and kept; the server has no such setting
    std::string capitals_ = "none";     // likewise
    std::string language_;
    std::string synthesis_voice_;
    std::string voice_type_;
};

}  // namespace speechd
}  // namespace vrelay

#endif
