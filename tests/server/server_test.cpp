// SPDX-License-Identifier: MIT
// The server over real loopback sockets, with the deterministic tone engine.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <vrelay/vrelay.h>

#include <cmath>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "server/health_check.h"
#include "server/session.h"
#include "server/speech_server.h"
#include "server/tone_engine.h"
#include "tests/server/raw_client.h"
#include "tests/support/captured_log.h"
#include "tests/support/fake_server.h"

namespace vrelay {
namespace server {
namespace {

using test::Answer;
using test::RawClient;
using ::testing::AllOf;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Lt;
using ::testing::Not;
using ::testing::SizeIs;
using ::testing::StartsWith;
using Types = std::vector<uint16_t>;

const char kFinal[] = "<mark name=\"kvox_final\"/>";

// The tone engine's audio for words of the given letter counts: 1600 samples
// of sine, then 320 of silence, per word.
std::vector<int16_t> Tones(const std::string& voice, const std::vector<size_t>& letters) {
    std::vector<int16_t> samples;
    for (size_t count : letters) {
        const double f = ToneEngine::Frequency(voice, count);
        for (int n = 0; n < 1600; ++n) {
            samples.push_back(static_cast<int16_t>(
                std::lround(8000 * std::sin(2 * std::acos(-1.0) * f * n / 16000))));
        }
        samples.insert(samples.end(), 320, 0);
    }
    return samples;
}

// "<mark name="w<i>"/>word " for each count of letters.
std::string MarkedWords(const std::vector<int>& letters) {
    std::string text;
    for (size_t i = 0; i < letters.size(); ++i) {
        text += "<mark name=\"w" + std::to_string(i) + "\"/>" + std::string(letters[i], 'a') + " ";
    }
    return text;
}

// More audio than socket buffers hold.
std::string Flood() {
    return MarkedWords(std::vector<int>(3000, 5)).substr(0, 63000);
}

class ToneServer : public ::testing::Test {
  protected:
    void SetUp() override { StartWith([](ServerOptions&) {}); }
    // Restarts the server with the tone engine and the options set changes.
    void StartWith(const std::function<void(ServerOptions&)>& set) {
        ServerOptions options;
        options.engine = "tone";
        set(options);
        server_.reset();
        server_ = std::make_unique<SpeechServer>(options);
        std::string error;
        ASSERT_TRUE(server_->Start(&error)) << error;
    }
    test::CapturedLog quiet_;  // session lines would drown the test output
    std::unique_ptr<SpeechServer> server_;
};

TEST_F(ToneServer, EveryTextAndQueryPacketGetsExactlyOneEnd) {
    RawClient client(server_->Port());
    const std::pair<uint16_t, std::string> exchanges[] = {
        {PACKET_TEXT, ""}, {PACKET_QUERY, "<voice name='nobody' select='1'/>"},
        {PACKET_TEXT_CHUNK, ""}, {PACKET_TEXT, "<<<&&& not xml at all"},
    };
    for (const auto& e : exchanges) {
        SCOPED_TRACE(e.second);
        const Answer answer = client.Exchange(e.first, e.second);
        EXPECT_TRUE(answer.ended);
        if (e.first == PACKET_TEXT && e.second.empty()) {
            EXPECT_EQ(answer.types, Types{PACKET_END});
        }
    }
}

TEST_F(ToneServer, ToneAnswerHasExactFormatAudioMarksAndPhonemes) {
    RawClient client(server_->Port());
    const Answer answer = client.Exchange(
        PACKET_TEXT,
        "<speak><mark name=\"a\"/>Hello <mark name=\"b\"/>world</speak>" + std::string(kFinal));
    ASSERT_TRUE(answer.ended);
    EXPECT_EQ(answer.types.front(), PACKET_DATA_9);
    ASSERT_EQ(answer.formats.size(), 1u);
    EXPECT_EQ(answer.formats[0].sample_rate, 16000u);
    EXPECT_EQ(answer.formats[0].bits, 16);
    EXPECT_EQ(answer.formats[0].channels, 1);
    EXPECT_EQ(answer.audio, Tones("tone", {5, 5}));
    EXPECT_EQ(answer.Marks(), "a@0 b@1920 kvox_final@3840");
    EXPECT_EQ(answer.audio_before_mark.back(), 3840u);  // the final mark follows all audio
    std::string phones;
    std::vector<int32_t> starts;
    for (const auto& p : answer.phonemes) {
        phones += p.name + p.next + " ";
        starts.push_back(p.start);
        EXPECT_EQ(std::make_pair(p.duration, p.rate), std::make_pair(320, 16000));
    }
    EXPECT_EQ(phones, "he el ll lo ow wo or rl ld d ");
    EXPECT_EQ(starts, (std::vector<int32_t>{0, 320, 640, 960, 1280, 1920, 2240, 2560, 2880, 3200}));
}

TEST_F(ToneServer, LongAudioArrivesInBoundedPacketsWithMarksBeforeTheirAudio) {
    RawClient client(server_->Port());
    std::vector<int> letters(100, 3);
    letters[40] = 7;
    const Answer answer = client.Exchange(PACKET_TEXT, MarkedWords(letters) + kFinal);
    EXPECT_EQ(answer.audio.size(), 100u * 1920);
    ASSERT_EQ(answer.marks.size(), 101u);
    for (size_t i = 0; i < 100; ++i) {
        EXPECT_EQ(answer.marks[i].name, "w" + std::to_string(i));
        EXPECT_EQ(answer.marks[i].sample, static_cast<int32_t>(i * 1920));
        EXPECT_LE(answer.audio_before_mark[i], i * 1920);  // before its first sample
    }
    // Units of 64 words: the offsets run on across them, the format comes once.
    EXPECT_EQ(answer.formats.size(), 1u);
    EXPECT_EQ(answer.phonemes[40 * 3].start, 40 * 1920);
    EXPECT_EQ(answer.phonemes[40 * 3].duration, 1600 / 7);
}

TEST_F(ToneServer, ARequestSpreadOverWorkersIsAnsweredAsInProcess) {
    using Exchanges = std::vector<std::pair<uint16_t, std::string>>;
    std::string markup;
    std::string breaks;
    for (int i = 0; i < 150; ++i) {
        const std::string mark = "<mark name=\"w" + std::to_string(i) + "\"/>";
        markup += "<s><prosody rate=\"slow\"><emphasis>" + mark + "w&amp;" + std::to_string(i) +
                  "</emphasis></prosody></s> ";
        breaks += mark + std::string(1 + i % 7, 'b') + "<break time=\"" +
                  std::to_string(100 * (i % 9)) + "ms\"/> ";
    }
    const std::string many = MarkedWords(std::vector<int>(300, 4));
    const struct { const char* name; Exchanges exchanges; } cases[] = {
        {"long", {{PACKET_TEXT, many + kFinal}}},
        {"streamed",
         {{PACKET_TEXT_CHUNK, many.substr(0, 3001)},
          {PACKET_TEXT_CHUNK, many.substr(3001)},
          {PACKET_TEXT, kFinal}}},
        {"markup", {{PACKET_TEXT, "<speak>" + markup + "</speak>" + kFinal}}},
        {"voices",
         {{PACKET_QUERY, "<voice name='tone-low' select='1'/>"},
          {PACKET_TEXT, many + kFinal}, {PACKET_QUERY, "<voice name='tone' select='1'/>"},
          {PACKET_TEXT, many.substr(0, 2000) + kFinal}}},
        {"breaks", {{PACKET_TEXT, breaks + kFinal}}},
    };
    // In-process first, then one worker, several, and several pinned.
    const std::pair<int, int> servers[] = {{0, 64}, {1, 64}, {3, 64}, {3, 1}};
    std::vector<std::vector<Answer>> first;
    for (const auto& s : servers) {
        StartWith([&](ServerOptions& o) {
            o.workers = s.first;
            o.max_sessions = s.second;
        });
        RawClient client(server_->Port());
        for (size_t c = 0; c < sizeof cases / sizeof cases[0]; ++c) {
            SCOPED_TRACE(std::string(cases[c].name) + ", workers " + std::to_string(s.first) +
                         ", sessions " + std::to_string(s.second));
            std::vector<Answer> answers;
            for (const auto& e : cases[c].exchanges) {
                answers.push_back(client.Exchange(e.first, e.second));
                ASSERT_TRUE(answers.back().ended);
            }
            if (first.size() <= c) {
                EXPECT_GT(answers.back().marks.size(), 0u);
                first.push_back(answers);
                continue;
            }
            for (size_t i = 0; i < answers.size(); ++i) {
                const Answer &a = answers[i], &b = first[c][i];
                EXPECT_EQ(a.Events(), b.Events());  // marks and phonemes, with their offsets
                EXPECT_EQ(a.audio_before_mark, b.audio_before_mark);
                EXPECT_EQ(a.messages, b.messages);
                EXPECT_TRUE(a.types == b.types && a.audio == b.audio);
            }
        }
    }
}

TEST_F(ToneServer, StreamSpeaksWholeWordsEarlyAndKeepsTheClockAcrossPieces) {
    RawClient client(server_->Port());
    // words: spoken in this answer
    const struct { uint16_t type; std::string text; const char* marks; size_t words; } pieces[] = {
        // The second word may still grow: only the first is spoken.
        {PACKET_TEXT_CHUNK, "<speak><mark name=\"a\"/>one <mark name=\"b\"/>tw", "a@0", 1},
        // A cut inside a mark: "two" is whole once the next mark is complete.
        {PACKET_TEXT_CHUNK, "o <mark na", "", 0},
        // "four" is whole too, but it waits for the end of its sentence.
        {PACKET_TEXT_CHUNK, "me=\"c\"/>three. <mark name=\"d\"/>four <mark name=\"e\"/>fi",
         "b@1920 c@3840", 2},
        // With no sentence end among the whole words, all of them are spoken.
        {PACKET_TEXT_CHUNK, "ve <mark name=\"f\"/>six", "d@5760 e@7680", 2},
        {PACKET_TEXT, "</speak>" + std::string(kFinal), "f@9600 kvox_final@11520", 1},
        // An element that only starts like a mark is no mark.
        {PACKET_TEXT_CHUNK, "<mark name=\"m\"/>x <markup>y</markup> <mark", "", 0},
        {PACKET_TEXT, " name=\"n\"/>z" + std::string(kFinal), "m@0 n@1920 kvox_final@3840", 2},
    };
    for (const auto& p : pieces) {
        SCOPED_TRACE(p.text);
        const Answer answer = client.Exchange(p.type, p.text);
        ASSERT_TRUE(answer.ended);
        EXPECT_EQ(answer.Marks(), p.marks);
        EXPECT_EQ(answer.audio.size(), p.words * 1920);
        EXPECT_EQ(answer.formats.size(), p.words > 0 ? 1u : 0u);
        if (p.words == 2 && answer.marks[0].name == "b") {
            EXPECT_EQ(answer.audio, Tones("tone", {3, 5}));  // "two three."
        }
    }
}

TEST_F(ToneServer, ARequestOverABoundIsRefusedToItsEndAndTheNextRequestWorks) {
    StartWith([](ServerOptions& o) {
        o.limits.max_pending_text = 2000, o.limits.max_request_audio_seconds = 1;
    });
    RawClient client(server_->Port());
    const struct { const char* name; std::vector<std::string> chunks; const char* error;
    } cases[] = {
        // No mark completes a word, so all of it waits.
        {"pending text", {"<mark name=\"a\"/>" + std::string(1200, 'x'), std::string(1200, 'y')},
         "error: text refused"},
        // The first unit (64 words, 7.7 s) is already over the second allowed.
        {"audio", {MarkedWords(std::vector<int>(64, 3)) + "<mark name=\"z\"/>"},
         "error: more than 1 s of audio"},
    };
    const std::string word = "<mark name=\"b\"/>ok" + std::string(kFinal);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Answer refused;
        for (const std::string& chunk : c.chunks) {
            refused = client.Exchange(PACKET_TEXT_CHUNK, chunk);
        }
        EXPECT_THAT(refused.messages, ElementsAre(StartsWith(c.error)));
        EXPECT_TRUE(refused.audio.empty());
        // The rest of the refused request is read and not spoken.
        EXPECT_EQ(client.Exchange(PACKET_TEXT_CHUNK, MarkedWords({3, 3})).types, Types{PACKET_END});
        EXPECT_EQ(client.Exchange(PACKET_TEXT, word).types, Types{PACKET_END});
        EXPECT_EQ(client.Exchange(PACKET_TEXT, word).Marks(), "b@0 kvox_final@1920");
    }
}

TEST_F(ToneServer, HostileMarkupCostsBoundedAudioAndMemory) {
    RawClient client(server_->Port());
    std::string deep = "<mark name=\"a\"/>x ";
    while (deep.size() < 60000) {
        deep += "<s><mark name=\"m\"/>";
    }
    std::string breaks = "<mark name=\"a\"/>x";
    while (breaks.size() < 63000) {
        breaks += "<break time='10s'/>";
    }
    const struct { const char* name; std::string text; size_t max_audio; } cases[] = {
        // Thousands of open elements across pieces: the context stays bounded.
        {"nesting", deep, 4000u * 1920},
        // All breaks after one word: at most 10 s of silence.
        {"breaks", breaks, 1920u + 10 * 16000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        size_t audio = 0;
        for (int i = 0; i < 4; ++i) {
            const Answer answer = client.Exchange(i < 3 ? PACKET_TEXT_CHUNK : PACKET_TEXT,
                                                  i < 3 ? c.text : std::string(kFinal));
            ASSERT_TRUE(answer.ended);
            audio += answer.audio.size();
        }
        EXPECT_LE(audio, 3 * c.max_audio);
    }
}

TEST(BoundWords, SplitsLongWordsAndCapsBreaksPerWordAndRequest) {
    auto pause = [](const std::string& time) {
        Element e;
        e.name = "break";
        if (!time.empty()) {
            e.attributes.push_back(Attribute{"time", time});
        }
        return e;
    };
    std::vector<Word> words(3);
    words[0].mark = "long";
    words[0].text = std::string(399, 'a') + "\xC3\xA9";
    words[0].breaks = {pause("2.5s"), pause("")};
    words[1].mark = "many";
    words[1].breaks = std::vector<Element>(50, pause("10s"));
    words[2].mark = "over budget";
    words[2].breaks = {pause("10s")};
    int64_t budget = 15000;
    BoundWords(&words, 200, &budget);
    EXPECT_EQ(budget, 0);
    std::string bounded;
    for (const Word& w : words) {
        ASSERT_LE(w.breaks.size(), 1u);
        bounded += w.mark + ":" + std::to_string(w.text.size()) + ":" +
                   (w.breaks.empty() ? "" : w.breaks[0].Get("time")) + " ";
    }
    // The UTF-8 pair stays whole; breaks are summed per word, then cut to the budget.
    EXPECT_EQ(bounded, "long:200: :199: :2:2700ms many:0:10000ms over budget:0:2300ms ");
}

TEST_F(ToneServer, MalformedFramesOrAVanishingClientCloseOnlyThatClient) {
    RawClient bystander(server_->Port());
    const std::vector<uint8_t> text = {'h', 'i', 0};
    const std::pair<const char*, std::vector<uint8_t>> frames[] = {
        {"trailer differs", test::EncodeFrame(PACKET_TEXT, text, 0, 4u)},
        {"server-only type", test::EncodeFrame(PACKET_END, {})},
        {"unknown type", test::EncodeFrame(99, text)},
        {"oversize length", {0, 1, 0, 0, 0, 0, 0, 0, 0xFA, 0x01}}, {"vanishing mid-request", {}},
    };
    for (const auto& f : frames) {
        SCOPED_TRACE(f.first);
        RawClient client(server_->Port());
        if (!f.second.empty()) {
            ASSERT_TRUE(client.SendRaw(f.second));
            EXPECT_TRUE(client.SeesClose());
        } else {
            ASSERT_TRUE(client.Send(PACKET_TEXT, Flood()));
            client.Close();
        }
        const Answer answer =
            bystander.Exchange(PACKET_TEXT, "<mark name=\"a\"/>abc" + std::string(kFinal));
        EXPECT_EQ(answer.Marks(), "a@0 kvox_final@1920");
        EXPECT_EQ(answer.audio.size(), 1920u);
    }
}

TEST_F(ToneServer, SessionsBeyondTheLimitFromOneAddressAreToldTheServerIsBusy) {
    StartWith([](ServerOptions& o) { o.max_sessions_per_address = 1; });
    RawClient first(server_->Port());
    ASSERT_TRUE(first.Exchange(PACKET_QUERY, "<voice name=\"all\"/>").ended);
    RawClient second(server_->Port());
    const Answer busy = second.Read();
    EXPECT_EQ(busy.types, (Types{PACKET_DATA_10, PACKET_CLOSE}));
    EXPECT_EQ(busy.messages, std::vector<std::string>{"error: server busy"});
    EXPECT_TRUE(first.Exchange(PACKET_TEXT, "").ended);
}

// What the health port answers a request: status line to end of stream.
std::string HealthAnswer(int port, const std::string& request) {
    SocketClient socket("127.0.0.1", port);
    socket.SetReceiveLimit(10000);
    socket.SendBytes(request.data(), request.size());
    std::string answer;
    char buffer[1024];
    size_t received = 0;
    while (socket.ReceiveBytes(buffer, sizeof buffer, &received) && received > 0) {
        answer.append(buffer, received);
    }
    return answer;
}

// A full server is a healthy server: its health port answers apart from the
// sessions. The next client is told the server is busy, and is served once a
// client has closed, before that client's session has read the close. Only
// an engine that cannot speak makes the health check fail.
TEST_F(ToneServer, AFullServerAnswersHealthChecksAndFreesAPlaceWhenAClientCloses) {
    StartWith([](ServerOptions& o) {
        o.workers = 1;
        o.max_sessions = 2;
        o.health_port = 0;
    });
    const int port = server_->Port();
    RawClient first(port);
    auto second = std::make_unique<RawClient>(port);
    ASSERT_TRUE(first.Exchange(PACKET_QUERY, "<voice name=\"all\"/>").ended);
    ASSERT_TRUE(second->Exchange(PACKET_QUERY, "<voice name=\"all\"/>").ended);
    const struct { const char* request; const char* status; } checks[] = {
        {"GET /health HTTP/1.0\r\n\r\n", "HTTP/1.0 200 OK\r\n"},
        {"HEAD / HTTP/1.1\r\nHost: x\r\n\r\n", "HTTP/1.0 200 OK\r\n"},
        {"GET /elsewhere HTTP/1.0\r\n\r\n", "HTTP/1.0 404 Not Found\r\n"},
        {"hello\n\n", "HTTP/1.0 400 Bad Request\r\n"},
    };
    for (const auto& check : checks) {
        SCOPED_TRACE(check.request);
        const std::string answer = HealthAnswer(server_->HealthPort(), check.request);
        EXPECT_THAT(answer, StartsWith(check.status));
        if (&check == &checks[0]) {  // the healthy GET's body
            EXPECT_THAT(answer, HasSubstr("\r\n\r\nok: spoke "));
            EXPECT_THAT(answer, HasSubstr("2 of 2 sessions open"));
        }
    }
    RawClient third(port);
    EXPECT_EQ(third.Read().messages, std::vector<std::string>{"error: server busy"});

    // The second session waits for its (stopped) worker, and sees its client's
    // close only at its next look: the next client gets its place at once.
    const pid_t worker = server_->WorkerPids()[0];
    ASSERT_GT(worker, 0);  // kill(0) would stop the test's own process group
    ASSERT_EQ(::kill(worker, SIGSTOP), 0);
    ASSERT_TRUE(second->Send(PACKET_TEXT, "<mark name=\"a\"/>waits"));
    second.reset();
    RawClient fourth(port);
    EXPECT_TRUE(fourth.Exchange(PACKET_QUERY, "<voice name=\"all\"/>").ended);

    // An engine that gives no audio fails the check, with the reason, once
    // the last probe's answer is too old to repeat (polls, bounded).
    std::string stuck;
    for (int i = 0; i < 100 && stuck.find(" 503 ") == std::string::npos; ++i) {
        stuck = HealthAnswer(server_->HealthPort(), "GET /health HTTP/1.0\r\n\r\n");
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_THAT(stuck, StartsWith("HTTP/1.0 503 Service Unavailable\r\n"));
    EXPECT_THAT(stuck, HasSubstr("cannot speak: no audio within"));
    ::kill(worker, SIGCONT);
}

// An engine that throws while the probe speaks fails the check with what
// it threw.
TEST(HealthCheckTest, AnEngineThatThrowsFailsTheCheckWithItsReason) {
    struct ThrowingEngine : ToneEngine {
        bool Speak(const std::string&, const std::vector<Word>&, UnitSink*, std::string*) override {
            throw std::runtime_error("engine broke");
        }
    } engine;
    HealthCheck check(&engine, "tone", [] { return std::string("0 of 1 sessions open"); });
    std::string error;
    ASSERT_TRUE(check.Start("127.0.0.1", 0, &error)) << error;
    test::CapturedLog log;
    const std::string answer = HealthAnswer(check.Port(), "GET /health HTTP/1.0\r\n\r\n");
    EXPECT_THAT(answer, StartsWith("HTTP/1.0 503 Service Unavailable\r\n"));
    EXPECT_THAT(answer, HasSubstr("cannot speak: engine broke; 0 of 1 sessions open"));
}

TEST_F(ToneServer, SilentSlowOrNonReadingClientsAreDisconnected) {
    StartWith(
        [](ServerOptions& o) { o.limits.idle_timeout_ms = o.limits.request_timeout_ms = 300; });
    RawClient idle(server_->Port());
    EXPECT_TRUE(idle.SeesClose());
    // A byte now and then does not keep a session: only whole packets do.
    RawClient slow(server_->Port());
    const std::vector<uint8_t> frame = test::EncodeFrame(PACKET_TEXT, {'h', 'i', 0});
    bool sent = true;
    for (size_t i = 0; i < frame.size() && sent; ++i) {
        sent = slow.SendRaw({frame[i]});
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_FALSE(sent && slow.Read().ended);
    // Nor do packets without text.
    RawClient empty(server_->Port());
    bool answered = true;
    for (int i = 0; i < 20 && answered; ++i) {
        answered = empty.Exchange(PACKET_TEXT_CHUNK, "").ended;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_FALSE(answered);
    // A client that stops reading: its session is known to be open (it has
    // answered once) before the server is watched for none left.
    RawClient deaf(server_->Port());
    ASSERT_TRUE(deaf.Exchange(PACKET_TEXT, "hi").ended);
    ASSERT_TRUE(deaf.Send(PACKET_TEXT, Flood()));
    // Polls (bounded) until the server has no session left.
    for (int i = 0; i < 2000 && server_->ActiveSessions() > 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(server_->ActiveSessions(), 0);
}

// A voice selected by name (without regard to case, references decoded)
// serves the following requests of that client only. Client text in messages
// and log lines is escaped and cut.
TEST_F(ToneServer, SelectedVoiceServesThatClientOnlyAndClientTextInMessagesIsEscapedAndCut) {
    test::CapturedLog log(logWARNING);
    RawClient client(server_->Port());
    RawClient other(server_->Port());
    EXPECT_TRUE(client.Exchange(PACKET_QUERY, "<voice name='TONE&#45;l&#x6F;W' select='1'/>")
                    .messages.empty());
    EXPECT_THAT(client.Exchange(PACKET_QUERY, "<voice name='nobody' select='1'/>").messages,
                ElementsAre(AllOf(HasSubstr("unknown voice \"nobody\""), HasSubstr("tone-low"))));
    EXPECT_THAT(client.Exchange(PACKET_QUERY, "<status/>").messages,
                ElementsAre(StartsWith("error: query not understood")));
    const std::string forged = "x\n20261205 00:00:00.000 ERROR: forged";
    EXPECT_THAT(client.Exchange(PACKET_QUERY, "<voice name='" + forged + "' select='1'/>").messages,
                ElementsAre(Not(HasSubstr("\n"))));
    EXPECT_THAT(log.Text(), Not(HasSubstr("\n20261205")));
    EXPECT_THAT(client.Exchange(PACKET_QUERY, std::string(5000, 'q')).messages,
                ElementsAre(SizeIs(Lt(200u))));

    const std::string word = "<mark name=\"a\"/>abc" + std::string(kFinal);
    EXPECT_EQ(client.Exchange(PACKET_TEXT, word).audio, Tones("tone-low", {3}));
    EXPECT_EQ(other.Exchange(PACKET_TEXT, word).audio, Tones("tone", {3}));
}

TEST_F(ToneServer, ShutdownLetsRequestsFinishWithinTheGraceAndClosesTheRest) {
    for (const int grace_ms : {60000, 100}) {
        SCOPED_TRACE(grace_ms);
        StartWith([](ServerOptions&) {});
        RawClient idle(server_->Port());
        RawClient busy(server_->Port());
        ASSERT_TRUE(idle.Exchange(PACKET_TEXT, "").ended);
        // A request whose text is still coming.
        ASSERT_EQ(
            busy.Exchange(PACKET_TEXT_CHUNK, "<mark name=\"a\"/>One. <mark name=\"b\"/>tw").Marks(),
            "a@0");
        // A short grace also ends a session blocked in a send to a client that reads nothing.
        RawClient deaf(server_->Port());
        if (grace_ms < 1000) {
            ASSERT_TRUE(deaf.Send(PACKET_TEXT, Flood()));
        }
        std::thread shutdown([&] { server_->Shutdown(grace_ms); });
        if (grace_ms > 1000) {
            // The request goes on, and so does the client's next one.
            EXPECT_EQ(busy.Exchange(PACKET_TEXT, "o" + std::string(kFinal)).Marks(),
                      "b@1920 kvox_final@3840");
            EXPECT_EQ(
                busy.Exchange(PACKET_TEXT, "<mark name=\"c\"/>abc" + std::string(kFinal)).Marks(),
                "c@0 kvox_final@1920");
            EXPECT_TRUE(idle.SeesClose());
            EXPECT_TRUE(busy.SeesClose());
        } else {
            // A stream still open when the grace ends is told why and closed.
            const Answer closed = busy.Read();
            EXPECT_EQ(closed.types, (Types{PACKET_DATA_10, PACKET_CLOSE}));
            EXPECT_THAT(closed.messages, ElementsAre("error: server shutting down"));
        }
        shutdown.join();
        EXPECT_EQ(server_->ActiveSessions(), 0);
        server_->Stop();  // idempotent
    }
}

TEST_F(ToneServer, SessionsWithoutTextOrQueriesAreLoggedAtDebugLevelOnly) {
    test::CapturedLog log(logINFO);
    const std::pair<uint16_t, const char*> first_packets[] = {
        {PACKET_TEXT, ""}, {PACKET_QUERY, "<voice name=\"all\"/>"}};
    for (const auto& packet : first_packets) {
        RawClient client(server_->Port());
        ASSERT_TRUE(client.Exchange(packet.first, packet.second).ended);
        ASSERT_TRUE(client.SendRaw(test::EncodeFrame(PACKET_CLOSE, {})));
        EXPECT_TRUE(client.SeesClose());
    }
    for (int i = 0; i < 2000 && server_->ActiveSessions() > 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    // The health check's session (an empty text) leaves no line.
    EXPECT_THAT(log.Text(), AllOf(Not(HasSubstr("session 1 ")), HasSubstr("session 2 opened"),
                                  HasSubstr("session 2 closed (client closed)")));
}

TEST(SpeechServerStart, ReportsBadOptions) {
    test::CapturedLog quiet;
    ServerOptions first;
    first.engine = "tone";
    SpeechServer occupant(first);
    std::string error;
    ASSERT_TRUE(occupant.Start(&error)) << error;
    const struct { const char* engine; const char* address; int port; const char* error;
    } cases[] = {
        {"organ", "127.0.0.1", 0, "unknown engine"}, {"tone", "not an address", 0, "cannot listen"},
        {"tone", "127.0.0.1", occupant.Port(), "Address already in use"},
    };
    for (const auto& c : cases) {
        ServerOptions options;
        options.engine = c.engine;
        options.listen_address = c.address;
        options.port = c.port;
        SpeechServer server(options);
        EXPECT_FALSE(server.Start(&error));
        EXPECT_NE(error.find(c.error), std::string::npos) << error;
    }
}

}  // namespace
}  // namespace server
}  // namespace vrelay
