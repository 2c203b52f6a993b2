// The server over real loopback sockets, with the deterministic tone engine.
#include <gtest/gtest.h>
#include <libxml/parser.h>
#include <libxml/tree.h>

#include <cmath>
#include <string>
#include <thread>
#include <vector>

#include "client/vrelay.h"
#include "server/speech_server.h"
#include "server/tone_engine.h"
#include "tests/server/raw_client.h"
#include "transport/log.h"

namespace vrelay {
namespace server {
namespace {

using test::Answer;
using test::RawClient;

const char kHelloWorld[] =
    "<speak><mark name=\"kvtk_7_7_5_5\"/>Hello <mark name=\"kvtk_13_13_5_5\"/>world</speak>"
    "<mark name=\"kvox_final\"/>";

std::vector<int16_t> Tone(const std::string& voice, size_t letters) {
    std::vector<int16_t> samples;
    const double f = ToneEngine::Frequency(voice, letters);
    for (int n = 0; n < 1600; ++n) {
        samples.push_back(static_cast<int16_t>(
            std::lround(8000 * std::sin(2 * std::acos(-1.0) * f * n / 16000))));
    }
    samples.insert(samples.end(), 320, 0);
    return samples;
}

// "<mark name="w<i>"/>word " for each count of letters.
std::string MarkedWords(const std::vector<int>& letters, int first = 0) {
    std::string text;
    for (size_t i = 0; i < letters.size(); ++i) {
        text += "<mark name=\"w" + std::to_string(first + static_cast<int>(i)) + "\"/>" +
                std::string(static_cast<size_t>(letters[i]), 'a') + " ";
    }
    return text;
}

class ToneServer : public ::testing::Test {
  protected:
    void SetUp() override { StartWith(ServerOptions()); }
    void TearDown() override { server_.reset(); }
    void StartWith(ServerOptions options) {
        options.engine = "tone";
        server_.reset();
        server_ = std::make_unique<SpeechServer>(options);
        std::string error;
        ASSERT_TRUE(server_->Start(&error)) << error;
        ASSERT_GT(server_->Port(), 0);
    }
    test::LogSilencer quiet_;
    std::unique_ptr<SpeechServer> server_;
};

TEST_F(ToneServer, EveryTextAndQueryPacketGetsExactlyOneEnd) {
    RawClient client(server_->Port());
    const std::pair<uint16_t, std::string> exchanges[] = {
        {PACKET_TEXT_CHUNK, "<speak><mark name=\"kvtk_0_0_1_1\"/>A "},
        {PACKET_TEXT_CHUNK, "<mark name=\"kvtk_2_2_1_1\"/>b "},
        {PACKET_TEXT_CHUNK, ""},
        {PACKET_TEXT, "<mark name=\"kvtk_4_4_1_1\"/>c</speak><mark name=\"kvox_final\"/>"},
        {PACKET_TEXT, ""},
        {PACKET_QUERY, "<voice name=\"all\"/>"},
        {PACKET_QUERY, "<voice name='tone-low' select='1'/>"},
        {PACKET_QUERY, "<voice name='nobody' select='1'/>"},
        {PACKET_QUERY, "what?"},
        {PACKET_TEXT, "<<<&&& not xml at all"},
    };
    for (const auto& e : exchanges) {
        SCOPED_TRACE(e.second);
        ASSERT_TRUE(client.Send(e.first, e.second));
        const Answer answer = client.Read();
        EXPECT_TRUE(answer.ended);
        ASSERT_FALSE(answer.types.empty());
        EXPECT_EQ(std::count(answer.types.begin(), answer.types.end(), PACKET_END), 1);
    }
    ASSERT_TRUE(client.SendEmpty(PACKET_CLOSE));
    EXPECT_TRUE(client.SeesClose());
}

TEST_F(ToneServer, ToneAnswerHasExactFormatAudioMarksAndPhonemes) {
    RawClient client(server_->Port());
    const Answer answer = client.Exchange(PACKET_TEXT, kHelloWorld);
    ASSERT_TRUE(answer.ended);
    ASSERT_EQ(answer.formats.size(), 1u);
    EXPECT_EQ(answer.formats[0].sample_rate, 16000u);
    EXPECT_EQ(answer.formats[0].bits, 16);
    EXPECT_EQ(answer.formats[0].channels, 1);
    EXPECT_EQ(answer.types.front(), PACKET_DATA_9);

    std::vector<int16_t> expected = Tone("tone", 5);
    const std::vector<int16_t> world = Tone("tone", 5);
    expected.insert(expected.end(), world.begin(), world.end());
    EXPECT_EQ(answer.audio, expected);

    ASSERT_EQ(answer.marks.size(), 3u);
    EXPECT_EQ(answer.MarkNames(),
              (std::vector<std::string>{"kvtk_7_7_5_5", "kvtk_13_13_5_5", "kvox_final"}));
    EXPECT_EQ(answer.marks[0].sample, 0);
    EXPECT_EQ(answer.marks[1].sample, 1920);
    EXPECT_EQ(answer.marks[2].sample, 3840);
    EXPECT_EQ(answer.audio_before_mark.back(), 3840u);  // the final mark follows all audio

    ASSERT_EQ(answer.phonemes.size(), 10u);
    const std::string letters = "helloworld";
    for (size_t k = 0; k < 10; ++k) {
        SCOPED_TRACE(k);
        EXPECT_EQ(answer.phonemes[k].name, std::string(1, letters[k]));
        EXPECT_EQ(answer.phonemes[k].start, static_cast<int32_t>((k / 5) * 1920 + (k % 5) * 320));
        EXPECT_EQ(answer.phonemes[k].duration, 320);
        EXPECT_EQ(answer.phonemes[k].rate, 16000);
        EXPECT_EQ(answer.phonemes[k].next, k + 1 < 10 ? std::string(1, letters[k + 1]) : "");
    }
}

TEST_F(ToneServer, LongAudioArrivesInBoundedPacketsWithMarksBeforeTheirAudio) {
    RawClient client(server_->Port());
    std::vector<int> letters(100, 3);
    letters[40] = 7;
    const Answer answer =
        client.Exchange(PACKET_TEXT, MarkedWords(letters) + "<mark name=\"kvox_final\"/>");
    ASSERT_TRUE(answer.ended);
    EXPECT_EQ(answer.audio.size(), 100u * 1920);
    ASSERT_EQ(answer.marks.size(), 101u);
    for (size_t i = 0; i < 100; ++i) {
        EXPECT_EQ(answer.marks[i].name, "w" + std::to_string(i));
        EXPECT_EQ(answer.marks[i].sample, static_cast<int32_t>(i * 1920));
        // Sent before the audio packet that holds its first sample.
        EXPECT_LE(answer.audio_before_mark[i], i * 1920);
    }
    // Units of 64 words: the offsets run on across them, the format comes once.
    EXPECT_EQ(answer.formats.size(), 1u);
    EXPECT_EQ(answer.phonemes[40 * 3].start, 40 * 1920);
    EXPECT_EQ(answer.phonemes[40 * 3].duration, 1600 / 7);
    const std::vector<int16_t> seven = Tone("tone", 7);
    EXPECT_TRUE(std::equal(seven.begin(), seven.end(), answer.audio.begin() + 40 * 1920));
}

TEST_F(ToneServer, SilentWordsBreaksAndEmptyTextsAreTimedButSilent) {
    RawClient client(server_->Port());
    Answer answer =
        client.Exchange(PACKET_TEXT,
                        "<mark name=\"a\"/>-- <mark name=\"b\"/>ab<break time=\"0.5s\"/>"
                        "<mark name=\"c\"/>, <mark name=\"kvox_final\"/>");
    ASSERT_TRUE(answer.ended);
    EXPECT_EQ(answer.audio.size(), 1920u + 8000);
    ASSERT_EQ(answer.marks.size(), 4u);
    EXPECT_EQ(answer.marks[0].sample, 0);
    EXPECT_EQ(answer.marks[1].sample, 0);
    EXPECT_EQ(answer.marks[2].sample, 9920);
    EXPECT_EQ(answer.marks[3].sample, 9920);

    answer = client.Exchange(PACKET_TEXT, "");
    ASSERT_TRUE(answer.ended);
    EXPECT_EQ(answer.types, std::vector<uint16_t>{PACKET_END});
}

TEST_F(ToneServer, StreamSpeaksWholeWordsEarlyAndKeepsTheClockAcrossPieces) {
    RawClient client(server_->Port());
    // The second word may still grow: only the first is spoken.
    Answer first =
        client.Exchange(PACKET_TEXT_CHUNK, "<speak><mark name=\"a\"/>one <mark name=\"b\"/>tw");
    ASSERT_TRUE(first.ended);
    EXPECT_EQ(first.MarkNames(), std::vector<std::string>{"a"});
    EXPECT_EQ(first.audio.size(), 1920u);
    EXPECT_EQ(first.formats.size(), 1u);

    // A cut inside a mark: "two" is whole once the next mark is complete.
    Answer second = client.Exchange(PACKET_TEXT_CHUNK, "o <mark na");
    ASSERT_TRUE(second.ended);
    EXPECT_TRUE(second.audio.empty());
    // "four" is whole too, but it waits for the end of its sentence.
    Answer third = client.Exchange(PACKET_TEXT_CHUNK,
                                   "me=\"c\"/>three. <mark name=\"d\"/>four <mark name=\"e\"/>fi");
    ASSERT_TRUE(third.ended);
    ASSERT_EQ(third.MarkNames(), (std::vector<std::string>{"b", "c"}));
    EXPECT_EQ(third.marks[0].sample, 1920);
    EXPECT_EQ(third.marks[1].sample, 3840);
    const std::vector<int16_t> three = Tone("tone", 3);  // "two"
    EXPECT_TRUE(std::equal(three.begin(), three.end(), third.audio.begin()));

    // With no sentence end among the whole words, all of them are spoken.
    Answer fourth = client.Exchange(PACKET_TEXT_CHUNK, "ve <mark name=\"f\"/>six");
    ASSERT_TRUE(fourth.ended);
    ASSERT_EQ(fourth.MarkNames(), (std::vector<std::string>{"d", "e"}));
    EXPECT_EQ(fourth.marks[0].sample, 3 * 1920);
    EXPECT_EQ(fourth.marks[1].sample, 4 * 1920);

    Answer last = client.Exchange(PACKET_TEXT, "</speak><mark name=\"kvox_final\"/>");
    ASSERT_TRUE(last.ended);
    ASSERT_EQ(last.MarkNames(), (std::vector<std::string>{"f", "kvox_final"}));
    EXPECT_EQ(last.marks[0].sample, 5 * 1920);
    EXPECT_EQ(last.marks[1].sample, 6 * 1920);

    // A new request starts its clock at 0 again.
    Answer next =
        client.Exchange(PACKET_TEXT, "<mark name=\"x\"/>again<mark name=\"kvox_final\"/>");
    ASSERT_EQ(next.marks.size(), 2u);
    EXPECT_EQ(next.marks[0].sample, 0);
}

TEST_F(ToneServer, OversizePieceCutAtFixedPositionsIsJoined) {
    // About 150 kB of marked text, mostly silent words to keep the audio small.
    std::string text = "<speak>";
    const int kWords = 3000;
    for (int i = 0; i < kWords; ++i) {
        text += "<mark name=\"w" + std::to_string(i) + "\"/>" +
                (i % 50 == 0 ? std::string("abc") : std::string(30, '-')) + " ";
    }
    text += "</speak><mark name=\"kvox_final\"/>";
    RawClient client(server_->Port());
    int marks = 0;
    size_t samples = 0;
    int32_t last_offset = 0;
    bool in_order = true;
    for (size_t pos = 0; pos < text.size(); pos += 63999) {
        const bool last = pos + 63999 >= text.size();
        const Answer answer =
            client.Exchange(last ? PACKET_TEXT : PACKET_TEXT_CHUNK, text.substr(pos, 63999));
        ASSERT_TRUE(answer.ended);
        for (const auto& m : answer.marks) {
            const std::string expected =
                marks < kWords ? "w" + std::to_string(marks) : "kvox_final";
            const int32_t voiced_before = (marks + 49) / 50;
            in_order = in_order && m.name == expected && m.sample == voiced_before * 1920 &&
                       m.sample >= last_offset;
            last_offset = m.sample;
            ++marks;
        }
        samples += answer.audio.size();
    }
    EXPECT_TRUE(in_order);
    EXPECT_EQ(marks, kWords + 1);
    EXPECT_EQ(samples, kWords / 50 * 1920u);
}

TEST_F(ToneServer, VoiceListIsAnXmlDocumentOfAllVoices) {
    RawClient client(server_->Port());
    const Answer answer = client.Exchange(PACKET_QUERY, "<voice name=\"all\"/>");
    ASSERT_TRUE(answer.ended);
    xmlDocPtr doc = xmlReadMemory(answer.query.data(), static_cast<int>(answer.query.size()),
                                  "noname.xml", nullptr, 0);
    ASSERT_NE(doc, nullptr) << answer.query;
    xmlNodePtr root = xmlDocGetRootElement(doc);
    EXPECT_STREQ(reinterpret_cast<const char*>(root->name), "voices");
    std::vector<std::string> names;
    for (xmlNodePtr node = root->children; node != nullptr; node = node->next) {
        if (node->type != XML_ELEMENT_NODE) {
            continue;
        }
        auto attribute = [&](const char* key) {
            xmlChar* value = xmlGetProp(node, reinterpret_cast<const xmlChar*>(key));
            std::string text = value != nullptr ? reinterpret_cast<const char*>(value) : "<absent>";
            xmlFree(value);
            return text;
        };
        names.push_back(attribute("name"));
        EXPECT_EQ(attribute("SAMPLE_RATE"), "16000");
        EXPECT_EQ(attribute("SAMPLE_BITS"), "16");
        EXPECT_EQ(attribute("ENCODING"), "pcm16le");
        EXPECT_EQ(attribute("LANGUAGE_CODE_ISO"), "en");
        EXPECT_EQ(attribute("COUNTRY_CODE_ISO"), "GB");
        EXPECT_EQ(attribute("REGION"), "");
        EXPECT_EQ(attribute("VOICE_UUID").size(), 36u);
        EXPECT_TRUE(attribute("SEX") == "male" || attribute("SEX") == "female");
    }
    xmlFreeDoc(doc);
    EXPECT_EQ(names, (std::vector<std::string>{"tone", "tone-low"}));
}

TEST_F(ToneServer, SelectedVoiceServesTheFollowingRequestsOfThatClientOnly) {
    RawClient client(server_->Port());
    RawClient other(server_->Port());
    Answer selected = client.Exchange(PACKET_QUERY, "<voice name='TONE-LOW' select='1'/>");
    ASSERT_TRUE(selected.ended);
    EXPECT_TRUE(selected.messages.empty());

    Answer unknown = client.Exchange(PACKET_QUERY, "<voice name='nobody' select='1'/>");
    ASSERT_TRUE(unknown.ended);
    ASSERT_EQ(unknown.messages.size(), 1u);
    EXPECT_NE(unknown.messages[0].find("unknown voice \"nobody\""), std::string::npos);
    EXPECT_NE(unknown.messages[0].find("tone-low"), std::string::npos);

    Answer junk = client.Exchange(PACKET_QUERY, "<status/>");
    ASSERT_EQ(junk.messages.size(), 1u);
    EXPECT_EQ(junk.messages[0].rfind("error: query not understood", 0), 0u);

    const std::string word = "<mark name=\"a\"/>abc<mark name=\"kvox_final\"/>";
    EXPECT_EQ(client.Exchange(PACKET_TEXT, word).audio, Tone("tone-low", 3));
    EXPECT_EQ(other.Exchange(PACKET_TEXT, word).audio, Tone("tone", 3));
}

TEST_F(ToneServer, TwoClientsAtOnceGetTheirOwnAnswers) {
    auto run = [this](const std::string& voice, int rounds, bool* ok) {
        RawClient client(server_->Port());
        *ok = client.Exchange(PACKET_QUERY, "<voice name='" + voice + "' select='1'/>").ended;
        for (int r = 0; r < rounds && *ok; ++r) {
            const Answer a = client.Exchange(
                PACKET_TEXT, MarkedWords({4, 4, 4}) + "<mark name=\"kvox_final\"/>");
            std::vector<int16_t> expected;
            for (int w = 0; w < 3; ++w) {
                const auto t = Tone(voice, 4);
                expected.insert(expected.end(), t.begin(), t.end());
            }
            *ok = a.ended && a.audio == expected && a.marks.size() == 4;
        }
    };
    bool ok_high = false;
    bool ok_low = false;
    std::thread high(run, "tone", 20, &ok_high);
    std::thread low(run, "tone-low", 20, &ok_low);
    high.join();
    low.join();
    EXPECT_TRUE(ok_high);
    EXPECT_TRUE(ok_low);
}

TEST_F(ToneServer, TooMuchPendingTextIsRefusedAndTheNextRequestWorks) {
    ServerOptions options;
    options.limits.max_pending_text = 1000;
    StartWith(options);
    RawClient client(server_->Port());
    // No mark completes a word, so all of it waits.
    const std::string blob = "<mark name=\"a\"/>" + std::string(600, 'x');
    ASSERT_TRUE(client.Exchange(PACKET_TEXT_CHUNK, blob).messages.empty());
    const Answer refused = client.Exchange(PACKET_TEXT_CHUNK, std::string(600, 'y'));
    ASSERT_TRUE(refused.ended);
    ASSERT_EQ(refused.messages.size(), 1u);
    EXPECT_EQ(refused.messages[0].rfind("error: text refused", 0), 0u);
    EXPECT_TRUE(refused.audio.empty());
    // The dropped text is not spoken later.
    const Answer next =
        client.Exchange(PACKET_TEXT, "<mark name=\"b\"/>ok<mark name=\"kvox_final\"/>");
    EXPECT_EQ(next.MarkNames(), (std::vector<std::string>{"b", "kvox_final"}));
    EXPECT_EQ(next.audio.size(), 1920u);
}

TEST_F(ToneServer, MalformedFramesCloseOnlyThatClient) {
    RawClient bystander(server_->Port());
    const std::vector<uint8_t> text = {'h', 'i', 0};
    const std::pair<const char*, std::vector<uint8_t>> frames[] = {
        {"trailer differs", test::Frame(PACKET_TEXT, text, 3, 4)},
        {"server-only type", test::Frame(PACKET_END, {}, 0, 0)},
        {"unknown type", test::Frame(99, text, 3, 3)},
        {"oversize length", test::Frame(PACKET_TEXT, {}, 64001, 64001)},
    };
    for (const auto& f : frames) {
        SCOPED_TRACE(f.first);
        RawClient client(server_->Port());
        ASSERT_TRUE(client.SendRaw(f.second));
        EXPECT_TRUE(client.SeesClose());
        const Answer answer =
            bystander.Exchange(PACKET_TEXT, "<mark name=\"a\"/>a<mark name=\"kvox_final\"/>");
        EXPECT_TRUE(answer.ended);
        EXPECT_EQ(answer.marks.size(), 2u);
    }
}

TEST_F(ToneServer, ClientVanishingMidRequestLeavesOthersServed) {
    {
        RawClient vanishing(server_->Port());
        std::vector<int> letters(3000, 5);  // far more audio than socket buffers hold
        ASSERT_TRUE(vanishing.Send(PACKET_TEXT, MarkedWords(letters).substr(0, 63000)));
        vanishing.Close();
    }
    RawClient client(server_->Port());
    for (int i = 0; i < 3; ++i) {
        const Answer answer =
            client.Exchange(PACKET_TEXT, "<mark name=\"a\"/>abc<mark name=\"kvox_final\"/>");
        EXPECT_TRUE(answer.ended);
        EXPECT_EQ(answer.audio.size(), 1920u);
    }
}

TEST_F(ToneServer, SessionsBeyondTheLimitAreClosedAtOnce) {
    ServerOptions options;
    options.max_sessions = 1;
    StartWith(options);
    RawClient first(server_->Port());
    ASSERT_TRUE(first.Exchange(PACKET_QUERY, "<voice name=\"all\"/>").ended);
    RawClient second(server_->Port());
    EXPECT_TRUE(second.SeesClose());
    EXPECT_TRUE(first.Exchange(PACKET_TEXT, "").ended);
}

TEST_F(ToneServer, StopEndsConnectedSessions) {
    RawClient idle(server_->Port());
    RawClient busy(server_->Port());
    ASSERT_TRUE(idle.Exchange(PACKET_TEXT, "").ended);
    std::vector<int> letters(3000, 5);
    ASSERT_TRUE(busy.Send(PACKET_TEXT, MarkedWords(letters).substr(0, 63000)));  // never read
    server_->Stop();
    EXPECT_EQ(server_->ActiveSessions(), 0);
    EXPECT_TRUE(idle.SeesClose());
    server_->Stop();  // idempotent
}

TEST(SpeechServerStart, ReportsBadOptions) {
    test::LogSilencer quiet;
    const std::pair<ServerOptions, const char*> cases[] = {
        {[] {
             ServerOptions o;
             o.engine = "organ";
             return o;
         }(),
         "unknown engine"},
        {[] {
             ServerOptions o;
             o.engine = "tone";
             o.voice = "nobody";
             return o;
         }(),
         "unknown voice"},
        {[] {
             ServerOptions o;
             o.engine = "tone";
             o.listen_address = "not an address";
             return o;
         }(),
         "cannot listen"},
    };
    for (const auto& c : cases) {
        SpeechServer server(c.first);
        std::string error;
        EXPECT_FALSE(server.Start(&error));
        EXPECT_NE(error.find(c.second), std::string::npos) << error;
    }
}

}  // namespace
}  // namespace server
}  // namespace vrelay
