// SPDX-License-Identifier: MIT
#include "frontend/submitted_text.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "frontend/input_cleaner.h"
#include "frontend/voice_choice.h"

namespace vrelay {
namespace frontend {
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

// --list-voices LANG: a language's name, or a tag that begins one of the
// voice's languages, whole parts and without regard to case.
TEST(VoiceChoiceTest, VoicesSpeakTheirLanguagesWithTheirRegions) {
    const auto voice = [](const char* name, const char* language, const char* iso,
                          const char* country, const char* id, const char* languages) {
        VoiceEntry entry;
        entry.name = name;
        entry.language = language;
        entry.iso = iso;
        entry.country = country;
        entry.languageId = id;
        entry.languages = languages;
        return entry;
    };
    const VoiceEntry scottish = voice("English (Scotland)", "English", "en", "GB",
                                      "en-gb-scotland", "en-gb-scotland:5 en:4");
    const VoiceEntry mandarin =
        voice("Chinese (Mandarin)", "Chinese", "cmn", "", "cmn", "cmn:5 zh-cmn:5 zh:5");
    const VoiceEntry older = voice("French (Belgium)", "French", "fr", "BE", "", "");  // no tags
    const struct {
        const VoiceEntry* voice;
        const char* language;
        bool speaks;
    } rows[] = {
        {&scottish, "en", true},          {&scottish, "en-GB", true},
        {&scottish, "en_gb_Scotland", true}, {&scottish, "english", true},
        {&scottish, "en-us", false},      {&scottish, "e", false},
        {&scottish, "eng", false},        {&scottish, "", false},
        {&mandarin, "zh", true},          {&mandarin, "zh-cmn", true},
        {&mandarin, "zh-yue", false},     {&mandarin, "chinese", true},
        {&older, "fr-be", true},          {&older, "fr", true},
        {&older, "fr-fr", false},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(SpeaksLanguage(*row.voice, row.language), row.speaks)
            << row.voice->name << " " << row.language;
    }
    EXPECT_EQ(scottish.Tag() + " " + older.Tag(), "en-gb-scotland fr-BE");
}

// The input may arrive cut anywhere: a mark, a character, an entity or a tag
// cut in two comes out as if whole. What a browser does not show is blanked
// byte for byte, so offsets stay those of the input.
TEST(InputCleanerTest, SameTextWhereverTheInputIsCut) {
    const auto blanks = [](const char* what) { return std::string(std::strlen(what), ' '); };
    const struct {
        bool markup;
        std::string input;
        std::string text;
    } rows[] = {
        {false,
         "\xEF\xBB\xBF"
         "caf\xC3\xA9 \xE9t\xE9 a\xC2\xA0"
         "b &nbsp;",
         "caf\xC3\xA9 \xC3\xA9t\xC3\xA9 a  b &nbsp;"},
        {true,
         "<p>a<SCRIPT type='x'>b</script >c<style/>d<voice gender=\"female\" age=\"70\">e"
         "</voice></p>",
         "<p>a" + blanks("<SCRIPT type='x'>b</script >") + "c" + blanks("<style/>") +
             "d<voice name=\"+female+70\" gender=\"female\" age=\"70\">e</voice></p>"},
        {true, "<!DOCTYPE html><!-- a <b> --><p>a&nbsp;b&#160;c &amp; &eacute;</p>",
         blanks("<!DOCTYPE html><!-- a <b> -->") + "<p>a      b      c &amp; &eacute;</p>"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.input);
        for (size_t cut = 0; cut <= row.input.size(); ++cut) {
            InputCleaner cleaner(row.markup);
            std::string text = cleaner.Clean(row.input.substr(0, cut), false);
            text += cleaner.Clean(row.input.substr(cut), true);
            EXPECT_EQ(text, row.text) << "cut at " << cut;
        }
    }
}

}  // namespace
}  // namespace frontend
}  // namespace vrelay
