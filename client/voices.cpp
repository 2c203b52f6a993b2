// SPDX-License-Identifier: MIT
#include "client/voices.h"

#include <libxml/parser.h>
#include <vrelay/vrelay.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "client/handles.h"

namespace vrelay {

const char kListVoicesQuery[] = "<voice name=\"all\"/>";

namespace {

// The attribute each field reads: the name, then keys 1 to 17.
constexpr size_t kFields = 18;
constexpr const char* kAttributeNames[kFields] = {"name",
                                                  "SAMPLE_RATE",
                                                  "SAMPLE_BITS",
                                                  "VOICE_ID",
                                                  "SEX",
                                                  "LANGUAGE",
                                                  "LANGUAGE_ID",
                                                  "COUNTRY",
                                                  "COUNTRY_ID",
                                                  "REGION",
                                                  "ACCENT",
                                                  "ACCENT_ID",
                                                  "VOICE_UUID",
                                                  "ENCODING",
                                                  "LANGUAGE_CODE_ISO",
                                                  "LANGUAGE_CODE_MICROSOFT",
                                                  "COUNTRY_CODE_ISO",
                                                  "LANGUAGES"};
static_assert(VR_SAMPLE_RATE == 1 && VR_SAMPLE_BITS == 2 && VR_VOICE_ID == 3 &&
                  VR_LANGUAGES == kFields - 1,
              "the fields follow the keys");

bool IsIntegerField(size_t field) {
    return field == VR_SAMPLE_RATE || field == VR_SAMPLE_BITS;
}

// An integer attribute: its leading decimal digits, after white space and a
// '+'. 0 when there are none, or when the value is negative or over
// INT32_MAX, so that no value reads as a result code.
uint32_t ReadNumber(const char* at, const char* end) {
    while (at < end && (*at == ' ' || (*at >= '\t' && *at <= '\r'))) {
        ++at;
    }
    if (at < end && *at == '+') {
        ++at;
    }
    uint64_t value = 0;
    for (; at < end && *at >= '0' && *at <= '9'; ++at) {
        value = value * 10 + static_cast<uint64_t>(*at - '0');
        if (value > static_cast<uint64_t>(INT32_MAX)) {
            return 0;
        }
    }
    return static_cast<uint32_t>(value);
}

// Appends an attribute value as the parser hands it over and its NUL. Not
// substituting entities, the parser passes every '&' of the value as the
// reference "&#38;".
void AppendValue(std::string* text, const char* at, const char* end) {
    static constexpr char kAmpersand[] = "&#38;";
    constexpr size_t kAmpersandLength = sizeof kAmpersand - 1;
    while (at < end) {
        const char* amp =
            static_cast<const char*>(std::memchr(at, '&', static_cast<size_t>(end - at)));
        if (!amp) {
            text->append(at, end);
            break;
        }
        text->append(at, amp);
        text->push_back('&');
        const bool reference = static_cast<size_t>(end - amp) >= kAmpersandLength &&
                               std::memcmp(amp, kAmpersand, kAmpersandLength) == 0;
        at = amp + (reference ? kAmpersandLength : 1);
    }
    text->push_back('\0');
}

// True when a tag holds more than most attributes: counts the '=' outside
// quotes between '<' and '>'; comments and CDATA sections are skipped.
bool HasCrowdedTag(std::string_view xml, size_t most) {
    size_t at = 0;
    while ((at = xml.find('<', at)) != std::string_view::npos) {
        const std::string_view rest = xml.substr(at);
        const char* skipTo = rest.compare(0, 4, "<!--") == 0        ? "-->"
                             : rest.compare(0, 9, "<![CDATA[") == 0 ? "]]>"
                                                                    : nullptr;
        if (skipTo) {
            at = xml.find(skipTo, at + 4);
            continue;
        }
        size_t count = 0;
        char quote = 0;
        for (++at; at < xml.size(); ++at) {
            const char c = xml[at];
            if (quote) {
                quote = c == quote ? 0 : quote;
            } else if (c == '"' || c == '\'') {
                quote = c;
            } else if (c == '>') {
                break;
            } else if (c == '=' && ++count > most) {
                return true;
            }
        }
    }
    return false;
}

}  // namespace

// The parser's SAX user data: reads each voice element into the enumerator's
// fields as the parser meets it, so that no document tree is built.
class NameEnumerator::Builder {
  public:
    explicit Builder(NameEnumerator* voices) : voices_(voices) {}

    static void StartElement(void* self, const xmlChar* localName, const xmlChar*, const xmlChar*,
                             int, const xmlChar**, int attributeCount, int,
                             const xmlChar** attributes) noexcept {
        auto* builder = static_cast<Builder*>(self);
        if (std::strcmp(reinterpret_cast<const char*>(localName), "voice") != 0) {
            return;
        }
        try {
            builder->AddVoice(attributeCount, reinterpret_cast<const char**>(attributes));
        } catch (...) {
            builder->failed_ = true;  // out of memory: the list is refused
            xmlStopParser(builder->parser_);
        }
    }
    // The list takes no definitions from the server: a document type
    // declaration ends the parse before its declarations are read.
    static void StopAtDocumentType(void* self, const xmlChar*, const xmlChar*,
                                   const xmlChar*) noexcept {
        xmlStopParser(static_cast<Builder*>(self)->parser_);
    }
    static void IgnoreError(void*, xmlErrorPtr) noexcept {}

    void SetParser(xmlParserCtxtPtr parser) { parser_ = parser; }
    bool Failed() const { return failed_; }

  private:
    // attributes: five pointers each (local name, prefix, URI, value, value
    // end). The first attribute of each local name counts, as with
    // xmlGetProp.
    void AddVoice(int count, const char** attributes) {
        const char* found[kFields][2] = {};
        for (int i = 0; i < count; ++i) {
            const char** attribute = attributes + 5 * i;
            for (size_t field = 0; field < kFields; ++field) {
                if (!found[field][0] && std::strcmp(attribute[0], kAttributeNames[field]) == 0) {
                    found[field][0] = attribute[3];
                    found[field][1] = attribute[4];
                    break;
                }
            }
        }
        if (!found[0][0]) {
            return;  // a voice needs a name
        }
        std::vector<uint32_t>& fields = voices_->fields_;
        const size_t start = fields.size();
        fields.resize(start + 2);  // the name and the mask
        uint32_t mask = 0;
        for (size_t field = 0; field < kFields; ++field) {
            const char* begin = found[field][0];
            const char* end = found[field][1];
            uint32_t value = 0;
            if (IsIntegerField(field)) {
                value = begin ? ReadNumber(begin, end) : 0;
            } else if (begin && begin != end) {
                value = static_cast<uint32_t>(voices_->text_.size());
                AppendValue(&voices_->text_, begin, end);
            }
            if (field == 0) {
                fields[start] = value;
            } else if (value != 0) {
                mask |= 1u << field;
                fields.push_back(value);
            }
        }
        fields[start + 1] = mask;
        voices_->start_.push_back(static_cast<uint32_t>(start));
    }

    NameEnumerator* voices_;
    xmlParserCtxtPtr parser_ = nullptr;
    bool failed_ = false;
};

bool NameEnumerator::ParseVoiceList(const char* xml, size_t length) {
    if (length == 0 || length > static_cast<size_t>(INT32_MAX) ||
        HasCrowdedTag(std::string_view(xml, length), kMaxAttributes)) {
        return false;
    }
    // libxml2 sets up its global tables on first use, and two threads doing
    // that at once race (one set is lost); it is done once here, before any
    // parse of ours.
    static const bool xml_ready = (xmlInitParser(), true);
    (void)xml_ready;
    xmlSAXHandler sax;
    std::memset(&sax, 0, sizeof sax);
    sax.initialized = XML_SAX2_MAGIC;
    sax.startElementNs = Builder::StartElement;
    sax.internalSubset = Builder::StopAtDocumentType;
    sax.serror = Builder::IgnoreError;
    Builder builder(this);
    xmlParserCtxtPtr parser = xmlCreatePushParserCtxt(&sax, &builder, nullptr, 0, nullptr);
    if (!parser) {
        return false;
    }
    builder.SetParser(parser);
    // No entity substitution, no DTD loading, no network.
    xmlCtxtUseOptions(parser, XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
    const size_t textBefore = text_.size();
    const size_t fieldsBefore = fields_.size();
    const size_t voicesBefore = start_.size();
    // Fed in pieces, so that the parser's copy of the input stays small.
    constexpr size_t kPiece = 64 << 10;
    int rc = 0;
    for (size_t at = 0; rc == 0 && at < length; at += kPiece) {
        const size_t piece = std::min(kPiece, length - at);
        rc = xmlParseChunk(parser, xml + at, static_cast<int>(piece), at + piece == length);
    }
    const bool parsed = rc == 0 && parser->wellFormed && !builder.Failed();
    xmlFreeParserCtxt(parser);
    if (!parsed) {
        text_.resize(textBefore);
        fields_.resize(fieldsBefore);
        start_.resize(voicesBefore);
    }
    return parsed;
}

int64_t NameEnumerator::CurrentIndex() const {
    const int64_t current = static_cast<int64_t>(position_.load()) - 1;
    return current >= 0 && static_cast<size_t>(current) < Count() ? current : -1;
}

const char* NameEnumerator::Next() {
    int32_t position = position_.load();
    do {
        if (position < 0 || static_cast<size_t>(position) >= Count()) {
            return nullptr;
        }
    } while (!position_.compare_exchange_weak(position, position + 1));
    return Name(static_cast<size_t>(position));
}

uint32_t NameEnumerator::Field(size_t index, int32_t key) const {
    const size_t start = start_[index];
    const uint32_t mask = fields_[start + 1];
    const uint32_t bit = 1u << key;
    if ((mask & bit) == 0) {
        return 0;
    }
    // The fields of the keys below this one come first.
    return fields_[start + 2 + static_cast<size_t>(__builtin_popcount(mask & (bit - 1)))];
}

const char* NameEnumerator::StringValue(int32_t key) const {
    const int64_t current = CurrentIndex();
    if (current < 0 || key < VR_VOICE_ID || key > VR_LANGUAGES) {
        return nullptr;
    }
    return text_.c_str() + Field(static_cast<size_t>(current), key);
}

int32_t NameEnumerator::IntegerValue(int32_t key) const {
    const int64_t current = CurrentIndex();
    if (current < 0) {
        return VR_NO_CURRENT_VOICE;
    }
    if (key != VR_SAMPLE_RATE && key != VR_SAMPLE_BITS) {
        return VR_BAD_KEY;
    }
    return static_cast<int32_t>(Field(static_cast<size_t>(current), key));
}

}  // namespace vrelay

namespace {

using vrelay::CallRules;
using vrelay::ClientConnection;
using vrelay::Enumerators;
using vrelay::NameEnumerator;
using vrelay::NoThrow;
using vrelay::OnConnection;
using vrelay::PacketSink;
using vrelay::Warn;

std::shared_ptr<NameEnumerator> LookupVoices(vr_handle enumerator) {
    return std::static_pointer_cast<NameEnumerator>(Enumerators().Lookup(enumerator));
}

// Collects the voice list: each PACKET_QUERY payload up to its length or its
// first NUL, whichever comes first. Past kMaxVoiceListBytes it refuses the
// next packet, which ends the query as failed: a server that floods the
// reply cannot exhaust the application's memory.
class ReplyCollector : public PacketSink {
  public:
    bool Deliver(uint16_t type, const unsigned char* data, uint32_t length) override {
        if (type != vrelay::wire::kQuery || !data) {
            return true;
        }
        const void* nul = std::memchr(data, '\0', length);
        const size_t size =
            nul ? static_cast<size_t>(static_cast<const unsigned char*>(nul) - data) : length;
        if (reply.size() + size > vrelay::kMaxVoiceListBytes) {
            return false;
        }
        reply.append(reinterpret_cast<const char*>(data), size);
        return true;
    }
    bool DeliverPhoneme(const vrelay::wire::Phoneme&) override { return true; }
    std::string reply;
};

// One query exchange, its answer handed to sink (the application's callback
// when null).
vr_result Query(ClientConnection& c, const char* query, PacketSink* sink) {
    return vrelay::RequestResult(c.Query(query, sink), true);
}

// Reads the server's voice list into voices. The reply goes to a collector
// of its own: the application's callback and user data are never touched,
// so requests on other threads keep their packets. A failed query leaves
// voices empty.
void ReadVoices(ClientConnection& c, NameEnumerator* voices) {
    ReplyCollector collector;
    if (Query(c, vrelay::kListVoicesQuery, &collector) == VR_SUCCESS) {
        voices->ParseVoiceList(collector.reply.data(), collector.reply.size());
    }
}

vr_result QueryServer(vr_handle connection, const char* query) {
    return OnConnection(connection, [&](ClientConnection& c) {
        return query ? Query(c, query, nullptr) : VR_SEND_FAILED;
    });
}

vr_handle EnumerateVoices(vr_handle connection) {
    return OnConnection(connection, [](ClientConnection& c) {
        auto voices = std::make_unique<NameEnumerator>();
        ReadVoices(c, voices.get());
        // Published only when complete: from here on it is read-only.
        return Enumerators().Add([&] { return voices.release(); });
    });
}

vr_result SetVoice(vr_handle connection, const char* name) {
    CallRules rules;
    rules.unknown = VR_ERROR;
    rules.unknownWarning = "WARNING: failed to set voice. Using default instead\n";
    return OnConnection(
        connection,
        [&](ClientConnection& c) {
            if (name == nullptr) {
                Warn(rules.unknownWarning);
                return VR_ERROR;
            }
            // The list is this call's own and has no handle, so that no other
            // thread can close it under the call.
            NameEnumerator voices;
            ReadVoices(c, &voices);
            bool found = false;
            for (size_t i = 0; i < voices.Count() && !found; ++i) {
                found = std::strcmp(voices.Name(i), name) == 0;
            }
            if (!found) {
                Warn("WARNING: voice was not found. Using default instead\n");
                return VR_ERROR;
            }
            if (Query(c, vrelay::VoiceSelectionQuery(name).c_str(), nullptr) != VR_SUCCESS) {
                Warn("WARNING: vrServer query failed, the voice has not been switched\n");
                return VR_ERROR;
            }
            return VR_SUCCESS;
        },
        rules);
}

vr_result SetVoiceFast(vr_handle connection, const char* name) {
    const vr_result result =
        name ? QueryServer(connection, vrelay::VoiceSelectionQuery(name).c_str()) : VR_SEND_FAILED;
    if (result != VR_SUCCESS && result != VR_BUSY) {
        Warn("WARNING: vrServer query failed, the voice has not been switched\n");
    }
    return result;
}

}  // namespace

extern "C" {

VR_API vr_result VR_CDECL vrQueryServer(vr_handle connection, const char* query) {
    return QueryServer(connection, query);
}

VR_API vr_handle VR_CDECL vrEnumerateConnectionVoices(vr_handle connection) {
    return EnumerateVoices(connection);
}

VR_API int32_t VR_CDECL vrNumVoices(vr_handle enumerator) {
    return NoThrow(VR_BAD_HANDLE, [&]() -> int32_t {
        auto voices = LookupVoices(enumerator);
        return voices ? static_cast<int32_t>(voices->Count()) : VR_BAD_HANDLE;
    });
}

VR_API const char* VR_CDECL vrNextVoice(vr_handle enumerator) {
    return NoThrow(static_cast<const char*>(nullptr), [&]() -> const char* {
        auto voices = LookupVoices(enumerator);
        return voices ? voices->Next() : nullptr;
    });
}

VR_API vr_result VR_CDECL vrRewindEnumerator(vr_handle enumerator) {
    return NoThrow(VR_BAD_HANDLE, [&]() -> int32_t {
        auto voices = LookupVoices(enumerator);
        if (!voices) {
            return VR_BAD_HANDLE;
        }
        voices->rewind();
        return VR_SUCCESS;
    });
}

VR_API vr_result VR_CDECL vrCloseEnumerator(vr_handle enumerator) {
    return NoThrow(VR_ERROR, [&]() -> int32_t {
        Enumerators().Remove(enumerator);
        return VR_SUCCESS;
    });
}

VR_API const char* VR_CDECL vrGetVoiceStringValue(vr_handle enumerator, int32_t key) {
    return NoThrow(static_cast<const char*>(nullptr), [&]() -> const char* {
        auto voices = LookupVoices(enumerator);
        return voices ? voices->StringValue(key) : nullptr;
    });
}

VR_API int32_t VR_CDECL vrGetVoiceIntegerValue(vr_handle enumerator, int32_t key) {
    return NoThrow(VR_BAD_HANDLE, [&]() -> int32_t {
        auto voices = LookupVoices(enumerator);
        return voices ? voices->IntegerValue(key) : VR_BAD_HANDLE;
    });
}

VR_API vr_result VR_CDECL vrSetVoice(vr_handle connection, const char* name) {
    return SetVoice(connection, name);
}

VR_API vr_result VR_CDECL vrSetVoiceFast(vr_handle connection, const char* name) {
    return NoThrow(VR_ERROR, [&] { return SetVoiceFast(connection, name); });
}

}  // extern "C"
