// SPDX-License-Identifier: MIT
#include "client/voice_switch.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "client/handles.h"
#include "client/voices.h"
#include "textproc/toolkit/string_ops.h"

namespace vrelay {

namespace {

constexpr char kFinalMark[] = "<mark name=\"kvox_final\"/>";
constexpr char kVoiceOpen[] = "<voice ";
constexpr char kVoiceClose[] = "</voice";

ThreadedConnection* ContextConnection(void* userData) {
    return userData ? static_cast<TokeniserCallbackContext*>(userData)->connection : nullptr;
}

// A failed wait stops the rest of the request: no more pieces are sent and
// the rendering call reports the failure (VR_ERROR), not a cancel.
void AbandonRequest(Connection* connection) {
    connection->RecordFailure(Connection::RequestFailure::kReply);
}

}  // namespace

void InstallVoiceSwitch(ThreadedConnection& connection) {
    auto* context =
        static_cast<TokeniserCallbackContext*>(std::malloc(sizeof(TokeniserCallbackContext)));
    if (!context) {
        return;
    }
    context->connection = &connection;
    connection.SetTokeniserCallBack(text_callback, application_callback, context);
}

// Sends one tokenised piece and reads its answer.
static void SendPiece(void* userData, const char* text) {
    auto connection = ContextConnection(userData);
    if (!connection || !text) {
        return;
    }
    // After a cancel or a failed answer nothing more of the request goes out.
    if (connection->Abandoned()) {
        return;
    }
    // A piece that could not be sent has recorded why; no answer can follow.
    const bool final = std::strstr(text, kFinalMark) != nullptr;
    if (!connection->SendData(text, true, final) || (!final && *text == '\0')) {
        return;
    }
    if (!connection->WaitForEndPacket()) {
        AbandonRequest(connection);
    }
}

bool VoiceTagName(const char* tag, std::string* name) {
    const char* start = std::strstr(tag, kVoiceOpen);
    if (!start) {
        return false;
    }
    const char* at = start + std::strlen(kVoiceOpen);
    const char* close = std::strchr(at, '>');
    if (!close) {
        return false;
    }
    while (at < close) {
        int32_t left = static_cast<int32_t>(close - at);
        at += KVTP_strlen_ws(at, left);
        left = static_cast<int32_t>(close - at);
        const int32_t nameLength = KVTP_strlen_equals(at, left);
        if (nameLength >= left) {
            return false;  // no "=" left
        }
        const char* equals = at + nameLength;
        if (equals + 1 >= close || !KVTP_is_quote(static_cast<unsigned char>(equals[1]))) {
            return false;
        }
        const char* value = equals + 2;
        const int32_t valueLength = KVTP_strlen_quote(value, static_cast<int32_t>(close - value));
        if (value + valueLength >= close) {
            return false;  // no closing quote
        }
        if (nameLength == 4 && std::strncmp(at, "name", 4) == 0) {
            name->assign(value, static_cast<size_t>(valueLength));
            return true;
        }
        at = value + valueLength + 1;
    }
    return false;
}

// Ends what was sent so far at a voice element and selects the named voice.
static void SwitchVoice(void* userData, const char* tag) {
    auto connection = ContextConnection(userData);
    if (!connection || !tag) {
        return;
    }
    const bool opening = std::strstr(tag, kVoiceOpen) != nullptr;
    if (!opening && !std::strstr(tag, kVoiceClose)) {
        return;
    }
    if (connection->Abandoned()) {
        return;
    }
    // End what has been sent so far, so the switch takes effect exactly here.
    connection->SendData("", true, true);
    if (!connection->WaitForEndPacket()) {
        AbandonRequest(connection);
        return;
    }
    std::string name;
    if (!opening || !VoiceTagName(tag, &name)) {
        return;
    }
    if (connection->SendQuery(VoiceSelectionQuery(name).c_str()) &&
        !connection->WaitForEndPacket()) {
        AbandonRequest(connection);
    }
}

void text_callback(void* userData, const char* text, int /*length*/) noexcept {
    try {
        SendPiece(userData, text);
    } catch (...) {
        // Out of memory: the request ends as failed.
        if (auto connection = ContextConnection(userData)) {
            AbandonRequest(connection);
        }
    }
}

void application_callback(void* userData, const char* tag, int /*length*/) noexcept {
    try {
        SwitchVoice(userData, tag);
    } catch (...) {
        if (auto connection = ContextConnection(userData)) {
            AbandonRequest(connection);
        }
    }
}

}  // namespace vrelay
