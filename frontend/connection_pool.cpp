// SPDX-License-Identifier: GPL-3.0-or-later
#include "frontend/connection_pool.h"

#include <algorithm>

namespace vrelay {
namespace frontend {

namespace {

// Between two rounds of cancels at shutdown.
constexpr auto kCancelRound = std::chrono::milliseconds(50);

}  // namespace

ConnectionPool::ConnectionPool(std::string host, int port, int size, int idleSeconds,
                               std::vector<HostPort> fallbacks)
    : host_(std::move(host)), port_(port), fallbacks_(std::move(fallbacks)), idle_(idleSeconds),
      slots_(static_cast<size_t>(std::max(size, 1))) {}

ConnectionPool::~ConnectionPool() {
    for (Slot& slot : slots_) {
        if (slot.connection.handle >= 0) {
            vrDestroyConnection(slot.connection.handle);
        }
    }
}

bool ConnectionPool::Choose(const std::string& voice, size_t* chosen) const {
    // One that has the voice; for another voice an open one (a selection
    // is cheaper than a new session), for the server's default one not made
    // yet (it starts in that voice); the most recently used first, so that
    // the others grow idle and are closed.
    int best = -1;
    for (size_t i = 0; i < slots_.size(); ++i) {
        const Slot& s = slots_[i];
        if (s.taken) {
            continue;
        }
        const ServerConnection& c = s.connection;
        const bool made = c.handle >= 0;
        const int score = made && c.voiceKnown && c.selected == voice ? 3
                          : !made                                     ? 1
                          : voice.empty()                             ? 0
                                                                      : 2;
        if (score > best || (score == best && made && s.lastUse > slots_[*chosen].lastUse)) {
            best = score;
            *chosen = i;
        }
    }
    return best >= 0;
}

ServerConnection* ConnectionPool::Take(const std::string& voice,
                                       const std::function<bool()>& stopped) {
    std::unique_lock<std::mutex> lock(mutex_);
    const uint64_t ticket = next_ticket_++;
    queue_.push_back(ticket);
    size_t chosen = 0;
    bool found = false;
    changed_.wait(lock, [&] {
        return closing_ || stopped() || (queue_.front() == ticket && (found = Choose(voice, &chosen)));
    });
    queue_.erase(std::find(queue_.begin(), queue_.end(), ticket));
    changed_.notify_all();  // the next in line
    if (closing_ || !found || stopped()) {
        return nullptr;
    }
    Slot& slot = slots_[chosen];
    slot.taken = true;
    if (slot.connection.handle < 0) {
        slot.connection = ServerConnection();
        slot.connection.handle = vrCreateConnection();  // no descriptor yet: nothing to wait for
    }
    return &slot.connection;
}

void ConnectionPool::Give(ServerConnection* connection) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (Slot& slot : slots_) {
        if (&slot.connection == connection) {
            slot.taken = false;
            slot.lastUse = Clock::now();
        }
    }
    changed_.notify_all();
}

void ConnectionPool::Wake() {
    std::lock_guard<std::mutex> lock(mutex_);
    changed_.notify_all();
}

void ConnectionPool::CloseIdle(Clock::time_point now) {
    std::vector<vr_handle> idle;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (closing_ || idle_.count() == 0) {
            return;  // Close cancels by handle: none may go meanwhile
        }
        for (Slot& slot : slots_) {
            if (!slot.taken && slot.connection.handle >= 0 && now - slot.lastUse >= idle_) {
                idle.push_back(slot.connection.handle);
                slot.connection = ServerConnection();
            }
        }
    }
    for (const vr_handle handle : idle) {
        vrDestroyConnection(handle);
    }
}

bool ConnectionPool::Close(Clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(mutex_);
    closing_ = true;
    changed_.notify_all();
    const auto taken = [&] {
        std::vector<vr_handle> handles;
        for (const Slot& slot : slots_) {
            if (slot.taken && slot.connection.handle >= 0) {
                handles.push_back(slot.connection.handle);
            }
        }
        return handles;
    };
    for (;;) {
        const std::vector<vr_handle> handles = taken();
        if (handles.empty()) {
            return true;
        }
        if (Clock::now() >= deadline) {
            return false;
        }
        // A holder may start a new call on its connection just after a
        // cancel: the next round cancels that one.
        lock.unlock();
        for (const vr_handle handle : handles) {
            vrCancelRequest(handle);
        }
        lock.lock();
        changed_.wait_until(lock, std::min(deadline, Clock::now() + kCancelRound),
                            [&] { return taken().empty(); });
    }
}

}  // namespace frontend
}  // namespace vrelay
