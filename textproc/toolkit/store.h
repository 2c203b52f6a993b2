// SPDX-License-Identifier: MIT
// Stored form of the toolkit's containers (the read and write functions of
// strarray, dystrarray, dict, cdict, carray and complkp).
//
// Every container is stored as one record, so several can follow each other
// in one file:
//
//   magic    4 bytes naming the layout ("KVSA", "KVDA", "KVDI", "KVCA", "KVCL")
//   version  u32, currently 1
//   payload  as described by each family's header
//
// u32 is an unsigned 32-bit integer in little-endian byte order; a signed
// value is stored as its two's-complement u32. A string is a u32 byte count
// followed by that many bytes (no terminating NUL; a NUL inside is invalid).
//
// Readers trust nothing: every count and length is checked against the bytes
// left in the file (when the file can seek) and against the container's own
// limits before anything is allocated for it, so a truncated, corrupt or
// hostile record gives a null result, never a crash or a huge allocation.
// After a failed read the file position is unspecified.
#ifndef VRELAY_TEXTPROC_STORE_H
#define VRELAY_TEXTPROC_STORE_H

#include <cstdint>
#include <cstdio>

#include "textproc/toolkit/oswrappers.h"

namespace kvtp_detail {

constexpr uint32_t kStoreVersion = 1;
// Bytes of a record header (magic and version).
constexpr int64_t kStoreHeaderBytes = 8;

// Reads one record's fields in order; the first failure sticks.
class StoreReader {
  public:
    explicit StoreReader(FILE* f);
    StoreReader(const StoreReader&) = delete;
    StoreReader& operator=(const StoreReader&) = delete;

    // True when the next 8 bytes are this magic and the current version.
    bool header(const char magic[4]);
    bool u32(uint32_t* v);
    // A count of items each taking at least `min_bytes` (at least 1) in the
    // file; fails when they cannot fit in what is left.
    bool count(int32_t* n, int64_t min_bytes);
    // A string as an owned (KVTP_free), NUL-terminated copy; null on failure.
    char* string(int32_t* len);
    // n raw bytes into dst.
    bool bytes(void* dst, int64_t n);
    bool ok() const { return ok_; }

  private:
    bool take(int64_t n);

    FILE* f_;
    int64_t left_;  // bytes left in the file, or a cap when it cannot seek
    bool ok_ = true;
};

// Writes one record's fields; with a null file it only counts the bytes.
class StoreWriter {
  public:
    explicit StoreWriter(FILE* f) : f_(f) {}
    StoreWriter(const StoreWriter&) = delete;
    StoreWriter& operator=(const StoreWriter&) = delete;

    void header(const char magic[4]);
    void u32(uint32_t v);
    // A string of len bytes (len < 0: up to its NUL; null: empty).
    void string(const char* s, int32_t len);
    void bytes(const void* src, int64_t n);
    bool ok() const { return ok_; }
    int64_t written() const { return written_; }

  private:
    FILE* f_;
    int64_t written_ = 0;
    bool ok_ = true;
};

// The n strings of a string-list payload (u32 count, then the strings; read
// the count with count(&n, 4)). Each is handed to add(text, len), which
// returns false to stop with a failure.
template <typename Add>
bool read_strings(StoreReader& r, int32_t n, Add add) {
    for (int32_t i = 0; i < n && r.ok(); ++i) {
        int32_t len = 0;
        char* s = r.string(&len);
        const bool added = s != nullptr && add(s, len);
        KVTP_free(s);
        if (!added)
            return false;
    }
    return r.ok();
}

}  // namespace kvtp_detail

#endif  // VRELAY_TEXTPROC_STORE_H
