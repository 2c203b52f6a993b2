// Allocation failure: every growing operation is tried with the n-th
// allocation failing, for n = 0, 1, ... until it succeeds. Each failed try
// must leave the container exactly as it was and leak nothing.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "textproc/KVTP_string.h"
#include "textproc/dict.h"
#include "textproc/dystr.h"
#include "textproc/dystrarray.h"
#include "textproc/hash.h"
#include "textproc/hashstrarray.h"
#include "textproc/list.h"
#include "textproc/oswrappers.h"
#include "textproc/strarray.h"
#include "textproc/strlist.h"
#include "textproc/voidparray.h"

namespace {

// Turns fault injection off however the test ends.
struct FailureGuard {
    ~FailureGuard() { KVTP_malloc_fail_after(-1); }
};

// Every array field and the used bytes, for before/after comparison.
std::string snapshot(const KVTP_array* a) {
    std::string s = std::to_string(a->growth_step) + "/" + std::to_string(a->keep_limit) + "/" +
                    std::to_string(a->capacity) + "/" + std::to_string(a->count) + "/" +
                    std::to_string(reinterpret_cast<uintptr_t>(a->data)) + ":";
    s.append(a->data == nullptr ? "" : a->data,
             static_cast<size_t>(a->count) * static_cast<size_t>(a->element_size));
    return s;
}

// Runs op with failures injected until it succeeds; returns the number of
// allocations it needed. `state` describes the container.
int ExpectAllOrNothing(const std::function<bool()>& op, const std::function<std::string()>& state) {
    FailureGuard guard;
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

TEST(AllocationFailure, DystrOperations) {
    KVTP_dystr* s = KVTP_dystr_new("0123456", 0);  // full: any append grows
    auto state = [&] { return snapshot(s); };
    EXPECT_EQ(ExpectAllOrNothing([&] { return KVTP_dystr_append(s, "abc", -1) == 1; }, state), 1);
    KVTP_dystr_extend(s, -1);
    EXPECT_GT(ExpectAllOrNothing(
                  [&] {
                      return KVTP_dystr_append4(s, KVTP_dystr_cstr(s), -1, "x", 1, "y", 1, "z",
                                                1) == 1;
                  },
                  state),
              0);
    EXPECT_GT(
        ExpectAllOrNothing(
            [&] { return KVTP_dystr_insert_range(s, KVTP_dystr_cstr(s), -1, 3) == 1; }, state),
        0);
    EXPECT_GT(ExpectAllOrNothing([&] { return KVTP_dystr_printf(s, "%0300d", 1) == 1; }, state), 0);
    const std::string big(1000, 'r');
    EXPECT_GT(
        ExpectAllOrNothing([&] { return KVTP_dystr_replace(s, big.c_str(), -1) == 1; }, state), 0);
    EXPECT_EQ(KVTP_dystr_cstr(s), big);
    KVTP_dystr_delete(s);
}

TEST(AllocationFailure, Constructors) {
    auto none = [] { return std::string(); };
    ExpectAllOrNothing(
        [] {
            KVTP_dystr* s = KVTP_dystr_new("text", 10);
            KVTP_dystr_delete(s);
            return s != nullptr;
        },
        none);
    ExpectAllOrNothing(
        [] {
            KVTP_dystrarray* a = KVTP_dystrarray_new(4);
            KVTP_dystrarray_delete(a);
            return a != nullptr;
        },
        none);
    EXPECT_EQ(ExpectAllOrNothing(
                  [] {
                      KVTP_hashstrarray* h = KVTP_hashstrarray_new(8);
                      KVTP_hashstrarray_delete(h);
                      return h != nullptr;
                  },
                  none),
              6);
    ExpectAllOrNothing(
        [] {
            KVTP_strarray* a = KVTP_strarray_new_const("a\0b", 2);
            KVTP_strarray_delete(a);
            return a != nullptr;
        },
        none);
    ExpectAllOrNothing(
        [] {
            KVTP_str2str* t = KVTP_str2str_new(4);
            KVTP_str2str_delete(t);
            return t != nullptr;
        },
        none);
}

TEST(AllocationFailure, DystrarrayOperations) {
    KVTP_dystrarray* a = KVTP_dystrarray_newcustom(2, 4, 2, 4, 64);  // full
    auto state = [&] { return snapshot(a); };
    EXPECT_EQ(ExpectAllOrNothing([&] { return KVTP_dystrarray_add(a, "entry", -1) == 1; }, state),
              1);
    EXPECT_GT(
        ExpectAllOrNothing(
            [&] { return KVTP_dystrarray_replace(a, 0, std::string(300, 'L').c_str(), -1) == 1; },
            state),
        0);
    EXPECT_GT(ExpectAllOrNothing(
                  [&] { return KVTP_dystrarray_append(a, 1, KVTP_dystrarray_idx(a, 0), -1) == 1; },
                  state),
              0);
    EXPECT_GT(ExpectAllOrNothing(
                  [&] { return KVTP_dystrarray_add_delim(a, "p,q,r,s,t,u", -1, ',') == 1; }, state),
              0);
    for (int i = 0; i < 100; ++i)
        KVTP_dystrarray_add(a, "grow past keep", -1);
    EXPECT_GT(ExpectAllOrNothing([&] { return KVTP_dystrarray_clear(a, 3) == 1; }, state), 0);
    EXPECT_EQ(KVTP_dystrarray_sz(a), 3);
    KVTP_dystrarray_delete(a);
}

TEST(AllocationFailure, StringArrays) {
    KVTP_strarray* a = KVTP_strarray_new();
    auto state = [&] { return snapshot(a); };
    EXPECT_EQ(ExpectAllOrNothing([&] { return KVTP_strarray_add(a, "one", -1) == 1; }, state), 3);
    EXPECT_GT(ExpectAllOrNothing(
                  [&] { return KVTP_strarray_split(a, "a,b,c,d,e,f,g", -1, ",") == 1; }, state),
              7);
    EXPECT_GT(
        ExpectAllOrNothing([&] { return KVTP_strarray_split_ws(a, " x  y ", -1) == 1; }, state), 0);
    EXPECT_GT(
        ExpectAllOrNothing([&] { return KVTP_strarray_insert_item(a, "i", -1, 2) == 1; }, state),
        0);
    EXPECT_GT(ExpectAllOrNothing([&] { return KVTP_strarray_replace(a, 0, "r", -1) == 1; }, state),
              -1);
    EXPECT_EQ(KVTP_strarray_sz(a), 11);
    KVTP_strarray_delete(a);

    KVTP_str2str* t = KVTP_str2str_new(0);
    auto tstate = [&] { return snapshot(t); };
    EXPECT_GT(
        ExpectAllOrNothing([&] { return KVTP_str2str_add(t, "k", -1, "v", -1) == 1; }, tstate), 2);
    EXPECT_STREQ(KVTP_str2str_lookup(t, "k", -1), "v");
    KVTP_str2str_delete(t);
}

TEST(AllocationFailure, PointerArrayAndLists) {
    KVTP_voidparray* a = KVTP_voidparray_new();
    auto state = [&] { return snapshot(a); };
    int x = 0;
    EXPECT_EQ(ExpectAllOrNothing([&] { return KVTP_voidparray_insert_item(a, &x, 0) == 1; }, state),
              1);
    KVTP_voidparray_delete(a);

    KVTP_strlist* l = KVTP_strlist_new();
    auto lstate = [&] { return std::to_string(KVTP_strlist_sz(l)); };
    KVTP_strlist_append(l, "head", -1);
    EXPECT_EQ(ExpectAllOrNothing([&] { return KVTP_strlist_append(l, "tail", -1) == 1; }, lstate),
              2);
    KVTP_strlist* head = nullptr;
    ExpectAllOrNothing(
        [&] {
            KVTP_strlist* pushed = KVTP_strlist_push(l, "new", -1);
            if (pushed != nullptr)
                head = pushed;
            return pushed != nullptr;
        },
        lstate);
    EXPECT_EQ(KVTP_strlist_sz(head), 3);
    KVTP_strlist_delete(head);

    KVTP_list* single = KVTP_list_new();
    KVTP_list_append(single, KVTP_strdup("only"));
    KVTP_list* popped = nullptr;
    KVTP_list* rest = nullptr;
    ExpectAllOrNothing(
        [&] {
            rest = KVTP_list_pop(single, &popped);
            return rest != nullptr;
        },
        [&] { return std::string(static_cast<char*>(KVTP_list_val(single))); });
    KVTP_list_delete(popped);
    KVTP_list_delete(rest);
}

TEST(AllocationFailure, HashDictionaryAndTable) {
    KVTP_hash* h = KVTP_hash_new(4, 1);
    auto hstate = [&] { return std::to_string(KVTP_hash_sz(h)); };
    EXPECT_EQ(ExpectAllOrNothing([&] { return KVTP_hash_insert_uniq(h, "key", -1, 1) != nullptr; },
                                 hstate),
              2);
    KVTP_hash_delete(h);

    KVTP_dict* d = KVTP_dict_new_empty(8);
    auto dstate = [&] {
        std::string s = std::to_string(KVTP_dict_size(d)) + ":" +
                        std::to_string(KVTP_hash_sz(d->hash)) + ":" + snapshot(d->index);
        for (int i = 1; i <= KVTP_dict_size(d); ++i)
            s += KVTP_dict_lookup_index(d, i);
        return s;
    };
    EXPECT_EQ(ExpectAllOrNothing([&] { return KVTP_dict_add_entry(d, "w1", -1) == 1; }, dstate), 3);
    EXPECT_EQ(KVTP_dict_lookup_word(d, "w1", -1), 1);
    KVTP_dict_delete(d);

    KVTP_hashstrarray* t = KVTP_hashstrarray_new(8);
    auto tstate = [&] {
        const char* v = KVTP_hashstrarray_lookup(t, "word", -1);
        return std::to_string(KVTP_hashstrarray_sz(t)) + ":" + snapshot(t->strings) + ":" +
               snapshot(t->dict->index) + ":" + (v == nullptr ? "-" : v);
    };
    EXPECT_GT(ExpectAllOrNothing([&] { return KVTP_hashstrarray_add(t, "word", -1, "a", -1) == 1; },
                                 tstate),
              3);
    EXPECT_GT(ExpectAllOrNothing([&] { return KVTP_hashstrarray_add(t, "word", -1, "b", -1) == 0; },
                                 tstate),
              -1);
    EXPECT_STREQ(KVTP_hashstrarray_lookup(t, "word", -1), "b");
    KVTP_hashstrarray_delete(t);
}

}  // namespace
