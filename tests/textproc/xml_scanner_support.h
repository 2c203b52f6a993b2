// SPDX-License-Identifier: MIT
// The markup scanner's events recorded as short strings, for its tests and
// its fuzz target.
#ifndef VRELAY_TESTS_TEXTPROC_XML_SCANNER_SUPPORT_H
#define VRELAY_TESTS_TEXTPROC_XML_SCANNER_SUPPORT_H

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "textproc/scanner/tpxml.h"

namespace xml_scanner_test {

// A scanner whose events are recorded as short strings: "<name a=1 b=2>"
// start, "</name>" end, "D:text" character data, "&:ref" entity, "C[" and "C]"
// CDATA start and end.
struct RecordingScanner {
    std::unique_ptr<KVTP_tpxml, void (*)(KVTP_tpxml*)> x{KVTP_tpxml_new(), KVTP_tpxml_delete};
    std::vector<std::string> events;

    RecordingScanner() {
        KVTP_tpxml_set_userdata(x.get(), this);
        KVTP_tpxml_set_element_handler(
            x.get(),
            [](void* ud, const char* name, const char** atts) {
                std::string e = "<" + std::string(name);
                for (int i = 0; atts[i] != nullptr; i += 2)
                    e += " " + std::string(atts[i]) + "=" + atts[i + 1];
                return Add(ud, e + ">");
            },
            [](void* ud, const char* name) { return Add(ud, "</" + std::string(name) + ">"); });
        KVTP_tpxml_set_character_data_handler(x.get(), [](void* ud, const char* s, int32_t n) {
            return Add(ud, "D:" + std::string(s, n));
        });
        KVTP_tpxml_set_entity_handler(x.get(), [](void* ud, const char* s, int32_t n) {
            return Add(ud, "&:" + std::string(s, n));
        });
        KVTP_tpxml_set_cdata_section_handler(
            x.get(), [](void* ud) { return Add(ud, "C["); },
            [](void* ud) { return Add(ud, "C]"); });
    }
    static int Add(void* ud, std::string e) {
        static_cast<RecordingScanner*>(ud)->events.push_back(std::move(e));
        return 0;
    }
    int Feed(const std::string& s, int32_t final) {
        return KVTP_tpxml_parse(x.get(), s.data(), static_cast<int32_t>(s.size()), final);
    }
    // Adjacent character data joined: where a text run is cut depends on where
    // the buffered input ended, its bytes do not.
    std::vector<std::string> Merged() const {
        std::vector<std::string> out;
        for (const std::string& e : events) {
            if (!out.empty() && e.rfind("D:", 0) == 0 && out.back().rfind("D:", 0) == 0)
                out.back() += e.substr(2);
            else
                out.push_back(e);
        }
        return out;
    }
};

}  // namespace xml_scanner_test

#endif  // VRELAY_TESTS_TEXTPROC_XML_SCANNER_SUPPORT_H
