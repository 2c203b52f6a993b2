#include "tools/submitted_text.h"

#include <gtest/gtest.h>

#include <vector>

#include "tools/input_cleaner.h"
#include "tools/voice_choice.h"

namespace vrelay {
namespace tools {
namespace {

// The user's words come back from offsets into the submitted text, however
// escaping and added markup moved them.
TEST(SubmittedTextTest, MapsSubmittedRangesBackToTheUsersText) {
    const struct {
        const char* name;
        bool escape;
        std::vector<std::string> pieces;    // "~": markup the tool adds
        std::string submitted, word, user;  // the submitted word maps to user
    } rows[] = {
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

// Forgetting keeps memory to the words not yet spoken, and later offsets
// still map.
TEST(SubmittedTextTest, ForgetsWhatWasSpoken) {
    SubmittedText text(true);
    std::string submitted;
    for (int i = 0; i < 5000; ++i) {
        submitted += text.AppendUser("w<" + std::to_string(i) + " ");
    }
    const size_t last = submitted.rfind("w&lt;4999");
    text.Forget(static_cast<int64_t>(submitted.rfind("w&lt;4000")));
    EXPECT_EQ(text.UserText(static_cast<int64_t>(last), 9), "w<4999");
    EXPECT_EQ(text.UserText(0, 5), "");  // forgotten
    EXPECT_EQ(text.UserText(static_cast<int64_t>(submitted.size()), 1), "");
}

// Requests are cut where speech pauses anyway, within the submitted budget.
TEST(SubmittedTextTest, FitsRequestsToABudget) {
    const struct {
        const char* text;
        size_t budget;
        const char* fitted;
    } rows[] = {
        {"One. Two three", 12, "One. "},    // a sentence end before a later blank
        {"one two three", 10, "one two "},  // else a blank
        {"a<b c", 7, "a<b "},               // escaped: "a&lt;b " is 7 bytes
        {"a<b c", 4, "a"},                  // the entity does not fit: cut before it
        {"abcdefgh", 4, "abcd"},            // one long word
        {"aa\xC3\xA9", 3, "aa"},            // never inside a character
        {"all of it", 100, "all of it"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text);
        const SubmittedText text(true);
        const std::string input = row.text;
        EXPECT_EQ(input.substr(0, text.Fit(input, 0, row.budget)), row.fitted);
    }
}

TEST(VoiceChoiceTest, FindsVoicesByNameOrLanguage) {
    const std::vector<VoiceEntry> voices = {
        {"French (Belgium)", "French", "fr", "BE", "male", 22050},
        {"French (France)", "French", "fr", "FR", "male", 22050},
        {"German", "German", "de", "", "male", 22050},
        {"English (America)", "English", "en", "US", "male", 22050},
        {"English (Great Britain)", "English", "en", "GB", "male", 22050},
        {"+f3", "variant", "", "", "female", 22050},
    };
    // Wanted, chosen ("": none). The home country among several, else the
    // first listed; with no voice for the country, the language's.
    const std::pair<const char*, const char*> rows[] = {{"fr", "French (France)"},
                                                        {"en", "English (America)"},
                                                        {"french", "French (France)"},
                                                        {"french (belgium)", "French (Belgium)"},
                                                        {"FR-be", "French (Belgium)"},
                                                        {"fr_be", "French (Belgium)"},
                                                        {"de", "German"},
                                                        {"en-GB", "English (Great Britain)"},
                                                        {"de-DE", "German"},
                                                        {"klingon", ""},
                                                        {"", ""},
                                                        // A variant is no voice of its own.
                                                        {"variant", ""},
                                                        {"en+f3", "English (America)+f3"},
                                                        {"fr-be+female", "French (Belgium)+female"},
                                                        {"+f3", "+f3"},
                                                        {"klingon+f3", ""}};
    for (const auto& row : rows) {
        EXPECT_EQ(ChooseVoiceName(voices, row.first), row.second) << row.first;
    }
}

// The input may arrive cut anywhere: a mark, a character or a tag cut in two
// comes out as if whole.
TEST(InputCleanerTest, SameTextWhereverTheInputIsCut) {
    const struct {
        bool markup;
        const char* input;
        const char* text;
    } rows[] = {
        {false,
         "\xEF\xBB\xBF"
         "caf\xC3\xA9 \xE9t\xE9",
         "caf\xC3\xA9 \xC3\xA9t\xC3\xA9"},
        {true,
         "<p>a<SCRIPT type='x'>b</script >c<style/>d<voice gender=\"female\" age=\"70\">e"
         "</voice></p>",
         "<p>acd<voice name=\"+female+70\" gender=\"female\" age=\"70\">e</voice></p>"},
    };
    for (const auto& row : rows) {
        const std::string input = row.input;
        for (size_t cut = 0; cut <= input.size(); ++cut) {
            InputCleaner cleaner(row.markup);
            std::string text = cleaner.Clean(input.substr(0, cut), false);
            text += cleaner.Clean(input.substr(cut), true);
            EXPECT_EQ(text, row.text) << "cut at " << cut;
        }
    }
}

}  // namespace
}  // namespace tools
}  // namespace vrelay
