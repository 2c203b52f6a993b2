// SPDX-License-Identifier: MIT
// An application callback for tests: records every delivery, lets a test wait
// for a number of deliveries of one type, and can refuse packets.
#ifndef VRELAY_TESTS_SUPPORT_CALLBACK_RECORDER_H
#define VRELAY_TESTS_SUPPORT_CALLBACK_RECORDER_H

#include <vrelay/vrelay.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace vrelay {
namespace test {

struct Delivery {
    PACKET_TYPE type;
    int32_t length;
    std::vector<uint8_t> data;  // the payload; empty for phonemes
    PhonemeEvent phoneme{};     // PACKET_PHONEME only; its names are copied below
    std::string phone;
    std::string nextPhone;
};

class CallbackRecorder {
  public:
    // Answered to every packet but PACKET_REQUEST_DONE.
    std::atomic<int32_t> result{VR_SUCCESS};

    static int32_t VR_CDECL Callback(void* self, PACKET_TYPE type, void* data, int32_t length) {
        auto* recorder = static_cast<CallbackRecorder*>(self);
        Delivery delivery{type, length, {}, {}, {}, {}};
        if (type == PACKET_PHONEME && data) {
            delivery.phoneme = *static_cast<PhonemeEvent*>(data);
            delivery.phone = delivery.phoneme.phone ? delivery.phoneme.phone : "";
            delivery.nextPhone = delivery.phoneme.next_phone ? delivery.phoneme.next_phone : "";
            delivery.phoneme.phone = delivery.phoneme.next_phone = nullptr;
        } else if (data && length > 0) {
            auto* bytes = static_cast<uint8_t*>(data);
            delivery.data.assign(bytes, bytes + length);
        }
        {
            std::lock_guard<std::mutex> guard(recorder->mutex_);
            recorder->deliveries_.push_back(std::move(delivery));
            ++recorder->counts_[type];
        }
        recorder->changed_.notify_all();
        return type == PACKET_REQUEST_DONE ? VR_SUCCESS : recorder->result.load();
    }
    static int32_t VR_PASCAL Pascal(void* self, PACKET_TYPE, void*, int32_t) {
        ++static_cast<CallbackRecorder*>(self)->pascalCalls_;
        return VR_SUCCESS;
    }

    // A new handle with this recorder as its callback, opened on a server; 0
    // when the open fails.
    template <typename Server>
    vr_handle OpenHandle(const Server& server) {
        const vr_handle handle = vrCreateConnection();
        vrSetCallBack(handle, Callback);
        vrSetUserData(handle, this);
        if (vrOpenConnection(handle, server.Host().c_str(), server.Port()) == VR_SUCCESS)
            return handle;
        vrDestroyConnection(handle);
        return 0;
    }

    std::vector<Delivery> Deliveries() const {
        std::lock_guard<std::mutex> guard(mutex_);
        return deliveries_;
    }
    std::vector<PACKET_TYPE> Types() const {
        std::lock_guard<std::mutex> guard(mutex_);
        std::vector<PACKET_TYPE> types;
        for (const auto& delivery : deliveries_)
            types.push_back(delivery.type);
        return types;
    }
    size_t Count(PACKET_TYPE type) const {
        std::lock_guard<std::mutex> guard(mutex_);
        return CountLocked(type);
    }
    int PascalCalls() const { return pascalCalls_.load(); }

    // Waits until at least n packets of type have been delivered.
    bool WaitFor(PACKET_TYPE type, size_t n,
                 std::chrono::milliseconds timeout = std::chrono::seconds(20)) const {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return CountLocked(type) >= n; });
    }
    bool WaitDone(size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(20)) const {
        return WaitFor(PACKET_REQUEST_DONE, n, timeout);
    }
    size_t Done() const { return Count(PACKET_REQUEST_DONE); }

  private:
    size_t CountLocked(PACKET_TYPE type) const {
        const auto it = counts_.find(type);
        return it == counts_.end() ? 0 : it->second;
    }

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<Delivery> deliveries_;
    std::map<PACKET_TYPE, size_t> counts_;
    std::atomic<int> pascalCalls_{0};
};

}  // namespace test
}  // namespace vrelay

#endif
