// SPDX-License-Identifier: MIT
#include "connection/text_path.h"

#include <cstring>

#include "textproc/scanner/tpxml.h"
#include "textproc/tokeniser/tokenise.h"
#include "textproc/tokeniser/tpc.h"

namespace vrelay {

namespace {

bool Is(const char* text, int32_t length, const char* word) {
    return static_cast<size_t>(length) == std::strlen(word) &&
           std::memcmp(text, word, static_cast<size_t>(length)) == 0;
}

}  // namespace

TextPath::TextPath(TextSink& sink)
    : sink_(sink), channel_(KVTP_tpc_newtype(nullptr, nullptr, 1, "CLIENT", KVTP_TPC_TK)) {
    KVTP_tpc_set_final_text_callback(channel_, OnText, this);
    KVTP_tpc_set_application_callback(channel_, OnTag, this);
}

TextPath::~TextPath() {
    KVTP_tpc_delete(channel_);
}

void TextPath::Run(const char* text, bool final) {
    if (channel_) {
        KVTP_tpc_process(channel_, text ? text : "", -1, final ? 1 : 0);
    }
}

void TextPath::OnText(void* self, const char* text, int length, int final) noexcept {
    auto* path = static_cast<TextPath*>(self);
    // Text goes out up to its first NUL, as every text does.
    const size_t size = text ? strnlen(text, length > 0 ? static_cast<size_t>(length) : 0) : 0;
    path->sink_.Piece(text ? text : "", size, final != 0);
}

void TextPath::OnTag(void* self, const char* tag, int length) noexcept {
    auto* path = static_cast<TextPath*>(self);
    try {
        std::string name;
        const VoiceTag voice = ReadVoiceTag(tag, length, &name);
        if (voice != VoiceTag::kNone) {
            path->sink_.VoiceSwitch(voice == VoiceTag::kNamed, name);
        }
    } catch (...) {
        path->sink_.Failed();
    }
}

VoiceTag ReadVoiceTag(const char* tag, int32_t length, std::string* name) {
    if (!tag || length < 2) {
        return VoiceTag::kNone;
    }
    int32_t nameLength = 0;
    const char* element = KVTP_tokenise_opentagname(tag, length, &nameLength);
    if (Is(element, nameLength, "/voice")) {
        return VoiceTag::kClose;
    }
    // A voice start tag counts only with attributes after its name: a bare
    // <voice> changes nothing.
    const int32_t after = static_cast<int32_t>(element - tag) + nameLength;
    if (!Is(element, nameLength, "voice") || after >= length || tag[after] == '>') {
        return VoiceTag::kNone;
    }
    int32_t left = 0;
    const char* attributes = KVTP_tokenise_opentagattr(tag, length, &left);
    const char* key = nullptr;
    const char* value = nullptr;
    int32_t keyLength = 0;
    int32_t valueLength = 0;
    while (const char* next =
               KVTP_get_keyval(attributes, left, &key, &keyLength, &value, &valueLength)) {
        if (Is(key, keyLength, "name")) {
            name->assign(value, static_cast<size_t>(valueLength));
            return VoiceTag::kNamed;
        }
        left -= static_cast<int32_t>(next - attributes);
        attributes = next;
    }
    return VoiceTag::kOpen;
}

std::string VoiceSelectionQuery(const std::string& name) {
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

}  // namespace vrelay
