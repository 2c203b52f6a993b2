// SPDX-License-Identifier: GPL-3.0-or-later
#include "web/voice_catalog.h"

#include <algorithm>
#include <cstdio>

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

std::string VoiceCatalog::Json() const {
    std::vector<const frontend::VoiceEntry*> sorted;
    for (const auto& voice : voices_) {
        sorted.push_back(&voice);
    }
    std::stable_sort(sorted.begin(), sorted.end(), [](const auto* a, const auto* b) {
        return a->language != b->language ? a->language < b->language : a->name < b->name;
    });
    std::string json = "[";
    for (const auto* voice : sorted) {
        json += json.size() > 1 ? ",\n" : "\n";
        json += "{\"name\":\"" + JsonEscape(voice->name) + "\",\"language\":\"" +
                JsonEscape(voice->language) + "\",\"tag\":\"" + JsonEscape(voice->Tag()) +
                "\",\"sex\":\"" + JsonEscape(voice->sex) + "\"}";
    }
    return json + "\n]\n";
}

}  // namespace web
}  // namespace vrelay
