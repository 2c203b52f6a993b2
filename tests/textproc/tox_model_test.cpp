// SPDX-License-Identifier: MIT
// Tags, tokens, spurts and their pool.
#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "textproc/model/prenorm.h"
#include "textproc/model/tox.h"
#include "textproc/toolkit/oswrappers.h"

namespace {

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
    void SetUp() override { ASSERT_NE(pool_, nullptr); }
    void TearDown() override { KVTP_toxpool_delete(pool_); }

    KVTP_toxtag* Tag(const char* name, int32_t type = KVTP_TOXTAG_START) {
        KVTP_toxtag* tag = KVTP_toxpool_tag(pool_);
        KVTP_toxtag_init(tag, nullptr, name, -1, type);
        return tag;
    }
    // Tokens are marked in use so the pool does not hand them out again.
    KVTP_toxtoken* Token(std::vector<KVTP_toxtag*> tags = {}) {
        KVTP_toxtoken* token = KVTP_toxpool_token(pool_);
        KVTP_toxtoken_setparent(token, &owner_);
        for (KVTP_toxtag* tag : tags)
            KVTP_toxtoken_addtag(token, tag);
        return token;
    }

    KVTP_toxpool* pool_ = KVTP_toxpool_new(2, 8, 32);
    KVTP_toxspurt owner_{};
};

TEST_F(ToxTest, SetAttribReplacesTheFirstNameStartingWithTheGivenOne) {
    KVTP_toxtag* tag = Tag("break");
    KVTP_toxtag_set_attrib(tag, "timeout", -1, "5", -1);
    KVTP_toxtag_set_attrib(tag, "time", -1, "1", -1);
    EXPECT_STREQ(KVTP_toxtag_val(tag, "timeout"), "1");
    EXPECT_EQ(KVTP_toxtag_val(tag, "time"), nullptr);  // lookups need the exact name

    KVTP_toxtag_add_attrib(tag, "type", 2, "x", -1);  // "ty" prefix: matches nothing yet
    KVTP_toxtag_set_attrib(tag, "type", -1, "weak", -1);
    EXPECT_STREQ(KVTP_toxtag_val(tag, "ty"), "x");
    EXPECT_STREQ(KVTP_toxtag_val(tag, "type"), "weak");
    EXPECT_EQ(KVTP_toxtag_no_attribs(tag), 6);
    // An empty name is refused rather than overwriting the first attribute
    // (every name begins with it) or adding a nameless one, which the spurt
    // writer would turn into ill-formed XML.
    EXPECT_EQ(KVTP_toxtag_set_attrib(tag, "", -1, "v", -1), 0);
    EXPECT_STREQ(KVTP_toxtag_val(tag, "timeout"), "1");
    EXPECT_EQ(KVTP_toxtag_no_attribs(tag), 6);
}

TEST_F(ToxTest, NumericValuesKeepTrailingZerosAndDropAZeroFraction) {
    // clang-format off
    const struct { int32_t value, decimals; const char* text; } cases[] = {
        {1500, 3, "1.500"}, {1050, 3, "1.050"}, {1005, 3, "1.005"}, {2000, 3, "2"}, {0, 3, "0"},
        {250, 3, "0.250"}, {7, 1, "0.7"}, {7, 0, "7"}, {-7, -2, "-7"}, {-1500, 3, "-1.500"}};
    // clang-format on
    KVTP_toxtag* tag = Tag("t");
    for (const auto& c : cases) {
        KVTP_toxtag_set_attrib_fixedpoint(tag, "v", -1, c.value, c.decimals);
        EXPECT_STREQ(KVTP_toxtag_val(tag, "v"), c.text) << c.value << " " << c.decimals;
    }
    KVTP_toxtag_set_attrib_float(tag, "f", -1, 1.5f);
    EXPECT_STREQ(KVTP_toxtag_val(tag, "f"), "1.500");
    KVTP_toxtag_set_attrib_int(tag, "i", -1, -42);
    EXPECT_STREQ(KVTP_toxtag_val(tag, "i"), "-42");

    KVTP_toxtag_set_attrib(tag, "timeout", -1, "9", -1);  // a break tag starts afresh
    KVTP_toxtoken* token = Token();
    ASSERT_EQ(KVTP_toxtag_newbreak(tag, token, 2, 1250), 1);
    EXPECT_EQ(Printed(tag, KVTP_toxtag_print), "break closed {'type': '2','time': '1.250'}");
}

TEST_F(ToxTest, NameSetsTheSpecialFlagAndOpeningTypesDropTheFellow) {
    KVTP_toxtag* tag = Tag("x");
    for (const auto& [name, special] :
         {std::pair{"sig", 1}, {"PROSODY", 1}, {"Usel", 1}, {"sigs", 0}, {"s", 0}}) {
        KVTP_toxtag_set_name(tag, name, -1);
        EXPECT_EQ(tag->special, special) << name;
    }
    KVTP_toxtag_set_name(tag, "prosodyX", 7);
    EXPECT_STREQ(KVTP_toxtag_name(tag), "prosody");
    EXPECT_EQ(tag->special, 1);

    KVTP_toxtag* earlier = Tag("s");
    for (int32_t type : {KVTP_TOXTAG_END, KVTP_TOXTAG_MID, KVTP_TOXTAG_START, KVTP_TOXTAG_STARTEND,
                         KVTP_TOXTAG_CLOSED}) {
        tag->fellow = earlier;
        KVTP_toxtag_settype(tag, type);
        const bool continues = type == KVTP_TOXTAG_END || type == KVTP_TOXTAG_MID;
        EXPECT_EQ(KVTP_toxtag_get_fellow(tag), continues ? earlier : nullptr)
            << KVTP_toxtag_typename(type);
    }
    EXPECT_STREQ(KVTP_toxtag_typename(7), "unknown");
}

TEST_F(ToxTest, CopyTakesAttributesButNotParentOrFellow) {
    KVTP_toxtag* src = Tag("voice", KVTP_TOXTAG_MID);
    KVTP_toxtag_set_attrib(src, "name", -1, "v", -1);
    KVTP_toxtag* fellow = Tag("f");
    KVTP_toxtag* dst = Tag("other");
    dst->fellow = fellow;
    KVTP_toxtoken_addtag(Token(), dst);
    ASSERT_EQ(KVTP_toxtag_copy(src, dst), 1);
    EXPECT_EQ(Printed(dst, KVTP_toxtag_print), "voice mid {'name': 'v'}");
    EXPECT_EQ(dst->parent, nullptr);
    EXPECT_EQ(dst->fellow, fellow);
}

TEST_F(ToxTest, TagBoundaryFollowsRemovalsAndInsertionsInFrontOfIt) {
    KVTP_toxtag* a = Tag("a");
    KVTP_toxtag* c = Tag("c");
    KVTP_toxtoken* token = Token({a, Tag("b"), c});
    token->tag_boundary = 2;  // c is the first tag past the boundary

    EXPECT_EQ(KVTP_toxtoken_removetag(token, a), 1);
    EXPECT_EQ(KVTP_toxtoken_removetag(token, a), 0);
    EXPECT_EQ(token->tag_boundary, 1);
    KVTP_toxtoken_addtag_front(token, a);
    EXPECT_EQ(token->tag_boundary, 2);
    KVTP_toxtoken_move_tag(token, c, 0);  // from past the boundary to before it
    EXPECT_EQ(token->tag_boundary, 3);
    KVTP_toxtoken_move_tag(token, c, -1);
    EXPECT_EQ(token->tag_boundary, 2);
    EXPECT_EQ(KVTP_toxtoken_tagidx(token, 2), c);
    EXPECT_EQ(KVTP_toxtoken_removetag_named(token, "a"), 1);
    EXPECT_EQ(token->tag_boundary, 1);
    EXPECT_STREQ(KVTP_toxtag_name(a), "");  // cleared
}

TEST_F(ToxTest, ReplaceTagDropsNamesakesAndKeepsTheNewTag) {
    KVTP_toxtag* old1 = Tag("voice");
    KVTP_toxtag* other = Tag("s");
    KVTP_toxtag* fresh = Tag("voice");
    KVTP_toxtoken* token = Token({old1, other, Tag("voice"), fresh});
    ASSERT_EQ(KVTP_toxtoken_replacetag(token, fresh), 1);
    ASSERT_EQ(KVTP_toxtoken_notags(token), 2);
    EXPECT_EQ(KVTP_toxtoken_tagidx(token, 0), other);
    EXPECT_EQ(KVTP_toxtoken_tagidx(token, 1), fresh);
    EXPECT_EQ(old1->parent, nullptr);
}

TEST_F(ToxTest, QueriesSearchFromTheLastTag) {
    KVTP_toxtag* v1 = Tag("voice");
    KVTP_toxtag_set_attrib(v1, "name", -1, "a", -1);
    KVTP_toxtag_set_attrib(v1, "gender", -1, "f", -1);
    KVTP_toxtag* v2 = Tag("voice");
    KVTP_toxtag_set_attrib(v2, "name", -1, "b", -1);
    KVTP_toxtag* s = Tag("s");
    KVTP_toxtoken* token = Token({v1, v2, s});

    EXPECT_EQ(KVTP_toxtoken_gettag(token, "voice"), v2);
    EXPECT_EQ(KVTP_toxtoken_gettag(token, nullptr), s);
    EXPECT_STREQ(KVTP_toxtoken_tagval(token, "voice", "name"), "b");
    EXPECT_STREQ(KVTP_toxtoken_tagval(token, nullptr, "gender"), "f");
    EXPECT_EQ(KVTP_toxtoken_gettag_attrib(token, "voice", "name", "a"), v1);
    EXPECT_EQ(KVTP_toxtoken_gettag_attrib(token, nullptr, "gender", nullptr), v1);

    KVTP_toxtag* probe = KVTP_toxtag_new();
    KVTP_toxtag_init(probe, nullptr, "voice", -1, KVTP_TOXTAG_START);
    KVTP_toxtag_set_attrib(probe, "gender", -1, "f", -1);
    EXPECT_EQ(KVTP_toxtoken_gettag_match(token, probe), v1);
    KVTP_toxtag_clear_attribs(probe);
    EXPECT_EQ(KVTP_toxtoken_gettag_match(token, probe), v2);
    KVTP_toxtag_delete(probe);

    // A longer name that begins with the attribute's is another attribute.
    KVTP_toxtag_set_attrib(v2, "gendered", -1, "x", -1);
    EXPECT_EQ(KVTP_toxtoken_setdefault_tagval(token, "voice", "gender", "m"), 1);
    EXPECT_STREQ(KVTP_toxtag_val(v1, "gender"), "f");
    EXPECT_STREQ(KVTP_toxtag_val(v2, "gender"), "m");
    EXPECT_STREQ(KVTP_toxtag_val(v2, "gendered"), "x");
}

TEST_F(ToxTest, LinkGivesContinuingTagsTheirEarlierCopies) {
    KVTP_toxtag* p0 = Tag("p", KVTP_TOXTAG_START);
    KVTP_toxtag* s0 = Tag("s", KVTP_TOXTAG_START);
    KVTP_toxtoken* first = Token({p0, s0});
    KVTP_toxtag* p1 = Tag("p", KVTP_TOXTAG_MID);
    KVTP_toxtag* s1 = Tag("s", KVTP_TOXTAG_END);
    KVTP_toxtag* b1 = Tag("b", KVTP_TOXTAG_START);
    KVTP_toxtoken* second = Token({p1, s1, b1});
    b1->fellow = p0;
    KVTP_toxtoken_link(first, second);
    EXPECT_EQ(p1->fellow, p0);
    EXPECT_EQ(s1->fellow, s0);
    EXPECT_EQ(b1->fellow, nullptr);
    KVTP_toxtoken_link(nullptr, second);
    EXPECT_EQ(p1->fellow, nullptr);
}

TEST_F(ToxTest, MarkNameGivesTheCharacterPositionAndLexTagTheSyllables) {
    KVTP_toxtag* mark = Tag("mark", KVTP_TOXTAG_CLOSED);
    KVTP_toxtoken* token = Token({mark, Tag("mark", KVTP_TOXTAG_CLOSED)});
    using Pos = std::vector<int32_t>;
    for (const auto& [name, pos] :
         {std::pair{"12_14_3_5", Pos{12, 14, 3, 5}}, {"7_8", Pos{7, 8, -1, -1}}}) {
        KVTP_toxtag_set_attrib(mark, "name", -1, name, -1);
        int32_t a = 0, b = 0, c = 0, d = 0;
        EXPECT_EQ(KVTP_toxtoken_getcharpos(token, &a, &b, &c, &d), 1);
        EXPECT_EQ(Pos({a, b, c, d}), pos) << name;
    }
    int32_t a = 0, b = 0, c = 0, d = 0;
    EXPECT_EQ(KVTP_toxtoken_getcharpos(Token(), &a, &b, &c, &d), 0);
    EXPECT_EQ(Pos({a, b, c, d}), Pos({-1, -1, -1, -1}));

    KVTP_toxtag* lex = Tag("lex", KVTP_TOXTAG_STARTEND);
    token = Token({lex});
    EXPECT_EQ(KVTP_toxtoken_issilent(token), 1);  // no pronunciation at all
    EXPECT_EQ(KVTP_toxtoken_nsyl(token), 0);      // so no syllables either
    for (const auto& [spron, silent, syllables] :
         {std::tuple{"", 1, 0}, {"dog", 0, 1}, {"a|b|c", 0, 2}}) {
        KVTP_toxtag_set_attrib(lex, "spron", -1, spron, -1);
        EXPECT_EQ(KVTP_toxtoken_issilent(token), silent) << spron;
        if (!silent) {
            EXPECT_EQ(KVTP_toxtoken_nsyl(token), syllables) << spron;
        }
    }
}

TEST_F(ToxTest, PartOfSpeechJoinsOnlyAMissingSubtagAndPrintShowsTheChain) {
    KVTP_toxtoken* token = Token({Tag("s")});
    for (const auto& [pos, sub, joined] :
         {std::tuple{"nn", "pl", "nn_pl"}, {"nn_sg", "pl", "nn_sg"}, {"vb", "", "vb"}}) {
        KVTP_toxtoken_setpos(token, pos, -1, sub, -1);
        EXPECT_STREQ(KVTP_toxtoken_getpos(token), joined);
    }
    EXPECT_EQ(KVTP_toxtoken_setfeat(token, 9, 1), 0);
    KVTP_toxtoken_set_norm(token, "dogs", -1);
    KVTP_toxtoken_norm_truncate(token, 3);
    EXPECT_STREQ(KVTP_toxtoken_getnorm(token), "dog");

    KVTP_toxtoken_set(token, "do", -1);
    KVTP_toxtoken_append(token, "gs!", 1);
    KVTP_toxtoken_setid(token, 3);
    KVTP_toxtoken_setprepunc(token, "(", -1);
    KVTP_toxtoken_setpstpunc(token, ")", -1);
    KVTP_toxtoken_setfeat(token, 3, 1);
    KVTP_toxtoken_setpos(token, "nn", -1, nullptr, 0);
    KVTP_toxtoken* second = Token();
    KVTP_toxtoken_set(second, "d", -1);
    token->next = second;
    second->next = Token();
    EXPECT_EQ(Printed(token, KVTP_toxtoken_print),
              "dog3{[dog] -1[(][)][FTFFF]} pnn s start {}\n"
              " |->d-1{[] -1[][][FFFFF]} p \n"
              "   |->-1{[] -1[][][FFFFF]} p \n");
}

TEST_F(ToxTest, ClearResetsTheTokenItsTagsAndItsChain) {
    KVTP_toxtag* tag = Tag("s");
    KVTP_toxtoken* token = Token({tag});
    KVTP_toxtoken* next = Token({Tag("t")});
    KVTP_toxtoken_set(token, "x", -1);
    KVTP_toxtoken_setid(token, 4);
    token->next = next;
    next->next = token;  // a loop must not hang the clear
    KVTP_toxspurt* spurt = KVTP_toxpool_spurt(pool_);
    KVTP_toxspurt_add(spurt, token);
    KVTP_toxtoken_clear(token);
    EXPECT_EQ(token->parent, nullptr);
    EXPECT_EQ(token->id, -1);
    EXPECT_EQ(token->next, nullptr);
    EXPECT_EQ(next->next, nullptr);
    EXPECT_EQ(KVTP_toxtoken_notags(token), 0);
    EXPECT_EQ(KVTP_toxtoken_notags(next), 0);
    EXPECT_EQ(tag->parent, nullptr);
    EXPECT_STREQ(KVTP_toxtoken_get(token), "");
}

TEST_F(ToxTest, SplitMovesPunctuationAndClosedTagsAndContinuesElements) {
    KVTP_toxtag* s = Tag("s", KVTP_TOXTAG_STARTEND);
    KVTP_toxtag* mark = Tag("mark", KVTP_TOXTAG_CLOSED);
    KVTP_toxtoken* token = Token({s, mark});
    KVTP_toxtoken_setpstpunc(token, ".", -1);
    KVTP_toxspurt* spurt = KVTP_toxpool_spurt(pool_);
    KVTP_toxspurt_add(spurt, token);

    KVTP_toxtoken* tail = KVTP_toxtoken_split(token, pool_);
    ASSERT_NE(tail, nullptr);
    EXPECT_EQ(tail->split_source, token);
    EXPECT_EQ(tail->parent, spurt);
    EXPECT_STREQ(KVTP_toxtoken_getpstpunc(tail), ".");
    EXPECT_STREQ(KVTP_toxtoken_getpstpunc(token), "");
    ASSERT_EQ(KVTP_toxtoken_notags(token), 1);
    EXPECT_EQ(s->type, KVTP_TOXTAG_START);
    EXPECT_EQ(token->tag_boundary, 1);
    ASSERT_EQ(KVTP_toxtoken_notags(tail), 2);
    KVTP_toxtag* copy = KVTP_toxtoken_tagidx(tail, 0);
    EXPECT_EQ(copy->type, KVTP_TOXTAG_END);
    EXPECT_EQ(copy->fellow, s);
    EXPECT_EQ(KVTP_toxtoken_tagidx(tail, 1), mark);
    EXPECT_EQ(mark->parent, tail);

    KVTP_toxtoken_addtag(token, Tag("late"));
    EXPECT_EQ(KVTP_toxtoken_truncate(token), 1);
    EXPECT_EQ(KVTP_toxtoken_notags(token), 1);
}

TEST_F(ToxTest, StreamsFindRealTokensByNormalisedText) {
    KVTP_voidparray* stream = KVTP_voidparray_new();
    std::vector<KVTP_toxtoken*> tokens;
    for (const char* norm : {"", "a", "", "b", ""}) {
        tokens.push_back(Token());
        KVTP_toxtoken_set_norm(tokens.back(), norm, -1);
        KVTP_voidparray_add(stream, tokens.back());
    }
    EXPECT_EQ(KVTP_toxstream_next_realtk(stream, 0), tokens[1]);
    EXPECT_EQ(KVTP_toxstream_next_realtk(stream, 2), tokens[3]);
    EXPECT_EQ(KVTP_toxstream_next_realtk(stream, 4), nullptr);
    EXPECT_EQ(KVTP_toxstream_prev_realtk(stream, 2), tokens[1]);
    EXPECT_EQ(KVTP_toxstream_prev_realtk(stream, 0), nullptr);
    EXPECT_EQ(KVTP_toxstream_last_realtk(stream), 3);
    KVTP_toxtoken_set_norm(tokens[3], "", -1);
    KVTP_toxtoken_set_norm(tokens[1], "", -1);
    KVTP_toxtoken_set_norm(tokens[0], "z", -1);
    EXPECT_EQ(KVTP_toxstream_last_realtk(stream), 0);  // index 0 is never looked at
    KVTP_toxstream_release_tox(stream);
    EXPECT_STREQ(KVTP_toxtoken_getnorm(tokens[0]), "");
    KVTP_voidparray_delete(stream);
}

TEST_F(ToxTest, SpurtStreamPrintEndsEachSpurtWithItsPhrase) {
    KVTP_voidparray* stream = KVTP_voidparray_new();
    KVTP_toxspurt* a = KVTP_toxpool_spurt(pool_);
    KVTP_toxspurt_setparent(a, stream);
    KVTP_toxspurt* b = KVTP_toxpool_spurt(pool_);
    KVTP_toxspurt_add(a, Token());
    b->phrases = 3;
    b->phrase = 2;
    KVTP_voidparray_add(stream, a);
    KVTP_voidparray_add(stream, b);
    EXPECT_EQ(Printed(stream, KVTP_toxspstream_print),
              "-1{[] -1[][][FFFFF]} p \nPHRASE\nPHRASE 2 of 3\n");
    KVTP_toxspstream_release_tox(stream);
    EXPECT_EQ(KVTP_voidparray_sz(KVTP_toxspurt_tokens(a)), 0);
    EXPECT_EQ(b->phrases, 0);
    KVTP_voidparray_delete(stream);

    KVTP_toxspurt* spurt = KVTP_toxspurt_new();  // the job id is a copy that survives a clear
    std::string job = "CLIENT";
    KVTP_toxspurt_set_jobid(spurt, job.c_str(), -1);
    job[0] = 'X';
    KVTP_toxspurt_setid(spurt, 9);
    KVTP_toxspurt_clear(spurt);
    EXPECT_STREQ(KVTP_toxspurt_get_jobid(spurt), "CLIENT");
    EXPECT_EQ(KVTP_toxspurt_getid(spurt), 0);
    KVTP_toxspurt_delete(spurt);
}

// Test rules: "_" and the euro sign are illegal (converted to "-" and "E"),
// A-Z and E-acute have lower-case forms, ASCII letters and two-byte
// characters are alphabetic.
KVTP_prenorm_rules TestRules() {
    KVTP_prenorm_rules r{};
    r.convertillegal = [](void*, const char* ch, int32_t len, KVTP_dystr* out) {
        const std::string c(ch, static_cast<size_t>(len));
        if (c != "_" && c != "\xE2\x82\xAC")
            return 0;
        return KVTP_dystr_append(out, c == "_" ? "-" : "E", 1);
    };
    r.downcase = [](void*, const char* ch, int32_t len, KVTP_dystr* out) {
        if (len == 1 && ch[0] >= 'A' && ch[0] <= 'Z') {
            const char lower = static_cast<char>(ch[0] + 32);
            return KVTP_dystr_append(out, &lower, 1);
        }
        if (std::string(ch, static_cast<size_t>(len)) == "\xC3\x89")
            return KVTP_dystr_append(out, "\xC3\xA9", 2);
        return 0;
    };
    r.is_alpha = [](void*, const char* ch, int32_t len) -> int {
        return len == 2 || (len == 1 && std::isalpha(static_cast<unsigned char>(ch[0])) != 0);
    };
    return r;
}

TEST_F(ToxTest, PrenormRewritesByTheCallersRulesAndRecordsWhatItSaw) {
    const KVTP_prenorm_rules rules = TestRules();
    // Features 2-6: lower-cased, alphabetic, other, converted, capitalised.
    // clang-format off
    const struct { const char *text, *norm, *features; } cases[] = {
        {"", "", "FFFFT"}, {"Hello", "hello", "TTFFT"}, {"hello", "hello", "FTFFF"},
        {"HEllo", "hello", "TTFFF"}, {"\xC3\x89\xE2\x82\xACt", "\xC3\xA9" "Et", "TTFTT"},
        {"A1", "a1", "TTTFF"}, {"_x", "-x", "FTFTF"}, {"A_", "a-", "TTFTT"}};
    // clang-format on
    KVTP_toxtoken* token = Token();
    for (const auto& c : cases) {
        KVTP_toxtoken_set_norm(token, c.text, -1);
        for (int32_t f = 2; f <= 6; ++f)
            KVTP_toxtoken_setfeat(token, f, c.features[f - 2] == 'F');  // the opposite
        ASSERT_EQ(KVTP_toxtoken_prenorm(token, &rules), 1);
        EXPECT_STREQ(KVTP_toxtoken_getnorm(token), c.norm) << c.text;
        std::string features;
        for (int32_t f = 2; f <= 6; ++f)
            features += KVTP_toxtoken_getfeat(token, f) ? 'T' : 'F';
        EXPECT_EQ(features, c.features) << c.text;
    }
    // Without any rules every character is kept and counts as other.
    const KVTP_prenorm_rules none{};
    KVTP_toxtoken_set_norm(token, "Ab", -1);
    EXPECT_EQ(KVTP_toxtoken_prenorm(token, &none), 1);
    EXPECT_STREQ(KVTP_toxtoken_getnorm(token), "Ab");
    EXPECT_EQ(KVTP_toxtoken_getfeat(token, 4), 1);
    KVTP_malloc_fail_after(0);  // out of memory: refused, token unchanged
    EXPECT_EQ(KVTP_toxtoken_prenorm(token, &rules), 0);
    KVTP_malloc_fail_after(-1);
    EXPECT_STREQ(KVTP_toxtoken_getnorm(token), "Ab");
    EXPECT_EQ(KVTP_toxtoken_prenorm(nullptr, &rules), 0);
    EXPECT_EQ(KVTP_toxtoken_prenorm(token, nullptr), 0);
}

TEST(ToxPoolTest, HandsOutFromTheStartAgainAfterAClear) {
    KVTP_toxpool* pool = KVTP_toxpool_new(0, 2, 0);
    KVTP_toxspurt owner{};
    KVTP_toxtoken* first = KVTP_toxpool_token(pool);
    KVTP_toxtoken_setparent(first, &owner);
    KVTP_toxtoken_setparent(KVTP_toxpool_token(pool), &owner);
    KVTP_toxpool_clear(pool);
    EXPECT_EQ(KVTP_toxpool_token(pool), first);
    KVTP_toxpool_delete(pool);
}

TEST(ToxPoolTest, WarnsWhenAnObjectWouldBeHandedOutTwice) {
    KVTP_toxpool* pool = KVTP_toxpool_new(0, 1, 2);
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
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(KVTP_toxpool_tag(pool), KVTP_voidparray_idx(pool->tags, 2));
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    KVTP_toxpool_delete(pool);
}

}  // namespace
