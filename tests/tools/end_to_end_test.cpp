// The library as an application uses it (through libvrelay_shared) against
// the real reference server on a free loopback port.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <vrelay/vrelay.h>
#include "server/protocol.h"
#include "server/speech_server.h"
#include "tests/support/callback_recorder.h"

namespace vrelay {
namespace {

using Clock = std::chrono::steady_clock;
using test::CallbackRecorder;

struct WordMark {
    int64_t sample;  // from the start of the whole audio
    long long byteOffset;
    long long byteLength;
    std::string name;
};

// What an application would make of one connection's deliveries.
struct Heard {
    uint32_t sampleRate = 0;
    bool formatBeforeAudio = true;
    std::vector<int16_t> samples;
    std::vector<WordMark> marks;
    std::vector<std::string> phonemes;
    std::vector<std::string> messages;

    explicit Heard(const CallbackRecorder& recorder) {
        int64_t requestBase = 0;  // mark offsets count from their request's start
        int64_t requestSamples = 0;
        for (const auto& d : recorder.Deliveries()) {
            const uint8_t* bytes = d.data.data();
            if (d.type == PACKET_DATA_9) {
                server::AudioFormat format;
                if (server::DecodeFormat(bytes, d.data.size(), &format))
                    sampleRate = format.sample_rate;
            } else if (d.type == PACKET_DATA_6) {
                formatBeforeAudio = formatBeforeAudio && sampleRate != 0;
                const auto audio = server::DecodeAudio(bytes, d.data.size());
                samples.insert(samples.end(), audio.begin(), audio.end());
                requestSamples += static_cast<int64_t>(audio.size());
            } else if (server::MarkReached mark;
                       d.type == PACKET_DATA_8 && server::DecodeMark(bytes, d.data.size(), &mark)) {
                if (mark.sample < requestSamples) {
                    requestBase += requestSamples;
                    requestSamples = 0;
                }
                WordMark word{requestBase + mark.sample, -1, -1, mark.name};
                long long c = 0, n = 0;
                std::sscanf(mark.name.c_str(), "kvtk_%lld_%lld_%lld_%lld", &c, &word.byteOffset, &n,
                            &word.byteLength);
                marks.push_back(word);
            } else if (d.type == PACKET_PHONEME) {
                phonemes.push_back(d.phone);
            } else if (d.type == PACKET_DATA_10) {
                messages.push_back(server::DecodeText(bytes, d.data.size()));
            }
        }
    }

    // The words of the text, as the marks locate them.
    std::vector<std::string> Words(const std::string& text) const {
        std::vector<std::string> words;
        for (const auto& mark : marks) {
            if (mark.byteOffset >= 0)
                words.push_back(text.substr(mark.byteOffset, mark.byteLength));
        }
        return words;
    }
};

std::vector<std::string> SplitWords(const std::string& text) {
    std::istringstream in(text);
    return {std::istream_iterator<std::string>(in), std::istream_iterator<std::string>()};
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
    // Starts a server with engine and opens a connection to it that reports
    // to recorder.
    vr_handle Start(const std::string& engine, CallbackRecorder* recorder) {
        server::ServerOptions options;
        options.engine = engine;
        server_ = std::make_unique<server::SpeechServer>(options);
        std::string error;
        EXPECT_TRUE(server_->Start(&error)) << error;
        return Open(recorder);
    }
    vr_handle Open(CallbackRecorder* recorder) {
        const vr_handle handle = vrCreateConnection();
        EXPECT_EQ(vrSetCallBack(handle, CallbackRecorder::Callback), VR_SUCCESS);
        EXPECT_EQ(vrSetUserData(handle, recorder), VR_SUCCESS);
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
    CallbackRecorder recorder_;
};

const char kManySentences[] =
    "It was late. The train had been gone for an hour! Was anyone still waiting? "
    "Dr. Smith said: the 3 boxes weigh 12.5 kg. It has been a long day; we will rest. "
    "\"Quiet,\" she said. Then nothing happened. Or did it? Nobody knows!";

TEST_F(EndToEndTest, EspeakTimesEveryWordOfManySentences) {
    ASSERT_EQ(vrRenderSpeech(Start("espeak", &recorder_), kManySentences), VR_SUCCESS);
    const Heard heard(recorder_);
    EXPECT_TRUE(heard.formatBeforeAudio);
    ASSERT_GT(heard.sampleRate, 0u);
    const double seconds = static_cast<double>(heard.samples.size()) / heard.sampleRate;
    EXPECT_GT(seconds, 5.0);
    EXPECT_LT(seconds, 40.0);

    // Every word is marked, in order, at a sample inside the audio.
    EXPECT_EQ(heard.Words(kManySentences), SplitWords(kManySentences));
    int64_t previous = 0;
    for (const auto& mark : heard.marks) {
        EXPECT_GE(mark.sample, previous) << mark.name;
        EXPECT_LE(mark.sample, static_cast<int64_t>(heard.samples.size())) << mark.name;
        previous = mark.sample;
    }
    EXPECT_EQ(heard.marks.back().name, "kvox_final");
    EXPECT_GT(heard.phonemes.size(), heard.marks.size());
}

TEST_F(EndToEndTest, ToneEngineAnswersExactly) {
    ASSERT_EQ(vrRenderSpeech(Start("tone", &recorder_), "Hi there"), VR_SUCCESS);
    const Heard heard(recorder_);
    EXPECT_EQ(heard.sampleRate, 16000u);
    EXPECT_EQ(heard.samples.size(), 2u * (1600 + 320));
    ASSERT_EQ(heard.marks.size(), 3u);
    EXPECT_EQ(heard.marks[0].name, "kvtk_0_0_2_2");
    EXPECT_EQ(heard.marks[0].sample, 0);
    EXPECT_EQ(heard.marks[1].name, "kvtk_3_3_5_5");
    EXPECT_EQ(heard.marks[1].sample, 1920);
    EXPECT_EQ(heard.marks[2].name, "kvox_final");
    EXPECT_EQ(heard.phonemes, (std::vector<std::string>{"h", "i", "t", "h", "e", "r", "e"}));
    // 200 + 50 * 2 letters = 300 Hz: 600 zero crossings a second.
    EXPECT_NEAR(CrossingsPerSecond(heard.samples, 0, 1600, 16000), 600, 20);
}

TEST_F(EndToEndTest, VoicesAreListedAndSelectedByName) {
    const vr_handle handle = Start("tone", &recorder_);
    const vr_handle voices = vrEnumerateConnectionVoices(handle);
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
    EXPECT_NEAR(CrossingsPerSecond(Heard(recorder_).samples, 0, 1600, 16000), 300, 20);
}

TEST_F(EndToEndTest, EspeakListsItsVoicesWithTheirAttributes) {
    const vr_handle voices = vrEnumerateConnectionVoices(Start("espeak", &recorder_));
    EXPECT_GT(vrNumVoices(voices), 10);
    bool english = false;
    while (const char* name = vrNextVoice(voices)) {
        const char* iso = vrGetVoiceStringValue(voices, VR_LANGUAGE_CODE_ISO);
        ASSERT_NE(iso, nullptr) << name;
        english = english || std::string(iso) == "en";
        EXPECT_GT(vrGetVoiceIntegerValue(voices, VR_SAMPLE_RATE), 0) << name;
    }
    EXPECT_TRUE(english);
}

TEST_F(EndToEndTest, VoiceElementInsideTheTextSwitchesMidRender) {
    const char kText[] = "<speak>ab <voice name=\"tone-low\">cd</voice> ef</speak>";
    ASSERT_EQ(vrRenderSpeech(Start("tone", &recorder_), kText), VR_SUCCESS);
    const Heard heard(recorder_);
    ASSERT_EQ(heard.samples.size(), 3u * 1920);
    // 300 Hz, then 150 Hz inside the voice element; the voice stays selected.
    EXPECT_NEAR(CrossingsPerSecond(heard.samples, 0, 1600, 16000), 600, 20);
    EXPECT_NEAR(CrossingsPerSecond(heard.samples, 1920, 1600, 16000), 300, 20);
    EXPECT_NEAR(CrossingsPerSecond(heard.samples, 3840, 1600, 16000), 300, 20);
    EXPECT_EQ(heard.Words(kText), (std::vector<std::string>{"ab", "cd", "ef"}));
    EXPECT_TRUE(heard.messages.empty());
}

TEST_F(EndToEndTest, StreamYieldsAudioBeforeItsFlush) {
    const vr_handle handle = Start("tone", &recorder_);
    std::string piece;
    while (piece.size() < 12000)
        piece += "One sentence of a long stream. ";
    ASSERT_EQ(vrPushSpeechStream(handle, piece.c_str()), VR_SUCCESS);
    EXPECT_GT(recorder_.Count(PACKET_DATA_6), 0u) << "audio must start before the flush";
    ASSERT_EQ(vrPushSpeechStream(handle, piece.c_str()), VR_SUCCESS);
    ASSERT_EQ(vrFlushSpeechStream(handle), VR_SUCCESS);
    EXPECT_EQ(Heard(recorder_).Words(piece + piece), SplitWords(piece + piece));
}

TEST_F(EndToEndTest, AsyncRenderCompletesAfterItsAudio) {
    ASSERT_EQ(vrRenderSpeechAsync(Start("tone", &recorder_), "one two three"), VR_SUCCESS);
    ASSERT_TRUE(recorder_.WaitDone(1));
    const Heard heard(recorder_);
    EXPECT_EQ(heard.samples.size(), 3u * 1920);
    EXPECT_EQ(heard.marks.size(), 4u);
    EXPECT_EQ(recorder_.Types().back(), PACKET_REQUEST_DONE);
}

TEST_F(EndToEndTest, CancelStopsTheAudioPromptly) {
    const vr_handle handle = Start("tone", &recorder_);
    std::string text;
    for (int i = 0; i < 20000; ++i)
        text += "word ";
    std::atomic<vr_result> result{VR_SUCCESS};
    std::thread renderer([&] { result = vrRenderSpeech(handle, text.c_str()); });
    EXPECT_TRUE(recorder_.WaitFor(PACKET_DATA_6, 5));
    const auto start = Clock::now();
    EXPECT_EQ(vrCancelRequest(handle), VR_SUCCESS);
    const auto took = Clock::now() - start;
    const size_t atCancel = recorder_.Count(PACKET_DATA_6);
    renderer.join();
    EXPECT_EQ(result.load(), VR_CANCELLED);
    EXPECT_EQ(recorder_.Count(PACKET_DATA_6), atCancel) << "no audio after the cancel returned";
    EXPECT_LT(took, std::chrono::seconds(1)) << "100 ms, 10x for sanitizers";
    // The handle speaks again.
    const size_t before = Heard(recorder_).samples.size();
    ASSERT_EQ(vrRenderSpeech(handle, "again"), VR_SUCCESS);
    EXPECT_EQ(Heard(recorder_).samples.size(), before + 1920);
}

TEST_F(EndToEndTest, TwoClientsSpeakAtOnce) {
    const char* texts[] = {"The first client speaks.", "And so does the second one."};
    CallbackRecorder second;
    const vr_handle handles[] = {Start("espeak", &recorder_), Open(&second)};
    std::vector<std::thread> threads;
    for (int i = 0; i < 2; ++i)
        threads.emplace_back(
            [&, i] { EXPECT_EQ(vrRenderSpeech(handles[i], texts[i]), VR_SUCCESS); });
    for (auto& thread : threads)
        thread.join();
    const Heard heard[] = {Heard(recorder_), Heard(second)};
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(heard[i].Words(texts[i]), SplitWords(texts[i]));
        EXPECT_GT(heard[i].samples.size(), 0u);
    }
}

}  // namespace
}  // namespace vrelay
