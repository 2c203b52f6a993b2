// SPDX-License-Identifier: GPL-3.0-or-later
#include "web/session_registry.h"

#include <algorithm>
#include <cctype>

namespace vrelay {
namespace web {

bool SessionRegistry::ValidToken(const std::string& token) {
    return token.size() >= 16 && token.size() <= 64 &&
           std::all_of(token.begin(), token.end(), [](char c) {
               return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_';
           });
}

std::shared_ptr<frontend::RenderWorker> SessionRegistry::Attach(const std::string& token,
                                                        const std::string& address,
                                                        Clock::time_point now,
                                                        std::string* reason) {
    auto found = sessions_.find(token);
    if (found != sessions_.end() && found->second.address != address) {
        *reason = "the session belongs to another address";
        return nullptr;
    }
    if (found == sessions_.end()) {
        const auto ofAddress = std::count_if(sessions_.begin(), sessions_.end(),
                                             [&](const auto& e) { return e.second.address == address; });
        if (ofAddress >= limits_.maxPerAddress && !Evict(address)) {
            *reason = "too many sessions from this address";
            return nullptr;
        }
        if (Sessions() >= limits_.maxSessions && !Evict("")) {
            *reason = "too many sessions";
            return nullptr;
        }
        Entry entry;
        entry.address = address;
        frontend::WorkerOptions worker;
        worker.checkServer = false;  // the bridge read the voice list at its start
        worker.pool = pool_;
        worker.resume = resume_;
        entry.session = std::make_shared<frontend::RenderWorker>(worker);
        found = sessions_.emplace(token, std::move(entry)).first;
    }
    ++found->second.sockets;
    found->second.lastUse = now;
    return found->second.session;
}

void SessionRegistry::Detach(const std::string& token, Clock::time_point now) {
    auto found = sessions_.find(token);
    if (found != sessions_.end() && found->second.sockets > 0) {
        --found->second.sockets;
        found->second.lastUse = now;
    }
}

bool SessionRegistry::Evict(const std::string& address) {
    auto oldest = sessions_.end();
    for (auto it = sessions_.begin(); it != sessions_.end(); ++it) {
        const Entry& e = it->second;
        if (e.sockets == 0 && (address.empty() || e.address == address) &&
            (oldest == sessions_.end() || e.lastUse < oldest->second.lastUse)) {
            oldest = it;
        }
    }
    if (oldest == sessions_.end()) {
        return false;
    }
    Retire(oldest);
    return true;
}

void SessionRegistry::Retire(std::map<std::string, Entry>::iterator entry) {
    entry->second.session->CloseSoon();
    closing_.push_back(std::move(entry->second.session));
    sessions_.erase(entry);
}

void SessionRegistry::Sweep(Clock::time_point now) {
    for (auto it = sessions_.begin(); it != sessions_.end();) {
        const auto next = std::next(it);
        if (it->second.sockets == 0 && now - it->second.lastUse >= std::chrono::seconds(limits_.idleSeconds)) {
            Retire(it);
        }
        it = next;
    }
    closing_.erase(std::remove_if(closing_.begin(), closing_.end(),
                                  [](const auto& s) { return s->Finished(); }),
                   closing_.end());
}

void SessionRegistry::CloseAll() {
    while (!sessions_.empty()) {
        Retire(sessions_.begin());
    }
}

SessionRegistry::~SessionRegistry() {
    CloseAll();
    closing_.clear();  // each destructor waits for its thread
}

}  // namespace web
}  // namespace vrelay
