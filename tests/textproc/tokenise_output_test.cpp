// SPDX-License-Identifier: MIT
// Exact output of the tokenising channel for plain text, markup, repairs,
// comments, CDATA, entities, declarations and control characters.
#include <gtest/gtest.h>

#include <string>

#include "tests/textproc/tokenise_support.h"
#include "textproc/tokeniser/tokenise.h"

using tokenise_test::kFinal;
using tokenise_test::mark;
using tokenise_test::RecordingChannel;
using tokenise_test::tokenise_whole;

namespace {

const std::string kDecl = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>";
const std::string kDoctype = "<!DOCTYPE speak SYSTEM \"speak.dtd\">";
const int kPro = static_cast<int>(kDecl.size() + kDoctype.size());

TEST(TokeniseExactOutput, MatchesByteForByte) {
    // clang-format off
    const struct { const char* name; std::string input, expected; } cases[] = {
        {"CommentIsDroppedAndSeparatesWords", "<speak>a<!-- note -->b</speak>",
         "<speak>" + mark(7, 7, 1, 1) + "a" + mark(21, 21, 1, 1) + "b</speak>" + kFinal},
        {"DeclarationsAreDropped", kDecl + kDoctype + "<speak>Hi</speak>",
         "<speak>" + mark(kPro + 7, kPro + 7, 2, 2) + "Hi</speak>" + kFinal},
        {"DoctypeWithInternalSubsetIsDropped",
         "<!DOCTYPE s [<!ENTITY a \"b\"> <?pi x?> %p;]><s>x</s>",
         "<s>" + mark(46, 46, 1, 1) + "x</s>" + kFinal},
        {"CDATAIsCopiedWithoutMarks", "<speak>a <![CDATA[x < y & z]]> b</speak>",
         "<speak>" + mark(7, 7, 1, 1) + "a <![CDATA[x < y & z]]> " + mark(31, 31, 1, 1) +
             "b</speak>" + kFinal},
        {"ForgottenCloseIsRepaired", "<speak><a><b>x</a></speak>",
         "<speak><a><b>" + mark(13, 13, 1, 1) + "x<xmlfixforgotclose/></b></a></speak>" + kFinal},
        {"EndTagWithNothingOpenIsReplaced", "</a>x",
         "<xmlfixnoopen/><parent><xmlfixopen/>" + mark(4, 4, 1, 1) + "x" + kFinal +
             "<xmlfixcloseoffopen/></parent>"},
        {"StrayEndTagClosesLastOpen", "<a><b><c>x</d>y</a>",
         "<a><b><c>" + mark(9, 9, 1, 1) + "x<xmlfixcloselastopen/></c>" + mark(14, 14, 1, 1) +
             "y<xmlfixforgotclose/></b></a>" + kFinal},
        {"BadCloseOfSingleElementIsDropped", "<a>x</b>",
         "<a>" + mark(3, 3, 1, 1) + "x<xmlfixbadclose/>" + kFinal + "<xmlfixcloseoffopen/></a>"},
        {"UnterminatedCommentIsClosedOff", "<p>a<!-- b",
         "<p>" + mark(3, 3, 1, 1) + "a" + kFinal +
             "--><xmlfixclosecomment/><xmlfixcloseoffopen/></p>"},
        {"UnterminatedCDATAIsClosedOff", "<p><![CDATA[x",
         "<p><![CDATA[x" + kFinal + "]]><xmlfixclosecdata/><xmlfixcloseoffopen/></p>"},
        {"EntitiesAndBareAmpersand", "<p>a &amp; &lt; &#65; &#x41; & b</p>",
         "<p>" + mark(3, 3, 1, 1) + "a " + mark(5, 5, 5, 5) + "&amp; " + mark(11, 11, 4, 4) +
             "&lt; " + mark(16, 16, 5, 5) + "&#65; " + mark(22, 22, 6, 6) + "&#x41; " +
             mark(29, 29, 1, 1) + "&amp; " + mark(31, 31, 1, 1) + "b</p>" + kFinal},
        {"EntityInsideWordKeepsOneWord", "<p>AT&amp;T</p>",
         "<p>" + mark(3, 3, 8, 8) + "AT&amp;T</p>" + kFinal},
        {"ControlCharacterBecomesUnderscore",
         std::string("<p>a\x01"
                     "b</p>"),
         "<p>" + mark(3, 3, 3, 3) + "a_b</p>" + kFinal},
        {"HyphenatedCompoundIsOneWord", "<p>well-known</p>",
         "<p>" + mark(3, 3, 10, 10) + "well-known</p>" + kFinal},
        {"MarkupCharactersInTextAreEscaped", "<p>a > b ]]> c</p>",
         "<p>" + mark(3, 3, 1, 1) + "a " + mark(5, 5, 1, 1) + "&gt; " + mark(7, 7, 1, 1) + "b " +
             mark(9, 9, 3, 3) + "]]&gt; " + mark(13, 13, 1, 1) + "c</p>" + kFinal},
        {"UnquotedAttributeTagIsDropped", "<p>x<font size=3>y</p>",
         "<p>" + mark(3, 3, 1, 1) + "x" + mark(17, 17, 1, 1) + "y</p>" + kFinal},
        {"EmptyElementIsCopied", "<p>a<break time=\"1s\"/>b</p>",
         "<p>" + mark(3, 3, 1, 1) + "a<break time=\"1s\"/>" + mark(22, 22, 1, 1) + "b</p>" +
             kFinal},
        {"MultiByteCharactersCountOnce", "<p>na\xC3\xAFve caf\xC3\xA9</p>",
         "<p>" + mark(3, 3, 5, 6) + "na\xC3\xAFve " + mark(9, 10, 4, 5) + "caf\xC3\xA9</p>" +
             kFinal},
        {"DecomposedCharacterIsComposed", "<p>cafe\xCC\x81 x</p>",
         "<p>" + mark(3, 3, 5, 6) + "caf\xC3\xA9 " + mark(9, 10, 1, 1) + "x</p>" + kFinal},
        {"EmptyTextGivesFinalMarkOnly", "", kFinal},
        {"OnlyMarkupHasNoWordMarks", "<a><b/></a>", "<a><b/></a>" + kFinal}};
    // clang-format on
    for (const auto& c : cases)
        EXPECT_EQ(tokenise_whole(c.input), c.expected) << c.name;
}

// Application tags go to their own callback, with the surrounding text closed
// before and reopened after; a bare empty tag is not one; a leading tag comes
// first, with no empty text call before it.
TEST(TokeniseApplicationTags, TagsGoToTheirCallbackBetweenClosedAndReopenedText) {
    using tokenise_test::call;
    const struct { std::string input, trace; } cases[] = {
        {"<s>a<audio src=\"x.wav\" />b</s>",
         call('T', "<s>" + mark(3, 3, 1, 1) + "a</s>") + call('A', "<audio src=\"x.wav\" />") +
             call('T', "<s><audio src=\"x.wav\" />" + mark(25, 25, 1, 1) + "b</s>" + kFinal)},
        {"<s>a<voice/>b</s>",
         call('T', "<s>" + mark(3, 3, 1, 1) + "a<voice/>" + mark(12, 12, 1, 1) + "b</s>" + kFinal)},
        // A leading tag comes first; closing an inner voice applies the outer one again.
        {"<voice name=\"a\">x<voice name=\"b\">y</voice>z</voice>",
         call('A', "<voice name=\"a\">") +
             call('T', "<voice name=\"a\">" + mark(16, 16, 1, 1) + "x</voice>") +
             call('A', "<voice name=\"b\">") +
             call('T', "<voice name=\"a\"><voice name=\"b\">" + mark(33, 33, 1, 1) +
                           "y</voice></voice>") +
             call('A', "</voice>") + call('A', "<voice name=\"a\">") +
             call('T', "<voice name=\"a\">" + mark(42, 42, 1, 1) + "z</voice>") +
             call('A', "</voice>") + call('T', kFinal)},
        // With an application callback set, metadata text is kept and reaches it.
        {"<s>a<metadata>secret</metadata>b</s>",
         call('T', "<s>" + mark(3, 3, 1, 1) + "a</s>") + call('A', "<metadata>") +
             call('T', "<s><metadata>" + mark(14, 14, 6, 6) + "secret</metadata></s>") +
             call('A', "</metadata>") + call('T', "<s>" + mark(31, 31, 1, 1) + "b</s>" + kFinal)},
    };
    for (const auto& c : cases) {
        RecordingChannel ch;
        ch.process(c.input, 1);
        EXPECT_EQ(ch.trace(), c.trace) << c.input;
    }
}

// What a non-final call releases: nothing when empty (not even an empty text
// call), nothing below the context; a word open at
// the limit (here made of several tokens) whole; after an application tag, no
// markup without content.
TEST(TokeniseFlow, NonFinalCallsReleaseWholeWordsAndNoBareMarkup) {
    using tokenise_test::call;
    std::string word;
    for (int i = 0; i < 10; ++i)
        word += "x&amp;";
    const std::string context(4090, ' ');  // puts the limit inside the word
    // pieces: the non-final calls
    // released: the trace after them
    // rest: the final call
    const struct { const char* name; std::vector<std::string> pieces; std::string released;
        std::string rest; } rows[] = {
        {"EmptyCallDoesNothing", {""}, "", ""},
        {"BelowTheContext", {"<speak>Hello world"}, "T0:", "</speak>"},
        {"WordOpenAtTheLimit",
         {"<s>" + word + context},
         "T0:" + call('T', "<s>" + mark(3, 3, 60, 60) + word + context),
         "b</s>"},
        // The second call resumes after the tag and writes only start tags.
        {"MarkupAfterAnApplicationTag",
         {"<s>a <voice name='x'><b> <i>" + context, "      "},
         "T0:" + call('T', "<s>" + mark(3, 3, 1, 1) + "a </s>") + call('A', "<voice name='x'>") +
             "T0:",
         "w</i></b></voice></s>"},
    };
    for (const auto& row : rows) {
        RecordingChannel ch;
        std::string all;
        for (const std::string& piece : row.pieces) {
            ch.process(piece, 0);
            all += piece;
        }
        EXPECT_EQ(ch.trace(), row.released) << row.name;
        // The rest is as if the text had come in one piece.
        ch.process(row.rest, 1);
        RecordingChannel whole;
        whole.process(all + row.rest, 1);
        EXPECT_EQ(ch.text(), whole.text()) << row.name;
    }
}

// Server mode: no marks and no repair, so bad nesting is copied as it is.
TEST(TokeniseFlow, ServerModeCopiesTextWithoutMarksOrRepair) {
    for (const char* text : {"<speak>Hello <x>world</speak>", "a</b>"}) {
        KVTP_tpc* channel = KVTP_tpc_newtype(nullptr, nullptr, 1, "S", 3);
        auto* tk = static_cast<KVTP_tokenise*>(channel->processor);
        KVTP_tokenise_set_server_mode(tk);
        EXPECT_EQ(KVTP_tokenise_marks_enabled(tk), 0);
        EXPECT_STREQ(KVTP_dystr_cstr(KVTP_tokenise_process(tk, text, -1, 1)), text);
        KVTP_tpc_delete(channel);
    }
}

}  // namespace
