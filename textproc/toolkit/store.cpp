// SPDX-License-Identifier: MIT
#include "textproc/toolkit/store.h"

#include <cstring>

#include "textproc/toolkit/oswrappers.h"

namespace kvtp_detail {

namespace {

// Upper bound on what a record may claim when the file's size is unknown
// (a pipe): large enough for any real container, small enough to allocate.
constexpr int64_t kUnseekableCap = int64_t{1} << 30;

int64_t bytes_left(FILE* f) {
    if (f == nullptr)
        return 0;
    const long here = std::ftell(f);
    if (here < 0 || std::fseek(f, 0, SEEK_END) != 0)
        return kUnseekableCap;
    const long end = std::ftell(f);
    if (std::fseek(f, here, SEEK_SET) != 0)
        return 0;
    return end < here ? 0 : static_cast<int64_t>(end - here);
}

}  // namespace

StoreReader::StoreReader(FILE* f) : f_(f), left_(bytes_left(f)) {
    ok_ = f != nullptr;
}

bool StoreReader::take(int64_t n) {
    if (!ok_ || n < 0 || n > left_)
        ok_ = false;
    else
        left_ -= n;
    return ok_;
}

bool StoreReader::bytes(void* dst, int64_t n) {
    if (!take(n))
        return false;
    if (n > 0 && std::fread(dst, 1, static_cast<size_t>(n), f_) != static_cast<size_t>(n))
        ok_ = false;
    return ok_;
}

bool StoreReader::u32(uint32_t* v) {
    unsigned char b[4];
    if (!bytes(b, 4))
        return false;
    *v = uint32_t{b[0]} | uint32_t{b[1]} << 8 | uint32_t{b[2]} << 16 | uint32_t{b[3]} << 24;
    return true;
}

bool StoreReader::header(const char magic[4]) {
    char m[4];
    uint32_t version = 0;
    if (bytes(m, 4) && u32(&version) && (std::memcmp(m, magic, 4) != 0 || version != kStoreVersion))
        ok_ = false;
    return ok_;
}

bool StoreReader::count(int32_t* n, int64_t min_bytes) {
    uint32_t v = 0;
    if (!u32(&v))
        return false;
    if (v > INT32_MAX || static_cast<int64_t>(v) * (min_bytes < 1 ? 1 : min_bytes) > left_)
        ok_ = false;
    *n = ok_ ? static_cast<int32_t>(v) : 0;
    return ok_;
}

char* StoreReader::string(int32_t* len) {
    int32_t n = 0;
    if (!count(&n, 1))
        return nullptr;
    char* s = static_cast<char*>(KVTP_malloc(static_cast<size_t>(n) + 1));
    if (s == nullptr) {
        ok_ = false;
        return nullptr;
    }
    if (!bytes(s, n) || std::memchr(s, 0, static_cast<size_t>(n)) != nullptr) {
        ok_ = false;
        KVTP_free(s);
        return nullptr;
    }
    *len = n;
    return s;
}

void StoreWriter::bytes(const void* src, int64_t n) {
    if (n <= 0)
        return;
    written_ += n;
    if (f_ != nullptr && ok_ &&
        std::fwrite(src, 1, static_cast<size_t>(n), f_) != static_cast<size_t>(n))
        ok_ = false;
}

void StoreWriter::u32(uint32_t v) {
    const unsigned char b[4] = {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8),
                                static_cast<unsigned char>(v >> 16),
                                static_cast<unsigned char>(v >> 24)};
    bytes(b, 4);
}

void StoreWriter::header(const char magic[4]) {
    bytes(magic, 4);
    u32(kStoreVersion);
}

void StoreWriter::string(const char* s, int32_t len) {
    const size_t n = s == nullptr ? 0
                     : len < 0    ? std::strlen(s)
                                  : strnlen(s, static_cast<size_t>(len));
    u32(static_cast<uint32_t>(n));
    bytes(s, static_cast<int64_t>(n));
}

}  // namespace kvtp_detail
