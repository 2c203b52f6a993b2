// Rendering through the exported interface against a scripted server: what
// goes on the wire, what reaches the callback, async hand-over and cancel.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "client/enumerator.h"
#include "client/handles.h"
#include "client/vrelay.h"
#include "platform/thread.h"
#include "tests/support/fake_server.h"

namespace vrelay {
namespace {

using test::Action;
using test::Bytes;
using test::FakeServer;
using test::ReceivedFrame;
using Clock = std::chrono::steady_clock;

struct Frame {
    uint16_t type;
    std::string text;
    bool operator==(const Frame& other) const { return type == other.type && text == other.text; }
};

std::ostream& operator<<(std::ostream& out, const Frame& frame) {
    return out << "{" << frame.type << ", \"" << frame.text << "\"}";
}

// Records callback deliveries; lets a test wait for PACKET_REQUEST_DONE.
struct Recorder {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<PACKET_TYPE> types;
    int requestDone = 0;
    int32_t result = VR_SUCCESS;

    static int32_t Callback(void* self, PACKET_TYPE type, void*, int32_t) {
        auto* recorder = static_cast<Recorder*>(self);
        std::lock_guard<std::mutex> guard(recorder->mutex);
        recorder->types.push_back(type);
        if (type == PACKET_REQUEST_DONE)
            ++recorder->requestDone;
        recorder->changed.notify_all();
        return type == PACKET_REQUEST_DONE ? VR_SUCCESS : recorder->result;
    }
    bool WaitDone(int n, std::chrono::seconds timeout = std::chrono::seconds(20)) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, timeout, [&] { return requestDone >= n; });
    }
    std::vector<PACKET_TYPE> Types() {
        std::lock_guard<std::mutex> guard(mutex);
        return types;
    }
};

class RenderingTest : public ::testing::Test {
  protected:
    void SetUp() override {
        Connections().Clear();
        Enumerators().Clear();
        handle_ = vrCreateConnection();
        ASSERT_EQ(vrSetCallBack(handle_, Recorder::Callback), VR_SUCCESS);
        ASSERT_EQ(vrSetUserData(handle_, &recorder_), VR_SUCCESS);
        ASSERT_EQ(vrOpenConnection(handle_, server_.Host().c_str(), server_.Port()), VR_SUCCESS);
    }
    void TearDown() override {
        vrDestroyConnection(handle_);
        Connections().Clear();
        Enumerators().Clear();
    }
    // Every frame the server received, as (type, text up to the NUL).
    std::vector<Frame> Wire() {
        std::vector<Frame> frames;
        for (const auto& frame : server_.Frames())
            frames.push_back({frame.type, frame.Text()});
        return frames;
    }
    // The server holds its answer to each request's closing (empty) text at
    // the gate "hold".
    void HoldClosingTexts() {
        server_.SetHandler([](const ReceivedFrame& frame) {
            if (frame.type == PACKET_TEXT && frame.Text().empty()) {
                return std::vector<Action>{Action::WaitGate("hold"), Action::End()};
            }
            return test::DefaultAnswer(frame);
        });
    }
    // The server answers every text with one audio packet and its end.
    void AnswerTextsWithAudio() {
        server_.SetHandler([](const ReceivedFrame& frame) {
            if (frame.type == PACKET_TEXT || frame.type == PACKET_TEXT_CHUNK) {
                return std::vector<Action>{Action::Frame(PACKET_DATA_6, Bytes(10, 1)),
                                           Action::End()};
            }
            return test::DefaultAnswer(frame);
        });
    }

    FakeServer server_;
    Recorder recorder_;
    vr_handle handle_ = 0;
};

const char kHelloFinal[] =
    "<parent><xmlfixopen/><mark name=\"kvtk_0_0_5_5\"/>Hello<mark name=\"kvox_final\"/>"
    "<xmlfixcloseoffopen/></parent>";

TEST_F(RenderingTest, RenderSendsTheTokenisedTextThenAnEmptyText) {
    EXPECT_EQ(vrRenderSpeech(handle_, "Hello"), VR_SUCCESS);
    EXPECT_EQ(Wire(), (std::vector<Frame>{{PACKET_TEXT, kHelloFinal}, {PACKET_TEXT, ""}}));
    // The empty text is a single NUL byte.
    EXPECT_EQ(server_.Frames().back().payload, Bytes{0});
}

TEST_F(RenderingTest, BothSynchronousFormsSubmitTheSameRequest) {
    EXPECT_EQ(vrRenderSpeech(handle_, "<speak>Hello world</speak>"), VR_SUCCESS);
    const auto plain = Wire();
    EXPECT_EQ(vrRenderSpeechXML(handle_, "<speak>Hello world</speak>"), VR_SUCCESS);
    const auto all = Wire();
    ASSERT_EQ(all.size(), 2 * plain.size());
    EXPECT_EQ(std::vector<Frame>(all.begin() + plain.size(), all.end()), plain);
    EXPECT_EQ(plain.front(),
              (Frame{PACKET_TEXT,
                     "<speak><mark name=\"kvtk_7_7_5_5\"/>Hello <mark name=\"kvtk_13_13_5_5\"/>"
                     "world</speak><mark name=\"kvox_final\"/>"}));
}

TEST_F(RenderingTest, VoiceElementInTheTextSwitchesTheVoiceInPlace) {
    EXPECT_EQ(vrRenderSpeech(handle_, "<speak>Hi <voice name=\"v\">there</voice></speak>"),
              VR_SUCCESS);
    EXPECT_EQ(Wire(),
              (std::vector<Frame>{
                  {PACKET_TEXT_CHUNK, "<speak><mark name=\"kvtk_7_7_2_2\"/>Hi </speak>"},
                  {PACKET_TEXT, ""},
                  {PACKET_QUERY, "<voice name='v' select='1'/>"},
                  {PACKET_TEXT_CHUNK,
                   "<speak><voice name=\"v\"><mark name=\"kvtk_26_26_5_5\"/>there</voice></speak>"},
                  {PACKET_TEXT, ""},
                  {PACKET_TEXT, "<speak></speak><mark name=\"kvox_final\"/>"},
                  {PACKET_TEXT, ""},
              }));
}

TEST_F(RenderingTest, VoiceTagNamesAreReadLikeTheServerWouldExpect) {
    struct Row {
        const char* text;
        std::vector<std::string> queries;
    };
    const Row rows[] = {
        {"<speak>a <voice gender=\"f\" name='x'>b</voice></speak>",
         {"<voice name='x' select='1'/>"}},
        {"<speak>a <voice name=x>b</voice></speak>", {}},
        {"<speak>a <voice gender=\"f\">b</voice></speak>", {}},
        {"<speak>a <metadata key=\"k\">b</metadata></speak>", {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        const size_t before = server_.Frames().size();
        EXPECT_EQ(vrRenderSpeech(handle_, row.text), VR_SUCCESS);
        std::vector<std::string> queries;
        const auto frames = server_.Frames();
        for (size_t i = before; i < frames.size(); ++i) {
            if (frames[i].type == PACKET_QUERY)
                queries.push_back(frames[i].Text());
        }
        EXPECT_EQ(queries, row.queries);
    }
}

TEST_F(RenderingTest, StreamBuffersShortPushesAndSendsOnFlush) {
    EXPECT_EQ(vrPushSpeechStream(handle_, "Hello "), VR_SUCCESS);
    EXPECT_EQ(vrPushSpeechStream(handle_, ""), VR_SUCCESS);
    EXPECT_EQ(vrPushSpeechStream(handle_, "world"), VR_SUCCESS);
    EXPECT_TRUE(server_.Frames().empty()) << "short pushes stay buffered";
    EXPECT_EQ(vrFlushSpeechStream(handle_), VR_SUCCESS);
    const auto wire = Wire();
    ASSERT_EQ(wire.size(), 2u);
    EXPECT_EQ(wire[0].type, PACKET_TEXT);
    EXPECT_NE(wire[0].text.find("<mark name=\"kvtk_0_0_5_5\"/>Hello "), std::string::npos);
    EXPECT_NE(wire[0].text.find("<mark name=\"kvtk_6_6_5_5\"/>world"), std::string::npos);
    EXPECT_NE(wire[0].text.find("<mark name=\"kvox_final\"/>"), std::string::npos);
    EXPECT_EQ(wire[1], (Frame{PACKET_TEXT, ""}));
}

TEST_F(RenderingTest, LongPushReleasesWholePiecesBeforeTheFlush) {
    std::string text;
    while (text.size() < 20000)
        text += "word" + std::to_string(text.size()) + " ";
    EXPECT_EQ(vrPushSpeechStream(handle_, text.c_str()), VR_SUCCESS);
    const auto pushed = Wire();
    ASSERT_FALSE(pushed.empty());
    for (const auto& frame : pushed)
        EXPECT_EQ(frame.type, PACKET_TEXT_CHUNK);
    EXPECT_EQ(vrFlushSpeechStream(handle_), VR_SUCCESS);
    const auto wire = Wire();
    ASSERT_GE(wire.size(), pushed.size() + 2);
    EXPECT_EQ(wire.back(), (Frame{PACKET_TEXT, ""}));
    EXPECT_NE(wire[wire.size() - 2].text.find("kvox_final"), std::string::npos);
    // Every word arrives marked exactly once, in order.
    std::string all;
    for (const auto& frame : wire)
        all += frame.text;
    size_t marks = 0;
    for (size_t at = all.find("<mark name=\"kvtk_"); at != std::string::npos;
         at = all.find("<mark name=\"kvtk_", at + 1)) {
        ++marks;
    }
    size_t words = 0;
    for (char c : text)
        words += c == ' ';
    EXPECT_EQ(marks, words);
}

TEST_F(RenderingTest, LongTextIsSentInPiecesEachAnswered) {
    AnswerTextsWithAudio();
    std::string text = "<speak>";
    while (text.size() < 100000)
        text += "Sentence number " + std::to_string(text.size()) + ". ";
    text += "</speak>";
    EXPECT_EQ(vrRenderSpeech(handle_, text.c_str()), VR_SUCCESS);
    const auto frames = server_.Frames();
    ASSERT_GT(frames.size(), 3u);
    for (size_t i = 0; i + 2 < frames.size(); ++i) {
        EXPECT_EQ(frames[i].type, PACKET_TEXT_CHUNK) << i;
        EXPECT_LE(frames[i].payload.size(), 64000u);
    }
    EXPECT_EQ(frames[frames.size() - 2].type, PACKET_TEXT);
    // One audio packet per text packet: every answer was read in turn.
    size_t audio = 0;
    for (PACKET_TYPE type : recorder_.Types())
        audio += type == PACKET_DATA_6;
    EXPECT_EQ(audio, frames.size());
}

TEST_F(RenderingTest, OpenStreamOfTheOtherKindIsEndedFirst) {
    std::string text;
    while (text.size() < 20000)
        text += "more words ";
    ASSERT_EQ(vrPushSpeechStream(handle_, text.c_str()), VR_SUCCESS);
    const size_t pushed = server_.Frames().size();
    ASSERT_GT(pushed, 0u);
    // An asynchronous plain-text render must end the open XML stream first.
    EXPECT_EQ(vrRenderSpeechAsync(handle_, "Hi"), VR_SUCCESS);
    ASSERT_TRUE(recorder_.WaitDone(1));
    const auto wire = Wire();
    ASSERT_GT(wire.size(), pushed + 2);
    EXPECT_EQ(wire[pushed].type, PACKET_TEXT);  // the stream's end
    EXPECT_NE(wire[pushed].text.find("kvox_final"), std::string::npos);
    EXPECT_EQ(wire.back(), (Frame{PACKET_TEXT, ""}));
}

TEST_F(RenderingTest, RefusedPacketStopsTheRender) {
    AnswerTextsWithAudio();
    recorder_.result = 1;
    const vr_result result = vrRenderSpeech(handle_, "Hello");
    EXPECT_TRUE(result == VR_CANCELLED || result == VR_ERROR) << result;
    EXPECT_EQ(recorder_.Types().size(), 1u);
}

TEST_F(RenderingTest, ServerClosingMidRequestEndsTheRender) {
    server_.SetHandler([](const ReceivedFrame&) { return std::vector<Action>{Action::Close()}; });
    const vr_result result = vrRenderSpeech(handle_, "Hello");
    EXPECT_TRUE(result == VR_CANCELLED || result == VR_ERROR || result == VR_SEND_FAILED) << result;
}

TEST_F(RenderingTest, UnopenedOrUnknownConnections) {
    const vr_handle unopened = vrCreateConnection();
    EXPECT_EQ(vrRenderSpeech(unopened, "Hello"), VR_SEND_FAILED);
    EXPECT_EQ(vrPushSpeechStream(unopened, "Hello"), VR_SEND_FAILED);
    EXPECT_EQ(vrRenderSpeech(4242, "Hello"), VR_BAD_HANDLE);
    EXPECT_EQ(vrFlushSpeechStream(4242), VR_BAD_HANDLE);
    EXPECT_EQ(vrRenderSpeechAsync(4242, "Hello"), VR_BAD_HANDLE);
    EXPECT_EQ(vrSetCallBack(4242, nullptr), VR_BAD_HANDLE);
    EXPECT_EQ(vrSetPascalCallBack(4242, nullptr), VR_BAD_HANDLE);
    EXPECT_EQ(vrSetUserData(4242, nullptr), VR_BAD_HANDLE);
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(vrCancelRequest(4242), VR_BAD_HANDLE);
    EXPECT_EQ(vrCancelRequest(unopened), VR_SEND_FAILED);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "WARNING: bad handle.\nWARNING: could not close the connection!\n");
    // A failed submission leaves the connection idle: a cancel does not hang.
    FakeServer second;
    EXPECT_EQ(vrOpenConnection(unopened, second.Host().c_str(), second.Port()), VR_SUCCESS);
    EXPECT_EQ(vrCancelRequest(unopened), VR_SUCCESS);
    EXPECT_EQ(vrRenderSpeech(unopened, "Hello"), VR_SUCCESS);
}

TEST_F(RenderingTest, UserDataChangesBetweenRenders) {
    AnswerTextsWithAudio();
    Recorder second;
    EXPECT_EQ(vrRenderSpeech(handle_, "one"), VR_SUCCESS);
    ASSERT_EQ(vrSetUserData(handle_, &second), VR_SUCCESS);
    EXPECT_EQ(vrRenderSpeech(handle_, "two"), VR_SUCCESS);
    EXPECT_EQ(recorder_.Types().size(), 2u);
    EXPECT_EQ(second.Types().size(), 2u);
}

// ---- asynchronous renders ------------------------------------------------

TEST_F(RenderingTest, AsyncRenderEndsWithExactlyOneDoneAfterItsPackets) {
    AnswerTextsWithAudio();
    EXPECT_EQ(vrRenderSpeechXMLAsync(handle_, "<speak>Hello world</speak>"), VR_SUCCESS);
    ASSERT_TRUE(recorder_.WaitDone(1));
    EXPECT_EQ(vrRenderSpeech(handle_, "again"), VR_SUCCESS);  // joins the ended worker
    const auto types = recorder_.Types();
    ASSERT_EQ(types.size(), 5u);
    EXPECT_EQ(types[2], PACKET_REQUEST_DONE);
    EXPECT_EQ(recorder_.requestDone, 1);
}

TEST_F(RenderingTest, SecondAsyncRenderIsBusyWhileTheFirstRuns) {
    HoldClosingTexts();
    ASSERT_EQ(vrRenderSpeechAsync(handle_, "first"), VR_SUCCESS);
    ASSERT_TRUE(server_.WaitForGate("hold"));
    EXPECT_EQ(vrRenderSpeechAsync(handle_, "second"), VR_BUSY);
    server_.OpenGate("hold");
    ASSERT_TRUE(recorder_.WaitDone(1));
    EXPECT_EQ(vrRenderSpeechAsync(handle_, "third"), VR_SUCCESS);
    server_.OpenGate("hold");
    ASSERT_TRUE(recorder_.WaitDone(2));
    EXPECT_EQ(recorder_.requestDone, 2);
}

TEST_F(RenderingTest, SynchronousRenderWaitsForTheRunningWorker) {
    HoldClosingTexts();
    ASSERT_EQ(vrRenderSpeechAsync(handle_, "first"), VR_SUCCESS);
    ASSERT_TRUE(server_.WaitForGate("hold"));
    std::atomic<bool> returned{false};
    std::thread sync([&] {
        EXPECT_EQ(vrRenderSpeech(handle_, "second"), VR_SUCCESS);
        returned = true;
    });
    // The synchronous render cannot finish before the worker's request does,
    // and then still needs its own answer.
    EXPECT_FALSE(returned.load());
    server_.OpenGate("hold");
    ASSERT_TRUE(recorder_.WaitDone(1));
    ASSERT_TRUE(server_.WaitForGate("hold"));  // the second render's closing text
    EXPECT_FALSE(returned.load());
    server_.OpenGate("hold");
    sync.join();
    EXPECT_TRUE(returned.load());
}

TEST_F(RenderingTest, RenderFromTheCompletionCallbackIsBusy) {
    struct Nested {
        vr_handle handle;
        std::atomic<int> asyncResult{1};
        std::atomic<int> syncResult{1};
        std::atomic<bool> done{false};
    } nested;
    nested.handle = handle_;
    auto callback = [](void* user, PACKET_TYPE type, void*, int32_t) -> int32_t {
        auto* n = static_cast<Nested*>(user);
        if (type == PACKET_REQUEST_DONE) {
            n->asyncResult = vrRenderSpeechAsync(n->handle, "nested");
            n->syncResult = vrRenderSpeech(n->handle, "nested");
            n->done = true;
        }
        return VR_SUCCESS;
    };
    ASSERT_EQ(vrSetCallBack(handle_, callback), VR_SUCCESS);
    ASSERT_EQ(vrSetUserData(handle_, &nested), VR_SUCCESS);
    ASSERT_EQ(vrRenderSpeechAsync(handle_, "outer"), VR_SUCCESS);
    // A synchronous render queues behind the worker, so when it returns the
    // completion callback has run.
    EXPECT_EQ(vrRenderSpeech(handle_, "after"), VR_SUCCESS);
    EXPECT_TRUE(nested.done.load());
    EXPECT_EQ(nested.asyncResult.load(), VR_BUSY);
    EXPECT_EQ(nested.syncResult.load(), VR_BUSY);
}

TEST_F(RenderingTest, FailedThreadCreationLeavesTheConnectionUsable) {
    Thread::FailNextStarts(1);
    EXPECT_EQ(vrRenderSpeechAsync(handle_, "Hello"), VR_ERROR);
    EXPECT_EQ(recorder_.requestDone, 0);
    EXPECT_EQ(vrRenderSpeechAsync(handle_, "Hello"), VR_SUCCESS);
    ASSERT_TRUE(recorder_.WaitDone(1));
    EXPECT_EQ(vrRenderSpeech(handle_, "Hello"), VR_SUCCESS);
}

TEST_F(RenderingTest, DestroyDuringAnAsyncRenderWaitsForTheWorker) {
    server_.SetHandler([](const ReceivedFrame&) { return std::vector<Action>{Action::Silent()}; });
    ASSERT_EQ(vrRenderSpeechAsync(handle_, "Hello"), VR_SUCCESS);
    ASSERT_TRUE(server_.WaitForFrames(1));
    EXPECT_EQ(vrDestroyConnection(handle_), VR_SUCCESS);
    // The worker has ended and delivered its completion before destroy returned.
    EXPECT_EQ(recorder_.requestDone, 1);
}

// ---- cancel -------------------------------------------------------------

class CancelTest : public RenderingTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(CancelTest, CancelStopsASynchronousRenderPromptly) {
    const bool streaming = std::string(GetParam()) == "streaming";
    server_.SetHandler([streaming](const ReceivedFrame& frame) {
        if (frame.type != PACKET_TEXT && frame.type != PACKET_TEXT_CHUNK) {
            return test::DefaultAnswer(frame);
        }
        std::vector<Action> actions;
        if (streaming) {
            for (int i = 0; i < 20000; ++i)
                actions.push_back(Action::Frame(PACKET_DATA_6, Bytes(2000)));
        } else {
            actions.push_back(Action::Silent());
        }
        return actions;
    });
    std::atomic<vr_result> renderResult{VR_SUCCESS};
    std::thread renderer([&] { renderResult = vrRenderSpeech(handle_, "Hello world"); });
    ASSERT_TRUE(server_.WaitForFrames(1));
    if (streaming) {
        // Wait until audio is flowing.
        for (int i = 0; i < 2000 && recorder_.Types().size() < 10; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    const auto start = Clock::now();
    EXPECT_EQ(vrCancelRequest(handle_), VR_SUCCESS);
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    renderer.join();
    EXPECT_EQ(renderResult.load(), VR_CANCELLED);
    RecordProperty("cancel_ms", static_cast<int>(took.count()));
    EXPECT_LT(took.count(), 1000) << "cancel must return within 100 ms (10x for sanitizers)";

    // The same handle renders again with the same callback and user data.
    server_.SetHandler(test::DefaultAnswer);
    const size_t before = recorder_.Types().size();
    server_.SetHandler([](const ReceivedFrame& frame) {
        if (frame.type == PACKET_TEXT) {
            return std::vector<Action>{Action::Frame(PACKET_DATA_10, Bytes{'o', 'k', 0}),
                                       Action::End()};
        }
        return test::DefaultAnswer(frame);
    });
    EXPECT_EQ(vrRenderSpeech(handle_, "Hello"), VR_SUCCESS);
    EXPECT_EQ(recorder_.Types().size(), before + 2);
}

INSTANTIATE_TEST_SUITE_P(Servers, CancelTest, ::testing::Values("streaming", "silent"));

TEST_F(RenderingTest, CancelledAsyncRenderStillCompletesOnce) {
    server_.SetHandler([](const ReceivedFrame&) { return std::vector<Action>{Action::Silent()}; });
    ASSERT_EQ(vrRenderSpeechAsync(handle_, "Hello"), VR_SUCCESS);
    ASSERT_TRUE(server_.WaitForFrames(1));
    EXPECT_EQ(vrCancelRequest(handle_), VR_SUCCESS);
    ASSERT_TRUE(recorder_.WaitDone(1));
    EXPECT_EQ(recorder_.requestDone, 1);
}

TEST_F(RenderingTest, CancelRacingTheEndOfARequestNeitherHangsNorLosesTheCompletion) {
    for (int round = 0; round < 20; ++round) {
        ASSERT_EQ(vrRenderSpeechAsync(handle_, "Hi"), VR_SUCCESS);
        EXPECT_EQ(vrCancelRequest(handle_), VR_SUCCESS);
        ASSERT_TRUE(recorder_.WaitDone(round + 1)) << round;
    }
    EXPECT_EQ(recorder_.requestDone, 20);
}

// ---- many threads ---------------------------------------------------------

TEST(RenderingStressTest, EightThreadsRenderPushCancelAndDestroy) {
    Connections().Clear();
    FakeServer server([](const ReceivedFrame& frame) {
        if (frame.type == PACKET_TEXT || frame.type == PACKET_TEXT_CHUNK) {
            return std::vector<Action>{Action::Frame(PACKET_DATA_6, Bytes(64, 3)), Action::End()};
        }
        return test::DefaultAnswer(frame);
    });
    constexpr int kThreads = 8;
    const auto until = Clock::now() + std::chrono::seconds(3);
    std::atomic<int> unexpected{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            Recorder recorder;
            vr_handle handle = vrCreateConnection();
            vrSetCallBack(handle, Recorder::Callback);
            vrSetUserData(handle, &recorder);
            if (vrOpenConnection(handle, server.Host().c_str(), server.Port()) != VR_SUCCESS) {
                ++unexpected;
                return;
            }
            int doneExpected = 0;
            for (int i = 0; Clock::now() < until; ++i) {
                vr_result r = VR_SUCCESS;
                switch ((i + t) % 6) {
                    case 0:
                        r = vrRenderSpeech(handle, "Hello there world");
                        break;
                    case 1:
                        r = vrPushSpeechStream(handle, "some words ");
                        break;
                    case 2:
                        r = vrFlushSpeechStream(handle);
                        break;
                    case 3:
                        r = vrRenderSpeechAsync(handle, "async words");
                        if (r == VR_SUCCESS)
                            ++doneExpected;
                        break;
                    case 4:
                        r = vrCancelRequest(handle);
                        break;
                    case 5:
                        if (i % 12 == 5) {
                            r = vrDestroyConnection(handle);
                            if (!recorder.WaitDone(doneExpected, std::chrono::seconds(0))) {
                                ++unexpected;
                            }
                            handle = vrCreateConnection();
                            vrSetCallBack(handle, Recorder::Callback);
                            vrSetUserData(handle, &recorder);
                            if (vrOpenConnection(handle, server.Host().c_str(), server.Port()) !=
                                VR_SUCCESS) {
                                ++unexpected;
                            }
                        }
                        break;
                }
                if (r != VR_SUCCESS && r != VR_CANCELLED && r != VR_BUSY)
                    ++unexpected;
            }
            vrDestroyConnection(handle);
            if (recorder.requestDone != doneExpected)
                ++unexpected;
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(unexpected.load(), 0);
    Connections().Clear();
}

}  // namespace
}  // namespace vrelay
