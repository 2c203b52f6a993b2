// SPDX-License-Identifier: MIT
// Allocation failure: every growing operation is tried with the n-th
// allocation failing, for n = 0, 1, ... until it succeeds. Each failed try
// must leave the container exactly as it was and leak nothing. (Readers of
// stored records are tried the same way beside their round trips.)
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "textproc/toolkit/dict.h"
#include "textproc/toolkit/dystr.h"
#include "textproc/toolkit/dystrarray.h"
#include "textproc/toolkit/hash.h"
#include "textproc/toolkit/hashstrarray.h"
#include "textproc/toolkit/list.h"
#include "textproc/toolkit/oswrappers.h"
#include "textproc/toolkit/strarray.h"
#include "textproc/toolkit/string_ops.h"
#include "textproc/toolkit/strlist.h"
#include "textproc/toolkit/voidparray.h"

namespace {

// Every array field and the used bytes, for before/after comparison.
std::string snapshot(const KVTP_array* a) {
    std::string s = std::to_string(a->growth_step) + "/" + std::to_string(a->keep_limit) + "/" +
                    std::to_string(a->capacity) + "/" + std::to_string(a->count) + "/" +
                    std::to_string(reinterpret_cast<uintptr_t>(a->data)) + ":";
    s.append(a->data == nullptr ? "" : a->data,
             static_cast<size_t>(a->count) * static_cast<size_t>(a->element_size));
    return s;
}

// Runs operations with failures injected until they succeed, checking the
// container `state` describes after each failed try.
struct AllOrNothing {
    std::function<std::string()> state;

    // Returns the number of allocations the operation needed.
    int operator()(const std::function<bool()>& op) const {
        struct Off {  // fault injection ends however the test does
            ~Off() { KVTP_malloc_fail_after(-1); }
        } off;
        for (int n = 0; n < 200; ++n) {
            const std::string before = state();
            const int64_t live = KVTP_malloc_live();
            KVTP_malloc_fail_after(n);
            const bool ok = op();
            KVTP_malloc_fail_after(-1);
            if (ok)
                return n;
            EXPECT_EQ(state(), before) << "after failing allocation " << n;
            EXPECT_EQ(KVTP_malloc_live(), live) << "leak after failing allocation " << n;
        }
        ADD_FAILURE() << "operation never succeeded";
        return -1;
    }
};

// A constructor either builds the object or frees everything it took; the
// delete function frees what it built.
template <typename Make, typename Delete>
int Construct(Make make, Delete del) {
    const int64_t live = KVTP_malloc_live();
    const int n = AllOrNothing{[] { return std::string(); }}([&] {
        auto* p = make();
        del(p);
        return p != nullptr;
    });
    EXPECT_EQ(KVTP_malloc_live(), live);
    return n;
}

TEST(AllocationFailure, ConstructorsLeakNothing) {
    Construct([] { return KVTP_dystr_new("text", 10); }, KVTP_dystr_delete);
    Construct([] { return KVTP_dystrarray_new(4); }, KVTP_dystrarray_delete);
    EXPECT_EQ(Construct([] { return KVTP_hashstrarray_new(8); }, KVTP_hashstrarray_delete), 6);
    Construct([] { return KVTP_strarray_new_const("a\0b", 2); }, KVTP_strarray_delete);
    Construct([] { return KVTP_str2str_new(4); }, KVTP_str2str_delete);
    KVTP_dict* d = KVTP_dict_new_empty(4);
    for (const char* w : {"one", "two", "three"})
        KVTP_dict_add_entry(d, w, -1);
    Construct([&] { return KVTP_cdict_new(d); }, KVTP_cdict_delete);
    KVTP_dict_delete(d);
}

TEST(AllocationFailure, DystrIsUnchangedByFailedGrowth) {
    KVTP_dystr* s = KVTP_dystr_new("0123456", 0);  // full: any append grows
    const AllOrNothing t{[&] { return snapshot(s); }};
    EXPECT_EQ(t([&] { return KVTP_dystr_append(s, "abc", -1) == 1; }), 1);
    KVTP_dystr_extend(s, -1);
    EXPECT_GT(t([&] {
                  return KVTP_dystr_append4(s, KVTP_dystr_cstr(s), -1, "x", 1, "y", 1, "z", 1) == 1;
              }),
              0);
    EXPECT_GT(t([&] { return KVTP_dystr_insert_range(s, KVTP_dystr_cstr(s), -1, 3) == 1; }), 0);
    EXPECT_GT(t([&] { return KVTP_dystr_printf(s, "%0300d", 1) == 1; }), 0);
    const std::string big(1000, 'r');
    EXPECT_GT(t([&] { return KVTP_dystr_replace(s, big.c_str(), -1) == 1; }), 0);
    EXPECT_EQ(KVTP_dystr_cstr(s), big);
    KVTP_dystr_delete(s);
}

TEST(AllocationFailure, DystrarrayIsUnchangedByFailedGrowth) {
    KVTP_dystrarray* a = KVTP_dystrarray_newcustom(2, 4, 2, 4, 64);  // full
    const AllOrNothing t{[&] { return snapshot(a); }};
    EXPECT_EQ(t([&] { return KVTP_dystrarray_add(a, "entry", -1) == 1; }), 1);
    const std::string big(300, 'L');
    EXPECT_GT(t([&] { return KVTP_dystrarray_replace(a, 0, big.c_str(), -1) == 1; }), 0);
    EXPECT_GT(t([&] { return KVTP_dystrarray_append(a, 1, KVTP_dystrarray_idx(a, 0), -1) == 1; }),
              0);
    EXPECT_GT(t([&] { return KVTP_dystrarray_add_delim(a, "p,q,r,s,t,u", -1, ',') == 1; }), 0);
    for (int i = 0; i < 100; ++i)
        KVTP_dystrarray_add(a, "grow past keep", -1);
    EXPECT_GT(t([&] { return KVTP_dystrarray_clear(a, 3) == 1; }), 0);
    EXPECT_EQ(KVTP_dystrarray_sz(a), 3);
    KVTP_dystrarray_delete(a);
}

TEST(AllocationFailure, StringArraysAreUnchangedByFailedGrowth) {
    KVTP_strarray* a = KVTP_strarray_new();
    const AllOrNothing t{[&] { return snapshot(a); }};
    EXPECT_EQ(t([&] { return KVTP_strarray_add(a, "one", -1) == 1; }), 3);
    EXPECT_GT(t([&] { return KVTP_strarray_split(a, "a,b,c,d,e,f,g", -1, ",") == 1; }), 7);
    EXPECT_GT(t([&] { return KVTP_strarray_split_ws(a, " x  y ", -1) == 1; }), 0);
    EXPECT_GT(t([&] { return KVTP_strarray_insert_item(a, "i", -1, 2) == 1; }), 0);
    t([&] { return KVTP_strarray_replace(a, 0, "r", -1) == 1; });
    EXPECT_EQ(KVTP_strarray_sz(a), 11);
    KVTP_strarray_delete(a);

    KVTP_str2str* s = KVTP_str2str_new(0);
    EXPECT_GT(AllOrNothing{[&] { return snapshot(s); }}(
                  [&] { return KVTP_str2str_add(s, "k", -1, "v", -1) == 1; }),
              2);
    EXPECT_STREQ(KVTP_str2str_lookup(s, "k", -1), "v");
    KVTP_str2str_delete(s);
}

TEST(AllocationFailure, PointerArrayAndListsAreUnchangedByFailedGrowth) {
    KVTP_voidparray* a = KVTP_voidparray_new();
    int x = 0;
    EXPECT_EQ(AllOrNothing{[&] { return snapshot(a); }}(
                  [&] { return KVTP_voidparray_insert_item(a, &x, 0) == 1; }),
              1);
    KVTP_voidparray_delete(a);

    KVTP_strlist* l = KVTP_strlist_new();
    const AllOrNothing t{[&] { return std::to_string(KVTP_strlist_sz(l)); }};
    KVTP_strlist_append(l, "head", -1);
    EXPECT_EQ(t([&] { return KVTP_strlist_append(l, "tail", -1) == 1; }), 2);
    KVTP_strlist* head = nullptr;
    t([&] { return (head = KVTP_strlist_push(l, "new", -1)) != nullptr; });
    EXPECT_EQ(KVTP_strlist_sz(head), 3);
    KVTP_strlist_delete(head);

    KVTP_list* single = KVTP_list_new();
    KVTP_list_append(single, KVTP_strdup("only"));
    KVTP_list* popped = nullptr;
    KVTP_list* rest = nullptr;
    AllOrNothing{[&] { return std::string(static_cast<char*>(KVTP_list_val(single))); }}(
        [&] { return (rest = KVTP_list_pop(single, &popped)) != nullptr; });
    KVTP_list_delete(popped);
    KVTP_list_delete(rest);
}

TEST(AllocationFailure, HashDictionaryAndTableAreUnchangedByFailedGrowth) {
    KVTP_hash* h = KVTP_hash_new(4, 1);
    EXPECT_EQ(AllOrNothing{[&] { return std::to_string(KVTP_hash_sz(h)); }}(
                  [&] { return KVTP_hash_insert_uniq(h, "key", -1, 1) != nullptr; }),
              2);
    KVTP_hash_delete(h);

    KVTP_dict* d = KVTP_dict_new_empty(8);
    const AllOrNothing dt{[&] {
        std::string s = std::to_string(KVTP_dict_size(d)) + ":" +
                        std::to_string(KVTP_hash_sz(d->hash)) + ":" + snapshot(d->index);
        for (int i = 1; i <= KVTP_dict_size(d); ++i)
            s += KVTP_dict_lookup_index(d, i);
        return s;
    }};
    EXPECT_EQ(dt([&] { return KVTP_dict_add_entry(d, "w1", -1) == 1; }), 3);
    EXPECT_EQ(KVTP_dict_lookup_word(d, "w1", -1), 1);
    KVTP_dict_delete(d);

    KVTP_hashstrarray* w = KVTP_hashstrarray_new(8);
    const AllOrNothing wt{[&] {
        const char* v = KVTP_hashstrarray_lookup(w, "word", -1);
        return std::to_string(KVTP_hashstrarray_sz(w)) + ":" + snapshot(w->strings) + ":" +
               snapshot(w->dict->index) + ":" + (v == nullptr ? "-" : v);
    }};
    EXPECT_GT(wt([&] { return KVTP_hashstrarray_add(w, "word", -1, "a", -1) == 1; }), 3);
    wt([&] { return KVTP_hashstrarray_add(w, "word", -1, "b", -1) == 0; });
    // Failure is -1, not 0, which would read as a successful replacement.
    KVTP_malloc_fail_after(0);
    EXPECT_EQ(KVTP_hashstrarray_add(w, "word", -1, "c", -1), -1);
    KVTP_malloc_fail_after(-1);
    EXPECT_STREQ(KVTP_hashstrarray_lookup(w, "word", -1), "b");
    KVTP_hashstrarray_delete(w);
}

}  // namespace
