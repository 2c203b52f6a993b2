// SPDX-License-Identifier: MIT
// Renders asynchronously, cancels once the first audio arrives, then renders
// again and waits for the end:  async_cancel HOST PORT
// The callback runs on the connection's worker thread; it only records what
// arrived and wakes main, which does the cancelling (never the callback).
#include <vrelay/vrelay.h>
#include <vrelay/vrelay_helpers.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace {

class RenderWatch {
  public:
    static int32_t OnPacket(void* self, PACKET_TYPE type, void*, int32_t length) {
        auto* watch = static_cast<RenderWatch*>(self);
        std::lock_guard<std::mutex> lock(watch->mutex_);
        if (type == PACKET_DATA_6)
            watch->audio_bytes_ += length;
        if (type == PACKET_REQUEST_DONE)
            watch->done_ = true;
        watch->changed_.notify_all();
        return VR_SUCCESS;
    }

    long WaitForAudio() {
        return Wait([this] { return audio_bytes_ > 0 || done_; });
    }
    long WaitForDone() {
        return Wait([this] { return done_; });
    }

  private:
    // Waits until ready() holds; returns the audio bytes received so far.
    template <typename Ready>
    long Wait(Ready ready) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, ready);
        return audio_bytes_;
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    long audio_bytes_ = 0;
    bool done_ = false;
};

bool Check(const char* what, vr_result result) {
    if (result != VR_SUCCESS)
        std::fprintf(stderr, "%s: %s\n", what, vr_result_name(result));
    return result == VR_SUCCESS;
}

// The worker still holds the previous request while it delivers
// PACKET_REQUEST_DONE, so a launch right after it may get VR_BUSY: retry briefly.
vr_result StartRender(vr_handle connection, const char* text) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    vr_result result;
    while ((result = vrRenderSpeechAsync(connection, text)) == VR_BUSY &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::yield();
    return result;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s HOST PORT\n", argv[0]);
        return 1;
    }
    RenderWatch watch;
    const vr_handle connection = vrCreateConnection();
    bool ok = Check("open", vrOpenConnection(connection, argv[1], std::atoi(argv[2])));
    vrSetUserData(connection, &watch);
    vrSetCallBack(connection, &RenderWatch::OnPacket);

    const char* long_text = "A sentence long enough to stop before the server has said all of it.";
    if (ok && Check("first render", StartRender(connection, long_text))) {
        watch.WaitForAudio();
        ok = Check("cancel", vrCancelRequest(connection));
        // Exactly one PACKET_REQUEST_DONE follows, whether the cancel came in time or not.
        std::printf("cancelled after %ld bytes of audio\n", watch.WaitForDone());
    }
    RenderWatch second;  // a fresh count; effective from the next packet
    vrSetUserData(connection, &second);
    if (ok && Check("second render", StartRender(connection, "Short and whole."))) {
        const long bytes = second.WaitForDone();
        std::printf("second render: %ld bytes of audio\n", bytes);
        ok = bytes > 0;
    }
    vrDestroyConnection(connection);
    return ok ? 0 : 2;
}
