// SPDX-License-Identifier: MIT
// Fuzzes the readers of the containers' stored forms: any bytes must give a
// container or null, never a crash, overrun or leak; whatever is read must
// write back to a record the same reader accepts again, byte for byte.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz/fuzz_check.h"
#include "textproc/toolkit/carray.h"
#include "textproc/toolkit/complkp.h"
#include "textproc/toolkit/dict.h"
#include "textproc/toolkit/dystrarray.h"
#include "textproc/toolkit/strarray.h"

namespace {

FILE* open_bytes(const std::string& bytes) {
    // fmemopen refuses a zero-sized buffer: read one byte past an empty record.
    static std::string keep;
    keep = bytes.empty() ? std::string(1, '\0') : bytes;
    FILE* f = fmemopen(keep.data(), keep.size(), "rb");
    if (bytes.empty())
        std::fgetc(f);
    return f;
}

template <typename T>
std::string written(const T* t, int (*write)(const T*, FILE*)) {
    char* buf = nullptr;
    size_t len = 0;
    FILE* f = open_memstream(&buf, &len);
    FuzzCheck(write(t, f) == 1);
    std::fclose(f);
    std::string s(buf, len);
    std::free(buf);
    return s;
}

// Reads the bytes; when that works, the written form must read back and
// write the same bytes again.
template <typename T>
void round_trip(const std::string& bytes, T* (*read)(FILE*), int (*write)(const T*, FILE*),
                void (*del)(T*)) {
    FILE* f = open_bytes(bytes);
    T* t = read(f);
    std::fclose(f);
    if (t == nullptr)
        return;
    const std::string once = written(t, write);
    del(t);
    f = open_bytes(once);
    t = read(f);
    std::fclose(f);
    FuzzCheck(t != nullptr);
    FuzzCheck(written(t, write) == once);
    del(t);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 1 << 16)
        return 0;
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    round_trip(bytes, KVTP_strarray_read, KVTP_strarray_write, KVTP_strarray_delete);
    round_trip(bytes, KVTP_dystrarray_read, KVTP_dystrarray_write, KVTP_dystrarray_delete);
    round_trip(bytes, KVTP_dict_read, KVTP_dict_write, KVTP_dict_delete);
    round_trip(bytes, KVTP_cdict_read, KVTP_cdict_write, KVTP_cdict_delete);
    round_trip(bytes, KVTP_carray_read, KVTP_carray_write, KVTP_carray_delete);
    round_trip(bytes, KVTP_complkp_read, KVTP_complkp_write, KVTP_complkp_delete);
    // The packed form of the compact array on its own.
    int64_t used = 0;
    KVTP_carray* a = KVTP_carray_unpack(data, static_cast<int64_t>(size), &used);
    FuzzCheck(a == nullptr || (used >= 2 && used <= static_cast<int64_t>(size)));
    KVTP_carray_delete(a);
    return 0;
}
