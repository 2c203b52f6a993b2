// SPDX-License-Identifier: MIT
#include "frontend/submitted_text.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>
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

// The cases are shared with the Python package's tests, so that both keep
// one rule.
TEST(VoiceChoiceTest, FindsVoicesByNameOrLanguage) {
    std::ifstream table(VRELAY_VOICE_CHOICE_CASES);
    ASSERT_TRUE(table) << VRELAY_VOICE_CHOICE_CASES;
    std::vector<VoiceEntry> voices;
    std::vector<std::vector<std::string>> cases;
    for (std::string line; std::getline(table, line);) {
        std::vector<std::string> fields;
        std::istringstream split(line);
        for (std::string field; std::getline(split, field, '\t');) {
            fields.push_back(field);
        }
        fields.resize(6);
        if (fields[0] == "voice") {
            voices.push_back({fields[1], fields[2], fields[3], fields[4], "male", 22050});
        } else if (fields[0] == "choose") {
            cases.push_back(fields);
        }
    }
    ASSERT_FALSE(cases.empty());
    for (const auto& row : cases) {
        EXPECT_EQ(ChooseVoiceName(voices, row[1]), row[2]) << row[1];
    }
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
