// SPDX-License-Identifier: MIT
// The markup scanner: events for every construct, limits, positions.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "tests/textproc/xml_scanner_support.h"
#include "textproc/scanner/tpxml.h"

namespace {

using ::testing::ElementsAre;
using xml_scanner_test::RecordingScanner;

std::vector<std::string> Scan(const std::string& doc) {
    RecordingScanner s;
    EXPECT_EQ(1, s.Feed(doc, 1));
    return s.events;
}

TEST(Scanner, ReportsTheEventsOfEachConstruct) {
    // clang-format off
    const struct { const char* name; std::string doc; std::vector<std::string> events; } cases[] = {
        {"HyphenSplitsWords", "well-known", {"D:well", "D:-", "D:known"}},
        {"StartAndEndTagsWithSpacing",
         "<voice\n  name = \"Ann\"\tgender='f' >hi</voice >",
         {"<voice name=Ann gender=f>", "D:hi", "</voice>"}},
        {"EmptyElementWithSpaceBeforeSlash", "<br />", {"<br>", "</br>"}},
        {"UnquotedValueDropsTheTag", "<a b=c>", {}},
        {"AttributeWithoutValueDropsTheTag", "<a b>x", {"D:x"}},
        {"CommentHidesTagsInside", "<!-- <a x=\"1\"/> -->b", {"D:b"}},
        {"CdataHoldingATagIsOnePiece", "<![CDATA[<a x='1'/>]]>", {"C[", "D:<a x='1'/>", "C]"}},
        {"NamedAndNumericEntities", "&amp;&#38;", {"&:&amp;", "&:&#38;"}},
        {"AmpersandBeforeSpaceIsData", "& x", {"D:&", "D: ", "D:x"}},
        {"DeclarationAndDoctypeWithSubsetAreDropped",
         "<?xml version=\"1.0\"?><!DOCTYPE doc [\n"
         "  <!ENTITY e \"value\">\n  <!ELEMENT doc ANY>\n  %pe;\n]><doc/>",
         {"<doc>", "</doc>"}},
        {"DoctypeWithSystemIdIsDropped", "<!DOCTYPE doc SYSTEM \"doc.dtd\">x", {"D:x"}},
        {"ProcessingInstructionIsDropped", "<?pi a ? b?>x", {"D:x"}},
        {"StrayMarkupBytesAreOneBytePieces",
         "a < b > c]",
         {"D:a", "D: ", "D:<", "D: ", "D:b", "D: ", "D:>", "D: ", "D:c", "D:]"}},
        {"StrayClosersOutsideTheirSectionsAreData", "x-->]]>", {"D:x", "D:-->", "D:]]>"}},
        {"EntityInAttributeValueIsNotUnescaped", "<a v='&lt;b&gt;'/>", {"<a v=&lt;b&gt;>", "</a>"}},
        {"NonAsciiNamesAndText",
         "<\xC3\xA9t\xC3\xA9 \xC3\xA0='\xE2\x82\xAC'>caf\xC3\xA9",
         {"<\xC3\xA9t\xC3\xA9 \xC3\xA0=\xE2\x82\xAC>", "D:caf\xC3\xA9"}},
        {"WhiteSpaceRunsAreOnePiece", "a \t\n b", {"D:a", "D: \t\n ", "D:b"}}};
    // clang-format on
    for (const auto& c : cases)
        EXPECT_EQ(c.events, Scan(c.doc)) << c.name;
}

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

// The step limit that bounds what hostile markup costs per '<' also bounds
// the DOCTYPE internal subset the scanner recognises (about 200 KB): below it
// the declaration is dropped whole, above it its text comes out as data.
TEST(Scanner, DoctypeSubsetIsRecognisedUpToTheStepLimit) {
    auto doctype = [](size_t entities) {
        std::string doc = "<!DOCTYPE doc [\n";
        for (size_t i = 0; i < entities; ++i)
            doc += "  <!ENTITY e" + std::to_string(i) + " \"value\">\n";
        return doc + "]><doc/>";
    };
    EXPECT_EQ(Scan(doctype(3000)), (std::vector<std::string>{"<doc>", "</doc>"}));  // ~80 KB
    const std::vector<std::string> large = Scan(doctype(15000));                    // ~400 KB
    ASSERT_FALSE(large.empty());
    EXPECT_EQ(large.front().rfind("D:", 0), 0u) << large.front();
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

TEST(Scanner, PatternTableLendsEveryCompiledPattern) {
    std::unique_ptr<KVTP_tpxml, void (*)(KVTP_tpxml*)> x(KVTP_tpxml_new(), KVTP_tpxml_delete);
    pcre2_code** table = KVTP_tpxml_get_regexs(x.get());
    EXPECT_EQ(KVTP_TPXML_NO_REGEXS, KVTP_tpxml_get_no_compiled_regexs(x.get()));
    const size_t size = KVTP_tpxml_get_compiled_regex_sz(x.get(), KVTP_TPXML_OPERATOR);
    std::vector<char> copy(size, '\x5A');
    ASSERT_EQ(1, KVTP_tpxml_get_compiled_regex(x.get(), KVTP_TPXML_OPERATOR, copy.data()));
    EXPECT_EQ(0, std::memcmp(copy.data(), table[KVTP_TPXML_OPERATOR], size));
    EXPECT_EQ(0u, KVTP_tpxml_get_compiled_regex_sz(x.get(), KVTP_TPXML_NO_REGEXS));
}

// Every construct, repeated with growing lengths across many margins: parsed
// in chunks of any size, the document gives the events of one whole parse
// (what each construct gives, the table above checks).
TEST(Chunking, ChunkedParseGivesTheEventsOfTheWholeParse) {
    std::string doc =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE root [ <!ENTITY e 'x'> ]>\n<root>";
    int items = 0;
    for (; doc.size() < 100000; ++items)
        doc += "\n  <item id=\"" + std::to_string(items) + "\" name='caf\xC3\xA9'>text &amp; more" +
               "</item><!-- a comment with <tags a='1'/> " + std::string(items % 50, 'c') +
               " --><![CDATA[raw <b>" + std::string(items % 90, 'r') + "</b> ]] text]]><e a='" +
               std::string(items % 200, 'v') + "'/>";
    doc += "\n</root>\n";
    RecordingScanner whole;
    ASSERT_EQ(1, whole.Feed(doc, 1));
    ASSERT_EQ(std::count(whole.events.begin(), whole.events.end(), "</item>"), items);
    for (size_t chunk : {size_t{1}, size_t{3}, size_t{97}, size_t{4096}, size_t{8192}, size_t{8193},
                         size_t{50000}}) {
        SCOPED_TRACE(chunk);
        RecordingScanner s;
        for (size_t at = 0; at < doc.size(); at += chunk)
            ASSERT_EQ(1, s.Feed(doc.substr(at, chunk), 0));
        s.Feed("", 1);
        EXPECT_EQ(static_cast<int64_t>(doc.size()), KVTP_tpxml_byte_position(s.x.get()));
        EXPECT_EQ(whole.Merged(), s.Merged());
    }
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
    EXPECT_THAT(s.events, ElementsAre("D:a", "D: ", "D:shown"));
}

TEST(GetKeyval, ReadsOneQuotedAttributeWithinTheLength) {
    // clang-format off
    const struct { const char *text, *name, *value, *rest; } cases[] = {  // null name: none
        {" \n name = 'x y' />", "name", "x y", " />"}, {"k=''", "k", "", ""},
        {"a='open", nullptr, nullptr, nullptr}, {"  ", nullptr, nullptr, nullptr},
        {"/>", nullptr, nullptr, nullptr}};
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

}  // namespace
