// SPDX-License-Identifier: GPL-3.0-or-later
// Speech by libespeak-ng in synchronous mode.
//
// espeak-ng keeps global state and is not thread-safe: every call into it runs
// under one process-wide mutex, held for one synthesis unit at a time (a run
// of whole sentences, 24 to 160 words), so sessions take turns unit by unit
// and no session sends on its socket while holding the lock.
//
// Word timing comes from mark events: each word of a unit gets a mark of our
// own ("w" + index) in the SSML handed to espeak. espeak drops a mark that
// directly follows a sentence end and a blank (". Next"), so blank space after
// sentence and clause punctuation (. ? ! : ;) is rewritten to a line break,
// which keeps those marks. Marks espeak still does not report (a word of pure
// punctuation, a <say-as> that swallows words) or reports late (inside a
// multi-word dictionary entry such as "has been") are interpolated; see
// PlaceMissingMarks.
#ifndef VRELAY_SERVER_ESPEAK_ENGINE_H
#define VRELAY_SERVER_ESPEAK_ENGINE_H

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "server/engine.h"
#include "server/prosody.h"

namespace vrelay {
namespace server {

// The fundamental espeak-ng gives a voice at a few settings of its pitch
// parameter (0 to 99): what turns an asked pitch into the parameter. Voices
// differ in their own fundamental (at the default, 50), not in the shape,
// whose ends are kMinPitchScale and kMaxPitchScale.
class PitchCurve {
  public:
    static constexpr int kPoints = 9;
    static const int kParameters[kPoints];  // 0, 10, 25, 40, 50, 60, 75, 90, 99

    // The curve of a voice whose own fundamental is voice_hz.
    explicit PitchCurve(double voice_hz = kTypicalVoiceHz);
    double VoiceHz() const { return hz_[4]; }
    // The parameter whose fundamental comes nearest hz.
    int Parameter(double hz) const;

  private:
    double hz_[kPoints];
};

// The median fundamental of the voiced stretches of samples, by
// autocorrelation; 0 when nothing is voiced or less than a quarter of what
// sounds (whispered speech).
double MedianFundamental(const std::vector<int16_t>& samples, int sample_rate);

class EspeakEngine : public Engine {
  public:
    // Starts espeak-ng once per process. Null with *error when it cannot.
    static std::unique_ptr<Engine> Create(std::string* error);

    std::string Name() const override { return "espeak"; }
    // Listed on the first call (a few hundred files read): the voices, then
    // the variants.
    const std::vector<VoiceInfo>& Voices() const override;
    std::string DefaultVoice() const override { return default_voice_; }
    bool Speak(const std::string& voice, const std::vector<Word>& words, UnitSink* sink,
               std::string* error) override;
    size_t UnitEnd(const std::vector<Word>& words, size_t begin) const override;

    // The SSML handed to espeak for one unit: our marks "w<index>" before the
    // words that have a mark, kept elements re-opened as the words' contexts
    // change, line breaks after sentence ends. Each word's prosody elements
    // become one innermost <prosody> of the rate and pitch they compose to,
    // in espeak's own terms (the rate in % of the unit's, base_wpm, which
    // espeak is set to for the unit; the pitch as its parameter through
    // curve); the volume is left to the samples' gain.
    static std::string UnitSsml(const std::vector<Word>& words, size_t begin, size_t end,
                                const PitchCurve& curve = PitchCurve(),
                                double base_wpm = kDefaultWpm);
    // Blank space after . ? ! : ; (closing quotes and brackets may come
    // between) becomes a single line break.
    static std::string BreakAfterSentences(const std::string& text);

  private:
    EspeakEngine() = default;
    // The curve of a voice (espeak-ng's name, "gmw/en+f3"), its fundamental
    // measured on first use; the caller holds the lock and the voice is
    // loaded.
    const PitchCurve& CurveLocked(const std::string& id);
    mutable std::once_flag listed_;
    mutable std::vector<VoiceInfo> voices_;  // written once, under listed_
    std::string default_voice_;              // its name
    std::string default_id_;                 // espeak-ng's name for it, "gmw/en"
};

// Completes the mark offsets of a unit. known[i] is the sample espeak reported
// for word i's mark, or -1. An offset that goes back before an earlier one
// counts as unknown, and so does one that a voiced word shares with the next
// known mark (espeak reports marks inside a multi-word entry at its end). Each unknown offset is
// placed between the nearest known neighbours (or the unit's start and end) in proportion to the
// spoken letters of the words in between. Returns the number placed.
int PlaceMissingMarks(const std::vector<Word>& words, size_t begin, size_t end,
                      int64_t total_samples, std::vector<int64_t>* known);

}  // namespace server
}  // namespace vrelay

#endif
