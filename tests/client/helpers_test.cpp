// SPDX-License-Identifier: MIT
// The static inline helpers: mark names, including the malformed forms an
// application must not trust (the payload decoders are checked through the
// wire module, which decodes with them); the resuming render: the markup it
// opens again, and renders whose server dies, resumed on the reference server
// (tone engine: every word is 1920 samples).
#include <gtest/gtest.h>
#include <vrelay/vrelay_helpers.h>
#include <vrelay/vrelay_resume.h>

#include <algorithm>
#include <cstring>
#include <string>

#ifndef _WIN32
#include "server/speech_server.h"
#include "tests/support/fake_server.h"
#endif

namespace {

TEST(Helpers, WordMarkNames) {
    struct Row { const char* name; int ok; vr_word_mark mark; };
    const Row rows[] = {
        {"kvtk_12_14_3_6", 1, {12, 14, 3, 6}}, {"kvtk_2147483647_0_1_1", 1, {2147483647, 0, 1, 1}},
        {"kvtk_2147483648_0_1_1", 0, {}},  // beyond int32
        {"kvtk_1_2_3", 0, {}},             // a field missing
        {"kvtk_1_2_3_4_5", 0, {}},         // more after the fourth field
        {"kvtk_1__3_4", 0, {}},            // a field without digits
        {"kvox_final", 0, {}},
    };
    for (const Row& row : rows) {
        vr_word_mark mark = {-7, -7, -7, -7};
        EXPECT_EQ(vr_parse_word_mark(row.name, &mark), row.ok) << row.name;
        const vr_word_mark expected = row.ok ? row.mark : vr_word_mark{-7, -7, -7, -7};
        EXPECT_EQ(std::memcmp(&mark, &expected, sizeof mark), 0) << row.name;
    }
    EXPECT_TRUE(vr_is_final_mark("kvox_final"));
    EXPECT_FALSE(vr_is_final_mark("kvox_finale"));
    EXPECT_FALSE(vr_is_final_mark(nullptr));
}

// What a text resumed at a byte is preceded by: the start tags open there.
TEST(Helpers, MarkupOpenAtAWord) {
    struct Row { const char* text; const char* open; };  // resumed at "one"
    const Row rows[] = {
        {"<speak><prosody rate='slow'>one</prosody></speak>", "<speak><prosody rate='slow'>"},
        {"<speak><p>x</p><mark name='m'/><br>one", "<speak>"},  // closed, self-closing, void
        {"<s a=\"x>y\">one", "<s a=\"x>y\">"},                  // '>' quoted
        {"<!-- <b> --><?pi <c>?><![CDATA[<d>]]><!DOCTYPE x [<!ENTITY e '>'>]>one", ""},
        {"<a><b><c></b></x>one", "<a>"},  // an end tag closes what it holds; a stray one nothing
    };
    for (const Row& row : rows) {
        char out[64];
        const size_t at = static_cast<size_t>(std::strstr(row.text, "one") - row.text);
        EXPECT_EQ(vr_open_markup(row.text, at, out, sizeof out), std::strlen(row.open)) << row.text;
        EXPECT_STREQ(out, row.open) << row.text;
    }
    char small[4];
    EXPECT_EQ(vr_open_markup("<speak>one", 7, small, sizeof small), 7u);
    EXPECT_STREQ(small, "<sp");
}

#ifndef _WIN32
// The server dies at the third word; the render goes on at the next address
// from that word: every word once at its place in the whole text and, as the
// output takes audio back, on one clock; one notice, one final mark.
TEST(Helpers, ResumeRenderSurvivesItsServerDying) {
    vrelay::server::ServerOptions options;
    options.engine = "tone";
    vrelay::server::SpeechServer failing(options), other(options);
    std::string error, text = "<speak>";
    ASSERT_TRUE(failing.Start(&error) && other.Start(&error)) << error;
    for (int i = 0; i < 20000; ++i) {
        text += "a ";  // one request, of far more audio than the sockets hold
    }
    struct Seen {
        vrelay::server::SpeechServer* failing;
        int64_t words, finals, samples;
        bool inPlace;
        std::string notices;
    } seen = {&failing, 0, 0, 0, true, ""};
    const vr_resume_address at[] = {{"127.0.0.1", failing.Port()}, {"127.0.0.1", other.Port()}};
    vr_resume_options o = {};
    o.user_data = &seen;
    o.addresses = at;
    o.address_count = 2;
    o.callback = [](void* user, PACKET_TYPE type, void* data, int32_t length) -> int32_t {
        Seen& s = *static_cast<Seen*>(user);
        vr_mark_event mark;
        vr_word_mark word;
        s.samples += type == PACKET_DATA_6 ? length / 2 : 0;
        if (type == PACKET_DATA_8 && vr_decode_mark(data, length, &mark)) {
            s.finals += vr_is_final_mark(mark.name);
            if (vr_parse_word_mark(mark.name, &word)) {
                s.inPlace = s.inPlace && word.byte_offset == 7 + 2 * s.words &&
                            word.char_offset == word.byte_offset &&
                            mark.sample_offset == 1920 * s.words;
                if (++s.words == 3)
                    s.failing->Stop();
            }
        }
        return VR_SUCCESS;
    };
    o.rewind = [](void* user, int32_t sample) {
        static_cast<Seen*>(user)->samples = sample;
        return 1;  // a file: the audio from the word on is taken back
    };
    o.notice = [](void* user, const char* notice) {
        static_cast<Seen*>(user)->notices += notice + std::string("\n");
    };
    const vr_handle handle = vrCreateConnection();
    ASSERT_EQ(vrOpenConnection(handle, "127.0.0.1", failing.Port()), VR_SUCCESS);
    EXPECT_EQ(vr_resume_render(handle, text.c_str(), &o), VR_SUCCESS);
    vrDestroyConnection(handle);
    EXPECT_EQ(seen.words, 20000);
    EXPECT_TRUE(seen.inPlace);
    EXPECT_EQ(seen.samples, 20000 * 1920);
    EXPECT_EQ(seen.finals, 1);
    EXPECT_NE(seen.notices.find(
                  "); speaking on from \"a\" at 127.0.0.1:" + std::to_string(other.Port()) + "\n"),
              std::string::npos)
        << seen.notices;
    EXPECT_EQ(std::count(seen.notices.begin(), seen.notices.end(), '\n'), 1);
}

// The server sends a passage's marks ahead of its audio and fails between
// them: the words whose audio never came are given once, after the resume, on
// the resumed audio's clock (each word is 1920 samples there); the mark given
// before the failure is not given again, the one at the very end is given.
TEST(Helpers, ResumedWordsWhoseAudioNeverCameComeOnTheResumedClock) {
    using vrelay::test::Action;
    const auto mark = [](uint8_t sample, const std::string& name) {
        vrelay::test::Bytes payload = {0, 0, 0, sample};
        payload.insert(payload.end(), name.begin(), name.end() + 1);
        return Action::Frame(PACKET_DATA_8, payload);
    };
    vrelay::test::FakeServer failing(vrelay::test::AnswerWhen(
        [](const vrelay::test::ReceivedFrame& f) { return f.type == PACKET_TEXT; },
        {mark(0, "kvtk_7_7_3_3"), mark(100, "m"),
         Action::Frame(PACKET_DATA_6, vrelay::test::Bytes(400)), mark(200, "kvtk_27_27_3_3"),
         mark(240, "kvtk_31_31_5_5"), Action::Reset()}));
    vrelay::server::ServerOptions options;
    options.engine = "tone";
    vrelay::server::SpeechServer other(options);
    std::string error, marks;
    ASSERT_TRUE(other.Start(&error)) << error;
    const vr_resume_address at[] = {{"127.0.0.1", other.Port()}};
    vr_resume_options o = {};
    o.user_data = &marks;
    o.addresses = at;
    o.address_count = 1;
    o.callback = [](void* user, PACKET_TYPE type, void* data, int32_t length) -> int32_t {
        vr_mark_event m;
        if (type == PACKET_DATA_8 && vr_decode_mark(data, length, &m)) {
            *static_cast<std::string*>(user) +=
                m.name + ("@" + std::to_string(m.sample_offset)) + " ";
        }
        return VR_SUCCESS;
    };
    o.rewind = [](void*, int32_t) { return 1; };
    const vr_handle handle = vrCreateConnection();
    ASSERT_EQ(vrOpenConnection(handle, "127.0.0.1", failing.Port()), VR_SUCCESS);
    const char* text = "<speak>one <mark name='m'/>two three<mark name='end'/></speak>";
    EXPECT_EQ(vr_resume_render(handle, text, &o), VR_SUCCESS);
    vrDestroyConnection(handle);
    EXPECT_EQ(marks, "kvtk_7_7_3_3@0 m@100 kvtk_27_27_3_3@1920 kvtk_31_31_5_5@3840 end@5760 "
                     "kvox_final@5760 ");
}
#endif

}  // namespace
