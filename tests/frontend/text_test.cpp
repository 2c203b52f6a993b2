// SPDX-License-Identifier: MIT
#include "frontend/submitted_text.h"

#include <gtest/gtest.h>

#include <vector>

#include "frontend/input_cleaner.h"
#include "frontend/voice_choice.h"
#include "tests/support/case_table.h"

namespace vrelay {
namespace frontend {
namespace {

// The cleaned text of input given in two pieces, cut at cut.
std::string CleanInTwo(InputCleaner* cleaner, const std::string& input, size_t cut) {
    std::string text = cleaner->Clean(input.substr(0, cut), false);
    return text + cleaner->Clean(input.substr(cut), true);
}

// The user's words come back from offsets into the submitted text, however
// escaping and added markup moved them.
TEST(SubmittedTextTest, MapsSubmittedRangesBackToTheUsersText) {
    // pieces: "~": markup the tool adds
    // user: the submitted word maps to user
    const struct { const char* name; bool escape; std::vector<std::string> pieces;
        std::string submitted, word, user; } rows[] = {
        {"escaped word", true, {"If a<b and c>d"}, "If a&lt;b and c&gt;d", "c&gt;d", "c>d"},
        {"ampersand", true, {"R&D now"}, "R&amp;D now", "now", "now"},
        {"markup is not escaped", false, {"a&lt;b c"}, "a&lt;b c", "c", "c"},
        {"added markup before and between",
         true,
         {"~<prosody rate=\"slow\">", "one <two> ", "three", "~</prosody>"},
         "<prosody rate=\"slow\">one &lt;two&gt; three</prosody>",
         "three",
         "three"},
        {"range ending inside an entity takes the whole character",
         true,
         {"x<y"},
         "x&lt;y",
         "x&l",
         "x<"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        SubmittedText text(row.escape);
        std::string submitted;
        for (const std::string& piece : row.pieces) {
            submitted +=
                piece[0] == '~' ? text.AppendMarkup(piece.substr(1)) : text.AppendUser(piece);
        }
        EXPECT_EQ(submitted, row.submitted);
        const size_t at = submitted.find(row.word);
        ASSERT_NE(at, std::string::npos);
        EXPECT_EQ(text.UserText(static_cast<int64_t>(at), static_cast<int64_t>(row.word.size())),
                  row.user);
    }
}

// --list-voices LANG: a language's name, or a tag that begins one of the
// voice's languages, whole parts and without regard to case.
TEST(VoiceChoiceTest, VoicesSpeakTheirLanguagesWithTheirRegions) {
    // Name, language, ISO code, country, language with region, languages.
    const VoiceEntry scottish = {"English (Scotland)", "English", "en", "GB", "en-gb-scotland",
                                 "en-gb-scotland:5 en:4", "", 0};
    const VoiceEntry mandarin = {"Chinese (Mandarin)", "Chinese", "cmn", "", "cmn",
                                 "cmn:5 zh-cmn:5 zh:5", "", 0};
    const VoiceEntry older = {"French (Belgium)", "French", "fr", "BE", "", "", "", 0};  // no tags
    // clang-format off
    const struct { const VoiceEntry* voice; const char* language; bool speaks; } rows[] = {
        {&scottish, "en", true},          {&scottish, "en-GB", true},
        {&scottish, "en_gb_Scotland", true}, {&scottish, "english", true},
        {&scottish, "en-us", false},      {&scottish, "e", false},
        {&scottish, "eng", false},        {&scottish, "", false},
        {&mandarin, "zh", true},          {&mandarin, "zh-cmn", true},
        {&mandarin, "zh-yue", false},     {&mandarin, "chinese", true},
        {&older, "fr-be", true},          {&older, "fr", true}, {&older, "fr-fr", false},
    };
    // clang-format on
    for (const auto& row : rows) {
        EXPECT_EQ(SpeaksLanguage(*row.voice, row.language), row.speaks)
            << row.voice->name << " " << row.language;
    }
    EXPECT_EQ(scottish.Tag() + " " + older.Tag(), "en-gb-scotland fr-BE");
}

// The input may arrive cut anywhere: a mark, a character, an entity or a tag
// cut in two comes out as if whole, with the same notices. What a browser
// does not show is blanked byte for byte, so offsets stay those of the
// input. (The cases are the Python package's too.)
TEST(InputCleanerTest, SameTextWhereverTheInputIsCut) {
    const auto rows = test::ReadCaseTable(VRELAY_FRONTEND_CASES, "clean", 3);
    ASSERT_FALSE(rows.empty()) << VRELAY_FRONTEND_CASES;
    for (const auto& row : rows) {
        SCOPED_TRACE(row[1]);
        const std::string& input = row[1];
        const std::vector<std::string> notices(row.begin() + 3, row.end());
        for (size_t cut = 0; cut <= input.size(); ++cut) {
            InputCleaner cleaner(row[0] == "markup");
            EXPECT_EQ(CleanInTwo(&cleaner, input, cut), row[2]) << "cut at " << cut;
            EXPECT_EQ(cleaner.TakeNotices(), notices) << "cut at " << cut;
        }
    }
}

// Offsets of the cleaned text lead back to the input's bytes across what
// changed their count, and back again; only UTF-8 without NUL is text as a
// door that takes nothing else wants it.
TEST(InputCleanerTest, OffsetsLeadBackToTheInput) {
    // word: found in both
    const struct { bool markup; std::string input; std::string word; } rows[] = {
        {false, "\xEF\xBB\xBF" "a\xE9" "b c\xC2\xA0 word", "word"},  // mark dropped, Latin-1 grown
        {false, std::string("x\0y word", 8), "word"},                 // NUL dropped
        {true, "<voice gender=\"female\">a</voice> <b>word</b>", "word"},  // a name added
        {true, "<!DOCTYPE html><p>a&nbsp;word</p>", "word"},         // blanked, same length
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.input);
        for (size_t cut = 0; cut <= row.input.size(); ++cut) {
            InputCleaner cleaner(row.markup);
            const std::string text = CleanInTwo(&cleaner, row.input, cut);
            const int64_t cleaned = static_cast<int64_t>(text.rfind(row.word));
            const int64_t input = static_cast<int64_t>(row.input.rfind(row.word));
            EXPECT_EQ(cleaner.InputOffset(cleaned), input) << "cut at " << cut;
            EXPECT_EQ(cleaner.CleanedOffset(input), cleaned) << "cut at " << cut;
            EXPECT_EQ(cleaner.InputOffset(static_cast<int64_t>(text.size())),
                      static_cast<int64_t>(row.input.size()));
        }
    }
    std::string problem;
    // The first and last character of each lead byte's range, then what lies
    // just outside them: overlong forms, surrogates, beyond U+10FFFF.
    EXPECT_TRUE(IsUtf8Text("caf\xC3\xA9 \xF0\x9F\x98\x80"
                           "\xC2\x80\xDF\xBF\xE0\xA0\x80\xED\x9F\xBF\xEE\x80\x80\xEF\xBF\xBF"
                           "\xF0\x90\x80\x80\xF4\x8F\xBF\xBF",
                           &problem));
    for (const char* outside : {"\xC1\xBF", "\xE0\x9F\xBF", "\xED\xA0\x80", "\xF0\x8F\xBF\xBF",
                                "\xF4\x90\x80\x80", "\xF5\x80\x80\x80"})
        EXPECT_FALSE(IsUtf8Text(outside, &problem)) << problem;
    EXPECT_FALSE(IsUtf8Text("ab\xFF", &problem));
    EXPECT_EQ(problem, "the text is not UTF-8 (byte 0xFF at offset 2)");
    EXPECT_FALSE(IsUtf8Text(std::string("a\0b", 3), &problem));
    EXPECT_EQ(problem, "the text holds a NUL character at offset 1");
}

}  // namespace
}  // namespace frontend
}  // namespace vrelay
