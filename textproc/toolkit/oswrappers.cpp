// SPDX-License-Identifier: MIT
#include "textproc/toolkit/oswrappers.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace {

// Test builds count every allocation and can make them fail; the product's
// allocations take no atomic operation.
#ifdef VRELAY_TEST_HOOKS

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

void count_block(int64_t delta) {
    g_live.fetch_add(delta, std::memory_order_relaxed);
}

void count_refused() {
    g_calls.fetch_add(1, std::memory_order_relaxed);
}
#else
constexpr bool injected_failure() {
    return false;
}
void count_block(int64_t) {}
void count_refused() {}
#endif

}  // namespace

void* KVTP_malloc(size_t size) {
    if (injected_failure())
        return nullptr;
    void* p = std::calloc(1, size == 0 ? 1 : size);
    if (p != nullptr)
        count_block(1);
    return p;
}

void* KVTP_calloc(size_t size, size_t count) {
    if (count != 0 && size > SIZE_MAX / count) {
        count_refused();
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
    count_block(-1);
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

#ifdef VRELAY_TEST_HOOKS
void KVTP_malloc_fail_after(int64_t n) {
    g_fail_after.store(n < 0 ? -1 : n, std::memory_order_relaxed);
}

int64_t KVTP_malloc_live() {
    return g_live.load(std::memory_order_relaxed);
}

int64_t KVTP_malloc_calls() {
    return g_calls.load(std::memory_order_relaxed);
}
#endif
