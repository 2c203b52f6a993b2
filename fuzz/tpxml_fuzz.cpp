// SPDX-License-Identifier: MIT
// Feeds arbitrary bytes to the XML scanner in arbitrary chunkings.
//
// Input: two bytes seeding the chunk sizes, then a unit of at most 2048 bytes.
// The document is the unit repeated past two scanner margins, so that
// non-final calls really scan and cut. Checks: every byte is consumed (no
// loop, no loss), and the events of the chunked parse equal those of a
// one-shot parse once adjacent character data is joined (a text run is cut
// where the buffered input ended). Constructs are bounded by about two units,
// well inside the margin, so none straddles it.
#include <algorithm>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_check.h"
#include "tests/textproc/xml_scanner_support.h"
#include "textproc/scanner/tpxml.h"

constexpr size_t kMaxUnit = 2048;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3 || size - 2 > kMaxUnit) {
        return 0;
    }
    uint32_t state = (static_cast<uint32_t>(data[0]) << 8 | data[1]) * 2654435761u + 1;
    std::string unit(reinterpret_cast<const char*>(data) + 2, size - 2);
    std::string doc;
    while (doc.size() < 2 * static_cast<size_t>(KVTP_TPXML_MARGIN) + 1024) {
        doc += unit;
    }

    xml_scanner_test::RecordingScanner whole;
    FuzzCheck(whole.Feed(doc, 1) == 1);
    FuzzCheck(KVTP_tpxml_byte_position(whole.x.get()) == static_cast<int64_t>(doc.size()));

    xml_scanner_test::RecordingScanner pieces;
    KVTP_tpxml* x = pieces.x.get();
    for (size_t at = 0; at < doc.size();) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        // Mostly small chunks, now and then one larger than the margin.
        size_t n = (state & 0x300) == 0 ? 1 + state % 12000 : 1 + state % 700;
        n = std::min(n, doc.size() - at);
        KVTP_tpxml_parse(x, doc.data() + at, static_cast<int32_t>(n), 0);
        at += n;
    }
    KVTP_tpxml_parse(x, nullptr, 0, 1);
    FuzzCheck(KVTP_tpxml_byte_position(x) == static_cast<int64_t>(doc.size()));  // no byte lost
    FuzzCheck(whole.Merged() == pieces.Merged());
    return 0;
}
