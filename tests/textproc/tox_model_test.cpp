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
    ASSERT_EQ(KVTP_toxtag_newbreak(tag, Token(), 2, 1250), 1);
    KVTP_dystr* out = KVTP_dystr_new(nullptr, 64);
    KVTP_toxtag_print(tag, out);
    EXPECT_STREQ(KVTP_dystr_cstr(out), "break closed {'type': '2','time': '1.250'}");
    KVTP_dystr_delete(out);
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

    // A longer name that begins with the attribute's is another attribute.
    KVTP_toxtag_set_attrib(v2, "gendered", -1, "x", -1);
    EXPECT_EQ(KVTP_toxtoken_setdefault_tagval(token, "voice", "gender", "m"), 1);
    EXPECT_STREQ(KVTP_toxtag_val(v1, "gender"), "f");
    EXPECT_STREQ(KVTP_toxtag_val(v2, "gender"), "m");
    EXPECT_STREQ(KVTP_toxtag_val(v2, "gendered"), "x");
}

TEST_F(ToxTest, LexTagGivesSilenceAndSyllables) {
    KVTP_toxtag* lex = Tag("lex", KVTP_TOXTAG_STARTEND);
    KVTP_toxtoken* token = Token({lex});
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

TEST_F(ToxTest, SplitMovesPunctuationAndClosedTagsAndContinuesElements) {
    KVTP_toxtag* s = Tag("s", KVTP_TOXTAG_STARTEND);
    KVTP_toxtag* mark = Tag("mark", KVTP_TOXTAG_CLOSED);
    KVTP_toxtoken* token = Token({s, mark});
    KVTP_toxtoken_setpstpunc(token, ".", -1);
    KVTP_toxspurt* spurt = KVTP_toxpool_spurt(pool_);
    KVTP_toxspurt_add(spurt, token);

    KVTP_toxtoken* tail = KVTP_toxtoken_split(token, pool_);
    ASSERT_NE(tail, nullptr);
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

TEST(ToxPool, WarnsWhenAnObjectWouldBeHandedOutTwice) {
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
    KVTP_toxpool_delete(pool);
}

}  // namespace
