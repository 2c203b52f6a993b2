// SPDX-License-Identifier: MIT
// The tables that turn the application's integer handles into objects.
//
// Numbering: a removed number is reused once no call holds its object any
// more, the most recently removed first; otherwise the next number is the
// next never issued, from 1000 on. So a call that looked an object up never
// sees its number handed to another object while it runs, and a number is
// never live twice.
//
// Lookups hand out shared ownership: an object removed from its table (a
// destroy) stays alive until the last thread that looked it up lets go of it.
#ifndef VRELAY_CLIENT_HANDLE_TABLE_H
#define VRELAY_CLIENT_HANDLE_TABLE_H

#include <cstdint>
#include <map>
#include <memory>
#include <new>
#include <vector>

#include "platform/mutex.h"

namespace vrelay {

constexpr int32_t kFirstHandle = 1000;

template <typename T>
class HandleTable {
  public:
    HandleTable() = default;
    ~HandleTable() { Clear(); }
    HandleTable(const HandleTable&) = delete;
    HandleTable& operator=(const HandleTable&) = delete;

    // Issues a handle for the object that make() returns; make runs under the
    // table's lock. Returns the handle, or -1 when memory ran out or the
    // table is closed (make is not called then).
    template <typename Make>
    int32_t Add(Make make) {
        MutexLock guard(&mutex_);
        if (closed_) {
            return -1;
        }
        try {
            // The most recently removed number whose object nobody holds.
            auto reuse = free_.rbegin();
            while (reuse != free_.rend() && !reuse->object.expired()) {
                ++reuse;
            }
            const int32_t handle = reuse != free_.rend() ? reuse->handle : next_;
            forward_.emplace(handle, std::shared_ptr<T>(make()));
            if (reuse != free_.rend()) {
                free_.erase(std::next(reuse).base());
            } else {
                ++next_;
            }
            return handle;
        } catch (const std::bad_alloc&) {
            return -1;
        }
    }

    // The object behind handle, or null when the handle is unknown.
    std::shared_ptr<T> Lookup(int32_t handle) {
        MutexLock guard(&mutex_);
        auto it = forward_.find(handle);
        return it == forward_.end() ? nullptr : it->second;
    }

    // Removes handle and returns its object (null when the handle is
    // unknown). Its number waits for reuse until the object is gone; when
    // memory runs out for that, the number is never reused.
    std::shared_ptr<T> Remove(int32_t handle) {
        MutexLock guard(&mutex_);
        auto it = forward_.find(handle);
        if (it == forward_.end()) {
            return nullptr;
        }
        std::shared_ptr<T> object = std::move(it->second);
        forward_.erase(it);
        try {
            free_.push_back(Freed{handle, object});
        } catch (const std::bad_alloc&) {
        }
        return object;
    }

    size_t Size() {
        MutexLock guard(&mutex_);
        return forward_.size();
    }

    // Takes every object out, in handle order, and forgets all numbers; the
    // table then holds no memory.
    std::vector<std::shared_ptr<T>> TakeAll() {
        std::vector<std::shared_ptr<T>> objects;
        MutexLock guard(&mutex_);
        objects.reserve(forward_.size());
        for (auto& entry : forward_) {
            objects.push_back(std::move(entry.second));
        }
        forward_.clear();
        std::vector<Freed>().swap(free_);
        next_ = kFirstHandle;
        return objects;
    }

    // Deletes every remaining object (those no call holds), in handle order.
    void Clear() { TakeAll(); }

    // TakeAll for good: from here on Add refuses, so the table stays empty
    // and every lookup finds nothing. For the end of the process, while
    // other threads may still call in.
    std::vector<std::shared_ptr<T>> Close() {
        {
            MutexLock guard(&mutex_);
            closed_ = true;
        }
        return TakeAll();
    }

    // Removes, as Remove does, every entry whose object drop(object) picks;
    // returns those objects.
    template <typename Drop>
    std::vector<std::shared_ptr<T>> RemoveIf(Drop drop) {
        std::vector<std::shared_ptr<T>> removed;
        std::vector<int32_t> handles;
        {
            MutexLock guard(&mutex_);
            for (auto& entry : forward_) {
                if (drop(*entry.second)) {
                    handles.push_back(entry.first);
                }
            }
        }
        for (int32_t handle : handles) {
            removed.push_back(Remove(handle));
        }
        return removed;
    }

    // Held across fork(), so that the child's copy of the table is whole.
    void LockForFork() ACQUIRE(mutex_) { mutex_.Lock(); }
    void UnlockAfterFork() RELEASE(mutex_) { mutex_.Unlock(); }

  private:
    struct Freed {
        int32_t handle;
        std::weak_ptr<T> object;
    };

    Mutex mutex_;
    std::map<int32_t, std::shared_ptr<T>> forward_ GUARDED_BY(mutex_);
    std::vector<Freed> free_ GUARDED_BY(mutex_);
    int32_t next_ GUARDED_BY(mutex_) = kFirstHandle;
    bool closed_ GUARDED_BY(mutex_) = false;
};

}  // namespace vrelay

#endif
