// SPDX-License-Identifier: MIT
// Allocation failure: each way the client-path containers allocate is tried
// with the n-th allocation failing, for n = 0, 1, ... until it succeeds. Each
// failed try must leave the container exactly as it was and leak nothing.
// (Readers of stored records are tried the same way beside their round trips.)
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "textproc/toolkit/dystr.h"
#include "textproc/toolkit/dystrarray.h"
#include "textproc/toolkit/oswrappers.h"
#include "textproc/toolkit/strarray.h"
#include "textproc/toolkit/voidparray.h"

namespace {

// Every array field and the used bytes, for before/after comparison.
std::string snapshot(const KVTP_array* a) {
    if (a == nullptr)
        return "";
    std::string s = std::to_string(a->growth_step) + "/" + std::to_string(a->keep_limit) + "/" +
                    std::to_string(a->capacity) + "/" + std::to_string(a->count) + "/" +
                    std::to_string(reinterpret_cast<uintptr_t>(a->data)) + ":";
    s.append(a->data == nullptr ? "" : a->data,
             static_cast<size_t>(a->count) * static_cast<size_t>(a->element_size));
    return s;
}

// Builds and frees an object: true when it could be built.
template <typename T>
bool Made(T* made, void (*del)(T*)) {
    del(made);
    return made != nullptr;
}

TEST(AllocationFailure, EachFailedAllocationLeavesTheContainerUnchangedAndLeaksNothing) {
    KVTP_dystr* s = KVTP_dystr_new("0123456", 0);  // full: any append grows
    KVTP_dystrarray* da = KVTP_dystrarray_newcustom(2, 4, 2, 4, 64);  // full
    KVTP_dystrarray* grown = KVTP_dystrarray_new(0);
    for (int i = 0; i < 100; ++i)
        KVTP_dystrarray_add(grown, "grow past keep", -1);
    KVTP_strarray* sa = KVTP_strarray_new();
    KVTP_str2str* t = KVTP_str2str_new(0);
    KVTP_voidparray* va = KVTP_voidparray_new();
    int x = 0;
    const std::string big(1000, 'r');
    // state: null: nothing kept between tries
    const struct { const char* name; const KVTP_array* state; std::function<bool()> op;
    } cases[] = {
        {"dystr_new", nullptr, [] { return Made(KVTP_dystr_new("text", 10), KVTP_dystr_delete); }},
        {"dystr_append4 of its own text", s,
         [&] { return KVTP_dystr_append4(s, KVTP_dystr_cstr(s), -1, "x", 1, "y", 1, "z", 1) == 1; }},
        {"dystr_insert_range of its own text", s,
         [&] { return KVTP_dystr_insert_range(s, KVTP_dystr_cstr(s), -1, 3) == 1; }},
        {"dystr_printf", s, [&] { return KVTP_dystr_printf(s, "%0300d", 1) == 1; }},
        {"dystr_replace", s, [&] { return KVTP_dystr_replace(s, big.c_str(), -1) == 1; }},
        {"dystrarray_new", nullptr,
         [] { return Made(KVTP_dystrarray_new(4), KVTP_dystrarray_delete); }},
        {"dystrarray_add", da, [&] { return KVTP_dystrarray_add(da, "entry", -1) == 1; }},
        {"dystrarray_replace", da,
         [&] { return KVTP_dystrarray_replace(da, 0, big.c_str(), 300) == 1; }},
        {"dystrarray_add_delim", da,
         [&] { return KVTP_dystrarray_add_delim(da, "p,q,r,s,t,u", -1, ',') == 1; }},
        {"dystrarray_clear", grown, [&] { return KVTP_dystrarray_clear(grown, 3) == 1; }},
        {"strarray_new_const", nullptr,
         [] { return Made(KVTP_strarray_new_const("a\0b", 2), KVTP_strarray_delete); }},
        {"strarray_split", sa, [&] { return KVTP_strarray_split(sa, "a,b,c,d,e,f,g", -1, ",") == 1; }},
        {"strarray_insert_item", sa, [&] { return KVTP_strarray_insert_item(sa, "i", -1, 2) == 1; }},
        {"strarray_replace", sa, [&] { return KVTP_strarray_replace(sa, 0, "r", -1) == 1; }},
        {"str2str_new", nullptr, [] { return Made(KVTP_str2str_new(4), KVTP_str2str_delete); }},
        {"str2str_add", t, [&] { return KVTP_str2str_add(t, "k", -1, "v", -1) == 1; }},
        {"voidparray_insert_item", va,
         [&] { return KVTP_voidparray_insert_item(va, &x, 0) == 1; }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        int n = 0;
        for (;; ++n) {
            ASSERT_LT(n, 200) << "never succeeds";
            const std::string before = snapshot(c.state);
            const int64_t live = KVTP_malloc_live();
            KVTP_malloc_fail_after(n);
            const bool ok = c.op();
            KVTP_malloc_fail_after(-1);
            if (ok)
                break;
            EXPECT_EQ(snapshot(c.state), before) << "after failing allocation " << n;
            EXPECT_EQ(KVTP_malloc_live(), live) << "leak after failing allocation " << n;
        }
        EXPECT_GT(n, 0) << "allocated nothing, so nothing was tried";
    }
    KVTP_dystr_delete(s);
    KVTP_dystrarray_delete(da);
    KVTP_dystrarray_delete(grown);
    KVTP_strarray_delete(sa);
    KVTP_str2str_delete(t);
    KVTP_voidparray_delete(va);
}

}  // namespace
