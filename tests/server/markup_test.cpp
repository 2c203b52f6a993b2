// SPDX-License-Identifier: MIT
#include "server/markup.h"

#include <gtest/gtest.h>

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
    const struct {
        const char* name;
        const char* input;
        const char* words;
    } cases[] = {
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
    const struct {
        const char* name;
        std::vector<std::string> pieces;
        const char* released;
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
    const struct {
        const char* text;
        bool sentence;
        bool paragraph;
    } cases[] = {
        {"end. ", true, false},
        {"end.", true, false},
        {"why?\n", true, false},
        {"go!\" ", true, false},
        {"(so.) ", true, false},
        {"said.\xE2\x80\x9D ", true, false},
        {"Hello ", false, false},
        {"a, ", false, false},
        {"note: ", false, false},
        {"3.5 ", false, false},
        {"", false, false},
        {"or\n\n ", false, true},
        {"terms:\n \t\r\n", false, true},
        {"end.\n\n", true, true},
        {"a\nb\n", false, false},
    };
    for (const auto& c : cases) {
        Word word;
        word.text = c.text;
        EXPECT_EQ(word.EndsSentence(), c.sentence) << c.text;
        EXPECT_EQ(word.EndsParagraph(), c.paragraph) << c.text;
    }
}

TEST(EspeakMarkup, BlankAfterSentencePunctuationBecomesALineBreak) {
    const std::pair<const char*, const char*> cases[] = {
        {"end. ", "end.\n"},     {"why?  ", "why?\n"}, {"go!\") ", "go!\")\n"},
        {"note: x", "note:\nx"}, {"a; b", "a;\nb"},    {"3.5 ", "3.5 "},
        {"end.", "end."},        {"a, b ", "a, b "},   {"Dr. Who", "Dr.\nWho"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(EspeakEngine::BreakAfterSentences(c.first), c.second) << c.first;
    }
}

// Prosody elements compose into one innermost element in espeak-ng's terms:
// the rate in % of its 175 words a minute, the pitch as its parameter (120 Hz
// on a voice of 100 Hz: 68 on the shared curve); the volume is left out.
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
}

// Letters before each word: 0, 4, 6, 6 (the dashes weigh nothing), 10 in all
// at the unit's end, sample 1000.
TEST(EspeakMarkup, MissingMarksAreInterpolatedByLetters) {
    std::vector<Word> words(4);
    const char* texts[] = {"aaaa ", "bb ", "-- ", "cccc"};
    for (size_t i = 0; i < 4; ++i) {
        words[i].mark = "m" + std::to_string(i);
        words[i].text = texts[i];
    }
    using Samples = std::vector<int64_t>;
    const struct {
        const char* name;
        Samples known, placed;
        int missing;
    } cases[] = {
        {"between two known marks", {0, -1, -1, 600}, {0, 400, 600, 600}, 2},
        {"reported before an earlier mark, none later", {100, -1, 50, -1}, {100, 460, 640, 640}, 3},
        // "bb" shares the next word's sample: it sat inside a multi-word
        // entry. The silent "--" may share.
        {"inside a multi-word entry", {0, 600, 600, 600}, {0, 400, 600, 600}, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Samples known = c.known;
        EXPECT_EQ(PlaceMissingMarks(words, 0, 4, 1000, &known), c.missing);
        EXPECT_EQ(known, c.placed);
    }
}

}  // namespace
}  // namespace server
}  // namespace vrelay
