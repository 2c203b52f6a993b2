// SPDX-License-Identifier: GPL-3.0-or-later
#include "web/socket_ledger.h"

#include <dirent.h>
#include <sys/resource.h>

#include <algorithm>
#include <climits>

namespace vrelay {
namespace web {

SocketLedger::Slot& SocketLedger::Slot::operator=(Slot&& other) noexcept {
    if (this != &other) {
        Release();
        ledger_ = other.ledger_;
        address_ = std::move(other.address_);
        other.ledger_ = nullptr;
    }
    return *this;
}

void SocketLedger::Slot::Release() {
    if (ledger_ != nullptr) {
        ledger_->Give(address_);
        ledger_ = nullptr;
    }
}

SocketLedger::Slot SocketLedger::Take(const std::string& address, std::string* refusal) {
    std::lock_guard<std::mutex> lock(mutex_);
    Slot slot;
    if (open_ >= total_) {
        *refusal = "too many connections";
    } else if (!address.empty() && per_address_open_[address] >= per_address_) {
        *refusal = "too many connections from this address";
    } else {
        ++open_;
        if (!address.empty()) {
            ++per_address_open_[address];
        }
        slot.ledger_ = this;
        slot.address_ = address;
    }
    return slot;
}

bool SocketLedger::Move(Slot* slot, const std::string& address, std::string* refusal) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (slot->ledger_ != this || slot->address_ == address) {
        return slot->ledger_ == this;
    }
    if (!address.empty() && per_address_open_[address] >= per_address_) {
        *refusal = "too many connections from this address";
        return false;
    }
    if (!slot->address_.empty() && --per_address_open_[slot->address_] == 0) {
        per_address_open_.erase(slot->address_);
    }
    if (!address.empty()) {
        ++per_address_open_[address];
    }
    slot->address_ = address;
    return true;
}

void SocketLedger::Give(const std::string& address) {
    std::lock_guard<std::mutex> lock(mutex_);
    --open_;
    if (!address.empty() && --per_address_open_[address] == 0) {
        per_address_open_.erase(address);
    }
}

int ConnectionBudget(int reserved) {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) {
        limit.rlim_cur = 1024;
    }
    int open = 0;
    if (DIR* fds = opendir("/proc/self/fd")) {
        while (readdir(fds) != nullptr) {
            ++open;
        }
        closedir(fds);
        open -= 3;  // ".", ".." and the listing's own
    }
    const long budget = static_cast<long>(std::min<rlim_t>(limit.rlim_cur, INT_MAX)) - open -
                        reserved - kSpareDescriptors;
    return static_cast<int>(std::max(budget, 0L));
}

}  // namespace web
}  // namespace vrelay
