// SPDX-License-Identifier: GPL-3.0-or-later
#include "speechd/voice_map.h"

#include <algorithm>

namespace vrelay {
namespace speechd {

namespace {

using frontend::VoiceEntry;

std::string Base(const VoiceEntry& voice) {
    return voice.name.substr(0, voice.name.find('+'));
}

bool IsVariant(const VoiceEntry& voice) {
    return voice.name.find('+') != std::string::npos;
}

std::string PrimaryLanguage(const std::string& tag) {
    return tag.substr(0, tag.find_first_of("-_"));
}

}  // namespace

std::vector<std::string> VoiceMap::ListLines() const {
    std::vector<std::string> lines;
    for (const VoiceEntry& voice : voices_) {
        const size_t plus = voice.name.find('+');
        const std::string tag = voice.iso.empty() ? "none" : voice.Tag();
        lines.push_back(voice.name + "\t" + tag + "\t" +
                        (plus == std::string::npos ? "none" : voice.name.substr(plus + 1)));
    }
    return lines;
}

std::string VoiceMap::Choose(const std::string& synthesisVoice, const std::string& language,
                             const std::string& voiceType, const std::string& defaultVoice) const {
    if (!synthesisVoice.empty()) {
        if (const VoiceEntry* named = frontend::ChooseVoice(voices_, synthesisVoice)) {
            return named->name;
        }
    }
    const VoiceEntry* fallback =
        defaultVoice.empty() ? nullptr : frontend::ChooseVoice(voices_, defaultVoice);
    const std::string wanted =
        !language.empty() ? language : fallback != nullptr ? fallback->Tag() : std::string();
    if (wanted.empty()) {
        return fallback != nullptr ? fallback->name : std::string();
    }
    const std::string primary = PrimaryLanguage(wanted);
    const VoiceEntry* best = fallback != nullptr && frontend::SpeaksLanguage(*fallback, primary)
                                 ? fallback
                                 : frontend::ChooseVoice(voices_, wanted);
    if (best == nullptr) {
        return fallback != nullptr ? fallback->name : std::string();
    }
    // MALE1 is what Speech Dispatcher asks for when nobody chose a type: it
    // keeps a configured default voice.
    if (voiceType.empty() || (best == fallback && voiceType == "male1")) {
        return best->name;
    }
    // The language's voices in the order a voice type counts them.
    std::vector<std::pair<int, const VoiceEntry*>> ranked;
    for (const VoiceEntry& voice : voices_) {
        int rank = &voice == best                           ? 0
                   : Base(voice) == Base(*best)             ? 1
                   : frontend::SpeaksLanguage(voice, wanted)   ? 3
                   : frontend::SpeaksLanguage(voice, primary) ? 5
                                                            : -1;
        if (rank > 0 && IsVariant(voice)) {
            ++rank;
        }
        if (rank >= 0) {
            ranked.emplace_back(rank, &voice);
        }
    }
    std::stable_sort(ranked.begin(), ranked.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    const bool female = voiceType.find("female") != std::string::npos;
    const char last = voiceType.back();
    const size_t nth = last >= '1' && last <= '9' ? static_cast<size_t>(last - '0') : 1;
    std::vector<const VoiceEntry*> sex;
    for (const auto& entry : ranked) {
        if ((entry.second->sex == "female") == female) {
            sex.push_back(entry.second);
        }
    }
    if (sex.empty()) {
        return best->name;
    }
    return (nth <= sex.size() ? sex[nth - 1] : sex.front())->name;
}

}  // namespace speechd
}  // namespace vrelay
