// SPDX-License-Identifier: MIT
// A misbehaving server, one row per way of failing: what vrRenderSpeech
// returns, the log line it leaves, how long it takes to return, and that the
// handle renders again afterwards (after a reopen or a cancel). Leaks are
// caught by the sanitizer build.
#include <gtest/gtest.h>
#include <vrelay/vrelay.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "client/handles.h"
#include "tests/support/callback_recorder.h"
#include "tests/support/captured_log.h"
#include "tests/support/fake_server.h"
#include "tests/support/open_handle.h"
#include "wire/frame.h"

namespace vrelay {
namespace {

using test::Action;
using test::Bytes;
using test::CallbackRecorder;
using test::CapturedLog;
using test::EncodeFrame;
using test::ReceivedFrame;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

enum class Recovery { kReopen, kCancel };
// What the test does while the render runs.
enum class During { kNothing, kCancelOnceHeld, kCancelOnceSendWaits, kSlowCallback, kRefusal };

// log: a line of the client log must contain this; "" for none
// answer: to the request's text
// audioPackets: PACKET_DATA_6 deliveries expected
// textBytes: the text: one word this long, or "Hello"
struct FaultRow { const char* name; vr_result result; const char* log; Recovery recovery;
    std::vector<Action> answer; size_t audioPackets = 0;
    milliseconds packetTimeout = milliseconds(5000); During during = During::kNothing;
    milliseconds atMost = milliseconds(3000); milliseconds atLeast = milliseconds(0);
    size_t textBytes = 0; };

std::ostream& operator<<(std::ostream& out, const FaultRow& row) {
    return out << row.name;
}

Bytes Cut(const Bytes& frame, size_t keep) {
    return Bytes(frame.begin(), frame.begin() + static_cast<std::ptrdiff_t>(keep));
}

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

const Bytes kAudio = EncodeFrame(PACKET_DATA_6, Bytes(9, 7));  // 23 bytes
const Action kAudioFrame = Action::Frame(PACKET_DATA_6, Bytes(9, 7));

std::vector<Action> Flood(size_t frames) {
    std::vector<Action> answer(frames, Action::Frame(PACKET_DATA_6, Bytes(wire::kMaxPayload, 1)));
    answer.push_back(Action::End());
    return answer;
}

const auto kReopen = Recovery::kReopen;
const auto kCancel = Recovery::kCancel;
const std::vector<Action> kStall = {Action::Silent()};
const size_t kLongText = 16 << 20;  // far more than the socket buffers hold
// More answers than the long text has pieces.
const std::vector<Action> kNeverReads = test::AnswerAheadThenHold(4000);

// clang-format off
const std::vector<FaultRow> kRows = {
    {"closes_mid_header", VR_ERROR, "", kReopen, {Action::Raw(Cut(kAudio, 5)), Action::Close()}},
    {"closes_mid_trailer", VR_ERROR, "", kCancel, {Action::Raw(Cut(kAudio, 21)), Action::Close()}},
    {"wrong_trailer", VR_ERROR, "ERROR: vrelay packet receive error", kReopen,
     {Action::Frame(PACKET_DATA_6, Bytes(3, 1), 4u), Action::End()}},
    {"oversize_length", VR_ERROR, "packet too big for packet type 6 length is 64001", kCancel,
     {Action::Raw(Bytes{0, 6, 0, 0, 0, 0, 0, 0, 0xFA, 0x01})}},
    // A failing server is an error, never the application's own cancel: also
    // when the first piece of a long text is what it fails to answer.
    {"closes_before_answering", VR_ERROR, "", kReopen, {Action::Close()}},
    {"closes_before_answering_a_long_text", VR_ERROR, "", kReopen, {Action::Close()}, 0,
     milliseconds(5000), During::kNothing, milliseconds(3000), milliseconds(0), 200000},
    {"unknown_packet_type", VR_SUCCESS, "WARNING: unhandled packet type 99", kReopen,
     {Action::Frame(99, Bytes(3, 1)), kAudioFrame, Action::End()}, 1},
    {"close_packet_mid_audio", VR_ERROR, "the server has closed the connection", kReopen,
     {kAudioFrame, kAudioFrame, Action::Frame(PACKET_CLOSE), kAudioFrame, Action::End()}, 2},
    // Not the server's failure: the application's callback stopped the render.
    {"callback_refuses_mid_audio", VR_CANCELLED, "callback did not return VR_SUCCESS", kCancel,
     {kAudioFrame, kAudioFrame, Action::End()}, 1, milliseconds(5000), During::kRefusal},
    {"stalls_until_receive_timeout", VR_ERROR, "timed out after 300ms", kReopen, kStall, 0,
     milliseconds(300), During::kNothing, milliseconds(3000), milliseconds(300)},
    // A cancel ends the wait at once (100 ms, 10x for sanitizers).
    {"stalls_until_cancel", VR_CANCELLED, "", kCancel, {Action::Hold()}, 0, milliseconds(5000),
     During::kCancelOnceHeld, milliseconds(1000)},
    // 152 bytes 10 ms apart: longer in all than the packet timeout, each
    // packet well within it (a quarter, so a busy machine's late wake-ups fit).
    {"trickles_a_byte_every_10ms", VR_SUCCESS, "", kReopen,
     {Action::Raw(Concat({kAudio, kAudio, kAudio, kAudio, kAudio, kAudio,
                          EncodeFrame(PACKET_END, {})}), 10)}, 6, milliseconds(1000)},
    // A byte every 40 ms: each gap is short, the packet as a whole is not.
    {"trickles_one_packet_past_the_timeout", VR_ERROR, "timed out after 300ms", kReopen,
     {Action::Raw(kAudio, 40)}, 0, milliseconds(300), During::kNothing, milliseconds(3000),
     milliseconds(300)},
    // The sends wait for room within the packet timeout, and a cancel wakes
    // them.
    {"never_reads_until_the_send_limit", VR_SEND_FAILED, "send timed out after 300ms", kCancel,
     kNeverReads, 0, milliseconds(300), During::kNothing, milliseconds(20000), milliseconds(300),
     kLongText},
    {"never_reads_until_cancel", VR_CANCELLED, "", kCancel, kNeverReads, 0, milliseconds(30000),
     During::kCancelOnceSendWaits, milliseconds(10000), milliseconds(0), kLongText},
    // The cancel's PACKET_CLOSE cannot go out on a reset stream; the dead
    // socket is dropped and the connection rebuilt all the same.
    {"resets_the_connection", VR_ERROR, "", kCancel, {Action::Reset()}},
    // 19 MB, more than the socket buffers hold: the server blocks while the
    // callback dawdles; nothing is lost, and the answer takes longer in all
    // (3 s) than the packet timeout without timing out. The timeout leaves a
    // loaded machine time for the first packet.
    {"floods_audio_into_a_slow_callback", VR_SUCCESS, "", kReopen, Flood(300), 300,
     milliseconds(2000), During::kSlowCallback, milliseconds(30000), milliseconds(2000)},
};
// clang-format on

// A callback that takes 10 ms over each packet.
struct SlowRecorder : CallbackRecorder {
    static int32_t VR_CDECL Callback(void* self, PACKET_TYPE type, void* data, int32_t length) {
        std::this_thread::sleep_for(milliseconds(10));
        return CallbackRecorder::Callback(self, type, data, length);
    }
};

class FaultTable : public test::OpenHandleTest, public ::testing::WithParamInterface<FaultRow> {
  protected:
    FaultTable() : OpenHandleTest(Answer(GetParam().answer)) {}
    void SetUp() override {
        OpenHandleTest::SetUp();
        if (GetParam().during == During::kSlowCallback)
            vrSetCallBack(handle_, SlowRecorder::Callback);
        if (GetParam().during == During::kRefusal)
            recorder_.result = 1;
    }

    // The request's text gets the row's answer; its closing empty text and
    // everything else the usual one.
    static test::Handler Answer(std::vector<Action> answer) {
        return test::AnswerWhen(
            [](const ReceivedFrame& f) {
                return (f.type == PACKET_TEXT || f.type == PACKET_TEXT_CHUNK) &&
                       !test::IsClosingText(f);
            },
            std::move(answer));
    }
};

TEST_P(FaultTable, FailsCleanlyAndTheHandleRendersAgain) {
    const FaultRow& row = GetParam();
    LookupConnection(handle_)->SetPacketTimeout(static_cast<int>(row.packetTimeout.count()));
    const std::string text = row.textBytes > 0 ? std::string(row.textBytes, 'a') : "Hello";

    CapturedLog log(logDEBUG);
    std::thread canceller;
    if (row.during == During::kCancelOnceHeld || row.during == During::kCancelOnceSendWaits) {
        canceller = std::thread([this, &log, &row] {
            if (row.during == During::kCancelOnceHeld
                    ? server_.WaitUntilHeld(std::chrono::seconds(60))
                    : log.WaitFor("send waits for the peer", std::chrono::seconds(60)))
                vrCancelRequest(handle_);
        });
    }
    const auto start = Clock::now();
    auto render =
        std::async(std::launch::async, [&] { return vrRenderSpeech(handle_, text.c_str()); });
    // A render that hangs fails its row, not the run: stopping the server
    // breaks the stream under it.
    if (render.wait_for(2 * row.atMost) == std::future_status::timeout)
        server_.Stop();
    const vr_result result = render.get();
    const auto took = std::chrono::duration_cast<milliseconds>(Clock::now() - start);
    if (canceller.joinable())
        canceller.join();
    const std::vector<std::string> lines = log.Messages();

    const auto found = std::find_if(lines.begin(), lines.end(), [&](const std::string& line) {
        return *row.log != '\0' && line.find(row.log) != std::string::npos;
    });
    RecordProperty("returned", std::to_string(result));
    RecordProperty("return_ms", std::to_string(took.count()));
    RecordProperty("log", found != lines.end() ? *found : lines.empty() ? "" : lines.front());
    EXPECT_EQ(result, row.result);
    EXPECT_TRUE(*row.log == '\0' || found != lines.end()) << "no log line with: " << row.log;
    EXPECT_LT(took, row.atMost);
    EXPECT_GE(took, row.atLeast);
    EXPECT_EQ(recorder_.Count(PACKET_DATA_6), row.audioPackets);
    recorder_.result = VR_SUCCESS;

    server_.SetHandler(Answer({kAudioFrame, Action::End()}));
    if (server_.WaitUntilHeld(milliseconds(0)))
        server_.Release();  // the held session then ends on the dropped stream
    if (row.recovery == Recovery::kCancel) {
        EXPECT_EQ(vrCancelRequest(handle_), VR_SUCCESS);
    } else {
        vrCloseConnection(handle_);  // may find the stream already gone
        ASSERT_EQ(vrOpenConnection(handle_, server_.Host().c_str(), server_.Port()), VR_SUCCESS);
    }
    EXPECT_EQ(vrRenderSpeech(handle_, "Hello"), VR_SUCCESS);
    EXPECT_EQ(recorder_.Count(PACKET_DATA_6), row.audioPackets + 1);
}

INSTANTIATE_TEST_SUITE_P(MisbehavingServer, FaultTable, ::testing::ValuesIn(kRows),
                         ::testing::PrintToStringParamName());

}  // namespace
}  // namespace vrelay
