// SPDX-License-Identifier: MIT
// Pointer and number arrays, string arrays and tables, lists, hash, dictionary.
#include <gtest/gtest.h>

#include <string>

#include "textproc/toolkit/dict.h"
#include "textproc/toolkit/hash.h"
#include "textproc/toolkit/hashstrarray.h"
#include "textproc/toolkit/intarray.h"
#include "textproc/toolkit/list.h"
#include "textproc/toolkit/oswrappers.h"
#include "textproc/toolkit/strarray.h"
#include "textproc/toolkit/strlist.h"
#include "textproc/toolkit/voidparray.h"

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
    KVTP_strarray_split(a, "whole", 3, "");
    EXPECT_EQ(joined(a), "who");
    KVTP_strarray_clear(a);
    KVTP_strarray_split_chars(a, "x y;z", -1, " ;");
    EXPECT_EQ(joined(a), "x|y|z");
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

TEST(Hash, KeysHashExactlyAndFunctionWritesOnlyTheBytesOfItsBitWidth) {
    // clang-format off
    const struct { const char* key; int32_t len; uint32_t value; } keys[] = {
        {"", -1, 0u}, {"a", 1, 0xEA309C33u}, {"ab", 2, 0x038D7718u}, {"abc", 3, 0x1B135E0Fu},
        {"hello world", -1, 857718151u}, {"\xFF\xFE\x01", 3, 0x0BFC1443u} /* unsigned bytes */,
        {"abc", 0, 0x1B135E0Fu}, {"abc", 77, 0x1B135E0Fu}, {"abcd", 3, 0x1B135E0Fu}};
    // clang-format on
    for (const auto& k : keys)
        EXPECT_EQ(KVTP_hash_value(k.key, k.len), k.value) << k.key << " len " << k.len;
    // The bytes of a bit width: only ceil(bits / 8) written, a zero byte as 1.
    unsigned char out[4] = {9, 9, 9, 9};
    EXPECT_EQ(KVTP_hash_function("ab", 2, out, 32), 0x038D7718u);
    EXPECT_EQ(out[0], 0x18);
    EXPECT_EQ(out[3], 0x03);
    out[2] = 9;
    EXPECT_EQ(KVTP_hash_function("ab", 2, out, 12), 0x0718u);
    EXPECT_EQ(out[1], 0x07);
    EXPECT_EQ(out[2], 9);
    EXPECT_EQ(KVTP_hash_function("", -1, out, 32), 0x01010101u);
    EXPECT_EQ(KVTP_hash_function("ab", 2, out, 0), 0u);
    EXPECT_EQ(KVTP_hash_function("ab", 2, nullptr, 40), 0x038D7718u);
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

TEST(Voidparray, InsertClampsAndRemoveSkipsNullSlots) {
    KVTP_voidparray* a = KVTP_voidparray_newcustom(10, 8, 64);
    int x = 1, y = 2, z = 3;
    EXPECT_EQ(KVTP_voidparray_end(a), nullptr);
    KVTP_voidparray_add(a, &x);
    KVTP_voidparray_add(a, &z);
    KVTP_voidparray_insert_item(a, &y, 1);
    KVTP_voidparray_insert_item(a, nullptr, 99);
    EXPECT_EQ(KVTP_voidparray_sz(a), 4);
    EXPECT_EQ(KVTP_voidparray_idx(a, 1), &y);
    EXPECT_EQ(KVTP_voidparray_end(a), nullptr);
    EXPECT_EQ(KVTP_voidparray_idx(a, 4), nullptr);
    EXPECT_EQ(KVTP_voidparray_remove_item(a, 3), nullptr);  // a null slot is not removed
    EXPECT_EQ(KVTP_voidparray_sz(a), 4);
    EXPECT_EQ(KVTP_voidparray_remove_item(a, 0), &x);
    EXPECT_EQ(KVTP_voidparray_sz(a), 3);
    EXPECT_EQ(KVTP_voidparray_remove_item(a, 7), nullptr);
    EXPECT_EQ(KVTP_voidparray_replace(a, 2, &x), 1);
    EXPECT_EQ(KVTP_voidparray_end(a), &x);
    EXPECT_EQ(KVTP_voidparray_replace(a, 3, &x), 0);
    KVTP_voidparray_delete_range(a, 0, 2);
    EXPECT_EQ(KVTP_voidparray_idx(a, 0), &x);
    KVTP_voidparray_delete(a);
}

TEST(NumberArrays, AddReplaceAndIndexWithinCount) {
    KVTP_intarray* ia = KVTP_intarray_new();
    for (int32_t i = 0; i < 20; ++i)
        KVTP_intarray_add(ia, i * i);
    EXPECT_EQ(*KVTP_intarray_idx(ia, 19), 361);
    EXPECT_EQ(KVTP_intarray_idx(ia, 20), nullptr);
    KVTP_intarray_replace(ia, 0, -5);
    EXPECT_EQ(*KVTP_intarray_idx(ia, 0), -5);
    KVTP_intarray_delete(ia);
    KVTP_complexdoublearray* ca = KVTP_complexdoublearray_new();
    KVTP_complexdoublearray_add(ca, 1.5, -2.0);
    KVTP_complexdoublearray_add(ca, 3.0, 4.0);
    EXPECT_EQ(KVTP_complexdoublearray_idx(ca, 0)->im, -2.0);
    EXPECT_EQ(KVTP_complexdoublearray_idx(ca, 1)->re, 3.0);
    KVTP_complexdoublearray_delete(ca);
    KVTP_doublearray* da = KVTP_doublearray_new();
    KVTP_doublearray_add(da, 0.25);
    EXPECT_EQ(*KVTP_doublearray_idx(da, 0), 0.25);
    KVTP_doublearray_delete(da);
}

TEST(Str2str, LastPairWithExactKeyWins) {
    KVTP_str2str* t = KVTP_str2str_new(64);
    KVTP_str2str_add(t, "log|level", -1, "INFO", -1);
    KVTP_str2str_add(t, "log|levelx", -1, "no", -1);
    KVTP_str2str_add(t, "log|level", -1, "DEBUG", -1);
    EXPECT_EQ(KVTP_str2str_nrkeys(t), 3);
    EXPECT_STREQ(KVTP_str2str_lookup(t, "log|level", -1), "DEBUG");
    EXPECT_STREQ(KVTP_str2str_lookup(t, "log|levelxyz", 9), "DEBUG");
    EXPECT_STREQ(KVTP_str2str_lookup(t, "log|level", 40), "DEBUG");  // past the NUL
    EXPECT_EQ(KVTP_str2str_lookup(t, "log|leve", -1), nullptr);
    EXPECT_EQ(KVTP_str2str_lookup(t, nullptr, 3), nullptr);
    ASSERT_EQ(KVTP_str2str_replace_val(t, "log|level", -1, "WARN", -1), 1);
    EXPECT_STREQ(KVTP_str2str_val(t, 2), "WARN");
    EXPECT_STREQ(KVTP_str2str_val(t, 0), "INFO");
    EXPECT_EQ(KVTP_str2str_replace_val(t, "absent", -1, "x", -1), 0);
    EXPECT_STREQ(KVTP_str2str_key(t, 1), "log|levelx");
    EXPECT_EQ(KVTP_str2str_key(t, 3), nullptr);
    KVTP_str2str_delete(t);
}

TEST(List, EmptyHeadIsFilledFirstAndPoppingTheLastLeavesAnEmptyList) {
    KVTP_list* l = KVTP_list_new();
    EXPECT_EQ(KVTP_list_sz(l), 0);
    KVTP_list_append(l, KVTP_strdup("b"));
    EXPECT_EQ(KVTP_list_sz(l), 1);
    KVTP_list_append(l, KVTP_strdup("c"));
    KVTP_list* head = KVTP_list_push(l, KVTP_strdup("a"));
    EXPECT_NE(head, l);
    EXPECT_EQ(KVTP_list_sz(head), 3);
    EXPECT_STREQ(static_cast<char*>(KVTP_list_idx(head, 2)), "c");
    EXPECT_STREQ(static_cast<char*>(KVTP_list_val(KVTP_list_last(head))), "c");
    EXPECT_EQ(KVTP_list_idx(head, 3), nullptr);
    KVTP_list* popped = nullptr;
    KVTP_list* rest = KVTP_list_pop(head, &popped);
    EXPECT_STREQ(static_cast<char*>(popped->val), "a");
    EXPECT_EQ(popped->next, nullptr);
    KVTP_list_delete(popped);
    EXPECT_EQ(KVTP_list_sz(rest), 2);
    KVTP_list_clear(rest);
    EXPECT_EQ(KVTP_list_sz(rest), 0);
    KVTP_list_append(rest, KVTP_strdup("only"));
    KVTP_list* empty = KVTP_list_pop(rest, &popped);
    EXPECT_EQ(KVTP_list_sz(empty), 0);
    EXPECT_EQ(KVTP_list_push(empty, nullptr), empty);
    KVTP_list_delete(popped);
    KVTP_list_delete(empty);

    KVTP_strlist* sl = KVTP_strlist_new();  // the string list copies its strings
    EXPECT_EQ(KVTP_strlist_push(sl, "abc", 2), sl);
    KVTP_strlist_append(sl, "tail", -1);
    EXPECT_STREQ(KVTP_strlist_val(sl), "ab");
    EXPECT_STREQ(KVTP_strlist_idx(sl, 1), "tail");
    EXPECT_EQ(KVTP_strlist_sz(sl), 2);
    KVTP_strlist_delete(sl);
}

}  // namespace
