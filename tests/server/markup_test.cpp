#include "server/markup.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "server/espeak_engine.h"

namespace vrelay {
namespace server {
namespace {

std::vector<Word> ParseAll(const std::string& text) {
    MarkupParser parser;
    std::vector<Word> words;
    parser.Parse(text, &words);
    return words;
}

struct ParseCase {
    const char* name;
    std::string input;
    std::vector<std::pair<std::string, std::string>> words;  // mark, text
};

TEST(MarkupParser, TurnsClientTextIntoMarkedWords) {
    const ParseCase cases[] = {
        {"plain text wrapper and repair markers vanish",
         "<parent><xmlfixopen/><mark name=\"kvtk_0_0_5_5\"/>Hello<mark "
         "name=\"kvox_final\"/><xmlfixcloseoffopen/></parent>",
         {{"kvtk_0_0_5_5", "Hello"}, {"kvox_final", ""}}},
        {"speak element, two words",
         "<speak><mark name=\"kvtk_7_7_5_5\"/>Hello <mark name=\"kvtk_13_13_5_5\"/>world</speak>"
         "<mark name=\"kvox_final\"/>",
         {{"kvtk_7_7_5_5", "Hello "}, {"kvtk_13_13_5_5", "world"}, {"kvox_final", ""}}},
        {"negative offsets are just names",
         "<mark name=\"kvtk_-3_-3_2_2\"/>ok",
         {{"kvtk_-3_-3_2_2", "ok"}}},
        {"entities and character references are decoded",
         "<mark name=\"a\"/>&amp; &lt;b&gt; &quot;q&quot; &apos;s&apos; &#65;&#x42;&#x20AC;",
         {{"a", "& <b> \"q\" 's' AB\xE2\x82\xAC"}}},
        {"HTML named entities become their characters",
         "<mark name=\"a\"/>&copy;&eacute;&nbsp;&Eacute;",
         {{"a", "\xC2\xA9\xC3\xA9\xC2\xA0\xC3\x89"}}},
        {"unknown and invalid references become blanks, a bare ampersand stays",
         "<mark name=\"a\"/>x&bogus;y&#xD800;z & w",
         {{"a", "x y z & w"}}},
        {"other repair markers and unknown elements keep their text",
         "<mark name=\"a\"/>one <xmlfixforgotclose/><foo bar='1'>two</foo><xmlfixnoopen/>"
         "<xmlfixbadclose/> three",
         {{"a", "one two three"}}},
        {"comments and processing instructions are dropped, CDATA is text",
         "<?xml version=\"1.0\"?><mark name=\"a\"/>x<!-- hidden <mark name=\"h\"/> -->"
         "<![CDATA[<y>]]>",
         {{"a", "x<y>"}}},
        {"text before the first mark is a word without a mark",
         "Hi <mark name=\"a\"/>there",
         {{"", "Hi "}, {"a", "there"}}},
        {"blank text before the first mark is no word", "  \n<mark name=\"a\"/>x", {{"a", "x"}}},
        {"single-quoted attributes and blanks around the equals sign",
         "<mark name = 'a b'/>x",
         {{"a b", "x"}}},
        {"a tag cut at the end is dropped", "<mark name=\"a\"/>x <mark name=\"b", {{"a", "x "}}},
    };
    for (const ParseCase& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<Word> words = ParseAll(c.input);
        ASSERT_EQ(words.size(), c.words.size());
        for (size_t i = 0; i < words.size(); ++i) {
            EXPECT_EQ(words[i].mark, c.words[i].first);
            EXPECT_EQ(words[i].text, c.words[i].second);
        }
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
    ASSERT_EQ(words.size(), 5u);  // a, b, c, a mark-less word holding the break, d
    ASSERT_EQ(words[0].context.size(), 1u);
    EXPECT_EQ(words[0].context[0].name, "prosody");
    EXPECT_EQ(words[0].context[0].Get("rate"), "slow");
    ASSERT_EQ(words[1].context.size(), 2u);
    EXPECT_EQ(words[1].context[1].name, "emphasis");
    ASSERT_EQ(words[2].context.size(), 2u);
    EXPECT_EQ(words[2].context[1].name, "s");
    EXPECT_FALSE(words[3].HasMark());
    ASSERT_EQ(words[3].breaks.size(), 1u);
    EXPECT_EQ(words[3].breaks[0].Get("time"), "300ms");
    EXPECT_TRUE(words[4].context.empty());
    EXPECT_EQ(parser.OpenElements(), 0u);
}

TEST(MarkupParser, BoundsNestingAndTheElementsKeptForARequest) {
    MarkupParser parser;
    std::vector<Word> words;
    std::string deep;
    for (int i = 0; i < 200; ++i) {
        deep += "<s><prosody rate='" + std::string(2000, 'x') + "' pitch='high'>";
    }
    parser.Parse(deep + "<mark name=\"a\"/>x", &words);
    parser.Parse("<mark name=\"b\"/>y", &words);
    EXPECT_EQ(parser.OpenElements(), MarkupParser::kMaxOpenElements);
    ASSERT_EQ(words.size(), 2u);
    ASSERT_EQ(words[0].context.size(), MarkupParser::kMaxOpenElements);
    // Attributes beyond the byte bound are dropped; the element stays.
    EXPECT_TRUE(words[0].context[1].attributes.empty());
    // Words under the same open elements share one copy of them.
    EXPECT_EQ(&words[0].context.Elements(), &words[1].context.Elements());
    // Closing still works from the bounded stack.
    parser.Parse("</s><mark name=\"c\"/>z", &words);
    EXPECT_EQ(parser.OpenElements(), MarkupParser::kMaxOpenElements - 2);
}

TEST(ParseTag, DecodesReferencesInValuesAndRejectsRepeatedAttributes) {
    const struct {
        std::string tag;
        bool ok;
        std::string name;
    } cases[] = {
        {"<voice name='a&amp;b&lt;&apos;&quot;&#39;&#x27;'/>", true, "a&b<'\"''"},
        {"<voice name=\"plain \xC3\xA9\"/>", true, "plain \xC3\xA9"},
        {"<voice name='all' select='' select='1'/>", false, ""},
        {"<voice name='a' name='b'/>", false, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.tag);
        Tag tag;
        ASSERT_EQ(ParseTag(c.tag, &tag), c.ok);
        if (c.ok) {
            EXPECT_EQ(tag.element.Get("name"), c.name);
        }
    }
}

TEST(StreamBuffer, ReleasesOnlyWordsFollowedByACompleteMark) {
    StreamBuffer buffer;
    const std::string text =
        "<speak><mark name=\"kvtk_0_0_3_3\"/>One <mark name=\"kvtk_4_4_3_3\"/>two "
        "<mark name=\"kvtk_8_8_5_5\"/>three</speak><mark name=\"kvox_final\"/>";
    // Cut inside the third mark: only "One" is known to be whole at first.
    const size_t cut = text.find("kvtk_8") + 3;
    buffer.Append(text.data(), cut);
    const std::string first = buffer.TakeWholeWords();
    EXPECT_EQ(first, "<speak><mark name=\"kvtk_0_0_3_3\"/>One ");
    EXPECT_EQ(buffer.TakeWholeWords(), "");  // nothing new: the cut mark is not complete
    buffer.Append(text.data() + cut, text.size() - cut);
    const std::string second = buffer.TakeWholeWords();
    const std::string rest = buffer.TakeAll();
    EXPECT_EQ(first + second + rest, text);
    EXPECT_EQ(rest, "<mark name=\"kvox_final\"/>");

    MarkupParser parser;
    std::vector<Word> words;
    parser.Parse(first, &words);
    parser.Parse(second, &words);
    parser.Parse(rest, &words);
    ASSERT_EQ(words.size(), 4u);
    EXPECT_EQ(words[2].mark, "kvtk_8_8_5_5");
    EXPECT_EQ(words[2].text, "three");
}

TEST(StreamBuffer, ElementsThatOnlyStartLikeMarkAreNotMarks) {
    StreamBuffer buffer;
    const std::string text = "<mark name=\"a\"/>x <markup>y</markup> <mark";
    buffer.Append(text.data(), text.size());
    EXPECT_EQ(buffer.TakeWholeWords(), "");
    EXPECT_EQ(buffer.Size(), text.size());
}

TEST(Word, SentenceEnds) {
    const std::pair<const char*, bool> cases[] = {
        {"end. ", true},   {"end.", true},   {"why?\n", true},
        {"go!\" ", true},  {"(so.) ", true}, {"said.\xE2\x80\x9D ", true},
        {"Hello ", false}, {"a, ", false},   {"note: ", false},
        {"3.5 ", false},   {"", false},
    };
    for (const auto& c : cases) {
        Word word;
        word.text = c.first;
        EXPECT_EQ(word.EndsSentence(), c.second) << c.first;
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

TEST(EspeakMarkup, UnitSsmlReopensContextsAndEscapesText) {
    std::vector<Word> words(3);
    words[0].mark = "kvtk_0";
    words[0].text = "a<b & c. ";
    words[1].mark = "kvtk_1";
    words[1].text = "loud ";
    Element prosody;
    prosody.name = "prosody";
    prosody.attributes.push_back(Attribute{"volume", "x\"loud"});
    words[1].context.push_back(prosody);
    words[2].mark = "kvtk_2";
    words[2].text = "end";
    Element pause;
    pause.name = "break";
    words[2].breaks.push_back(pause);
    EXPECT_EQ(EspeakEngine::UnitSsml(words, 0, 3),
              "<speak><mark name=\"w0\"/>a&lt;b &amp; c.\n<prosody volume=\"x&quot;loud\">"
              "<mark name=\"w1\"/>loud </prosody><mark name=\"w2\"/>end<break/></speak>");
}

TEST(EspeakMarkup, MissingMarksAreInterpolatedByLetters) {
    std::vector<Word> words(4);
    const char* texts[] = {"aaaa ", "bb ", "-- ", "cccc"};
    for (size_t i = 0; i < 4; ++i) {
        words[i].mark = "m" + std::to_string(i);
        words[i].text = texts[i];
    }
    // Letters before each word: 0, 4, 6, 6 (the dashes weigh nothing), 10 in all.
    // Mark 1 lies between mark 0 (sample 0) and mark 3 (sample 600, weight 6).
    std::vector<int64_t> known = {0, -1, -1, 600};
    EXPECT_EQ(PlaceMissingMarks(words, 0, 4, 1000, &known), 2);
    EXPECT_EQ(known, (std::vector<int64_t>{0, 400, 600, 600}));

    // A mark reported before an earlier one counts as missing; with no later
    // mark known the unit's end (sample 1000, weight 10) is the anchor.
    known = {100, -1, 50, -1};
    EXPECT_EQ(PlaceMissingMarks(words, 0, 4, 1000, &known), 3);
    EXPECT_EQ(known, (std::vector<int64_t>{100, 460, 640, 640}));

    // "bb" reported on the same sample as the next word: it sat inside a
    // multi-word entry, so it is placed again. The silent "--" may share.
    known = {0, 600, 600, 600};
    EXPECT_EQ(PlaceMissingMarks(words, 0, 4, 1000, &known), 1);
    EXPECT_EQ(known, (std::vector<int64_t>{0, 400, 600, 600}));
}

}  // namespace
}  // namespace server
}  // namespace vrelay
