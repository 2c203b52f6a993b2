// Records a scanner's events as short strings for comparison in tests:
// "<name a=1 b=2>" start, "</name>" end, "D:text" character data, "&:ref"
// entity, "C[" and "C]" CDATA start and end.
#ifndef VRELAY_TESTS_TEXTPROC_XML_EVENTS_H
#define VRELAY_TESTS_TEXTPROC_XML_EVENTS_H

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "textproc/scanner/tpxml.h"

struct XmlEvents {
    std::vector<std::string> events;

    static int Add(void* ud, std::string e) {
        static_cast<XmlEvents*>(ud)->events.push_back(std::move(e));
        return 0;
    }
    static int Start(void* ud, const char* name, const char** atts) {
        std::string e = "<" + std::string(name);
        for (int i = 0; atts[i] != nullptr; i += 2)
            e += " " + std::string(atts[i]) + "=" + std::string(atts[i + 1]);
        return Add(ud, e + ">");
    }
    static int End(void* ud, const char* name) { return Add(ud, "</" + std::string(name) + ">"); }
    static int Data(void* ud, const char* s, int32_t n) {
        return Add(ud, "D:" + std::string(s, n));
    }
    static int Entity(void* ud, const char* s, int32_t n) {
        return Add(ud, "&:" + std::string(s, n));
    }
    static int CdataStart(void* ud) { return Add(ud, "C["); }
    static int CdataEnd(void* ud) { return Add(ud, "C]"); }

    void Attach(KVTP_tpxml* x) {
        KVTP_tpxml_set_userdata(x, this);
        KVTP_tpxml_set_element_handler(x, Start, End);
        KVTP_tpxml_set_character_data_handler(x, Data);
        KVTP_tpxml_set_entity_handler(x, Entity);
        KVTP_tpxml_set_cdata_section_handler(x, CdataStart, CdataEnd);
    }

    // Adjacent character data joined: how a text run is cut depends on where
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

// A scanner with a recorder attached.
struct RecordingScanner {
    std::unique_ptr<KVTP_tpxml, void (*)(KVTP_tpxml*)> x{KVTP_tpxml_new(), KVTP_tpxml_delete};
    XmlEvents rec;

    RecordingScanner() { rec.Attach(x.get()); }
    int Feed(const std::string& s, int32_t final) {
        return KVTP_tpxml_parse(x.get(), s.data(), static_cast<int32_t>(s.size()), final);
    }
};

#endif  // VRELAY_TESTS_TEXTPROC_XML_EVENTS_H
