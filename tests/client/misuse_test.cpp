// SPDX-License-Identifier: MIT
// What an application can do wrong, and what it gets for it: calls from
// inside its own callback, handles used after destroy, null pointers, hostile
// text, two threads on one handle, descriptors running out. Every row ends
// with the handle (where it survives) rendering again.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif
#include <vrelay/vrelay.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "client/enumerator.h"
#include "client/handles.h"
#include "tests/support/callback_recorder.h"
#include "tests/support/captured_log.h"
#include "tests/support/fake_server.h"
#include "tests/support/open_handle.h"
#include "transport/socket.h"

namespace vrelay {
namespace {

using test::Action;
using test::Bytes;
using test::CallbackRecorder;
using test::FakeServer;
using test::ReceivedFrame;

const char kVoiceList[] = "<voices><voice name=\"one\"/><voice name=\"it's\"/></voices>";

// Texts get audio then PACKET_END; the voice-list query gets the list.
std::vector<Action> Answer(const ReceivedFrame& frame) {
    if (frame.type == PACKET_QUERY && frame.Text() == "<voice name=\"all\"/>")
        return {Action::Text(PACKET_QUERY, kVoiceList), Action::End()};
    if (frame.type == PACKET_TEXT || frame.type == PACKET_TEXT_CHUNK)
        return {Action::Frame(PACKET_DATA_6, Bytes(8, 1)), Action::End()};
    return test::DefaultAnswer(frame);
}

// Calls `call` on the handle from inside the callback, once, when `trigger`
// arrives, and keeps its result.
struct InsideCallback {
    PACKET_TYPE trigger;
    std::function<vr_result(vr_handle)> call;
    vr_handle handle = 0;
    std::atomic<int> calls{0};
    std::atomic<vr_result> result{VR_SUCCESS};
    CallbackRecorder* recorder = nullptr;

    static int32_t VR_CDECL Callback(void* self, PACKET_TYPE type, void* data, int32_t length) {
        auto* inside = static_cast<InsideCallback*>(self);
        if (type == inside->trigger && inside->calls++ == 0)
            inside->result = inside->call(inside->handle);
        return CallbackRecorder::Callback(inside->recorder, type, data, length);
    }
};

class MisuseTest : public test::OpenHandleTest {
  protected:
    MisuseTest() : OpenHandleTest(Answer) {}
    // A render on another thread whose closing (empty) text the server holds
    // until released, then answers with audio.
    std::future<vr_result> StartHeldRender() {
        server_.SetHandler(test::AnswerWhen(
            test::IsClosingText,
            {Action::Hold(), Action::Frame(PACKET_DATA_6, Bytes(8, 1)), Action::End()}, Answer));
        auto render =
            std::async(std::launch::async, [this] { return vrRenderSpeech(handle_, "held"); });
        EXPECT_TRUE(server_.WaitUntilHeld());
        return render;
    }
    // Lets the held render finish, which succeeds; the server answers as usual.
    void FinishHeldRender(std::future<vr_result>& render) {
        server_.Release();
        EXPECT_EQ(render.get(), VR_SUCCESS);
        server_.SetHandler(Answer);
    }
    // Makes `inside` the handle's callback, calling `call` once `trigger` arrives.
    void CallInside(InsideCallback& inside, PACKET_TYPE trigger,
                    std::function<vr_result(vr_handle)> call) {
        inside.trigger = trigger;
        inside.handle = handle_;
        inside.recorder = &recorder_;
        inside.call = std::move(call);
        ASSERT_EQ(vrSetCallBack(handle_, InsideCallback::Callback), VR_SUCCESS);
        ASSERT_EQ(vrSetUserData(handle_, &inside), VR_SUCCESS);
    }
    // The handle still renders, and its callback gets the answer.
    void ExpectRendersAgain() {
        const size_t before = recorder_.Count(PACKET_DATA_6);
        EXPECT_EQ(vrRenderSpeech(handle_, "again"), VR_SUCCESS);
        EXPECT_GT(recorder_.Count(PACKET_DATA_6), before);
    }
};

// ---- calls from inside the callback ----------------------------------------

// One exported call that starts, ends or waits for a request.
struct Reentry { const char* name; std::function<vr_result(vr_handle)> call; };

const Reentry kRequestCalls[] = {
    {"render", [](vr_handle h) { return vrRenderSpeech(h, "inner"); }},
    {"push", [](vr_handle h) { return vrPushSpeechStream(h, "inner"); }},
    {"flush", vrFlushSpeechStream},
    {"async", [](vr_handle h) { return vrRenderSpeechXMLAsync(h, "inner"); }},
    {"query", [](vr_handle h) { return vrQueryServer(h, "<voice name=\"all\"/>"); }},
    {"enumerate", vrEnumerateConnectionVoices},
    {"set_voice", [](vr_handle h) { return vrSetVoice(h, "one"); }},
    {"set_voice_fast", [](vr_handle h) { return vrSetVoiceFast(h, "one"); }},
    // Refused before it connects anywhere, so the address does not matter.
    {"open", [](vr_handle h) { return vrOpenConnection(h, "127.0.0.1", 1); }},
    {"close", vrCloseConnection}, {"destroy", vrDestroyConnection}, {"cancel", vrCancelRequest},
};

class FromInsideTheCallback : public MisuseTest,
                              public ::testing::WithParamInterface<std::tuple<Reentry, bool>> {};

// Every call that would start, end or wait for a request on the connection
// whose callback is running gets VR_BUSY at once and changes nothing: in a
// synchronous request's audio and in an asynchronous request's completion.
TEST_P(FromInsideTheCallback, RequestCallsAreBusyAndChangeNothing) {
    const Reentry& reentry = std::get<0>(GetParam());
    const bool async = std::get<1>(GetParam());
    InsideCallback inside;
    CallInside(inside, async ? PACKET_REQUEST_DONE : PACKET_DATA_6, reentry.call);
    if (async) {
        ASSERT_EQ(vrRenderSpeechAsync(handle_, "outer"), VR_SUCCESS);
        ASSERT_TRUE(recorder_.WaitDone(1));
    } else {
        EXPECT_EQ(vrRenderSpeech(handle_, "outer"), VR_SUCCESS);
    }
    EXPECT_GE(inside.calls.load(), 1);
    EXPECT_EQ(inside.result.load(), VR_BUSY) << reentry.name;
    EXPECT_EQ(Enumerators().Size(), 0u) << "no enumerator was made";
    ExpectRendersAgain();
}

INSTANTIATE_TEST_SUITE_P(MisuseEveryRequestCall, FromInsideTheCallback,
                         ::testing::Combine(::testing::ValuesIn(kRequestCalls), ::testing::Bool()),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).name) +
                                    (std::get<1>(info.param) ? "_InCompletion" : "_InAudio");
                         });

TEST_F(MisuseTest, SettersAndOtherConnectionsWorkFromInsideTheCallback) {
    FakeServer otherServer(Answer);  // the fake serves one client at a time
    CallbackRecorder otherRecorder;
    const vr_handle other = otherRecorder.OpenHandle(otherServer);
    ASSERT_GT(other, 0);
    InsideCallback inside;
    CallInside(inside, PACKET_DATA_6, [other, &inside](vr_handle h) {
        vr_result r = vrSetUserData(h, &inside);
        if (r == VR_SUCCESS)
            r = vrSetCallBack(h, InsideCallback::Callback);
        if (r == VR_SUCCESS)
            r = vrRenderSpeech(other, "other");
        return r;
    });
    EXPECT_EQ(vrRenderSpeech(handle_, "outer"), VR_SUCCESS);
    EXPECT_EQ(inside.result.load(), VR_SUCCESS);
    EXPECT_GT(otherRecorder.Count(PACKET_DATA_6), 0u);
    vrDestroyConnection(other);
}

// A callback that returns non-zero stops its own request: the refused packet
// is the last one read and nothing more of the text is sent. Renders, pushes
// and flushes report a cancel, a query a failure; an asynchronous render
// still completes exactly once. The unread rest needs a rebuilt connection.
// (A render is the fault table's callback_refuses_mid_audio row; vrRenderSpeechXML
// is the same call.)
TEST_F(MisuseTest, ACallbackThatRefusesStopsItsOwnRequest) {
    std::string pieces;  // long enough for a push to send some
    while (pieces.size() < 20000)
        pieces += "many words ";
    struct Row { const char* name; std::function<vr_result(vr_handle)> call; vr_result result;
        PACKET_TYPE refused; size_t completions; };
    const Row rows[] = {
        {"push", [&](vr_handle h) { return vrPushSpeechStream(h, pieces.c_str()); }, VR_CANCELLED,
         PACKET_DATA_6, 0},
        {"flush",
         [](vr_handle h) {
             const vr_result pushed = vrPushSpeechStream(h, "Hello");  // sends nothing yet
             return pushed == VR_SUCCESS ? vrFlushSpeechStream(h) : pushed;
         },
         VR_CANCELLED, PACKET_DATA_6, 0},
        {"async", [](vr_handle h) { return vrRenderSpeechAsync(h, "Hello"); }, VR_SUCCESS,
         PACKET_DATA_6, 1},
        {"query", [](vr_handle h) { return vrQueryServer(h, "<voice name=\"all\"/>"); }, VR_ERROR,
         PACKET_QUERY, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const size_t refused = recorder_.Count(row.refused);
        const size_t done = recorder_.Done();
        recorder_.result = 1;
        EXPECT_EQ(row.call(handle_), row.result);
        ASSERT_TRUE(recorder_.WaitDone(done + row.completions));
        recorder_.result = VR_SUCCESS;
        EXPECT_EQ(vrCancelRequest(handle_), VR_SUCCESS);
        EXPECT_EQ(recorder_.Count(row.refused), refused + 1);
        ExpectRendersAgain();  // also joins the worker
        EXPECT_EQ(recorder_.Done(), done + row.completions);
    }
}

// ---- misuse from outside ----------------------------------------------------

TEST_F(MisuseTest, HandlesAfterDestroyAreUnknownAndEnumeratorsOutliveTheirConnection) {
    const vr_handle voices = vrEnumerateConnectionVoices(handle_);
    ASSERT_GE(voices, 1000);
    ASSERT_EQ(vrDestroyConnection(handle_), VR_SUCCESS);
    const vr_handle gone = handle_;
    handle_ = 0;
    // clang-format off
    const vr_result results[] = {
        vrOpenConnection(gone, "127.0.0.1", server_.Port()), vrCloseConnection(gone),
        vrSetCallBack(gone, nullptr), vrSetPascalCallBack(gone, nullptr),
        vrSetUserData(gone, nullptr), vrRenderSpeech(gone, "x"), vrRenderSpeechXML(gone, "x"),
        vrPushSpeechStream(gone, "x"), vrPushSpeechStreamXML(gone, "x"),
        vrFlushSpeechStream(gone), vrFlushSpeechStreamXML(gone), vrRenderSpeechAsync(gone, "x"),
        vrRenderSpeechXMLAsync(gone, "x"), vrQueryServer(gone, "q"),
        vrEnumerateConnectionVoices(gone), vrSetVoiceFast(gone, "one")};
    // clang-format on
    for (size_t i = 0; i < sizeof results / sizeof results[0]; ++i)
        EXPECT_EQ(results[i], VR_BAD_HANDLE) << "call " << i;
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(vrCancelRequest(gone), VR_BAD_HANDLE);
    EXPECT_EQ(vrSetVoice(gone, "one"), VR_ERROR);
    ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(vrDestroyConnection(gone), VR_SUCCESS);

    EXPECT_EQ(vrNumVoices(voices), 2);
    EXPECT_STREQ(vrNextVoice(voices), "one");
    EXPECT_STREQ(vrGetVoiceStringValue(voices, VR_VOICE_ID), "");
    EXPECT_EQ(vrCloseEnumerator(voices), VR_SUCCESS);
    EXPECT_EQ(vrNextVoice(voices), nullptr);
    EXPECT_EQ(vrGetVoiceStringValue(voices, VR_VOICE_ID), nullptr);
    EXPECT_EQ(vrGetVoiceIntegerValue(voices, VR_SAMPLE_RATE), VR_BAD_HANDLE);
    EXPECT_EQ(vrRewindEnumerator(voices), VR_BAD_HANDLE);
    EXPECT_EQ(vrNumVoices(voices), VR_BAD_HANDLE);
}

TEST_F(MisuseTest, NullPointersGetTheirDocumentedResults) {
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(vrOpenConnection(handle_, nullptr, server_.Port()), VR_CONNECT_FAILED);
    EXPECT_EQ(vrQueryServer(handle_, nullptr), VR_SEND_FAILED);
    EXPECT_EQ(vrSetVoiceFast(handle_, nullptr), VR_SEND_FAILED);
    EXPECT_EQ(vrSetVoice(handle_, nullptr), VR_ERROR);
    ::testing::internal::GetCapturedStdout();
    // Null text is the empty text.
    EXPECT_EQ(vrRenderSpeech(handle_, nullptr), VR_SUCCESS);
    EXPECT_EQ(vrPushSpeechStream(handle_, nullptr), VR_SUCCESS);
    EXPECT_EQ(vrRenderSpeechAsync(handle_, nullptr), VR_SUCCESS);
    ASSERT_TRUE(recorder_.WaitDone(1));
    // Without a callback answers are read and dropped.
    EXPECT_EQ(vrSetCallBack(handle_, nullptr), VR_SUCCESS);
    EXPECT_EQ(vrRenderSpeech(handle_, "unheard"), VR_SUCCESS);
    EXPECT_EQ(vrSetCallBack(handle_, CallbackRecorder::Callback), VR_SUCCESS);
    ExpectRendersAgain();
}

TEST_F(MisuseTest, HostileTextIsRenderedOrRefusedWithoutHarm) {
    std::string deep;
    for (int i = 0; i < 100000; ++i)
        deep += "<s>";
    deep += "word";
    const std::string hostile[] = {
        "bad \xff\xfe utf-8 \xc3",                                     // invalid UTF-8
        std::string("before\0after", 12),                              // NUL: the text ends there
        std::string(10 << 20, 'a').replace(0, 0, "<speak>") + " end",  // 10 MB
        deep,                                                          // nested 100,000 deep
    };
    for (const std::string& text : hostile)
        EXPECT_EQ(vrRenderSpeechXML(handle_, text.c_str()), VR_SUCCESS) << text.substr(0, 20);
    ExpectRendersAgain();
}

// A voice name with quotes or markup characters cannot leave its attribute.
TEST_F(MisuseTest, VoiceNamesTravelAsOneAttributeValue) {
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(vrSetVoiceFast(handle_, "it's <b> & \"q\""), VR_SUCCESS);
    EXPECT_EQ(vrSetVoice(handle_, "it's"), VR_SUCCESS);
    ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(server_.Texts(PACKET_QUERY),
              (std::vector<std::string>{
                  "<voice name='it&apos;s &lt;b> &amp; &quot;q&quot;' select='1'/>",
                  "<voice name=\"all\"/>",
                  "<voice name='it&apos;s' select='1'/>",
              }));
}

// ---- two threads on one handle ------------------------------------------------

// A synchronous request and an asynchronous launch both find an ended worker:
// it is joined exactly once and the launch is never refused for good.
TEST_F(MisuseTest, SyncAndAsyncRacingForAnEndedWorkerJoinItOnce) {
    size_t launched = 0;
    for (int round = 0; round < 100; ++round) {
        // The previous round's worker may still be inside its completion.
        ASSERT_EQ(vrRenderSpeech(handle_, "drain"), VR_SUCCESS);
        ASSERT_EQ(vrRenderSpeechAsync(handle_, "first"), VR_SUCCESS);
        ++launched;
        ASSERT_TRUE(recorder_.WaitDone(launched));
        std::thread sync([&] { EXPECT_EQ(vrRenderSpeech(handle_, "sync"), VR_SUCCESS); });
        vr_result async = vrRenderSpeechAsync(handle_, "second");
        sync.join();
        EXPECT_TRUE(async == VR_SUCCESS || async == VR_BUSY) << async;
        launched += async == VR_SUCCESS;
        ASSERT_TRUE(recorder_.WaitDone(launched));
    }
    EXPECT_EQ(vrRenderSpeech(handle_, "last"), VR_SUCCESS);  // joins the last worker
    EXPECT_EQ(recorder_.Done(), launched);
    EXPECT_EQ(vrRenderSpeechAsync(handle_, "still accepted"), VR_SUCCESS);
    EXPECT_TRUE(recorder_.WaitDone(launched + 1));
}

// While the worker delivers PACKET_REQUEST_DONE, a launch from another thread
// is refused at once; once the completion has returned, it is accepted.
TEST_F(MisuseTest, LaunchDuringTheCompletionEventIsBusy) {
    std::promise<void> entered;
    std::promise<void> release;
    InsideCallback inside;
    CallInside(inside, PACKET_REQUEST_DONE, [&](vr_handle) {
        entered.set_value();
        release.get_future().wait();
        return VR_SUCCESS;
    });
    ASSERT_EQ(vrRenderSpeechAsync(handle_, "first"), VR_SUCCESS);
    entered.get_future().wait();
    EXPECT_EQ(vrRenderSpeechAsync(handle_, "second"), VR_BUSY);
    release.set_value();
    EXPECT_EQ(vrRenderSpeech(handle_, "sync"), VR_SUCCESS);  // joins the worker
    EXPECT_EQ(vrRenderSpeechAsync(handle_, "third"), VR_SUCCESS);
    EXPECT_TRUE(recorder_.WaitDone(2));
}

// Re-opening a handle whose request runs on another thread waits behind the
// request instead of taking its socket; a re-open that fails leaves the open
// connection working.
TEST_F(MisuseTest, ReopenWaitsForTheRunningRequestAndAFailedOneKeepsTheSocket) {
    auto render = StartHeldRender();
    int closedPort;
    {
        SocketServer listener(0, 1, WaitingSelect, "127.0.0.1");
        closedPort = listener.Port();
    }
    auto reopen = std::async(std::launch::async,
                             [&] { return vrOpenConnection(handle_, "127.0.0.1", closedPort); });
    FinishHeldRender(render);
    EXPECT_EQ(reopen.get(), VR_CONNECT_FAILED);
    ExpectRendersAgain();
}

// An enumeration on another thread waits behind a running render and never
// takes its packets; a query flood larger than any voice list ends it cleanly
// with no voices, without waiting for the flood's end.
TEST_F(MisuseTest, EnumerationNeverTakesTheApplicationsPacketsAndIsBounded) {
    auto render = StartHeldRender();
    auto voices =
        std::async(std::launch::async, [&] { return vrEnumerateConnectionVoices(handle_); });
    // Not a synchronisation: a faulty enumeration gets the time to take over
    // the callback before the render's audio arrives; a correct one waits.
    voices.wait_for(std::chrono::milliseconds(100));
    FinishHeldRender(render);
    EXPECT_EQ(recorder_.Count(PACKET_DATA_6), 2u);
    const vr_handle listed = voices.get();
    EXPECT_EQ(vrNumVoices(listed), 2);
    vrCloseEnumerator(listed);

    server_.SetHandler([](const ReceivedFrame& frame) {
        if (frame.type == PACKET_QUERY) {
            std::vector<Action> flood(300, Action::Frame(PACKET_QUERY, Bytes(60000, 'v')));
            flood.push_back(Action::Hold());
            flood.push_back(Action::End());
            return flood;
        }
        return Answer(frame);
    });
    auto listing =
        std::async(std::launch::async, [&] { return vrEnumerateConnectionVoices(handle_); });
    const bool bounded = listing.wait_for(std::chrono::minutes(1)) == std::future_status::ready;
    server_.Release();
    const vr_handle flooded = listing.get();
    EXPECT_TRUE(bounded) << "the enumeration waited for the end of the flood";
    ASSERT_GE(flooded, 1000);
    EXPECT_EQ(vrNumVoices(flooded), 0);
    EXPECT_EQ(recorder_.Count(PACKET_QUERY), 0u);
    vrCloseEnumerator(flooded);
    // The flood's rest is still in the stream: a cancel resynchronises.
    EXPECT_EQ(vrCancelRequest(handle_), VR_SUCCESS);
    server_.SetHandler(Answer);
    ExpectRendersAgain();
}

// vrSetVoice's own voice list has no handle: another thread's stale close of
// an enumerator number cannot free it under the call.
TEST_F(MisuseTest, SetVoiceKeepsItsListOutOfTheEnumeratorTable) {
    server_.SetHandler(test::AnswerWhen(
        [](const ReceivedFrame& f) { return f.Text() == "<voice name='one' select='1'/>"; },
        {Action::Hold(), Action::End()}, Answer));
    auto set = std::async(std::launch::async, [this] { return vrSetVoice(handle_, "one"); });
    ASSERT_TRUE(server_.WaitUntilHeld());
    EXPECT_EQ(vrNumVoices(kFirstHandle), VR_BAD_HANDLE);
    server_.Release();
    EXPECT_EQ(set.get(), VR_SUCCESS);
}

// ---- processes -------------------------------------------------------------------

#ifndef _WIN32
// fork() while another thread is inside a request: in the child that
// connection is gone (its lock belongs to a thread the child does not have)
// and the rest works; the parent goes on untouched.
TEST_F(MisuseTest, AChildsCopyOfABusyConnectionIsGone) {
    const vr_handle idle = vrCreateConnection();
    auto render = StartHeldRender();
    const pid_t child = ::fork();
    if (child == 0) {
        ::alarm(10);  // a hang ends the child with SIGALRM
        const bool gone = vrRenderSpeech(handle_, "x") == VR_BAD_HANDLE &&
                          vrCancelRequest(handle_) == VR_BAD_HANDLE &&
                          vrDestroyConnection(handle_) == VR_SUCCESS;
        const bool rest = vrRenderSpeech(idle, "x") == VR_SEND_FAILED &&
                          vrDestroyConnection(idle) == VR_SUCCESS && vrCreateConnection() > 0;
        ::_exit(gone && rest ? 0 : 1);
    }
    int status = -1;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    FinishHeldRender(render);
    EXPECT_EQ(vrDestroyConnection(idle), VR_SUCCESS);
    ExpectRendersAgain();
}

// fork() waits for a call that is inside a handle table (here one adding an
// enumerator), so that the child's copy of the table is whole.
TEST_F(MisuseTest, AForkWaitsForACallInsideAHandleTable) {
    std::promise<void> inside, release;
    std::shared_future<void> released = release.get_future().share();
    auto adder = std::async(std::launch::async, [&] {
        return Enumerators().Add([&] {
            inside.set_value();
            released.wait();
            return new Enumerator();
        });
    });
    inside.get_future().wait();
    auto child = std::async(std::launch::async, [] {
        const pid_t pid = ::fork();
        if (pid == 0)
            ::_exit(Enumerators().Size() == 1 ? 0 : 1);
        return pid;
    });
    // Not a synchronisation: the fork cannot happen until the call is out
    // of the table, however long this waits.
    EXPECT_EQ(child.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);
    release.set_value();
    EXPECT_GE(adder.get(), kFirstHandle);
    const pid_t pid = child.get();
    int status = -1;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
}

// The process exits while its asynchronous render is stuck: in a send to a
// server that reads nothing, or in a callback that does not return.
TEST_F(MisuseTest, TheProcessExitsWhileAnAsynchronousRenderIsStuck) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");  // the child starts afresh
    EXPECT_EXIT(
        {
            ::alarm(30);
            test::CapturedLog log(logDEBUG);
            server_.SetHandler(
                test::AnswerWhen([](const ReceivedFrame& f) { return f.type == PACKET_TEXT_CHUNK; },
                                 test::AnswerAheadThenHold(4000)));
            vrRenderSpeechAsync(handle_, std::string(16 << 20, 'a').c_str());
            log.WaitFor("send waits for the peer", std::chrono::seconds(60));
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
    EXPECT_EXIT(
        {
            ::alarm(30);
            std::promise<void> entered;
            vrSetUserData(handle_, &entered);
            vrSetCallBack(handle_, [](void* self, PACKET_TYPE, void*, int32_t) -> int32_t {
                static_cast<std::promise<void>*>(self)->set_value();
                for (;;)
                    ::pause();
            });
            vrRenderSpeechAsync(handle_, "stuck");
            entered.get_future().wait();
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

// The process exits while two threads create, open, render and destroy
// connections: the exit stops their renders, and they go on calling into the
// library during and after it. Each call ends with a result and touches
// nothing the exit freed. Many exits, since the race lands elsewhere each time.
TEST_F(MisuseTest, TheProcessExitsWhileOtherThreadsAreInsideCalls) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    for (int exit = 0; exit < 20; ++exit) {
        EXPECT_EXIT(
            {
                ::alarm(30);
                vrDestroyConnection(handle_);  // the server serves one session at a time
                std::promise<void> looping[2];
                for (auto& started : looping) {
                    std::thread([this, &started] {
                        for (int round = 0;; ++round) {
                            const vr_handle h = vrCreateConnection();
                            vrOpenConnection(h, server_.Host().c_str(), server_.Port());
                            vrRenderSpeech(h, "x");
                            vrDestroyConnection(h);
                            if (round == 2)
                                started.set_value();
                        }
                    }).detach();
                }
                for (auto& started : looping)
                    started.get_future().wait();
                std::exit(0);
            },
            ::testing::ExitedWithCode(0), "")
            << "exit " << exit;
    }
}
#endif

// ---- descriptors ---------------------------------------------------------------

// Windows has no per-process descriptor limit to lower.
#ifndef _WIN32
// Creating takes no descriptor; opening past the limit fails cleanly.
TEST(MisuseLimitsTest, CreatingNeedsNoDescriptorAndOpeningPastTheLimitFails) {
#ifdef VRELAY_UBSAN_NEEDS_DESCRIPTORS
    GTEST_SKIP() << "UBSan's type check needs free descriptors of its own";
#endif
    Connections().Clear();
    // Accepts nothing, but its backlog completes every connect at once.
    SocketServer server(0, 1024, WaitingSelect, "127.0.0.1");
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit low = saved;
    low.rlim_cur = 64;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
    std::vector<vr_handle> handles;
    for (int i = 0; i < 400; ++i)
        handles.push_back(vrCreateConnection());
    int opened = 0, failed = 0;
    for (vr_handle h : handles) {
        EXPECT_GE(h, 1000);
        const vr_result r = vrOpenConnection(h, "127.0.0.1", server.Port());
        opened += r == VR_SUCCESS;
        failed += r == VR_CONNECT_FAILED;
    }
    ::setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_GT(opened, 0);
    EXPECT_GT(failed, 0);
    EXPECT_EQ(opened + failed, 400);
    for (vr_handle h : handles)
        EXPECT_EQ(vrDestroyConnection(h), VR_SUCCESS);
    Connections().Clear();
}
#endif

}  // namespace
}  // namespace vrelay
