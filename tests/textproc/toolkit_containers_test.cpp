// String arrays, hash, dictionary and word table.
#include <gtest/gtest.h>

#include <string>

#include "textproc/toolkit/dict.h"
#include "textproc/toolkit/hash.h"
#include "textproc/toolkit/hashstrarray.h"
#include "textproc/toolkit/oswrappers.h"
#include "textproc/toolkit/strarray.h"

namespace {

std::string joined(const KVTP_strarray* a) {
    char* j = KVTP_strarray_join(a, "|");
    std::string s = j;
    KVTP_free(j);
    return s;
}

TEST(Strarray, OwnsCopiesEditsAndSplits) {
    KVTP_strarray* a = KVTP_strarray_new();
    char word[] = "word";
    KVTP_strarray_add(a, word, -1);
    word[0] = 'W';
    KVTP_strarray_add(a, "abcdef", 3);
    KVTP_strarray_add(a, "ab", 30);
    KVTP_strarray_add_nocopy(a, KVTP_strdup("given"));
    KVTP_strarray_insert_item(a, "first", -1, 0);
    EXPECT_EQ(joined(a), "first|word|abc|ab|given");
    KVTP_strarray_replace(a, 2, "new", -1);
    KVTP_strarray_remove_item(a, 0);
    EXPECT_EQ(KVTP_strarray_remove_item(a, 10), 0);
    EXPECT_EQ(joined(a), "word|new|ab|given");
    EXPECT_EQ(KVTP_strarray_idx(a, 5), nullptr);

    KVTP_strarray_clear(a);
    KVTP_strarray_split(a, "a::b::", -1, "::");
    EXPECT_EQ(joined(a), "a|b|");
    KVTP_strarray_clear(a);
    KVTP_strarray_split_ws(a, "  one \t two  ", -1);
    EXPECT_EQ(joined(a), "one|two");
    KVTP_strarray_delete(a);
}

TEST(Strarray, ConstArrayOverOneBlockOwnsNothing) {
    static const char block[] = "alpha\0beta\0\0gamma";
    const int64_t live = KVTP_malloc_live();
    KVTP_strarray* a = KVTP_strarray_new_const(block, 4);
    EXPECT_STREQ(KVTP_strarray_idx(a, 1), "beta");
    EXPECT_STREQ(KVTP_strarray_idx(a, 2), "");
    EXPECT_STREQ(KVTP_strarray_idx(a, 3), "gamma");
    KVTP_strarray_delete(a);
    EXPECT_EQ(KVTP_malloc_live(), live);
}

TEST(Hash, KeysHashExactly) {
    // clang-format off
    const struct { const char* key; int32_t len; uint32_t value; } keys[] = {
        {"", -1, 0u}, {"a", 1, 0xEA309C33u}, {"ab", 2, 0x038D7718u}, {"abc", 3, 0x1B135E0Fu},
        {"hello world", -1, 857718151u}, {"\xFF\xFE\x01", 3, 0x0BFC1443u} /* unsigned bytes */,
        {"abc", 0, 0x1B135E0Fu}, {"abc", 77, 0x1B135E0Fu}, {"abcd", 3, 0x1B135E0Fu}};
    // clang-format on
    for (const auto& k : keys)
        EXPECT_EQ(KVTP_hash_value(k.key, k.len), k.value) << k.key << " len " << k.len;
}

TEST(Hash, EntriesLandInTheirBucketAndKeysAreUnique) {
    KVTP_hash* h = KVTP_hash_new(8, 1);
    ASSERT_NE(KVTP_hash_insert_uniq(h, "abc", 3, 42), nullptr);
    EXPECT_EQ(KVTP_hash_match(h, "abcdef", 3)->value, 42);
    EXPECT_EQ(KVTP_hash_match(h, "ab", 2), nullptr);
    EXPECT_EQ(KVTP_hash_insert_uniq(h, "abc", -1, 7), nullptr);  // already there
    EXPECT_EQ(KVTP_hash_match(h, "abc", -1)->value, 42);
    static const char kConst[] = "constant";
    EXPECT_EQ(KVTP_hash_insert_uniq_const(h, kConst, -1, 5), kConst);
    EXPECT_EQ(KVTP_hash_sz(h), 2);
    EXPECT_EQ(KVTP_hash_remove(h, "constant", -1), 1);
    EXPECT_EQ(KVTP_hash_match(h, kConst, -1), nullptr);
    KVTP_hash_delete(h);
    KVTP_hash* frozen = KVTP_hash_new(4, 0);
    EXPECT_EQ(KVTP_hash_insert_uniq(frozen, "x", 1, 1), nullptr);
    KVTP_hash_delete(frozen);
}

TEST(Dict, NumbersWordsFromOneTimesTheMultiplier) {
    KVTP_dict* d = KVTP_dict_new_empty(0);
    EXPECT_EQ(KVTP_dict_add_entry(d, "one", -1), 1);
    EXPECT_EQ(KVTP_dict_add_entry(d, "two", -1), 2);
    EXPECT_EQ(KVTP_dict_add_entry(d, "one", 3), 1);
    EXPECT_EQ(KVTP_dict_size(d), 2);
    EXPECT_EQ(KVTP_dict_lookup_word(d, "two", -1), 2);
    EXPECT_EQ(KVTP_dict_lookup_word(d, "three", -1), 0);
    EXPECT_STREQ(KVTP_dict_lookup_index(d, 2), "two");
    EXPECT_STREQ(KVTP_dict_lookup_index(d, 0), "");
    EXPECT_STREQ(KVTP_dict_lookup_index(d, 3), "");
    d->multiplier = 10;
    EXPECT_EQ(KVTP_dict_lookup_word(d, "two", -1), 20);
    EXPECT_EQ(KVTP_dict_add_entry(d, "three", -1), 30);
    EXPECT_STREQ(KVTP_dict_lookup_index(d, 30), "three");
    EXPECT_STREQ(KVTP_dict_lookup_index(d, 25), "");
    KVTP_dict_delete(d);

    KVTP_hashstrarray* h = KVTP_hashstrarray_new(16);  // word -> string; adding replaces
    EXPECT_EQ(KVTP_hashstrarray_add(h, "voice", -1, "anna", -1), 1);
    EXPECT_EQ(KVTP_hashstrarray_add(h, "rate", -1, "fast", -1), 1);
    EXPECT_EQ(KVTP_hashstrarray_add(h, "voice", -1, "ben", -1), 0);
    EXPECT_STREQ(KVTP_hashstrarray_lookup(h, "voice", -1), "ben");
    EXPECT_STREQ(KVTP_hashstrarray_lookup(h, "rate", -1), "fast");
    EXPECT_EQ(KVTP_hashstrarray_lookup(h, "pitch", -1), nullptr);
    EXPECT_EQ(KVTP_hashstrarray_sz(h), 2);
    KVTP_hashstrarray_delete(h);
}

}  // namespace
