// SPDX-License-Identifier: MIT
// The object behind a connection handle: a threaded connection whose answers
// go to the application's callback.
#ifndef VRELAY_CLIENT_CLIENT_CONNECTION_H
#define VRELAY_CLIENT_CLIENT_CONNECTION_H

#include <vrelay/vrelay.h>

#include <atomic>
#include <cstdint>

#include "connection/threaded_connection.h"

namespace vrelay {

// Hands packets to the application's callback in the public header's types:
// the C callback, else the Pascal one, with the user data; a phoneme as a
// PhonemeEvent. The three are stored atomically, so that they can be set at
// any time, from any thread and from inside the callback; they take effect
// from the next packet. Without a callback packets are accepted and dropped.
class ApplicationCallback : public PacketSink {
  public:
    void SetCallBack(vrCallBack callback) { call_back_.store(callback); }
    void SetPascalCallBack(vrPascalCallBack callback) { pascal_call_back_.store(callback); }
    void SetUserData(void* userData) { user_data_.store(userData); }

    // True when the callback returned VR_SUCCESS (or there is none).
    bool Deliver(uint16_t type, const unsigned char* data, uint32_t length) override;
    bool DeliverPhoneme(const wire::Phoneme& phoneme) override;

  protected:
    ~ApplicationCallback() = default;

  private:
    int32_t Call(PACKET_TYPE type, void* data, int32_t length);

    std::atomic<vrCallBack> call_back_{nullptr};
    std::atomic<vrPascalCallBack> pascal_call_back_{nullptr};
    std::atomic<void*> user_data_{nullptr};
};

// The callback is the first base: it is made before the connection that
// delivers to it, and outlives the connection's worker.
class ClientConnection : public ApplicationCallback, public ThreadedConnection {
  public:
    ClientConnection() : ThreadedConnection(static_cast<ApplicationCallback&>(*this)) {}
};

}  // namespace vrelay

#endif
