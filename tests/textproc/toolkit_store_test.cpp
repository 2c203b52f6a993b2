// SPDX-License-Identifier: MIT
// Stored forms of the containers and the compact read-only containers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "textproc/toolkit/carray.h"
#include "textproc/toolkit/complkp.h"
#include "textproc/toolkit/dict.h"
#include "textproc/toolkit/dystrarray.h"
#include "textproc/toolkit/oswrappers.h"
#include "textproc/toolkit/strarray.h"

namespace {

// The bytes a writer produces.
std::string Written(const std::function<int(FILE*)>& write) {
    char* buf = nullptr;
    size_t len = 0;
    FILE* f = open_memstream(&buf, &len);
    const int ok = write(f);
    std::fclose(f);
    std::string s(buf, len);
    std::free(buf);
    EXPECT_EQ(ok, 1);
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
        const std::string s = t == nullptr ? "" : Written([&](FILE* g) { return write(t, g); });
        del(t);
        return s;
    };
}

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

    const struct {
        const char* name;
        std::function<int(FILE*)> write;
        Rewriter rewrite;
    } cases[] = {
        {"strarray", [&](FILE* f) { return KVTP_strarray_write(sa, f); },
         Rewrite(KVTP_strarray_read, KVTP_strarray_write, KVTP_strarray_delete)},
        {"dystrarray", [&](FILE* f) { return KVTP_dystrarray_write(da, f); },
         Rewrite(KVTP_dystrarray_read, KVTP_dystrarray_write, KVTP_dystrarray_delete)},
        {"dict", [&](FILE* f) { return KVTP_dict_write(d, f); },
         Rewrite(KVTP_dict_read, KVTP_dict_write, KVTP_dict_delete)},
        {"cdict", [&](FILE* f) { return KVTP_dict_write(d, f); },
         Rewrite(KVTP_cdict_read, KVTP_cdict_write, KVTP_cdict_delete)},
        {"carray", [&](FILE* f) { return KVTP_carray_write(ca, f); },
         Rewrite(KVTP_carray_read, KVTP_carray_write, KVTP_carray_delete)},
        {"complkp", [&](FILE* f) { return KVTP_complkp_write(cl, f); },
         Rewrite(KVTP_complkp_read, KVTP_complkp_write, KVTP_complkp_delete)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string bytes = Written(c.write);
        EXPECT_EQ(Through(c.rewrite, bytes), bytes);
        EXPECT_EQ(Through(c.rewrite, bytes + "trailing"), bytes);  // one record, the rest left
        for (size_t n = 0; n < bytes.size(); ++n)
            EXPECT_EQ(Through(c.rewrite, bytes.substr(0, n)), "") << "prefix of " << n;
        std::string other_version = bytes;
        other_version[4] = 2;
        EXPECT_EQ(Through(c.rewrite, other_version), "");
        // Short of memory, a reader builds nothing; it leaks nothing either way.
        for (int n = 0; n < 1000; ++n) {
            const int64_t live = KVTP_malloc_live();
            KVTP_malloc_fail_after(n);
            const std::string read = Through(c.rewrite, bytes);
            ASSERT_EQ(KVTP_malloc_live(), live) << "leak with allocation " << n << " failing";
            if (read == bytes)
                break;
            EXPECT_EQ(read, "") << "with allocation " << n << " failing";
        }
    }
    // What was read answers lookups like the original.
    const std::string dict_bytes = Written([&](FILE* f) { return KVTP_dict_write(d, f); });
    KVTP_dict* rd = Through(KVTP_dict_read, dict_bytes);
    EXPECT_EQ(KVTP_dict_lookup_word(rd, "a", -1), -6);
    KVTP_dict_delete(rd);
    KVTP_cdict* rc = Through(KVTP_cdict_read, dict_bytes);
    EXPECT_EQ(KVTP_cdict_lookup_word(rc, "c", -1), -12);
    KVTP_cdict_delete(rc);
    // Readers take their own magic only; the dictionary's serves both forms.
    EXPECT_EQ(Through(Rewrite(KVTP_strarray_read, KVTP_strarray_write, KVTP_strarray_delete),
                      Written([&](FILE* f) { return KVTP_dystrarray_write(da, f); })),
              "");
    EXPECT_EQ(KVTP_dystrarray_write_sz(da),
              int64_t(Written([&](FILE* f) { return KVTP_dystrarray_write(da, f); }).size()));
    KVTP_strarray_delete(sa);
    KVTP_dystrarray_delete(da);
    KVTP_dict_delete(d);
    KVTP_carray_delete(ca);
    KVTP_complkp_delete(cl);
}

TEST(Store, HostileRecordsAreRefused) {
    const std::string huge = U32(0x7FFFFFFF);
    const struct {
        const char* name;
        Rewriter read;
        std::string bytes;
    } cases[] = {
        {"count beyond the file",
         Rewrite(KVTP_strarray_read, KVTP_strarray_write, KVTP_strarray_delete),
         "KVSA" + U32(1) + huge},
        {"string beyond the file",
         Rewrite(KVTP_dystrarray_read, KVTP_dystrarray_write, KVTP_dystrarray_delete),
         "KVDA" + U32(1) + U32(1) + huge + "abc"},
        {"NUL inside a string",
         Rewrite(KVTP_strarray_read, KVTP_strarray_write, KVTP_strarray_delete),
         "KVSA" + U32(1) + U32(1) + U32(3) + std::string("a\0b", 3)},
        {"word stored twice", Rewrite(KVTP_dict_read, KVTP_dict_write, KVTP_dict_delete),
         "KVDI" + U32(1) + U32(0) + U32(2) + U32(1) + "w" + U32(1) + "w"},
        {"keys out of order", Rewrite(KVTP_complkp_read, KVTP_complkp_write, KVTP_complkp_delete),
         "KVCL" + U32(1) + U32(2) + U32(1) + "b" + U32(0) + U32(1) + "a" + U32(0)},
        {"packed width code 3", Rewrite(KVTP_carray_read, KVTP_carray_write, KVTP_carray_delete),
         "KVCA" + U32(1) + U32(3) + "\x03\x01\x07"},
        {"packed count beyond its length",
         Rewrite(KVTP_carray_read, KVTP_carray_write, KVTP_carray_delete),
         "KVCA" + U32(1) + U32(3) + "\x00\x05\x07"},
        {"packed form shorter than its record",
         Rewrite(KVTP_carray_read, KVTP_carray_write, KVTP_carray_delete),
         "KVCA" + U32(1) + U32(4) + std::string("\x00\x01\x07\x07", 4)},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Through(c.read, c.bytes), "") << c.name;
    EXPECT_FALSE(KVTP_strarray_read(nullptr));
    EXPECT_EQ(KVTP_dict_write(nullptr, stdout), 0);
}

TEST(Carray, NarrowestWidthHoldsEveryValueAndPacksWithItsHeader) {
    const struct {
        std::vector<int32_t> values;
        int32_t width;
        int32_t is_signed;
    } cases[] = {
        {{}, 1, 0},      {{0, 255}, 1, 0},    {{-128, 127}, 1, 1},
        {{256}, 2, 0},   {{-129}, 2, 1},      {{65535}, 2, 0},
        {{65536}, 4, 0}, {{-32769, 5}, 4, 1}, {{INT32_MIN, INT32_MAX}, 4, 1},
    };
    for (const auto& c : cases) {
        KVTP_carray* a = KVTP_carray_new(c.values.data(), int32_t(c.values.size()));
        ASSERT_NE(a, nullptr);
        EXPECT_EQ(a->element_size, c.width);
        EXPECT_EQ(a->is_signed, c.is_signed);
        unsigned char packed[64] = {};
        const int64_t n = KVTP_carray_pack(a, packed, sizeof packed);
        EXPECT_EQ(n, 2 + int64_t(c.values.size()) * c.width);
        EXPECT_EQ(KVTP_carray_pack(a, packed, n - 1), 0);
        int64_t used = 0;
        KVTP_carray* b = KVTP_carray_unpack(packed, n, &used);
        EXPECT_EQ(used, n);
        for (size_t i = 0; i < c.values.size(); ++i)
            EXPECT_EQ(KVTP_carray_idx(b, int32_t(i)), c.values[i]);
        EXPECT_EQ(KVTP_carray_idx(b, int32_t(c.values.size())), 0);
        KVTP_carray_delete(a);
        KVTP_carray_delete(b);
    }
    // A count above 255 takes a two-byte count field: header 0x04.
    std::vector<int32_t> many(300, 1);
    KVTP_carray* a = KVTP_carray_new(many.data(), 300);
    unsigned char packed[400];
    EXPECT_EQ(KVTP_carray_pack(a, packed, sizeof packed), 303);
    EXPECT_EQ(packed[0], 0x04);
    EXPECT_EQ(packed[1] | packed[2] << 8, 300);
    KVTP_carray_delete(a);
    const unsigned char unsigned_max[] = {0x02, 1, 0xFF, 0xFF, 0xFF, 0xFF};
    a = KVTP_carray_unpack(unsigned_max, sizeof unsigned_max, nullptr);
    EXPECT_EQ(KVTP_carray_idx(a, 0), 0xFFFFFFFFLL);
    KVTP_carray_delete(a);
}

TEST(Cdict, LooksUpLikeTheDictionaryItWasMadeFrom) {
    KVTP_dict* d = KVTP_dict_new_empty(0);
    for (const char* w : {"pear", "apple", "app", "apples", "\xC3\xA9t\xC3\xA9", "Zoo"})
        KVTP_dict_add_entry(d, w, -1);
    KVTP_cdict* c = KVTP_cdict_new(d);
    EXPECT_EQ(KVTP_cdict_size(c), 6);
    for (const char* w : {"pear", "apple", "app", "apples", "\xC3\xA9t\xC3\xA9", "Zoo", "ap",
                          "applesauce", "", "zoo"}) {
        EXPECT_EQ(KVTP_cdict_lookup_word(c, w, -1), KVTP_dict_lookup_word(d, w, -1)) << w;
    }
    EXPECT_EQ(KVTP_cdict_lookup_word(c, "apples", 3), 3);  // length limits the word
    EXPECT_STREQ(KVTP_cdict_lookup_index(c, 2), "apple");
    EXPECT_STREQ(KVTP_cdict_lookup_index(c, 7), "");
    EXPECT_STREQ(KVTP_cdict_lookup_index(c, 0), "");
    KVTP_cdict_delete(c);
    KVTP_dict_delete(d);
}

TEST(Complkp, FindsEveryKeyAndNoOtherAcrossBlocks) {
    // Enough keys for several blocks, sharing long prefixes (beyond the
    // 255-byte shared count) and given unsorted.
    std::vector<std::string> keys;
    const std::string stem(300, 's');
    for (int i = 99; i >= 0; --i)
        keys.push_back((i % 3 == 0 ? stem : std::string()) + "k" + std::to_string(i));
    keys.push_back(stem);
    std::vector<const char*> ptrs;
    std::vector<int32_t> values;
    for (size_t i = 0; i < keys.size(); ++i) {
        ptrs.push_back(keys[i].c_str());
        values.push_back(int32_t(i) * 1000 - 7);
    }
    KVTP_complkp* c = KVTP_complkp_new(ptrs.data(), values.data(), int32_t(ptrs.size()));
    ASSERT_NE(c, nullptr);
    for (size_t i = 0; i < keys.size(); ++i) {
        int32_t v = 0;
        EXPECT_EQ(KVTP_complkp_lookup(c, keys[i].c_str(), -1, &v), 1) << keys[i];
        EXPECT_EQ(v, values[i]);
        const std::string longer = keys[i] + "x";
        EXPECT_EQ(KVTP_complkp_lookup(c, longer.c_str(), -1, &v), 0);
        const std::string shorter = keys[i].substr(0, keys[i].size() - 1);
        EXPECT_EQ(KVTP_complkp_lookup(c, keys[i].c_str(), int32_t(shorter.size()), &v),
                  std::count(keys.begin(), keys.end(), shorter) ? 1 : 0)
            << shorter;
    }
    for (const char* absent : {"", "a", "k", "k100", "zz", "k5x"})
        EXPECT_EQ(KVTP_complkp_lookup(c, absent, -1, nullptr), 0) << absent;
    KVTP_complkp_delete(c);
    // A repeated key is refused, also when its copies fall in two blocks.
    const char* twice[] = {"a", "b", "a"};
    const int32_t v3[] = {1, 2, 3};
    EXPECT_EQ(KVTP_complkp_new(twice, v3, 3), nullptr);
    std::vector<std::string> straddling;
    for (int i = 10; i < 25; ++i)
        straddling.push_back("a" + std::to_string(i));
    straddling.insert(straddling.end(), {"b", "b"});  // sorted positions 15 and 16
    std::vector<const char*> sp;
    for (const std::string& k : straddling)
        sp.push_back(k.c_str());
    const std::vector<int32_t> sv(sp.size(), 0);
    EXPECT_EQ(KVTP_complkp_new(sp.data(), sv.data(), int32_t(sp.size())), nullptr);
}

}  // namespace
