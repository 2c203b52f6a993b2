// SPDX-License-Identifier: MIT
// Spurts written as markup for the synthesiser.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "textproc/model/tox.h"

namespace {

// A pool and an output string for building spurts by hand.
class SpurtXmlTest : public ::testing::Test {
  protected:
    void SetUp() override { KVTP_toxspurt_setparent(spurt_, this); }
    void TearDown() override {
        KVTP_dystr_delete(out_);
        KVTP_toxpool_delete(pool_);
    }

    KVTP_toxtoken* Token(const char* norm = "", const char* pos = "") {
        KVTP_toxtoken* token = KVTP_toxpool_token(pool_);
        KVTP_toxtoken_set_norm(token, norm, -1);
        KVTP_toxtoken_setpos(token, pos, -1, nullptr, 0);
        KVTP_toxspurt_add(spurt_, token);
        return token;
    }
    // A tag on the token with attributes given as name, value, ...
    KVTP_toxtag* Tag(KVTP_toxtoken* token, const char* name, int32_t type,
                     std::vector<const char*> attributes = {}) {
        KVTP_toxtag* tag = KVTP_toxpool_tag(pool_);
        KVTP_toxtag_init(tag, nullptr, name, -1, type);
        for (size_t i = 0; i + 1 < attributes.size(); i += 2)
            KVTP_toxtag_add_attrib(tag, attributes[i], -1, attributes[i + 1], -1);
        KVTP_toxtoken_addtag(token, tag);
        return tag;
    }
    std::string Xml() {
        EXPECT_EQ(KVTP_toxspurt_xml(spurt_, out_), 1);
        return KVTP_dystr_cstr(out_);
    }

    KVTP_toxpool* pool_ = KVTP_toxpool_new(2, 8, 32);
    KVTP_dystr* out_ = KVTP_dystr_new(nullptr, 256);
    KVTP_toxspurt* spurt_ = KVTP_toxpool_spurt(pool_);
};

constexpr int32_t kClosed = KVTP_TOXTAG_CLOSED;

TEST_F(SpurtXmlTest, WritesPausesSpeechAndNestedElements) {
    KVTP_toxspurt_setid(spurt_, 7);
    KVTP_toxspurt_set_jobid(spurt_, "j", -1);
    KVTP_toxtoken* lead = Token();
    Tag(lead, "mark", kClosed, {"name", "m0"});
    Tag(lead, "break", kClosed, {"type", "1", "time", "0.200"});
    KVTP_toxtoken* hello = Token("hello", "nn");
    Tag(hello, "s", KVTP_TOXTAG_START);
    Tag(hello, "lex", KVTP_TOXTAG_STARTEND,
        {"spron", "he|l+ou", "phonemes", "ignored", "pos", "never", "stress", "1"});
    KVTP_toxtoken* world = Token("world", "vb");
    Tag(world, "s", KVTP_TOXTAG_END);
    Tag(world, "lex", KVTP_TOXTAG_STARTEND);  // no pronunciation: commented out
    Tag(world, "mark", kClosed, {"name", "m2"});
    KVTP_toxtoken* tail = Token();
    Tag(tail, "mark", kClosed, {"name", "m3a"});
    Tag(tail, "break", kClosed, {"type", "2", "time", "1"});
    Tag(tail, "mark", kClosed, {"name", "m3b"});
    EXPECT_EQ(Xml(),
              "<spurt spurt_id='j_007'>\n"
              "\t<pause>\n\t\t\n\t\t<mark name='m0'/><break type='1' time='0.200'/>\n\t</pause>\n"
              "\t<speech>\n"
              "\t\t<s>\n"
              "\t\t\t<lex pos='nn' phonemes='he . l ou' stress='1'>\n"
              "\t\t\t\thello\n"
              "\t\t\t</lex>\n"
              "\t\t\t<!--<lex pos='vb'>\n"
              "\t\t\t\tworld\n"
              "\t\t\t</lex>-->\n"
              "\t\t</s>\n"
              "\t\t<mark name='m2'/>\n"
              "\t\t<mark name='m3a'/>\n"
              "\t</speech>\n"
              "\t<pause>\n\t\t<break type='2' time='1'/>\n\t\t<mark name='m3b'/>\n\t</pause>\n"
              "\n</spurt>\n");
}

TEST_F(SpurtXmlTest, OneTokenSpurtSplitsOnlyItsLastBreakInHalves) {
    KVTP_toxtoken* only = Token();
    Tag(only, "break", kClosed, {"type", "1", "time", "0.100"});
    Tag(only, "mark", kClosed, {"name", "m"});
    KVTP_toxtag* last = Tag(only, "break", kClosed, {"type", "3", "time", "1.001"});
    EXPECT_EQ(Xml(),
              "<spurt spurt_id='000'>\n"
              "\t<pause>\n\t\t<break type='1' time='0.100'/><mark name='m'/>"
              "<break type='3' time='0.500'/>\n\t</pause>\n"
              "\t<speech>\n\t</speech>\n"
              "\t<pause>\n\t\t<break type='3' time='0.500'/>\n\t</pause>\n"
              "</spurt>\n");
    EXPECT_STREQ(KVTP_toxtag_val(last, "time"), "1.001");  // the tag itself is untouched
    // A break without a time is written with time 0 but keeps having none.
    KVTP_toxtag_clear_attribs(last);
    EXPECT_NE(Xml().find("<break time='0'/>\n\t</pause>\n\t<speech>"), std::string::npos);
    EXPECT_EQ(KVTP_toxtag_no_attribs(last), 0);
}

TEST_F(SpurtXmlTest, HeaderCarriesThePhraseCounters) {
    Token();
    Token("a");
    KVTP_toxspurt_setid(spurt_, 5);
    spurt_->phrases = 2;
    spurt_->phrase = 1;
    spurt_->utt_words = 3;
    spurt_->utt_syls = 4;
    spurt_->pre_words = 5;
    spurt_->pre_syls = 6;
    spurt_->pst_words = 7;
    spurt_->pst_syls = 8;
    const std::string header =
        "<spurt spurt_id='005' phrases='2' phrase='1' utt_words='3' utt_syls='4' pre_words='5' "
        "pre_syls='6' pst_words='7' pst_syls='8'>\n";
    EXPECT_EQ(Xml().substr(0, header.size()), header);
}

TEST_F(SpurtXmlTest, ApostrophesAreEscapedAndAnUnnamedTagGetsAFixName) {
    Token();
    KVTP_toxtoken* word = Token("x");
    Tag(word, "say", KVTP_TOXTAG_STARTEND, {"as", "it's"});
    Tag(word, "lex", KVTP_TOXTAG_STARTEND, {"phonemes", "", "spron", "a'b_c"});
    Tag(Token("y"), "", KVTP_TOXTAG_MID);
    const std::string xml = Xml();
    EXPECT_NE(xml.find("<say as='it&apos;s'>"), std::string::npos) << xml;
    EXPECT_NE(xml.find("<lex phonemes='a&apos;b c'>"), std::string::npos) << xml;
    EXPECT_NE(xml.find("\t\t<xmlfixemptyopen>\n\t\t\ty\n\t\t</xmlfixemptyopen>\n"),
              std::string::npos)
        << xml;
}

TEST_F(SpurtXmlTest, SpurtWithoutTokensWritesNothing) {
    KVTP_dystr_append(out_, "stale", -1);
    EXPECT_EQ(Xml(), "");
    EXPECT_EQ(KVTP_toxspurt_xml(nullptr, out_), 0);
}

}  // namespace
