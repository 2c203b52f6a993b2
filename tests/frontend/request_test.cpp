// SPDX-License-Identifier: MIT
// What the core makes of a door's request before it reaches the server: the
// prosody asked for, the requests cut from the text and their words mapped
// back, the exit codes and their help line.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "frontend/exit_codes.h"
#include "frontend/prosody.h"
#include "frontend/request_cutter.h"
#include "tests/support/case_table.h"

namespace vrelay {
namespace frontend {
namespace {

Quantity QuantityNamed(const std::string& name) {
    return name == "rate" ? Quantity::kRate : name == "pitch" ? Quantity::kPitch : Quantity::kVolume;
}

// Every form a person may type; past the reach of the voice a value moves to
// the nearer end with a notice, and only what is no form at all is refused.
// A malformed value's message names every form with its reach. (The cases
// are the Python package's too.)
TEST(ProsodyTest, TypedValuesAreReadAndMovedIntoReach) {
    const auto typed = test::ReadCaseTable(VRELAY_FRONTEND_CASES, "typed", 4);
    ASSERT_GT(typed.size(), 20u) << VRELAY_FRONTEND_CASES;
    for (const auto& row : typed) {
        SCOPED_TRACE(row[0] + " " + row[1]);
        std::string value, notice;
        ASSERT_EQ(ReadTypedProsody(QuantityNamed(row[0]), row[1], &value, &notice), !row[2].empty());
        if (!row[2].empty()) {
            EXPECT_EQ(value, row[2]);
            EXPECT_EQ(notice, row[3]);
        }
    }
    for (const auto& row : test::ReadCaseTable(VRELAY_FRONTEND_CASES, "forms", 2)) {
        EXPECT_EQ(ProsodyForms(QuantityNamed(row[0])), row[1]);
    }
}

// Speech Dispatcher's -100..100 and the page's sliders reach the ends of
// what the voice can do, never past them; the tag holds what is asked.
TEST(ProsodyTest, SpeechDispatcherAndSliderScalesStayInReach) {
    // clang-format off
    const struct { ProsodySetting setting; const char* tag; } rows[] = {
        {SpeechDispatcherProsody(0, 0, 0, 0), ""},
        {SpeechDispatcherProsody(-100, -100, 20, -100),
         "<prosody rate=\"46%\" pitch=\"65%\" range=\"+20%\" volume=\"0%\">"},
        {SpeechDispatcherProsody(100, 100, 0, 100),
         "<prosody rate=\"457%\" pitch=\"168%\" volume=\"199%\">"},
        {SpeechDispatcherProsody(50, 0, 0, -30), "<prosody rate=\"214%\" volume=\"70%\">"},
        {SpeechDispatcherProsody(-500, 0, 0, 0), "<prosody rate=\"46%\">"},
        {SliderProsody(100, 0, 100), ""},
        {SliderProsody(25, -90, 200), "<prosody rate=\"46%\" pitch=\"-35%\" volume=\"199%\">"},
        {SliderProsody(150, 20, 50), "<prosody rate=\"150%\" pitch=\"+20%\" volume=\"50%\">"},
    };
    // clang-format on
    for (const auto& row : rows) {
        EXPECT_EQ(ProsodyTag(row.setting), row.tag);
    }
    // A page holds its sliders to what SliderProsody keeps as it is.
    std::string reach;
    for (const Quantity q : {Quantity::kRate, Quantity::kPitch, Quantity::kVolume}) {
        int low = 0, high = 0;
        SliderReach(q, &low, &high);
        reach += std::to_string(low) + ".." + std::to_string(high) + " ";
    }
    EXPECT_EQ(reach, "46..457 -35..68 0..199 ");
    EXPECT_EQ(ProsodyTag(SliderProsody(457, -35, 199)),
              "<prosody rate=\"457%\" pitch=\"-35%\" volume=\"199%\">");
}

// A whole text as one request: escaped when plain, in the prosody typed,
// which goes inside a <speak> root; elements left open are closed. (The
// cases are the Python package's too.)
TEST(RequestCutterTest, WrapsAWholeTextInItsProsody) {
    const auto rows = test::ReadCaseTable(VRELAY_FRONTEND_CASES, "submit", 6);
    ASSERT_FALSE(rows.empty()) << VRELAY_FRONTEND_CASES;
    for (const auto& row : rows) {
        SCOPED_TRACE(row[4]);
        RequestCutter::Options options;
        options.markup = row[0] == "markup";
        std::string notice;
        for (const auto& [quantity, typed, value] :
             {std::make_tuple(Quantity::kRate, row[1], &options.prosody.rate),
              std::make_tuple(Quantity::kPitch, row[2], &options.prosody.pitch),
              std::make_tuple(Quantity::kVolume, row[3], &options.prosody.volume)}) {
            ASSERT_TRUE(typed.empty() || ReadTypedProsody(quantity, typed, value, &notice));
        }
        RequestCutter cutter(options);
        cutter.Add(row[4]);
        cutter.Finish();
        Request request;
        ASSERT_TRUE(cutter.Next(&request));
        EXPECT_EQ(request.Submit(), row[5]);
        EXPECT_FALSE(cutter.Next(&request));
    }
}

// Requests end after a sentence or a blank within their size, plain text
// escaped; markup is cut between constructs with the open elements closed
// and reopened, and the prosody (and spelling) goes inside a <speak> root.
// Text that comes in pieces waits for a cut construct, and a line ended goes
// out at once.
TEST(RequestCutterTest, CutsTextIntoRequestsWithTheirMarkup) {
    const auto setting = [](const char* rate, const char* volume) {
        ProsodySetting s;
        s.rate = rate;
        s.volume = volume;
        return s;
    };
    // pieces: "|" ends a line
    // requests: each in [], "|" where the pieces so far gave out
    const struct { const char* name; bool markup; ProsodySetting prosody; size_t bytes;
        std::vector<std::string> pieces; std::string requests; bool spell = false; } rows[] = {
        {"plain, escaped, after a sentence", false, setting("150%", ""), 40,
         {"It is a<b. Then c>d and more words follow here."},
         "[<prosody rate=\"150%\">It is a&lt;b. </prosody>][<prosody rate=\"150%\">Then c&gt;d "
         "and </prosody>][<prosody rate=\"150%\">more words follow </prosody>]|"
         "[<prosody rate=\"150%\">here.</prosody>]"},
        {"one word longer than a request", false, {}, 16, {"abcdefghijklmnopqrstuvwxyz"},
         "[abcdefghijklmnop]|[qrstuvwxyz]"},
        {"elements closed and reopened", true, {}, 30,
         {"<s>One two three four five six</s> <emphasis>seven eight</emphasis>"},
         "[<s>One two three four five </s>][<s>six</s> ]|[<emphasis>seven eight</emphasis>]"},
        {"prosody inside the speak root", true, setting("", "50%"), 40,
         {"<?xml version='1.0'?>\n<speak><p>Hello there. More words here to cut.</p></speak>\n"},
         "[<speak><prosody volume=\"50%\"><p>Hello there. </p></prosody></speak>]"
         "[<speak><prosody volume=\"50%\"><p>More words here to </p></prosody></speak>]|"
         "[<speak><prosody volume=\"50%\"><p>cut.</p></prosody></speak>\n]"},
        {"spelled inside the prosody, inside the speak root", true, setting("150%", ""), 4000,
         {"<speak>ab <mark name='m'/>cd</speak>"},
         "|[<speak><prosody rate=\"150%\"><say-as interpret-as=\"characters\">ab <mark "
         "name='m'/>cd</say-as></prosody></speak>]",
         true},
        {"lines go out as they end", false, {}, 4000,
         {"first line\n", "|", "second", " line\n", "|", "third"},
         "|[first line\n]|||[second line\n]||[third]"},
        {"a tag cut between pieces waits", true, {}, 4000,
         {"<prosody rate", "='slow'>a b</prosody>"}, "||[<prosody rate='slow'>a b</prosody>]"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        RequestCutter cutter({row.markup, row.prosody, row.bytes, row.spell});
        std::string requests;
        Request request;
        const auto take = [&] {
            while (cutter.Next(&request)) {
                requests += "[" + request.Submit() + "]";
            }
        };
        for (const std::string& piece : row.pieces) {
            piece == "|" ? cutter.EndOfLine() : cutter.Add(piece);
            take();
            requests += "|";
        }
        cutter.Finish();
        take();
        EXPECT_EQ(requests, row.requests);
        EXPECT_TRUE(cutter.SawWords());
    }
}

// A word's mark comes back as its place in the whole text in bytes,
// characters and UTF-16 units, and as written; speaking from a word reopens
// the elements open there.
TEST(RequestCutterTest, MapsWordsBackToTheUsersText) {
    RequestCutter plain({false, {}, 26});
    plain.Add("caf\xC3\xA9 \xF0\x9F\x98\x80 a<b x<y ");
    plain.Add("z\xC3\xA9 end");
    plain.Finish();
    Request first, second;
    ASSERT_TRUE(plain.Next(&first));
    ASSERT_TRUE(plain.Next(&second));
    EXPECT_EQ(second.Submit(), "z\xC3\xA9 end");
    SourceRange word;
    const size_t at = first.Submit().find("x&lt;y");
    ASSERT_TRUE(first.Word(static_cast<int64_t>(at), 6, &word));
    EXPECT_EQ(word.written, "x<y");
    EXPECT_EQ(word.begin.byte, 15);
    EXPECT_EQ(word.begin.character, 11);
    EXPECT_EQ(word.begin.utf16, 12);  // the emoji takes two units
    ASSERT_TRUE(second.Word(0, 3, &word));
    EXPECT_EQ(word.begin.byte, 19);
    EXPECT_EQ(word.end.utf16, 18);
    EXPECT_FALSE(second.Word(4, 9, &word));

    // Looked up in any order, a place is the same.
    TextPositions places("a\xF0\x9F\x98\x80" "b c");
    EXPECT_EQ(places.At(5).utf16, 3);
    EXPECT_EQ(places.At(7).character, 4);
    EXPECT_EQ(places.At(1).utf16, 1);
    EXPECT_EQ(places.At(99).utf16, 6);  // past the end: the end

    // The page names where to start in UTF-16 units: "a😀b" has b at 3.
    EXPECT_EQ(ByteOfUtf16("a\xF0\x9F\x98\x80" "b", 3), 5);
    EXPECT_EQ(ByteOfUtf16("a\xF0\x9F\x98\x80" "b", 2), -1);  // inside the emoji
    EXPECT_EQ(ByteOfUtf16("a\xF0\x9F\x98\x80" "b", 4), 6);
    EXPECT_EQ(ByteOfUtf16("ab", 3), -1);
    RequestCutter markup({true, {}, 4000});
    markup.Add("<s>one two</s><p>three <b>f&amp;our</b></p>");
    markup.StartAt(24);
    markup.Finish();
    ASSERT_TRUE(markup.Next(&first));
    EXPECT_EQ(first.Submit(), "<p><b>f&amp;our</b></p>");
    ASSERT_TRUE(first.Word(6, 9, &word));
    EXPECT_EQ(word.written, "f&our");
    EXPECT_EQ(word.begin.byte, 26);
}

TEST(ExitCodesTest, HelpLineComesFromTheTable) {
    EXPECT_EQ(ExitCodeHelp({kExitOk, kExitSpeechFailed, kExitUsage, kExitNoServer,
                            kExitUnknownVoice, kExitInput, kExitOutput, kExitNoSound}),
              "Exit codes: 0 done, 1 the speech failed partway, 2 bad usage,\n"
              "3 no speech server, 4 unknown voice, 5 cannot read the input,\n"
              "6 cannot write the output, 7 no sound server to play through.\n");
    EXPECT_STREQ(ExitCodeName(kExitNoServer), "no_server");
    EXPECT_STREQ(ExitCodeMeaning(99), "");
}

}  // namespace
}  // namespace frontend
}  // namespace vrelay
