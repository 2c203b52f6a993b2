#include "connection/lexer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace vrelay {
namespace {

std::string Mark(int c, int b, int n, int l) {
    return "<mark name=\"kvoxtk_" + std::to_string(c) + "_" + std::to_string(b) + "_" +
           std::to_string(n) + "_" + std::to_string(l) + "\"/>";
}

// Lexes text in one final call.
std::string Tokenise(const std::string& text, bool xml, int32_t requestMode = 0) {
    Lexer lexer;
    std::string out;
    lexer.TokeniseText(text.c_str(), xml, true, requestMode, &out);
    return out;
}

std::string Chunk(Lexer& lexer, const std::string& buffer, int xml, int* consumed = nullptr) {
    std::string out;
    const int n = lexer.TokeniseChunk(buffer, -1, xml, &out);
    if (consumed) {
        *consumed = n;
    }
    return out;
}

TEST(LexerTest, CompilesAllTwelvePatterns) {
    Lexer lexer;
    for (int slot = 0; slot < Lexer::kPatternCount; ++slot) {
        EXPECT_TRUE(lexer.HasPattern(slot)) << slot;
    }
    EXPECT_FALSE(lexer.HasPattern(-1));
    EXPECT_FALSE(lexer.HasPattern(Lexer::kPatternCount));
}

TEST(LexerTest, PlainTextMarksEveryWordAndEscapes) {
    EXPECT_EQ(Tokenise("a & b", false), "<parent>" + Mark(0, 0, 1, 1) + "a " + Mark(2, 2, 1, 1) +
                                            "&amp; " + Mark(4, 4, 1, 1) + "b</parent>");
}

struct ModeCase {
    const char* name;
    std::string input;
    bool xml;
    std::string expected;
};

class LexerModeTest : public ::testing::TestWithParam<ModeCase> {};

TEST_P(LexerModeTest, ProducesExpectedMarkup) {
    EXPECT_EQ(Tokenise(GetParam().input, GetParam().xml), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Tokens, LexerModeTest,
    ::testing::Values(
        ModeCase{"StartTagPlainIsEscapedUnmarked", "<b>", false, "<parent>&lt;b&gt;</parent>"},
        ModeCase{"StartTagXmlIsCopiedUnmarked", "<b>", true, "<b>"},
        ModeCase{"EmptyTagSwallowsWordBeforeIt", "<b>x<br/>", true, "<b>x<br/>"},
        ModeCase{"EmptyTagSwallowsWordPlain", "<b>x<br/>", false,
                 "<parent>&lt;b&gt;x&lt;br/&gt;</parent>"},
        ModeCase{"WordBetweenStartAndEndTagIsMarked", "<b>x</b>", true,
                 "<b>" + Mark(3, 3, 1, 1) + "x</b>"},
        ModeCase{"CommentWordsStayUnmarked", "<!-- a b -->c", true,
                 "<!-- a b -->" + Mark(12, 12, 1, 1) + "c"},
        ModeCase{"CommentWordsStayUnmarkedPlain", "<!-- a -->", false,
                 "<parent>&lt;!-- a --&gt;</parent>"},
        ModeCase{"CDataWordsStayUnmarked", "<![CDATA[ a&b ]]> c", true,
                 "<![CDATA[ a&b ]]> " + Mark(18, 18, 1, 1) + "c"},
        // A tag-like run inside CDATA is still lexed as a tag and swallows "]]>".
        ModeCase{"CDataEndInsideTagLikeTextIsMissed", "<![CDATA[<b ]]> c", true,
                 "<![CDATA[<b ]]> c"},
        ModeCase{"ProcessingInstructionSpansLines", "<?pi a\nb?>c", true,
                 "<?pi a\nb?>" + Mark(10, 10, 1, 1) + "c"},
        ModeCase{"DoctypeWithSubsetIsOneToken", "<!DOCTYPE s [<!ENTITY a 'b'>\n]>w", true,
                 "<!DOCTYPE s [<!ENTITY a 'b'>\n]>" + Mark(31, 31, 1, 1) + "w"},
        ModeCase{"LoneAngleBracketIsEscaped", "a < b", false,
                 "<parent>" + Mark(0, 0, 1, 1) + "a &lt; " + Mark(4, 4, 1, 1) + "b</parent>"},
        ModeCase{"QuotesAreNotEscaped", "\"x'", false,
                 "<parent>" + Mark(0, 0, 3, 3) + "\"x'</parent>"},
        ModeCase{"TwoByteCharacterCountsOnce", "\xC3\xA9 \xC3\xA9", true,
                 Mark(0, 0, 1, 2) + "\xC3\xA9 " + Mark(2, 3, 1, 2) + "\xC3\xA9"},
        ModeCase{"FourByteCharacterCountsOnce", "\xF0\x9F\x98\x80x y", true,
                 Mark(0, 0, 2, 5) + "\xF0\x9F\x98\x80x " + Mark(3, 6, 1, 1) + "y"},
        ModeCase{"EmSpaceSeparatesWords",
                 "a\xE2\x80\x83"
                 "b",
                 true, Mark(0, 0, 1, 1) + "a\xE2\x80\x83" + Mark(2, 4, 1, 1) + "b"},
        ModeCase{"OtherUnicodeSpaceIsPartOfWord",
                 "a\xC2\xA0"
                 "b",
                 true,
                 Mark(0, 0, 3, 4) + "a\xC2\xA0"
                                    "b"},
        ModeCase{"EmptyPlainTextIsJustTheParent", "", false, "<parent></parent>"}),
    [](const ::testing::TestParamInfo<ModeCase>& info) { return std::string(info.param.name); });

TEST(LexerTest, PlainModeOutsideAStreamIsWrappedOnEveryCall) {
    Lexer lexer;
    std::string out;
    lexer.TokeniseText("a", false, false, 0, &out);
    EXPECT_EQ(out, "<parent>");
    lexer.TokeniseText("", false, true, 0, &out);
    EXPECT_EQ(out, "<parent>" + Mark(0, 0, 1, 1) + "a</parent>");
    // Inside an open stream only the closing element is written.
    lexer.TokeniseText("a", false, true, 2, &out);
    EXPECT_EQ(out, Mark(0, 0, 1, 1) + "a</parent>");
}

TEST(LexerTest, CommentStateSurvivesAcrossCalls) {
    Lexer lexer;
    std::string out;
    lexer.TokeniseText("<!-- a", true, true, 0, &out);
    EXPECT_EQ(out, "<!-- a");
    EXPECT_EQ(lexer.InComment(), 1);
    lexer.TokeniseText("b --> c", true, true, 0, &out);
    EXPECT_EQ(out, "b --> " + Mark(6, 6, 1, 1) + "c");
    EXPECT_EQ(lexer.InComment(), 0);
    lexer.TokeniseText("<![CDATA[", true, true, 0, &out);
    EXPECT_EQ(lexer.InCData(), 1);
}

TEST(LexerTest, OffsetsRunOnAcrossChunksUntilAFinalText) {
    Lexer lexer;
    EXPECT_EQ(Chunk(lexer, "ab ", 1), Mark(0, 0, 2, 2) + "ab ");
    EXPECT_EQ(Chunk(lexer, "\xC3\xA9", 1), Mark(3, 3, 1, 2) + "\xC3\xA9");
    EXPECT_EQ(lexer.CharOffset(), 4);
    EXPECT_EQ(lexer.ByteOffset(), 5);
    std::string out;
    lexer.TokeniseText("x", true, true, 0, &out);
    EXPECT_EQ(out, Mark(4, 5, 1, 1) + "x");
    EXPECT_EQ(lexer.CharOffset(), 0);
    EXPECT_EQ(lexer.ByteOffset(), 0);
}

TEST(LexerTest, ChunkStopsAtLimitOnWholeTokens) {
    Lexer lexer;
    std::string out;
    EXPECT_EQ(lexer.TokeniseChunk("abc def ghi", 2, 1, &out), 3);
    EXPECT_EQ(out, Mark(0, 0, 3, 3) + "abc");
    out.clear();
    EXPECT_EQ(lexer.TokeniseChunk("abc def ghi", 4, 1, &out), 4);
    EXPECT_EQ(lexer.TokeniseChunk("", -1, 1, &out), 0);
}

TEST(LexerTest, PlainEscapingStopsAtNulButOffsetsCountTheWholeToken) {
    Lexer plain;
    const std::string input("a\0b<c", 5);
    int consumed = 0;
    EXPECT_EQ(Chunk(plain, input, 0, &consumed),
              Mark(0, 0, 3, 3) + "a&lt;" + Mark(4, 4, 1, 1) + "c");
    EXPECT_EQ(consumed, 5);
    Lexer xml;
    EXPECT_EQ(Chunk(xml, input, 1),
              Mark(0, 0, 3, 3) + std::string("a\0b", 3) + "<" + Mark(4, 4, 1, 1) + "c");
}

std::string Words(size_t bytes) {
    std::string text;
    while (text.size() < bytes) {
        text += "abcd ";
    }
    text.resize(bytes);
    return text;
}

TEST(LexerTest, NonFinalCallBuffersUpTo8192PendingBytes) {
    Lexer lexer;
    std::string out;
    lexer.TokeniseText(Words(8192).c_str(), true, false, 0, &out);
    EXPECT_EQ(out, "");
    EXPECT_EQ(lexer.Pending().size(), 8192u);
    EXPECT_EQ(lexer.ByteOffset(), 0);
}

TEST(LexerTest, NonFinalCallLexesWholeTokensBeyondTheCarryOver) {
    // 9000 pending bytes: at least 4904 are lexed, and the 7-byte word that
    // straddles that limit goes whole.
    const std::string text = Words(4900) + "wxyzabc " + Words(9000 - 4908);
    ASSERT_EQ(text.size(), 9000u);
    Lexer lexer;
    std::string out;
    lexer.TokeniseText(text.c_str(), true, false, 0, &out);
    EXPECT_EQ(lexer.ByteOffset(), 4907);
    EXPECT_EQ(lexer.Pending(), text.substr(4907));
    const std::string last = Mark(4900, 4900, 7, 7) + "wxyzabc";
    ASSERT_GE(out.size(), last.size());
    EXPECT_EQ(out.substr(out.size() - last.size()), last);
}

// Every mark must locate the word that follows it in the input.
void ExpectMarksLocateWords(const std::string& input, const std::string& out) {
    static const std::string open = "<mark name=\"kvoxtk_";
    int marks = 0;
    for (size_t at = out.find(open); at != std::string::npos; at = out.find(open, at + 1)) {
        int c = -1, b = -1, n = -1, l = -1, used = 0;
        ASSERT_EQ(
            std::sscanf(out.c_str() + at + open.size(), "%d_%d_%d_%d\"/>%n", &c, &b, &n, &l, &used),
            4);
        ASSERT_GT(used, 0);
        const size_t after = at + open.size() + static_cast<size_t>(used);
        ASSERT_LE(static_cast<size_t>(b + l), input.size());
        EXPECT_EQ(out.substr(after, static_cast<size_t>(l)),
                  input.substr(static_cast<size_t>(b), static_cast<size_t>(l)));
        ++marks;
    }
    EXPECT_GT(marks, 0);
}

TEST(LexerTest, ChunkedFeedingMatchesOneFinalCall) {
    const char* pieces[] = {"w\xC3\xA9rd ", "<b>",       "x",          "</b>",
                            "\xE2\x80\x83", "\n",        "<!-- c -->", "\xE4\xB8\xAD\xE6\x96\x87 ",
                            "a&b ",         "<v n='1'/>"};
    std::mt19937 random(7);
    std::string input;
    while (input.size() < 50000) {
        input += pieces[random() % (sizeof pieces / sizeof pieces[0])];
    }
    const std::string whole = Tokenise(input, true);

    Lexer lexer;
    std::string chunked, out;
    for (size_t at = 0; at < input.size(); at += 997) {
        lexer.TokeniseText(input.substr(at, 997).c_str(), true, false, 0, &out);
        chunked += out;
        EXPECT_LE(lexer.Pending().size(), 8192u);
    }
    lexer.TokeniseText("", true, true, 0, &out);
    chunked += out;
    EXPECT_EQ(chunked, whole);
    ExpectMarksLocateWords(input, whole);
}

TEST(LexerTest, TotokenKeepsBackTheCarryOver) {
    EXPECT_EQ(Lexer::totoken(nullptr, 100), 0);
    EXPECT_EQ(Lexer::totoken("x", 5000), 904);
    EXPECT_EQ(Lexer::totoken(nullptr, 4096), 0);
    EXPECT_EQ(Lexer::totoken(nullptr, INT_MIN), 0);
    EXPECT_EQ(Lexer::totoken(nullptr, INT_MAX), INT_MAX - 4096);
}

struct InvalidCase {
    const char* name;
    std::string input;
    int validPrefix;
};

class LexerInvalidUtf8Test : public ::testing::TestWithParam<InvalidCase> {};

TEST_P(LexerInvalidUtf8Test, StopsInFrontOfTheFirstBadSequence) {
    Lexer lexer;
    std::string out;
    const int consumed = lexer.TokeniseChunk(GetParam().input, -1, 1, &out);
    EXPECT_EQ(consumed, GetParam().validPrefix);
    EXPECT_EQ(lexer.ByteOffset(), consumed);
    // Asking again makes no progress and returns at once.
    std::string rest = GetParam().input.substr(static_cast<size_t>(consumed));
    EXPECT_EQ(lexer.TokeniseChunk(rest, -1, 1, &out), 0);
}

INSTANTIATE_TEST_SUITE_P(BadBytes, LexerInvalidUtf8Test,
                         ::testing::Values(InvalidCase{"StrayContinuation", "ab \x80 cd", 3},
                                           InvalidCase{"ByteFF", "ab\xFF", 2},
                                           InvalidCase{"Overlong", "a \xC0\x80", 2},
                                           InvalidCase{"Surrogate", "a \xED\xA0\x80", 2},
                                           InvalidCase{"AboveUnicode", "a \xF4\x90\x80\x80", 2},
                                           InvalidCase{"TruncatedAtEnd", "caf\xC3", 3},
                                           InvalidCase{"TruncatedInTag", "<b \xE2\x80>x", 3}),
                         [](const ::testing::TestParamInfo<InvalidCase>& info) {
                             return std::string(info.param.name);
                         });

TEST(LexerTest, InvalidUtf8WordBeforeBadByteIsStillMarked) {
    Lexer lexer;
    EXPECT_EQ(Chunk(lexer, "caf\xC3", 1), Mark(0, 0, 3, 3) + "caf");
}

TEST(LexerTest, FinalTextDropsWhatFollowsInvalidUtf8) {
    Lexer lexer;
    std::string out;
    lexer.TokeniseText("a \xFF b", false, true, 0, &out);
    EXPECT_EQ(out, "<parent>" + Mark(0, 0, 1, 1) + "a </parent>");
    EXPECT_TRUE(lexer.Pending().empty());
    EXPECT_EQ(lexer.ByteOffset(), 0);
}

TEST(LexerTest, NonFinalTextKeepsInvalidInputPending) {
    Lexer lexer;
    std::string out;
    const std::string text = "x\xFF" + Words(9000);
    lexer.TokeniseText(text.c_str(), true, false, 0, &out);
    EXPECT_EQ(out, Mark(0, 0, 1, 1) + "x");
    EXPECT_EQ(lexer.Pending(), text.substr(1));
}

TEST(LexerTest, UnclosedTagsWithManyAttributesDoNotStall) {
    // Patterns 6 and 7 backtrack without bound on these; the lexer must give
    // up on them and still tokenise every byte.
    std::string tag = "<v";
    for (int i = 0; i < 40; ++i) {
        tag += " a" + std::to_string(i) + "='" + std::to_string(i) + "'";
    }
    const std::string open = tag + ">w</v>";
    EXPECT_EQ(Tokenise(open, true),
              tag + ">" +
                  Mark(static_cast<int>(tag.size()) + 1, static_cast<int>(tag.size()) + 1, 1, 1) +
                  "w</v>");
    EXPECT_EQ(Tokenise(tag + "/>", true), tag + "/>");

    std::string many;
    for (int i = 0; i < 200; ++i) {
        many += tag + " x >\n";
    }
    const auto start = std::chrono::steady_clock::now();
    Lexer lexer;
    int consumed = 0;
    Chunk(lexer, many, 1, &consumed);
    EXPECT_EQ(consumed, static_cast<int>(many.size()));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
}

TEST(LexerTest, ProsodyValuesWrapEachWordInASigElement) {
    Lexer lexer;
    lexer.SetSigRate(1.5f);
    lexer.SetSigAmplitude(0.25f);
    EXPECT_EQ(Chunk(lexer, "a b", 1), "<sig rate=\"1.5\" amplitude=\"0.25\">" + Mark(0, 0, 1, 1) +
                                          "a</sig> <sig rate=\"1.5\" amplitude=\"0.25\">" +
                                          Mark(2, 2, 1, 1) + "b</sig>");

    Lexer copy;
    copy.CopyProsodyFrom(lexer);
    copy.SetSigRate(Lexer::kUnset);
    copy.SetSigF0(120.0f);
    copy.SetSigF0Range(-2.0f);
    EXPECT_EQ(Chunk(copy, "<x>", 0), "&lt;x&gt;");
    EXPECT_EQ(Chunk(copy, "a", 0),
              "<sig f0=\"120\" f0range=\"-2\" amplitude=\"0.25\">" + Mark(3, 3, 1, 1) + "a</sig>");
}

TEST(LexerTest, NullArgumentsAreHarmless) {
    Lexer lexer;
    std::string out = "stale";
    lexer.TokeniseText(nullptr, true, true, 0, &out);
    EXPECT_EQ(out, "");
    lexer.TokeniseText("a", true, false, 0, nullptr);
    EXPECT_EQ(lexer.TokeniseChunk("a", -1, 1, nullptr), 0);
}

TEST(LexerTest, DestroyingWithPendingInputIsClean) {
    auto lexer = std::make_unique<Lexer>();
    std::string out;
    lexer->TokeniseText(Words(5000).c_str(), false, false, 0, &out);
    EXPECT_EQ(lexer->Pending().size(), 5000u);
    lexer.reset();
}

}  // namespace
}  // namespace vrelay
