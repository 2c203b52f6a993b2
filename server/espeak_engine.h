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
#include <string>
#include <vector>

#include "server/engine.h"

namespace vrelay {
namespace server {

class EspeakEngine : public Engine {
  public:
    // Starts espeak-ng once per process. Null with *error when it cannot.
    static std::unique_ptr<Engine> Create(std::string* error);

    std::string Name() const override { return "espeak"; }
    const std::vector<VoiceInfo>& Voices() const override { return voices_; }
    std::string DefaultVoice() const override { return default_voice_; }
    bool Speak(const std::string& voice, const std::vector<Word>& words, UnitSink* sink,
               std::string* error) override;
    size_t UnitEnd(const std::vector<Word>& words, size_t begin) const override;

    // The SSML handed to espeak for one unit: our marks "w<index>" before the
    // words that have a mark, kept elements re-opened as the words' contexts
    // change, line breaks after sentence ends.
    static std::string UnitSsml(const std::vector<Word>& words, size_t begin, size_t end);
    // Blank space after . ? ! : ; (closing quotes and brackets may come
    // between) becomes a single line break.
    static std::string BreakAfterSentences(const std::string& text);

  private:
    EspeakEngine() = default;
    std::vector<VoiceInfo> voices_;
    std::string default_voice_;
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
