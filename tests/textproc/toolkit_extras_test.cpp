// SPDX-License-Identifier: MIT
// The containers on no product path (hash, dictionaries, lists, compact
// array and lookup): each public function's main contract once.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "textproc/toolkit/carray.h"
#include "textproc/toolkit/complkp.h"
#include "textproc/toolkit/dict.h"
#include "textproc/toolkit/hash.h"
#include "textproc/toolkit/hashstrarray.h"
#include "textproc/toolkit/list.h"
#include "textproc/toolkit/oswrappers.h"
#include "textproc/toolkit/strlist.h"

namespace {

TEST(Hash, KeysHashExactlyAndEntriesAreUnique) {
    // clang-format off
    const struct { const char* key; int32_t len; uint32_t value; } keys[] = {
        {"ab", 2, 0x038D7718u}, {"\xFF\xFE\x01", 3, 0x0BFC1443u}, {"abc", 0, 0x1B135E0Fu},
        {"abcd", 3, 0x1B135E0Fu}};
    // clang-format on
    for (const auto& k : keys)
        EXPECT_EQ(KVTP_hash_value(k.key, k.len), k.value) << k.key << " len " << k.len;
    unsigned char out[4] = {9, 9, 9, 9};  // 12 bits: two bytes written
    EXPECT_EQ(KVTP_hash_function("ab", 2, out, 12), 0x0718u);
    EXPECT_EQ(out[2], 9);
    KVTP_hash* h = KVTP_hash_new(8, 1);
    ASSERT_NE(KVTP_hash_insert_uniq(h, "abc", 3, 42), nullptr);
    EXPECT_EQ(KVTP_hash_match(h, "abcdef", 3)->value, 42);
    EXPECT_EQ(KVTP_hash_insert_uniq(h, "abc", -1, 7), nullptr);  // already there
    EXPECT_EQ(KVTP_hash_remove(h, "abc", -1), 1);
    EXPECT_EQ(KVTP_hash_match(h, "abc", -1), nullptr);
    KVTP_hash_delete(h);
}

TEST(Dict, NumbersWordsFromOneTimesTheMultiplierAndTheCompactFormAgrees) {
    KVTP_dict* d = KVTP_dict_new_empty(0);
    for (const char* w : {"pear", "apple", "\xC3\xA9t\xC3\xA9"})
        KVTP_dict_add_entry(d, w, -1);
    EXPECT_EQ(KVTP_dict_add_entry(d, "apple", 5), 2);
    KVTP_cdict* c = KVTP_cdict_new(d);
    for (const char* w : {"pear", "apple", "\xC3\xA9t\xC3\xA9", "app", ""})
        EXPECT_EQ(KVTP_cdict_lookup_word(c, w, -1), KVTP_dict_lookup_word(d, w, -1)) << w;
    EXPECT_STREQ(KVTP_cdict_lookup_index(c, 2), "apple");
    KVTP_cdict_delete(c);
    d->multiplier = 10;
    EXPECT_EQ(KVTP_dict_add_entry(d, "plum", -1), 40);
    EXPECT_STREQ(KVTP_dict_lookup_index(d, 40), "plum");
    EXPECT_STREQ(KVTP_dict_lookup_index(d, 25), "");
    KVTP_dict_delete(d);

    KVTP_hashstrarray* h = KVTP_hashstrarray_new(16);  // word -> string; adding replaces
    EXPECT_EQ(KVTP_hashstrarray_add(h, "voice", -1, "anna", -1), 1);
    EXPECT_EQ(KVTP_hashstrarray_add(h, "voice", -1, "ben", -1), 0);
    EXPECT_STREQ(KVTP_hashstrarray_lookup(h, "voice", -1), "ben");
    KVTP_hashstrarray_delete(h);
}

TEST(List, EmptyHeadIsFilledFirstAndPoppingTheLastLeavesAnEmptyList) {
    KVTP_list* l = KVTP_list_new();
    KVTP_list_append(l, KVTP_strdup("b"));
    KVTP_list* head = KVTP_list_push(l, KVTP_strdup("a"));
    EXPECT_STREQ(static_cast<char*>(KVTP_list_idx(head, 1)), "b");
    KVTP_list* popped = nullptr;
    KVTP_list* rest = KVTP_list_pop(head, &popped);
    EXPECT_STREQ(static_cast<char*>(popped->val), "a");
    KVTP_list_delete(popped);
    KVTP_list* empty = KVTP_list_pop(rest, &popped);
    EXPECT_EQ(KVTP_list_sz(empty), 0);
    EXPECT_EQ(KVTP_list_push(empty, KVTP_strdup("only")), empty);  // fills the empty head
    KVTP_list_delete(popped);
    KVTP_list_delete(empty);

    KVTP_strlist* sl = KVTP_strlist_new();  // the string list copies its strings
    EXPECT_EQ(KVTP_strlist_push(sl, "abc", 2), sl);
    KVTP_strlist_append(sl, "tail", -1);
    EXPECT_STREQ(KVTP_strlist_idx(sl, 1), "tail");
    EXPECT_STREQ(KVTP_strlist_val(sl), "ab");
    KVTP_strlist_delete(sl);
}

TEST(Carray, NarrowestWidthHoldsEveryValueAndPacksWithItsHeader) {
    const struct { std::vector<int32_t> values; int32_t width;
    } cases[] = {{{0, 255}, 1}, {{-129}, 2}, {{INT32_MIN, INT32_MAX}, 4}};
    for (const auto& c : cases) {
        KVTP_carray* a = KVTP_carray_new(c.values.data(), int32_t(c.values.size()));
        EXPECT_EQ(a->element_size, c.width);
        unsigned char packed[64] = {};
        const int64_t n = KVTP_carray_pack(a, packed, sizeof packed);
        EXPECT_EQ(KVTP_carray_pack(a, packed, n - 1), 0);
        int64_t used = 0;
        KVTP_carray* b = KVTP_carray_unpack(packed, n, &used);
        EXPECT_EQ(used, n);
        for (size_t i = 0; i <= c.values.size(); ++i)  // 0 past the end
            EXPECT_EQ(KVTP_carray_idx(b, int32_t(i)), i < c.values.size() ? c.values[i] : 0);
        KVTP_carray_delete(a);
        KVTP_carray_delete(b);
    }
}

TEST(Complkp, FindsEveryKeyAndNoOtherAcrossBlocks) {
    // Keys for several blocks, given unsorted, some sharing a prefix longer
    // than the 255 bytes a shared count holds.
    std::vector<std::string> keys;
    std::vector<const char*> ptrs;
    std::vector<int32_t> values;
    for (int i = 39; i >= 0; --i) {
        keys.push_back((i % 3 == 0 ? std::string(300, 's') : "") + "k" + std::to_string(i));
        values.push_back(i * 1000 - 7);
    }
    for (const std::string& k : keys)
        ptrs.push_back(k.c_str());
    KVTP_complkp* c = KVTP_complkp_new(ptrs.data(), values.data(), int32_t(ptrs.size()));
    for (size_t i = 0; i < keys.size(); ++i) {
        int32_t v = 0;
        EXPECT_EQ(KVTP_complkp_lookup(c, ptrs[i], -1, &v), 1) << keys[i];
        EXPECT_EQ(v, values[i]);
        EXPECT_EQ(KVTP_complkp_lookup(c, (keys[i] + "x").c_str(), -1, &v), 0);
    }
    for (const char* absent : {"", "k", "zz"})
        EXPECT_EQ(KVTP_complkp_lookup(c, absent, -1, nullptr), 0) << absent;
    KVTP_complkp_delete(c);
    const char* twice[] = {"a", "b", "a"};
    EXPECT_EQ(KVTP_complkp_new(twice, values.data(), 3), nullptr);
}

}  // namespace
