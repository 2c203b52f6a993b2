// SPDX-License-Identifier: GPL-3.0-or-later
// The server's voices as the page sees them: a JSON list for the voice
// picker. The name the page picks goes to the server as it is, which
// chooses the voice (as for every door).
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
    // language name then voice name; tag is the language with its region
    // ("en-gb-scotland", "en-029").
    std::string Json() const;

  private:
    std::vector<frontend::VoiceEntry> voices_;
};

// text as the inside of a JSON string.
std::string JsonEscape(const std::string& text);

}  // namespace web
}  // namespace vrelay

#endif
