// SPDX-License-Identifier: GPL-3.0-or-later
#include "server/espeak_engine.h"

#include <espeak-ng/speak_lib.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>

#include "server/protocol.h"
#include "wire/xml_escape.h"

namespace vrelay {
namespace server {

namespace {

// Everything espeak-ng touches lives here, guarded by Mutex().
struct EspeakState {
    bool started = false;
    int sample_rate = 0;
    std::string current_voice;
    std::map<std::string, PitchCurve> curves;  // by espeak-ng's voice name
    // What the synth callback collects for the running synthesis.
    std::vector<int16_t>* samples = nullptr;
    std::vector<std::pair<int, int64_t>>* marks = nullptr;  // word index, sample
    std::vector<TimedPhoneme>* phonemes = nullptr;
    // Told after each buffer; false from it stops the synthesis.
    std::function<bool()> after_buffer;
};

std::mutex& Mutex() {
    static std::mutex mutex;
    return mutex;
}

EspeakState& State() {
    static EspeakState state;
    return state;
}

int SynthCallback(short* wav, int count, espeak_EVENT* events) {
    EspeakState& s = State();
    if (s.samples == nullptr) {
        return 0;
    }
    if (wav != nullptr && count > 0) {
        s.samples->insert(s.samples->end(), wav, wav + count);
    }
    for (espeak_EVENT* e = events; e != nullptr && e->type != espeakEVENT_LIST_TERMINATED; ++e) {
        if (e->type == espeakEVENT_MARK && e->id.name != nullptr && e->id.name[0] == 'w') {
            s.marks->emplace_back(std::atoi(e->id.name + 1), e->sample);
        } else if (e->type == espeakEVENT_PHONEME) {
            const size_t n = strnlen(e->id.string, sizeof e->id.string);
            s.phonemes->push_back(TimedPhoneme{std::string(e->id.string, n), e->sample, 0});
        }
    }
    return s.after_buffer && !s.after_buffer() ? 1 : 0;
}

const char* MicrosoftLanguageId(const std::string& tag) {
    static const std::map<std::string, const char*> kIds = {
        {"en", "1033"},    {"en-us", "1033"}, {"en-gb", "2057"},   {"en-029", "9225"},
        {"de", "1031"},    {"fr", "1036"},    {"fr-fr", "1036"},   {"fr-be", "2060"},
        {"fr-ch", "4108"}, {"es", "3082"},    {"es-419", "58378"}, {"it", "1040"},
        {"nl", "1043"},    {"pt", "2070"},    {"pt-br", "1046"},   {"ru", "1049"},
        {"pl", "1045"},    {"sv", "1053"},    {"da", "1030"},      {"fi", "1035"},
        {"nb", "1044"},    {"cs", "1029"},    {"el", "1032"},      {"hu", "1038"},
        {"tr", "1055"},    {"ja", "1041"},    {"ko", "1042"},      {"cmn", "2052"},
        {"yue", "3076"},   {"ar", "1025"},    {"he", "1037"},      {"hi", "1081"},
    };
    // The tag, then shorter and shorter prefixes: en-gb-scotland, en-gb, en.
    std::string prefix = tag;
    std::transform(prefix.begin(), prefix.end(), prefix.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    while (!prefix.empty()) {
        const auto it = kIds.find(prefix);
        if (it != kIds.end()) {
            return it->second;
        }
        const size_t dash = prefix.rfind('-');
        prefix.resize(dash == std::string::npos ? 0 : dash);
    }
    return "";
}

bool AllOf(const std::string& text, int (*is)(int)) {
    return std::all_of(text.begin(), text.end(),
                       [is](char c) { return is(static_cast<unsigned char>(c)) != 0; });
}

VoiceInfo FromEspeak(const espeak_VOICE& voice, int sample_rate) {
    VoiceInfo v;
    v.name = voice.name != nullptr ? voice.name : "";
    v.voice_id = voice.identifier != nullptr ? voice.identifier : v.name;
    v.sex = voice.gender == 2 ? "female" : "male";
    // languages: a priority byte, then a NUL-terminated tag; the first is the voice's own.
    for (const char* at = voice.languages; at != nullptr && at[0] != 0;) {
        const std::string tag = at + 1;
        v.languages.emplace_back(tag, static_cast<unsigned char>(at[0]));
        at += 1 + tag.size() + 1;
    }
    if (!v.languages.empty()) {
        v.language_tag = v.languages.front().first;
    }
    const size_t open = v.name.find(" (");
    v.language = v.name.substr(0, open);
    if (open != std::string::npos && v.name.back() == ')') {
        v.country = v.name.substr(open + 2, v.name.size() - open - 3);
    }
    // The tag whole (en-gb-scotland), its language (en), and its second part
    // when that is a country (gb: GB) or a numbered region (029).
    v.language_id = v.language_tag;
    const size_t dash = v.language_tag.find('-');
    v.language_iso = v.language_tag.substr(0, dash);
    if (dash != std::string::npos) {
        const size_t next = v.language_tag.find('-', dash + 1);
        const std::string second = v.language_tag.substr(dash + 1, next - dash - 1);
        if (second.size() == 2 && AllOf(second, std::isalpha)) {
            for (char c : second) {
                v.country_iso += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            }
            v.country_id = v.country_iso;
        } else if (second.size() == 3 && AllOf(second, std::isdigit)) {
            v.region = second;
        }
    }
    v.language_microsoft = MicrosoftLanguageId(v.language_tag);
    v.uuid = StableUuid("espeak:" + v.voice_id);
    v.sample_rate = sample_rate;
    return v;
}

bool SameElement(const Element& a, const Element& b) {
    if (a.name != b.name || a.attributes.size() != b.attributes.size()) {
        return false;
    }
    for (size_t i = 0; i < a.attributes.size(); ++i) {
        if (a.attributes[i].name != b.attributes[i].name ||
            a.attributes[i].value != b.attributes[i].value) {
            return false;
        }
    }
    return true;
}

std::string StartTag(const Element& element, bool empty) {
    std::string tag = "<" + element.name;
    for (const Attribute& a : element.attributes) {
        bool plain = !a.name.empty();
        for (char c : a.name) {
            plain = plain && (std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' ||
                              c == ':');
        }
        if (plain) {
            tag +=
                " " + a.name + "=\"" + wire::EscapeXml(a.value, wire::XmlContext::kAnywhere) + "\"";
        }
    }
    return tag + (empty ? "/>" : ">");
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

}  // namespace

std::unique_ptr<Engine> EspeakEngine::Create(std::string* error) {
    std::unique_ptr<EspeakEngine> engine(new EspeakEngine());
    std::lock_guard<std::mutex> lock(Mutex());
    EspeakState& s = State();
    if (!s.started) {
        const int rate =
            espeak_Initialize(AUDIO_OUTPUT_SYNCHRONOUS, 0, nullptr,
                              espeakINITIALIZE_PHONEME_EVENTS | espeakINITIALIZE_DONT_EXIT);
        if (rate <= 0) {
            *error = "espeak-ng could not start (is espeak-ng-data installed?)";
            return nullptr;
        }
        espeak_SetSynthCallback(SynthCallback);
        // espeak-ng reads its list of every voice (a few hundred files, some
        // milliseconds) at the first SSML text it speaks. Read here, before
        // the workers are forked, it is read once rather than by every worker
        // at its first unit, where it delays the first audio.
        espeak_ListVoices(nullptr);
        s.sample_rate = rate;
        s.started = true;
    }
    // The default voice is loaded by name, not chosen from the list.
    if (espeak_SetVoiceByName("gmw/en") != EE_OK && espeak_SetVoiceByName("en") != EE_OK) {
        *error = "espeak-ng has no English voice";
        return nullptr;
    }
    const espeak_VOICE* current = espeak_GetCurrentVoice();
    engine->default_voice_ = current != nullptr && current->name != nullptr ? current->name : "en";
    engine->default_id_ =
        current != nullptr && current->identifier != nullptr ? current->identifier : "en";
    s.current_voice = engine->default_id_;
    return engine;
}

std::string EspeakEngine::BreakAfterSentences(const std::string& text) {
    static const char* const kClosers[] = {"\"",           "'",       ")", "]", "\xE2\x80\x9D",
                                           "\xE2\x80\x99", "\xC2\xBB"};
    std::string out;
    out.reserve(text.size());
    size_t i = 0;
    while (i < text.size()) {
        const char c = text[i];
        out.push_back(c);
        ++i;
        if (std::strchr(".?!:;", c) == nullptr || c == 0) {
            continue;
        }
        bool more = true;
        while (more) {
            more = false;
            for (const char* closer : kClosers) {
                const size_t n = std::strlen(closer);
                if (text.compare(i, n, closer) == 0) {
                    out.append(closer);
                    i += n;
                    more = true;
                    break;
                }
            }
        }
        size_t blank_end = i;
        while (blank_end < text.size() && IsBlank(text[blank_end])) {
            ++blank_end;
        }
        if (blank_end > i) {
            out.push_back('\n');
            i = blank_end;
        }
    }
    return out;
}

namespace {

// A word's kept elements as espeak gets them: the prosody elements replaced
// by one innermost prosody element of what they compose to (none when that is
// the unit's rate, base_wpm, and the voice's own pitch).
std::vector<Element> EspeakContext(const Context& context, const PitchCurve& curve,
                                   double base_wpm) {
    std::vector<Element> elements;
    for (const Element& element : context.Elements()) {
        if (element.name != "prosody") {
            elements.push_back(element);
        }
    }
    // Without prosody elements too: the unit's rate may be another's.
    const Prosody p = ProsodyOf(context, curve.VoiceHz());
    Element element;
    element.name = "prosody";
    const long percent = std::lround(100 * p.wpm / base_wpm);
    if (percent != 100) {
        element.attributes.push_back({"rate", std::to_string(percent) + "%"});
    }
    if (p.hz != p.voice_hz) {
        const int parameter = curve.Parameter(p.hz);
        element.attributes.push_back({"pitch", std::to_string(parameter)});
    }
    if (!element.attributes.empty()) {
        elements.push_back(std::move(element));
    }
    return elements;
}

bool AsksForPitch(const std::vector<Word>& words, size_t begin, size_t end) {
    for (size_t i = begin; i < end; ++i) {
        for (const Element& element : words[i].context.Elements()) {
            if (element.name == "prosody" && !element.Get("pitch").empty()) {
                return true;
            }
        }
    }
    return false;
}

}  // namespace

std::string EspeakEngine::UnitSsml(const std::vector<Word>& words, size_t begin, size_t end,
                                   const PitchCurve& curve, double base_wpm) {
    std::string ssml = "<speak>";
    std::vector<Element> open;
    // Words share their context until it changes: convert each once.
    const std::vector<Element>* converted_from = nullptr;
    std::vector<Element> context;
    for (size_t i = begin; i < end; ++i) {
        const Word& word = words[i];
        if (&word.context.Elements() != converted_from) {
            converted_from = &word.context.Elements();
            context = EspeakContext(word.context, curve, base_wpm);
        }
        size_t common = 0;
        while (common < open.size() && common < context.size() &&
               SameElement(open[common], context[common])) {
            ++common;
        }
        while (open.size() > common) {
            ssml += "</" + open.back().name + ">";
            open.pop_back();
        }
        for (size_t k = common; k < context.size(); ++k) {
            ssml += StartTag(context[k], false);
            open.push_back(context[k]);
        }
        if (word.HasMark()) {
            ssml += "<mark name=\"w" + std::to_string(i - begin) + "\"/>";
        }
        ssml += wire::EscapeXml(BreakAfterSentences(word.text), wire::XmlContext::kText);
        for (const Element& pause : word.breaks) {
            ssml += StartTag(pause, true);
        }
    }
    while (!open.empty()) {
        ssml += "</" + open.back().name + ">";
        open.pop_back();
    }
    return ssml + "</speak>";
}

int PlaceMissingMarks(const std::vector<Word>& words, size_t begin, size_t end,
                      int64_t total_samples, std::vector<int64_t>* known) {
    const size_t n = end - begin;
    std::vector<int64_t>& at = *known;
    // Letters before each word: the weights of interpolation.
    std::vector<int64_t> weight(n + 1, 0);
    for (size_t i = 0; i < n; ++i) {
        weight[i + 1] =
            weight[i] + static_cast<int64_t>(SpokenLetters(words[begin + i].text).size());
    }
    int64_t last = 0;
    for (size_t i = 0; i < n; ++i) {
        if (at[i] >= 0 && (at[i] < last || at[i] > total_samples)) {
            at[i] = -1;
        }
        if (at[i] >= 0) {
            last = at[i];
        }
    }
    // A multi-word dictionary entry ("has been") is one word to espeak: the
    // marks inside it arrive at its end, on the same sample as the next
    // word's. A voiced word cannot take no time, so such a mark is misplaced.
    int64_t next_known = -1;
    for (size_t i = n; i > 0; --i) {
        int64_t& here = at[i - 1];
        if (here < 0) {
            continue;
        }
        if (here == next_known && weight[i] > weight[i - 1]) {
            here = -1;
        } else {
            next_known = here;
        }
    }
    int placed = 0;
    for (size_t i = 0; i < n; ++i) {
        if (at[i] >= 0 || !words[begin + i].HasMark()) {
            continue;
        }
        int64_t from_sample = 0;
        int64_t from_weight = 0;
        for (size_t p = i; p > 0; --p) {
            if (at[p - 1] >= 0) {
                from_sample = at[p - 1];
                from_weight = weight[p - 1];
                break;
            }
        }
        int64_t to_sample = total_samples;
        int64_t to_weight = weight[n];
        for (size_t q = i + 1; q < n; ++q) {
            if (at[q] >= 0) {
                to_sample = at[q];
                to_weight = weight[q];
                break;
            }
        }
        const int64_t span = to_weight - from_weight;
        at[i] = span > 0
                    ? from_sample + (to_sample - from_sample) * (weight[i] - from_weight) / span
                    : from_sample;
        ++placed;
    }
    return placed;
}

namespace {

// The words espeak speaks in text: its runs of non-blank characters.
size_t BlankSeparatedWords(const std::string& text) {
    size_t count = 0;
    bool in_word = false;
    for (const char c : text) {
        const bool blank = std::isspace(static_cast<unsigned char>(c)) != 0;
        count += !blank && !in_word ? 1 : 0;
        in_word = !blank;
    }
    return count;
}

}  // namespace

size_t EspeakEngine::UnitEnd(const std::vector<Word>& words, size_t begin) const {
    // A unit is one uninterruptible call into espeak: bounded in words, text
    // and pause time so that its time and audio stay small. Words are counted
    // in the text, not by marks: text without marks comes as one long record
    // cut into pieces (see BoundWords). A unit ends at a sentence or
    // paragraph end once it has a few words: units of similar size keep the
    // workers evenly busy, and a cut there changes no melody.
    constexpr size_t kMinUnitWords = 24;
    constexpr size_t kMaxUnitWords = 160;
    constexpr size_t kMaxUnitBytes = 1000;
    constexpr int64_t kMaxUnitBreakMs = 20 * 1000;
    size_t end = begin;
    size_t count = 0;
    size_t bytes = 0;
    int64_t break_ms = 0;
    // A unit has one gain: it ends before a word spoken at another volume
    // than its first voiced one.
    const std::vector<Element>* gain_from = nullptr;
    Prosody gain;
    while (end < words.size()) {
        const Word& word = words[end];
        if (!word.Silent() && &word.context.Elements() != gain_from) {
            const Prosody prosody = ProsodyOf(word.context);
            if (gain_from != nullptr && !prosody.SameGain(gain)) {
                break;
            }
            gain_from = &word.context.Elements();
            gain = prosody;
        }
        // A record that would take the unit over a bound starts the next one
        // (a record alone may have up to kMaxWordBytes). A record without
        // text (a mark, breaks) counts as a word: marks cost time too.
        const size_t spoken = std::max<size_t>(1, BlankSeparatedWords(word.text));
        if (end > begin &&
            (count + spoken > kMaxUnitWords || bytes + word.text.size() > kMaxUnitBytes)) {
            break;
        }
        count += spoken;
        bytes += word.text.size();
        for (const Element& pause : word.breaks) {
            break_ms += BreakMilliseconds(pause);
        }
        ++end;
        if ((count >= kMinUnitWords && (word.EndsSentence() || word.EndsParagraph())) ||
            count >= kMaxUnitWords || bytes >= kMaxUnitBytes || break_ms >= kMaxUnitBreakMs) {
            break;
        }
    }
    return end;
}

namespace {

// A gain on the samples that never takes one past kCeiling, a little under
// full scale, so that loud speech is not clipped: where a sample would pass
// it, the gain drops at once to what keeps that sample at the ceiling, then
// climbs back towards the asked gain by 150 dB a second (at espeak-ng's
// 22050 Hz). At +6 dB that costs 0.7 dB of loudness, about what espeak-ng's
// own amplitude 200 costs; a slower return would cost more (20 dB a second:
// 1.3 dB). At unity gain the samples stay as espeak-ng made them.
class Limiter {
  public:
    static constexpr double kCeiling = 32000;

    explicit Limiter(double gain) : gain_(gain), current_(gain) {}

    void Apply(std::vector<int16_t>* samples) {
        static const double kRelease = std::pow(10.0, 150.0 / 20 / 22050);
        if (gain_ == 1) {
            return;
        }
        for (int16_t& sample : *samples) {
            const double magnitude = std::abs(static_cast<double>(sample));
            if (magnitude * current_ > kCeiling) {
                current_ = kCeiling / magnitude;
            }
            sample = static_cast<int16_t>(std::lround(sample * current_));
            current_ = std::min(gain_, current_ * kRelease);
        }
    }

  private:
    const double gain_;
    double current_;  // the gain of the next sample
};

// One unit's synthesis on its way to the sink. Marks and phonemes are final
// only once later ones are known (a mark may be dropped and re-placed, a
// phoneme lasts until the next starts), so a sink that takes pieces gets the
// audio up to the point before which everything is final, as soon as espeak
// has produced it: the first piece at once, then pieces of at least a full
// audio packet. Offsets, order and names are those of the whole unit. This
// relies on espeak reporting marks in text order and phonemes in time order;
// when a phoneme arrives out of order the rest of the unit goes whole.
class UnitStreamer {
  public:
    static constexpr size_t kReservedSamples = 1 << 20;

    UnitStreamer(const std::vector<Word>& words, size_t begin, size_t end, double gain,
                 UnitSink* sink)
        : words_(words),
          begin_(begin),
          end_(end),
          limiter_(gain),
          sink_(sink),
          streaming_(sink->TakesPieces()) {
        // Room for most units' audio at once: growing by copies costs more.
        samples.reserve(kReservedSamples);
        for (size_t i = begin; i < end; ++i) {
            has_marks_ = has_marks_ || words[i].HasMark();
        }
    }

    std::vector<int16_t> samples;
    std::vector<std::pair<int, int64_t>> marks;  // word index in the unit, sample
    std::vector<TimedPhoneme> phonemes;          // as reported: raw starts, no durations
    int sample_rate = 0;

    // After each buffer of espeak's: sends what is final. False: the sink stopped.
    bool AfterBuffer() {
        stopped_ = stopped_ || sink_->Abandoned();
        if (!streaming_ || stopped_) {
            return !stopped_;
        }
        for (; ordered_ < phonemes.size(); ++ordered_) {
            if (ordered_ > 0 && phonemes[ordered_].start < phonemes[ordered_ - 1].start) {
                streaming_ = false;
                return true;
            }
        }
        const int64_t generated = static_cast<int64_t>(samples.size());
        // After the first piece, a piece is a full packet at least: until that
        // much is new, there is nothing to work out (espeak calls this every
        // few milliseconds of audio).
        if (sent_ > 0 && generated - sent_ < static_cast<int64_t>(kAudioPacketSamples)) {
            return true;
        }
        // The last reported mark that a later one with a greater sample
        // confirms: it and every mark before it are final, every later one
        // falls at or after it.
        std::vector<int64_t> at = Reported();
        int64_t last = 0;
        long previous = -1;
        long confirmed = -1;
        for (size_t i = 0; i < at.size(); ++i) {
            if (at[i] < 0 || at[i] < last) {
                continue;
            }
            if (at[i] > generated) {
                break;
            }
            if (previous >= 0 && at[i] > at[previous]) {
                confirmed = previous;
            }
            last = at[i];
            previous = static_cast<long>(i);
        }
        int64_t settled = generated;
        if (confirmed >= 0) {
            at.resize(static_cast<size_t>(confirmed) + 1);
            PlaceMissingMarks(words_, begin_, begin_ + at.size(), generated, &at);
            settled = at.back();
        } else if (has_marks_) {
            return true;
        }
        // A phoneme's length needs the next one's start.
        settled = std::min(settled, phonemes.empty() ? 0 : phonemes.back().start);
        if (settled <= sent_ ||
            (sent_ > 0 && settled - sent_ < static_cast<int64_t>(kAudioPacketSamples))) {
            return true;
        }
        size_t phoneme_end = sent_phonemes_;
        while (phoneme_end + 1 < phonemes.size() && phonemes[phoneme_end].start < settled &&
               phonemes[phoneme_end + 1].start <= generated) {
            ++phoneme_end;
        }
        return Send(settled, at, phoneme_end, generated, 0, false);
    }

    // After the synthesis: sends the rest with the whole unit's placement.
    // False: the sink stopped.
    bool Finish() {
        if (stopped_) {
            return false;
        }
        const int64_t total = static_cast<int64_t>(samples.size());
        std::vector<int64_t> at = Reported();
        const int placed = PlaceMissingMarks(words_, begin_, end_, total, &at);
        return Send(total, at, phonemes.size(), total, placed, true);
    }

    bool Stopped() const { return stopped_; }

  private:
    // Each word's first reported sample, -1 for none.
    std::vector<int64_t> Reported() const {
        std::vector<int64_t> at(end_ - begin_, -1);
        for (const auto& mark : marks) {
            const size_t index = static_cast<size_t>(mark.first);
            if (mark.first >= 0 && index < at.size() && at[index] < 0) {
                at[index] = mark.second;
            }
        }
        return at;
    }

    // Sends the audio up to sample upto, the marks of at (final placements,
    // one per word from the first) before it (all of them when last), and the
    // phonemes up to phoneme_end; a phoneme lasts until the next starts, the
    // last until total.
    bool Send(int64_t upto, const std::vector<int64_t>& at, size_t phoneme_end, int64_t total,
              int interpolated, bool last) {
        SynthesisUnit piece;
        piece.sample_rate = sample_rate;
        piece.interpolated_marks = interpolated;
        if (last && sent_ == 0 && upto == static_cast<int64_t>(samples.size())) {
            piece.samples = std::move(samples);  // a whole unit: its audio is not copied
            samples.clear();
        } else {
            piece.samples.assign(samples.begin() + sent_, samples.begin() + upto);
        }
        limiter_.Apply(&piece.samples);
        for (; sent_words_ < at.size() && (at[sent_words_] < upto || last); ++sent_words_) {
            const Word& word = words_[begin_ + sent_words_];
            if (word.HasMark()) {
                piece.marks.push_back(TimedMark{word.mark, at[sent_words_] - sent_});
            }
        }
        for (; sent_phonemes_ < phoneme_end; ++sent_phonemes_) {
            TimedPhoneme p = phonemes[sent_phonemes_];
            p.start = std::min<int64_t>(std::max<int64_t>(p.start, 0), total);
            const int64_t next =
                sent_phonemes_ + 1 < phonemes.size() ? phonemes[sent_phonemes_ + 1].start : total;
            p.duration = std::max<int64_t>(0, std::min(next, total) - p.start);
            p.start -= sent_;
            piece.phonemes.push_back(std::move(p));
        }
        if (sent_phonemes_ < phonemes.size()) {
            piece.next_phoneme = phonemes[sent_phonemes_].name;
        }
        sent_ = upto;
        stopped_ = !sink_->OnUnit(piece);
        return !stopped_;
    }

    const std::vector<Word>& words_;
    const size_t begin_;
    const size_t end_;
    Limiter limiter_;
    UnitSink* const sink_;
    bool streaming_;
    bool has_marks_ = false;
    bool stopped_ = false;
    size_t ordered_ = 0;  // phonemes checked to be in time order
    int64_t sent_ = 0;    // samples sent
    size_t sent_words_ = 0;
    size_t sent_phonemes_ = 0;
};

}  // namespace

const int PitchCurve::kParameters[PitchCurve::kPoints] = {0, 10, 25, 40, 50, 60, 75, 90, 99};

PitchCurve::PitchCurve(double voice_hz) {
    // Measured on espeak-ng 1.51's voices (British, American, Scottish,
    // French and German, variants m3, f1 and f3): the median fundamental at
    // each setting over the one at 50, averaged; each voice is within 5% of
    // it but f3 at the lowest settings (7% higher).
    static const double kShape[kPoints] = {kMinPitchScale, 0.70, 0.80, 0.905, 1.0,
                                           1.105,          1.29, 1.51, kMaxPitchScale};
    for (int i = 0; i < kPoints; ++i) {
        hz_[i] = voice_hz * kShape[i];
    }
}

int PitchCurve::Parameter(double hz) const {
    if (!(hz > hz_[0])) {
        return kParameters[0];
    }
    for (int i = 1; i < kPoints; ++i) {
        if (hz <= hz_[i]) {
            // The fundamental grows about exponentially with the parameter.
            const double at = std::log(hz / hz_[i - 1]) / std::log(hz_[i] / hz_[i - 1]);
            return static_cast<int>(
                std::lround(kParameters[i - 1] + at * (kParameters[i] - kParameters[i - 1])));
        }
    }
    return kParameters[kPoints - 1];
}

double MedianFundamental(const std::vector<int16_t>& samples, int sample_rate) {
    // Pairs averaged to half the rate: enough for voices, a quarter of the work.
    std::vector<double> x(samples.size() / 2);
    for (size_t i = 0; i < x.size(); ++i) {
        x[i] = (samples[2 * i] + samples[2 * i + 1]) / 2.0;
    }
    const int rate = sample_rate / 2;
    const size_t frame = static_cast<size_t>(rate * 30 / 1000);
    const size_t hop = static_cast<size_t>(rate * 20 / 1000);
    const size_t min_lag = static_cast<size_t>(rate / 500);
    const size_t max_lag = static_cast<size_t>(rate / 50);
    std::vector<double> found;
    size_t sounding = 0;
    for (size_t at = 0; min_lag > 0 && at + frame + max_lag < x.size(); at += hop) {
        double energy = 0;
        for (size_t k = 0; k < frame; ++k) {
            energy += x[at + k] * x[at + k];
        }
        if (energy / frame < 300.0 * 300.0) {
            continue;  // silence or near it
        }
        ++sounding;
        double best = 0;
        size_t best_lag = 0;
        for (size_t lag = min_lag; lag <= max_lag; ++lag) {
            double product = 0;
            double shifted = 0;
            for (size_t k = 0; k < frame; ++k) {
                product += x[at + k] * x[at + k + lag];
                shifted += x[at + k + lag] * x[at + k + lag];
            }
            const double correlation = product / std::sqrt(energy * shifted + 1);
            if (correlation > best) {
                best = correlation;
                best_lag = lag;
            }
        }
        if (best > 0.6) {
            found.push_back(static_cast<double>(rate) / best_lag);
        }
    }
    // Whispered speech has the odd frame of noise that correlates; spoken
    // speech has most of its sounding frames voiced.
    if (found.empty() || found.size() < sounding / 4) {
        return 0;
    }
    std::nth_element(found.begin(), found.begin() + found.size() / 2, found.end());
    return found[found.size() / 2];
}

const PitchCurve& EspeakEngine::CurveLocked(const std::string& id) {
    EspeakState& s = State();
    auto known = s.curves.find(id);
    if (known != s.curves.end()) {
        return known->second;
    }
    // The voice's own fundamental, at the parameter's default; the curve's
    // shape is the same for every voice to within a few percent.
    static const char kSample[] = "<speak>This is how my voice sounds, at this pitch.</speak>";
    espeak_SetParameter(espeakRATE, static_cast<int>(kDefaultWpm), 0);
    std::vector<int16_t> samples;
    std::vector<std::pair<int, int64_t>> marks;
    std::vector<TimedPhoneme> phonemes;
    s.samples = &samples;
    s.marks = &marks;
    s.phonemes = &phonemes;
    const espeak_ERROR rc = espeak_Synth(kSample, sizeof kSample, 0, POS_CHARACTER, 0,
                                         espeakCHARS_UTF8 | espeakSSML, nullptr, nullptr);
    s.samples = nullptr;
    s.marks = nullptr;
    s.phonemes = nullptr;
    const double hz = rc == EE_OK ? MedianFundamental(samples, s.sample_rate) : 0;
    // A voice that does not measure (whispered, say) counts as 100 Hz.
    return s.curves.emplace(id, PitchCurve(hz > 0 ? hz : 100)).first->second;
}

const std::vector<VoiceInfo>& EspeakEngine::Voices() const {
    std::call_once(listed_, [this] {
        std::lock_guard<std::mutex> lock(Mutex());
        const int rate = State().sample_rate;
        const espeak_VOICE** list = espeak_ListVoices(nullptr);
        for (size_t i = 0; list != nullptr && list[i] != nullptr; ++i) {
            voices_.push_back(FromEspeak(*list[i], rate));
        }
        espeak_VOICE wanted{};
        wanted.languages = "variant";
        const espeak_VOICE** variants = espeak_ListVoices(&wanted);
        for (size_t i = 0; variants != nullptr && variants[i] != nullptr; ++i) {
            const espeak_VOICE& from = *variants[i];
            const std::string id = from.identifier != nullptr ? from.identifier : "";
            VoiceInfo v;
            v.variant = true;
            v.name = "+" + id.substr(id.rfind('/') + 1);
            v.voice_id = id;
            v.sex = from.gender == 2 ? "female" : from.gender == 1 ? "male" : "";
            v.age = from.age;
            v.language = "variant";
            v.uuid = StableUuid("espeak:" + id);
            v.sample_rate = rate;
            voices_.push_back(std::move(v));
        }
    });
    return voices_;
}

bool EspeakEngine::Speak(const std::string& voice, const std::vector<Word>& words, UnitSink* sink,
                         std::string* error) {
    // espeak-ng's own name for the voice, with its variant: "gmw/en+f3".
    std::string id = default_id_;
    if (voice != default_voice_) {
        const VoiceInfo* info = nullptr;
        const VoiceInfo* variant = nullptr;
        if (!FindVoiceAndVariant(Voices(), voice, &info, &variant)) {
            *error = "unknown voice \"" + voice + "\"";
            return false;
        }
        id = variant == nullptr ? info->voice_id : info->voice_id + "+" + variant->name.substr(1);
    }
    size_t begin = 0;
    while (begin < words.size()) {
        const size_t end = UnitEnd(words, begin);
        size_t voiced = begin;
        while (voiced + 1 < end && words[voiced].Silent()) {
            ++voiced;
        }
        // The unit's rate is espeak's own setting, as with its -s option, so
        // that pauses shorten and lengthen with it; words at another rate
        // are marked up relative to it.
        const Prosody base = ProsodyOf(words[voiced].context);
        const int base_wpm = static_cast<int>(std::lround(base.wpm));
        UnitStreamer unit(words, begin, end, base.Gain(), sink);
        {
            std::lock_guard<std::mutex> lock(Mutex());
            EspeakState& s = State();
            if (s.current_voice != id) {
                if (espeak_SetVoiceByName(id.c_str()) != EE_OK) {
                    *error = "espeak-ng cannot load voice \"" + voice + "\"";
                    return false;
                }
                s.current_voice = id;
            }
            const std::string ssml =
                UnitSsml(words, begin, end,
                         AsksForPitch(words, begin, end) ? CurveLocked(id) : PitchCurve(),
                         base_wpm);
            espeak_SetParameter(espeakRATE, base_wpm, 0);
            unit.sample_rate = s.sample_rate;
            s.samples = &unit.samples;
            s.marks = &unit.marks;
            s.phonemes = &unit.phonemes;
            s.after_buffer = [&unit] { return unit.AfterBuffer(); };
            const espeak_ERROR rc = espeak_Synth(ssml.c_str(), ssml.size() + 1, 0, POS_CHARACTER, 0,
                                                 espeakCHARS_UTF8 | espeakSSML, nullptr, nullptr);
            s.samples = nullptr;
            s.marks = nullptr;
            s.phonemes = nullptr;
            s.after_buffer = nullptr;
            if (unit.Stopped()) {
                return true;  // the sink stopped it
            }
            if (rc != EE_OK) {
                *error = "espeak-ng synthesis failed (" + std::to_string(rc) + ")";
                return false;
            }
        }
        if (!unit.Finish()) {
            return true;
        }
        begin = end;
    }
    return true;
}

}  // namespace server
}  // namespace vrelay
