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
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "textproc/scanner/tpxml.h"

namespace {

constexpr size_t kMaxUnit = 2048;

struct Recorder {
    std::vector<std::string> events;

    void Add(std::string e, bool data) {
        if (data && !events.empty() && events.back()[0] == 'D') {
            events.back() += e;
        } else {
            events.push_back((data ? "D" : "") + e);
        }
    }
    static int Start(void* ud, const char* name, const char** atts) {
        std::string e = "S" + std::string(name);
        for (int i = 0; atts[i] != nullptr; ++i) {
            e += '\0';
            e += atts[i];
        }
        static_cast<Recorder*>(ud)->Add(e, false);
        return 0;
    }
    static int End(void* ud, const char* name) {
        static_cast<Recorder*>(ud)->Add("E" + std::string(name), false);
        return 0;
    }
    static int Data(void* ud, const char* text, int32_t len) {
        static_cast<Recorder*>(ud)->Add(std::string(text, static_cast<size_t>(len)), true);
        return 0;
    }
    static int Entity(void* ud, const char* text, int32_t len) {
        static_cast<Recorder*>(ud)->Add("&" + std::string(text, static_cast<size_t>(len)), false);
        return 0;
    }
    static int CdataStart(void* ud) {
        static_cast<Recorder*>(ud)->Add("[", false);
        return 0;
    }
    static int CdataEnd(void* ud) {
        static_cast<Recorder*>(ud)->Add("]", false);
        return 0;
    }
};

KVTP_tpxml* NewScanner(Recorder* rec) {
    KVTP_tpxml* x = KVTP_tpxml_new();
    FuzzCheck(x != nullptr);
    KVTP_tpxml_set_userdata(x, rec);
    KVTP_tpxml_set_element_handler(x, Recorder::Start, Recorder::End);
    KVTP_tpxml_set_character_data_handler(x, Recorder::Data);
    KVTP_tpxml_set_entity_handler(x, Recorder::Entity);
    KVTP_tpxml_set_cdata_section_handler(x, Recorder::CdataStart, Recorder::CdataEnd);
    return x;
}

}  // namespace

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

    Recorder whole;
    KVTP_tpxml* x = NewScanner(&whole);
    FuzzCheck(KVTP_tpxml_parse(x, doc.data(), static_cast<int32_t>(doc.size()), 1) == 1);
    FuzzCheck(KVTP_tpxml_byte_position(x) == static_cast<int64_t>(doc.size()));  // no byte lost
    KVTP_tpxml_delete(x);

    Recorder pieces;
    x = NewScanner(&pieces);
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
    FuzzCheck(KVTP_tpxml_byte_position(x) == static_cast<int64_t>(doc.size()));
    KVTP_tpxml_delete(x);

    FuzzCheck(whole.events == pieces.events);
    return 0;
}
