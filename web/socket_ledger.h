// SPDX-License-Identifier: GPL-3.0-or-later
// The bridge's client connections (HTTP and WebSocket, from accept to close),
// counted in all and per client address, so that one address cannot take
// every descriptor, and so that descriptors are always left to accept a
// connection and answer it "busy" (the bridge answers 503 to a connection
// over either limit and closes it).
//
// Thread-safe: a slot may be given back on any thread (a WebSocket can end on
// its speaking session's thread).
#ifndef VRELAY_WEB_SOCKET_LEDGER_H
#define VRELAY_WEB_SOCKET_LEDGER_H

#include <map>
#include <mutex>
#include <string>

namespace vrelay {
namespace web {

class SocketLedger {
  public:
    // One connection's place in the count; given back when destroyed.
    class Slot {
      public:
        Slot() = default;
        Slot(Slot&& other) noexcept { *this = std::move(other); }
        Slot& operator=(Slot&& other) noexcept;
        ~Slot() { Release(); }
        explicit operator bool() const { return ledger_ != nullptr; }

      private:
        friend class SocketLedger;
        void Release();
        SocketLedger* ledger_ = nullptr;
        std::string address_;  // "" when counted in all only
    };

    // total: connections in all; perAddress: connections of one address.
    SocketLedger(int total, int perAddress) : total_(total), per_address_(perAddress) {}

    // A slot for a new connection from address, or ("") one counted in all
    // only: a trusted proxy's, whose clients are told apart later (Move).
    // An empty slot with *refusal when a limit is reached.
    Slot Take(const std::string& address, std::string* refusal);
    // Counts slot under address from now on; false with *refusal, the slot
    // as it was, when address has its number of connections.
    bool Move(Slot* slot, const std::string& address, std::string* refusal);

  private:
    void Give(const std::string& address);

    const int total_;
    const int per_address_;
    std::mutex mutex_;
    int open_ = 0;
    std::map<std::string, int> per_address_open_;
};

// How many client connections the open-files limit leaves room for: the
// limit less the descriptors open now, `reserved` more (the server
// connections to come) and kSpareDescriptors for accepting and refusing.
// 0 or less when there is no room.
constexpr int kSpareDescriptors = 64;
int ConnectionBudget(int reserved);

}  // namespace web
}  // namespace vrelay

#endif
