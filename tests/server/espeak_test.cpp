// SPDX-License-Identifier: MIT
// The espeak-ng engine: real synthesis, so only loose bounds on the audio;
// exact checks on what the server promises about marks.
#include <espeak-ng/speak_lib.h>
#include <gtest/gtest.h>
#include <vrelay/vrelay.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "server/engine.h"
#include "server/espeak_engine.h"
#include "server/markup.h"
#include "server/protocol.h"
#include "server/session.h"
#include "server/speech_server.h"
#include "tests/server/raw_client.h"
#include "tests/support/captured_log.h"

namespace vrelay {
namespace server {
namespace {

using test::Answer;
using test::RawClient;

// Thirty-odd sentences with the punctuation and words that make espeak lose
// or merge word timings: sentence ends followed by a blank, abbreviations,
// numbers, colons, quotes, ellipses, and multi-word dictionary entries.
const char kManySentences[] =
    "Dr. Smith has been here since 9 a.m. today. Is it true? Yes! Note: the price is $3.50, "
    "or 3.5 dollars. He said: \"go\". Mr. Jones, Mrs. Brown and Prof. Green have been friends "
    "for 25 years. It's 10:30 p.m. now. The U.S.A. is large. What about e.g. this? I.e. that "
    "one. Wait... then go! Call 555-1234 now. The year 1999 was odd. She has been to Paris, "
    "France. St. Louis is a city. Look at fig. 3. They've been waiting; we haven't. Is 2+2=4? "
    "Sure! Done. Really? Yes. OK. The end is near: really near. Apples, oranges, etc. are "
    "fruit. No. 5 won. (It was close.) Jan. 1st is New Year. \"Stop!\" she cried. Then it has "
    "been raining all day.";

// One mark per blank-separated word, as the client's tokeniser marks text.
std::string Tokenised(const std::string& text, size_t* words) {
    std::string out = "<speak>";
    *words = 0;
    for (size_t i = 0, end; i < text.size(); i = end + 1, ++*words) {
        end = std::min(text.find(' ', i), text.size());
        out += "<mark name=\"w" + std::to_string(*words) + "\"/>" + text.substr(i, end + 1 - i);
    }
    return out + "</speak><mark name=\"kvox_final\"/>";
}

// Collects the audio, the phonemes and the marks of every unit, with the
// marks' offsets in the whole audio.
struct CollectingSink : UnitSink {
    bool OnUnit(const SynthesisUnit& unit) override {
        for (const TimedMark& m : unit.marks) {
            marks.push_back(m.name);
            offsets.push_back(samples + m.sample);
        }
        for (const TimedPhoneme& p : unit.phonemes) {
            phonemes.push_back(p.name);
        }
        audio.insert(audio.end(), unit.samples.begin(), unit.samples.end());
        samples += static_cast<int64_t>(unit.samples.size());
        interpolated += unit.interpolated_marks;
        sample_rate = unit.sample_rate;
        ++units;
        return true;
    }
    std::vector<std::string> marks, phonemes;
    std::vector<int64_t> offsets;
    std::vector<int16_t> audio;
    int64_t samples = 0;
    int interpolated = 0, sample_rate = 0, units = 0;
};

class Espeak : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        std::string error;
        engine_ = MakeEngine("espeak", &error).release();
        ASSERT_NE(engine_, nullptr) << error;
    }
    static void TearDownTestSuite() {
        delete engine_;
        engine_ = nullptr;
    }
    static Engine* engine_;
};

Engine* Espeak::engine_ = nullptr;

TEST_F(Espeak, EveryWordOfManySentencesIsTimedByItsOwnMark) {
    size_t count = 0;
    MarkupParser parser;
    std::vector<Word> words;
    parser.Parse(Tokenised(kManySentences, &count), &words);
    ASSERT_EQ(words.size(), count + 1);
    CollectingSink sink;
    std::string error;
    ASSERT_TRUE(engine_->Speak(engine_->DefaultVoice(), words, &sink, &error)) << error;
    // espeak reports all but the marks inside "has been" (four here) in place.
    EXPECT_LE(sink.interpolated, 6);
    EXPECT_GT(sink.units, 1);
    ASSERT_EQ(sink.marks.size(), count + 1);
    for (size_t i = 0; i < words.size(); ++i) {
        SCOPED_TRACE(words[i].text);
        EXPECT_EQ(sink.marks[i], words[i].mark);
        // Every word of the text has letters, so it starts after the one before.
        EXPECT_GT(sink.offsets[i], i > 0 ? sink.offsets[i - 1] : -1);
        EXPECT_LE(sink.offsets[i], sink.samples);
    }
    // A word takes a few hundred milliseconds.
    const double seconds = static_cast<double>(sink.samples) / sink.sample_rate;
    EXPECT_GT(seconds, count * 0.15);
    EXPECT_LT(seconds, count * 0.8);
}

// One call into espeak is bounded in words and in bytes, however the text is
// marked: a mark before every word, marks without words, or none at all (the
// text then comes as pieces of one long record).
TEST_F(Espeak, UnitsAreBoundedInWordsAndBytesWhateverTheMarkup) {
    std::string prose;
    while (prose.size() < 20000) {
        prose += "and so the story goes on without an end in sight ";
    }
    size_t count = 0;
    const struct { const char* name; std::string text; } cases[] = {
        {"a mark before every word", Tokenised(prose, &count)}, {"no marks", prose},
        {"marks without words",
         [] {
             std::string marks;
             for (int i = 0; i < 2000; ++i) {
                 marks += "<mark name=\"m" + std::to_string(i) + "\"/>";
             }
             return marks;
         }()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        MarkupParser parser;
        std::vector<Word> words;
        parser.Parse(c.text, &words);
        int64_t budget = kBaseBreakMs;
        BoundWords(&words, kMaxWordBytes, &budget);
        for (size_t begin = 0, end; begin < words.size(); begin = end) {
            end = engine_->UnitEnd(words, begin);
            ASSERT_GT(end, begin);
            size_t bytes = 0;
            size_t spoken = 0;  // blank-separated words; a record without any counts as one
            for (size_t i = begin; i < end; ++i) {
                const std::string& text = words[i].text;
                size_t starts = 0;
                for (size_t at = 0; at < text.size(); ++at) {
                    starts += text[at] != ' ' && (at == 0 || text[at - 1] == ' ') ? 1 : 0;
                }
                bytes += text.size();
                spoken += std::max<size_t>(1, starts);
            }
            EXPECT_LE(spoken, 160u) << "unit at " << begin;
            EXPECT_LE(bytes, 1000u) << "unit at " << begin;
        }
    }
}

// A unit has one gain: it ends before a word spoken at another volume.
TEST_F(Espeak, AUnitEndsWhereTheVolumeChanges) {
    MarkupParser parser;
    std::vector<Word> words;
    parser.Parse(
        "<speak><mark name=\"a\"/>soft <prosody volume=\"x-loud\"><mark name=\"b\"/>"
        "loud</prosody></speak>",
        &words);
    const size_t end = engine_->UnitEnd(words, 0);
    ASSERT_LT(end, words.size());
    EXPECT_EQ(words[end].text.find("loud"), 0u) << words[end].text;
}

// Workers hand a unit over in pieces as espeak speaks it; in process it goes
// whole: the audio, marks and phonemes are the same. (espeak's output depends a
// little on what it spoke before in the process, so the worker, forked from
// here, goes first, and there is one: units spread over several sound a
// little different.)
TEST_F(Espeak, SentenceOverTheWireIsTheSameFromWorkersAndInProcess) {
    test::CapturedLog quiet;
    const char* const texts[] = {"Hello world, a short test.", kManySentences};
    for (const char* text : texts) {
        Answer first;
        for (int workers : {1, 0}) {
            SCOPED_TRACE(std::to_string(workers) + " workers, " + text);
            ServerOptions options;
            options.engine = "espeak";
            options.workers = workers;
            SpeechServer server(options);
            std::string error;
            ASSERT_TRUE(server.Start(&error)) << error;
            size_t count = 0;
            const Answer answer =
                RawClient(server.Port()).Exchange(PACKET_TEXT, Tokenised(text, &count));
            ASSERT_TRUE(answer.ended);
            if (workers == 0) {
                EXPECT_EQ(answer.audio, first.audio);
                EXPECT_EQ(answer.Events(), first.Events());
                continue;
            }
            first = answer;
            if (text != texts[0]) {
                continue;
            }
            const int64_t samples = static_cast<int64_t>(answer.audio.size());
            EXPECT_GT(samples, 22050 / 2);  // a few seconds at 22050 Hz
            EXPECT_LT(samples, 5 * 22050);
            ASSERT_EQ(answer.marks.size(), count + 1);
            for (size_t i = 1; i < answer.marks.size(); ++i) {
                EXPECT_GT(answer.marks[i].sample, answer.marks[i - 1].sample);
            }
            EXPECT_LE(answer.marks.back().sample, samples);
            // The first audio left before the sentence was whole: marks came
            // after less audio than the sentence or one full packet holds.
            const size_t whole = std::min(answer.audio.size(), kAudioPacketSamples);
            EXPECT_TRUE(std::any_of(answer.audio_before_mark.begin(),
                                    answer.audio_before_mark.end(),
                                    [&](size_t n) { return n > 0 && n < whole; }));
            int64_t covered = 0;
            for (const auto& p : answer.phonemes) {
                EXPECT_EQ(p.rate, 22050);
                covered += p.duration;
            }
            EXPECT_LE(covered, samples);
            EXPECT_GT(covered, samples / 2);
        }
    }
}

TEST_F(Espeak, VoicesAreListedAndSelectableByNameOrLanguage) {
    const std::vector<VoiceInfo>& voices = engine_->Voices();
    const VoiceInfo* british = FindVoice(voices, engine_->DefaultVoice());
    ASSERT_NE(british, nullptr);
    EXPECT_EQ(british->name + british->language_iso + british->country_iso +
                  british->language_microsoft + std::to_string(british->sample_rate),
              "English (Great Britain)enGB205722050");
    ASSERT_NE(FindVoice(voices, "en-us"), nullptr);
    EXPECT_EQ(FindVoice(voices, "gmw/en-us"), FindVoice(voices, "en-us"));
    const VoiceInfo* french = FindVoice(voices, "fr");
    ASSERT_NE(french, nullptr);
    EXPECT_EQ(french->language_tag, "fr-fr");
    // The list keeps each voice's language with its region.
    const std::string xml = VoiceListXml(voices);
    const struct { const char* voice; std::vector<std::string> attributes; } listed[] = {
        {"English (America)", {"VOICE_ID=\"gmw/en-US\"", "LANGUAGE_ID=\"en-us\""}},
        {"English (Scotland)",
         {"LANGUAGE_ID=\"en-gb-scotland\"", "COUNTRY_CODE_ISO=\"GB\"", "REGION=\"\"",
          "LANGUAGE_CODE_ISO=\"en\"", "LANGUAGE_CODE_MICROSOFT=\"2057\""}},
        {"English (Caribbean)",
         {"LANGUAGE_ID=\"en-029\"", "COUNTRY_CODE_ISO=\"\"", "REGION=\"029\"",
          "LANGUAGES=\"en-029:5 en:10\""}},
        {"English (America, New York City)",
         {"LANGUAGE_ID=\"en-us-nyc\"", "COUNTRY_CODE_ISO=\"US\""}},
        {"Chinese (Mandarin, latin as English)",
         {"LANGUAGE_ID=\"cmn\"", "LANGUAGES=\"cmn:5 zh-cmn:5 zh:5\""}},
    };
    for (const auto& voice : listed) {
        const size_t at = xml.find("<voice name=\"" + std::string(voice.voice) + "\"");
        ASSERT_NE(at, std::string::npos) << voice.voice;
        const std::string line = xml.substr(at, xml.find('\n', at) - at);
        for (const std::string& attribute : voice.attributes) {
            EXPECT_NE(line.find(" " + attribute), std::string::npos) << line;
        }
    }
    // Every voice is reached by its name, and every language tag it lists
    // chooses the voice espeak-ng itself chooses for it.
    std::vector<std::string> tags = {"en-au", "es_MX", "cmn-latn", "de-ch"};
    for (const VoiceInfo& voice : voices) {
        EXPECT_EQ(FindVoice(voices, voice.name), &voice) << voice.name;
        for (const auto& language : voice.languages) {
            tags.push_back(language.first);
        }
    }
    for (const std::string& tag : tags) {
        // espeak-ng's voices for the language, best first (mbrola's, which
        // it lists too, left out): what it selects for the tag, without
        // selecting it under the engine.
        std::string spelt = tag;
        std::replace(spelt.begin(), spelt.end(), '_', '-');
        espeak_VOICE wanted{};
        wanted.languages = spelt.c_str();
        std::string chosen = "none";
        for (const espeak_VOICE** v = espeak_ListVoices(&wanted); v && *v; ++v) {
            if (std::strncmp((*v)->identifier, "mb/", 3) != 0) {
                chosen = (*v)->name;
                break;
            }
        }
        // espeak-ng compares the tags' case and so finds no voice for one
        // it lists as chr-US-Qaaa-x-west, which this server finds.
        const VoiceInfo* found = FindVoice(voices, tag);
        EXPECT_TRUE(found != nullptr && (chosen == "none" || found->name == chosen))
            << tag << ": " << chosen;
    }
    // A voice as a person names it, without regard to case: a name, a
    // language tag ("_" for "-"), a language code or a language's name (as
    // its code). Variants apply to any voice, by name or by the sex and age
    // asked for.
    // chosen: "": none
    const struct { const char* request; const char* current; const char* chosen; } requests[] = {
        {"french (belgium)", "", "French (Belgium)"}, {"FR-be", "", "French (Belgium)"},
        {"fr_be", "", "French (Belgium)"}, {"de_de", "", "German"},
        {"en-GB", "", "English (Great Britain)"}, {"french", "", "French (France)"},
        {"English", "", "English (Great Britain)"},
        {"chinese", "", "Chinese (Mandarin, latin as English)"}, {"nobody", "", ""}, {"", "", ""},
        {"variant", "", ""}, {"french+f3", "", "French (France)+f3"},
        {"French+Annie", "", "French (France)+Annie"}, {"en+m2", "", "English (Great Britain)+m2"},
        {"fr-be+female", "", "French (Belgium)+f2"}, {"nobody+f3", "", ""},
        {"en+f3", "", "English (Great Britain)+f3"},
        {"+F3", "French (France)+m1", "French (France)+f3"},
        {"fr+female", "", "French (France)+f2"},  // f1 is 70
        {"+male", "French (France)+f3", "French (France)"},
        {"en+male+70", "", "English (Great Britain)+m1"},
        {"en+female+90", "", "English (Great Britain)+grandma"}, {"en+nobody", "", ""},
        {"+f3", "", ""}, {"en", "", "English (Great Britain)"},
        {"zh", "", "Chinese (Mandarin, latin as English)"},
        {"en-au+f3", "", "English (Great Britain)+f3"},
        {"English (Great Britain)+f3", "", "English (Great Britain)+f3"},
        {"+whisper", "English (Scotland)", "English (Scotland)+whisper"},
    };
    for (const auto& r : requests) {
        EXPECT_EQ(ChooseVoiceName(voices, r.request, r.current), r.chosen) << r.request;
    }
    std::vector<Word> words(1);
    words[0].mark = "a";
    words[0].text = "Bonjour.";
    CollectingSink sink;
    std::string error;
    EXPECT_TRUE(engine_->Speak("French (France)+f3", words, &sink, &error)) << error;
    EXPECT_FALSE(engine_->Speak("nobody", words, &sink, &error));
    EXPECT_NE(error.find("unknown voice"), std::string::npos);
}

// What a request sounds like: the audio of a voice (a request as a client
// selects it, "" for the default) speaking markup, measured.
// hz: median fundamental; 0 when nothing is voiced
// db: RMS level
struct Sound { double seconds = 0; double hz = 0; double db = 0; int clipped = 0;
    std::vector<std::string> phonemes; };

Sound Hear(Engine* engine, const std::string& request, const std::string& markup) {
    const std::string voice = request.empty()
                                  ? engine->DefaultVoice()
                                  : ChooseVoiceName(engine->Voices(), request,
                                                    engine->DefaultVoice());
    MarkupParser parser;
    std::vector<Word> words;
    parser.Parse(markup, &words);
    CollectingSink sink;
    std::string error;
    Sound sound;
    EXPECT_TRUE(engine->Speak(voice, words, &sink, &error)) << request << ": " << error;
    if (sink.audio.empty()) {
        return sound;
    }
    double energy = 0;
    for (int16_t sample : sink.audio) {
        energy += static_cast<double>(sample) * sample;
        sound.clipped += sample >= 32767 || sample <= -32767;
    }
    sound.seconds = static_cast<double>(sink.audio.size()) / sink.sample_rate;
    sound.hz = MedianFundamental(sink.audio, sink.sample_rate);
    sound.db = 10 * std::log10(energy / sink.audio.size() + 1e-9);
    for (const std::string& phoneme : sink.phonemes) {
        if (phoneme.find('_') == std::string::npos) {
            sound.phonemes.push_back(phoneme);  // pauses left out
        }
    }
    return sound;
}

// Rate, pitch and volume are heard as asked, within 10% (the level within 1
// dB), and past the reach at its end: the length as espeak-ng's own rate
// setting gives it (pauses shorten and lengthen with the rate), the
// fundamental within kMinPitchScale to kMaxPitchScale of the voice's, the gain
// at most kMaxGainDb and never a clipped sample. Variants change the voice as
// they say.
TEST_F(Espeak, ProsodyAndVariantsAreHeardAsAsked) {
    const std::string text = "The quick brown fox jumps over the lazy dog, and then it runs away.";
    const Sound plain = Hear(engine_, "", text);
    ASSERT_GT(plain.hz, 0);
    const double any = NAN;  // not measured
    // prosody: the attributes of a prosody element around the text
    // length: over the plain one
    // hz: 0: nothing voiced
    // db: the change of level
    const struct { const char* voice; const char* prosody; double length; double hz; double db;
    } rows[] = {
        {"", "rate='80wpm'", 175.0 / 80, any, any}, {"", "rate='40%'", 175.0 / 80, any, any},
        {"", "rate='60wpm'", 175.0 / 80, any, any}, {"", "rate='300wpm'", 175.0 / 300, any, any},
        {"", "rate='800wpm'", 175.0 / 800, any, any}, {"", "rate='1000wpm'", 175.0 / 800, any, any},
        {"", "rate='600%'", 175.0 / 800, any, any}, {"", "pitch='70Hz'", 1, 70, any},
        {"", "pitch='160Hz'", 1, 160, any}, {"", "pitch='40Hz'", 1, plain.hz * kMinPitchScale, any},
        {"", "pitch='-90%'", 1, plain.hz * kMinPitchScale, any},
        {"", "pitch='250Hz'", 1, plain.hz * kMaxPitchScale, any},
        {"", "pitch='+200%'", 1, plain.hz * kMaxPitchScale, any},
        {"en+f3", "pitch='300Hz'", 1, 300, any},
        {"", "volume='+50%'", 1, plain.hz, 20 * std::log10(1.5)},
        {"", "volume='-50%'", 1, plain.hz, -6}, {"", "volume='-90%'", 1, any, -20},
        {"", "volume='x-soft'", 1, plain.hz, -12}, {"", "volume='+6dB'", 1, plain.hz, 6},
        {"", "volume='+12dB'", 1, plain.hz, 6}, {"", "volume='300%'", 1, plain.hz, 6},
        {"en+f3", "", 1, 200, any}, {"+whisper", "", 1, 0, any},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.voice) + " " + row.prosody);
        const Sound sound =
            Hear(engine_, row.voice, "<prosody " + std::string(row.prosody) + ">" + text + "</prosody>");
        EXPECT_NEAR(sound.seconds / plain.seconds, row.length, row.length * 0.1);
        if (!std::isnan(row.hz)) {
            EXPECT_NEAR(sound.hz, row.hz, row.hz * 0.1);
        }
        if (!std::isnan(row.db)) {
            EXPECT_NEAR(sound.db - plain.db, row.db, 1);
        }
        EXPECT_EQ(sound.clipped, 0);
    }
    // A language code speaks as espeak-ng speaks it: "en" is British English
    // (English (Caribbean) says "w O: t a# b 0 t E l").
    const std::vector<std::string> british = {"w", "O:", "t", "3", "b", "0", "t", "@L"};
    EXPECT_EQ(Hear(engine_, "en", "water bottle").phonemes, british);
    EXPECT_GT(Hear(engine_, "zh", "ni hao").seconds, 0.3);
}

}  // namespace
}  // namespace server
}  // namespace vrelay
