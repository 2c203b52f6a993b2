// The tables that turn the application's integer handles into objects.
//
// Numbering: the most recently released number is reused first; otherwise the
// next number is 1000 + the number of live entries. Since every released
// number waits in the free list, live handles and the free list always cover
// 1000 up to the highest number issued, so a fresh number never repeats a live
// one.
//
// Lookups hand out shared ownership: an object removed from its table (destroy,
// cancel) stays alive until the last thread that looked it up lets go of it.
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
    struct Holder {
        std::shared_ptr<T> object;
        int32_t handle;
    };

    HandleTable() = default;
    ~HandleTable() { Clear(); }
    HandleTable(const HandleTable&) = delete;
    HandleTable& operator=(const HandleTable&) = delete;

    // Issues a handle for the object that make() returns; make runs under the
    // table's lock. Returns the handle, or -1 when memory ran out.
    template <typename Make>
    int32_t Add(Make make) {
        MutexLock guard(&mutex_);
        try {
            int32_t handle;
            bool fromFreeList = !free_.empty();
            if (fromFreeList) {
                handle = free_.back();
            } else {
                handle = kFirstHandle + static_cast<int32_t>(forward_.size());
            }
            auto holder = std::make_unique<Holder>(Holder{std::shared_ptr<T>(make()), handle});
            Holder* raw = holder.get();
            reverse_.emplace(raw, handle);
            try {
                forward_.emplace(handle, std::move(holder));
            } catch (...) {
                reverse_.erase(raw);
                throw;
            }
            if (fromFreeList) {
                free_.pop_back();
            }
            return handle;
        } catch (const std::bad_alloc&) {
            return -1;
        }
    }

    // The object behind handle, or null when the handle is unknown or empty.
    std::shared_ptr<T> Lookup(int32_t handle) {
        MutexLock guard(&mutex_);
        auto it = forward_.find(handle);
        if (it == forward_.end() || !it->second) {
            return nullptr;
        }
        return it->second->object;
    }

    // Removes handle and releases its number. *found tells whether it was
    // there. Returns the object (null if none). False when memory ran out while
    // releasing the number (the entry is then removed all the same).
    bool Remove(int32_t handle, std::shared_ptr<T>* object, bool* found) {
        std::unique_ptr<Holder> holder;
        bool ok = true;
        {
            MutexLock guard(&mutex_);
            auto it = forward_.find(handle);
            *found = it != forward_.end();
            if (!*found) {
                return true;
            }
            holder = std::move(it->second);
            forward_.erase(it);
            reverse_.erase(holder.get());
            try {
                free_.push_back(handle);
            } catch (const std::bad_alloc&) {
                ok = false;
            }
        }
        *object = holder ? std::move(holder->object) : nullptr;
        return ok;
    }

    // Puts a new object behind an existing handle; returns the old object, or
    // null (and drops nothing) when the handle is unknown.
    std::shared_ptr<T> Replace(int32_t handle, std::shared_ptr<T> object) {
        MutexLock guard(&mutex_);
        auto it = forward_.find(handle);
        if (it == forward_.end() || !it->second) {
            return nullptr;
        }
        std::swap(it->second->object, object);
        return object;
    }

    size_t Size() {
        MutexLock guard(&mutex_);
        return forward_.size();
    }

    // Deletes every remaining object, in handle order, and forgets all numbers.
    void Clear() {
        std::map<int32_t, std::unique_ptr<Holder>> entries;
        {
            MutexLock guard(&mutex_);
            entries.swap(forward_);
            reverse_.clear();
            free_.clear();
        }
        for (auto& entry : entries) {
            entry.second.reset();
        }
    }

  private:
    Mutex mutex_;
    std::map<int32_t, std::unique_ptr<Holder>> forward_ GUARDED_BY(mutex_);
    std::map<const Holder*, int32_t> reverse_ GUARDED_BY(mutex_);
    std::vector<int32_t> free_ GUARDED_BY(mutex_);
};

}  // namespace vrelay

#endif
