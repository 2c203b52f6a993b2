#include "client/voices.h"

#include <libxml/parser.h>
#include <libxml/tree.h>
#include <vrelay/vrelay.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "client/handles.h"

namespace vrelay {

const char kListVoicesQuery[] = "<voice name=\"all\"/>";

std::string VoiceSelectionQuery(const std::string& name) {
    // The name goes between single quotes: the characters that could end the
    // attribute or start markup travel as character references, so that a
    // name like "it's" selects that voice and nothing else. Other names go
    // out byte for byte.
    std::string query = "<voice name='";
    for (char c : name) {
        switch (c) {
            case '&':
                query += "&amp;";
                break;
            case '<':
                query += "&lt;";
                break;
            case '\'':
                query += "&apos;";
                break;
            case '"':
                query += "&quot;";
                break;
            default:
                query += c;
        }
    }
    return query + "' select='1'/>";
}

const std::string* NamedVoiceInfo::StringValue(int32_t key) const {
    switch (key) {
        case VR_VOICE_ID:
            return &VOICE_ID;
        case VR_SEX:
            return &SEX;
        case VR_LANGUAGE:
            return &LANGUAGE;
        case VR_LANGUAGE_ID:
            return &LANGUAGE_ID;
        case VR_COUNTRY:
            return &COUNTRY;
        case VR_COUNTRY_ID:
            return &COUNTRY_ID;
        case VR_REGION:
            return &REGION;
        case VR_ACCENT:
            return &ACCENT;
        case VR_ACCENT_ID:
            return &ACCENT_ID;
        case VR_VOICE_UUID:
            return &VOICE_UUID;
        case VR_ENCODING:
            return &ENCODING;
        case VR_LANGUAGE_CODE_ISO:
            return &LANGUAGE_CODE_ISO;
        case VR_LANGUAGE_CODE_MICROSOFT:
            return &LANGUAGE_CODE_MICROSOFT;
        case VR_COUNTRY_CODE_ISO:
            return &COUNTRY_CODE_ISO;
        default:
            return nullptr;
    }
}

namespace {

// An attribute's value, "" when the element does not have it.
std::string Attribute(xmlNodePtr node, const char* name, bool* present = nullptr) {
    xmlChar* value = xmlGetProp(node, reinterpret_cast<const xmlChar*>(name));
    if (present) {
        *present = value != nullptr;
    }
    if (!value) {
        return std::string();
    }
    std::string text(reinterpret_cast<const char*>(value));
    xmlFree(value);
    return text;
}

int32_t IntegerAttribute(xmlNodePtr node, const char* name) {
    return static_cast<int32_t>(std::atoi(Attribute(node, name).c_str()));
}

void ReadVoice(xmlNodePtr node, NameEnumerator* voices) {
    bool named = false;
    std::string name = Attribute(node, "name", &named);
    if (!named) {
        return;
    }
    auto info = std::make_unique<NamedVoiceInfo>();
    info->VOICE_ID = Attribute(node, "VOICE_ID");
    info->SEX = Attribute(node, "SEX");
    info->LANGUAGE = Attribute(node, "LANGUAGE");
    info->LANGUAGE_ID = Attribute(node, "LANGUAGE_ID");
    info->COUNTRY = Attribute(node, "COUNTRY");
    info->COUNTRY_ID = Attribute(node, "COUNTRY_ID");
    info->REGION = Attribute(node, "REGION");
    info->ACCENT = Attribute(node, "ACCENT");
    info->ACCENT_ID = Attribute(node, "ACCENT_ID");
    info->VOICE_UUID = Attribute(node, "VOICE_UUID");
    info->SAMPLE_RATE = IntegerAttribute(node, "SAMPLE_RATE");
    info->SAMPLE_BITS = IntegerAttribute(node, "SAMPLE_BITS");
    info->ENCODING = Attribute(node, "ENCODING");
    info->LANGUAGE_CODE_ISO = Attribute(node, "LANGUAGE_CODE_ISO");
    info->LANGUAGE_CODE_MICROSOFT = Attribute(node, "LANGUAGE_CODE_MICROSOFT");
    info->COUNTRY_CODE_ISO = Attribute(node, "COUNTRY_CODE_ISO");
    voices->m_names.push_back(std::move(name));
    voices->m_voices.push_back(std::move(info));
}

// Pre-order walk of the node, its following siblings and all their children.
// Iterative, so that a deeply nested document cannot exhaust the stack.
void PushBackVoices(xmlNodePtr root, NameEnumerator* voices) {
    xmlNodePtr node = root;
    while (node) {
        if (node->type == XML_ELEMENT_NODE &&
            std::strcmp(reinterpret_cast<const char*>(node->name), "voice") == 0) {
            ReadVoice(node, voices);
        }
        if (node->children) {
            node = node->children;
            continue;
        }
        while (node && !node->next) {
            node = node->parent;
            if (node == nullptr || node == root->parent) {
                return;
            }
        }
        node = node->next;
    }
}

}  // namespace

bool NameEnumerator::ParseVoiceList(const char* xml, size_t length) {
    if (length == 0 || length > static_cast<size_t>(INT32_MAX)) {
        return false;
    }
    xmlDocPtr document = xmlReadMemory(xml, static_cast<int>(length), "noname.xml", nullptr,
                                       XML_PARSE_NOERROR | XML_PARSE_NOWARNING | XML_PARSE_NONET);
    if (!document) {
        return false;
    }
    if (xmlNodePtr root = xmlDocGetRootElement(document)) {
        PushBackVoices(root, this);
    }
    xmlFreeDoc(document);
    return true;
}

const NamedVoiceInfo* NameEnumerator::Current() const {
    const int32_t current = m_position.load() - 1;
    if (current < 0 || static_cast<size_t>(current) >= m_voices.size()) {
        return nullptr;
    }
    return m_voices[current].get();
}

const char* NameEnumerator::Next() {
    int32_t position = m_position.load();
    do {
        if (position < 0 || static_cast<size_t>(position) >= m_names.size()) {
            return nullptr;
        }
    } while (!m_position.compare_exchange_weak(position, position + 1));
    return m_names[static_cast<size_t>(position)].c_str();
}

}  // namespace vrelay

namespace {

using vrelay::Enumerators;
using vrelay::InsideOwnRequest;
using vrelay::LookupConnection;
using vrelay::NameEnumerator;
using vrelay::NoThrow;
using vrelay::PacketSink;
using vrelay::RequestScope;
using vrelay::RequestState;
using vrelay::ScopedLock;
using vrelay::ThreadedConnection;
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
    int32_t Deliver(PACKET_TYPE type, void* data, int32_t length) override {
        if (type != PACKET_QUERY || !data || length <= 0) {
            return VR_SUCCESS;
        }
        const char* text = static_cast<const char*>(data);
        const void* nul = std::memchr(text, '\0', static_cast<size_t>(length));
        const size_t size = nul ? static_cast<size_t>(static_cast<const char*>(nul) - text)
                                : static_cast<size_t>(length);
        if (reply.size() + size > vrelay::kMaxVoiceListBytes) {
            return VR_ERROR;
        }
        reply.append(text, size);
        return VR_SUCCESS;
    }
    std::string reply;
};

// One query exchange under the connection lock, its answer handed to sink
// (the application's callback when null).
vr_result Query(ThreadedConnection& object, const char* query, PacketSink* sink) {
    if (InsideOwnRequest(object)) {
        return VR_BUSY;
    }
    ScopedLock lock(object.Lock());
    RequestScope request(object.State());
    if (request.Stopped() != RequestState::Stop::kNone) {
        return vrelay::StoppedResult(request.Stopped());
    }
    if (!object.SendQuery(query)) {
        return VR_SEND_FAILED;
    }
    const bool answered = sink ? object.WaitForEndPacket(*sink) : object.WaitForEndPacket();
    if (!answered) {
        return VR_ERROR;
    }
    return object.GetQuitFlag() ? VR_CANCELLED : VR_SUCCESS;
}

vr_result QueryServer(vr_handle connection, const char* query) {
    auto object = LookupConnection(connection);
    if (!object) {
        return VR_BAD_HANDLE;
    }
    if (query == nullptr) {
        return VR_SEND_FAILED;
    }
    return Query(*object, query, nullptr);
}

vr_handle EnumerateVoices(vr_handle connection) {
    auto object = LookupConnection(connection);
    if (!object) {
        return VR_BAD_HANDLE;
    }
    if (InsideOwnRequest(*object)) {
        return VR_BUSY;
    }
    // The reply goes to a collector of its own: the application's callback
    // and user data are never touched, so requests on other threads keep
    // their packets.
    ReplyCollector collector;
    const vr_result queried = Query(*object, vrelay::kListVoicesQuery, &collector);
    if (queried == VR_BUSY) {
        return VR_BUSY;
    }
    auto voices = std::make_unique<NameEnumerator>();
    if (queried == VR_SUCCESS) {
        voices->ParseVoiceList(collector.reply.data(), collector.reply.size());
    }
    // Published only when complete: from here on it is read-only.
    return Enumerators().Add([&] { return voices.release(); });
}

vr_result SetVoice(vr_handle connection, const char* name) {
    if (auto object = LookupConnection(connection)) {
        if (InsideOwnRequest(*object)) {
            return VR_BUSY;
        }
    }
    const vr_handle voices = EnumerateVoices(connection);
    if (voices < 0 || name == nullptr) {
        if (voices >= 0) {
            vrCloseEnumerator(voices);
        }
        Warn("WARNING: failed to set voice. Using default instead\n");
        return VR_ERROR;
    }
    bool found = false;
    while (const char* candidate = vrNextVoice(voices)) {
        if (std::strcmp(candidate, name) == 0) {
            found = true;
            break;
        }
    }
    vr_result result = VR_ERROR;
    if (found) {
        if (QueryServer(connection, vrelay::VoiceSelectionQuery(name).c_str()) == VR_SUCCESS) {
            result = VR_SUCCESS;
        } else {
            Warn("WARNING: vrServer query failed, the voice has not been switched\n");
        }
    } else {
        Warn("WARNING: voice was not found. Using default instead\n");
    }
    if (vrCloseEnumerator(voices) != VR_SUCCESS) {
        Warn("WARNING: failed to close voice enumerator\n");
    }
    return result;
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
    return NoThrow(VR_ERROR, [&] { return QueryServer(connection, query); });
}

VR_API vr_handle VR_CDECL vrEnumerateConnectionVoices(vr_handle connection) {
    return NoThrow(VR_ERROR, [&] { return EnumerateVoices(connection); });
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
        std::shared_ptr<vrelay::Enumerator> object;
        bool found = false;
        const bool released = Enumerators().Remove(enumerator, &object, &found);
        return released ? VR_SUCCESS : VR_ERROR;
    });
}

VR_API const char* VR_CDECL vrGetVoiceStringValue(vr_handle enumerator, int32_t key) {
    return NoThrow(static_cast<const char*>(nullptr), [&]() -> const char* {
        auto voices = LookupVoices(enumerator);
        if (!voices) {
            return nullptr;
        }
        const vrelay::NamedVoiceInfo* voice = voices->Current();
        if (!voice) {
            return nullptr;
        }
        const std::string* value = voice->StringValue(key);
        return value ? value->c_str() : nullptr;
    });
}

VR_API int32_t VR_CDECL vrGetVoiceIntegerValue(vr_handle enumerator, int32_t key) {
    return NoThrow(VR_BAD_HANDLE, [&]() -> int32_t {
        auto voices = LookupVoices(enumerator);
        if (!voices) {
            return VR_BAD_HANDLE;
        }
        const vrelay::NamedVoiceInfo* voice = voices->Current();
        if (!voice) {
            return VR_NO_CURRENT_VOICE;
        }
        switch (key) {
            case VR_SAMPLE_RATE:
                return voice->SAMPLE_RATE;
            case VR_SAMPLE_BITS:
                return voice->SAMPLE_BITS;
            default:
                return VR_BAD_KEY;
        }
    });
}

VR_API vr_result VR_CDECL vrSetVoice(vr_handle connection, const char* name) {
    return NoThrow(VR_ERROR, [&] { return SetVoice(connection, name); });
}

VR_API vr_result VR_CDECL vrSetVoiceFast(vr_handle connection, const char* name) {
    return NoThrow(VR_ERROR, [&] { return SetVoiceFast(connection, name); });
}

}  // extern "C"
