// SPDX-License-Identifier: MIT
// The channel: piece loop, resets, built-in text handling, metadata filter,
// callbacks and invalid types.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "tests/textproc/tokenise_support.h"
#include "textproc/tokeniser/tokenise.h"
#include "textproc/tokeniser/tpc.h"

using tokenise_test::RecordingChannel;

namespace {

// Without a text callback the output is returned, and without an application
// callback metadata text is dropped.
TEST(TpcBuiltinHandling, WithoutCallbacksOutputIsReturnedWithoutMetadata) {
    KVTP_tpc* ch = KVTP_tpc_newtype(nullptr, nullptr, 1, "CLIENT", 3);
    EXPECT_STREQ(KVTP_tpc_process(ch, "<s>Hi</s>", -1, 1),
                 "<s><mark name=\"kvtk_3_3_2_2\"/>Hi</s><mark name=\"kvox_final\"/>");
    // Each call returns its own output only: nothing of the call before.
    EXPECT_STREQ(KVTP_tpc_process(ch, "<s>a<metadata>secret</metadata>b</s>", -1, 1),
                 "<s><mark name=\"kvtk_3_3_1_1\"/>a</s>"
                 "<s><mark name=\"kvtk_31_31_1_1\"/>b</s><mark name=\"kvox_final\"/>");
    EXPECT_STREQ(KVTP_tpc_process(ch, "x", -1, 0), "");
    EXPECT_STREQ(KVTP_tpc_process(ch, "", -1, 1),
                 "<parent><xmlfixopen/><mark name=\"kvtk_0_0_1_1\"/>x<mark name=\"kvox_final\"/>"
                 "<xmlfixcloseoffopen/></parent>");
    KVTP_tpc_delete(ch);
}

TEST(TpcBuiltinHandling, FilterTestsTheMetadataEndTagOnly) {
    KVTP_dystr* text = KVTP_dystr_new("x", 8);
    const std::tuple<int32_t, const char*, bool> cases[] = {
        {1, "</metadata>", true},   {1, "</metadata >", true}, {0, "</metadata>", false},
        {1, "</metadatax>", false}, {1, "<metadata>", false},  {1, nullptr, false}};
    for (const auto& [end, tag, dropped] : cases) {
        EXPECT_EQ(KVTP_tpc_builtin_cb_app_filter(nullptr, end, tag, text), dropped ? nullptr : text)
            << (tag ? tag : "null") << end;
    }
    KVTP_dystr_delete(text);
}

TEST(TpcCallbacks, ClearingCallbacksInsideACallbackTakesEffectAtOnce) {
    struct State { KVTP_tpc* ch = nullptr; int texts = 0; } st;
    st.ch = KVTP_tpc_newtype(nullptr, nullptr, 1, "CLIENT", 3);
    auto on_text = [](void* u, const char*, int) {
        auto* s = static_cast<State*>(u);
        ++s->texts;
        KVTP_tpc_set_text_callback(s->ch, nullptr, nullptr);
        KVTP_tpc_set_application_callback(s->ch, nullptr, nullptr);
    };
    auto on_app = [](void*, const char*, int) { FAIL() << "application callback after clearing"; };
    KVTP_tpc_set_text_callback(st.ch, on_text, &st);
    KVTP_tpc_set_application_callback(st.ch, on_app, &st);
    KVTP_tpc_process(st.ch, "<s>Hi <voice name=\"v\">x</voice></s>", -1, 1);
    EXPECT_EQ(st.texts, 1);
    KVTP_tpc_delete(st.ch);
}

// Only type 3 tokenises; the pipeline types accept text and produce nothing,
// and an unknown type is reported.
TEST(TpcLifecycle, OtherTypesProduceNothingAndAnInvalidTypeIsReported) {
    for (int32_t type : {0, 1, 2, 4, 5, 6, 7, 9}) {
        testing::internal::CaptureStderr();
        KVTP_tpc* ch = type == 0 ? KVTP_tpc_new(nullptr, nullptr, 1, "J")
                                 : KVTP_tpc_newtype(nullptr, nullptr, 1, "J", type);
        const std::string err = testing::internal::GetCapturedStderr();
        ASSERT_NE(ch, nullptr);
        int calls = 0;
        KVTP_tpc_set_text_callback(
            ch, [](void* u, const char*, int) { ++*static_cast<int*>(u); }, &calls);
        EXPECT_STREQ(KVTP_tpc_process(ch, "<s>Hi</s>", -1, 1), "") << type;
        EXPECT_EQ(calls, 0) << type;
        if (type == 9) {
            EXPECT_NE(err.find("Invalid channel type"), std::string::npos) << err;
            EXPECT_EQ(ch->processor, nullptr);
        }
        KVTP_tpc_delete(ch);
    }
}

// Compiled patterns and the built-in configuration are shared by every
// channel of the process; channels on several threads at once must still each
// produce exactly what one channel alone produces (run under ThreadSanitizer
// this also shows the sharing is free of data races).
TEST(TpcLifecycle, ChannelsOnSeveralThreadsTokeniseAlike) {
    const std::string config = testing::TempDir() + "tpc_threads_" + std::to_string(getpid());
    std::ofstream(config) << "<tpconfig><tokenise processing_mode='lax'/></tpconfig>";
    const std::string text =
        "<?xml version='1.0'?><speak>Caf\xC3\xA9 &amp; <b a='1'>bold</b> 3 < 4 "
        "<voice name='x'>hi</voice> <!-- gone --> end</speak>";
    auto run = [&] {
        KVTP_tpc* ch = KVTP_tpc_newtype(nullptr, config.c_str(), 1, nullptr, 3);
        std::string out;
        for (int i = 0; i < 20 && ch != nullptr; ++i)
            out = KVTP_tpc_process(ch, text.c_str(), -1, 1);
        KVTP_tpc_delete(ch);
        return out;
    };
    const std::string alone = run();
    ASSERT_NE(alone.find("kvtk_"), std::string::npos) << alone;
    std::vector<std::string> results(4);
    std::vector<std::thread> threads;
    for (std::string& r : results)
        threads.emplace_back([&r, &run] { r = run(); });
    for (std::thread& t : threads)
        t.join();
    for (const std::string& r : results)
        EXPECT_EQ(r, alone);
    remove(config.c_str());
}

TEST(TpcLifecycle, NullChannelIsHarmless) {
    KVTP_tpc_delete(nullptr);
    EXPECT_STREQ(KVTP_tpc_process(nullptr, "x", -1, 1), "");
    EXPECT_EQ(KVTP_tpc_set_text_callback(nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(KVTP_tpc_sapi_visemes(nullptr), nullptr);
    EXPECT_EQ(KVTP_tpc_reset(nullptr, 1, "x"), 0);
}

TEST(TpcLifecycle, ResetInsideADocumentReportsLostContext) {
    RecordingChannel ch;
    KVTP_logger_set_store(ch.get()->logger);
    ch.process("<s>open", 0);
    KVTP_tokenise_reset(ch.tokeniser(), ch.get());
    const int32_t stored = KVTP_logger_no_stored(ch.get()->logger);
    ASSERT_GE(stored, 1);
    const std::string line = KVTP_logger_msg(ch.get()->logger, stored - 1);
    EXPECT_NE(line.find("Tokenise context lost"), std::string::npos) << line;
    EXPECT_EQ(KVTP_tokenise_pending_input(ch.tokeniser()), 0);
}

TEST(TpcCallbacks, LastSetterChoosesTheSharedUserData) {
    KVTP_tpc* ch = KVTP_tpc_newtype(nullptr, nullptr, 1, "CLIENT", 3);
    int a = 0, b = 0;
    auto cb = [](void* u, const char*, int) { ++*static_cast<int*>(u); };
    KVTP_tpc_set_text_callback(ch, cb, &a);
    KVTP_tpc_set_application_callback(ch, cb, &b);
    KVTP_tpc_process(ch, "x", -1, 1);
    EXPECT_EQ(a, 0);
    EXPECT_EQ(b, 1);
    KVTP_tpc_delete(ch);
}

TEST(TpcLifecycle, JobIdIsKeptUntilAReset) {
    KVTP_tpc* ch = KVTP_tpc_newtype(nullptr, nullptr, 1, nullptr, 3);
    KVTP_tpc_set_jobid(ch, "JOB");
    KVTP_tpc_process(ch, "x", -1, 1);
    EXPECT_STREQ(ch->jobid, "JOB");
    KVTP_tpc_reset(ch, 0, nullptr);
    EXPECT_STREQ(ch->jobid, "");
    EXPECT_EQ(ch->xml, 0);
    KVTP_tpc_delete(ch);
}

}  // namespace
