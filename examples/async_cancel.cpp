// Renders asynchronously, cancels once the first audio arrives, then renders
// again and waits for the end.
//   async_cancel HOST PORT
// The callback runs on the connection's worker thread; it only records what
// arrived and wakes main, which does the cancelling (never the callback).
#include <vrelay/vrelay.h>
#include <vrelay/vrelay_helpers.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace {

class RenderWatch {
  public:
    static int32_t OnPacket(void* self, PACKET_TYPE type, void*, int32_t length) {
        return static_cast<RenderWatch*>(self)->Record(type, length);
    }

    // Starts counting for a new render.
    void Reset() {
        std::lock_guard<std::mutex> lock(mutex_);
        audio_bytes_ = 0;
        done_ = false;
    }
    void WaitForAudio() {
        Wait([this] { return audio_bytes_ > 0 || done_; });
    }
    void WaitForDone() {
        Wait([this] { return done_; });
    }
    long AudioBytes() {
        std::lock_guard<std::mutex> lock(mutex_);
        return audio_bytes_;
    }

  private:
    int32_t Record(PACKET_TYPE type, int32_t length) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (type == PACKET_DATA_6)
            audio_bytes_ += length;
        if (type == PACKET_REQUEST_DONE)
            done_ = true;
        changed_.notify_all();
        return VR_SUCCESS;
    }
    template <typename Ready>
    void Wait(Ready ready) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, ready);
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

    const char* long_text =
        "This sentence is long enough that we can stop it before the server has "
        "spoken all of it, and then ask for something shorter instead.";
    if (ok && Check("first render", vrRenderSpeechAsync(connection, long_text))) {
        watch.WaitForAudio();
        ok = Check("cancel", vrCancelRequest(connection));
        watch.WaitForDone();  // exactly one PACKET_REQUEST_DONE, cancelled or not
        std::printf("cancelled after %ld bytes of audio\n", watch.AudioBytes());
    }
    watch.Reset();
    if (ok && Check("second render", vrRenderSpeechAsync(connection, "Short and whole."))) {
        watch.WaitForDone();
        std::printf("second render: %ld bytes of audio\n", watch.AudioBytes());
        ok = watch.AudioBytes() > 0;
    }
    vrDestroyConnection(connection);
    return ok ? 0 : 2;
}
