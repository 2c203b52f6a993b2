// SPDX-License-Identifier: GPL-3.0-or-later
#include "server/tone_engine.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace vrelay {
namespace server {

namespace {

VoiceInfo ToneVoice(const std::string& name, const std::string& sex) {
    VoiceInfo v;
    v.name = name;
    v.voice_id = name;
    v.sex = sex;
    v.language = "English";
    v.language_id = "en-gb";
    v.country = "Great Britain";
    v.country_id = "GB";
    v.uuid = StableUuid("tone:" + name);
    v.sample_rate = ToneEngine::kSampleRate;
    v.language_iso = "en";
    v.language_microsoft = "2057";
    v.country_iso = "GB";
    v.language_tag = "en-gb";
    v.languages = {{"en-gb", 5}};
    return v;
}

}  // namespace

ToneEngine::ToneEngine() {
    voices_.push_back(ToneVoice("tone", "female"));
    voices_.push_back(ToneVoice("tone-low", "male"));
}

int ToneEngine::Frequency(const std::string& voice, size_t letters) {
    const int capped = static_cast<int>(std::min<size_t>(letters, 20));
    if (voice == "tone-low") {
        return 100 + 25 * capped;
    }
    return 200 + 50 * capped;
}

size_t ToneEngine::UnitEnd(const std::vector<Word>& words, size_t begin) const {
    size_t end = begin;
    int64_t pause_samples = 0;
    while (end < words.size() && end - begin < kWordsPerUnit &&
           pause_samples < static_cast<int64_t>(kMaxUnitBreakSamples)) {
        for (const Element& pause : words[end].breaks) {
            pause_samples += static_cast<int64_t>(BreakMilliseconds(pause)) * kSampleRate / 1000;
        }
        ++end;
    }
    return end;
}

bool ToneEngine::Speak(const std::string& voice, const std::vector<Word>& words, UnitSink* sink,
                       std::string* /*error*/) {
    const double pi = std::acos(-1.0);
    for (size_t begin = 0; begin < words.size();) {
        const size_t end = UnitEnd(words, begin);
        SynthesisUnit unit;
        unit.sample_rate = kSampleRate;
        for (; begin < end; ++begin) {
            const Word& word = words[begin];
            const int64_t start = static_cast<int64_t>(unit.samples.size());
            if (word.HasMark()) {
                unit.marks.push_back(TimedMark{word.mark, start});
            }
            const std::vector<std::string> letters = SpokenLetters(word.text);
            if (!letters.empty()) {
                const size_t count = letters.size();
                const double f = Frequency(voice, count);
                for (int n = 0; n < kToneSamples; ++n) {
                    unit.samples.push_back(static_cast<int16_t>(
                        std::lround(kAmplitude * std::sin(2 * pi * f * n / kSampleRate))));
                }
                unit.samples.insert(unit.samples.end(), kGapSamples, 0);
                for (size_t k = 0; k < count; ++k) {
                    const int64_t from = static_cast<int64_t>(k * kToneSamples / count);
                    const int64_t to = static_cast<int64_t>((k + 1) * kToneSamples / count);
                    unit.phonemes.push_back(TimedPhoneme{letters[k], start + from, to - from});
                }
            }
            for (const Element& pause : word.breaks) {
                unit.samples.insert(
                    unit.samples.end(),
                    static_cast<size_t>(BreakMilliseconds(pause)) * kSampleRate / 1000, 0);
            }
        }
        if (!sink->OnUnit(unit)) {
            return true;
        }
    }
    return true;
}

}  // namespace server
}  // namespace vrelay
