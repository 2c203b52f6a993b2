// SPDX-License-Identifier: GPL-3.0-or-later
// What the page is told when it loads (GET /settings, JSON): the server's
// voices for its voice picker, each with its language and region tag
// ("en-gb-scotland"), the variants for its variant picker ("+f3"), the
// longest text the bridge takes, and the slider values the voice reaches
// (frontend's SliderReach, within what a SPEAK message may carry). The page
// starts with the server's default voice, as every door does, and sends what
// is picked as it is ("English (Scotland)", "+f3", "English (Scotland)+f3"):
// the server chooses the voice.
#ifndef VRELAY_WEB_PAGE_SETTINGS_H
#define VRELAY_WEB_PAGE_SETTINGS_H

#include <string>
#include <vector>

#include "frontend/voice_choice.h"

namespace vrelay {
namespace web {

class PageSettings {
  public:
    // {"maxText": N, "sliders": {"rate": [LOW, HIGH], "pitch": [...],
    // "volume": [...]}, "voices": [{"name", "language", "tag", "sex"}, ...],
    // "variants": [{"name", "sex"}, ...]}, the voices sorted by language
    // then name, the variants by name.
    PageSettings(const std::vector<frontend::VoiceEntry>& voices, size_t maxTextBytes);

    const std::string& Json() const { return json_; }

  private:
    std::string json_;
};

// text as the inside of a JSON string.
std::string JsonEscape(const std::string& text);

}  // namespace web
}  // namespace vrelay

#endif
