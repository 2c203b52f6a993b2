// SPDX-License-Identifier: MIT
#include "server/markup.h"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "server/espeak_engine.h"

namespace vrelay {
namespace server {
namespace {

// "mark[open elements]=text<break times>" of each word, joined by "|".
std::string Describe(const std::vector<Word>& words) {
    std::string out;
    for (const Word& w : words) {
        std::string open;
        for (const Element& e : w.context.Elements()) {
            open += (open.empty() ? "[" : ",") + e.name;
        }
        out += (out.empty() ? "" : "|") + w.mark + open + (open.empty() ? "=" : "]=") + w.text;
        for (const Element& pause : w.breaks) {
            out += "<" + pause.Get("time") + ">";
        }
    }
    return out;
}

std::string Words(const std::string& text) {
    MarkupParser parser;
    std::vector<Word> words;
    parser.Parse(text, &words);
    return Describe(words);
}

TEST(MarkupParser, TurnsClientTextIntoMarkedWords) {
    // clang-format off
    const struct { const char* name; const char* input; const char* words; } cases[] = {
        {"plain text wrapper and repair markers vanish",
         "<parent><xmlfixopen/><mark name=\"k0\"/>Hi<mark "
         "name=\"f\"/><xmlfixcloseoffopen/></parent>",
         "k0=Hi|f="},
        {"entities and character references are decoded",
         "<mark name=\"a\"/>&amp; &lt;b&gt; &quot;q&quot; &apos;s&apos; &#65;&#x42;&#x20AC;",
         "a=& <b> \"q\" 's' AB\xE2\x82\xAC"},
        {"HTML named entities become their characters",
         "<mark name=\"a\"/>&copy;&eacute;&nbsp;&Eacute;", "a=\xC2\xA9\xC3\xA9\xC2\xA0\xC3\x89"},
        {"unknown and invalid references become blanks, a bare ampersand stays",
         "<mark name=\"a\"/>x&bogus;y&#xD800;z & w", "a=x y z & w"},
        {"other repair markers and unknown elements keep their text",
         "<mark name=\"a\"/>one <xmlfixforgotclose/><foo "
         "bar='1'>two</foo><xmlfixnoopen/><xmlfixbadclose/> three",
         "a=one two three"},
        {"comments and processing instructions are dropped, CDATA is text",
         "<?xml version=\"1.0\"?><mark name=\"a\"/>x<!-- <mark name=\"h\"/> --><![CDATA[<y>]]>",
         "a=x<y>"},
        {"text before the first mark is a word without a mark", "Hi <mark name=\"a\"/>there",
         "=Hi |a=there"},
        {"blank text before the first mark is no word", "  \n<mark name=\"a\"/>x", "a=x"},
        {"single quotes, blanks around the equals sign", "<mark name = 'a b'/>x", "a b=x"},
        {"a tag cut at the end is dropped", "<mark name=\"a\"/>x <mark name=\"b", "a=x "},
    };
    // clang-format on
    for (const auto& c : cases) {
        EXPECT_EQ(Words(c.input), c.words) << c.name;
    }
}

TEST(MarkupParser, KeepsSynthesisElementsAsContextAcrossPieces) {
    MarkupParser parser;
    std::vector<Word> words;
    parser.Parse("<speak><prosody rate=\"slow\"><mark name=\"a\"/>one <emphasis>", &words);
    EXPECT_EQ(parser.OpenElements(), 2u);
    parser.Parse("<mark name=\"b\"/>two</emphasis> <sentence><mark name=\"c\"/>three", &words);
    parser.Parse("</sentence></prosody><break time=\"300ms\"/><mark name=\"d\"/>four</speak>",
                 &words);
    EXPECT_EQ(Describe(words),
              "a[prosody]=one |b[prosody,emphasis]=two |c[prosody,s]=three|=<300ms>|d=four");
    EXPECT_EQ(words[0].context[0].Get("rate"), "slow");
    EXPECT_EQ(parser.OpenElements(), 0u);
}

TEST(MarkupParser, BoundsNestingAndTheElementsKeptForARequest) {
    MarkupParser parser;
    std::vector<Word> words;
    std::string deep;
    for (int i = 0; i < 200; ++i) {
        deep += "<s><prosody rate='" + std::string(2000, 'x') + "' pitch='high'>";
    }
    std::string breaks;
    for (size_t i = 0; i < 2 * MarkupParser::kMaxBreaksPerWord; ++i) {
        breaks += "<break a/>";
    }
    parser.Parse(deep + "<mark name=\"a\"/>x" + breaks, &words);
    parser.Parse("<mark name=\"b\"/>y", &words);
    EXPECT_EQ(parser.OpenElements(), MarkupParser::kMaxOpenElements);
    ASSERT_EQ(words.size(), 2u);
    EXPECT_EQ(words[0].breaks.size(), MarkupParser::kMaxBreaksPerWord);
    ASSERT_EQ(words[0].context.size(), MarkupParser::kMaxOpenElements);
    // Attributes beyond the byte bound are dropped; the element stays.
    EXPECT_TRUE(words[0].context[1].attributes.empty());
    // Words under the same open elements share one copy of them.
    EXPECT_EQ(&words[0].context.Elements(), &words[1].context.Elements());
    // Closing still works from the bounded stack.
    parser.Parse("</s><mark name=\"c\"/>z", &words);
    EXPECT_EQ(parser.OpenElements(), MarkupParser::kMaxOpenElements - 2);
}

// After each piece, what TakeWholeWords releases; "|" between pieces.
TEST(StreamBuffer, ReleasesTextBeforeTheLastMarkAsTheParserSeesIt) {
    const struct { const char* name; std::vector<std::string> pieces; const char* released;
    } cases[] = {
        {"a quoted '>' in a mark cut between pieces", {"x<mark name='a>", "b'/>y"}, "|x"},
        {"a comment opener cut between pieces", {"<!-", "- > <mark name='a'/> -->x"}, "|"},
        {"a mark inside an attribute value", {"<s a='<mark name=\"a\"/>'>x"}, ""},
        {"a mark inside CDATA, one without a name, then a real one",
         {"<![CDATA[<mark name='a'/>]]>x<mark/>y<mark name='b'/>z"},
         "<![CDATA[<mark name='a'/>]]>x<mark/>y"},
    };
    for (const auto& c : cases) {
        StreamBuffer buffer;
        std::string released;
        for (const std::string& piece : c.pieces) {
            buffer.Append(piece.data(), piece.size());
            released += (&piece == &c.pieces.front() ? "" : "|") + buffer.TakeWholeWords();
        }
        EXPECT_EQ(released, c.released) << c.name;
    }
}

TEST(Word, SentenceAndParagraphEnds) {
    // clang-format off
    const struct { const char* text; bool sentence; bool paragraph; } cases[] = {
        {"end. ", true, false}, {"end.", true, false}, {"why?\n", true, false},
        {"go!\" ", true, false}, {"(so.) ", true, false}, {"said.\xE2\x80\x9D ", true, false},
        {"Hello ", false, false}, {"a, ", false, false}, {"note: ", false, false},
        {"3.5 ", false, false}, {"", false, false}, {"or\n\n ", false, true},
        {"terms:\n \t\r\n", false, true}, {"end.\n\n", true, true}, {"a\nb\n", false, false},
    };
    // clang-format on
    for (const auto& c : cases) {
        Word word;
        word.text = c.text;
        EXPECT_EQ(word.EndsSentence(), c.sentence) << c.text;
        EXPECT_EQ(word.EndsParagraph(), c.paragraph) << c.text;
    }
}

TEST(EspeakMarkup, BlankAfterSentencePunctuationBecomesALineBreak) {
    const std::pair<std::string, std::string> cases[] = {
        {"end. ", "end.\n"},     {"why?  ", "why?\n"}, {"go!\") ", "go!\")\n"},
        {"note: x", "note:\nx"}, {"a; b", "a;\nb"},    {"3.5 ", "3.5 "},
        {"end.", "end."},        {"a, b ", "a, b "},   {"Dr. Who", "Dr.\nWho"},
        {std::string("a\0 b", 4), std::string("a\0 b", 4)},  // a NUL ends no sentence
    };
    for (const auto& c : cases) {
        EXPECT_EQ(EspeakEngine::BreakAfterSentences(c.first), c.second) << c.first;
    }
}

// Prosody elements compose into one innermost element in espeak-ng's terms:
// the rate in % of the unit's (175 words a minute unless set), the pitch as
// its parameter (120 Hz on a voice of 100 Hz: 68 on the shared curve); the
// volume is left out.
TEST(EspeakMarkup, UnitSsmlReopensContextsAndEscapesText) {
    MarkupParser parser;
    std::vector<Word> words;
    parser.Parse(
        "<mark name=\"k0\"/>a&lt;b &amp; c. <prosody rate='x-slow' volume='loud'><say-as "
        "interpret-as='x&quot;y'><mark name=\"k1\"/>slow <prosody pitch='120Hz' "
        "rate='+100%'><mark name=\"k2\"/>end<break/></prosody></say-as></prosody>",
        &words);
    EXPECT_EQ(EspeakEngine::UnitSsml(words, 0, 3, PitchCurve(100)),
              "<speak><mark name=\"w0\"/>a&lt;b &amp; c.\n<say-as interpret-as=\"x&quot;y\">"
              "<prosody rate=\"50%\"><mark name=\"w1\"/>slow </prosody><prosody pitch=\"68\">"
              "<mark name=\"w2\"/>end<break/></prosody></say-as></speak>");
    // A unit set to another rate: every word's rate is relative to it.
    EXPECT_EQ(EspeakEngine::UnitSsml(words, 0, 3, PitchCurve(100), 87.5),
              "<speak><prosody rate=\"200%\"><mark name=\"w0\"/>a&lt;b &amp; c.\n</prosody>"
              "<say-as interpret-as=\"x&quot;y\"><mark name=\"w1\"/>slow <prosody rate=\"200%\" "
              "pitch=\"68\"><mark name=\"w2\"/>end<break/></prosody></say-as></speak>");
}

// Letters before each word: 0, 4, 6, 6 (the dashes weigh nothing), 10 in all
// at the unit's end, sample 1000.
TEST(EspeakMarkup, MissingMarksAreInterpolatedByLetters) {
    std::vector<Word> words(4);
    const char* texts[] = {"aaaa ", "\xF0\x9F\x98\x80" "b ", "-- ", "cccc"};  // 4, 2, 0, 4 letters
    for (size_t i = 0; i < 4; ++i) {
        words[i].mark = "m" + std::to_string(i);
        words[i].text = texts[i];
    }
    using Samples = std::vector<int64_t>;
    // clang-format off
    const struct { const char* name; Samples known, placed; int missing; } cases[] = {
        {"between two known marks", {0, -1, -1, 600}, {0, 400, 600, 600}, 2},
        {"reported before an earlier mark, none later", {100, -1, 50, -1}, {100, 460, 640, 640}, 3},
        // The second word shares the next one's sample: it sat inside a multi-word
        // entry. The silent "--" may share.
        {"inside a multi-word entry", {0, 600, 600, 600}, {0, 400, 600, 600}, 1},
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Samples known = c.known;
        EXPECT_EQ(PlaceMissingMarks(words, 0, 4, 1000, &known), c.missing);
        EXPECT_EQ(known, c.placed);
    }
}

// The prosody of "x" inside prosody elements with these attributes, one
// element per ">"-separated group, outermost first, for a voice of 100 Hz.
Prosody ProsodyInside(const std::string& attributes) {
    std::string markup;
    std::string closing;
    std::istringstream groups(attributes);
    for (std::string group; std::getline(groups, group, '>');) {
        markup += "<prosody " + group + ">";
        closing += "</prosody>";
    }
    MarkupParser parser;
    std::vector<Word> words;
    parser.Parse(markup + "x" + closing, &words);
    return words.empty() ? Prosody() : ProsodyOf(words[0].context, 100);
}

// Each value is heard within what the engine reaches: past an end it is that
// end (and says so), a nested value applies to what the enclosing ones came
// to, and a value not understood leaves its quantity as it was.
TEST(Prosody, ValuesComeIntoTheReachableRange) {
    const double kSilent = -1000;  // no gain: muted
    // clang-format off
    const struct { const char* attributes; double wpm = kDefaultWpm; double hz = 100; double db = 0;
        bool clamped = false; } rows[] = {
        {"rate=' 300wpm\t'", 300}, {"rate='2'", 350}, {"rate='40%'", 80, 100, 0, true},
        {"rate='30wpm'", 80, 100, 0, true}, {"rate='500%'", 800, 100, 0, true},
        {"rate='20%'>rate='+100%'", 160, 100, 0, true}, {"rate='+10wpm'"},
        {"rate='fast'>rate='banana'", 262.5}, {"pitch='120Hz'", kDefaultWpm, 120},
        {"pitch='+20Hz'>pitch='-2st'", kDefaultWpm, 120 * std::pow(2, -2 / 12.0)},
        {"pitch='250Hz'", kDefaultWpm, 168, 0, true}, {"pitch='40Hz'", kDefaultWpm, 65, 0, true},
        {"pitch='-90%'", kDefaultWpm, 65, 0, true}, {"pitch='+200%'", kDefaultWpm, 168, 0, true},
        {"pitch='+200%'>pitch='-20%'", kDefaultWpm, 168 * 0.8, 0, true}, {"pitch='120'"},
        {"volume='+50%'", kDefaultWpm, 100, 20 * std::log10(1.5)},
        {"volume='-50%'", kDefaultWpm, 100, 20 * std::log10(0.5)},
        {"volume='-90%'", kDefaultWpm, 100, -20}, {"volume='-100%'", kDefaultWpm, 100, kSilent},
        {"volume='50'", kDefaultWpm, 100, 20 * std::log10(0.5)},
        {"volume='6dB'", kDefaultWpm, 100, 6}, {"volume='loud'>volume='+3dB'", kDefaultWpm, 100, 6},
        {"volume='200%'", kDefaultWpm, 100, 6, true}, {"volume='+12dB'", kDefaultWpm, 100, 6, true},
        {"volume='-70dB'", kDefaultWpm, 100, -60, true},
        {"volume='silent'>volume='+6dB'", kDefaultWpm, 100, kSilent},
        {"volume='silent'>volume='0dB'", kDefaultWpm, 100, 0}, {"volume='+6'"},
    };
    // clang-format on
    for (const auto& row : rows) {
        SCOPED_TRACE(row.attributes);
        const Prosody p = ProsodyInside(row.attributes);
        EXPECT_NEAR(p.wpm, row.wpm, 1e-6);
        EXPECT_NEAR(p.hz, row.hz, 1e-6);
        EXPECT_EQ(p.silent, row.db == kSilent);
        EXPECT_NEAR(p.silent ? kSilent : p.gain_db, row.db, 1e-6);
        EXPECT_EQ(p.clamped, row.clamped);
    }
}

// The table the front ends read holds the server's ranges and named values:
// each range's ends are the constants, a value past an end is heard at it,
// and each name means its value.
TEST(Prosody, RangesAndNamesAreThoseOfTheSharedTable) {
    const double semitones = 12 / std::log(2.0);
    const struct { const char* quantity; const char* unit; double minimum, fallback, maximum;
    } constants[] = {
        {"rate", "wpm", kMinWpm, kDefaultWpm, kMaxWpm},
        {"rate", "%", 100 * kMinWpm / kDefaultWpm, 100, 100 * kMaxWpm / kDefaultWpm},
        {"pitch", "%", 100 * kMinPitchScale, 100, 100 * kMaxPitchScale},
        {"pitch", "st", semitones * std::log(kMinPitchScale), 0,
         semitones * std::log(kMaxPitchScale)},
        {"volume", "dB", kMinGainDb, 0, kMaxGainDb},
        {"volume", "%", 0, 100, 100 * std::pow(10, kMaxGainDb / 20)},
    };
    // What a value of a quantity comes to, as one comparable number.
    const auto heard = [](const std::string& quantity, const std::string& value) {
        Prosody p;
        const bool understood = quantity == "rate"    ? ApplyRate(value, &p)
                                : quantity == "pitch" ? ApplyPitch(value, &p)
                                                      : ApplyVolume(value, &p);
        EXPECT_TRUE(understood) << quantity << " " << value;
        return quantity == "rate" ? p.wpm : quantity == "pitch" ? p.hz : p.silent ? -1e9 : p.gain_db;
    };
    // A value with its unit; a sign where the unit is a change (st) or the
    // value is below zero.
    const auto text = [](double value, const std::string& unit) {
        std::ostringstream out;
        out << (unit == "st" && value > 0 ? "+" : "") << value << unit;
        return out.str();
    };
    std::ifstream table(VRELAY_PROSODY_RANGES);
    ASSERT_TRUE(table) << VRELAY_PROSODY_RANGES;
    size_t ranges = 0;
    size_t names = 0;
    for (std::string line; std::getline(table, line);) {
        std::vector<std::string> f;
        std::istringstream split(line);
        for (std::string field; std::getline(split, field, '\t');) {
            f.push_back(field);
        }
        SCOPED_TRACE(line);
        if (!f.empty() && f[0] == "range") {
            ASSERT_GE(f.size(), 6u);
            ++ranges;
            const double low = std::stod(f[3]);
            const double fallback = std::stod(f[4]);
            const double high = std::stod(f[5]);
            bool known = false;
            for (const auto& c : constants) {
                if (f[1] == c.quantity && f[2] == c.unit) {
                    known = true;
                    EXPECT_NEAR(low, c.minimum, 0.01);
                    EXPECT_NEAR(fallback, c.fallback, 0.01);
                    EXPECT_NEAR(high, c.maximum, 0.01);
                }
            }
            EXPECT_TRUE(known);
            const bool additive = f[2] == "st" || f[2] == "dB";
            const double past_high = additive ? high + (high - fallback) : 2 * high;
            const double past_low = additive ? low - (fallback - low) : low / 2;
            EXPECT_NEAR(heard(f[1], text(past_high, f[2])), heard(f[1], text(high, f[2])),
                        std::abs(heard(f[1], text(high, f[2]))) * 1e-3);
            EXPECT_NEAR(heard(f[1], text(past_low, f[2])), heard(f[1], text(low, f[2])),
                        std::abs(heard(f[1], text(low, f[2]))) * 1e-3);
        } else if (!f.empty() && f[0] == "name") {
            ASSERT_GE(f.size(), 5u);
            ++names;
            EXPECT_NEAR(heard(f[1], f[2]), heard(f[1], f[3] + f[4]), 1e-6);
        }
    }
    EXPECT_EQ(ranges, sizeof constants / sizeof constants[0]);
    EXPECT_EQ(names, 19u);
}

}  // namespace
}  // namespace server
}  // namespace vrelay
