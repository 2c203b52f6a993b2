// SPDX-License-Identifier: GPL-3.0-or-later
// A deterministic engine for tests and demonstrations: every voiced word is a
// tone whose pitch follows its letter count. Exact numbers:
//
//   sample rate 16000 Hz.
//   A word with L letters (code points that are neither blank nor ASCII
//   punctuation; L >= 1): 1600 samples (100 ms) of
//     round(8000 * sin(2 * pi * f * n / 16000)), n = 0..1599,
//     f = base + step * min(L, 20)  (voice "tone": 200 + 50 L Hz,
//                                    voice "tone-low": 100 + 25 L Hz),
//   then 320 samples (20 ms) of silence.
//   A word with no letters: no audio.
//   Its mark: at the word's first sample.
//   Its phonemes: one per letter, named by the letter (ASCII lower-cased);
//     letter k starts at word start + k * 1600 / L and lasts until the next
//     letter's start (the last one until 1600), integer division.
//   <break/>: the silence of BreakMilliseconds (200 ms when not stated).
//   Units hold at most 64 words, and end early after the word whose breaks
//   bring the unit's to 10 s (UnitEnd).
#ifndef VRELAY_SERVER_TONE_ENGINE_H
#define VRELAY_SERVER_TONE_ENGINE_H

#include "server/engine.h"

namespace vrelay {
namespace server {

class ToneEngine : public Engine {
  public:
    static constexpr int kSampleRate = 16000;
    static constexpr int kToneSamples = 1600;
    static constexpr int kGapSamples = 320;
    static constexpr int kAmplitude = 8000;
    static constexpr size_t kWordsPerUnit = 64;
    static constexpr size_t kMaxUnitBreakSamples = 10 * kSampleRate;

    ToneEngine();
    std::string Name() const override { return "tone"; }
    const std::vector<VoiceInfo>& Voices() const override { return voices_; }
    std::string DefaultVoice() const override { return "tone"; }
    bool Speak(const std::string& voice, const std::vector<Word>& words, UnitSink* sink,
               std::string* error) override;
    // kWordsPerUnit words, fewer when their breaks reach kMaxUnitBreakSamples.
    size_t UnitEnd(const std::vector<Word>& words, size_t begin) const override;

    // The tone's frequency in Hz for a word of the given letter count.
    static int Frequency(const std::string& voice, size_t letters);

  private:
    std::vector<VoiceInfo> voices_;
};

}  // namespace server
}  // namespace vrelay

#endif
