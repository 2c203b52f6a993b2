// Input fed in chunks scans to the same events as input fed at once.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/textproc/xml_events.h"
#include "textproc/scanner/tpxml.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

// A document of every construct, long enough to span many margins, and the
// events (adjacent character data merged) it must give.
std::string MixedDocument(int items, std::vector<std::string>* events) {
    std::string doc =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE root [ <!ENTITY e 'x'> ]>\n<root>";
    *events = {"D:\n\n", "<root>"};
    for (int i = 0; i < items; ++i) {
        const std::string n = std::to_string(i);
        doc += "\n  <item id=\"" + n + "\" name='caf\xC3\xA9-" + n + "'>text " + n +
               " &amp; more-text</item>";
        events->insert(events->end(), {"D:\n  ", "<item id=" + n + " name=caf\xC3\xA9-" + n + ">",
                                       "D:text " + n + " ", "&:&amp;", "D: more-text", "</item>"});
        if (i % 7 == 0)
            doc += "<!-- a comment with <tags a='1'/> inside, " + std::string(i % 50, 'c') + " -->";
        if (i % 11 == 0) {
            const std::string raw = "raw <b>" + std::string(i % 90, 'r') + "</b> ]] text";
            doc += "<![CDATA[" + raw + "]]>";
            events->insert(events->end(), {"C[", "D:" + raw, "C]"});
        }
        if (i % 13 == 0) {
            const std::string v(i % 200, 'v');
            doc += "<empty a='" + v + "'/>";
            events->insert(events->end(), {"<empty a=" + v + ">", "</empty>"});
        }
    }
    events->insert(events->end(), {"D:\n", "</root>", "D:\n"});
    return doc + "\n</root>\n";
}

TEST(Chunking, ChunkedParseGivesTheDocumentsEvents) {
    std::vector<std::string> expected;
    const std::string doc = MixedDocument(2000, &expected);
    ASSERT_GT(doc.size(), 100000u);
    for (size_t chunk : {doc.size(), size_t{1}, size_t{3}, size_t{97}, size_t{4096}, size_t{8192},
                         size_t{8193}, size_t{50000}}) {
        SCOPED_TRACE(chunk);
        RecordingScanner s;
        for (size_t at = 0; at < doc.size(); at += chunk)
            ASSERT_EQ(1, s.Feed(doc.substr(at, chunk), 0));
        s.Feed("", 1);
        EXPECT_EQ(static_cast<int64_t>(doc.size()), KVTP_tpxml_byte_position(s.x.get()));
        EXPECT_EQ(expected, s.rec.Merged());
    }
}

TEST(Chunking, NothingIsScannedWhileWithinTheMargin) {
    RecordingScanner s;
    const std::string text(KVTP_TPXML_MARGIN - 4, 'x');
    s.Feed("<a/>" + text, 0);
    EXPECT_THAT(s.rec.events, IsEmpty());
    s.Feed("", 1);
    EXPECT_THAT(s.rec.events, ElementsAre("<a>", "</a>", "D:" + text));
}

TEST(Chunking, ScanningStartsOnceTheMarginIsExceeded) {
    RecordingScanner s;
    const std::string text(KVTP_TPXML_MARGIN, ' ');
    s.Feed("<a/>" + text, 0);
    // Four bytes beyond the margin: scanning stops after the four-byte tag and
    // the margin stays buffered.
    EXPECT_THAT(s.rec.events, ElementsAre("<a>", "</a>"));
    EXPECT_EQ(4, KVTP_tpxml_byte_position(s.x.get()));
    s.Feed("", 1);
    EXPECT_THAT(s.rec.events, ElementsAre("<a>", "</a>", "D:" + text));
}

TEST(Chunking, TextRunReachingTheBufferEndComesInTwoPieces) {
    RecordingScanner s;
    const std::string first(9000, 'a');
    s.Feed(first, 0);
    s.Feed("aaa", 1);
    EXPECT_THAT(s.rec.events, ElementsAre("D:" + first, "D:aaa"));
}

TEST(Chunking, CommentAndCdataStateCarryAcrossCalls) {
    RecordingScanner s;
    const std::string filler(KVTP_TPXML_MARGIN + 100, 'z');
    const std::string pieces[] = {"<!--", filler, "<a/>", "-->", "<![CDATA[",
                                  filler, "<b/>", "]]>",  "<c/>"};
    for (const std::string& p : pieces)
        s.Feed(p, 0);
    s.Feed("", 1);
    EXPECT_THAT(s.rec.Merged(), ElementsAre("C[", "D:" + filler + "<b/>", "C]", "<c>", "</c>"));
}

TEST(Chunking, TagCutByAChunkBoundaryIsReadWhole) {
    RecordingScanner s;
    const std::string text(KVTP_TPXML_MARGIN + 10, 'x');
    const std::string doc = text + "<tag attr='value'/>";
    const size_t cut = KVTP_TPXML_MARGIN + 17;  // inside the attribute
    s.Feed(doc.substr(0, cut), 0);
    s.Feed(doc.substr(cut), 0);
    s.Feed("", 1);
    EXPECT_THAT(s.rec.Merged(), ElementsAre("D:" + text, "<tag attr=value>", "</tag>"));
}

}  // namespace
