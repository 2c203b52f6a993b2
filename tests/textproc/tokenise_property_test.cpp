// SPDX-License-Identifier: MIT
// Properties over a corpus of generated texts: the output does not depend on
// how the text is split into calls, every mark names a word of the submitted
// text, and the fast paths (hand-written token scanners included) give what the
// compiled patterns give.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "tests/textproc/tokenise_support.h"
#include "textproc/tokeniser/tokenise.h"
#include "textproc/tokeniser/tokenise_lexer.h"

using tokenise_test::chars_in;
using tokenise_test::Mark;
using tokenise_test::RecordingChannel;

namespace {

// A text of words, markup, entities, comments, CDATA, application tags and
// multi-byte characters; fragments are chosen so that no token comes near the
// context size and content keeps appearing between application tags.
std::string make_text(std::mt19937& rng, size_t target) {
    // clang-format off
    static const char* const kWords[] = {
        "Hello", "world", "speech", "well-known", "e-mail", "caf\xC3\xA9", "na\xC3\xAFve",
        "\xE4\xB8\xAD\xE6\x96\x87", "\xF0\x9F\x98\x80", "cafe\xCC\x81", "AT&amp;T", "x&lt;y",
        "1984", "3.14", "U.S.A.", "don't", "]]>", "-->", "a>b", "a]b", "&#65;", "x&y",
        "ctl\x01" "char", "\xC2\xA0nbsp", "tab\there"};
    static const char* const kMarkup[] = {
        "<p>", "</p>", "<s>", "</s>", "<emphasis level=\"strong\">", "</emphasis>",
        "<break time='1s'/>", "<break/>", "<!-- a comment -->", "<![CDATA[raw < & text]]>",
        "<voice name=\"v1\">", "</voice>", "<audio src=\"a.wav\" />", "<metadata>m</metadata>",
        "<font size=3>", "</b>", "<?pi data?>", "\n", "  ", "\r\n", "<a\nb='c'>", "</a >"};
    // clang-format on
    std::uniform_int_distribution<int> pick(0, 99);
    std::string s = pick(rng) < 50 ? "<speak>" : "";
    while (s.size() < target) {
        int r = pick(rng);
        if (r < 55) {
            s += kWords[static_cast<size_t>(pick(rng)) % (sizeof kWords / sizeof *kWords)];
            s += ' ';
        } else if (r < 85) {
            s += kMarkup[static_cast<size_t>(pick(rng)) % (sizeof kMarkup / sizeof *kMarkup)];
        } else {
            s += ". ";
        }
    }
    if (pick(rng) < 50)
        s += "</speak>";
    return s;
}

std::vector<std::string> corpus() {
    std::mt19937 rng(20261205);
    std::vector<std::string> texts = {
        "",
        "Hello",
        "<speak>Hello world</speak>",
        "plain words only, with punctuation!",
        "<speak>Hi <voice name=\"v\">there</voice></speak>",
    };
    for (size_t size : {50u, 300u, 4000u, 5000u, 9000u, 20000u}) {
        for (int k = 0; k < 3; ++k)
            texts.push_back(make_text(rng, size));
    }
    return texts;
}

std::string run(const std::string& text, size_t step) {
    RecordingChannel ch;
    ch.process_split(text, step);
    return ch.text();
}

// Every mark names a run of characters of the input: its byte range lies in
// the input, holds N characters, starts after C characters, and plain ASCII
// words follow their mark unchanged.
void expect_marks_name_words(const std::string& input, const std::string& out) {
    static const std::string kPrefix = "<mark name=\"kvtk_";
    size_t at = 0;
    for (const Mark& m : tokenise_test::marks_of(out)) {
        ASSERT_GE(m.bytes_at, 0);
        ASSERT_LE(static_cast<size_t>(m.bytes_at + m.bytes), input.size());
        EXPECT_EQ(chars_in(input.data(), 0, static_cast<size_t>(m.bytes_at)), m.chars_at);
        EXPECT_EQ(chars_in(input.data(), static_cast<size_t>(m.bytes_at),
                           static_cast<size_t>(m.bytes_at + m.bytes)),
                  m.chars);
        std::string word =
            input.substr(static_cast<size_t>(m.bytes_at), static_cast<size_t>(m.bytes));
        at = out.find(kPrefix, at);
        ASSERT_NE(at, std::string::npos);
        size_t text_at = out.find("/>", at) + 2;
        const bool plain = std::all_of(word.begin(), word.end(), [](char c) {
            return c >= 0x20 && c < 0x7F && c != '<' && c != '>' && c != '&';
        });
        if (plain) {
            EXPECT_EQ(out.compare(text_at, word.size(), word), 0) << word;
        }
        at = text_at;
    }
}

TEST(TokeniseProperty, OutputDoesNotDependOnHowTheTextIsSplit) {
    for (const std::string& text : corpus()) {
        const std::string whole = run(text, 0);
        expect_marks_name_words(text, whole);
        const std::string reference = tokenise_test::without_marks(whole);
        for (size_t step : {1u, 7u, 4096u}) {
            const std::string split = run(text, step);
            ASSERT_EQ(tokenise_test::without_marks(split), reference)
                << "step " << step << " text size " << text.size();
            expect_marks_name_words(text, split);
        }
    }
}

// Words of several tokens (entities inside) included: wherever the pieces
// meet, no word is cut in two.
TEST(TokeniseProperty, EveryBlankSeparatedWordIsMarkedOnceWhateverTheSplit) {
    std::string text = "<s>";
    for (int i = 0; i < 3000; ++i)
        text += i % 2 ? "w" + std::to_string(i) + " " : "w&lt;" + std::to_string(i) + "&gt;&amp;x ";
    for (size_t step : {0u, 1u, 4096u})
        EXPECT_EQ(tokenise_test::marks_of(run(text + "</s>", step)).size(), 3000u) << step;
}

// Random strings over an alphabet rich in markup.
std::string markup_soup(std::mt19937& rng, size_t n) {
    // clang-format off
    static const char* const kPieces[] = {
        "<", ">", "/", "!", "?", "-", "[", "]", "\"", "'", "=", "&", "#", ";", " ", "\n", "\t",
        "\r", "\x0b", "a", "b", "Z", "_", ":", ".", "1", "x", "\xC3\xA9", "\xE4\xB8\xAD",
        "\xC2\xA0", "\xE2\x80\xA8", "\x01", "DOCTYPE", "CDATA", "SYSTEM", "PUBLIC", "%e;", "<!--",
        "-->", "<![CDATA[", "]]>", "<?", "?>", "&amp;", "<a b=\"c\">", "</a>", "<x/>"};
    // clang-format on
    std::uniform_int_distribution<size_t> pick(0, sizeof kPieces / sizeof *kPieces - 1);
    std::string s;
    while (s.size() < n)
        s += kPieces[pick(rng)];
    return s;
}

TEST(TokeniseProperty, ScannersTreatInvalidBytesAsText) {
    int32_t chars = 0;
    EXPECT_EQ(kvtp_tokenise::scan_text("a\xFF\xC3(b c", 7, &chars), 5);
    EXPECT_EQ(chars, 5);  // a, FF, C3 (cut sequence), (, b
    EXPECT_EQ(kvtp_tokenise::scan_text("\xED\xA0\x80x", 4, &chars), 4);
    EXPECT_EQ(chars, 4);  // an encoded surrogate is three invalid units
    EXPECT_EQ(kvtp_tokenise::scan_whitespace(" \xC2\xA0\xE3\x80\x80x", 7, &chars), 6);
    EXPECT_EQ(chars, 3);
}

// Random runs of plain bytes and every byte that ends them, across the
// sixteen-byte steps of the vector scan.
TEST(TokeniseProperty, PlainRunScanStopsAtTheFirstOtherByte) {
    const kvtp_tokenise::ByteClasses& k = kvtp_tokenise::kByteClasses;
    std::mt19937 rng(11);
    std::uniform_int_distribution<int> any(0, 255);
    for (int round = 0; round < 20000; ++round) {
        std::string s(static_cast<size_t>(round % 70), 'a');
        for (char& c : s) {
            c = static_cast<char>(any(rng));
            if (any(rng) < 230)
                c = static_cast<char>(0x21 + any(rng) % 0x5F);
        }
        const auto* u = reinterpret_cast<const unsigned char*>(s.data());
        const int32_t size = static_cast<int32_t>(s.size());
        for (int32_t from = 0; from <= size; from += 1 + round % 5) {
            int32_t expect = from;
            while (expect < size && k.plain[u[expect]])
                ++expect;
            ASSERT_EQ(kvtp_tokenise::plain_run_end(u, from, size), expect) << round;
        }
    }
    // The tables: a plain byte is a whole text token that escaping leaves as
    // it is; a byte that ends a run ends a text token.
    for (int c = 0; c < 256; ++c) {
        const char b = static_cast<char>(c);
        int32_t chars = 0;
        bool plain = false;
        const int32_t n = kvtp_tokenise::scan_text(&b, 1, &chars, &plain);
        EXPECT_EQ(k.plain[c], n == 1 && plain) << c;
        EXPECT_EQ(k.ends_text[c], c < 0x80 && n == 0) << c;
    }
}

// The fast paths (runs of words and white space, hand-written scanners, marks
// written in place) give exactly the callbacks of the general path with the
// compiled patterns, whatever the mode and the splitting.
TEST(TokeniseProperty, FastPathsMatchTheReferencePath) {
    std::mt19937 rng(99);
    std::vector<std::string> texts = corpus();
    for (int k = 0; k < 60; ++k)
        texts.push_back(markup_soup(rng, 1 + static_cast<size_t>(k) * 53));
    for (const std::string& text : texts) {
        for (int32_t xml : {1, 0}) {
            for (size_t step : {size_t{0}, size_t{777}, size_t{5000}}) {
                RecordingChannel fast(xml);
                RecordingChannel reference(xml);
                KVTP_tokenise_set_reference_mode(
                    static_cast<KVTP_tokenise*>(reference.get()->processor), 1);
                fast.process_split(text, step);
                reference.process_split(text, step);
                ASSERT_EQ(fast.trace(), reference.trace())
                    << "xml " << xml << " step " << step << " text [" << text << "]";
            }
        }
    }
}

}  // namespace
