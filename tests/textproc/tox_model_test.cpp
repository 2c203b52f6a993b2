// SPDX-License-Identifier: MIT
// Tags, tokens, spurts, their pool and the markup written for a spurt.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <string>
#include <vector>

#include "textproc/model/prenorm.h"
#include "textproc/model/tox.h"
#include "textproc/toolkit/oswrappers.h"

namespace {

constexpr int32_t kClosed = KVTP_TOXTAG_CLOSED;

template <typename T>
std::string Printed(const T* obj, int (*print)(const T*, KVTP_dystr*)) {
    KVTP_dystr* out = KVTP_dystr_new(nullptr, 64);
    print(obj, out);
    std::string text = KVTP_dystr_cstr(out);
    KVTP_dystr_delete(out);
    return text;
}

class ToxTest : public ::testing::Test {
  protected:
    void TearDown() override { KVTP_toxpool_delete(pool_); }

    // A free tag from the pool with attributes given as name, value, ...
    KVTP_toxtag* Tag(const char* name, int32_t type = KVTP_TOXTAG_START,
                     std::vector<const char*> attributes = {}) {
        KVTP_toxtag* tag = KVTP_toxpool_tag(pool_);
        KVTP_toxtag_init(tag, nullptr, name, -1, type);
        for (size_t i = 0; i + 1 < attributes.size(); i += 2)
            KVTP_toxtag_add_attrib(tag, attributes[i], -1, attributes[i + 1], -1);
        return tag;
    }
    // Tokens are marked in use so the pool does not hand them out again; norm
    // and pos are the normalised text and part of speech the spurt writer reads.
    KVTP_toxtoken* Token(std::vector<KVTP_toxtag*> tags = {}, const char* norm = nullptr,
                         const char* pos = nullptr) {
        KVTP_toxtoken* token = KVTP_toxpool_token(pool_);
        KVTP_toxtoken_setparent(token, &owner_);
        for (KVTP_toxtag* tag : tags)
            KVTP_toxtoken_addtag(token, tag);
        if (norm != nullptr) {
            KVTP_toxtoken_set_norm(token, norm, -1);
            KVTP_toxtoken_setpos(token, pos, -1, nullptr, 0);
        }
        return token;
    }
    KVTP_toxspurt* Spurt(std::vector<KVTP_toxtoken*> tokens) {
        KVTP_toxspurt* spurt = KVTP_toxpool_spurt(pool_);
        KVTP_toxspurt_setparent(spurt, this);
        for (KVTP_toxtoken* token : tokens)
            KVTP_toxspurt_add(spurt, token);
        return spurt;
    }

    KVTP_toxpool* pool_ = KVTP_toxpool_new(2, 8, 32);
    KVTP_toxspurt owner_{};
};

TEST_F(ToxTest, AttributesMatchByPrefixAndNumbersKeepTheirDecimals) {
    KVTP_toxtag* tag = Tag("x", KVTP_TOXTAG_START, {"timeout", "5"});
    KVTP_toxtag_set_attrib(tag, "time", -1, "1", -1);            // replaces timeout's value
    KVTP_toxtag_set_attrib(tag, "type", 2, "x", -1);             // "ty" is new
    EXPECT_EQ(KVTP_toxtag_set_attrib(tag, "", -1, "v", -1), 0);  // every name starts with ""
    KVTP_toxtag_set_attrib_float(tag, "f", -1, 1.5f);
    EXPECT_EQ(Printed(tag, KVTP_toxtag_print), "x start {'timeout': '1','ty': 'x','f': '1.500'}");
    EXPECT_EQ(KVTP_toxtag_val(tag, "time"), nullptr);  // lookups need the exact name
    // clang-format off
    const struct { int32_t value, decimals; const char* text; } cases[] = {
        {1005, 3, "1.005"}, {2000, 3, "2"}, {-7, -2, "-7"}, {5, 30, "0.000000005"},
        {INT32_MIN, 3, "-2147483.648"}};
    // clang-format on
    for (const auto& c : cases) {
        KVTP_toxtag_set_attrib_fixedpoint(tag, "v", -1, c.value, c.decimals);
        EXPECT_STREQ(KVTP_toxtag_val(tag, "v"), c.text) << c.value << " " << c.decimals;
    }
    ASSERT_EQ(KVTP_toxtag_newbreak(tag, Token(), 2, 1250), 1);  // earlier attributes go
    EXPECT_EQ(Printed(tag, KVTP_toxtag_print), "break closed {'type': '2','time': '1.250'}");
    EXPECT_STREQ(KVTP_toxtag_typename(-1), "unknown");
}

// The editing, query, stream and pre-normalisation functions below serve no
// caller yet: one check each that it runs and does its main job.
TEST_F(ToxTest, TagBoundaryFollowsRemovalAndMoves) {
    KVTP_toxtag* a = Tag("a");
    KVTP_toxtag* c = Tag("c");
    KVTP_toxtoken* token = Token({a, Tag("b"), c});
    token->tag_boundary = 2;  // c is the first tag past the boundary
    EXPECT_EQ(KVTP_toxtoken_removetag(token, a), 1);
    EXPECT_EQ(KVTP_toxtoken_removetag(token, a), 0);
    EXPECT_EQ(token->tag_boundary, 1);
    KVTP_toxtoken_move_tag(token, c, 0);  // from past the boundary to before it
    EXPECT_EQ(token->tag_boundary, 2);
    KVTP_toxtoken_move_tag(token, c, 99);  // clamped: the end
    EXPECT_EQ(token->tag_boundary, 1);
}

TEST_F(ToxTest, ReplaceTagDropsNamesakesAndMovesTheNewTagToTheEnd) {
    KVTP_toxtag* fresh = Tag("voice");
    KVTP_toxtoken* token = Token({Tag("voice"), Tag("s"), fresh, Tag("voice")});
    ASSERT_EQ(KVTP_toxtoken_replacetag(token, fresh), 1);
    EXPECT_EQ(Printed(token, KVTP_toxtoken_print),
              "-1{[] -1[][][FFFFF]} p s start {},voice start {}\n");
}

TEST_F(ToxTest, QueriesSearchFromTheLastTag) {
    KVTP_toxtag* v1 = Tag("voice", KVTP_TOXTAG_START, {"name", "a", "gender", "f"});
    KVTP_toxtag* v2 = Tag("voice", KVTP_TOXTAG_START, {"name", "b", "gendered", "x"});
    KVTP_toxtoken* token = Token({v1, v2, Tag("s")});
    EXPECT_EQ(KVTP_toxtoken_gettag(token, "voice"), v2);
    EXPECT_EQ(KVTP_toxtoken_gettag_attrib(token, "voice", "name", "a"), v1);
    // "gendered" is another attribute, so only v2 lacks a gender.
    EXPECT_EQ(KVTP_toxtoken_setdefault_tagval(token, "voice", "gender", "m"), 1);
    EXPECT_STREQ(KVTP_toxtag_val(v2, "gender"), "m");
    // Fields of the last mark that has a name; -1 for each one missing.
    int32_t p[4];
    token = Token({Tag("mark", kClosed, {"name", "7_8"}), Tag("mark", kClosed)});
    EXPECT_EQ(KVTP_toxtoken_getcharpos(token, &p[0], &p[1], &p[2], &p[3]), 1);
    EXPECT_EQ(std::vector<int32_t>(p, p + 4), (std::vector<int32_t>{7, 8, -1, -1}));
    KVTP_toxtag* lex = Tag("lex", KVTP_TOXTAG_STARTEND);
    token = Token({lex});
    EXPECT_EQ(KVTP_toxtoken_nsyl(token), 0);  // no pronunciation at all
    KVTP_toxtag_set_attrib(lex, "spron", -1, "a|b|c", -1);
    EXPECT_EQ(KVTP_toxtoken_nsyl(token), 2);
}

TEST_F(ToxTest, LinkAndSplitGiveContinuingTagsTheirEarlierCopies) {
    KVTP_toxtag* p0 = Tag("p");
    KVTP_toxtag* p1 = Tag("p", KVTP_TOXTAG_MID);
    KVTP_toxtag* extra = Tag("e", KVTP_TOXTAG_END);  // the previous token has no tag 1
    KVTP_toxtoken_link(Token({p0}), Token({p1, extra}));
    EXPECT_EQ(p1->fellow, p0);
    EXPECT_EQ(extra->fellow, nullptr);

    KVTP_toxtag* s = Tag("s", KVTP_TOXTAG_STARTEND, {"n", "1"});
    KVTP_toxtoken* token = Token({s, Tag("mark", kClosed)});
    KVTP_toxtoken_setpstpunc(token, ".", -1);
    KVTP_toxtoken* tail = KVTP_toxtoken_split(token, pool_);
    ASSERT_NE(tail, nullptr);
    EXPECT_EQ(Printed(token, KVTP_toxtoken_print), "-1{[] -1[][][FFFFF]} p s start {'n': '1'}\n");
    EXPECT_EQ(Printed(tail, KVTP_toxtoken_print),
              "-1{[] -1[][.][FFFFF]} p s end {'n': '1'},mark closed {}\n");
    EXPECT_EQ(KVTP_toxtoken_tagidx(tail, 0)->fellow, s);
}

TEST_F(ToxTest, PrintAndClearFollowTheChainOnceEvenWhenItLoops) {
    KVTP_toxtag* tag = Tag("s");
    KVTP_toxtoken* token = Token({tag}, "dog", "nn");
    KVTP_toxtoken_setfeat(token, 3, 1);
    EXPECT_EQ(KVTP_toxtoken_setfeat(token, KVTP_TOXTOKEN_NFEATURES, 1), 0);
    KVTP_toxtoken* next = Token({Tag("t")});
    token->next = next;
    next->next = token;
    EXPECT_EQ(Printed(token, KVTP_toxtoken_print),
              "-1{[dog] -1[][][FTFFF]} pnn s start {}\n"
              " |->-1{[] -1[][][FFFFF]} p t start {}\n");
    KVTP_toxtoken_clear(token);
    EXPECT_EQ(tag->parent, nullptr);
    EXPECT_EQ(next->next, nullptr);
    EXPECT_EQ(Printed(token, KVTP_toxtoken_print), "-1{[] -1[][][FFFFF]} p \n");
}

TEST_F(ToxTest, StreamsFindRealTokensWithinBoundsAndReleaseClearsThem) {
    KVTP_voidparray* stream = KVTP_voidparray_new();
    KVTP_toxtoken* real = Token({}, "a", "");
    for (KVTP_toxtoken* token : {Token(), real, Token()})
        KVTP_voidparray_add(stream, token);
    EXPECT_EQ(KVTP_toxstream_next_realtk(stream, 2), nullptr);
    EXPECT_EQ(KVTP_toxstream_prev_realtk(stream, 99), real);
    KVTP_toxstream_release_tox(stream);
    EXPECT_EQ(KVTP_toxstream_last_realtk(stream), 0);

    KVTP_voidparray_clear(stream);  // now a stream of spurts
    KVTP_voidparray_add(stream, Spurt({real}));
    EXPECT_EQ(Printed(stream, KVTP_toxspstream_print), "-1{[] -1[][][FFFFF]} p \nPHRASE\n");
    KVTP_toxspstream_release_tox(stream);
    EXPECT_EQ(Printed(stream, KVTP_toxspstream_print), "PHRASE\n");
    KVTP_voidparray_delete(stream);
}

// Test rules: ASCII letters are alphabetic and lower-cased.
int Downcase(void*, const char* ch, int32_t len, KVTP_dystr* out) {
    const char lower = static_cast<char>(std::tolower(static_cast<unsigned char>(ch[0])));
    return len == 1 && lower != ch[0] ? KVTP_dystr_append(out, &lower, 1) : 0;
}
int IsAlpha(void*, const char* ch, int32_t len) {
    return len == 1 && std::isalpha(static_cast<unsigned char>(ch[0])) != 0;
}

TEST_F(ToxTest, PrenormRewritesByTheCallersRulesAndRecordsWhatItSaw) {
    const KVTP_prenorm_rules rules{nullptr, Downcase, IsAlpha, nullptr};  // never converts
    KVTP_toxtoken* token = Token({}, "Hi!", "");
    ASSERT_EQ(KVTP_toxtoken_prenorm(token, &rules), 1);
    // Features 2-6: lower-cased, alphabetic, other, converted, capitalised.
    EXPECT_EQ(Printed(token, KVTP_toxtoken_print), "-1{[hi!] -1[][][TTTFF]} p \n");
    KVTP_malloc_fail_after(0);  // out of memory: refused, token unchanged
    EXPECT_EQ(KVTP_toxtoken_prenorm(token, &rules), 0);
    KVTP_malloc_fail_after(-1);
    EXPECT_STREQ(KVTP_toxtoken_getnorm(token), "hi!");
    EXPECT_EQ(KVTP_toxtoken_prenorm(nullptr, &rules), 0);
    EXPECT_EQ(KVTP_toxtoken_prenorm(token, nullptr), 0);
}

TEST_F(ToxTest, SpurtMarkupHasPausesSpeechAndNestedElements) {
    KVTP_toxspurt* spurt = Spurt(
        {Token({Tag("mark", kClosed, {"name", "m0"}),
                Tag("break", kClosed, {"type", "1", "time", "0.200"})}),
         Token({Tag("s"), Tag("say", KVTP_TOXTAG_STARTEND, {"as", "it's"}),
                Tag("lex", KVTP_TOXTAG_STARTEND,
                    {"spron", "he|l+o'u", "phonemes", "x", "pos", "x", "stress", "1"})},
               "hello", "nn"),
         // A lexicon entry without a pronunciation is commented out; a tag
         // without a name gets one.
         Token({Tag("s", KVTP_TOXTAG_END), Tag("lex", KVTP_TOXTAG_STARTEND), Tag("", KVTP_TOXTAG_MID),
                Tag("mark", kClosed, {"name", "m2"})},
               "world", "vb"),
         Token({Tag("mark", kClosed, {"name", "m3a"}),
                Tag("break", kClosed, {"type", "2", "time", "1"}),
                Tag("mark", kClosed, {"name", "m3b"})})});
    KVTP_toxspurt_setid(spurt, 7);
    KVTP_toxspurt_set_jobid(spurt, "j", -1);
    int32_t* counters[] = {&spurt->phrases,   &spurt->phrase,    &spurt->utt_words,
                           &spurt->utt_syls,  &spurt->pre_words, &spurt->pre_syls,
                           &spurt->pst_words, &spurt->pst_syls};
    for (int32_t i = 0; i < 8; ++i)
        *counters[i] = i + 2;
    EXPECT_EQ(Printed(spurt, KVTP_toxspurt_xml),
              "<spurt spurt_id='j_007' phrases='2' phrase='3' utt_words='4' utt_syls='5' "
              "pre_words='6' pre_syls='7' pst_words='8' pst_syls='9'>\n"
              "\t<pause>\n\t\t\n\t\t<mark name='m0'/><break type='1' time='0.200'/>\n\t</pause>\n"
              "\t<speech>\n"
              "\t\t<s>\n"
              "\t\t\t<say as='it&apos;s'>\n"
              "\t\t\t\t<lex pos='nn' phonemes='he . l o&apos;u' stress='1'>\n"
              "\t\t\t\t\thello\n"
              "\t\t\t\t</lex>\n"
              "\t\t\t</say>\n"
              "\t\t\t<!--<lex pos='vb'>\n"
              "\t\t\t\t<xmlfixemptyopen>\n"
              "\t\t\t\t\tworld\n"
              "\t\t\t\t</xmlfixemptyopen>\n"
              "\t\t\t</lex>-->\n"
              "\t\t</s>\n"
              "\t\t<mark name='m2'/>\n"
              "\t\t<mark name='m3a'/>\n"
              "\t</speech>\n"
              "\t<pause>\n\t\t<break type='2' time='1'/>\n\t\t<mark name='m3b'/>\n\t</pause>\n"
              "\n</spurt>\n");
}

TEST_F(ToxTest, OneTokenSpurtSplitsOnlyItsLastBreakInHalves) {
    KVTP_toxtag* last = Tag("break", kClosed, {"type", "3", "time", "1.001"});
    KVTP_toxspurt* spurt = Spurt({Token({Tag("break", kClosed, {"type", "1", "time", "0.100"}),
                                         Tag("mark", kClosed, {"name", "m"}), last})});
    EXPECT_EQ(Printed(spurt, KVTP_toxspurt_xml),
              "<spurt spurt_id='000'>\n"
              "\t<pause>\n\t\t<break type='1' time='0.100'/><mark name='m'/>"
              "<break type='3' time='0.500'/>\n\t</pause>\n"
              "\t<speech>\n\t</speech>\n"
              "\t<pause>\n\t\t<break type='3' time='0.500'/>\n\t</pause>\n"
              "</spurt>\n");
    EXPECT_STREQ(KVTP_toxtag_val(last, "time"), "1.001");  // the tag itself is untouched
    // A break without a time is written with time 0 but keeps having none.
    KVTP_toxtag_clear_attribs(last);
    EXPECT_NE(Printed(spurt, KVTP_toxspurt_xml).find("<break time='0'/>\n\t</pause>\n\t<speech>"),
              std::string::npos);
    EXPECT_EQ(KVTP_toxtag_no_attribs(last), 0);
}

TEST_F(ToxTest, SpurtWithoutTokensWritesNothing) {
    KVTP_dystr* out = KVTP_dystr_new("stale", -1);
    EXPECT_EQ(KVTP_toxspurt_xml(Spurt({}), out), 1);
    EXPECT_STREQ(KVTP_dystr_cstr(out), "");
    EXPECT_EQ(KVTP_toxspurt_xml(nullptr, out), 0);
    KVTP_dystr_delete(out);
}

TEST(ToxPoolTest, ReusesFreeObjectsAndWarnsWhenOneIsStillInUse) {
    KVTP_toxpool* pool = KVTP_toxpool_new(0, 1, 2);
    EXPECT_EQ(KVTP_toxpool_spurt(pool), nullptr);  // it holds none
    KVTP_toxtoken* token = KVTP_toxpool_token(pool);
    KVTP_toxtag* a = KVTP_toxpool_tag(pool);
    KVTP_toxtag* b = KVTP_toxpool_tag(pool);  // the cursor walks back to a, still free
    KVTP_toxtoken_addtag(token, a);
    KVTP_toxtoken_addtag(token, b);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(KVTP_toxpool_tag(pool), a);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "CRITICAL: pool returns a tag already in use.\n");
    // The pool grew meanwhile, so the next tag is a fresh one.
    EXPECT_EQ(KVTP_toxpool_tag(pool), KVTP_voidparray_idx(pool->tags, 2));
    KVTP_toxpool_clear(pool);  // all free again, handed out from the start
    EXPECT_EQ(KVTP_toxpool_tag(pool), a);
    KVTP_toxpool_delete(pool);
}

}  // namespace
