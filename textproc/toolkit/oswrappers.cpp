// SPDX-License-Identifier: MIT
#include "textproc/toolkit/oswrappers.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace {

// Allocations left before failing starts; negative: never fail.
std::atomic<int64_t> g_fail_after{-1};
std::atomic<int64_t> g_live{0};
std::atomic<int64_t> g_calls{0};

// True when this allocation attempt is to fail (fault injection).
bool injected_failure() {
    g_calls.fetch_add(1, std::memory_order_relaxed);
    int64_t left = g_fail_after.load(std::memory_order_relaxed);
    while (left >= 0) {
        if (left == 0)
            return true;
        if (g_fail_after.compare_exchange_weak(left, left - 1, std::memory_order_relaxed)) {
            return false;
        }
    }
    return false;
}

}  // namespace

void* KVTP_malloc(size_t size) {
    if (injected_failure())
        return nullptr;
    void* p = std::calloc(1, size == 0 ? 1 : size);
    if (p != nullptr)
        g_live.fetch_add(1, std::memory_order_relaxed);
    return p;
}

void* KVTP_calloc(size_t size, size_t count) {
    if (count != 0 && size > SIZE_MAX / count) {
        g_calls.fetch_add(1, std::memory_order_relaxed);
        return nullptr;
    }
    return KVTP_malloc(size * count);
}

void* KVTP_realloc(void* p, size_t size) {
    if (p == nullptr)
        return KVTP_malloc(size);
    if (injected_failure())
        return nullptr;
    // The block stays live either way; only its address may change.
    return std::realloc(p, size == 0 ? 1 : size);
}

void KVTP_free(void* p) {
    if (p == nullptr)
        return;
    g_live.fetch_sub(1, std::memory_order_relaxed);
    std::free(p);
}

char* KVTP_strdup(const char* s) {
    if (s == nullptr)
        return nullptr;
    size_t n = std::strlen(s);
    char* d = static_cast<char*>(KVTP_malloc(n + 1));
    if (d != nullptr)
        std::memcpy(d, s, n);
    return d;
}

void* KVTP_memcpy(void* dst, const void* src, size_t n) {
    return n == 0 ? dst : std::memcpy(dst, src, n);
}

void* KVTP_memmove(void* dst, const void* src, size_t n) {
    return n == 0 ? dst : std::memmove(dst, src, n);
}

void* KVTP_memset(void* dst, int value, size_t n) {
    return n == 0 ? dst : std::memset(dst, value, n);
}

void KVTP_malloc_fail_after(int64_t n) {
    g_fail_after.store(n < 0 ? -1 : n, std::memory_order_relaxed);
}

int64_t KVTP_malloc_live() {
    return g_live.load(std::memory_order_relaxed);
}

int64_t KVTP_malloc_calls() {
    return g_calls.load(std::memory_order_relaxed);
}
