// SPDX-License-Identifier: MIT
#include "client/client_connection.h"

#include "wire/frame.h"

// Applications see the frame types under the public header's names.
namespace {
constexpr bool Same(vrelay::wire::PacketType ours, PACKET_TYPE published) {
    return static_cast<int>(ours) == static_cast<int>(published);
}
static_assert(
    Same(vrelay::wire::kText, PACKET_TEXT) && Same(vrelay::wire::kPhoneme, PACKET_PHONEME) &&
        Same(vrelay::wire::kAudio, PACKET_DATA_6) && Same(vrelay::wire::kMark, PACKET_DATA_8) &&
        Same(vrelay::wire::kFormat, PACKET_DATA_9) &&
        Same(vrelay::wire::kMessage, PACKET_DATA_10) && Same(vrelay::wire::kEnd, PACKET_END) &&
        Same(vrelay::wire::kClose, PACKET_CLOSE) && Same(vrelay::wire::kQuery, PACKET_QUERY) &&
        Same(vrelay::wire::kRequestDone, PACKET_REQUEST_DONE) &&
        Same(vrelay::wire::kTextChunk, PACKET_TEXT_CHUNK),
    "the frame types and the public header's PACKET_TYPE differ");
}  // namespace

namespace vrelay {

int32_t ApplicationCallback::Call(PACKET_TYPE type, void* data, int32_t length) {
    void* userData = user_data_.load();
    if (vrCallBack callback = call_back_.load()) {
        return callback(userData, type, data, length);
    }
    if (vrPascalCallBack callback = pascal_call_back_.load()) {
        return callback(userData, type, data, length);
    }
    return VR_SUCCESS;
}

bool ApplicationCallback::Deliver(uint16_t type, const unsigned char* data, uint32_t length) {
    // The application takes the payload as it came; no payload is longer
    // than an int32_t says.
    return Call(static_cast<PACKET_TYPE>(type), const_cast<unsigned char*>(data),
                static_cast<int32_t>(length)) == VR_SUCCESS;
}

bool ApplicationCallback::DeliverPhoneme(const wire::Phoneme& phoneme) {
    PhonemeEvent event{};
    event.phone = phoneme.phone;
    event.first = phoneme.first;
    event.next_phone = phoneme.next_phone;
    event.value1 = phoneme.values[0];
    event.value2 = phoneme.values[1];
    event.value3 = phoneme.values[2];
    event.value4 = phoneme.values[3];
    event.value5 = phoneme.values[4];
    event.value6 = phoneme.values[5];
    event.value7 = phoneme.values[6];
    event.size = static_cast<int32_t>(sizeof(PhonemeEvent));
    return Call(PACKET_PHONEME, &event, event.size) == VR_SUCCESS;
}

}  // namespace vrelay
