// The voice catalogue: the server's voice list as an enumerator of named
// voices with their attributes.
//
// A voice element without a name attribute is skipped. A missing string
// attribute reads as "", a missing integer attribute as 0.
#ifndef VRELAY_CLIENT_VOICES_H
#define VRELAY_CLIENT_VOICES_H

#include <memory>
#include <string>
#include <vector>

#include "client/enumerator.h"

namespace vrelay {

// The attributes of one voice element, each from the attribute of its name.
struct NamedVoiceInfo {
    std::string VOICE_ID;
    std::string SEX;
    std::string LANGUAGE;
    std::string LANGUAGE_ID;
    std::string COUNTRY;
    std::string COUNTRY_ID;
    std::string REGION;
    std::string ACCENT;
    std::string ACCENT_ID;
    std::string VOICE_UUID;
    int32_t SAMPLE_RATE = 0;
    int32_t SAMPLE_BITS = 0;
    std::string ENCODING;
    std::string LANGUAGE_CODE_ISO;
    std::string LANGUAGE_CODE_MICROSOFT;
    std::string COUNTRY_CODE_ISO;

    // The field for a string key (3 to 16), or null for another key.
    const std::string* StringValue(int32_t key) const;
};

class NameEnumerator : public Enumerator {
  public:
    NameEnumerator() = default;

    // Appends every voice element of an XML voice list, at any depth, the root
    // included, in document order. False when the text is not well-formed XML
    // (nothing is appended then).
    bool ParseVoiceList(const char* xml, size_t length);

    size_t Count() const { return m_names.size(); }
    // The voice vrNextVoice returned last, or null.
    const NamedVoiceInfo* Current() const;
    // The next name, advancing; null at the end.
    const char* Next();

    // Filled before the enumerator gets its handle, read-only afterwards.
    std::vector<std::string> m_names;
    std::vector<std::unique_ptr<NamedVoiceInfo>> m_voices;
};

// The longest voice list a query collects; past it the list counts as not
// received (the enumerator is empty).
constexpr size_t kMaxVoiceListBytes = 16u << 20;

// The query that lists every voice, and the one that selects a voice.
extern const char kListVoicesQuery[];
std::string VoiceSelectionQuery(const std::string& name);

}  // namespace vrelay

#endif
