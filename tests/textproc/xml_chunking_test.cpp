#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/textproc/xml_events.h"
#include "textproc/tpxml.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

struct ScannerDeleter {
    void operator()(KVTP_tpxml* x) const { KVTP_tpxml_delete(x); }
};
using Scanner = std::unique_ptr<KVTP_tpxml, ScannerDeleter>;

// A document of every construct, long enough to span many margins.
std::string MixedDocument(int items) {
    std::string doc =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE root [ <!ENTITY e 'x'> ]>\n<root>";
    for (int i = 0; i < items; ++i) {
        std::string n = std::to_string(i);
        doc += "\n  <item id=\"" + n + "\" name='caf\xC3\xA9-" + n + "'>text " + n +
               " &amp; more-text</item>";
        if (i % 7 == 0) {
            doc += "<!-- a comment with <tags a='1'/> inside, " + std::string(i % 50, 'c') + " -->";
        }
        if (i % 11 == 0) {
            doc += "<![CDATA[raw <b>" + std::string(i % 90, 'r') + "</b> ]] text]]>";
        }
        if (i % 13 == 0) {
            doc += "<empty a='" + std::string(i % 200, 'v') + "'/>";
        }
    }
    return doc + "\n</root>\n";
}

std::vector<std::string> OneShot(const std::string& doc) {
    Scanner x(KVTP_tpxml_new());
    XmlEvents rec;
    rec.Attach(x.get());
    KVTP_tpxml_parse(x.get(), doc.data(), static_cast<int32_t>(doc.size()), 1);
    return rec.Merged();
}

std::vector<std::string> Chunked(const std::string& doc, size_t chunk) {
    Scanner x(KVTP_tpxml_new());
    XmlEvents rec;
    rec.Attach(x.get());
    for (size_t at = 0; at < doc.size(); at += chunk) {
        size_t n = std::min(chunk, doc.size() - at);
        EXPECT_EQ(1, KVTP_tpxml_parse(x.get(), doc.data() + at, static_cast<int32_t>(n), 0));
    }
    KVTP_tpxml_parse(x.get(), nullptr, 0, 1);
    EXPECT_EQ(static_cast<int64_t>(doc.size()), KVTP_tpxml_byte_position(x.get()));
    return rec.Merged();
}

TEST(Chunking, ChunkedParseEqualsOneShotParse) {
    const std::string doc = MixedDocument(2000);
    ASSERT_GT(doc.size(), 100000u);
    const std::vector<std::string> expected = OneShot(doc);
    for (size_t chunk : {1u, 3u, 97u, 4096u, 8192u, 8193u, 50000u}) {
        SCOPED_TRACE(chunk);
        EXPECT_EQ(expected, Chunked(doc, chunk));
    }
}

TEST(Chunking, NothingIsScannedWhileWithinTheMargin) {
    Scanner x(KVTP_tpxml_new());
    XmlEvents rec;
    rec.Attach(x.get());
    const std::string doc = "<a/>" + std::string(KVTP_TPXML_MARGIN - 4, 'x');
    KVTP_tpxml_parse(x.get(), doc.data(), static_cast<int32_t>(doc.size()), 0);
    EXPECT_THAT(rec.events, IsEmpty());
    KVTP_tpxml_parse(x.get(), "", 0, 1);
    EXPECT_THAT(rec.events,
                ElementsAre("<a>", "</a>", "D:" + std::string(KVTP_TPXML_MARGIN - 4, 'x')));
}

TEST(Chunking, ScanningStartsOnceTheMarginIsExceeded) {
    Scanner x(KVTP_tpxml_new());
    XmlEvents rec;
    rec.Attach(x.get());
    const std::string doc = "<a/>" + std::string(KVTP_TPXML_MARGIN, ' ');
    KVTP_tpxml_parse(x.get(), doc.data(), static_cast<int32_t>(doc.size()), 0);
    // Four bytes beyond the margin: scanning stops after the four-byte tag and
    // the margin stays buffered.
    EXPECT_THAT(rec.events, ElementsAre("<a>", "</a>"));
    EXPECT_EQ(4, KVTP_tpxml_byte_position(x.get()));
    KVTP_tpxml_parse(x.get(), nullptr, 0, 1);
    EXPECT_THAT(rec.events, ElementsAre("<a>", "</a>", "D:" + std::string(KVTP_TPXML_MARGIN, ' ')));
}

TEST(Chunking, TextRunReachingTheBufferEndComesInTwoPieces) {
    Scanner x(KVTP_tpxml_new());
    XmlEvents rec;
    rec.Attach(x.get());
    const std::string first(9000, 'a');
    KVTP_tpxml_parse(x.get(), first.data(), static_cast<int32_t>(first.size()), 0);
    KVTP_tpxml_parse(x.get(), "aaa", 3, 1);
    EXPECT_THAT(rec.events, ElementsAre("D:" + first, "D:aaa"));
}

TEST(Chunking, CommentAndCdataStateCarryAcrossCalls) {
    Scanner x(KVTP_tpxml_new());
    XmlEvents rec;
    rec.Attach(x.get());
    const std::string filler(KVTP_TPXML_MARGIN + 100, 'z');
    const std::string pieces[] = {"<!--", filler, "<a/>", "-->", "<![CDATA[",
                                  filler, "<b/>", "]]>",  "<c/>"};
    for (const std::string& p : pieces) {
        KVTP_tpxml_parse(x.get(), p.data(), static_cast<int32_t>(p.size()), 0);
    }
    KVTP_tpxml_parse(x.get(), nullptr, 0, 1);
    EXPECT_THAT(rec.Merged(), ElementsAre("C[", "D:" + filler + "<b/>", "C]", "<c>", "</c>"));
}

TEST(Chunking, TagCutByAChunkBoundaryIsReadWhole) {
    Scanner x(KVTP_tpxml_new());
    XmlEvents rec;
    rec.Attach(x.get());
    const std::string doc = std::string(KVTP_TPXML_MARGIN + 10, 'x') + "<tag attr='value'/>";
    const size_t cut = KVTP_TPXML_MARGIN + 17;  // inside the attribute
    KVTP_tpxml_parse(x.get(), doc.data(), static_cast<int32_t>(cut), 0);
    KVTP_tpxml_parse(x.get(), doc.data() + cut, static_cast<int32_t>(doc.size() - cut), 0);
    KVTP_tpxml_parse(x.get(), nullptr, 0, 1);
    EXPECT_THAT(rec.Merged(), ElementsAre("D:" + std::string(KVTP_TPXML_MARGIN + 10, 'x'),
                                          "<tag attr=value>", "</tag>"));
}

}  // namespace
