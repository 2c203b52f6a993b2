// SPDX-License-Identifier: GPL-3.0-or-later
#include "web/server_pool.h"

#include <algorithm>

namespace vrelay {
namespace web {

namespace {

// Between two rounds of cancels at shutdown.
constexpr auto kCancelRound = std::chrono::milliseconds(50);

}  // namespace

ServerPool::ServerPool(std::string host, int port, int size, int idleSeconds,
                       vrCallBack callback)
    : host_(std::move(host)), port_(port), idle_(idleSeconds), callback_(callback),
      slots_(static_cast<size_t>(std::max(size, 1))) {}

ServerPool::~ServerPool() {
    for (Slot& slot : slots_) {
        if (slot.handle >= 0) {
            vrDestroyConnection(slot.handle);
        }
    }
}

std::unique_ptr<ServerPool::Lease> ServerPool::Take(const std::string& voice,
                                                    const std::function<bool()>& stopped) {
    std::unique_lock<std::mutex> lock(mutex_);
    const uint64_t ticket = nextTicket_++;
    queue_.push_back(ticket);
    size_t chosen = slots_.size();
    // The best free slot: one that has the voice, then an open one (for the
    // default voice, one not made yet: it starts in that voice), the most
    // recently used first, so that the others grow idle and are closed.
    const auto choose = [&] {
        int best = -1;
        chosen = slots_.size();
        for (size_t i = 0; i < slots_.size(); ++i) {
            const Slot& s = slots_[i];
            if (s.taken) {
                continue;
            }
            const bool made = s.handle >= 0;
            const int score = made && s.voiceKnown && s.voice == voice ? 3
                              : !made                                 ? 1
                              : voice.empty()                         ? 0
                                                                      : 2;
            if (score > best || (score == best && made && s.lastUse > slots_[chosen].lastUse)) {
                best = score;
                chosen = i;
            }
        }
        return best >= 0;
    };
    changed_.wait(lock, [&] {
        return closing_ || stopped() || (queue_.front() == ticket && choose());
    });
    queue_.erase(std::find(queue_.begin(), queue_.end(), ticket));
    changed_.notify_all();  // the next in line
    if (closing_ || chosen == slots_.size() || slots_[chosen].taken || stopped()) {
        return nullptr;
    }
    Slot& slot = slots_[chosen];
    slot.taken = true;
    if (slot.handle < 0) {
        slot.handle = vrCreateConnection();  // no descriptor yet, nothing to wait for
        if (slot.handle >= 0) {
            vrSetCallBack(slot.handle, callback_);
        }
        slot.open = false;
        slot.voice.clear();
        slot.voiceKnown = true;
    }
    return std::unique_ptr<Lease>(new Lease(this, chosen));
}

void ServerPool::Give(size_t index) {
    std::lock_guard<std::mutex> lock(mutex_);
    Slot& slot = slots_[index];
    if (slot.handle >= 0) {
        vrSetUserData(slot.handle, nullptr);
    }
    slot.taken = false;
    slot.lastUse = Clock::now();
    changed_.notify_all();
}

bool ServerPool::Closing() {
    std::lock_guard<std::mutex> lock(mutex_);
    return closing_;
}

void ServerPool::Wake() {
    std::lock_guard<std::mutex> lock(mutex_);
    changed_.notify_all();
}

void ServerPool::CloseIdle(Clock::time_point now) {
    std::vector<vr_handle> idle;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (closing_) {
            return;  // Close cancels by handle: none may go meanwhile
        }
        for (Slot& slot : slots_) {
            if (!slot.taken && slot.handle >= 0 && now - slot.lastUse >= idle_) {
                idle.push_back(slot.handle);
                slot = Slot();
            }
        }
    }
    for (const vr_handle handle : idle) {
        vrDestroyConnection(handle);
    }
}

bool ServerPool::Close(Clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(mutex_);
    closing_ = true;
    changed_.notify_all();
    const auto taken = [&] {
        std::vector<vr_handle> handles;
        for (const Slot& slot : slots_) {
            if (slot.taken && slot.handle >= 0) {
                handles.push_back(slot.handle);
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

ServerPool::Lease::~Lease() { pool_->Give(slot_); }

vr_handle ServerPool::Lease::Handle() const { return pool_->slots_[slot_].handle; }

bool ServerPool::Lease::Open() {
    Slot& slot = pool_->slots_[slot_];
    // The old stream is closed before the new one opens, so that the bridge
    // never holds more than its number of sessions on the server.
    vrCloseConnection(slot.handle);
    slot.open = vrOpenConnection(slot.handle, pool_->host_.c_str(), pool_->port_) == VR_SUCCESS;
    slot.voice.clear();
    slot.voiceKnown = true;
    return slot.open;
}

bool ServerPool::Lease::Prepare(const std::string& voice, void* user, std::string* error) {
    Slot& slot = pool_->slots_[slot_];
    const std::string noServer = "no speech server at " + pool_->Address();
    if (slot.handle < 0 || (!slot.open && !Open())) {
        *error = noServer;
        return false;
    }
    vrSetUserData(slot.handle, user);
    if (slot.voiceKnown && slot.voice == voice) {
        return true;
    }
    if (voice.empty() || (voice[0] == '+' && !(slot.voiceKnown && slot.voice.empty()))) {
        // The server's default voice has no name here: a new session has it.
        // "+VARIANT" changes a session's voice: the default one, too.
        if (!Open()) {
            *error = noServer;
            return false;
        }
        if (voice.empty()) {
            return true;
        }
    }
    // A connection the server has closed meanwhile (it ends idle ones)
    // fails the selection: open it again and select once more.
    if (vrSetVoiceFast(slot.handle, voice.c_str()) == VR_SUCCESS ||
        (!pool_->Closing() && Open() && vrSetVoiceFast(slot.handle, voice.c_str()) == VR_SUCCESS)) {
        slot.voice = voice;
        slot.voiceKnown = true;
        return true;
    }
    Discard();
    *error = "the speech server did not take the voice";
    return false;
}

void ServerPool::Lease::Cancel() {
    Slot& slot = pool_->slots_[slot_];
    // The library reconnects on a cancel: a new session, in the default voice.
    slot.open = vrCancelRequest(slot.handle) == VR_SUCCESS;
    slot.voice.clear();
    slot.voiceKnown = true;
}

void ServerPool::Lease::Discard() {
    Slot& slot = pool_->slots_[slot_];
    slot.open = false;
    slot.voiceKnown = false;
}

}  // namespace web
}  // namespace vrelay
