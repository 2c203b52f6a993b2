// SPDX-License-Identifier: MIT
// The library as an application uses it (through libvrelay_shared) against
// the real reference server on a free loopback port.
#include <gtest/gtest.h>
#include <vrelay/vrelay.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "server/speech_server.h"
#include "tests/support/callback_recorder.h"
#include "wire/payload.h"

namespace vrelay {
namespace {

using test::CallbackRecorder;
using Strings = std::vector<std::string>;

// The audio of one connection, and the words of text its marks locate.
struct Heard {
    std::vector<int16_t> samples;
    Strings words;

    Heard(const CallbackRecorder& recorder, const std::string& text = "") {
        for (const auto& d : recorder.Deliveries()) {
            wire::MarkReached mark;
            long long offset = 0, length = 0;
            if (d.type == PACKET_DATA_6) {
                const auto audio = wire::DecodeAudio(d.data.data(), d.data.size());
                samples.insert(samples.end(), audio.begin(), audio.end());
            } else if (d.type == PACKET_DATA_8 && !text.empty() &&
                       wire::DecodeMark(d.data.data(), d.data.size(), &mark) &&
                       std::sscanf(mark.name.c_str(), "kvtk_%*d_%lld_%*d_%lld", &offset, &length) ==
                           2) {
                words.push_back(text.substr(offset, length));
            }
        }
    }
    // Zero crossings per second of the tone at sample from: its pitch, twice over.
    double Crossings(size_t from) const {
        int crossings = 0;
        for (size_t i = from + 1; i < from + 1600 && i < samples.size(); ++i)
            crossings += (samples[i - 1] < 0) != (samples[i] < 0);
        return crossings * 16000.0 / 1600;
    }
};

Strings SplitWords(const std::string& text) {
    std::istringstream in(text);
    return {std::istream_iterator<std::string>(in), std::istream_iterator<std::string>()};
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

// The completion of an asynchronous render comes once, after every answer of
// its request.
TEST_F(EndToEndTest, VoiceElementInsideTheTextSwitchesMidAsyncRender) {
    const char kText[] = "<speak>ab <voice name=\"tone-low\">cd</voice> ef</speak>";
    ASSERT_EQ(vrRenderSpeechAsync(Start("tone", &recorder_), kText), VR_SUCCESS);
    ASSERT_TRUE(recorder_.WaitDone(1));
    const Heard heard(recorder_, kText);
    ASSERT_EQ(heard.samples.size(), 3u * 1920);
    // 300 Hz, then 150 Hz inside the voice element; that voice stays selected.
    EXPECT_NEAR(heard.Crossings(0), 600, 20);
    EXPECT_NEAR(heard.Crossings(1920), 300, 20);
    EXPECT_NEAR(heard.Crossings(2 * 1920), 300, 20);
    EXPECT_EQ(heard.words, (Strings{"ab", "cd", "ef"}));
    EXPECT_EQ(recorder_.Count(PACKET_DATA_10), 0u);
    EXPECT_EQ(recorder_.Types().back(), PACKET_REQUEST_DONE);
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
    EXPECT_EQ(Heard(recorder_, piece + piece).words, SplitWords(piece + piece));
}

TEST_F(EndToEndTest, CancelStopsTheAudioPromptly) {
    const vr_handle handle = Start("tone", &recorder_);
    std::string text;
    for (int i = 0; i < 20000; ++i)
        text += "word ";
    std::atomic<vr_result> result{VR_SUCCESS};
    std::thread renderer([&] { result = vrRenderSpeech(handle, text.c_str()); });
    EXPECT_TRUE(recorder_.WaitFor(PACKET_DATA_6, 5));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(vrCancelRequest(handle), VR_SUCCESS);
    const auto took = std::chrono::steady_clock::now() - start;
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

// espeak's voice list reaches the application, and two connections speak at
// once with every word marked.
TEST_F(EndToEndTest, EspeakListsItsVoicesAndSpeaksToTwoClientsAtOnce) {
    CallbackRecorder second;
    const vr_handle handles[] = {Start("espeak", &recorder_), Open(&second)};
    const vr_handle voices = vrEnumerateConnectionVoices(handles[0]);
    EXPECT_GT(vrNumVoices(voices), 10);
    while (const char* name = vrNextVoice(voices)) {
        EXPECT_NE(vrGetVoiceStringValue(voices, VR_LANGUAGE_CODE_ISO), nullptr) << name;
        EXPECT_GT(vrGetVoiceIntegerValue(voices, VR_SAMPLE_RATE), 0) << name;
    }
    vrCloseEnumerator(voices);
    const char* texts[] = {"It was late. Dr. Smith said: the 3 boxes weigh 12.5 kg.",
                           "\"Quiet,\" she said. Or did it? Nobody knows!"};
    std::vector<std::thread> threads;
    for (int i = 0; i < 2; ++i)
        threads.emplace_back(
            [&, i] { EXPECT_EQ(vrRenderSpeech(handles[i], texts[i]), VR_SUCCESS); });
    for (auto& thread : threads)
        thread.join();
    const Heard heard[] = {Heard(recorder_, texts[0]), Heard(second, texts[1])};
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(heard[i].words, SplitWords(texts[i]));
        EXPECT_GT(heard[i].samples.size(), 22050u);
    }
}

}  // namespace
}  // namespace vrelay
