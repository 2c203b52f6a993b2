// The library as an application uses it (through libvrelay_shared) against
// the real reference server on a free loopback port.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "client/vrelay.h"
#include "server/protocol.h"
#include "server/speech_server.h"

namespace vrelay {
namespace {

using Clock = std::chrono::steady_clock;

struct WordMark {
    int64_t sample;  // from the start of the whole audio
    long long byteOffset;
    long long byteLength;
    std::string name;
};

// What an application would collect from one connection.
struct Listener {
    std::mutex mutex;
    std::condition_variable changed;
    uint32_t sampleRate = 0;
    std::vector<int16_t> samples;
    std::vector<WordMark> marks;
    std::vector<std::string> phonemes;
    std::vector<std::string> messages;
    int64_t requestBase = 0;
    int64_t requestSamples = 0;
    int done = 0;
    bool formatBeforeAudio = true;
    std::atomic<size_t> audioPackets{0};

    int64_t Absolute(int64_t offset) {
        if (offset < requestSamples) {
            requestBase += requestSamples;
            requestSamples = 0;
        }
        return requestBase + offset;
    }

    static int32_t VR_CDECL Callback(void* self, PACKET_TYPE type, void* data, int32_t length) {
        auto* l = static_cast<Listener*>(self);
        std::lock_guard<std::mutex> guard(l->mutex);
        const auto* bytes = static_cast<const unsigned char*>(data);
        const size_t size = length > 0 ? static_cast<size_t>(length) : 0;
        switch (type) {
            case PACKET_DATA_9: {
                server::AudioFormat format;
                if (server::DecodeFormat(bytes, size, &format))
                    l->sampleRate = format.sample_rate;
                break;
            }
            case PACKET_DATA_6: {
                if (l->sampleRate == 0)
                    l->formatBeforeAudio = false;
                const auto audio = server::DecodeAudio(bytes, size);
                l->samples.insert(l->samples.end(), audio.begin(), audio.end());
                l->requestSamples += static_cast<int64_t>(audio.size());
                ++l->audioPackets;
                break;
            }
            case PACKET_DATA_8: {
                server::MarkReached mark;
                if (!server::DecodeMark(bytes, size, &mark))
                    break;
                WordMark word{l->Absolute(mark.sample), -1, -1, mark.name};
                long long c = 0, n = 0;
                std::sscanf(mark.name.c_str(), "kvtk_%lld_%lld_%lld_%lld", &c, &word.byteOffset, &n,
                            &word.byteLength);
                l->marks.push_back(word);
                break;
            }
            case PACKET_PHONEME: {
                const auto* event = static_cast<const PhonemeEvent*>(data);
                l->phonemes.push_back(event->phone);
                break;
            }
            case PACKET_DATA_10:
                l->messages.push_back(server::DecodeText(bytes, size));
                break;
            case PACKET_REQUEST_DONE:
                ++l->done;
                l->changed.notify_all();
                break;
            default:
                break;
        }
        return VR_SUCCESS;
    }

    // The words of the text, as the marks locate them.
    std::vector<std::string> Words(const std::string& text) {
        std::vector<std::string> words;
        for (const auto& mark : marks) {
            if (mark.byteOffset >= 0)
                words.push_back(text.substr(mark.byteOffset, mark.byteLength));
        }
        return words;
    }
};

std::vector<std::string> SplitWords(const std::string& text) {
    std::vector<std::string> words;
    std::string word;
    for (char c : text) {
        if (c == ' ' || c == '\n') {
            if (!word.empty())
                words.push_back(word);
            word.clear();
        } else {
            word += c;
        }
    }
    if (!word.empty())
        words.push_back(word);
    return words;
}

// Zero crossings per second of a stretch of audio: the pitch of a tone.
double CrossingsPerSecond(const std::vector<int16_t>& samples, size_t from, size_t count,
                          uint32_t rate) {
    int crossings = 0;
    for (size_t i = from + 1; i < from + count && i < samples.size(); ++i) {
        if ((samples[i - 1] < 0) != (samples[i] < 0))
            ++crossings;
    }
    return crossings * static_cast<double>(rate) / count;
}

class EndToEndTest : public ::testing::Test {
  protected:
    void StartServer(const std::string& engine) {
        server::ServerOptions options;
        options.engine = engine;
        server_ = std::make_unique<server::SpeechServer>(options);
        std::string error;
        ASSERT_TRUE(server_->Start(&error)) << error;
    }
    vr_handle Open(Listener* listener) {
        const vr_handle handle = vrCreateConnection();
        EXPECT_EQ(vrSetCallBack(handle, Listener::Callback), VR_SUCCESS);
        EXPECT_EQ(vrSetUserData(handle, listener), VR_SUCCESS);
        EXPECT_EQ(vrOpenConnection(handle, "127.0.0.1", server_->Port()), VR_SUCCESS);
        handles_.push_back(handle);
        return handle;
    }
    void TearDown() override {
        for (vr_handle handle : handles_)
            vrDestroyConnection(handle);
        if (server_)
            server_->Stop();
    }

    std::unique_ptr<server::SpeechServer> server_;
    std::vector<vr_handle> handles_;
};

const char kManySentences[] =
    "It was late. The train had been gone for an hour! Was anyone still waiting? "
    "Dr. Smith said: the 3 boxes weigh 12.5 kg. It has been a long day; we will rest. "
    "\"Quiet,\" she said. Then nothing happened. Or did it? Nobody knows!";

TEST_F(EndToEndTest, EspeakTimesEveryWordOfManySentences) {
    StartServer("espeak");
    Listener listener;
    const vr_handle handle = Open(&listener);
    ASSERT_EQ(vrRenderSpeech(handle, kManySentences), VR_SUCCESS);

    EXPECT_TRUE(listener.formatBeforeAudio);
    ASSERT_GT(listener.sampleRate, 0u);
    const double seconds = static_cast<double>(listener.samples.size()) / listener.sampleRate;
    EXPECT_GT(seconds, 5.0);
    EXPECT_LT(seconds, 40.0);

    // Every word is marked, in order, at a sample inside the audio.
    EXPECT_EQ(listener.Words(kManySentences), SplitWords(kManySentences));
    int64_t previous = 0;
    for (const auto& mark : listener.marks) {
        EXPECT_GE(mark.sample, previous) << mark.name;
        EXPECT_LE(mark.sample, static_cast<int64_t>(listener.samples.size())) << mark.name;
        previous = mark.sample;
    }
    EXPECT_EQ(listener.marks.back().name, "kvox_final");
    EXPECT_GT(listener.phonemes.size(), listener.marks.size());
}

TEST_F(EndToEndTest, ToneEngineAnswersExactly) {
    StartServer("tone");
    Listener listener;
    const vr_handle handle = Open(&listener);
    ASSERT_EQ(vrRenderSpeech(handle, "Hi there"), VR_SUCCESS);
    EXPECT_EQ(listener.sampleRate, 16000u);
    EXPECT_EQ(listener.samples.size(), 2u * (1600 + 320));
    ASSERT_EQ(listener.marks.size(), 3u);
    EXPECT_EQ(listener.marks[0].name, "kvtk_0_0_2_2");
    EXPECT_EQ(listener.marks[0].sample, 0);
    EXPECT_EQ(listener.marks[1].name, "kvtk_3_3_5_5");
    EXPECT_EQ(listener.marks[1].sample, 1920);
    EXPECT_EQ(listener.marks[2].name, "kvox_final");
    EXPECT_EQ(listener.phonemes, (std::vector<std::string>{"h", "i", "t", "h", "e", "r", "e"}));
    // 200 + 50 * 2 letters = 300 Hz: 600 zero crossings a second.
    EXPECT_NEAR(CrossingsPerSecond(listener.samples, 0, 1600, 16000), 600, 20);
}

TEST_F(EndToEndTest, VoicesAreListedAndSelectedByName) {
    StartServer("tone");
    Listener listener;
    const vr_handle handle = Open(&listener);
    const vr_handle voices = vrEnumerateConnectionVoices(handle);
    ASSERT_GE(voices, 1000);
    ASSERT_EQ(vrNumVoices(voices), 2);
    EXPECT_STREQ(vrNextVoice(voices), "tone");
    EXPECT_EQ(vrGetVoiceIntegerValue(voices, VR_SAMPLE_RATE), 16000);
    EXPECT_EQ(vrGetVoiceIntegerValue(voices, VR_SAMPLE_BITS), 16);
    EXPECT_STREQ(vrNextVoice(voices), "tone-low");
    EXPECT_EQ(vrCloseEnumerator(voices), VR_SUCCESS);

    testing::internal::CaptureStdout();
    EXPECT_EQ(vrSetVoice(handle, "no such voice"), VR_ERROR);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "WARNING: voice was not found. Using default instead\n");
    ASSERT_EQ(vrSetVoice(handle, "tone-low"), VR_SUCCESS);
    ASSERT_EQ(vrRenderSpeech(handle, "Hi"), VR_SUCCESS);
    // tone-low: 100 + 25 * 2 = 150 Hz.
    EXPECT_NEAR(CrossingsPerSecond(listener.samples, 0, 1600, 16000), 300, 20);
}

TEST_F(EndToEndTest, EspeakListsItsVoicesWithTheirAttributes) {
    StartServer("espeak");
    Listener listener;
    const vr_handle handle = Open(&listener);
    const vr_handle voices = vrEnumerateConnectionVoices(handle);
    EXPECT_GT(vrNumVoices(voices), 10);
    bool english = false;
    while (const char* name = vrNextVoice(voices)) {
        const char* iso = vrGetVoiceStringValue(voices, VR_LANGUAGE_CODE_ISO);
        ASSERT_NE(iso, nullptr) << name;
        if (std::string(iso) == "en")
            english = true;
        EXPECT_GT(vrGetVoiceIntegerValue(voices, VR_SAMPLE_RATE), 0) << name;
    }
    EXPECT_TRUE(english);
    vrCloseEnumerator(voices);
}

TEST_F(EndToEndTest, VoiceElementInsideTheTextSwitchesMidRender) {
    StartServer("tone");
    Listener listener;
    const vr_handle handle = Open(&listener);
    ASSERT_EQ(vrRenderSpeech(handle, "<speak>ab <voice name=\"tone-low\">cd</voice> ef</speak>"),
              VR_SUCCESS);
    ASSERT_EQ(listener.samples.size(), 3u * 1920);
    // 300 Hz, then 150 Hz inside the voice element; the voice stays selected.
    EXPECT_NEAR(CrossingsPerSecond(listener.samples, 0, 1600, 16000), 600, 20);
    EXPECT_NEAR(CrossingsPerSecond(listener.samples, 1920, 1600, 16000), 300, 20);
    EXPECT_NEAR(CrossingsPerSecond(listener.samples, 3840, 1600, 16000), 300, 20);
    const auto words = listener.Words("<speak>ab <voice name=\"tone-low\">cd</voice> ef</speak>");
    EXPECT_EQ(words, (std::vector<std::string>{"ab", "cd", "ef"}));
    EXPECT_TRUE(listener.messages.empty());
}

TEST_F(EndToEndTest, StreamYieldsAudioBeforeItsFlush) {
    StartServer("tone");
    Listener listener;
    const vr_handle handle = Open(&listener);
    std::string piece;
    while (piece.size() < 12000)
        piece += "One sentence of a long stream. ";
    ASSERT_EQ(vrPushSpeechStream(handle, piece.c_str()), VR_SUCCESS);
    EXPECT_GT(listener.audioPackets.load(), 0u) << "audio must start before the flush";
    ASSERT_EQ(vrPushSpeechStream(handle, piece.c_str()), VR_SUCCESS);
    ASSERT_EQ(vrFlushSpeechStream(handle), VR_SUCCESS);
    const std::string whole = piece + piece;
    EXPECT_EQ(listener.Words(whole).size(), SplitWords(whole).size());
    EXPECT_EQ(listener.Words(whole), SplitWords(whole));
}

TEST_F(EndToEndTest, AsyncRenderCompletesAfterItsAudio) {
    StartServer("tone");
    Listener listener;
    const vr_handle handle = Open(&listener);
    ASSERT_EQ(vrRenderSpeechAsync(handle, "one two three"), VR_SUCCESS);
    std::unique_lock<std::mutex> lock(listener.mutex);
    ASSERT_TRUE(listener.changed.wait_for(lock, std::chrono::seconds(20),
                                          [&] { return listener.done == 1; }));
    EXPECT_EQ(listener.samples.size(), 3u * 1920);
    EXPECT_EQ(listener.marks.size(), 4u);
}

TEST_F(EndToEndTest, CancelStopsTheAudioPromptly) {
    StartServer("tone");
    Listener listener;
    const vr_handle handle = Open(&listener);
    std::string text;
    for (int i = 0; i < 20000; ++i)
        text += "word ";
    std::atomic<vr_result> result{VR_SUCCESS};
    std::thread renderer([&] { result = vrRenderSpeech(handle, text.c_str()); });
    while (listener.audioPackets.load() < 5)
        std::this_thread::yield();
    const auto start = Clock::now();
    ASSERT_EQ(vrCancelRequest(handle), VR_SUCCESS);
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    const size_t atCancel = listener.audioPackets.load();
    renderer.join();
    EXPECT_EQ(result.load(), VR_CANCELLED);
    EXPECT_EQ(listener.audioPackets.load(), atCancel) << "no audio after the cancel returned";
    EXPECT_LT(took.count(), 1000) << "within 100 ms, 10x for sanitizers";
    RecordProperty("cancel_ms", static_cast<int>(took.count()));
    // The handle speaks again.
    const size_t before = listener.samples.size();
    ASSERT_EQ(vrRenderSpeech(handle, "again"), VR_SUCCESS);
    EXPECT_EQ(listener.samples.size(), before + 1920);
}

TEST_F(EndToEndTest, TwoClientsSpeakAtOnce) {
    StartServer("espeak");
    Listener first, second;
    const vr_handle a = Open(&first);
    const vr_handle b = Open(&second);
    std::thread one([&] { EXPECT_EQ(vrRenderSpeech(a, "The first client speaks."), VR_SUCCESS); });
    std::thread two(
        [&] { EXPECT_EQ(vrRenderSpeech(b, "And so does the second one."), VR_SUCCESS); });
    one.join();
    two.join();
    EXPECT_EQ(first.Words("The first client speaks."), SplitWords("The first client speaks."));
    EXPECT_EQ(second.Words("And so does the second one."),
              SplitWords("And so does the second one."));
    EXPECT_GT(first.samples.size(), 0u);
    EXPECT_GT(second.samples.size(), 0u);
}

}  // namespace
}  // namespace vrelay
