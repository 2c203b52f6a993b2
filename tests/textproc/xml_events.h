// Records a scanner's events as short strings for comparison in tests:
// "<name a=1 b=2>" start, "</name>" end, "D:text" character data, "&:ref"
// entity, "C[" and "C]" CDATA start and end.
#ifndef VRELAY_TESTS_TEXTPROC_XML_EVENTS_H
#define VRELAY_TESTS_TEXTPROC_XML_EVENTS_H

#include <string>
#include <vector>

#include "textproc/tpxml.h"

struct XmlEvents {
    std::vector<std::string> events;

    static int Start(void* ud, const char* name, const char** atts) {
        std::string e = "<" + std::string(name);
        for (int i = 0; atts[i] != nullptr; i += 2) {
            e += " " + std::string(atts[i]) + "=" + std::string(atts[i + 1]);
        }
        static_cast<XmlEvents*>(ud)->events.push_back(e + ">");
        return 0;
    }
    static int End(void* ud, const char* name) {
        static_cast<XmlEvents*>(ud)->events.push_back("</" + std::string(name) + ">");
        return 0;
    }
    static int Data(void* ud, const char* text, int32_t len) {
        static_cast<XmlEvents*>(ud)->events.push_back("D:" + std::string(text, len));
        return 0;
    }
    static int Entity(void* ud, const char* text, int32_t len) {
        static_cast<XmlEvents*>(ud)->events.push_back("&:" + std::string(text, len));
        return 0;
    }
    static int CdataStart(void* ud) {
        static_cast<XmlEvents*>(ud)->events.push_back("C[");
        return 0;
    }
    static int CdataEnd(void* ud) {
        static_cast<XmlEvents*>(ud)->events.push_back("C]");
        return 0;
    }

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
            if (!out.empty() && e.rfind("D:", 0) == 0 && out.back().rfind("D:", 0) == 0) {
                out.back() += e.substr(2);
            } else {
                out.push_back(e);
            }
        }
        return out;
    }
};

#endif  // VRELAY_TESTS_TEXTPROC_XML_EVENTS_H
