// SPDX-License-Identifier: MIT
// Stored forms of the containers: round trips, truncation, allocation failure
// and hostile records.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>

#include "textproc/toolkit/carray.h"
#include "textproc/toolkit/complkp.h"
#include "textproc/toolkit/dict.h"
#include "textproc/toolkit/dystrarray.h"
#include "textproc/toolkit/oswrappers.h"
#include "textproc/toolkit/strarray.h"

namespace {

// The bytes a writer produces.
template <typename T>
std::string Written(const T* t, int (*write)(const T*, FILE*)) {
    char* buf = nullptr;
    size_t len = 0;
    FILE* f = open_memstream(&buf, &len);
    EXPECT_EQ(write(t, f), 1);
    std::fclose(f);
    std::string s(buf, len);
    std::free(buf);
    return s;
}

// Reads one record and writes again what it built ("" when it refused).
// Allocation failures a caller injects end with the read.
using Rewriter = std::function<std::string(FILE*)>;
template <typename T>
Rewriter Rewrite(T* (*read)(FILE*), int (*write)(const T*, FILE*), void (*del)(T*)) {
    return [=](FILE* f) {
        T* t = read(f);
        KVTP_malloc_fail_after(-1);
        const std::string s = t == nullptr ? "" : Written(t, write);
        del(t);
        return s;
    };
}
const Rewriter kStrarray = Rewrite(KVTP_strarray_read, KVTP_strarray_write, KVTP_strarray_delete);
const Rewriter kDystrarray =
    Rewrite(KVTP_dystrarray_read, KVTP_dystrarray_write, KVTP_dystrarray_delete);

// Runs `read` over the bytes; an empty string is an empty stream.
template <typename Read>
auto Through(const Read& read, std::string bytes) {
    const bool empty = bytes.empty();
    bytes.resize(std::max<size_t>(bytes.size(), 1));
    FILE* f = fmemopen(bytes.data(), bytes.size(), "rb");
    if (empty)
        std::fgetc(f);
    const auto made = read(f);
    std::fclose(f);
    return made;
}

std::string U32(uint32_t v) {
    return std::string{static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
                       static_cast<char>(v >> 24)};
}

TEST(Store, RecordsRoundTripAndEveryTruncationOrAllocationFailureFailsCleanly) {
    KVTP_strarray* sa = KVTP_strarray_new();
    KVTP_strarray_split(sa, "alpha,,gamma", -1, ",");
    KVTP_dystrarray* da = KVTP_dystrarray_new(1);
    KVTP_dystrarray_add(da, std::string(300, 'L').c_str(), -1);  // a 255 slot
    KVTP_dystrarray_add(da, "x", -1);
    KVTP_dict* d = KVTP_dict_new_empty(4);
    for (const char* w : {"b", "a", "", "c"})
        KVTP_dict_add_entry(d, w, -1);
    d->multiplier = -3;
    const int32_t values[] = {5, -200, 70000};
    KVTP_carray* ca = KVTP_carray_new(values, 3);
    const char* keys[] = {"kb", "ka", "k"};
    KVTP_complkp* cl = KVTP_complkp_new(keys, values, 3);
    const std::string dict_bytes = Written(d, KVTP_dict_write);
    // clang-format off
    const struct { const char* name; std::string bytes; Rewriter rewrite; } cases[] = {
        {"strarray", Written(sa, KVTP_strarray_write), kStrarray},
        {"dystrarray", Written(da, KVTP_dystrarray_write), kDystrarray},
        {"dict", dict_bytes, Rewrite(KVTP_dict_read, KVTP_dict_write, KVTP_dict_delete)},
        {"cdict", dict_bytes, Rewrite(KVTP_cdict_read, KVTP_cdict_write, KVTP_cdict_delete)},
        {"carray", Written(ca, KVTP_carray_write),
         Rewrite(KVTP_carray_read, KVTP_carray_write, KVTP_carray_delete)},
        {"complkp", Written(cl, KVTP_complkp_write),
         Rewrite(KVTP_complkp_read, KVTP_complkp_write, KVTP_complkp_delete)},
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Through(c.rewrite, c.bytes), c.bytes);
        EXPECT_EQ(Through(c.rewrite, c.bytes + "trailing"), c.bytes);  // one record, the rest left
        for (size_t n = 0; n < c.bytes.size(); ++n)
            EXPECT_EQ(Through(c.rewrite, c.bytes.substr(0, n)), "") << "prefix of " << n;
        std::string other_version = c.bytes;
        other_version[4] = 2;
        EXPECT_EQ(Through(c.rewrite, other_version), "");
        // Short of memory, a reader builds nothing; it leaks nothing either way.
        for (int n = 0; n < 1000; ++n) {
            const int64_t live = KVTP_malloc_live();
            KVTP_malloc_fail_after(n);
            const std::string read = Through(c.rewrite, c.bytes);
            ASSERT_EQ(KVTP_malloc_live(), live) << "leak with allocation " << n << " failing";
            if (read == c.bytes)
                break;
            EXPECT_EQ(read, "") << "with allocation " << n << " failing";
        }
    }
    // What was read answers lookups like the original (the multiplier kept).
    KVTP_cdict* rc = Through(KVTP_cdict_read, dict_bytes);
    EXPECT_EQ(KVTP_cdict_lookup_word(rc, "c", -1), -12);
    KVTP_cdict_delete(rc);
    EXPECT_EQ(KVTP_dystrarray_write_sz(da), int64_t(cases[1].bytes.size()));
    KVTP_strarray_delete(sa);
    KVTP_dystrarray_delete(da);
    KVTP_dict_delete(d);
    KVTP_carray_delete(ca);
    KVTP_complkp_delete(cl);
}

TEST(Store, HostileRecordsAreRefused) {
    const std::string huge = U32(0x7FFFFFFF);
    KVTP_dystrarray* da = KVTP_dystrarray_new(1);
    // clang-format off
    const struct { const char* name; const Rewriter& read; std::string bytes; } cases[] = {
        {"count beyond the file", kStrarray, "KVSA" + U32(1) + huge},
        {"string beyond the file", kDystrarray, "KVDA" + U32(1) + U32(1) + huge + "abc"},
        {"NUL inside a string", kStrarray, "KVSA" + U32(1) + U32(1) + U32(3) + std::string("a\0b", 3)},
        {"another container's record", kStrarray, Written(da, KVTP_dystrarray_write)},
    };
    // clang-format on
    for (const auto& c : cases)
        EXPECT_EQ(Through(c.read, c.bytes), "") << c.name;
    EXPECT_FALSE(KVTP_strarray_read(nullptr));
    EXPECT_EQ(KVTP_dict_write(nullptr, stdout), 0);
    KVTP_dystrarray_delete(da);
}

}  // namespace
