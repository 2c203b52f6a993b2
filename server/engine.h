// SPDX-License-Identifier: GPL-3.0-or-later
// Synthesis engines: the interface the sessions speak through, the voice
// records behind the voice list, and the factory.
#ifndef VRELAY_SERVER_ENGINE_H
#define VRELAY_SERVER_ENGINE_H

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "server/markup.h"

namespace vrelay {
namespace server {

// A voice as the list describes it; for espeak-ng's English (Scotland):
struct VoiceInfo {
    std::string name;      // "English (Scotland)"
    std::string voice_id;  // the engine's name for it: "gmw/en-GB-scotland"
    std::string sex;       // "male" or "female"
    std::string language;  // "English"
    std::string language_id;  // the language with its region: "en-gb-scotland"
    std::string country;      // "Scotland", from the name
    std::string country_id;   // "GB", as country_iso
    std::string region;       // a numbered region: "029" for en-029, or ""
    std::string accent;
    std::string accent_id;
    std::string uuid;
    int sample_rate = 0;
    std::string language_iso;        // "en"
    std::string language_microsoft;  // "2057", or "" when not known
    std::string country_iso;         // "GB", or ""
    std::string language_tag;        // the engine's own code: "en-gb-scotland"
    // Every language the voice speaks, with its priority (lower is better).
    std::vector<std::pair<std::string, int>> languages;
    // A variant: not a voice of its own but a change to any voice (another
    // pitch, sex, age or timbre). Its name is "+" and its id ("+f3"), its
    // language "variant".
    bool variant = false;
    int age = 0;  // years; 0 when not stated
};

struct TimedMark {
    std::string name;
    int64_t sample = 0;  // from the start of the unit
};

struct TimedPhoneme {
    std::string name;
    int64_t start = 0;  // from the start of the unit
    int64_t duration = 0;
};

// A stretch of speech with the marks and phonemes inside it, in order.
struct SynthesisUnit {
    int sample_rate = 0;
    std::vector<int16_t> samples;
    std::vector<TimedMark> marks;
    std::vector<TimedPhoneme> phonemes;
    // Marks the synthesiser did not report, placed by interpolation.
    int interpolated_marks = 0;
    // A piece of a longer stretch (see UnitSink::TakesPieces): the name of the
    // phoneme that follows its last one; "" at the end of the stretch.
    std::string next_phoneme;
};

class UnitSink {
  public:
    virtual ~UnitSink() = default;
    // False stops the synthesis (the client is gone, or a bound was hit).
    virtual bool OnUnit(const SynthesisUnit& unit) = 0;
    // True: the sink may get a unit in pieces, each handed over as soon as it
    // is final, so that its first audio leaves early. An engine that makes
    // pieces calls OnUnit from inside its synthesis: a sink that may block
    // (sending to a client) must not take them where one engine serves all.
    virtual bool TakesPieces() const { return false; }
    // True once nobody wants the rest (the client went away): an engine that
    // can stop a synthesis midway stops it. Asked often, so it is cheap.
    virtual bool Abandoned() const { return false; }
    // When the request must be over; an engine that can stop a synthesis
    // midway stops it then and fails.
    virtual std::chrono::steady_clock::time_point Deadline() const {
        return std::chrono::steady_clock::time_point::max();
    }
    // True for a short request that must not wait behind the others (a
    // health probe): an engine that queues requests serves it first.
    virtual bool Urgent() const { return false; }
};

// One engine serves every session: implementations are thread-safe.
class Engine {
  public:
    virtual ~Engine() = default;
    virtual std::string Name() const = 0;
    virtual const std::vector<VoiceInfo>& Voices() const = 0;
    virtual std::string DefaultVoice() const = 0;
    // Speaks words with the voice named (a name of Voices()) and hands the
    // result to sink in units; every mark of words comes back, in order. False
    // with *error when synthesis failed; true when the sink stopped it.
    virtual bool Speak(const std::string& voice, const std::vector<Word>& words, UnitSink* sink,
                       std::string* error) = 0;
    // Where the synthesis unit that starts at words[begin] ends (one past its
    // last word): the engine's own bound on one stretch of synthesis.
    virtual size_t UnitEnd(const std::vector<Word>& words, size_t begin) const = 0;
};

// "tone" or "espeak"; null with *error for an unknown name or when the
// engine cannot start.
std::unique_ptr<Engine> MakeEngine(const std::string& name, std::string* error);

// The voice a selection names, as espeak-ng chooses it: exact name first,
// then, ignoring case, the name, the voice id ("gmw/en-us"), the voice id's
// last part ("en-us"; "en" is gmw/en, British English), and then a language
// tag ("zh", "en-au", "es_MX"): the voice whose languages suit it best
// (espeak-ng's score: the parts the tags share, the language's priority),
// ties to the first name in byte order; last a language name ignoring case
// ("french"), as the code of the first voice listed with that language
// ("fr": French (France)). Never a variant. Null when none matches.
const VoiceInfo* FindVoice(const std::vector<VoiceInfo>& voices, const std::string& name);

// The voice a request for a voice comes to: "" when nothing matches, else a
// voice's name, with "+" and a variant's id when one applies
// ("English (Great Britain)+f3"). A request is a voice as FindVoice finds it
// ("" for the voice of current), then any of these after a "+": a variant by
// its id ("f3"), a sex ("female", "male") or an age in years ("70"). Sex and
// age choose among the voice and the variants: of that sex, the nearest in age
// (no age stated counts as 30), the voice itself first, then the numbered
// variants (f1, m3), then the others, in list order.
std::string ChooseVoiceName(const std::vector<VoiceInfo>& voices, const std::string& request,
                            const std::string& current);
// The voice and variant (null for none) of a name ChooseVoiceName gave, or of
// any voice's name. False when there is none.
bool FindVoiceAndVariant(const std::vector<VoiceInfo>& voices, const std::string& name,
                         const VoiceInfo** voice, const VoiceInfo** variant);

// The voice-list document, one <voice/> element per line (server/protocol.h
// has its attributes).
std::string VoiceListXml(const std::vector<VoiceInfo>& voices);

// The silence a <break/> element asks for, in milliseconds: time="Nms" or
// time="Ns" (at most kMaxBreakMs), otherwise 200.
constexpr int kMaxBreakMs = 10 * 1000;
int BreakMilliseconds(const Element& element);

// A stable UUID-shaped text derived from key (FNV-1a based, not random).
std::string StableUuid(const std::string& key);

// Number of letters that the tone engine voices and the character weight
// used to interpolate marks: code points that are neither blank nor ASCII
// punctuation.
std::vector<std::string> SpokenLetters(const std::string& text);

}  // namespace server
}  // namespace vrelay

#endif
