// SPDX-License-Identifier: GPL-3.0-or-later
#include "server/speech_server.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cstring>
#include <vector>

#include "server/protocol.h"
#include "server/worker_pool.h"
#include "transport/log.h"

namespace vrelay {
namespace server {

std::string AddressWithPort(const std::string& address, int port) {
    const bool v6 = address.find(':') != std::string::npos;
    return (v6 ? "[" + address + "]" : address) + ":" + std::to_string(port);
}

namespace {

// "address:port" of the client (see AddressWithPort); *host gets the address alone.
std::string PeerName(SocketHandle handle, std::string* host) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getpeername(static_cast<int>(handle), reinterpret_cast<sockaddr*>(&address), &length) !=
        0) {
        *host = "unknown peer";
        return *host;
    }
    char text[INET6_ADDRSTRLEN] = "";
    int port = 0;
    if (address.ss_family == AF_INET) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(&address);
        ::inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text);
        port = ntohs(v4->sin_port);
    } else if (address.ss_family == AF_INET6) {
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&address);
        ::inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
        port = ntohs(v6->sin6_port);
    }
    *host = text;
    return AddressWithPort(*host, port);
}

// How long sessions closed at the end of the grace time get to send their
// last frames.
constexpr int kClosingMs = 300;

}  // namespace

SpeechServer::SpeechServer(ServerOptions options) : options_(std::move(options)) {}

SpeechServer::~SpeechServer() {
    Stop();
}

bool SpeechServer::Start(std::string* error) {
    if (started_) {
        *error = "already started";
        return false;
    }
    pool_ = nullptr;
    engine_ = MakeEngine(options_.engine, error);
    if (!engine_) {
        return false;
    }
    if (options_.workers > 0) {
        // With one client, each of its units goes to a worker chosen from the
        // text alone: the same text gives the same audio every time.
        auto pool =
            std::make_unique<WorkerPool>(std::move(engine_), options_.workers,
                                         options_.worker_memory_mb, options_.max_sessions == 1);
        pool_ = pool.get();
        engine_ = std::move(pool);
    }
    voice_ = engine_->DefaultVoice();
    if (!options_.voice.empty()) {
        voice_ = ChooseVoiceName(engine_->Voices(), options_.voice, voice_);
        if (voice_.empty()) {
            *error = "unknown voice \"" + options_.voice + "\" for engine " + engine_->Name();
            unknown_voice_ = true;
            return false;
        }
    }
    listener_ =
        std::make_unique<SocketServer>(options_.port, 64, PollingSelect, options_.listen_address);
    if (!listener_->IsOpen()) {
        *error = "cannot listen on " + AddressWithPort(options_.listen_address, options_.port) +
                 ": " + listener_->Error();
        listener_.reset();
        return false;
    }
    if (options_.health_port >= 0) {
        health_ = std::make_unique<HealthCheck>(engine_.get(), voice_, [this] {
            return std::to_string(OpenSessions()) + " of " + std::to_string(options_.max_sessions) +
                   " sessions open";
        });
        if (!health_->Start(options_.listen_address, options_.health_port, error)) {
            health_.reset();
            listener_.reset();
            return false;
        }
    }
    port_ = listener_->Port();
    stopping_ = false;
    wake_.Clear();
    accept_wake_.Clear();
    started_ = true;
    accept_thread_ = std::thread(&SpeechServer::AcceptLoop, this);
    VR_LOG(logINFO) << "vrelay server: listening on "
                    << AddressWithPort(options_.listen_address, port_) << ", engine "
                    << engine_->Name() << ", voice \"" << voice_ << "\"";
    return true;
}

void SpeechServer::AcceptLoop() {
    while (!stopping_.load()) {
        pollfd fds[2] = {{static_cast<int>(listener_->Handle()), POLLIN, 0},
                         {static_cast<int>(accept_wake_.Handle()), POLLIN, 0}};
        const int rc = ::poll(fds, 2, -1);
        if (rc < 0) {
            if (errno == EINTR) {
                continue;
            }
            VR_LOG(logERROR) << "vrelay server: waiting for clients failed: "
                             << std::strerror(errno);
            return;
        }
        if (stopping_.load() || accept_wake_.IsRaised()) {
            return;
        }
        bool failed = false;
        std::unique_ptr<Socket> socket(listener_->Accept(&failed));
        if (failed) {
            // A connection that failed before it was accepted (ECONNABORTED
            // and the like); running out of descriptors ends up here too.
            VR_LOG(logERROR) << "vrelay server: accept failed: " << std::strerror(errno);
            // Out of descriptors the connection stays pending and poll returns
            // at once: pause briefly instead of spinning.
            pollfd wake = {static_cast<int>(accept_wake_.Handle()), POLLIN, 0};
            ::poll(&wake, 1, 100);
            continue;
        }
        if (!socket) {
            continue;
        }
        std::string address;
        const std::string peer = PeerName(socket->Handle(), &address);
        std::string refusal;
        {
            MutexLock lock(&slots_mutex_);
            refusal = RefusalLocked(address);
            if (refusal.empty()) {
                ServeLocked(std::move(socket), peer, address);
            }
        }
        if (!refusal.empty()) {
            Refuse(std::move(socket), peer, refusal);
        }
    }
}

std::string SpeechServer::RefusalLocked(const std::string& address) {
    Reap();
    int open = 0;
    int same = 0;
    // At a bound, a session whose client has closed its end does not count
    // either: a proxy that ends a connection itself gives its place to the
    // next client at once, before the session has read the end.
    for (const bool at_bound : {false, true}) {
        open = 0;
        same = 0;
        for (const auto& slot : slots_) {
            if (!slot->session->Closed() && !(at_bound && slot->session->ClientGone())) {
                ++open;
                same += slot->address == address ? 1 : 0;
            }
        }
        const bool over =
            open >= options_.max_sessions ||
            (options_.max_sessions_per_address > 0 && same >= options_.max_sessions_per_address);
        if (!over) {
            break;
        }
    }
    if (open >= options_.max_sessions) {
        return std::to_string(options_.max_sessions) + " sessions are open";
    }
    if (options_.max_sessions_per_address > 0 && same >= options_.max_sessions_per_address) {
        return std::to_string(same) + " sessions are open from its address";
    }
    return std::string();
}

void SpeechServer::ServeLocked(std::unique_ptr<Socket> socket, const std::string& peer,
                               const std::string& address) {
    try {
        auto slot = std::make_unique<Slot>();
        slot->address = address;
        // Synthesising in-process, a session that takes a unit in pieces
        // holds the engine while it sends: only when it has no other to
        // wait for it.
        const bool pieces = pool_ == nullptr && options_.max_sessions == 1;
        slot->session =
            std::make_unique<Session>(next_id_++, std::move(socket), peer, engine_.get(), voice_,
                                      options_.limits, &stopping_, &wake_, pieces);
        Slot* raw = slot.get();
        slots_.push_back(std::move(slot));
        raw->thread = std::thread([this, raw] {
            raw->session->Run();
            MutexLock done_lock(&slots_mutex_);
            raw->done = true;
            session_ended_.SignalAll();
        });
    } catch (const std::exception& e) {
        // No memory or no thread for one more client: that client goes,
        // the others stay.
        if (!slots_.empty() && !slots_.back()->thread.joinable()) {
            slots_.pop_back();
        }
        VR_LOG(logERROR) << "vrelay server: cannot serve " << peer << ": " << e.what();
    }
}

void SpeechServer::Refuse(std::unique_ptr<Socket> socket, const std::string& peer,
                          const std::string& why) {
    VR_LOG(logERROR) << "vrelay server: refused " << peer << ": " << why;
    // The client learns why before the stream ends; the reply is small enough
    // for an empty socket buffer, and a client that sent nothing yet reads it.
    const std::vector<unsigned char> busy =
        wire::EncodeText(std::string(wire::kErrorPrefix) + "server busy");
    std::string frames;
    wire::AppendFrame(wire::kMessage, busy.data(), busy.size(), &frames);
    wire::AppendFrame(wire::kClose, nullptr, 0, &frames);
    if (socket->SendBytes(frames.data(), frames.size()) == static_cast<int64_t>(frames.size())) {
        ::shutdown(static_cast<int>(socket->Handle()), SHUT_WR);
    }
}

int SpeechServer::Reap() {
    int running = 0;
    for (auto it = slots_.begin(); it != slots_.end();) {
        if ((*it)->done.load()) {
            (*it)->thread.join();
            it = slots_.erase(it);
        } else {
            ++running;
            ++it;
        }
    }
    return running;
}

std::vector<pid_t> SpeechServer::WorkerPids() {
    return pool_ != nullptr ? pool_->WorkerPids() : std::vector<pid_t>();
}

int SpeechServer::ActiveSessions() {
    MutexLock lock(&slots_mutex_);
    return Reap();
}

int SpeechServer::OpenSessions() {
    MutexLock lock(&slots_mutex_);
    int open = 0;
    for (const auto& slot : slots_) {
        open += slot->session->Closed() ? 0 : 1;
    }
    return open;
}

bool SpeechServer::WaitForSessionsLocked(std::chrono::steady_clock::time_point deadline) {
    while (Reap() != 0) {
        if (!session_ended_.WaitUntil(&slots_mutex_, deadline)) {
            return Reap() == 0;
        }
    }
    return true;
}

void SpeechServer::StopAccepting() {
    accept_wake_.Raise();
    if (accept_thread_.joinable()) {
        accept_thread_.join();
    }
    listener_.reset();
}

void SpeechServer::Shutdown(int grace_ms) {
    if (!started_) {
        return;
    }
    StopAccepting();
    {
        MutexLock lock(&slots_mutex_);
        for (auto& slot : slots_) {
            slot->session->Drain();
        }
        VR_LOG(logINFO) << "vrelay server: shutting down, " << Reap()
                        << " sessions may finish their requests";
        const auto now = std::chrono::steady_clock::now;
        if (!WaitForSessionsLocked(now() + std::chrono::milliseconds(grace_ms))) {
            VR_LOG(logWARNING) << "vrelay server: grace time over, closing " << Reap()
                               << " sessions in the middle of their requests";
            for (auto& slot : slots_) {
                slot->session->Close();
            }
            // Each session sends its last frames; one whose client does not
            // read them is cut off by Stop().
            WaitForSessionsLocked(now() + std::chrono::milliseconds(kClosingMs));
        }
    }
    Stop();
}

void SpeechServer::Stop() {
    if (!started_) {
        return;
    }
    stopping_ = true;
    wake_.Raise();
    StopAccepting();
    std::list<std::unique_ptr<Slot>> slots;
    {
        MutexLock lock(&slots_mutex_);
        slots.swap(slots_);
    }
    for (auto& slot : slots) {
        slot->session->Interrupt();
    }
    // A session may be waiting on a worker (writing to it or for its answer).
    if (pool_ != nullptr) {
        pool_->StopWorkers();
    }
    for (auto& slot : slots) {
        slot->thread.join();
    }
    // After the workers: a probe waiting on one ends at once.
    if (health_) {
        health_->Stop();
        health_.reset();
    }
    started_ = false;
    VR_LOG(logINFO) << "vrelay server: stopped";
}

}  // namespace server
}  // namespace vrelay
