// Encoding repair, hostile and malformed input, escaping and the tag helpers.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "tests/textproc/tokenise_support.h"
#include "textproc/tokenise.h"
#include "textproc/tokenise_utf8.h"

using tokenise_test::RecordingChannel;
using tokenise_test::tokenise_whole;

namespace {

const std::string kFinal = "<mark name=\"kvox_final\"/>";

bool valid_utf8_without_nul(const std::string& s) {
    return kvtp_tokenise::first_invalid(s.data(), 0, static_cast<int32_t>(s.size()), true) < 0;
}

// A configuration file with the given `tokenise` attributes, removed again
// by the destructor.
class ConfigFile {
  public:
    explicit ConfigFile(const std::string& attrs) {
        char name[] = "/tmp/tokenise_test_XXXXXX";
        int fd = mkstemp(name);
        EXPECT_GE(fd, 0);
        std::string doc = "<tpconfig><tokenise " + attrs + "/></tpconfig>";
        EXPECT_EQ(write(fd, doc.data(), doc.size()), static_cast<ssize_t>(doc.size()));
        close(fd);
        path_ = name;
    }
    ~ConfigFile() { unlink(path_.c_str()); }
    const char* path() const { return path_.c_str(); }

  private:
    std::string path_;
};

std::string run_with_config(const ConfigFile& config, const std::string& text) {
    KVTP_tpc* ch = KVTP_tpc_newtype(nullptr, config.path(), 1, "T", 3);
    std::string out;
    KVTP_tpc_set_text_callback(
        ch,
        [](void* u, const char* t, int n) {
            static_cast<std::string*>(u)->append(t, static_cast<size_t>(n));
        },
        &out);
    KVTP_tpc_process(ch, text.data(), static_cast<int32_t>(text.size()), 1);
    KVTP_tpc_delete(ch);
    return out;
}

TEST(TokeniseEncoding, ShortTextWithStrayByteGetsUnderscore) {
    EXPECT_EQ(tokenise_whole("<p>caf\xE9</p>"),
              "<p><mark name=\"kvtk_3_3_4_4\"/>caf_</p>" + kFinal);
}

TEST(TokeniseEncoding, LongLatin1TextIsReadAsIso88591) {
    std::string text = "<p>";
    for (int i = 0; i < 20; ++i)
        text += "caf\xE9 au lait et un croissant ";
    text += "</p>";
    RecordingChannel ch;
    ch.process(text, 1);
    std::string out = ch.text();
    EXPECT_TRUE(valid_utf8_without_nul(out));
    EXPECT_NE(out.find("caf\xC3\xA9 "), std::string::npos);
    EXPECT_EQ(out.find("caf_"), std::string::npos);
    // Offsets count the repaired text: each é is now two bytes.
    EXPECT_NE(out.find("<mark name=\"kvtk_32_33_4_5\"/>caf\xC3\xA9"), std::string::npos)
        << out.substr(0, 300);
}

TEST(TokeniseEncoding, IsoFallbackModeConvertsEvenShortText) {
    ConfigFile config("processing_mode='lax_iso'");
    EXPECT_EQ(run_with_config(config, "<p>caf\xE9</p>"),
              "<p><mark name=\"kvtk_3_3_4_5\"/>caf\xC3\xA9</p>" + kFinal);
}

std::string utf16(const std::string& ascii, bool little_endian) {
    std::string s;
    for (char c : ascii) {
        if (little_endian) {
            s += c;
            s += '\0';
        } else {
            s += '\0';
            s += c;
        }
    }
    return s;
}

TEST(TokeniseEncoding, Utf16WithByteOrderMarkIsDecoded) {
    for (bool le : {true, false}) {
        std::string text =
            (le ? std::string("\xFF\xFE") : std::string("\xFE\xFF")) + utf16("<p>Hi there</p>", le);
        RecordingChannel ch;
        ch.process(text, 1);
        EXPECT_EQ(
            ch.text(),
            "<p><mark name=\"kvtk_3_3_2_2\"/>Hi <mark name=\"kvtk_6_6_5_5\"/>there</p>" + kFinal)
            << (le ? "little-endian" : "big-endian");
    }
}

TEST(TokeniseEncoding, Utf16LittleEndianWithoutMarkAndNonAscii) {
    std::string body;
    for (int i = 0; i < 30; ++i)
        body += "word caf\xC3\xA9 ";
    // UTF-16LE of the body: ASCII as x 00, é as E9 00.
    std::string text;
    for (size_t i = 0; i < body.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(body[i]);
        if (c == 0xC3) {
            text += '\xE9';
            text += '\0';
            ++i;
        } else {
            text += static_cast<char>(c);
            text += '\0';
        }
    }
    RecordingChannel ch;
    ch.process_split(text, 100);
    std::string out = tokenise_test::without_marks(ch.text());
    EXPECT_TRUE(valid_utf8_without_nul(out));
    EXPECT_NE(out.find("word caf\xC3\xA9 word"), std::string::npos) << out.substr(0, 200);
}

TEST(TokeniseEncoding, NulBytesAndEncodedSurrogatesBecomeUnderscores) {
    std::string text = std::string(
        "<p>a\0b c\xED\xA0\x80"
        "d</p>",
        16);
    std::string out = tokenise_whole(text);
    EXPECT_EQ(
        out, "<p><mark name=\"kvtk_3_3_3_3\"/>a_b <mark name=\"kvtk_7_7_5_5\"/>c___d</p>" + kFinal);
}

TEST(TokeniseEncoding, SplitMultiByteCharacterWaitsForItsEnd) {
    // "é" cut between two non-final calls, with more than the context before it.
    std::string text = "<p>" + std::string(5000, 'x') + " caf\xC3\xA9 end</p>";
    size_t cut = text.find('\xA9');
    RecordingChannel ch;
    ch.process(text.substr(0, cut), 0);
    ch.process(text.substr(cut), 1);
    EXPECT_NE(ch.text().find("caf\xC3\xA9"), std::string::npos);
    EXPECT_EQ(ch.text().find("caf_"), std::string::npos);
}

TEST(TokeniseEncoding, StrictModeSkipsTheRepairWithoutHarm) {
    ConfigFile config("processing_mode='strict_utf8_xml' context_size='16'");
    std::string out =
        run_with_config(config, std::string("<p>caf\xE9 \xFF\xFE<a b='\xC3'>\0x</a></p>", 27));
    EXPECT_NE(out.find("caf\xE9"), std::string::npos);  // copied as it came
    EXPECT_NE(out.find(kFinal), std::string::npos);
}

TEST(TokeniseEncoding, ContextSizeAndModeComeFromTheConfiguration) {
    ConfigFile config("processing_mode='strict_xml' context_size='100'");
    KVTP_tpc* ch = KVTP_tpc_newtype(nullptr, config.path(), 1, "T", 3);
    auto* tk = static_cast<KVTP_tokenise*>(ch->processor);
    EXPECT_EQ(KVTP_tokenise_context_size(tk), 100);
    EXPECT_EQ(KVTP_tokenise_processing_mode(tk), 1);
    KVTP_tpc_delete(ch);
    ConfigFile bad("processing_mode='whatever' context_size='0'");
    ch = KVTP_tpc_newtype(nullptr, bad.path(), 1, "T", 3);
    tk = static_cast<KVTP_tokenise*>(ch->processor);
    EXPECT_EQ(KVTP_tokenise_context_size(tk), 4096);
    EXPECT_EQ(KVTP_tokenise_processing_mode(tk), 1);
    KVTP_tpc_delete(ch);
}

double seconds_for(const std::string& text) {
    RecordingChannel ch;
    auto start = std::chrono::steady_clock::now();
    ch.process(text, 1);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::string repeat(const std::string& unit, size_t size) {
    std::string s;
    s.reserve(size + unit.size());
    while (s.size() < size)
        s += unit;
    return s;
}

TEST(TokeniseHostile, UnterminatedMarkupTakesLinearTime) {
    const size_t mb = 1 << 20;
    for (const char* unit : {"<?", "<!DOCTYPE x [", "<a b=\"", "<!--", "<![CDATA[", "<a", "&#"}) {
        // Generous bound: a megabyte takes milliseconds; sanitizers slow it
        // down tenfold.
        EXPECT_LT(seconds_for(repeat(unit, mb)), 30.0) << unit;
    }
}

TEST(TokeniseHostile, MegabyteWithoutSpaceIsMarkedPieceByPiece) {
    std::string text(1 << 20, 'a');
    RecordingChannel ch;
    ch.process(text, 1);
    std::string out = ch.text();
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
    const std::string opens = repeat("<p>", 30000);
    RecordingChannel ch;
    ch.process(opens + "<voice name=\"v\">x</voice>y", 1);
    ASSERT_EQ(ch.tags(), (std::vector<std::string>{"<voice name=\"v\">", "</voice>"}));
    const std::string out = ch.text();
    EXPECT_NE(out.find("x</voice>"), std::string::npos);
    EXPECT_NE(out.find(kFinal), std::string::npos);
}

class TokeniseHelpers : public ::testing::Test {
  protected:
    TokeniseHelpers() : ch_(KVTP_tpc_newtype(nullptr, nullptr, 1, "T", 3)) {}
    ~TokeniseHelpers() override { KVTP_tpc_delete(ch_); }
    KVTP_tokenise* tk() const { return static_cast<KVTP_tokenise*>(ch_->processor); }
    std::string escape(const std::string& s) {
        int32_t n = 0;
        const char* e =
            KVTP_tokenise_escaped_xml(tk(), s.data(), static_cast<int32_t>(s.size()), &n);
        return std::string(e, static_cast<size_t>(n));
    }
    KVTP_tpc* ch_;
};

TEST_F(TokeniseHelpers, EscapingKeepsEntitiesAndReplacesForbiddenCharacters) {
    EXPECT_EQ(escape("a<b>c"), "a&lt;b&gt;c");
    EXPECT_EQ(escape("&amp;&#65;&x;&"), "&amp;&#65;&x;&amp;");
    EXPECT_EQ(escape("&#;"), "&amp;#;");
    EXPECT_EQ(escape("a\x01\x0b\x1f\tb"), "a___\tb");
    EXPECT_EQ(escape("\xEF\xBF\xBE\xEF\xBF\xBF\xEF\xBF\xBD"), "__\xEF\xBF\xBD");
    EXPECT_EQ(escape("\xFF\xC3"), "__");
    EXPECT_EQ(escape("e\xCC\x81"), "\xC3\xA9");         // composed
    EXPECT_EQ(escape("\xEF\xAC\x81"), "\xEF\xAC\x81");  // ligature: compatibility form kept
    EXPECT_EQ(escape("\xE1\x84\x80\xE1\x85\xA1"), "\xEA\xB0\x80");  // Hangul jamo compose
}

TEST_F(TokeniseHelpers, TagNameAndAttributes) {
    int32_t n = 0;
    const char* name = KVTP_tokenise_opentagname("<voice name=\"v\">", -1, &n);
    EXPECT_EQ(std::string(name, static_cast<size_t>(n)), "voice");
    name = KVTP_tokenise_opentagname("<speak>", -1, &n);
    EXPECT_EQ(std::string(name, static_cast<size_t>(n)), "speak");
    name = KVTP_tokenise_opentagname("<a\n>", -1, &n);
    EXPECT_EQ(std::string(name, static_cast<size_t>(n)), "a");
    const char* attr = KVTP_tokenise_opentagattr("<voice  name=\"v\" gender='f'>", -1, &n);
    EXPECT_EQ(std::string(attr, static_cast<size_t>(n)), "name=\"v\" gender='f'");
    attr = KVTP_tokenise_opentagattr("<speak>", -1, &n);
    EXPECT_STREQ(attr, "");
    EXPECT_EQ(n, 0);
}

}  // namespace
