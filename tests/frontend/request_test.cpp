// SPDX-License-Identifier: MIT
// What the core makes of a door's request before it reaches the server: the
// prosody asked for, the requests cut from the text and their words mapped
// back, the exit codes and their help line.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "frontend/exit_codes.h"
#include "frontend/prosody.h"
#include "frontend/request_cutter.h"

namespace vrelay {
namespace frontend {
namespace {

// Every form a person may type; past the reach of the voice a value moves to
// the nearer end with a notice, and only what is no form at all is refused.
TEST(ProsodyTest, TypedValuesAreReadAndMovedIntoReach) {
    const struct {
        Quantity quantity;
        const char* typed;
        const char* value;  // null: refused
        const char* notice;
    } rows[] = {
        {Quantity::kRate, "150WPM", "150wpm", ""},
        {Quantity::kRate, "x-slow", "x-slow", ""},
        {Quantity::kRate, "+20%", "+20%", ""},
        {Quantity::kRate, "1.5", "150%", ""},  // a multiple of the voice's rate
        {Quantity::kRate, "40%", "45.71%", "40% is out of reach (45.71% to 457.14%): 45.71% is used"},
        {Quantity::kRate, "+500%", "+357.14%",
         "+500% is out of reach (-54.29% to +357.14%): +357.14% is used"},
        {Quantity::kRate, "900wpm", "800wpm", "900wpm is out of reach (80wpm to 800wpm): 800wpm is used"},
        {Quantity::kPitch, "250Hz", "250Hz", ""},  // the voice's own reach: the server's to know
        {Quantity::kPitch, "-2st", "-2st", ""},
        {Quantity::kPitch, "+24st", "+8.98st", "+24st is out of reach (-7.46st to +8.98st): +8.98st is used"},
        {Quantity::kPitch, "200%", "168%", "200% is out of reach (65% to 168%): 168% is used"},
        {Quantity::kPitch, "+30Hz", "+30Hz", ""},
        {Quantity::kVolume, "+12dB", "+6dB", "+12dB is out of reach (-60dB to +6dB): +6dB is used"},
        {Quantity::kVolume, "6dB", "6dB", ""},
        {Quantity::kVolume, "50", "50%", ""},
        {Quantity::kVolume, "-50%", "-50%", ""},
        {Quantity::kVolume, "silent", "silent", ""},
        {Quantity::kRate, "banana", nullptr, ""},
        {Quantity::kRate, "1\"/>", nullptr, ""},
        {Quantity::kRate, "20Hz", nullptr, ""},
        {Quantity::kRate, "-5wpm", nullptr, ""},  // words a minute have no sign
        {Quantity::kPitch, "2st", nullptr, ""},   // semitones only as a change
        {Quantity::kVolume, "inf%", nullptr, ""},
        {Quantity::kVolume, "x-slow", nullptr, ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.typed);
        std::string value, notice;
        ASSERT_EQ(ReadTypedProsody(row.quantity, row.typed, &value, &notice), row.value != nullptr);
        if (row.value != nullptr) {
            EXPECT_EQ(value, row.value);
            EXPECT_EQ(notice, row.notice);
        }
    }
    // A malformed value's message names every form with its reach.
    EXPECT_EQ(ProsodyForms(Quantity::kRate),
              "x-slow ... x-fast, N% (45.71% to 457.14%), +N%, -N% or Nwpm (80wpm to 800wpm)");
}

// Speech Dispatcher's -100..100 and the page's sliders reach the ends of
// what the voice can do, never past them; the tag holds what is asked.
TEST(ProsodyTest, SpeechDispatcherAndSliderScalesStayInReach) {
    const struct {
        ProsodySetting setting;
        const char* tag;
    } rows[] = {
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
    for (const auto& row : rows) {
        EXPECT_EQ(ProsodyTag(row.setting), row.tag);
    }
}

// Requests end after a sentence or a blank within their size, plain text
// escaped; markup is cut between constructs with the open elements closed
// and reopened, and the prosody goes inside a <speak> root. Text that comes
// in pieces waits for a cut construct, and a line ended goes out at once.
TEST(RequestCutterTest, CutsTextIntoRequestsWithTheirMarkup) {
    const auto setting = [](const char* rate, const char* volume) {
        ProsodySetting s;
        s.rate = rate;
        s.volume = volume;
        return s;
    };
    const struct {
        const char* name;
        bool markup;
        ProsodySetting prosody;
        size_t bytes;
        std::vector<std::string> pieces;  // "|" ends a line
        std::string requests;             // each in [], "|" where the pieces so far gave out
    } rows[] = {
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
        {"lines go out as they end", false, {}, 4000,
         {"first line\n", "|", "second", " line\n", "|", "third"},
         "|[first line\n]|||[second line\n]||[third]"},
        {"a tag cut between pieces waits", true, {}, 4000,
         {"<prosody rate", "='slow'>a b</prosody>"}, "||[<prosody rate='slow'>a b</prosody>]"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        RequestCutter cutter({row.markup, row.prosody, row.bytes});
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
