// The channel: piece loop, resets, built-in text handling, metadata filter,
// callbacks and invalid types.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "tests/textproc/tokenise_support.h"
#include "textproc/tokenise.h"
#include "textproc/tpc.h"

using tokenise_test::RecordingChannel;

namespace {

struct Pieces {
    std::vector<std::pair<int32_t, int32_t>> calls;  // length, final
    static void hook(void* self, int32_t len, int32_t final) {
        static_cast<Pieces*>(self)->calls.emplace_back(len, final);
    }
};

class TpcPieceLoop : public ::testing::Test {
  protected:
    TpcPieceLoop() : text_(10000, 'a') {
        for (size_t i = 5; i < text_.size(); i += 6)
            text_[i] = ' ';
        KVTP_tpc_set_piece_hook(ch_.get(), &Pieces::hook, &pieces_);
    }
    RecordingChannel ch_;
    Pieces pieces_;
    std::string text_;
};

TEST_F(TpcPieceLoop, NonFinalTextIsCutInto4096BytePieces) {
    KVTP_tpc_process(ch_.get(), text_.c_str(), -1, 0);
    EXPECT_EQ(pieces_.calls,
              (std::vector<std::pair<int32_t, int32_t>>{{4096, 0}, {4096, 0}, {1808, 0}}));
    EXPECT_EQ(ch_.get()->finished, 0);
}

TEST_F(TpcPieceLoop, FinalFlagGoesWithTheLastPieceAndResets) {
    KVTP_tpc_process(ch_.get(), text_.c_str(), -1, 1);
    EXPECT_EQ(pieces_.calls,
              (std::vector<std::pair<int32_t, int32_t>>{{4096, 0}, {4096, 0}, {1808, 1}}));
    EXPECT_EQ(ch_.get()->finished, 1);
    // The document was complete: every word is marked and the last piece
    // carries the final mark.
    std::string out = ch_.text();
    EXPECT_EQ(tokenise_test::marks_of(out).size(), 1667u);
    const std::string tail = "<mark name=\"kvox_final\"/><xmlfixcloseoffopen/></parent>";
    ASSERT_GE(out.size(), tail.size());
    EXPECT_EQ(out.substr(out.size() - tail.size()), tail);
    EXPECT_EQ(KVTP_tokenise_pending_input(static_cast<KVTP_tokenise*>(ch_.get()->processor)), 0);
}

TEST_F(TpcPieceLoop, EmptyFinalTextMakesOneEmptyCall) {
    KVTP_tpc_process(ch_.get(), "", -1, 1);
    EXPECT_EQ(pieces_.calls, (std::vector<std::pair<int32_t, int32_t>>{{0, 1}}));
    EXPECT_EQ(ch_.text(), "<mark name=\"kvox_final\"/>");
}

TEST_F(TpcPieceLoop, EmptyNonFinalTextCallsNothing) {
    const char* result = KVTP_tpc_process(ch_.get(), "", -1, 0);
    EXPECT_TRUE(pieces_.calls.empty());
    EXPECT_TRUE(ch_.events().empty());
    EXPECT_STREQ(result, "");
}

TEST_F(TpcPieceLoop, NextDocumentNumbersMarksFromZero) {
    ch_.process("<s>one</s>", 1);
    ch_.clear();
    ch_.process("<s>two</s>", 1);
    EXPECT_EQ(ch_.text(), "<s><mark name=\"kvtk_3_3_3_3\"/>two</s><mark name=\"kvox_final\"/>");
}

TEST(TpcBuiltinHandling, WithoutTextCallbackOutputIsReturned) {
    KVTP_tpc* ch = KVTP_tpc_newtype(nullptr, nullptr, 1, "CLIENT", 3);
    const char* out = KVTP_tpc_process(ch, "<s>Hi</s>", -1, 1);
    EXPECT_STREQ(out, "<s><mark name=\"kvtk_3_3_2_2\"/>Hi</s><mark name=\"kvox_final\"/>");
    KVTP_tpc_delete(ch);
}

TEST(TpcBuiltinHandling, MetadataTextIsDroppedWithoutApplicationCallback) {
    KVTP_tpc* ch = KVTP_tpc_newtype(nullptr, nullptr, 1, "CLIENT", 3);
    const char* out = KVTP_tpc_process(ch, "<s>a<metadata>secret</metadata>b</s>", -1, 1);
    std::string s = out;
    EXPECT_EQ(s.find("secret"), std::string::npos) << s;
    EXPECT_NE(s.find(">a</s>"), std::string::npos) << s;
    EXPECT_NE(s.find(">b</s><mark name=\"kvox_final\"/>"), std::string::npos) << s;
    KVTP_tpc_delete(ch);
}

TEST(TpcBuiltinHandling, MetadataTextReachesTheCallbacksWhenAnApplicationCallbackIsSet) {
    RecordingChannel ch;
    ch.process("<s>a<metadata>secret</metadata>b</s>", 1);
    EXPECT_NE(ch.text().find("secret"), std::string::npos);
    EXPECT_EQ(ch.tags(), (std::vector<std::string>{"<metadata>", "</metadata>"}));
}

TEST(TpcBuiltinHandling, FilterTestsTheMetadataEndTagOnly) {
    KVTP_dystr* text = KVTP_dystr_new("x", 8);
    EXPECT_EQ(KVTP_tpc_builtin_cb_app_filter(nullptr, 1, "</metadata>", text), nullptr);
    EXPECT_EQ(KVTP_tpc_builtin_cb_app_filter(nullptr, 1, "</metadata >", text), nullptr);
    EXPECT_EQ(KVTP_tpc_builtin_cb_app_filter(nullptr, 0, "</metadata>", text), text);
    EXPECT_EQ(KVTP_tpc_builtin_cb_app_filter(nullptr, 1, "</metadatax>", text), text);
    EXPECT_EQ(KVTP_tpc_builtin_cb_app_filter(nullptr, 1, "<metadata>", text), text);
    EXPECT_EQ(KVTP_tpc_builtin_cb_app_filter(nullptr, 1, nullptr, text), text);
    KVTP_dystr_delete(text);
}

TEST(TpcCallbacks, ClearingCallbacksInsideACallbackTakesEffectAtOnce) {
    struct State {
        KVTP_tpc* ch = nullptr;
        int texts = 0;
    } st;
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

TEST(TpcLifecycle, InvalidTypeIsReportedAndProcessesNothing) {
    testing::internal::CaptureStderr();
    KVTP_tpc* ch = KVTP_tpc_newtype(nullptr, nullptr, 1, "CLIENT", 9);
    std::string err = testing::internal::GetCapturedStderr();
    ASSERT_NE(ch, nullptr);
    EXPECT_NE(err.find("Invalid channel type"), std::string::npos) << err;
    EXPECT_EQ(ch->processor, nullptr);
    int calls = 0;
    KVTP_tpc_set_text_callback(
        ch, [](void* u, const char*, int) { ++*static_cast<int*>(u); }, &calls);
    EXPECT_STREQ(KVTP_tpc_process(ch, "<s>Hi</s>", -1, 1), "");
    EXPECT_EQ(calls, 0);
    KVTP_tpc_delete(ch);
}

TEST(TpcLifecycle, PipelineTypesAcceptTextAndProduceNothing) {
    for (int32_t type : {0, 1, 2, 4, 5, 6, 7}) {
        KVTP_tpc* ch = type == 0 ? KVTP_tpc_new(nullptr, nullptr, 1, "J")
                                 : KVTP_tpc_newtype(nullptr, nullptr, 1, "J", type);
        ASSERT_NE(ch, nullptr);
        EXPECT_STREQ(KVTP_tpc_process(ch, "<s>Hi</s>", -1, 1), "");
        KVTP_tpc_delete(ch);
    }
}

TEST(TpcLifecycle, MissingConfigFileIsReportedAndDefaultsApply) {
    KVTP_tpc* ch = KVTP_tpc_newtype(nullptr, "/nonexistent/dir/tp.xml", 1, "CLIENT", 3);
    ASSERT_NE(ch, nullptr);
    auto* tk = static_cast<KVTP_tokenise*>(ch->processor);
    EXPECT_EQ(KVTP_tokenise_context_size(tk), 4096);
    EXPECT_EQ(KVTP_tokenise_processing_mode(tk), 2);
    KVTP_tpc_delete(ch);
}

TEST(TpcLifecycle, JobIdIsKeptAcrossResets) {
    KVTP_tpc* ch = KVTP_tpc_newtype(nullptr, nullptr, 1, nullptr, 3);
    EXPECT_STREQ(ch->jobid, "");
    KVTP_tpc_set_jobid(ch, "JOB");
    KVTP_tpc_process(ch, "x", -1, 1);
    EXPECT_STREQ(ch->jobid, "JOB");
    EXPECT_EQ(ch->xml, 1);
    KVTP_tpc_reset(ch, 0, nullptr);
    EXPECT_STREQ(ch->jobid, "");
    EXPECT_EQ(ch->xml, 0);
    KVTP_tpc_delete(ch);
}

TEST(TpcLifecycle, NullChannelIsHarmless) {
    KVTP_tpc_delete(nullptr);
    EXPECT_STREQ(KVTP_tpc_process(nullptr, "x", -1, 1), "");
    EXPECT_EQ(KVTP_tpc_set_text_callback(nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(KVTP_tpc_sapi_visemes(nullptr), nullptr);
    EXPECT_EQ(KVTP_tpc_reset(nullptr, 1, "x"), 0);
}

TEST(TpcLifecycle, AllPatternsCompile) {
    testing::internal::CaptureStderr();
    KVTP_tpc* ch = KVTP_tpc_newtype(nullptr, nullptr, 1, "CLIENT", 3);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(KVTP_tokenise_missing_patterns(static_cast<KVTP_tokenise*>(ch->processor)), 0);
    EXPECT_EQ(err.find("Missing XML regex"), std::string::npos) << err;
    KVTP_tpc_delete(ch);
}

TEST(TpcLifecycle, ResetInsideADocumentReportsLostContext) {
    KVTP_tpc* ch = KVTP_tpc_newtype(nullptr, nullptr, 1, "CLIENT", 3);
    KVTP_logger_set_store(ch->logger);
    KVTP_tpc_process(ch, "<s>open", -1, 0);
    auto* tk = static_cast<KVTP_tokenise*>(ch->processor);
    KVTP_tokenise_reset(tk, ch);
    ASSERT_GE(KVTP_logger_no_stored(ch->logger), 1);
    std::string line = KVTP_logger_msg(ch->logger, KVTP_logger_no_stored(ch->logger) - 1);
    EXPECT_NE(line.find("Tokenise context lost"), std::string::npos) << line;
    EXPECT_EQ(KVTP_tokenise_pending_input(tk), 0);
    KVTP_tpc_delete(ch);
}

}  // namespace
