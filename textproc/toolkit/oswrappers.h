// SPDX-License-Identifier: MIT
// Memory and byte helpers of the text-processing library. Every allocation the
// toolkit makes goes through KVTP_malloc / KVTP_free, so that test builds
// (VRELAY_TEST_HOOKS) can make the n-th allocation fail and count the blocks
// still live.
#ifndef VRELAY_TEXTPROC_OSWRAPPERS_H
#define VRELAY_TEXTPROC_OSWRAPPERS_H

#include <cstddef>
#include <cstdint>

// Zero-filled block of `size` bytes (a request of 0 bytes still gets a unique
// block); null on failure.
void* KVTP_malloc(size_t size);
// Zero-filled block of size * count bytes; null on failure or when the product
// overflows.
void* KVTP_calloc(size_t size, size_t count);
// Resizes a block from KVTP_malloc; bytes past the old size are not zeroed.
// On failure returns null and leaves `p` untouched. A null `p` allocates.
void* KVTP_realloc(void* p, size_t size);
// Frees a block from KVTP_malloc; null is ignored.
void KVTP_free(void* p);
// Owned copy of a NUL-terminated string; null for a null source or on failure.
char* KVTP_strdup(const char* s);

void* KVTP_memcpy(void* dst, const void* src, size_t n);
void* KVTP_memmove(void* dst, const void* src, size_t n);
void* KVTP_memset(void* dst, int value, size_t n);

#ifdef VRELAY_TEST_HOOKS
// Fault injection for tests: after `n` more successful allocations every
// allocation fails, until called again; a negative `n` turns failing off.
void KVTP_malloc_fail_after(int64_t n);
// Number of blocks handed out by KVTP_malloc/KVTP_calloc/KVTP_realloc and not
// yet freed.
int64_t KVTP_malloc_live();
// Number of allocation attempts so far (successful or not).
int64_t KVTP_malloc_calls();
#endif

#endif  // VRELAY_TEXTPROC_OSWRAPPERS_H
