#include "client/voices.h"

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "client/handles.h"
#include <vrelay/vrelay.h>

namespace vrelay {

const char kListVoicesQuery[] = "<voice name=\"all\"/>";

std::string VoiceSelectionQuery(const std::string& name) {
    return "<voice name='" + name + "' select='1'/>";
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
    const int32_t current = m_position - 1;
    if (current < 0 || static_cast<size_t>(current) >= m_voices.size()) {
        return nullptr;
    }
    return m_voices[current].get();
}

const char* NameEnumerator::Next() {
    if (m_position < 0 || static_cast<size_t>(m_position) >= m_names.size()) {
        return nullptr;
    }
    return m_names[m_position++].c_str();
}

}  // namespace vrelay

namespace {

using vrelay::Enumerators;
using vrelay::LookupConnection;
using vrelay::NameEnumerator;
using vrelay::ScopedLock;

void Warn(const char* message) {
    std::fputs(message, stdout);
    std::fflush(stdout);
}

std::shared_ptr<NameEnumerator> LookupVoices(vr_handle enumerator) {
    return std::static_pointer_cast<NameEnumerator>(Enumerators().Lookup(enumerator));
}

// Collects query replies into the std::string the user data points to: each
// payload up to its length or its first NUL, whichever comes first.
int32_t VR_CDECL xml_command_callback(void* userData, PACKET_TYPE type, void* data,
                                      int32_t length) {
    if (type == PACKET_QUERY && userData && data && length > 0) {
        const char* text = static_cast<const char*>(data);
        const void* nul = std::memchr(text, '\0', static_cast<size_t>(length));
        const size_t size = nul ? static_cast<size_t>(static_cast<const char*>(nul) - text)
                                : static_cast<size_t>(length);
        static_cast<std::string*>(userData)->append(text, size);
    }
    return VR_SUCCESS;
}

}  // namespace

extern "C" {

VR_API vr_result VR_CDECL vrQueryServer(vr_handle connection, const char* query) {
    auto object = LookupConnection(connection);
    if (!object) {
        return VR_BAD_HANDLE;
    }
    if (query == nullptr) {
        return VR_SEND_FAILED;
    }
    ScopedLock lock(object->Lock());
    if (!object->SendQuery(query)) {
        return VR_SEND_FAILED;
    }
    const bool answered = object->WaitForEndPacket();
    const bool cancelled = object->GetQuitFlag();
    object->m_inRequest.store(false);
    if (!answered) {
        return VR_ERROR;
    }
    return cancelled ? VR_CANCELLED : VR_SUCCESS;
}

VR_API vr_handle VR_CDECL vrEnumerateConnectionVoices(vr_handle connection) {
    auto object = LookupConnection(connection);
    if (!object) {
        return VR_BAD_HANDLE;
    }
    const vr_handle handle = Enumerators().Add([] { return new NameEnumerator(); });
    auto voices = LookupVoices(handle);
    if (!voices) {
        return VR_BAD_HANDLE;
    }
    // The reply reaches a collector instead of the application's callback (a C
    // callback takes precedence over a Pascal one, so that needs no parking).
    std::string reply;
    const vrCallBack savedCallBack = object->GetCallBack();
    void* const savedUserData = object->GetUserData();
    object->SetUserData(&reply);
    object->SetCallBack(xml_command_callback);
    vrQueryServer(connection, vrelay::kListVoicesQuery);
    object->SetUserData(savedUserData);
    object->SetCallBack(savedCallBack);

    voices->ParseVoiceList(reply.data(), reply.size());
    return handle;
}

VR_API int32_t VR_CDECL vrNumVoices(vr_handle enumerator) {
    auto voices = LookupVoices(enumerator);
    return voices ? static_cast<int32_t>(voices->Count()) : VR_BAD_HANDLE;
}

VR_API const char* VR_CDECL vrNextVoice(vr_handle enumerator) {
    auto voices = LookupVoices(enumerator);
    return voices ? voices->Next() : nullptr;
}

VR_API vr_result VR_CDECL vrRewindEnumerator(vr_handle enumerator) {
    auto voices = LookupVoices(enumerator);
    if (!voices) {
        return VR_BAD_HANDLE;
    }
    voices->rewind();
    return VR_SUCCESS;
}

VR_API vr_result VR_CDECL vrCloseEnumerator(vr_handle enumerator) {
    std::shared_ptr<vrelay::Enumerator> object;
    bool found = false;
    const bool released = Enumerators().Remove(enumerator, &object, &found);
    return released ? VR_SUCCESS : VR_ERROR;
}

VR_API const char* VR_CDECL vrGetVoiceStringValue(vr_handle enumerator, int32_t key) {
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
}

VR_API int32_t VR_CDECL vrGetVoiceIntegerValue(vr_handle enumerator, int32_t key) {
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
}

VR_API vr_result VR_CDECL vrSetVoice(vr_handle connection, const char* name) {
    const vr_handle voices = vrEnumerateConnectionVoices(connection);
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
        if (vrQueryServer(connection, vrelay::VoiceSelectionQuery(name).c_str()) == VR_SUCCESS) {
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

VR_API vr_result VR_CDECL vrSetVoiceFast(vr_handle connection, const char* name) {
    const vr_result result =
        name ? vrQueryServer(connection, vrelay::VoiceSelectionQuery(name).c_str())
             : VR_SEND_FAILED;
    if (result != VR_SUCCESS) {
        Warn("WARNING: vrServer query failed, the voice has not been switched\n");
    }
    return result;
}

}  // extern "C"
