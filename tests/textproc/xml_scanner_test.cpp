// The markup scanner: events for every construct, limits, positions.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tests/textproc/xml_events.h"
#include "textproc/scanner/tpxml.h"

namespace {

using ::testing::ElementsAre;

std::vector<std::string> Scan(const std::string& doc) {
    RecordingScanner s;
    EXPECT_EQ(1, s.Feed(doc, 1));
    return s.rec.events;
}

struct ScanCase {
    const char* name;
    std::string doc;
    std::vector<std::string> events;
};

class ScannerEvents : public ::testing::TestWithParam<ScanCase> {};

TEST_P(ScannerEvents, ReportsExpectedEvents) {
    EXPECT_EQ(GetParam().events, Scan(GetParam().doc));
}

INSTANTIATE_TEST_SUITE_P(
    Constructs, ScannerEvents,
    ::testing::Values(
        ScanCase{"HyphenSplitsWords", "well-known", {"D:well", "D:-", "D:known"}},
        ScanCase{"EmptyElementWithBothQuoteKinds",
                 "<a x='1' y=\"two words\"/>",
                 {"<a x=1 y=two words>", "</a>"}},
        ScanCase{"StartAndEndTagsWithSpacing",
                 "<voice\n  name = \"Ann\"\tgender='f' >hi</voice >",
                 {"<voice name=Ann gender=f>", "D:hi", "</voice>"}},
        ScanCase{"EmptyElementWithSpaceBeforeSlash", "<br />", {"<br>", "</br>"}},
        ScanCase{"UnquotedValueDropsTheTag", "<a b=c>", {}},
        ScanCase{"AttributeWithoutValueDropsTheTag", "<a b>x", {"D:x"}},
        ScanCase{"CommentHidesTagsInside", "<!-- <a x=\"1\"/> -->b", {"D:b"}},
        ScanCase{
            "CdataHoldingATagIsOnePiece", "<![CDATA[<a x='1'/>]]>", {"C[", "D:<a x='1'/>", "C]"}},
        ScanCase{"NamedAndNumericEntities", "&amp;&#38;", {"&:&amp;", "&:&#38;"}},
        ScanCase{"AmpersandBeforeSpaceIsData", "& x", {"D:&", "D: ", "D:x"}},
        ScanCase{"DeclarationAndDoctypeWithSubsetAreDropped",
                 "<?xml version=\"1.0\"?><!DOCTYPE doc [\n"
                 "  <!ENTITY e \"value\">\n  <!ELEMENT doc ANY>\n  %pe;\n]><doc/>",
                 {"<doc>", "</doc>"}},
        ScanCase{"DoctypeWithSystemIdIsDropped", "<!DOCTYPE doc SYSTEM \"doc.dtd\">x", {"D:x"}},
        ScanCase{"ProcessingInstructionIsDropped", "<?pi a ? b?>x", {"D:x"}},
        ScanCase{"StrayMarkupBytesAreOneBytePieces",
                 "a < b > c]",
                 {"D:a", "D: ", "D:<", "D: ", "D:b", "D: ", "D:>", "D: ", "D:c", "D:]"}},
        ScanCase{"StrayClosersOutsideTheirSectionsAreData", "x-->]]>", {"D:x", "D:-->", "D:]]>"}},
        ScanCase{"EntityInAttributeValueIsNotUnescaped",
                 "<a v='&lt;b&gt;'/>",
                 {"<a v=&lt;b&gt;>", "</a>"}},
        ScanCase{"NonAsciiNamesAndText",
                 "<\xC3\xA9t\xC3\xA9 \xC3\xA0='\xE2\x82\xAC'>caf\xC3\xA9",
                 {"<\xC3\xA9t\xC3\xA9 \xC3\xA0=\xE2\x82\xAC>", "D:caf\xC3\xA9"}},
        ScanCase{"WhiteSpaceRunsAreOnePiece", "a \t\n b", {"D:a", "D: \t\n ", "D:b"}}),
    [](const ::testing::TestParamInfo<ScanCase>& info) { return info.param.name; });

TEST(Scanner, LongNamesAndValuesAreCutButNotInsideACharacter) {
    const std::string tag(40, 't'), attr(40, 'n'), value(3000, 'v');
    EXPECT_THAT(Scan("<" + tag + " " + attr + "='" + value + "'></" + tag + ">"),
                ElementsAre("<" + tag.substr(0, 32) + " " + attr.substr(0, 32) + "=" +
                                value.substr(0, 2048) + ">",
                            "</" + tag.substr(0, 32) + ">"));
    // 2047 ASCII bytes then a two-byte character straddling the limit: the
    // cut steps back to the character's start, as cutting inside it would
    // hand the handlers invalid UTF-8.
    EXPECT_THAT(Scan("<a v='" + std::string(2047, 'v') + "\xC3\xA9'/>"),
                ElementsAre("<a v=" + std::string(2047, 'v') + ">", "</a>"));
    const std::string name = std::string(31, 'n') + "\xE2\x82\xAC";
    EXPECT_THAT(Scan("<" + name + " " + name + "='v'/>"),
                ElementsAre("<" + name.substr(0, 31) + " " + name.substr(0, 31) + "=v>",
                            "</" + name.substr(0, 31) + ">"));
}

TEST(Scanner, InvalidBytesNeitherStopTheScanNorSwallowMarkup) {
    // Input is meant to be UTF-8; stray bytes must still come out as data and
    // leave the markup after them intact.
    for (const std::string bad : {"\xFF\xC3", "\xC3", "\x80\x80", "\xF4\x90"}) {
        std::vector<std::string> events = Scan("x" + bad + "<a/>");
        ASSERT_GE(events.size(), 3u);
        EXPECT_EQ("</a>", events.back());
        EXPECT_EQ("<a>", events[events.size() - 2]);
        std::string data;
        for (size_t i = 0; i + 2 < events.size(); ++i)
            data += events[i].substr(2);
        EXPECT_EQ("x" + bad, data);
    }
}

TEST(Scanner, ManyAttributesKeepTheirOrder) {
    std::string doc = "<a", expect = "<a";
    for (int i = 0; i < 300; ++i) {
        doc += " k" + std::to_string(i) + "='" + std::string(100, 'x') + "'";
        expect += " k" + std::to_string(i) + "=" + std::string(100, 'x');
    }
    EXPECT_THAT(Scan(doc + ">"), ElementsAre(expect + ">"));
}

TEST(Scanner, CountsBytesAndCharactersEvenWithoutHandlers) {
    std::unique_ptr<KVTP_tpxml, void (*)(KVTP_tpxml*)> x(KVTP_tpxml_new(), KVTP_tpxml_delete);
    const std::string doc = "\xC3\xA9t\xE2\x82\xAC <b x='1'>t&amp;<![CDATA[c]]></b>";
    EXPECT_EQ(1, KVTP_tpxml_parse(x.get(), doc.data(), static_cast<int32_t>(doc.size()), 1));
    EXPECT_EQ(static_cast<int64_t>(doc.size()), KVTP_tpxml_byte_position(x.get()));
    EXPECT_EQ(static_cast<int64_t>(doc.size()) - 3, KVTP_tpxml_char_position(x.get()));
    KVTP_tpxml_reset(x.get());
    EXPECT_EQ(0, KVTP_tpxml_byte_position(x.get()));
    EXPECT_EQ(0, KVTP_tpxml_char_position(x.get()));
}

TEST(Scanner, ResetInsideCommentKeepsDroppingText) {
    RecordingScanner s;
    s.Feed("a<!-- open", 1);
    KVTP_tpxml_reset(s.x.get());
    s.Feed("hidden --> shown", 1);
    EXPECT_THAT(s.rec.events, ElementsAre("D:a", "D: ", "D:shown"));
}

TEST(Scanner, HostileBacktrackingStillConsumesInput) {
    // A processing instruction that never closes makes its pattern backtrack
    // exponentially; the match limit turns that into "no match".
    std::string doc;
    for (int i = 0; i < 20; ++i)
        doc += "<?" + std::string(60, 'a') + "<!DOCTYPE d [" + std::string(60, ' ');
    const std::vector<std::string> events = Scan(doc + "<end/>");
    ASSERT_GE(events.size(), 2u);
    EXPECT_EQ("<end>", events[events.size() - 2]);
    EXPECT_EQ("</end>", events.back());
}

TEST(Scanner, PatternTableLendsSeventeenCompiledPatterns) {
    std::unique_ptr<KVTP_tpxml, void (*)(KVTP_tpxml*)> x(KVTP_tpxml_new(), KVTP_tpxml_delete);
    pcre2_code** table = KVTP_tpxml_get_regexs(x.get());
    ASSERT_NE(nullptr, table);
    EXPECT_EQ(nullptr, table[KVTP_TPXML_NO_REGEXS]);
    EXPECT_EQ(17, KVTP_tpxml_get_no_compiled_regexs(x.get()));
    const size_t size = KVTP_tpxml_get_compiled_regex_sz(x.get(), KVTP_TPXML_OPERATOR);
    ASSERT_GT(size, 0u);
    std::vector<char> copy(size);
    EXPECT_EQ(1, KVTP_tpxml_get_compiled_regex(x.get(), KVTP_TPXML_OPERATOR, copy.data()));
    EXPECT_EQ(0, std::memcmp(copy.data(), table[KVTP_TPXML_OPERATOR], size));
    EXPECT_EQ(0u, KVTP_tpxml_get_compiled_regex_sz(x.get(), -1));
    EXPECT_EQ(0u, KVTP_tpxml_get_compiled_regex_sz(x.get(), 17));
    EXPECT_EQ(0, KVTP_tpxml_get_compiled_regex(x.get(), 17, copy.data()));

    pcre2_code* op = table[KVTP_TPXML_OPERATOR];
    pcre2_match_data* md = pcre2_match_data_create_from_pattern(op, nullptr);
    EXPECT_GT(pcre2_match(op, reinterpret_cast<PCRE2_SPTR>("@x"), 2, 0, 0, md, nullptr), 0);
    EXPECT_LT(pcre2_match(op, reinterpret_cast<PCRE2_SPTR>("x@"), 2, 0, 0, md, nullptr), 0);
    pcre2_match_data_free(md);
}

TEST(GetKeyval, ReadsOneQuotedAttributeWithinTheLength) {
    // clang-format off
    const struct { const char *text, *name, *value, *rest; } cases[] = {  // null name: none
        {"a=\"1\" b='2'", "a", "1", " b='2'"}, {" \n name = 'x y' />", "name", "x y", " />"},
        {"k=''", "k", "", ""}, {"q=\"it's\"", "q", "it's", ""}, {"a=1", nullptr, nullptr, nullptr},
        {"a='open", nullptr, nullptr, nullptr}, {"novalue", nullptr, nullptr, nullptr},
        {"  ", nullptr, nullptr, nullptr}, {"/>", nullptr, nullptr, nullptr}};
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const char *name = nullptr, *value = nullptr;
        int32_t nlen = -1, vlen = -1;
        const int32_t len = static_cast<int32_t>(strlen(c.text));
        const char* next = KVTP_get_keyval(c.text, len, &name, &nlen, &value, &vlen);
        if (c.name == nullptr) {
            EXPECT_EQ(nullptr, next);
            continue;
        }
        ASSERT_NE(nullptr, next);
        EXPECT_EQ(c.name, std::string(name, nlen));
        EXPECT_EQ(c.value, std::string(value, vlen));
        EXPECT_STREQ(c.rest, next);
    }
    const char* text = "a='1'";  // the closing quote at the length limit is not read
    EXPECT_EQ(nullptr, KVTP_get_keyval(text, 4, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(text + 5, KVTP_get_keyval(text, 5, nullptr, nullptr, nullptr, nullptr));
}

TEST(TpxmlTest, PrintsEventsOfAFile) {
    char path[] = "/tmp/tpxml_testXXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    const std::string doc = "<a k='v'>hi</a>";
    ASSERT_EQ(static_cast<ssize_t>(doc.size()), write(fd, doc.data(), doc.size()));
    close(fd);
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(1, KVTP_tpxml_test(path, 3));
    unlink(path);
    EXPECT_EQ("TAGOPEN:a\nKEY:k\nVAL:'v'\nDATA[hi]\nTAGCLOSE:a\n",
              ::testing::internal::GetCapturedStdout());
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(0, KVTP_tpxml_test("/nonexistent/file.xml", 3));
    EXPECT_EQ("Can't find input file exiting : /nonexistent/file.xml\n",
              ::testing::internal::GetCapturedStdout());
}

}  // namespace
