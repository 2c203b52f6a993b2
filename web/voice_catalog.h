// SPDX-License-Identifier: GPL-3.0-or-later
// The server's voices as the page sees them: a JSON list for the voice
// picker, and the voice a speaking session asks for resolved to the exact
// name the server knows.
#ifndef VRELAY_WEB_VOICE_CATALOG_H
#define VRELAY_WEB_VOICE_CATALOG_H

#include <string>
#include <vector>

#include "frontend/voice_choice.h"

namespace vrelay {
namespace web {

class VoiceCatalog {
  public:
    explicit VoiceCatalog(std::vector<frontend::VoiceEntry> voices) : voices_(std::move(voices)) {}

    // [{"name":..., "language":..., "tag":..., "sex":...}, ...], sorted by
    // language name then voice name.
    std::string Json() const;
    // The exact name of the voice wanted names (a name, language tag or
    // language, as vrelay-say takes them); "" when no voice matches.
    std::string Resolve(const std::string& wanted) const;

  private:
    std::vector<frontend::VoiceEntry> voices_;
};

// text as the inside of a JSON string.
std::string JsonEscape(const std::string& text);

}  // namespace web
}  // namespace vrelay

#endif
