// SPDX-License-Identifier: MIT
// Handles and rendering through the exported interface against a scripted
// server: handle numbers and closing, what goes on the wire, what reaches the
// callback, async hand-over and cancel.
#include <gtest/gtest.h>
#include <vrelay/vrelay.h>

#include <array>
#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "client/enumerator.h"
#include "client/handles.h"
#include "platform/thread.h"
#include "tests/support/callback_recorder.h"
#include "tests/support/captured_log.h"
#include "tests/support/fake_server.h"
#include "tests/support/open_handle.h"

namespace vrelay {
namespace {

using test::Action;
using test::Bytes;
using test::FakeServer;
using test::ReceivedFrame;
using Clock = std::chrono::steady_clock;

using Frame = std::pair<uint16_t, std::string>;  // type, text up to the NUL

// The server answers every text and text chunk with actions.
test::Handler OnTexts(std::vector<Action> actions) {
    return test::AnswerWhen(
        [](const ReceivedFrame& f) { return f.type == PACKET_TEXT || f.type == PACKET_TEXT_CHUNK; },
        std::move(actions));
}

using RenderingTest = test::OpenHandleTest;

// ---- handles ----------------------------------------------------------------

class LifecycleTest : public ::testing::Test {
  protected:
    void SetUp() override {
        Connections().Clear();
        Enumerators().Clear();
    }
    void TearDown() override { SetUp(); }
    vr_handle Open() {
        const vr_handle handle = vrCreateConnection();
        EXPECT_EQ(vrOpenConnection(handle, server_.Host().c_str(), server_.Port()), VR_SUCCESS);
        return handle;
    }
    FakeServer server_;
};

TEST_F(LifecycleTest, HandlesAreNumberedFromOneThousandAndReusedLastInFirstOut) {
    EXPECT_EQ(vrCreateConnection(), 1000);
    EXPECT_EQ(vrCreateConnection(), 1001);
    EXPECT_EQ(vrCreateConnection(), 1002);
    EXPECT_EQ(vrCloseConnection(1001), VR_SEND_FAILED);  // never opened
    EXPECT_EQ(vrDestroyConnection(1001), VR_SUCCESS);
    EXPECT_EQ(vrDestroyConnection(1000), VR_SUCCESS);
    EXPECT_EQ(vrDestroyConnection(1000), VR_SUCCESS);  // unknown handles change nothing
    EXPECT_EQ(vrDestroyConnection(-1), VR_SUCCESS);
    EXPECT_EQ(vrCreateConnection(), 1000);
    EXPECT_EQ(vrCreateConnection(), 1001);
    EXPECT_EQ(vrCreateConnection(), 1003);
}

// Close sends exactly the 14-byte PACKET_CLOSE and a later destroy nothing
// more; destroying an open connection sends the same frame.
TEST_F(LifecycleTest, CloseOrDestroyPutsExactlyTheCloseFrameOnTheWire) {
    const Bytes kClose = {0, 12, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    const vr_handle closed = Open();
    EXPECT_EQ(vrCloseConnection(closed), VR_SUCCESS);
    EXPECT_EQ(vrCloseConnection(closed), VR_SEND_FAILED);
    EXPECT_EQ(vrDestroyConnection(closed), VR_SUCCESS);
    const vr_handle destroyed = Open();
    EXPECT_EQ(vrDestroyConnection(destroyed), VR_SUCCESS);
    EXPECT_EQ(vrCloseConnection(destroyed), VR_BAD_HANDLE);
    ASSERT_TRUE(server_.WaitForFrames(2));
    const auto frames = server_.Frames();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].raw, kClose);
    EXPECT_EQ(frames[1].raw, kClose);
}

// Unopened, failed to open, or closed: requests fail at once with their
// result, and the handle works once it is open.
TEST_F(LifecycleTest, UnopenedOrFailedHandlesFailToSendAndWorkOnceOpen) {
    const vr_handle handle = vrCreateConnection();
    EXPECT_EQ(vrRenderSpeech(handle, "Hello"), VR_SEND_FAILED);
    EXPECT_EQ(vrPushSpeechStream(handle, "Hello"), VR_SEND_FAILED);
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(vrCancelRequest(4242), VR_BAD_HANDLE);
    EXPECT_EQ(vrCancelRequest(handle), VR_SEND_FAILED);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "WARNING: bad handle.\nWARNING: could not close the connection!\n");
    EXPECT_EQ(vrOpenConnection(handle, "no-such-host.invalid", 80), VR_CONNECT_FAILED);
    EXPECT_EQ(vrOpenConnection(handle, server_.Host().c_str(), server_.Port()), VR_SUCCESS);
    // The refused cancel left no stop behind: the query reads its reply.
    EXPECT_EQ(vrQueryServer(handle, "q"), VR_SUCCESS);
    // The failed submissions left the connection idle: a cancel does not hang.
    EXPECT_EQ(vrCancelRequest(handle), VR_SUCCESS);
    EXPECT_EQ(vrRenderSpeech(handle, "Hello"), VR_SUCCESS);
    ASSERT_EQ(vrCloseConnection(handle), VR_SUCCESS);
    EXPECT_EQ(vrQueryServer(handle, "q"), VR_SEND_FAILED);
    ASSERT_EQ(vrOpenConnection(handle, server_.Host().c_str(), server_.Port()), VR_SUCCESS);
    EXPECT_EQ(vrQueryServer(handle, "q"), VR_SUCCESS);
}

// ---- rendering --------------------------------------------------------------

// (vrRenderSpeechXML is the same call as vrRenderSpeech; how plain text is
// wrapped is the tokeniser's, TpcBuiltinHandling's last check.)
TEST_F(RenderingTest, RendersPutExactFrameSequencesOnTheWire) {
    const std::pair<const char*, std::vector<Frame>> rows[] = {
        {"<speak>Hello world</speak>",
         {{PACKET_TEXT,
           "<speak><mark name=\"kvtk_7_7_5_5\"/>Hello <mark name=\"kvtk_13_13_5_5\"/>"
           "world</speak><mark name=\"kvox_final\"/>"},
          {PACKET_TEXT, ""}}},
        // A voice element switches the voice in place: three passes.
        {"<speak>Hi <voice name=\"v\">there</voice></speak>",
         {{PACKET_TEXT_CHUNK, "<speak><mark name=\"kvtk_7_7_2_2\"/>Hi </speak>"},
          {PACKET_TEXT, ""},
          {PACKET_QUERY, "<voice name='v' select='1'/>"},
          {PACKET_TEXT_CHUNK,
           "<speak><voice name=\"v\"><mark name=\"kvtk_26_26_5_5\"/>there</voice></speak>"},
          {PACKET_TEXT, ""},
          {PACKET_TEXT, "<speak></speak><mark name=\"kvox_final\"/>"},
          {PACKET_TEXT, ""}}},
    };
    // Each frame sent is answered before the next goes out: one audio packet
    // for each, all read by the time the render returns.
    server_.SetHandler(
        test::AnswerWhen([](const ReceivedFrame& f) { return f.type != PACKET_CLOSE; },
                         {Action::Frame(PACKET_DATA_6, Bytes(2, 1)), Action::End()}));
    for (const auto& [text, wire] : rows) {
        SCOPED_TRACE(text);
        const size_t before = server_.Frames().size();
        const size_t heard = recorder_.Count(PACKET_DATA_6);
        EXPECT_EQ(vrRenderSpeech(handle_, text), VR_SUCCESS);
        EXPECT_EQ(server_.Wire(before), wire);
        EXPECT_EQ(recorder_.Count(PACKET_DATA_6) - heard, wire.size());
    }
    // The empty text is a single NUL byte.
    EXPECT_EQ(server_.Frames().back().payload, Bytes{0});
}

TEST_F(RenderingTest, VoiceTagNamesAreReadLikeTheServerWouldExpect) {
    struct Row { const char* text; std::vector<std::string> queries; };
    const Row rows[] = {
        {"<speak>a <voice gender=\"f\" name='x'>b</voice></speak>",
         {"<voice name='x' select='1'/>"}},
        {"<speak>a <voice\tname=\"it's\">b</voice></speak>",
         {"<voice name='it&apos;s' select='1'/>"}},
        {"<speak>a <voice name=x>b</voice></speak>", {}},
        {"<speak>a <metadata key=\"k\">b</metadata></speak>", {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        const size_t before = server_.Frames().size();
        EXPECT_EQ(vrRenderSpeech(handle_, row.text), VR_SUCCESS);
        EXPECT_EQ(server_.Texts(PACKET_QUERY, before), row.queries);
    }
}

TEST_F(RenderingTest, StreamBuffersShortPushesAndSendsOnFlush) {
    EXPECT_EQ(vrPushSpeechStream(handle_, "Hello "), VR_SUCCESS);
    EXPECT_EQ(vrPushSpeechStream(handle_, ""), VR_SUCCESS);
    EXPECT_EQ(vrPushSpeechStream(handle_, "world"), VR_SUCCESS);
    EXPECT_TRUE(server_.Frames().empty()) << "short pushes stay buffered";
    EXPECT_EQ(vrFlushSpeechStream(handle_), VR_SUCCESS);
    const auto wire = server_.Wire();
    ASSERT_EQ(wire.size(), 2u);
    EXPECT_EQ(wire[0].first, PACKET_TEXT);
    for (const char* piece : {"<mark name=\"kvtk_0_0_5_5\"/>Hello ",
                              "<mark name=\"kvtk_6_6_5_5\"/>world", "<mark name=\"kvox_final\"/>"})
        EXPECT_NE(wire[0].second.find(piece), std::string::npos) << piece;
    EXPECT_EQ(wire[1], (Frame{PACKET_TEXT, ""}));
}

// A long push releases whole pieces before the stream ends; a render of the
// other kind ends the open stream first. Every word arrives marked once.
TEST_F(RenderingTest, LongPushReleasesPiecesAndARenderOfTheOtherKindEndsTheStreamFirst) {
    std::string text;
    size_t words = 0;
    for (; text.size() < 20000; ++words)
        text += "word" + std::to_string(text.size()) + " ";
    // A final mark in the text itself ends nothing.
    text.insert(0, "<mark name=\"kvox_final\"/>");
    EXPECT_EQ(vrPushSpeechStream(handle_, text.c_str()), VR_SUCCESS);
    const size_t pushed = server_.Frames().size();
    ASSERT_GT(pushed, 0u);
    for (const auto& frame : server_.Wire())
        EXPECT_EQ(frame.first, PACKET_TEXT_CHUNK);
    // An asynchronous plain-text render must end the open XML stream first.
    EXPECT_EQ(vrRenderSpeechAsync(handle_, "Hi"), VR_SUCCESS);
    ASSERT_TRUE(recorder_.WaitDone(1));
    const auto wire = server_.Wire();
    ASSERT_GT(wire.size(), pushed + 2);
    EXPECT_EQ(wire[pushed].first, PACKET_TEXT);  // the stream's end
    EXPECT_NE(wire[pushed].second.find("kvox_final"), std::string::npos);
    EXPECT_EQ(wire.back(), (Frame{PACKET_TEXT, ""}));
    size_t marks = 0;
    for (const auto& frame : wire) {
        for (size_t at = frame.second.find("<mark name=\"kvtk_"); at != std::string::npos;
             at = frame.second.find("<mark name=\"kvtk_", at + 1))
            ++marks;
    }
    EXPECT_EQ(marks, words + 1);  // and "Hi"
}

TEST_F(RenderingTest, LongTextIsSentInPiecesEachAnswered) {
    server_.SetHandler(OnTexts({Action::Frame(PACKET_DATA_6, Bytes(10, 1)), Action::End()}));
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
    EXPECT_EQ(recorder_.Count(PACKET_DATA_6), frames.size());
}

// ---- answers ------------------------------------------------------------------

bool IsQuery(const ReceivedFrame& frame) {
    return frame.type == PACKET_QUERY;
}

// What an answer delivers to the callback and logs; failing streams are the
// fault table's rows.
TEST_F(RenderingTest, AnswersRelayDataAndQueryPacketsAndWarnOfOtherTypes) {
    struct Row { const char* name; std::vector<Action> answer; std::vector<std::string> log;
        std::vector<PACKET_TYPE> delivered; };
    const std::vector<Row> rows = {
        {"every relayed type in order",
         {Action::Text(PACKET_DATA_9, "f"), Action::Text(PACKET_DATA_6, "a"),
          Action::Text(PACKET_DATA_8, "m"), Action::Text(PACKET_DATA_10, "t"),
          Action::Text(PACKET_QUERY, "q"), Action::End()},
         {}, {PACKET_DATA_9, PACKET_DATA_6, PACKET_DATA_8, PACKET_DATA_10, PACKET_QUERY}},
        {"unknown types between data",
         {Action::Text(PACKET_DATA_6, "1"), Action::Text(5, "x"), Action::Text(PACKET_TEXT, "y"),
          Action::Frame(PACKET_REQUEST_DONE), Action::Text(PACKET_DATA_6, "2"), Action::End()},
         {"WARNING: unhandled packet type 5", "WARNING: unhandled packet type 1",
          "WARNING: unhandled packet type 14"},
         {PACKET_DATA_6, PACKET_DATA_6}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        server_.SetHandler(test::AnswerWhen(IsQuery, row.answer));
        test::CallbackRecorder recorder;
        ASSERT_EQ(vrSetUserData(handle_, &recorder), VR_SUCCESS);
        test::CapturedLog log;
        EXPECT_EQ(vrQueryServer(handle_, "ask"), VR_SUCCESS);
        EXPECT_EQ(log.Messages(), row.log);
        EXPECT_EQ(recorder.Types(), row.delivered);
    }
}

// Payloads arrive unchanged, the largest and the empty one. Whole and cut
// phoneme records become events; a hostile one (every kind is a row of the
// wire's phoneme table) is dropped with a warning and the answer goes on.
// Only the C callback runs when both are set.
TEST_F(RenderingTest, AnswersDeliverPayloadsUnchangedAndPhonemeRecordsAsEvents) {
    Bytes big(64000);
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<uint8_t>(i * 7);
    server_.SetHandler(test::AnswerWhen(
        IsQuery,
        {Action::Frame(PACKET_PHONEME,
                       test::EncodePhonemePayload(1234, "ah", "b", {1, 2, 3, 4, 5, 6, 7})),
         Action::Frame(PACKET_PHONEME,
                       test::EncodePhonemePayload(-9, "t", "", {10, 20, 30, 9, 9, 9, 9}, 3)),
         Action::Frame(PACKET_PHONEME, test::PhonemeWithLengths(1000, 2, Bytes(40, 'x'))),
         Action::Frame(PACKET_DATA_6, big), Action::Frame(PACKET_DATA_8, {}), Action::End()}));
    ASSERT_EQ(vrSetPascalCallBack(handle_, test::CallbackRecorder::Pascal), VR_SUCCESS);
    test::CapturedLog log;
    EXPECT_EQ(vrQueryServer(handle_, "ask"), VR_SUCCESS);
    ASSERT_EQ(recorder_.Types(), (std::vector<PACKET_TYPE>{PACKET_PHONEME, PACKET_PHONEME,
                                                           PACKET_DATA_6, PACKET_DATA_8}));
    const auto messages = log.Messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].rfind("WARNING: ", 0), 0u) << messages[0];
    EXPECT_EQ(recorder_.PascalCalls(), 0);

    const auto d = recorder_.Deliveries();
    auto values = [](const PhonemeEvent& e) {
        return std::array<int32_t, 8>{e.first,  e.value1, e.value2, e.value3,
                                      e.value4, e.value5, e.value6, e.value7};
    };
    EXPECT_EQ(d[0].length, static_cast<int32_t>(sizeof(PhonemeEvent)));
    EXPECT_EQ(d[0].phoneme.size, static_cast<int32_t>(sizeof(PhonemeEvent)));
    EXPECT_EQ(d[0].phone + "/" + d[0].nextPhone, "ah/b");
    EXPECT_EQ(values(d[0].phoneme), (std::array<int32_t, 8>{1234, 1, 2, 3, 4, 5, 6, 7}));
    EXPECT_EQ(d[1].phone + "/" + d[1].nextPhone, "t/");
    EXPECT_EQ(values(d[1].phoneme), (std::array<int32_t, 8>{-9, 10, 20, 30, 0, 0, 0, 0}));
    EXPECT_EQ(d[2].length, 64000);
    EXPECT_EQ(d[2].data, big);
    EXPECT_EQ(d[3].length, 0);

    ASSERT_EQ(vrSetCallBack(handle_, nullptr), VR_SUCCESS);
    EXPECT_EQ(vrQueryServer(handle_, "ask"), VR_SUCCESS);
    EXPECT_EQ(recorder_.PascalCalls(), 4);
}

// ---- asynchronous renders ------------------------------------------------

// While a worker runs, another async render is BUSY and a synchronous one
// waits for it, then for its own answer.
TEST_F(RenderingTest, AsyncRenderIsBusyAndSyncRenderWaitsWhileAWorkerRuns) {
    // The server holds its answer to each request's closing text until released.
    server_.SetHandler(test::AnswerWhen(test::IsClosingText, {Action::Hold(), Action::End()}));
    ASSERT_EQ(vrRenderSpeechAsync(handle_, "first"), VR_SUCCESS);
    // The launch returned after the worker took the request over: a second
    // one is refused at once, before the first has even reached the server.
    auto second =
        std::async(std::launch::async, [&] { return vrRenderSpeechAsync(handle_, "second"); });
    ASSERT_EQ(second.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(second.get(), VR_BUSY);
    ASSERT_TRUE(server_.WaitUntilHeld());
    std::atomic<bool> returned{false};
    std::thread sync([&] {
        EXPECT_EQ(vrRenderSpeech(handle_, "third"), VR_SUCCESS);
        returned = true;
    });
    server_.Release();
    EXPECT_TRUE(recorder_.WaitDone(1));
    EXPECT_TRUE(server_.WaitUntilHeld());  // the synchronous render's closing text
    EXPECT_FALSE(returned.load());
    server_.Release();
    sync.join();
    EXPECT_TRUE(returned.load());
    EXPECT_EQ(recorder_.Done(), 1u);
}

TEST_F(RenderingTest, DestroyDuringAnAsyncRenderWaitsForTheWorker) {
    server_.SetHandler(OnTexts({Action::Silent()}));
    ASSERT_EQ(vrRenderSpeechAsync(handle_, "Hello"), VR_SUCCESS);
    ASSERT_TRUE(server_.WaitForFrames(1));
    EXPECT_EQ(vrDestroyConnection(handle_), VR_SUCCESS);
    // The worker has ended and delivered its completion before destroy returned.
    EXPECT_EQ(recorder_.Done(), 1u);
}

// A launch that gets no thread fails with no completion and leaves the
// connection usable. A cancelled async render completes once (cancels racing
// the end of a request are the load test's).
TEST_F(RenderingTest, AFailedLaunchChangesNothingAndACancelledRenderCompletesOnce) {
    Thread::FailNextStarts(1);
    EXPECT_EQ(vrRenderSpeechAsync(handle_, "Hello"), VR_ERROR);
    EXPECT_EQ(recorder_.Done(), 0u);
    server_.SetHandler(OnTexts({Action::Silent()}));
    ASSERT_EQ(vrRenderSpeechAsync(handle_, "Hello"), VR_SUCCESS);
    ASSERT_TRUE(server_.WaitForFrames(1));
    EXPECT_EQ(vrCancelRequest(handle_), VR_SUCCESS);
    ASSERT_TRUE(recorder_.WaitDone(1));
    server_.SetHandler(test::DefaultAnswer);
    EXPECT_EQ(vrRenderSpeech(handle_, "Hi"), VR_SUCCESS);  // joins the worker
    EXPECT_EQ(recorder_.Done(), 1u);
}

}  // namespace
}  // namespace vrelay
