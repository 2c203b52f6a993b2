// SPDX-License-Identifier: GPL-3.0-or-later
#include "web/page_settings.h"

#include <algorithm>
#include <cstdio>

#include "frontend/prosody.h"
#include "web/frames.h"

namespace vrelay {
namespace web {

std::string JsonEscape(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned char>(c));
            out += escaped;
        } else {
            out += c;
        }
    }
    return out;
}

namespace {

std::string String(const std::string& text) {
    return "\"" + JsonEscape(text) + "\"";
}

// "[LOW,HIGH]": what the voice reaches of what a SPEAK message may carry.
std::string Slider(frontend::Quantity q, SliderLimits limits) {
    int low = 0, high = 0;
    frontend::SliderReach(q, &low, &high);
    return "[" + std::to_string(std::max(low, limits.low)) + "," +
           std::to_string(std::min(high, limits.high)) + "]";
}

}  // namespace

PageSettings::PageSettings(const std::vector<frontend::VoiceEntry>& voices, size_t maxTextBytes) {
    std::vector<const frontend::VoiceEntry*> sorted;
    for (const auto& voice : voices) {
        sorted.push_back(&voice);
    }
    std::stable_sort(sorted.begin(), sorted.end(), [](const auto* a, const auto* b) {
        return a->language != b->language ? a->language < b->language : a->name < b->name;
    });
    std::string list, variants;
    for (const auto* voice : sorted) {
        std::string& to = voice->IsVariant() ? variants : list;
        to += to.empty() ? "\n" : ",\n";
        to += "{\"name\":" + String(voice->name);
        if (!voice->IsVariant()) {
            to += ",\"language\":" + String(voice->language) + ",\"tag\":" + String(voice->Tag());
        }
        to += ",\"sex\":" + String(voice->sex) + "}";
    }
    json_ = "{\"maxText\":" + std::to_string(maxTextBytes) + ",\n\"sliders\":{\"rate\":" +
            Slider(frontend::Quantity::kRate, kRateLimits) +
            ",\"pitch\":" + Slider(frontend::Quantity::kPitch, kPitchLimits) +
            ",\"volume\":" + Slider(frontend::Quantity::kVolume, kVolumeLimits) +
            "},\n\"voices\":[" + list + "\n],\n\"variants\":[" + variants + "\n]}\n";
}

}  // namespace web
}  // namespace vrelay
