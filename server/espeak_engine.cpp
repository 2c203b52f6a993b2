#include "server/espeak_engine.h"

#include <espeak-ng/speak_lib.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>

#include "server/protocol.h"

namespace vrelay {
namespace server {

namespace {

// Everything espeak-ng touches lives here, guarded by Mutex().
struct EspeakState {
    bool started = false;
    int sample_rate = 0;
    std::string current_voice;
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
    auto it = kIds.find(tag);
    if (it == kIds.end()) {
        it = kIds.find(tag.substr(0, tag.find('-')));
    }
    return it == kIds.end() ? "" : it->second;
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
    const std::string primary = v.language_tag.substr(0, v.language_tag.find('-'));
    const size_t open = v.name.find(" (");
    v.language = v.name.substr(0, open);
    if (open != std::string::npos && v.name.back() == ')') {
        v.country = v.name.substr(open + 2, v.name.size() - open - 3);
    }
    v.language_id = primary;
    v.language_iso = primary;
    const size_t dash = v.language_tag.find('-');
    if (dash != std::string::npos) {
        const std::string region = v.language_tag.substr(dash + 1, 2);
        const bool two_letters = v.language_tag.size() - dash - 1 == 2 &&
                                 std::isalpha(static_cast<unsigned char>(region[0])) &&
                                 std::isalpha(static_cast<unsigned char>(region[1]));
        if (two_letters) {
            v.country_iso = region;
            for (char& c : v.country_iso) {
                c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            }
            v.country_id = v.country_iso;
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

// Only &, < and > need escaping in element text; espeak reads them back.
std::string EscapeText(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '&') {
            out += "&amp;";
        } else if (c == '<') {
            out += "&lt;";
        } else if (c == '>') {
            out += "&gt;";
        } else {
            out.push_back(c);
        }
    }
    return out;
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
            tag += " " + a.name + "=\"" + EscapeXml(a.value) + "\"";
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
        s.sample_rate = rate;
        s.started = true;
    }
    const espeak_VOICE** list = espeak_ListVoices(nullptr);
    for (size_t i = 0; list != nullptr && list[i] != nullptr; ++i) {
        engine->voices_.push_back(FromEspeak(*list[i], s.sample_rate));
    }
    if (engine->voices_.empty()) {
        *error = "espeak-ng has no voices";
        return nullptr;
    }
    engine->default_voice_ = engine->voices_.front().name;
    for (const VoiceInfo& v : engine->voices_) {
        if (v.voice_id == "gmw/en") {
            engine->default_voice_ = v.name;
        }
    }
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

std::string EspeakEngine::UnitSsml(const std::vector<Word>& words, size_t begin, size_t end) {
    std::string ssml = "<speak>";
    std::vector<Element> open;
    for (size_t i = begin; i < end; ++i) {
        const Word& word = words[i];
        size_t common = 0;
        while (common < open.size() && common < word.context.size() &&
               SameElement(open[common], word.context[common])) {
            ++common;
        }
        while (open.size() > common) {
            ssml += "</" + open.back().name + ">";
            open.pop_back();
        }
        for (size_t k = common; k < word.context.size(); ++k) {
            ssml += StartTag(word.context[k], false);
            open.push_back(word.context[k]);
        }
        if (word.HasMark()) {
            ssml += "<mark name=\"w" + std::to_string(i - begin) + "\"/>";
        }
        ssml += EscapeText(BreakAfterSentences(word.text));
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

size_t EspeakEngine::UnitEnd(const std::vector<Word>& words, size_t begin) const {
    // A unit is one uninterruptible call into espeak: bounded in words, text
    // and pause time so that its time and audio stay small.
    constexpr size_t kMinUnitWords = 24;
    constexpr size_t kMaxUnitWords = 160;
    constexpr size_t kMaxUnitBytes = 4000;
    constexpr int64_t kMaxUnitBreakMs = 20 * 1000;
    size_t end = begin;
    size_t bytes = 0;
    int64_t break_ms = 0;
    while (end < words.size()) {
        const Word& word = words[end];
        bytes += word.text.size();
        for (const Element& pause : word.breaks) {
            break_ms += BreakMilliseconds(pause);
        }
        const size_t count = ++end - begin;
        if ((count >= kMinUnitWords && word.EndsSentence()) || count >= kMaxUnitWords ||
            bytes >= kMaxUnitBytes || break_ms >= kMaxUnitBreakMs) {
            break;
        }
    }
    return end;
}

namespace {

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
    UnitStreamer(const std::vector<Word>& words, size_t begin, size_t end, UnitSink* sink)
        : words_(words), begin_(begin), end_(end), sink_(sink), streaming_(sink->TakesPieces()) {
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
        piece.samples.assign(samples.begin() + sent_, samples.begin() + upto);
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

bool EspeakEngine::Speak(const std::string& voice, const std::vector<Word>& words, UnitSink* sink,
                         std::string* error) {
    const VoiceInfo* info = FindVoice(voices_, voice);
    if (info == nullptr) {
        *error = "unknown voice \"" + voice + "\"";
        return false;
    }
    size_t begin = 0;
    while (begin < words.size()) {
        const size_t end = UnitEnd(words, begin);
        const std::string ssml = UnitSsml(words, begin, end);
        UnitStreamer unit(words, begin, end, sink);
        {
            std::lock_guard<std::mutex> lock(Mutex());
            EspeakState& s = State();
            if (s.current_voice != info->voice_id) {
                if (espeak_SetVoiceByName(info->voice_id.c_str()) != EE_OK) {
                    *error = "espeak-ng cannot load voice \"" + info->name + "\"";
                    return false;
                }
                s.current_voice = info->voice_id;
            }
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
