// SPDX-License-Identifier: MIT
// Encoding repair, hostile and malformed input, escaping and the tag helpers.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <tuple>
#include <utility>

#include "tests/textproc/tokenise_support.h"
#include "textproc/tokeniser/tokenise.h"
#include "textproc/tokeniser/tokenise_utf8.h"

using tokenise_test::kFinal;
using tokenise_test::mark;
using tokenise_test::RecordingChannel;
using tokenise_test::tokenise_whole;

namespace {

bool valid_utf8_without_nul(const std::string& s) {
    return kvtp_tokenise::first_invalid(s.data(), 0, static_cast<int32_t>(s.size()), true) < 0;
}

// A configuration file, per process, with the given `tokenise` attributes.
std::string config_with(const std::string& attrs) {
    const std::string path = ::testing::TempDir() + "tokenise_" + std::to_string(getpid());
    std::ofstream(path) << "<tpconfig><tokenise " << attrs << "/></tpconfig>";
    return path;
}

// Tokenised text of one whole final call through a channel configured with
// the given attributes (none: no configuration file).
std::string run_with_config(const std::string& attrs, const std::string& text) {
    const std::string path = config_with(attrs);
    RecordingChannel ch(1, attrs.empty() ? nullptr : path.c_str());
    std::remove(path.c_str());
    ch.process(text, 1);
    return ch.text();
}

std::string utf16(const std::string& ascii, bool little_endian) {
    std::string s = little_endian ? "\xFF\xFE" : "\xFE\xFF";
    for (char c : ascii)
        s += little_endian ? std::string{c, '\0'} : std::string{'\0', c};
    return s;
}

TEST(TokeniseEncoding, ShortTextRepairs) {
    const std::string hi_there = "<p>" + mark(3, 3, 2, 2) + "Hi " + mark(6, 6, 5, 5) + "there</p>";
    // clang-format off
    const struct { const char* config; std::string input, expected; } cases[] = {
        // A stray byte in a short text becomes an underscore ...
        {"", "<p>caf\xE9</p>", "<p>" + mark(3, 3, 4, 4) + "caf_</p>" + kFinal},
        // ... unless the configuration asks for the ISO fallback.
        {"processing_mode='lax_iso'", "<p>caf\xE9</p>",
         "<p>" + mark(3, 3, 4, 5) + "caf\xC3\xA9</p>" + kFinal},
        {"",
         std::string("<p>a\0b c\xED\xA0\x80"
                     "d</p>",
                     16),
         "<p>" + mark(3, 3, 3, 3) + "a_b " + mark(7, 7, 5, 5) + "c___d</p>" + kFinal},
        {"", utf16("<p>Hi there</p>", true), hi_there + kFinal},
        {"", utf16("<p>Hi there</p>", false), hi_there + kFinal},
    };
    // clang-format on
    for (const auto& c : cases)
        EXPECT_EQ(run_with_config(c.config, c.input), c.expected) << c.input;
}

// Long texts are recognised as Latin-1 or as UTF-16 without a byte order mark
// and converted; offsets count the converted text (each é is two bytes).
TEST(TokeniseEncoding, LongTextsInOtherEncodingsAreConverted) {
    std::string latin1 = "<p>", utf16le;
    for (int i = 0; i < 30; ++i) {
        if (i < 20)
            latin1 += "caf\xE9 au lait et un croissant ";
        utf16le += std::string("w\0o\0r\0d\0 \0c\0a\0f\0\xE9\0 \0", 20);  // "word café "
    }
    for (const auto& [text, step, expected] :
         {std::tuple{latin1 + "</p>", 0, mark(32, 33, 4, 5) + "caf\xC3\xA9"},
          {utf16le, 100, "word " + mark(35, 38, 4, 5) + "caf\xC3\xA9 "}}) {
        RecordingChannel ch;
        ch.process_split(text, static_cast<size_t>(step));
        const std::string out = ch.text();
        EXPECT_TRUE(valid_utf8_without_nul(out));
        EXPECT_EQ(out.find("caf_"), std::string::npos);
        EXPECT_NE(out.find(expected), std::string::npos) << out.substr(0, 300);
    }
}

TEST(TokeniseEncoding, StrictModeSkipsTheRepairWithoutHarm) {
    std::string out =
        run_with_config("processing_mode='strict_utf8_xml' context_size='16'",
                        std::string("<p>caf\xE9 \xFF\xFE<a b='\xC3'>\0x</a></p>", 27));
    EXPECT_NE(out.find("caf\xE9"), std::string::npos);  // copied as it came
    EXPECT_NE(out.find(kFinal), std::string::npos);
}

std::string repeat(const std::string& unit, size_t size) {
    std::string s;
    s.reserve(size + unit.size());
    while (s.size() < size)
        s += unit;
    return s;
}

TEST(TokeniseHostile, UnterminatedMarkupTakesLinearTime) {
    for (const char* unit : {"<?", "<!DOCTYPE x [", "<a b=\"", "<!--", "<![CDATA[", "<a", "&#"}) {
        const std::string text = repeat(unit, 1 << 20);
        const auto start = std::chrono::steady_clock::now();
        tokenise_whole(text);
        // Generous bound: a megabyte takes milliseconds; sanitizers slow it
        // down tenfold.
        EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(),
                  30.0)
            << unit;
    }
}

TEST(TokeniseHostile, MegabyteWithoutSpaceIsMarkedPieceByPiece) {
    std::string text(1 << 20, 'a');
    std::string out = tokenise_whole(text);
    EXPECT_EQ(tokenise_test::without_marks(out),
              "<parent><xmlfixopen/>" + text + kFinal + "<xmlfixcloseoffopen/></parent>");
    int64_t covered = 0;
    for (const auto& m : tokenise_test::marks_of(out)) {
        EXPECT_EQ(m.bytes_at, covered);
        covered += m.bytes;
    }
    EXPECT_EQ(covered, static_cast<int64_t>(text.size()));
}

TEST(TokeniseHostile, UnterminatedConstructsStillEndTheDocument) {
    for (const char* text : {"<p>a <b c=\"", "<p>a <!-- b", "<p><![CDATA[x", "<!DOCTYPE x [",
                             "<?pi", "<", "&", "]]", "--", "<a\x01>", "</", "<p>\xC3"}) {
        std::string out = tokenise_whole(text);
        EXPECT_NE(out.find(kFinal), std::string::npos) << text;
        EXPECT_TRUE(valid_utf8_without_nul(out)) << text;
    }
}

// Closing an application element re-inserts the enclosing start tags into the
// input; with thousands of them the input buffer moves, and the end tag's name,
// which lay in it, must have been kept before.
TEST(TokeniseHostile, ApplicationEndTagInsideDeepNesting) {
    RecordingChannel ch;
    ch.process(repeat("<p>", 30000) + "<voice name=\"v\">x</voice>y", 1);
    ASSERT_EQ(ch.tags(), (std::vector<std::string>{"<voice name=\"v\">", "</voice>"}));
    const std::string out = ch.text();
    EXPECT_NE(out.find("x</voice>"), std::string::npos);
    EXPECT_NE(out.find(kFinal), std::string::npos);
}

TEST(TokeniseHelpers, EscapingKeepsEntitiesAndReplacesForbiddenCharacters) {
    KVTP_tpc* ch = KVTP_tpc_newtype(nullptr, nullptr, 1, "T", 3);
    auto* tk = static_cast<KVTP_tokenise*>(ch->processor);
    // clang-format off
    const std::pair<std::string, std::string> cases[] = {
        {"a<b>c", "a&lt;b&gt;c"}, {"&amp;&#65;&x;&", "&amp;&#65;&x;&amp;"}, {"&#;", "&amp;#;"},
        {"a\x01\x0b\x1f\tb", "a___\tb"},
        {"\xEF\xBF\xBE\xEF\xBF\xBF\xEF\xBF\xBD", "__\xEF\xBF\xBD"}, {"\xFF\xC3", "__"},
        {"\xEF\xAC\x81", "\xEF\xAC\x81"},                  // ligature: compatibility form kept
        {"\xE1\x84\x80\xE1\x85\xA1", "\xEA\xB0\x80"}};     // Hangul jamo compose
    // clang-format on
    for (const auto& [in, out] : cases) {
        int32_t n = 0;
        const char* e =
            KVTP_tokenise_escaped_xml(tk, in.data(), static_cast<int32_t>(in.size()), &n);
        EXPECT_EQ(std::string(e, static_cast<size_t>(n)), out) << in;
    }
    KVTP_tpc_delete(ch);
}

TEST(TokeniseHelpers, TagNameAndAttributes) {
    for (const auto& [tag, name, attrs] :
         {std::tuple{"<voice  name=\"v\" gender='f'>", "voice", "name=\"v\" gender='f'"},
          {"<speak>", "speak", ""},
          {"<a\n>", "a", ""}}) {
        int32_t n = -1;
        const char* s = KVTP_tokenise_opentagname(tag, -1, &n);
        EXPECT_EQ(std::string(s, static_cast<size_t>(n)), name);
        s = KVTP_tokenise_opentagattr(tag, -1, &n);
        EXPECT_EQ(std::string(s, static_cast<size_t>(n)), attrs);
    }
    int32_t n = -1;
    EXPECT_STREQ(KVTP_tokenise_opentagattr("<speak>", -1, &n), "");
}

// Context size and mode come from the configuration, with defaults for
// unknown values; a missing file leaves the defaults and is reported (code
// 12, a warning). Every pattern compiles either way.
TEST(TokeniseEncoding, ContextSizeAndModeComeFromTheConfiguration) {
    for (const auto& [attrs, size, mode] :
         {std::tuple{"processing_mode='strict_xml' context_size='100'", 100, 1},
          {"processing_mode='whatever' context_size='0'", 4096, 1},
          {"", 4096, 2}}) {
        const std::string path = *attrs ? config_with(attrs) : "/nonexistent/dir/tp.xml";
        testing::internal::CaptureStderr();
        RecordingChannel ch(1, path.c_str());
        testing::internal::GetCapturedStderr();
        std::remove(path.c_str());
        EXPECT_EQ(KVTP_tokenise_context_size(ch.tokeniser()), size) << attrs;
        EXPECT_EQ(KVTP_tokenise_processing_mode(ch.tokeniser()), mode) << attrs;
        EXPECT_EQ(KVTP_tokenise_missing_patterns(ch.tokeniser()), 0) << attrs;
        EXPECT_EQ(KVTP_logger_no_warnings(ch.get()->logger), *attrs ? 0 : 1) << attrs;
    }
}

}  // namespace
